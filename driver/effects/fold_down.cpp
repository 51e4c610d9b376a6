// Virtual 7.1 fold-down. This is the stage's entry point; the panning arrives with the stage
// itself, and until then it leaves the samples as they are.
#include "fold_down.h"

const float SpeakerWeight[kSpeakerCount] = {0.4f, 0.4f, 0.3f, 2.0f, 0.34f, 0.34f, 0.3f, 0.3f};

void RecomputeSpeakerMix(EffectState*) {}

void UpmixAndFold(EffectState*, uint8_t*) {}

void RunFoldDown(EffectState* state, uint8_t* buffer, uint32_t frames) {
    for (uint32_t frame = 0; frame < frames; ++frame)
        UpmixAndFold(state, buffer + 4 * frame);
}
