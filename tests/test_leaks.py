"""Leak checks: every successful path and every reachable error row, repeated
thousands of times, leaves traced memory, the resident size and the
reference counts of the caller's objects where they were.

The panic rows write a report to standard error on every call; they run in
a subprocess whose standard error is collected, and the number of reports
is checked too.
"""

from __future__ import annotations

import json

import pytest

np = pytest.importorskip("numpy")

import quelva  # noqa: E402
from conftest import (  # noqa: E402
    DATAPY_NEW,
    NUMPY_CAPSULE_FAILED,
    OUT_OF_BOUNDS,
    SHAPE_ERROR,
    TESTS_DIR,
    Floaty,
    RaisesTypeErrorWithCause,
    RaisesValueError,
    Sub,
    misaligned,
    run_python,
)
from leak_check import expect_exception, measure, sanitized  # noqa: E402
ITERATIONS = 4000
# Growth allowed over ITERATIONS calls. A leak of one copy per call (each
# case copies at least 8 KB) would add tens of megabytes; one Python object
# per call would add well over 100 KB of traced memory.
TRACED_LIMIT = 48 * 1024
RSS_LIMIT = 3 * 1024 * 1024


def check(result):
    assert result["refs_after"] == result["refs_before"], "reference counts of the caller's objects changed"
    assert result["traced"] < TRACED_LIMIT, f"traced memory grew by {result['traced']} bytes"
    if not sanitized():  # ASan's allocator keeps freed blocks in quarantine
        assert result["rss"] < RSS_LIMIT, f"resident size grew by {result['rss']} bytes"


def arrays(count=1024, media=4):
    rng = np.random.default_rng(3)
    d = rng.uniform(10.0, 200.0, count)
    n = rng.uniform(1.0, 2.0, (media, count)) + 1j * rng.uniform(0.0, 0.1, (media, count))
    wl = rng.uniform(300.0, 900.0, count)
    return d, n, wl


def success_cases():
    d, n, wl = arrays()
    theta, phi = float("0.3"), float("0.7")
    floaty, np_angle = Floaty(0.25), np.float64(0.4)
    base = [d, n, wl, theta, phi]
    stored = quelva.DataPy(d, n, wl, theta, phi)
    stored_f = quelva.DataPy(d, np.asfortranarray(n), wl, theta, phi)
    sd, sn, swl = arrays(count=64)
    seq = quelva.DataPy(sd[:2], sn, swl, theta, phi)
    pd_, pn, pwl = arrays(count=101)
    par = quelva.DataPy(pd_[:2], pn, pwl, theta, phi)
    sim = seq.simulate()
    n_f = np.asfortranarray(n)
    n_rev = np.ascontiguousarray(n[::-1, ::-1])[::-1, ::-1]
    d_big, n_big, wl_big = arrays(count=2048)
    d_step, n_step, wl_step = d_big[::2], n_big[:, ::2], wl_big[::2]
    d_sub, n_sub, wl_sub = d.view(Sub), n.view(Sub), wl.view(Sub)
    d_mis, n_mis, wl_mis = misaligned(d), misaligned(n), misaligned(wl)
    return {
        "construct C-contiguous": (lambda: quelva.DataPy(d, n, wl, theta, phi), base),
        "construct Fortran n": (lambda: quelva.DataPy(d, n_f, wl, theta, phi), [n_f]),
        "construct reversed n": (lambda: quelva.DataPy(d, n_rev, wl, theta, phi), [n_rev]),
        "construct stepped slices": (
            lambda: quelva.DataPy(d_step, n_step, wl_step, theta, phi), [d_step, n_step, wl_step, d_big]),
        "construct subclasses": (lambda: quelva.DataPy(d_sub, n_sub, wl_sub, theta, phi), [d_sub, n_sub, wl_sub]),
        "construct misaligned": (lambda: quelva.DataPy(d_mis, n_mis, wl_mis, theta, phi), [d_mis, n_mis, wl_mis]),
        "construct by keyword": (lambda: quelva.DataPy(phi=phi, wl=wl, theta=theta, n=n, d=d), base),
        "construct angle objects": (lambda: quelva.DataPy(d, n, wl, floaty, np_angle), [floaty, np_angle]),
        "getter d": (lambda: stored.d, [stored]),
        "getter n": (lambda: stored.n, [stored]),
        "getter n (Fortran)": (lambda: stored_f.n, [stored_f]),
        "getter wl": (lambda: stored.wl, [stored]),
        "getters theta and phi": (lambda: (stored.theta, stored.phi), [stored]),
        "simulate on the calling thread": (lambda: seq.simulate(), [seq]),
        "simulate on the pool": (lambda: par.simulate(), [par]),
        "simulate and read r, t": (lambda: (lambda s: (s.r, s.t))(seq.simulate()), [seq]),
        "getters r and t": (lambda: (sim.r, sim.t), [sim]),
    }


def error_cases():
    d, n, wl = arrays(count=256)
    theta, phi = float("0.3"), float("0.7")
    a_list = [1.0, 2.0]
    f32 = d.astype(np.float32)
    swapped = d.astype(d.dtype.newbyteorder("S"))
    d2 = np.zeros((2, 3))
    n_real = n.real.copy()
    text = "abc"
    caused = RaisesTypeErrorWithCause()
    value_error = RaisesValueError()
    huge = 10**400
    obj = quelva.DataPy(d, n, wl, theta, phi)
    sim = obj.simulate()
    base = [d, n, wl, theta, phi]
    return {
        "row 1: six positional": (
            expect_exception(lambda: quelva.DataPy(d, n, wl, theta, phi, d), TypeError,
                             f"{DATAPY_NEW} takes 5 positional arguments but 6 were given"), base),
        "row 2: multiple values": (
            expect_exception(lambda: quelva.DataPy(d, n, wl, theta, phi, d=d), TypeError,
                             f"{DATAPY_NEW} got multiple values for argument 'd'"), base),
        "row 3: unexpected keyword": (
            expect_exception(lambda: quelva.DataPy(d, n, wl, theta, foo=phi), TypeError,
                             f"{DATAPY_NEW} got an unexpected keyword argument 'foo'"), base),
        "row 4: one missing": (
            expect_exception(lambda: quelva.DataPy(d, n, wl, phi=phi), TypeError,
                             f"{DATAPY_NEW} missing 1 required positional argument: 'theta'"), base),
        "row 5: all missing": (
            expect_exception(lambda: quelva.DataPy(), TypeError,
                             f"{DATAPY_NEW} missing 5 required positional arguments"), []),
        "row 6: d a list": (
            expect_exception(lambda: quelva.DataPy(a_list, n, wl, theta, phi), TypeError,
                             "argument 'd': 'list' object cannot be converted"), [a_list, n, wl]),
        "row 6: d float32": (
            expect_exception(lambda: quelva.DataPy(f32, n, wl, theta, phi), TypeError,
                             "argument 'd': 'ndarray' object"), [f32, n, wl]),
        "row 6: d byte-swapped": (
            expect_exception(lambda: quelva.DataPy(swapped, n, wl, theta, phi), TypeError,
                             "argument 'd': 'ndarray' object"), [swapped]),
        "row 6: d two-dimensional": (
            expect_exception(lambda: quelva.DataPy(d2, n, wl, theta, phi), TypeError,
                             "argument 'd': 'ndarray' object"), [d2]),
        "row 7: n real": (
            expect_exception(lambda: quelva.DataPy(d, n_real, wl, theta, phi), TypeError,
                             "argument 'n': 'ndarray' object"), [d, n_real, wl]),
        "row 8: wl None": (
            expect_exception(lambda: quelva.DataPy(d, n, None, theta, phi), TypeError,
                             "argument 'wl': 'NoneType' object"), [d, n]),
        "row 9: theta a string": (
            expect_exception(lambda: quelva.DataPy(d, n, wl, text, phi), TypeError,
                             "argument 'theta': must be real number, not str"), [d, n, wl, text]),
        "row 9: phi raising TypeError with a cause": (
            expect_exception(lambda: quelva.DataPy(d, n, wl, theta, caused), TypeError,
                             f"argument 'phi': {RaisesTypeErrorWithCause.message}"), [caused, RaisesTypeErrorWithCause.cause]),
        "row 10: theta overflowing": (
            expect_exception(lambda: quelva.DataPy(d, n, wl, huge, phi), OverflowError), [huge, d, n, wl]),
        "row 10: phi raising ValueError": (
            expect_exception(lambda: quelva.DataPy(d, n, wl, theta, value_error), ValueError),
            [value_error]),
        "row 21: Simulation()": (
            expect_exception(lambda: quelva.Simulation(d, x=n), TypeError,
                             "No constructor defined for Simulation"), [d, n]),
        "foreign receiver of a getter": (
            expect_exception(lambda: quelva.DataPy.d.__get__(sim), TypeError), [sim]),
        "foreign receiver of simulate": (
            expect_exception(lambda: quelva.DataPy.simulate(sim), TypeError), [sim]),
    }


SUCCESS = success_cases()
ERRORS = error_cases()


@pytest.mark.parametrize("case", sorted(SUCCESS))
def test_success_paths_do_not_leak(case):
    body, objects = SUCCESS[case]
    # A parallel pass costs a wake-up of the pool: fewer rounds there.
    check(measure(body, objects, ITERATIONS // 2 if "pool" in case else ITERATIONS))


@pytest.mark.parametrize("case", sorted(ERRORS))
def test_error_rows_do_not_leak(case):
    body, objects = ERRORS[case]
    check(measure(body, objects, ITERATIONS))


# ---------------------------------------------------------------------------
# Panic rows, in a subprocess whose standard error is collected.

PANIC_SCRIPT = """
import json, sys
import numpy as np
import quelva
from leak_check import expect_exception, measure

ITERATIONS = {iterations}
SHAPE = {shape!r}
INDEX = {index!r}
rng = np.random.default_rng(5)
d = rng.uniform(10.0, 200.0, 256)
wl = rng.uniform(300.0, 900.0, 256)
n = rng.uniform(1.0, 2.0, (3, 256)) + 0j
n1, n3, n0 = n[0].copy(), n.reshape(3, 16, 16).copy(), np.array(1 + 0j)
short_seq = quelva.DataPy(d, n[:, :40], wl[:50], 0.1, 0.2)
short_par = quelva.DataPy(d, n[:, :150], wl[:200], 0.1, 0.2)
short_d = quelva.DataPy(d[:0], n, wl[:30], 0.1, 0.2)
one_row = quelva.DataPy(d, n[:1], wl[:30], 0.1, 0.2)
cases = {{
    "row 11: n one-dimensional": (lambda: quelva.DataPy(d, n1, wl, 0.1, 0.2), SHAPE, [d, n1, wl], 1),
    "row 11: n three-dimensional": (lambda: quelva.DataPy(d, n3, wl, 0.1, 0.2), SHAPE, [n3], 1),
    "row 11: n zero-dimensional": (lambda: quelva.DataPy(d, n0, wl, 0.1, 0.2), SHAPE, [n0], 1),
    "row 18: n too short, calling thread": (short_seq.simulate, INDEX, [short_seq], 1),
    "row 18: d too short, calling thread": (short_d.simulate, INDEX, [short_d], 1),
    "row 18: one medium, calling thread": (one_row.simulate, INDEX, [one_row], 1),
    "row 18: n too short, worker pool": (short_par.simulate, INDEX, [short_par], None),
}}
if int(np.__version__.split(".")[0]) >= 2:
    n33 = np.zeros((1,) * 33, dtype=complex)
    cases["row 12: n of 33 dimensions"] = (
        lambda: quelva.DataPy(d, n33, wl, 0.1, 0.2), "unexpected dimensionality", [n33], 1)
name = sys.argv[1]
body, message, objects, reports = cases[name]
sys.stderr.write("=== start\\n")
sys.stderr.flush()
result = measure(expect_exception(body, "PanicException", message), objects, ITERATIONS)
result["calls"] = 2 * (ITERATIONS + 200)
result["reports_per_call"] = reports
print(json.dumps(result))
"""

PANIC_CASES = [
    "row 11: n one-dimensional",
    "row 11: n three-dimensional",
    "row 11: n zero-dimensional",
    "row 12: n of 33 dimensions",
    "row 18: n too short, calling thread",
    "row 18: d too short, calling thread",
    "row 18: one medium, calling thread",
    "row 18: n too short, worker pool",
]


def run_script(script, args):
    proc = run_python(script, args=args, timeout=240, cwd=TESTS_DIR)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1]), proc.stderr


@pytest.mark.parametrize("case", PANIC_CASES)
def test_panic_rows_do_not_leak(case):
    if case.startswith("row 12") and int(np.__version__.split(".")[0]) < 2:
        pytest.skip("NumPy 1.x limits arrays to 32 dimensions")
    result, stderr = run_script(PANIC_SCRIPT.format(iterations=ITERATIONS, shape=SHAPE_ERROR, index=OUT_OF_BOUNDS), [case])
    check(result)
    # Every panic wrote its report, nothing else was written.
    reports = stderr.split("=== start\n", 1)[1].count("panicked at ")
    if result["reports_per_call"] is None:  # several workers may each fail in one pass
        assert reports >= result["calls"]
    else:
        assert reports == result["calls"] * result["reports_per_call"]


NO_NUMPY_SCRIPT = """
import json, sys
sys.modules["numpy"] = None  # every import of numpy fails
import quelva
from leak_check import expect_exception, measure

args = (object(), object(), object(), 0.1, 0.2)
body = expect_exception(lambda: quelva.DataPy(*args), "PanicException", {capsule_failed!r})
result = measure(body, list(args), {iterations})
print(json.dumps(result))
"""


def test_missing_numpy_row_does_not_leak():
    """Row 13: every construction tries to load NumPy again, and fails, without leaking."""
    result, stderr = run_script(NO_NUMPY_SCRIPT.format(iterations=ITERATIONS, capsule_failed=NUMPY_CAPSULE_FAILED), [])
    check(result)
    assert stderr.count("panicked at ") == 2 * (ITERATIONS + 200)
