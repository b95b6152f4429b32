#!/usr/bin/env bash
# The module's whole suite against each wheel in DIR (dist/ by default) that
# this machine can run: every wheel whose tags pip accepts for one of the
# interpreters found here, installed from DIR by pip (never from the build
# tree) into a fresh venv, once with NumPy 2 and once without NumPy; and the
# sdist in DIR, built and installed by pip alone in a fresh venv, with NumPy 2.
# CPython 3.14 and 3.15 run in a Debian unstable amd64 root (scripts/lib.sh),
# natively. QUELVA_WHEEL_PYTHONS lists the versions (default: 3.12 to 3.15);
# CI gives one, which keeps its run to a few minutes.
#
#   bash scripts/test-wheels.sh [DIR] [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

wheel_folder_arguments "$@"
mapfile -t TEST_REQUIREMENTS < <(extra_requirements test)
mapfile -t NUMPY_TEST_REQUIREMENTS < <(extra_requirements example)
version=$(project_version)
venv=build/test-wheels/venv
tested=0

# root_suites VERSION: the suite, with NumPy 2 and without, against the wheel
# for CPython VERSION in DIR, in the Debian unstable amd64 root (CPython 3.14
# and 3.15 are not installed on this machine). The root has no access to the
# package index: the host's pip downloads what the suite needs for the
# target's version (tmm is an sdist of pure Python, built in the root with
# setuptools from the same folder), and the root's pip installs from there.
root_suites() {
    local py=$1 cp=cp${1/./} tools=.venv/arm-tools
    ensure_wheel_tools
    ensure_unstable_root
    local wheelhouse=build/test-wheels/wheelhouse-$py
    stage "test-wheels: what the suite needs, for CPython $py"
    rm -rf "$wheelhouse" && mkdir -p "$wheelhouse"
    mapfile -t binary < <(printf '%s\n' "${TEST_REQUIREMENTS[@]}" "${NUMPY_TEST_REQUIREMENTS[@]}" | grep -vx tmm)
    "$tools/bin/python" -m pip download -q -d "$wheelhouse" --python-version "$py" --implementation cp \
        --abi "$cp" --platform manylinux_2_28_x86_64 --platform manylinux2014_x86_64 --platform any \
        --only-binary=:all: pip "numpy>=2" "${binary[@]}" setuptools wheel
    "$tools/bin/python" -m pip download -q -d "$wheelhouse" --no-deps --no-binary=:all: tmm
    local numpy
    for numpy in "numpy>=2" ""; do
        stage "test-wheels: CPython $py in the unstable root, ${numpy:-without NumPy}"
        # shellcheck disable=SC2016
        in_root "$UNSTABLE_ROOT" sh -ec '
            py=$1 wheelhouse=/src/$2 dist=$3 version=$4 numpy=$5 pytest_args=$6; shift 6
            venv=/src/build/test-wheels/venv-root
            rm -rf $venv
            python$py -m venv $venv
            pip="$venv/bin/python -m pip install -q --no-index --find-links $wheelhouse"
            $pip --upgrade pip
            $pip "$@"
            [ -z "$numpy" ] || $pip "$numpy" '"${NUMPY_TEST_REQUIREMENTS[*]}"'
            $venv/bin/python -m pip install -q --no-index --no-deps --find-links $dist --only-binary=:all: "quelva==$version"
            $venv/bin/python -c "import quelva; print(quelva.__file__); assert \"site-packages\" in quelva.__file__"
            cd /src/tests
            exec $venv/bin/python -m pytest -q -ra -p no:cacheprovider $pytest_args .
        ' sh "$py" "$wheelhouse" "/src/$dir" "$version" "$numpy" "$PYTEST_ARGS" "${TEST_REQUIREMENTS[@]}"
        tested=$((tested + 1))
    done
}

for version_py in ${QUELVA_WHEEL_PYTHONS:-3.12 3.13 3.14 3.15}; do
    if ! python=$(find_python "$version_py" 2>/dev/null); then
        case $version_py in
            3.14 | 3.15) PYTEST_ARGS="${pytest_args[*]}" root_suites "$version_py" ;;
            *) echo "== no CPython $version_py here, and none in the Debian roots" ;;
        esac
        continue
    fi
    # The wheel this interpreter installs from DIR, by pip's own reading of
    # the tags (the platform, the C library and its version, the ABI).
    rm -rf build/test-wheels/probe
    if ! "$python" -m pip download -q --no-index --no-deps --find-links "$dir" --only-binary=:all: \
        -d build/test-wheels/probe "quelva==$version" 2>/dev/null; then
        echo "== no wheel in $dir for CPython $version_py on this machine"
        continue
    fi
    wheel=$(ls build/test-wheels/probe/quelva-*.whl)
    # NumPy 1.26, the last 1.x, has wheels up to CPython 3.12.
    numpys=("numpy>=2" "")
    [ "$version_py" != 3.12 ] || numpys=("numpy>=2" "numpy==1.26.*" "")
    for numpy in "${numpys[@]}"; do
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
        (cd tests && "../$venv/bin/python" -m pytest -q -ra -p no:cacheprovider "${pytest_args[@]}" .)
        tested=$((tested + 1))
    done
done

# The sdist alone, as a user without a wheel for the platform installs it: pip
# builds it in isolation (its build requirements from the package index) into
# a fresh venv of the newest interpreter asked for that is found here; then
# the whole suite with NumPy 2.
sdist=$dir/quelva-$version.tar.gz
if [ -f "$sdist" ]; then
    sdist_python=
    for version_py in ${QUELVA_WHEEL_PYTHONS:-3.12 3.13 3.14 3.15}; do
        found=$(find_python "$version_py" 2>/dev/null) && sdist_python=$found
    done
    if [ -n "$sdist_python" ]; then
        stage "test-wheels: ${sdist##*/} built by pip in a fresh venv ($("$sdist_python" -V))"
        rm -rf "$venv"
        "$sdist_python" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q "${TEST_REQUIREMENTS[@]}" "numpy>=2" "${NUMPY_TEST_REQUIREMENTS[@]}"
        "$venv/bin/python" -m pip install -q --no-binary quelva "$sdist"
        "$venv/bin/python" -c 'import quelva; print(quelva.__file__); assert "site-packages" in quelva.__file__'
        (cd tests && "../$venv/bin/python" -m pytest -q -ra -p no:cacheprovider "${pytest_args[@]}" .)
        tested=$((tested + 1))
    fi
fi
((tested > 0)) || { echo "no wheel in $dir runs here" >&2; exit 1; }
stage "test-wheels: $tested suites passed"
