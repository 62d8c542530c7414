# One CTest test per GoogleTest suite: `kestran_add_test_suites(<target> <label>)`.
#
# A process per test starts the binary (and for the windows an X server and
# the toolkit) a thousand times; a process per suite keeps the failing test's
# name in the output (GoogleTest prints it), `ctest -R <Suite>` still picks a
# suite, and suites still run side by side under `ctest -j`.
# The suites are listed when CTest runs, from the built binary, as
# gtest_discover_tests does in PRE_TEST mode: the window tests' binary needs a
# display to run but not to list.
set(_KESTRAN_GTEST_SUITES_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/GTestSuitesList.cmake")

function(kestran_add_test_suites target label)
  cmake_parse_arguments(_arg "" "" "ENVIRONMENT" ${ARGN})
  set(ctest_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_suites.cmake")
  set(include_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_suites_include.cmake")
  file(GENERATE OUTPUT "${include_file}" CONTENT
"set(_KESTRAN_SUITES_EXE \"$<TARGET_FILE:${target}>\")
set(_KESTRAN_SUITES_FILE \"${ctest_file}\")
set(_KESTRAN_SUITES_LABEL \"${label}\")
set(_KESTRAN_SUITES_ENVIRONMENT \"${_arg_ENVIRONMENT}\")
set(_KESTRAN_SUITES_DIR \"${CMAKE_CURRENT_BINARY_DIR}\")
set(_KESTRAN_SUITES_INCLUDE \"${include_file}\")
include(\"${_KESTRAN_GTEST_SUITES_SCRIPT}\")
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${include_file}")
endfunction()
