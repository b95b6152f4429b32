"""An independent reference for the reflectance and transmittance of a stack.

Plain NumPy complex arithmetic, vectorised over the wavelengths, written from
the optics rather than from the module's code: the Fresnel coefficients in
terms of the normal wave-vector components q = sqrt(N^2 - beta^2) (instead of
the complex cosines), the phase of a layer as 2*pi*q*h/lambda, NumPy's own
complex square root, exponential and division. It follows the same physical
conventions as the module (the light comes from medium 0, a positive
imaginary index absorbs, the incident power is split cos^2(phi) into s and
sin^2(phi) into p, and the transmittance carries the factor
Re(q_exit / (N_0 cos theta)) for both polarisations), so the two agree to
rounding.
"""

from __future__ import annotations

import numpy as np


def _mul(a, b):
    """Product of two 2x2 matrices given as (m00, m01, m10, m11) arrays."""
    a00, a01, a10, a11 = a
    b00, b01, b10, b11 = b
    return (
        a00 * b00 + a01 * b10,
        a00 * b01 + a01 * b11,
        a10 * b00 + a11 * b10,
        a10 * b01 + a11 * b11,
    )


def amplitudes(d, n, wl, theta, polarisation):
    """Amplitude reflection and transmission coefficients per wavelength.

    d: thicknesses of the L - 2 layers; n: (L, >= N) complex indices; wl: the
    N wavelengths; polarisation: "s" or "p".
    """
    n = np.asarray(n, dtype=np.complex128)
    wl = np.asarray(wl, dtype=np.float64)
    media = n.shape[0]
    n = n[:, : wl.shape[0]]
    beta = np.sin(theta) * n[0]
    q = np.sqrt(n * n - beta * beta)

    one = np.ones(wl.shape, dtype=np.complex128)
    zero = np.zeros(wl.shape, dtype=np.complex128)
    m = (one, zero, zero, one)
    for a in range(media - 1):
        b = a + 1
        if polarisation == "s":
            den = q[a] + q[b]
            r = (q[a] - q[b]) / den
            t = 2 * q[a] / den
        else:
            na2 = n[a] * n[a]
            nb2 = n[b] * n[b]
            den = nb2 * q[a] + na2 * q[b]
            r = (nb2 * q[a] - na2 * q[b]) / den
            t = 2 * n[a] * n[b] * q[a] / den
        m = _mul(m, (1 / t, r / t, r / t, 1 / t))
        if b < media - 1:
            delta = 2 * np.pi * q[b] * d[b - 1] / wl
            m = _mul(m, (np.exp(-1j * delta), zero, zero, np.exp(1j * delta)))
    m00, _, m10, _ = m
    return m10 / m00, 1 / m00


def spectra(d, n, wl, theta, phi):
    """(R, T) per wavelength for the stack, as float64 arrays."""
    n = np.asarray(n, dtype=np.complex128)
    wl = np.asarray(wl, dtype=np.float64)
    r_s, t_s = amplitudes(d, n, wl, theta, "s")
    r_p, t_p = amplitudes(d, n, wl, theta, "p")
    ws = np.cos(phi) ** 2
    wp = np.sin(phi) ** 2
    n0 = n[0, : wl.shape[0]]
    nl = n[-1, : wl.shape[0]]
    beta = np.sin(theta) * n0
    q_exit = np.sqrt(nl * nl - beta * beta)
    factor = (q_exit / (n0 * np.cos(theta))).real
    reflectance = wp * np.abs(r_p) ** 2 + ws * np.abs(r_s) ** 2
    transmittance = factor * (wp * np.abs(t_p) ** 2 + ws * np.abs(t_s) ** 2)
    return reflectance, transmittance
