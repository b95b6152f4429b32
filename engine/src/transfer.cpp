// The stack matrix of one wavelength and the transfers of a whole spectrum.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "brenmor/brenmor.hpp"
#include "brenmor/pool.hpp"
#include "complex_ops.hpp"
#include "scaled.hpp"
#include "sweep.hpp"

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
    if (i >= wl.size()) panic(kIndexOutOfBounds);
    const std::size_t media = n.rows();
    if (media == 0 || i >= n.cols()) panic(kIndexOutOfBounds);
    if (media == 1) panic(kIndexOutOfBounds);

    const double lambda = wl[i];
    const double u = std::sin(theta);
    const Complex n0 = n(0, i);
    const Complex beta = {u * n0.re, u * n0.im};
    const Complex beta2 = mul(beta, beta);

    Complex index_a = n0;
    Complex cosine_a = medium_cosine(index_a, beta2);
    Complex index_b = n(1, i);
    Complex cosine_b = medium_cosine(index_b, beta2);
    CMatrix2 m = interface_matrix(index_a, cosine_a, index_b, cosine_b, p);

    // Layer j lies between interfaces (j-1, j) and (j, j+1).
    for (std::size_t j = 1; j + 1 < media; ++j) {
        if (j - 1 >= d.size()) panic(kIndexOutOfBounds);
        index_a = index_b;
        cosine_a = cosine_b;
        index_b = n(j + 1, i);
        cosine_b = medium_cosine(index_b, beta2);
        const CMatrix2 propagation = propagation_matrix(index_a, cosine_a, lambda, d[j - 1]);
        m = mul(mul(m, propagation), interface_matrix(index_a, cosine_a, index_b, cosine_b, p));
    }
    return m;
}

CMatrix2 transfer_for_wavelength(const Data& data, std::size_t i, bool p) {
    return transfer_for_wavelength_helper(data.d, data.n, data.wl, data.theta, i, p);
}

namespace {

// Wavelength counts up to this run on the calling thread.
constexpr std::size_t kMaxSequential = 100;

// The Transfers of wavelengths [begin, end), written to out[begin, end).
// Fails, computing nothing, when some of these wavelengths would fail in
// transfer_for_wavelength. This is the one place where the Transfers are
// finished, on both paths: whatever is to be done to a finished Transfer
// goes right after the sweep.
void compute_range(const Array1<double>& d, const Array2<Complex>& n, const Array1<double>& wl,
                   double theta, std::size_t begin, std::size_t end, Transfer* out) {
    // transfer_for_wavelength fails for index i when n has fewer than two
    // rows or at most i columns, or d fewer than L - 2 entries.
    const std::size_t media = n.rows();
    if (media < 2 || n.cols() < end || d.size() < media - 2) panic(kIndexOutOfBounds);
    detail::sweep(d, n, wl, theta, begin, end, out);
    for (std::size_t i = begin; i < end; ++i) detail::mend_overflow(d, n, wl, theta, i, out[i]);
}

}  // namespace

std::vector<Transfer> transfer_calc(const Data& data) {
    const std::size_t count = data.wl.size();
    // The list is allocated once at its final size and each wavelength's
    // Transfer is written into its own slot; on a failure it is released and
    // nothing is returned.
    std::vector<Transfer> transfers(count);
    if (count == 0) return transfers;

    // The workers see the three arrays and a copy of theta, never the record
    // (and so never its cache).
    const Array1<double>& d = data.d;
    const Array2<Complex>& n = data.n;
    const Array1<double>& wl = data.wl;
    const double theta = data.theta;
    Transfer* const out = transfers.data();

    if (count <= kMaxSequential) {
        compute_range(d, n, wl, theta, 0, count, out);
    } else {
        // The pool hands out whole blocks of the sweep, so that only the
        // last block of the spectrum can have spare lanes.
        constexpr std::size_t lanes = detail::kSweepLanes;
        const std::size_t blocks = (count + lanes - 1) / lanes;
        pool::parallel_for(blocks, [&](std::size_t first, std::size_t last) {
            compute_range(d, n, wl, theta, first * lanes, std::min(last * lanes, count), out);
        });
    }
    return transfers;
}

}  // namespace brenmor
