"""Shared helpers for the module's tests: the probe objects passed as angles,
the fixed texts the module raises, the catalogue of array layouts and the
child-interpreter runner. Test files hold the cases; what several of them need
is written here once.

The tests exercise the installed `quelva` module the way a user would. Those
that need a fresh interpreter (standard-error reports, environment variables,
import-time behaviour) run code in a subprocess of the same interpreter.

This file imports without NumPy: the files that run without it use it too.
"""

import functools
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

try:
    import numpy as np
    from numpy.lib.stride_tricks import as_strided
except ImportError:  # the array layouts below are then not defined
    np = None

REPO_ROOT = Path(__file__).resolve().parent.parent
TESTS_DIR = REPO_ROOT / "tests"


# How many times longer than natively a child interpreter may run before it
# counts as hung. Under emulation (qemu-user) everything runs many times
# slower; the scripts that run the suite there set QUELVA_TEST_TIMEOUT_SCALE.
TIMEOUT_SCALE = float(os.environ.get("QUELVA_TEST_TIMEOUT_SCALE", "1"))


def child_timeout(seconds):
    """`seconds`, a child's time limit on a native run, for this machine."""
    return seconds * TIMEOUT_SCALE


def run_python(code, *, env=None, timeout=120, cwd=None, args=()):
    """Runs `code` in a new interpreter (this one's executable) and returns
    the CompletedProcess with text stdout and stderr. `env` entries are added
    to (or, with a value of None, removed from) the current environment;
    `args` become sys.argv[1:]. A child that outlives `timeout` (times
    TIMEOUT_SCALE) fails the test with what it had written so far, instead of
    hanging the run."""
    full_env = dict(os.environ)
    for key, value in (env or {}).items():
        if value is None:
            full_env.pop(key, None)
        else:
            full_env[key] = value
    limit = child_timeout(timeout)
    try:
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code), *args],
            capture_output=True,
            text=True,
            env=full_env,
            timeout=limit,
            cwd=cwd,
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"hung for {limit:g} s; output so far: {exc.stdout!r} {exc.stderr!r}")


# ---------------------------------------------------------------------------
# The module's fixed texts. Callers match on them, so the tests compare them
# exactly; changing one here means changing what callers see.

DATAPY_NEW = "DataPy.__new__()"  # how binding errors name the constructor
ARRAY_TARGET = "PyArray<T, D>"
SHAPE_ERROR = "Failed to convert n to 2D array: ShapeError/IncompatibleShape: incompatible shapes"
OUT_OF_BOUNDS = "ndarray: index out of bounds"
NUMPY_CAPSULE_FAILED = "Failed to access NumPy array API capsule: "
DIMS_ERROR_HEAD = "unexpected dimensionality: NumPy is expected to limit arrays to 32 or fewer dimensions.\n"


def array_refused(name, type_name):
    """The TypeError text for an array argument `name` given a `type_name`."""
    return f"argument '{name}': '{type_name}' object cannot be converted to '{ARRAY_TARGET}'"


# ---------------------------------------------------------------------------
# Array layouts: each takes an array and gives one whose memory layout or
# class is the named one. The values of most are those of the input; the
# zero-stride and overlapping layouts repeat some of them, so compare a laid-
# out array with a plain copy of itself. A layout that does not apply to an
# array (a Fortran transpose of a 1-D array, an unaligned object array)
# returns it unchanged.


def misaligned(a):
    """The same values in a buffer that starts one byte past alignment."""
    if a.dtype == object:
        return a
    buf = bytearray(a.nbytes + 1)
    out = np.frombuffer(buf, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    return out


def strided(a, step, axes=None, order="C"):
    """The same values as a view with the given step along `axes` (all by
    default) of a larger array of the given memory order."""
    if not a.ndim:
        return a
    axes = range(a.ndim) if axes is None else [k % a.ndim for k in axes]
    steps = [step if k in axes else 1 for k in range(a.ndim)]
    big = np.zeros(tuple(max(1, s * t) for s, t in zip(a.shape, steps)), dtype=a.dtype, order=order)
    view = big[tuple(slice(None, None, t) for t in steps)][tuple(slice(0, s) for s in a.shape)]
    view[...] = a
    return view


def reversed_axes(a, axes, order="C"):
    """The same values stored with the given axes reversed (negative strides)."""
    if not a.ndim:
        return a
    axes = {k % a.ndim for k in axes}
    index = tuple(slice(None, None, -1) if k in axes else slice(None) for k in range(a.ndim))
    return np.asarray(a[index], order=order)[index] if order == "F" else np.ascontiguousarray(a[index])[index]


def odd_unit_strides(a, stride=10**6):
    """The same values, with a far-off (never used) stride on every axis of
    length 0 or 1; NumPy still calls such an array contiguous."""
    a = np.ascontiguousarray(a)
    if a.dtype == object:
        return a
    strides = [(-1) ** k * stride * a.itemsize if size <= 1 else s
               for k, (size, s) in enumerate(zip(a.shape, a.strides))]
    return as_strided(a, shape=a.shape, strides=strides)


def overlapping(a):
    """A 2-D view whose rows overlap: element (i, j) is buffer[i + j]."""
    if a.ndim != 2 or a.dtype == object:
        return a
    rows, cols = a.shape
    buf = np.ascontiguousarray(np.resize(a.ravel(), max(rows + cols - 1, 1)))
    return as_strided(buf, shape=a.shape, strides=(a.itemsize, a.itemsize))


def zero_stride(a, axis):
    """Zero strides along `axis`: its first entry repeated."""
    if not a.ndim or not a.shape[axis]:
        return a
    return np.broadcast_to(a[(slice(None),) * (axis % a.ndim) + (slice(0, 1),)], a.shape)


def readonly(a):
    a = a.view()
    a.flags.writeable = False
    return a


if np is not None:

    class Sub(np.ndarray):
        """A trivial ndarray subclass."""

    class Tagged(np.ndarray):
        """A subclass that carries an attribute through views."""

        def __array_finalize__(self, obj):
            self.tag = getattr(obj, "tag", "tagged")

    LAYOUTS = {
        "c": np.ascontiguousarray,
        "fortran": np.asfortranarray,
        "transposed_fortran": lambda a: np.ascontiguousarray(a.T).T,
        "reversed_first_axis": lambda a: reversed_axes(a, {0}),
        "reversed_last_axis": lambda a: reversed_axes(a, {-1}),
        "reversed_all_axes": lambda a: reversed_axes(a, set(range(a.ndim))),
        "fortran_reversed_first_axis": lambda a: reversed_axes(a, {0}, order="F"),
        "fortran_reversed_last_axis": lambda a: reversed_axes(a, {-1}, order="F"),
        "step2": lambda a: strided(a, 2),
        "step3": lambda a: strided(a, 3),
        "step2_first_axis": lambda a: strided(a, 2, axes=[0]),
        "step2_last_axis": lambda a: strided(a, 2, axes=[-1]),
        "fortran_step2_first_axis": lambda a: strided(a, 2, axes=[0], order="F"),
        "misaligned": misaligned,
        "misaligned_reversed": lambda a: misaligned(a)[::-1] if a.ndim else misaligned(a),
        "zero_stride_first_axis": lambda a: zero_stride(a, 0),
        "zero_stride_last_axis": lambda a: zero_stride(a, -1),
        "odd_unit_strides": odd_unit_strides,
        "overlapping": overlapping,
        "readonly": readonly,
        "subclass": lambda a: a.view(Sub),
        "tagged": lambda a: a.view(Tagged),
        "readonly_subclass": lambda a: readonly(a.view(Tagged)),
        "matrix": lambda a: np.asmatrix(a) if a.ndim == 2 else a,
        "masked": lambda a: np.ma.masked_array(a, mask=np.zeros(a.shape, dtype=bool)),
        "fully_masked": lambda a: np.ma.masked_array(a, mask=np.ones(a.shape, dtype=bool)),
        "dtype_metadata": lambda a: a.astype(np.dtype(a.dtype, metadata={"unit": "nm"})),
    }


def cpu_quota_limited():
    """Whether a control group limits this process's CPU time (the engine
    then sizes its pool by the quota, not by the affinity)."""
    for path, unlimited in [("/sys/fs/cgroup/cpu.max", "max"), ("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "-1"),
                            ("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1")]:
        try:
            value = Path(path).read_text().split()[0]
        except (OSError, IndexError):
            continue
        if value != unlimited:
            return True
    return False


def numpy_available():
    try:
        import numpy  # noqa: F401
    except ImportError:
        return False
    return True


# ---------------------------------------------------------------------------
# Probe objects for the angles, one per path through the interpreter's float
# conversion. Tests that compare messages read them from the probe.


class Floaty:
    """Converts through __float__ to `value`."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    """Only __index__: the float conversion falls back to it."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatSub(float):
    """A float subclass: its value is used directly."""

    def __float__(self):  # never called; a call would show as 99.0
        return 99.0


class ReturnsInt:
    """__float__ returns an int, which the conversion refuses."""

    def __float__(self):
        return 3


class NoFloat:
    """Neither __float__ nor __index__."""


class RaisesTypeError:
    message = "no float for you"

    def __float__(self):
        raise TypeError(self.message)


class RaisesTypeErrorWithCause:
    """The TypeError carries an explicit cause, which the module keeps."""

    message = "no float today"
    cause = ValueError("the cause")

    def __float__(self):
        raise TypeError(self.message) from self.cause


class FancyTypeError(TypeError):
    pass


class RaisesTypeErrorSubclass:
    """A subclass of TypeError passes unchanged, unlike TypeError itself."""

    message = "a subclass of TypeError"

    def __float__(self):
        raise FancyTypeError(self.message)


class RaisesValueError:
    message = "not a good value"

    def __float__(self):
        raise ValueError(self.message)


# An address-space limit that the tests set must really hold: set one just
# above the current size, read it back, and try to allocate beyond it.
# qemu-user, for one, accepts setrlimit(RLIMIT_AS) and does not enforce it.
_ADDRESS_SPACE_PROBE = """
import resource
with open("/proc/self/status") as f:
    in_use = [int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:")][0]
hard = resource.getrlimit(resource.RLIMIT_AS)[1]
resource.setrlimit(resource.RLIMIT_AS, (in_use + 64 * 2**20, hard))
assert resource.getrlimit(resource.RLIMIT_AS)[0] == in_use + 64 * 2**20
try:
    block = bytearray(512 * 2**20)
except MemoryError:
    print("enforced")
else:
    print("ignored")
"""


@functools.cache
def address_space_limit_enforced():
    """True where an RLIMIT_AS set by this process makes allocations fail."""
    result = run_python(_ADDRESS_SPACE_PROBE)
    return result.returncode == 0 and result.stdout.strip() == "enforced"


def needs_address_space_limit():
    """A skip marker for the tests that need RLIMIT_AS to be enforced."""
    return pytest.mark.skipif(
        not address_space_limit_enforced(),
        reason="setrlimit(RLIMIT_AS) is accepted here but not enforced (as under qemu-user)",
    )


# The platform's pointer width, through NumPy's index type where the tests
# size arrays by it: 63 bits of positive sizes on 64-bit, 31 on 32-bit.
SIZE_BITS = sys.maxsize.bit_length()


OS_ERROR = re.compile(r'IOError\(Os \{ code: (\d+), kind: \w+, message: "(.*)" \}\) \}')


def assert_os_error(message, prefix):
    """The pool's start failure names the OS error with the C library's own text."""
    assert message.startswith(prefix), message
    match = OS_ERROR.fullmatch(message[len(prefix):])
    assert match, message
    assert match[2] == os.strerror(int(match[1]))
