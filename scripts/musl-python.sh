#!/usr/bin/env bash
# A CPython 3.13 for the musl C library, cross-built with zig's clang from
# Debian trixie's source packages (python3.13, zlib, libffi: upstream's
# tarballs, Debian's patches left out), so that the musllinux wheels can be
# imported and tested here. TARGET is a zig target:
#
#   x86_64-linux-musl     runs natively;
#   arm-linux-musleabihf  armhf's baseline (armv7-a, VFPv3-D16, no NEON); runs
#                         under qemu-arm (binfmt_misc), like a native program.
#
# The interpreter's ELF loader is a copy of trixie's musl loader for the
# target, PREFIX/lib/ld-musl-ARCH.so.1, so nothing is put in the host's /lib,
# and pip finds musl's version (it runs the interpreter's loader) and so
# installs musllinux wheels.
#
# Prints the install prefix (PREFIX) as the last line of its output; the
# build log goes to stderr. The interpreter is PREFIX/bin/python3.13.
#
# Everything is made in machine-wide cache entries (QUELVA_CACHE, see
# scripts/lib.sh) keyed by what they are made from: the source versions, the
# target and the flags below. Nothing depends on the cache: a missing entry is
# made, an existing one is reused (then the script takes about 3 s). Cold, on
# two cores shared with other builds: the build Python 11 min, each target
# 13 min (both at once), plus a few minutes when zig's cache has no musl for
# the target yet. Left out: _ssl, _sqlite3, _lzma, _bz2, readline, curses,
# dbm, tk (the suite needs none: distributed, which needs ssl, skips; mypy is
# run with a file cache).
#
#   bash scripts/musl-python.sh TARGET
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

target=${1:?usage: musl-python.sh x86_64-linux-musl|arm-linux-musleabihf}
case $target in
x86_64-linux-musl)
    zig_target="-target x86_64-linux-musl -mcpu=baseline"
    debian_arch=amd64 loader=ld-musl-x86_64.so.1 ;;
arm-linux-musleabihf)
    zig_target=$ZIG_ARMHF_MUSL
    debian_arch=armhf loader=ld-musl-armhf.so.1 ;;
*)
    echo "musl-python.sh: unknown target '$target' (x86_64-linux-musl or arm-linux-musleabihf)" >&2
    exit 2 ;;
esac

# The recipe's flags, part of the entries' keys.
#  - zig links statically by default, and a static python cannot load
#    extension modules: -dynamic.
#  - A position-independent executable: without it lld turns the reference to
#    `environ` into a copy relocation that comes out wrong, and python crashes
#    at start-up.
#  - zig makes __DATE__/__TIME__ an error (reproducible builds); CPython's
#    build information uses them.
#  - configure cannot run target programs to find out these three.
CPYTHON_CFLAGS="-fPIE -Wno-date-time"
CPYTHON_LDFLAGS="-dynamic"
CPYTHON_LINKFORSHARED="-Xlinker -export-dynamic -pie"
CPYTHON_CONFIG_SITE="ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no"
DEPS_CFLAGS="-fPIC -O2"

exec 3>&1 1>&2

# --- the sources ---------------------------------------------------------
# A private apt state with one deb-src line for trixie, from the host's own
# mirror: the host's apt is neither read nor changed.
work=$PWD/build/musl-python
mkdir -p "$work"
# (One per run: runs for two targets may go on at once.)
apt=$(mktemp -d "$work/apt.XXXXXX")
trap 'rm -rf "$apt"' EXIT
mkdir -p "$apt"/etc/apt/apt.conf.d "$apt"/etc/apt/preferences.d "$apt"/etc/apt/sources.list.d \
    "$apt"/var/lib/apt/lists/partial "$apt"/var/cache/apt/archives/partial "$apt"/var/lib/dpkg
touch "$apt/var/lib/dpkg/status"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(host_debian_mirror) trixie main" \
    >"$apt/etc/apt/sources.list"
apt_opts=(-q -o Dir="$apt" -o Dir::State::status="$apt/var/lib/dpkg/status" -o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" update >/dev/null
# Only upstream's tarballs (*.orig.tar.*) are built from, so they are what the
# entries are keyed by: their names and SHA-256 sums, as the source index
# lists them for the newest version of each package in trixie.
upstream_tarball() {
    apt-cache "${apt_opts[@]}" showsrc "$1" | awk -v pkg="$1" '
        /^Version:/ {version = $2}
        /^Checksums-Sha256:/ {sums = 1; next}
        /^[^ ]/ {sums = 0}
        sums && $3 ~ /\.orig\.tar\.[a-z0-9]+$/ {print version, $1, $3}' | sort -V | tail -1 | cut -d' ' -f2-
}
tarballs=()
for package in python3.13 zlib libffi; do
    tarballs+=("$(upstream_tarball "$package")")
done
printf '== upstream source: %s\n' "${tarballs[@]}"
python_version=$(echo "${tarballs[0]}" | sed -E 's/.*python3\.13_([0-9.]+)\.orig.*/\1/')

sources=$(cache_entry musl-python-sources "${tarballs[@]}")
# apt-get fetches a whole source package (a point release's .dsc may be
# missing on a mirror while its upstream tarball is there: then an older
# version with the same tarball is taken); the tarball's sum is checked.
fetch_sources() {
    [ -d "$sources" ] && return 0
    rm -rf "$sources.tmp"
    mkdir -p "$sources.tmp"
    local package version tarball sum name
    for package in python3.13 zlib libffi; do
        read -r sum name < <(upstream_tarball "$package")
        for version in $(apt-cache "${apt_opts[@]}" showsrc "$package" | awk '/^Version:/ {print $2}' | sort -rV); do
            (cd "$sources.tmp" && apt-get "${apt_opts[@]}" source --download-only "$package=$version" >/dev/null 2>&1) || true
            [ -f "$sources.tmp/$name" ] && break
        done
        echo "$sum  $sources.tmp/$name" | sha256sum -c --quiet
    done
    mv "$sources.tmp" "$sources"
}
cache_locked "$sources" fetch_sources
upstream() { ls "$sources"/"$1"_*.orig.tar.* | grep -v '\.asc$'; }

# --- the build Python ----------------------------------------------------
# A cross-build needs a native interpreter of the same patch release (an
# older 3.13 fails on the new one's standard library).
build_python=$(cache_entry cpython-build "$python_version")
make_build_python() {
    [ -x "$build_python/bin/python3.13" ] && return 0
    stage "build Python $python_version: native, into $build_python"
    rm -rf "$build_python.tmp" "$work/build-python"
    mkdir -p "$work/build-python"
    tar -xf "$(upstream python3.13)" -C "$work/build-python" --strip-components=1
    (cd "$work/build-python" &&
        ./configure -q --prefix="$build_python" --with-ensurepip=no >/dev/null &&
        make -s -j"$(build_jobs)" >/dev/null 2>&1 &&
        make -s install DESTDIR="$work/build-python-install" >/dev/null 2>&1)
    mv "$work/build-python-install$build_python" "$build_python.tmp"
    rm -rf "$work/build-python" "$work/build-python-install"
    mv "$build_python.tmp" "$build_python"
}
cache_locked "$build_python" make_build_python

# --- the target Python ---------------------------------------------------
ensure_apt autoconf automake libtool libltdl-dev texinfo patchelf
ensure_zig build/musl-python/zig-wrappers-$target "$zig_target"
zig_dir=$ZIG_WRAPPERS
prefix=$(cache_entry "musl-python-$target" "${tarballs[@]}" \
    "$ZIGLANG_VERSION" "$zig_target" "$CPYTHON_CFLAGS" "$CPYTHON_LDFLAGS" "$CPYTHON_LINKFORSHARED" \
    "$CPYTHON_CONFIG_SITE" "$DEPS_CFLAGS")

make_target_python() {
    [ -x "$prefix/bin/python3.13" ] && return 0
    local src=$work/$target deps=$work/$target/deps
    rm -rf "$src" "$prefix.tmp"
    mkdir -p "$src/zlib" "$src/libffi" "$src/python" "$deps"
    local cc="$zig_dir/zig-cc" ar="$zig_dir/zig-ar" ranlib="$zig_dir/zig-ranlib"

    stage "$target: zlib (static)"
    tar -xf "$(upstream zlib)" -C "$src/zlib" --strip-components=1
    (cd "$src/zlib" &&
        CC="$cc" CFLAGS="$DEPS_CFLAGS" AR="$ar" RANLIB="$ranlib" ./configure --static --prefix="$deps" >/dev/null &&
        make -s -j"$(build_jobs)" libz.a >/dev/null && make -s install >/dev/null)

    stage "$target: libffi (static)"
    tar -xf "$(upstream libffi)" -C "$src/libffi" --strip-components=1
    (cd "$src/libffi" &&
        { [ -x configure ] || ./autogen.sh >/dev/null 2>&1; } &&
        ./configure -q --host="$target" --build="$(uname -m)-pc-linux-gnu" --prefix="$deps" \
            --disable-shared --enable-static --with-pic --disable-docs --disable-multi-os-directory \
            CC="$cc" CFLAGS="$DEPS_CFLAGS" AR="$ar" RANLIB="$ranlib" >/dev/null &&
        make -s -j"$(build_jobs)" >/dev/null 2>&1 && make -s install >/dev/null 2>&1)

    stage "$target: CPython $python_version"
    tar -xf "$(upstream python3.13)" -C "$src/python" --strip-components=1
    # configure names the platform (and so the extension modules' suffix)
    # from this file's preprocessed output. It tells musl from glibc by a
    # marker that musl's <stdarg.h> defines, but clang's own <stdarg.h> is the
    # one found first: the target is musl, so the musl branch is taken.
    grep -q '# *ifdef __DEFINED_va_list' "$src/python/Misc/platform_triplet.c"
    sed -i 's/# *ifdef __DEFINED_va_list/#    if 1/' "$src/python/Misc/platform_triplet.c"
    printf '%s\n' $CPYTHON_CONFIG_SITE >"$src/config.site"
    # pkg-config sees only the libraries built here: the host's .pc files
    # (liblzma, sqlite3, ...) would announce headers the target does not have.
    (cd "$src/python" &&
        CONFIG_SITE="$src/config.site" PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig" PKG_CONFIG_PATH= ./configure -q --host="$target" --build="$(uname -m)-pc-linux-gnu" \
            --prefix="$prefix" --with-build-python="$build_python/bin/python3.13" \
            --with-ensurepip=no --enable-ipv6 --without-static-libpython \
            CC="$cc" AR="$ar" RANLIB="$ranlib" READELF=readelf \
            CFLAGS="$CPYTHON_CFLAGS" LDFLAGS="$CPYTHON_LDFLAGS" \
            ZLIB_CFLAGS="-I$deps/include" ZLIB_LIBS="$deps/lib/libz.a" \
            LIBFFI_CFLAGS="-I$deps/include" LIBFFI_LIBS="$deps/lib/libffi.a" >/dev/null &&
        make -s -j"$(build_jobs)" LINKFORSHARED="$CPYTHON_LINKFORSHARED" >"$src/make.log" 2>&1 &&
        make -s install DESTDIR="$src/install" LINKFORSHARED="$CPYTHON_LINKFORSHARED" >"$src/install.log" 2>&1) ||
        { tail -n 40 "$src/make.log" "$src/install.log" 2>/dev/null; return 1; }
    mv "$src/install$prefix" "$prefix.tmp"

    # The C library's loader, a copy of Debian's (trixie's musl 1.2.5, the
    # release zig's musl is). It is also the C library: the loader takes any
    # needed libc.* for itself.
    local musl=build/musl-python/musl-$debian_arch
    debian_unpacked "$debian_arch" "$musl" musl
    # Debian's link to it is absolute (/usr/lib/<triplet>/libc.so): resolved
    # inside the unpacked package, not on the host.
    local file
    file=$(find "$musl" -name "$loader" | head -1)
    while [ -L "$file" ]; do
        case $(readlink "$file") in
        /*) file=$musl$(readlink "$file") ;;
        *) file=$(dirname "$file")/$(readlink "$file") ;;
        esac
    done
    cp "$file" "$prefix.tmp/lib/$loader"
    patchelf --set-interpreter "$prefix/lib/$loader" "$prefix.tmp/bin/python3.13"
    rm -rf "$src"
    mv "$prefix.tmp" "$prefix"
}
cache_locked "$prefix" make_target_python

# The entry must run and be what it claims: musl's loader, the extension
# suffix of its target, and the modules the tests need.
[ "$debian_arch" = amd64 ] || ensure_binfmt_arm
# musl's loader, run alone, names itself and its version (what pip reads).
{ "$prefix/lib/$loader" 2>&1 || true; } | grep -q '^Version 1\.2\.' ||
    { echo "$prefix/lib/$loader: not a musl 1.2 loader" >&2; exit 1; }
"$prefix/bin/python3.13" - "$target" <<'PY'
import sys, sysconfig
target = sys.argv[1]
suffix = sysconfig.get_config_var("EXT_SUFFIX")
assert suffix == f".cpython-313-{target}.so", suffix
import zlib, ctypes, _testcapi  # noqa: F401  (the tests import all three)
print(f"== {sys.version.split()[0]} for {target}: {suffix}, {sys.executable}")
PY
echo "$prefix" >&3
