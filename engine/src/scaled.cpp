// The scaled stack matrix: the plain accumulation with the growing factor of
// every layer divided out and the running matrix kept as mantissa and
// exponent.
#include "scaled.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "brenmor/brenmor.hpp"
#include "complex_ops.hpp"

namespace brenmor::detail {

namespace {

// ln 2 as the nearest float64.
constexpr double kLn2 = 0.6931471805599453;

bool finite(Complex z) noexcept { return std::isfinite(z.re) && std::isfinite(z.im); }

bool finite(const CMatrix2& m) noexcept {
    return finite(m.e[0]) && finite(m.e[1]) && finite(m.e[2]) && finite(m.e[3]);
}

// The running matrix as mantissa times e^(growth + shift * ln 2): growth
// collects the factors exp(|Im k h|) divided out of the layers, shift the
// powers of two taken out by renormalisation (exact scalings).
struct Running {
    CMatrix2 m;
    double growth = 0.0;
    std::int64_t shift = 0;

    // Brings the largest part of the first `elements` elements of the
    // mantissa (4: all of them; 2: M[0][0] and M[1][0]) into [0.5, 1).
    void renormalise(std::size_t elements = 4) noexcept {
        double largest = 0.0;
        for (std::size_t k = 0; k < elements; ++k) {
            largest = std::max({largest, std::fabs(m.e[k].re), std::fabs(m.e[k].im)});
        }
        if (largest == 0.0) return;
        int power = 0;
        std::frexp(largest, &power);
        if (power == 0) return;
        for (Complex& z : m.e) z = {std::ldexp(z.re, -power), std::ldexp(z.im, -power)};
        shift += power;
    }

    double exponent() const noexcept { return growth + static_cast<double>(shift) * kLn2; }
};

}  // namespace

bool scaled_transfer_for_wavelength(const Array1<double>& d, const Array2<Complex>& n,
                                    const Array1<double>& wl, double theta, std::size_t i, bool p,
                                    ScaledMatrix& out) noexcept {
    const std::size_t media = n.rows();
    if (i >= wl.size() || i >= n.cols() || media < 2 || d.size() < media - 2) return false;

    // Only finite stacks are mended; anything else keeps its plain result.
    const double lambda = wl[i];
    if (!std::isfinite(theta) || !std::isfinite(lambda)) return false;
    for (std::size_t j = 0; j < media; ++j) {
        if (!finite(n(j, i))) return false;
    }
    for (std::size_t j = 0; j + 2 < media; ++j) {
        if (!std::isfinite(d[j])) return false;
    }

    const double u = std::sin(theta);
    const Complex n0 = n(0, i);
    const Complex beta = {u * n0.re, u * n0.im};
    const Complex beta2 = mul(beta, beta);

    Complex index_a = n0;
    Complex cosine_a = medium_cosine(index_a, beta2);
    Complex index_b = n(1, i);
    Complex cosine_b = medium_cosine(index_b, beta2);
    Running running;
    running.m = interface_matrix(index_a, cosine_a, index_b, cosine_b, p);
    if (!finite(running.m)) return false;
    running.renormalise();

    for (std::size_t j = 1; j + 1 < media; ++j) {
        index_a = index_b;
        cosine_a = cosine_b;
        index_b = n(j + 1, i);
        cosine_b = medium_cosine(index_b, beta2);
        const double h = d[j - 1];

        // exp(i k h) and exp(-i k h), each divided by exp(|Im k h|): one of
        // the two has modulus 1, the other exp(-2 |Im k h|), which may
        // underflow to 0 without harm.
        const Complex k = div_real(mul(index_a, scale(kTwoPi, cosine_a)), lambda);
        const double attenuation = k.im * h;
        const double phase = k.re * h;
        if (!std::isfinite(attenuation) || !std::isfinite(phase)) return false;
        const double growth = std::fabs(attenuation);
        CMatrix2 propagation;
        propagation(0, 0) = exp({attenuation - growth, -phase});
        propagation(1, 0) = kComplexZero;
        propagation(0, 1) = kComplexZero;
        propagation(1, 1) = exp({-attenuation - growth, phase});
        running.growth += growth;

        const CMatrix2 interface = interface_matrix(index_a, cosine_a, index_b, cosine_b, p);
        if (!finite(interface)) return false;
        running.m = mul(mul(running.m, propagation), interface);
        if (!finite(running.m)) return false;
        running.renormalise();
    }

    // A mantissa whose M[0][0] vanishes gives no finite r or t either: the
    // plain result stands.
    if (running.m(0, 0).re == 0.0 && running.m(0, 0).im == 0.0) return false;
    // Finally scale by the two elements the spectra read, so that the
    // denominator |M[0][0]|^2 of r cannot underflow because the other column
    // is larger. The other column is not read; should it overflow, the
    // mantissa keeps the scale of all four elements.
    Running read_scale = running;
    read_scale.renormalise(2);
    if (finite(read_scale.m)) running = read_scale;

    const double exponent = running.exponent();
    if (!std::isfinite(exponent)) return false;
    out.m = running.m;
    out.exponent = exponent;
    return true;
}

void mend_overflowed_transfer(const Array1<double>& d, const Array2<Complex>& n,
                              const Array1<double>& wl, double theta, std::size_t i,
                              Transfer& transfer) noexcept {
    ScaledMatrix scaled{};
    if (quotients_overflow(transfer.s) &&
        scaled_transfer_for_wavelength(d, n, wl, theta, i, false, scaled)) {
        transfer.s = scaled.m;
        transfer.s_exponent = scaled.exponent;
    }
    if (quotients_overflow(transfer.p) &&
        scaled_transfer_for_wavelength(d, n, wl, theta, i, true, scaled)) {
        transfer.p = scaled.m;
        transfer.p_exponent = scaled.exponent;
    }
}

}  // namespace brenmor::detail
