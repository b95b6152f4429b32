// The complex arithmetic of the engine and the C library properties that the
// fast paths rely on.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "complex_ops.hpp"
#include "support.hpp"

namespace brenmor::testing {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct SqrtCase {
    Complex z;
    Complex expected;
};

void PrintTo(const SqrtCase& c, std::ostream* os) { *os << "sqrt(" << c.z.re << "," << c.z.im << ")"; }

class SqrtExact : public ::testing::TestWithParam<SqrtCase> {};

// Values on and near the axes, where the sign rules decide the result.
TEST_P(SqrtExact, GivesTheExpectedBits) {
    const SqrtCase c = GetParam();
    const Complex got = detail::sqrt(c.z);
    EXPECT_TRUE(same_bits(got, c.expected))
        << "sqrt(" << c.z.re << ", " << c.z.im << ") = (" << got.re << ", " << got.im << ")";
}

INSTANTIATE_TEST_SUITE_P(
    AxesAndSignedZeros, SqrtExact,
    ::testing::Values(SqrtCase{{4.0, 0.0}, {2.0, 0.0}},      // positive real
                      SqrtCase{{4.0, -0.0}, {2.0, -0.0}},    // imaginary -0 kept
                      SqrtCase{{0.0, 0.0}, {0.0, 0.0}},      // +0
                      SqrtCase{{0.0, -0.0}, {0.0, -0.0}},    // +0 - 0i
                      SqrtCase{{-0.0, 0.0}, {0.0, 0.0}},     // -0: sign bit set branch
                      SqrtCase{{-0.0, -0.0}, {0.0, -0.0}},   // -0 - 0i
                      SqrtCase{{-4.0, 0.0}, {0.0, 2.0}},     // negative real, +0
                      SqrtCase{{-4.0, -0.0}, {0.0, -2.0}},   // negative real, -0
                      SqrtCase{{0.0, 2.0}, {1.0, 1.0}},      // positive imaginary axis
                      SqrtCase{{0.0, -2.0}, {1.0, -1.0}},    // negative imaginary axis
                      SqrtCase{{-0.0, 8.0}, {2.0, 2.0}},     // -0 real part, y != 0
                      SqrtCase{{kInf, 0.0}, {kInf, 0.0}}));  // +inf on the axis

TEST(ComplexSqrt, GeneralCaseIsThePolarForm) {
    // sqrt(3 + 4i) = 2 + i; the polar form gets there to rounding only.
    const Complex q = detail::sqrt({3.0, 4.0});
    EXPECT_NEAR(q.re, 2.0, 1e-15);
    EXPECT_NEAR(q.im, 1.0, 1e-15);
    // Just above and just below the branch cut.
    const Complex above = detail::sqrt({-4.0, 1e-300});
    const Complex below = detail::sqrt({-4.0, -1e-300});
    EXPECT_NEAR(above.im, 2.0, 1e-15);
    EXPECT_NEAR(below.im, -2.0, 1e-15);
    EXPECT_GE(above.re, 0.0);
    EXPECT_GE(below.re, 0.0);
}

TEST(ComplexSqrt, RealPartNeverNegative) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-10.0, 10.0);
    for (int k = 0; k < 10000; ++k) {
        const Complex z{u(rng), u(rng)};
        const Complex q = detail::sqrt(z);
        ASSERT_GE(q.re, 0.0);
        const Complex back = detail::mul(q, q);
        ASSERT_NEAR(back.re, z.re, 1e-13);
        ASSERT_NEAR(back.im, z.im, 1e-13);
    }
}

struct ExpCase {
    Complex z;
    Complex expected;
};

void PrintTo(const ExpCase& c, std::ostream* os) { *os << "exp(" << c.z.re << "," << c.z.im << ")"; }

class ExpSpecial : public ::testing::TestWithParam<ExpCase> {};

TEST_P(ExpSpecial, ReturnsTheSpecialValue) {
    const ExpCase c = GetParam();
    const Complex got = detail::exp(c.z);
    const auto same = [](double a, double b) {
        return (std::isnan(a) && std::isnan(b)) || bits(a) == bits(b);
    };
    EXPECT_TRUE(same(got.re, c.expected.re) && same(got.im, c.expected.im))
        << "exp(" << c.z.re << ", " << c.z.im << ") = (" << got.re << ", " << got.im << ")";
}

INSTANTIATE_TEST_SUITE_P(
    InfinitiesAndNaN, ExpSpecial,
    ::testing::Values(ExpCase{{-kInf, kInf}, {0.0, 0.0}}, ExpCase{{-kInf, -kInf}, {0.0, 0.0}},
                      ExpCase{{-kInf, kNaN}, {0.0, 0.0}}, ExpCase{{kInf, 0.0}, {kInf, 0.0}},
                      ExpCase{{kInf, -0.0}, {kInf, -0.0}}, ExpCase{{kInf, kInf}, {kInf, kNaN}},
                      ExpCase{{kInf, -kInf}, {kInf, kNaN}}, ExpCase{{kInf, kNaN}, {kInf, kNaN}},
                      ExpCase{{kNaN, 0.0}, {kNaN, 0.0}}, ExpCase{{kNaN, -0.0}, {kNaN, -0.0}},
                      // Not special: exp(-inf) times cos and sin of a finite y.
                      ExpCase{{-kInf, 1.0}, {0.0, 0.0}}, ExpCase{{-kInf, 4.0}, {-0.0, -0.0}},
                      ExpCase{{0.0, 0.0}, {1.0, 0.0}}));

TEST(ComplexExp, FiniteValuesAreExpTimesCosAndSin) {
    const Complex e = detail::exp({0.5, 2.0});
    EXPECT_EQ(bits(e.re), bits(std::exp(0.5) * std::cos(2.0)));
    EXPECT_EQ(bits(e.im), bits(std::exp(0.5) * std::sin(2.0)));
    const Complex half_turn = detail::exp({0.0, M_PI});
    EXPECT_EQ(half_turn.re, -1.0);
    EXPECT_NEAR(half_turn.im, 0.0, 1e-15);
}

TEST(ComplexArithmetic, ProductAndQuotientAreUnscaled) {
    // A scaled product would give (0, +inf) here; the textbook one gives
    // inf - inf = NaN in the real part.
    const Complex big{1e200, 1e200};
    const Complex square = detail::mul(big, big);
    EXPECT_TRUE(std::isnan(square.re));
    EXPECT_EQ(square.im, kInf);
    // c^2 + d^2 overflows: a scaled quotient would give 1e-200.
    const Complex q = detail::div(Complex{1.0, 1.0}, big);
    EXPECT_EQ(q.re, 0.0);
    EXPECT_EQ(q.im, 0.0);
    // c^2 + d^2 underflows to 0.
    const Complex tiny{1e-200, 1e-200};
    const Complex r = detail::recip(tiny);
    EXPECT_EQ(r.re, kInf);
    EXPECT_EQ(r.im, -kInf);
}

TEST(ComplexArithmetic, ExactSmallValues) {
    const Complex p = detail::mul(Complex{1.0, 2.0}, Complex{3.0, -4.0});
    EXPECT_TRUE(same_bits(p, Complex{11.0, 2.0}));
    const Complex q = detail::div(Complex{11.0, 2.0}, Complex{3.0, -4.0});
    EXPECT_TRUE(same_bits(q, Complex{1.0, 2.0}));
    const Complex r = detail::recip({0.0, 2.0});
    EXPECT_TRUE(same_bits(r, Complex{0.0, -0.5}));
}

TEST(ComplexArithmetic, MatrixProductIsTheFullProduct) {
    CMatrix2 a;
    a(0, 0) = {1.0, 1.0};
    a(0, 1) = {2.0, 0.0};
    a(1, 0) = {0.0, 3.0};
    a(1, 1) = {-1.0, 0.5};
    CMatrix2 b;
    b(0, 0) = {0.5, 0.0};
    b(0, 1) = {1.0, -1.0};
    b(1, 0) = {0.0, 0.0};
    b(1, 1) = {4.0, 2.0};
    const CMatrix2 m = detail::mul(a, b);
    for (std::size_t r = 0; r < 2; ++r) {
        for (std::size_t c = 0; c < 2; ++c) {
            const std::complex<double> expected =
                to_std(a(r, 0)) * to_std(b(0, c)) + to_std(a(r, 1)) * to_std(b(1, c));
            EXPECT_EQ(m(r, c).re, expected.real()) << r << c;
            EXPECT_EQ(m(r, c).im, expected.imag()) << r << c;
        }
    }
    // Storage is column by column.
    EXPECT_TRUE(same_bits(m.e[1], m(1, 0)));
    EXPECT_TRUE(same_bits(m.e[2], m(0, 1)));

    // Zero elements take part: an infinite element times a zero gives NaN.
    CMatrix2 inf_matrix = a;
    inf_matrix(0, 0) = {kInf, 0.0};
    CMatrix2 diagonal = b;
    diagonal(0, 1) = {0.0, 0.0};
    diagonal(1, 0) = {0.0, 0.0};
    const CMatrix2 n = detail::mul(inf_matrix, diagonal);
    EXPECT_TRUE(std::isnan(n(0, 1).re) || std::isnan(n(0, 1).im));
}

// The reference's complex exponential evaluates sin and cos of one argument
// together; GCC turns that into glibc's sincos. It must give the same bits as
// the two separate calls.
TEST(CLibrary, SincosMatchesSinAndCos) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> small(-10.0, 10.0);
    std::uniform_real_distribution<double> large(-1e6, 1e6);
    std::uniform_int_distribution<std::uint64_t> any_bits;
    std::vector<double> args = {0.0, -0.0, 1e-310, M_PI, M_PI / 2, 1e22, -1e300, 0.5, 2.0};
    for (int k = 0; k < 100000; ++k) args.push_back(small(rng));
    for (int k = 0; k < 100000; ++k) args.push_back(large(rng));
    for (int k = 0; k < 100000; ++k) {
        const std::uint64_t b = any_bits(rng);
        double x;
        std::memcpy(&x, &b, sizeof x);
        if (std::isfinite(x)) args.push_back(x);
    }
    for (const double x : args) {
        double s = 0.0;
        double c = 0.0;
        ::sincos(x, &s, &c);
        // volatile keeps the compiler from fusing these two into sincos too.
        volatile double vx = x;
        const double s1 = std::sin(vx);
        volatile double vy = x;
        const double c1 = std::cos(vy);
        ASSERT_EQ(bits(s), bits(s1)) << "sin " << x;
        ASSERT_EQ(bits(c), bits(c1)) << "cos " << x;
    }
}

// theta and -theta give the same stack matrices bit for bit because
// sin(-x) = -sin(x) exactly (beta^2 takes the sign away); likewise cos.
TEST(CLibrary, SinIsOddAndCosIsEven) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> small(-20.0, 20.0);
    std::uniform_int_distribution<std::uint64_t> any_bits;
    std::vector<double> args = {0.0, 1e-310, M_PI, 1e22, 1e300};
    for (int k = 0; k < 200000; ++k) args.push_back(small(rng));
    for (int k = 0; k < 200000; ++k) {
        const std::uint64_t b = any_bits(rng);
        double x;
        std::memcpy(&x, &b, sizeof x);
        if (std::isfinite(x)) args.push_back(x);
    }
    for (const double x : args) {
        volatile double vx = x;
        volatile double vn = -x;
        ASSERT_EQ(bits(std::sin(vn)), bits(-std::sin(vx))) << x;
        ASSERT_EQ(bits(std::cos(vn)), bits(std::cos(vx))) << x;
    }
}

}  // namespace
}  // namespace brenmor::testing
