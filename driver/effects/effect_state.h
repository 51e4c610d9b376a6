// The driver-wide effect record and the one entry point of the effects engine.
//
// The engine is freestanding: it runs inside the kernel driver at up to DISPATCH_LEVEL and in
// the host tools alike, allocates nothing in the stream path and owns no buffer. Whoever hosts
// it (the driver frame, a tool, a test) allocates the buffers and hands them in.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum : uint32_t {
    kEqBandCount = 10,
    kEqCurveBins = 1024,
    kSpeakerCount = 8,
    kSpeaker51PowerCount = 6,
    kSoundFieldTapCount = 16,
};

// One early-reflection tap of the sound-field parameter record.
struct SoundFieldTap {
    uint32_t DelaySamples;
    float Gain;
};

// One channel's block of the sound-field parameter record (144 bytes, little-endian fields).
struct SoundFieldChannelParams {
    uint32_t CrossFeedLength;
    float CrossFeedGain;
    SoundFieldTap Taps[kSoundFieldTapCount];
    uint32_t PreDelayLength;
    float LateGain;
};
static_assert(sizeof(SoundFieldChannelParams) == 144, "parameter block layout is fixed");

// SoundFieldParams: left block first, then right (288 bytes).
struct SoundFieldParamsRecord {
    SoundFieldChannelParams Channel[2];
};
static_assert(sizeof(SoundFieldParamsRecord) == 288, "parameter record layout is fixed");

enum : uint32_t {
    // The sound field runs in blocks of up to this many frames: fewer than the shortest
    // ring through which one channel hears the other (100 frames).
    kSoundFieldBlockFrames = 96,
    kSoundFieldScratchBytes = 8192,
    kSoundFieldWorkFloats = 202834,
    kSoundFieldWorkBytes = kSoundFieldWorkFloats * 4,  // 811336
    kSoundFieldPositionCount = 58,
    kSoundFieldPositionsBytes = kSoundFieldPositionCount * 4,  // 232
    kSoundFieldParamsBytes = sizeof(SoundFieldParamsRecord),   // 288
};

// The single record of effect settings and run-time state shared by every device of the
// driver. Control requests write the settings at PASSIVE_LEVEL while streams read them at up
// to DISPATCH_LEVEL without a lock; every shared word goes through shared_access.h so that
// each read and write is whole.
struct EffectState {
    // Settings.
    uint32_t SoundFieldType;
    uint32_t EnableNoiseClean;
    uint32_t EnableSoundDRC;
    uint32_t EnableAmpfxEQ;
    float AmpfxEQGain[kEqBandCount];
    float EqGainCurve[kEqCurveBins];
    uint32_t EnableVirtual7ch1;
    float Virtual7ch1Distance[kSpeakerCount];
    float Virtual7ch1Radian[kSpeakerCount];
    float SpeakerMixLeft[kSpeakerCount];
    float SpeakerMixRight[kSpeakerCount];
    uint32_t EnableHRTF;
    uint32_t LeftChOffset;
    uint32_t RightChOffset;
    float Ampfx5Ch1Power[kSpeaker51PowerCount];
    uint32_t EnableConvert;

    // Run-time state, written by the stages.
    uint8_t HostMuteState;
    uint32_t NoiseGateMuted;
    int32_t NoiseGateCount;
    int16_t LfeState;
    float DrcPowerLeft;
    float DrcPowerRight;
    float DrcGain;

    // Sound-field hand-over. SoundFieldBusy is held by a set-up for its whole duration;
    // SoundFieldUsers counts the streams that are inside the sound-field stage, so that a
    // set-up never zeroes, frees or reallocates the buffers under a running stream.
    uint32_t SoundFieldBusy;
    uint32_t SoundFieldUsers;
    // The preset the buffers were last built for (0: none). A stream runs the sound field
    // only while SoundFieldType equals it, so a type stored ahead of its set-up, or left
    // behind by a failed one, never runs on buffers laid out for another preset.
    uint32_t SoundFieldPreset;
    // Set by a stream start that found the buffers in use; the next stream into the stage
    // clears the delay memory before it runs.
    uint32_t SoundFieldClearPending;
    // Working memory of the sound-field stage, used only inside the hand-over. Kept here
    // rather than on the stack, which in the URB path is a few kilobytes in all.
    alignas(16) uint8_t SoundFieldScratch[kSoundFieldScratchBytes];
    float* SoundFieldWork;                     // kSoundFieldWorkFloats, absent until set up
    uint32_t* SoundFieldPositions;             // kSoundFieldPositionCount
    SoundFieldParamsRecord* SoundFieldParams;  // one record
};

// Bin of each band in EqGainCurve.
extern const int32_t EqBandPosition[kEqBandCount];

// Puts every field at the value the driver holds when it loads, before any settings load.
// Buffer pointers become null: the caller must have released them before.
void InitEffectState(EffectState* state);

struct EqStream;

// What the set-up routines (never the stream path) need of their host: memory for the
// sound-field buffers and a short sleep. The driver maps these to non-paged pool and
// KeDelayExecutionThread; host tools to the heap and the thread sleep.
struct EffectServices {
    void* (*Allocate)(void* context, size_t bytes);  // null on failure
    void (*Free)(void* context, void* block);
    void (*SleepOneMillisecond)(void* context);  // PASSIVE_LEVEL only
    void* Context;
};

// Sends the device's feature-unit mute request (on = 1 mutes, 0 unmutes). The engine relies
// only on the request being sent; how it travels is the host's business. Called from the
// stream path, so at up to DISPATCH_LEVEL: the callee must not wait.
typedef void (*SetDeviceMuteRoutine)(void* muteContext, uint32_t on);

// What the engine sees of one device: the shared record plus the device's own stream state.
struct EffectDeviceContext {
    EffectState* State;
    EqStream* Eq;               // the device's equalizer ring; may be null (stage then idle)
    int32_t* RestartCountdown;  // transfers left for which the sound field is skipped
    SetDeviceMuteRoutine SetDeviceMute;
    void* MuteContext;
};

// Rewrites one playback transfer of interleaved 16-bit stereo PCM in place. Never fails,
// never changes the length; a trailing partial frame is left to the byte-wise stages only.
// IRQL: up to DISPATCH_LEVEL. Allocates nothing, waits for nothing.
void ProcessPlaybackBuffer(EffectDeviceContext* ctx, uint8_t* buffer, uint32_t byteLength);

// The idle mute gate and the automatic level control (the two smallest stages).
void RunNoiseGate(EffectDeviceContext* ctx, const uint8_t* buffer, uint32_t byteLength);
void RunAutoLevel(EffectState* state, uint8_t* buffer, uint32_t byteLength);
