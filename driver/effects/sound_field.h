// Sound-field reverberation: four room presets built from a cross-feed, a 16-tap early
// reflection line, a pre-delay, parallel comb filters, a DC blocker and all-pass filters.
//
// Hand-over between the control path and the streams: SetupSoundField claims SoundFieldBusy
// and then waits until SoundFieldUsers is 0 before it zeroes, frees or allocates anything;
// a stream registers in SoundFieldUsers before it looks at SoundFieldBusy and leaves the
// stage at once when it is set (see ProcessPlaybackBuffer).
#pragma once

#include <stdint.h>

#include "effect_state.h"

// Bytes of SoundFieldWork holding a preset's delay memory, cleared at every stream start
// (index = SoundFieldType; 0 clears nothing).
extern const uint32_t kSoundFieldStreamStartClearBytes[5];

// Builds the buffers and parameters for the current SoundFieldType. PASSIVE_LEVEL; may sleep
// through services->SleepOneMillisecond. Returns false on a busy time-out, an allocation
// failure (for types 1-4) or a type above 4 (which also frees the buffers).
bool SetupSoundField(EffectState* state, const EffectServices* services);

// Frees the three buffers if present and marks them absent (device removal). Waits for the
// streams like a set-up does; PASSIVE_LEVEL.
void ReleaseSoundField(EffectState* state, const EffectServices* services);

// Runs the preset `type` (1-4) over one frame: left first, then right, in place.
void RunSoundField(EffectState* state, uint32_t type, int16_t* left, int16_t* right);

// The stage over a whole buffer; the caller has checked the hand-over and the type.
void RunSoundFieldFrames(EffectState* state, uint32_t type, uint8_t* buffer, uint32_t frames);

// Returns the sum of the 16 taps and stores `input` at the new ring position.
float TapDelayLine(float input, float* ring, uint32_t ringLength, uint32_t* position,
                   const SoundFieldTap* taps);

// Clears the delay memory of the current preset at a stream start.
void ClearSoundFieldForStreamStart(EffectState* state);
