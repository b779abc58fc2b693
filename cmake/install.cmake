# `cmake --install`: vorda and the vordakit command in bin/, the vordakit
# package (with the binding where it is built) where Debian's python3 looks,
# man pages for both, and the documents.
include(GNUInstallDirs)
set(VORDA_PYTHON_INSTALL_DIR "lib/python3/dist-packages" CACHE STRING
    "Where the vordakit package is installed, relative to the prefix")

install(TARGETS vorda RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY python/vordakit DESTINATION ${VORDA_PYTHON_INSTALL_DIR}
        PATTERN __pycache__ EXCLUDE
        PATTERN _version.py EXCLUDE
        PATTERN "*.so" EXCLUDE)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/install/_version.py
     CONTENT "version = \"${PROJECT_VERSION}\"\n")
install(FILES ${PROJECT_BINARY_DIR}/install/_version.py DESTINATION ${VORDA_PYTHON_INSTALL_DIR}/vordakit)
if(VORDA_PYTHON)
  install(TARGETS vorda_python LIBRARY DESTINATION ${VORDA_PYTHON_INSTALL_DIR}/vordakit)
endif()

# The command: the Debian interpreter, with the package installed beside it
# first on the path, so that any prefix works without PYTHONPATH.
file(RELATIVE_PATH VORDA_COMMAND_TO_PACKAGE /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${VORDA_PYTHON_INSTALL_DIR})
configure_file(packaging/vordakit.in ${PROJECT_BINARY_DIR}/install/vordakit @ONLY)
install(PROGRAMS ${PROJECT_BINARY_DIR}/install/vordakit DESTINATION ${CMAKE_INSTALL_BINDIR})

# Man pages: vorda's written by hand (it takes no options); vordakit's, one
# for the command and one per subcommand (man vordakit-grid), made from their
# --help by help2man; all compressed as Debian wants them.
find_program(HELP2MAN help2man)
find_program(GZIP gzip)
if(HELP2MAN AND GZIP)
  set(man_dir ${PROJECT_BINARY_DIR}/man)
  configure_file(packaging/vorda.1.in ${man_dir}/page/vorda.1 @ONLY)
  # The subcommands' pages are named by the script, which asks the parser;
  # a help text may be declared in any of the package's modules.
  file(GLOB_RECURSE kit_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/vordakit/*.py)
  add_custom_command(
    OUTPUT ${man_dir}/vordakit/man1/vordakit.1.gz
    COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/man-pages.sh ${HELP2MAN} ${PROJECT_SOURCE_DIR}
            ${man_dir}/vordakit ${PROJECT_VERSION}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/man-pages.sh ${PROJECT_SOURCE_DIR}/packaging/vordakit-help
            ${kit_sources}
    VERBATIM)
  add_custom_command(
    OUTPUT ${man_dir}/vorda.1.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${man_dir}/page/vorda.1 ${man_dir}/vorda.1
    COMMAND ${GZIP} -9nf ${man_dir}/vorda.1
    DEPENDS ${man_dir}/page/vorda.1
    VERBATIM)
  add_custom_target(man-pages ALL DEPENDS ${man_dir}/vordakit/man1/vordakit.1.gz ${man_dir}/vorda.1.gz)
  install(FILES ${man_dir}/vorda.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(DIRECTORY ${man_dir}/vordakit/man1/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man or gzip not found: no man pages (Debian: apt install help2man)")
endif()

# The documents, laid out as in the source tree so that their links to each
# other and to the pictures hold: README.md beside docs/.
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
