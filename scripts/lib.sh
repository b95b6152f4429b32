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
