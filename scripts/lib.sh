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

# The Debian trixie armhf root in which the module is built and tested under
# emulation. Its package list is part of the cache key: a changed list makes a
# new root.
ARMHF_ROOT_PACKAGES=(
    python3 python3-dev python3-venv python3-pip
    python3-numpy python3-numpy-dev python3-pytest python3-hypothesis python3-mpmath python3-mypy
    python3-scikit-build-core python3-pyelftools g++ cmake make musl
)

# ensure_armhf_root DIR: makes (once) a Debian trixie armhf root in DIR.
ensure_armhf_root() {
    local dir=$1 key
    key=$(printf '%s\n' trixie "${ARMHF_ROOT_PACKAGES[@]}" | sha256sum | cut -c1-16)
    if [ -f "$dir/.quelva-root-$key" ]; then
        echo "== armhf root: cached in $dir"
        return 0
    fi
    ensure_apt mmdebstrap arch-test debian-archive-keyring
    ensure_binfmt_arm
    rm -rf "$dir" "$dir.tmp"
    mkdir -p "$(dirname "$dir")"
    local packages
    packages=$(IFS=,; echo "${ARMHF_ROOT_PACKAGES[*]}")
    echo "== armhf root: mmdebstrap trixie from $(host_debian_mirror) into $dir"
    mmdebstrap --quiet --variant=apt --architectures=armhf --include="$packages" \
        --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
        --dpkgopt='path-exclude=/usr/share/locale/*' \
        trixie "$dir.tmp" "$(host_debian_mirror)"
    mv "$dir.tmp" "$dir"
    touch "$dir/.quelva-root-$key"
}

# in_armhf_root DIR COMMAND...: runs COMMAND inside the armhf root, under
# emulation, with /proc, /dev and /sys of its own mount namespace (they vanish
# when the command ends, whatever happens) and the work tree bound at /src.
in_armhf_root() {
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

# ensure_zig DIR [TARGET]: a venv in .venv/arm-tools with zig (from PyPI's
# ziglang), auditwheel and wheel, and in DIR the wrapper commands zig-cc,
# zig-c++, zig-ar and zig-ranlib that the cmake/*-zig.cmake toolchain files
# expect; the compilers carry TARGET (zig's -target and -mcpu options,
# ZIG_ARMHF_MUSL when not given). zig's own cache (its builds of the C
# libraries and libc++, for every target) goes under build/ too.
ensure_zig() {
    local dir=$1 target=${2:-$ZIG_ARMHF_MUSL} venv=.venv/arm-tools tool flags
    ensure_wheel_tools
    local zig
    zig=$("$venv/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
    mkdir -p "$dir"
    for tool in cc c++ ar ranlib; do
        case $tool in cc|c++) flags=$target ;; *) flags= ;; esac
        printf '#!/bin/sh\nexec "%s" %s %s "$@"\n' "$zig" "$tool" "$flags" >"$dir/zig-$tool"
        chmod +x "$dir/zig-$tool"
    done
    export ZIG_WRAPPERS=$PWD/$dir
    export ZIG_GLOBAL_CACHE_DIR=$PWD/build/musl/zig-cache
    export ZIG_LOCAL_CACHE_DIR=$PWD/build/musl/zig-cache
}

# ensure_root_auditwheel ROOT: auditwheel in a venv at /opt/quelva-tools of the
# armhf root, where it reads the target's own libraries. The host's pip
# fetches it (pure Python): the root has no access to the package index.
ensure_root_auditwheel() {
    local dir=$1 tools=/opt/quelva-tools wheels=build/arm/tool-wheels
    [ -x "$dir$tools/bin/auditwheel" ] && return 0
    rm -rf "$wheels"
    "$(find_python 3.13)" -m pip download -q --only-binary=:all: -d "$wheels" auditwheel
    in_armhf_root "$dir" sh -ec "
        python3 -m venv $tools
        $tools/bin/python -m pip install -q --no-index --find-links /src/$wheels auditwheel"
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
    report=$(in_armhf_root "$root" sh -ec "
        ln -sfn ld-musl-armhf.so.1 /lib/libc.musl-armv7.so.1
        trap 'rm -f /lib/libc.musl-armv7.so.1' EXIT
        /opt/quelva-tools/bin/auditwheel show /src/$wheel" 2>&1)
    echo "$report"
    ! echo "$report" | grep -q "can't determine musl libc version"
}

# debian_unpacked ARCH DIR PACKAGE...: the named packages of Debian trixie
# for ARCH, from the host's own mirror, unpacked (not installed) into DIR. A
# private apt state keeps the host's apt out of it. Kept while the suite, the
# architecture and the list are unchanged.
debian_unpacked() {
    local arch=$1 dir=$2
    shift 2
    local key deb
    key=$(printf '%s\n' trixie "$arch" "$@" | sha256sum | cut -c1-16)
    [ -f "$dir/.quelva-unpacked-$key" ] && return 0
    local apt=$PWD/$dir.apt
    rm -rf "$dir" "$apt"
    mkdir -p "$apt"/etc/apt/apt.conf.d "$apt"/etc/apt/preferences.d "$apt"/etc/apt/sources.list.d \
        "$apt"/var/lib/apt/lists/partial "$apt"/var/cache/apt/archives/partial "$apt"/var/lib/dpkg "$dir"
    touch "$apt/var/lib/dpkg/status"
    echo "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(host_debian_mirror) trixie main" \
        >"$apt/etc/apt/sources.list"
    local opts=(-q -o Dir="$apt" -o Dir::State::status="$apt/var/lib/dpkg/status"
        -o APT::Architecture="$arch" -o APT::Architectures::="$arch" -o APT::Sandbox::User=root)
    apt-get "${opts[@]}" update >/dev/null
    (cd "$apt" && apt-get "${opts[@]}" download "$@" >/dev/null)
    for deb in "$apt"/*.deb; do
        dpkg-deb -x "$deb" "$dir"
    done
    rm -rf "$apt"
    touch "$dir/.quelva-unpacked-$key"
}
