// The ten-band block equalizer: the gain curve spread over the transform bins, and the stage
// that equalizes each channel in half-overlapping 2048-frame blocks through the device's ring.
#include "equalizer.h"

#include <emmintrin.h>

#include "pcm.h"
#include "shared_access.h"

namespace {

constexpr uint32_t kHopFrames = kEqHopBytes / 4;  // 1024
constexpr uint32_t kHalfSpectrum = kEqBlockFrames / 2;
constexpr double kOverlapGain = 0.891251;  // about -1 dB, keeps the window sum below 1
constexpr uint32_t kLeftOffset = 0;
constexpr uint32_t kRightOffset = 2;

// EqStream::PendingChannel.
enum : uint32_t {
    kNothingPending = 0,
    kRightPendingInRing = 1,   // its input is still in the ring at PendingPosition
    kRightPendingStashed = 2,  // a reset came first: its input is in the stash
};

uint32_t RingAdvance(uint32_t position, uint32_t bytes) {
    return (position + bytes) % kEqRingBytes;
}

// Bytes from `from` up to `to`, going forward round the ring.
uint32_t RingDistance(uint32_t from, uint32_t to) {
    return (to + kEqRingBytes - from) % kEqRingBytes;
}

uint32_t Min(uint32_t a, uint32_t b) {
    return a < b ? a : b;
}

// Copies `bytes` (at most one ring) into the ring at `position`, split at the ring's end.
void StoreIntoRing(uint8_t* ring, uint32_t position, const uint8_t* source, uint32_t bytes) {
    const uint32_t first = Min(bytes, kEqRingBytes - position);
    __builtin_memcpy(ring + position, source, first);
    __builtin_memcpy(ring, source + first, bytes - first);
}

void LoadFromRing(const uint8_t* ring, uint32_t position, uint8_t* target, uint32_t bytes) {
    const uint32_t first = Min(bytes, kEqRingBytes - position);
    __builtin_memcpy(target, ring + position, first);
    __builtin_memcpy(target + first, ring, bytes - first);
}

// One channel of `frames` frames from a frame-aligned ring position as floats, wrapping at
// the ring's end.
void LoadChannel(const uint8_t* ring, uint32_t position, uint32_t channelOffset, float* samples,
                 uint32_t frames) {
    const uint32_t beforeEnd = Min(frames, (kEqRingBytes - position) / 4);
    const uint8_t* source = ring + position;
    uint32_t f = 0;
    // Four frames at a time: the channel's 16 bits of each 32-bit frame, sign-extended.
    for (; f + 4 <= beforeEnd; f += 4) {
        const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 4 * f));
        const __m128i wide = channelOffset == 0 ? _mm_srai_epi32(_mm_slli_epi32(four, 16), 16)
                                                : _mm_srai_epi32(four, 16);
        _mm_storeu_ps(samples + f, _mm_cvtepi32_ps(wide));
    }
    source += channelOffset;
    for (; f < beforeEnd; ++f)
        samples[f] = static_cast<float>(LoadSample(source + 4 * f));
    source = ring + channelOffset;
    for (uint32_t f = beforeEnd; f < frames; ++f)
        samples[f] = static_cast<float>(LoadSample(source + 4 * (f - beforeEnd)));
}

void StoreChannel(uint8_t* ring, uint32_t position, uint32_t channelOffset, const float* samples,
                  uint32_t frames) {
    const uint32_t beforeEnd = Min(frames, (kEqRingBytes - position) / 4);
    uint8_t* target = ring + position + channelOffset;
    for (uint32_t f = 0; f < beforeEnd; ++f)
        StoreSample(target + 4 * f, SaturateRound(samples[f]));
    target = ring + channelOffset;
    for (uint32_t f = beforeEnd; f < frames; ++f)
        StoreSample(target + 4 * (f - beforeEnd), SaturateRound(samples[f]));
}

// The curve as the block's left channel sees it, kept for the right channel that may run in
// the next transfer: a band write between the two must not split one block into two curves.
// It lives in the first half of the right overlap buffer, which the overlap-add never reads.
float* CurveSnapshot(EqStream* eq) {
    return eq->OverlapRight;
}

void TakeCurveSnapshot(const EffectState* state, float* snapshot) {
    // Entry by entry, while a control request may be rewriting the curve.
    for (uint32_t k = 0; k < kEqCurveBins; ++k)
        snapshot[k] = LoadShared(state->EqGainCurve[k]);
}

// Bin k and its mirror 2048 - k take curve[k]; DC and the middle bin take curve[0].
void ApplyCurve(const float* curve, float* real, float* imag) {
    // Bins 1-1020 four at a time, their mirrors 2047-2044 down to 1028-1025 reversed.
    uint32_t k = 1;
    for (; k + 4 <= kHalfSpectrum; k += 4) {
        const __m128 gain = _mm_loadu_ps(curve + k);
        const __m128 mirrorGain = _mm_shuffle_ps(gain, gain, _MM_SHUFFLE(0, 1, 2, 3));
        const uint32_t mirror = kEqBlockFrames - k - 3;
        _mm_storeu_ps(real + k, _mm_mul_ps(_mm_loadu_ps(real + k), gain));
        _mm_storeu_ps(imag + k, _mm_mul_ps(_mm_loadu_ps(imag + k), gain));
        _mm_storeu_ps(real + mirror, _mm_mul_ps(_mm_loadu_ps(real + mirror), mirrorGain));
        _mm_storeu_ps(imag + mirror, _mm_mul_ps(_mm_loadu_ps(imag + mirror), mirrorGain));
    }
    for (; k < kHalfSpectrum; ++k) {
        const float gain = curve[k];
        const uint32_t mirror = kEqBlockFrames - k;
        real[k] *= gain;
        imag[k] *= gain;
        real[mirror] *= gain;
        imag[mirror] *= gain;
    }
    const float dcGain = curve[0];
    real[0] *= dcGain;
    imag[0] *= dcGain;
    real[kHalfSpectrum] *= dcGain;
    imag[kHalfSpectrum] *= dcGain;
}

// Analysis, curve, synthesis and overlap-add of one channel of a block whose samples are in
// eq->Block; the first 1024 frames are left in eq->Block, the second half in the overlap.
void EqualizeLoadedChannel(const float* curve, EqStream* eq, float* overlap) {
    float* block = eq->Block;
    // A null imaginary input is zeros, exactly as a cleared buffer would give.
    FftFloat(kEqBlockFrames, false, block, nullptr, eq->SpectrumReal, eq->SpectrumImaginary);

    ApplyCurve(curve, eq->SpectrumReal, eq->SpectrumImaginary);

    // The imaginary result of the inverse is not needed; it lands in the imaginary input.
    InverseFftRealPart(kEqBlockFrames, eq->SpectrumReal, eq->SpectrumImaginary, block,
                       eq->ImaginaryInput);
    ApplyHannWindow(block);

    // The sum in float, the product in double, stored as float; four frames at a time.
    const __m128d gain = _mm_set1_pd(kOverlapGain);
    for (uint32_t i = 0; i < kHopFrames; i += 4) {
        const __m128 sum =
            _mm_add_ps(_mm_loadu_ps(overlap + kHopFrames + i), _mm_loadu_ps(block + i));
        const __m128 low = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(sum), gain));
        const __m128 high = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(sum, sum)), gain));
        _mm_storeu_ps(block + i, _mm_movelh_ps(low, high));
    }
    // Only the second half is ever read back, by the next block's overlap-add.
    __builtin_memcpy(overlap + kHopFrames, block + kHopFrames, kEqBufferBytes / 2);
}

// One channel of the block at `position` in the ring; its first 1024 frames become final.
void EqualizeChannel(const float* curve, EqStream* eq, uint32_t position, uint32_t channelOffset,
                     float* overlap) {
    LoadChannel(eq->Ring, position, channelOffset, eq->Block, kEqBlockFrames);
    EqualizeLoadedChannel(curve, eq, overlap);
    StoreChannel(eq->Ring, position, channelOffset, eq->Block, kHopFrames);
}

// Where a stream-start reset keeps the 16-bit input of a right channel still due: the
// spectrum buffer is written only after the channel has been loaded from it.
uint8_t* Stash(EqStream* eq) {
    return reinterpret_cast<uint8_t*>(eq->SpectrumImaginary);
}

// The right channel still due, if any. After a reset only its overlap matters: the ring it
// would have been written to has been cleared.
void FinishPendingChannel(EqStream* eq) {
    if (eq->PendingChannel == kRightPendingInRing) {
        EqualizeChannel(CurveSnapshot(eq), eq, eq->PendingPosition, kRightOffset, eq->OverlapRight);
    } else if (eq->PendingChannel == kRightPendingStashed) {
        const uint8_t* stash = Stash(eq);
        for (uint32_t f = 0; f < kEqBlockFrames; ++f)
            eq->Block[f] = static_cast<float>(LoadSample(stash + 2 * f));
        EqualizeLoadedChannel(CurveSnapshot(eq), eq, eq->OverlapRight);
    }
    eq->PendingChannel = kNothingPending;
}

// One transfer of at most kEqHopBytes: the right channel still due, store, at most one
// block's left channel, hand back.
//
// The read position is 15360 bytes behind the write position, and a block starts once the
// write position is 8192 bytes past its process position, less than 12288 past it after a
// piece of at most 4096: its first frame is then at least 3072 bytes beyond what this piece
// reads, so its right channel can wait for the next piece, which finishes it before reading.
// Nothing in between writes into the block (the writes are 8192 to 16384 bytes ahead of it).
// The block-completing transfers so carry half a block's work and the next ones the other
// half, with every operation and its order within each channel as before.
void RunPiece(const EffectState* state, EqStream* eq, uint8_t* buffer, uint32_t bytes) {
    FinishPendingChannel(eq);

    // An odd byte is stored but not counted: the next transfer overwrites it.
    const uint32_t advance = bytes & ~1u;

    StoreIntoRing(eq->Ring, eq->WritePosition, buffer, bytes);
    eq->WritePosition = RingAdvance(eq->WritePosition, advance);

    if (RingDistance(eq->ProcessPosition, eq->WritePosition) >= kEqBlockBytes) {
        float* const curve = CurveSnapshot(eq);
        TakeCurveSnapshot(state, curve);
        EqualizeChannel(curve, eq, eq->ProcessPosition, kLeftOffset, eq->OverlapLeft);
        eq->PendingChannel = kRightPendingInRing;
        eq->PendingPosition = eq->ProcessPosition;
        eq->ProcessPosition = RingAdvance(eq->ProcessPosition, kEqHopBytes);
    }

    LoadFromRing(eq->Ring, eq->ReadPosition, buffer, bytes);
    eq->ReadPosition = RingAdvance(eq->ReadPosition, advance);
}

// Re-interpolates curve entries lo+1 .. to-1 from curve[lo] towards curve[to], step by step
// in single precision.
void InterpolateSegment(float* curve, int32_t lo, int32_t to) {
    const float step = (LoadShared(curve[to]) - LoadShared(curve[lo])) / (to - lo);
    float value = LoadShared(curve[lo]);
    for (int32_t k = lo + 1; k < to; ++k) {
        value = value + step;
        StoreShared(curve[k], value);
    }
}

}  // namespace

void InitEqStream(EqStream* eq) {
    __builtin_memset(eq->Ring, 0, kEqRingAllocBytes);
    eq->ReadPosition = 0;
    eq->WritePosition = kEqDelayBytes;
    eq->ProcessPosition = kEqDelayBytes;
    // One call per buffer, as in the reset: no pointer array copied through vector registers
    // outside the saved floating-point state.
    __builtin_memset(eq->Block, 0, kEqBufferBytes);
    __builtin_memset(eq->ImaginaryInput, 0, kEqBufferBytes);
    __builtin_memset(eq->SpectrumReal, 0, kEqBufferBytes);
    __builtin_memset(eq->SpectrumImaginary, 0, kEqBufferBytes);
    __builtin_memset(eq->OverlapLeft, 0, kEqBufferBytes);
    __builtin_memset(eq->OverlapRight, 0, kEqBufferBytes);
    eq->PendingChannel = kNothingPending;
    eq->PendingPosition = 0;
}

void ResetEqStreamForStreamStart(EqStream* eq) {
    // The overlap buffers outlive the reset, so a right channel still due must still reach
    // its overlap: its 16-bit input is kept, by integer copies alone.
    if (eq->PendingChannel == kRightPendingInRing) {
        uint8_t* stash = Stash(eq);
        for (uint32_t f = 0; f < kEqBlockFrames; ++f) {
            const uint32_t at = RingAdvance(eq->PendingPosition, 4 * f) + kRightOffset;
            stash[2 * f] = eq->Ring[at];
            stash[2 * f + 1] = eq->Ring[at + 1];
        }
        eq->PendingChannel = kRightPendingStashed;
    }
    __builtin_memset(eq->Ring, 0, kEqRingBytes);
    eq->ReadPosition = 0;
    eq->WritePosition = kEqDelayBytes;
    eq->ProcessPosition = kEqDelayBytes;
    // One call per buffer: a local array of their pointers would be copied through a vector
    // register, and the reset runs without the floating-point state saved.
    __builtin_memset(eq->Block, 0, kEqBufferBytes);
    __builtin_memset(eq->ImaginaryInput, 0, kEqBufferBytes);
    __builtin_memset(eq->SpectrumReal, 0, kEqBufferBytes);
    if (eq->PendingChannel == kNothingPending)
        __builtin_memset(eq->SpectrumImaginary, 0, kEqBufferBytes);
}

void RunEqualizer(EffectDeviceContext* ctx, uint8_t* buffer, uint32_t byteLength) {
    EqStream* eq = ctx->Eq;
    const EffectState* state = ctx->State;
    // An empty transfer (whose buffer may be absent) stores nothing and, with the process
    // position always less than a block behind, cannot complete a block either.
    if (eq == nullptr || byteLength == 0 || LoadShared(state->EnableAmpfxEQ) == 0)
        return;
    // A piece of 4096 bytes adds exactly the hop that one block consumes, so taking a long
    // transfer piece by piece keeps the process position less than one block behind the
    // write position and every frame final before the read position reaches it.
    while (byteLength > kEqHopBytes) {
        RunPiece(state, eq, buffer, kEqHopBytes);
        buffer += kEqHopBytes;
        byteLength -= kEqHopBytes;
    }
    RunPiece(state, eq, buffer, byteLength);
}

void UpdateEqCurveSegment(EffectState* state, uint32_t band, float gain) {
    if (band >= kEqBandCount)
        return;
    float* curve = state->EqGainCurve;
    StoreShared(state->AmpfxEQGain[band], gain);
    const int32_t position = EqBandPosition[band];
    StoreShared(curve[position], gain);

    int32_t lo;
    int32_t hi;
    if (band == 0) {
        lo = 0;
        hi = EqBandPosition[1];
        StoreShared(curve[0], gain);
    } else if (band == kEqBandCount - 1) {
        lo = EqBandPosition[kEqBandCount - 2];
        hi = kEqCurveBins - 1;
        StoreShared(curve[kEqCurveBins - 1], gain);
    } else {
        lo = EqBandPosition[band - 1];
        hi = EqBandPosition[band + 1];
    }
    InterpolateSegment(curve, lo, position);
    InterpolateSegment(curve, position, hi);
}

void RebuildEqCurve(EffectState* state) {
    for (uint32_t bin = 0; bin < kEqCurveBins; ++bin)
        StoreShared(state->EqGainCurve[bin], 0.0f);
    for (uint32_t band = 0; band < kEqBandCount; ++band)
        UpdateEqCurveSegment(state, band, LoadShared(state->AmpfxEQGain[band]));
}
