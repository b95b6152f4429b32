#!/usr/bin/env bash
# 32-bit ARM Linux with hard float and glibc (armhf), all under qemu-arm:
#   1. the engine and its whole C++ test suite, cross-compiled with Debian's
#      arm-linux-gnueabihf GCC (GoogleTest built from Debian's source package
#      with the same compiler);
#   2. the module's manylinux armv7l wheel for CPython 3.13 from dist/ (made
#      by scripts/wheels.sh), checked by auditwheel in a Debian trixie armhf
#      root and installed there by pip into two venvs under build/;
#   3. the module's whole pytest suite in that root, with NumPy and without.
# The root lives in the machine's cache (scripts/lib.sh), GoogleTest under
# build/; a fresh machine makes them.
#
#   bash scripts/arm.sh [pytest args...]
#   QUELVA_SUITES=without-numpy bash scripts/arm.sh   (CI: the suite without NumPy only)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_build_tools
ensure_apt g++-arm-linux-gnueabihf googletest file
ensure_binfmt_arm

toolchain=$PWD/cmake/arm-linux-gnueabihf.cmake
out=build/arm

cross_engine_tests arm-linux-gnueabihf "$toolchain" "$out" 'ELF 32-bit LSB .* ARM' \
    'Tag_ABI_VFP_args: VFP registers'

ensure_armhf_root
root=$ARMHF_ROOT

# The wheel that scripts/wheels.sh built for CPython 3.13 and glibc on armv7l,
# by pip's own reading of the tags in the root.
version=$(project_version)
stage "arm: the module's wheel from dist/"
rm -rf "$out/wheel"
in_root "$root" python3 -m pip download -q --no-index --no-deps --only-binary=:all: --find-links /src/dist \
    -d /src/$out/wheel "quelva==$version"
wheel=$(ls "$out"/wheel/quelva-"$version"-cp313-cp313-manylinux*_armv7l.whl)
echo "$wheel"
in_root "$root" /opt/quelva-tools/bin/auditwheel show "/src/$wheel"

# Two environments, made under build/ by the root's CPython: Debian's NumPy
# and test tools, and the same tools without NumPy (a folder of links to
# Debian's packages less numpy). The wheel is installed into each by pip.
envs=(nonumpy)
! with_numpy_suites || envs=(numpy nonumpy)
for env in "${envs[@]}"; do
    stage "arm: the module's tests in the armhf root ($env)"
    in_root "$root" sh -ec "
        venv=/src/$out/venv-$env
        rm -rf \$venv
        if [ $env = numpy ]; then
            python3 -m venv --system-site-packages \$venv
        else
            python3 -m venv \$venv
            links=/src/$out/dist-packages-sans-numpy
            rm -rf \$links && mkdir -p \$links
            for entry in /usr/lib/python3/dist-packages/*; do
                case \${entry##*/} in numpy|numpy-*|numpy.*) continue ;; esac
                ln -s \"\$entry\" \$links/
            done
            echo \$links > \$venv/lib/python3.13/site-packages/debian-sans-numpy.pth
        fi
        \$venv/bin/python -m pip install -q --no-index --no-deps /src/$wheel
        \$venv/bin/python -c 'import quelva; assert \"/src/$out/venv-\" in quelva.__file__, quelva.__file__'
        cd /src/tests && QUELVA_TEST_TIMEOUT_SCALE=$QEMU_TIMEOUT_SCALE \$venv/bin/python -m pytest -q -ra -p no:cacheprovider $*"
done
stage "arm: engine and module tests passed on arm-linux-gnueabihf"
