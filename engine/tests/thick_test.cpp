// Thick absorbing layers: stacks whose plain stack matrix overflows get
// finite spectra from the kernel's matrices with exponents, on both dispatch
// paths, while ordinary stacks agree with the plain results to rounding and
// degenerate ones keep them bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <string>
#include <vector>

#include "kernel/variants.hpp"
#include "transfers.hpp"
#include "support.hpp"

namespace brenmor::testing {
namespace {

using cplx = std::complex<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const Complex kAir{1.0, 0.0};
const Complex kGlass{1.5, 0.0};
const Complex kSilicon{4.0, 0.4};  // silicon-like, at 400 nm
const Complex kMetal{0.13, 3.2};   // silver-like, at 550 nm

// Wavelength counts on the calling thread (<= 100) and on the pool (>= 101).
const std::vector<std::size_t> kCounts = {1, 7, 100, 101, 150};

// `count` wavelengths spread over [first, first + width].
std::vector<double> wavelengths(std::size_t count, double first, double width) {
    std::vector<double> wl;
    for (std::size_t i = 0; i < count; ++i) {
        wl.push_back(count == 1 ? first
                                : first + width * static_cast<double>(i) /
                                              static_cast<double>(count - 1));
    }
    return wl;
}

struct Spectra {
    std::vector<double> r;
    std::vector<double> t;
};

Spectra spectra_of(const Data& stack) {
    Data data = copy_stack(stack);
    Spectra out;
    out.r = get_r_power_vec(data);
    out.t = get_t_power_vec(data);
    return out;
}

// The spectra of the plain arithmetic: the cache filled with the matrices of
// transfer_for_wavelength, unmended.
Spectra plain_spectra_of(const Data& stack) {
    Data data = copy_stack(stack);
    std::vector<Transfer> plain;
    for (std::size_t i = 0; i < stack.wl.size(); ++i) {
        plain.push_back(Transfer{transfer_for_wavelength(stack, i, Polarisation::s),
                                 transfer_for_wavelength(stack, i, Polarisation::p)});
    }
    data.transfer_cache.set(std::move(plain));
    Spectra out;
    out.r = get_r_power_vec(data);
    out.t = get_t_power_vec(data);
    return out;
}

// The reflectance of the bare interface between the incidence medium n0 and
// a semi-infinite medium n1, from the Fresnel formulas in terms of
// q = sqrt(N^2 - beta^2).
double interface_reflectance(Complex n0, Complex n1, double theta, double phi) {
    const cplx a = to_std(n0);
    const cplx b = to_std(n1);
    const cplx beta = std::sin(theta) * a;
    const cplx qa = std::sqrt(a * a - beta * beta);
    const cplx qb = std::sqrt(b * b - beta * beta);
    const cplx rs = (qa - qb) / (qa + qb);
    const cplx rp = (b * b * qa - a * a * qb) / (b * b * qa + a * a * qb);
    return std::sin(phi) * std::sin(phi) * std::norm(rp) +
           std::cos(phi) * std::cos(phi) * std::norm(rs);
}

// |a - b| within rel * |b| (and equal when b is 0).
void expect_close(double a, double b, double rel, const std::string& what) {
    EXPECT_LE(std::fabs(a - b), rel * std::fabs(b)) << what << ": " << a << " vs " << b;
}

// True when the plain evaluation of r = M[1][0] / M[0][0] or t = 1 / M[0][0]
// meets a value that is not finite: an element they read, the denominator
// |M[0][0]|^2, or a part of the numerator of r.
bool quotients_overflow(const CMatrix2& m) {
    const Complex a = m(1, 0);
    const Complex b = m(0, 0);
    const double den = b.re * b.re + b.im * b.im;
    const double re = a.re * b.re + a.im * b.im;
    const double im = a.im * b.re - a.re * b.im;
    return !(std::isfinite(den) && std::isfinite(re) && std::isfinite(im));
}

bool plain_overflows(const Data& stack, std::size_t i) {
    return quotients_overflow(transfer_for_wavelength(stack, i, Polarisation::s)) ||
           quotients_overflow(transfer_for_wavelength(stack, i, Polarisation::p));
}

// Air, one layer of index `layer` and thickness h, glass.
Data single_layer(Complex layer, double h, std::size_t count, double first, double theta,
                  double phi) {
    return uniform_stack({kAir, layer, kGlass}, {h}, wavelengths(count, first, 20.0), theta, phi);
}

// ---------------------------------------------------------------------------
// Opaque layers: T vanishes and R is the reflectance of the front interface.

struct OpaqueCase {
    const char* name;
    Complex layer;
    double h;
    double first_wl;
};

void PrintTo(const OpaqueCase& c, std::ostream* os) { *os << c.name; }

class OpaqueLayer : public ::testing::TestWithParam<std::tuple<OpaqueCase, std::size_t>> {};

TEST_P(OpaqueLayer, ReflectsLikeTheFrontInterfaceAndTransmitsNothing) {
    const auto& [c, count] = GetParam();
    for (const double theta : {0.0, 0.6, 1.2}) {
        const double phi = 0.3;
        const Data stack = single_layer(c.layer, c.h, count, c.first_wl, theta, phi);
        ASSERT_TRUE(plain_overflows(stack, 0)) << "the plain product must overflow here";
        const Spectra plain = plain_spectra_of(stack);
        EXPECT_TRUE(std::isnan(plain.r[0])) << "plain R " << plain.r[0];

        const Spectra got = spectra_of(stack);
        const double expected = interface_reflectance(kAir, c.layer, theta, phi);
        for (std::size_t i = 0; i < count; ++i) {
            expect_close(got.r[i], expected, 1e-13, "R");
            EXPECT_EQ(bits(got.t[i]), bits(0.0)) << "T " << got.t[i];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layers, OpaqueLayer,
    ::testing::Combine(::testing::Values(OpaqueCase{"wafer_500um", kSilicon, 500000.0, 400.0},
                                         OpaqueCase{"metal_50um", kMetal, 50000.0, 550.0}),
                       ::testing::ValuesIn(kCounts)));

// A layer of 1e308 (finite, absurd) is as opaque as any other.
TEST(ThickLayers, AbsurdlyThickLayerIsOpaque) {
    for (const std::size_t count : {std::size_t{2}, std::size_t{101}}) {
        const Data stack = single_layer(kSilicon, 1e308, count, 400.0, 0.3, 0.6);
        const Spectra got = spectra_of(stack);
        for (std::size_t i = 0; i < count; ++i) {
            expect_close(got.r[i], interface_reflectance(kAir, kSilicon, 0.3, 0.6), 1e-13, "R");
            EXPECT_EQ(bits(got.t[i]), bits(0.0));
        }
    }
}

// The exponents are stored with the transfer, the mantissa is of moderate
// size, and both paths give the same transfers.
TEST(ThickLayers, ScaledTransfersCarryTheirExponent) {
    const Data small = single_layer(kSilicon, 500000.0, 100, 400.0, 0.5, 0.0);
    const Data large = single_layer(kSilicon, 500000.0, 101, 400.0, 0.5, 0.0);
    const std::vector<Transfer> a = transfer_calc(small);
    const std::vector<Transfer> b = transfer_calc(large);
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (const Transfer* t : {&a[i], &b[i]}) {
            // Im(k) h = 2 pi 0.4 h / wl for this layer at normal incidence
            // and more at oblique incidence.
            const double growth = 2.0 * M_PI * 0.4 * 500000.0 / small.wl[i];
            EXPECT_GT(t->s_exponent, 0.99 * growth);
            EXPECT_GT(t->p_exponent, 0.99 * growth);
            EXPECT_FALSE(quotients_overflow(t->s));
            EXPECT_FALSE(quotients_overflow(t->p));
            for (const Complex& z : t->s.e) EXPECT_LT(std::hypot(z.re, z.im), 2.0);
        }
    }
    // The wavelengths of the smaller spectrum are the first of the larger one
    // only at i = 0; compare that one across the two paths.
    EXPECT_TRUE(same_bits(a[0], b[0]));
    EXPECT_EQ(bits(a[0].s_exponent), bits(b[0].s_exponent));
    EXPECT_EQ(bits(a[0].p_exponent), bits(b[0].p_exponent));
}

// ---------------------------------------------------------------------------
// Many moderately absorbing layers whose exponents add up past the limit.

// Air, `layers` layers alternating between 2.0 + 0.1i and 1.6 + 0.05i, 5 um
// each (Im(k) h about 5.2 and 2.6 at 600 nm), glass.
Data absorbing_multilayer(std::size_t layers, std::size_t count, double theta, double phi,
                          Complex exit = kGlass) {
    std::vector<Complex> media = {kAir};
    std::vector<double> d;
    for (std::size_t j = 0; j < layers; ++j) {
        media.push_back(j % 2 == 0 ? Complex{2.0, 0.1} : Complex{1.6, 0.05});
        d.push_back(5000.0);
    }
    media.push_back(exit);
    return uniform_stack(media, d, wavelengths(count, 600.0, 10.0), theta, phi);
}

class ManyLayers : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ManyLayers, MatchTheTruncatedStack) {
    const std::size_t count = GetParam();
    for (const double theta : {0.0, 0.7}) {
        const double phi = 0.9;
        const Data stack = absorbing_multilayer(200, count, theta, phi);
        ASSERT_TRUE(plain_overflows(stack, 0));
        // Beyond the first 60 layers (exponents adding up to about 236) the
        // light returns attenuated by about e^-472: the stack reflects like
        // its first 60 layers on a semi-infinite medium of the 61st layer's
        // index, a stack whose plain arithmetic does not overflow.
        const Data front = absorbing_multilayer(60, count, theta, phi, {2.0, 0.1});
        ASSERT_FALSE(plain_overflows(front, 0));
        const Spectra got = spectra_of(stack);
        const Spectra expected = plain_spectra_of(front);
        for (std::size_t i = 0; i < count; ++i) {
            expect_close(got.r[i], expected.r[i], 1e-12, "R");
            EXPECT_EQ(bits(got.t[i]), bits(0.0)) << "T " << got.t[i];
        }
    }
}

// With exponents adding up to about 362, the plain elements stay finite but
// |M[0][0]|^2 overflows: the plain R is NaN and the plain T 0, while the
// true T is a tiny subnormal number.
TEST_P(ManyLayers, KeepTheTinyTransmittance) {
    const std::size_t count = GetParam();
    const Data stack = absorbing_multilayer(92, count, 0.0, 0.0);
    const CMatrix2 m = transfer_for_wavelength(stack, 0, Polarisation::s);
    ASSERT_TRUE(std::isfinite(m(0, 0).re) && std::isfinite(m(0, 0).im));
    ASSERT_TRUE(quotients_overflow(m));
    const Spectra plain = plain_spectra_of(stack);
    EXPECT_TRUE(std::isnan(plain.r[0]));

    const Data front = absorbing_multilayer(60, count, 0.0, 0.0, {2.0, 0.1});
    const Spectra expected = plain_spectra_of(front);
    const Spectra got = spectra_of(stack);
    for (std::size_t i = 0; i < count; ++i) {
        expect_close(got.r[i], expected.r[i], 1e-12, "R");
        EXPECT_GT(got.t[i], 0.0);
        EXPECT_LT(got.t[i], std::numeric_limits<double>::min());
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, ManyLayers, ::testing::ValuesIn(kCounts));

// ---------------------------------------------------------------------------
// Splitting a layer into two halves of the same index changes nothing but
// rounding.

struct SplitCase {
    const char* name;
    std::vector<Complex> media;  // incidence first
    std::vector<double> d;
    std::size_t split;  // the layer (index into d) to split
    double first_wl;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class SplitLayer : public ::testing::TestWithParam<std::tuple<SplitCase, std::size_t>> {};

TEST_P(SplitLayer, GivesTheSameSpectra) {
    const auto& [c, count] = GetParam();
    const std::vector<double> wl = wavelengths(count, c.first_wl, 30.0);
    std::vector<Complex> media = c.media;
    std::vector<double> d = c.d;
    const Complex index = media[c.split + 1];
    const double half = 0.5 * d[c.split];
    media.insert(media.begin() + static_cast<std::ptrdiff_t>(c.split) + 1, index);
    d[c.split] = half;
    d.insert(d.begin() + static_cast<std::ptrdiff_t>(c.split), half);
    for (const double theta : {0.0, 0.8}) {
        const Spectra whole = spectra_of(uniform_stack(c.media, c.d, wl, theta, 0.4));
        const Spectra halves = spectra_of(uniform_stack(media, d, wl, theta, 0.4));
        for (std::size_t i = 0; i < count; ++i) {
            expect_close(halves.r[i], whole.r[i], 1e-12, "R");
            expect_close(halves.t[i], whole.t[i], 1e-11, "T");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layers, SplitLayer,
    ::testing::Combine(
        ::testing::Values(
            SplitCase{"thin_film", {kAir, {2.0, 0.1}, kGlass}, {100.0}, 0, 500.0},
            SplitCase{"wafer", {kAir, kSilicon, kGlass}, {500000.0}, 0, 400.0},
            SplitCase{"metal_film", {kAir, {1.38, 0.0}, kMetal, kGlass}, {99.0, 50000.0}, 1,
                      550.0},
            // Im(k) h = 400: the plain elements stay finite (about e^400)
            // but |M[0][0]|^2 overflows, for the whole layer and the halves.
            SplitCase{"window", {kAir, {2.0, 0.2}, kGlass}, {191000.0}, 0, 600.0}),
        ::testing::Values(std::size_t{3}, std::size_t{120})));

// ---------------------------------------------------------------------------
// Ordinary stacks keep plain matrices (exponent 0), equal to the reference's
// to rounding.

TEST(ThickLayers, OrdinaryStacksKeepPlainTransfers) {
    for (const std::size_t count : {std::size_t{37}, std::size_t{150}}) {
        const Data stack = dispersive_stack(20, count);
        const std::vector<Transfer> transfers = transfer_calc(stack);
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(rounding_mismatch(transfers[i].s, 0.0, transfer_for_wavelength(stack, i, Polarisation::s),
                                        1e-13),
                      "")
                << i;
            EXPECT_EQ(rounding_mismatch(transfers[i].p, 0.0, transfer_for_wavelength(stack, i, Polarisation::p),
                                        1e-13),
                      "")
                << i;
            EXPECT_EQ(bits(transfers[i].s_exponent), bits(0.0));
            EXPECT_EQ(bits(transfers[i].p_exponent), bits(0.0));
        }
        const Spectra got = spectra_of(stack);
        const Spectra plain = plain_spectra_of(stack);
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(close_values(got.r[i], plain.r[i], 1e-12, 0.0), "") << i;
            EXPECT_EQ(close_values(got.t[i], plain.t[i], 1e-12, 0.0), "") << i;
        }
    }
}

// A spectrum over which a layer goes from transparent to opaque: the
// wavelengths whose plain arithmetic is finite agree with it to rounding, the
// others carry an exponent, polarisation by polarisation.
TEST(ThickLayers, MixedSpectrumCarriesExponentsWhereThePlainProductOverflows) {
    for (const std::size_t count : {std::size_t{60}, std::size_t{160}}) {
        const std::size_t media = 3;
        std::vector<Complex> storage(media * count);
        std::vector<double> wl;
        for (std::size_t i = 0; i < count; ++i) {
            const double x = static_cast<double>(i) / static_cast<double>(count - 1);
            storage[0 * count + i] = kAir;
            // Im(k) h from about 5 to about 1600.
            storage[1 * count + i] = {3.5, 0.0008 * std::pow(300.0, x)};
            storage[2 * count + i] = kGlass;
            wl.push_back(500.0 + 100.0 * x);
        }
        Data stack;
        stack.d = {500000.0};
        stack.n = Array2<Complex>::row_major(std::move(storage), media, count);
        stack.wl = wl;
        stack.theta = 0.9;
        stack.phi = 0.5;

        const std::vector<Transfer> transfers = transfer_calc(stack);
        const Spectra got = spectra_of(stack);
        const Spectra plain = plain_spectra_of(stack);
        std::size_t mended = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const CMatrix2 s = transfer_for_wavelength(stack, i, Polarisation::s);
            const CMatrix2 p = transfer_for_wavelength(stack, i, Polarisation::p);
            const bool s_overflows = quotients_overflow(s);
            const bool p_overflows = quotients_overflow(p);
            if (s_overflows) {
                EXPECT_GT(transfers[i].s_exponent, 300.0) << i;
            }
            if (p_overflows) {
                EXPECT_GT(transfers[i].p_exponent, 300.0) << i;
            }
            if (all_finite(s)) {
                EXPECT_EQ(rounding_mismatch(transfers[i].s, transfers[i].s_exponent, s, 1e-11), "")
                    << i;
            }
            if (all_finite(p)) {
                EXPECT_EQ(rounding_mismatch(transfers[i].p, transfers[i].p_exponent, p, 1e-11), "")
                    << i;
            }
            if (!s_overflows && !p_overflows) {
                EXPECT_EQ(close_values(got.r[i], plain.r[i], 1e-10, 0.0), "") << i;
                EXPECT_EQ(close_values(got.t[i], plain.t[i], 1e-10, 0.0), "") << i;
            } else {
                ++mended;
                EXPECT_TRUE(std::isfinite(got.r[i])) << i;
                EXPECT_TRUE(std::isfinite(got.t[i])) << i;
                EXPECT_GT(got.r[i], 0.0);
                EXPECT_LT(got.r[i], 1.0);
            }
        }
        EXPECT_GT(mended, count / 5);
        EXPECT_LT(mended, count);
    }
}

// Where the plain matrix is finite, mantissa times e^exponent is that matrix
// to rounding, for every variant.
TEST(ThickLayers, KernelMatrixAgreesWithThePlainOneWhereThatIsFinite) {
    const std::vector<Data> stacks = {
        uniform_stack({{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}}, {100.0}, {500.0}, 0.5),
        dispersive_stack(20, 5),
        single_layer(kMetal, 5000.0, 3, 550.0, 0.4, 0.0),          // e^183
        absorbing_multilayer(40, 2, 0.3, 0.0),                     // e^157
        uniform_stack({kAir, {3.0, -0.01}, kGlass}, {4000.0}, {500.0}, 0.2),  // gain
    };
    for (const kernel::Variant* variant : kernel::supported_variants()) {
        for (const Data& stack : stacks) {
            const std::vector<Transfer> transfers = detail::transfer_calc_with(*variant, stack);
            for (std::size_t i = 0; i < stack.wl.size(); ++i) {
                for (const bool p : {false, true}) {
                    const CMatrix2 plain = transfer_for_wavelength(stack, i, p);
                    const Transfer& got = transfers[i];
                    EXPECT_EQ(rounding_mismatch(p ? got.p : got.s, p ? got.p_exponent : got.s_exponent,
                                                plain, 1e-11),
                              "")
                        << variant->name << " stack " << &stack - stacks.data() << " i " << i << " p " << p;
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Non-finite and degenerate inputs keep what the plain arithmetic gives: the
// kernel leaves them to the reference.

struct DegenerateCase {
    const char* name;
    Data stack;
};

void PrintTo(const DegenerateCase& c, std::ostream* os) { *os << c.name; }

// Air, a 1 um film of index `film`, a 500 um silicon-like wafer, glass; the
// wafer alone overflows the plain product.
Data film_on_wafer(Complex film, double h_film, double h_wafer, double wl, double theta) {
    return uniform_stack({kAir, film, kSilicon, kGlass}, {h_film, h_wafer}, {wl, 400.0}, theta,
                         0.3);
}

std::vector<DegenerateCase> degenerate_cases() {
    const double theta = 0.5;
    // A film of index sin(theta) (real) has q = 0 and cosine 0: the
    // transmission coefficient of its back interface vanishes.
    const Complex grazing{std::sin(theta), 0.0};
    return {
        {"film_index_0", film_on_wafer({0.0, 0.0}, 1000.0, 500000.0, 400.0, theta)},
        {"index_0_behind_wafer", uniform_stack({kAir, kSilicon, {0.0, 0.0}, kGlass},
                                               {500000.0, 1000.0}, {400.0}, theta)},
        {"incidence_index_0",
         uniform_stack({{0.0, 0.0}, kSilicon, kGlass}, {500000.0}, {400.0}, theta)},
        {"wl_0", film_on_wafer({1.4, 0.0}, 1000.0, 500000.0, 0.0, theta)},
        {"vanishing_denominator", film_on_wafer(grazing, 1000.0, 500000.0, 400.0, theta)},
        {"d_inf", film_on_wafer({1.4, 0.0}, 1000.0, kInf, 400.0, theta)},
        {"d_minus_inf", film_on_wafer({1.4, 0.0}, 1000.0, -kInf, 400.0, theta)},
        {"d_nan", film_on_wafer({1.4, 0.0}, kNaN, 500000.0, 400.0, theta)},
        {"wl_inf", film_on_wafer({1.4, 0.0}, 1000.0, 500000.0, kInf, theta)},
        {"wl_nan", film_on_wafer({1.4, 0.0}, 1000.0, 500000.0, kNaN, theta)},
        {"theta_nan", film_on_wafer({1.4, 0.0}, 1000.0, 500000.0, 400.0, kNaN)},
        {"theta_inf", film_on_wafer({1.4, 0.0}, 1000.0, 500000.0, 400.0, kInf)},
        {"index_nan", film_on_wafer({kNaN, 0.0}, 1000.0, 500000.0, 400.0, theta)},
        {"index_inf", film_on_wafer({1.4, kInf}, 1000.0, 500000.0, 400.0, theta)},
        {"exit_index_inf",
         uniform_stack({kAir, kSilicon, {kInf, 0.0}}, {500000.0}, {400.0}, theta)},
        // Finite, but Im(k) h itself overflows: there is nothing to scale.
        {"attenuation_overflows", film_on_wafer({1.4, 0.0}, 1000.0, 1e308, 1.0, theta)},
    };
}

// The same bits, or NaN for NaN: the sign of a NaN carries no meaning.
bool same_value(double a, double b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

bool same_values(const CMatrix2& a, const CMatrix2& b) {
    for (std::size_t k = 0; k < 4; ++k) {
        if (!same_value(a.e[k].re, b.e[k].re) || !same_value(a.e[k].im, b.e[k].im)) return false;
    }
    return true;
}

class DegenerateInput : public ::testing::TestWithParam<DegenerateCase> {};

TEST_P(DegenerateInput, KeepsThePlainResult) {
    const Data& stack = GetParam().stack;
    for (const std::size_t count : {std::size_t{1}, std::size_t{101}}) {
      for (const kernel::Variant* variant : kernel::supported_variants()) {
        // The same stack on `count` wavelengths (the first column repeated).
        std::vector<Complex> storage;
        for (std::size_t j = 0; j < stack.n.rows(); ++j) {
            for (std::size_t i = 0; i < count; ++i) storage.push_back(stack.n(j, 0));
        }
        Data data;
        data.d = stack.d;
        data.n = Array2<Complex>::row_major(std::move(storage), stack.n.rows(), count);
        data.wl.assign(count, stack.wl[0]);
        data.theta = stack.theta;
        data.phi = stack.phi;

        const std::vector<Transfer> transfers = detail::transfer_calc_with(*variant, data);
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_TRUE(same_values(transfers[i].s, transfer_for_wavelength(data, i, Polarisation::s)))
                << variant->name;
            EXPECT_TRUE(same_values(transfers[i].p, transfer_for_wavelength(data, i, Polarisation::p)));
            EXPECT_EQ(bits(transfers[i].s_exponent), bits(0.0));
            EXPECT_EQ(bits(transfers[i].p_exponent), bits(0.0));
        }
        Data record = copy_stack(data);
        record.transfer_cache.set(std::vector<Transfer>(transfers));
        const Spectra got{get_r_power_vec(record), get_t_power_vec(record)};
        const Spectra plain = plain_spectra_of(data);
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_TRUE(same_value(got.r[i], plain.r[i])) << got.r[i] << " vs " << plain.r[i];
            EXPECT_TRUE(same_value(got.t[i], plain.t[i])) << got.t[i] << " vs " << plain.t[i];
        }
      }
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, DegenerateInput, ::testing::ValuesIn(degenerate_cases()),
                         [](const auto& test) { return std::string(test.param.name); });

// ---------------------------------------------------------------------------
// The spectra of scaled matrices, from a cache filled by hand.

// A bare interface from air to glass at normal incidence (F = 1.5), whose
// cache holds `s` and `p` instead of its own matrices.
Spectra spectra_with_transfer(const Transfer& transfer, double phi) {
    Data data = uniform_stack({kAir, kGlass}, {}, {500.0}, 0.0, phi);
    data.transfer_cache.set({transfer});
    Spectra out;
    out.r = get_r_power_vec(data);
    out.t = get_t_power_vec(data);
    return out;
}

struct ScaledCase {
    const char* name;
    Complex m00;
    Complex m10;
    double exponent;
    double t;  // F |1 / m00|^2 e^(-2 exponent)
    double r;  // |m10 / m00|^2, NaN where the quotient is not checked
};

void PrintTo(const ScaledCase& c, std::ostream* os) { *os << c.name; }

class ScaledSpectra : public ::testing::TestWithParam<ScaledCase> {};

TEST_P(ScaledSpectra, TransmittanceCarriesTheExponent) {
    const ScaledCase& c = GetParam();
    const CMatrix2 m = diagonal_matrix(c.m00, c.m10);
    const Spectra got = spectra_with_transfer(Transfer{m, m, c.exponent, c.exponent}, 0.7);
    EXPECT_FALSE(std::isnan(got.t[0]));
    if (c.t == 0.0) {
        EXPECT_EQ(bits(got.t[0]), bits(0.0)) << got.t[0];
    } else {
        EXPECT_NEAR(got.t[0], c.t, 1e-12 * c.t) << got.t[0];
    }
    // r is the quotient of the mantissa's elements whatever the exponent.
    if (!std::isnan(c.r)) {
        EXPECT_NEAR(got.r[0], c.r, 1e-15);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScaledSpectra,
    ::testing::Values(
        ScaledCase{"moderate", {0.5, 0.0}, {0.125, 0.0}, 10.0, 1.5 * 4.0 * std::exp(-20.0),
                   0.0625},
        ScaledCase{"negative_exponent", {0.5, 0.0}, {0.125, 0.0}, -3.0,
                   1.5 * 4.0 * std::exp(6.0), 0.0625},
        ScaledCase{"opaque", {0.6, 0.8}, {0.0, 0.25}, 5000.0, 0.0, 0.0625},
        // |1 / m00| = 1e200 overflows when squared on its own, e^-400 is
        // tiny: the product is 1.5 * (1e200 e^-400)^2.
        ScaledCase{"tiny_m00", {1e-200, 0.0}, {0.5, 0.0}, 400.0,
                   1.5 * std::exp(2.0 * (200.0 * std::log(10.0) - 400.0)), kNaN},
        // 1 / m00 is infinite in float64 and e^-1000 is 0, but there is no
        // inf * 0: |t| = 1e200 e^-1000, whose square underflows to 0.
        ScaledCase{"tiny_m00_opaque", {1e-200, 0.0}, {0.5, 0.0}, 1000.0, 0.0, kNaN},
        ScaledCase{"tiny_m00_tiny_t", {1e-200, 0.0}, {0.5, 0.0}, 800.0,
                   1.5 * std::exp(2.0 * (200.0 * std::log(10.0) - 800.0)), kNaN}),
    [](const auto& test) { return std::string(test.param.name); });

// The true T is subnormal: it comes out as the nearest subnormal number,
// within the precision a subnormal has left.
TEST(ScaledSpectra, TransmittanceUnderflowsGradually) {
    const CMatrix2 m = diagonal_matrix({1.0, 0.0}, {0.1, 0.0});
    const double exponent = 360.0;
    const Spectra got = spectra_with_transfer(Transfer{m, m, exponent, exponent}, 0.0);
    const double expected = 1.5 * std::exp(-720.0 + std::log(1e300)) * 1e-300;
    EXPECT_GT(got.t[0], 0.0);
    EXPECT_LT(got.t[0], std::numeric_limits<double>::min());
    EXPECT_NEAR(got.t[0], expected, 1e-9 * expected);
}

// A polarisation without an exponent keeps its plain term, to rounding,
// beside a scaled one.
TEST(ScaledSpectra, PlainPolarisationBesideAScaledOne) {
    const CMatrix2 plain = diagonal_matrix({1.25, 0.1}, {-0.25, 0.05});
    const CMatrix2 opaque = diagonal_matrix({0.5, 0.0}, {0.1, 0.0});
    for (const double phi : {0.0, M_PI / 2}) {
        const Spectra expected = spectra_with_transfer(Transfer{plain, plain}, phi);
        // phi = 0 weights p by 0 and s by 1; phi = pi/2 p by 1 and s by 3.7e-33.
        const Transfer mixed = phi == 0.0 ? Transfer{plain, opaque, 0.0, 900.0}
                                          : Transfer{opaque, plain, 900.0, 0.0};
        const Spectra got = spectra_with_transfer(mixed, phi);
        EXPECT_EQ(close_values(got.t[0], expected.t[0], 1e-15, 0.0), "") << phi;
    }
}

}  // namespace
}  // namespace brenmor::testing
