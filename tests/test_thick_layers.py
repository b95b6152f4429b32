"""Thick absorbing layers: wafers, metal films and deep absorbing multilayers,
whose plain matrix product overflows float64, give finite spectra equal to
the exact value of the same equations, here evaluated with mpmath at 50
digits. Non-finite and degenerate inputs keep giving NaN as before."""

import math

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("mpmath")

import quelva  # noqa: E402
from exact_reference import exact_spectra  # noqa: E402

AIR = 1.0
GLASS = 1.5
SILICON = 4.0 + 0.4j  # silicon-like, at 400 nm
METAL = 0.13 + 3.2j  # silver-like, at 550 nm

# On the calling thread (<= 100 wavelengths) and on the worker pool (>= 101).
COUNTS = [1, 40, 100, 101, 160]


def spectra(d, n, wl, theta, phi):
    sim = quelva.DataPy(
        np.asarray(d, dtype=np.float64),
        np.asarray(n, dtype=np.complex128),
        np.asarray(wl, dtype=np.float64),
        theta,
        phi,
    ).simulate()
    return sim.r, sim.t


def uniform(media, count):
    """The index table of media that do not depend on the wavelength."""
    return np.array([np.full(count, m, dtype=complex) for m in media])


def sample(count):
    """The wavelength indices checked against the slow 50-digit reference."""
    return sorted({0, count // 3, count // 2, count - 1})


def check_exact(r, t, d, n, wl, theta, phi, rel_r=1e-11, rel_t=1e-9):
    for i in sample(len(wl)):
        r_ref, t_ref = exact_spectra(d, n[:, i], wl[i], theta, phi)
        assert r[i] == pytest.approx(r_ref, rel=rel_r, abs=0.0), i
        # T may be a subnormal number: its last bits are its only bits.
        assert t[i] == pytest.approx(t_ref, rel=rel_t, abs=1e-321), i


def front_reflectance(n0, n1, theta, phi):
    """R of the bare interface between n0 and a semi-infinite medium n1."""
    import cmath

    beta = math.sin(theta) * n0
    qa = cmath.sqrt(n0 * n0 - beta * beta)
    qb = cmath.sqrt(n1 * n1 - beta * beta)
    rs = (qa - qb) / (qa + qb)
    rp = (n1 * n1 * qa - n0 * n0 * qb) / (n1 * n1 * qa + n0 * n0 * qb)
    return math.sin(phi) ** 2 * abs(rp) ** 2 + math.cos(phi) ** 2 * abs(rs) ** 2


# ---------------------------------------------------------------------------
# Opaque layers.

OPAQUE = [
    pytest.param(SILICON, 500_000.0, 400.0, id="silicon_wafer_500um"),
    pytest.param(METAL, 50_000.0, 550.0, id="metal_film_50um"),
]


@pytest.mark.parametrize("count", COUNTS)
@pytest.mark.parametrize("layer, h, first", OPAQUE)
@pytest.mark.parametrize("theta, phi", [(0.0, 0.0), (0.5, 0.3), (1.1, math.pi / 2)])
def test_opaque_layer_between_air_and_glass(count, layer, h, first, theta, phi):
    wl = np.linspace(first, first + 20.0, count)
    n = uniform([AIR, layer, GLASS], count)
    r, t = spectra([h], n, wl, theta, phi)
    assert np.all(np.isfinite(r)) and np.all(np.isfinite(t))
    # Nothing comes through, and the light reflects as from the front
    # interface with a semi-infinite layer behind it.
    assert np.all(t == 0.0)
    assert r == pytest.approx(np.full(count, front_reflectance(AIR, layer, theta, phi)), rel=1e-13)
    check_exact(r, t, [h], n, wl, theta, phi)


@pytest.mark.parametrize("count", [3, 130])
def test_metal_film_whose_true_transmittance_is_subnormal(count):
    """A 9.9 um metal film at 550 nm: the plain matrix elements are finite
    (about e^362) but |M00|^2 overflows, which made R NaN; T is a tiny
    subnormal number, kept as such."""
    wl = np.linspace(550.0, 551.0, count)
    n = uniform([AIR, METAL, GLASS], count)
    r, t = spectra([9900.0], n, wl, 0.0, 0.4)
    assert np.all(np.isfinite(r))
    assert np.all((t > 0.0) & (t < np.finfo(float).tiny))
    check_exact(r, t, [9900.0], n, wl, 0.0, 0.4, rel_t=1e-6)


@pytest.mark.parametrize("count", [2, 101])
@pytest.mark.parametrize("gap", [1e4, 1e6])
def test_thick_gap_beyond_the_critical_angle(count, gap):
    """Glass, an air gap, glass, at 1 rad (beyond the critical angle): the
    wave in the gap is evanescent and grows by e^(Im(k) h) across it, which
    overflows for a 1 mm gap. R is 1, T the exact tunnelling value or 0."""
    wl = np.linspace(500.0, 520.0, count)
    n = uniform([GLASS, AIR, GLASS], count)
    r, t = spectra([gap], n, wl, 1.0, 0.3)
    assert r == pytest.approx(np.ones(count), rel=1e-15)
    assert np.all(t < 1e-80)
    check_exact(r, t, [gap], n, wl, 1.0, 0.3)


def absorbing_multilayer(layers, count, first=600.0):
    """Air, `layers` layers of 5 um alternating between 2.0 + 0.1i and
    1.6 + 0.05i (Im(k) h of about 5.2 and 2.6 at 600 nm), glass."""
    media = [AIR] + [2.0 + 0.1j if j % 2 == 0 else 1.6 + 0.05j for j in range(layers)] + [GLASS]
    return np.full(layers, 5000.0), uniform(media, count), np.linspace(first, first + 10.0, count)


@pytest.mark.parametrize("count", COUNTS)
@pytest.mark.parametrize("theta, phi", [(0.0, 0.0), (0.7, 0.9)])
def test_two_hundred_absorbing_layers(count, theta, phi):
    """The layers' exponents add up to about 785, past exp's limit of 709."""
    d, n, wl = absorbing_multilayer(200, count)
    r, t = spectra(d, n, wl, theta, phi)
    assert np.all(np.isfinite(r)) and np.all(t == 0.0)
    assert np.all((r > 0.05) & (r < 0.2))
    check_exact(r, t, d, n, wl, theta, phi)


@pytest.mark.parametrize("count", [2, 101])
def test_absorbing_layers_with_a_subnormal_transmittance(count):
    d, n, wl = absorbing_multilayer(92, count)
    r, t = spectra(d, n, wl, 0.3, 0.5)
    assert np.all(np.isfinite(r))
    assert np.all((t > 0.0) & (t < np.finfo(float).tiny))
    check_exact(r, t, d, n, wl, 0.3, 0.5, rel_t=1e-6)


def test_both_paths_give_the_same_bits():
    """The same wavelengths on the calling thread (100) and on the pool (101)."""
    wl = np.linspace(400.0, 700.0, 101)
    index = np.linspace(0.05, 0.5, 101)
    for d, media in (([500_000.0], [AIR, 4.0 + 1j * index, GLASS]),
                     ([99.0, 50_000.0], [AIR, 1.38, 0.13 + 3j + 10 * index, GLASS])):
        n = np.array([np.broadcast_to(np.asarray(m, dtype=complex), wl.shape) for m in media])
        r_pool, t_pool = spectra(d, n, wl, 0.4, 0.6)
        r_seq, t_seq = spectra(d, n[:, :100], wl[:100], 0.4, 0.6)
        assert np.array_equal(r_pool[:100], r_seq) and np.array_equal(t_pool[:100], t_seq)
        assert np.all(np.isfinite(r_pool)) and np.all(np.isfinite(t_pool))


# ---------------------------------------------------------------------------
# A layer split into two halves of the same index.

SPLITS = [
    pytest.param([AIR, 2.0 + 0.1j, GLASS], [100.0], 0, 500.0, id="thin_film"),
    pytest.param([AIR, 1.38, 2.1 + 0.02j, GLASS], [99.0, 1500.0], 1, 600.0, id="thin_stack"),
    pytest.param([AIR, SILICON, GLASS], [500_000.0], 0, 400.0, id="wafer"),
    pytest.param([AIR, 1.38, METAL, GLASS], [99.0, 50_000.0], 1, 550.0, id="metal_film"),
    pytest.param([AIR, METAL, GLASS], [9900.0], 0, 550.0, id="metal_film_subnormal_t"),
]


@pytest.mark.parametrize("count", [5, 120])
@pytest.mark.parametrize("media, d, split, first", SPLITS)
@pytest.mark.parametrize("theta", [0.0, 0.8])
def test_splitting_a_layer_changes_only_rounding(count, media, d, split, first, theta):
    wl = np.linspace(first, first + 30.0, count)
    halves_media = media[: split + 2] + media[split + 1 :]
    halves_d = d[:split] + [d[split] / 2, d[split] / 2] + d[split + 1 :]
    r, t = spectra(d, uniform(media, count), wl, theta, 0.4)
    r2, t2 = spectra(halves_d, uniform(halves_media, count), wl, theta, 0.4)
    assert np.all(np.isfinite(r)) and np.all(np.isfinite(t))
    assert r2 == pytest.approx(r, rel=1e-12)
    assert t2 == pytest.approx(t, rel=1e-6, abs=1e-321)


# ---------------------------------------------------------------------------
# Non-finite and degenerate inputs.

INF = math.inf
NAN = math.nan
THETA = 0.5


def film_on_wafer(film=1.4, h_film=1000.0, h_wafer=500_000.0, lam=400.0):
    return [h_film, h_wafer], [AIR, film, SILICON, GLASS], lam


DEGENERATE = [
    pytest.param(*film_on_wafer(film=0.0), THETA, id="film_index_0"),
    pytest.param([500_000.0], [0.0, SILICON, GLASS], 400.0, THETA, id="incidence_index_0"),
    pytest.param(*film_on_wafer(lam=0.0), THETA, id="wl_0"),
    # A film of index sin(theta) has cosine 0: its back interface has t = 0.
    pytest.param(*film_on_wafer(film=math.sin(THETA)), THETA, id="vanishing_denominator"),
    pytest.param(*film_on_wafer(h_wafer=INF), THETA, id="d_inf"),
    pytest.param(*film_on_wafer(h_film=NAN), THETA, id="d_nan"),
    pytest.param(*film_on_wafer(lam=NAN), THETA, id="wl_nan"),
    pytest.param(*film_on_wafer(), NAN, id="theta_nan"),
    pytest.param(*film_on_wafer(), INF, id="theta_inf"),
    pytest.param(*film_on_wafer(film=complex(NAN, 0.0)), THETA, id="index_nan"),
    pytest.param(*film_on_wafer(film=complex(1.4, INF)), THETA, id="index_inf"),
    # Finite, but Im(k) h itself overflows: there is nothing to scale.
    pytest.param(*film_on_wafer(h_wafer=1e308, lam=1.0), THETA, id="attenuation_overflows"),
]


@pytest.mark.parametrize("count", [1, 101])
@pytest.mark.parametrize("d, media, lam, theta", DEGENERATE)
def test_degenerate_inputs_still_give_nan(count, d, media, lam, theta):
    """What the plain arithmetic gives for these is NaN; it stays NaN rather
    than becoming a made-up finite value."""
    r, t = spectra(d, uniform(media, count), np.full(count, lam), theta, 0.3)
    assert np.all(np.isnan(r))
    assert np.all(np.isnan(t))


def test_a_thick_layer_beside_a_nan_wavelength_is_mended_alone():
    """Each wavelength is mended on its own: NaN input in one column does not
    spread to the others, and does not stop them being mended."""
    count = 120
    n = uniform([AIR, 1.4, SILICON, GLASS], count)
    n[1, 7] = complex(NAN, 0.0)
    wl = np.linspace(400.0, 420.0, count)
    r, t = spectra([1000.0, 500_000.0], n, wl, THETA, 0.3)
    assert math.isnan(r[7]) and math.isnan(t[7])
    rest = np.arange(count) != 7
    assert np.all(np.isfinite(r[rest])) and np.all(t[rest] == 0.0)
    check_exact(r, t, [1000.0, 500_000.0], n, wl, THETA, 0.3)
