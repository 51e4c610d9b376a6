// The effect record's values at driver load.
#include "effect_state.h"

const int32_t EqBandPosition[kEqBandCount] = {1, 3, 5, 11, 21, 43, 85, 171, 341, 683};

void InitEffectState(EffectState* state) {
    __builtin_memset(state, 0, sizeof *state);

    state->SoundFieldType = 0;
    state->EnableNoiseClean = 0;
    state->EnableSoundDRC = 0;
    state->EnableAmpfxEQ = 1;
    for (uint32_t band = 0; band < kEqBandCount; ++band)
        state->AmpfxEQGain[band] = 1.0f;
    // EqGainCurve stays all zero until the settings load rebuilds it.
    state->EnableVirtual7ch1 = 1;
    for (uint32_t i = 0; i < kSpeakerCount; ++i) {
        state->Virtual7ch1Distance[i] = 1.0f;
        state->Virtual7ch1Radian[i] = 1.5707966f;
        state->SpeakerMixLeft[i] = 0.3f;
        state->SpeakerMixRight[i] = 0.3f;
    }
    state->EnableHRTF = 0;
    state->LeftChOffset = 0;
    state->RightChOffset = 1;
    for (uint32_t i = 0; i < kSpeaker51PowerCount; ++i)
        state->Ampfx5Ch1Power[i] = 0.3f;
    state->EnableConvert = 0x303;

    state->HostMuteState = 0;
    state->NoiseGateMuted = 0;
    state->NoiseGateCount = 0;
    state->LfeState = 0;
    state->DrcPowerLeft = 1073676288.0f;
    state->DrcPowerRight = 1073676288.0f;
    state->DrcGain = 1.0f;
    state->SoundFieldBusy = 0;
    state->SoundFieldUsers = 0;
    state->SoundFieldPreset = 0;
    state->SoundFieldClearPending = 0;
    state->SoundFieldWork = nullptr;
    state->SoundFieldPositions = nullptr;
    state->SoundFieldParams = nullptr;
}
