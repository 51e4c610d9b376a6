// The wide steps with AVX-512 (foundation instructions only): eight doubles, or eight floats,
// to a vector. Built with -mavx512f; the build contracts nothing into fused multiply-adds.
#include <immintrin.h>

#include "wide_vector_steps.h"
#include "wide_vectors_sets.h"

namespace {

// The zero-masked conversions with every lane selected are the plain conversions; the unmasked
// intrinsics trip a false uninitialised-value warning in GCC 12's headers.
constexpr __mmask8 kAllLanes = 0xff;

struct Avx512 {
    static constexpr uint32_t kLanes = 8;
    typedef __m512d D;
    typedef __m256 F;

    static D LoadD(const double* p) { return _mm512_loadu_pd(p); }
    static D LoadWidened(const float* p) { return Widen(_mm256_loadu_ps(p)); }
    static void StoreNarrowed(float* p, D v) { _mm256_storeu_ps(p, Narrow(v)); }

    static D BroadcastD(double x) { return _mm512_set1_pd(x); }
    static F LoadF(const float* p) { return _mm256_loadu_ps(p); }
    static void StoreF(float* p, F v) { _mm256_storeu_ps(p, v); }
    static F Broadcast(float x) { return _mm256_set1_ps(x); }
    static F Zero() { return _mm256_setzero_ps(); }
    static F LoadMask(const uint32_t* bits) {
        return _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bits)));
    }
    static F Blend(F a, F b, F mask) { return _mm256_blendv_ps(a, b, mask); }
    static F Flush(F v, float limit) {
        const F magnitude = _mm256_and_ps(v, _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff)));
        return _mm256_andnot_ps(_mm256_cmp_ps(magnitude, _mm256_set1_ps(limit), _CMP_LT_OQ), v);
    }
    static D Widen(F v) { return _mm512_maskz_cvtps_pd(kAllLanes, v); }
    static F Narrow(D v) { return _mm512_maskz_cvtpd_ps(kAllLanes, v); }
    static F Reverse(F v) {
        return _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
    }
    static void Transpose(F* r) {
        const F t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
        const F t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
        const F t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
        const F t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
        const F u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
        const F u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
        const F u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
        const F u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
        const F u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
        const F u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
        const F u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
        const F u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
        r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
        r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
        r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
        r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
        r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
        r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
        r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
        r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
    }
};

}  // namespace

const WideVectorSteps kAvx512Steps = wide_steps::MakeSteps<Avx512>(VectorWidth::kAvx512);
