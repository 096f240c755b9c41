find_package(GTest REQUIRED)

# bwv_add_gtest(NAME SOURCES... [LIBS ...] [ENV ...] [LABELS ...])
function(bwv_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE bwvutil_static bwvtestcore GTest::gtest GTest::gtest_main ${T_LIBS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests
                             ${CMAKE_BINARY_DIR}/generated)
  target_compile_definitions(${name} PRIVATE
    BWV_INTEROP_DIR="${BWV_INTEROP_DIR}"
    BWV_TEST_DATA_DIR="${CMAKE_SOURCE_DIR}/tests/lib/data"
    BWV_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${T_ENV}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
