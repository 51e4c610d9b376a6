// Values and clamps that a settings load applies to the effect record, shared by the
// driver's registry store and the host tools that mimic it.
#pragma once

#include "effect_state.h"

// Angles that a load gives the virtual speakers when nothing is stored:
// 3pi/4, pi/4, pi/2, pi/2, pi, 0, 5pi/4, 7pi/4.
constexpr float kLoadDefaultRadian[kSpeakerCount] = {
    2.3561945f, 0.7853982f, 1.5707964f, 1.5707964f, 3.1415927f, 0.0f, 3.9269907f, 5.4977870f};
constexpr float kLoadDefaultDistance = 0.7f;
constexpr float kLoadDefaultEqGain = 1.0f;
constexpr float kLoadDefaultPower = 1.0f;

// A stored band gain: first at most 4.0, then at least 0.25. A NaN, which no comparison
// catches, takes the load default.
inline float ClampLoadedEqGain(float gain) {
    if (gain != gain)
        return kLoadDefaultEqGain;
    if (gain > 4.0f)
        gain = 4.0f;
    if (gain < 0.25f)
        gain = 0.25f;
    return gain;
}

// A stored or requested 5.1 channel power, into [0, 1]; a NaN takes the load default.
inline float ClampChannelPower(float power) {
    if (power != power)
        return kLoadDefaultPower;
    if (power > 1.0f)
        power = 1.0f;
    if (power < 0.0f)
        power = 0.0f;
    return power;
}
