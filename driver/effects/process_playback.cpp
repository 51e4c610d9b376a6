// The processing entry: one playback transfer through every stage, in a fixed order.
#include "effect_state.h"
#include "equalizer.h"
#include "fold_down.h"
#include "shared_access.h"
#include "sound_field.h"

void ProcessPlaybackBuffer(EffectDeviceContext* ctx, uint8_t* buffer, uint32_t byteLength) {
    EffectState* state = ctx->State;

    // Gate analysis sees the untouched input, ahead of the equalizer's ring delay.
    if (LoadShared(state->EnableNoiseClean) != 0 && LoadShared(state->HostMuteState) == 0 &&
        byteLength / 2 != 0) {
        RunNoiseGate(ctx, buffer, byteLength);
    }

    RunEqualizer(ctx, buffer, byteLength);

    const uint32_t frames = byteLength / 4;
    const int32_t restartCountdown = LoadShared(*ctx->RestartCountdown);
    if (restartCountdown > 0) {
        StoreShared(*ctx->RestartCountdown, restartCountdown - 1);
    } else {
        // The stage enters the hand-over of sound_field.h itself. Unlike a bare flag test it
        // never clears SoundFieldBusy: that would end the claim of a set-up still waiting
        // for the streams to drain.
        RunSoundFieldStage(state, buffer, frames);
    }

    RunAutoLevel(state, buffer, byteLength);

    if (LoadShared(state->EnableVirtual7ch1) != 0 && frames != 0) {
        RunFoldDown(state, buffer, frames);
    }
}
