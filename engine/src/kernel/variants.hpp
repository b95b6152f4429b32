// The kernel variants compiled into this build, and the one this process
// uses.
//
// Each variant is the one kernel (kernel.hpp) instantiated for one lane type
// in a unit of its own, compiled with its own instruction-set flags, in its
// own namespace:
//   scalar  one wavelength at a time; every target;
//   sse2    two lanes; x86-64 (its baseline), so it runs on any x86-64;
//   neon    two lanes; aarch64 (its baseline);
//   avx2    four lanes, AVX2 and FMA; x86-64 processors that have both;
//   avx512  eight lanes, AVX-512F and FMA; x86-64 processors that have them.
// The variant is chosen once per process, from the processor's features: the
// widest one it runs.
//
// The tests, the fuzzer and the benchmark reach every variant through
// supported_variants(), and run one with detail::transfer_calc_with or
// detail::compute_range (transfers.hpp) and its power functions; the
// product itself only ever runs chosen_variant().
#pragma once

#include <cstddef>
#include <vector>

#include "kernel/group.hpp"

namespace brenmor::kernel {

// What a variant offers: its name, its lane count and its functions (see
// group.hpp).
struct Variant {
    const char* name;
    std::size_t lanes;
    GroupFunction group_transfers;
    MathFunction evaluate_math;
    ReflectanceFunction reflectances;
    TransmittanceFunction transmittances;
};

// Each variant's description, defined in its own unit kernel/variant_*.cpp
// (from make_variant in kernel.hpp).
namespace scalar { extern const Variant kVariant; }
#if defined(__x86_64__)
namespace sse2 { extern const Variant kVariant; }
namespace avx2 { extern const Variant kVariant; }
namespace avx512 { extern const Variant kVariant; }
#elif defined(__aarch64__)
namespace neon { extern const Variant kVariant; }
#endif

// The variants of this build that this processor runs, widest first.
std::vector<const Variant*> supported_variants();

// The variant of this process, chosen on the first call: the widest
// supported one.
const Variant& chosen_variant();

}  // namespace brenmor::kernel
