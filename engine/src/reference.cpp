// The reference stack matrix of one wavelength: the stated operation order,
// bit for bit (this unit is compiled with -ffp-contract=off). The spectra are
// computed by the kernel (kernel/), which agrees with it to rounding; this is
// the kernel's fallback for the stacks it does not carry and the tests' oracle.
#include <cmath>
#include <cstddef>

#include "brenmor/brenmor.hpp"
#include "complex_ops.hpp"
#include "stack_shape.hpp"

namespace brenmor {

namespace {

using detail::add;
using detail::div;
using detail::div_real;
using detail::interface_matrix;
using detail::medium_cosine;
using detail::mul;
using detail::recip;
using detail::scale;
using detail::sub;

// The propagation matrix of a layer of index N, complex cosine c and
// thickness h at wavelength lambda.
CMatrix2 propagation_matrix(Complex index, Complex cosine, double lambda, double h) {
    const Complex k = div_real(mul(index, scale(detail::kTwoPi, cosine)), lambda);
    // exp(i k h) and exp(-i k h).
    const Complex forward = detail::exp({-k.im * h, k.re * h});
    const Complex backward = detail::exp({k.im * h, -(k.re * h)});
    CMatrix2 m;
    m(0, 0) = backward;
    m(1, 0) = detail::kComplexZero;
    m(0, 1) = detail::kComplexZero;
    m(1, 1) = forward;
    return m;
}

}  // namespace

CMatrix2 transfer_for_wavelength_helper(const Array1<double>& d, const Array2<Complex>& n,
                                        const Array1<double>& wl, double theta, std::size_t i,
                                        bool p) {
    if (!detail::stack_fits(d, n, wl, i + 1)) panic(kIndexOutOfBounds);
    const std::size_t media = n.rows();

    const Polarisation polarisation = p ? Polarisation::p : Polarisation::s;
    const double lambda = wl[i];
    const double sin_theta = std::sin(theta);
    const Complex n0 = n(0, i);
    const Complex beta = {sin_theta * n0.re, sin_theta * n0.im};
    const Complex beta2 = mul(beta, beta);

    Complex index_a = n0;
    Complex cosine_a = medium_cosine(index_a, beta2);
    Complex index_b = n(1, i);
    Complex cosine_b = medium_cosine(index_b, beta2);
    CMatrix2 m = interface_matrix(index_a, cosine_a, index_b, cosine_b, polarisation);

    // Layer j lies between interfaces (j-1, j) and (j, j+1).
    for (std::size_t j = 1; j + 1 < media; ++j) {
        index_a = index_b;
        cosine_a = cosine_b;
        index_b = n(j + 1, i);
        cosine_b = medium_cosine(index_b, beta2);
        const CMatrix2 propagation = propagation_matrix(index_a, cosine_a, lambda, d[j - 1]);
        m = mul(mul(m, propagation),
                interface_matrix(index_a, cosine_a, index_b, cosine_b, polarisation));
    }
    return m;
}

CMatrix2 transfer_for_wavelength(const Data& data, std::size_t i, bool p) {
    return transfer_for_wavelength_helper(data.d, data.n, data.wl, data.theta, i, p);
}

}  // namespace brenmor
