#!/usr/bin/env bash
# The engine and its whole C++ test suite on 64-bit ARM Linux (aarch64), with
# the NEON kernel variant: compiled with zig's clang for aarch64-linux-musl
# (warnings are errors), linked statically with GoogleTest built the same way,
# and run under qemu-aarch64 (a static program needs no aarch64 root). zig,
# its cache and GoogleTest are kept under .venv/ and build/ for later runs.
#
#   bash scripts/aarch64.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_build_tools
ensure_apt googletest file qemu-user-static
ensure_zig build/aarch64/zig-wrappers '-target aarch64-linux-musl'

out=build/aarch64
cross_engine_tests aarch64-linux-musl "$PWD/cmake/aarch64-linux-zig.cmake" "$out" \
    'ELF 64-bit LSB .* ARM aarch64.*statically linked'
# The engine's build picks its variants from what the compiler targets: the
# NEON one must have been among them.
find "$out/engine" -name 'variant_neon.cpp.o' | grep -q . || { echo "the NEON variant was not built" >&2; exit 1; }
stage "aarch64: all engine tests passed on aarch64-linux-musl"
