"""Complex refractive indices for quelva's `n`: dispersion models, measured
tables, and the materials the examples use.

    python examples/materials.py [--wavelengths 450,550,650]

Every function here takes the wavelengths `wl` in nanometres (a 1-D array)
and returns one row of `n`: a complex128 array of the same length, with a
positive imaginary part for absorption (n + i k, k >= 0). Stack the rows of
the incidence medium, the layers and the exit medium into the 2-D `n` that
quelva takes:

    n = np.array([air(wl), mgf2(wl), bk7(wl)])      # shape (media, wavelengths)

The models:

- `cauchy`: n = A + B / lambda^2 + C / lambda^4 (lambda in micrometres), for
  transparent dielectrics over a limited range.
- `sellmeier`: n^2 = 1 + sum B_j lambda^2 / (lambda^2 - C_j) (lambda in
  micrometres, C_j in square micrometres), the form of glass catalogues.
- `drude_lorentz`: a permittivity of free electrons plus damped oscillators,
  written in photon energies (eV), for metals and absorbing films.
- `tabulated`: measured (lambda, n, k) interpolated linearly onto `wl`; it
  refuses wavelengths outside the table.

Run as a script, it prints the named materials at a few wavelengths.
"""

import argparse
import sys

import numpy as np

# h c in eV nm: photon energy E = HC_EV_NM / lambda.
HC_EV_NM = 1239.841984


def _micrometres(wl):
    return np.asarray(wl, dtype=np.float64) / 1000.0


def cauchy(wl, a, b=0.0, c=0.0):
    """n = a + b / lambda^2 + c / lambda^4 with lambda in micrometres (b in
    um^2, c in um^4); real, so no absorption."""
    lam2 = _micrometres(wl) ** 2
    return (a + b / lam2 + c / (lam2 * lam2)).astype(np.complex128)


def sellmeier(wl, b, c):
    """n from n^2 = 1 + sum_j b[j] lambda^2 / (lambda^2 - c[j]), lambda in
    micrometres and c[j] in um^2 (the squares of the resonance wavelengths).
    Valid away from the resonances, where n^2 > 0: a transparent medium."""
    lam2 = _micrometres(wl) ** 2
    n2 = 1.0 + sum(bj * lam2 / (lam2 - cj) for bj, cj in zip(b, c, strict=True))
    return np.sqrt(n2.astype(np.complex128))


def drude_lorentz(wl, eps_inf, plasma=0.0, damping=0.0, oscillators=()):
    """n = sqrt(eps) of the permittivity, photon energy E in eV,

        eps(E) = eps_inf - plasma^2 / (E (E + i damping))
                 + sum_j f_j E_j^2 / (E_j^2 - E^2 - i g_j E)

    with the free-electron (Drude) term of plasma energy `plasma` and damping
    `damping`, and one Lorentz oscillator (f_j, E_j, g_j) per entry of
    `oscillators`: strength f_j (its contribution to the static eps), resonance
    energy E_j and width g_j, all energies in eV. With positive dampings
    Im eps > 0, and the root with Im n >= 0 is the absorbing one."""
    energy = HC_EV_NM / np.asarray(wl, dtype=np.float64)
    eps = np.full(energy.shape, eps_inf, dtype=np.complex128)
    if plasma:
        eps -= plasma**2 / (energy * (energy + 1j * damping))
    for strength, resonance, width in oscillators:
        eps += strength * resonance**2 / (resonance**2 - energy**2 - 1j * width * energy)
    n = np.sqrt(eps)
    # The principal root has Re n >= 0; where eps sits just below the negative
    # real axis it has Im n < 0, a gain this medium does not have: take the other root.
    return np.where(n.imag < 0, -n, n)


def tabulated(wl, table_wl, table_n, table_k=None):
    """n + i k interpolated linearly onto `wl` from a measured table:
    `table_wl` in nm (increasing), `table_n` and `table_k` one value per entry
    (k = 0 if not given). Raises ValueError for a wavelength outside the table:
    extrapolating measured data gives values no material has."""
    wl = np.asarray(wl, dtype=np.float64)
    table_wl = np.asarray(table_wl, dtype=np.float64)
    table_n = np.asarray(table_n, dtype=np.float64)
    table_k = np.zeros_like(table_n) if table_k is None else np.asarray(table_k, dtype=np.float64)
    if table_wl.ndim != 1 or table_wl.size < 2 or table_n.shape != table_wl.shape or table_k.shape != table_wl.shape:
        raise ValueError("the table needs at least two wavelengths and one n (and k) per wavelength")
    if np.any(np.diff(table_wl) <= 0):
        raise ValueError("the table's wavelengths must increase")
    outside = (wl < table_wl[0]) | (wl > table_wl[-1]) | np.isnan(wl)
    if np.any(outside):
        raise ValueError(
            f"wavelength {wl[outside][0]:g} nm is outside the table ({table_wl[0]:g} to {table_wl[-1]:g} nm): "
            "no extrapolation")
    return np.interp(wl, table_wl, table_n) + 1j * np.interp(wl, table_wl, table_k)


# ---------------------------------------------------------------------------
# Named materials (catalogue and literature coefficients; a real coating's
# films differ from bulk values and are measured for serious work).


def air(wl):
    return np.ones(np.shape(wl), dtype=np.complex128)


def bk7(wl):
    """Schott N-BK7, the catalogue's Sellmeier coefficients (n_d = 1.5168)."""
    return sellmeier(wl, (1.03961212, 0.231792344, 1.01046945), (0.00600069867, 0.0200179144, 103.560653))


def fused_silica(wl):
    """Fused silica, Malitson's Sellmeier coefficients (n_d = 1.4585)."""
    return sellmeier(wl, (0.6961663, 0.4079426, 0.8974794), (0.0684043**2, 0.1162414**2, 9.896161**2))


def mgf2(wl):
    """Magnesium fluoride, ordinary ray (Dodge's coefficients)."""
    return sellmeier(wl, (0.48755108, 0.39875031, 2.3120353), (0.04338408**2, 0.09461442**2, 23.793604**2))


def tio2(wl):
    """A dense amorphous TiO2 film: a one-term Sellmeier fit, n about 2.4 in
    the visible."""
    return sellmeier(wl, (4.4,), (0.0795,))


def silicon_nitride(wl):
    """A PECVD silicon-nitride film: Cauchy, n about 2.0 at 600 nm."""
    return cauchy(wl, 1.94, 0.0198)


def silver(wl):
    """Silver as a Drude metal with the bound electrons in eps_inf; the
    damping is raised above the bulk value for the surface scattering of a
    thin film."""
    return drude_lorentz(wl, eps_inf=3.7, plasma=9.1, damping=0.05)


# Crystalline silicon at 300 K, rounded from published tables (Green, Sol.
# Energy Mater. Sol. Cells 92, 1305 (2008)); for examples, not metrology.
SILICON_TABLE = (
    (400.0, 450.0, 500.0, 550.0, 600.0, 650.0, 700.0, 750.0, 800.0, 850.0, 900.0, 950.0, 1000.0),
    (5.57, 4.67, 4.29, 4.08, 3.94, 3.85, 3.78, 3.73, 3.69, 3.66, 3.63, 3.60, 3.58),
    (0.303, 0.091, 0.044, 0.028, 0.020, 0.014, 0.011, 0.0077, 0.0054, 0.0035, 0.0022, 0.0012, 0.00051),
)


def silicon(wl):
    """Crystalline silicon, 400 to 1000 nm, from SILICON_TABLE."""
    return tabulated(wl, *SILICON_TABLE)


NAMED = {
    "air": air, "BK7": bk7, "fused silica": fused_silica, "MgF2": mgf2, "TiO2": tio2,
    "Si3N4 film": silicon_nitride, "silver": silver, "silicon": silicon,
}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--wavelengths", default="450,550,650",
                        help="comma-separated wavelengths in nm (default 450,550,650)")
    args = parser.parse_args(argv)
    try:
        wl = np.array([float(x) for x in args.wavelengths.split(",")])
    except ValueError:
        parser.error("--wavelengths takes numbers separated by commas")
    cells = [f"{w:g} nm" for w in wl]
    print(f"{'material':14s}" + "".join(f"{c:>18s}" for c in cells))
    for name, material in NAMED.items():
        try:
            row = material(wl)
        except ValueError as exc:
            print(f"{name:14s}  {exc}")
            continue
        print(f"{name:14s}" + "".join(f"{v.real:>10.4f} +{v.imag:6.4f}i" for v in row))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
