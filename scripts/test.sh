#!/usr/bin/env bash
# The whole test suite: a clang -Werror compile of the engine and the module
# (what the zig/clang builds of the wheels would refuse fails here, in
# minutes), the engine's C++ tests, then the module's Python tests under every
# supported combination of interpreter and NumPy:
#   Python 3.12 + NumPy 2.x, Python 3.12 + NumPy 1.26, Python 3.13 + NumPy 2.x,
#   and Python 3.12 without NumPy.
# Installs what it needs (Debian packages, virtual environments under .venv/).
# Extra arguments are passed to every pytest run (e.g. -k binding). A suite
# that collects no test (pytest's status 5: say, -k picks only tests that need
# NumPy, in the suite without it) is not a failure, as long as some suite ran
# a test and every suite that ran one passed.
#
#   bash scripts/test.sh [pytest arguments...]
#   bash scripts/test.sh --quick [pytest arguments...]
#
# --quick: the contributor's loop. Python 3.12 with NumPy 2 only, the module
# rebuilt incrementally into .venv/quick (no build isolation, a kept build
# directory: seconds, not minutes), then pytest in tests/ with the given
# arguments (a file name there, -k PATTERN, ...). No C++ tests, no clang.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

mapfile -t TEST_REQUIREMENTS < <(extra_requirements test)
((${#TEST_REQUIREMENTS[@]})) || { echo "no test requirements read from pyproject.toml" >&2; exit 1; }
# With NumPy, the examples' requirements too (Matplotlib and SciPy need NumPy).
mapfile -t NUMPY_TEST_REQUIREMENTS < <(extra_requirements example fit)

ensure_build_tools

if [ "${1:-}" = "--quick" ]; then
    shift
    venv=.venv/quick
    make_venv "$venv" "$(find_python 3.12)"
    # What the build and the tests need; installed again only when the list changes.
    wanted=$(printf '%s\n' scikit-build-core "numpy>=2" "${TEST_REQUIREMENTS[@]}" "${NUMPY_TEST_REQUIREMENTS[@]}")
    if [ "$wanted" != "$(cat "$venv/quelva-requirements" 2>/dev/null)" ]; then
        mapfile -t wanted_list <<<"$wanted"
        "$venv/bin/python" -m pip install -q "${wanted_list[@]}"
        echo "$wanted" >"$venv/quelva-requirements"
    fi
    echo "== quick: rebuilding the module (build/quick)"
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=build/quick .
    echo "== quick: Python 3.12 + NumPy $("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')"
    cd tests
    exec "../$venv/bin/python" -m pytest -q -ra -p no:cacheprovider "$@"
fi

ensure_apt libgtest-dev
py312=$(find_python 3.12)
py313=$(find_python 3.13)

# Compile only: clang with -Werror over the engine and the module, against
# NumPy 2's headers.
echo "== clang -Werror: engine and module"
clangxx=$(ensure_clang)
make_venv .venv/clang-werror "$py312"
.venv/clang-werror/bin/python -c "import numpy" 2>/dev/null ||
    .venv/clang-werror/bin/python -m pip install -q "numpy>=2"
cmake -S . -B build/clang-werror -DCMAKE_CXX_COMPILER="$clangxx" -DQUELVA_WERROR=ON \
    -DQUELVA_BUILD_MODULE=ON -DBRENMOR_BUILD_TESTS=OFF \
    -DPython_EXECUTABLE="$PWD/.venv/clang-werror/bin/python" >/dev/null
cmake --build build/clang-werror -j"$(build_jobs)"

echo "== engine: C++ tests"
cmake -S . -B build/test-engine -DBRENMOR_BUILD_TESTS=ON -DQUELVA_WERROR=ON >/dev/null
cmake --build build/test-engine -j"$(build_jobs)"
ctest --test-dir build/test-engine --output-on-failure -j"$(build_jobs)"

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
    local status=0
    (cd tests && "../$venv/bin/python" -m pytest -q -ra -p no:cacheprovider "$@" .) || status=$?
    case $status in
        0) suites_with_tests+=("$name") ;;
        5) echo "== module: $name collected no test" ;;
        *) exit "$status" ;;
    esac
}
suites_with_tests=()

wheel312=$(build_wheel py312 "$py312")
wheel313=$(build_wheel py313 "$py313")

run_suite py312-numpy2 "$py312" "$wheel312" "numpy>=2" "$@"
run_suite py312-numpy126 "$py312" "$wheel312" "numpy==1.26.*" "$@"
run_suite py313-numpy2 "$py313" "$wheel313" "numpy>=2" "$@"
run_suite py312-nonumpy "$py312" "$wheel312" "" "$@"
if [ ${#suites_with_tests[@]} -eq 0 ]; then
    echo "== no suite collected a test" >&2
    exit 5
fi
echo "== all test suites passed (tests ran in: ${suites_with_tests[*]})"
