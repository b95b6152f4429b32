// The transfers of a whole spectrum, on the calling thread or on the pool
// (see spectrum_dispatch.hpp).
#include "spectrum_dispatch.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "brenmor/brenmor.hpp"
#include "brenmor/pool.hpp"
#include "kernel/group.hpp"
#include "kernel/variants.hpp"

namespace brenmor::detail {

namespace {

// Wavelength counts up to this run on the calling thread.
constexpr std::size_t kMaxSequential = 100;

// The wavelengths of one group: at most 64, and fewer for long stacks, so
// that the group's copy of n (L rows of `width` complex values) stays near
// 256 KiB. Rows of a large n lie far apart in memory; read in place, every
// medium of every block of lanes would touch another page.
std::size_t group_width(std::size_t media) {
    const std::size_t fit = 16384 / media;
    const std::size_t width = std::clamp<std::size_t>(fit, kernel::kMaxLanes, 64);
    return width / kernel::kMaxLanes * kernel::kMaxLanes;
}

}  // namespace

void compute_range(const kernel::Variant& variant, const Array1<double>& d,
                   const Array2<Complex>& n, const Array1<double>& wl, double theta,
                   std::size_t begin, std::size_t end, Transfer* out, bool first_column_only) {
    // transfer_for_wavelength fails for index i when i is outside wl, n has
    // fewer than two rows or at most i columns, or d fewer than L - 2 entries.
    const std::size_t media = n.rows();
    if (end > wl.size() || media < 2 || n.cols() < end || d.size() < media - 2) {
        panic(kIndexOutOfBounds);
    }
    if (begin >= end) return;

    const std::size_t width = group_width(media);
    std::vector<double> index_re(media * width);
    std::vector<double> index_im(media * width);
    std::vector<double> wavelength(width);
    std::vector<unsigned char> needs_reference(width);
    kernel::Group group{index_re.data(), index_im.data(), width,       media,
                        wavelength.data(), d.data(),      std::sin(theta), 0};

    for (std::size_t first = begin; first < end; first += width) {
        const std::size_t count = std::min(width, end - first);
        // Lanes past the end repeat the last wavelength.
        // (Element (j, i) of n is storage[offset + j * row_stride + i * col_stride].)
        const Complex* const storage = n.storage().data();
        for (std::size_t j = 0; j < media; ++j) {
            double* re = index_re.data() + j * width;
            double* im = index_im.data() + j * width;
            const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(n.offset()) +
                                       static_cast<std::ptrdiff_t>(j) * n.row_stride();
            for (std::size_t l = 0; l < width; ++l) {
                const std::size_t i = first + std::min(l, count - 1);
                const Complex z =
                    storage[row + static_cast<std::ptrdiff_t>(i) * n.col_stride()];
                re[l] = z.re;
                im[l] = z.im;
            }
        }
        for (std::size_t l = 0; l < width; ++l) wavelength[l] = wl[first + std::min(l, count - 1)];
        group.count = count;
        variant.group_transfers(group, out + first, needs_reference.data(), first_column_only);

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
