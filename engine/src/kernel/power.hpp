// The reflectance and transmittance of blocks of wavelengths, one wavelength
// per lane, written once for every lane type (see lanes.hpp for why
// everything here lives in the variant's namespace).
//
// For the stack matrix M of a polarisation, r = M[1][0] / M[0][0] and
// t = 1 / M[0][0], so
//   |r|^2 = |M[1][0]|^2 / |M[0][0]|^2   and   |t|^2 = 1 / |M[0][0]|^2:
// squared moduli and one division each, where the textbook quotient and
// hypot would take a complex division and a square root. The exit factor
// F = Re(q_exit / (N_0 cos theta)) takes the kernel's algebraic square root.
//
// A lane whose inputs leave the range where these shortcuts round like the
// textbook formulas (a squared modulus outside 2^-960 .. 2^960, a matrix
// stored with an exponent, anything not finite on the way) gets NaN, and the
// caller computes it in the reference operation order instead, which then
// decides its value and its finiteness.
#pragma once

#include <cstddef>

#include "brenmor/brenmor.hpp"
#include "kernel/group.hpp"
#include "kernel/lanes.hpp"

namespace brenmor::kernel::BRENMOR_KERNEL_VARIANT {

// Element `element` of the s or p matrix of the transfers [first, first +
// lanes); lanes past `count` repeat the last transfer.
template <class V>
[[gnu::always_inline]] inline Cx<V> transfer_element(const Transfer* transfers, std::size_t first,
                                                     std::size_t count, bool p,
                                                     std::size_t element) noexcept {
    double re[kLanes<V>];
    double im[kLanes<V>];
    for (std::size_t l = 0; l < kLanes<V>; ++l) {
        const Transfer& transfer = transfers[first + l < count ? first + l : count - 1];
        const Complex z = (p ? transfer.p : transfer.s).e[element];
        re[l] = z.re;
        im[l] = z.im;
    }
    return load<V>(re, im);
}

// The indices media.incidence[i * stride] (or exit) of the same lanes.
template <class V>
[[gnu::always_inline]] inline Cx<V> index_lanes(const Complex* column_zero, std::ptrdiff_t stride,
                                                std::size_t first, std::size_t count) noexcept {
    double re[kLanes<V>];
    double im[kLanes<V>];
    for (std::size_t l = 0; l < kLanes<V>; ++l) {
        const std::size_t i = first + l < count ? first + l : count - 1;
        const Complex z = column_zero[static_cast<std::ptrdiff_t>(i) * stride];
        re[l] = z.re;
        im[l] = z.im;
    }
    return load<V>(re, im);
}

// Whether both parts of the transfers' exponents are 0 (plainly stored).
template <class V>
[[gnu::always_inline]] inline Mask<V> plainly_stored(const Transfer* transfers, std::size_t first,
                                                     std::size_t count) noexcept {
    double s[kLanes<V>];
    double p[kLanes<V>];
    for (std::size_t l = 0; l < kLanes<V>; ++l) {
        const Transfer& transfer = transfers[first + l < count ? first + l : count - 1];
        s[l] = transfer.s_exponent;
        p[l] = transfer.p_exponent;
    }
    return (load<V>(s) == 0.0) & (load<V>(p) == 0.0);
}

template <class V>
[[gnu::always_inline]] inline V squared_modulus(Cx<V> z) noexcept {
    return z.re * z.re + z.im * z.im;
}

// Where a squared modulus lets |a|^2 / |b|^2 round like the textbook
// quotient: neither overflowing nor losing digits to underflow.
template <class V>
[[gnu::always_inline]] inline Mask<V> moderate(V squared) noexcept {
    return (squared >= 0x1p-960) & (squared <= 0x1p+960);
}

template <class V>
[[gnu::always_inline]] inline void store_or_mark(V value, Mask<V> usable, double* out,
                                                 std::size_t first, std::size_t count) noexcept {
    const V marked = (usable & finite(value)) ? value : splat<V>(__builtin_nan(""));
    for (std::size_t l = 0; l < kLanes<V> && first + l < count; ++l) {
        out[first + l] = lane(marked, l);
    }
}

template <class V>
void reflectances_of(const Transfer* transfers, std::size_t count, const PowerWeights& weights,
                     double* out) noexcept {
    for (std::size_t first = 0; first < count; first += kLanes<V>) {
        const V s00 = squared_modulus(transfer_element<V>(transfers, first, count, false, 0));
        const V s10 = squared_modulus(transfer_element<V>(transfers, first, count, false, 1));
        const V p00 = squared_modulus(transfer_element<V>(transfers, first, count, true, 0));
        const V p10 = squared_modulus(transfer_element<V>(transfers, first, count, true, 1));
        const Mask<V> usable = moderate(s00) & moderate(p00) & (moderate(s10) | (s10 == 0.0)) &
                               (moderate(p10) | (p10 == 0.0));
        const V reflectance = weights.p * (p10 / p00) + weights.s * (s10 / s00);
        store_or_mark(reflectance, usable, out, first, count);
    }
}

template <class V>
void transmittances_of(const Transfer* transfers, std::size_t count, const PowerWeights& weights,
                       const OuterMedia& media, double* out) noexcept {
    const V sin2_theta = splat<V>(media.sin_theta * media.sin_theta);
    const V cos_theta = splat<V>(media.cos_theta);
    for (std::size_t first = 0; first < count; first += kLanes<V>) {
        const Cx<V> n0 = index_lanes<V>(media.incidence, media.stride, first, count);
        const Cx<V> exit = index_lanes<V>(media.exit, media.stride, first, count);
        // q = sqrt(N_exit^2 - sin^2(theta) N_0^2), the normal wave-vector
        // component in the exit medium. Beyond the critical angle of a
        // lossless exit medium the imaginary part of the radicand is exactly
        // +0, q is imaginary and F exactly 0.
        const Cx<V> radicand = exit * exit - sin2_theta * (n0 * n0);
        const Cx<V> q = principal_sqrt(radicand);
        // F = Re(q / (N_0 cos theta)).
        const V a = cos_theta * n0.re;
        const V b = cos_theta * n0.im;
        const V factor = (a * q.re + b * q.im) / (b * b + a * a);

        const V s00 = squared_modulus(transfer_element<V>(transfers, first, count, false, 0));
        const V p00 = squared_modulus(transfer_element<V>(transfers, first, count, true, 0));
        const Mask<V> usable =
            moderate(s00) & moderate(p00) & plainly_stored<V>(transfers, first, count);
        const V transmittance = factor * (weights.p / p00 + weights.s / s00);
        store_or_mark(transmittance, usable, out, first, count);
    }
}

}  // namespace brenmor::kernel::BRENMOR_KERNEL_VARIANT
