"""Threads: several Python threads calling simulate() and the getters on
shared objects at once get exactly what one thread gets, and the
interpreter stays responsive afterwards.

The scenario runs in its own interpreter with a time limit, so that a
deadlock fails the test instead of hanging the run.
"""

from __future__ import annotations

import os

import pytest

pytest.importorskip("numpy")

from conftest import (  # noqa: E402
    OUT_OF_BOUNDS,
    TESTS_DIR,
    TIMEOUT_SCALE,
    cpu_quota_limited,
    run_python,
)

SCRIPT = """
import sys, threading, time
import numpy as np
import quelva
from fork_workers import stack

THREADS = {threads}
ROUNDS = {rounds}

# Shared objects: two on the calling thread's path, two on the pool's, one
# that fails with the index panic, and a shared result.
objects = [quelva.DataPy(*stack(seed, count)) for seed, count in ((1, 40), (2, 100), (3, 101), (4, 240))]
d, n, wl, theta, phi = stack(5, 150)
failing = quelva.DataPy(d, np.ascontiguousarray(n[:, :120]), wl, theta, phi)
shared_sim = objects[3].simulate()

def snapshot(obj):
    sim = obj.simulate()
    return (sim.r.tobytes(), sim.t.tobytes(), obj.d.tobytes(), obj.n.tobytes(), obj.wl.tobytes(),
            obj.theta, obj.phi)

expected = [snapshot(o) for o in objects]
expected_shared = (shared_sim.r.tobytes(), shared_sim.t.tobytes())
problems = []
calls = [0] * THREADS
start = threading.Barrier(THREADS + 1)

def work(k):
    start.wait()
    try:
        for i in range(ROUNDS):
            j = (k + i) % len(objects)
            if snapshot(objects[j]) != expected[j]:
                problems.append(("mismatch", k, i, j))
            if (shared_sim.r.tobytes(), shared_sim.t.tobytes()) != expected_shared:
                problems.append(("shared result", k, i))
            if i % 7 == k % 7:
                try:
                    failing.simulate()
                    problems.append(("no panic", k, i))
                except BaseException as exc:
                    if type(exc).__name__ != "PanicException" or str(exc) != {out_of_bounds!r}:
                        problems.append(("wrong failure", k, i, repr(exc)))
            calls[k] += 1
    except BaseException as exc:
        problems.append(("exception", k, repr(exc)))

ticks = [0]
stop = threading.Event()
def heartbeat():
    while not stop.is_set():
        ticks[0] += 1
        time.sleep(0.001)

sys.setswitchinterval(1e-5)     # switch threads as often as the interpreter can
beat = threading.Thread(target=heartbeat, daemon=True)
beat.start()
workers = [threading.Thread(target=work, args=(k,), daemon=True) for k in range(THREADS)]
for w in workers:
    w.start()
start.wait()
deadline = time.monotonic() + 90
for w in workers:
    w.join(max(0.0, deadline - time.monotonic()))
print("alive", sum(w.is_alive() for w in workers))
print("calls", sum(calls) == THREADS * ROUNDS)
print("problems", problems[:5])
stop.set()
beat.join(5)
print("heartbeat", ticks[0] > 0 and not beat.is_alive())

# Responsive afterwards: a new thread runs at once, and both paths still work here.
sys.setswitchinterval(0.005)
ran = threading.Event()
threading.Thread(target=ran.set).start()
print("new thread", ran.wait(5))
print("again", [snapshot(o) for o in objects] == expected)
"""


@pytest.mark.parametrize("threads, rounds", [(2, 150), (6, 60)])
def test_threads_share_objects(threads, rounds):
    env = {"RAYON_NUM_THREADS": "3", "OPENBLAS_NUM_THREADS": "1"}
    proc = run_python(SCRIPT.format(threads=threads, rounds=rounds, out_of_bounds=OUT_OF_BOUNDS), env=env, timeout=150, cwd=TESTS_DIR)
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert proc.stdout.splitlines() == [
        "alive 0",
        "calls True",
        "problems []",
        "heartbeat True",
        "new thread True",
        "again True",
    ]
    # Every failing call reported its panic, nothing else reached stderr.
    reports = [line for line in proc.stderr.splitlines() if line.strip()]
    assert reports and all(
        line.startswith("thread '<unnamed>' panicked at ") or line == OUT_OF_BOUNDS
        for line in reports
    ), reports[:6]


IDLE_SCRIPT = """
import time
import numpy as np
import quelva
from fork_workers import stack

obj = quelva.DataPy(*stack(7, {count}))
for _ in range(50):
    obj.simulate()                 # back-to-back passes: the workers spin between them
time.sleep(0.2)                    # longer than any spin
before = time.process_time()       # the CPU time of every thread of the process
time.sleep(1.0)
print("idle cpu", time.process_time() - before)
"""


@pytest.mark.parametrize("count", [101, 3000])
def test_an_idle_pool_uses_no_processor_time(count):
    """After its passes the pool's workers spin briefly, then sleep: a pool
    that kept spinning would burn a second of CPU time per worker here."""
    env = {"RAYON_NUM_THREADS": "4", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
    proc = run_python(IDLE_SCRIPT.format(count=count), env=env, timeout=60, cwd=TESTS_DIR)
    assert proc.returncode == 0, proc.stderr[-4000:]
    idle = float(proc.stdout.split()[-1])
    assert idle < 0.05, idle


WATCH_SCRIPT = """
import os, time
import quelva
from fork_workers import stack

def sleeps():
    # Blocking waits per thread: a thread that yields stays runnable and is
    # not counted here; one that sleeps on the futex is.
    out = dict()
    for tid in os.listdir("/proc/self/task"):
        with open("/proc/self/task/" + tid + "/status") as f:
            for line in f:
                if line.startswith("voluntary_ctxt_switches:"):
                    out[int(tid)] = int(line.split()[1])
    return out

obj = quelva.DataPy(*stack(9, 400))
obj.simulate()                      # starts the pool
before = sleeps()
for _ in range({passes}):
    obj.simulate()
    pause = time.perf_counter() + 150e-6
    while time.perf_counter() < pause:  # the caller's own work between spectra
        pass
after = sleeps()
caller = os.getpid()                # the main thread's id
print(after[caller] - before[caller],
      sum(after[t] - before.get(t, 0) for t in after if t != caller))
"""


@pytest.mark.skipif(TIMEOUT_SCALE != 1, reason="timing under emulation says nothing")
@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two processors")
@pytest.mark.parametrize("workers", [1, 2])
def test_the_pool_stays_awake_between_spectra(workers):
    """Spectra separated by 150 us of the caller's own work (a fit's step) find
    the workers still watching. With one worker on a machine of two or more
    processors, the caller also watches its pass through instead of sleeping
    (with as many workers as processors it sleeps: a worker may need its
    processor). Waking a sleeping thread cost 50 to 100 us a spectrum here,
    more than a whole short spectrum; sleeping through most passes is the
    fault caught here."""
    passes = 100
    env = {"RAYON_NUM_THREADS": str(workers), "OPENBLAS_NUM_THREADS": "1",
           "OMP_NUM_THREADS": "1"}
    proc = run_python(WATCH_SCRIPT.format(passes=passes), env=env, timeout=60, cwd=TESTS_DIR)
    assert proc.returncode == 0, proc.stderr[-4000:]
    caller_sleeps, worker_sleeps = (int(x) for x in proc.stdout.split())
    assert worker_sleeps < workers * passes // 2, worker_sleeps
    if workers < len(os.sched_getaffinity(0)) and not cpu_quota_limited():
        assert caller_sleeps < passes // 2, caller_sleeps
