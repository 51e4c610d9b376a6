// The wide steps with AVX2: four doubles, eight floats. Built with -mavx2 (no FMA).
#include <immintrin.h>

#include "wide_vectors_sets.h"
#include "wide_vector_steps.h"

namespace {

struct Avx2 {
    static constexpr uint32_t kLanes = 4;
    static __m256d Load(const double* p) { return _mm256_loadu_pd(p); }
    static __m256d LoadWidened(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    static void StoreNarrowed(float* p, __m256d v) { _mm_storeu_ps(p, _mm256_cvtpd_ps(v)); }
};

}  // namespace

const WideVectorSteps kAvx2Steps = wide_steps::MakeSteps<Avx2>(VectorWidth::kAvx2);
