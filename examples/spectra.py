"""Reflectance and transmittance of three real thin-film stacks with quelva.

    python examples/spectra.py [PLOT.png] [--points 521] [--no-plot]

1. A quarter-wave MgF2 anti-reflection coating on BK7 glass (and the bare
   glass for comparison), at normal incidence and at 45 degrees.
2. A Bragg mirror: eight pairs of quarter-wave TiO2 / SiO2 layers on glass.
3. A 40 nm silver film on glass, an absorbing metal with a complex index.

All lengths are in nanometres. The refractive indices are dispersive
(examples/materials.py): Sellmeier formulas for the dielectrics, a Drude
model for silver. Every substrate is semi-infinite: the light that enters it
never comes back, as for a glass block with a roughened or index-matched back
face (examples/incoherent_substrate.py adds the back face of a real window).
The script prints a table of R and T and writes a plot of the spectra
(default `spectra.png` in the current directory).
"""

import argparse
import sys

import numpy as np

import quelva
from materials import air, bk7, fused_silica, mgf2, silver, tio2


def stack(wl, media, thicknesses, theta=0.0, phi=0.0):
    """R and T of incidence medium, layers, exit medium (functions of wl);
    theta in radians, phi = pi/4 for unpolarised light."""
    n = np.array([medium(wl) for medium in media])
    sim = quelva.DataPy(np.array(thicknesses, dtype=np.float64), n, wl, theta, phi).simulate()
    return sim.r, sim.t


def quarter_wave(material, design_wl):
    return design_wl / (4.0 * material(np.array([design_wl]))[0].real)


AR_45 = "MgF2 AR coating, 45°, unpolarised"
MIRROR = "Bragg mirror (8 x TiO2/SiO2)"
SILVER = "40 nm silver on BK7"


def compute(wl):
    """The stacks' (R, T), by name; normal incidence unless the name says otherwise."""
    cases = {}
    cases["bare BK7 glass"] = stack(wl, [air, bk7], [])
    cases["MgF2 AR coating on BK7"] = stack(wl, [air, mgf2, bk7], [quarter_wave(mgf2, 550.0)])
    cases[AR_45] = stack(wl, [air, mgf2, bk7], [quarter_wave(mgf2, 550.0)],
                         theta=np.deg2rad(45.0), phi=np.pi / 4)
    pairs = 8
    mirror_media = [air] + [tio2, fused_silica] * pairs + [bk7]
    mirror_d = [quarter_wave(tio2, 650.0), quarter_wave(fused_silica, 650.0)] * pairs
    cases[MIRROR] = stack(wl, mirror_media, mirror_d)
    cases[SILVER] = stack(wl, [air, silver, bk7], [40.0])
    return cases


NAME_WIDTH = 36
VALUE_WIDTH = 8


def table(wl, cases, show=(450.0, 550.0, 650.0, 800.0)):
    """The table's lines: R and T of every stack at the wavelengths nearest
    to `show`, in columns that line up with their headings."""
    idx = [int(np.argmin(np.abs(wl - w))) for w in show]
    cell = 2 * VALUE_WIDTH
    lines = [
        "R and T as fractions of the incident power; normal incidence unless stated;",
        "substrates semi-infinite (no light returns from their back face).",
        f"{'wavelength':{NAME_WIDTH}s}" + "".join(f"{f'{wl[i]:.0f} nm':>{cell}s}" for i in idx),
        f"{'stack':{NAME_WIDTH}s}" + f"{'R':>{VALUE_WIDTH}s}{'T':>{VALUE_WIDTH}s}" * len(idx),
    ]
    for name, (r, t) in cases.items():
        lines.append(f"{name:{NAME_WIDTH}s}"
                     + "".join(f"{r[i]:{VALUE_WIDTH}.4f}{t[i]:{VALUE_WIDTH}.4f}" for i in idx))
    r, t = cases[SILVER]
    lines.append((f"{'  silver: absorbed A = 1 - R - T':{NAME_WIDTH}s}"
                  + "".join(f"{1 - r[i] - t[i]:{VALUE_WIDTH}.4f}{'':{VALUE_WIDTH}s}" for i in idx)).rstrip())
    return lines


def plot(wl, cases, path):
    try:
        import matplotlib
    except ImportError:
        print("Matplotlib is not installed: no plot")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(3, 1, figsize=(8, 10.5), sharex=True)
    fig.suptitle("Light from air, at normal incidence (where polarisation does not matter) unless stated;\n"
                 "every substrate semi-infinite (no reflection from its back face)", fontsize=10)
    ax = axes[0]
    for name, label in (("bare BK7 glass", "bare BK7, normal incidence"),
                        ("MgF2 AR coating on BK7", "MgF2 coating, normal incidence"),
                        (AR_45, "MgF2 coating, 45°, unpolarised")):
        ax.plot(wl, 100 * cases[name][0], label=label)
    ax.set_ylabel("reflectance R (%)")
    ax.set_title("Quarter-wave MgF2 anti-reflection coating on BK7 (design 550 nm)", fontsize=10)
    ax.set_ylim(bottom=0)
    ax.legend(fontsize=8)

    ax = axes[1]
    r, t = cases[MIRROR]
    ax.plot(wl, 100 * r, label="R")
    ax.plot(wl, 100 * t, label="T")
    ax.set_ylabel("R, T (%)")
    ax.set_title("Bragg mirror, 8 pairs TiO2/SiO2 on BK7 (design 650 nm), normal incidence", fontsize=10)
    ax.legend(fontsize=8)

    ax = axes[2]
    r, t = cases[SILVER]
    ax.plot(wl, 100 * r, label="R")
    ax.plot(wl, 100 * t, label="T")
    ax.plot(wl, 100 * (1 - r - t), label="A = 1 - R - T (absorbed in the silver)")
    ax.set_ylabel("R, T, A (%)")
    ax.set_title("40 nm silver film (Drude model) on BK7, normal incidence", fontsize=10)
    ax.set_xlabel("wavelength (nm)")
    ax.legend(fontsize=8)

    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("plot", nargs="?", default="spectra.png", help="PNG to write (default spectra.png)")
    parser.add_argument("--points", type=int, default=521, help="wavelengths, 380 to 900 nm (default 521)")
    parser.add_argument("--no-plot", action="store_true")
    args = parser.parse_args(argv)
    if args.points < 2:
        parser.error("--points must be at least 2")

    wl = np.linspace(380.0, 900.0, args.points)
    cases = compute(wl)
    print("\n".join(table(wl, cases)))
    if not args.no_plot:
        plot(wl, cases, args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
