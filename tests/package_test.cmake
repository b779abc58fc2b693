# Makes the .deb with cpack and checks with dpkg-deb -c that it holds both
# commands, the Python package, the man pages and the documents, under /usr;
# and that lintian, where installed, finds no error in it.
# -DBUILD=<build tree> -DWORKDIR=<scratch> -DVERSION=<project version>
file(REMOVE_RECURSE ${WORKDIR})
file(MAKE_DIRECTORY ${WORKDIR})
execute_process(COMMAND cpack --config ${BUILD}/CPackConfig.cmake -B ${WORKDIR}
                OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cpack ended with status ${status}: ${out}")
endif()
file(GLOB deb ${WORKDIR}/vorda_${VERSION}_*.deb)
if(NOT deb)
  message(FATAL_ERROR "cpack made no vorda_${VERSION}_ARCH.deb in ${WORKDIR}: ${out}")
endif()
execute_process(COMMAND dpkg-deb -c ${deb} OUTPUT_VARIABLE contents RESULT_VARIABLE status)
foreach(wanted
    ./usr/bin/vorda ./usr/bin/vordakit
    ./usr/lib/python3/dist-packages/vordakit/cli.py
    ./usr/lib/python3/dist-packages/vordakit/_version.py
    ./usr/share/man/man1/vorda.1.gz ./usr/share/man/man1/vordakit.1.gz
    ./usr/share/man/man1/vordakit-grid.1.gz ./usr/share/man/man1/vordakit-batch.1.gz
    ./usr/share/doc/vorda/copyright ./usr/share/doc/vorda/README.md
    ./usr/share/doc/vorda/docs/toolkit.md ./usr/share/doc/vorda/docs/file-formats.md)
  string(FIND "${contents}" " ${wanted}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${deb} lacks ${wanted}; it holds:\n${contents}")
  endif()
endforeach()
find_program(LINTIAN lintian)
if(LINTIAN)
  execute_process(COMMAND ${LINTIAN} --fail-on error ${deb}
                  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "lintian --fail-on error ${deb}: status ${status}:\n${out}")
  endif()
else()
  message(STATUS "lintian not found: the package is not checked for policy errors")
endif()
message(STATUS "${deb} holds both commands, the package, the man pages and the documents")
