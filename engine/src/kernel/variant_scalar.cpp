// The scalar variant of the spectrum kernel: one wavelength at a time, for every target (the only
// variant of 32-bit ARM and of any target without a vector variant).
//
// The kernel itself is kernel.hpp; this unit instantiates it in the
// namespace brenmor::kernel::scalar, with this unit's flags (engine/CMakeLists.txt).
#define BRENMOR_KERNEL_VARIANT scalar
#include "kernel/kernel.hpp"

namespace brenmor::kernel::scalar {

constinit const Variant kVariant = make_variant<double>("scalar");

}  // namespace brenmor::kernel::scalar
