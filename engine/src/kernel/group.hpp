// What a kernel variant is given and what it returns: one group of
// neighbouring wavelengths of a spectrum, copied into a small buffer.
//
// The group is plain data (no member functions), so that units compiled with
// different instruction-set flags share no code through it.
#pragma once

#include <cstddef>

#include "brenmor/brenmor.hpp"

namespace brenmor::kernel {

// The most lanes any variant computes at once; a group's buffers are padded
// to a multiple of it.
inline constexpr std::size_t kMaxLanes = 8;

struct Group {
    // The indices of the group's wavelengths, structure of arrays:
    // medium j, wavelength l at [j * stride + l], incidence medium first.
    const double* index_re;
    const double* index_im;
    std::size_t stride;
    std::size_t media;          // L >= 2
    const double* wavelength;   // stride entries
    const double* thickness;    // L - 2 entries: d[0] belongs to medium 1
    double sin_theta;
    // Wavelengths to compute; entries from `count` up to the next multiple of
    // kMaxLanes repeat the last wavelength and are not stored.
    std::size_t count;
};

// Computes the Transfers of the group's wavelengths into out[0, count). A
// wavelength whose stack the kernel does not carry (a non-finite value on the
// way, an index of 0, a vanishing interface denominator) gets
// needs_reference[l] = 1 and its slot is to be filled by the reference; all
// others get 0.
using GroupFunction = void (*)(const Group& group, Transfer* out,
                               unsigned char* needs_reference) noexcept;

// The weights of the two polarisations in the incident power: cos^2(phi) for
// s, sin^2(phi) for p.
struct PowerWeights {
    double s;
    double p;
};

// The incidence and exit media of a spectrum: the index of wavelength i at
// incidence[i * stride] and exit[i * stride].
struct OuterMedia {
    const Complex* incidence;
    const Complex* exit;
    std::ptrdiff_t stride;
    double sin_theta;
    double cos_theta;
};

// The reflectance (and the transmittance) of transfers[0, count) into
// out[0, count). A wavelength whose value is to come from the reference
// operation order gets NaN (see kernel/power.hpp).
using ReflectanceFunction = void (*)(const Transfer* transfers, std::size_t count,
                                     const PowerWeights& weights, double* out) noexcept;
using TransmittanceFunction = void (*)(const Transfer* transfers, std::size_t count,
                                       const PowerWeights& weights, const OuterMedia& media,
                                       double* out) noexcept;

// The kernel's own e^x (as for the attenuation of a layer, x <= 0) and sin x,
// cos x for each x[k], k < count, as compiled in a variant: for the tests of
// their accuracy.
using MathFunction = void (*)(const double* x, std::size_t count, double* exp_out,
                              double* sin_out, double* cos_out) noexcept;

}  // namespace brenmor::kernel
