// The transfers of a whole spectrum, on the calling thread or on the pool
// (see spectrum_dispatch.hpp).
#include "spectrum_dispatch.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

#include "brenmor/brenmor.hpp"
#include "brenmor/pool.hpp"
#include "kernel/group.hpp"
#include "kernel/variants.hpp"
#include "stack_shape.hpp"

namespace brenmor::detail {

namespace {

// Wavelength counts up to this run on the calling thread.
constexpr std::size_t kMaxSequential = 100;

// Doubles of group buffer kept on the stack (8 KiB): short stacks and short
// spectra need no allocation.
constexpr std::size_t kSmallBuffer = 1024;

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
    if (!stack_fits(d, n, wl, end)) panic(kIndexOutOfBounds);
    const std::size_t media = n.rows();
    if (begin >= end) return;

    // Only the lanes in use are prepared: a short spectrum gets a narrow
    // group. The group's buffers are one block, on the stack when small.
    const std::size_t in_use = (end - begin + kernel::kMaxLanes - 1) / kernel::kMaxLanes *
                               kernel::kMaxLanes;
    const std::size_t width = std::min(group_width(media), in_use);
    const std::size_t doubles = (2 * media + 1) * width + width / sizeof(double);
    double small_buffer[kSmallBuffer];
    std::unique_ptr<double[]> large_buffer;
    if (doubles > kSmallBuffer) large_buffer.reset(new double[doubles]);
    double* const buffer = large_buffer ? large_buffer.get() : small_buffer;
    double* const index_re = buffer;
    double* const index_im = index_re + media * width;
    double* const wavelength = index_im + media * width;
    auto* const needs_reference = reinterpret_cast<unsigned char*>(wavelength + width);
    kernel::Group group{index_re, index_im, width, media, wavelength, d.data(), std::sin(theta), 0};

    // Element (j, i) of n is storage[offset + j * row_stride + i * col_stride].
    const Complex* const storage = n.storage().data();
    const std::ptrdiff_t col_stride = n.col_stride();
    for (std::size_t first = begin; first < end; first += width) {
        const std::size_t count = std::min(width, end - first);
        const std::size_t next = first + width;
        // Lanes past the end repeat the last wavelength.
        for (std::size_t j = 0; j < media; ++j) {
            double* re = index_re + j * width;
            double* im = index_im + j * width;
            const Complex* row = storage + static_cast<std::ptrdiff_t>(n.offset()) +
                                 static_cast<std::ptrdiff_t>(j) * n.row_stride();
            for (std::size_t l = 0; l < width; ++l) {
                const std::size_t i = first + std::min(l, count - 1);
                const Complex z = row[static_cast<std::ptrdiff_t>(i) * col_stride];
                re[l] = z.re;
                im[l] = z.im;
            }
            // The rows of a large n lie far apart, more of them than the
            // hardware prefetcher follows: ask for this row's part of the
            // next group now, a cache line (four values) at a time.
            if (col_stride == 1 && next < end) {
                const std::size_t ahead = std::min(width, end - next);
                for (std::size_t l = 0; l < ahead; l += 4) {
                    __builtin_prefetch(row + static_cast<std::ptrdiff_t>(next + l));
                }
            }
        }
        for (std::size_t l = 0; l < width; ++l) wavelength[l] = wl[first + std::min(l, count - 1)];
        group.count = count;
        variant.group_transfers(group, out + first, needs_reference, first_column_only);

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
