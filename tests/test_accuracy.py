"""Accuracy of the spectra against a 50-digit evaluation of the same formulas
from the same float64 inputs, category by category: the module's R and T are
within 1e-12 relative wherever the reference operation order is, and never
worse than three times the reference order's own error (computed here in
Python floats, reference_order.py). T is compared where it is above 1e-300.
The spectra of up to 100 wavelengths and of more (the worker pool) are the
same, wavelength by wavelength."""

import math

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("mpmath")

import quelva  # noqa: E402
import reference_order  # noqa: E402
from exact_reference import exact_spectra  # noqa: E402

TIO2, SIO2, GLASS, AIR = 2.45 + 0.0j, 1.46 + 0.0j, 1.52 + 0.0j, 1.0 + 0.0j
SILVER, ALUMINIUM = 0.13 + 3.2j, 1.0 + 6.6j
SILICON = 4.0 + 0.4j


def quarter(index, centre):
    return centre / (4.0 * index.real)


# name: (media incidence first, d, wavelengths, theta, phi)
CATEGORIES = {
    "dielectric": (
        [AIR] + [TIO2, SIO2] * 4 + [GLASS],
        [quarter(TIO2, 600.0), quarter(SIO2, 600.0)] * 4,
        np.linspace(420.0, 780.0, 7),
        0.3,
        0.4,
    ),
    "absorbing": (
        [AIR, 2.1 + 0.05j, 1.7 + 0.3j, 3.0 + 0.5j, GLASS],
        [80.0, 150.0, 40.0],
        np.linspace(400.0, 800.0, 7),
        0.6,
        0.9,
    ),
    "metal": (
        [AIR, SIO2, SILVER, ALUMINIUM, GLASS],
        [90.0, 45.0, 12.0],
        np.linspace(450.0, 650.0, 7),
        0.5,
        0.2,
    ),
    # An air gap between two prisms beyond the critical angle: the wave
    # tunnels through the evanescent gap.
    "evanescent": (
        [GLASS, AIR, 1.9 + 0.0j, AIR, GLASS],
        [150.0, 60.0, 250.0],
        np.linspace(500.0, 700.0, 7),
        1.0,
        0.5,
    ),
    # Glass to air beyond the critical angle, with a film between: R = 1 and
    # T = 0.
    "total_internal_reflection": (
        [GLASS, TIO2, AIR],
        [75.0],
        np.linspace(500.0, 700.0, 7),
        1.1,
        0.3,
    ),
    # Im(k) h from about 190 to about 500: the exponents of the matrix run
    # into the hundreds, and beyond the plain range of the reference order.
    "thick_absorbers": (
        [AIR, SILICON, 1.5 + 0.001j, GLASS],
        [30000.0, 2000.0],
        np.linspace(400.0, 1000.0, 7),
        0.4,
        0.6,
    ),
    "many_layers": (
        [AIR] + [TIO2 + 0.0005j, SIO2] * 60 + [GLASS],
        [quarter(TIO2, c) if k % 2 == 0 else quarter(SIO2, c)
         for k, c in enumerate(np.linspace(450.0, 900.0, 120))],
        np.linspace(420.0, 950.0, 5),
        0.2,
        0.7,
    ),
}


def module_spectra(media, d, wl, theta, phi, repeat=1):
    n = np.array([np.tile(np.full(len(wl), m, dtype=complex), repeat) for m in media])
    sim = quelva.DataPy(
        np.asarray(d, dtype=np.float64), n, np.tile(np.asarray(wl, dtype=np.float64), repeat),
        theta, phi,
    ).simulate()
    return sim.r, sim.t


def relative_error(value, exact):
    return abs(value - exact) / abs(exact)


@pytest.mark.parametrize("category", sorted(CATEGORIES))
def test_error_against_fifty_digits(category):
    media, d, wl, theta, phi = CATEGORIES[category]
    r, t = module_spectra(media, d, wl, theta, phi)
    worst_module = 0.0
    worst_reference = 0.0
    for i, lam in enumerate(wl):
        r_exact, t_exact = exact_spectra(d, media, lam, theta, phi)
        r_ref, t_ref = reference_order.spectra(d, media, float(lam), theta, phi)
        pairs = [(r[i], r_ref, r_exact)]
        if t_exact > 1e-300:
            pairs.append((t[i], t_ref, t_exact))
        else:
            assert t[i] <= 1e-300, (i, t[i])
        for value, reference, exact in pairs:
            assert math.isfinite(value), (i, value)
            error = relative_error(value, exact)
            reference_error = relative_error(reference, exact) if math.isfinite(reference) else math.inf
            worst_module = max(worst_module, error)
            if reference_error <= 1e-12:
                assert error <= 1e-12, (category, i, error, reference_error)
            if math.isfinite(reference_error):
                worst_reference = max(worst_reference, reference_error)
            else:
                # The reference order overflows (thick absorbers): the module
                # still has to be close to the exact value.
                assert error <= 1e-10, (category, i, error)
    assert worst_module <= max(3.0 * worst_reference, 1e-15), (worst_module, worst_reference)
    print(f"{category}: module {worst_module:.2g}, reference order {worst_reference:.2g}")


@pytest.mark.parametrize("category", sorted(CATEGORIES))
def test_pool_gives_the_bits_of_the_calling_thread(category):
    media, d, wl, theta, phi = CATEGORIES[category]
    r, t = module_spectra(media, d, wl, theta, phi)
    repeat = 101 // len(wl) + 1  # more than 100 wavelengths: the pool
    r_many, t_many = module_spectra(media, d, wl, theta, phi, repeat)
    for k in range(repeat):
        chunk = slice(k * len(wl), (k + 1) * len(wl))
        assert r_many[chunk].tobytes() == r.tobytes()
        assert t_many[chunk].tobytes() == t.tobytes()
