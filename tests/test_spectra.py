"""Spectra through simulate(): the reference stack, an independent single-film
formula, energy conservation, and the agreement of the calling-thread and the
worker-pool paths."""

import cmath
import math

import pytest

np = pytest.importorskip("numpy")

import quelva  # noqa: E402
from conftest import OUT_OF_BOUNDS  # noqa: E402


def spectra(d, n, wl, theta, phi):
    sim = quelva.DataPy(
        np.asarray(d, dtype=np.float64),
        np.asarray(n, dtype=np.complex128),
        np.asarray(wl, dtype=np.float64),
        theta,
        phi,
    ).simulate()
    return sim.r, sim.t


REFERENCE = [(0.0, 0.1381763414, 0.6686215790), (0.7, 0.1141781950, 0.6869837307),
             (math.pi / 2, 0.0803517717, 0.7128659763)]


@pytest.mark.parametrize("phi, r_ref, t_ref", REFERENCE)
def test_reference_stack(phi, r_ref, t_ref):
    r, t = spectra([100.0], [[1.0], [2.0 + 0.1j], [1.5]], [500.0], 0.5, phi)
    assert r.shape == t.shape == (1,)
    assert abs(r[0] - r_ref) < 1e-10
    assert abs(t[0] - t_ref) < 1e-10


def airy(n0, n1, n2, h, lam, theta, phi):
    """Single film by the Airy summation, with cmath."""
    beta = math.sin(theta) * n0
    q = [cmath.sqrt(m * m - beta * beta) for m in (n0, n1, n2)]
    c = [qj / m for qj, m in zip(q, (n0, n1, n2))]
    media = (n0, n1, n2)

    def coeffs(a, b, p):
        na, nb = media[a], media[b]
        if p:
            x, y = nb, na
        else:
            x, y = na, nb
        s = x * c[a] + y * c[b]
        return (x * c[a] - y * c[b]) / s, 2 * na * c[a] / s

    delta = 2 * math.pi * q[1] * h / lam
    out = []
    for p in (False, True):
        r01, t01 = coeffs(0, 1, p)
        r12, t12 = coeffs(1, 2, p)
        e2 = cmath.exp(2j * delta)
        den = 1 + r01 * r12 * e2
        out.append(((r01 + r12 * e2) / den, t01 * t12 * cmath.exp(1j * delta) / den))
    (rs, ts), (rp, tp) = out
    f = (q[2] / (n0 * math.cos(theta))).real
    sp, cp = math.sin(phi) ** 2, math.cos(phi) ** 2
    return sp * abs(rp) ** 2 + cp * abs(rs) ** 2, f * (sp * abs(tp) ** 2 + cp * abs(ts) ** 2)


@pytest.mark.parametrize("count", [7, 150])
@pytest.mark.parametrize(
    "n0, n1, n2, h, theta, phi",
    [
        (1.0, 2.0 + 0.1j, 1.5, 100.0, 0.5, 0.3),
        (1.0, 1.38, 1.52, 99.6, 0.0, 0.0),
        (1.33, 0.2 + 3.4j, 1.0, 30.0, 0.2, 1.2),
        (1.5, 1.0, 1.5, 200.0, 1.2, 0.8),  # frustrated total internal reflection
        (1.0 + 0.01j, 2.3, 3.5 + 0.2j, 55.0, 0.9, math.pi / 2),
    ],
)
def test_single_film_against_airy_formula(count, n0, n1, n2, h, theta, phi):
    wl = np.linspace(350.0, 900.0, count)
    n = np.empty((3, count), complex)
    n[0], n[1], n[2] = n0, n1, n2
    r, t = spectra([h], n, wl, theta, phi)
    for i, lam in enumerate(wl):
        r_ref, t_ref = airy(n0, n1, n2, h, lam, theta, phi)
        assert r[i] == pytest.approx(r_ref, rel=1e-9, abs=1e-12)
        assert t[i] == pytest.approx(t_ref, rel=1e-9, abs=1e-12)


def bragg(pairs, count):
    wl = np.linspace(400.0, 800.0, count)
    hi, lo = 2.35, 1.46
    n = [np.full(count, 1.0)]
    d = []
    for _ in range(pairs):
        n += [np.full(count, hi), np.full(count, lo)]
        d += [600.0 / (4 * hi), 600.0 / (4 * lo)]
    n.append(np.full(count, 1.52))
    return np.array(d), np.array(n, dtype=complex), wl


@pytest.mark.parametrize("count", [50, 100, 101, 333])
@pytest.mark.parametrize("theta, phi", [(0.0, 0.0), (0.6, 0.0), (0.6, math.pi / 2), (1.1, 0.9)])
def test_lossless_stacks_conserve_energy(count, theta, phi):
    d, n, wl = bragg(8, count)
    r, t = spectra(d, n, wl, theta, phi)
    assert np.all(np.abs(r + t - 1.0) < 1e-12)
    assert np.all((r >= 0) & (t >= 0))


def test_bragg_mirror_reflects_at_design_wavelength():
    d, n, wl = bragg(10, 401)
    r, _ = spectra(d, n, wl, 0.0, 0.0)
    assert r[np.argmin(np.abs(wl - 600.0))] > 0.999


def test_quarter_wave_coating_cancels_reflection():
    lam = 550.0
    n1 = math.sqrt(1.5)
    r, t = spectra([lam / (4 * n1)], [[1.0], [n1], [1.5]], [lam], 0.0, 0.3)
    assert r[0] < 1e-15
    assert t[0] == pytest.approx(1.0, abs=1e-14)


@pytest.mark.parametrize("count", [100, 101, 257])
def test_pool_and_calling_thread_agree_bit_for_bit(count):
    rng = np.random.default_rng(count)
    layers = 5
    n = rng.uniform(1.0, 3.0, (layers + 2, count)) + 1j * rng.uniform(0.0, 0.3, (layers + 2, count))
    d = rng.uniform(10.0, 200.0, layers)
    wl = rng.uniform(300.0, 1000.0, count)
    r, t = spectra(d, n, wl, 0.4, 0.6)
    for i in range(count):
        ri, ti = spectra(d, n[:, i : i + 1], wl[i : i + 1], 0.4, 0.6)
        assert (r[i], t[i]) == (ri[0], ti[0])


@pytest.mark.parametrize("count", [3, 120])
def test_extra_columns_and_thicknesses_have_no_effect(count):
    d, n, wl = bragg(3, count)
    r, t = spectra(d, n, wl, 0.3, 0.5)
    wide = np.concatenate([n, np.full((n.shape[0], 4), 9.0 + 9j)], axis=1)
    r2, t2 = spectra(np.concatenate([d, [1e6, -3.0]]), wide, wl, 0.3, 0.5)
    assert r.tolist() == r2.tolist() and t.tolist() == t2.tolist()


def test_sign_of_theta_does_not_matter():
    d, n, wl = bragg(2, 20)
    n = n + 0.05j
    assert [a.tolist() for a in spectra(d, n, wl, 0.7, 0.2)] == [a.tolist() for a in spectra(d, n, wl, -0.7, 0.2)]


def test_total_internal_reflection_transmits_nothing():
    r, t = spectra([], [[1.5, 1.5], [1.0, 1.0]], [500.0, 600.0], 1.0, 0.4)
    assert t.tolist() == [0.0, 0.0]
    assert r == pytest.approx([1.0, 1.0], abs=1e-14)


def test_bare_interface_between_identical_media():
    for theta in [0.0, 0.4, 1.2, 1.5]:
        r, t = spectra([], [[1.7], [1.7]], [500.0], theta, 0.3)
        assert abs(r[0]) < 1e-15 and t[0] == pytest.approx(1.0, abs=1e-14)


@pytest.mark.parametrize("count", [5, 100, 101, 300])
@pytest.mark.parametrize(
    "d, rows, cols_short",
    [([50.0], 3, True), ([], 3, False), ([50.0], 1, False), ([50.0], 0, False)],
)
def test_stacks_that_do_not_fit(count, d, rows, cols_short):
    cols = count - 1 if cols_short else count
    n = np.full((rows, cols), 1.5 + 0j)
    obj = quelva.DataPy(np.array(d), n, np.linspace(400, 700, count), 0.0, 0.0)
    with pytest.raises(BaseException) as info:
        obj.simulate()
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (OUT_OF_BOUNDS,)
    # The DataPy stays usable.
    assert obj.n.shape == (rows, cols)


def test_single_row_without_wavelengths_gives_empty_spectra():
    r, t = spectra([], np.zeros((1, 0)), [], 0.0, 0.0)
    assert r.shape == t.shape == (0,)
