"""Loading NumPy's C array interface: nothing at import, the multiarray module
chosen by NumPy's major version, the PanicException when the capsule cannot
be had, and a new attempt on every construction after a failure.

Stand-in `numpy` packages on the path let the failure cases run whether or
not the real NumPy is installed."""

import re
import textwrap

import pytest

from conftest import DATAPY_NEW, NUMPY_CAPSULE_FAILED as PREFIX, array_refused, numpy_available, run_python

NUMPY_LIB = """
class NumpyVersion:
    def __init__(self, vstring):
        self.vstring = vstring
        self.major = int(vstring.split(".")[0])
"""


def fake_numpy(root, version, files):
    pkg = root / "numpy"
    (pkg / "lib").mkdir(parents=True)
    (pkg / "__init__.py").write_text(f"__version__ = {version!r}\n")
    (pkg / "lib" / "__init__.py").write_text(NUMPY_LIB)
    for rel, text in files.items():
        path = pkg / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        (path.parent / "__init__.py").touch()
        path.write_text(textwrap.dedent(text))
    return root


CONSTRUCT_TWICE = """
import sys
import quelva
for _ in range(2):
    try:
        quelva.DataPy([1.0], [[1j]], [1.0], 0.0, 0.0)
    except BaseException as e:
        print(type(e).__name__)
        print(repr(e.args[0]))
print(sorted(m for m in sys.modules if m.startswith("numpy")))
"""


def run_with_fake(root):
    result = run_python(CONSTRUCT_TWICE, env={"PYTHONPATH": str(root)})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == lines[2] == "PanicException"
    assert lines[1] == lines[3]
    message = eval(lines[1])  # the repr of a str
    return message, eval(lines[4]), result.stderr


def test_numpy2_layout_without_capsule(tmp_path):
    root = fake_numpy(tmp_path, "2.1.0", {"_core/multiarray.py": "X = 1\n", "core/multiarray.py": "raise AssertionError\n"})
    message, modules, stderr = run_with_fake(root)
    assert message == PREFIX + (
        "PyErr { type: <class 'AttributeError'>, value: AttributeError(\"module 'numpy._core.multiarray' "
        "has no attribute '_ARRAY_API'\"), traceback: None }"
    )
    assert "numpy._core.multiarray" in modules and "numpy.core.multiarray" not in modules
    # Reported on stderr at each of the two panics.
    assert stderr.count("panicked at src/lib.cpp:") == 2
    assert stderr.count(message) == 2


def test_numpy1_layout_with_something_else_than_a_capsule(tmp_path):
    root = fake_numpy(tmp_path, "1.26.4", {"core/multiarray.py": "_ARRAY_API = 42\n", "_core/multiarray.py": "raise AssertionError\n"})
    message, modules, _ = run_with_fake(root)
    assert message.startswith(PREFIX + "PyErr { type: <class 'TypeError'>, value: TypeError(")
    assert "'int' object cannot be converted to 'PyCapsule'" in message
    assert "numpy.core.multiarray" in modules and "numpy._core" not in modules


def test_major_version_beyond_eight_bits(tmp_path):
    root = fake_numpy(tmp_path, "300.0.0", {"_core/multiarray.py": "raise AssertionError\n"})
    message, modules, _ = run_with_fake(root)
    assert message.startswith(PREFIX + "PyErr { type: <class 'OverflowError'>")
    assert "numpy._core.multiarray" not in modules


def test_broken_numpy_with_traceback(tmp_path):
    root = fake_numpy(tmp_path, "2.0.0", {})
    (root / "numpy" / "__init__.py").write_text("\n\nraise RuntimeError('broken \"numpy\"')\n")
    message, _, _ = run_with_fake(root)
    assert message.startswith(
        PREFIX + "PyErr { type: <class 'RuntimeError'>, value: RuntimeError('broken \"numpy\"'), traceback: Some(\""
    )
    tb = re.search(r'traceback: Some\("(.*)"\) \}$', message).group(1)
    assert tb.startswith("Traceback (most recent call last):\\n  File \\\"")
    assert "numpy/__init__.py\\\", line 3, in <module>\\n" in tb


def test_binding_errors_come_before_the_capsule(tmp_path):
    root = fake_numpy(tmp_path, "2.1.0", {"_core/multiarray.py": "X = 1\n"})
    result = run_python(
        """
        import sys
        import quelva
        try:
            quelva.DataPy(1, 2, 3)
        except TypeError as e:
            print(e)
        print("numpy" in sys.modules)
        """,
        env={"PYTHONPATH": str(root)},
    )
    assert result.stdout.splitlines() == [
        f"{DATAPY_NEW} missing 2 required positional arguments: 'theta' and 'phi'",
        "False",
    ]
    assert result.stderr == ""


@pytest.mark.skipif(not numpy_available(), reason="needs NumPy")
def test_retry_after_a_failed_load(tmp_path):
    root = fake_numpy(tmp_path, "2.1.0", {"_core/multiarray.py": "X = 1\n"})
    result = run_python(
        f"""
        import sys
        sys.path.insert(0, {str(root)!r})
        import quelva
        try:
            quelva.DataPy([1.0], [[1j]], [1.0], 0.0, 0.0)
        except BaseException as e:
            print(type(e).__name__)
        sys.path.remove({str(root)!r})
        for name in [m for m in sys.modules if m == "numpy" or m.startswith("numpy.")]:
            del sys.modules[name]
        import numpy as np
        obj = quelva.DataPy(np.array([1.0]), np.ones((2, 1), complex), np.array([500.0]), 0.0, 0.0)
        print(obj.simulate().t.tolist())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException", "[1.0]"]


@pytest.mark.skipif(not numpy_available(), reason="needs NumPy")
def test_real_numpy_capsule_module():
    result = run_python(
        """
        import sys
        import quelva
        assert "numpy" not in sys.modules
        import numpy as np
        before = set(sys.modules)
        obj = quelva.DataPy(np.ones(1), np.ones((2, 1), complex), np.ones(1), 0.0, 0.0)
        print(np.lib.NumpyVersion(np.__version__).major)
        print("numpy._core.multiarray" in sys.modules, "numpy.core.multiarray" in sys.modules)
        """,
        env={"PYTHONWARNINGS": "error"},
    )
    assert result.returncode == 0, result.stderr
    major, loaded = result.stdout.splitlines()
    if int(major) >= 2:
        # numpy.core is only a deprecated alias under NumPy 2: never touched.
        assert loaded == "True False"
    else:
        assert loaded == "False True"
    assert result.stderr == ""


@pytest.mark.skipif(not numpy_available(), reason="needs NumPy")
def test_first_construction_imports_numpy():
    result = run_python(
        """
        import sys
        import quelva
        print("numpy" in sys.modules)
        try:
            quelva.DataPy([1.0], None, None, 0, 0)
        except TypeError as e:
            print(e)
        print("numpy" in sys.modules)
        """
    )
    assert result.stdout.splitlines() == [
        "False",
        array_refused("d", "list"),
        "True",
    ]
