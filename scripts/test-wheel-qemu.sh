#!/usr/bin/env bash
# The module's suite against the manylinux wheel for CPython 3.13 in dist/
# (scripts/wheels.sh) of another architecture, under qemu-user: Debian trixie's
# CPython 3.13 for that architecture and the C libraries it needs, unpacked
# (not installed) into the machine's cache; the test tools, PyPI's NumPy where
# it publishes a wheel for the architecture, and the wheel (from dist/) put in
# a site folder under build/ by the host's pip. Child interpreters that tests
# start run through binfmt_misc, which this script enables. ARCH is Debian's
# name: arm64 (aarch64: with NumPy and without) or armhf (armv7l: without
# NumPy, which has no armv7l wheel; scripts/arm.sh runs Debian's NumPy there).
#
#   bash scripts/test-wheel-qemu.sh ARCH [pytest args...]
#   QUELVA_SUITES=without-numpy bash scripts/test-wheel-qemu.sh arm64   (CI: without NumPy only)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

arch=${1:-}
case $arch in
    arm64) machine=aarch64 emulator=qemu-aarch64 ;;
    armhf) machine=armv7l emulator=qemu-arm ;;
    *) echo "usage: bash scripts/test-wheel-qemu.sh arm64|armhf [pytest args...]" >&2; exit 2 ;;
esac
shift
ensure_apt qemu-user-static binfmt-support debian-archive-keyring
[ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
[ -e /proc/sys/fs/binfmt_misc/$emulator ] || update-binfmts --enable $emulator
ensure_wheel_tools
tools=.venv/arm-tools
version=$(project_version)

stage "$machine suite: Debian's $arch CPython 3.13"
debian_unpacked trixie "$arch" libc6 libgcc-s1 libstdc++6 libpython3.13-minimal libpython3.13-stdlib \
    python3.13-minimal libexpat1 zlib1g libffi8 libbz2-1.0 liblzma5 libzstd1 libssl3t64 libsqlite3-0 \
    libmpdec4 libncursesw6 libtinfo6 libreadline8t64 libuuid1 libcrypt1
# The emulator's root (QEMU_LD_PREFIX): the cached packages' /usr, and the
# /lib through which Debian's programs ask for their loader (Debian's loader
# lives in /usr/lib).
root=build/$machine-suite/root
rm -rf "$root" && mkdir -p "$root"
ln -s "$DEBIAN_UNPACKED/usr" "$root/usr"
ln -s usr/lib "$root/lib"
python=$PWD/$root/usr/bin/python3.13

# Two user site folders (PYTHONUSERBASE, below): the suite's
# tools and the wheel from dist/, and the same with PyPI's manylinux NumPy
# (its OpenBLAS inside). The host's pip installs them for the target.
target_pip=(-m pip install -q --python-version 3.13 --implementation cp --abi cp313
    --platform manylinux_2_17_$machine --platform manylinux2014_$machine --platform manylinux_2_28_$machine
    --only-binary=:all:)
mapfile -t test_tools < <(extra_requirements test)
passed=()
failed=()
runs=("")
! with_numpy_suites || [ "$arch" != arm64 ] || runs=("numpy>=2" "")
for numpy in "${runs[@]}"; do
    label=${numpy:-without NumPy}
    # The interpreter's user site folder (PYTHONUSERBASE): on its path in
    # the child interpreters too, even where a test sets PYTHONPATH to a
    # fake NumPy of its own.
    userbase=$PWD/build/$machine-suite/user-$([ -n "$numpy" ] && echo numpy || echo nonumpy)
    site=$userbase/lib/python3.13/site-packages
    stage "$machine suite: the test tools ${numpy:+and NumPy }and the wheel from dist/ ($label)"
    rm -rf "$userbase" && mkdir -p "$site"
    # The suite's tools that run without NumPy; with NumPy, also what the
    # examples' tests need (tmm is an sdist of pure Python, built here).
    if [ -n "$numpy" ]; then
        mapfile -t wheels_only < <(printf '%s\n' "${test_tools[@]}" $(extra_requirements example fit) | grep -vx tmm)
        "$tools/bin/python" "${target_pip[@]}" --target "$site" "$numpy" "${wheels_only[@]}"
        "$tools/bin/python" -m pip install -q --no-deps --target "$site" tmm
    else
        "$tools/bin/python" "${target_pip[@]}" --target "$site" pytest hypothesis mpmath
    fi
    "$tools/bin/python" "${target_pip[@]}" --target "$site" --no-index --no-deps --find-links dist "quelva==$version"

    stage "$machine suite: the module's tests under $emulator ($label)"
    started=$SECONDS
    # OpenBLAS picks its kernels by the CPU it sees, and qemu's reports
    # features (SVE) whose emulation gave wrong complex products here (tmm's
    # 2x2 matrix products, R of 131); the generic ARMv8 kernels are right.
    export OPENBLAS_CORETYPE=ARMV8
    # The suite's children run tens of times slower under qemu than natively
    # (an example script: 7 s natively, 315 s here); their hang limits grow.
    export QUELVA_TEST_TIMEOUT_SCALE=$QEMU_TIMEOUT_SCALE
    export QEMU_LD_PREFIX=$PWD/$root PYTHONUSERBASE=$userbase
    "$python" -c 'import platform, quelva; print(platform.machine(), quelva.__file__)'
    # A failed suite does not stop the next one; the script fails at the end.
    if (cd tests && "$python" -m pytest -q -ra -p no:cacheprovider "$@" .); then
        passed+=("$label: $((SECONDS - started)) s")
    else
        failed+=("$label")
    fi
    unset QEMU_LD_PREFIX PYTHONUSERBASE OPENBLAS_CORETYPE QUELVA_TEST_TIMEOUT_SCALE
done
if ((${#failed[@]} > 0)); then
    stage "$machine suite: FAILED: ${failed[*]} (passed: ${passed[*]:-none})"
    exit 1
fi
stage "$machine suite: passed (${passed[*]})"
