"""Python code that attacks the module from inside its own calls: arrays
changed in place by an angle's float conversion between their check and their
copy, and instances that their constructor never initialised.

Each case runs in a child interpreter with a timeout, so that a regression
(a crash) fails that case instead of ending the whole run.
"""

import json

import pytest

pytest.importorskip("numpy")

from conftest import SHAPE_ERROR, array_refused, run_python  # noqa: E402

# The child builds the arrays, lets the conversion of one angle run
# `mutation`, and prints the outcome of that call and, as the oracle, the
# outcome of a plain call given the arrays as they are afterwards.
MUTATION_CHILD = """
import json, sys, warnings
warnings.simplefilter("ignore")
import numpy as np, quelva

d = np.array([100.0])
n = np.ones((3, 2), complex) * (1.5 + 0.01j)
wl = np.array([500.0, 600.0])

class Angle:
    def {method}(self):
        {mutation}
        return {value}

def outcome(theta, phi):
    try:
        obj = quelva.DataPy(d, n, wl, theta, phi)
    except BaseException as exc:
        return [type(exc).__name__, str(exc)]
    return ["stored", obj.d.tolist(), [list(map(str, row)) for row in obj.n.tolist()],
            obj.wl.tolist(), obj.theta, obj.phi]

angles = (Angle(), 0.0) if {which!r} == "theta" else (0.0, Angle())
mutated = outcome(*angles)
plain = outcome(0.0, 0.0)
print(json.dumps([mutated, plain]))
"""

# mutation inside the conversion -> what the call must give
MUTATIONS = [
    ("wl.resize((), refcheck=False)", ["TypeError", array_refused("wl", "ndarray")]),
    ("d.shape = ()", ["TypeError", array_refused("d", "ndarray")]),
    ("d.dtype = np.int8", ["TypeError", array_refused("d", "ndarray")]),
    ("wl.dtype = np.float32", ["TypeError", array_refused("wl", "ndarray")]),
    ("n.dtype = np.float64", ["TypeError", array_refused("n", "ndarray")]),
    ("wl.shape = (1, 2)", ["TypeError", array_refused("wl", "ndarray")]),
    ("n.shape = (6,)", ["PanicException", SHAPE_ERROR]),
    ("wl.resize(4, refcheck=False)", None),  # accepted as it now is
    ("n.resize((2, 5), refcheck=False)", None),
    ("d[0] = 7.0; n[1, 1] = 2j", None),
]


@pytest.mark.parametrize("which", ["theta", "phi"])
@pytest.mark.parametrize("method", ["__float__", "__index__"])
@pytest.mark.parametrize("mutation, expected", MUTATIONS, ids=[m for m, _ in MUTATIONS])
def test_arrays_changed_during_angle_conversion(mutation, expected, method, which):
    value = "0.0" if method == "__float__" else "0"
    code = MUTATION_CHILD.format(method=method, mutation=mutation, which=which, value=value)
    proc = run_python(code, timeout=60)
    assert proc.returncode == 0, proc.stderr
    mutated, plain = json.loads(proc.stdout)
    # Exactly what the arrays would have given had they been passed that way.
    assert mutated == plain
    if expected is None:
        assert mutated[0] == "stored"
    else:
        assert mutated == expected


UNINITIALISED_CHILD = """
import gc, quelva
quelva.{cls}.__new__ = lambda cls, *args: object.__new__(cls)
for _ in range(1000):
    obj = quelva.{cls}()
    assert type(obj) is quelva.{cls}
    for name in {members!r}:
        try:
            getattr(obj, name)() if name == "simulate" else getattr(obj, name)
        except TypeError as exc:
            assert str(exc) == {message!r}, str(exc)
        else:
            raise AssertionError(name + " read an uninitialised object")
    del obj
gc.collect()
print("freed")
"""

UNINITIALISED = {
    "DataPy": (
        ["d", "n", "wl", "theta", "phi", "simulate"],
        "the DataPy object was not initialised: create it with DataPy(d, n, wl, theta, phi)",
    ),
    "Simulation": (
        ["r", "t"],
        "the Simulation object was not initialised: Simulation objects come from "
        "DataPy.simulate()",
    ),
}


@pytest.mark.parametrize("cls", sorted(UNINITIALISED))
def test_instances_never_initialised(cls):
    members, message = UNINITIALISED[cls]
    code = UNINITIALISED_CHILD.format(cls=cls, members=members, message=message)
    proc = run_python(code, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["freed"]
    assert proc.stderr == ""
