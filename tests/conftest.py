"""Shared helpers for the module's tests.

The tests exercise the installed `quelva` module the way a user would. Those
that need a fresh interpreter (standard-error reports, environment variables,
import-time behaviour) run code in a subprocess of the same interpreter.
"""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parent.parent


def run_python(code, *, env=None, timeout=120, cwd=None):
    """Runs `code` in a new interpreter (this one's executable) and returns
    the CompletedProcess with text stdout and stderr. `env` entries are added
    to (or, with a value of None, removed from) the current environment."""
    full_env = dict(os.environ)
    for key, value in (env or {}).items():
        if value is None:
            full_env.pop(key, None)
        else:
            full_env[key] = value
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
        cwd=cwd,
    )


@pytest.fixture
def python_subprocess():
    """The run_python helper as a fixture."""
    return run_python


def numpy_available():
    try:
        import numpy  # noqa: F401
    except ImportError:
        return False
    return True
