"""The module frame: import, the two classes, binding errors. None of these
needs NumPy, so they also run where NumPy is not installed."""

import inspect
import sys

import pytest

import quelva
from conftest import DATAPY_NEW as DP
from conftest import run_python

X = object()  # any argument: binding fails before anything is converted


def test_all_and_attributes():
    assert quelva.__all__ == ["DataPy", "Simulation"]
    assert type(quelva.__all__) is list
    assert quelva.__name__ == "quelva"
    assert isinstance(quelva.__doc__, str) and "\n" not in quelva.__doc__.strip()
    public = {name for name in vars(quelva) if not name.startswith("__")}
    assert public == {"DataPy", "Simulation"}


@pytest.mark.parametrize("cls, name", [(quelva.DataPy, "DataPy"), (quelva.Simulation, "Simulation")])
def test_class_names(cls, name):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)


def test_docstrings_and_signatures():
    assert quelva.DataPy.__text_signature__ == "(d, n, wl, theta, phi)"
    assert str(inspect.signature(quelva.DataPy)) == "(d, n, wl, theta, phi)"
    params = inspect.signature(quelva.DataPy).parameters
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())
    assert quelva.DataPy.__doc__ in (None, "")
    assert quelva.DataPy.simulate.__text_signature__ == "($self)"
    assert list(inspect.signature(quelva.DataPy.simulate).parameters) == ["self"]
    assert quelva.Simulation.__doc__ is None


@pytest.mark.parametrize(
    "cls, names",
    [(quelva.DataPy, ["d", "n", "wl", "theta", "phi"]), (quelva.Simulation, ["t", "r"])],
)
def test_getters_in_order_with_empty_docs(cls, names):
    getsets = [k for k, v in vars(cls).items() if inspect.isgetsetdescriptor(v)]
    assert getsets == names
    for name in names:
        assert vars(cls)[name].__doc__ == ""


def test_methods():
    assert inspect.ismethoddescriptor(quelva.DataPy.__dict__["simulate"])
    assert not any(
        inspect.ismethoddescriptor(v) for k, v in vars(quelva.Simulation).items() if not k.startswith("__")
    )


@pytest.mark.parametrize("cls", [quelva.DataPy, quelva.Simulation])
def test_not_subclassable(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1, 2), {}), ((), {"t": 1}), ((X,) * 7, {"x": 1})],
)
def test_simulation_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as info:
        quelva.Simulation(*args, **kwargs)
    assert str(info.value) == "No constructor defined for Simulation"
    assert type(info.value) is TypeError


def test_reimport_returns_the_same_module():
    first = quelva
    datapy, simulation = first.DataPy, first.Simulation
    del sys.modules["quelva"]
    import quelva as again

    assert again is first
    assert again.DataPy is datapy and again.Simulation is simulation
    assert again.__all__ == ["DataPy", "Simulation"]
    assert sys.modules["quelva"] is first


def test_import_does_not_import_numpy():
    result = run_python(
        """
        import sys
        import quelva
        print("numpy" in sys.modules, any(m.startswith("numpy") for m in sys.modules))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "False"]
    assert result.stderr == ""


# Run in a sub-interpreter: the outcome of its import, written to OUT.
SUBINTERP_CODE = """
try:
    import quelva
except ImportError as e:
    text = "ImportError: " + str(e)
except BaseException as e:
    text = "other: " + repr(e)
else:
    text = "imported"
with open(OUT, "w") as f:
    f.write(text)
"""

# Run in the main interpreter: imports the module there, or in a sub-interpreter
# of either kind, and prints the outcomes in order. A legacy sub-interpreter
# shares the main one's lock and accepts single-phase modules, so a refusal
# there is the module's own; an isolated one (the default of the interpreter
# modules) refuses them by itself. With NumPy, a module imported in the main
# interpreter also computes one spectrum: a bare 1 | 1.5 interface at normal
# incidence (the layer of index 1 is invisible), R = (0.5 / 2.5)^2.
SUBINTERP_DRIVER = """
import sys

def in_subinterpreter(isolated, out):
    code = f"OUT = {str(out)!r}\\n" + SUBINTERP_CODE
    if not isolated:
        import _testcapi
        _testcapi.run_in_subinterp(code)
    else:
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            run = interpreters.exec
        else:
            import _xxsubinterpreters as interpreters
            run = interpreters.run_string
        i = interpreters.create()
        try:
            run(i, code)
        finally:
            interpreters.destroy(i)
    with open(out) as f:
        return f.read()

def in_main():
    try:
        import quelva
    except ImportError as e:
        return "ImportError: " + str(e)
    if quelva.__all__ != ["DataPy", "Simulation"]:
        return f"__all__ is {quelva.__all__!r}"
    try:
        import numpy as np
    except ImportError:
        return "imported"
    data = quelva.DataPy(np.array([100.0]), np.array([[1.0 + 0j], [1.0 + 0j], [1.5 + 0j]]),
                         np.array([500.0]), 0.0, 0.0)
    sim = data.simulate()
    return f"imported R={float(sim.r[0])!r} T={float(sim.t[0])!r}"

for n, where in enumerate(ORDER):
    if where == "main":
        text = in_main()
    else:
        text = in_subinterpreter(where == "isolated", f"{OUT_DIR}/{n}.txt")
    print(text.replace("\\n", " "))
"""


def main_import_works(text):
    if "R=" not in text:  # no NumPy here: the import is what there is to see
        return text == "imported"
    fields = dict(item.split("=") for item in text.split()[1:])
    return text.startswith("imported ") and (
        abs(float(fields["R"]) - 0.04) < 1e-15 and abs(float(fields["T"]) - 0.96) < 1e-15
    )


def refused_by_quelva(text):
    return text.startswith("ImportError: ") and "does not yet support sub-interpreters" in text


def refused_by_isolation(text):
    # CPython's own refusal of single-phase modules in isolated interpreters.
    return text.startswith("ImportError: ") and "does not support loading in subinterpreters" in text


@pytest.mark.parametrize(
    "order, expected",
    [
        # The main interpreter first: every sub-interpreter is refused (an
        # isolated one by CPython, before the module is asked), and the main
        # interpreter's module is unaffected.
        (["main", "legacy", "main"], [main_import_works, refused_by_quelva, main_import_works]),
        (["main", "isolated", "main"], [main_import_works, refused_by_isolation, main_import_works]),
        # An isolated sub-interpreter's refused attempt claims nothing.
        (["isolated", "main"], [refused_by_isolation, main_import_works]),
        (["isolated", "isolated", "main", "legacy"],
         [refused_by_isolation, refused_by_isolation, main_import_works, refused_by_quelva]),
        # A legacy sub-interpreter that imports first owns the module for the
        # rest of the process. From 3.13 on, CPython runs a single-phase
        # initialisation asked for by such an interpreter in the main
        # interpreter first: the main interpreter is then the first.
        (
            ["legacy", "main", "isolated"],
            ["imported", refused_by_quelva, refused_by_quelva]
            if sys.version_info < (3, 13)
            else [refused_by_quelva, main_import_works, refused_by_isolation],
        ),
    ],
    ids=["main-legacy", "main-isolated", "isolated-main", "isolated-twice-main", "legacy-main"],
)
def test_sub_interpreters(tmp_path, order, expected):
    result = run_python(
        f"ORDER = {order!r}\nOUT_DIR = {str(tmp_path)!r}\nSUBINTERP_CODE = {SUBINTERP_CODE!r}\n"
        + SUBINTERP_DRIVER,
        timeout=60,
    )
    if "No module named '_testcapi'" in result.stderr:
        pytest.skip("this interpreter has no _testcapi")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == len(order), result.stdout
    for where, text, check in zip(order, lines, expected):
        ok = text == check if isinstance(check, str) else check(text)
        assert ok, f"{where}: {text}"


MISSING_ALL = "'d', 'n', 'wl', 'theta', and 'phi'"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, f"{DP} missing 5 required positional arguments: {MISSING_ALL}"),
        ((X,), {}, f"{DP} missing 4 required positional arguments: 'n', 'wl', 'theta', and 'phi'"),
        ((X, X), {}, f"{DP} missing 3 required positional arguments: 'wl', 'theta', and 'phi'"),
        ((X, X, X), {}, f"{DP} missing 2 required positional arguments: 'theta' and 'phi'"),
        ((X, X, X, X), {}, f"{DP} missing 1 required positional argument: 'phi'"),
        ((X, X, X), {"phi": 0.0}, f"{DP} missing 1 required positional argument: 'theta'"),
        ((), {"d": X, "n": X, "wl": X, "theta": X}, f"{DP} missing 1 required positional argument: 'phi'"),
        ((), {"phi": X, "wl": X}, f"{DP} missing 3 required positional arguments: 'd', 'n', and 'theta'"),
        ((X,) * 6, {}, f"{DP} takes 5 positional arguments but 6 were given"),
        ((X,) * 9, {}, f"{DP} takes 5 positional arguments but 9 were given"),
        # Too many positionals: the keyword is not looked at.
        ((X,) * 6, {"foo": 1}, f"{DP} takes 5 positional arguments but 6 were given"),
        ((X,) * 6, {"d": 1}, f"{DP} takes 5 positional arguments but 6 were given"),
        ((X, X, X, 0.1, 0.2), {"d": X}, f"{DP} got multiple values for argument 'd'"),
        ((X, X), {"wl": X, "n": X}, f"{DP} got multiple values for argument 'n'"),
        # Keywords are examined before missing arguments, in the order written.
        ((X, X, X, X), {"foo": 1}, f"{DP} got an unexpected keyword argument 'foo'"),
        ((X, X, X, X), {"foo": 1, "bar": 2}, f"{DP} got an unexpected keyword argument 'foo'"),
        ((X, X, X, X), {"bar": 2, "foo": 1}, f"{DP} got an unexpected keyword argument 'bar'"),
        ((X, X, X, X), {"D": 1}, f"{DP} got an unexpected keyword argument 'D'"),
        ((X, X, X, X), {"phi ": 1}, f"{DP} got an unexpected keyword argument 'phi '"),
        ((X, X, X, X), {"ph": 1}, f"{DP} got an unexpected keyword argument 'ph'"),
        ((X, X, X, X), {"phii": 1}, f"{DP} got an unexpected keyword argument 'phii'"),
        ((), {"θ": 1}, f"{DP} got an unexpected keyword argument 'θ'"),
        ((), {"self": 1}, f"{DP} got an unexpected keyword argument 'self'"),
        # A keyword that cannot be read as UTF-8 text is unexpected too.
        ((), {"\udcff": 1}, f"{DP} got an unexpected keyword argument '\udcff'"),
        # The first fault found decides: multiple values before the unknown keyword.
        ((X,), {"d": 1, "foo": 2}, f"{DP} got multiple values for argument 'd'"),
        ((X,), {"foo": 2, "d": 1}, f"{DP} got an unexpected keyword argument 'foo'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        quelva.DataPy(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


class StrKey(str):
    def __str__(self):
        return "shown-" + str.__str__(self)


def test_unexpected_keyword_is_shown_with_str():
    with pytest.raises(TypeError) as info:
        quelva.DataPy(**{StrKey("zz"): 1})
    assert str(info.value) == f"{DP} got an unexpected keyword argument 'shown-zz'"


def test_binding_through_dunder_new():
    with pytest.raises(TypeError) as info:
        quelva.DataPy.__new__(quelva.DataPy)
    assert str(info.value) == f"{DP} missing 5 required positional arguments: {MISSING_ALL}"
    with pytest.raises(TypeError):
        quelva.DataPy.__new__(quelva.Simulation, X, X, X, X, X)


def test_binding_errors_write_nothing_to_stderr():
    result = run_python(
        """
        import quelva
        calls = [((), {}), ((1,) * 6, {}), ((1, 2, 3, 4), {"foo": 1}), ((1, 2, 3, 4, 5), {"d": 1})]
        for args, kwargs in calls:
            try:
                quelva.DataPy(*args, **kwargs)
            except TypeError:
                pass
        try:
            quelva.Simulation()
        except TypeError:
            pass
        print("done")
        """
    )
    assert result.returncode == 0
    assert result.stdout == "done\n"
    assert result.stderr == ""
