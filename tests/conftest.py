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


def numpy_available():
    try:
        import numpy  # noqa: F401
    except ImportError:
        return False
    return True
