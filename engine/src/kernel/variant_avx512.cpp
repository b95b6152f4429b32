// The avx512 variant of the spectrum kernel: eight wavelengths per AVX-512 register, with fused
// multiply-adds; compiled with -mavx512f -mfma and run only where the processor has them.
//
// The kernel itself is kernel.hpp; this unit instantiates it in the
// namespace brenmor::kernel::avx512, with this unit's flags (engine/CMakeLists.txt).
#if defined(__x86_64__)
#define BRENMOR_KERNEL_VARIANT avx512
#include "kernel/kernel.hpp"

namespace brenmor::kernel::avx512 {

constinit const Variant kVariant = make_variant<Lanes8>("avx512");

}  // namespace brenmor::kernel::avx512
#endif
