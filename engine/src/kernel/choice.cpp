// The choice of the kernel variant, once per process, from the processor's
// features (see variants.hpp).
#include <vector>

#include "kernel/variants.hpp"

namespace brenmor::kernel {

namespace {

enum class Needs { nothing, avx2_fma, avx512_fma };

struct Entry {
    const Variant* variant;
    Needs needs;
};

// Widest first.
const Entry kEntries[] = {
#if defined(__x86_64__)
    {&avx512::kVariant, Needs::avx512_fma},
    {&avx2::kVariant, Needs::avx2_fma},
    {&sse2::kVariant, Needs::nothing},
#elif defined(__aarch64__)
    {&neon::kVariant, Needs::nothing},
#endif
    {&scalar::kVariant, Needs::nothing},
};

// __builtin_cpu_supports also checks that the operating system saves the
// wider registers (XCR0), not only that the processor has them.
bool runs_here(Needs needs) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    switch (needs) {
        case Needs::nothing: return true;
        case Needs::avx2_fma:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case Needs::avx512_fma:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("fma");
    }
    return false;
#else
    return needs == Needs::nothing;
#endif
}

}  // namespace

std::vector<const Variant*> supported_variants() {
    std::vector<const Variant*> out;
    for (const Entry& entry : kEntries) {
        if (runs_here(entry.needs)) out.push_back(entry.variant);
    }
    return out;
}

const Variant& chosen_variant() {
    static const Variant& variant = *supported_variants().front();
    return variant;
}

}  // namespace brenmor::kernel
