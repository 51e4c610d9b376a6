// The block equalizer. This is the stage's entry point; the transform and its helpers arrive
// with the equalizer itself, and until then the stage leaves the samples as they are.
#include "equalizer.h"

void InitEqStream(EqStream* eq) {
    __builtin_memset(eq->Ring, 0, kEqRingAllocBytes);
    eq->ReadPosition = 0;
    eq->WritePosition = kEqDelayBytes;
    eq->ProcessPosition = kEqDelayBytes;
    float* buffers[] = {eq->Block,        eq->ImaginaryInput,
                        eq->SpectrumReal, eq->SpectrumImaginary,
                        eq->OverlapLeft,  eq->OverlapRight};
    for (float* buffer : buffers)
        __builtin_memset(buffer, 0, kEqBufferBytes);
}

void ResetEqStreamForStreamStart(EqStream* eq) {
    __builtin_memset(eq->Ring, 0, kEqRingBytes);
    eq->ReadPosition = 0;
    eq->WritePosition = kEqDelayBytes;
    eq->ProcessPosition = kEqDelayBytes;
    float* buffers[] = {eq->Block, eq->ImaginaryInput, eq->SpectrumReal, eq->SpectrumImaginary};
    for (float* buffer : buffers)
        __builtin_memset(buffer, 0, kEqBufferBytes);
}

void RunEqualizer(EffectDeviceContext*, uint8_t*, uint32_t) {}

void UpdateEqCurveSegment(EffectState* state, uint32_t band, float gain) {
    if (band < kEqBandCount)
        state->AmpfxEQGain[band] = gain;
}

void RebuildEqCurve(EffectState* state) {
    for (uint32_t bin = 0; bin < kEqCurveBins; ++bin)
        state->EqGainCurve[bin] = 0.0f;
    for (uint32_t band = 0; band < kEqBandCount; ++band)
        UpdateEqCurveSegment(state, band, state->AmpfxEQGain[band]);
}

void BuildBitReverseTables() {}

void FftFloat(uint32_t, bool, const float*, const float*, float*, float*) {}

void ApplyHannWindow(float*) {}
