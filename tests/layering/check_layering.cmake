# Builds each case's object: "yes" must compile, "no" must fail because the header is not
# found (any other failure would prove nothing about the include roots).
foreach(c ${CASES})
  string(REPLACE "=" ";" c "${c}")
  list(GET c 0 target)
  list(GET c 1 expect)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} --target ${target}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(expect STREQUAL "yes" AND NOT rc EQUAL 0)
    message(FATAL_ERROR "${target} should compile:\n${out}")
  elseif(expect STREQUAL "no" AND (rc EQUAL 0 OR NOT out MATCHES "No such file"))
    message(FATAL_ERROR "${target} should not find its header:\n${out}")
  endif()
  message(STATUS "${target}: ${expect}")
endforeach()
