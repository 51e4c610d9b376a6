// Virtual 7.1 fold-down: amplitude panning of eight virtual speakers back into two outputs,
// plus an integer running mean of the mid signal that feeds the low-frequency speaker.
#include "fold_down.h"

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
    for (uint32_t frame = 0; frame < frames; ++frame)
        FoldFrame(gains, &lfe, buffer + 4 * frame);
    StoreShared(state->LfeState, lfe);
}
