"""Stacks and worker functions shared by test_fork.py and test_threads.py.

They live in a module of their own so that processes started with the spawn
method (which import their work by name) find them.
"""

from __future__ import annotations

import numpy as np

import quelva


def stack(seed, count=150, media=5):
    """A random absorbing stack of `count` wavelengths (>= 101: the pool)."""
    rng = np.random.default_rng(seed)
    d = rng.uniform(20.0, 300.0, media - 2)
    n = rng.uniform(1.0, 2.5, (media, count)) + 1j * rng.uniform(0.0, 0.2, (media, count))
    n[0] = 1.0
    wl = rng.uniform(350.0, 1100.0, count)
    theta = float(rng.uniform(0.0, 1.2))
    phi = float(rng.uniform(0.0, 1.5))
    return d, n, wl, theta, phi


def spectra(seed, count=150):
    """(r bytes, t bytes) of the stack, computed by one simulate() call."""
    sim = quelva.DataPy(*stack(seed, count)).simulate()
    return sim.r.tobytes(), sim.t.tobytes()


def chunked_spectra(seed, count=150, chunk=100):
    """The same spectra from pieces of at most `chunk` wavelengths, each
    computed on the calling thread; the pool must give the same bits."""
    d, n, wl, theta, phi = stack(seed, count)
    r, t = [], []
    for start in range(0, count, chunk):
        part = slice(start, start + chunk)
        sim = quelva.DataPy(d, np.ascontiguousarray(n[:, part]), wl[part].copy(), theta, phi).simulate()
        r.append(sim.r)
        t.append(sim.t)
    return np.concatenate(r).tobytes(), np.concatenate(t).tobytes()


def thread_count():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return -1


def spectra_and_threads(seed):
    """In a pool worker process: the spectra, and the number of threads of
    the process before and after the parallel pass."""
    before = thread_count()
    result = spectra(seed)
    return result, before, thread_count()
