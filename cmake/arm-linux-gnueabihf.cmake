# Cross-compilation to 32-bit ARM Linux with hard float (Debian's
# g++-arm-linux-gnueabihf); the programs run under qemu-arm, which CMake and
# CTest use as the emulator for test discovery and test runs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ARM_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ARM_TRIPLE}-g++)

# The target's libraries live in /usr/arm-linux-gnueabihf. Packages built
# elsewhere for the target (a cross-built GoogleTest) are given by their
# <Package>_DIR.
set(CMAKE_FIND_ROOT_PATH /usr/${ARM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(ARM_QEMU NAMES qemu-arm qemu-arm-static)
if(ARM_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ARM_QEMU} -L /usr/${ARM_TRIPLE})
endif()
