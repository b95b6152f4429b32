// The reflectance and transmittance of one wavelength in the reference
// operation order: the textbook complex quotients, hypot for the moduli and
// the polar principal square root. The spectra take it where the kernel's
// shortcuts do not apply (see kernel/power.hpp); the tests measure the
// kernel against it.
#pragma once

#include "brenmor/brenmor.hpp"
#include "kernel/group.hpp"

namespace brenmor::detail {

// R = sin^2(phi) |r_p|^2 + cos^2(phi) |r_s|^2 with r = M[1][0] / M[0][0].
double reference_reflectance(const Transfer& transfer, const kernel::PowerWeights& weights);

// T = F (sin^2(phi) |t_p|^2 + cos^2(phi) |t_s|^2) with t = 1 / M[0][0] and
// F = Re(q / (N_0 cos theta)), q = sqrt(N_exit^2 - sin^2(theta) N_0^2).
double reference_transmittance(const Transfer& transfer, const kernel::PowerWeights& weights,
                               Complex incidence, Complex exit, double theta);

}  // namespace brenmor::detail
