// Host builds: the widest vector steps that the processor and the operating system support.
#include "shared_access.h"
#include "wide_vectors.h"
#include "wide_vectors_sets.h"

namespace {

// The cap set by LimitVectorWidth, or kNoLimit; read by every transfer. The processor's
// width is found on first use; racing first uses find the same value.
constexpr uint32_t kNoLimit = 0xffffffffu;
constexpr uint32_t kUnknown = 0xffffffffu;
uint32_t g_limit = kNoLimit;
uint32_t g_processor = kUnknown;

// __builtin_cpu_supports also checks that the operating system saves the wider registers.
VectorWidth ProcessorWidth() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return VectorWidth::kAvx512;
    if (__builtin_cpu_supports("avx2"))
        return VectorWidth::kAvx2;
    return VectorWidth::kSse2;
}

VectorWidth EffectiveWidth() {
    uint32_t found = LoadShared(g_processor);
    if (found == kUnknown) {
        found = static_cast<uint32_t>(ProcessorWidth());
        StoreShared(g_processor, found);
    }
    const VectorWidth processor = static_cast<VectorWidth>(found);
    const uint32_t limit = LoadShared(g_limit);
    if (limit != kNoLimit && limit < static_cast<uint32_t>(processor))
        return static_cast<VectorWidth>(limit);
    return processor;
}

}  // namespace

const WideVectorSteps* ActiveWideVectorSteps() {
    switch (EffectiveWidth()) {
        case VectorWidth::kAvx512:
            return &kAvx512Steps;
        case VectorWidth::kAvx2:
            return &kAvx2Steps;
        default:
            return nullptr;
    }
}

VectorWidth LimitVectorWidth(VectorWidth limit) {
    StoreShared(g_limit, static_cast<uint32_t>(limit));
    return EffectiveWidth();
}
