// A straightforward transcription of the equalizer: the transform re-runs its twiddle
// recurrence at every block start, the window calls the cosine for every sample, and the
// stage indexes the ring sample by sample. It is the yardstick the engine's faster code is
// held to, bit for bit, in the tests and the benchmark; it is never part of the engine.
#pragma once

#include <stdint.h>

#include "effect_state.h"

void ReferenceFftFloat(uint32_t n, bool inverse, const float* re_in, const float* im_in,
                       float* re_out, float* im_out);

void ReferenceApplyHannWindow(float* x);

// The stage for transfers of at most 4096 bytes (at most one block per call).
void ReferenceRunEqualizer(EffectDeviceContext* ctx, uint8_t* buf, uint32_t len);
