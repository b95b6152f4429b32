// The complex arithmetic of the reference operation order: the stack matrix
// of one wavelength (reference.cpp) and the spectra of the wavelengths the
// kernel leaves to it (spectra_reference.cpp).
//
// Every operation is written out in one fixed order of IEEE float64
// operations: textbook products and quotients without scaling, the principal
// square root in polar form, the exponential with its special values. The
// engine is compiled with -ffp-contract=off, so the results are the same bits
// on whichever thread they are computed.
// Whoever includes this header into another target must compile that target
// with -ffp-contract=off as well.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

#include "brenmor/brenmor.hpp"

namespace brenmor::detail {

// 2*pi as the float64 the engine uses.
inline constexpr double kTwoPi = 6.283185307179586;

inline constexpr Complex kComplexZero{0.0, 0.0};
inline constexpr Complex kComplexOne{1.0, 0.0};

inline Complex add(Complex a, Complex b) noexcept { return {a.re + b.re, a.im + b.im}; }

inline Complex sub(Complex a, Complex b) noexcept { return {a.re - b.re, a.im - b.im}; }

// (a + bi)(c + di) = (ac - bd) + (ad + bc)i
inline Complex mul(Complex a, Complex b) noexcept {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// (a + bi) / (c + di) = ((ac + bd) + (bc - ad)i) / (c^2 + d^2), unscaled.
inline Complex div(Complex a, Complex b) noexcept {
    const double den = b.re * b.re + b.im * b.im;
    return {(a.re * b.re + a.im * b.im) / den, (a.im * b.re - a.re * b.im) / den};
}

// 1 / z as the quotient (1 + 0i) / z.
inline Complex recip(Complex z) noexcept { return div(kComplexOne, z); }

// Real times complex, part by part.
inline Complex scale(double r, Complex z) noexcept { return {r * z.re, r * z.im}; }

// Complex divided by real, part by part.
inline Complex div_real(Complex z, double r) noexcept { return {z.re / r, z.im / r}; }

// The principal square root: the real part is never negative and the branch
// cut runs along the negative real axis. Zeros keep their signs as follows:
// on the real axis (imaginary part +0 or -0), a non-negative x (sign bit
// clear) gives sqrt(x) + y i, any x with its sign bit set gives
// 0 + sigma sqrt(-x) i with sigma the sign of y.
inline Complex sqrt(Complex z) noexcept {
    const double x = z.re;
    const double y = z.im;
    if (y == 0.0) {
        if (!std::signbit(x)) return {std::sqrt(x), y};
        return {0.0, std::copysign(std::sqrt(-x), y)};
    }
    if (x == 0.0) {
        const double w = std::sqrt(std::fabs(y) * 0.5);
        return {w, y > 0.0 ? w : -w};
    }
    const double rho = std::hypot(x, y);
    const double phase = std::atan2(y, x);
    const double root = std::sqrt(rho);
    return {root * std::cos(phase * 0.5), root * std::sin(phase * 0.5)};
}

// The complex exponential exp(x) (cos y + i sin y), with the special values
// of an infinite or NaN real part returned directly.
inline Complex exp(Complex z) noexcept {
    const double x = z.re;
    const double y = z.im;
    if (std::isinf(x)) {
        if (x < 0.0) {
            if (!std::isfinite(y)) return kComplexZero;
        } else if (y == 0.0 || !std::isfinite(y)) {
            return {x, std::isinf(y) ? std::numeric_limits<double>::quiet_NaN() : y};
        }
    } else if (std::isnan(x) && y == 0.0) {
        return z;
    }
    const double e = std::exp(x);
    return {e * std::cos(y), e * std::sin(y)};
}

// The full 2x2 product: element [r][c] = A[r][0] B[0][c] + A[r][1] B[1][c].
inline CMatrix2 mul(const CMatrix2& a, const CMatrix2& b) noexcept {
    CMatrix2 m;
    for (std::size_t c = 0; c < 2; ++c) {
        for (std::size_t r = 0; r < 2; ++r) {
            m(r, c) = add(mul(a(r, 0), b(0, c)), mul(a(r, 1), b(1, c)));
        }
    }
    return m;
}

// The complex cosine c = q / N of the propagation angle in a medium of index
// N, with q = sqrt(N^2 - beta^2) the principal root.
inline Complex medium_cosine(Complex index, Complex beta2) noexcept {
    const Complex q = sqrt(sub(mul(index, index), beta2));
    return div(q, index);
}

// The interface matrix from medium a to medium b (Fresnel coefficients).
inline CMatrix2 interface_matrix(Complex na, Complex ca, Complex nb, Complex cb,
                                 Polarisation polarisation) noexcept {
    // The Fresnel coefficients of p light are those of s light with the two
    // indices that multiply the cosines swapped: N_b c_a against N_a c_b.
    const bool p = polarisation == Polarisation::p;
    const Complex x = p ? nb : na;
    const Complex y = p ? na : nb;
    const Complex sigma = add(mul(x, ca), mul(y, cb));
    const Complex delta = sub(mul(x, ca), mul(y, cb));
    const Complex t = div(mul(add(na, na), ca), sigma);
    const Complex r = div(delta, sigma);
    const Complex diagonal = recip(t);
    const Complex off_diagonal = div(r, t);
    CMatrix2 m;
    m(0, 0) = diagonal;
    m(1, 0) = off_diagonal;
    m(0, 1) = off_diagonal;
    m(1, 1) = diagonal;
    return m;
}

// sin^2 and cos^2 of an angle, each as the square of the C library's value.
struct SinCos2 {
    double sin2;
    double cos2;
};

inline SinCos2 sin_cos_squared(double angle) noexcept {
    const double s = std::sin(angle);
    const double c = std::cos(angle);
    return {s * s, c * c};
}

}  // namespace brenmor::detail
