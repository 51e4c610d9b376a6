// The equalizer knobs' scale: a knob's top y runs from 234 (+6 dB) through 311 (0 dB) to 388
// (-12 dB); the upper half carries 6 dB in 77 pixels, the lower half 12 dB.
#pragma once

constexpr int kEqKnobTopMin = 234;
constexpr int kEqKnobTopZeroDb = 311;
constexpr int kEqKnobTopMax = 388;

// The linear gain (the exact float of 10^(dB/20)) a knob at top y `y` sends to the driver.
float EqKnobGain(int y);
// The knob's top y for a linear gain read from the driver. Gains below 1 dB take the lower
// half's slope, so 0.5 dB lands at 307.
int EqKnobTopForGain(float gain);
