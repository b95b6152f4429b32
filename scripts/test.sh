#!/usr/bin/env bash
# The whole test suite: the engine's C++ tests, then the module's Python tests
# under every supported combination of interpreter and NumPy:
#   Python 3.12 + NumPy 2.x, Python 3.12 + NumPy 1.26, Python 3.13 + NumPy 2.x,
#   and Python 3.12 without NumPy.
# Installs what it needs (Debian packages, virtual environments under .venv/).
# Extra arguments are passed to every pytest run (e.g. -k binding).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

mapfile -t TEST_REQUIREMENTS < <(extra_requirements test)
((${#TEST_REQUIREMENTS[@]})) || { echo "no test requirements read from pyproject.toml" >&2; exit 1; }
# With NumPy, the examples' requirements too (Matplotlib and SciPy need NumPy).
mapfile -t NUMPY_TEST_REQUIREMENTS < <(extra_requirements example fit)

ensure_build_tools
ensure_apt libgtest-dev

echo "== engine: C++ tests"
cmake -S . -B build/test-engine -DBRENMOR_BUILD_TESTS=ON -DQUELVA_WERROR=ON >/dev/null
cmake --build build/test-engine -j"$(build_jobs)"
ctest --test-dir build/test-engine --output-on-failure -j"$(build_jobs)"

py312=$(find_python 3.12)
py313=$(find_python 3.13)

# One wheel per interpreter, shared by the environments of that interpreter.
build_wheel() {
    local name=$1 python=$2
    local out=build/wheels/$name
    rm -rf "$out"
    make_venv ".venv/build-$name" "$python"
    ".venv/build-$name/bin/python" -m pip wheel -q --no-deps -w "$out" . >&2
    ls "$out"/quelva-*.whl
}

# run_suite NAME PYTHON WHEEL NUMPY_REQUIREMENT ("" for none) [pytest args...]
run_suite() {
    local name=$1 python=$2 wheel=$3 numpy=$4
    shift 4
    local venv=.venv/test-$name
    echo "== module: $name"
    make_venv "$venv" "$python"
    "$venv/bin/python" -m pip uninstall -q -y quelva numpy >/dev/null 2>&1 || true
    "$venv/bin/python" -m pip install -q "${TEST_REQUIREMENTS[@]}"
    if [ -n "$numpy" ]; then
        "$venv/bin/python" -m pip install -q "$numpy" "${NUMPY_TEST_REQUIREMENTS[@]}"
    fi
    "$venv/bin/python" -m pip install -q --no-deps --force-reinstall "$wheel"
    (cd tests && "../$venv/bin/python" -m pytest -q -ra -p no:cacheprovider "$@" .)
}

wheel312=$(build_wheel py312 "$py312")
wheel313=$(build_wheel py313 "$py313")

run_suite py312-numpy2 "$py312" "$wheel312" "numpy>=2" "$@"
run_suite py312-numpy126 "$py312" "$wheel312" "numpy==1.26.*" "$@"
run_suite py313-numpy2 "$py313" "$wheel313" "numpy>=2" "$@"
run_suite py312-nonumpy "$py312" "$wheel312" "" "$@"
echo "== all test suites passed"
