// The kernel's input, built: a spectrum's wavelengths copied group by group
// into the structure-of-arrays buffers that kernel/group.hpp lays out and
// kernel.hpp reads.
//
// This header is for the engine's own units, compiled with its flags; the
// variant units include group.hpp only.
#pragma once

#include <cstddef>
#include <memory>

#include "brenmor/brenmor.hpp"
#include "kernel/group.hpp"

namespace brenmor::kernel {

// The buffers of one group and the copy into them. Only the lanes a range of
// wavelengths uses are prepared (a short spectrum gets a narrow group), in
// one block that lies on the stack when it is small.
class GroupInput {
public:
    // For wavelengths [begin, end) of a stack of `media` media.
    GroupInput(std::size_t media, std::size_t begin, std::size_t end, const double* thickness,
               double sin_theta);
    GroupInput(const GroupInput&) = delete;
    GroupInput& operator=(const GroupInput&) = delete;

    // How many wavelengths one group holds.
    std::size_t width() const noexcept { return group_.stride; }

    // The group of wavelengths [first, first + min(width(), end - first))
    // of n and wl; lanes past the last wavelength repeat it. Prefetches the
    // part of n that the next group will read.
    const Group& gather(const Array2<Complex>& n, const Array1<double>& wl, std::size_t first,
                        std::size_t end) noexcept;

    // Where the kernel marks the lanes it leaves to the reference.
    unsigned char* needs_reference() noexcept { return needs_reference_; }

private:
    // Doubles kept on the stack (8 KiB): short stacks and short spectra need
    // no allocation.
    static constexpr std::size_t kSmallBuffer = 1024;

    double small_buffer_[kSmallBuffer];
    std::unique_ptr<double[]> large_buffer_;
    Group group_;
    double* index_re_;
    double* index_im_;
    double* wavelength_;
    unsigned char* needs_reference_;
};

}  // namespace brenmor::kernel
