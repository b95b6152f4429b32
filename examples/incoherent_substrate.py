"""Coatings on a thick substrate, as a spectrometer sees them: the substrate's
multiple reflections added in power, not in amplitude.

    python examples/incoherent_substrate.py [--points 40000] [--plot FILE | --no-plot]

A millimetre-thick window has interference fringes about 0.1 nm apart, far
finer than any spectrometer resolves; what is measured is their average. That
average is computed directly by `incoherent_substrate` below: quelva gives the
coherent R and T of each coating (seen from both sides), and the light
bouncing inside the substrate is summed as powers, attenuated by the
substrate's absorption on every pass. Copy that one function into your own
code; it needs NumPy and quelva only.

Two cases, each plotted as the coherent spectrum of the whole stack (the
substrate as an ordinary layer, its fringes resolved), its average over a
sliding window of wavelengths, and the incoherent result:

1. a 1 mm BK7 window with a quarter-wave MgF2 anti-reflection coating on the
   front face, bare at the back, at normal incidence;
2. a 1 mm silicon wafer with silicon-nitride anti-reflection coatings on both
   faces near its band edge (1000-1300 nm), where the wafer turns from
   opaque to transparent, unpolarised light at 30 degrees.

Lengths are in nanometres. The plot is skipped with a message when Matplotlib
is not installed.
"""

import argparse
import math
import sys

import numpy as np

import quelva
from materials import air, bk7, cauchy, mgf2


def incoherent_substrate(front_d, front_n, substrate_thickness, back_d, back_n, wl, theta, phi):
    """Reflectance and transmittance of coating | thick substrate | coating,
    with the substrate's multiple reflections added incoherently.

    front_d, front_n: the front coating as a quelva stack description: the
        rows of front_n are the incidence medium, the coating's layers from the
        incidence side, and the substrate, with its complex index
        N_s = n_s + i*kappa_s per wavelength.
    back_d, back_n: the back coating the same way: rows the substrate (the same
        N_s), the layers, the exit medium. A bare face has an empty d and two
        rows.
    substrate_thickness: in the unit of d and wl.
    theta, phi: angle of incidence (radians, in the incidence medium) and the
        polarisation split, as quelva takes them: cos^2(phi) of the power is s,
        sin^2(phi) is p.
    Returns (R, T), float64 arrays with one value per wavelength.

    The incidence and exit media must be lossless (real indices), as must the
    substrate's real part be above n_0 sin(theta) (no total reflection inside).

    The optics, for each polarisation:
    - Each coating meets the substrate as a semi-infinite, lossless medium of
      index n_s = Re N_s. Its coherent R and T come from quelva, from the
      outside (R_f, T_f) and, on the reversed stack, from inside the substrate
      (R_f', T_f'; R_f' differs from R_f when a layer absorbs); the back
      coating gives R_b, T_b seen from inside. The substrate's kappa is kept
      out of these surface values on purpose: it acts over the thickness, and
      an exit medium without loss is where quelva's p transmittance is the
      Poynting flux.
    - Inside, the tangential wave number beta = n_0 sin(theta) is conserved:
      the angle in the substrate is asin(beta / n_s), and the normal component
      of the wave vector is q = sqrt(N_s^2 - beta^2) (in units of 2 pi / lambda).
      The normal power flux of a wave then falls as exp(-4 pi Im(q) z / lambda)
      (Beer-Lambert: exp(-4 pi kappa z / lambda) at normal incidence), so one
      crossing passes a = exp(-4 pi Im(q) D / lambda).
    - The light that enters (T_f) crosses, leaves at the back (T_b) or
      returns; every round trip multiplies it by a^2 R_b R_f'. Summing the
      geometric series of powers:
          R = R_f + T_f T_f' R_b a^2 / (1 - R_f' R_b a^2)
          T = T_f T_b a / (1 - R_f' R_b a^2)
    The polarisations are summed in power afterwards with the weights
    cos^2(phi) and sin^2(phi): s and p do not mix at planar interfaces.
    """
    wl = np.asarray(wl, dtype=np.float64)
    front_n = np.asarray(front_n, dtype=np.complex128)
    back_n = np.asarray(back_n, dtype=np.complex128)
    front_d = np.asarray(front_d, dtype=np.float64)
    back_d = np.asarray(back_d, dtype=np.float64)
    substrate = front_n[-1, : wl.size]
    n_s = substrate.real

    beta = front_n[0, : wl.size].real * math.sin(theta)
    theta_s = np.arcsin(beta / n_s)
    q_s = np.sqrt(substrate * substrate - beta * beta)
    passage = np.exp(-4.0 * np.pi * q_s.imag * substrate_thickness / wl)

    # The coatings with the lossless substrate: the front one from outside and
    # reversed (from inside), the back one from inside.
    front_out = front_n.copy()
    front_out[-1] = front_out[-1].real
    front_in = front_out[::-1].copy()
    back_in = back_n.copy()
    back_in[0] = back_in[0].real

    def coherent(d, n, angles, polarisation_phi):
        """quelva's R and T with a per-wavelength angle of incidence: one call
        when the angle is the same everywhere, else one per wavelength."""
        if np.all(angles == angles[0]):
            groups = [slice(None)]
        else:
            groups = [slice(i, i + 1) for i in range(wl.size)]
        r = np.empty(wl.size)
        t = np.empty(wl.size)
        for cols in groups:
            sim = quelva.DataPy(d, np.ascontiguousarray(n[:, cols]), np.ascontiguousarray(wl[cols]),
                                float(angles[cols][0]), polarisation_phi).simulate()
            r[cols] = sim.r
            t[cols] = sim.t
        return r, t

    outside = np.full(wl.size, float(theta))
    r_total = np.zeros(wl.size)
    t_total = np.zeros(wl.size)
    # phi = 0 is pure s; at phi = pi/2 the s weight cos^2 is 3.7e-33, which no
    # sum of powers below 1 can notice.
    for polarisation_phi, weight in ((0.0, math.cos(phi) ** 2), (math.pi / 2, math.sin(phi) ** 2)):
        r_f, t_f = coherent(front_d, front_out, outside, polarisation_phi)
        r_f_in, t_f_in = coherent(front_d[::-1].copy(), front_in, theta_s, polarisation_phi)
        r_b, t_b = coherent(back_d, back_in, theta_s, polarisation_phi)
        round_trip = r_f_in * r_b * passage * passage
        r_total += weight * (r_f + t_f * t_f_in * r_b * passage * passage / (1.0 - round_trip))
        t_total += weight * (t_f * t_b * passage / (1.0 - round_trip))
    return r_total, t_total


# ---------------------------------------------------------------------------
# Materials of the silicon case (near infrared, wl in nm)


def silicon(wl):
    """Crystalline silicon near its indirect band edge, 300 K: a Cauchy fit of
    the real index and the absorption coefficient interpolated in log scale
    between approximate published values (held at the ends)."""
    wl = np.asarray(wl, dtype=np.float64)
    n = cauchy(wl, 3.4015, 0.1735)
    table_wl = [1000.0, 1050.0, 1100.0, 1150.0, 1200.0]
    table_alpha = [64.0, 16.3, 3.5, 0.3, 0.022]  # 1/cm
    alpha = np.exp(np.interp(wl, table_wl, np.log(table_alpha))) * 1e-7  # 1/nm
    kappa = alpha * wl / (4.0 * np.pi)
    return n + 1j * kappa


def silicon_nitride(wl):
    # PECVD silicon nitride, n about 2.0 and no absorption in the near infrared.
    return cauchy(wl, 2.0)


def bk7_absorbing(wl):
    # BK7 with the weak absorption of optical glass (internal transmittance
    # about 99.8 % through 10 mm in the visible).
    return bk7(wl) + 8e-9j


# ---------------------------------------------------------------------------
# The two cases, and the coherent spectrum of the whole stack for comparison


class Case:
    def __init__(self, title, wl, front, substrate, thickness, back, theta, phi):
        """front, back: lists of (material, thickness) from the incidence
        side; the incidence and exit media are air."""
        self.title, self.wl, self.thickness, self.theta, self.phi = title, wl, thickness, theta, phi
        self.front_d = np.array([h for _, h in front], dtype=np.float64)
        self.front_n = np.array([air(wl)] + [m(wl) for m, _ in front] + [substrate(wl)])
        self.back_d = np.array([h for _, h in back], dtype=np.float64)
        self.back_n = np.array([substrate(wl)] + [m(wl) for m, _ in back] + [air(wl)])

    def incoherent(self):
        return incoherent_substrate(self.front_d, self.front_n, self.thickness, self.back_d, self.back_n,
                                    self.wl, self.theta, self.phi)

    def coherent(self):
        """The whole stack in one quelva call, the substrate a layer like the others."""
        d = np.concatenate([self.front_d, [self.thickness], self.back_d])
        n = np.concatenate([self.front_n, self.back_n[1:]])
        sim = quelva.DataPy(d, n, self.wl, self.theta, self.phi).simulate()
        return sim.r, sim.t


def cases(points):
    glass_wl = np.linspace(400.0, 800.0, points)
    silicon_wl = np.linspace(1000.0, 1300.0, points)
    mgf2_qw = 550.0 / (4.0 * mgf2(np.array([550.0]))[0].real)
    nitride_qw = 1150.0 / (4.0 * 2.0)
    return [
        Case("1 mm BK7, MgF2 AR coating in front, normal incidence", glass_wl,
             [(mgf2, mgf2_qw)], bk7_absorbing, 1e6, [], 0.0, 0.0),
        Case("1 mm silicon, Si3N4 AR coatings on both faces, 30 deg, unpolarised", silicon_wl,
             [(silicon_nitride, nitride_qw)], silicon, 1e6, [(silicon_nitride, nitride_qw)],
             math.radians(30.0), math.pi / 4),
    ]


def sliding_mean(values, width):
    """Mean over a centred window of `width` samples (shorter at the ends)."""
    sums = np.concatenate([[0.0], np.cumsum(values)])
    idx = np.arange(values.size)
    lo = np.maximum(idx - width // 2, 0)
    hi = np.minimum(idx + width // 2 + 1, values.size)
    return (sums[hi] - sums[lo]) / (hi - lo)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=40000, help="wavelengths per case (default 40000)")
    parser.add_argument("--plot", default="incoherent_substrate.png", help="PNG to write")
    parser.add_argument("--no-plot", action="store_true")
    args = parser.parse_args(argv)

    results = []
    for case in cases(args.points):
        r_inc, t_inc = case.incoherent()
        r_coh, t_coh = case.coherent()
        # A window of 2 % of the range holds many fringes at the default sampling.
        width = max(args.points // 50, 1)
        r_avg, t_avg = sliding_mean(r_coh, width), sliding_mean(t_coh, width)
        inner = slice(width, args.points - width)  # away from the truncated windows at the ends
        print(case.title)
        print(f"  incoherent R {r_inc.min():.4f} to {r_inc.max():.4f}, T {t_inc.min():.4f} to {t_inc.max():.4f}")
        print(f"  coherent spectrum averaged over {width} points: largest difference "
              f"|dR| {np.max(np.abs(r_avg - r_inc)[inner]):.1e}, |dT| {np.max(np.abs(t_avg - t_inc)[inner]):.1e}")
        results.append((case, (r_inc, t_inc), (r_coh, t_coh), (r_avg, t_avg)))

    if args.no_plot:
        return 0
    try:
        import matplotlib
    except ImportError:
        print("Matplotlib is not installed: no plot")
        return 0
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(12, 7.5))
    for column, (case, incoherent, coherent, averaged) in enumerate(results):
        wl = case.wl
        # Left: the whole range; right: a 2 nm zoom where the fringes are resolved.
        whole, zoom = axes[column]
        centre = round(wl[int(0.8 * wl.size)])
        in_zoom = np.abs(wl - centre) <= 1.0
        for ax, keep in ((whole, slice(None)), (zoom, in_zoom)):
            for k, name in ((0, "R"), (1, "T")):
                ax.plot(wl[keep], coherent[k][keep], lw=0.4, alpha=0.6, label=f"{name} coherent (fringes)")
                ax.plot(wl[keep], averaged[k][keep], lw=1.5, label=f"{name} coherent, sliding average")
                ax.plot(wl[keep], incoherent[k][keep], "k--", lw=1.0, label=f"{name} incoherent substrate")
            ax.set_xlabel("wavelength (nm)")
            ax.set_ylabel("R, T")
        whole.set_title(case.title, fontsize=9)
        zoom.set_title(f"zoom: {centre - 1:.0f}-{centre + 1:.0f} nm", fontsize=9)
        zoom.xaxis.set_major_locator(plt.MaxNLocator(5))
        whole.legend(fontsize=7, loc="center right")
    fig.tight_layout()
    fig.savefig(args.plot, dpi=110)
    print(f"plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
