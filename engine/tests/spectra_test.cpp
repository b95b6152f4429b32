// Spectra, the transfer cache and the dispatch between the calling thread
// and the pool.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "pool.hpp"
#include "support.hpp"

namespace brenmor::testing {
namespace {

using cplx = std::complex<double>;

Data reference_stack(double phi) {
    return uniform_stack({{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}}, {100.0}, {500.0}, 0.5, phi);
}

struct ReferenceCase {
    double phi;
    double r;
    double t;
};

void PrintTo(const ReferenceCase& c, std::ostream* os) { *os << "phi " << c.phi; }

class ReferenceSpectra : public ::testing::TestWithParam<ReferenceCase> {};

TEST_P(ReferenceSpectra, MatchTheTabulatedValues) {
    const ReferenceCase c = GetParam();
    Data data = reference_stack(c.phi);
    const std::vector<double> r = get_r_power_vec(data);
    const std::vector<double> t = get_t_power_vec(data);
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_NEAR(r[0], c.r, 1e-10);
    EXPECT_NEAR(t[0], c.t, 1e-10);
}

INSTANTIATE_TEST_SUITE_P(Phi, ReferenceSpectra,
                         ::testing::Values(ReferenceCase{0.0, 0.1381763414, 0.6686215790},
                                           ReferenceCase{0.7, 0.1141781950, 0.6869837307},
                                           ReferenceCase{M_PI / 2, 0.0803517717, 0.7128659763}));

// R = |r_s|^2 and T = F |t_s|^2 for phi = 0: the p terms carry the weight
// sin^2(0) = 0.
TEST(Spectra, PureSLight) {
    Data data = dispersive_stack(4, 11, 0, 0.8, 0.0);
    const std::vector<double> r = get_r_power_vec(data);
    const std::vector<double> t = get_t_power_vec(data);
    const std::vector<Transfer>& transfers = *data.transfer_cache.get();
    for (std::size_t i = 0; i < r.size(); ++i) {
        const CMatrix2& m = transfers[i].s;
        const double re_den = m(0, 0).re * m(0, 0).re + m(0, 0).im * m(0, 0).im;
        const Complex rs{(m(1, 0).re * m(0, 0).re + m(1, 0).im * m(0, 0).im) / re_den,
                         (m(1, 0).im * m(0, 0).re - m(1, 0).re * m(0, 0).im) / re_den};
        const double a = std::hypot(rs.re, rs.im);
        EXPECT_EQ(close_values(r[i], a * a, 1e-15, 0.0), "") << i;
        EXPECT_GT(t[i], 0.0);
    }
}

TEST(Spectra, PurePLightKeepsATinySWeight) {
    // cos(pi/2)^2 is about 3.7e-33, not 0: a huge s reflectance shows through.
    const double c = std::cos(M_PI / 2);
    EXPECT_GT(c * c, 3.6e-33);
    EXPECT_LT(c * c, 3.8e-33);
    EXPECT_EQ(std::sin(M_PI / 2) * std::sin(M_PI / 2), 1.0);
    // p light at Brewster's angle on a bare interface: r_p all but vanishes,
    // so the s reflectance at the weight cos^2(pi/2) is a visible part of R.
    const double brewster = std::atan(1.5);
    Data data = uniform_stack({{1.0, 0.0}, {1.5, 0.0}}, {}, {500.0}, brewster, M_PI / 2);
    const std::vector<double> r = get_r_power_vec(data);
    const Transfer& transfer = data.transfer_cache.get()->at(0);
    const double rp2 = std::norm(to_std(transfer.p(1, 0)) / to_std(transfer.p(0, 0)));
    const double rs2 = std::norm(to_std(transfer.s(1, 0)) / to_std(transfer.s(0, 0)));
    EXPECT_LT(r[0], 1e-30);
    EXPECT_NEAR(rs2, std::pow((1.0 - 2.25) / (1.0 + 2.25), 2), 1e-14);  // R_s at Brewster
    EXPECT_NEAR(r[0] - rp2, c * c * rs2, 1e-3 * c * c * rs2);
}

TEST(Spectra, BeyondTheCriticalAngleNothingIsTransmitted) {
    for (const double theta : {0.85, 1.0, 1.3}) {
        for (const double phi : {0.0, 0.4, M_PI / 2}) {
            Data data = uniform_stack({{1.5, 0.0}, {1.0, 0.0}}, {}, {500.0, 600.0}, theta, phi);
            const std::vector<double> r = get_r_power_vec(data);
            const std::vector<double> t = get_t_power_vec(data);
            for (std::size_t i = 0; i < 2; ++i) {
                EXPECT_EQ(bits(t[i]), bits(0.0)) << theta << " " << phi;
                EXPECT_NEAR(r[i], 1.0, 1e-14);
            }
        }
    }
}

// With an absorbing incidence medium the exit factor is Re(q / (N_0 cos
// theta)), not Re q / Re(N_0 cos theta).
TEST(Spectra, AbsorbingIncidenceMediumUsesTheComplexQuotient) {
    const Complex n0{1.2, 0.3};
    const Complex n2{1.6, 0.0};
    const double theta = 0.4;
    Data data = uniform_stack({n0, n2}, {}, {500.0}, theta, 0.0);
    const std::vector<double> t = get_t_power_vec(data);
    const cplx beta = std::sin(theta) * to_std(n0);
    const cplx q = std::sqrt(to_std(n2) * to_std(n2) - beta * beta);
    const cplx incidence = to_std(n0) * std::cos(theta);
    const double factor = (q / incidence).real();
    const double wrong_factor = q.real() / incidence.real();
    const double ts = std::norm(1.0 / to_std(data.transfer_cache.get()->at(0).s(0, 0)));
    EXPECT_NEAR(t[0], factor * ts, 1e-14);
    EXPECT_GT(std::abs(t[0] - wrong_factor * ts), 1e-3);
}

TEST(Spectra, NormalIncidenceDoesNotDependOnPhi) {
    const Data base = dispersive_stack(5, 9, 0, 0.0, 0.0);
    Data s_light = copy_stack(base);
    const std::vector<double> r0 = get_r_power_vec(s_light);
    const std::vector<double> t0 = get_t_power_vec(s_light);
    for (const double phi : {0.3, 1.0, M_PI / 2}) {
        Data other = copy_stack(base);
        other.phi = phi;
        const std::vector<double> r = get_r_power_vec(other);
        const std::vector<double> t = get_t_power_vec(other);
        for (std::size_t i = 0; i < r.size(); ++i) {
            EXPECT_NEAR(r[i], r0[i], 1e-14);
            EXPECT_NEAR(t[i], t0[i], 1e-14);
        }
    }
}

TEST(Spectra, IdenticalMediaReflectNothing) {
    for (int k = 0; k < 20; ++k) {
        const double theta = 1.5 * k / 19.0;
        for (const double phi : {0.0, 0.9, M_PI / 2}) {
            Data data = uniform_stack({{1.45, 0.0}, {1.45, 0.0}}, {}, {500.0}, theta, phi);
            const std::vector<double> r = get_r_power_vec(data);
            const std::vector<double> t = get_t_power_vec(data);
            EXPECT_NEAR(r[0], 0.0, 1e-15);
            EXPECT_NEAR(t[0], 1.0, 1e-14) << theta;
        }
    }
}

TEST(Spectra, LosslessStacksConserveEnergy) {
    const std::vector<Complex> media = {{1.33, 0.0}, {2.35, 0.0}, {1.38, 0.0}, {2.1, 0.0},
                                        {1.46, 0.0}, {2.35, 0.0}, {1.52, 0.0}};
    const std::vector<double> d = {57.0, 99.0, 64.0, 120.0, 33.0};
    std::vector<double> wl;
    for (int i = 0; i < 40; ++i) wl.push_back(350.0 + 15.0 * i);
    for (int k = 0; k < 30; ++k) {
        const double theta = 1.55 * k / 29.0;
        for (const double phi : {0.0, 0.6, M_PI / 4, M_PI / 2}) {
            Data data = uniform_stack(media, d, wl, theta, phi);
            const std::vector<double> r = get_r_power_vec(data);
            const std::vector<double> t = get_t_power_vec(data);
            for (std::size_t i = 0; i < wl.size(); ++i) {
                EXPECT_NEAR(r[i] + t[i], 1.0, 1e-12) << theta << " " << phi << " " << i;
            }
        }
    }
}

TEST(Spectra, AbsorbingLayersLoseEnergy) {
    Data data = uniform_stack({{1.0, 0.0}, {2.0, 0.5}, {1.5, 0.0}}, {80.0}, {500.0}, 0.2, 0.5);
    const std::vector<double> r = get_r_power_vec(data);
    const std::vector<double> t = get_t_power_vec(data);
    EXPECT_LT(r[0] + t[0], 0.95);
}

TEST(TransferCache, FirstRequestFillsItAndTheSecondReusesIt) {
    Data data = dispersive_stack(3, 20);
    ASSERT_EQ(data.transfer_cache.get(), nullptr);
    const std::vector<double> r = get_r_power_vec(data);
    ASSERT_NE(data.transfer_cache.get(), nullptr);
    const std::vector<Transfer>* cached = data.transfer_cache.get();
    ASSERT_EQ(cached->size(), 20u);
    const std::vector<Transfer> fresh = transfer_calc(data);
    for (std::size_t i = 0; i < fresh.size(); ++i) EXPECT_TRUE(same_bits((*cached)[i], fresh[i]));

    // Change a thickness behind the record's back: a reused cache does not see it.
    Data reference = copy_stack(data);
    data.d[0] += 25.0;
    const std::vector<double> t = get_t_power_vec(data);
    EXPECT_EQ(data.transfer_cache.get(), cached);
    EXPECT_TRUE(same_bits(t, get_t_power_vec(reference)));
    EXPECT_TRUE(same_bits(get_r_power_vec(data), r));
}

TEST(TransferCache, EitherSpectrumMayComeFirst) {
    const Data base = dispersive_stack(4, 30);
    Data r_first = copy_stack(base);
    Data t_first = copy_stack(base);
    const std::vector<double> r1 = get_r_power_vec(r_first);
    const std::vector<double> t1 = get_t_power_vec(r_first);
    const std::vector<double> t2 = get_t_power_vec(t_first);
    const std::vector<double> r2 = get_r_power_vec(t_first);
    EXPECT_TRUE(same_bits(r1, r2));
    EXPECT_TRUE(same_bits(t1, t2));
}

TEST(TransferCache, NoWavelengthsGiveEmptySpectra) {
    // With no wavelength even a one-row n computes nothing and fails nowhere.
    for (const std::size_t rows : {0u, 1u, 3u}) {
        Data data;
        data.d = {10.0};
        data.n = Array2<Complex>::row_major(std::vector<Complex>(rows * 2), rows, 2);
        EXPECT_TRUE(get_r_power_vec(data).empty());
        ASSERT_NE(data.transfer_cache.get(), nullptr);
        EXPECT_TRUE(data.transfer_cache.get()->empty());
        EXPECT_TRUE(get_t_power_vec(data).empty());
        EXPECT_TRUE(transfer_calc(data).empty());
    }
}

TEST(TransferCache, ExtraColumnsAndThicknessesChangeNoSpectrum) {
    for (const std::size_t count : {7u, 150u}) {
        Data plain = dispersive_stack(3, count);
        Data extra = dispersive_stack(3, count, 5);
        // dispersive_stack spreads its values over the columns; rebuild the
        // first `count` columns of `extra` from `plain` and keep the rest.
        std::vector<Complex> storage;
        for (std::size_t j = 0; j < plain.n.rows(); ++j) {
            for (std::size_t i = 0; i < count; ++i) storage.push_back(plain.n(j, i));
            for (std::size_t i = count; i < count + 5; ++i) storage.push_back(extra.n(j, i));
        }
        extra.n = Array2<Complex>::row_major(std::move(storage), plain.n.rows(), count + 5);
        extra.d.push_back(77.0);
        EXPECT_TRUE(same_bits(get_r_power_vec(plain), get_r_power_vec(extra)));
        EXPECT_TRUE(same_bits(get_t_power_vec(plain), get_t_power_vec(extra)));
    }
}

// Every index failure, on the calling thread (100 wavelengths) and on the
// pool (101 and more): the message is the same and the cache stays empty.
struct Misfit {
    const char* name;
    std::size_t rows;
    std::ptrdiff_t missing_cols;  // columns of n fewer than wavelengths
    std::size_t thicknesses;
};

class SpectrumFailure
    : public ::testing::TestWithParam<std::tuple<Misfit, std::size_t, bool>> {};

TEST_P(SpectrumFailure, LeavesTheCacheEmpty) {
    const auto [misfit, count, r_first] = GetParam();
    Data data;
    data.d.assign(misfit.thicknesses, 60.0);
    const std::size_t cols = count - static_cast<std::size_t>(misfit.missing_cols);
    data.n = Array2<Complex>::row_major(
        std::vector<Complex>(misfit.rows * cols, Complex{1.7, 0.01}), misfit.rows, cols);
    for (std::size_t i = 0; i < count; ++i) data.wl.push_back(400.0 + i);
    data.theta = 0.2;
    data.phi = 0.3;
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            if (r_first) {
                get_r_power_vec(data);
            } else {
                get_t_power_vec(data);
            }
            ADD_FAILURE() << misfit.name << ": no failure";
        } catch (const Panic& e) {
            EXPECT_EQ(e.message(), "ndarray: index out of bounds");
        }
        EXPECT_EQ(data.transfer_cache.get(), nullptr);
        try {
            transfer_calc(data);
            ADD_FAILURE() << misfit.name << ": transfer_calc did not fail";
        } catch (const Panic& e) {
            EXPECT_STREQ(e.what(), "ndarray: index out of bounds");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    BothPaths, SpectrumFailure,
    ::testing::Combine(::testing::Values(Misfit{"one column short", 3, 1, 1},
                                         Misfit{"half the columns", 3, 50, 1},
                                         Misfit{"no rows", 0, 0, 1},
                                         Misfit{"one row", 1, 0, 1},
                                         Misfit{"d too short", 4, 0, 1},
                                         Misfit{"d empty", 3, 0, 0}),
                       ::testing::Values(std::size_t{100}, std::size_t{101}, std::size_t{5000}),
                       ::testing::Bool()),
    [](const ::testing::TestParamInfo<SpectrumFailure::ParamType>& param_info) {
        std::string name = std::get<0>(param_info.param).name;
        for (char& ch : name) {
            if (ch == ' ') ch = '_';
        }
        return name + "_" + std::to_string(std::get<1>(param_info.param)) +
               (std::get<2>(param_info.param) ? "_r_first" : "_t_first");
    });

TEST(Spectra, TransmittanceChecksTheColumnsOfN) {
    // A cache that does not belong to the record: step 1 of the
    // transmittance still checks its index.
    Data data = dispersive_stack(2, 6);
    get_r_power_vec(data);
    data.n = Array2<Complex>::row_major(std::vector<Complex>(4 * 3, Complex{1.5, 0.0}), 4, 3);
    try {
        get_t_power_vec(data);
        ADD_FAILURE() << "no failure";
    } catch (const Panic& e) {
        EXPECT_EQ(e.message(), "ndarray: index out of bounds");
    }
    data.n = Array2<Complex>();
    EXPECT_THROW(get_t_power_vec(data), Panic);
}

}  // namespace
}  // namespace brenmor::testing
