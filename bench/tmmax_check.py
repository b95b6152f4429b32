"""A check of tmmax (PyPI) against tmm, run by hand; not part of the benchmark.

tmmax was a candidate peer. This script computes the same stacks of one, two
and three layers with tmmax and with tmm, at normal and at oblique incidence,
for s and p light, and prints the largest differences of R and T. The indices
given to tmm are those tmmax itself interpolates from its n-k database at each
wavelength (tmmax.data.create_nk_list), so the tabulated data cannot account
for a difference.

tmmax needs JAX, which the benchmark's venv does not carry; run it in a venv of
its own:

    python3.12 -m venv .venv/tmmax
    .venv/tmmax/bin/python -m pip install tmmax==1.1.4 tmm
    .venv/tmmax/bin/python bench/tmmax_check.py          # JAX's default, single precision
    .venv/tmmax/bin/python bench/tmmax_check.py --x64    # double precision
"""

from __future__ import annotations

import math
import sys

import jax
import jax.numpy as jnp
import numpy as np

import tmm
from tmmax.data import create_data, create_nk_list
from tmmax.tmm import tmm as tmmax_tmm

WL_NM = np.linspace(450.0, 850.0, 41)
STACKS = {
    "1 layer": (["Air", "TiO2", "SiO2"], [60.0]),
    "2 layers": (["Air", "TiO2", "MgF2", "SiO2"], [60.0, 95.0]),
    "3 layers": (["Air", "TiO2", "MgF2", "TiO2", "SiO2"], [60.0, 95.0, 60.0]),
}


def database_indices(materials) -> np.ndarray:
    """tmmax's complex indices of the stack's media, shape (media, wavelengths)."""
    names = sorted(set(materials))
    data = create_data(names)
    which = jnp.array([names.index(m) for m in materials])
    return np.array([np.asarray(create_nk_list(which, data, lam * 1e-9)) for lam in WL_NM]).T


def tmm_rt(n, thickness_nm, theta, pol):
    d_list = [math.inf, *thickness_nm, math.inf]
    out = [tmm.coh_tmm(pol, n[:, i], d_list, theta, lam) for i, lam in enumerate(WL_NM)]
    return np.array([o["R"] for o in out]), np.array([o["T"] for o in out])


def tmmax_rt(materials, thickness_nm, theta, pol):
    # tmmax takes lengths in metres; its results have shape (wavelengths, angles).
    r, t = tmmax_tmm(material_list=list(materials),
                     thickness_list=jnp.array(thickness_nm) * 1e-9,
                     wavelength_arr=jnp.asarray(WL_NM) * 1e-9,
                     angle_of_incidences=jnp.array([theta]),
                     polarization=pol)
    return np.asarray(r).reshape(-1), np.asarray(t).reshape(-1)


def main():
    if "--x64" in sys.argv:
        # Double precision, as the other codes use; JAX defaults to single.
        jax.config.update("jax_enable_x64", True)
    print(f"JAX {jax.__version__}, x64 {'on' if jax.config.jax_enable_x64 else 'off'}; "
          f"{WL_NM.size} wavelengths, {WL_NM[0]:g}-{WL_NM[-1]:g} nm")
    print(f"{'stack':10} {'theta':>6} {'pol':>3} {'max |dR|':>10} {'max |dT|':>10}"
          f" {'mean R tmm':>11} {'mean R tmmax':>13}")
    for label, (materials, thickness) in STACKS.items():
        n = database_indices(materials)
        for theta in (0.0, 0.5):
            for pol in ("s", "p"):
                r_ref, t_ref = tmm_rt(n, thickness, theta, pol)
                r, t = tmmax_rt(materials, thickness, theta, pol)
                print(f"{label:10} {theta:6.2f} {pol:>3} {np.max(np.abs(r - r_ref)):10.2e}"
                      f" {np.max(np.abs(t - t_ref)):10.2e} {r_ref.mean():11.4f}"
                      f" {r.mean():13.4f}")


if __name__ == "__main__":
    main()
