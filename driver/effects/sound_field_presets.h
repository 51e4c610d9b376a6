// The four room presets of the sound field, as constant tables: the parameter record that
// the set-up copies into SoundFieldParams, and the structure of each preset's network.
// One preset per row, in the order of the preset numbers 1 to 4.
#pragma once

#include <stdint.h>

#include "effect_state.h"

enum : uint32_t {
    kSoundFieldPresetCount = 4,
    kSoundFieldMaxCombs = 20,
    kSoundFieldMaxAllPasses = 6,
};

// What SetupSoundField writes into SoundFieldParams. Both channel blocks are equal except
// for the cross-feed length of preset 3.
struct SoundFieldRecordRow {
    uint32_t crossFeedLength[2];  // left, right
    float crossFeedGain;
    uint32_t tapDelay[kSoundFieldTapCount];
    float tapGain[kSoundFieldTapCount];
    uint32_t preDelayLength;
    float lateGain;
};

// clang-format off
inline constexpr SoundFieldRecordRow kSoundFieldRecords[kSoundFieldPresetCount] = {
    // cross-feed  gain   tap delays 1-16                                                                                      tap gains 1-16                                                                               pre-delay late gain
    {{250, 250}, 0.12f, {3977, 6376, 8573, 10496, 12229, 13802, 15139, 16316, 17295, 18072, 18773, 19446, 20083, 20696, 21289, 21860}, {0.7f, 0.71f, 0.66f, 0.75f, 0.68f, 0.6f, 0.58f, 0.53f, 0.67f, 0.45f, 0.4f, 0.38f, 0.42f, 0.3f,  0.28f, 0.25f}, 9000, 0.23f},
    {{102, 102}, 0.1f,  {1511, 1742, 1953, 2156,  2353,  2566,  2723,  2910,  3089,  3256,  3387,  3564,  3693,  3844,  3945,  4038},  {0.7f, 0.71f, 0.66f, 0.75f, 0.68f, 0.6f, 0.59f, 0.53f, 0.51f, 0.45f, 0.4f, 0.38f, 0.42f, 0.3f,  0.28f, 0.25f}, 1150, 0.23f},
    {{102, 100}, 0.1f,  {1815, 2088, 2323, 2534,  2738,  2951,  3138,  3309,  3488,  3655,  3786,  3963,  4092,  4243,  4344,  4437},  {0.7f, 0.71f, 0.66f, 0.75f, 0.68f, 0.6f, 0.59f, 0.53f, 0.51f, 0.45f, 0.4f, 0.38f, 0.3f,  0.21f, 0.18f, 0.15f}, 1499, 0.23f},
    {{250, 250}, 0.1f,  {3577, 4004, 4381, 4838,  5171,  5688,  6165,  6444,  6755,  6990,  7201,  7398,  7575,  7814,  8007,  8144},  {0.7f, 0.71f, 0.66f, 0.75f, 0.68f, 0.6f, 0.58f, 0.53f, 0.67f, 0.45f, 0.4f, 0.38f, 0.42f, 0.3f,  0.28f, 0.25f}, 2320, 0.23f},
};
// clang-format on

// A second-order low-pass w[n] = b0 in[n] - a1 w[n-1] - a2 w[n-2], out = w[n] + 2 w[n-1] +
// w[n-2]; the first-order final filter of preset 4 uses b0 and a1 only:
// w[n] = b0 in[n] + a1 w[n-1], out = w[n] + w[n-1].
struct SoundFieldFilter {
    double b0;
    double a1;
    double a2;
};

enum class SoundFieldFinal : uint8_t { kNone, kLowPass, kFirstOrder };

struct SoundFieldStructureRow {
    // Mixed input m = inputGain x + cross: in double when scaled, else x + cross in single.
    bool inputScaled;
    double inputGain;
    // Early input = earlyGain m; the right channel's is multiplied again by rightEarlyGain.
    double earlyGain;
    bool rightEarlyScaled;
    double rightEarlyGain;
    SoundFieldFilter earlyLowPass;
    uint32_t combCount;
    bool combLowPassed;
    SoundFieldFilter combLowPass;
    uint32_t combLength[kSoundFieldMaxCombs];
    float combFeedback[kSoundFieldMaxCombs];
    uint32_t allPassCount;
    uint32_t allPassLength[kSoundFieldMaxAllPasses];
    SoundFieldFinal finalKind;
    SoundFieldFilter finalFilter;
    // Dry signal = dryGain times m (dryFromMixed) or times the channel's input x.
    bool dryFromMixed;
    double dryGain;
};

// clang-format off
inline constexpr SoundFieldStructureRow kSoundFieldStructures[kSoundFieldPresetCount] = {
    // m = g x + cross   early gain (right: again x)  early low-pass (b0, a1, a2)  combs: count, low-pass in the loop                          comb lengths in order                                                                                                          comb feedbacks in order                                                                                                       all-pass lengths (gain 0.6)                  final filter                                                        dry
    {true,  0.81,        0.33, false, 1.0,             {0.0047, -1.797,  0.816},     20, true,  {0.00172, -1.88, 0.886},  {5039, 4733, 4577, 4399, 4279, 4199, 4097, 4011, 3911, 3757, 3357, 3159, 3011, 2759, 2577, 2333, 1933, 1801, 1877, 2033}, {0.85f, 0.8f, 0.75f, 0.7f, 0.85f, 0.8f, 0.75f, 0.7f, 0.85f, 0.8f, 0.75f, 0.7f, 0.85f, 0.8f, 0.75f, 0.7f, 0.85f, 0.8f, 0.75f, 0.7f}, 6, {455, 431, 401, 397, 375, 359}, SoundFieldFinal::kLowPass,    {0.0036, -1.823, 0.8375}, true,  0.91},
    {false, 1.0,         0.21, true,  0.32,            {0.0621, -1.1818, 0.4303},    16, false, {0.0, 0.0, 0.0},          {1501, 1497, 1457, 1437, 1409, 1391, 1381, 1369, 1299, 1257, 1237, 1229, 1211, 1175, 1157, 1093},                         {0.85f, 0.8f, 0.75f, 0.7f, 0.85f, 0.8f, 0.75f, 0.7f, 0.85f, 0.8f, 0.75f, 0.7f, 0.85f, 0.8f, 0.75f, 0.7f},                           4, {297, 275, 278, 263},           SoundFieldFinal::kNone,       {0.0, 0.0, 0.0},          false, 0.84},
    {false, 1.0,         0.39, true,  0.32,            {0.0046, -1.799,  0.8175},    14, true,  {0.0046, -1.799, 0.8175}, {1501, 1497, 1457, 1437, 1409, 1391, 1381, 1369, 1299, 1257, 1229, 1211, 1175, 1093},                                     {0.85f, 0.8f, 0.75f, 0.7f, 0.85f, 0.8f, 0.75f, 0.7f, 0.85f, 0.8f, 0.7f, 0.85f, 0.8f, 0.7f},                                       4, {297, 275, 278, 263},           SoundFieldFinal::kLowPass,    {0.0036, -1.823, 0.8375}, false, 0.87},
    {true,  0.81,        0.26, false, 1.0,             {0.0455, -1.3126, 0.4946},    16, false, {0.0, 0.0, 0.0},          {3799, 3579, 3465, 3377, 3311, 3211, 3107, 3071, 2973, 2759, 2577, 2333, 1933, 1801, 1877, 2033},                         {0.85f, 0.8f, 0.75f, 0.7f, 0.85f, 0.8f, 0.75f, 0.7f, 0.85f, 0.8f, 0.75f, 0.7f, 0.85f, 0.8f, 0.75f, 0.7f},                           4, {455, 431, 401, 397},           SoundFieldFinal::kFirstOrder, {0.168, 0.6637, 0.0},     true,  0.87},
};
// clang-format on

// Where each ring and filter state of one channel lies in SoundFieldWork, in floats.
// A filter state is two floats (w[n-1], w[n-2]); the DC blocker's is three (sPrev, dPrev, h).
struct SoundFieldChannelLayout {
    uint32_t crossFeed;
    uint32_t early;
    uint32_t preDelay;
    uint32_t comb[kSoundFieldMaxCombs];
    uint32_t allPass[kSoundFieldMaxAllPasses];
    uint32_t earlyState;
    uint32_t combState[kSoundFieldMaxCombs];  // presets with a low-pass in the comb loop
    uint32_t dcState;
    uint32_t finalState;  // presets with a final filter
    uint32_t end;         // one past the channel's last float
};

struct SoundFieldLayout {
    SoundFieldChannelLayout channel[2];
    uint32_t usedFloats;
};

// Ring positions of one channel in SoundFieldPositions: cross-feed, early, pre-delay, the
// combs, then the all-passes; the right channel's block follows the left one's.
enum : uint32_t {
    kPositionCrossFeed = 0,
    kPositionEarly = 1,
    kPositionPreDelay = 2,
    kPositionFirstComb = 3,
    kPositionsPerChannel = kSoundFieldPositionCount / 2,
};

// Rings of a channel first (cross-feed, early, pre-delay, combs, all-passes), then its filter
// states; the left channel from float 0, the right channel right behind it.
constexpr SoundFieldLayout MakeSoundFieldLayout(uint32_t preset) {
    const SoundFieldRecordRow& record = kSoundFieldRecords[preset - 1];
    const SoundFieldStructureRow& shape = kSoundFieldStructures[preset - 1];
    SoundFieldLayout layout{};
    uint32_t next = 0;
    for (uint32_t ch = 0; ch < 2; ++ch) {
        SoundFieldChannelLayout& c = layout.channel[ch];
        c.crossFeed = next;
        next += record.crossFeedLength[ch];
        c.early = next;
        next += record.tapDelay[kSoundFieldTapCount - 1];
        c.preDelay = next;
        next += record.preDelayLength;
        for (uint32_t i = 0; i < shape.combCount; ++i) {
            c.comb[i] = next;
            next += shape.combLength[i];
        }
        for (uint32_t i = 0; i < shape.allPassCount; ++i) {
            c.allPass[i] = next;
            next += shape.allPassLength[i];
        }
        c.earlyState = next;
        next += 2;
        if (shape.combLowPassed) {
            for (uint32_t i = 0; i < shape.combCount; ++i) {
                c.combState[i] = next;
                next += 2;
            }
        }
        c.dcState = next;
        next += 3;
        if (shape.finalKind != SoundFieldFinal::kNone) {
            c.finalState = next;
            next += 2;
        }
        c.end = next;
    }
    layout.usedFloats = next;
    return layout;
}

inline constexpr SoundFieldLayout kSoundFieldLayouts[kSoundFieldPresetCount] = {
    MakeSoundFieldLayout(1), MakeSoundFieldLayout(2), MakeSoundFieldLayout(3),
    MakeSoundFieldLayout(4)};

static_assert(kSoundFieldLayouts[0].usedFloats == kSoundFieldWorkFloats,
              "the longest preset fills the work area exactly");
static_assert(3 + kSoundFieldMaxCombs + kSoundFieldMaxAllPasses == kPositionsPerChannel,
              "the longest preset uses every ring position");
