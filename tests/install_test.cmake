# Installs into a fresh prefix and runs what was installed from outside the
# source tree, with PATH and PYTHONPATH reset so that nothing of the source or
# build tree can stand in for it: vorda on the example, vordakit --version,
# and vordakit run on the example series; and the documents: a man page for
# every subcommand, README.md and the docs/ pages with every link of theirs
# to a file found in the installed tree.
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

# A man page per subcommand that the installed vordakit lists, each naming
# itself and giving the options of its --help.
execute_process(COMMAND ${clean_env} ${prefix}/bin/vordakit --help
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
string(REGEX MATCHALL "\n    [a-z]+ " commands "${out}")
list(TRANSFORM commands STRIP)
list(FIND commands grid grid_at)
if(NOT status EQUAL 0 OR grid_at EQUAL -1)
  message(FATAL_ERROR "vordakit --help: status ${status}, no subcommands found in: ${out}")
endif()
foreach(command IN LISTS commands)
  set(page ${prefix}/share/man/man1/vordakit-${command}.1.gz)
  execute_process(COMMAND gzip -dc ${page} OUTPUT_VARIABLE text RESULT_VARIABLE status)
  execute_process(COMMAND ${clean_env} ${prefix}/bin/vordakit ${command} --help OUTPUT_VARIABLE help)
  # The last option its help names, as help2man escapes the hyphens.
  string(REGEX MATCHALL "--[a-z][a-z-]*" options "${help}")
  list(GET options -1 option)
  string(REPLACE "-" "\\-" option "${option}")
  string(FIND "${text}" "${option}" at)
  if(NOT status EQUAL 0 OR NOT text MATCHES "\n\\.SH NAME\nvordakit-${command} \\\\- " OR at EQUAL -1)
    message(FATAL_ERROR "${page}: no page of vordakit ${command} with its option ${option} (gzip: ${status})")
  endif()
endforeach()
foreach(page vorda vordakit)
  if(NOT EXISTS ${prefix}/share/man/man1/${page}.1.gz)
    message(FATAL_ERROR "no man page ${page}.1.gz in ${prefix}/share/man/man1")
  endif()
endforeach()

# The documents as in the source tree, and what they link to there too.
set(doc ${prefix}/share/doc/vorda)
file(GLOB pages RELATIVE ${SOURCE} ${SOURCE}/README.md ${SOURCE}/docs/*.md)
foreach(name IN LISTS pages)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SOURCE}/${name} ${doc}/${name} RESULT_VARIABLE same)
  if(NOT same EQUAL 0)
    message(FATAL_ERROR "${doc}/${name} is missing or differs from ${name}")
  endif()
  file(READ ${SOURCE}/${name} text)
  # Brackets would split CMake's lists where they should not.
  string(REPLACE "[" "<" text "${text}")
  string(REPLACE "]" ">" text "${text}")
  string(REGEX MATCHALL ">\\([^):#]+" links "${text}")
  cmake_path(GET name PARENT_PATH folder)
  foreach(link IN LISTS links)
    string(SUBSTRING "${link}" 2 -1 target)
    if(NOT EXISTS ${doc}/${folder}/${target})
      message(FATAL_ERROR "${doc}/${name} links to ${target}, which is not installed")
    endif()
  endforeach()
endforeach()
message(STATUS "installed into ${prefix}; vorda and vordakit ran from there, their documents are there")
