// The avx2 variant of the spectrum kernel: four wavelengths per AVX2 register, with fused
// multiply-adds; compiled with -mavx2 -mfma and run only where the processor has both.
//
// The kernel itself is kernel.hpp; this unit instantiates it in the
// namespace brenmor::kernel::avx2, with this unit's flags (engine/CMakeLists.txt).
#if defined(__x86_64__)
#define BRENMOR_KERNEL_VARIANT avx2
#include "kernel/kernel.hpp"

namespace brenmor::kernel::avx2 {

constinit const Variant kVariant = make_variant<Lanes4>("avx2");

}  // namespace brenmor::kernel::avx2
#endif
