// The equalizer as a listener meets it: its magnitude response measured through the real
// engine, and a plot of it against the band gains that were set.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "effect_state.h"

// Processes interleaved 16-bit stereo PCM in place, like a stream of transfers.
using StereoSystem = std::function<void(std::vector<uint8_t>& pcm)>;

// Plays a periodic multisine with a component at each frequency (rounded to the nearest
// bin of its 65536-frame period) on both channels through `system`, and returns the gain
// in dB of the left channel at each frequency, from the last period once the system has
// settled. Delay does not matter; only the magnitude is measured.
std::vector<double> MeasureMagnitudeResponse(const StereoSystem& system, int sampleRate,
                                             const std::vector<double>& frequencies);

// Frequencies from `low` to `high`, evenly spaced on a log scale.
std::vector<double> LogSpacedFrequencies(double low, double high, int count);

// Frequency of each band of the engine's equalizer: its bin of the 2048-point transform.
double EqBandFrequency(uint32_t band, int sampleRate);

struct EqResponsePlot {
    std::string title;
    std::vector<double> frequencies;  // Hz
    std::vector<double> measuredDb;   // one per frequency
    double bandFrequency[kEqBandCount];
    double bandGainDb[kEqBandCount];  // what the bands were set to
};

// Draws the plot and writes it as a PNG.
bool WriteEqResponsePng(const EqResponsePlot& plot, const std::string& path, std::string* error);
