// The wide steps with AVX-512 (foundation instructions only): eight doubles, sixteen floats.
// Built with -mavx512f; the build contracts nothing into fused multiply-adds.
#include <immintrin.h>

#include "wide_vectors_sets.h"
#include "wide_vector_steps.h"

namespace {

// The zero-masked conversions with every lane selected are the plain conversions; the unmasked
// intrinsics trip a false uninitialised-value warning in GCC 12's headers.
constexpr __mmask8 kAllLanes = 0xff;

struct Avx512 {
    static constexpr uint32_t kLanes = 8;
    static __m512d Load(const double* p) { return _mm512_loadu_pd(p); }
    static __m512d LoadWidened(const float* p) {
        return _mm512_maskz_cvtps_pd(kAllLanes, _mm256_loadu_ps(p));
    }
    static void StoreNarrowed(float* p, __m512d v) {
        _mm256_storeu_ps(p, _mm512_maskz_cvtpd_ps(kAllLanes, v));
    }
};

}  // namespace

const WideVectorSteps kAvx512Steps = wide_steps::MakeSteps<Avx512>(VectorWidth::kAvx512);
