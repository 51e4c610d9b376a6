// Steps of the engine that run on vectors wider than SSE2's where the processor offers them
// and the build may use them.
//
// Every step computes, lane by lane, exactly the IEEE operations of the SSE2 code it stands
// in for, in the same order and precision, so the choice of width never changes a bit of the
// output; it only changes how many lanes one instruction carries. Host builds pick the
// widest set the processor and the operating system support (AVX-512 or AVX2). The kernel
// driver does not use them: its stream path would have to save the extended register state
// around every transfer, so it keeps to SSE2, whose state Windows keeps for it.
#pragma once

#include <stdint.h>

enum class VectorWidth : uint32_t {
    kSse2 = 0,    // the baseline every build has: two doubles, four floats
    kAvx2 = 1,    // four doubles, eight floats
    kAvx512 = 2,  // eight doubles, sixteen floats
};

enum : uint32_t {
    kWideMaxBlockFrames = 96,  // the sound field's block (kSoundFieldBlockFrames)
    kWideMaxCombs = 20,        // per channel
    kWideMaxCombLanes = 2 * kWideMaxCombs,
};

// A second-order low-pass: w = b0 in - a1 w1 - a2 w2 in double, stored as float;
// out = w + 2 w1 + w2 in float.
struct WideLowPass {
    double b0;
    double a1;
    double a2;
};

// One block of the sound field's late path for presets whose combs have a low-pass in the
// loop, both channels at once. Each comb is a lane: lanes 0 .. C-1 are the left combs in
// their order, C .. 2C-1 the right combs. Per frame, a comb lane reads v from its ring,
// stores low-pass(v) * feedback + u (u: its channel's comb input) at the same slot and moves
// on. Each channel's early low-pass turns the frame's tap sum into the early reflection e in
// place. The comb sum s of each channel (the values read, in comb order) goes through the DC
// blocker into late. The positions and filter states are read at the start and written back
// at the end.
struct FilteredLateJob {
    uint32_t frames;           // 1 .. kWideMaxBlockFrames
    uint32_t combsPerChannel;  // C, at most kWideMaxCombs
    float* ring[kWideMaxCombLanes];
    uint32_t length[kWideMaxCombLanes];
    uint32_t position[kWideMaxCombLanes];
    float feedback[kWideMaxCombLanes];
    WideLowPass combLowPass;  // the same in every comb of a preset
    float w1[kWideMaxCombLanes];
    float w2[kWideMaxCombLanes];
    WideLowPass earlyLowPass;
    float earlyW1[2];
    float earlyW2[2];
    const float* combInput[2];  // u per frame
    float* early[2];            // tap sums in, early reflections out
    float* late[2];             // the all-pass input a out
    float dcInputPrev[2];
    float dcDeltaPrev[2];
    float dcHold[2];
    // Recursive states (filter states, and the DC blocker's hold) of smaller magnitude are
    // stored as zero, as the network does everywhere.
    float negligible;
};

struct WideVectorSteps {
    VectorWidth width;
    uint32_t doubleLanes;

    // One radix-2 stage of the transform over n points, for a half size of at least
    // doubleLanes: the butterflies of every block start with the stage's twiddle values.
    void (*TransformStage)(uint32_t n, uint32_t half, const double* twiddleReal,
                           const double* twiddleImag, float* real, float* imag);

    // The bit-reversed copy and the first three stages (half sizes 1, 2 and 4) of a
    // transform of n >= 8 * doubleLanes points, with the twiddle values of those stages at
    // entries 0, 1-2 and 3-6. blockReverse is the bit-reversal table of n / 8 entries.
    void (*TransformFirstStages)(uint32_t n, const int32_t* blockReverse, const float* realIn,
                                 const float* imagIn, float* realOut, float* imagOut,
                                 const double* twiddleReal, const double* twiddleImag);

    void (*FilteredLate)(FilteredLateJob* job);

    // The sound field's early taps of `frames` frames: sums[t] is the sum over the 16 taps,
    // in order, of ring[(first[k] - t) mod length] * gain[k], in single precision. Null
    // where the SSE2 code is as fast.
    void (*EarlyTaps)(const float* ring, uint32_t length, const uint32_t* first, const float* gain,
                      uint32_t frames, float* sums);
};

// The wide steps in effect, or null when only SSE2 is (the kernel build, an older processor,
// or a limit set below). Cheap enough to call once per block or transfer.
const WideVectorSteps* ActiveWideVectorSteps();

// Caps the width the engine uses (tests and benchmarks compare the widths side by side);
// returns the width now in effect, which is below the cap where the processor or the build
// cannot go that far.
VectorWidth LimitVectorWidth(VectorWidth limit);
