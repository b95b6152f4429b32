#!/usr/bin/env bash
# The release matrix that CI leaves out, run from a clean clone before every
# release and every change to native code or the build (CI runs the rest: see
# .ci/run). Each step runs even when an earlier one failed; a summary with
# each step's result and time ends the output, and the script fails if any
# step did.
#
#   1. every wheel (CPython 3.12 to 3.15, every platform) and the sdist, each
#      checked by auditwheel, with the suite against every wheel this machine
#      runs: x86-64 glibc on 3.12 and 3.13 here, on 3.14 and 3.15 in a Debian
#      unstable root, and the sdist alone in a clean venv;
#   2. the engine's C++ tests on 32-bit ARM (glibc and musl) and aarch64;
#   3. the suite in the armhf root (Debian's NumPy and without), under
#      qemu-aarch64 with NumPy and without, and on the musl CPythons
#      (x86-64 natively, armv7l under qemu);
#   4. a quick run of the benchmark, and its own tests.
#
# The suite under qemu-aarch64 runs beside steps 2 to 4.
#
#   bash scripts/release-check.sh
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

results=()
failed=0
record() { # NAME STATUS SECONDS: one line of the summary
    local name=$1 status=$2 took=$3
    if ((status == 0)); then
        results+=("$(printf 'passed  %4d min %02d s  %s' $((took / 60)) $((took % 60)) "$name")")
    else
        results+=("$(printf 'FAILED  %4d min %02d s  %s (status %d)' $((took / 60)) $((took % 60)) "$name" "$status")")
        failed=1
    fi
}
step() { # NAME COMMAND...: runs COMMAND, records its result and time
    local name=$1 start=$SECONDS status=0
    shift
    stage "release-check: $name"
    "$@" || status=$?
    record "$name" "$status" $((SECONDS - start))
}
# The suites under qemu-user run one interpreter on one core: the longest of
# them runs beside the other steps, its output kept in a log that is printed
# when it ends.
background_log=build/release-check-background.log
background() { # NAME COMMAND...: like step, in the background (one at a time)
    background_name=$1
    shift
    stage "release-check: $background_name (in the background, output in $background_log)"
    mkdir -p build
    (
        start=$SECONDS status=0
        "$@" >"$background_log" 2>&1 || status=$?
        echo "$status $((SECONDS - start))" >"$background_log.result"
    ) &
    background_pid=$!
}
wait_background() {
    wait "$background_pid" || true
    stage "release-check: $background_name (its output)"
    cat "$background_log"
    local status took
    read -r status took <"$background_log.result" || { status=1 took=0; }
    record "$background_name" "$status" "$took"
}

step "every wheel and the sdist, with the x86-64 glibc suites" bash scripts/wheels.sh --test
background "aarch64 glibc: the wheel's suite with NumPy and without" bash scripts/test-wheel-qemu.sh arm64
step "armv7l glibc: engine tests and the wheel's suite in the armhf root" bash scripts/arm.sh
step "armv7l musl: engine tests" bash scripts/musl.sh
step "aarch64 musl: engine tests (NEON)" bash scripts/aarch64.sh
step "musl wheels: x86-64 and armv7l musl CPythons" bash scripts/test-wheels-musl.sh
step "benchmark, quick run" bash scripts/bench.sh --quick --no-plot
step "benchmark: the tests of its peer adapters" env QUELVA_BENCH_SKIP_INSTALL=1 bash scripts/bench.sh --test
wait_background

echo
echo "== release-check summary ($(git rev-parse --short HEAD), $(date -u '+%Y-%m-%d %H:%M UTC'), load $(cut -d' ' -f1-3 /proc/loadavg))"
printf '%s\n' "${results[@]}"
exit "$failed"
