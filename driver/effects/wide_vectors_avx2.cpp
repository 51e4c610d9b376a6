// The wide steps with AVX2: four doubles, or four floats, to a vector. Built with -mavx2
// (no FMA).
#include <immintrin.h>

#include "wide_vector_steps.h"
#include "wide_vectors_sets.h"

namespace {

struct Avx2 {
    static constexpr uint32_t kLanes = 4;
    typedef __m256d D;
    typedef __m128 F;

    static D LoadD(const double* p) { return _mm256_loadu_pd(p); }
    static D LoadWidened(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    static void StoreNarrowed(float* p, D v) { _mm_storeu_ps(p, _mm256_cvtpd_ps(v)); }

    static D BroadcastD(double x) { return _mm256_set1_pd(x); }
    static F LoadF(const float* p) { return _mm_loadu_ps(p); }
    static void StoreF(float* p, F v) { _mm_storeu_ps(p, v); }
    static F Broadcast(float x) { return _mm_set1_ps(x); }
    static F Zero() { return _mm_setzero_ps(); }
    static F LoadMask(const uint32_t* bits) {
        return _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bits)));
    }
    static F Blend(F a, F b, F mask) { return _mm_blendv_ps(a, b, mask); }
    static F Flush(F v, float limit) {
        const F magnitude = _mm_and_ps(v, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff)));
        return _mm_andnot_ps(_mm_cmplt_ps(magnitude, _mm_set1_ps(limit)), v);
    }
    static D Widen(F v) { return _mm256_cvtps_pd(v); }
    static F Narrow(D v) { return _mm256_cvtpd_ps(v); }
    static void Transpose(F* rows) { _MM_TRANSPOSE4_PS(rows[0], rows[1], rows[2], rows[3]); }
    static F Reverse(F v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)); }
};

}  // namespace

const WideVectorSteps kAvx2Steps = wide_steps::MakeSteps<Avx2>(VectorWidth::kAvx2);
