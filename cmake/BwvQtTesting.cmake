# Qt Test programs for the platform and the application.
#
# bwv_add_qtest(NAME SOURCES a.cpp ... [LIBS ...] [ENV VAR=value ...] [LABELS ...]
#               [TIMEOUT seconds] [DBUS] [ARGS ...])
#
# Links Qt Test, the Qt platform layer and the task runner on it, the test-support library
# and libbwvutil (static),
# and gets the same definitions as the GoogleTest programs (BWV_INTEROP_DIR,
# BWV_TEST_DATA_DIR, BWV_BINARY_DIR). Runs with Qt's offscreen platform. DBUS runs the
# program under its own session bus (dbus-run-session), so tests never meet the user's.
include_guard(GLOBAL)
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets DBus Test)
find_program(BWV_DBUS_RUN_SESSION dbus-run-session REQUIRED)

function(bwv_add_qtest name)
  cmake_parse_arguments(T "DBUS" "TIMEOUT" "SOURCES;LIBS;ENV;LABELS;ARGS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE ${T_LIBS} bwvtestsupport bwv_task bwv_framework bwvutil_static Qt6::Test)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests
                             ${CMAKE_BINARY_DIR}/generated)
  target_compile_definitions(${name} PRIVATE
    BWV_INTEROP_DIR="${BWV_INTEROP_DIR}"
    BWV_TEST_DATA_DIR="${CMAKE_SOURCE_DIR}/tests/lib/data"
    BWV_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(T_DBUS)
    add_test(NAME ${name} COMMAND ${BWV_DBUS_RUN_SESSION} -- $<TARGET_FILE:${name}> ${T_ARGS})
  else()
    add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${T_ENV}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
