"""Reflectance and transmittance of three real thin-film stacks with quelva.

    python examples/spectra.py [PLOT.png]

1. A quarter-wave MgF2 anti-reflection coating on BK7 glass (and the bare
   glass for comparison).
2. A Bragg mirror: eight pairs of quarter-wave TiO2 / SiO2 layers on glass.
3. A 40 nm silver film on glass, an absorbing metal with a complex index.

All lengths are in nanometres. The refractive indices are dispersive:
Sellmeier formulas for the dielectrics, a Drude model for silver. The script
prints a short table of R and T and writes a plot of the spectra (default
`spectra.png` in the current directory).
"""

import math
import sys

import numpy as np

import quelva


# ---------------------------------------------------------------------------
# Materials: complex refractive index at wavelengths `wl` in nm. A positive
# imaginary part means absorption.


def sellmeier(wl, terms):
    """n from n^2 = 1 + sum B lambda^2 / (lambda^2 - C), lambda in micrometres."""
    lam2 = (np.asarray(wl) / 1000.0) ** 2
    n2 = 1.0 + sum(b * lam2 / (lam2 - c) for b, c in terms)
    return np.sqrt(n2).astype(np.complex128)


def bk7(wl):
    return sellmeier(wl, [(1.03961212, 0.00600069867), (0.231792344, 0.0200179144), (1.01046945, 103.560653)])


def fused_silica(wl):
    return sellmeier(wl, [(0.6961663, 0.0684043**2), (0.4079426, 0.1162414**2), (0.8974794, 9.896161**2)])


def mgf2(wl):
    # Ordinary ray.
    return sellmeier(wl, [(0.48755108, 0.04338408**2), (0.39875031, 0.09461442**2), (2.3120353, 23.793604**2)])


def tio2(wl):
    # Single-oscillator fit for a dense amorphous film (n about 2.4 in the visible).
    return sellmeier(wl, [(4.4, 0.0795)])


def silver(wl):
    # Drude model: eps = eps_inf - wp^2 / (w (w + i gamma)), energies in eV; the
    # damping is raised above the bulk value for the surface scattering of a film.
    energy = 1239.84193 / np.asarray(wl)
    eps = 3.7 - 9.1**2 / (energy * (energy + 0.05j))
    n = np.sqrt(eps)
    return np.where(n.imag < 0, -n, n)


def air(wl):
    return np.ones(len(wl), dtype=np.complex128)


# ---------------------------------------------------------------------------
# Stacks


def stack(wl, media, thicknesses, theta=0.0, phi=0.0):
    """R and T of incidence medium, layers, exit medium (functions of wl)."""
    n = np.array([medium(wl) for medium in media])
    sim = quelva.DataPy(np.array(thicknesses, dtype=float), n, wl, theta, phi).simulate()
    return sim.r, sim.t


def quarter_wave(material, design_wl):
    return design_wl / (4.0 * material(np.array([design_wl]))[0].real)


def main(argv):
    out = argv[1] if len(argv) > 1 else "spectra.png"
    wl = np.linspace(380.0, 900.0, 521)

    cases = {}
    cases["bare BK7 glass"] = stack(wl, [air, bk7], [])
    cases["MgF2 AR coating on BK7"] = stack(wl, [air, mgf2, bk7], [quarter_wave(mgf2, 550.0)])
    cases["MgF2 AR coating, 45 deg, unpolarised"] = stack(
        wl, [air, mgf2, bk7], [quarter_wave(mgf2, 550.0)], theta=math.radians(45.0), phi=math.pi / 4
    )
    pairs = 8
    mirror_media = [air] + [tio2, fused_silica] * pairs + [bk7]
    mirror_d = [quarter_wave(tio2, 650.0), quarter_wave(fused_silica, 650.0)] * pairs
    cases["Bragg mirror (8 x TiO2/SiO2)"] = stack(wl, mirror_media, mirror_d)
    cases["40 nm silver on BK7"] = stack(wl, [air, silver, bk7], [40.0])

    show = [450.0, 550.0, 650.0, 800.0]
    idx = [int(np.argmin(np.abs(wl - w))) for w in show]
    head = "".join(f"   {w:4.0f} nm R / T  " for w in show)
    print(f"{'stack':40s}{head}")
    for name, (r, t) in cases.items():
        cells = "".join(f"   {r[i]:7.4f} / {t[i]:6.4f}" for i in idx)
        print(f"{name:40s}{cells}")
    r, t = cases["40 nm silver on BK7"]
    print(f"{'  silver absorption A = 1 - R - T':40s}" + "".join(f"   {1 - r[i] - t[i]:16.4f}" for i in idx))

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(3, 1, figsize=(8, 10), sharex=True)
    ax = axes[0]
    for name in ["bare BK7 glass", "MgF2 AR coating on BK7", "MgF2 AR coating, 45 deg, unpolarised"]:
        ax.plot(wl, 100 * cases[name][0], label=name)
    ax.set_ylabel("reflectance R (%)")
    ax.set_title("Quarter-wave MgF2 anti-reflection coating (design 550 nm)")
    ax.set_ylim(bottom=0)
    ax.legend(fontsize=8)

    ax = axes[1]
    r, t = cases["Bragg mirror (8 x TiO2/SiO2)"]
    ax.plot(wl, r, label="R")
    ax.plot(wl, t, label="T")
    ax.set_ylabel("R, T")
    ax.set_title("Bragg mirror, 8 pairs TiO2/SiO2 (design 650 nm)")
    ax.legend(fontsize=8)

    ax = axes[2]
    r, t = cases["40 nm silver on BK7"]
    ax.plot(wl, r, label="R")
    ax.plot(wl, t, label="T")
    ax.plot(wl, 1 - r - t, label="A = 1 - R - T")
    ax.set_ylabel("R, T, A")
    ax.set_title("40 nm silver film on BK7 (Drude model)")
    ax.set_xlabel("wavelength (nm)")
    ax.legend(fontsize=8)

    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"plot written to {out}")


if __name__ == "__main__":
    main(sys.argv)
