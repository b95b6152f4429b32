// The stack matrix of one wavelength (both forms).
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <complex>
#include <vector>

#include "complex_ops.hpp"
#include "support.hpp"

namespace brenmor::testing {
namespace {

using cplx = std::complex<double>;

CMatrix2 matrix_of(const Data& data, bool p, std::size_t i = 0) {
    return transfer_for_wavelength(data, i, p);
}

cplx reflection(const CMatrix2& m) { return to_std(m(1, 0)) / to_std(m(0, 0)); }
cplx transmission(const CMatrix2& m) { return 1.0 / to_std(m(0, 0)); }

Data reference_stack() {
    return uniform_stack({{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}}, {100.0}, {500.0}, 0.5);
}

TEST(TransferForWavelength, SingleInterfaceAtNormalIncidence) {
    const Data data = uniform_stack({{1.0, 0.0}, {1.5, 0.0}}, {}, {600.0}, 0.0);
    const CMatrix2 s = matrix_of(data, false);
    const CMatrix2 p = matrix_of(data, true);
    for (const CMatrix2* m : {&s, &p}) {
        EXPECT_NEAR(m->e[0].re, 1.25, 1e-15);
        EXPECT_NEAR((*m)(1, 1).re, 1.25, 1e-15);
        EXPECT_NEAR((*m)(0, 0).im, 0.0, 1e-15);
        EXPECT_NEAR(transmission(*m).real(), 0.8, 1e-15);
    }
    EXPECT_NEAR(s(1, 0).re, -0.25, 1e-15);
    EXPECT_NEAR(s(0, 1).re, -0.25, 1e-15);
    EXPECT_NEAR(p(1, 0).re, 0.25, 1e-15);
    EXPECT_NEAR(p(0, 1).re, 0.25, 1e-15);
    EXPECT_NEAR(reflection(s).real(), -0.2, 1e-15);
    EXPECT_NEAR(reflection(p).real(), 0.2, 1e-15);
}

TEST(TransferForWavelength, ReferenceStack) {
    const Data data = reference_stack();
    const CMatrix2 s = matrix_of(data, false);
    const CMatrix2 p = matrix_of(data, true);
    const double expected_s[8] = {-1.1292884809, -1.0709729934, 0.2613810766,  0.5161212228,
                                  0.2159152700,  -0.4642302532, -0.8887028992, 0.8515798847};
    const double expected_p[8] = {-1.1142793352, -1.0150455129, -0.1751243873, -0.3897249263,
                                  -0.1486343122, 0.3545263480,  -0.8730045155, 0.7989908825};
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_NEAR(s.e[k].re, expected_s[2 * k], 1e-10) << "s element " << k;
        EXPECT_NEAR(s.e[k].im, expected_s[2 * k + 1], 1e-10) << "s element " << k;
        EXPECT_NEAR(p.e[k].re, expected_p[2 * k], 1e-10) << "p element " << k;
        EXPECT_NEAR(p.e[k].im, expected_p[2 * k + 1], 1e-10) << "p element " << k;
    }
}

// The single-film closed form, computed independently with std::complex.
TEST(TransferForWavelength, ReferenceStackMatchesSingleFilmFormula) {
    const cplx n0 = 1.0, n1{2.0, 0.1}, n2 = 1.5;
    const double h = 100.0, lambda = 500.0, theta = 0.5;
    const cplx beta = std::sin(theta) * n0;
    const auto cosine = [&](cplx n) { return std::sqrt(n * n - beta * beta) / n; };
    const cplx c0 = cosine(n0), c1 = cosine(n1), c2 = cosine(n2);
    const Data data = reference_stack();
    for (const bool p : {false, true}) {
        const auto coefficients = [&](cplx na, cplx ca, cplx nb, cplx cb) {
            const cplx x = p ? nb : na, y = p ? na : nb;
            const cplx sum = x * ca + y * cb;
            return std::pair<cplx, cplx>{(x * ca - y * cb) / sum, 2.0 * na * ca / sum};
        };
        const auto [r01, t01] = coefficients(n0, c0, n1, c1);
        const auto [r12, t12] = coefficients(n1, c1, n2, c2);
        const cplx delta = 2.0 * M_PI * n1 * c1 * h / lambda;
        const cplx e2 = std::exp(cplx(0.0, 2.0) * delta);
        const cplx r = (r01 + r12 * e2) / (1.0 + r01 * r12 * e2);
        const cplx t = t01 * t12 * std::exp(cplx(0.0, 1.0) * delta) / (1.0 + r01 * r12 * e2);
        const CMatrix2 m = matrix_of(data, p);
        EXPECT_NEAR(std::abs(reflection(m) - r), 0.0, 1e-13) << "p = " << p;
        EXPECT_NEAR(std::abs(transmission(m) - t), 0.0, 1e-13) << "p = " << p;
    }
}

TEST(TransferForWavelength, NormalIncidencePolarisationsDifferInOffDiagonalSign) {
    const Data data = dispersive_stack(5, 7, 0, 0.0);
    for (std::size_t i = 0; i < data.wl.size(); ++i) {
        const CMatrix2 s = matrix_of(data, false, i);
        const CMatrix2 p = matrix_of(data, true, i);
        for (std::size_t r = 0; r < 2; ++r) {
            for (std::size_t c = 0; c < 2; ++c) {
                const double sign = r == c ? 1.0 : -1.0;
                EXPECT_NEAR(p(r, c).re, sign * s(r, c).re, 1e-12);
                EXPECT_NEAR(p(r, c).im, sign * s(r, c).im, 1e-12);
            }
        }
    }
}

TEST(TransferForWavelength, QuarterWaveLayerCancelsReflection) {
    const double n1 = std::sqrt(1.5);
    const double lambda = 550.0;
    const Data data = uniform_stack({{1.0, 0.0}, {n1, 0.0}, {1.5, 0.0}}, {lambda / (4.0 * n1)},
                                    {lambda}, 0.0);
    for (const bool p : {false, true}) {
        const CMatrix2 m = matrix_of(data, p);
        EXPECT_NEAR(std::abs(to_std(m(1, 0))), 0.0, 1e-15) << "p = " << p;
        // The bare substrate reflects 4 %; the coated one nothing.
        EXPECT_NEAR(std::norm(reflection(m)), 0.0, 1e-28);
    }
}

TEST(TransferForWavelength, ZeroThicknessLayerIsInvisible) {
    const Complex n0{1.0, 0.0}, n1{1.7, 0.02}, n2{2.3, 0.0}, n3{1.5, 0.01};
    const Data with = uniform_stack({n0, n1, n2, n3}, {80.0, 0.0}, {450.0}, 0.6);
    const Data without = uniform_stack({n0, n1, n3}, {80.0}, {450.0}, 0.6);
    for (const bool p : {false, true}) {
        const CMatrix2 a = matrix_of(with, p);
        const CMatrix2 b = matrix_of(without, p);
        for (std::size_t k = 0; k < 4; ++k) {
            EXPECT_NEAR(a.e[k].re, b.e[k].re, 1e-12) << k;
            EXPECT_NEAR(a.e[k].im, b.e[k].im, 1e-12) << k;
        }
    }
}

TEST(TransferForWavelength, TwoMediaNeedNoThickness) {
    const Data data = uniform_stack({{1.0, 0.0}, {1.5, 0.0}}, {}, {600.0}, 0.3);
    const CMatrix2 m = matrix_of(data, false);
    EXPECT_TRUE(std::isfinite(m(0, 0).re));
}

// |r|^2 + (Re q_exit / Re q_0) |t|^2 = 1 for lossless stacks.
TEST(TransferForWavelength, LosslessStacksConserveEnergy) {
    const std::vector<Complex> media = {{1.0, 0.0}, {2.35, 0.0}, {1.38, 0.0},
                                        {2.1, 0.0}, {1.46, 0.0}, {1.52, 0.0}};
    const std::vector<double> d = {57.0, 99.0, 64.0, 120.0};
    for (int k = 0; k < 60; ++k) {
        const double theta = 1.55 * k / 59.0;
        const Data data = uniform_stack(media, d, {520.0}, theta);
        const cplx beta = std::sin(theta);
        const double ratio = std::sqrt(1.52 * 1.52 - std::norm(beta)) / std::cos(theta);
        for (const bool p : {false, true}) {
            const CMatrix2 m = matrix_of(data, p);
            const double sum = std::norm(reflection(m)) + ratio * std::norm(transmission(m));
            EXPECT_NEAR(sum, 1.0, 1e-12) << "theta " << theta << " p " << p;
        }
    }
}

TEST(TransferForWavelength, TotalInternalReflection) {
    const Data data = uniform_stack({{1.5, 0.0}, {1.0, 0.0}}, {}, {600.0}, 1.0);
    for (const bool p : {false, true}) {
        const CMatrix2 m = matrix_of(data, p);
        EXPECT_NEAR(std::abs(reflection(m)), 1.0, 1e-14) << "p = " << p;
    }
    // The evanescent wave decays: q of the exit medium is purely imaginary
    // with a positive imaginary part (its principal root).
    const Complex beta{std::sin(1.0) * 1.5, 0.0};
    const Complex exit{1.0, 0.0};
    const Complex q = detail::sqrt(detail::sub(detail::mul(exit, exit), detail::mul(beta, beta)));
    EXPECT_EQ(q.re, 0.0);
    EXPECT_GT(q.im, 0.0);
}

TEST(TransferForWavelength, NegatedAngleGivesIdenticalBits) {
    for (const double theta : {0.1, 0.5, 1.0, 1.4, 3.0}) {
        Data plus = dispersive_stack(6, 9, 0, theta);
        Data minus = dispersive_stack(6, 9, 0, -theta);
        for (std::size_t i = 0; i < plus.wl.size(); ++i) {
            for (const bool p : {false, true}) {
                EXPECT_TRUE(same_bits(matrix_of(plus, p, i), matrix_of(minus, p, i)))
                    << "theta " << theta << " i " << i << " p " << p;
            }
        }
    }
}

TEST(TransferForWavelength, BothFormsGiveIdenticalBits) {
    for (const double theta : {0.0, 0.7, -1.2}) {
        const Data data = dispersive_stack(8, 13, 2, theta);
        for (std::size_t i = 0; i < data.wl.size(); ++i) {
            for (const bool p : {false, true}) {
                const CMatrix2 a = transfer_for_wavelength(data, i, p);
                const CMatrix2 b =
                    transfer_for_wavelength_helper(data.d, data.n, data.wl, data.theta, i, p);
                EXPECT_TRUE(same_bits(a, b)) << "i " << i << " p " << p;
            }
        }
    }
}

TEST(TransferForWavelength, ExtraThicknessesAndColumnsAreIgnored) {
    const Data plain = dispersive_stack(3, 5);
    Data extra = copy_stack(plain);
    extra.d.push_back(1234.0);
    extra.d.push_back(-5.0);
    // The same first five columns followed by three columns of garbage.
    std::vector<Complex> storage;
    for (std::size_t j = 0; j < plain.n.rows(); ++j) {
        for (std::size_t i = 0; i < 5; ++i) storage.push_back(plain.n(j, i));
        for (int k = 0; k < 3; ++k) storage.push_back({std::nan(""), -1.0});
    }
    extra.n = Array2<Complex>::row_major(std::move(storage), plain.n.rows(), 8);
    for (std::size_t i = 0; i < 5; ++i) {
        for (const bool p : {false, true}) {
            EXPECT_TRUE(same_bits(matrix_of(plain, p, i), matrix_of(extra, p, i)));
        }
    }
}

TEST(TransferForWavelength, NonFiniteInputsRunThrough) {
    // A medium of index 0 gives NaN, a zero wavelength non-finite phases;
    // neither is reported.
    const Data zero_index = uniform_stack({{1.0, 0.0}, {0.0, 0.0}, {1.5, 0.0}}, {10.0}, {500.0}, 0.2);
    const CMatrix2 m = matrix_of(zero_index, false);
    EXPECT_TRUE(std::isnan(m(0, 0).re) || std::isnan(m(0, 0).im));
    const Data zero_wl = uniform_stack({{1.0, 0.0}, {1.8, 0.0}, {1.5, 0.0}}, {10.0}, {0.0}, 0.2);
    const CMatrix2 z = matrix_of(zero_wl, false);
    EXPECT_FALSE(std::isfinite(z(0, 0).re) && std::isfinite(z(0, 0).im));
}

// Every condition of "ndarray: index out of bounds", for both forms.
struct BadStack {
    const char* name;
    std::size_t rows;
    std::size_t cols;
    std::size_t thicknesses;
    std::size_t wavelengths;
    std::size_t index;
};

class IndexFailure : public ::testing::TestWithParam<BadStack> {};

TEST_P(IndexFailure, FailsWithTheIndexMessage) {
    const BadStack c = GetParam();
    Data data;
    data.d.assign(c.thicknesses, 50.0);
    data.n = Array2<Complex>::row_major(std::vector<Complex>(c.rows * c.cols, Complex{1.5, 0.0}),
                                        c.rows, c.cols);
    for (std::size_t i = 0; i < c.wavelengths; ++i) data.wl.push_back(500.0 + i);
    data.theta = 0.3;
    for (const bool p : {false, true}) {
        try {
            transfer_for_wavelength(data, c.index, p);
            ADD_FAILURE() << c.name << ": no failure (record form)";
        } catch (const Panic& e) {
            EXPECT_STREQ(e.what(), "ndarray: index out of bounds");
        }
        try {
            transfer_for_wavelength_helper(data.d, data.n, data.wl, data.theta, c.index, p);
            ADD_FAILURE() << c.name << ": no failure (helper form)";
        } catch (const Panic& e) {
            EXPECT_EQ(e.message(), "ndarray: index out of bounds");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, IndexFailure,
    ::testing::Values(BadStack{"index past wl", 3, 10, 1, 4, 4},
                      BadStack{"index past wl but inside n", 3, 10, 1, 4, 7},
                      BadStack{"index past columns of n", 3, 2, 1, 4, 2},
                      BadStack{"n without rows", 0, 4, 1, 4, 0},
                      BadStack{"n with one row", 1, 4, 1, 4, 0},
                      BadStack{"d one short", 3, 4, 0, 4, 1},
                      BadStack{"d two short", 4, 4, 0, 4, 0},
                      BadStack{"d short at the last layer", 6, 4, 3, 4, 3}),
    [](const ::testing::TestParamInfo<BadStack>& param_info) {
        std::string name = param_info.param.name;
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return name;
    });

}  // namespace
}  // namespace brenmor::testing
