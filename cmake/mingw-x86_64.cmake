# Cross build for 64-bit Windows with Debian's mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The posix thread model: the win32 one has no std::mutex in GCC 12, which GoogleTest
# needs. halvern itself uses no threads and imports nothing more for it.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every program and DLL links the GCC runtime, libstdc++ included, statically: a clean
# Windows has none.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

# Tests run the exe under Wine's 64-bit loader itself. Debian's wine command starts the
# 32-bit loader first, even for a 64-bit exe, and some hosts run no 32-bit program.
find_program(HALVERN_WINE NAMES wine64 PATHS /usr/lib/wine DOC "Wine's 64-bit loader")
set(CMAKE_CROSSCOMPILING_EMULATOR ${HALVERN_WINE})
