// Sound-field reverberation: the set-up with its hand-over, and the per-frame network of the
// four presets (tables in sound_field_presets.h, layout of the work area in
// docs/sound-field.md).
#include "sound_field.h"

#include "pcm.h"
#include "shared_access.h"
#include "sound_field_presets.h"

// Preset 1's network needs all of SoundFieldWork, so a stream start clears all of it; the
// shorter presets' delay memory ends exactly at their counts.
const uint32_t kSoundFieldStreamStartClearBytes[5] = {0, kSoundFieldWorkBytes, 220064, 207128,
                                                      460888};

static_assert(kSoundFieldLayouts[0].usedFloats * 4 <= kSoundFieldWorkBytes, "");
static_assert(kSoundFieldLayouts[1].usedFloats * 4 == 220064, "");
static_assert(kSoundFieldLayouts[2].usedFloats * 4 == 207128, "");
static_assert(kSoundFieldLayouts[3].usedFloats * 4 == 460888, "");

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

// --- The network ---------------------------------------------------------------------

// A decaying tail drives the recursive states towards zero, where they turn subnormal and
// can settle into rounding cycles that never reach zero; every operation on such a value
// costs many times a normal one, in the URB path, for as long as the silence lasts. A state
// that would be stored subnormal is stored as zero instead. Its contribution to any output
// is below 2^-126, far under the 0.5 that truncation to 16 bits can see, and once sound
// returns it is lost in rounding against normal values either way; the tests hold the
// output against the plain arithmetic over long tails. This is done in the arithmetic
// itself, since the stream path does not own the FPU's flush-to-zero modes.
inline float FlushSubnormal(float value) {
    return __builtin_fabsf(value) < 0x1p-126f ? 0.0f : value;
}

// Second-order low-pass: coefficient products in double, w stored as float.
inline float LowPass(const SoundFieldFilter& f, float in, float& w1, float& w2) {
    const float w = FlushSubnormal(static_cast<float>(f.b0 * in - f.a1 * w1 - f.a2 * w2));
    const float out = w + 2 * w1 + w2;
    w2 = w1;
    w1 = w;
    return out;
}

// Ring positions move backwards for the cross-feed, early and pre-delay rings and forwards
// for the combs and all-passes; every position is kept below its ring's length.
inline uint32_t StepBack(uint32_t position, uint32_t length) {
    return position == 0 ? length - 1 : position - 1;
}
inline uint32_t StepForward(uint32_t position, uint32_t length) {
    return position + 1 == length ? 0 : position + 1;
}

// One channel of one preset over a buffer. The left channel reads the right input and the
// right channel the left output; neither ever reads what the other writes later in the
// buffer (the right channel hears the left output through a ring of 100 frames or more, and
// the left channel only the right input), so channel after channel over the whole buffer
// gives the same samples as left-then-right frame by frame.
template <uint32_t Preset, uint32_t Channel>
void RunChannel(float* work, uint32_t* positions, const SoundFieldChannelParams& params,
                uint8_t* buffer, uint32_t frames) {
    constexpr const SoundFieldStructureRow& S = kSoundFieldStructures[Preset - 1];
    constexpr const SoundFieldRecordRow& R = kSoundFieldRecords[Preset - 1];
    constexpr const SoundFieldChannelLayout& L = kSoundFieldLayouts[Preset - 1].channel[Channel];
    constexpr uint32_t kCrossLength = R.crossFeedLength[Channel];
    constexpr uint32_t kEarlyLength = R.tapDelay[kSoundFieldTapCount - 1];
    constexpr uint32_t kPreDelayLength = R.preDelayLength;
    constexpr uint32_t kCombs = S.combCount;
    constexpr uint32_t kAllPasses = S.allPassCount;
    constexpr uint32_t kOwnOffset = Channel == 0 ? 0 : 2;  // byte of the channel's sample
    constexpr uint32_t kOtherOffset = Channel == 0 ? 2 : 0;

    // Positions and states live in locals for the buffer. A position out of range (never
    // written so by the engine) is folded back, so no index can leave its ring.
    uint32_t* const pos = positions + Channel * kPositionsPerChannel;
    uint32_t crossPos = pos[kPositionCrossFeed] % kCrossLength;
    uint32_t earlyPos = pos[kPositionEarly] % kEarlyLength;
    uint32_t prePos = pos[kPositionPreDelay] % kPreDelayLength;
    uint32_t combPos[kCombs];
    for (uint32_t i = 0; i < kCombs; ++i)
        combPos[i] = pos[kPositionFirstComb + i] % S.combLength[i];
    uint32_t allPassPos[kAllPasses];
    for (uint32_t i = 0; i < kAllPasses; ++i)
        allPassPos[i] = pos[kPositionFirstComb + kCombs + i] % S.allPassLength[i];

    // Tap index = (position + delay - 1) mod length, with the delay's part reduced once.
    uint32_t tapOffset[kSoundFieldTapCount];
    float tapGain[kSoundFieldTapCount];
    for (uint32_t tap = 0; tap < kSoundFieldTapCount; ++tap) {
        tapOffset[tap] = (params.Taps[tap].DelaySamples - 1) % kEarlyLength;
        tapGain[tap] = params.Taps[tap].Gain;
    }
    const float crossGain = params.CrossFeedGain;
    const float lateGain = params.LateGain;

    float* const cross = work + L.crossFeed;
    float* const early = work + L.early;
    float* const preDelay = work + L.preDelay;

    float earlyW1 = work[L.earlyState];
    float earlyW2 = work[L.earlyState + 1];
    float combW1[kCombs];
    float combW2[kCombs];
    if constexpr (S.combLowPassed) {
        for (uint32_t i = 0; i < kCombs; ++i) {
            combW1[i] = work[L.combState[i]];
            combW2[i] = work[L.combState[i] + 1];
        }
    }
    float dcInputPrev = work[L.dcState];
    float dcDeltaPrev = work[L.dcState + 1];
    float dcHold = work[L.dcState + 2];
    float finalW1 = 0.0f;
    float finalW2 = 0.0f;
    if constexpr (S.finalKind != SoundFieldFinal::kNone) {
        finalW1 = work[L.finalState];
        finalW2 = work[L.finalState + 1];
    }

    for (uint32_t frame = 0; frame < frames; ++frame) {
        uint8_t* const bytes = buffer + 4 * frame;
        const int16_t x = LoadSample(bytes + kOwnOffset);
        const int16_t other = LoadSample(bytes + kOtherOffset);

        // Cross-feed.
        crossPos = StepBack(crossPos, kCrossLength);
        const float crossRead = cross[crossPos];
        cross[crossPos] = other;
        const float crossTerm = crossGain * crossRead;
        float mixed;
        if constexpr (S.inputScaled)
            mixed = static_cast<float>(S.inputGain * x + crossTerm);
        else
            mixed = x + crossTerm;

        // Early reflections.
        float earlyInput = static_cast<float>(S.earlyGain * mixed);
        if constexpr (Channel == 1 && S.rightEarlyScaled)
            earlyInput = static_cast<float>(earlyInput * S.rightEarlyGain);
        float tapSum = 0.0f;
        for (uint32_t tap = 0; tap < kSoundFieldTapCount; ++tap) {
            uint32_t index = earlyPos + tapOffset[tap];
            if (index >= kEarlyLength)
                index -= kEarlyLength;
            tapSum += early[index] * tapGain[tap];
        }
        earlyPos = StepBack(earlyPos, kEarlyLength);
        early[earlyPos] = earlyInput;
        const float earlyOut = LowPass(S.earlyLowPass, tapSum, earlyW1, earlyW2);

        // Pre-delay.
        prePos = StepBack(prePos, kPreDelayLength);
        const float delayed = preDelay[prePos];
        preDelay[prePos] = earlyOut;
        const float combInput = lateGain * delayed;

        // Parallel combs.
        float combSum = 0.0f;
        for (uint32_t i = 0; i < kCombs; ++i) {
            float* const ring = work + L.comb[i];
            const float v = ring[combPos[i]];
            if constexpr (S.combLowPassed) {
                ring[combPos[i]] =
                    LowPass(S.combLowPass, v, combW1[i], combW2[i]) * S.combFeedback[i] + combInput;
            } else {
                ring[combPos[i]] = FlushSubnormal(v * S.combFeedback[i] + combInput);
            }
            combPos[i] = StepForward(combPos[i], S.combLength[i]);
            combSum += v;
        }

        // DC blocker; in effect a[n] = 0.9921875 a[n-1] + s[n-1] - s[n-2].
        dcHold = FlushSubnormal(static_cast<float>(dcHold * 0.9921875 + dcDeltaPrev));
        dcDeltaPrev = static_cast<float>((combSum - dcInputPrev) * 0.0078125);
        dcInputPrev = combSum;
        float a = dcHold * 128;

        // All-pass chain.
        for (uint32_t i = 0; i < kAllPasses; ++i) {
            float* const ring = work + L.allPass[i];
            const float v = ring[allPassPos[i]];
            const float y = static_cast<float>(v - 0.6 * a);
            ring[allPassPos[i]] = FlushSubnormal(static_cast<float>(y * 0.6 + a));
            allPassPos[i] = StepForward(allPassPos[i], S.allPassLength[i]);
            a = y;
        }

        float late;
        if constexpr (S.finalKind == SoundFieldFinal::kLowPass) {
            late = LowPass(S.finalFilter, a, finalW1, finalW2);
        } else if constexpr (S.finalKind == SoundFieldFinal::kFirstOrder) {
            const float w = FlushSubnormal(
                static_cast<float>(S.finalFilter.b0 * a + S.finalFilter.a1 * finalW1));
            late = w + finalW1;
            finalW1 = w;
        } else {
            late = a;
        }

        float dry;
        if constexpr (S.dryFromMixed)
            dry = static_cast<float>(S.dryGain * mixed);
        else
            dry = static_cast<float>(S.dryGain * x);
        StoreSample(bytes + kOwnOffset, SaturateTruncate(earlyOut + dry + late));
    }

    pos[kPositionCrossFeed] = crossPos;
    pos[kPositionEarly] = earlyPos;
    pos[kPositionPreDelay] = prePos;
    for (uint32_t i = 0; i < kCombs; ++i)
        pos[kPositionFirstComb + i] = combPos[i];
    for (uint32_t i = 0; i < kAllPasses; ++i)
        pos[kPositionFirstComb + kCombs + i] = allPassPos[i];
    work[L.earlyState] = earlyW1;
    work[L.earlyState + 1] = earlyW2;
    if constexpr (S.combLowPassed) {
        for (uint32_t i = 0; i < kCombs; ++i) {
            work[L.combState[i]] = combW1[i];
            work[L.combState[i] + 1] = combW2[i];
        }
    }
    work[L.dcState] = dcInputPrev;
    work[L.dcState + 1] = dcDeltaPrev;
    work[L.dcState + 2] = dcHold;
    if constexpr (S.finalKind != SoundFieldFinal::kNone) {
        work[L.finalState] = finalW1;
        work[L.finalState + 1] = finalW2;
    }
}

template <uint32_t Preset>
void RunPreset(EffectState* state, uint8_t* buffer, uint32_t frames) {
    RunChannel<Preset, 0>(state->SoundFieldWork, state->SoundFieldPositions,
                          state->SoundFieldParams->Channel[0], buffer, frames);
    RunChannel<Preset, 1>(state->SoundFieldWork, state->SoundFieldPositions,
                          state->SoundFieldParams->Channel[1], buffer, frames);
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

void RunSoundFieldFrames(EffectState* state, uint32_t type, uint8_t* buffer, uint32_t frames) {
    switch (type) {
        case 1:
            RunPreset<1>(state, buffer, frames);
            break;
        case 2:
            RunPreset<2>(state, buffer, frames);
            break;
        case 3:
            RunPreset<3>(state, buffer, frames);
            break;
        case 4:
            RunPreset<4>(state, buffer, frames);
            break;
        default:
            break;
    }
}

void RunSoundField(EffectState* state, uint32_t type, int16_t* left, int16_t* right) {
    uint8_t frame[4];
    StoreSample(frame, *left);
    StoreSample(frame + 2, *right);
    RunSoundFieldFrames(state, type, frame, 1);
    *left = LoadSample(frame);
    *right = LoadSample(frame + 2);
}

float TapDelayLine(float input, float* ring, uint32_t ringLength, uint32_t* position,
                   const SoundFieldTap* taps) {
    const uint32_t current = *position;
    float sum = 0.0f;
    for (uint32_t tap = 0; tap < kSoundFieldTapCount; ++tap)
        sum += ring[(current + taps[tap].DelaySamples - 1) % ringLength] * taps[tap].Gain;
    const uint32_t next = (ringLength + current - 1) % ringLength;
    ring[next] = input;
    *position = next;
    return sum;
}

void ClearSoundFieldForStreamStart(EffectState* state) {
    StoreShared(state->SoundFieldClearPending, 1u);
    if (EnterSoundField(state))
        ApplyPendingClear(state);
    LeaveSoundField(state);
}
