// The spectrum kernel, every variant this processor runs: against the
// reference to rounding and against each other; non-finite and degenerate
// inputs; the results of a wavelength whatever its neighbours, its position
// and the split of the spectrum; its exponential, sine and cosine against the
// C library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstddef>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kernel/variants.hpp"
#include "transfers.hpp"
#include "support.hpp"

namespace brenmor::testing {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using kernel::Variant;

std::vector<const Variant*> variants() { return kernel::supported_variants(); }

std::string variant_name(const ::testing::TestParamInfo<const Variant*>& info) {
    return info.param->name;
}

// The reference Transfer of wavelength i: both matrices from
// transfer_for_wavelength, exponents 0.
Transfer reference_transfer(const Data& data, std::size_t i) {
    return Transfer{transfer_for_wavelength(data, i, Polarisation::s),
                    transfer_for_wavelength(data, i, Polarisation::p)};
}

// The first wavelength where `got` does not agree with the reference to
// within rel (see rounding_mismatch); wavelengths whose reference matrix is
// not finite are skipped (they overflow in the reference order, or are
// degenerate and checked elsewhere).
std::string first_mismatch(const Data& data, const std::vector<Transfer>& got, double rel) {
    if (got.size() != data.wl.size()) return "size " + std::to_string(got.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        const Transfer expected = reference_transfer(data, i);
        for (const bool p : {false, true}) {
            const CMatrix2& reference = p ? expected.p : expected.s;
            if (!all_finite(reference)) continue;
            const std::string mismatch = rounding_mismatch(
                p ? got[i].p : got[i].s, p ? got[i].p_exponent : got[i].s_exponent, reference, rel);
            if (!mismatch.empty()) {
                return "i = " + std::to_string(i) + (p ? " p: " : " s: ") + mismatch;
            }
        }
    }
    return "";
}

// A random index of one of the kinds a stack meets.
Complex random_index(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double re = 1.0 + 3.0 * unit(rng);
    switch (std::uniform_int_distribution<int>(0, 8)(rng)) {
        case 0: return {re, 0.0};                          // lossless
        case 1: return {re, -0.0};                         // lossless, negative zero
        case 2: return {re, 0.5 * unit(rng)};              // absorbing
        case 3: return {re, -0.3 * unit(rng)};             // gain
        case 4: return {0.05 + 0.3 * unit(rng), 4.0 + 4.0 * unit(rng)};  // metal
        case 5: return {1.0 + 0.2 * unit(rng), 1e-6 * unit(rng)};        // low index, TIR
        case 6: {                                          // N^2 purely imaginary
            const double a = 0.5 + unit(rng);
            return {a, a};
        }
        case 7: return {re, 1e-300 * unit(rng)};           // tiny loss
        default: return {0.0, re};                         // purely imaginary
    }
}

// A random stack: L media, N wavelengths (n with `extra` spare columns),
// dispersive indices, thicknesses including zero, angles including 0 and
// large ones.
Data random_stack(std::mt19937_64& rng, std::size_t media, std::size_t count, std::size_t extra) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const std::size_t cols = count + extra;
    std::vector<Complex> storage(media * cols);
    for (std::size_t j = 0; j < media; ++j) {
        const Complex base = j == 0 && unit(rng) < 0.6 ? Complex{1.0 + unit(rng), 0.0}
                                                        : random_index(rng);
        const double slope = unit(rng) < 0.5 ? 0.0 : 0.2 * (unit(rng) - 0.5);
        for (std::size_t i = 0; i < cols; ++i) {
            const double x = static_cast<double>(i) / static_cast<double>(cols);
            storage[j * cols + i] = {base.re + slope * x,
                                     base.im == 0.0 ? base.im : base.im * (1.0 + slope * x)};
        }
    }
    Data data;
    for (std::size_t k = 0; k + 2 < media; ++k) {
        const double r = unit(rng);
        data.d.push_back(r < 0.1 ? 0.0 : r < 0.15 ? 5000.0 * unit(rng) : 300.0 * unit(rng));
    }
    data.n = Array2<Complex>::row_major(std::move(storage), media, cols);
    const double low = 200.0 + 600.0 * unit(rng);
    for (std::size_t i = 0; i < count; ++i) {
        data.wl.push_back(low + 500.0 * static_cast<double>(i) / static_cast<double>(count));
    }
    const double angles[] = {0.0, -0.0, 0.3, 0.9, 1.3, 1.5707963267948966, 2.5, -1.1, 40.0};
    data.theta = unit(rng) < 0.5 ? angles[std::uniform_int_distribution<int>(0, 8)(rng)]
                                 : 3.2 * unit(rng) - 1.6;
    data.phi = 0.4;
    return data;
}

// Every variant, on random stacks (lossless, absorbing, gain, metals, total
// internal reflection, thick layers, angles up to grazing and beyond), on the
// calling thread (N <= 100, remainders of every block size) and on the pool.
class KernelMatchesReference
    : public ::testing::TestWithParam<std::tuple<const Variant*, std::size_t>> {};

TEST_P(KernelMatchesReference, OnRandomStacks) {
    const auto [variant, count] = GetParam();
    std::mt19937_64 rng(1000 + count);
    const int stacks = count > 1000 ? 3 : count > 100 ? 12 : 60;
    for (int k = 0; k < stacks; ++k) {
        const std::size_t media = std::uniform_int_distribution<std::size_t>(2, 30)(rng);
        const std::size_t extra = std::uniform_int_distribution<std::size_t>(0, 2)(rng);
        const Data data = random_stack(rng, media, count, extra);
        ASSERT_EQ(first_mismatch(data, detail::transfer_calc_with(*variant, data), 1e-9), "")
            << "stack " << k << ", L = " << media << ", theta " << data.theta;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, KernelMatchesReference,
    ::testing::Combine(::testing::ValuesIn(variants()),
                       ::testing::Values(1, 2, 3, 5, 7, 8, 9, 17, 63, 64, 65, 100, 101, 1001)),
    [](const auto& param_info) {
        return std::string(std::get<0>(param_info.param)->name) + "_" +
               std::to_string(std::get<1>(param_info.param));
    });

// Well-conditioned stacks agree with the reference to a few units of 1e-16 of
// the largest element.
// Mirrors of two materials, whose media repeat every second step: periodic
// and chirped, lossless, absorbing and with gain, lit normally, obliquely and
// beyond the critical angle of the low layers.
TEST(Kernel, RepeatingStacksAgreeClosely) {
    const std::vector<std::pair<Complex, Complex>> pairs = {
        {{2.35, 0.0}, {1.46, 0.0}},
        {{2.35, 0.02}, {1.46, 0.0}},
        {{2.35, -0.01}, {1.38, 0.001}},
        {{0.06, 4.2}, {1.46, 0.0}},
    };
    for (const Variant* variant : variants()) {
        for (const auto& [high, low] : pairs) {
            for (const bool chirped : {false, true}) {
                const std::size_t count = 37;
                const std::size_t layers = 40;
                std::vector<Complex> storage;
                storage.insert(storage.end(), count, Complex{1.52, 0.0});
                for (std::size_t k = 0; k < layers; ++k) {
                    storage.insert(storage.end(), count, k % 2 == 0 ? high : low);
                }
                storage.insert(storage.end(), count, Complex{1.52, 0.0});
                Data data;
                for (std::size_t k = 0; k < layers; ++k) {
                    const double quarter = k % 2 == 0 ? 60.0 : 95.0;
                    data.d.push_back(chirped ? quarter * (1.0 + 0.01 * static_cast<double>(k / 2))
                                             : quarter);
                }
                data.n = Array2<Complex>::row_major(std::move(storage), layers + 2, count);
                for (std::size_t i = 0; i < count; ++i) {
                    data.wl.push_back(400.0 + 11.0 * static_cast<double>(i));
                }
                for (const double theta : {0.0, 0.4, 1.1}) {
                    data.theta = theta;
                    EXPECT_EQ(first_mismatch(data, detail::transfer_calc_with(*variant, data),
                                             1e-14 * static_cast<double>(layers + 2)),
                              "")
                        << variant->name << ", " << high.re << " + " << high.im << "i / " << low.re
                        << ", chirped " << chirped << ", theta " << theta;
                }
            }
        }
    }
}

TEST(Kernel, OrdinaryStacksAgreeClosely) {
    for (const Variant* variant : variants()) {
        for (const std::size_t layers : {0u, 1u, 20u, 101u}) {
            const Data data = dispersive_stack(layers, 37);
            EXPECT_EQ(first_mismatch(data, detail::transfer_calc_with(*variant, data),
                                     1e-14 * static_cast<double>(layers + 2)),
                      "")
                << variant->name << ", " << layers << " layers";
        }
    }
}

// At normal incidence one running product gives both matrices (the p matrix
// follows from the s matrix). Media of negative index, whose root is -N,
// flip the sign of the p matrix when they are outside and cancel inside; for
// a real part of -0 the signs of zeros decide the root.
TEST(Kernel, NormalIncidenceAgreesClosely) {
    const Complex glass{1.52, 0.0};
    const Complex negative{-1.3, 0.02};
    const Complex metal{0.06, 4.2};
    const std::vector<std::vector<Complex>> stacks = {
        {{1.0, 0.0}, {2.3, 0.0}, {1.46, 0.001}, glass},
        {negative, {2.3, 0.0}, {1.46, 0.0}, glass},
        {{1.0, 0.0}, {2.3, 0.0}, {1.46, 0.0}, negative},
        {negative, {2.3, 0.0}, metal, negative},
        {{1.0, 0.0}, negative, {-2.0, -0.1}, {1.46, 0.0}, glass},
        {{1.0, 0.0}, {0.0, 1.7}, {1.46, -0.01}, {0.0, -2.0}},
        // A real part of -0: beta = sin 0 * N_0 = -0 + 0i makes the root +N.
        {{-0.0, 3.0}, {3.0, 3.0}},
        {{-0.0, 3.0}, {2.0, 0.1}, {-0.0, -3.0}},
        {{1.0, 0.0}, {-0.0, 3.0}, {1.5, 0.0}}};
    for (const Variant* variant : variants()) {
        for (const std::vector<Complex>& media : stacks) {
            for (const double theta : {0.0, -0.0}) {
                const std::size_t count = 11;
                std::vector<Complex> storage;
                for (const Complex medium : media) storage.insert(storage.end(), count, medium);
                Data data;
                data.d.assign(media.size() - 2, 97.0);
                data.n = Array2<Complex>::row_major(std::move(storage), media.size(), count);
                for (std::size_t i = 0; i < count; ++i) {
                    data.wl.push_back(380.0 + 41.0 * static_cast<double>(i));
                }
                data.theta = theta;
                EXPECT_EQ(first_mismatch(data, detail::transfer_calc_with(*variant, data), 1e-14),
                          "")
                    << variant->name << ", " << media.size() << " media starting "
                    << media.front().re << ", ending " << media.back().re << ", theta " << theta;
            }
        }
    }
}

// The variants against each other: their spectra agree to rounding.
TEST(Kernel, VariantsAgreeWithEachOther) {
    std::mt19937_64 rng(4242);
    for (int k = 0; k < 30; ++k) {
        const Data data = random_stack(rng, 2 + static_cast<std::size_t>(k % 25), 45, 0);
        std::vector<std::vector<double>> r;
        std::vector<std::vector<double>> t;
        for (const Variant* variant : variants()) {
            Data record = copy_stack(data);
            record.transfer_cache.set(detail::transfer_calc_with(*variant, data));
            r.push_back(get_r_power_vec(record));
            t.push_back(get_t_power_vec(record));
        }
        for (std::size_t v = 1; v < r.size(); ++v) {
            for (std::size_t i = 0; i < data.wl.size(); ++i) {
                if (!std::isfinite(r[0][i])) {
                    EXPECT_FALSE(std::isfinite(r[v][i])) << variants()[v]->name << " " << i;
                    continue;
                }
                EXPECT_EQ(close_values(r[v][i], r[0][i], 1e-9, 1e-3), "")
                    << variants()[v]->name << " R, stack " << k << ", i = " << i;
                EXPECT_EQ(close_values(t[v][i], t[0][i], 1e-9, 1e-3), "")
                    << variants()[v]->name << " T, stack " << k << ", i = " << i;
            }
        }
    }
}

// n addressed through strides: column-major storage and reversed axes give
// the same bits.
TEST(Kernel, StridedIndexTables) {
    std::mt19937_64 rng(5);
    for (const std::size_t count : {7u, 150u}) {
        const Data plain = random_stack(rng, 6, count, 0);
        const std::size_t rows = plain.n.rows();
        std::vector<Complex> column_major(rows * count);
        std::vector<Complex> reversed(rows * count);
        for (std::size_t j = 0; j < rows; ++j) {
            for (std::size_t i = 0; i < count; ++i) {
                column_major[i * rows + j] = plain.n(j, i);
                reversed[(rows - 1 - j) * count + (count - 1 - i)] = plain.n(j, i);
            }
        }
        Data a = copy_stack(plain);
        a.n = Array2<Complex>(std::move(column_major), rows, count, 1,
                              static_cast<std::ptrdiff_t>(rows), 0);
        Data b = copy_stack(plain);
        b.n = Array2<Complex>(std::move(reversed), rows, count,
                              -static_cast<std::ptrdiff_t>(count), -1, rows * count - 1);
        const std::vector<Transfer> expected = transfer_calc(plain);
        EXPECT_EQ(first_mismatch(plain, expected, 1e-9), "");
        for (const Data* data : {&a, &b}) {
            const std::vector<Transfer> got = transfer_calc(*data);
            ASSERT_EQ(got.size(), count);
            for (std::size_t i = 0; i < count; ++i) {
                ASSERT_TRUE(same_value(got[i], expected[i])) << i;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// A wavelength's bits depend on its own inputs only.

// The columns `order` of data (wavelength k of the result is wavelength
// order[k] of data).
Data reordered(const Data& data, const std::vector<std::size_t>& order) {
    const std::size_t rows = data.n.rows();
    std::vector<Complex> storage;
    for (std::size_t j = 0; j < rows; ++j) {
        for (const std::size_t i : order) storage.push_back(data.n(j, i));
    }
    Data out;
    out.d = data.d;
    out.n = Array2<Complex>::row_major(std::move(storage), rows, order.size());
    for (const std::size_t i : order) out.wl.push_back(data.wl[i]);
    out.theta = data.theta;
    out.phi = data.phi;
    return out;
}

class Determinism : public ::testing::TestWithParam<const Variant*> {};

TEST_P(Determinism, ShuffledAndSlicedSpectraGiveTheSameBits) {
    const Variant& variant = *GetParam();
    std::mt19937_64 rng(99);
    for (int k = 0; k < 6; ++k) {
        const std::size_t count = 257;
        const Data data = random_stack(rng, 3 + static_cast<std::size_t>(5 * k), count, 0);
        const std::vector<Transfer> whole = detail::transfer_calc_with(variant, data);

        std::vector<std::size_t> order(count);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::shuffle(order.begin(), order.end(), rng);
        const std::vector<Transfer> shuffled =
            detail::transfer_calc_with(variant, reordered(data, order));
        for (std::size_t m = 0; m < count; ++m) {
            ASSERT_TRUE(same_value(shuffled[m], whole[order[m]])) << "stack " << k << ", " << m;
        }

        // Slices of every length around the sequential limit and the block
        // sizes, starting anywhere.
        for (const std::size_t length : {1u, 3u, 7u, 9u, 13u, 63u, 65u, 99u, 100u, 101u, 102u}) {
            const std::size_t start = std::uniform_int_distribution<std::size_t>(0, count - length)(rng);
            std::vector<std::size_t> slice(length);
            std::iota(slice.begin(), slice.end(), start);
            const std::vector<Transfer> part =
                detail::transfer_calc_with(variant, reordered(data, slice));
            for (std::size_t m = 0; m < length; ++m) {
                ASSERT_TRUE(same_value(part[m], whole[start + m]))
                    << "stack " << k << ", slice " << start << "+" << length << " at " << m;
            }
        }
    }
}

// Some steps of a block are skipped when no lane needs them (the exponential
// of a layer lossless at every lane, the scaling of a root in range at every
// lane). A wavelength whose neighbours need them gets the bits it has alone.
TEST_P(Determinism, NeighboursThatNeedMoreStepsChangeNoBit) {
    const Variant& variant = *GetParam();
    const std::size_t count = 40;
    const std::vector<Complex> media = {{1.0, 0.0}, {2.1, 0.0}, {1.46, 0.0}, {2.3, 0.0}, {1.52, 0.0}};
    std::vector<Complex> storage;
    for (std::size_t j = 0; j < media.size(); ++j) {
        for (std::size_t i = 0; i < count; ++i) {
            Complex z = media[j];
            // Every third wavelength absorbs in the layers; every seventh has
            // a layer of an index whose square overflows, every eleventh one
            // whose square underflows (those take the reference).
            if (j > 0 && j + 1 < media.size() && i % 3 == 1) z.im = 0.02 * static_cast<double>(j);
            if (j == 2 && i % 7 == 4) z = {1e200, 0.0};
            if (j == 3 && i % 11 == 6) z = {1e-200, 1e-200};
            storage.push_back(z);
        }
    }
    Data data;
    data.d = {83.0, 120.0, 61.0};
    data.n = Array2<Complex>::row_major(std::move(storage), media.size(), count);
    for (std::size_t i = 0; i < count; ++i) data.wl.push_back(420.0 + 9.0 * static_cast<double>(i));
    for (const double theta : {0.0, 0.5}) {
        data.theta = theta;
        const std::vector<Transfer> whole = detail::transfer_calc_with(variant, data);
        for (std::size_t i = 0; i < count; ++i) {
            const std::vector<Transfer> alone =
                detail::transfer_calc_with(variant, reordered(data, {i}));
            ASSERT_TRUE(same_value(alone[0], whole[i])) << "theta " << theta << ", i = " << i;
        }
    }
}

// A medium whose index repeats that of the medium two steps nearer the exit
// at every lane of a block takes over its root, and a layer that repeats its
// thickness too takes over its propagation factors. A wavelength whose
// neighbour breaks the repeat gets the bits it has alone (where nothing
// breaks it), and both agree with the reference.
TEST_P(Determinism, RepeatsBrokenByANeighbourChangeNoBit) {
    const Variant& variant = *GetParam();
    const std::size_t count = 45;
    const Complex high{2.35, 0.0};
    const Complex low{1.46, 0.0};
    // air | (H L) x 5 | glass: L = 12, ten layers.
    std::vector<Complex> media = {{1.0, 0.0}};
    for (int k = 0; k < 5; ++k) {
        media.push_back(high);
        media.push_back(low);
    }
    media.push_back({1.52, 0.0});
    std::vector<Complex> storage;
    for (std::size_t j = 0; j < media.size(); ++j) {
        for (std::size_t i = 0; i < count; ++i) {
            Complex z = media[j];
            // Every fifth wavelength has one H layer an ulp away from the
            // others, every seventh one L layer of index 1.46 - 0i, every
            // ninth one absorbing H layer, every eleventh one entry medium of
            // the H index (which then repeats it).
            if (j == 5 && i % 5 == 2) z.re = std::nextafter(z.re, 3.0);
            if (j == 6 && i % 7 == 3) z.im = -0.0;
            if (j == 7 && i % 9 == 4) z.im = 0.004;
            if (j == 0 && i % 11 == 5) z = high;
            storage.push_back(z);
        }
    }
    Data data;
    // Quarter-wave pairs, then a chirp; one pair of layers of 0 and -0.
    data.d = {61.0, 98.0, 61.0, 98.0, 61.0, 98.0, 0.0, 112.0, -0.0, 112.0};
    data.n = Array2<Complex>::row_major(std::move(storage), media.size(), count);
    for (std::size_t i = 0; i < count; ++i) data.wl.push_back(420.0 + 9.0 * static_cast<double>(i));
    for (const double theta : {0.0, 0.5, 1.2}) {
        data.theta = theta;
        const std::vector<Transfer> whole = detail::transfer_calc_with(variant, data);
        EXPECT_EQ(first_mismatch(data, whole, 1e-13), "") << "theta " << theta;
        for (std::size_t i = 0; i < count; ++i) {
            const std::vector<Transfer> alone =
                detail::transfer_calc_with(variant, reordered(data, {i}));
            ASSERT_TRUE(same_value(alone[0], whole[i])) << "theta " << theta << ", i = " << i;
        }
    }
}

// A range computed on its own leaves everything outside it untouched and
// gives the bits of the whole spectrum inside.
TEST_P(Determinism, AnyRangeGivesTheBitsOfTheWhole) {
    const Variant& variant = *GetParam();
    std::mt19937_64 rng(77);
    const Data data = random_stack(rng, 9, 23, 0);
    const std::vector<Transfer> whole = detail::transfer_calc_with(variant, data);
    for (std::size_t begin = 0; begin < 23; ++begin) {
        for (std::size_t end = begin + 1; end <= 23; ++end) {
            std::vector<Transfer> out(23);
            for (Transfer& t : out) t.s.e[0] = {-7.0, 7.0};
            detail::compute_range(variant, data.d, data.n, data.wl, data.theta, begin, end,
                                  out.data());
            for (std::size_t i = 0; i < 23; ++i) {
                if (i < begin || i >= end) {
                    ASSERT_TRUE(same_bits(out[i].s.e[0], Complex{-7.0, 7.0})) << i;
                } else {
                    ASSERT_TRUE(same_value(out[i], whole[i])) << begin << ".." << end << " at " << i;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, Determinism, ::testing::ValuesIn(variants()), variant_name);

// ---------------------------------------------------------------------------
// Inputs that make values non-finite, or the reference order overflow.

// Inputs that make values non-finite, in one lane of a block or in all.
struct SpecialCase {
    const char* name;
    Complex layer;     // index of the middle layer
    double thickness;  // of the middle layer
    double lambda;     // of wavelength 2
    double theta;
    // The reference order overflows at wavelength 2 and the last one (the
    // special layer), or at the others (the ordinary layer, 2.2 + 0.003i):
    // the kernel's result is finite there.
    bool overflows = false;
    bool others_overflow = false;
    // The phase is so large that its rounding alone changes the result.
    bool huge_phase = false;
};

void PrintTo(const SpecialCase& c, std::ostream* os) { *os << c.name; }

// R and T of every wavelength, from transfers in the reference order or from
// one variant's.
struct Spectra {
    std::vector<double> r;
    std::vector<double> t;
};

Spectra reference_spectra(const Data& data) {
    Data plain = copy_stack(data);
    plain.transfer_cache.set([&] {
        std::vector<Transfer> out;
        for (std::size_t i = 0; i < data.wl.size(); ++i) out.push_back(reference_transfer(data, i));
        return out;
    }());
    Spectra spectra{get_r_power_vec(plain), {}};
    spectra.t = get_t_power_vec(plain);
    return spectra;
}

Spectra variant_spectra(const Variant& variant, const Data& data) {
    Data record = copy_stack(data);
    record.transfer_cache.set(detail::transfer_calc_with(variant, data));
    Spectra spectra{get_r_power_vec(record), {}};
    spectra.t = get_t_power_vec(record);
    return spectra;
}

class SpecialValues : public ::testing::TestWithParam<SpecialCase> {};

TEST_P(SpecialValues, KeepFinitenessAndAgreeToRounding) {
    const SpecialCase c = GetParam();
    // The special layer inside a multilayer, and as the only layer (where a
    // non-finite phase factor can still leave some parts of M infinite rather
    // than NaN).
    const std::vector<std::vector<Complex>> stacks = {
        {{1.0, 0.0}, {1.9, 0.01}, c.layer, {1.45, 0.0}, {1.52, 0.0}},
        {{1.0, 0.0}, c.layer, {1.5, 0.7}},
        {{1.0, 0.0}, c.layer, {1.5, 0.0}}};
    for (const std::vector<Complex>& media : stacks) {
        const std::size_t rows = media.size();
        const std::size_t special_row = rows == 5 ? 2 : 1;
        for (const std::size_t count : {5u, 130u}) {
            std::vector<Complex> storage;
            for (std::size_t j = 0; j < rows; ++j) {
                for (std::size_t i = 0; i < count; ++i) {
                    // The special layer only at wavelength 2 and the last one,
                    // so that the other lanes of those blocks stay ordinary.
                    const bool ordinary = j == special_row && i != 2 && i + 1 != count;
                    storage.push_back(ordinary ? Complex{2.2, 0.003} : media[j]);
                }
            }
            Data data;
            data.d = rows == 5 ? std::vector<double>{70.0, c.thickness, 90.0}
                               : std::vector<double>{c.thickness};
            data.n = Array2<Complex>::row_major(std::move(storage), rows, count);
            for (std::size_t i = 0; i < count; ++i) {
                data.wl.push_back(400.0 + static_cast<double>(i));
            }
            data.wl[2] = c.lambda;
            data.theta = c.theta;
            const auto [r_plain, t_plain] = reference_spectra(data);
            for (const Variant* variant : variants()) {
                const auto [r, t] = variant_spectra(*variant, data);
                for (std::size_t i = 0; i < count; ++i) {
                    const std::string where = std::string(variant->name) + ", L = " +
                                              std::to_string(rows) + ", N = " +
                                              std::to_string(count) + ", i = " + std::to_string(i);
                    const bool special = i == 2 || i + 1 == count;
                    if ((c.overflows && special) || (c.others_overflow && !special)) {
                        EXPECT_TRUE(std::isfinite(r[i]) && std::isfinite(t[i])) << where;
                        continue;
                    }
                    EXPECT_EQ(std::isfinite(r[i]), std::isfinite(r_plain[i])) << where;
                    EXPECT_EQ(std::isfinite(t[i]), std::isfinite(t_plain[i])) << where;
                    if (c.huge_phase || !std::isfinite(r_plain[i]) || !std::isfinite(t_plain[i])) {
                        continue;
                    }
                    EXPECT_EQ(close_values(r[i], r_plain[i], 1e-9, 1e-3), "") << "R " << where;
                    EXPECT_EQ(close_values(t[i], t_plain[i], 1e-9, 1e-3), "") << "T " << where;
                }
            }
        }
    }
}

// A stack of the given media, the same at every one of `count` wavelengths.
Data uniform_stack(const std::vector<Complex>& media, double thickness, double lambda, double theta,
                   std::size_t count) {
    std::vector<Complex> storage;
    for (const Complex medium : media) storage.insert(storage.end(), count, medium);
    Data data;
    data.d.assign(media.size() - 2, thickness);
    data.n = Array2<Complex>::row_major(std::move(storage), media.size(), count);
    data.wl.assign(count, lambda);
    data.theta = theta;
    return data;
}

// Every variant's R and T are finite exactly where the reference order's are;
// returns whether the reference's were finite at the first wavelength.
bool expect_reference_finiteness(const Data& data, const std::string& what) {
    const std::size_t count = data.wl.size();
    const auto [r_plain, t_plain] = reference_spectra(data);
    for (const Variant* variant : variants()) {
        const auto [r, t] = variant_spectra(*variant, data);
        for (std::size_t i = 0; i < count; ++i) {
            const std::string where = what + ", " + variant->name + ", N = " + std::to_string(count) +
                                      ", i = " + std::to_string(i);
            EXPECT_EQ(std::isfinite(r[i]), std::isfinite(r_plain[i])) << where;
            EXPECT_EQ(std::isfinite(t[i]), std::isfinite(t_plain[i])) << where;
        }
    }
    return std::isfinite(r_plain[0]) && std::isfinite(t_plain[0]);
}

// Whole stacks of tiny indices, where the reference's results are finite:
// each interface multiplies the p product by about |N|^3, which over four
// layers would underflow to 0 below about 1e-26. The kernel carries such
// sizes down to 2^-80 and leaves smaller ones to the reference.
TEST(SpecialValues, StacksOfTinyIndicesAgreeWithTheReference) {
    for (const double size : {1e-20, 1e-24, 1e-25, 1e-26, 1e-28, 1e-30, 1e-40}) {
        for (const double theta : {0.0, 0.3}) {
            const std::size_t media = 12;
            const std::size_t count = 5;
            std::vector<Complex> storage;
            for (std::size_t j = 0; j < media; ++j) {
                const Complex index{size * (1.0 + 0.3 * static_cast<double>(j % 3)),
                                    size * 0.01 * static_cast<double>(j % 2)};
                storage.insert(storage.end(), count, index);
            }
            Data data;
            data.d.assign(media - 2, 100.0);
            data.n = Array2<Complex>::row_major(std::move(storage), media, count);
            data.wl = {400.0, 450.0, 500.0, 600.0, 700.0};
            data.theta = theta;
            const auto [r_plain, t_plain] = reference_spectra(data);
            for (const Variant* variant : variants()) {
                const std::string where = std::string(variant->name) + ", |N| " +
                                          std::to_string(size) + ", theta " + std::to_string(theta);
                EXPECT_EQ(first_mismatch(data, detail::transfer_calc_with(*variant, data), 1e-12),
                          "")
                    << where;
                const auto [r, t] = variant_spectra(*variant, data);
                for (std::size_t i = 0; i < count; ++i) {
                    ASSERT_TRUE(std::isfinite(r_plain[i]) && std::isfinite(t_plain[i])) << where;
                    EXPECT_EQ(close_values(r[i], r_plain[i], 1e-12, 1e-12), "") << "R " << where;
                    EXPECT_EQ(close_values(t[i], t_plain[i], 1e-12, 1e-12), "") << "T " << where;
                }
            }
        }
    }
}

// An entry or exit medium of a size no material has: the reference divides
// by N through |N|^2, which underflows for |N| below about 1e-162, and its
// interface denominators overflow for an entry medium near 1e154. Its results
// are not finite, and the kernel's must not be either.
TEST(SpecialValues, OuterMediaOfAbsurdSizeKeepTheReferenceFiniteness) {
    const Complex ordinary{1.0, 1.0};
    struct Absurd {
        const char* name;
        Complex index;
        bool is_exit;
    };
    for (const auto [name, absurd, absurd_is_exit] :
         {Absurd{"exit 1e-300i", {0.0, 1e-300}, true}, Absurd{"entry 1e-300i", {0.0, 1e-300}, false},
          Absurd{"exit -3e-170 + 1e-200i", {-3e-170, 1e-200}, true},
          Absurd{"entry -3e-170 + 1e-200i", {-3e-170, 1e-200}, false},
          Absurd{"exit 1e-163", {1e-163, 0.0}, true}, Absurd{"entry -1e154 + 100i", {-1e154, 100.0}, false}}) {
        // With a layer between the outer media, and as a single interface.
        for (const bool with_layer : {true, false}) {
            std::vector<Complex> media = {absurd_is_exit ? ordinary : absurd,
                                          absurd_is_exit ? absurd : ordinary};
            if (with_layer) media.insert(media.begin() + 1, Complex{1.9, 0.01});
            for (const std::size_t count : {5u, 130u}) {
                const std::string what = std::string(name) + (with_layer ? ", one layer" : ", no layer");
                EXPECT_FALSE(expect_reference_finiteness(uniform_stack(media, 80.0, 400.0, 0.0, count), what))
                    << what << ": the reference is expected to be non-finite here";
            }
        }
    }
}

// Where a sum cancels exactly in the reference order, it divides by 0; the
// kernel's own rounding (and the fused multiply-adds of some variants) may
// leave a residual of a few ulps there, and must still give no finite value
// where the reference gives none:
//   - at theta = 1.5707963267948966, whose sine rounds to 1, the entry
//     medium's root sqrt(N0^2 - beta^2) is exactly 0 when N0^2 is inexact;
//   - an interface denominator sigma at a pole of the stack (a case the
//     fuzzer found, whose p sigma of 1e8-sized terms is 0 in the reference).
TEST(SpecialValues, SumsThatCancelInTheReferenceKeepItsFiniteness) {
    const Complex inexact_square{1.5707963267948966, 1.5707963267948966};
    struct Case {
        const char* name;
        std::vector<Complex> media;
        double thickness;
        double lambda;
        double theta;
    };
    const double grazing = 1.5707963267948966;
    const std::vector<Case> cases = {
        {"grazing, one medium", {inexact_square, inexact_square, inexact_square}, 120.0, 500.0, grazing},
        {"grazing, a film", {inexact_square, {1.9, 0.01}, {1.5, 0.0}}, 120.0, 500.0, grazing},
        {"grazing, absorbing media", {{1.3, 0.7}, {2.2, 0.003}, {1.1, 0.2}, {1.5, 0.0}}, 120.0, 500.0, grazing},
        // Media that repeat the one two steps nearer the exit take over its
        // root, and with it the outcome of its check.
        {"grazing, repeated media",
         {inexact_square, {1.9, 0.01}, inexact_square, {1.9, 0.01}, inexact_square, {1.5, 0.0}},
         120.0, 500.0, grazing},
        {"grazing, repeated up to the exit",
         {inexact_square, {1.9, 0.01}, inexact_square, {1.9, 0.01}, inexact_square},
         120.0, 500.0, grazing},
        {"p pole", {{1e8, 1e8}, {0.0, 1.5}, {1.5, 1e-300}}, 1e8, -9.8683082107878752e+148,
         -1.1010369278170449e+107},
    };
    for (const Case& c : cases) {
        for (const std::size_t count : {5u, 130u}) {
            EXPECT_FALSE(expect_reference_finiteness(
                uniform_stack(c.media, c.thickness, c.lambda, c.theta, count), c.name))
                << c.name << ": the reference is expected to be non-finite here";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, SpecialValues,
    ::testing::Values(
        SpecialCase{"ordinary", {2.0, 0.1}, 100.0, 500.0, 0.4},
        SpecialCase{"index_zero", {0.0, 0.0}, 100.0, 500.0, 0.4},
        SpecialCase{"index_below_division", {0.0, 1e-300}, 100.0, 500.0, 0.4},
        SpecialCase{"index_nan", {kNaN, 0.0}, 100.0, 500.0, 0.4},
        SpecialCase{"index_nan_imaginary", {2.0, kNaN}, 100.0, 500.0, 0.4},
        SpecialCase{"index_infinite", {kInf, 0.0}, 100.0, 500.0, 0.4},
        SpecialCase{"index_infinite_imaginary", {1.0, kInf}, 100.0, 500.0, 0.4},
        SpecialCase{"index_negative_infinite", {-kInf, -kInf}, 100.0, 500.0, 0.4},
        SpecialCase{"wavelength_zero", {2.0, 0.1}, 100.0, 0.0, 0.4},
        SpecialCase{"wavelength_zero_lossless", {2.0, 0.0}, 100.0, 0.0, 0.4},
        SpecialCase{"wavelength_negative_zero", {2.0, 0.1}, 100.0, -0.0, 0.4},
        SpecialCase{"wavelength_nan", {2.0, 0.1}, 100.0, kNaN, 0.4},
        // 2 pi N cos / lambda overflows in the reference, and 0 h is NaN there.
        SpecialCase{"wavelength_tiny_thickness_zero", {100.0, 0.1}, 0.0, 1e-307, 0.4},
        SpecialCase{"wavelength_infinite", {2.0, 0.1}, 100.0, kInf, 0.4},
        SpecialCase{"thickness_infinite", {2.0, 0.1}, kInf, 500.0, 0.4},
        SpecialCase{"thickness_infinite_gain", {2.0, -0.1}, kInf, 500.0, 0.4},
        SpecialCase{"thickness_infinite_lossless", {2.0, 0.0}, kInf, 500.0, 0.4},
        SpecialCase{"thickness_nan", {2.0, 0.1}, kNaN, 500.0, 0.4},
        SpecialCase{"thickness_negative", {2.0, 0.1}, -300.0, 500.0, 0.4},
        SpecialCase{"exp_overflows", {2.0, 3.0}, 1e5, 500.0, 0.4, true},
        SpecialCase{"phase_huge", {2.0, 0.0}, 1e300, 500.0, 0.4, false, true, true},
        SpecialCase{"phase_beyond_the_reduction", {2.0, 0.0}, 1e5, 500.0, 0.4, false, false, true},
        SpecialCase{"evanescent_thick", {0.5, 0.0}, 1e6, 500.0, 1.4, true},
        // k purely imaginary and infinite: exponents of -inf + 0i, +inf - 0i
        // (the special values of exp), and NaN + 0i for a layer of thickness 0.
        SpecialCase{"evanescent_tiny_wavelength", {0.5, 0.0}, 100.0, 1e-310, 1.4},
        SpecialCase{"evanescent_tiny_wavelength_no_thickness", {0.5, 0.0}, 0.0, 1e-310, 1.4},
        SpecialCase{"subnormal_index", {4e-320, 4e-320}, 100.0, 500.0, 0.0},
        SpecialCase{"theta_nan", {2.0, 0.1}, 100.0, 500.0, kNaN},
        SpecialCase{"theta_infinite", {2.0, 0.1}, 100.0, 500.0, kInf}),
    [](const ::testing::TestParamInfo<SpecialCase>& param_info) {
        return std::string(param_info.param.name);
    });

// transfer_calc fails exactly when some wavelength of the reference fails,
// with the same message, on both paths; nothing is computed for N = 0.
struct Shape {
    const char* name;
    std::size_t rows;
    bool short_of_columns;  // n has N - 1 columns instead of N + 2
    std::size_t thicknesses;
};

void PrintTo(const Shape& c, std::ostream* os) { *os << c.name; }

class KernelFailures : public ::testing::TestWithParam<Shape> {};

TEST_P(KernelFailures, AgreeWithTheReference) {
    const Shape c = GetParam();
    for (const std::size_t count : {0u, 1u, 4u, 5u, 100u, 101u, 150u, 257u}) {
        Data data;
        data.d.assign(c.thicknesses, 60.0);
        const std::size_t cols = c.short_of_columns ? (count > 0 ? count - 1 : 0) : count + 2;
        data.n = Array2<Complex>::row_major(
            std::vector<Complex>(c.rows * cols, Complex{1.7, 0.02}), c.rows, cols);
        for (std::size_t i = 0; i < count; ++i) data.wl.push_back(450.0 + static_cast<double>(i));
        data.theta = 0.2;

        std::string expected;
        for (std::size_t i = 0; i < count && expected.empty(); ++i) {
            for (const bool p : {false, true}) {
                try {
                    transfer_for_wavelength(data, i, p);
                } catch (const Panic& e) {
                    expected = e.message();
                }
            }
        }
        std::string got;
        try {
            const std::vector<Transfer> transfers = transfer_calc(data);
            EXPECT_EQ(first_mismatch(data, transfers, 1e-12), "") << "N = " << count;
        } catch (const Panic& e) {
            got = e.message();
        }
        EXPECT_EQ(got, expected) << "N = " << count;
        if (count == 0) {
            EXPECT_EQ(got, "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, KernelFailures,
    ::testing::Values(Shape{"fits", 4, false, 2}, Shape{"one_column_short", 4, true, 2},
                      Shape{"no_rows", 0, false, 2}, Shape{"one_row", 1, false, 0},
                      Shape{"one_row_short_of_columns", 1, true, 0},
                      Shape{"two_rows_no_thickness", 2, false, 0},
                      Shape{"thickness_short", 5, false, 2}, Shape{"no_thickness", 3, false, 0},
                      Shape{"extra_thickness", 3, false, 5}),
    [](const ::testing::TestParamInfo<Shape>& param_info) {
        return std::string(param_info.param.name);
    });


// ---------------------------------------------------------------------------
// The kernel's exponential, sine and cosine against the C library.

double ulps(double got, double expected) {
    if (got == expected) return 0.0;
    if (!std::isfinite(got) || !std::isfinite(expected)) return kInf;
    const double unit = std::max(std::fabs(std::nextafter(expected, 0.0) - expected),
                                 std::numeric_limits<double>::denorm_min());
    return std::fabs(got - expected) / unit;
}

struct MathRange {
    const char* name;
    double low;
    double high;
    double max_ulps;  // sine and cosine; the exponential is checked below 2
};

void PrintTo(const MathRange& c, std::ostream* os) { *os << c.name; }

class VectorMath : public ::testing::TestWithParam<std::tuple<const Variant*, MathRange>> {};

// Sine and cosine over the phases of layers, and the exponential of the
// attenuation, e^x with x <= 0 down to the underflow. Near a zero of the sine
// or cosine the error in units of the (tiny) result grows with the phase's
// reduction, so the phase ranges are checked against an absolute bound too.
TEST_P(VectorMath, StaysWithinAFewUlpsOfTheCLibrary) {
    const auto& [variant, range] = GetParam();
    std::mt19937_64 rng(31);
    std::uniform_real_distribution<double> pick(range.low, range.high);
    const std::size_t count = 20000;
    std::vector<double> x(count);
    for (double& v : x) v = pick(rng);
    std::vector<double> e(count), s(count), c(count);
    variant->evaluate_math(x.data(), count, e.data(), s.data(), c.data());
    double worst_sin = 0.0;
    double worst_exp = 0.0;
    for (std::size_t k = 0; k < count; ++k) {
        const double sin_ref = std::sin(x[k]);
        const double cos_ref = std::cos(x[k]);
        if (std::fabs(sin_ref) > 1e-3) worst_sin = std::max(worst_sin, ulps(s[k], sin_ref));
        if (std::fabs(cos_ref) > 1e-3) worst_sin = std::max(worst_sin, ulps(c[k], cos_ref));
        ASSERT_LE(std::fabs(s[k] - sin_ref), 4e-16) << x[k];
        ASSERT_LE(std::fabs(c[k] - cos_ref), 4e-16) << x[k];
        if (x[k] <= 0.0) {
            const double exp_ref = std::exp(x[k]);
            if (exp_ref >= std::numeric_limits<double>::min()) {
                worst_exp = std::max(worst_exp, ulps(e[k], exp_ref));
            } else {
                ASSERT_LE(std::fabs(e[k] - exp_ref), 2 * std::numeric_limits<double>::denorm_min())
                    << x[k];
            }
        }
    }
    EXPECT_LE(worst_sin, range.max_ulps) << variant->name;
    EXPECT_LT(worst_exp, 2.0) << variant->name;
    std::printf("[ %s %s ] worst sine/cosine %.2f ulp, exponential %.2f ulp\n", variant->name,
                range.name, worst_sin, worst_exp);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, VectorMath,
    ::testing::Combine(::testing::ValuesIn(variants()),
                       ::testing::Values(MathRange{"quarter_turn", -0.8, 0.8, 1.5},
                                         MathRange{"few_turns", -40.0, 40.0, 2.0},
                                         MathRange{"thick_layers", -5e5, 5e5, 2.0},
                                         MathRange{"attenuation", -746.0, 0.0, 2.0},
                                         MathRange{"weak_attenuation", -1.0, 0.0, 2.0})),
    [](const auto& param_info) {
        return std::string(std::get<0>(param_info.param)->name) + "_" + std::get<1>(param_info.param).name;
    });

// Beyond the reduction's range, and for infinities and NaN, the phases take
// the C library: the same bits. The exponential's special values: e^0 = 1,
// e^-inf = 0, and NaN stays NaN.
TEST(VectorMath, LargeAndNonFiniteArgumentsTakeTheCLibrary) {
    const std::vector<double> x = {5.000001e5, -7.5e5, 1e6, 3.3e10, -1e300, 1.7e308,
                                   kInf,       -kInf,  kNaN, 0.0,   -0.0,   -kInf};
    for (const Variant* variant : variants()) {
        std::vector<double> e(x.size()), s(x.size()), c(x.size());
        variant->evaluate_math(x.data(), x.size(), e.data(), s.data(), c.data());
        for (std::size_t k = 0; k < x.size(); ++k) {
            if (std::isnan(x[k]) || std::isinf(x[k])) {
                EXPECT_TRUE(std::isnan(s[k]) && std::isnan(c[k])) << variant->name << " " << x[k];
            } else if (std::fabs(x[k]) > 5e5) {
                EXPECT_EQ(bits(s[k]), bits(std::sin(x[k]))) << variant->name << " " << x[k];
                EXPECT_EQ(bits(c[k]), bits(std::cos(x[k]))) << variant->name << " " << x[k];
            }
        }
        EXPECT_EQ(bits(e[9]), bits(1.0)) << variant->name;
        EXPECT_EQ(bits(e[10]), bits(1.0)) << variant->name;
        EXPECT_EQ(bits(e[7]), bits(0.0)) << variant->name;
        EXPECT_TRUE(std::isnan(e[8])) << variant->name;
        EXPECT_EQ(bits(s[9]), bits(0.0)) << variant->name;
        EXPECT_EQ(bits(s[10]), bits(-0.0)) << variant->name;
    }
}

// The scalar variant is always there; on x86-64 the two-lane one too, which
// every x86-64 runs.
TEST(Variants, BaselineVariantsAreAlwaysSupported) {
    std::vector<std::string> names;
    for (const Variant* variant : variants()) names.push_back(variant->name);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "scalar");
#if defined(__x86_64__)
    EXPECT_NE(std::find(names.begin(), names.end(), "sse2"), names.end());
#endif
    EXPECT_EQ(std::string(kernel::chosen_variant().name), names.front());
}

}  // namespace
}  // namespace brenmor::testing
