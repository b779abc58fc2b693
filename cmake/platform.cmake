# Event midpoints and action measures are summed in extended precision so that
# they agree to the last bit with earlier result files; a long double with
# less than a 64-bit significand would change them. Better to stop here than
# at a bare static_assert deep in the build.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("
#include <limits>
static_assert(std::numeric_limits<long double>::digits == 64);
int main() { return 0; }" VORDA_LONG_DOUBLE_EXTENDED)
if(NOT VORDA_LONG_DOUBLE_EXTENDED)
  message(FATAL_ERROR
    "VORDA needs a long double with a 64-bit significand (x87 extended precision), "
    "which this compiler and platform do not give. It builds on x86-64 Linux with glibc.")
endif()
