// The five equalizer presets of the panel: band gains in dB and knob positions.
#pragma once

#include <stdint.h>

struct EqPreset {
    const char* name;      // lower-case, as command lines spell it
    int8_t gainDb[10];     // band 0 (31.5 Hz) to band 9 (16 kHz)
    int16_t knobTopY[10];  // the knob's top y in the main dialog
};

// TBass, Classic, Pop, Jazz, Rock, in the order of the panel's buttons (preset 1 to 5).
extern const EqPreset kEqPresets[5];

// The exact 32-bit float of 10^(dB/20).
float DecibelsToLinearGain(double db);

// The preset named `name` (case-insensitive), or null.
const EqPreset* FindEqPreset(const char* name);
