// The fast sweep against the per-wavelength reference, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstddef>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "scaled.hpp"
#include "support.hpp"
#include "sweep.hpp"

namespace brenmor::testing {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Bit for bit, except that any two NaNs agree: the sign and payload of a NaN
// result follow the operand order the compiler picks for each instruction,
// which no source order fixes (the reference's own NaN bits change with the
// optimisation level).
bool same_value(double a, double b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

bool same_value(const CMatrix2& a, const CMatrix2& b) {
    for (std::size_t k = 0; k < 4; ++k) {
        if (!same_value(a.e[k].re, b.e[k].re) || !same_value(a.e[k].im, b.e[k].im)) return false;
    }
    return true;
}

bool same_value(const Transfer& a, const Transfer& b) {
    return same_value(a.s, b.s) && same_value(a.p, b.p) &&
           same_value(a.s_exponent, b.s_exponent) && same_value(a.p_exponent, b.p_exponent);
}

// The reference Transfer of wavelength i: both matrices from
// transfer_for_wavelength, then the engine's overflow check of a finished
// Transfer (which leaves every matrix whose quotients stay finite as it is).
Transfer reference_transfer(const Data& data, std::size_t i) {
    Transfer t;
    t.s = transfer_for_wavelength(data, i, false);
    t.p = transfer_for_wavelength(data, i, true);
    detail::mend_overflow(data.d, data.n, data.wl, data.theta, i, t);
    return t;
}

std::string describe(const CMatrix2& m) {
    std::string text;
    for (const Complex& z : m.e) {
        char buffer[96];
        std::snprintf(buffer, sizeof buffer, " (%a, %a)", z.re, z.im);
        text += buffer;
    }
    return text;
}

// The first mismatch between `got` and the reference of `data`, or "" when
// every wavelength and polarisation agrees bit for bit.
std::string first_mismatch(const Data& data, const std::vector<Transfer>& got) {
    if (got.size() != data.wl.size()) return "size " + std::to_string(got.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        const Transfer expected = reference_transfer(data, i);
        if (!same_value(got[i], expected)) {
            return "i = " + std::to_string(i) + ": s" + describe(got[i].s) + " p" +
                   describe(got[i].p) + ", expected s" + describe(expected.s) + " p" +
                   describe(expected.p);
        }
    }
    return "";
}

// The sweep alone against transfer_for_wavelength, without the overflow check.
std::string first_sweep_mismatch(const Data& data) {
    const std::size_t count = data.wl.size();
    std::vector<Transfer> got(count);
    detail::sweep(data.d, data.n, data.wl, data.theta, 0, count, got.data());
    for (std::size_t i = 0; i < count; ++i) {
        for (const bool p : {false, true}) {
            const CMatrix2 expected = transfer_for_wavelength(data, i, p);
            const CMatrix2& m = p ? got[i].p : got[i].s;
            if (!same_value(m, expected)) {
                return "i = " + std::to_string(i) + (p ? " p" : " s") + describe(m) +
                       ", expected" + describe(expected);
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

// Spectra on the calling thread (N <= 100, including remainders of every
// block size) and on the pool (N >= 101).
class SweepMatchesReference : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SweepMatchesReference, OnRandomStacks) {
    const std::size_t count = GetParam();
    std::mt19937_64 rng(1000 + count);
    const int stacks = count > 1000 ? 4 : count > 100 ? 25 : 120;
    for (int k = 0; k < stacks; ++k) {
        const std::size_t media = std::uniform_int_distribution<std::size_t>(2, 30)(rng);
        const std::size_t extra = std::uniform_int_distribution<std::size_t>(0, 2)(rng);
        const Data data = random_stack(rng, media, count, extra);
        ASSERT_EQ(first_sweep_mismatch(data), "")
            << "stack " << k << ", L = " << media << ", theta " << data.theta;
        ASSERT_EQ(first_mismatch(data, transfer_calc(data)), "")
            << "stack " << k << ", L = " << media << ", theta " << data.theta;
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, SweepMatchesReference,
                         ::testing::Values(1, 2, 3, 4, 5, 6, 7, 8, 9, 31, 99, 100, 101, 102, 103,
                                           257, 1001, 4099));

// The sweep on its own, for ranges that start and end anywhere inside a block.
TEST(Sweep, AnyRangeMatchesTheReference) {
    std::mt19937_64 rng(77);
    const Data data = random_stack(rng, 9, 23, 0);
    for (std::size_t begin = 0; begin < 23; ++begin) {
        for (std::size_t end = begin + 1; end <= 23; ++end) {
            // Slots outside the range are left as they were.
            std::vector<Transfer> out(23);
            for (Transfer& t : out) t.s.e[0] = {-7.0, 7.0};
            detail::sweep(data.d, data.n, data.wl, data.theta, begin, end, out.data());
            for (std::size_t i = 0; i < 23; ++i) {
                if (i < begin || i >= end) {
                    ASSERT_TRUE(same_bits(out[i].s.e[0], Complex{-7.0, 7.0})) << i;
                    continue;
                }
                ASSERT_TRUE(same_value(out[i].s, transfer_for_wavelength(data, i, false)))
                    << begin << ".." << end << " at " << i;
                ASSERT_TRUE(same_value(out[i].p, transfer_for_wavelength(data, i, true)))
                    << begin << ".." << end << " at " << i;
            }
        }
    }
}

// n addressed through strides: column-major storage and reversed axes.
TEST(Sweep, StridedIndexTables) {
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
        EXPECT_EQ(first_mismatch(plain, expected), "");
        for (const Data* data : {&a, &b}) {
            const std::vector<Transfer> got = transfer_calc(*data);
            ASSERT_EQ(got.size(), count);
            for (std::size_t i = 0; i < count; ++i) {
                ASSERT_TRUE(same_value(got[i], expected[i])) << i;
            }
        }
    }
}

// Inputs that make values non-finite, in one lane of a block or in all.
struct SpecialCase {
    const char* name;
    Complex layer;     // index of the middle layer
    double thickness;  // of the middle layer
    double lambda;     // of wavelength 2
    double theta;
};

void PrintTo(const SpecialCase& c, std::ostream* os) { *os << c.name; }

class SweepSpecialValues : public ::testing::TestWithParam<SpecialCase> {};

TEST_P(SweepSpecialValues, MatchTheReference) {
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
            EXPECT_EQ(first_sweep_mismatch(data), "") << "L = " << rows << ", N = " << count;
            EXPECT_EQ(first_mismatch(data, transfer_calc(data)), "")
                << "L = " << rows << ", N = " << count;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, SweepSpecialValues,
    ::testing::Values(
        SpecialCase{"ordinary", {2.0, 0.1}, 100.0, 500.0, 0.4},
        SpecialCase{"index_zero", {0.0, 0.0}, 100.0, 500.0, 0.4},
        SpecialCase{"index_nan", {kNaN, 0.0}, 100.0, 500.0, 0.4},
        SpecialCase{"index_nan_imaginary", {2.0, kNaN}, 100.0, 500.0, 0.4},
        SpecialCase{"index_infinite", {kInf, 0.0}, 100.0, 500.0, 0.4},
        SpecialCase{"index_infinite_imaginary", {1.0, kInf}, 100.0, 500.0, 0.4},
        SpecialCase{"index_negative_infinite", {-kInf, -kInf}, 100.0, 500.0, 0.4},
        SpecialCase{"wavelength_zero", {2.0, 0.1}, 100.0, 0.0, 0.4},
        SpecialCase{"wavelength_zero_lossless", {2.0, 0.0}, 100.0, 0.0, 0.4},
        SpecialCase{"wavelength_negative_zero", {2.0, 0.1}, 100.0, -0.0, 0.4},
        SpecialCase{"wavelength_nan", {2.0, 0.1}, 100.0, kNaN, 0.4},
        SpecialCase{"wavelength_infinite", {2.0, 0.1}, 100.0, kInf, 0.4},
        SpecialCase{"thickness_infinite", {2.0, 0.1}, kInf, 500.0, 0.4},
        SpecialCase{"thickness_infinite_gain", {2.0, -0.1}, kInf, 500.0, 0.4},
        SpecialCase{"thickness_infinite_lossless", {2.0, 0.0}, kInf, 500.0, 0.4},
        SpecialCase{"thickness_nan", {2.0, 0.1}, kNaN, 500.0, 0.4},
        SpecialCase{"thickness_negative", {2.0, 0.1}, -300.0, 500.0, 0.4},
        SpecialCase{"exp_overflows", {2.0, 3.0}, 1e5, 500.0, 0.4},
        SpecialCase{"phase_huge", {2.0, 0.0}, 1e300, 500.0, 0.4},
        SpecialCase{"evanescent_thick", {0.5, 0.0}, 1e6, 500.0, 1.4},
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

class SweepFailures : public ::testing::TestWithParam<Shape> {};

TEST_P(SweepFailures, AgreeWithTheReference) {
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
            EXPECT_EQ(first_mismatch(data, transfers), "") << "N = " << count;
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
    Shapes, SweepFailures,
    ::testing::Values(Shape{"fits", 4, false, 2}, Shape{"one_column_short", 4, true, 2},
                      Shape{"no_rows", 0, false, 2}, Shape{"one_row", 1, false, 0},
                      Shape{"one_row_short_of_columns", 1, true, 0},
                      Shape{"two_rows_no_thickness", 2, false, 0},
                      Shape{"thickness_short", 5, false, 2}, Shape{"no_thickness", 3, false, 0},
                      Shape{"extra_thickness", 3, false, 5}),
    [](const ::testing::TestParamInfo<Shape>& param_info) {
        return std::string(param_info.param.name);
    });

}  // namespace
}  // namespace brenmor::testing
