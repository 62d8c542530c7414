# Run by CTest (see GTestSuites.cmake): lists the suites of one test binary,
# once per build of it, and adds a test "<label>/<Suite>" running
# `<binary> --gtest_filter=<Suite>.*` for each.
if(NOT EXISTS "${_KESTRAN_SUITES_EXE}")
  add_test("${_KESTRAN_SUITES_LABEL}/NOT_BUILT" "${_KESTRAN_SUITES_EXE}")
  return()
endif()

# Listed again after a build of the binary or a change of how tests are added.
if(NOT EXISTS "${_KESTRAN_SUITES_FILE}"
   OR "${_KESTRAN_SUITES_EXE}" IS_NEWER_THAN "${_KESTRAN_SUITES_FILE}"
   OR "${_KESTRAN_SUITES_INCLUDE}" IS_NEWER_THAN "${_KESTRAN_SUITES_FILE}"
   OR "${CMAKE_CURRENT_LIST_FILE}" IS_NEWER_THAN "${_KESTRAN_SUITES_FILE}")
  execute_process(COMMAND "${_KESTRAN_SUITES_EXE}" --gtest_list_tests
                  WORKING_DIRECTORY "${_KESTRAN_SUITES_DIR}"
                  OUTPUT_VARIABLE _output ERROR_VARIABLE _error RESULT_VARIABLE _result
                  TIMEOUT 60)
  if(NOT _result EQUAL 0)
    # A test that fails, with the reason, rather than a silently empty run.
    string(REPLACE "\n" "\n    " _output "${_output}${_error}")
    message(WARNING "Listing the tests of ${_KESTRAN_SUITES_EXE} failed (${_result}):\n    ${_output}")
    add_test("${_KESTRAN_SUITES_LABEL}/NOT_LISTED" "${_KESTRAN_SUITES_EXE}" --gtest_list_tests)
    return()
  endif()
  # A suite line starts in column one and ends with a dot (then, for typed
  # suites, a comment); test lines are indented.
  string(REPLACE ";" "\\;" _output "${_output}")
  string(REPLACE "\n" ";" _lines "${_output}")
  set(_script "")
  foreach(_line IN LISTS _lines)
    if(_line MATCHES "^([^ #][^ ]*)\\.( *#.*)?$")
      set(_suite "${CMAKE_MATCH_1}")
      set(_name "${_KESTRAN_SUITES_LABEL}/${_suite}")
      string(APPEND _script
        "add_test([==[${_name}]==] \"${_KESTRAN_SUITES_EXE}\" [==[--gtest_filter=${_suite}.*]==])\n"
        "set_tests_properties([==[${_name}]==] PROPERTIES LABELS ${_KESTRAN_SUITES_LABEL}"
        " WORKING_DIRECTORY \"${_KESTRAN_SUITES_DIR}\"")
      if(_KESTRAN_SUITES_ENVIRONMENT)
        string(APPEND _script " ENVIRONMENT [==[${_KESTRAN_SUITES_ENVIRONMENT}]==]")
      endif()
      string(APPEND _script ")\n")
    endif()
  endforeach()
  file(WRITE "${_KESTRAN_SUITES_FILE}" "${_script}")
endif()
include("${_KESTRAN_SUITES_FILE}")
