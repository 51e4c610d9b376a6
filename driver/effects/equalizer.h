// The ten-band block equalizer: 2048-point transforms over half-overlapping blocks of each
// channel, a per-bin gain curve, Hann-windowed overlap-add, and a ring that returns the
// stream 3840 frames (15360 bytes) late.
#pragma once

#include <stdint.h>

#include "effect_state.h"

enum : uint32_t {
    kEqRingBytes = 30720,       // 7680 frames of 16-bit stereo
    kEqRingAllocBytes = 30848,  // what the device allocates for the ring
    kEqDelayBytes = 15360,      // gap between read and write position
    kEqBlockFrames = 2048,
    kEqHopBytes = 4096,  // the process position advances by 1024 frames per block
    kEqBlockBytes = kEqBlockFrames * 4,
    kEqBufferBytes = kEqBlockFrames * sizeof(float),  // each of the six float buffers
};

// One device's equalizer state. The buffers belong to the device and are allocated by its
// owner (non-paged pool in the driver); the engine only reads and writes them.
struct EqStream {
    uint8_t* Ring;  // kEqRingAllocBytes allocated, the first kEqRingBytes used
    uint32_t ReadPosition;
    uint32_t WritePosition;
    uint32_t ProcessPosition;
    float* Block;
    float* ImaginaryInput;
    float* SpectrumReal;
    float* SpectrumImaginary;
    float* OverlapLeft;
    float* OverlapRight;
};

// Clears the ring and every block buffer and puts the positions at their start values
// (read 0, write and process 15360). Used when the device's buffers are first set up.
void InitEqStream(EqStream* eq);

// The stream-start reset: ring cleared, positions back at their start values, block,
// imaginary-input and spectrum buffers cleared; the overlap buffers keep their contents.
void ResetEqStreamForStreamStart(EqStream* eq);

// The stage. IRQL: up to DISPATCH_LEVEL. Does nothing when EnableAmpfxEQ is 0.
void RunEqualizer(EffectDeviceContext* ctx, uint8_t* buffer, uint32_t byteLength);

// Stores the gain of one band and re-interpolates the curve on both sides of it.
void UpdateEqCurveSegment(EffectState* state, uint32_t band, float gain);

// Zeroes the curve and applies bands 0 to 9 in order with their stored gains.
void RebuildEqCurve(EffectState* state);

// Fills the bit-reversal index tables (idempotent; called when a device's buffers are set up).
void BuildBitReverseTables();

// Radix-2 complex transform of size n (a power of two); imagIn may be null (zeros).
void FftFloat(uint32_t n, bool inverse, const float* realIn, const float* imagIn, float* realOut,
              float* imagOut);

// Multiplies 2048 samples in place by the Hann window with 2047 in the denominator.
void ApplyHannWindow(float* samples);
