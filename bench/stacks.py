"""Realistic thin-film stacks for the benchmark.

Wavelengths and thicknesses are in nanometres. Every index follows quelva's
convention: a medium absorbs when the imaginary part of its index is positive.
The dispersion models take the wavelength in micrometres or the photon energy
in electronvolts, as the usual tables do.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

HC_EV_NM = 1239.841984  # photon energy in eV times wavelength in nm


# ---------------------------------------------------------------------------
# Materials: each takes wavelengths in nm and returns complex128 indices.

def air(wl: np.ndarray) -> np.ndarray:
    return np.ones(wl.shape, dtype=np.complex128)


def _sellmeier(wl: np.ndarray, b: tuple[float, ...], c: tuple[float, ...]) -> np.ndarray:
    lam2 = (wl * 1e-3) ** 2
    eps = 1.0 + sum(bi * lam2 / (lam2 - ci) for bi, ci in zip(b, c))
    return np.sqrt(eps).astype(np.complex128)


def bk7(wl: np.ndarray) -> np.ndarray:
    """Borosilicate crown glass, three-term Sellmeier formula, lossless."""
    return _sellmeier(wl, (1.03961212, 0.231792344, 1.01046945),
                      (0.00600069867, 0.0200179144, 103.560653))


def silica(wl: np.ndarray) -> np.ndarray:
    """Fused silica, three-term Sellmeier formula, lossless."""
    return _sellmeier(wl, (0.6961663, 0.4079426, 0.8974794),
                      (0.0684043 ** 2, 0.1162414 ** 2, 9.896161 ** 2))


def magnesium_fluoride(wl: np.ndarray) -> np.ndarray:
    """MgF2, ordinary ray, three-term Sellmeier formula, lossless."""
    return _sellmeier(wl, (0.48755108, 0.39875031, 2.3120353),
                      (0.04338408 ** 2, 0.09461442 ** 2, 23.793604 ** 2))


def titania(wl: np.ndarray) -> np.ndarray:
    """Sputtered TiO2: Cauchy dispersion with an Urbach absorption tail."""
    lam = wl * 1e-3
    n = 2.16 + 0.045 / lam ** 2 + 0.0035 / lam ** 4
    k = 2e-3 * np.exp((0.40 - lam) / 0.03) + 2e-5
    return n + 1j * k


def asi(wl: np.ndarray) -> np.ndarray:
    """Amorphous-silicon-like absorber: one Lorentz oscillator."""
    e = HC_EV_NM / wl
    eps_inf, amp, e0, gamma = 1.0, 11.0, 3.6, 2.0
    eps = eps_inf + amp * e0 ** 2 / (e0 ** 2 - e ** 2 - 1j * gamma * e)
    return np.sqrt(eps)  # principal root: Im n >= 0 since Im eps > 0


def silver(wl: np.ndarray) -> np.ndarray:
    """Drude metal with silver-like constants."""
    e = HC_EV_NM / wl
    eps_inf, ep, gamma = 3.7, 9.0, 0.018
    eps = eps_inf - ep ** 2 / (e * (e + 1j * gamma))
    return np.sqrt(eps)


# ---------------------------------------------------------------------------
# Stacks

@dataclass
class Stack:
    name: str
    d: np.ndarray      # float64, L - 2 thicknesses
    n: np.ndarray      # complex128, shape (L, N)
    wl: np.ndarray     # float64, N wavelengths
    theta: float
    phi: float

    @property
    def layers(self) -> int:
        return self.n.shape[0]

    @property
    def points(self) -> int:
        return self.wl.shape[0]

    def subset(self, count: int) -> "Stack":
        """The same stack at `count` wavelengths spread evenly over the band."""
        if count >= self.points:
            return self
        idx = np.unique(np.linspace(0, self.points - 1, count).round().astype(np.intp))
        return Stack(self.name, self.d.copy(), np.ascontiguousarray(self.n[:, idx]),
                     np.ascontiguousarray(self.wl[idx]), self.theta, self.phi)


THETA = 0.3   # about 17 degrees
PHI = 0.6     # mixed polarisation: 68 % s, 32 % p
UNPOLARISED = math.pi / 4   # half s, half p


def _build(name, media, thick, wl, theta=THETA, phi=PHI) -> Stack:
    wl = np.ascontiguousarray(wl, dtype=np.float64)
    n = np.ascontiguousarray(np.stack([m(wl) for m in media]), dtype=np.complex128)
    d = np.ascontiguousarray(thick, dtype=np.float64)
    assert d.shape == (len(media) - 2,)
    return Stack(name, d, n, wl, float(theta), float(phi))


def film_on_glass(points: int, lo: float = 400.0, hi: float = 800.0) -> Stack:
    """W1/W2: 50 nm of an absorbing amorphous-silicon-like film on BK7."""
    wl = np.array([632.8]) if points == 1 else np.linspace(lo, hi, points)
    return _build("film on glass", [air, asi, bk7], [50.0], wl)


def _quarter(material, centre: float) -> float:
    return centre / (4.0 * material(np.array([centre]))[0].real)


def bragg_mirror(points: int, pairs: int = 10, centre: float = 600.0,
                 lo: float = 400.0, hi: float = 900.0, theta: float = THETA,
                 phi: float = PHI) -> Stack:
    """W3: (HL)^pairs quarter-wave TiO2/SiO2 mirror on BK7 (L = 2 pairs + 2)."""
    media = [air] + [titania, silica] * pairs + [bk7]
    thick = [_quarter(titania, centre), _quarter(silica, centre)] * pairs
    at = "" if (theta, phi) == (THETA, PHI) else f" at {math.degrees(theta):.0f}°, " + (
        "unpolarised" if phi == UNPOLARISED else f"phi = {phi:g}")
    return _build(f"{2 * pairs}-layer Bragg mirror{at}", media, thick,
                  np.linspace(lo, hi, points), theta, phi)


def chirped_mirror(points: int, pairs: int = 50, lo: float = 400.0,
                   hi: float = 1100.0) -> Stack:
    """W4: 50 TiO2/SiO2 pairs whose design wavelength runs from 450 to 950 nm,
    with a 10 nm silver-like layer in the middle (L = 2 pairs + 2 = 102)."""
    media = [air]
    thick = []
    for k, centre in enumerate(np.linspace(450.0, 950.0, pairs)):
        if k == pairs // 2:
            media += [silver, silica]
            thick += [10.0, _quarter(silica, centre)]
        else:
            media += [titania, silica]
            thick += [_quarter(titania, centre), _quarter(silica, centre)]
    media.append(bk7)
    return _build(f"{2 * pairs}-layer chirped mirror", media, thick,
                  np.linspace(lo, hi, points))


def periodic(layers: int, points: int, lo: float = 400.0, hi: float = 900.0) -> Stack:
    """Growth in L: `layers` media in all, alternating TiO2/SiO2 layers on BK7."""
    inner = layers - 2
    mats = [titania if k % 2 == 0 else silica for k in range(inner)]
    rng = np.random.default_rng(layers)
    thick = [_quarter(m, c) for m, c in zip(mats, rng.uniform(450.0, 850.0, inner))]
    return _build(f"periodic L={layers}", [air] + mats + [bk7], thick,
                  np.linspace(lo, hi, points))


def two_layer_coating(points: int, d_mgf2: float, d_tio2: float) -> Stack:
    """The fit: a MgF2 / TiO2 antireflection coating on BK7 at normal incidence."""
    return _build("MgF2 / TiO2 coating on BK7", [air, magnesium_fluoride, titania, bk7],
                  [d_mgf2, d_tio2], np.linspace(400.0, 900.0, points), theta=0.0, phi=0.0)


def single_interface_big(points: int) -> Stack:
    """The memory run: L = 3 at a very large number of wavelengths."""
    return _build("film on glass", [air, asi, bk7], [50.0], np.linspace(400.0, 800.0, points))


def absorbing_exit(points: int, phi: float) -> Stack:
    """An oxide film on an absorbing substrate: where s and p conventions part."""
    return _build("SiO2 on absorber", [air, silica, asi], [100.0],
                  np.linspace(400.0, 800.0, points), theta=0.9, phi=phi)


def frustrated_tir(points: int, phi: float) -> Stack:
    """Light from glass beyond the critical angle: evanescent waves in an air gap,
    then an absorbing film, on glass (lossless exit medium)."""
    return _build("frustrated total reflection", [bk7, air, asi, bk7], [300.0, 20.0],
                  np.linspace(400.0, 800.0, points), theta=1.0, phi=phi)


def workload(name: str, quick: bool = False) -> Stack:
    """The stacks of the named workloads (smaller ones for --quick)."""
    if name == "W1":
        return film_on_glass(1)
    if name == "W2":
        return film_on_glass(100)
    if name == "W3":
        return bragg_mirror(200 if quick else 1000)
    if name == "W4":
        return chirped_mirror(500 if quick else 10000)
    if name == "W5":
        # The W3 mirror at 45 degrees in unpolarised light: s and p part strongly.
        return bragg_mirror(200 if quick else 1000, theta=math.pi / 4, phi=UNPOLARISED)
    if name == "BIG":
        return single_interface_big(20000 if quick else 1000000)
    raise ValueError(name)
