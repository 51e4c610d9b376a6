// The eight virtual speakers: their default places, and the mappings between a speaker's
// angle and distance, its icon's corner on the speaker-test page and its level in the driver.
#pragma once

#include <stdint.h>

// Angle in radians (0 right, growing counter-clockwise) and distance in field pixels.
struct SpeakerPlace {
    float angle;
    int distance;
};

constexpr int kSpeakerCount = 8;
constexpr float kFullTurn = 6.28318f;

// Front left, front right, centre, low-frequency, side left, side right, back left, back right.
extern const SpeakerPlace kDefaultSpeakerLayout[kSpeakerCount];
extern const char* const kSpeakerLabels[kSpeakerCount];

struct IconCorner {
    int x, y;
};

IconCorner SpeakerIconCorner(float angle, int distance);
SpeakerPlace SpeakerFromCorner(int x, int y);
// The linear level 10^(dB/20) with dB = 4 - distance / 9.
float SpeakerLevel(int distance);
// A level bar's position for a linear level: level x 100, at most 158.
int SpeakerBarPosition(float linearLevel);
