"""DataPy and Simulation objects: private copies, the memory order of `n`,
fresh arrays on every read, simulate(), and the result object."""

import gc
import sys

import pytest

np = pytest.importorskip("numpy")

import quelva  # noqa: E402
from conftest import LAYOUTS, OUT_OF_BOUNDS, SHAPE_ERROR, SIZE_BITS, run_python  # noqa: E402


def table(rows, cols, seed=0):
    rng = np.random.default_rng(seed)
    return rng.uniform(1, 3, (rows, cols)) + 1j * rng.uniform(0, 0.2, (rows, cols))


def make(d=None, n=None, wl=None, theta=0.3, phi=0.4):
    if n is None:
        n = table(3, 4)
    if d is None:
        d = np.array([120.0])
    if wl is None:
        wl = np.linspace(400.0, 700.0, n.shape[1])
    return quelva.DataPy(d, n, wl, theta, phi)


def check_fresh_plain(arr, dtype, ndim):
    assert type(arr) is np.ndarray
    assert arr.dtype == dtype and arr.ndim == ndim
    assert arr.flags.owndata and arr.base is None
    assert arr.flags.writeable and arr.flags.aligned


def test_getters_return_equal_fresh_arrays():
    d = np.array([10.0, 20.0, 30.0])
    n = table(4, 5)
    wl = np.linspace(1.0, 2.0, 5)
    obj = quelva.DataPy(d, n, wl, 0, 1)
    for name, src, dtype, ndim in [("d", d, np.float64, 1), ("n", n, np.complex128, 2), ("wl", wl, np.float64, 1)]:
        first = getattr(obj, name)
        second = getattr(obj, name)
        check_fresh_plain(first, dtype, ndim)
        assert first is not second
        assert np.array_equal(first, src) and first.shape == src.shape
        first[...] = 0
        assert np.array_equal(getattr(obj, name), src)
    assert obj.theta == 0.0 and type(obj.theta) is float
    assert obj.phi == 1.0 and type(obj.phi) is float


def test_caller_arrays_are_copied():
    d = np.array([10.0, 20.0])
    n = table(4, 3)
    wl = np.array([1.0, 2.0, 3.0])
    obj = quelva.DataPy(d, n, wl, 0.1, 0.2)
    before = obj.simulate()
    d_ref, n_ref, wl_ref = d.copy(), n.copy(), wl.copy()
    d[:] = -1
    n[:] = 0
    wl[:] = 7
    assert np.array_equal(obj.d, d_ref) and np.array_equal(obj.n, n_ref) and np.array_equal(obj.wl, wl_ref)
    after = obj.simulate()
    assert after.r.tolist() == before.r.tolist() and after.t.tolist() == before.t.tolist()
    # No reference to the caller's arrays is kept.
    refs = [sys.getrefcount(a) for a in (d, n, wl)]
    del obj
    gc.collect()
    assert [sys.getrefcount(a) for a in (d, n, wl)] == refs


def c_base(rows, cols):
    return np.ascontiguousarray(table(rows, cols, seed=rows * 10 + cols))


# Cases for n: a layout from the catalogue, the shape laid out, and the
# memory order the stored copy must have (Fortran only for a table that is
# Fortran-contiguous and not also C-contiguous).
N_LAYOUTS = {
    "c": ("c", (3, 4), "C"),
    "fortran": ("fortran", (3, 4), "F"),
    "transposed": ("transposed_fortran", (3, 4), "F"),
    "rows reversed": ("reversed_first_axis", (3, 4), "C"),
    "columns reversed": ("reversed_last_axis", (3, 4), "C"),
    "both reversed": ("reversed_all_axes", (3, 4), "C"),
    "fortran reversed": ("fortran_reversed_first_axis", (3, 4), "C"),
    "transposed reversed": ("fortran_reversed_last_axis", (3, 4), "C"),
    "step slice": ("step2_last_axis", (3, 4), "C"),
    "row slice": ("step2_first_axis", (3, 4), "C"),
    "fortran step slice": ("fortran_step2_first_axis", (3, 4), "C"),
    "broadcast": ("zero_stride_last_axis", (3, 4), "C"),
    "single column": ("fortran", (3, 1), "C"),
    "single row": ("c", (1, 4), "C"),
    "single row of a fortran table": ("fortran_step2_first_axis", (1, 4), "C"),
    "empty columns": ("c", (3, 0), "C"),
    "empty fortran": ("fortran", (0, 3), "C"),
    "odd strides on a length-1 axis": ("odd_unit_strides", (1, 4), "C"),
}


def n_laid_out(case):
    layout, shape, _ = N_LAYOUTS[case]
    return LAYOUTS[layout](c_base(*shape))


@pytest.mark.parametrize("layout", list(N_LAYOUTS))
def test_n_layout(layout):
    n, order = n_laid_out(layout), N_LAYOUTS[layout][2]
    obj = quelva.DataPy(np.array([100.0]), n, np.linspace(400, 600, n.shape[1]), 0.2, 0.3)
    got = obj.n
    check_fresh_plain(got, np.complex128, 2)
    assert got.shape == n.shape
    assert got.tolist() == n.tolist()
    if order == "F":
        assert got.flags.f_contiguous and not got.flags.c_contiguous
    else:
        assert got.flags.c_contiguous


@pytest.mark.parametrize("layout", [k for k, (_, shape, _) in N_LAYOUTS.items() if shape[0] >= 2 and 0 not in shape])
def test_spectra_do_not_depend_on_layout(layout):
    n = n_laid_out(layout)
    rows, cols = n.shape
    d = np.linspace(50.0, 150.0, max(rows - 2, 0))
    wl = np.linspace(400, 600, cols)
    plain = np.array(n.tolist(), dtype=complex)
    a = quelva.DataPy(d, n, wl, 0.2, 0.3).simulate()
    b = quelva.DataPy(d, plain, wl, 0.2, 0.3).simulate()
    assert a.r.tolist() == b.r.tolist() and a.t.tolist() == b.t.tolist()


@pytest.mark.parametrize(
    "src",
    [
        np.array([1.0, 2.0, 3.0, 4.0])[::-1],
        np.array([1.0, 2.0, 3.0, 4.0, 5.0, 6.0])[::2],
        np.array([1.0, 2.0, 3.0, 4.0, 5.0, 6.0])[::-3],
        np.broadcast_to(2.5, (4,)),
        np.ones((3, 4))[:, 1],
        np.zeros(0),
    ],
)
def test_1d_views_come_back_contiguous(src):
    obj = quelva.DataPy(src, np.ones((2, src.size), complex), src, 0.0, 0.0)
    for got in (obj.d, obj.wl):
        check_fresh_plain(got, np.float64, 1)
        assert got.flags.c_contiguous
        assert got.tolist() == src.tolist()


def misaligned(values, dtype):
    arr = LAYOUTS["misaligned"](np.asarray(values, dtype=dtype))
    assert not arr.flags.aligned
    return arr


def test_misaligned_sources():
    d = misaligned([100.0, 50.0], np.float64)
    n_vals = table(4, 3)
    n = misaligned(n_vals, np.complex128)
    wl = misaligned([400.0, 500.0, 600.0], np.float64)
    obj = quelva.DataPy(d, n, wl, 0.1, 0.0)
    assert obj.d.tolist() == d.tolist() and obj.wl.tolist() == wl.tolist()
    assert obj.n.tolist() == n_vals.tolist()
    ref = quelva.DataPy(np.array(d), np.array(n), np.array(wl), 0.1, 0.0).simulate()
    sim = obj.simulate()
    assert sim.r.tolist() == ref.r.tolist() and sim.t.tolist() == ref.t.tolist()


def test_misaligned_strided_sources():
    # Misaligned and not contiguous: copied element by element.
    n_vals = table(4, 6)
    n = misaligned(n_vals, np.complex128)[:, ::2]
    wl = misaligned([400.0, 0, 500.0, 0, 600.0], np.float64)[::2]
    obj = quelva.DataPy(np.array([1.0, 2.0]), n, wl, 0.0, 0.0)
    assert obj.n.tolist() == n_vals[:, ::2].tolist()
    assert obj.wl.tolist() == [400.0, 500.0, 600.0]


def test_huge_broadcast_copies_raise_memory_error():
    # Zero strides: a few bytes of NumPy's look like a quarter of the address
    # space to copy, the largest shapes NumPy's index type allows on this
    # platform (2**59 or 2**27 float64 elements, 2**29 or 2**13 squared
    # complex128 ones). No allocator gives 4 EiB; 1 GiB of a 32-bit process
    # may be given, and then the copy is made.
    widest = SIZE_BITS - 4
    side = (SIZE_BITS - 5) // 2
    result = run_python(
        f"""
        import numpy as np
        import quelva
        n = np.ones((2, 1), complex)
        for args in [
            (np.ones(1), n, np.broadcast_to(500.0, (2**{widest},)), 0.0, 0.0),
            (np.broadcast_to(1.0, (2**{widest},)), n, np.ones(1), 0.0, 0.0),
            (np.ones(1), np.broadcast_to(1 + 0j, (2**{side}, 2**{side})), np.ones(1), 0.0, 0.0),
        ]:
            try:
                obj = quelva.DataPy(*args)
                print("copied", obj.d.size + obj.n.size + obj.wl.size)
                del obj
            except MemoryError:
                print("MemoryError")
        obj = quelva.DataPy(np.ones(1), n, np.array([500.0]), 0.0, 0.0)
        print(obj.simulate().t.tolist())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    sizes = [2**widest + 3, 2**widest + 3, 2 ** (2 * side) + 2]
    for line, size in zip(lines[:3], sizes):
        if SIZE_BITS > 32:
            assert line == "MemoryError"
        else:
            assert line in ("MemoryError", f"copied {size}")
    assert lines[3:] == ["[1.0]"]


def test_empty_stack_accepted():
    obj = quelva.DataPy(np.zeros(0), np.zeros((3, 0), complex), np.zeros(0), 0.0, 0.0)
    assert obj.n.shape == (3, 0) and obj.d.shape == (0,) and obj.wl.shape == (0,)
    sim = obj.simulate()
    for arr in (sim.r, sim.t):
        check_fresh_plain(arr, np.float64, 1)
        assert arr.shape == (0,)


def test_simulate_returns_new_equal_results():
    obj = make()
    a, b = obj.simulate(), obj.simulate()
    assert type(a) is quelva.Simulation and a is not b
    assert a.r.tolist() == b.r.tolist() and a.t.tolist() == b.t.tolist()
    assert a.r.shape == a.t.shape == obj.wl.shape


def test_simulation_arrays():
    obj = make(n=table(3, 7))
    sim = obj.simulate()
    del obj
    gc.collect()
    for name in ("r", "t"):
        first, second = getattr(sim, name), getattr(sim, name)
        check_fresh_plain(first, np.float64, 1)
        assert first.flags.c_contiguous
        assert first is not second and first.tolist() == second.tolist()
        assert first.shape == (7,)
        saved = first.copy()
        first[:] = -5
        assert getattr(sim, name).tolist() == saved.tolist()


@pytest.mark.parametrize("name", ["t", "r"])
def test_simulation_read_only(name):
    sim = make().simulate()
    with pytest.raises(AttributeError):
        setattr(sim, name, np.zeros(4))
    with pytest.raises(AttributeError):
        delattr(sim, name)
    with pytest.raises(AttributeError):
        sim.x = 1
    assert not hasattr(sim, "__dict__")
    assert repr(sim).startswith("<builtins.Simulation object at 0x")
    assert sim == sim and sim != make().simulate()
    hash(sim)


@pytest.mark.parametrize("ndim", [0, 1, 3, 4, 32])
def test_n_needs_two_dimensions(ndim):
    n = np.ones((1,) * ndim, complex)
    d, wl = np.ones(1), np.ones(1)
    for _ in range(2):
        with pytest.raises(BaseException) as info:
            quelva.DataPy(d, n, wl, 0.0, 0.0)
        assert type(info.value).__name__ == "PanicException"
        assert info.value.args == (SHAPE_ERROR,)
    # Nothing stays held: the arrays can be resized (no other reference).
    n.resize((2, 1), refcheck=True)
    quelva.DataPy(d, n, wl, 0.0, 0.0)


@pytest.mark.skipif(np.lib.NumpyVersion(np.__version__) < "2.0.0", reason="NumPy 1 limits arrays to 32 dimensions")
def test_n_with_more_than_32_dimensions():
    n = np.ones((1,) * 33, complex)
    with pytest.raises(BaseException) as info:
        quelva.DataPy(np.ones(1), n, np.ones(1), 0.0, 0.0)
    assert type(info.value).__name__ == "PanicException"
    (message,) = info.value.args
    first, second = message.split("\n")
    assert first == "unexpected dimensionality: NumPy is expected to limit arrays to 32 or fewer dimensions."
    assert "report" in second and "bug" in second


def test_getters_keep_working_after_failed_simulate():
    n = table(3, 2)
    obj = quelva.DataPy(np.array([100.0]), n, np.array([500.0, 600.0, 700.0]), 0.1, 0.2)
    for _ in range(2):
        with pytest.raises(BaseException) as info:
            obj.simulate()
        assert type(info.value).__name__ == "PanicException"
        assert str(info.value) == OUT_OF_BOUNDS
    assert obj.n.tolist() == n.tolist() and obj.wl.tolist() == [500.0, 600.0, 700.0]
    assert obj.theta == 0.1 and obj.phi == 0.2


def test_many_objects_do_not_grow_memory():
    # A rough leak check through the process's resident size.
    import resource

    obj = make(n=table(4, 50), d=np.array([1.0, 2.0]))

    def churn(k):
        for _ in range(k):
            o = quelva.DataPy(obj.d, obj.n, obj.wl, 0.1, 0.1)
            s = o.simulate()
            s.r, s.t, o.n, o.d, o.wl
            try:
                quelva.DataPy(obj.d, obj.n[0], obj.wl, 0.1, 0.1)
            except BaseException:
                pass

    churn(2000)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    churn(20000)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert after - before < 20_000  # kilobytes
