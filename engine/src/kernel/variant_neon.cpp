// The neon variant of the spectrum kernel: two wavelengths per NEON register, the aarch64
// baseline.
//
// The kernel itself is kernel.hpp; this unit instantiates it in the
// namespace brenmor::kernel::neon, with this unit's flags (engine/CMakeLists.txt).
#if defined(__aarch64__)
#define BRENMOR_KERNEL_VARIANT neon
#include "kernel/kernel.hpp"

namespace brenmor::kernel::neon {

constinit const Variant kVariant = make_variant<Lanes2>("neon");

}  // namespace brenmor::kernel::neon
#endif
