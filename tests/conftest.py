"""Shared helpers for the module's tests: the probe objects passed as angles,
the fixed texts the module raises, the catalogue of array layouts and the
child-interpreter runner. Test files hold the cases; what several of them need
is written here once.

The tests exercise the installed `quelva` module the way a user would. Those
that need a fresh interpreter (standard-error reports, environment variables,
import-time behaviour) run code in a subprocess of the same interpreter.

This file imports without NumPy: the files that run without it use it too.
"""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parent.parent
TESTS_DIR = REPO_ROOT / "tests"


def run_python(code, *, env=None, timeout=120, cwd=None, args=()):
    """Runs `code` in a new interpreter (this one's executable) and returns
    the CompletedProcess with text stdout and stderr. `env` entries are added
    to (or, with a value of None, removed from) the current environment;
    `args` become sys.argv[1:]. A child that outlives `timeout` fails the test
    with what it had written so far, instead of hanging the run."""
    full_env = dict(os.environ)
    for key, value in (env or {}).items():
        if value is None:
            full_env.pop(key, None)
        else:
            full_env[key] = value
    try:
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code), *args],
            capture_output=True,
            text=True,
            env=full_env,
            timeout=timeout,
            cwd=cwd,
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"hung for {timeout} s; output so far: {exc.stdout!r} {exc.stderr!r}")


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
