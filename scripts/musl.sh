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

stage "musl: GoogleTest for arm-linux-musleabihf"
if [ ! -f "$out/gtest-install/lib/cmake/GTest/GTestConfig.cmake" ]; then
    cmake -S /usr/src/googletest -B "$out/gtest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -Wno-dev -Wno-deprecated -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
        -DCMAKE_INSTALL_PREFIX="$PWD/$out/gtest-install" >/dev/null
    cmake --build "$out/gtest" -j"$(build_jobs)" >/dev/null
    cmake --install "$out/gtest" >/dev/null
fi

stage "musl: engine and its tests"
cmake -S . -B "$out/engine" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DBRENMOR_BUILD_TESTS=ON -DQUELVA_WERROR=ON -DGTest_DIR="$PWD/$out/gtest-install/lib/cmake/GTest" >/dev/null
cmake --build "$out/engine" -j"$(build_jobs)"

for binary in $(find "$out/engine" -name '*_test*' -type f -perm -u+x); do
    file "$binary" | grep -q 'ELF 32-bit LSB .* ARM.*statically linked' || { file "$binary"; exit 1; }
    readelf -A "$binary" | grep -q 'Tag_ABI_VFP_args: VFP registers' || { echo "$binary: not hard-float" >&2; exit 1; }
done

# As in scripts/arm.sh: qemu-user cannot host these two pool tests.
qemu_limits='^Pool\.(StartFailsWhenNoStackCanBeMapped|ForkedChildStartsAFreshPool)$'
stage "musl: engine tests under qemu-arm (not run under qemu: $qemu_limits)"
ctest --test-dir "$out/engine" --output-on-failure -j"$(build_jobs)" -E "$qemu_limits"
stage "musl: all engine tests passed on arm-linux-musleabihf"
