// The synthesis window of the equalizer: a Hann window over 2048 samples with 2047 in the
// denominator, computed in double precision.
//
// The window is the same for every block, so its 2048 values are computed once, by the same
// expression, when the transform tables are built; until then each call computes them.
#include <emmintrin.h>

#include "effect_math.h"
#include "equalizer.h"
#include "shared_access.h"

namespace {

enum : uint32_t { kWindowEmpty = 0, kWindowBuilding = 1, kWindowReady = 2 };

uint32_t g_windowState = kWindowEmpty;
double g_window[kEqBlockFrames];

// Left to right as written: (i * 2) * pi / 2047, the index product in integers.
double HannWindowValue(uint32_t i) {
    return 0.5 - 0.5 * EffectCos(i * 2 * kEffectPi / 2047);
}

}  // namespace

void BuildHannWindowTable() {
    if (!CompareExchange32(g_windowState, kWindowEmpty, kWindowBuilding))
        return;
    for (uint32_t i = 0; i < kEqBlockFrames; ++i)
        g_window[i] = HannWindowValue(i);
    StoreOrdered(g_windowState, kWindowReady);
}

void ApplyHannWindow(float* samples) {
    if (LoadOrdered(g_windowState) == kWindowReady) {
        // Each sample times its double window value, stored as float; two to a vector.
        for (uint32_t i = 0; i < kEqBlockFrames; i += 2) {
            const __m128d x = _mm_cvtps_pd(
                _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples + i))));
            const __m128 y = _mm_cvtpd_ps(_mm_mul_pd(x, _mm_loadu_pd(g_window + i)));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(samples + i), _mm_castps_si128(y));
        }
        return;
    }
    for (uint32_t i = 0; i < kEqBlockFrames; ++i)
        samples[i] = static_cast<float>(samples[i] * HannWindowValue(i));
}
