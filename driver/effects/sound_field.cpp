// Sound-field reverberation. This is the stage's entry point; the presets arrive with the
// stage itself, and until then it leaves the samples as they are and sets nothing up.
#include "sound_field.h"

const uint32_t kSoundFieldStreamStartClearBytes[5] = {0, 656880, 220064, 207128, 460888};

bool SetupSoundField(EffectState* state, const EffectServices*) {
    return state->SoundFieldType <= 4;
}

void ReleaseSoundField(EffectState*, const EffectServices*) {}

void RunSoundField(EffectState*, uint32_t, int16_t*, int16_t*) {}

void RunSoundFieldFrames(EffectState*, uint32_t, uint8_t*, uint32_t) {}

float TapDelayLine(float, float*, uint32_t, uint32_t*, const SoundFieldTap*) {
    return 0.0f;
}

void ClearSoundFieldForStreamStart(EffectState*) {}
