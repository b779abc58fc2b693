# `cpack` makes vorda_VERSION_ARCH.deb from the install rules: both commands
# under /usr, the toolkit's package where Debian's python3 finds it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorda)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The maintainer's address stands in for a real one, which the project has yet to name.
set(CPACK_PACKAGE_CONTACT "VORDA developers <vorda@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "threshold events and yearly indices of daily climate series")
set(CPACK_PACKAGE_DESCRIPTION
"vorda reads a daily climate series and writes the threshold events and
yearly indices (days beyond a threshold, warm and cold spell duration
indices, start of the growing season, last frost day) as plain-text result
files. vordakit, its companion toolkit, converts and checks station files,
runs vorda without its dialogue and makes tables, trends, plots and batches.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The toolkit's Python API returns pandas tables; the versions are Debian 12's, the oldest it is tested with.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3, python3-numpy (>= 1:1.24), python3-matplotlib (>= 3.6), python3-pandas (>= 1.5)")
# grid needs xarray, netCDF4, cftime and dask; distributed only for a cluster.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-xarray, python3-netcdf4, python3-cftime, python3-dask")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-distributed")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# What Debian asks of every package: a copyright file and a changelog.
set(doc_dir ${PROJECT_BINARY_DIR}/package-doc)
configure_file(packaging/changelog.in ${doc_dir}/changelog @ONLY)
add_custom_command(OUTPUT ${doc_dir}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${doc_dir}/changelog ${doc_dir}/changelog.gz.in
  COMMAND gzip -9nf ${doc_dir}/changelog.gz.in
  COMMAND ${CMAKE_COMMAND} -E rename ${doc_dir}/changelog.gz.in.gz ${doc_dir}/changelog.gz
  DEPENDS ${doc_dir}/changelog VERBATIM)
add_custom_target(package-doc ALL DEPENDS ${doc_dir}/changelog.gz)
install(FILES packaging/copyright ${doc_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
include(CPack)
