# The common part of the toolchain files for zig's clang (the `ziglang`
# package from PyPI) as compiler and linker for a Linux target; the including
# file sets CMAKE_SYSTEM_PROCESSOR and ZIG_QEMU (the names of the qemu-user
# emulator for the target). Executables are linked statically (the engine's
# tests, with musl), so qemu-user runs them without a root; a shared library
# (the module) links the target's C library dynamically.
#
# ZIG_WRAPPERS (environment or cache) names a folder with the commands zig-cc,
# zig-c++, zig-ar and zig-ranlib, each of which runs `zig <tool>` with the
# target (`-target ... -mcpu=...`, C library included) and its own arguments; ensure_zig in
# scripts/lib.sh writes them. CMake wants a single program per tool, hence the
# wrappers.
set(CMAKE_SYSTEM_NAME Linux)

if(NOT ZIG_WRAPPERS)
  set(ZIG_WRAPPERS "$ENV{ZIG_WRAPPERS}")
endif()
if(NOT EXISTS "${ZIG_WRAPPERS}/zig-c++")
  message(FATAL_ERROR "ZIG_WRAPPERS must name the folder of the zig-c++ wrapper (got '${ZIG_WRAPPERS}')")
endif()
set(ZIG_WRAPPERS "${ZIG_WRAPPERS}" CACHE PATH "Folder of the zig-cc/zig-c++/zig-ar/zig-ranlib wrappers")

set(CMAKE_C_COMPILER "${ZIG_WRAPPERS}/zig-cc")
set(CMAKE_CXX_COMPILER "${ZIG_WRAPPERS}/zig-c++")
set(CMAKE_AR "${ZIG_WRAPPERS}/zig-ar" CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB "${ZIG_WRAPPERS}/zig-ranlib" CACHE FILEPATH "Archive indexer")
# glibc cannot be linked statically: a build for a glibc target (the module)
# sets ZIG_STATIC_EXECUTABLES=OFF. The checks CMake compiles see it too.
if(NOT DEFINED ZIG_STATIC_EXECUTABLES OR ZIG_STATIC_EXECUTABLES)
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_WRAPPERS ZIG_STATIC_EXECUTABLES)

# Nothing of the host is searched for the target's libraries and headers;
# packages built for the target are given by their <Package>_DIR.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(ZIG_QEMU)
  find_program(ZIG_QEMU_PROGRAM NAMES ${ZIG_QEMU})
  if(ZIG_QEMU_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ZIG_QEMU_PROGRAM})
  endif()
endif()
