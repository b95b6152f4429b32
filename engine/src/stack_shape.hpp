// The one rule for whether the arrays of a stack fit together: what every
// computation of a stack matrix checks before it reads them.
#pragma once

#include <cstddef>

#include "brenmor/brenmor.hpp"

namespace brenmor::detail {

// Whether the wavelengths [0, end) can be computed: each is an entry of wl
// and a column of n, there are an incidence and an exit medium, and every
// layer between them has a thickness. Anything else fails with "ndarray:
// index out of bounds" before a value is computed.
inline bool stack_fits(const Array1<double>& d, const Array2<Complex>& n, const Array1<double>& wl,
                       std::size_t end) noexcept {
    const std::size_t media = n.rows();
    return end <= wl.size() && end <= n.cols() && media >= 2 && d.size() >= media - 2;
}

}  // namespace brenmor::detail
