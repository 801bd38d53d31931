# Cross build for 64-bit Windows with Debian's mingw-w64 GCC.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# Tests run the exe under Wine's 64-bit loader itself. Debian's wine command starts the
# 32-bit loader first, even for a 64-bit exe, and some hosts run no 32-bit program.
find_program(HALVERN_WINE NAMES wine64 PATHS /usr/lib/wine DOC "Wine's 64-bit loader")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-gcc.cmake)
