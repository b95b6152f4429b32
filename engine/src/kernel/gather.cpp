// The kernel's input, built group by group (see gather.hpp).
#include "kernel/gather.hpp"

#include <algorithm>
#include <cstddef>

namespace brenmor::kernel {

namespace {

// The wavelengths of one group: at most 64, and fewer for long stacks, so
// that the group's copy of n (L rows of `width` complex values) stays near
// 256 KiB. Rows of a large n lie far apart in memory; read in place, every
// medium of every block of lanes would touch another page.
std::size_t group_width(std::size_t media) {
    const std::size_t fit = 16384 / media;
    const std::size_t width = std::clamp<std::size_t>(fit, kMaxLanes, 64);
    return width / kMaxLanes * kMaxLanes;
}

}  // namespace

GroupInput::GroupInput(std::size_t media, std::size_t begin, std::size_t end,
                       const double* thickness, double sin_theta) {
    const std::size_t in_use = (end - begin + kMaxLanes - 1) / kMaxLanes * kMaxLanes;
    const std::size_t width = std::min(group_width(media), in_use);
    const std::size_t doubles = (2 * media + 1) * width + width / sizeof(double);
    if (doubles > kSmallBuffer) large_buffer_.reset(new double[doubles]);
    double* const buffer = large_buffer_ ? large_buffer_.get() : small_buffer_;
    index_re_ = buffer;
    index_im_ = index_re_ + media * width;
    wavelength_ = index_im_ + media * width;
    needs_reference_ = reinterpret_cast<unsigned char*>(wavelength_ + width);
    group_ = Group{index_re_, index_im_, width, media, wavelength_, thickness, sin_theta, 0};
}

const Group& GroupInput::gather(const Array2<Complex>& n, const Array1<double>& wl,
                                std::size_t first, std::size_t end) noexcept {
    const std::size_t width = group_.stride;
    const std::size_t count = std::min(width, end - first);
    const std::size_t next = first + width;
    // Element (j, i) of n is storage[offset + j * row_stride + i * col_stride].
    const Complex* const storage = n.storage().data();
    const std::ptrdiff_t col_stride = n.col_stride();
    for (std::size_t j = 0; j < group_.media; ++j) {
        double* re = index_re_ + j * width;
        double* im = index_im_ + j * width;
        const Complex* row = storage + static_cast<std::ptrdiff_t>(n.offset()) +
                             static_cast<std::ptrdiff_t>(j) * n.row_stride();
        if (col_stride == 1 && count == width) {
            // A whole group of a contiguous row: a plain copy that the
            // compiler vectorises.
            const Complex* const part = row + static_cast<std::ptrdiff_t>(first);
            for (std::size_t l = 0; l < width; ++l) {
                re[l] = part[l].re;
                im[l] = part[l].im;
            }
        } else {
            for (std::size_t l = 0; l < width; ++l) {
                const std::size_t i = first + std::min(l, count - 1);
                const Complex z = row[static_cast<std::ptrdiff_t>(i) * col_stride];
                re[l] = z.re;
                im[l] = z.im;
            }
        }
        // The rows of a large n lie far apart, more of them than the hardware
        // prefetcher follows: ask for this row's part of the next group now,
        // a cache line (four values) at a time.
        if (col_stride == 1 && next < end) {
            const std::size_t ahead = std::min(width, end - next);
            for (std::size_t l = 0; l < ahead; l += 4) {
                __builtin_prefetch(row + static_cast<std::ptrdiff_t>(next + l));
            }
        }
    }
    for (std::size_t l = 0; l < width; ++l) wavelength_[l] = wl[first + std::min(l, count - 1)];
    group_.count = count;
    return group_;
}

}  // namespace brenmor::kernel
