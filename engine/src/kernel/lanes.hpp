// Lane types of the spectrum kernel and the complex arithmetic on them.
//
// A lane type holds one double per wavelength computed together: plain
// `double` (one wavelength), or a GCC/Clang vector of 2, 4 or 8 doubles. The
// kernel is written once against the helpers here, which give the same
// spelling to both kinds: comparisons yield a mask (bool for double, a vector
// of 64-bit integers for a vector), `mask ? a : b` selects lane by lane, and
// the bit-level helpers reinterpret a lane's double as its 64 bits.
//
// This header is included by every kernel variant, each compiled with its own
// instruction-set flags. Everything in it therefore lives in the variant's own
// namespace, brenmor::kernel::BRENMOR_KERNEL_VARIANT, and calls no inline
// function of another namespace (not even of the standard library): an inline
// function shared by two variants would be emitted by both units, and the
// linker would keep one copy, compiled for one instruction set, for both.
#pragma once

#include <cstddef>
#include <cstdint>

// The vector square roots. The intrinsics are always-inline functions that
// are never emitted on their own, so they are safe to use in every variant.
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

#ifndef BRENMOR_KERNEL_VARIANT
#error "a kernel variant defines BRENMOR_KERNEL_VARIANT (its namespace) before this header"
#endif

namespace brenmor::kernel::BRENMOR_KERNEL_VARIANT {

typedef double Lanes2 __attribute__((vector_size(16)));
typedef double Lanes4 __attribute__((vector_size(32)));
typedef double Lanes8 __attribute__((vector_size(64)));
typedef std::int64_t Bits2 __attribute__((vector_size(16)));
typedef std::int64_t Bits4 __attribute__((vector_size(32)));
typedef std::int64_t Bits8 __attribute__((vector_size(64)));

// The number of lanes and the 64-bit integer type of the same shape.
template <class V>
struct LaneTraits;
template <>
struct LaneTraits<double> {
    static constexpr std::size_t lanes = 1;
    using Bits = std::int64_t;
};
template <>
struct LaneTraits<Lanes2> {
    static constexpr std::size_t lanes = 2;
    using Bits = Bits2;
};
template <>
struct LaneTraits<Lanes4> {
    static constexpr std::size_t lanes = 4;
    using Bits = Bits4;
};
template <>
struct LaneTraits<Lanes8> {
    static constexpr std::size_t lanes = 8;
    using Bits = Bits8;
};

template <class V>
using Bits = typename LaneTraits<V>::Bits;
// What a comparison of two V gives: bool, or a vector of 0 / -1 integers.
template <class V>
using Mask = decltype(V{} < V{});

template <class V>
inline constexpr std::size_t kLanes = LaneTraits<V>::lanes;

// c in every lane. (c - 0 rather than 0 + c keeps the sign of -0.)
template <class V>
[[gnu::always_inline]] inline V splat(double c) noexcept {
    return c - V{};
}

template <class V>
[[gnu::always_inline]] inline V load(const double* p) noexcept {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
[[gnu::always_inline]] inline double lane(const V& v, std::size_t l) noexcept {
    if constexpr (kLanes<V> == 1) {
        (void)l;
        return v;
    } else {
        return v[l];
    }
}

template <class M>
[[gnu::always_inline]] inline bool lane_set(const M& m, std::size_t l) noexcept {
    if constexpr (sizeof(M) == 1) {
        (void)l;
        return m;
    } else {
        return m[l] != 0;
    }
}

// True when some lane of m is set.
template <class M>
[[gnu::always_inline]] inline bool any(const M& m) noexcept {
    if constexpr (sizeof(M) == 1) {
        return m;
    } else {
        bool set = false;
        for (std::size_t l = 0; l < sizeof(M) / 8; ++l) set |= m[l] != 0;
        return set;
    }
}

template <class V>
[[gnu::always_inline]] inline Bits<V> to_bits(V v) noexcept {
    return __builtin_bit_cast(Bits<V>, v);
}

template <class V>
[[gnu::always_inline]] inline V from_bits(Bits<V> b) noexcept {
    return __builtin_bit_cast(V, b);
}

inline constexpr std::int64_t kSignBit = static_cast<std::int64_t>(0x8000000000000000ull);

template <class V>
[[gnu::always_inline]] inline V abs(V v) noexcept {
    return from_bits<V>(to_bits(v) & ~kSignBit);
}

// |magnitude| with the sign bit of `sign`.
template <class V>
[[gnu::always_inline]] inline V copysign(V magnitude, V sign) noexcept {
    return from_bits<V>((to_bits(magnitude) & ~kSignBit) | (to_bits(sign) & kSignBit));
}

// The larger of a and b (b where a is NaN).
template <class V>
[[gnu::always_inline]] inline V max(V a, V b) noexcept {
    return a > b ? a : b;
}

template <class V>
[[gnu::always_inline]] inline V sqrt(V v) noexcept {
    if constexpr (kLanes<V> == 1) {
        return __builtin_sqrt(v);
#if defined(__x86_64__)
    } else if constexpr (kLanes<V> == 2) {
        return __builtin_bit_cast(V, _mm_sqrt_pd(__builtin_bit_cast(__m128d, v)));
#if defined(__AVX__)
    } else if constexpr (kLanes<V> == 4) {
        return __builtin_bit_cast(V, _mm256_sqrt_pd(__builtin_bit_cast(__m256d, v)));
#endif
#if defined(__AVX512F__)
    } else if constexpr (kLanes<V> == 8) {
        return __builtin_bit_cast(V, _mm512_maskz_sqrt_pd(0xff, __builtin_bit_cast(__m512d, v)));
#endif
#elif defined(__aarch64__)
    } else if constexpr (kLanes<V> == 2) {
        return __builtin_bit_cast(V, vsqrtq_f64(__builtin_bit_cast(float64x2_t, v)));
#endif
    } else {
        V r = v;
        for (std::size_t l = 0; l < kLanes<V>; ++l) r[l] = __builtin_sqrt(v[l]);
        return r;
    }
}

// Set where v is neither infinite nor NaN.
template <class V>
[[gnu::always_inline]] inline Mask<V> finite(V v) noexcept {
    return v - v == 0.0;
}

// a + b and a - b of integer lanes, wrapping around. A lane outside the
// range a caller handles (an infinite or huge argument that a later step
// sends to the C library) still passes through here; for the one-lane type
// a plain int64_t overflow would be undefined, so it goes through uint64_t.
// The vector types' integer instructions wrap around by themselves.
template <class V>
[[gnu::always_inline]] inline Bits<V> wrapping_add(Bits<V> a, Bits<V> b) noexcept {
    if constexpr (kLanes<V> == 1) {
        return static_cast<Bits<V>>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
    } else {
        return a + b;
    }
}

template <class V>
[[gnu::always_inline]] inline Bits<V> wrapping_sub(Bits<V> a, Bits<V> b) noexcept {
    if constexpr (kLanes<V> == 1) {
        return static_cast<Bits<V>>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
    } else {
        return a - b;
    }
}

// The integer n (|n| < 2^51, held exactly in a double) as an integer lane.
inline constexpr double kIntegerShifter = 6755399441055744.0;  // 1.5 * 2^52

template <class V>
[[gnu::always_inline]] inline Bits<V> to_integer(V n) noexcept {
    return wrapping_sub<V>(to_bits(n + kIntegerShifter), to_bits(splat<V>(kIntegerShifter)));
}

// The integer lanes n (|n| < 2^51) as doubles, exactly.
template <class V>
[[gnu::always_inline]] inline V to_double(Bits<V> n) noexcept {
    return from_bits<V>(wrapping_add<V>(n, to_bits(splat<V>(kIntegerShifter)))) - kIntegerShifter;
}

// 2^k for integer lanes -1022 <= k <= 1023.
template <class V>
[[gnu::always_inline]] inline V power_of_two(Bits<V> k) noexcept {
    return from_bits<V>((k + 1023) << 52);
}

// ---------------------------------------------------------------------------
// Complex lanes

template <class V>
struct Cx {
    V re;
    V im;
};

template <class V>
[[gnu::always_inline]] inline Cx<V> load(const double* re, const double* im) noexcept {
    return {load<V>(re), load<V>(im)};
}

template <class V>
[[gnu::always_inline]] inline Cx<V> operator+(Cx<V> a, Cx<V> b) noexcept {
    return {a.re + b.re, a.im + b.im};
}

template <class V>
[[gnu::always_inline]] inline Cx<V> operator-(Cx<V> a, Cx<V> b) noexcept {
    return {a.re - b.re, a.im - b.im};
}

template <class V>
[[gnu::always_inline]] inline Cx<V> operator*(Cx<V> a, Cx<V> b) noexcept {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// Real times complex.
template <class V>
[[gnu::always_inline]] inline Cx<V> operator*(V r, Cx<V> z) noexcept {
    return {r * z.re, r * z.im};
}

// 1 / z = conj(z) / |z|^2: one division.
template <class V>
[[gnu::always_inline]] inline Cx<V> reciprocal(Cx<V> z) noexcept {
    const V inverse_norm = 1.0 / (z.re * z.re + z.im * z.im);
    return {z.re * inverse_norm, -z.im * inverse_norm};
}

template <class V>
[[gnu::always_inline]] inline Mask<V> finite(Cx<V> z) noexcept {
    return finite(z.re) & finite(z.im);
}

// The larger of |re| and |im|.
template <class V>
[[gnu::always_inline]] inline V largest_part(Cx<V> z) noexcept {
    return max(abs(z.re), abs(z.im));
}

// The principal square root by the algebraic form: with t = sqrt((|x| +
// |z|) / 2) and u = |y| / (2 t), sqrt(x + iy) is t + i u sign(y) for x with
// its sign bit clear and u + i t sign(y) otherwise. The signed zeros follow
// the reference root: a real z = x + 0i with x < 0 (or x = -0) gives
// 0 + i sqrt(-x) carrying the sign of the zero imaginary part, so a lossless
// medium beyond the critical angle (Im z = +0) gets +i sqrt(-x), and z = ±0
// gives 0 + y i. For arguments whose x^2 + y^2 neither overflows nor
// underflows.
template <class V>
[[gnu::always_inline]] inline Cx<V> principal_sqrt_in_range(V x, V y) noexcept {
    const V modulus = sqrt(x * x + y * y);
    const V t = sqrt(0.5 * (abs(x) + modulus));
    const V u = t == 0.0 ? splat<V>(0.0) : abs(y) / (t + t);
    const Mask<V> positive = to_bits(x) >= 0;  // sign bit clear
    return {positive ? t : u, copysign(positive ? u : t, y)};
}

// The principal square root of any z: arguments far from 1 are scaled by an
// even power of two first, and the root back by half of it.
template <class V>
[[gnu::always_inline]] inline Cx<V> principal_sqrt(Cx<V> z) noexcept {
    const V largest = largest_part(z);
    const Mask<V> huge = largest > 0x1p+500;
    const Mask<V> tiny = largest < 0x1p-500;
    // Nearly always every lane is in range. Their scale would be 1, which
    // changes no bit, so the scaling is skipped.
    const Mask<V> outside = huge | tiny;
    if (!any(outside)) [[likely]] return principal_sqrt_in_range(z.re, z.im);
    const V scale = huge ? splat<V>(0x1p-600) : tiny ? splat<V>(0x1p+600) : splat<V>(1.0);
    const V unscale = huge ? splat<V>(0x1p+300) : tiny ? splat<V>(0x1p-300) : splat<V>(1.0);
    const Cx<V> root = principal_sqrt_in_range(z.re * scale, z.im * scale);
    return {root.re * unscale, root.im * unscale};
}

}  // namespace brenmor::kernel::BRENMOR_KERNEL_VARIANT
