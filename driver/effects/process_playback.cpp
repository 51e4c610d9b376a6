// The processing entry: one playback transfer through every stage, in a fixed order.
#include "effect_state.h"
#include "equalizer.h"
#include "fold_down.h"
#include "shared_access.h"
#include "sound_field.h"

namespace {

// The sound-field stage with its hand-over. The stream announces itself in SoundFieldUsers
// before it reads the busy flag, so a set-up that has claimed the flag and then waits for
// the users to drain can never meet a stream still inside the stage. Unlike the bare flag
// test, a stream never clears SoundFieldBusy itself: only the set-up that set it does.
void RunSoundFieldStage(EffectState* state, uint8_t* buffer, uint32_t frames) {
    InterlockedAdd32(state->SoundFieldUsers, 1);
    if (LoadOrdered(state->SoundFieldBusy) == 0) {
        const uint32_t type = LoadShared(state->SoundFieldType);
        if (type >= 1 && type <= 4 && state->SoundFieldWork != nullptr &&
            state->SoundFieldPositions != nullptr && state->SoundFieldParams != nullptr) {
            RunSoundFieldFrames(state, type, buffer, frames);
        }
    }
    InterlockedSub32(state->SoundFieldUsers, 1);
}

}  // namespace

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
        RunSoundFieldStage(state, buffer, frames);
    }

    RunAutoLevel(state, buffer, byteLength);

    if (LoadShared(state->EnableVirtual7ch1) != 0 && frames != 0) {
        RunFoldDown(state, buffer, frames);
    }
}
