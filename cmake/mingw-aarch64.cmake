# Cross build for native ARM64 Windows with Debian's clang 14 and lld. Debian 12 has no
# mingw-w64 runtime for ARM64: mingw-aarch64-runtime.sh builds one from Debian's source
# packages into a cache outside the clone, once, and names its prefix here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)

# The checks CMake compiles read this file again, in this process: the script runs once.
if(NOT DEFINED ENV{HALVERN_AARCH64_RUNTIME})
  execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/mingw-aarch64-runtime.sh --prefix
                  OUTPUT_VARIABLE runtime OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_VARIABLE why ECHO_ERROR_VARIABLE RESULT_VARIABLE failed)
  if(failed)
    string(STRIP "${why}" why)
    string(REGEX REPLACE ".*\n" "" why "${why}")
    message(FATAL_ERROR "${why}")
  endif()
  set(ENV{HALVERN_AARCH64_RUNTIME} "${runtime}")
endif()
set(runtime $ENV{HALVERN_AARCH64_RUNTIME})

# Every tool from LLVM 14's own folder, as the runtime is built: there clang finds
# ld.lld, and llvm-windres finds clang, by the names they look for. Debian's clang-14
# and lld-14 put only versioned names on the PATH.
set(llvm /usr/lib/llvm-14/bin)
set(triple aarch64-w64-mingw32)
set(CMAKE_C_COMPILER ${llvm}/clang)
set(CMAKE_CXX_COMPILER ${llvm}/clang++)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
set(CMAKE_SYSROOT ${runtime})
# llvm-windres preprocesses with clang, which finds the headers by the same target and
# sysroot.
set(CMAKE_RC_COMPILER ${llvm}/llvm-windres)
set(CMAKE_RC_FLAGS_INIT "--target=${triple} --preprocessor-arg=--sysroot=${runtime}")
set(CMAKE_AR ${llvm}/llvm-ar)
set(CMAKE_RANLIB ${llvm}/llvm-ranlib)

set(CMAKE_FIND_ROOT_PATH ${runtime}/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The prefix's resource folder holds compiler-rt's builtins. C++ code gets libc++, and
# every program and DLL links it, with libunwind, statically: a clean Windows has none.
# halvern.exe takes neither (see CMakeLists.txt).
set(CMAKE_C_FLAGS_INIT "-resource-dir=${runtime}/clang")
set(CMAKE_CXX_FLAGS_INIT "-resource-dir=${runtime}/clang -stdlib=libc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -static -rtlib=compiler-rt -unwindlib=libunwind")
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${CMAKE_EXE_LINKER_FLAGS_INIT})

# Tests run the exe under Debian's arm64 Wine, run by qemu-aarch64: tests/wine-arm64.sh
# makes it from Debian's arm64 packages and names its loader, used as Debian's wine64
# is. Until it is made (bash tests/wine-arm64.sh setup), the tests name HALVERN_WINE as
# missing; -DHALVERN_WINE=LOADER names another loader.
if(NOT HALVERN_WINE)
  execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../tests/wine-arm64.sh loader
                  OUTPUT_VARIABLE loader OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  get_filename_component(loader_dir "${loader}" DIRECTORY)
endif()
find_program(HALVERN_WINE NAMES wine64 PATHS ${loader_dir} NO_DEFAULT_PATH
             DOC "Wine's loader for ARM64 exes")
set(CMAKE_CROSSCOMPILING_EMULATOR ${HALVERN_WINE})
