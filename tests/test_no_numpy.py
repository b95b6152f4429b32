"""Without NumPy installed: the import succeeds, every construction whose
arguments bind raises the PanicException of the missing array interface, and
binding errors are raised as usual."""

import pytest

from conftest import DATAPY_NEW, NUMPY_CAPSULE_FAILED, numpy_available, run_python

if numpy_available():
    pytest.skip("NumPy is installed here", allow_module_level=True)

import quelva  # noqa: E402


def missing_numpy_error() -> str:
    """The repr of the error this interpreter's own import of NumPy raises:
    it differs between versions (3.15 adds the module's name)."""
    try:
        import numpy  # noqa: F401
    except ModuleNotFoundError as error:
        return repr(error)
    raise AssertionError("NumPy imported after all")


EXPECTED = NUMPY_CAPSULE_FAILED + (
    f"PyErr {{ type: <class 'ModuleNotFoundError'>, value: {missing_numpy_error()}, traceback: None }}"
)


def test_every_construction_raises_panic_exception():
    for _ in range(3):
        with pytest.raises(BaseException) as info:
            quelva.DataPy([1.0], [[1j]], [1.0], 0.0, 0.0)
        assert type(info.value).__name__ == "PanicException"
        assert info.value.args == (EXPECTED,)
        assert not isinstance(info.value, Exception)


def test_binding_errors_as_usual():
    with pytest.raises(TypeError) as info:
        quelva.DataPy(1, 2, 3, 4)
    assert str(info.value) == f"{DATAPY_NEW} missing 1 required positional argument: 'phi'"


def test_report_on_stderr_each_time():
    result = run_python(
        """
        import quelva
        for _ in range(2):
            try:
                quelva.DataPy(None, None, None, None, None)
            except BaseException as e:
                print(type(e).__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "PanicException\nPanicException\n"
    report = "\nthread '<unnamed>' panicked at src/lib.cpp:"
    assert result.stderr.count(report) == 2
    assert result.stderr.count("\n" + EXPECTED + "\n") == 2
