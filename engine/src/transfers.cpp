// The transfers of a whole spectrum, on the calling thread or on the pool
// (see transfers.hpp).
#include "transfers.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "brenmor/brenmor.hpp"
#include "pool.hpp"
#include "kernel/gather.hpp"
#include "kernel/variants.hpp"
#include "stack_shape.hpp"

namespace brenmor::detail {

namespace {

// Wavelength counts up to this run on the calling thread.
constexpr std::size_t kMaxSequential = 100;

}  // namespace

void compute_range(const kernel::Variant& variant, const Array1<double>& d,
                   const Array2<Complex>& n, const Array1<double>& wl, double theta,
                   std::size_t begin, std::size_t end, Transfer* out) {
    if (!stack_fits(d, n, wl, end)) panic(kIndexOutOfBounds);
    const std::size_t media = n.rows();
    if (begin >= end) return;

    kernel::GroupInput input(media, begin, end, d.data(), std::sin(theta));
    unsigned char* const needs_reference = input.needs_reference();
    for (std::size_t first = begin; first < end; first += input.width()) {
        const kernel::Group& group = input.gather(n, wl, first, end);
        variant.group_transfers(group, out + first, needs_reference);

        const std::size_t count = group.count;
        for (std::size_t l = 0; l < count; ++l) {
            if (needs_reference[l] == 0) continue;
            const std::size_t i = first + l;
            out[i].s = transfer_for_wavelength_helper(d, n, wl, theta, i, Polarisation::s);
            out[i].p = transfer_for_wavelength_helper(d, n, wl, theta, i, Polarisation::p);
            out[i].s_exponent = 0.0;
            out[i].p_exponent = 0.0;
        }
    }
}

std::vector<Transfer> transfer_calc_with(const kernel::Variant& variant, const Data& data) {
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
        compute_range(variant, d, n, wl, theta, 0, count, out);
    } else {
        // The pool hands out whole blocks of lanes, so that only the last
        // block of the spectrum has spare lanes. (The results do not depend
        // on the split: each lane computes its own wavelength only.)
        constexpr std::size_t lanes = kernel::kMaxLanes;
        const std::size_t blocks = (count + lanes - 1) / lanes;
        pool::parallel_for(blocks, [&](std::size_t first, std::size_t last) {
            compute_range(variant, d, n, wl, theta, first * lanes, std::min(last * lanes, count),
                          out);
        });
    }
    return transfers;
}

}  // namespace brenmor::detail

namespace brenmor {

std::vector<Transfer> transfer_calc(const Data& data) {
    return detail::transfer_calc_with(kernel::chosen_variant(), data);
}

}  // namespace brenmor
