"""The type stubs of the installed module, as mypy sees them."""

import textwrap

import pytest

mypy_api = pytest.importorskip("mypy.api")
pytest.importorskip("numpy")

USE = """
import numpy as np
import quelva

dp = quelva.DataPy(np.zeros(1), np.ones((3, 1), dtype=np.complex128), np.array([500.0]), 0.1, 0)
sim = dp.simulate()
reveal_type(sim.r)
reveal_type(dp.theta)
reveal_type(quelva.__all__)
bad_phi: int = dp.phi
quelva.DataPy(1, 2)
dp.d = dp.d
"""


def test_mypy_finds_and_applies_the_stubs(tmp_path):
    source = tmp_path / "use.py"
    source.write_text(textwrap.dedent(USE))
    # A cache of plain files: mypy's default cache is an SQLite database, and a
    # CPython built without its sqlite3 module (a musl one made here) has none.
    out, err, status = mypy_api.run(
        [str(source), "--no-incremental", "--no-sqlite-cache", "--cache-dir", str(tmp_path / "cache"),
         "--show-error-codes"]
    )
    assert "import-not-found" not in out and "import-untyped" not in out, out
    lines = out.splitlines()
    revealed = [line for line in lines if "Revealed type" in line]
    # NumPy 2's stubs name the scalar type float64; NumPy 1.26's spell out its alias.
    assert "numpy.float64" in revealed[0] or "numpy.floating[numpy._typing._64Bit]" in revealed[0], revealed[0]
    assert '"builtins.float"' in revealed[1] or '"float"' in revealed[1]
    assert "list[builtins.str]" in revealed[2] or "list[str]" in revealed[2]
    errors = [line for line in lines if ": error:" in line]
    assert any(":10: error:" in line and "assignment" in line for line in errors), out
    assert any(":11: error:" in line and "call-arg" in line for line in errors), out
    assert any(":12: error:" in line for line in errors), out
    assert status == 1
