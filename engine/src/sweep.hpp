// The fast form of the per-wavelength stack matrices: both polarisations of
// a block of neighbouring wavelengths in one pass.
//
// The sweep performs, value by value, the same IEEE operations in the same
// order as transfer_for_wavelength, so it returns the same bits; it only
// avoids repeating work that gives identical results:
//   - each medium's q = sqrt(N^2 - beta^2) and cosine c = q / N are computed
//     once per wavelength, not once for each interface and polarisation;
//   - the products N c that the s and p interface matrices share, and the
//     transmission numerator (N_a + N_a) c_a, are computed once per interface;
//   - the propagation matrix of a layer is computed once for s and p, and its
//     two exponentials exp(+-i k h) share one sine/cosine evaluation, which
//     relies on the C library's sine being odd and its cosine even bit for
//     bit (the engine's tests check that on each platform). An exponent that
//     is not finite takes the complex exponential with its special values.
// Wavelengths are handled kSweepLanes at a time in structure-of-arrays form,
// so the compiler can use vector instructions for the plain arithmetic; the
// C-library calls stay one per element.
#pragma once

#include <cstddef>

#include "brenmor/brenmor.hpp"

namespace brenmor::detail {

// Wavelengths computed together.
inline constexpr std::size_t kSweepLanes = 4;

// Writes the s and p stack matrices of wavelengths [begin, end) to out[i].s
// and out[i].p; nothing else of out is touched. The caller has checked that
// every index is in range: end <= wl.size(), n with at least two rows and
// `end` columns, d with at least L - 2 entries. Allocates nothing.
void sweep(const Array1<double>& d, const Array2<Complex>& n, const Array1<double>& wl,
           double theta, std::size_t begin, std::size_t end, Transfer* out) noexcept;

}  // namespace brenmor::detail
