// The spectrum kernel: the s and p stack matrices of a block of wavelengths,
// one wavelength per lane, written once for every lane type.
//
// The algebra, for a stack of media 0 .. L-1 (N_j the index, beta = N_0 sin
// theta, q_j = sqrt(N_j^2 - beta^2) the principal root):
//   - The interface matrix from medium a to b is sigma [[A, B], [B, A]] with
//     A = alpha + gamma, B = alpha - gamma; s: alpha = q_a, gamma = q_b,
//     sigma = 1 / (2 q_a); p: alpha = N_b^2 q_a, gamma = N_a^2 q_b,
//     sigma = 1 / (2 q_a N_a N_b). The product of the sigmas is divided out
//     once at the end, so no interface needs a division. (For p the N_a N_b
//     of all interfaces multiply to N_0 N_{L-1} times the squares of the
//     layers' indices.)
//   - The phase of layer j is k_j h_j = q_j (2 pi h_j / lambda): the complex
//     cosine is never formed, and 2 pi / lambda is one division per
//     wavelength.
//   - The propagation matrix diag(e^(-i k h), e^(i k h)) is divided by
//     e^|Im k h|: one of its elements has modulus 1, the other is e^(-2 |Im k
//     h|) <= 1 times a phase. The divided-out exponents are summed.
//   - Every few layers, and at the end, the running matrices are scaled by
//     exact powers of two, whose exponents are summed too.
// The product is run from the exit side (M <- I P M), column by column.
//
// A finished matrix is stored as it is when its size allows the spectra's
// quotients to be formed plainly; otherwise (thick absorbers) as a mantissa
// of moderate size with the natural logarithm of the rest in the Transfer's
// exponent. A lane that meets an index of 0 or of a size no material has, a
// wavelength of 0 or below 2^-800, a medium's root q or an interface
// denominator within rounding of 0, or any value that is not finite is marked
// for the reference, which gives such stacks the values (and the finiteness)
// of the reference's operation order.
//
// Every lane runs the same operations on its own values only, so a
// wavelength's result does not depend on the lanes beside it.
// See lanes.hpp for why everything here lives in the variant's namespace.
#pragma once

#include <cstddef>

#include "brenmor/brenmor.hpp"
#include "kernel/group.hpp"
#include "kernel/lanes.hpp"
#include "kernel/power.hpp"
#include "kernel/variants.hpp"
#include "kernel/vector_math.hpp"

namespace brenmor::kernel::BRENMOR_KERNEL_VARIANT {

inline constexpr double kTwoPi = 6.283185307179586;

// Layers between two renormalisations. Each layer multiplies the running
// matrix by at most about 4 |N|^2 |q|, so for any index below 1e20 four
// layers stay inside the range of a double. (Larger indices may overflow;
// the lane then takes the reference.)
inline constexpr std::size_t kRenormaliseEvery = 4;

// A finished matrix is stored plainly when its scale is 2^k with |k| at most
// this: its largest element is then below 2^481, so |M[0][0]|^2 and the
// numerator of r = M[1][0] / M[0][0] stay finite.
inline constexpr double kLargestPlainScale = 480.0;

// The scale factor 2^-e that brings `largest` into [0.5, 1), with e added to
// `shift`. Zero, subnormal and non-finite values are left as they are.
template <class V>
[[gnu::always_inline]] inline V renormaliser(V largest, V& shift) noexcept {
    const Bits<V> biased = (to_bits(largest) >> 52) & 0x7ff;
    const Mask<V> usable = (biased != 0) & (biased != 0x7ff);
    const Bits<V> capped = biased > 2044 ? Bits<V>{} + 2044 : biased;
    const Bits<V> e = usable ? capped - 1022 : Bits<V>{};
    shift += to_double<V>(e);
    return power_of_two<V>(-e);
}

// A running complex product as value times 2^shift.
template <class V>
struct Product {
    Cx<V> value;
    V shift;
};

template <class V>
[[gnu::always_inline]] inline void renormalise(Product<V>& product) noexcept {
    const V scale = renormaliser(largest_part(product.value), product.shift);
    product.value = scale * product.value;
}

// The stack matrix has two columns; both are kept (the spectra read the
// first only, the Transfer stores both).
inline constexpr std::size_t kColumns = 2;

// The running matrix of one polarisation: its columns of two rows, times
// 2^shift.
template <class V>
struct Running {
    Cx<V> m[kColumns][2];
    V shift;
};

template <class V>
[[gnu::always_inline]] inline void renormalise(Running<V>& running,
                                               std::size_t columns = kColumns) noexcept {
    V largest = splat<V>(0.0);
    for (std::size_t c = 0; c < columns; ++c) {
        largest = max(largest, max(largest_part(running.m[c][0]), largest_part(running.m[c][1])));
    }
    const V scale = renormaliser(largest, running.shift);
    for (std::size_t c = 0; c < kColumns; ++c) {
        running.m[c][0] = scale * running.m[c][0];
        running.m[c][1] = scale * running.m[c][1];
    }
}

// M <- [[A, B], [B, A]] M with A = alpha + gamma, B = alpha - gamma, as
// alpha (x + y) + gamma (x - y) and alpha (x + y) - gamma (x - y): two complex
// products per column instead of four.
template <class V>
[[gnu::always_inline]] inline void apply_interface(Running<V>& running, Cx<V> alpha,
                                                   Cx<V> gamma) noexcept {
    for (std::size_t c = 0; c < kColumns; ++c) {
        const Cx<V> x = running.m[c][0];
        const Cx<V> y = running.m[c][1];
        const Cx<V> sum = alpha * (x + y);
        const Cx<V> difference = gamma * (x - y);
        running.m[c][0] = sum + difference;
        running.m[c][1] = sum - difference;
    }
}

// M <- diag(backward, forward) M, the layer's factors e^(-i k h) and
// e^(i k h) (each divided by e^|Im k h|).
template <class V>
[[gnu::always_inline]] inline void apply_propagation(Running<V>& running, Cx<V> backward,
                                                     Cx<V> forward) noexcept {
    for (std::size_t c = 0; c < kColumns; ++c) {
        running.m[c][0] = backward * running.m[c][0];
        running.m[c][1] = forward * running.m[c][1];
    }
}

// The finished matrix of one polarisation, ready to store.
template <class V>
struct Finished {
    Cx<V> m[kColumns][2];
    V exponent;
    Mask<V> finite;
};

// The summed attenuation e^growth, as mantissa 2^k e^rest: rest is 0 except
// for a growth too large for the reduction of exp_parts (an absurdly thick
// absorber), which is carried in the exponent as it is.
template <class V>
struct Growth {
    ExpParts<V> parts;
    V rest;
};

template <class V>
[[gnu::always_inline]] inline Growth<V> split_growth(V growth) noexcept {
    const Mask<V> immense = growth > 0x1p40;
    return {exp_parts(immense ? splat<V>(0.0) : growth), immense ? growth : splat<V>(0.0)};
}

// Divides the running matrix by the product of the interfaces' 1 / sigma,
// brings its first column to [0.5, 1), multiplies in the summed attenuation
// and decides between the plain and the exponent form.
template <class V>
[[gnu::always_inline]] inline Finished<V> finish(Running<V> running,
                                                          Product<V> denominator,
                                                          Growth<V> growth) noexcept {
    const ExpParts<V>& growth_parts = growth.parts;
    renormalise(denominator);
    const Cx<V> inverse = reciprocal(denominator.value);
    for (std::size_t c = 0; c < kColumns; ++c) {
        running.m[c][0] = inverse * running.m[c][0];
        running.m[c][1] = inverse * running.m[c][1];
    }
    running.shift -= denominator.shift;
    // The spectra divide by M[0][0]: scaled by the first column, its square
    // cannot underflow because the other column is larger.
    renormalise(running, 1);

    const V scale_exponent = running.shift + growth_parts.k;
    const Mask<V> plain = (abs(scale_exponent) <= kLargestPlainScale) & (growth.rest == 0.0);
    const V plain_scale = power_of_two<V>(to_integer(plain ? scale_exponent : splat<V>(0.0)));
    const V factor = plain ? growth_parts.mantissa * plain_scale : growth_parts.mantissa;

    Finished<V> out;
    out.exponent = plain ? splat<V>(0.0)
                         : (scale_exponent * kLn2High + scale_exponent * kLn2Low) + growth.rest;
    out.finite = finite(out.exponent);
    for (std::size_t c = 0; c < kColumns; ++c) {
        for (std::size_t r = 0; r < 2; ++r) {
            out.m[c][r] = factor * running.m[c][r];
            out.finite = out.finite & finite(out.m[c][r]);
        }
    }
    return out;
}

template <class V>
[[gnu::always_inline]] inline void store(const Finished<V>& f, std::size_t l,
                                         CMatrix2& m, double& exponent) noexcept {
    for (std::size_t c = 0; c < kColumns; ++c) {
        for (std::size_t r = 0; r < 2; ++r) {
            m.e[c * 2 + r].re = lane(f.m[c][r].re, l);
            m.e[c * 2 + r].im = lane(f.m[c][r].im, l);
        }
    }
    exponent = lane(f.exponent, l);
}

// Whether an index lies outside the range the kernel carries, 2^-80 <= |N|
// <= 2^100 (measured by the larger part): 0, NaN and the infinities, and
// sizes no material has. Such lanes take the reference and keep exactly its
// results, finite or not.
//   - Above 2^100 the reference's divisions by N and by the interface
//     denominators overflow (an entry medium of 1e154) and its results are
//     not finite. (Below it the reference's interface factors stay finite;
//     where the kernel's own product overflows, its result is not finite and
//     the lane takes the reference anyway.)
//   - Below 2^-80 the kernel's p interface factors, of size |N|^3, would
//     underflow to 0 over the four layers between renormalisations and give
//     NaN where the reference is finite (a stack of layers of 1e-28); at
//     1e-300i the reference's divisions underflow too.
template <class V>
[[gnu::always_inline]] inline Mask<V> outside_index_range(Cx<V> index) noexcept {
    const V size = largest_part(index);
    return !((size >= 0x1p-80) & (size <= 0x1p+100));
}

// Whether x + y (or x - y) may be exactly 0 in the reference order: whether
// the kernel's `sum` is within rounding of 0 against the sizes of its terms.
// The reference cancels exactly where the kernel, with its own operation
// order (and, in some variants, fused multiply-adds), keeps a residual of a
// few ulps: a root sqrt(N^2 - beta^2) at grazing incidence or at a layer's
// critical angle, an interface denominator sigma at a pole of the stack. The
// reference then divides by 0, and such lanes take it.
template <class V>
[[gnu::always_inline]] inline Mask<V> may_cancel(Cx<V> sum, Cx<V> x, Cx<V> y) noexcept {
    return largest_part(sum) <= 0x1p-44 * (largest_part(x) + largest_part(y));
}

// The p matrix at normal incidence, from the s matrix. With beta = 0 every
// root is q = +-N, and the p interface matrix is (q_a / N_a)(q_b / N_b)
// D S D, S the s interface matrix and D = diag(1, -1) (which commutes with
// the propagation matrices). The inner media's signs square to 1, so the p
// matrix is +-D M_s D: M_s with its off-diagonal elements negated, and all of
// it negated when exactly one outer medium has the root -N.
//
// Whether a root is -N is read from the root itself, Re(q conj N) = +-|N|^2:
// for an index of real part -0 it depends on the signs of the zeros in
// N^2 - beta^2 (beta = sin 0 * N_0 may carry a -0), which the roots follow
// exactly as the reference's do.
template <class V>
[[gnu::always_inline]] inline Mask<V> root_opposes_index(Cx<V> q, Cx<V> index) noexcept {
    return q.re * index.re + q.im * index.im < 0.0;
}

template <class V>
[[gnu::always_inline]] inline Finished<V> p_at_normal_incidence(const Finished<V>& s,
                                                                Mask<V> negated) noexcept {
    Finished<V> p = s;
    for (std::size_t c = 0; c < kColumns; ++c) {
        for (std::size_t r = 0; r < 2; ++r) {
            const Mask<V> flip = c == r ? negated : !negated;
            p.m[c][r] = {flip ? -s.m[c][r].re : s.m[c][r].re,
                         flip ? -s.m[c][r].im : s.m[c][r].im};
        }
    }
    return p;
}

// Whether two media carry the same index, bit for bit, at every lane of the
// block: then everything computed from the index alone (its square, its root
// and their checks) is the same too, and the second may take the first's
// values without changing a bit. (Bits, not values: an index of -0 + 3i and
// one of 0 + 3i have different roots.) Stacks of a few materials, a Bragg
// mirror or a chirped one, repeat every second medium.
template <class V>
[[gnu::always_inline]] inline bool same_index(Cx<V> a, Cx<V> b) noexcept {
    const Mask<V> differs = (to_bits(a.re) != to_bits(b.re)) | (to_bits(a.im) != to_bits(b.im));
    return !any(differs);
}

// Whether the group's stack is lit at normal incidence: then its p matrix
// follows from the s matrix, and one running product does for both.
enum class Incidence { normal, oblique };

// The wavelengths [first, first + lanes) of the group.
template <class V, Incidence incidence>
[[gnu::always_inline]] inline void block(const Group& group, std::size_t first, Transfer* out,
                                         unsigned char* needs_reference) noexcept {
    const std::size_t media = group.media;
    const std::size_t stride = group.stride;
    constexpr bool oblique = incidence == Incidence::oblique;
    const auto index = [&](std::size_t j) {
        return load<V>(group.index_re + j * stride + first, group.index_im + j * stride + first);
    };

    const V lambda = load<V>(group.wavelength + first);
    const V wave_number = kTwoPi / lambda;
    const Cx<V> n0 = index(0);
    const Cx<V> beta = splat<V>(group.sin_theta) * n0;
    const Cx<V> beta2 = beta * beta;

    // Medium b of the interface a -> b, starting from the exit medium.
    const Cx<V> exit = index(media - 1);
    Cx<V> square_b = exit * exit;
    Cx<V> q_b = principal_sqrt(square_b - beta2);
    const Cx<V> q_exit = q_b;
    // An infinite wavelength gives finite phases of 0, but belongs to the
    // non-finite inputs that the reference takes. Below 2^-800 the reference's
    // wave number 2 pi q / lambda may overflow (and times a thickness of 0 be
    // NaN) where the kernel's phases stay finite.
    const Mask<V> outside_wavelength_range = !((abs(lambda) >= 0x1p-800) & finite(lambda));
    Mask<V> refused = outside_index_range(n0) | outside_index_range(exit) | outside_wavelength_range;

    Running<V> s{};
    Running<V> p{};
    Product<V> roots{{splat<V>(1.0), splat<V>(0.0)}, splat<V>(0.0)};    // prod q_a
    Product<V> squares{{splat<V>(1.0), splat<V>(0.0)}, splat<V>(0.0)};  // prod of layers' N^2
    V growth = splat<V>(0.0);

    // What medium a + 2 and layer a + 3 had, two steps back, for a medium
    // and a layer that repeat them (see same_index). Only media whose root
    // was checked in this loop are taken over: not the exit medium.
    Cx<V> index_b = exit;
    Cx<V> index_c{};
    Cx<V> square_c{};
    Cx<V> q_c{};
    bool b_repeats = false;
    Cx<V> backward_b{}, forward_b{};  // layer a + 2's factors
    Cx<V> backward_c{}, forward_c{};  // layer a + 3's factors

    for (std::size_t a = media - 1; a-- > 0;) {
        const std::size_t b = a + 1;
        const Cx<V> n_a = a == 0 ? n0 : index(a);
        const bool a_repeats = a + 3 < media && same_index(n_a, index_c);
        Cx<V> square_a;
        Cx<V> q_a;
        if (a_repeats) {
            square_a = square_c;
            q_a = q_c;
        } else {
            square_a = n_a * n_a;
            const Cx<V> root_square_a = square_a - beta2;
            q_a = principal_sqrt(root_square_a);
            refused = refused | outside_index_range(n_a) |
                      may_cancel(root_square_a, square_a, beta2);
        }

        Cx<V> backward{}, forward{};
        if (b + 1 < media) {
            // Layer b: exp(-i k h) and exp(i k h) divided by exp(|Im k h|).
            const double thickness = group.thickness[b - 1];
            const V two_pi_h_over_lambda = wave_number * thickness;
            const V attenuation = q_b.im * two_pi_h_over_lambda;
            growth += abs(attenuation);
            if (b_repeats && to_bits(thickness) == to_bits(group.thickness[b + 1])) {
                backward = backward_c;
                forward = forward_c;
            } else {
                const V phase = q_b.re * two_pi_h_over_lambda;
                // e^-0 is exactly 1: a layer that is lossless at every lane of
                // the block (most are) skips the exponential without changing a bit.
                const V decay = any(attenuation != 0.0) ? exp_nonpositive(-2.0 * abs(attenuation))
                                                        : splat<V>(1.0);
                const SinCos<V> turn = sincos(phase);
                const Mask<V> gain = attenuation < 0.0;
                const V backward_weight = gain ? decay : splat<V>(1.0);
                const V forward_weight = gain ? splat<V>(1.0) : decay;
                backward = {backward_weight * turn.cos, -(backward_weight * turn.sin)};
                forward = {forward_weight * turn.cos, forward_weight * turn.sin};
            }
            apply_propagation(s, backward, forward);
            if constexpr (oblique) {
                apply_propagation(p, backward, forward);
                squares.value = squares.value * square_b;
            }
        }

        const Cx<V> a_s = q_a + q_b;
        const Cx<V> b_s = q_a - q_b;
        const Cx<V> alpha = square_b * q_a;
        const Cx<V> gamma = square_a * q_b;
        const Cx<V> a_p = alpha + gamma;
        const Cx<V> b_p = alpha - gamma;
        // An interface between two media that both repeat has been checked
        // two steps back.
        if (!(a_repeats && b_repeats)) {
            refused = refused | may_cancel(a_s, q_a, q_b) | may_cancel(a_p, alpha, gamma);
        }
        roots.value = roots.value * q_a;
        if (b + 1 == media) {
            for (std::size_t c = 0; c < kColumns; ++c) {
                s.m[c][c] = a_s;
                s.m[c][1 - c] = b_s;
                if constexpr (oblique) {
                    p.m[c][c] = a_p;
                    p.m[c][1 - c] = b_p;
                }
            }
        } else {
            apply_interface(s, q_a, q_b);
            if constexpr (oblique) apply_interface(p, alpha, gamma);
        }
        if ((media - 1 - a) % kRenormaliseEvery == 0) {
            renormalise(s);
            renormalise(roots);
            if constexpr (oblique) {
                renormalise(p);
                renormalise(squares);
            }
        }
        index_c = index_b;
        index_b = n_a;
        square_c = square_b;
        q_c = q_b;
        q_b = q_a;
        square_b = square_a;
        b_repeats = a_repeats;
        backward_c = backward_b;
        forward_c = forward_b;
        backward_b = backward;
        forward_b = forward;
    }

    // 1 / sigma over all interfaces: s: 2^(L-1) prod q_a; p: that times
    // N_0 N_{L-1} prod N_j^2 over the layers.
    renormalise(roots);
    Product<V> s_denominator = roots;
    s_denominator.shift += static_cast<double>(media - 1);
    const Growth<V> growth_split = split_growth(growth);
    const Finished<V> s_done = finish(s, s_denominator, growth_split);
    Finished<V> p_done;
    if constexpr (oblique) {
        renormalise(squares);
        Product<V> p_denominator{roots.value * squares.value * (n0 * exit),
                                 s_denominator.shift + squares.shift};
        p_done = finish(p, p_denominator, growth_split);
    } else {
        // q_b is now the entry medium's root.
        const Mask<V> negated = root_opposes_index(q_b, n0) ^ root_opposes_index(q_exit, exit);
        p_done = p_at_normal_incidence(s_done, negated);
    }
    const Mask<V> reference = refused | !(s_done.finite & p_done.finite);

    for (std::size_t l = 0; l < kLanes<V> && first + l < group.count; ++l) {
        Transfer& transfer = out[first + l];
        store(s_done, l, transfer.s, transfer.s_exponent);
        store(p_done, l, transfer.p, transfer.p_exponent);
        needs_reference[first + l] = lane_set(reference, l) ? 1 : 0;
    }
}

// The body of a variant's group function (see group.hpp) for lane type V.
template <class V>
void group_transfers_of(const Group& group, Transfer* out,
                        unsigned char* needs_reference) noexcept {
    // sin 0 is exactly 0 (and so is sin -0).
    if (group.sin_theta == 0.0) {
        for (std::size_t first = 0; first < group.count; first += kLanes<V>) {
            block<V, Incidence::normal>(group, first, out, needs_reference);
        }
    } else {
        for (std::size_t first = 0; first < group.count; first += kLanes<V>) {
            block<V, Incidence::oblique>(group, first, out, needs_reference);
        }
    }
}

// The body of a variant's math function (see group.hpp) for lane type V.
template <class V>
void evaluate_math_of(const double* x, std::size_t count, double* exp_out, double* sin_out,
                      double* cos_out) noexcept {
    for (std::size_t first = 0; first < count; first += kLanes<V>) {
        double in[kLanes<V>];
        for (std::size_t l = 0; l < kLanes<V>; ++l) {
            in[l] = x[first + l < count ? first + l : first];
        }
        const V value = load<V>(in);
        const V e = exp_nonpositive(value);
        const SinCos<V> turn = sincos(value);
        for (std::size_t l = 0; l < kLanes<V> && first + l < count; ++l) {
            exp_out[first + l] = lane(e, l);
            sin_out[first + l] = lane(turn.sin, l);
            cos_out[first + l] = lane(turn.cos, l);
        }
    }
}

// The description of the variant of lane type V (see variants.hpp).
template <class V>
constexpr Variant make_variant(const char* name) noexcept {
    return {name,
            kLanes<V>,
            &group_transfers_of<V>,
            &evaluate_math_of<V>,
            &reflectances_of<V>,
            &transmittances_of<V>};
}

}  // namespace brenmor::kernel::BRENMOR_KERNEL_VARIANT
