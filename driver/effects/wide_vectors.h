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

struct WideVectorSteps {
    VectorWidth width;
    uint32_t doubleLanes;

    // One radix-2 stage of the transform over n points, for a half size of at least
    // doubleLanes: the butterflies of every block start with the stage's twiddle values.
    void (*TransformStage)(uint32_t n, uint32_t half, const double* twiddleReal,
                           const double* twiddleImag, float* real, float* imag);
};

// The wide steps in effect, or null when only SSE2 is (the kernel build, an older processor,
// or a limit set below). Cheap enough to call once per block or transfer.
const WideVectorSteps* ActiveWideVectorSteps();

// Caps the width the engine uses (tests and benchmarks compare the widths side by side);
// returns the width now in effect, which is below the cap where the processor or the build
// cannot go that far.
VectorWidth LimitVectorWidth(VectorWidth limit);
