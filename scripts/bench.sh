#!/usr/bin/env bash
# The benchmark in one command: finds Python 3.12, makes or updates the venv
# .venv/bench, installs quelva from this checkout with numpy, tmm and
# matplotlib and the peer packages (tmm-faster, pyElli, PyMoosh), builds the
# floor program, and runs bench/run.py with the arguments given here (for
# example --quick or --markdown). A peer that does not install is reported as
# unavailable by the benchmark; it does not stop it.
#
#   scripts/bench.sh [--quick] [--markdown] [--plot PATH] [--no-plot] [--json PATH]
#   scripts/bench.sh --test      # the benchmark's own tests (bench/test_bench.py) instead
#
# Environment: QUELVA_BENCH_PYTHON overrides the interpreter;
# QUELVA_BENCH_SKIP_INSTALL=1 reuses the installed module as it is.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

. scripts/lib.sh

if [[ -n "${QUELVA_BENCH_PYTHON:-}" ]]; then
    py=$QUELVA_BENCH_PYTHON
else
    py=$(find_python 3.12)
fi
venv="$root/.venv/bench"
make_venv "$venv" "$py"
vpy="$venv/bin/python"

"$vpy" -m pip install --quiet --disable-pip-version-check numpy tmm matplotlib pytest
# The peers, one at a time so that one that fails to install leaves the others.
# The versions are those whose conventions bench/README.md describes.
for peer in tmm-faster==0.1.3 pyElli==0.23.1 PyMoosh==4.0.1; do
    if ! "$vpy" -m pip install --quiet --disable-pip-version-check "$peer"; then
        echo "scripts/bench.sh: $peer did not install; the benchmark marks it unavailable" >&2
    fi
done
if [[ "${QUELVA_BENCH_SKIP_INSTALL:-0}" != 1 ]]; then
    echo "scripts/bench.sh: installing quelva from $root" >&2
    if ! "$vpy" -m pip install --quiet --disable-pip-version-check "$root"; then
        echo "scripts/bench.sh: the module did not install; the benchmark runs without it" >&2
        "$vpy" -m pip uninstall --quiet --yes quelva >/dev/null 2>&1 || true
    fi
fi

# The floor: bench/CMakeLists.txt on its own (it needs no other part of the tree).
# Without a working cmake, bench/run.py compiles bench/floor.cpp with c++ itself.
jobs=$(build_jobs)
if cmake --version >/dev/null 2>&1; then
    cmake -S "$root/bench" -B "$root/build/bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$root/build/bench" -j "$jobs" >/dev/null
else
    echo "scripts/bench.sh: no working cmake; bench/run.py builds the floor with c++" >&2
    rm -f "$root/build/bench/quelva_floor"
fi

if [[ "${1:-}" == --test ]]; then
    shift
    exec "$vpy" -m pytest -q "$root/bench/test_bench.py" "$@"
fi
exec "$vpy" "$root/bench/run.py" "$@"
