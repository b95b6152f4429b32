#!/usr/bin/env bash
# The engine and its whole C++ test suite on 32-bit ARM Linux with hard float
# and the musl C library: compiled with zig's clang for arm-linux-musleabihf
# (warnings are errors), linked statically with GoogleTest built the same way,
# and run under qemu-arm. zig, its cache and GoogleTest are kept under .venv/
# and build/ for later runs.
#
#   bash scripts/musl.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_build_tools
ensure_apt googletest file
ensure_binfmt_arm
ensure_zig build/musl/zig-wrappers

toolchain=$PWD/cmake/arm-linux-musleabihf-zig.cmake
out=build/musl

cross_engine_tests arm-linux-musleabihf "$toolchain" "$out" 'ELF 32-bit LSB .* ARM.*statically linked' \
    'Tag_ABI_VFP_args: VFP registers'
stage "musl: all engine tests passed on arm-linux-musleabihf"
