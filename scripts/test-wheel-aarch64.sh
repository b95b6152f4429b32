#!/usr/bin/env bash
# The module's suite without NumPy against the manylinux aarch64 wheel in
# dist/ (scripts/wheels.sh), under qemu-aarch64: Debian trixie's arm64 CPython
# 3.13 and the C libraries it needs, unpacked (not installed) under build/;
# the test tools (pure Python) and the wheel put in its site folder by the
# host's pip, from dist/ for the wheel. Child interpreters that tests start
# run through binfmt_misc, which this script enables for aarch64.
#
#   bash scripts/test-wheel-aarch64.sh [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_apt qemu-user-static binfmt-support debian-archive-keyring
[ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64
ensure_wheel_tools
tools=.venv/arm-tools
version=$("$tools/bin/python" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')

root=build/arm64-python
stage "aarch64 suite: Debian's arm64 CPython 3.13"
debian_unpacked arm64 "$root" libc6 libgcc-s1 libstdc++6 libpython3.13-minimal libpython3.13-stdlib \
    python3.13-minimal libexpat1 zlib1g libffi8 libbz2-1.0 liblzma5 libzstd1 libssl3t64 libsqlite3-0 \
    libmpdec4 libncursesw6 libtinfo6 libreadline8t64 libuuid1 libcrypt1
# Debian's loader lives in /usr/lib; its programs ask for /lib.
[ -e "$root/lib" ] || ln -s usr/lib "$root/lib"

site=$root/usr/lib/python3/dist-packages
stage "aarch64 suite: the test tools and the wheel from dist/"
rm -rf "$site" && mkdir -p "$site"
target_pip=(-m pip install -q --target "$site" --python-version 3.13 --implementation cp --abi cp313
    --platform manylinux_2_17_aarch64 --platform manylinux2014_aarch64 --only-binary=:all:)
# The suite's tools that run without NumPy; dask, distributed and tmm serve
# only the examples' tests, which need NumPy.
"$tools/bin/python" "${target_pip[@]}" pytest hypothesis mpmath
"$tools/bin/python" "${target_pip[@]}" --no-index --no-deps --find-links dist "quelva==$version"

stage "aarch64 suite: the module's tests under qemu-aarch64 (without NumPy)"
python=$PWD/$root/usr/bin/python3.13
QEMU_LD_PREFIX=$PWD/$root "$python" -c 'import platform, quelva; print(platform.machine(), quelva.__file__)'
(cd tests && QEMU_LD_PREFIX=$PWD/../$root "$python" -m pytest -q -ra -p no:cacheprovider "$@" .)
stage "aarch64 suite: passed"
