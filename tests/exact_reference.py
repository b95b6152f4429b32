"""The stack's reflectance and transmittance evaluated with mpmath at 50
digits from the same float64 inputs and by the same formulas as the engine's
reference (complex cosines, Fresnel interface matrices, propagation matrices
exp(-+i k h), the product from the incidence side): the exact value of what
the engine computes in float64, against which its rounding is measured."""

import mpmath

mp = mpmath.mp

TWO_PI = 6.283185307179586  # the float64 the module uses for 2 pi



def exact_spectra(d, media, lam, theta, phi):
    """R and T of one wavelength: the stack matrices of both polarisations
    (interface matrices from the Fresnel coefficients of the complex cosines,
    diagonal propagation matrices exp(-+i k h)) multiplied out from the
    incidence side, then r = M10 / M00 and t = 1 / M00, all with mpmath."""
    with mp.workdps(50):
        mpf, mpc = mp.mpf, mp.mpc
        ns = [mpc(complex(m)) for m in media]
        u = mp.sin(mpf(theta))
        beta2 = (u * ns[0]) ** 2
        cos = [mp.sqrt(m * m - beta2) / m for m in ns]
        lam = mpf(lam)

        def product(a, b):
            return [
                [a[0][0] * b[0][0] + a[0][1] * b[1][0], a[0][0] * b[0][1] + a[0][1] * b[1][1]],
                [a[1][0] * b[0][0] + a[1][1] * b[1][0], a[1][0] * b[0][1] + a[1][1] * b[1][1]],
            ]

        def interface(a, b, p):
            x, y = (ns[b], ns[a]) if p else (ns[a], ns[b])
            sigma = x * cos[a] + y * cos[b]
            r = (x * cos[a] - y * cos[b]) / sigma
            t = 2 * ns[a] * cos[a] / sigma
            return [[1 / t, r / t], [r / t, 1 / t]]

        def stack_matrix(p):
            m = interface(0, 1, p)
            for j in range(1, len(ns) - 1):
                k = ns[j] * (mpf(TWO_PI) * cos[j]) / lam
                h = mpf(d[j - 1])
                prop = [[mp.exp(-1j * k * h), 0], [0, mp.exp(1j * k * h)]]
                m = product(product(m, prop), interface(j, j + 1, p))
            return m

        ms, mp_ = stack_matrix(False), stack_matrix(True)
        ws, wp = mp.cos(mpf(phi)) ** 2, mp.sin(mpf(phi)) ** 2
        r = wp * abs(mp_[1][0] / mp_[0][0]) ** 2 + ws * abs(ms[1][0] / ms[0][0]) ** 2
        q = mp.sqrt(ns[-1] ** 2 - u * u * ns[0] ** 2)
        f = mp.re(q / (ns[0] * mp.cos(mpf(theta))))
        t = f * (wp * abs(1 / mp_[0][0]) ** 2 + ws * abs(1 / ms[0][0]) ** 2)
        return float(r), float(t)
