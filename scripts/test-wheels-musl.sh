#!/usr/bin/env bash
# The module's suite against its musllinux wheels in DIR (dist/ by default),
# each installed by pip, the interpreter's own, into a fresh venv of a musl
# CPython 3.13 built here by scripts/musl-python.sh:
#
#   x86_64-linux-musl     runs natively: the whole suite with NumPy 2 (PyPI's
#                         musllinux wheel) and without NumPy;
#   arm-linux-musleabihf  runs under qemu-arm: the suite without NumPy (NumPy
#                         publishes no armv7l musl wheel).
#
# A target whose interpreter this machine cannot run (no emulator for it) or
# for which DIR holds no wheel is reported and left out; the script fails if
# no suite ran. The test requirements are fetched on the host by pip for the
# target's platform (the musl interpreters have no _ssl): those with no wheel
# for it are left out, and the tests that need them skip. One summary line
# per run at the end.
#
#   bash scripts/test-wheels-musl.sh [DIR] [pytest args...]
#
# QUELVA_MUSL_TARGETS picks the targets (default: both);
# QUELVA_SUITES=without-numpy runs only the suites without NumPy.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

wheel_folder_arguments "$@"
mapfile -t TEST_REQUIREMENTS < <(extra_requirements test)
mapfile -t NUMPY_TEST_REQUIREMENTS < <(extra_requirements example fit)
host_python=$(find_python 3.13)
version=$(project_version)
out=build/test-wheels-musl
summaries=()
failed=0

# wheelhouse PLATFORM DEST REQUIREMENT...: into DEST, what pip on the host
# finds for CPython 3.13 on PLATFORM (a musllinux tag), one requirement at a
# time so that one without a wheel there leaves out only itself. A package
# that publishes no wheel at all (tmm, pure Python, no dependencies) comes as
# its sdist, with setuptools to build it. Prints the requirements left out.
wheelhouse() {
    local platform=$1 dest=$2 requirement
    shift 2
    mkdir -p "$dest"
    local tags=(--python-version 3.13 --implementation cp --abi cp313 --platform "$platform"
        --platform "${platform/musllinux_1_2/musllinux_1_1}")
    for requirement in "$@"; do
        if "$host_python" -m pip download -q -d "$dest" "${tags[@]}" --only-binary=:all: "$requirement" >/dev/null 2>&1; then
            continue
        fi
        # A wheel of its own but not of every dependency: left out.
        if "$host_python" -m pip download -q -d "$dest.probe" --no-deps "${tags[@]}" --only-binary=:all: \
            "$requirement" >/dev/null 2>&1; then
            echo "$requirement"
            continue
        fi
        if "$host_python" -m pip download -q -d "$dest" --no-deps --no-binary=:all: "$requirement" >/dev/null 2>&1 &&
            "$host_python" -m pip download -q -d "$dest" "${tags[@]}" --only-binary=:all: setuptools wheel >/dev/null 2>&1; then
            continue
        fi
        echo "$requirement"
    done
    rm -rf "$dest.probe"
}

# pytest_counts LOG: "N passed, M skipped" from pytest's last line.
pytest_counts() {
    tail -1 "$1" | grep -oE '[0-9]+ (passed|failed|skipped|errors?|xfailed|xpassed)' | paste -sd, - | sed 's/,/, /g'
}

for target in ${QUELVA_MUSL_TARGETS:-x86_64-linux-musl arm-linux-musleabihf}; do
    stage "test-wheels-musl: CPython for $target"
    prefix=$(bash scripts/musl-python.sh "$target" | tail -1)
    python=$prefix/bin/python3.13
    if ! "$python" -c 'import sys' >/dev/null 2>&1; then
        echo "== $target: this machine cannot run its interpreter (no emulator for it): left out"
        continue
    fi
    # The newest musllinux platform tag this interpreter's pip installs, as
    # pip itself reads it (the machine, the C library and its version): the
    # pip that ensurepip puts in each venv, imported from its wheel.
    platform=$("$python" - <<'PY'
import glob, os, sys, ensurepip
sys.path.insert(0, glob.glob(os.path.join(os.path.dirname(ensurepip.__file__), "_bundled", "pip-*.whl"))[0])
from pip._internal.utils.compatibility_tags import get_supported
print(next(t.platform for t in get_supported() if t.platform.startswith("musllinux_")))
PY
)
    interpreter="CPython $("$python" -c 'import platform; print(platform.python_version())') ($target)"
    # NumPy runs where NumPy has a wheel for the platform.
    runs=("")
    if ! with_numpy_suites; then
        echo "== $platform: the suite without NumPy only (QUELVA_SUITES)"
    elif "$host_python" -m pip download -q --no-deps -d "$out/probe-$platform" --python-version 3.13 \
        --implementation cp --abi cp313 --platform "$platform" --only-binary=:all: "numpy>=2" >/dev/null 2>&1; then
        runs=("numpy>=2" "")
    else
        echo "== $platform: NumPy publishes no wheel for it; the suite runs without NumPy"
    fi
    for numpy in "${runs[@]}"; do
        label="${numpy:-without NumPy}"
        stage "test-wheels-musl: $platform, $label: the test requirements for it"
        house=$out/wheelhouse-$platform-${numpy:+numpy}
        rm -rf "$house"
        requirements=("${TEST_REQUIREMENTS[@]}")
        [ -z "$numpy" ] || requirements+=("$numpy" "${NUMPY_TEST_REQUIREMENTS[@]}")
        left_out=$(wheelhouse "$platform" "$house" "${requirements[@]}")
        [ -z "$left_out" ] || echo "== left out (no wheel for $platform): $(echo $left_out)"
        if [ -n "$numpy" ] && echo "$left_out" | grep -qxF -- "$numpy"; then
            echo "NumPy was found for $platform a moment ago and is missing now" >&2
            exit 1
        fi
        installable=()
        for requirement in "${requirements[@]}"; do
            echo "$left_out" | grep -qxF -- "$requirement" || installable+=("$requirement")
        done

        stage "test-wheels-musl: $platform, $label: a venv and the wheel"
        venv=$out/venv-$target
        rm -rf "$venv"
        "$python" -m venv "$venv"
        # The wheel this interpreter installs from DIR, by its pip's own
        # reading of the tags.
        rm -rf "$out/probe"
        if ! "$venv/bin/python" -m pip download -q --no-index --no-deps --find-links "$dir" --only-binary=:all: \
            -d "$out/probe" "quelva==$version" 2>/dev/null; then
            echo "== no wheel in $dir for $interpreter on $platform: left out"
            break
        fi
        wheel=$(ls "$out"/probe/quelva-*.whl)
        wheel=${wheel##*/}
        "$venv/bin/python" -m pip install -q --no-index --find-links "$house" "${installable[@]}"
        "$venv/bin/python" -m pip install -q --no-index --no-deps --find-links "$dir" --only-binary=:all: \
            "quelva==$version"
        # The suite must see the installed wheel, not the build tree.
        "$venv/bin/python" -c 'import quelva; print(quelva.__file__); assert "site-packages" in quelva.__file__'

        stage "test-wheels-musl: $platform, $label: the suite"
        log=$out/pytest-$target-${numpy:+numpy}.log
        status=0
        # An interpreter of another machine runs under qemu, where the
        # suite's children need longer hang limits.
        scale=1
        [ "$("$venv/bin/python" -c 'import platform; print(platform.machine())')" = "$(uname -m)" ] ||
            scale=$QEMU_TIMEOUT_SCALE
        (cd tests && QUELVA_TEST_TIMEOUT_SCALE=$scale "../$venv/bin/python" -m pytest -q -ra -p no:cacheprovider "${pytest_args[@]}" .) 2>&1 |
            tee "$log" || status=$?
        numpy_version=$("$venv/bin/python" -c 'import numpy; print("NumPy", numpy.__version__)' 2>/dev/null ||
            echo "without NumPy")
        summaries+=("$wheel, $interpreter, $numpy_version: $(pytest_counts "$log")")
        ((status == 0)) || failed=$((failed + 1))
    done
done

((${#summaries[@]} > 0)) || { echo "no musl wheel in $dir runs here" >&2; exit 1; }
stage "test-wheels-musl: $((${#summaries[@]} - failed)) of ${#summaries[@]} suites passed"
printf '== summary: %s\n' "${summaries[@]}"
((failed == 0))
