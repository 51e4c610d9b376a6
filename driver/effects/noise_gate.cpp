// The idle mute gate: mutes the device after a run of near-silent samples and unmutes it at
// the first run of sound. It only judges the samples; it never changes them.
#include "effect_state.h"
#include "pcm.h"
#include "shared_access.h"

namespace {
constexpr int32_t kMuteCount = 256;     // counted quiet samples (128 stereo frames)
constexpr int32_t kUnmuteCount = -16;   // counted loud samples
constexpr int16_t kQuietMagnitude = 5;  // |sample| <= 5 is quiet
}  // namespace

void RunNoiseGate(EffectDeviceContext* ctx, const uint8_t* buffer, uint32_t byteLength) {
    EffectState& state = *ctx->State;
    int32_t count = LoadShared(state.NoiseGateCount);
    uint32_t muted = LoadShared(state.NoiseGateMuted);

    const uint32_t samples = byteLength / 2;
    for (uint32_t i = 0; i < samples; ++i) {
        const int16_t sample = LoadSample(buffer + 2 * i);
        const bool loud = sample > kQuietMagnitude || sample < -kQuietMagnitude;
        // The first sample of a run only cancels the opposite run; it is not counted.
        if (!loud) {
            if (count < 0) {
                count = 0;
                continue;
            }
            ++count;
        } else {
            if (count > 0) {
                count = 0;
                continue;
            }
            --count;
        }
        if (count >= kMuteCount) {
            count = kMuteCount;
            if (muted == 0) {
                ctx->SetDeviceMute(ctx->MuteContext, 1);
                muted = 1;
            }
        }
        if (count <= kUnmuteCount) {
            count = kUnmuteCount;
            if (muted == 1) {
                ctx->SetDeviceMute(ctx->MuteContext, 0);
                muted = 0;
            }
        }
    }

    StoreShared(state.NoiseGateCount, count);
    StoreShared(state.NoiseGateMuted, muted);
}
