# Cross build for 32-bit Windows with Debian's mingw-w64 GCC.
set(CMAKE_SYSTEM_PROCESSOR i686)
# Tests run the exe under Wine's 32-bit loader, itself a 32-bit program: on a host whose
# kernel runs none, tests/i386-host.sh says so before any test runs.
find_program(HALVERN_WINE NAMES wine DOC "Wine's loader for 32-bit exes")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-gcc.cmake)
