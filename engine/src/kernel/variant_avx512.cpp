// The avx512 variant of the spectrum kernel: eight wavelengths per AVX-512 register, with fused
// multiply-adds; compiled with -mavx512f -mfma and run only where the processor has them.
//
// The kernel itself is kernel.hpp; this unit instantiates it in the
// namespace brenmor::kernel::avx512, with this unit's flags (engine/CMakeLists.txt).
#if defined(__x86_64__)
#define BRENMOR_KERNEL_VARIANT avx512
#include "kernel/kernel.hpp"
#include "kernel/variants.hpp"

namespace brenmor::kernel::avx512 {

void group_transfers(const Group& group, Transfer* out, unsigned char* needs_reference,
                     bool first_column_only) noexcept {
    group_transfers_of<Lanes8>(group, out, needs_reference, first_column_only);
}

void evaluate_math(const double* x, std::size_t count, double* exp_out, double* sin_out,
                   double* cos_out) noexcept {
    evaluate_math_of<Lanes8>(x, count, exp_out, sin_out, cos_out);
}

}  // namespace brenmor::kernel::avx512
#endif
