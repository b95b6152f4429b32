// Reflectance and transmittance spectra from the cached transfers.
#include <cmath>
#include <cstddef>
#include <vector>

#include "brenmor/brenmor.hpp"
#include "complex_ops.hpp"

namespace brenmor {

namespace {

// The transfers of the record: computed and stored on the first request,
// reused afterwards. A failed computation leaves the cache empty.
const std::vector<Transfer>& cached_transfers(Data& data) {
    if (const std::vector<Transfer>* cached = data.transfer_cache.get()) return *cached;
    return data.transfer_cache.set(transfer_calc(data));
}

double modulus(Complex z) { return std::hypot(z.re, z.im); }

// |t| = |1 / M[0][0]| for a scaled matrix, whose M[0][0] is m00 e^exponent
// (m00 is never 0 there): e^(-exponent - ln|m00|), one exponential that
// underflows gradually to the tiny true value or to 0 and never meets
// inf * 0 on the way.
double scaled_modulus(Complex m00, double exponent) {
    return std::exp(-exponent - std::log(modulus(m00)));
}

}  // namespace

std::vector<double> get_r_power_vec(Data& data) {
    const std::vector<Transfer>& transfers = cached_transfers(data);
    const detail::SinCos2 weight = detail::sin_cos_squared(data.phi);

    std::vector<double> r;
    r.reserve(transfers.size());
    // r = M[1][0] / M[0][0] does not change when both elements share a
    // factor, so a scaled matrix (exponent not 0) needs nothing of its own.
    for (const Transfer& transfer : transfers) {
        const double rs = modulus(detail::div(transfer.s(1, 0), transfer.s(0, 0)));
        const double rp = modulus(detail::div(transfer.p(1, 0), transfer.p(0, 0)));
        r.push_back(weight.sin2 * (rp * rp) + weight.cos2 * (rs * rs));
    }
    return r;
}

std::vector<double> get_t_power_vec(Data& data) {
    const std::vector<Transfer>& transfers = cached_transfers(data);
    const detail::SinCos2 weight = detail::sin_cos_squared(data.phi);
    const double sin_theta = std::sin(data.theta);
    const double cos_theta = std::cos(data.theta);
    const Array2<Complex>& n = data.n;
    const std::size_t media = n.rows();

    std::vector<double> t;
    t.reserve(transfers.size());
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        if (media == 0 || i >= n.cols()) panic(kIndexOutOfBounds);
        const Complex n0 = n(0, i);
        const Complex exit = n(media - 1, i);

        // z = N_exit^2 - sin^2(theta) N_0^2 and its principal root q, the
        // normal wave-vector component in the exit medium. Keep this order of
        // operations (and the reference's square root): T is specified to the
        // last bit by it, and the tests compare it bit for bit. The
        // algebraically equal N_exit^2 - (sin(theta) N_0)^2, or the kernel's
        // q of the exit medium, round differently.
        const double s2 = sin_theta * sin_theta;
        const Complex z = {
            (exit.re * exit.re - exit.im * exit.im) - s2 * (n0.re * n0.re - n0.im * n0.im),
            2.0 * exit.re * exit.im - s2 * (2.0 * n0.re * n0.im)};
        const Complex q = detail::sqrt(z);

        // F = Re(q / (N_0 cos theta)).
        const double a = cos_theta * n0.re;
        const double b = cos_theta * n0.im;
        const double factor = (a * q.re + b * q.im) / (b * b + a * a);

        const Transfer& transfer = transfers[i];
        double ts = modulus(detail::recip(transfer.s(0, 0)));
        double tp = modulus(detail::recip(transfer.p(0, 0)));
        // A matrix with an exponent (thick absorbing layers) is scaled.
        if (transfer.s_exponent != 0.0) [[unlikely]] {
            ts = scaled_modulus(transfer.s(0, 0), transfer.s_exponent);
        }
        if (transfer.p_exponent != 0.0) [[unlikely]] {
            tp = scaled_modulus(transfer.p(0, 0), transfer.p_exponent);
        }
        t.push_back(factor * (weight.sin2 * (tp * tp) + weight.cos2 * (ts * ts)));
    }
    return t;
}

}  // namespace brenmor
