# Cross build for 32-bit Windows with Debian's mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

# The posix thread model: the win32 one has no std::mutex in GCC 12, which GoogleTest
# needs. halvern itself uses no threads and imports nothing more for it.
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every program and DLL links the GCC runtime, libstdc++ included, statically: a clean
# Windows has none.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)

# Tests run the exe under Wine's 32-bit loader, itself a 32-bit program: on a host whose
# kernel runs none, tests/i386-host.sh says so before any test runs.
find_program(HALVERN_WINE NAMES wine DOC "Wine's loader for 32-bit exes")
set(CMAKE_CROSSCOMPILING_EMULATOR ${HALVERN_WINE})
