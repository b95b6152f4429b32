"""The implementations that the benchmark compares: quelva and its peers.

Each entry point takes a Stack (bench/stacks.py) and returns (R, T) as float64
arrays, one value per wavelength, for incident power split cos^2(phi) to s and
sin^2(phi) to p light.
"""

from __future__ import annotations

import math

import numpy as np

try:
    import quelva
except ImportError as exc:  # the harness still runs the peers without it
    quelva = None
    QUELVA_ERROR = str(exc)
else:
    QUELVA_ERROR = ""

try:
    import tmm
except ImportError as exc:
    tmm = None
    TMM_ERROR = str(exc)
else:
    TMM_ERROR = ""


# ---------------------------------------------------------------------------
# quelva

def quelva_rt(stack):
    """One whole call from Python: construction, simulate(), reading r and t."""
    sim = quelva.DataPy(stack.d, stack.n, stack.wl, stack.theta, stack.phi).simulate()
    return sim.r, sim.t


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


# ---------------------------------------------------------------------------
# tmm (PyPI): coherent per-wavelength computation, s and p separately

def tmm_rt(stack, pol_split=True):
    """tmm.coh_tmm for every wavelength and both polarisations.

    With pol_split=False, returns ((R_s, T_s), (R_p, T_p)) instead of the
    phi-weighted sums.
    """
    d, n, wl = stack.d, stack.n, stack.wl
    layers = n.shape[0]
    d_list = [math.inf] + [float(x) for x in d[: layers - 2]] + [math.inf]
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
