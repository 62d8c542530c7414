# Writes the message template from every text the sources pass through _():
#   cmake -DXGETTEXT=xgettext -DSOURCE_DIR=<project> -DOUTPUT=<file> -P extract.cmake
# The tests run the same extraction and compare, so a new text cannot be left
# out of the catalogues.
file(GLOB_RECURSE _sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/src/*.cpp)
list(SORT _sources)
execute_process(
  COMMAND ${XGETTEXT} --from-code=UTF-8 --language=C++ --keyword=_ --keyword=wxTRANSLATE
          --no-location --sort-output
          --omit-header -o ${OUTPUT} ${_sources}
  WORKING_DIRECTORY ${SOURCE_DIR}
  RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "xgettext failed (${_result})")
endif()
