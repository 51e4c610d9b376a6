// The wide steps, written once over a vector traits class V and built once per instruction
// set (wide_vectors_avx2.cpp, wide_vectors_avx512.cpp). V gives:
//   kLanes                   doubles per vector D (floats are handled kLanes at a time as F)
//   Load(const double*)      kLanes doubles
//   LoadWidened(const float*), StoreNarrowed(float*, D)
//                            kLanes floats to doubles (exact) and back (rounded to nearest)
// Arithmetic on D is the lane-wise IEEE operation; the engine's build contracts nothing into
// fused multiply-adds, so each lane performs the scalar code's operations one by one.
#pragma once

#include <stdint.h>

#include "wide_vectors.h"

namespace wide_steps {

// The butterflies of one stage, as fft.cpp's Butterflies computes them two lanes at a time:
// tr and ti in double, the sums and differences in double, stored as float.
template <class V>
void TransformStage(uint32_t n, uint32_t half, const double* twiddleReal, const double* twiddleImag,
                    float* real, float* imag) {
    for (uint32_t start = 0; start < n; start += 2 * half) {
        float* const realK = real + start;
        float* const imagK = imag + start;
        float* const realM = realK + half;
        float* const imagM = imagK + half;
        for (uint32_t j = 0; j < half; j += V::kLanes) {
            const auto ar0 = V::Load(twiddleReal + j);
            const auto ai0 = V::Load(twiddleImag + j);
            const auto rm = V::LoadWidened(realM + j);
            const auto im = V::LoadWidened(imagM + j);
            const auto rk = V::LoadWidened(realK + j);
            const auto ik = V::LoadWidened(imagK + j);
            const auto tr = ar0 * rm - ai0 * im;
            const auto ti = ar0 * im + ai0 * rm;
            V::StoreNarrowed(realM + j, rk - tr);
            V::StoreNarrowed(imagM + j, ik - ti);
            V::StoreNarrowed(realK + j, rk + tr);
            V::StoreNarrowed(imagK + j, ik + ti);
        }
    }
}

template <class V>
constexpr WideVectorSteps MakeSteps(VectorWidth width) {
    return WideVectorSteps{width, V::kLanes, &TransformStage<V>};
}

}  // namespace wide_steps
