# Cross-compilation to 32-bit ARM Linux with hard float and the musl C library,
# with zig's clang; the wrappers carry the target (see cmake/zig.cmake), so the
# same file serves the glibc wheel (arm-linux-gnueabihf.2.17).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ZIG_QEMU qemu-arm qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
