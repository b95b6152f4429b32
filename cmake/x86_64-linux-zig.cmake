# Compilation for x86-64 Linux with zig's clang: the wrappers carry the target,
# C library and its version included (x86_64-linux-gnu.2.17 or
# x86_64-linux-musl for the module's wheels). See cmake/zig.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# The host runs these programs itself: no emulator.
set(ZIG_QEMU "")
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
