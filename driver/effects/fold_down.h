// Virtual 7.1 fold-down: each stereo frame becomes eight virtual speakers that are panned
// back into the two outputs with gains derived from each speaker's angle and level.
#pragma once

#include <stdint.h>

#include "effect_state.h"

extern const float SpeakerWeight[kSpeakerCount];

// Recomputes SpeakerMixLeft and SpeakerMixRight from distances, angles and weights.
// PASSIVE_LEVEL (control path and settings load).
void RecomputeSpeakerMix(EffectState* state);

// Upmixes and folds one frame (two 16-bit samples at `frame`) in place.
void UpmixAndFold(EffectState* state, uint8_t* frame);

// The stage over a whole buffer of `frames` frames; gains and LfeState are read once.
void RunFoldDown(EffectState* state, uint8_t* buffer, uint32_t frames);
