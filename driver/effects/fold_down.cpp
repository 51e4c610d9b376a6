// Virtual 7.1 fold-down: amplitude panning of eight virtual speakers back into two outputs,
// plus an integer running mean of the mid signal that feeds the low-frequency speaker.
#include "fold_down.h"

#include <emmintrin.h>

#include "effect_math.h"
#include "pcm.h"
#include "shared_access.h"

const float SpeakerWeight[kSpeakerCount] = {0.4f, 0.4f, 0.3f, 2.0f, 0.34f, 0.34f, 0.3f, 0.3f};

namespace {

// The arc limits are compared as doubles against the float angle widened to double, so an
// angle stored as the float nearest 3pi/4 (a hair above it) already belongs to the left arc.
constexpr double kQuarterPi = 0.78539816339744830962;
constexpr double kThreeQuarterPi = 2.35619449019234492885;
constexpr double kThreeHalfPi = 4.71238898038468985769;
constexpr double kNineQuarterPi = 7.06858347057703478654;

struct FoldGains {
    float left[kSpeakerCount];
    float right[kSpeakerCount];
};

// One frame: upmix to eight 16-bit speaker signals and fold them with the gains. `lfe` is
// the running mean, carried by the caller between frames.
inline void FoldFrame(const FoldGains& gains, int16_t* lfe, uint8_t* frame) {
    const int16_t left = LoadSample(frame);
    const int16_t right = LoadSample(frame + 2);
    const int32_t mid = (static_cast<int32_t>(left) + right) / 2;
    *lfe = static_cast<int16_t>((mid + static_cast<int32_t>(*lfe) * 999) / 1000);

    const int16_t speakers[kSpeakerCount] = {
        left, right, static_cast<int16_t>(mid), *lfe, left, right, left, right};
    float sumLeft = speakers[0] * gains.left[0];
    float sumRight = speakers[0] * gains.right[0];
    for (uint32_t i = 1; i < kSpeakerCount; ++i) {
        sumLeft += speakers[i] * gains.left[i];
        sumRight += speakers[i] * gains.right[i];
    }
    StoreSample(frame, SaturateTruncate(sumLeft));
    StoreSample(frame + 2, SaturateTruncate(sumRight));
}

// SaturateTruncate on four values: NaN gives 0, the rest is clamped to the 16-bit range and
// truncated toward zero.
inline __m128i SaturateTruncate4(__m128 value) {
    const __m128 number = _mm_and_ps(value, _mm_cmpord_ps(value, value));
    const __m128 clamped =
        _mm_max_ps(_mm_min_ps(number, _mm_set1_ps(32767.0f)), _mm_set1_ps(-32768.0f));
    return _mm_cvttps_epi32(clamped);
}

void LoadGains(const EffectState* state, FoldGains* gains) {
    for (uint32_t i = 0; i < kSpeakerCount; ++i) {
        gains->left[i] = LoadShared(state->SpeakerMixLeft[i]);
        gains->right[i] = LoadShared(state->SpeakerMixRight[i]);
    }
}

}  // namespace

void RecomputeSpeakerMix(EffectState* state) {
    for (uint32_t i = 0; i < kSpeakerCount; ++i) {
        const double theta = LoadShared(state->Virtual7ch1Radian[i]);
        const double distance = LoadShared(state->Virtual7ch1Distance[i]);
        const double weight = SpeakerWeight[i];
        double left;
        double right;
        if (theta >= kQuarterPi && theta <= kThreeQuarterPi) {
            left = EffectCos(kThreeQuarterPi - theta) * distance * weight;
            right = EffectCos(theta - kQuarterPi) * distance * weight;
        } else if (theta > kThreeQuarterPi && theta < kThreeHalfPi) {
            // Each rear arc spans 3pi/4; the factor 2/3 maps it onto a quarter period.
            left = EffectCos((theta - kThreeQuarterPi) * 2 / 3) * distance * weight;
            right = 0.0;
        } else {
            const double reference =
                (theta > 0.0 && theta < kQuarterPi) ? kQuarterPi : kNineQuarterPi;
            left = 0.0;
            right = EffectCos((reference - theta) * 2 / 3) * distance * weight;
        }
        StoreShared(state->SpeakerMixLeft[i], static_cast<float>(left));
        StoreShared(state->SpeakerMixRight[i], static_cast<float>(right));
    }
}

void UpmixAndFold(EffectState* state, uint8_t* frame) {
    FoldGains gains;
    LoadGains(state, &gains);
    int16_t lfe = LoadShared(state->LfeState);
    FoldFrame(gains, &lfe, frame);
    StoreShared(state->LfeState, lfe);
}

void RunFoldDown(EffectState* state, uint8_t* buffer, uint32_t frames) {
    // One snapshot of the gains per buffer: a mix recomputed meanwhile applies from the next.
    FoldGains gains;
    LoadGains(state, &gains);
    int16_t lfe = LoadShared(state->LfeState);

    // Four frames to a vector: each lane sums its frame's eight products in speaker order,
    // exactly as a single frame does; only the low-frequency mean runs frame by frame.
    __m128 left[kSpeakerCount];
    __m128 right[kSpeakerCount];
    for (uint32_t i = 0; i < kSpeakerCount; ++i) {
        left[i] = _mm_set1_ps(gains.left[i]);
        right[i] = _mm_set1_ps(gains.right[i]);
    }
    uint32_t frame = 0;
    for (; frame + 4 <= frames; frame += 4) {
        uint8_t* const bytes = buffer + 4 * frame;
        const __m128i samples = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
        const __m128i l = _mm_srai_epi32(_mm_slli_epi32(samples, 16), 16);
        const __m128i r = _mm_srai_epi32(samples, 16);
        const __m128i sum = _mm_add_epi32(l, r);
        const __m128i mid = _mm_srai_epi32(_mm_add_epi32(sum, _mm_srli_epi32(sum, 31)), 1);
        alignas(16) int32_t mids[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(mids), mid);
        alignas(16) int32_t lfes[4];
        for (uint32_t k = 0; k < 4; ++k) {
            lfe = static_cast<int16_t>((mids[k] + static_cast<int32_t>(lfe) * 999) / 1000);
            lfes[k] = lfe;
        }
        const __m128 speakers[kSpeakerCount] = {
            _mm_cvtepi32_ps(l),
            _mm_cvtepi32_ps(r),
            _mm_cvtepi32_ps(mid),
            _mm_cvtepi32_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(lfes))),
            _mm_cvtepi32_ps(l),
            _mm_cvtepi32_ps(r),
            _mm_cvtepi32_ps(l),
            _mm_cvtepi32_ps(r),
        };
        __m128 sumLeft = _mm_mul_ps(speakers[0], left[0]);
        __m128 sumRight = _mm_mul_ps(speakers[0], right[0]);
        for (uint32_t i = 1; i < kSpeakerCount; ++i) {
            sumLeft = _mm_add_ps(sumLeft, _mm_mul_ps(speakers[i], left[i]));
            sumRight = _mm_add_ps(sumRight, _mm_mul_ps(speakers[i], right[i]));
        }
        const __m128i outLeft = SaturateTruncate4(sumLeft);
        const __m128i outRight = SaturateTruncate4(sumRight);
        const __m128i interleaved = _mm_packs_epi32(_mm_unpacklo_epi32(outLeft, outRight),
                                                    _mm_unpackhi_epi32(outLeft, outRight));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), interleaved);
    }
    for (; frame < frames; ++frame)
        FoldFrame(gains, &lfe, buffer + 4 * frame);
    StoreShared(state->LfeState, lfe);
}
