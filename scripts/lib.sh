# Shared helpers for the scripts in this folder; source it, don't run it.

# find_python VERSION: prints the path of a working interpreter for VERSION
# (e.g. 3.12), looking at PATH first and then at pyenv's installed versions.
find_python() {
    local version=$1 candidate root
    for candidate in "python$version" "/usr/bin/python$version" "/usr/local/bin/python$version"; do
        if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c 'import sys' >/dev/null 2>&1; then
            command -v "$candidate"
            return 0
        fi
    done
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for candidate in "$root"/versions/"$version"*/bin/python"$version"; do
        if [ -x "$candidate" ] && "$candidate" -c 'import sys' >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    echo "no Python $version found (looked on PATH and in $root/versions)" >&2
    return 1
}

# The machine's cache of what the scripts make from outside sources (Debian
# roots, cross-built interpreters, zig's builds of C libraries, downloaded
# wheels), shared by every clone on this machine. Nothing depends on it: an
# entry is made when it is missing, in a folder named by a key of what it was
# made from, so a changed recipe makes a new entry instead of reusing an old one.
QUELVA_CACHE=${QUELVA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quelva}

# cache_entry NAME KEY_PART...: prints the folder of the cache entry NAME made
# from KEY_PART... (the recipe's inputs: versions, package lists, flags).
cache_entry() {
    local name=$1
    shift
    echo "$QUELVA_CACHE/$name-$(printf '%s\n' "$@" | sha256sum | cut -c1-16)"
}

# cache_locked ENTRY COMMAND...: runs COMMAND while holding ENTRY's lock, so
# two runs on one machine (CI and a release check, say) never make the same
# entry at once; the second waits and then finds it made.
cache_locked() {
    local entry=$1
    shift
    mkdir -p "$(dirname "$entry")"
    (
        flock 9
        "$@"
    ) 9>"$entry.lock"
}

# cache_make ENTRY MAKER ARG...: makes the cache entry ENTRY unless it exists:
# `MAKER ARG... ENTRY.tmp` under ENTRY's lock, then ENTRY.tmp renamed to
# ENTRY, so a half-made entry (a run killed midway) is never taken for one.
cache_make() {
    local entry=$1
    shift
    [ -d "$entry" ] && return 0
    cache_locked "$entry" _cache_make_locked "$entry" "$@"
}
_cache_make_locked() {
    local entry=$1
    shift
    # Another run may have made it while this one waited for the lock.
    [ -d "$entry" ] && return 0
    rm -rf "$entry.tmp"
    "$@" "$entry.tmp"
    mv "$entry.tmp" "$entry"
}

# with_numpy_suites: whether the platform scripts (arm.sh,
# test-wheel-qemu.sh, test-wheels-musl.sh) run the suite with NumPy as well
# as the one without. QUELVA_SUITES=without-numpy keeps only the one without:
# CI's choice, since under emulation the suite with NumPy takes most of an
# hour; scripts/release-check.sh runs both.
with_numpy_suites() {
    case ${QUELVA_SUITES:-all} in
        all) return 0 ;;
        without-numpy) return 1 ;;
        *) echo "QUELVA_SUITES is all or without-numpy, not '$QUELVA_SUITES'" >&2; exit 2 ;;
    esac
}

# ensure_apt PACKAGE...: installs the Debian packages that are not installed yet.
ensure_apt() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "installing Debian packages: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# ensure_build_tools: a C++20 compiler and CMake 3.20 or newer.
ensure_build_tools() {
    command -v g++ >/dev/null 2>&1 || ensure_apt g++
    if ! cmake --version >/dev/null 2>&1; then
        ensure_apt cmake
    fi
}

# ensure_clang [fuzzer]: prints the path of a clang++ of version 16 or newer
# (the first clangs whose std::source_location works with libstdc++): the
# newest installed, else the newest Debian offers, installed. With "fuzzer",
# one with libFuzzer's runtime too.
ensure_clang() {
    local with_fuzzer=${1:-} v
    clang_ready() {
        command -v "clang++-$1" >/dev/null 2>&1 && [ -d "/usr/lib/llvm-$1/lib/clang" ] || return 1
        [ -z "$with_fuzzer" ] || ls /usr/lib/llvm-"$1"/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1
    }
    clang_offered() {
        apt-cache show "clang-$1" >/dev/null 2>&1 &&
            { [ -z "$with_fuzzer" ] || apt-cache show "libclang-rt-$1-dev" >/dev/null 2>&1; }
    }
    for v in 19 18 17 16; do
        if clang_ready "$v"; then
            command -v "clang++-$v"
            return 0
        fi
    done
    local offered="" attempt
    for attempt in cached updated; do
        [ "$attempt" = cached ] || apt-get update -qq >&2
        for v in 19 18 17 16; do
            if clang_offered "$v"; then
                offered=$v
                break 2
            fi
        done
    done
    [ -n "$offered" ] || { echo "no clang 16 or newer in Debian's packages" >&2; return 1; }
    if [ -n "$with_fuzzer" ]; then
        ensure_apt "clang-$offered" "libclang-rt-$offered-dev" >&2
    else
        ensure_apt "clang-$offered" >&2
    fi
    command -v "clang++-$offered"
}

# make_venv DIR PYTHON: creates (or reuses) a virtual environment with an up-to-date pip.
make_venv() {
    local dir=$1 python=$2
    if [ ! -x "$dir/bin/python" ]; then
        "$python" -m venv "$dir"
        "$dir/bin/python" -m pip install -q --upgrade pip
    fi
}

# extra_requirements EXTRA...: the requirements of the named optional-dependency
# groups of pyproject.toml, one a line: the one place that lists what the
# tests and examples need.
extra_requirements() {
    "$(find_python 3.12)" - "$@" <<'PY'
import sys, tomllib
with open("pyproject.toml", "rb") as f:
    extras = tomllib.load(f)["project"]["optional-dependencies"]
for name in sys.argv[1:]:
    print("\n".join(extras[name]))
PY
}

# How many times a test's hang limit for a child interpreter grows when the
# suite runs under qemu-user (QUELVA_TEST_TIMEOUT_SCALE, tests/conftest.py).
QEMU_TIMEOUT_SCALE=4

# project_version: the version in pyproject.toml, which names the wheels and
# the sdist.
project_version() {
    "$(find_python 3.12)" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])'
}

# wheel_folder_arguments ARG...: a wheel-testing script's arguments,
# [DIR] [pytest args...]: DIR (dist/ unless the first argument is a folder) in
# `dir`, the rest in the array `pytest_args`.
wheel_folder_arguments() {
    dir=dist
    if [ $# -gt 0 ] && [ -d "$1" ]; then
        dir=$1
        shift
    fi
    pytest_args=("$@")
}

# host_debian_mirror: prints the URI of the Debian archive that the host's own
# apt sources use (deb822 or one-line format), so the armhf root comes from
# the same mirror as the host's packages.
host_debian_mirror() {
    local uri
    uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    if [ -z "$uri" ]; then
        uri=$(grep -hE '^deb (\[[^]]*\] )?(https?|file)://' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
            | grep -v -- '-security' | sed -E 's/^deb (\[[^]]*\] )?//' | awk '{print $1; exit}' || true)
    fi
    echo "${uri:-http://deb.debian.org/debian}"
}

# ensure_binfmt_arm: lets the kernel run 32-bit ARM programs through
# qemu-arm-static, also inside a chroot (the registration pins the emulator
# binary). binfmt_misc is not always mounted at boot.
ensure_binfmt_arm() {
    ensure_apt qemu-user-static binfmt-support
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
        update-binfmts --enable qemu-arm
    fi
    grep -q '^enabled' /proc/sys/fs/binfmt_misc/qemu-arm
}

# The Debian trixie armhf root in which the module is tested under emulation
# (and auditwheel reads armhf's glibc and musl). Its package list is part of
# the cache key: a changed list makes a new root.
ARMHF_ROOT_PACKAGES=(
    python3 python3-dev python3-venv python3-pip
    python3-numpy python3-numpy-dev python3-pytest python3-hypothesis python3-mpmath python3-mypy
    python3-scikit-build-core python3-pyelftools g++ cmake make musl
)

# _mmdebstrap SUITE ARCH PACKAGES DIR: a Debian root of SUITE for ARCH with
# the comma-separated PACKAGES, from the host's own mirror, made in DIR.
# unstable's Release file is past its Valid-Until date on the mirror; the
# signature is still checked.
_mmdebstrap() {
    local suite=$1 arch=$2 packages=$3 dir=$4
    echo "== $suite $arch root: mmdebstrap from $(host_debian_mirror) into $dir"
    mmdebstrap --quiet --variant=apt --architectures="$arch" --include="$packages" \
        --aptopt='Acquire::Check-Valid-Until "false"' \
        --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
        --dpkgopt='path-exclude=/usr/share/locale/*' \
        "$suite" "$dir" "$(host_debian_mirror)"
}

# debian_root SUITE ARCH PACKAGE...: sets DEBIAN_ROOT to a cache entry with a
# Debian root of SUITE for ARCH with the named packages installed, made now if
# missing. A root is only read by the scripts, never changed: what a run
# installs goes under the work tree's build/ (bound at /src).
debian_root() {
    local suite=$1 arch=$2
    shift 2
    DEBIAN_ROOT=$(cache_entry "root-$suite-$arch" mmdebstrap "$suite" "$arch" "$@")
    if [ -d "$DEBIAN_ROOT" ]; then
        echo "== $suite $arch root: cached in $DEBIAN_ROOT"
        return 0
    fi
    ensure_apt mmdebstrap arch-test debian-archive-keyring
    cache_make "$DEBIAN_ROOT" _mmdebstrap "$suite" "$arch" "$(IFS=,; echo "$*")"
}

# ensure_armhf_root: sets ARMHF_ROOT to the cached trixie armhf root, with
# auditwheel in a venv at /opt/quelva-tools, where it reads the target's own
# libraries. The host's pip fetches auditwheel (pure Python): the root has no
# access to the package index.
ensure_armhf_root() {
    ensure_binfmt_arm
    ARMHF_ROOT=$(cache_entry root-trixie-armhf mmdebstrap trixie armhf "${ARMHF_ROOT_PACKAGES[@]}" auditwheel)
    if [ -d "$ARMHF_ROOT" ]; then
        echo "== trixie armhf root: cached in $ARMHF_ROOT"
        return 0
    fi
    ensure_apt mmdebstrap arch-test debian-archive-keyring
    cache_make "$ARMHF_ROOT" _make_armhf_root
}
_make_armhf_root() {
    local dir=$1 tools=/opt/quelva-tools
    _mmdebstrap trixie armhf "$(IFS=,; echo "${ARMHF_ROOT_PACKAGES[*]}")" "$dir"
    "$(find_python 3.13)" -m pip download -q --only-binary=:all: -d "$dir/tmp/tool-wheels" auditwheel
    in_root "$dir" sh -ec "
        python3 -m venv $tools
        $tools/bin/python -m pip install -q --no-index --find-links /tmp/tool-wheels auditwheel
        rm -rf /tmp/tool-wheels"
}

# The Debian unstable amd64 root with CPython 3.14 and 3.15 (and Debian's
# NumPy, which FindPython asks for its version when a wheel for either is
# configured). The wheels' tests run in it natively.
UNSTABLE_ROOT_PACKAGES=(python3.14 python3.14-venv python3.15 python3.15-venv python3-numpy)

# ensure_unstable_root: sets UNSTABLE_ROOT to the cached unstable amd64 root.
ensure_unstable_root() {
    debian_root unstable amd64 "${UNSTABLE_ROOT_PACKAGES[@]}"
    UNSTABLE_ROOT=$DEBIAN_ROOT
}

# root_python_launcher ROOT PYTHON: prints a shell script that runs ROOT's
# /usr/bin/PYTHON on this machine without entering the root: through the
# root's own loader and C library (newer than the host's), with the root's
# /usr as its home. For configuring builds; tests run inside the root.
root_python_launcher() {
    local root=$1 python=$2 loader
    loader=$(readelf -l "$root/usr/bin/$python" | sed -n 's/.*interpreter: \(.*\)]/\1/p')
    loader=$(readlink -f "$root$loader")
    case $loader in "$root"/*) ;; *) echo "$python's loader is outside $root" >&2; return 1 ;; esac
    # The libraries that Debian's alternatives choose (BLAS and LAPACK for
    # NumPy) are reached through absolute links, which point at the host:
    # their folders, inside the root, go on the search path too.
    local path alternative
    path=$(dirname "$loader")
    for alternative in "$root"/etc/alternatives/*.so*; do
        [ -L "$alternative" ] || continue
        path=$path:$root$(dirname "$(readlink "$alternative")")
    done
    printf '#!/bin/sh\nPYTHONHOME=%s/usr exec %s --library-path %s %s/usr/bin/%s "$@"\n' \
        "$root" "$loader" "$path" "$root" "$python"
}

# in_root DIR COMMAND...: runs COMMAND inside the Debian root DIR (under
# emulation when it is for another architecture), with /proc, /dev and /sys of its own mount namespace (they vanish
# when the command ends, whatever happens) and the work tree bound at /src.
in_root() {
    local dir=$1
    shift
    unshare --mount --propagation private -- sh -euc '
        root=$1 src=$2; shift 2
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount --rbind /sys "$root/sys"
        mkdir -p "$root/src"
        mount --bind "$src" "$root/src"
        cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
        exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 "$@"
    ' sh "$dir" "$PWD" "$@"
}

# stage TEXT: a heading in a script's output, with the seconds since the
# script started.
stage() {
    echo "== $* (at ${SECONDS}s)"
}

# The zig release whose clang and musl build the musl targets; a newer one may
# name CPU features differently.
ZIGLANG_VERSION=0.17.1

# The zig target of the armhf musl builds: armv7-a, VFPv3-D16, no NEON
# (armhf's baseline).
ZIG_ARMHF_MUSL='-target arm-linux-musleabihf -mcpu=generic+v7a-neon-d32+vfp3d16'

# ensure_wheel_tools: the venv .venv/arm-tools with zig (PyPI's ziglang),
# auditwheel and wheel.
ensure_wheel_tools() {
    local venv=.venv/arm-tools
    make_venv "$venv" "$(find_python 3.13)"
    "$venv/bin/python" -c "import ziglang, auditwheel, wheel" 2>/dev/null ||
        "$venv/bin/python" -m pip install -q "ziglang==$ZIGLANG_VERSION" auditwheel wheel
}

_install_ziglang() {
    "$(find_python 3.13)" -m pip install -q --no-deps --target "$1" "ziglang==$ZIGLANG_VERSION"
}

# ensure_zig DIR [TARGET]: zig (PyPI's ziglang) in the machine's cache, the
# venv .venv/arm-tools with auditwheel and wheel, and in DIR the wrapper commands zig-cc,
# zig-c++, zig-ar and zig-ranlib that the cmake/*-zig.cmake toolchain files
# expect; the compilers carry TARGET (zig's -target and -mcpu options,
# ZIG_ARMHF_MUSL when not given). zig's global cache (its builds of the C
# libraries and libc++, for every target) is the machine's cache entry for
# this zig release; zig locks its own cache files, so runs may share it.
ensure_zig() {
    local dir=$1 target=${2:-$ZIG_ARMHF_MUSL} tool flags
    ensure_wheel_tools
    # zig itself is a cache entry too: zig's cache knows its own library
    # sources by their path, so a zig installed anew in every clone would
    # rebuild libc++ and the C libraries for every target in each.
    local home
    home=$(cache_entry ziglang "$ZIGLANG_VERSION")
    cache_make "$home" _install_ziglang
    local zig=$home/ziglang/zig
    mkdir -p "$dir"
    for tool in cc c++ ar ranlib; do
        case $tool in cc|c++) flags=$target ;; *) flags= ;; esac
        printf '#!/bin/sh\nexec "%s" %s %s "$@"\n' "$zig" "$tool" "$flags" >"$dir/zig-$tool"
        chmod +x "$dir/zig-$tool"
    done
    export ZIG_WRAPPERS=$PWD/$dir
    ZIG_GLOBAL_CACHE_DIR=$(cache_entry zig-cache "$ZIGLANG_VERSION")
    mkdir -p "$ZIG_GLOBAL_CACHE_DIR"
    export ZIG_GLOBAL_CACHE_DIR
    export ZIG_LOCAL_CACHE_DIR=$PWD/build/zig-local-cache
}

# ensure_root_auditwheel ROOT: auditwheel is part of the armhf root's recipe
# (ensure_armhf_root); kept for the scripts that still call it.
ensure_root_auditwheel() {
    [ -x "$1/opt/quelva-tools/bin/auditwheel" ]
}

# build_jobs: how many compile and test jobs a script runs at once: the
# processors this process may use (nproc counts the CPU affinity mask), or
# CMAKE_BUILD_PARALLEL_LEVEL when that is set.
build_jobs() {
    echo "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
}

# Two pool tests cannot run under qemu-user, whatever the engine does: qemu
# does not pass an address-space limit (RLIMIT_AS) on to the host, so no
# thread stack fails to map; and qemu 7.2 itself aborts (an assertion in its
# TCG) when a multi-threaded guest forks and the child starts threads. Both
# run natively in the ordinary suite.
QEMU_USER_LIMITS='^Pool\.(StartFailsWhenNoStackCanBeMapped|ForkedChildStartsAFreshPool)$'

# cross_engine_tests NAME TOOLCHAIN OUT FILE_PATTERN [ABI_PATTERN]: the
# engine's C++ tests for another architecture, run under qemu-user (the
# toolchain file names the emulator). GoogleTest is built once with the same
# toolchain into OUT/gtest-install (Debian's source package); the engine and
# its tests are built in OUT/engine with warnings as errors. Every test binary
# must match FILE_PATTERN in the output of `file`, and ABI_PATTERN (if given)
# in its ARM attributes (`readelf -A`): a check that the binaries really are
# for the target. NAME heads the output's stages.
cross_engine_tests() {
    local name=$1 toolchain=$2 out=$3 file_pattern=$4 abi_pattern=${5:-} binary
    stage "$name: GoogleTest"
    if [ ! -f "$out/gtest-install/lib/cmake/GTest/GTestConfig.cmake" ]; then
        cmake -S /usr/src/googletest -B "$out/gtest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
            -Wno-dev -Wno-deprecated -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
            -DCMAKE_INSTALL_PREFIX="$PWD/$out/gtest-install" >/dev/null
        cmake --build "$out/gtest" -j"$(build_jobs)" >/dev/null
        cmake --install "$out/gtest" >/dev/null
    fi

    stage "$name: engine and its tests"
    cmake -S . -B "$out/engine" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DBRENMOR_BUILD_TESTS=ON -DQUELVA_WERROR=ON -DGTest_DIR="$PWD/$out/gtest-install/lib/cmake/GTest" >/dev/null
    cmake --build "$out/engine" -j"$(build_jobs)"

    for binary in $(find "$out/engine" -name '*_test*' -type f -perm -u+x); do
        file "$binary" | grep -q "$file_pattern" || { file "$binary"; return 1; }
        if [ -n "$abi_pattern" ]; then
            readelf -A "$binary" | grep -q "$abi_pattern" || { echo "$binary: no '$abi_pattern'" >&2; return 1; }
        fi
    done

    stage "$name: engine tests under qemu (not run under qemu: $QEMU_USER_LIMITS)"
    ctest --test-dir "$out/engine" --output-on-failure -j"$(build_jobs)" -E "$QEMU_USER_LIMITS"
}

# musl_auditwheel_show ROOT WHEEL: `auditwheel show` of a musllinux WHEEL in
# the armhf root (ensure_root_auditwheel), which prints the report. auditwheel
# takes the wheel's architecture from its name but the musl version from the
# machine: it finds musl by its Alpine name, /lib/libc.musl-<arch>.so.1, and
# runs it; Debian names the same file ld-musl-armhf.so.1. The link exists
# for this check only. Fails unless musl's version was read.
musl_auditwheel_show() {
    local root=$1 wheel=$2 report
    report=$(in_root "$root" sh -ec "
        ln -sfn ld-musl-armhf.so.1 /lib/libc.musl-armv7.so.1
        trap 'rm -f /lib/libc.musl-armv7.so.1' EXIT
        /opt/quelva-tools/bin/auditwheel show /src/$wheel" 2>&1)
    echo "$report"
    ! echo "$report" | grep -q "can't determine musl libc version"
}

# debian_unpacked SUITE ARCH PACKAGE...: sets DEBIAN_UNPACKED to a cache
# entry with the named packages of Debian SUITE for ARCH, from the host's own
# mirror, unpacked (not installed), made now if missing. A private apt state
# keeps the host's apt out of it.
debian_unpacked() {
    local suite=$1 arch=$2
    shift 2
    DEBIAN_UNPACKED=$(cache_entry "unpacked-$suite-$arch" "$suite" "$arch" "$@")
    [ -d "$DEBIAN_UNPACKED" ] && return 0
    ensure_apt debian-archive-keyring
    cache_make "$DEBIAN_UNPACKED" _debian_unpack "$suite" "$arch" "$@"
}
_debian_unpack() {
    local suite=$1 arch=$2 dir=${*: -1} deb
    local packages=("${@:3:$#-3}")
    local apt=$dir.apt
    rm -rf "$apt"
    mkdir -p "$apt"/etc/apt/apt.conf.d "$apt"/etc/apt/preferences.d "$apt"/etc/apt/sources.list.d \
        "$apt"/var/lib/apt/lists/partial "$apt"/var/cache/apt/archives/partial "$apt"/var/lib/dpkg "$dir"
    touch "$apt/var/lib/dpkg/status"
    echo "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(host_debian_mirror) $suite main" \
        >"$apt/etc/apt/sources.list"
    # unstable's Release file is past its Valid-Until date on the mirror.
    local opts=(-q -o Dir="$apt" -o Dir::State::status="$apt/var/lib/dpkg/status"
        -o APT::Architecture="$arch" -o APT::Architectures::="$arch" -o APT::Sandbox::User=root
        -o Acquire::Check-Valid-Until=false)
    echo "== $suite $arch: unpacking ${packages[*]}"
    apt-get "${opts[@]}" update >/dev/null
    (cd "$apt" && apt-get "${opts[@]}" download "${packages[@]}" >/dev/null)
    for deb in "$apt"/*.deb; do
        dpkg-deb -x "$deb" "$dir"
    done
    rm -rf "$apt"
}
