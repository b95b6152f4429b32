#!/usr/bin/env bash
# A bounded run of the engine's coverage-guided fuzzer (libFuzzer, clang, with
# AddressSanitizer and UndefinedBehaviorSanitizer), started from the corpus
# kept in fuzz/corpus/. Every input goes through every kernel variant this
# processor runs (see fuzz/fuzz_engine.cpp), so the time below covers them all.
#
#   bash scripts/fuzz.sh [SECONDS]      (default 60)
#
# New inputs that reach new code are written to build/fuzz/corpus (not to the
# committed seed corpus); a crashing input is saved as build/fuzz/crash-* and
# the run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

seconds=${1:-60}

ensure_build_tools
clangxx=$(ensure_clang fuzzer)

echo "== fuzz: building the engine with libFuzzer, ASan and UBSan"
cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER="$clangxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j"$(build_jobs)" --target fuzz_engine

work=build/fuzz/corpus
mkdir -p "$work"
rm -f build/fuzz/crash-* build/fuzz/leak-* build/fuzz/timeout-* build/fuzz/oom-*

# The engine writes a panic report to standard error for every input whose
# arrays do not fit together: stderr is closed for the inputs
# (-close_fd_mask=2), libFuzzer's own output and any sanitizer report still
# reach the terminal.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
echo "== fuzz: ${seconds} s from $(ls fuzz/corpus | wc -l) seeds"
set +e
build/fuzz/fuzz_engine "$work" fuzz/corpus \
    -max_total_time="$seconds" -max_len=4096 -timeout=20 -rss_limit_mb=2048 \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix=build/fuzz/ 2>&1 |
    awk '/^###### Recommended dictionary/ {skip = 1} !skip {print} /^###### End of recommended/ {skip = 0}'
status=${PIPESTATUS[0]}
set -e
if [ "$status" -ne 0 ] || ls build/fuzz/crash-* >/dev/null 2>&1; then
    echo "== fuzz: FAILED (status $status); artifacts:" build/fuzz/crash-* build/fuzz/timeout-* 2>/dev/null
    exit 1
fi
echo "== fuzz: no failure in ${seconds} s"
