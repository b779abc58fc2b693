# Runs vorda in WORKDIR with the answers in ANSWERS on its standard input,
# then compares the result files with the expected ones beside this script.
execute_process(COMMAND ${VORDA}
                INPUT_FILE ${ANSWERS}
                WORKING_DIRECTORY ${WORKDIR}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "vorda ended with status ${status}")
endif()

file(GLOB expected RELATIVE ${CMAKE_CURRENT_LIST_DIR}/expected ${CMAKE_CURRENT_LIST_DIR}/expected/*.dat)
set(differing "")
foreach(name IN LISTS expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
                          ${CMAKE_CURRENT_LIST_DIR}/expected/${name} ${WORKDIR}/${name}
                  RESULT_VARIABLE same)
  if(NOT same EQUAL 0)
    list(APPEND differing ${name})
  endif()
endforeach()
if(differing)
  message(FATAL_ERROR "Result files differ from example/expected: ${differing}")
endif()
list(LENGTH expected count)
message(STATUS "Result files in ${WORKDIR}; all ${count} equal the expected files in example/expected.")
