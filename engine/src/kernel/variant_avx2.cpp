// The avx2 variant of the spectrum kernel: four wavelengths per AVX2 register, with fused
// multiply-adds; compiled with -mavx2 -mfma and run only where the processor has both.
//
// The kernel itself is kernel.hpp; this unit instantiates it in the
// namespace brenmor::kernel::avx2, with this unit's flags (engine/CMakeLists.txt).
#if defined(__x86_64__)
#define BRENMOR_KERNEL_VARIANT avx2
#include "kernel/kernel.hpp"
#include "kernel/variants.hpp"

namespace brenmor::kernel::avx2 {

void group_transfers(const Group& group, Transfer* out, unsigned char* needs_reference,
                     bool first_column_only) noexcept {
    group_transfers_of<Lanes4>(group, out, needs_reference, first_column_only);
}

void evaluate_math(const double* x, std::size_t count, double* exp_out, double* sin_out,
                   double* cos_out) noexcept {
    evaluate_math_of<Lanes4>(x, count, exp_out, sin_out, cos_out);
}

}  // namespace brenmor::kernel::avx2
#endif
