#!/usr/bin/env bash
# The module's whole suite against each wheel in DIR (dist/ by default) that
# this machine can run: every wheel whose tags pip accepts for one of the
# interpreters found here, installed from DIR by pip (never from the build
# tree) into a fresh venv, once with NumPy 2 and once without NumPy.
# QUELVA_WHEEL_PYTHONS lists the interpreters (default: 3.12 3.13); CI gives
# one, which keeps its run to a few minutes.
#
#   bash scripts/test-wheels.sh [DIR] [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

dir=dist
if [ $# -gt 0 ] && [ -d "$1" ]; then
    dir=$1
    shift
fi
mapfile -t TEST_REQUIREMENTS < <(extra_requirements test)
mapfile -t NUMPY_TEST_REQUIREMENTS < <(extra_requirements example)
version=$("$(find_python 3.12)" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
venv=build/test-wheels/venv
tested=0
for version_py in ${QUELVA_WHEEL_PYTHONS:-3.12 3.13}; do
    python=$(find_python "$version_py")
    # The wheel this interpreter installs from DIR, by pip's own reading of
    # the tags (the platform, the C library and its version, the ABI).
    rm -rf build/test-wheels/probe
    if ! "$python" -m pip download -q --no-index --no-deps --find-links "$dir" --only-binary=:all: \
        -d build/test-wheels/probe "quelva==$version" 2>/dev/null; then
        echo "== no wheel in $dir for CPython $version_py on this machine"
        continue
    fi
    wheel=$(ls build/test-wheels/probe/quelva-*.whl)
    for numpy in "numpy>=2" ""; do
        stage "test-wheels: ${wheel##*/}, ${numpy:-without NumPy}"
        rm -rf "$venv"
        "$python" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q "${TEST_REQUIREMENTS[@]}"
        [ -z "$numpy" ] || "$venv/bin/python" -m pip install -q "$numpy" "${NUMPY_TEST_REQUIREMENTS[@]}"
        "$venv/bin/python" -m pip install -q --no-index --no-deps --find-links "$dir" --only-binary=:all: \
            "quelva==$version"
        # The suite must see the installed wheel, not the build tree.
        "$venv/bin/python" -c 'import quelva; print(quelva.__file__); assert "site-packages" in quelva.__file__'
        (cd tests && "../$venv/bin/python" -m pytest -q -ra -p no:cacheprovider "$@" .)
        tested=$((tested + 1))
    done
done
((tested > 0)) || { echo "no wheel in $dir runs here" >&2; exit 1; }
stage "test-wheels: $tested suites passed"
