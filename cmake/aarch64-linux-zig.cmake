# Cross-compilation to 64-bit ARM Linux (aarch64) with zig's clang; the
# wrappers carry the target, C library included (aarch64-linux-musl for the
# engine's static test programs, aarch64-linux-gnu.2.17 or aarch64-linux-musl
# for the module). See cmake/zig.cmake.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZIG_QEMU qemu-aarch64 qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
