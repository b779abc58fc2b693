#!/usr/bin/env bash
# Installs what building and testing VORDA needs and a fresh Debian or Ubuntu
# machine lacks: the compiler and CMake, GoogleTest, pybind11 and the Python
# headers for the binding, the Debian Python packages the toolkit's tests
# use, and chromium for the report's browser test. Does nothing when
# everything is there.
set -euo pipefail

missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)
[ -f /usr/include/pybind11/pybind11.h ] || missing+=(pybind11-dev)
if [ -x /usr/bin/python3 ]; then
  # The toolkit runs on the Debian interpreter, which sees the Debian packages.
  for module in numpy matplotlib pandas scipy pytest hypothesis xarray cftime dask distributed; do
    /usr/bin/python3 -c "import $module" >/dev/null 2>&1 || missing+=("python3-$module")
  done
  # Gridded data: NetCDF for vordakit grid.
  /usr/bin/python3 -c "import netCDF4" >/dev/null 2>&1 || missing+=(python3-netcdf4)
  /usr/bin/python3 -c 'import os, sysconfig; assert os.path.isfile(sysconfig.get_path("include") + "/Python.h")' \
    >/dev/null 2>&1 || missing+=(python3-dev)
else
  missing+=(python3 python3-dev python3-numpy python3-matplotlib python3-pandas python3-scipy python3-pytest python3-hypothesis
            python3-xarray python3-netcdf4 python3-cftime python3-dask python3-distributed)
fi
# ncdump shows a grid's output; cdo is compared with in bench/kit_grid.py.
command -v ncdump >/dev/null 2>&1 || missing+=(netcdf-bin)
command -v cdo >/dev/null 2>&1 || missing+=(cdo)
# udunits2 checks that every units attribute of a grid's output reads as UDUNITS-2 units.
command -v udunits2 >/dev/null 2>&1 || missing+=(udunits-bin)
# vordakit report's test loads the page in a headless browser (skipped without it).
command -v chromium >/dev/null 2>&1 || missing+=(chromium)
# The man pages of the install and the package, which their tests look for.
command -v help2man >/dev/null 2>&1 || missing+=(help2man)

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
  else
    echo "install-deps: run as root (or install sudo) to install: ${missing[*]}" >&2
    exit 1
  fi
fi
"${sudo[@]}" apt-get update
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
