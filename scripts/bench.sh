#!/usr/bin/env bash
# The benchmark in one command: finds Python 3.12, makes or updates the venv
# .venv/bench, installs quelva from this checkout with numpy, scipy, tmm and
# matplotlib and the peer packages (tmm-faster, pyElli, PyMoosh), builds the
# baseline (quelva at the commit that bench/baseline.py names) and the program
# that times the reference order's C-library calls, and runs bench/run.py with the arguments given here (for example
# --quick or --markdown). A peer that does not install, or a baseline that
# does not build, is reported as unavailable by the benchmark; it does not
# stop it.
#
#   scripts/bench.sh [--quick] [--markdown] [--plot PATH] [--no-plot] [--json PATH]
#   scripts/bench.sh --test      # the benchmark's own tests (bench/test_bench.py) instead
#
# Environment: QUELVA_BENCH_PYTHON overrides the interpreter;
# QUELVA_BENCH_SKIP_INSTALL=1 reuses the installed module as it is (the
# baseline is cached by its commit whatever this says).
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

"$vpy" -m pip install --quiet --disable-pip-version-check numpy scipy tmm matplotlib pytest
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

# The baseline: the commit's own tree (git archive, so no worktree is
# registered), installed with this venv's interpreter into a folder of its own
# that bench/run.py loads beside the current module. The folder is reused only
# if a finished build of this commit for this interpreter is in it; anything
# else is built afresh. What goes wrong is told to bench/run.py, which prints
# it and runs without the row.
baseline_commit=$("$vpy" "$root/bench/baseline.py")
baseline_dir="$root/build/bench-baseline/$baseline_commit"
baseline_src="$root/build/bench-baseline/src-$baseline_commit"
ext_suffix=$("$vpy" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
unset QUELVA_BENCH_BASELINE QUELVA_BENCH_BASELINE_SKIPPED
if ! git -C "$root" cat-file -e "$baseline_commit^{commit}" 2>/dev/null; then
    export QUELVA_BENCH_BASELINE_SKIPPED="the git history lacks commit $baseline_commit (a shallow clone?); fetch it to get the baseline row"
elif [[ -f "$baseline_dir/.built" && -f "$baseline_dir/quelva$ext_suffix" ]]; then
    export QUELVA_BENCH_BASELINE="$baseline_dir"
else
    echo "scripts/bench.sh: building the baseline, quelva at $baseline_commit" >&2
    rm -rf "$baseline_dir" "$baseline_src"
    mkdir -p "$baseline_src"
    if git -C "$root" archive "$baseline_commit" | tar -x -C "$baseline_src" &&
        "$vpy" -m pip install --quiet --disable-pip-version-check --no-deps \
            --target "$baseline_dir" "$baseline_src" &&
        [[ -f "$baseline_dir/quelva$ext_suffix" ]]; then
        touch "$baseline_dir/.built"
        export QUELVA_BENCH_BASELINE="$baseline_dir"
    else
        echo "scripts/bench.sh: the baseline did not build; the benchmark runs without it" >&2
        export QUELVA_BENCH_BASELINE_SKIPPED="quelva at $baseline_commit did not build (scripts/bench.sh says why)"
    fi
fi

# The reference order's C-library calls: bench/CMakeLists.txt on its own (it needs
# no other part of the tree). Without a working cmake, bench/run.py compiles
# bench/reference_calls.cpp with c++ itself.
jobs=$(build_jobs)
if cmake --version >/dev/null 2>&1; then
    cmake -S "$root/bench" -B "$root/build/bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$root/build/bench" -j "$jobs" >/dev/null
else
    echo "scripts/bench.sh: no working cmake; bench/run.py builds quelva_reference_calls with c++" >&2
    rm -f "$root/build/bench/quelva_reference_calls"
fi

if [[ "${1:-}" == --test ]]; then
    shift
    exec "$vpy" -m pytest -q "$root/bench/test_bench.py" "$@"
fi
exec "$vpy" "$root/bench/run.py" "$@"
