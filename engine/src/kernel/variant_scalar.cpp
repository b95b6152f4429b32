// The scalar variant of the spectrum kernel: one wavelength at a time, for every target (the only
// variant of 32-bit ARM and of any target without a vector variant).
//
// The kernel itself is kernel.hpp; this unit instantiates it in the
// namespace brenmor::kernel::scalar, with this unit's flags (engine/CMakeLists.txt).
#define BRENMOR_KERNEL_VARIANT scalar
#include "kernel/kernel.hpp"
#include "kernel/variants.hpp"

namespace brenmor::kernel::scalar {

void group_transfers(const Group& group, Transfer* out, unsigned char* needs_reference,
                     bool first_column_only) noexcept {
    group_transfers_of<double>(group, out, needs_reference, first_column_only);
}

void evaluate_math(const double* x, std::size_t count, double* exp_out, double* sin_out,
                   double* cos_out) noexcept {
    evaluate_math_of<double>(x, count, exp_out, sin_out, cos_out);
}

}  // namespace brenmor::kernel::scalar
