// Sound-field reverberation: the set-up, the hand-over between control path and streams,
// and the stream-start clear. The network itself is in sound_field_network.cpp, its tables
// in sound_field_presets.h; docs/sound-field.md shows the layout of the work area.
#include "sound_field.h"

#include "shared_access.h"
#include "sound_field_presets.h"

// Preset 1's network needs all of SoundFieldWork, so a stream start clears all of it; the
// shorter presets' delay memory ends exactly at their counts.
const uint32_t kSoundFieldStreamStartClearBytes[5] = {0, kSoundFieldWorkBytes, 220064, 207128,
                                                      460888};

static_assert(kSoundFieldLayouts[0].usedFloats * 4 <= kSoundFieldWorkBytes,
              "a stream start clears all of preset 1");
static_assert(kSoundFieldLayouts[1].usedFloats * 4 == 220064, "preset 2's delay memory");
static_assert(kSoundFieldLayouts[2].usedFloats * 4 == 207128, "preset 3's delay memory");
static_assert(kSoundFieldLayouts[3].usedFloats * 4 == 460888, "preset 4's delay memory");

namespace {

constexpr uint32_t kBusyWaitBudget = 100;  // 1 ms sleeps for a set-up or a release

// Takes the buffers over for a set-up or a release: claims the flag, then waits for the
// streams to leave the stage. On failure the flag is as it was before.
bool ClaimSoundField(EffectState* state, const EffectServices* services) {
    uint32_t sleeps = 0;
    while (!CompareExchange32(state->SoundFieldBusy, 0, 1)) {
        if (sleeps == kBusyWaitBudget)
            return false;
        services->SleepOneMillisecond(services->Context);
        ++sleeps;
    }
    while (LoadOrdered(state->SoundFieldUsers) != 0) {
        if (sleeps == kBusyWaitBudget) {
            StoreOrdered(state->SoundFieldBusy, 0);
            return false;
        }
        services->SleepOneMillisecond(services->Context);
        ++sleeps;
    }
    return true;
}

void LetGoOfSoundField(EffectState* state) {
    StoreOrdered(state->SoundFieldBusy, 0);
}

void FreeSoundFieldBuffers(EffectState* state, const EffectServices* services) {
    if (state->SoundFieldWork != nullptr)
        services->Free(services->Context, state->SoundFieldWork);
    if (state->SoundFieldPositions != nullptr)
        services->Free(services->Context, state->SoundFieldPositions);
    if (state->SoundFieldParams != nullptr)
        services->Free(services->Context, state->SoundFieldParams);
    state->SoundFieldWork = nullptr;
    state->SoundFieldPositions = nullptr;
    state->SoundFieldParams = nullptr;
}

void FillParams(SoundFieldParamsRecord* params, uint32_t preset) {
    const SoundFieldRecordRow& row = kSoundFieldRecords[preset - 1];
    for (uint32_t ch = 0; ch < 2; ++ch) {
        SoundFieldChannelParams& block = params->Channel[ch];
        block.CrossFeedLength = row.crossFeedLength[ch];
        block.CrossFeedGain = row.crossFeedGain;
        for (uint32_t tap = 0; tap < kSoundFieldTapCount; ++tap) {
            block.Taps[tap].DelaySamples = row.tapDelay[tap];
            block.Taps[tap].Gain = row.tapGain[tap];
        }
        block.PreDelayLength = row.preDelayLength;
        block.LateGain = row.lateGain;
    }
}

// Only the sole user with no set-up in progress may touch the buffers; every caller leaves
// through LeaveSoundField whatever the answer.
bool EnterSoundField(EffectState* state) {
    const uint32_t users = InterlockedAdd32(state->SoundFieldUsers, 1);
    return users == 1 && LoadOrdered(state->SoundFieldBusy) == 0;
}

void LeaveSoundField(EffectState* state) {
    InterlockedSub32(state->SoundFieldUsers, 1);
}

// Inside the hand-over only.
void ApplyPendingClear(EffectState* state) {
    if (LoadShared(state->SoundFieldClearPending) == 0)
        return;
    StoreShared(state->SoundFieldClearPending, 0u);
    const uint32_t preset = state->SoundFieldPreset;
    if (state->SoundFieldWork != nullptr && preset >= 1 && preset <= kSoundFieldPresetCount)
        __builtin_memset(state->SoundFieldWork, 0, kSoundFieldStreamStartClearBytes[preset]);
}

}  // namespace

bool SetupSoundField(EffectState* state, const EffectServices* services) {
    if (!ClaimSoundField(state, services))
        return false;

    const uint32_t type = LoadShared(state->SoundFieldType);
    state->SoundFieldPreset = 0;
    if (type > kSoundFieldPresetCount) {
        FreeSoundFieldBuffers(state, services);
        LetGoOfSoundField(state);
        return false;
    }

    if (state->SoundFieldWork == nullptr) {
        state->SoundFieldWork =
            static_cast<float*>(services->Allocate(services->Context, kSoundFieldWorkBytes));
    }
    if (state->SoundFieldPositions == nullptr) {
        state->SoundFieldPositions = static_cast<uint32_t*>(
            services->Allocate(services->Context, kSoundFieldPositionsBytes));
    }
    if (state->SoundFieldParams == nullptr) {
        state->SoundFieldParams = static_cast<SoundFieldParamsRecord*>(
            services->Allocate(services->Context, kSoundFieldParamsBytes));
    }
    StoreShared(state->SoundFieldClearPending, 0u);
    if (state->SoundFieldWork != nullptr)
        __builtin_memset(state->SoundFieldWork, 0, kSoundFieldWorkBytes);
    if (state->SoundFieldPositions != nullptr)
        __builtin_memset(state->SoundFieldPositions, 0, kSoundFieldPositionsBytes);

    const bool complete = state->SoundFieldWork != nullptr &&
                          state->SoundFieldPositions != nullptr &&
                          state->SoundFieldParams != nullptr;
    if (type == 0 || !complete) {
        LetGoOfSoundField(state);
        return type == 0;
    }
    FillParams(state->SoundFieldParams, type);
    state->SoundFieldPreset = type;
    LetGoOfSoundField(state);
    return true;
}

bool ReleaseSoundField(EffectState* state, const EffectServices* services) {
    if (!ClaimSoundField(state, services))
        return false;
    state->SoundFieldPreset = 0;
    FreeSoundFieldBuffers(state, services);
    LetGoOfSoundField(state);
    return true;
}

void RunSoundFieldStage(EffectState* state, uint8_t* buffer, uint32_t frames) {
    if (EnterSoundField(state)) {
        ApplyPendingClear(state);
        const uint32_t type = LoadShared(state->SoundFieldType);
        if (type >= 1 && type <= kSoundFieldPresetCount && type == state->SoundFieldPreset)
            RunSoundFieldFrames(state, type, buffer, frames);
    }
    LeaveSoundField(state);
}

void ClearSoundFieldForStreamStart(EffectState* state) {
    StoreShared(state->SoundFieldClearPending, 1u);
    if (EnterSoundField(state))
        ApplyPendingClear(state);
    LeaveSoundField(state);
}
