// The vector widths the engine can use on this machine, for tests that hold every width to
// the same reference bits.
#pragma once

#include <vector>

#include "wide_vectors.h"

// SSE2 always; AVX2 and AVX-512 where the processor and the build have them.
inline std::vector<VectorWidth> AvailableVectorWidths() {
    std::vector<VectorWidth> widths;
    for (VectorWidth width : {VectorWidth::kSse2, VectorWidth::kAvx2, VectorWidth::kAvx512}) {
        if (LimitVectorWidth(width) == width)
            widths.push_back(width);
    }
    LimitVectorWidth(VectorWidth::kAvx512);
    return widths;
}

// Caps the width for one scope, then lifts the cap again.
class ScopedVectorWidth {
  public:
    explicit ScopedVectorWidth(VectorWidth width) { LimitVectorWidth(width); }
    ~ScopedVectorWidth() { LimitVectorWidth(VectorWidth::kAvx512); }
    ScopedVectorWidth(const ScopedVectorWidth&) = delete;
    ScopedVectorWidth& operator=(const ScopedVectorWidth&) = delete;
};

inline const char* VectorWidthName(VectorWidth width) {
    switch (width) {
        case VectorWidth::kAvx2:
            return "AVX2";
        case VectorWidth::kAvx512:
            return "AVX-512";
        default:
            return "SSE2";
    }
}
