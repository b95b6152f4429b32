"""Fit the layer thicknesses of a coating to a measured reflectance spectrum.

    python examples/fit_thickness.py [--points 300] [--noise 0.002] [--seed 1]
                                     [--plot FILE | --no-plot]

The sample is a two-layer coating on a silicon wafer, air | SiO2 | Si3N4 |
silicon, measured in reflection at 8 degrees with unpolarised light from 400
to 1000 nm. Its "measurement" here is synthetic: quelva's spectrum of the
true thicknesses plus Gaussian noise of `--noise` (absolute, in R). The fit
starts from nominal thicknesses some 15 % off and adjusts both with
`scipy.optimize.least_squares` on the residuals (model - measured) / noise.

It prints the recovered thicknesses with their one-sigma uncertainties (from
the Jacobian at the solution: covariance = (J^T J)^-1 times the reduced chi
square), how many spectra quelva computed and the time per spectrum, and
plots the measured and fitted spectra with the residuals. Lengths are in
nanometres; the wafer is semi-infinite (nothing comes back from its far
side). Needs SciPy; the plot needs Matplotlib (skipped with a message when it
is not installed).
"""

import argparse
import sys
import time
from dataclasses import dataclass

import numpy as np

import quelva
from materials import air, fused_silica, silicon, silicon_nitride

LAYERS = ("SiO2", "Si3N4")
MEDIA = (air, fused_silica, silicon_nitride, silicon)
TRUE_D = np.array([105.0, 62.0])
START_D = np.array([90.0, 72.0])
THETA = np.deg2rad(8.0)   # quelva takes radians
PHI = np.pi / 4           # unpolarised: half the power s, half p
BAND = (400.0, 1000.0)    # nm, the range of the silicon table


class Coating:
    """The sample's model: R at the wavelengths `wl` for given thicknesses,
    counting the spectra it computes and the time they take."""

    def __init__(self, wl):
        self.wl = np.ascontiguousarray(wl, dtype=np.float64)
        self.n = np.array([medium(self.wl) for medium in MEDIA])
        self.evaluations = 0
        self.seconds = 0.0

    def reflectance(self, d):
        started = time.perf_counter()
        r = quelva.DataPy(np.asarray(d, dtype=np.float64), self.n, self.wl, THETA, PHI).simulate().r
        self.seconds += time.perf_counter() - started
        self.evaluations += 1
        return r


def synthetic_measurement(coating, true_d, noise, seed):
    """The spectrum of `true_d` with Gaussian noise of standard deviation `noise`."""
    rng = np.random.default_rng(seed)
    return coating.reflectance(true_d) + rng.normal(0.0, noise, coating.wl.size)


@dataclass
class Fit:
    d: np.ndarray             # fitted thicknesses, nm
    sigma: np.ndarray         # their one-sigma uncertainties, nm
    reduced_chi2: float
    fitted: np.ndarray        # R of the fitted thicknesses
    evaluations: int          # spectra computed, those of the Jacobian included
    seconds_per_evaluation: float
    seconds: float            # the whole fit


def fit_thicknesses(coating, measured, noise, start):
    """Least-squares fit of the thicknesses to `measured` (R at coating.wl,
    each point with standard deviation `noise`), from `start`."""
    from scipy.optimize import least_squares

    coating.evaluations, coating.seconds = 0, 0.0

    def residuals(d):
        return (coating.reflectance(d) - measured) / noise

    started = time.perf_counter()
    # Thicknesses stay positive; the finite-difference Jacobian is accurate
    # since quelva's R is smooth to rounding (about 1e-13) in d.
    result = least_squares(residuals, start, bounds=(0.0, np.inf), x_scale=np.asarray(start, dtype=float))
    seconds = time.perf_counter() - started
    if not result.success:
        raise RuntimeError(f"the fit did not converge: {result.message}")
    dof = measured.size - result.x.size
    reduced_chi2 = float(result.fun @ result.fun) / dof
    # Covariance of the parameters: the inverse of J^T J for residuals in units
    # of the noise, scaled by the reduced chi square so that a misjudged noise
    # level does not misstate the uncertainty.
    covariance = np.linalg.inv(result.jac.T @ result.jac) * reduced_chi2
    evaluations, model_seconds = coating.evaluations, coating.seconds
    return Fit(d=result.x, sigma=np.sqrt(np.diag(covariance)), reduced_chi2=reduced_chi2,
               fitted=coating.reflectance(result.x), evaluations=evaluations,
               seconds_per_evaluation=model_seconds / evaluations, seconds=seconds)


def plot(coating, measured, noise, result, title, path):
    try:
        import matplotlib
    except ImportError:
        print("Matplotlib is not installed: no plot")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 6.5), sharex=True, height_ratios=(3, 1.3))
    truth = ", ".join(f"{name} {d:g} nm" for name, d in zip(LAYERS, TRUE_D))
    top.plot(coating.wl, 100 * measured, ".", ms=3, color="0.5",
             label=f"measured (synthetic: {truth}; noise {100 * noise:g} % in R, 1 sigma)")
    label = "fitted: " + ", ".join(f"{name} {d:.2f} ± {s:.2f} nm"
                                   for name, d, s in zip(LAYERS, result.d, result.sigma))
    top.plot(coating.wl, 100 * result.fitted, "C3", label=label)
    top.set_ylabel("reflectance R (%)")
    top.set_title(title, fontsize=10)
    top.legend(fontsize=8)
    bottom.plot(coating.wl, 100 * (measured - result.fitted), ".", ms=3, color="C0")
    bottom.axhline(0.0, color="k", lw=0.8)
    bottom.set_ylabel("measured - fitted (%)")
    bottom.set_xlabel("wavelength (nm)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=300, help="wavelengths, 400 to 1000 nm (default 300)")
    parser.add_argument("--noise", type=float, default=0.002, help="noise of R, one sigma (default 0.002)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the noise (default 1)")
    parser.add_argument("--plot", default="fit_thickness.png", help="PNG to write (default fit_thickness.png)")
    parser.add_argument("--no-plot", action="store_true")
    args = parser.parse_args(argv)
    if args.points < 3 or not args.noise > 0:
        parser.error("--points must be at least 3 and --noise positive")

    coating = Coating(np.linspace(*BAND, args.points))
    measured = synthetic_measurement(coating, TRUE_D, args.noise, args.seed)
    result = fit_thicknesses(coating, measured, args.noise, START_D)

    title = (f"air | SiO2 | Si3N4 | silicon (semi-infinite), {np.rad2deg(THETA):.0f}° incidence, "
             "unpolarised")
    print(title)
    print(f"{args.points} wavelengths {BAND[0]:.0f}-{BAND[1]:.0f} nm, noise {args.noise:g} in R (1 sigma)")
    print(f"{'layer':8s}{'true (nm)':>12s}{'start (nm)':>12s}{'fitted (nm)':>22s}")
    for name, true, start, d, s in zip(LAYERS, TRUE_D, START_D, result.d, result.sigma):
        print(f"{name:8s}{true:12.2f}{start:12.2f}{d:13.3f} ± {s:6.3f}")
    print(f"reduced chi-square {result.reduced_chi2:.2f}")
    print(f"{result.evaluations} spectra computed (the Jacobian's included), "
          f"{1e6 * result.seconds_per_evaluation:.0f} µs each; the whole fit {1e3 * result.seconds:.1f} ms")
    if not args.no_plot:
        plot(coating, measured, args.noise, result, title, args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
