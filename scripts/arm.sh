#!/usr/bin/env bash
# 32-bit ARM Linux with hard float and glibc (armhf), all under qemu-arm:
#   1. the engine and its whole C++ test suite, cross-compiled with Debian's
#      arm-linux-gnueabihf GCC (GoogleTest built from Debian's source package
#      with the same compiler);
#   2. the module built as a wheel by its own build backend inside a Debian
#      trixie armhf root, checked by auditwheel there and given its manylinux
#      tag in dist/;
#   3. the module's whole pytest suite in that root, with NumPy and without.
# The root, GoogleTest and the test environments are kept under build/ and
# reused by later runs; a fresh machine makes them all.
#
#   bash scripts/arm.sh [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_build_tools
ensure_apt g++-arm-linux-gnueabihf googletest file
ensure_binfmt_arm

toolchain=$PWD/cmake/arm-linux-gnueabihf.cmake
out=build/arm
root=build/armhf-root

cross_engine_tests arm-linux-gnueabihf "$toolchain" "$out" 'ELF 32-bit LSB .* ARM' \
    'Tag_ABI_VFP_args: VFP registers'

ensure_armhf_root "$root"

stage "arm: the module's wheel, built in the armhf root"
rm -rf "$out/wheel" && mkdir -p "$out/wheel"
# The build runs from a copy: the work tree is shared with the host's builds.
rm -rf "$root/tmp/quelva-src" && mkdir -p "$root/tmp/quelva-src"
git ls-files -z | xargs -0 cp --parents -t "$root/tmp/quelva-src"
in_armhf_root "$root" env CMAKE_BUILD_PARALLEL_LEVEL="$(build_jobs)" \
    python3 -m pip wheel --no-build-isolation --no-index --no-deps -q -w /src/$out/wheel /tmp/quelva-src
wheel=$(ls "$out"/wheel/quelva-*-cp313-cp313-linux_armv7l.whl)
echo "$wheel"

stage "arm: auditwheel (in the root) and the manylinux wheel"
tools=/opt/quelva-tools
ensure_root_auditwheel "$root"
report=$(in_armhf_root "$root" "$tools/bin/auditwheel" show "/src/$wheel")
echo "$report"
# Nothing is grafted (the libraries the module needs are all allowed by the
# policy), so the manylinux wheel is this one with the platform tag that
# auditwheel names.
platform=$(echo "$report" | tr -d '\n' | grep -o 'consistent with *the *following platform tag: *"manylinux_[0-9]*_[0-9]*_armv7l"' |
    grep -o 'manylinux_[0-9]*_[0-9]*_armv7l')
make_venv .venv/arm-tools "$(find_python 3.13)"
.venv/arm-tools/bin/python -c "import wheel" 2>/dev/null || .venv/arm-tools/bin/python -m pip install -q wheel
mkdir -p dist
cp "$wheel" dist/
manylinux=dist/$(.venv/arm-tools/bin/python -m wheel tags --remove --platform-tag "$platform" "dist/${wheel##*/}")
in_armhf_root "$root" "$tools/bin/auditwheel" show "/src/$manylinux"

# Two environments in the root: Debian's NumPy and test tools, and the same
# tools without NumPy (a folder of links to Debian's packages less numpy).
stage "arm: test environments"
in_armhf_root "$root" sh -ec '
    venv=/opt/quelva-numpy
    [ -x $venv/bin/python ] || python3 -m venv --system-site-packages $venv
    venv=/opt/quelva-nonumpy links=/opt/dist-packages-sans-numpy
    [ -x $venv/bin/python ] || python3 -m venv $venv
    rm -rf $links && mkdir -p $links
    for entry in /usr/lib/python3/dist-packages/*; do
        case ${entry##*/} in numpy|numpy-*|numpy.*) continue ;; esac
        ln -s "$entry" $links/
    done
    echo $links > $venv/lib/python3.13/site-packages/debian-sans-numpy.pth'

for env in numpy nonumpy; do
    stage "arm: the module's tests in the armhf root ($env)"
    in_armhf_root "$root" sh -ec "
        /opt/quelva-$env/bin/python -m pip install -q --no-index --no-deps --force-reinstall /src/$wheel
        cd /src/tests && /opt/quelva-$env/bin/python -m pytest -q -ra -p no:cacheprovider $*"
done
stage "arm: engine and module tests passed on arm-linux-gnueabihf"
