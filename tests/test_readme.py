"""What the README tells a new user, checked: its code runs and gives the
figures it quotes, the two pitfalls it warns of (degrees, thicknesses in
another package's form) give the wrong results it names, and gain and grazing
incidence behave as it says. The oracles are the textbook formulas of a bare
interface and of a single film (Airy's sum), written here from the optics,
and the 50-digit evaluation of exact_reference.py."""

import cmath
import math
import re

import pytest

from conftest import REPO_ROOT

np = pytest.importorskip("numpy")

import quelva  # noqa: E402
from exact_reference import exact_spectra  # noqa: E402

README = (REPO_ROOT / "README.md").read_text(encoding="utf-8")


def quoted(figure):
    """The README states `figure` (as written there, e.g. "R = 0.0141")."""
    text = re.sub(r"^> ?", "", README, flags=re.M)  # inside the warning boxes too
    return figure in " ".join(text.split())


def film(n0, n1, n2, h, lam, theta, polarisation):
    """r and t (field amplitudes) of incidence medium | film of thickness h |
    exit medium, by Airy's sum of the film's multiple reflections; a wave
    crossing the film gains exp(i q1 2 pi h / lam)."""
    beta = n0 * math.sin(theta)
    q = [cmath.sqrt(m * m - beta * beta) for m in (n0, n1, n2)]
    media = (n0, n1, n2)

    def interface(a, b):
        if polarisation == "s":
            return (q[a] - q[b]) / (q[a] + q[b]), 2 * q[a] / (q[a] + q[b])
        na2, nb2 = media[a] ** 2, media[b] ** 2
        denominator = nb2 * q[a] + na2 * q[b]
        return (nb2 * q[a] - na2 * q[b]) / denominator, 2 * media[a] * media[b] * q[a] / denominator

    r01, t01 = interface(0, 1)
    r12, t12 = interface(1, 2)
    phase = cmath.exp(1j * q[1] * 2 * math.pi * h / lam)
    denominator = 1 + r01 * r12 * phase * phase
    return (r01 + r12 * phase * phase) / denominator, t01 * t12 * phase / denominator


def film_r(n0, n1, n2, h, lam, theta, phi):
    """Reflectance of a film for the power split cos^2 phi to s, sin^2 phi to p."""
    r_s, _ = film(n0, n1, n2, h, lam, theta, "s")
    r_p, _ = film(n0, n1, n2, h, lam, theta, "p")
    return math.cos(phi) ** 2 * abs(r_s) ** 2 + math.sin(phi) ** 2 * abs(r_p) ** 2


def bare_interface_r_s(n0, n1, theta):
    """Fresnel's s reflectance of one interface."""
    q0 = n0 * math.cos(theta)
    q1 = cmath.sqrt(n1 * n1 - (n0 * math.sin(theta)) ** 2)
    return abs((q0 - q1) / (q0 + q1)) ** 2


def python_blocks():
    return re.findall(r"```python\n(.*?)```", README, re.S)


def test_readme_code_runs_and_gives_its_figures(monkeypatch):
    """The README's code blocks, run in order as one session (the materials
    block from examples/, as it says), and the figures quoted below the first."""
    blocks = python_blocks()
    assert len(blocks) >= 2
    monkeypatch.syspath_prepend(str(REPO_ROOT / "examples"))
    session = {}
    for block in blocks:
        exec(compile(block, "README.md", "exec"), session)  # noqa: S102

    sim, wl = session["sim"], session["wl"]
    i = int(np.flatnonzero(wl == 550.0)[0])
    h = 550.0 / (4 * 1.38)
    expected = film_r(1.0, 1.38, 1.5, h, 550.0, math.radians(30.0), math.pi / 4)
    assert sim.r[i] == pytest.approx(expected, rel=1e-13)
    assert sim.r.shape == sim.t.shape == wl.shape
    assert np.allclose(sim.r + sim.t, 1.0, rtol=0, atol=1e-14)
    assert quoted(f"R = {expected:.4f} of unpolarised light at 30°")
    assert quoted(f"({film_r(1.0, 1.38, 1.5, h, 550.0, 0.0, 0.0):.4f} at normal incidence")
    assert quoted(f"against {bare_interface_r_s(1.0, 1.5, 0.0):.4f} for the bare glass")

    # The materials block: four media from the helpers, ready for quelva.
    n = session["n"]
    assert n.dtype == np.complex128 and n.shape == (4, session["wl"].size)
    assert np.all(n.imag >= 0)
    r = quelva.DataPy(np.array([100.0, 60.0]), n, session["wl"], 0.0, 0.0).simulate().r
    assert np.all((r > 0) & (r < 1))


THREE_MEDIA = np.array([[1.0], [1.38], [1.5]], dtype=np.complex128)


@pytest.mark.parametrize("d, expected", [
    ([99.6], film_r(1.0, 1.38, 1.5, 99.6, 550.0, 0.0, 0.0)),
    ([0.0, 99.6, 0.0], bare_interface_r_s(1.0, 1.5, 0.0)),  # the layer takes d[0] = 0
], ids=["layers_only", "one_per_medium"])
def test_thicknesses_in_another_packages_form(d, expected):
    r = quelva.DataPy(np.array(d), THREE_MEDIA, np.array([550.0]), 0.0, 0.0).simulate().r[0]
    assert r == pytest.approx(expected, rel=1e-13)
    assert quoted(f"`d = {d}` gives R = {expected:.4f}".replace("[0.0, 99.6, 0.0]", "[0, 99.6, 0]"))


def test_thicknesses_with_infinite_half_spaces_give_nan():
    sim = quelva.DataPy(np.array([np.inf, 99.6, np.inf]), THREE_MEDIA, np.array([550.0]), 0.0, 0.0).simulate()
    assert math.isnan(sim.r[0]) and math.isnan(sim.t[0])
    assert quoted("`d = [inf, 99.6, inf]` gives R = NaN")


def test_degrees_given_as_radians():
    n = np.array([[1.0], [1.5]], dtype=np.complex128)

    def r_s(theta):
        return quelva.DataPy(np.array([]), n, np.array([550.0]), theta, 0.0).simulate().r[0]

    wrong, right = r_s(45), r_s(np.deg2rad(45.0))
    assert wrong == pytest.approx(bare_interface_r_s(1.0, 1.5, 45.0), rel=1e-14)
    assert right == pytest.approx(bare_interface_r_s(1.0, 1.5, math.pi / 4), rel=1e-14)
    assert quoted(f"it gives R = {wrong:.4f} where 45° gives {right:.4f}")


@pytest.mark.parametrize("kappa", [-0.05, -0.01, 0.0, 0.01], ids=["gain", "weak_gain", "lossless", "loss"])
def test_gain_layers_follow_the_same_formulas(kappa):
    """A layer of negative kappa amplifies: R and T are Airy's, and R + T > 1."""
    wl = np.array([500.0, 550.0, 600.0])
    n1 = 1.5 + 1j * kappa
    n = np.array([np.ones(3), np.full(3, n1), np.full(3, 1.5)])
    sim = quelva.DataPy(np.array([2000.0]), n, wl, 0.0, 0.0).simulate()
    for i, lam in enumerate(wl):
        r, t = film(1.0, n1, 1.5, 2000.0, lam, 0.0, "s")
        assert sim.r[i] == pytest.approx(abs(r) ** 2, rel=1e-11)
        assert sim.t[i] == pytest.approx(1.5 * abs(t) ** 2, rel=1e-11)
    total = sim.r + sim.t
    if kappa < 0:
        assert np.all(total > 1.0)
    elif kappa > 0:
        assert np.all(total < 1.0)
    else:
        assert np.allclose(total, 1.0, rtol=0, atol=1e-14)
    if kappa == -0.05:
        assert quoted(f"R = {sim.r[0]:.3f} and T = {sim.t[0]:.2f} at 500 nm")


GRAZING_STACK = (np.array([100.0]), np.array([[1.0], [2.0 + 0.1j], [1.5]], dtype=np.complex128), 500.0)


@pytest.mark.parametrize("phi", [0.0, math.pi / 2, math.pi / 4], ids=["s", "p", "unpolarised"])
@pytest.mark.parametrize("distance", [1e-8, 5e-9, 1e-12, 0.0], ids=["1e-8", "5e-9", "1e-12", "0"])
def test_grazing_incidence_within_1e_8_is_nan(distance, phi):
    """Where sin(theta) rounds to 1, R and T are NaN."""
    theta = math.pi / 2 - distance
    assert math.sin(theta) == 1.0
    d, n, lam = GRAZING_STACK
    sim = quelva.DataPy(d, n, np.array([lam]), theta, phi).simulate()
    assert math.isnan(sim.r[0]) and math.isnan(sim.t[0])


@pytest.mark.parametrize("phi", [0.0, math.pi / 2], ids=["s", "p"])
@pytest.mark.parametrize("distance, quoted_error", [(1e-4, "3·10⁻⁹"), (1e-6, "9·10⁻⁵"), (3e-8, "1 %")])
def test_grazing_incidence_loses_accuracy_in_t(distance, quoted_error, phi):
    """Short of that, T's relative error stays below eps / cos^2 theta and
    near the README's figure; R's far smaller (2e-9 measured here; its
    rounding differs between processors, hence the margin)."""
    theta = math.pi / 2 - distance
    assert math.sin(theta) < 1.0
    d, n, lam = GRAZING_STACK
    sim = quelva.DataPy(d, n, np.array([lam]), theta, phi).simulate()
    exact_r, exact_t = exact_spectra(d, n[:, 0], lam, theta, phi)
    error_t = abs(sim.t[0] - exact_t) / exact_t
    assert error_t < 2.2e-16 / math.cos(theta) ** 2
    assert abs(sim.r[0] - exact_r) / exact_r < 5e-9
    # The loss comes from sin(theta) rounded to float64 before 1 - sin^2 cancels:
    # any correctly rounded sine loses about as much.
    written = {1e-4: 3e-9, 1e-6: 9e-5, 3e-8: 0.01}[distance]
    assert error_t > written / 4
    assert quoted(f"{quoted_error} at")
