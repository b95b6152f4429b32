"""Property tests: random argument sets for DataPy(...) and simulate().

Every call either succeeds, and then gives exactly (bit for bit, NaN-aware)
what the same values give as plain C-contiguous arrays, or fails with exactly
the exception and message that the module's error tables name for the case.
Physical random stacks agree with the independent reference in
stack_reference.py, and lossless ones conserve energy.
"""

from __future__ import annotations

import ctypes
import math
import re
import struct
import sys

import pytest

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import quelva  # noqa: E402
import stack_reference  # noqa: E402
from conftest import (  # noqa: E402
    LAYOUTS,
    Floaty,
    FloatSub,
    Indexy,
    NoFloat,
    RaisesTypeError,
    RaisesTypeErrorSubclass,
    RaisesTypeErrorWithCause,
    RaisesValueError,
    ReturnsInt,
    array_refused,
    odd_unit_strides,
    overlapping,
)

# Default example counts; no deadline, since the sanitised build is slower.
PROFILE = settings(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

from conftest import DIMS_ERROR_HEAD as DIMS_PANIC_HEAD  # noqa: E402
from conftest import OUT_OF_BOUNDS as INDEX_PANIC  # noqa: E402
from conftest import SHAPE_ERROR as SHAPE_PANIC  # noqa: E402

NAMES = ("d", "n", "wl", "theta", "phi")
NUMPY2 = int(np.__version__.split(".")[0]) >= 2


# ---------------------------------------------------------------------------
# Oracles


def is_panic(exc: BaseException) -> bool:
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


# The interpreter's own float conversion, the one the angles go through.
_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.restype = ctypes.c_double
_as_double.argtypes = [ctypes.py_object]


def float_conversion(obj):
    """("ok", value) or ("err", exception) as the interpreter converts obj."""
    if type(obj) is float:
        return "ok", obj
    try:
        return "ok", _as_double(obj)
    except BaseException as exc:  # noqa: BLE001 - any error is an expected outcome
        return "err", exc


def __new__(d, n, wl, theta, phi):
    """The constructor's signature as a plain function: the interpreter's own
    binding of a call to it is the oracle for the module's binding errors."""


__new__.__qualname__ = "DataPy.__new__"


def binding_error(positional, keywords):
    """The binding error message for a call, or None when binding succeeds.

    One difference from the interpreter: given more than five positional
    arguments, the module reports that surplus and looks at no keyword,
    where the interpreter reports an unknown or repeated keyword first."""
    if len(positional) > len(NAMES):
        keywords = {}
    try:
        __new__(*positional, **keywords)
    except TypeError as exc:
        # From 3.13 on the interpreter adds a suggestion for a misspelt
        # keyword; the module's message keeps the wording without it.
        return re.sub(r"\. Did you mean '[^']*'\?$", "", str(exc))
    return None


def array_accepted(obj, dtype, one_dimensional):
    if not isinstance(obj, np.ndarray):
        return False
    if one_dimensional and obj.ndim != 1:
        return False
    return bool(np.can_cast(obj.dtype, dtype, casting="no"))


def mismatch(name, obj):
    return array_refused(name, type(obj).__qualname__)


def expected_construction(args):
    """("ok", theta, phi) or ("err", type, message, cause) for DataPy(**args)."""
    d, n, wl, theta, phi = (args[k] for k in NAMES)
    for name, obj, dtype, one_d in (
        ("d", d, np.float64, True),
        ("n", n, np.complex128, False),
        ("wl", wl, np.float64, True),
    ):
        if not array_accepted(obj, dtype, one_d):
            return "err", TypeError, mismatch(name, obj), None
    values = {}
    for name, obj in (("theta", theta), ("phi", phi)):
        kind, value = float_conversion(obj)
        if kind == "err":
            if type(value) is TypeError:
                return "err", TypeError, f"argument '{name}': {value}", value.__cause__
            return "err", type(value), str(value), None
        values[name] = value
    if n.ndim > 32:
        return "err", "panic-dims", DIMS_PANIC_HEAD, None
    if n.ndim != 2:
        return "err", "panic", SHAPE_PANIC, None
    return "ok", values["theta"], values["phi"]


def plain_copy(a):
    """The same values as a plain, C-contiguous, native-order ndarray."""
    return np.array(a, dtype=a.dtype, order="C", subok=False, copy=True)


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes()


def same_or_nan(a, b):
    """Bit-equal, or both NaN (whatever their payloads)."""
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    ia = np.ascontiguousarray(a).view(np.uint64)
    ib = np.ascontiguousarray(b).view(np.uint64)
    return bool(np.all((ia == ib) | (np.isnan(a) & np.isnan(b))))


def float_bits(x):
    return struct.pack("<d", x)


def simulate_outcome(obj):
    try:
        sim = obj.simulate()
    except BaseException as exc:  # noqa: BLE001
        assert is_panic(exc), f"simulate() raised {type(exc).__name__}: {exc}"
        return "panic", str(exc)
    return "ok", sim.r, sim.t


def must_panic(d, n, wl):
    """Whether the engine must fail with the index panic for these shapes."""
    media, columns = n.shape
    count = wl.shape[0]
    return count > 0 and (media < 2 or columns < count or d.shape[0] + 2 < media)


# ---------------------------------------------------------------------------
# Array strategies: values, dtypes and memory layouts


SPECIAL = [0.0, -0.0, 1.0, -1.0, 1.5, 500.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, 1e308, -1e-300]
values = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True, width=64),
    st.sampled_from(SPECIAL),
    st.floats(min_value=0.5, max_value=800.0),
)

# dtypes refused for d and wl (complex128 is refused there too) and for n.
OTHER_DTYPES = [
    np.dtype(np.float32),
    np.dtype(np.float16),
    np.dtype(np.int64),
    np.dtype(np.int32),
    np.dtype(np.uint8),
    np.dtype(np.bool_),
    np.dtype(np.complex64),
    np.dtype(np.longdouble),
    np.dtype(np.clongdouble),
    np.dtype(object),
    np.dtype("M8[s]"),
    np.dtype("U2"),
    np.dtype([("a", "<f8")]),
]


def swapped(dtype):
    return dtype.newbyteorder("S")


@st.composite
def values_array(draw, shape, dtype):
    """A C-contiguous array of the shape with drawn float values."""
    count = int(np.prod(shape, dtype=np.int64))

    def floats():
        # Large arrays repeat a short drawn list, to keep the examples small.
        drawn = draw(st.lists(values, min_size=min(count, 1), max_size=min(count, 12)))
        return np.resize(np.array(drawn, dtype=np.float64), count).reshape(shape)

    base = floats()
    if dtype.kind == "c":
        real = base
        base = np.empty(shape, dtype=np.complex128)
        base.real = real
        base.imag = floats()
    if dtype in (np.dtype(np.float64), np.dtype(np.complex128)):
        return base.astype(dtype)
    if dtype.kind in "fciub" or dtype == object:
        with np.errstate(all="ignore"):
            source = base if dtype.kind in "cO" else base.real
            return np.nan_to_num(source).astype(dtype)
    return np.zeros(shape, dtype=dtype)


@st.composite
def laid_out(draw, base):
    """base (or values derived from it) in up to three drawn layouts and classes."""
    a = base
    for layout in draw(st.lists(st.sampled_from(sorted(LAYOUTS)), min_size=0, max_size=3)):
        a = LAYOUTS[layout](a)
    return a


@st.composite
def array_argument(draw, ndim, dtype, length=None):
    """An array argument: usually of the right kind, sometimes not."""
    kind = draw(st.sampled_from(["right"] * 16 + ["dtype", "swapped", "ndim", "other"]))
    if kind == "dtype":
        others = OTHER_DTYPES + [np.dtype(np.complex128 if dtype == np.float64 else np.float64)]
        # Where long double is double (32-bit ARM), NumPy holds the two
        # dtypes equivalent and the module rightly accepts either.
        dtype = draw(st.sampled_from([other for other in others if other != dtype]))
    elif kind == "swapped":
        dtype = swapped(dtype)
    elif kind == "ndim":
        ndim = draw(st.sampled_from([0, 1, 2, 3]))
    elif kind == "other":
        return draw(st.sampled_from([None, [1.0, 2.0], (1.0,), 3.5, "abc", b"\x00" * 8, np.float64(2.0),
                                     np.complex128(1.0), memoryview(b"12345678"), bytearray(16)]))
    shape = tuple(draw(st.integers(0, 4)) for _ in range(ndim))
    if length is not None and ndim >= 1:
        shape = (length,) + shape[1:]
    base = draw(values_array(shape, dtype))
    return draw(laid_out(base))


@st.composite
def angle(draw):
    return draw(st.one_of(
        st.floats(allow_nan=True, allow_infinity=True),
        st.sampled_from([0, 1, -1, True, False, 10**400, -(10**309), 2**53 + 1]),
        st.sampled_from([np.float64(0.3), np.float32(0.25), np.int64(2), np.uint8(7), np.bool_(True),
                         np.array(0.7), np.array(3), np.longdouble(0.5)]),
        st.sampled_from([Floaty(0.125), Indexy(5), RaisesTypeError(), RaisesTypeErrorWithCause(),
                         RaisesTypeErrorSubclass(), RaisesValueError(), ReturnsInt(), FloatSub(2.5)]),
        st.sampled_from(["0.5", None, 1j, [0.5], object(), np.array([0.1, 0.2]), NoFloat()]),
    ))


# ---------------------------------------------------------------------------
# Checks


def check_construction(args, positional, keywords):
    """Builds DataPy with the given split of arguments and checks the outcome."""
    expected_binding = binding_error(positional, keywords)
    try:
        obj = quelva.DataPy(*positional, **keywords)
        outcome = ("ok", obj)
    except BaseException as exc:  # noqa: BLE001
        outcome = ("err", exc)

    if expected_binding is not None:
        if hypothesis.currently_in_test_context():
            hypothesis.event("binding error")
        assert outcome[0] == "err", "binding should have failed"
        exc = outcome[1]
        assert type(exc) is TypeError and str(exc) == expected_binding
        return None

    expected = expected_construction(args)
    if expected[0] == "err":
        if hypothesis.currently_in_test_context():
            kind = expected[1] if isinstance(expected[1], str) else expected[1].__name__
            hypothesis.event(f"construction error: {kind}")
        assert outcome[0] == "err", f"construction should have failed with {expected[2]!r}"
        exc = outcome[1]
        kind = expected[1]
        if kind == "panic":
            assert is_panic(exc) and exc.args == (SHAPE_PANIC,), repr(exc)
        elif kind == "panic-dims":
            assert is_panic(exc) and str(exc).startswith(DIMS_PANIC_HEAD), repr(exc)
        else:
            assert type(exc) is kind, f"{type(exc).__name__}: {exc} instead of {kind.__name__}: {expected[2]}"
            assert str(exc) == expected[2]
            if kind is TypeError:
                # The conversion's own cause, and no chaining of the conversion's exception.
                assert exc.__cause__ is expected[3]
                assert exc.__context__ is None or exc.__suppress_context__
        return None

    if outcome[0] == "err":
        raise AssertionError(f"construction failed: {type(outcome[1]).__name__}: {outcome[1]}")
    if hypothesis.currently_in_test_context():
        hypothesis.event("constructed")
    return outcome[1], expected[1], expected[2]


def check_against_plain_copies(obj, args, theta, phi):
    d, n, wl = args["d"], args["n"], args["wl"]
    ref = quelva.DataPy(plain_copy(d), plain_copy(n), plain_copy(wl), theta, phi)

    for name, src in (("d", d), ("n", n), ("wl", wl)):
        got = getattr(obj, name)
        again = getattr(obj, name)
        assert type(got) is np.ndarray and got.dtype.metadata is None
        assert got.flags.writeable
        assert got is not again and not np.may_share_memory(got, again)
        assert not np.may_share_memory(got, np.asarray(src))
        assert same_bits(got, plain_copy(src)), name
        assert same_bits(got, getattr(ref, name)), name
    got_n = obj.n
    if n.flags.f_contiguous and not n.flags.c_contiguous:
        assert got_n.flags.f_contiguous
    else:
        assert got_n.flags.c_contiguous
    assert type(obj.theta) is float and float_bits(obj.theta) == float_bits(theta)
    assert type(obj.phi) is float and float_bits(obj.phi) == float_bits(phi)

    out = simulate_outcome(obj)
    out_ref = simulate_outcome(ref)
    if hypothesis.currently_in_test_context():
        hypothesis.event(f"simulate: {out[0]}, {'parallel' if wl.shape[0] > 100 else 'sequential'}")
    assert out[0] == out_ref[0]
    assert (out[0] == "panic") == must_panic(d, np.asarray(n), wl)
    if out[0] == "panic":
        assert out[1] == INDEX_PANIC == out_ref[1]
        # The object keeps working after a failed simulate().
        assert same_bits(obj.d, plain_copy(d))
        return
    _, r, t = out
    _, r_ref, t_ref = out_ref
    assert r.shape == t.shape == (wl.shape[0],)
    assert type(r) is np.ndarray and r.dtype == np.float64 and r.flags.c_contiguous
    assert same_or_nan(r, r_ref) and same_or_nan(t, t_ref)


@st.composite
def argument_set(draw):
    media = draw(st.integers(0, 5))
    count = draw(st.one_of(st.integers(0, 6), st.integers(99, 104)))
    columns = max(0, count + draw(st.sampled_from([0, 0, 0, 1, -1, 3])))
    layers = max(0, media - 2 + draw(st.sampled_from([0, 0, 0, 1, -1])))
    d = draw(array_argument(1, np.dtype(np.float64), length=layers))
    wl = draw(array_argument(1, np.dtype(np.float64), length=count))
    if draw(st.sampled_from([False] * 9 + [True])):
        # n of another number of dimensions (its dtype still right).
        shape = tuple(draw(st.integers(0, 3)) for _ in range(draw(st.sampled_from([0, 1, 3]))))
        n = draw(laid_out(draw(values_array(shape, np.dtype(np.complex128)))))
    else:
        n = draw(array_argument(2, np.dtype(np.complex128)))
        if isinstance(n, np.ndarray) and n.ndim == 2 and n.dtype == np.complex128:
            base = draw(values_array((media, columns), np.dtype(np.complex128)))
            n = draw(laid_out(base))
    return {"d": d, "n": n, "wl": wl, "theta": draw(angle()), "phi": draw(angle())}


# np.matrix is one of the subclasses passed in.
pytestmark = pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")


@PROFILE
@given(args=argument_set())
def test_random_arguments_all_positional(args):
    """Five positional arguments of any kind: success equal to plain copies, or the named error."""
    result = check_construction(args, [args[k] for k in NAMES], {})
    if result is not None:
        check_against_plain_copies(*result[:1], args, result[1], result[2])


@PROFILE
@given(args=argument_set(), data=st.data())
def test_random_binding(args, data):
    """Any split into positional and keyword arguments, with missing, duplicate and unknown ones."""
    n_positional = data.draw(st.integers(0, 5))
    positional = [args[k] for k in NAMES[:n_positional]]
    keywords = {}
    rest = list(NAMES[n_positional:])
    rest = data.draw(st.permutations(rest))
    for name in rest:
        if data.draw(st.sampled_from([True] * 7 + [False])):  # sometimes left out
            keywords[name] = args[name]
    extra = data.draw(st.sampled_from([None, None, None, "foo", "D", "theta_", "Phi", "dup", "sixth"]))
    if extra == "dup" and n_positional:
        keywords[NAMES[data.draw(st.integers(0, n_positional - 1))]] = args["d"]
        keywords = dict(data.draw(st.permutations(list(keywords.items()))))
    elif extra == "sixth":
        positional = [args[k] for k in NAMES] + [data.draw(st.sampled_from([0.0, None, args["d"]]))]
        if data.draw(st.booleans()):
            keywords["bogus"] = 1
    elif extra not in (None, "dup"):
        keywords[extra] = 1.0
        keywords = dict(data.draw(st.permutations(list(keywords.items()))))
    result = check_construction(args, positional, keywords)
    if result is not None:
        check_against_plain_copies(result[0], args, result[1], result[2])


@pytest.mark.parametrize("count", [3, 101])
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("target", ["d", "n", "wl"])
def test_every_layout_equals_plain_copy(target, layout, count):
    """Each layout on its own, on both paths, with NaN, infinities and signed zeros in the data."""
    rng = np.random.default_rng(7)
    wl = rng.uniform(300.0, 900.0, count)
    wl[1] = -0.0
    n = rng.uniform(1.0, 2.5, (4, count + 1)) + 1j * rng.uniform(0.0, 0.3, (4, count + 1))
    n[2, 2] = complex(math.nan, math.inf)
    d = np.array([120.0, -0.0, 55.5])
    args = {"d": d, "n": n, "wl": wl, "theta": 0.3, "phi": 1.1}
    args[target] = LAYOUTS[layout](args[target])
    result = check_construction(args, [args[k] for k in NAMES], {})
    check_against_plain_copies(result[0], args, result[1], result[2])


def _unit_axes_table(rows, cols):
    rng = np.random.default_rng(rows * 10 + cols)
    return rng.uniform(1.0, 2.0, (rows, cols)) + 1j * rng.uniform(0.0, 0.2, (rows, cols))


# The farthest strides NumPy's index type can hold in bytes (complex128):
# 1.6e10 bytes on 64-bit, 1.6e9 on 32-bit.
FAR = 10**9 if sys.maxsize > 2**32 else 10**8


@pytest.mark.parametrize(
    "shape, stride",
    [((1, 5), 10**6), ((1, 5), -(10**6)), ((2, 1), 10**7), ((1, 1), -(10**8)), ((0, 5), FAR),
     ((3, 0), 7 * FAR // 10), ((1, 0), 1)],
)
def test_far_strides_on_axes_of_length_one_or_zero(shape, stride):
    """Strides that lead far away on axes that never move: nothing is read there."""
    n = odd_unit_strides(_unit_axes_table(*shape), stride)
    d = odd_unit_strides(np.array([75.0]), stride)
    wl = odd_unit_strides(np.linspace(400.0, 800.0, shape[1]), stride) if shape[1] <= 1 else np.linspace(400.0, 800.0, shape[1])
    args = {"d": d, "n": n, "wl": wl, "theta": 0.2, "phi": 0.4}
    result = check_construction(args, [args[k] for k in NAMES], {})
    check_against_plain_copies(result[0], args, result[1], result[2])


@pytest.mark.parametrize("shape", [(2, 2), (3, 5), (4, 101), (6, 2)])
def test_overlapping_rows(shape):
    n = overlapping(_unit_axes_table(*shape))
    wl = np.linspace(400.0, 800.0, shape[1])
    args = {"d": np.full(shape[0], 60.0), "n": n, "wl": wl, "theta": 0.2, "phi": 0.4}
    result = check_construction(args, [args[k] for k in NAMES], {})
    check_against_plain_copies(result[0], args, result[1], result[2])


@pytest.mark.parametrize(
    "theta",
    [math.nan, -0.0, 10**400, "0.5", RaisesTypeErrorWithCause(), RaisesTypeErrorSubclass(), RaisesValueError()],
    ids=["nan", "minus_zero", "overflow", "str", "type_error_with_cause", "type_error_subclass", "value_error"],
)
def test_angle_probes(theta):
    """Each probe on every run, not only when drawn: the value kept bit for bit,
    or the conversion's error passed on (a TypeError renamed, keeping only its
    cause; any other exception unchanged)."""
    args = {"d": np.ones(1), "n": np.ones((3, 1), complex), "wl": np.ones(1), "theta": theta, "phi": -0.0}
    result = check_construction(args, [args[k] for k in NAMES], {})
    if result is not None:
        check_against_plain_copies(result[0], args, result[1], result[2])


@pytest.mark.skipif(not NUMPY2, reason="NumPy 1.x limits arrays to 32 dimensions")
@pytest.mark.parametrize("ndim", [33, 40, 64])
def test_n_beyond_32_dimensions(ndim):
    n = np.zeros((1,) * ndim, dtype=np.complex128)
    d = np.zeros(0)
    args = {"d": d, "n": n, "wl": d, "theta": 0.0, "phi": 0.0}
    assert check_construction(args, [args[k] for k in NAMES], {}) is None
    # The arrays can be passed again at once.
    assert quelva.DataPy(d, np.zeros((2, 0), complex), d, 0.0, 0.0).simulate().r.shape == (0,)


# ---------------------------------------------------------------------------
# Physics against the reference


def _stack_strategy(lossless, absorbing_incidence=False):
    """Random physical stacks: per medium a base index and a smooth dispersion."""

    @st.composite
    def stack(draw):
        media = draw(st.integers(2, 7))
        count = draw(st.one_of(st.integers(1, 12), st.integers(101, 130)))
        rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
        wl = rng.uniform(300.0, 1200.0, count)
        rows = []
        for j in range(media):
            re = draw(st.floats(1.0, 3.0))
            if j == 0:
                im = draw(st.floats(0.0, 0.05)) if absorbing_incidence else 0.0
            else:
                im = 0.0 if lossless else draw(st.floats(0.0, 0.5))
            spread = draw(st.floats(0.0, 0.05))
            cauchy = (1000.0 / wl) ** 2
            rows.append((re + spread * cauchy) + 1j * (im * (1.0 + 0.1 * cauchy) if im else 0.0 * cauchy))
        n = np.array(rows)
        d = np.array(draw(st.lists(st.floats(0.0, 400.0), min_size=media - 2, max_size=media - 2)))
        theta = draw(st.floats(-1.5, 1.5))
        phi = draw(st.floats(-math.pi, math.pi))
        return d, n, wl, theta, phi

    return stack()


@PROFILE
@given(stack=_stack_strategy(lossless=True))
def test_lossless_stacks_conserve_energy(stack):
    d, n, wl, theta, phi = stack
    sim = quelva.DataPy(d, n, wl, theta, phi).simulate()
    np.testing.assert_allclose(sim.r + sim.t, 1.0, rtol=0, atol=1e-9)
    assert np.all(sim.r >= -1e-12) and np.all(sim.t >= -1e-12)


@PROFILE
@given(stack=st.one_of(_stack_strategy(lossless=False), _stack_strategy(False, absorbing_incidence=True)))
def test_random_stacks_match_reference(stack):
    d, n, wl, theta, phi = stack
    sim = quelva.DataPy(d, n, wl, theta, phi).simulate()
    r_ref, t_ref = stack_reference.spectra(d, n, wl, theta, phi)
    np.testing.assert_allclose(sim.r, r_ref, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(sim.t, t_ref, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize(
    "phi, r_expected, t_expected",
    [(0.0, 0.1381763414, 0.6686215790), (0.7, 0.1141781950, 0.6869837307),
     (math.pi / 2, 0.0803517717, 0.7128659763)],
)
def test_reference_reproduces_published_values(phi, r_expected, t_expected):
    """The reference itself, and the module, on the documented single-film stack."""
    d = np.array([100.0])
    n = np.array([[1.0], [2.0 + 0.1j], [1.5]])
    wl = np.array([500.0])
    r_ref, t_ref = stack_reference.spectra(d, n, wl, 0.5, phi)
    assert abs(r_ref[0] - r_expected) < 5e-11 and abs(t_ref[0] - t_expected) < 5e-11
    sim = quelva.DataPy(d, n, wl, 0.5, phi).simulate()
    np.testing.assert_allclose(sim.r, r_ref, rtol=1e-12)
    np.testing.assert_allclose(sim.t, t_ref, rtol=1e-12)
