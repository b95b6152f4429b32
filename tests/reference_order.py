"""The engine's reference operation order in Python floats (IEEE float64, no
fused multiply-add) with the C library's sin, cos, exp, hypot and atan2
through ctypes: the stack matrix of one wavelength exactly as the reference
computes it (textbook complex products and quotients, the polar square root,
the complex cosines), and the spectra from it. Its distance from the 50-digit
value is the reference order's own error, the yardstick of the kernel's."""

import ctypes
import ctypes.util
import math

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name, _args in (("sin", 1), ("cos", 1), ("exp", 1), ("hypot", 2), ("atan2", 2)):
    getattr(_libm, _name).restype = ctypes.c_double
    getattr(_libm, _name).argtypes = [ctypes.c_double] * _args
c_sin, c_cos, c_exp, c_hypot, c_atan2 = _libm.sin, _libm.cos, _libm.exp, _libm.hypot, _libm.atan2

TWO_PI = 6.283185307179586


def mul(a, b):
    return (a[0] * b[0] - a[1] * b[1], a[0] * b[1] + a[1] * b[0])


def div(a, b):
    den = b[0] * b[0] + b[1] * b[1]
    return ((a[0] * b[0] + a[1] * b[1]) / den, (a[1] * b[0] - a[0] * b[1]) / den)


def add(a, b):
    return (a[0] + b[0], a[1] + b[1])


def sub(a, b):
    return (a[0] - b[0], a[1] - b[1])


def csqrt(z):
    x, y = z
    if y == 0.0:
        if math.copysign(1.0, x) > 0:
            return (math.sqrt(x), y)
        return (0.0, math.copysign(math.sqrt(-x), y))
    if x == 0.0:
        w = math.sqrt(abs(y) * 0.5)
        return (w, w if y > 0.0 else -w)
    rho, phase = c_hypot(x, y), c_atan2(y, x)
    root = math.sqrt(rho)
    return (root * c_cos(phase * 0.5), root * c_sin(phase * 0.5))


def cexp(z):
    e = c_exp(z[0])
    return (e * c_cos(z[1]), e * c_sin(z[1]))


def matmul(a, b):
    # Matrices as ((m00, m01), (m10, m11)).
    return tuple(
        tuple(add(mul(a[r][0], b[0][c]), mul(a[r][1], b[1][c])) for c in range(2)) for r in range(2)
    )


def stack_matrix(d, media, lam, theta, p):
    ns = [(complex(m).real, complex(m).imag) for m in media]
    u = c_sin(theta)
    beta = (u * ns[0][0], u * ns[0][1])
    beta2 = mul(beta, beta)
    cos = [div(csqrt(sub(mul(m, m), beta2)), m) for m in ns]

    def interface(a, b):
        x, y = (ns[b], ns[a]) if p else (ns[a], ns[b])
        sigma = add(mul(x, cos[a]), mul(y, cos[b]))
        delta = sub(mul(x, cos[a]), mul(y, cos[b]))
        t = div(mul(add(ns[a], ns[a]), cos[a]), sigma)
        r = div(delta, sigma)
        diagonal, off = div((1.0, 0.0), t), div(r, t)
        return ((diagonal, off), (off, diagonal))

    m = interface(0, 1)
    for j in range(1, len(ns) - 1):
        k = mul(ns[j], (TWO_PI * cos[j][0], TWO_PI * cos[j][1]))
        k = (k[0] / lam, k[1] / lam)
        h = d[j - 1]
        forward = cexp((-k[1] * h, k[0] * h))
        backward = cexp((k[1] * h, -(k[0] * h)))
        prop = ((backward, (0.0, 0.0)), ((0.0, 0.0), forward))
        m = matmul(matmul(m, prop), interface(j, j + 1))
    return m


def spectra(d, media, lam, theta, phi):
    """R and T of one wavelength in the reference order."""
    ms, mp = stack_matrix(d, media, lam, theta, False), stack_matrix(d, media, lam, theta, True)
    s, c = c_sin(phi), c_cos(phi)
    ws, wp = c * c, s * s
    rs, rp = c_hypot(*div(ms[1][0], ms[0][0])), c_hypot(*div(mp[1][0], mp[0][0]))
    r = wp * (rp * rp) + ws * (rs * rs)
    n0, exit_ = complex(media[0]), complex(media[-1])
    st, ct = c_sin(theta), c_cos(theta)
    s2 = st * st
    z = (
        (exit_.real * exit_.real - exit_.imag * exit_.imag) - s2 * (n0.real * n0.real - n0.imag * n0.imag),
        2.0 * exit_.real * exit_.imag - s2 * (2.0 * n0.real * n0.imag),
    )
    q = csqrt(z)
    a, b = ct * n0.real, ct * n0.imag
    f = (a * q[0] + b * q[1]) / (b * b + a * a)
    ts, tp = c_hypot(*div((1.0, 0.0), ms[0][0])), c_hypot(*div((1.0, 0.0), mp[0][0]))
    return r, f * (wp * (tp * tp) + ws * (ts * ts))
