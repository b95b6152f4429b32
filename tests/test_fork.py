"""Fork safety: a process that has run a parallel simulate() (and so has a
started worker pool) forks; the child's own parallel simulate() completes,
on a pool started afresh in the child, with the right results.

Each scenario runs in its own interpreter with a time limit, and every wait
inside it has a timeout too: a child that hangs on worker threads that do
not exist in it fails the test instead of hanging the run.
"""

from __future__ import annotations

import textwrap

import pytest

pytest.importorskip("numpy")

from conftest import TESTS_DIR, run_python  # noqa: E402

WORKERS = 3

PRELUDE = """
import os, sys, time, warnings
# Forking a process with threads is what is being tested.
warnings.filterwarnings("ignore", message=".*fork.*", category=DeprecationWarning)
import numpy as np
import quelva
from fork_workers import chunked_spectra, spectra, spectra_and_threads, thread_count
TIMEOUT_SCALE = float(os.environ.get("QUELVA_TEST_TIMEOUT_SCALE", "1"))

def wait(pid, seconds):
    deadline = time.monotonic() + seconds * TIMEOUT_SCALE
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return "hung"
"""


def run(code, timeout=120):
    env = {"RAYON_NUM_THREADS": str(WORKERS), "OPENBLAS_NUM_THREADS": "1"}
    proc = run_python(PRELUDE + textwrap.dedent(code), env=env, timeout=timeout, cwd=TESTS_DIR)
    assert proc.returncode == 0, proc.stdout + proc.stderr[-4000:]
    return proc.stdout.splitlines()


def test_os_fork_after_a_parallel_pass():
    lines = run(
        """
        assert spectra(1) == chunked_spectra(1)          # the parent's pool is running
        parent_threads = thread_count()
        expected = {seed: chunked_spectra(seed) for seed in (2, 3, 4)}

        def child_body():
            threads_at_fork = thread_count()              # only the forking thread survives
            ok = spectra(2) == expected[2]
            started = thread_count() - threads_at_fork    # the child's own pool
            # The child, with its own pool now, forks again.
            grandchild = os.fork()
            if grandchild == 0:
                os._exit(0 if spectra(3) == expected[3] else 1)
            code = wait(grandchild, 60)
            return ok and started >= 3 and code == 0 and spectra(4) == expected[4]

        pid = os.fork()
        if pid == 0:
            try:
                os._exit(0 if child_body() else 1)
            except BaseException:
                os._exit(2)
        print("child", wait(pid, 90))
        print("parent pool", spectra(4) == expected[4], parent_threads >= 1 + 3)
        """
    )
    assert lines == ["child 0", "parent pool True True"]


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_multiprocessing_pool_after_a_parallel_pass(method):
    lines = run(
        f"""
        import multiprocessing
        assert spectra(10) == chunked_spectra(10)         # the parent's pool is running
        seeds = list(range(11, 17))
        expected = [chunked_spectra(s) for s in seeds]
        with multiprocessing.get_context("{method}").Pool(2) as pool:
            pending = pool.map_async(spectra_and_threads, seeds)
            try:
                results = pending.get(timeout=90 * TIMEOUT_SCALE)
            except multiprocessing.TimeoutError:
                print("hung")
                pool.terminate()
                raise SystemExit(0)
        print(all(r == e for (r, _, _), e in zip(results, expected)))
        # Each worker process ran its passes on a pool of its own.
        print(all(after - before >= 3 or before >= 4 for _, before, after in results))
        print(spectra(17) == chunked_spectra(17))
        """
    )
    assert lines == ["True", "True", "True"]
