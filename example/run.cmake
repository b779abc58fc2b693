# Runs vorda in WORKDIR on a fresh copy of the example series in SOURCE, with
# the answers in SOURCE/answers.txt on its standard input, then compares the
# result files with the expected ones in SOURCE/expected.
file(REMOVE_RECURSE ${WORKDIR})
file(MAKE_DIRECTORY ${WORKDIR})
file(COPY ${SOURCE}/series.txt DESTINATION ${WORKDIR})
execute_process(COMMAND ${VORDA}
                INPUT_FILE ${SOURCE}/answers.txt
                WORKING_DIRECTORY ${WORKDIR}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "vorda ended with status ${status}")
endif()

file(GLOB expected RELATIVE ${SOURCE}/expected ${SOURCE}/expected/*.dat)
file(GLOB written RELATIVE ${WORKDIR} ${WORKDIR}/*.dat)
set(differing "")
foreach(name IN LISTS expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
                          ${SOURCE}/expected/${name} ${WORKDIR}/${name}
                  RESULT_VARIABLE same)
  if(NOT same EQUAL 0)
    list(APPEND differing ${name})
  endif()
endforeach()
if(differing)
  message(FATAL_ERROR "Result files differ from example/expected: ${differing}")
endif()
list(LENGTH expected count)
list(LENGTH written written_count)
if(NOT written_count EQUAL count)
  message(FATAL_ERROR "The run wrote ${written_count} result files, example/expected holds ${count}")
endif()
message(STATUS "Result files in ${WORKDIR}; all ${count} equal the expected files in example/expected.")
