"""PanicException, the report of a panic on standard error, panics on the
worker threads, and the number of worker threads."""

import os
import re

import pytest

np = pytest.importorskip("numpy")

import quelva  # noqa: E402
from conftest import (  # noqa: E402
    OUT_OF_BOUNDS,
    REPO_ROOT,
    SHAPE_ERROR,
    assert_os_error,
    cpu_quota_limited,
    needs_address_space_limit,
    run_python,
)

REPORT = re.compile(r"\nthread '<unnamed>' panicked at ([^\n:]+):(\d+):(\d+):\n")


def shape_panic():
    with pytest.raises(BaseException) as info:
        quelva.DataPy(np.ones(1), np.ones(3, complex), np.ones(1), 0.0, 0.0)
    return info.value


def test_panic_exception_type():
    err = shape_panic()
    cls = type(err)
    assert cls.__name__ == "PanicException"
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__qualname__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert "BaseException" in cls.__doc__ and "panic" in cls.__doc__
    assert err.args == (SHAPE_ERROR,) and str(err) == SHAPE_ERROR
    # One type for the whole process, and not exported by the module.
    assert type(shape_panic()) is cls
    assert cls not in vars(quelva).values()


def test_except_exception_does_not_catch_it():
    caught = None
    try:
        try:
            quelva.DataPy(np.ones(1), np.ones(3, complex), np.ones(1), 0.0, 0.0)
        except Exception:  # noqa: BLE001 - the point of the test
            caught = "Exception"
    except BaseException as e:
        caught = type(e).__name__
    assert caught == "PanicException"


def source_line(path, line):
    file = REPO_ROOT / path
    if not file.is_file():
        return None
    return file.read_text().splitlines()[line - 1]


def test_report_of_a_module_check():
    result = run_python(
        f"""
        import sys
        import numpy as np
        import quelva
        try:
            quelva.DataPy(np.ones(1), np.ones(3, complex), np.ones(1), 0.0, 0.0)
        except BaseException as e:
            sys.stderr.write("caught " + type(e).__name__ + "\\n")
            print(str(e))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == SHAPE_ERROR + "\n"
    match = REPORT.match(result.stderr)
    assert match, result.stderr
    assert match.group(1) == "src/lib.cpp"
    # The report comes first, then the caller sees the exception.
    assert result.stderr[match.end():] == SHAPE_ERROR + "\ncaught PanicException\n"
    line = source_line("src/lib.cpp", int(match.group(2)))
    if line is not None:
        assert "panic(" in line


@pytest.mark.parametrize("count", [10, 100, 101, 400])
def test_engine_panic_on_calling_thread_and_on_workers(count):
    result = run_python(
        f"""
        import numpy as np
        import quelva
        n = np.full((3, {count} - 1), 1.5 + 0j)
        obj = quelva.DataPy(np.array([10.0]), n, np.linspace(400, 700, {count}), 0.0, 0.0)
        for _ in range(2):
            try:
                obj.simulate()
            except BaseException as e:
                print(type(e).__name__, e.args)
        good = quelva.DataPy(np.array([10.0]), n, np.linspace(400, 700, {count} - 1), 0.0, 0.0)
        print(len(good.simulate().r), obj.n.shape)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:2] == [f"PanicException ('{OUT_OF_BOUNDS}',)"] * 2
    assert lines[2] == f"{count - 1} (3, {count - 1})"
    reports = REPORT.findall(result.stderr)
    assert len(reports) == 2, result.stderr
    assert result.stderr == "".join(
        f"\nthread '<unnamed>' panicked at {f}:{ln}:{col}:\n{OUT_OF_BOUNDS}\n" for f, ln, col in reports
    )
    for file, line, _ in reports:
        assert file.startswith("engine/") and file.endswith(".cpp")


def test_panic_raised_inside_a_float_conversion_is_resumed():
    result = run_python(
        """
        import numpy as np
        import quelva

        class Evil:
            def __float__(self):
                quelva.DataPy(np.ones(1), np.ones(3, complex), np.ones(1), 0.0, 0.0)
                return 0.0

        try:
            quelva.DataPy(np.ones(1), np.ones((2, 1), complex), np.ones(1), Evil(), 0.0)
        except BaseException as e:
            print(type(e).__name__, e.args)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"PanicException ('{SHAPE_ERROR}',)\n"
    err = result.stderr
    assert len(REPORT.findall(err)) == 1  # resuming is not a new panic
    assert "resuming a panic after fetching a PanicException from Python" in err
    assert "in __float__" in err
    assert f"pyo3_runtime.PanicException: {SHAPE_ERROR}" in err
    assert "argument 'theta'" not in result.stdout


THREADS_CODE = """
import os
import numpy as np
import quelva
if {pin}:
    os.sched_setaffinity(0, {{sorted(os.sched_getaffinity(0))[0]}})
def tasks():
    return len(os.listdir("/proc/self/task"))
def run(count):
    n = np.full((3, count), 1.5 + 0.01j)
    quelva.DataPy(np.array([80.0]), n, np.linspace(400, 700, count), 0.2, 0.3).simulate()
base = tasks()
run(100)
after_100 = tasks()
run(101)
after_101 = tasks()
run(1000)
print(after_100 - base, after_101 - base, tasks() - base, len(os.sched_getaffinity(0)))
"""


@pytest.mark.parametrize(
    "num_threads, rs_num_cpus, pin, expected",
    [
        ("3", None, False, 3),
        ("+2", None, False, 2),
        ("1", "4", False, 1),
        ("0", "4", True, 1),  # 0: the default, here one processor
        ("abc", "2", False, 2),
        (" 3", "2", False, 2),
        ("-1", None, True, 1),
        (None, "3", False, 3),
        (None, "0", True, 1),
        ("300", None, False, 255),
        (None, None, True, 1),
        (None, None, False, "default"),
    ],
)
def test_worker_thread_count(num_threads, rs_num_cpus, pin, expected):
    if expected == "default" and cpu_quota_limited():
        pytest.skip("the default count depends on this machine's CPU quota")
    result = run_python(
        THREADS_CODE.format(pin=pin),
        env={"RAYON_NUM_THREADS": num_threads, "RAYON_RS_NUM_CPUS": rs_num_cpus},
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    after_100, after_101, after_1000, cpus = map(int, result.stdout.split())
    if expected == "default":
        expected = min(cpus, 255)
    assert after_100 == 0  # 100 wavelengths: the calling thread only
    assert after_101 == expected  # the pool starts with all of its threads
    assert after_1000 == expected  # and is reused


def test_deallocation_never_raises():
    result = run_python(
        """
        import gc
        import numpy as np
        import quelva
        objs = [quelva.DataPy(np.ones(1), np.ones((2, 3), complex), np.ones(3), 0, 0) for _ in range(50)]
        sims = [o.simulate() for o in objs]
        del objs
        gc.collect()
        print(sum(len(s.r) for s in sims))
        del sims
        try:
            raise ValueError("pending")
        except ValueError:
            quelva.DataPy(np.ones(1), np.ones((2, 3), complex), np.ones(3), 0, 0).simulate()
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "150\nok\n"
    assert result.stderr == ""


@needs_address_space_limit()
def test_pool_that_cannot_start():
    # An address-space limit just above the current size leaves no room for
    # the workers' stacks: the first parallel call fails, the start is not
    # retried, and the calling-thread path keeps working.
    result = run_python(
        """
        import resource
        import numpy as np
        import quelva
        n = np.full((3, 101), 1.5 + 0j)
        big = quelva.DataPy(np.array([10.0]), n, np.linspace(400, 700, 101), 0.0, 0.0)
        small = quelva.DataPy(np.array([10.0]), n, np.linspace(400, 700, 100), 0.0, 0.0)
        small.simulate()
        with open("/proc/self/status") as f:
            vm = int([l for l in f if l.startswith("VmSize")][0].split()[1]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + 3 * 2**20, resource.RLIM_INFINITY))
        for _ in range(2):
            try:
                big.simulate()
                print("no failure")
            except BaseException as e:
                print(type(e).__name__)
                print(e.args[0])
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(len(small.simulate().r))
        try:
            big.simulate()
        except BaseException as e:
            print(e.args[0])
        """,
        env={"RAYON_NUM_THREADS": "4"},
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    prefix = "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
    assert lines[0] == lines[2] == "PanicException"
    assert_os_error(lines[1], prefix)
    later = prefix + "GlobalPoolAlreadyInitialized }"
    assert lines[3] == later and lines[5] == later
    assert lines[4] == "100"
    assert len(REPORT.findall(result.stderr)) == 3
    assert f"\n{lines[1]}\n" in result.stderr
