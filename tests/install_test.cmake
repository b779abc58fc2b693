# Installs into a fresh prefix and runs what was installed from outside the
# source tree, with PATH and PYTHONPATH reset so that nothing of the source or
# build tree can stand in for it: vorda on the example, vordakit --version,
# and vordakit run on the example series.
# -DBUILD=<build tree> -DSOURCE=<source tree> -DWORKDIR=<scratch> -DVERSION=<project version>
file(REMOVE_RECURSE ${WORKDIR})
set(prefix ${WORKDIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix}
                OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install ended with status ${status}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -DVORDA=${prefix}/bin/vorda -DSOURCE=${SOURCE}/example
                        -DWORKDIR=${WORKDIR}/example -P ${SOURCE}/example/run.cmake
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the installed vorda does not give the example's expected results")
endif()

set(clean_env ${CMAKE_COMMAND} -E env --unset=PYTHONPATH --unset=VORDA --unset=VORDA_BINDING_DIR
              PATH=/usr/bin:/bin HOME=${WORKDIR})
execute_process(COMMAND ${clean_env} ${prefix}/bin/vordakit --version
                WORKING_DIRECTORY ${WORKDIR}
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT out STREQUAL "vordakit ${VERSION}\n")
  message(FATAL_ERROR "vordakit --version: status ${status}, said: ${out}")
endif()

file(MAKE_DIRECTORY ${WORKDIR}/run)
file(COPY ${SOURCE}/example/series.txt DESTINATION ${WORKDIR}/run)
execute_process(COMMAND ${clean_env} ${prefix}/bin/vordakit run series.txt
                        --type upper --threshold 18.0 --min-duration 3 --out results
                WORKING_DIRECTORY ${WORKDIR}/run
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "vordakit run: status ${status}, said: ${out}")
endif()
file(GLOB expected RELATIVE ${SOURCE}/example/expected ${SOURCE}/example/expected/*.dat)
foreach(name IN LISTS expected)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
                          ${SOURCE}/example/expected/${name} ${WORKDIR}/run/results/${name}
                  RESULT_VARIABLE same)
  if(NOT same EQUAL 0)
    message(FATAL_ERROR "vordakit run: ${name} differs from example/expected")
  endif()
endforeach()
message(STATUS "installed into ${prefix}; vorda and vordakit ran from there")
