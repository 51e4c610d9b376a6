// Sound-field reverberation: four room presets built from a cross-feed, a 16-tap early
// reflection line, a pre-delay, parallel comb filters, a DC blocker and all-pass filters.
//
// Hand-over between the control path and the streams. A set-up claims SoundFieldBusy with a
// compare-and-swap, then waits until SoundFieldUsers is 0, and only then zeroes, frees or
// allocates; it clears the flag when done (1 ms sleeps, 100 in all for both waits; when the
// budget runs out it lets go of the flag and fails without touching anything). A stream adds
// itself to SoundFieldUsers before it reads the flag and runs the stage only when it is the
// sole user and the flag is clear; otherwise it leaves the buffer dry and never touches the
// flag. The sole-user rule keeps two devices, which share the one reverberation state, from
// running it at the same moment. The stream-start clear enters the same way.
#pragma once

#include <stdint.h>

#include "effect_state.h"

// Bytes of SoundFieldWork holding a preset's delay memory, cleared at every stream start
// (index = preset; 0 clears nothing). Each preset's rings and filter states lie inside.
extern const uint32_t kSoundFieldStreamStartClearBytes[5];

// Builds the buffers and parameters for the current SoundFieldType. PASSIVE_LEVEL; may sleep
// through services->SleepOneMillisecond. Returns false on a busy time-out, an allocation
// failure (for types 1-4) or a type above 4 (which also frees the buffers). After a failure
// no preset is prepared, so the stage stays dry whatever SoundFieldType says.
bool SetupSoundField(EffectState* state, const EffectServices* services);

// Frees the three buffers if present and marks them absent (device removal). Takes the
// buffers over like a set-up does; PASSIVE_LEVEL. Returns false, leaving the buffers in
// place for a later release, when they could not be taken within the set-up's budget.
bool ReleaseSoundField(EffectState* state, const EffectServices* services);

// The stage of ProcessPlaybackBuffer: enters the hand-over, applies a pending stream-start
// clear and runs the prepared preset over `frames` frames when SoundFieldType selects it.
// IRQL: up to DISPATCH_LEVEL; never waits.
void RunSoundFieldStage(EffectState* state, uint8_t* buffer, uint32_t frames);

// Runs the preset `type` (1-4) over one frame: left first, then right, in place. Like
// RunSoundFieldFrames, the caller owns the buffers (the stage's hand-over or a test).
void RunSoundField(EffectState* state, uint32_t type, int16_t* left, int16_t* right);

// The preset over a whole buffer. The result equals running RunSoundField frame by frame.
void RunSoundFieldFrames(EffectState* state, uint32_t type, uint8_t* buffer, uint32_t frames);

// Returns the sum of the 16 taps and stores `input` at the new ring position.
float TapDelayLine(float input, float* ring, uint32_t ringLength, uint32_t* position,
                   const SoundFieldTap* taps);

// Clears the delay memory of the prepared preset at a stream start. Called from the URB
// path (up to DISPATCH_LEVEL); when a stream or a set-up holds the buffers it leaves the
// clear to the next stream into the stage, and a set-up clears everything anyway.
void ClearSoundFieldForStreamStart(EffectState* state);
