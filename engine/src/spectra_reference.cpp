// The reflectance and transmittance of one wavelength in the reference
// operation order (see spectra_reference.hpp).
#include "spectra_reference.hpp"

#include <cmath>

#include "complex_ops.hpp"

namespace brenmor::detail {

namespace {

double modulus(Complex z) { return std::hypot(z.re, z.im); }

// |t| = |1 / M[0][0]| for a scaled matrix, whose M[0][0] is m00 e^exponent
// (m00 is never 0 there): e^(-exponent - ln|m00|), one exponential that
// underflows gradually to the tiny true value or to 0 and never meets
// inf * 0 on the way.
double scaled_modulus(Complex m00, double exponent) {
    return std::exp(-exponent - std::log(modulus(m00)));
}

}  // namespace

double reference_reflectance(const Transfer& transfer, const kernel::PowerWeights& weights) {
    // r does not change when both elements share a factor, so a scaled
    // matrix (exponent not 0) needs nothing of its own.
    const double rs = modulus(div(transfer.s(1, 0), transfer.s(0, 0)));
    const double rp = modulus(div(transfer.p(1, 0), transfer.p(0, 0)));
    return weights.p * (rp * rp) + weights.s * (rs * rs);
}

double reference_transmittance(const Transfer& transfer, const kernel::PowerWeights& weights,
                               Complex incidence, Complex exit, double theta) {
    // z = N_exit^2 - sin^2(theta) N_0^2 and its principal root q, the normal
    // wave-vector component in the exit medium.
    const double sin_theta = std::sin(theta);
    const double s2 = sin_theta * sin_theta;
    const Complex n0 = incidence;
    const Complex z = {
        (exit.re * exit.re - exit.im * exit.im) - s2 * (n0.re * n0.re - n0.im * n0.im),
        2.0 * exit.re * exit.im - s2 * (2.0 * n0.re * n0.im)};
    const Complex q = sqrt(z);

    // F = Re(q / (N_0 cos theta)).
    const double cos_theta = std::cos(theta);
    const double a = cos_theta * n0.re;
    const double b = cos_theta * n0.im;
    const double factor = (a * q.re + b * q.im) / (b * b + a * a);

    // A matrix with an exponent (thick absorbing layers) is scaled.
    const auto transmission = [](Complex m00, double exponent) {
        return exponent != 0.0 ? scaled_modulus(m00, exponent) : modulus(recip(m00));
    };
    const double ts = transmission(transfer.s(0, 0), transfer.s_exponent);
    const double tp = transmission(transfer.p(0, 0), transfer.p_exponent);
    return factor * (weights.p * (tp * tp) + weights.s * (ts * ts));
}

}  // namespace brenmor::detail
