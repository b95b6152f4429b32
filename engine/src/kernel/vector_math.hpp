// The exponential and the sine and cosine of the spectrum kernel, on lanes.
//
// Both reduce the argument by the Cody-Waite method (the constant split in
// parts whose products with the reduction integer are exact) and evaluate a
// polynomial on the reduced interval. On the ranges the kernel feeds them
// they are within a few units in the last place of the C library (the
// engine's tests measure it); lanes outside those ranges take the C library.
// Polynomial coefficients:
//   - exp: the Taylor series to degree 13, whose truncation on |r| <= ln2 / 2
//     is below 5e-18 relative;
//   - sine and cosine: minimax polynomials on [-pi/4, pi/4] of degree 13 and
//     14 (the coefficients of the freely distributable fdlibm).
// See lanes.hpp for why everything here lives in the variant's namespace.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernel/lanes.hpp"

namespace brenmor::kernel::BRENMOR_KERNEL_VARIANT {

// The reduction constants: ln 2 and pi / 2 in parts of 32 and 33 bits, so
// that k * part is exact for the integers k the kernel meets.
inline constexpr double kInverseLn2 = 1.4426950408889634;
inline constexpr double kLn2High = 6.93147180369123816490e-01;
inline constexpr double kLn2Low = 1.90821492927058770002e-10;
inline constexpr double kTwoOverPi = 0.63661977236758134308;
inline constexpr double kHalfPi1 = 1.57079632673412561417e+00;
inline constexpr double kHalfPi2 = 6.07710050630396597660e-11;
inline constexpr double kHalfPi3 = 2.02226624871116645580e-21;

// Beyond this |x| the sine and cosine come from the C library: the reduction
// integer has more than 19 bits there, and the three parts of pi / 2 no
// longer give the reduced argument to full precision.
inline constexpr double kLargestReducedPhase = 5.0e5;

// e^x = e^r * 2^k with x = k ln 2 + r, |r| <= ln2 / 2 (for |x| < 2^50 or so;
// NaN gives a NaN polynomial). The two parts are returned separately so that
// a caller can carry 2^k beyond the range of a double.
template <class V>
struct ExpParts {
    V mantissa;  // e^r, in [0.7, 1.42]
    V k;         // an integer
};

template <class V>
[[gnu::always_inline]] inline ExpParts<V> exp_parts(V x) noexcept {
    const V k = (x * kInverseLn2 + kIntegerShifter) - kIntegerShifter;
    const V r = (x - k * kLn2High) - k * kLn2Low;
    // Horner's scheme of sum r^i / i!, i = 0 .. 13.
    constexpr double c13 = 1.0 / 6227020800.0;
    constexpr double c12 = 1.0 / 479001600.0;
    constexpr double c11 = 1.0 / 39916800.0;
    constexpr double c10 = 1.0 / 3628800.0;
    constexpr double c9 = 1.0 / 362880.0;
    constexpr double c8 = 1.0 / 40320.0;
    constexpr double c7 = 1.0 / 5040.0;
    constexpr double c6 = 1.0 / 720.0;
    constexpr double c5 = 1.0 / 120.0;
    constexpr double c4 = 1.0 / 24.0;
    constexpr double c3 = 1.0 / 6.0;
    V p = c13 * r + c12;
    p = p * r + c11;
    p = p * r + c10;
    p = p * r + c9;
    p = p * r + c8;
    p = p * r + c7;
    p = p * r + c6;
    p = p * r + c5;
    p = p * r + c4;
    p = p * r + c3;
    p = p * r + 0.5;
    p = p * r + 1.0;
    p = p * r + 1.0;
    return {p, k};
}

// e^x for x <= 0 (and NaN): the attenuation of a layer. Results below the
// smallest normal number are subnormal or 0, as the C library's.
template <class V>
[[gnu::always_inline]] inline V exp_nonpositive(V x) noexcept {
    // Below -746 the result is 0; clamping keeps k in range (NaN stays NaN).
    const V clamped = x < -746.0 ? splat<V>(-746.0) : x;
    const ExpParts<V> parts = exp_parts(clamped);
    // 2^k as 2^(k - k1) * 2^k1 with k1 = k / 2 (rounded), both factors
    // normal numbers even for k down to -1077.
    const Bits<V> k = to_integer(parts.k);
    const Bits<V> k1 = k >> 1;
    const V value = (parts.mantissa * power_of_two<V>(k - k1)) * power_of_two<V>(k1);
    return x < -745.5 ? splat<V>(0.0) : value;
}

template <class V>
struct SinCos {
    V sin;
    V cos;
};

// sin x and cos x. Lanes with |x| > kLargestReducedPhase, infinite or NaN,
// take the C library's sin and cos.
template <class V>
[[gnu::always_inline]] inline SinCos<V> sincos(V x) noexcept {
    const V k = (x * kTwoOverPi + kIntegerShifter) - kIntegerShifter;
    const V r = ((x - k * kHalfPi1) - k * kHalfPi2) - k * kHalfPi3;
    const V z = r * r;

    constexpr double s1 = -1.66666666666666324348e-01;
    constexpr double s2 = 8.33333333332248946124e-03;
    constexpr double s3 = -1.98412698298579493134e-04;
    constexpr double s4 = 2.75573137070700676789e-06;
    constexpr double s5 = -2.50507602534068634195e-08;
    constexpr double s6 = 1.58969099521155010221e-10;
    const V sin_poly = ((((s6 * z + s5) * z + s4) * z + s3) * z + s2) * z + s1;
    // (r = -0 keeps its sign: sin(-0) = -0.)
    const V sin_r = r == 0.0 ? r : r + (r * z) * sin_poly;

    constexpr double c1 = 4.16666666666666019037e-02;
    constexpr double c2 = -1.38888888888741095749e-03;
    constexpr double c3 = 2.48015872894767294178e-05;
    constexpr double c4 = -2.75573143513906633035e-07;
    constexpr double c5 = 2.08757232129817482790e-09;
    constexpr double c6 = -1.13596475577881948265e-11;
    const V cos_poly = (((((c6 * z + c5) * z + c4) * z + c3) * z + c2) * z + c1);
    // 1 - z/2 + z^2 poly, with the rounding error of 1 - z/2 added back.
    const V half_z = 0.5 * z;
    const V w = 1.0 - half_z;
    const V cos_r = w + (((1.0 - w) - half_z) + (z * z) * cos_poly);

    // The quadrant k mod 4: 1 and 3 swap sine and cosine; the sine is
    // negated in quadrants 2 and 3, the cosine in 1 and 2.
    const Bits<V> quadrant = to_integer(k);
    const Mask<V> swap = (quadrant & 1) != 0;
    const Bits<V> sin_sign = (quadrant & 2) << 62;
    const Bits<V> cos_sign = ((quadrant + 1) & 2) << 62;
    SinCos<V> result{from_bits<V>(to_bits(swap ? cos_r : sin_r) ^ sin_sign),
                     from_bits<V>(to_bits(swap ? sin_r : cos_r) ^ cos_sign)};

    const Mask<V> outside = !(abs(x) <= kLargestReducedPhase);
    if (any(outside)) [[unlikely]] {
        if constexpr (kLanes<V> == 1) {
            result = {__builtin_sin(x), __builtin_cos(x)};
        } else {
            for (std::size_t l = 0; l < kLanes<V>; ++l) {
                if (outside[l] != 0) {
                    result.sin[l] = __builtin_sin(x[l]);
                    result.cos[l] = __builtin_cos(x[l]);
                }
            }
        }
    }
    return result;
}

}  // namespace brenmor::kernel::BRENMOR_KERNEL_VARIANT
