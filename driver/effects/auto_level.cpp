// The automatic level control: a slow gain that lifts quiet passages towards an RMS of about
// 8000 and leaves loud ones alone. Powers follow the signal over ~15000 frames, the gain its
// target over ~30000 frames; both persist for the life of the driver.
#include "effect_math.h"
#include "effect_state.h"
#include "pcm.h"
#include "shared_access.h"

namespace {

constexpr float kPowerFloor = 1440000.0f;      // RMS 1200: the most a quiet passage is lifted
constexpr float kPowerCeiling = 256000000.0f;  // RMS 16000: from here on the gain is ~1

inline float FollowPower(float power, int16_t sample) {
    const int32_t square = static_cast<int32_t>(sample) * sample;
    const float difference = static_cast<float>(square) - power;
    return static_cast<float>(power + difference / 15000.0);
}

inline double TargetGain(float mean) {
    if (mean < kPowerCeiling) {
        return (16000.1261 / EffectSqrtf(mean)) *
               (mean * 256000000.0 * 0.5 / 254560000.0 + 127275927.08988059) / 256000000.0;
    }
    return 16000.1261 / EffectSqrtf(kPowerCeiling);
}

}  // namespace

void RunAutoLevel(EffectState* state, uint8_t* buffer, uint32_t byteLength) {
    const uint32_t frames = byteLength / 4;
    if (LoadShared(state->EnableSoundDRC) == 0 || frames == 0)
        return;

    float powerLeft = LoadShared(state->DrcPowerLeft);
    float powerRight = LoadShared(state->DrcPowerRight);
    float gain = LoadShared(state->DrcGain);

    for (uint32_t frame = 0; frame < frames; ++frame) {
        uint8_t* bytes = buffer + 4 * frame;
        const int16_t left = LoadSample(bytes);
        const int16_t right = LoadSample(bytes + 2);

        powerLeft = FollowPower(powerLeft, left);
        powerRight = FollowPower(powerRight, right);
        float mean = (powerLeft + powerRight) * 0.5f;
        if (mean < kPowerFloor)
            mean = kPowerFloor;

        const float target = static_cast<float>(TargetGain(mean));
        gain = (gain * 29999.0f + target) / 30000.0f;

        StoreSample(bytes, SaturateTruncate(left * gain));
        StoreSample(bytes + 2, SaturateTruncate(right * gain));
    }

    StoreShared(state->DrcPowerLeft, powerLeft);
    StoreShared(state->DrcPowerRight, powerRight);
    StoreShared(state->DrcGain, gain);
}
