// The neon variant of the spectrum kernel: two wavelengths per NEON register, the aarch64
// baseline.
//
// The kernel itself is kernel.hpp; this unit instantiates it in the
// namespace brenmor::kernel::neon, with this unit's flags (engine/CMakeLists.txt).
#if defined(__aarch64__)
#define BRENMOR_KERNEL_VARIANT neon
#include "kernel/kernel.hpp"
#include "kernel/variants.hpp"

namespace brenmor::kernel::neon {

void group_transfers(const Group& group, Transfer* out, unsigned char* needs_reference,
                     bool first_column_only) noexcept {
    group_transfers_of<Lanes2>(group, out, needs_reference, first_column_only);
}

void evaluate_math(const double* x, std::size_t count, double* exp_out, double* sin_out,
                   double* cos_out) noexcept {
    evaluate_math_of<Lanes2>(x, count, exp_out, sin_out, cos_out);
}

}  // namespace brenmor::kernel::neon
#endif
