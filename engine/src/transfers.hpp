// The transfers of a whole spectrum: the wavelengths split into groups for
// the kernel, on the calling thread (up to 100 wavelengths) or on the worker
// pool, and the reference for the wavelengths the kernel leaves to it.
#pragma once

#include <cstddef>
#include <vector>

#include "brenmor/brenmor.hpp"
#include "kernel/variants.hpp"

namespace brenmor::detail {

// The Transfers of wavelengths [begin, end) by `variant`, written to
// out[begin, end); nothing else of out is touched. Fails with "ndarray: index
// out of bounds", computing nothing, when some of these wavelengths would
// fail in transfer_for_wavelength.
void compute_range(const kernel::Variant& variant, const Array1<double>& d,
                   const Array2<Complex>& n, const Array1<double>& wl, double theta,
                   std::size_t begin, std::size_t end, Transfer* out);

// transfer_calc with the given variant instead of the chosen one.
std::vector<Transfer> transfer_calc_with(const kernel::Variant& variant, const Data& data);

}  // namespace brenmor::detail
