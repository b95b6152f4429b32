"""Shared helpers for the module's tests.

The tests exercise the installed `quelva` module the way a user would. Those
that need a fresh interpreter (standard-error reports, environment variables,
import-time behaviour) run code in a subprocess of the same interpreter.
"""

import functools
import os
import re
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
