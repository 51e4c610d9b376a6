// The kernel driver keeps to SSE2: wider registers would need their state saved around every
// transfer in the URB path.
#include "wide_vectors.h"

const WideVectorSteps* ActiveWideVectorSteps() {
    return nullptr;
}

VectorWidth LimitVectorWidth(VectorWidth) {
    return VectorWidth::kSse2;
}
