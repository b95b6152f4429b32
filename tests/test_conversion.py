"""Conversion of the constructor's arguments and the receiver checks: the
exact TypeError texts, the order in which faults are found, the float
conversion of the angles."""

import ctypes
import decimal
import fractions
import math
import sys

import pytest

np = pytest.importorskip("numpy")

import quelva  # noqa: E402
from conftest import (  # noqa: E402
    Floaty,
    FloatSub,
    Indexy,
    RaisesTypeErrorWithCause,
    ReturnsInt,
    array_refused,
    run_python,
)


def good():
    d = np.array([100.0])
    n = np.array([[1.0 + 0j], [2.0 + 0.1j], [1.5 + 0j]])
    wl = np.array([500.0])
    return d, n, wl


class MyArray(np.ndarray):
    pass


BAD_1D = [
    ([1.0, 2.0], "list"),
    ((1.0,), "tuple"),
    (None, "NoneType"),
    (1.5, "float"),
    ("abc", "str"),
    (np.float64(1.0), "float64"),
    (np.array([1.0], dtype=np.float32), "ndarray"),
    (np.array([1], dtype=np.int64), "ndarray"),
    (np.array([1.0 + 0j]), "ndarray"),
    (np.array([1.0], dtype=np.dtype(np.float64).newbyteorder("S")), "ndarray"),
    (np.array([[1.0]]), "ndarray"),
    (np.array(1.0), "ndarray"),
    (np.zeros((0, 0)), "ndarray"),
    (np.array([1.0]).view(MyArray).astype(np.float32), "MyArray"),
    (memoryview(b"12345678"), "memoryview"),
]


@pytest.mark.parametrize("value, type_name", BAD_1D)
@pytest.mark.parametrize("position, name", [(0, "d"), (2, "wl")])
def test_d_and_wl_refused(value, type_name, position, name):
    args = list(good()) + [0.1, 0.2]
    args[position] = value
    with pytest.raises(TypeError) as info:
        quelva.DataPy(*args)
    assert type(info.value) is TypeError
    assert info.value.args == (array_refused(name, type_name),)
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "value, type_name",
    [
        ([[1 + 0j]], "list"),
        (None, "NoneType"),
        (np.ones((2, 2)), "ndarray"),
        (np.ones((2, 2), dtype=np.complex64), "ndarray"),
        (np.ones((2, 2), dtype=np.dtype(np.complex128).newbyteorder("S")), "ndarray"),
        (np.ones(3), "ndarray"),
        (1j, "complex"),
    ],
)
def test_n_refused(value, type_name):
    d, _, wl = good()
    with pytest.raises(TypeError) as info:
        quelva.DataPy(d, value, wl, 0.1, 0.2)
    assert info.value.args == (array_refused("n", type_name),)


# On platforms where long double is double (32-bit ARM among them), NumPy
# holds longdouble equivalent to float64 and clongdouble to complex128, and
# the module accepts them as the same dtype; elsewhere they are refused.
LONG_DOUBLE_IS_DOUBLE = np.dtype(np.longdouble) == np.dtype(np.float64)


@pytest.mark.parametrize("position, name", [(0, "d"), (1, "n"), (2, "wl")])
def test_long_double_accepted_exactly_where_it_is_double(position, name):
    args = list(good()) + [0.1, 0.2]
    wide = np.clongdouble if name == "n" else np.longdouble
    args[position] = np.asarray(args[position]).astype(wide)
    if LONG_DOUBLE_IS_DOUBLE:
        obj = quelva.DataPy(*args)
        stored = getattr(obj, name)
        assert stored.dtype == (np.complex128 if name == "n" else np.float64)
        assert stored.tolist() == args[position].tolist()
    else:
        with pytest.raises(TypeError) as info:
            quelva.DataPy(*args)
        assert info.value.args == (array_refused(name, "ndarray"),)


def test_qualified_type_name():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        quelva.DataPy(Outer.Inner(), *good()[1:], 0.0, 0.0)
    assert str(info.value) == array_refused("d", "test_qualified_type_name.<locals>.Outer.Inner")


def test_unreadable_type_name():
    odd = type("odd", (), {})
    odd.__qualname__ = "bad\udcffname"
    with pytest.raises(TypeError) as info:
        quelva.DataPy(odd(), *good()[1:], 0.0, 0.0)
    assert str(info.value) == array_refused("d", "<failed to extract type name>")


@pytest.mark.parametrize(
    "d, n, wl, theta, phi, name",
    [
        # Both d and n wrong: d is named.
        ([1.0], [[1j]], [1.0], "x", "y", "d"),
        (np.ones(1), [[1j]], [1.0], "x", "y", "n"),
        (np.ones(1), np.ones((1, 1), complex), [1.0], "x", "y", "wl"),
        (np.ones(1), np.ones((1, 1), complex), np.ones(1), "x", "y", "theta"),
        (np.ones(1), np.ones((1, 1), complex), np.ones(1), 0.0, "y", "phi"),
        # All five converted before the dimension test of n.
        (np.ones(1), np.ones(3, complex), np.ones(1), "x", 0.0, "theta"),
        (np.ones(1), np.ones((1, 1, 1), complex), np.ones(1), 0.0, None, "phi"),
        ([1.0], np.ones(3, complex), np.ones(1), "x", 0.0, "d"),
    ],
)
def test_first_fault_in_parameter_order(d, n, wl, theta, phi, name):
    with pytest.raises(TypeError) as info:
        quelva.DataPy(d, n, wl, theta, phi)
    assert str(info.value).startswith(f"argument '{name}': ")


@pytest.mark.parametrize(
    "value, expected",
    [
        (0, 0.0),
        (1, 1.0),
        (-1, -1.0),
        (-1.0, -1.0),
        (True, 1.0),
        (2**53 + 1, float(2**53 + 1)),
        (np.float64(0.25), 0.25),
        (np.float32(0.5), 0.5),
        (np.int64(-7), -7.0),
        (np.array(0.75), 0.75),
        (np.array([[2.0]]).reshape(()), 2.0),
        (FloatSub(1.5), 1.5),
        (Floaty(-1.0), -1.0),
        (Indexy(3), 3.0),
        (decimal.Decimal("0.1"), 0.1),
        (fractions.Fraction(1, 4), 0.25),
        (math.inf, math.inf),
        (-math.inf, -math.inf),
    ],
)
@pytest.mark.parametrize("which", ["theta", "phi"])
def test_angles_accepted(value, expected, which):
    d, n, wl = good()
    kwargs = {"theta": 0.0, "phi": 0.0, which: value}
    obj = quelva.DataPy(d, n, wl, **kwargs)
    got = getattr(obj, which)
    assert type(got) is float
    assert got == expected
    other = "phi" if which == "theta" else "theta"
    assert getattr(obj, other) == 0.0


def float_conversion_message(value):
    # math.sqrt converts its argument with the same float conversion.
    with pytest.raises(TypeError) as info:
        math.sqrt(value)
    return str(info.value)


@pytest.mark.parametrize("value", ["0.5", None, [1.0], 1j, ReturnsInt(), np.array([1.0, 2.0]), object()])
@pytest.mark.parametrize("which", ["theta", "phi"])
def test_angle_type_errors(value, which):
    expected = float_conversion_message(value)
    d, n, wl = good()
    kwargs = {"theta": 0.0, "phi": 0.0, which: value}
    with pytest.raises(TypeError) as info:
        quelva.DataPy(d, n, wl, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (f"argument '{which}': {expected}",)
    assert info.value.__cause__ is None
    assert info.value.__context__ is None or info.value.__suppress_context__


def test_replacement_keeps_the_cause_only():
    with pytest.raises(TypeError) as info:
        quelva.DataPy(*good(), RaisesTypeErrorWithCause(), 0.0)
    err = info.value
    assert type(err) is TypeError
    assert str(err) == f"argument 'theta': {RaisesTypeErrorWithCause.message}"
    assert err.__cause__ is RaisesTypeErrorWithCause.cause
    # The conversion's own exception is not chained.
    chained = []
    e = err
    while e is not None:
        chained.append(e)
        e = e.__cause__ or e.__context__
    assert not any(str(c) == RaisesTypeErrorWithCause.message for c in chained)


class NoStr:
    def __str__(self):
        raise RuntimeError("no str")


class UnprintableTypeError:
    def __float__(self):
        raise TypeError(NoStr())


def test_unprintable_conversion_error(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u))
    with pytest.raises(TypeError) as info:
        quelva.DataPy(*good(), 0.0, UnprintableTypeError())
    assert str(info.value) == "argument 'phi': <unprintable TypeError object>"
    assert len(seen) == 1
    assert type(seen[0].exc_value) is RuntimeError
    assert type(seen[0].object) is TypeError


def test_conversion_error_arrays_released_immediately():
    d, n, wl = good()
    before = [sys_getrefcount(a) for a in (d, n, wl)]
    for _ in range(3):
        with pytest.raises(TypeError):
            quelva.DataPy(d, n, wl, "x", 0.0)
        with pytest.raises(BaseException):
            quelva.DataPy(d, n.ravel(), wl, 0.0, 0.0)
    assert [sys_getrefcount(a) for a in (d, n, wl)] == before
    # The same arrays can be passed again at once, and resized (which fails
    # while any other reference to them is held).
    quelva.DataPy(d, n, wl, 0.0, 0.0)
    d2 = np.array([1.0, 2.0])
    with pytest.raises(TypeError):
        quelva.DataPy(d2, n, wl, "x", 0.0)
    d2.resize(5)


def sys_getrefcount(obj):
    return sys.getrefcount(obj)


# ---------------------------------------------------------------------------
# Receiver checks. The interpreter's own descriptor check refuses a foreign
# receiver before the module is entered; to reach the module's own check the
# getter and method functions are called directly through ctypes.

PTR = ctypes.sizeof(ctypes.c_void_p)
# PyGetSetDescrObject / PyMethodDescrObject: PyObject_HEAD (2 pointers),
# d_type, d_name, d_qualname, then d_getset / d_method.
DESCR_PAYLOAD = 5 * PTR
RAW = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)


def raw_function(cls, name):
    descr = vars(cls)[name]
    table = ctypes.c_void_p.from_address(id(descr) + DESCR_PAYLOAD).value
    entry_name = ctypes.string_at(ctypes.c_void_p.from_address(table).value)
    if entry_name != name.encode():
        pytest.skip("unexpected descriptor layout in this interpreter")
    fn = ctypes.c_void_p.from_address(table + PTR).value
    return RAW(fn)


@pytest.mark.parametrize("name", ["d", "n", "wl", "theta", "phi", "simulate"])
def test_datapy_receiver_check(name):
    fn = raw_function(quelva.DataPy, name)
    obj = quelva.DataPy(*good(), 0.5, 0.0)
    assert fn(obj, None) is not None  # the right receiver works
    for foreign, type_name in [(5, "int"), (obj.simulate(), "Simulation"), ([], "list")]:
        with pytest.raises(TypeError) as info:
            fn(foreign, None)
        assert str(info.value) == f"'{type_name}' object cannot be converted to 'DataPy'"


@pytest.mark.parametrize("name", ["t", "r"])
def test_simulation_receiver_check(name):
    fn = raw_function(quelva.Simulation, name)
    obj = quelva.DataPy(*good(), 0.5, 0.0)
    sim = obj.simulate()
    assert fn(sim, None).tolist() == getattr(sim, name).tolist()
    for foreign, type_name in [(obj, "DataPy"), (None, "NoneType")]:
        with pytest.raises(TypeError) as info:
            fn(foreign, None)
        assert str(info.value) == f"'{type_name}' object cannot be converted to 'Simulation'"


def test_interpreter_descriptor_checks():
    obj = quelva.DataPy(*good(), 0.5, 0.0)
    with pytest.raises(TypeError):
        quelva.DataPy.__dict__["d"].__get__(5)
    with pytest.raises(TypeError):
        quelva.DataPy.simulate(obj.simulate())
    with pytest.raises(TypeError):
        quelva.Simulation.__dict__["t"].__get__(obj)
    with pytest.raises(TypeError):
        obj.simulate(1)
    with pytest.raises(TypeError):
        obj.simulate(x=1)


@pytest.mark.parametrize("name", ["d", "n", "wl", "theta", "phi"])
def test_datapy_attributes_read_only(name):
    obj = quelva.DataPy(*good(), 0.5, 0.0)
    with pytest.raises(AttributeError):
        setattr(obj, name, getattr(obj, name))
    with pytest.raises(AttributeError):
        delattr(obj, name)
    with pytest.raises(AttributeError):
        obj.other = 1
    assert not hasattr(obj, "__dict__")


def test_argument_errors_write_nothing_to_stderr():
    result = run_python(
        """
        import numpy as np
        import quelva
        d = np.ones(1); n = np.ones((2, 1), complex); wl = np.ones(1)
        for args in [([1.0], n, wl, 0, 0), (d, np.ones((2, 1)), wl, 0, 0), (d, n, [1], 0, 0),
                     (d, n, wl, "x", 0), (d, n, wl, 0, None), (d, n, wl, 10**400, 0)]:
            try:
                quelva.DataPy(*args)
            except (TypeError, OverflowError):
                pass
        print("done")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "done\n"
    assert result.stderr == ""
