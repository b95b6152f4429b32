#!/usr/bin/env bash
# The engine, its C++ tests and the Python module built with AddressSanitizer
# and UndefinedBehaviorSanitizer; then the C++ tests and the whole Python test
# suite (with NumPy 2, and without NumPy) run against the sanitised module.
# Any sanitizer report fails the run (-fno-sanitize-recover=all, abort on
# error), and so does a leak whose allocation passed through the module or the
# engine. Last, the engine's C++ tests built with ThreadSanitizer, so that a
# race in the worker pool is found when it is written.
#
#   bash scripts/sanitize.sh [pytest arguments...]
#   bash scripts/sanitize.sh --thread-only      (the ThreadSanitizer part alone)
#
# The interpreter itself is not sanitised: libasan is preloaded into it. It
# keeps much of its own memory until exit by design, so LeakSanitizer's
# reports of the Python runs are written to build/sanitize/lsan/ and only the
# leaks with a frame in quelva or brenmor count.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

ensure_build_tools
ensure_apt libgtest-dev

SAN_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all -g"
out=build/sanitize
python=$(find_python 3.12)

# The engine's C++ tests under ThreadSanitizer. The pool tests fork (to start
# fresh pools, and to check the pool after a fork); TSan ends a child that
# goes on running threads after a fork unless die_after_fork=0. They run with
# address-space randomisation off (setarch -R): on kernels that randomise
# mmap with more bits than TSan's fixed shadow layout expects, its runtime
# stops at start-up with "unexpected memory mapping".
run_thread_sanitizer() {
    local tsan_out=build/sanitize-thread
    echo "== sanitize: building engine and C++ tests with ThreadSanitizer"
    cmake -S . -B "$tsan_out" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DBRENMOR_BUILD_TESTS=ON -DQUELVA_BUILD_MODULE=OFF -DQUELVA_WERROR=OFF \
        -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer -g" \
        -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
    # Test discovery runs the instrumented binary too.
    setarch "$(uname -m)" -R cmake --build "$tsan_out" -j"$(build_jobs)"
    echo "== sanitize: C++ tests (with ThreadSanitizer)"
    TSAN_OPTIONS=halt_on_error=1:abort_on_error=1:die_after_fork=0:second_deadlock_stack=1 \
        setarch "$(uname -m)" -R ctest --test-dir "$tsan_out" --output-on-failure -j"$(build_jobs)"
}

if [ "${1:-}" = "--thread-only" ]; then
    run_thread_sanitizer
    echo "== sanitize: no ThreadSanitizer report"
    exit 0
fi

# No -Werror here: the instrumentation makes GCC 12 warn falsely inside
# libstdc++ (maybe-uninitialized in <regex>); the ordinary build is warning-clean.
echo "== sanitize: building engine, C++ tests and module with ASan + UBSan"
make_venv .venv/sanitize "$python"
mapfile -t test_requirements < <(extra_requirements test)
.venv/sanitize/bin/python -m pip install -q "numpy>=2" "${test_requirements[@]}"
cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBRENMOR_BUILD_TESTS=ON -DQUELVA_BUILD_MODULE=ON -DQUELVA_WERROR=OFF \
    -DPython_EXECUTABLE="$PWD/.venv/sanitize/bin/python" \
    -DCMAKE_CXX_FLAGS="$SAN_FLAGS" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$out" -j"$(build_jobs)"

module=$(find "$out/src" -maxdepth 1 -name 'quelva*.so' | head -n 1)
[ -n "$module" ] || { echo "sanitize: the module was not built" >&2; exit 1; }

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1
echo "== sanitize: C++ tests (with LeakSanitizer)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
    ctest --test-dir "$out" --output-on-failure -j"$(build_jobs)"

libasan=$(g++ -print-file-name=libasan.so)
libubsan=$(g++ -print-file-name=libubsan.so)
lsan_dir=$PWD/$out/lsan

# Tests that make copies of 80 GB or more cannot pass here: ASan's operator
# new reports the exhaustion and aborts instead of throwing std::bad_alloc,
# so the module's MemoryError path is unreachable in this build. They run in
# the ordinary suite (tests/test_memory.py skips itself under ASan).
deselect=(
    --deselect tests/test_datapy.py::test_huge_broadcast_copies_raise_memory_error
)

# run_python_suite NAME VENV [pytest args...]: installs the sanitised module
# into VENV's site-packages (where a wheel would put it, so that tests that
# start interpreters with their own PYTHONPATH find it too) and runs the suite.
run_python_suite() {
    local name=$1 venv=$2
    shift 2
    local site
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
    "$venv/bin/python" -m pip uninstall -q -y quelva >/dev/null 2>&1 || true
    rm -f "$site"/quelva*.so
    cp "$module" "$site/"
    # The stubs where a wheel puts them: beside the module, and as the
    # stub-only package that mypy reads.
    cp quelva.pyi "$site/"
    mkdir -p "$site/quelva-stubs"
    cp quelva.pyi "$site/quelva-stubs/__init__.pyi"
    rm -rf "$lsan_dir/$name"
    mkdir -p "$lsan_dir/$name"
    echo "== sanitize: Python suite ($name) against $module"
    # A small quarantine keeps the resident size of the leak tests meaningful;
    # freed blocks still wait for 16 MiB of later frees before reuse. Leaks
    # found at exit leave the exit status alone (exitcode=0) and go to files.
    (
        cd tests
        LD_PRELOAD="$libasan:$libubsan" \
        ASAN_OPTIONS="detect_leaks=1:exitcode=0:log_path=$lsan_dir/$name/report:abort_on_error=1:allocator_may_return_null=1:quarantine_size_mb=16" \
        QUELVA_SANITIZED=1 \
            "../$venv/bin/python" -m pytest -q -ra -p no:cacheprovider "${deselect[@]}" "$@" .
    ) || { cat "$lsan_dir/$name"/report.* 2>/dev/null | head -n 200; return 1; }
    # Any report other than a leak is an error (those also abort the process).
    if grep -l -E "ERROR: AddressSanitizer|runtime error:" "$lsan_dir/$name"/report.* 2>/dev/null; then
        cat "$lsan_dir/$name"/report.*
        return 1
    fi
    # The leaks whose allocation stack passes through the module or the engine:
    # a frame in the module's file, an engine symbol or one of our sources. (Not
    # the bare word "quelva": the checkout's own path may contain it, and then
    # every frame of NumPy's venv would match.)
    local ours
    ours=$(awk 'BEGIN { RS = "" } /(Direct|Indirect) leak/ && /(quelva\.cpython|brenmor::|src\/lib\.cpp:|engine\/src\/)/' \
        "$lsan_dir/$name"/report.* 2>/dev/null || true)
    if [ -n "$ours" ]; then
        echo "== sanitize: leaks in quelva/brenmor:"
        echo "$ours"
        return 1
    fi
    echo "== sanitize: $(cat "$lsan_dir/$name"/report.* 2>/dev/null | grep -c -E '(Direct|Indirect) leak' || true) leak records at interpreter exits, none in quelva or brenmor"
}

run_python_suite numpy2 .venv/sanitize "$@"

make_venv .venv/sanitize-nonumpy "$python"
.venv/sanitize-nonumpy/bin/python -m pip uninstall -q -y numpy >/dev/null 2>&1 || true
.venv/sanitize-nonumpy/bin/python -m pip install -q "${test_requirements[@]}"
run_python_suite nonumpy .venv/sanitize-nonumpy "$@"

run_thread_sanitizer

echo "== sanitize: no sanitizer report"
