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
    // The right channel of the last block may still be due: the transfer that completes a
    // block equalizes its left channel only, and the next transfer the right one, long before
    // the read position reaches the block (docs/equalizer.md). The value says whether it is
    // due and where its input is; PendingPosition is that block's process position.
    uint32_t PendingChannel;
    uint32_t PendingPosition;
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
// imaginary-input and spectrum buffers cleared; the overlap buffers keep their contents. A
// right channel still due keeps its input (integers only, no floating point here) and is
// finished by the next transfer, into its overlap buffer alone.
void ResetEqStreamForStreamStart(EqStream* eq);

// The stage: stores the transfer in the ring, equalizes at most one 2048-frame block per 4096
// bytes carried, and hands back the ring's bytes 15360 bytes behind the input. A transfer of
// more than 4096 bytes is taken as consecutive pieces of 4096 (the last one shorter), each
// exactly like a transfer of that size, so the block processing keeps pace with any transfer
// size and the ring is never overrun (docs/equalizer.md).
// IRQL: up to DISPATCH_LEVEL. Does nothing when EnableAmpfxEQ is 0 or ctx->Eq is null.
void RunEqualizer(EffectDeviceContext* ctx, uint8_t* buffer, uint32_t byteLength);

// Stores the gain of one band and re-interpolates the curve on both sides of it. A band
// index above 9 is ignored. Any IRQL; control path.
void UpdateEqCurveSegment(EffectState* state, uint32_t band, float gain);

// Zeroes the curve and applies bands 0 to 9 in order with their stored gains.
void RebuildEqCurve(EffectState* state);

// Fills the bit-reversal index tables for 1 to 16 bits, and with them the twiddle and window
// tables that the transform and the window reuse. Idempotent: the first call builds, later
// ones return. Called when a device's buffers are set up (PASSIVE_LEVEL); until it has run,
// the transform and the window compute the same values directly, only slower.
void BuildBitReverseTables();

// The m-bit reversal table (2^m entries) for m = 1..16, or null before the tables are built.
const int32_t* BitReverseTable(uint32_t bits);

// Radix-2 complex transform of size n; imagIn may be null (zeros). The outputs must not
// overlap the inputs. A size that is not a power of two leaves the outputs untouched. The
// inverse scales by 1/n.
void FftFloat(uint32_t n, bool inverse, const float* realIn, const float* imagIn, float* realOut,
              float* imagOut);

// The inverse FftFloat for callers that need the real output alone: `scratch` is used for
// the imaginary part and left holding intermediate values. realOut holds exactly the bits
// FftFloat gives.
void InverseFftRealPart(uint32_t n, const float* realIn, const float* imagIn, float* realOut,
                        float* scratch);

// Multiplies 2048 samples in place by the Hann window with 2047 in the denominator.
void ApplyHannWindow(float* samples);

// Computes the window's 2048 values once (idempotent; part of BuildBitReverseTables).
void BuildHannWindowTable();
