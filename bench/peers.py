"""The implementations that the benchmark compares: quelva and its peers.

Each entry point takes a Stack (bench/stacks.py) and returns (R, T) as float64
arrays, one value per wavelength, for incident power split cos^2(phi) to s and
sin^2(phi) to p light.

The packages a user would pick instead of quelva (tmm-faster, pyElli, PyMoosh)
are described by `Peer` entries in PEERS: each builds its package's own inputs
from a Stack once, outside the clock (`prepare`), and then makes the timed call
(`run`). A package that does not import is kept with its error, so that the
benchmark reports it as unavailable instead of failing.

The baseline (bench/baseline.py) is quelva built from an earlier commit,
loaded in this process beside the current module; `baseline_rt` makes the same
whole call with it.
"""

from __future__ import annotations

import importlib
import math
import warnings
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

try:
    import quelva
except ImportError as exc:  # the harness still runs the peers without it
    quelva = None
    QUELVA_ERROR = str(exc)
else:
    QUELVA_ERROR = ""

import baseline as _baseline

# The earlier build of quelva, or None and BASELINE_NOTE says why.
quelva_base, BASELINE_NOTE = _baseline.from_environment()

try:
    import tmm
except ImportError as exc:
    tmm = None
    TMM_ERROR = str(exc)
else:
    TMM_ERROR = ""


# ---------------------------------------------------------------------------
# quelva

def quelva_rt(stack, module=None):
    """One whole call from Python: construction, simulate(), reading r and t,
    with the current module or the one given (the baseline)."""
    module = module or quelva
    sim = module.DataPy(stack.d, stack.n, stack.wl, stack.theta, stack.phi).simulate()
    return sim.r, sim.t


def baseline_rt(stack):
    """The same whole call with the baseline build."""
    return quelva_rt(stack, quelva_base)


# ---------------------------------------------------------------------------
# NumPy: the same 2x2 method, vectorised over wavelengths

def _numpy_pol_matrices(n, wl, d, theta, pol):
    """The stack matrices of one polarisation, shape (N, 2, 2).

    As the vectorised transfer-matrix packages do it: per medium the complex
    cosine from Snell's law, per interface and per layer an (N, 2, 2) array of
    2x2 matrices, accumulated with np.matmul.
    """
    layers, npts = n.shape
    beta = math.sin(theta) * n[0]
    cos_t = np.sqrt(n * n - beta * beta) / n          # principal branch, (L, N)
    m = None
    for j in range(layers - 1):
        na, nb, ca, cb = n[j], n[j + 1], cos_t[j], cos_t[j + 1]
        if pol == "s":
            sigma = na * ca + nb * cb
            r = (na * ca - nb * cb) / sigma
        else:
            sigma = nb * ca + na * cb
            r = (nb * ca - na * cb) / sigma
        t = 2.0 * na * ca / sigma
        inter = np.empty((npts, 2, 2), dtype=np.complex128)
        inter[:, 0, 0] = inter[:, 1, 1] = 1.0 / t
        inter[:, 0, 1] = inter[:, 1, 0] = r / t
        if m is None:
            m = inter
            continue
        kz = 2.0 * np.pi * na * ca / wl
        prop = np.zeros((npts, 2, 2), dtype=np.complex128)
        prop[:, 0, 0] = np.exp(-1j * kz * d[j - 1])
        prop[:, 1, 1] = np.exp(1j * kz * d[j - 1])
        m = m @ prop @ inter
    return m


def numpy_rt(stack):
    """The NumPy peer: one (N, 2, 2) matrix product per layer and polarisation.

    T uses the exit factor Re(q_exit / (n_0 cos theta)) for both polarisations,
    as quelva does.
    """
    d, wl, theta, phi = stack.d, stack.wl, stack.theta, stack.phi
    npts = wl.shape[0]
    n = stack.n[:, :npts]
    ms = _numpy_pol_matrices(n, wl, d, theta, "s")
    mp = _numpy_pol_matrices(n, wl, d, theta, "p")
    ws = math.cos(phi) ** 2
    wp = math.sin(phi) ** 2
    r_s, r_p = ms[:, 1, 0] / ms[:, 0, 0], mp[:, 1, 0] / mp[:, 0, 0]
    refl = ws * np.abs(r_s) ** 2 + wp * np.abs(r_p) ** 2
    beta = math.sin(theta) * n[0]
    q_exit = np.sqrt(n[-1] * n[-1] - beta * beta)
    exit_factor = (q_exit / (n[0] * math.cos(theta))).real
    t_s, t_p = 1.0 / ms[:, 0, 0], 1.0 / mp[:, 0, 0]
    trans = exit_factor * (ws * np.abs(t_s) ** 2 + wp * np.abs(t_p) ** 2)
    return refl, trans


def numpy_fused_rt(stack):
    """A hand-fused NumPy version, faster than the way packages are written.

    s and p run together as the two rows of (2, N) arrays. The normal wave-vector
    components q_j = sqrt(N_j^2 - beta^2) are computed once per medium and shared
    by both polarisations and both interfaces of a layer; the interface and
    propagation factors of all layers are computed in whole-array operations
    before the loop over layers, which then only multiplies matrices.
    T uses the exit factor Re(q_exit / (n_0 cos theta)) for both polarisations,
    as quelva does.
    """
    d, wl, theta, phi = stack.d, stack.wl, stack.theta, stack.phi
    npts = wl.shape[0]
    n = stack.n[:, :npts]
    layers = n.shape[0]

    beta = math.sin(theta) * n[0]
    q = np.sqrt(n * n - beta * beta)          # (L, N), principal branch
    qa, qb = q[:-1], q[1:]                    # the two sides of each interface
    na, nb = n[:-1], n[1:]
    # p: N_b c_a + N_a c_b with c = q / N, written without the divisions.
    pa = qa * (nb / na)
    pb = qb * (na / nb)
    sigma = np.stack([qa + qb, pa + pb], axis=1)        # (L-1, 2, N)
    delta = np.stack([qa - qb, pa - pb], axis=1)
    inv_t = sigma / (2.0 * qa)[:, None, :]               # 1 / t
    r_t = delta / (2.0 * qa)[:, None, :]                 # r / t

    phase = (2.0 * np.pi / wl) * q[1:-1] * d[: layers - 2, None]   # (L-2, N)
    e_plus = np.exp(1j * phase)
    e_minus = np.exp(-1j * phase)

    m00 = inv_t[0].copy()
    m01 = r_t[0].copy()
    m10 = r_t[0].copy()
    m11 = inv_t[0].copy()
    for j in range(1, layers - 1):
        ep, em = e_plus[j - 1], e_minus[j - 1]
        it, rt = inv_t[j], r_t[j]
        a0 = m00 * em
        b0 = m01 * ep
        a1 = m10 * em
        b1 = m11 * ep
        m00 = a0 * it + b0 * rt
        m01 = a0 * rt + b0 * it
        m10 = a1 * it + b1 * rt
        m11 = a1 * rt + b1 * it

    ws = math.cos(phi) ** 2
    wp = math.sin(phi) ** 2
    r = m10 / m00
    t = 1.0 / m00
    refl = ws * np.abs(r[0]) ** 2 + wp * np.abs(r[1]) ** 2
    exit_factor = (q[-1] / (n[0] * math.cos(theta))).real
    trans = exit_factor * (ws * np.abs(t[0]) ** 2 + wp * np.abs(t[1]) ** 2)
    return refl, trans


def _with_half_spaces(d) -> list[float]:
    """The thicknesses as tmm and tmm-faster take them: the two half-spaces as inf."""
    return [math.inf, *map(float, d), math.inf]


# ---------------------------------------------------------------------------
# tmm (PyPI): coherent per-wavelength computation, s and p separately

def tmm_rt(stack, pol_split=True):
    """tmm.coh_tmm for every wavelength and both polarisations.

    With pol_split=False, returns ((R_s, T_s), (R_p, T_p)) instead of the
    phi-weighted sums.
    """
    d, n, wl = stack.d, stack.n, stack.wl
    layers = n.shape[0]
    d_list = _with_half_spaces(d[: layers - 2])
    rs, ts, rp, tp = (np.empty(wl.shape[0]) for _ in range(4))
    for i, lam in enumerate(wl):
        n_list = n[:, i]
        s = tmm.coh_tmm("s", n_list, d_list, stack.theta, float(lam))
        p = tmm.coh_tmm("p", n_list, d_list, stack.theta, float(lam))
        rs[i], ts[i], rp[i], tp[i] = s["R"], s["T"], p["R"], p["T"]
    if not pol_split:
        return (rs, ts), (rp, tp)
    ws = math.cos(stack.phi) ** 2
    wp = math.sin(stack.phi) ** 2
    return ws * rs + wp * rp, ws * ts + wp * tp


def max_diff(a, b) -> float:
    a = np.asarray(a)
    b = np.asarray(b)
    if a.shape != b.shape:
        return math.nan
    if a.size == 0:
        return 0.0
    return float(np.max(np.abs(a - b)))


# ---------------------------------------------------------------------------
# Installed packages a user would pick instead: tmm-faster, pyElli, PyMoosh

_MODULES: dict[str, Any] = {}
_IMPORT_ERRORS: dict[str, str] = {}


def _module(name: str):
    """The imported module, or None (and the reason in _IMPORT_ERRORS)."""
    if name not in _MODULES:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                _MODULES[name] = importlib.import_module(name)
        except Exception as exc:  # a broken install fails in many ways, not only ImportError
            _MODULES[name] = None
            _IMPORT_ERRORS[name] = f"{type(exc).__name__}: {exc}".splitlines()[0]
    return _MODULES[name]


def _split_weights(stack) -> tuple[float, float]:
    return math.cos(stack.phi) ** 2, math.sin(stack.phi) ** 2


def _distinct_media(n: np.ndarray) -> tuple[list[np.ndarray], list[int]]:
    """The distinct rows of n and, per medium, the index of its row: the materials
    a user of a package that takes materials, not index arrays, would define."""
    rows: list[np.ndarray] = []
    seen: dict[bytes, int] = {}
    which = []
    for row in n:
        key = row.tobytes()
        if key not in seen:
            seen[key] = len(rows)
            rows.append(row)
        which.append(seen[key])
    return rows, which


@dataclass
class Peer:
    key: str
    label: str
    package: str            # the PyPI distribution
    module: str             # the module it installs
    angle_unit: str
    polarisations: str      # how the package names and returns s and p
    prepare: Callable[[Any], Any]
    run: Callable[[Any], tuple[np.ndarray, np.ndarray]]

    @property
    def error(self) -> str:
        """Why the package cannot be used here, or "" if it imports. The import is
        made on first use, so that a process that runs no peer loads none."""
        for name in dict.fromkeys([self.module.split(".")[0], self.module]):
            if _module(name) is None:
                return _IMPORT_ERRORS[name]
        return ""

    @property
    def available(self) -> bool:
        return not self.error

    def rt(self, stack):
        """(R, T) of the stack, preparation included: for agreement checks."""
        return self.run(self.prepare(stack))


# -- tmm-faster: C++ with OpenMP over wavelengths and angles ---------------------

def _tmm_faster_prepare(stack):
    # n as [wavelengths x media]; thicknesses with the two half-spaces as inf;
    # the angle in degrees. n must be a C-ordered copy: given the transposed view,
    # tmm-faster reads the buffer as if it were C-ordered and computes another stack.
    npts = stack.points
    d_list = _with_half_spaces(stack.d[: stack.layers - 2])
    return (np.ascontiguousarray(stack.n[:, :npts].T), d_list,
            [math.degrees(stack.theta)], np.ascontiguousarray(stack.wl), _split_weights(stack))


def tmm_faster_with_thicknesses(prep, d):
    """tmm-faster's prepared inputs with the layers' thicknesses replaced: what a
    fit changes between two evaluations of the same stack."""
    return (prep[0], _with_half_spaces(d), *prep[2:])


def _tmm_faster_run(prep):
    n_matrix, d_list, angles, wl, (ws, wp) = prep
    res = _module("tmm_faster").calc_coherent(n_matrix, d_list, angles, wl)
    # Each entry has shape (wavelengths, angles).
    return (ws * res["R_s"][:, 0] + wp * res["R_p"][:, 0],
            ws * res["T_s"][:, 0] + wp * res["T_p"][:, 0])


# -- pyElli: Solver2x2 on a Structure of tabulated materials ----------------------

def _pyelli_prepare(stack):
    elli = _module("elli")
    npts = stack.points
    wl = np.ascontiguousarray(stack.wl)
    rows, which = _distinct_media(stack.n[:, :npts])
    # Table interpolates an index given at wavelengths; its nodes are the stack's
    # own, so it returns them. It needs two nodes, and refuses to extrapolate:
    # one more node 1 nm either side, with the end values, covers both.
    lbda = np.concatenate(([wl[0] - 1.0], wl, [wl[-1] + 1.0]))
    mats = [elli.IsotropicMaterial(elli.Table(lbda=lbda, n=np.concatenate(([r[0]], r, [r[-1]]))))
            for r in rows]
    layers = [elli.Layer(mats[which[j]], float(stack.d[j - 1]))
              for j in range(1, stack.layers - 1)]
    structure = elli.Structure(mats[which[0]], layers, mats[which[-1]])
    return structure, wl, math.degrees(stack.theta), _split_weights(stack)


def _pyelli_run(prep):
    structure, wl, theta_deg, (ws, wp) = prep
    elli = _module("elli")
    res = structure.evaluate(wl, theta_deg, solver=elli.Solver2x2)
    # R_matrix and T_matrix are [[pp, ps], [sp, ss]] per wavelength: p comes first.
    rm, tm = res.R_matrix, res.T_matrix
    return ws * rm[:, 1, 1] + wp * rm[:, 0, 0], ws * tm[:, 1, 1] + wp * tm[:, 0, 0]


# -- PyMoosh: vectorised spectra over a list of wavelengths -----------------------

def _pymoosh_prepare(stack, method):
    pm = _module("PyMoosh")
    npts = stack.points
    wl = np.ascontiguousarray(stack.wl)
    rows, which = _distinct_media(stack.n[:, :npts])

    # PyMoosh takes permittivities: a material is a function of the wavelength.
    # These return the stack's own values, at the stack's own wavelengths.
    def permittivity(eps):
        def at(wavelengths):
            assert np.size(wavelengths) == eps.size, "PyMoosh asked for other wavelengths"
            return eps
        return at
    thickness = [0.0] + [float(x) for x in stack.d[: stack.layers - 2]] + [0.0]
    structure = pm.Structure([permittivity(r * r) for r in rows], which, thickness,
                             verbose=False)
    return structure, wl, stack.theta, method, _split_weights(stack)


def _pymoosh_run(prep):
    structure, wl, theta, method, (ws, wp) = prep
    spectrum_list = _module("PyMoosh.vectorized").spectrum_list
    out = []
    for pol in (0, 1):              # 0: TE (s), 1: TM (p)
        # spectrum_list reshapes the wavelength array it is given in place: a copy each time.
        _, _, refl, trans = spectrum_list(structure, theta, pol, wl.copy(), method=method)
        out.append((np.ravel(refl), np.ravel(trans)))
    (rs, ts), (rp, tp) = out
    return ws * rs + wp * rp, ws * ts + wp * tp


PEERS = [
    Peer("tmm_faster", "tmm-faster (C++, OpenMP)", "tmm-faster", "tmm_faster",
         "degrees", "R_s, R_p, T_s, T_p: both in one call",
         _tmm_faster_prepare, _tmm_faster_run),
    Peer("pyelli", "pyElli Solver2x2", "pyElli", "elli",
         "degrees", "R_matrix [[pp, ps], [sp, ss]]: p first",
         _pyelli_prepare, _pyelli_run),
    Peer("pymoosh", "PyMoosh vectorised, S matrices", "PyMoosh", "PyMoosh.vectorized",
         "radians", "0 = TE (s), 1 = TM (p): one call each",
         lambda st: _pymoosh_prepare(st, "S"), _pymoosh_run),
]

PEER = {p.key: p for p in PEERS}
