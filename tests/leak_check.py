"""Measuring whether repeating a call leaks: traced Python memory, resident
size and the reference counts of the objects handed to the call.

Used in-process by test_leaks.py and inside the subprocesses it starts (the
panic cases write a report to standard error on every call, so they run with
their standard error sent to a file).
"""

from __future__ import annotations

import gc
import os
import sys
import tracemalloc


def sanitized() -> bool:
    """Whether this process runs the AddressSanitizer build of the module."""
    return os.environ.get("QUELVA_SANITIZED") == "1" or "libasan" in os.environ.get("LD_PRELOAD", "")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _run(body, times):
    for _ in range(times):
        body()


def measure(body, objects, iterations, warmup=200):
    """Runs body() `iterations` times (after a warm-up) twice: once for the
    resident size, once under tracemalloc. Returns a dict with the growth of
    the resident size and of the traced memory in bytes, and the reference
    counts of `objects` before and after."""
    _run(body, warmup)
    gc.collect()
    refs_before = [sys.getrefcount(o) for o in objects]

    rss_start = rss_bytes()
    _run(body, iterations)
    gc.collect()
    rss_growth = rss_bytes() - rss_start

    tracemalloc.start()
    try:
        _run(body, warmup)
        gc.collect()
        traced_start = tracemalloc.get_traced_memory()[0]
        _run(body, iterations)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_start
    finally:
        tracemalloc.stop()

    refs_after = [sys.getrefcount(o) for o in objects]
    return {
        "rss": rss_growth,
        "traced": traced_growth,
        "refs_before": refs_before,
        "refs_after": refs_after,
    }


def expect_exception(call, kind, message=None):
    """A body that runs call() and requires it to raise `kind` (a type, or
    the name of a type for PanicException, which is not importable)."""

    def body():
        try:
            call()
        except BaseException as exc:  # noqa: BLE001
            name = type(exc).__name__
            if (isinstance(kind, str) and name != kind) or (not isinstance(kind, str) and type(exc) is not kind):
                raise AssertionError(f"{name}: {exc} instead of {kind}") from None
            if message is not None and not str(exc).startswith(message):
                raise AssertionError(f"message {str(exc)!r}, expected {message!r}") from None
            return
        raise AssertionError(f"no {kind} raised")

    return body
