// The sse2 variant of the spectrum kernel: two wavelengths per SSE2 register, the x86-64 baseline:
// runs on any x86-64.
//
// The kernel itself is kernel.hpp; this unit instantiates it in the
// namespace brenmor::kernel::sse2, with this unit's flags (engine/CMakeLists.txt).
#if defined(__x86_64__)
#define BRENMOR_KERNEL_VARIANT sse2
#include "kernel/kernel.hpp"

namespace brenmor::kernel::sse2 {

constinit const Variant kVariant = make_variant<Lanes2>("sse2");

}  // namespace brenmor::kernel::sse2
#endif
