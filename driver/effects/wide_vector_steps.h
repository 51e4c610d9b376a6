// The wide steps, written once over a vector traits class V and built once per instruction
// set (wide_vectors_avx2.cpp, wide_vectors_avx512.cpp). V gives:
//   kLanes                   doubles per vector D (floats are handled kLanes at a time as F)
//   LoadD(const double*), BroadcastD(double)  kLanes doubles
//   LoadWidened(const float*), StoreNarrowed(float*, D)
//                            kLanes floats to doubles (exact) and back (rounded to nearest)
//   F, LoadF, StoreF, Broadcast, Zero  kLanes floats
//   Widen(F) -> D, Narrow(D) -> F
//   Blend(a, b, mask)        b in the lanes whose mask bits are set, a elsewhere
//   Flush(F, limit)          lanes of smaller magnitude than limit become +0
//   Transpose(F rows[kLanes]), Reverse(F)  (lane order turned round)
// Arithmetic on D and F is the lane-wise IEEE operation; the engine's build contracts nothing into
// fused multiply-adds, so each lane performs the scalar code's operations one by one.
#pragma once

#include <emmintrin.h>
#include <stdint.h>

#include "wide_vectors.h"

// Everything here has internal linkage: each instruction set's file gets its own copy, so
// the linker can never hand code built for one set to a caller of another.
namespace wide_steps {
namespace {

// The butterflies of one stage, as fft.cpp's Butterflies computes them two lanes at a time:
// tr and ti in double, the sums and differences in double, stored as float.
template <class V>
void TransformStage(uint32_t n, uint32_t half, const double* twiddleReal, const double* twiddleImag,
                    float* real, float* imag) {
    for (uint32_t start = 0; start < n; start += 2 * half) {
        float* const realK = real + start;
        float* const imagK = imag + start;
        float* const realM = realK + half;
        float* const imagM = imagK + half;
        for (uint32_t j = 0; j < half; j += V::kLanes) {
            const auto ar0 = V::LoadD(twiddleReal + j);
            const auto ai0 = V::LoadD(twiddleImag + j);
            const auto rm = V::LoadWidened(realM + j);
            const auto im = V::LoadWidened(imagM + j);
            const auto rk = V::LoadWidened(realK + j);
            const auto ik = V::LoadWidened(imagK + j);
            const auto tr = ar0 * rm - ai0 * im;
            const auto ti = ar0 * im + ai0 * rm;
            V::StoreNarrowed(realM + j, rk - tr);
            V::StoreNarrowed(imagM + j, ik - ti);
            V::StoreNarrowed(realK + j, rk + tr);
            V::StoreNarrowed(imagK + j, ik + ti);
        }
    }
}

// One butterfly of each lane: tr and ti in double, sums and differences in double, stored
// as float, as every stage of the transform computes it.
template <class V>
inline void Butterfly(typename V::F& realK, typename V::F& imagK, typename V::F& realM,
                      typename V::F& imagM, double twiddleReal, double twiddleImag) {
    using D = typename V::D;
    const D ar0 = V::BroadcastD(twiddleReal);
    const D ai0 = V::BroadcastD(twiddleImag);
    const D rm = V::Widen(realM), im = V::Widen(imagM);
    const D rk = V::Widen(realK), ik = V::Widen(imagK);
    const D tr = ar0 * rm - ai0 * im;
    const D ti = ar0 * im + ai0 * rm;
    realM = V::Narrow(rk - tr);
    imagM = V::Narrow(ik - ti);
    realK = V::Narrow(rk + tr);
    imagK = V::Narrow(ik + ti);
}

// The first three stages work within runs of 8 outputs. Output run b holds the inputs
// rev(8 b + e) = rev3(e) * (n / 8) + rev(b) for e = 0..7, so taking the runs in the order
// b = rev(c) for consecutive c makes each of the 8 inputs of a lane contiguous across lanes:
// a vector holds element e of kLanes runs, the three stages run lane by lane, and the runs
// are turned back across to be stored.
template <class V>
void TransformFirstStages(uint32_t n, const int32_t* blockReverse, const float* realIn,
                          const float* imagIn, float* realOut, float* imagOut,
                          const double* twiddleReal, const double* twiddleImag) {
    using F = typename V::F;
    constexpr uint32_t W = V::kLanes;
    constexpr uint32_t kReverse3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    const uint32_t runs = n / 8;
    for (uint32_t c = 0; c < runs; c += W) {
        F re[8], im[8];
        for (uint32_t e = 0; e < 8; ++e) {
            const uint32_t source = kReverse3[e] * runs + c;
            re[e] = V::LoadF(realIn + source);
            im[e] = imagIn != nullptr ? V::LoadF(imagIn + source) : V::Zero();
        }
        for (uint32_t k = 0; k < 8; k += 2)
            Butterfly<V>(re[k], im[k], re[k + 1], im[k + 1], twiddleReal[0], twiddleImag[0]);
        for (uint32_t start = 0; start < 8; start += 4)
            for (uint32_t j = 0; j < 2; ++j)
                Butterfly<V>(re[start + j], im[start + j], re[start + j + 2], im[start + j + 2],
                             twiddleReal[1 + j], twiddleImag[1 + j]);
        for (uint32_t j = 0; j < 4; ++j)
            Butterfly<V>(re[j], im[j], re[j + 4], im[j + 4], twiddleReal[3 + j],
                         twiddleImag[3 + j]);
        for (uint32_t q = 0; q < 8; q += W) {
            V::Transpose(re + q);
            V::Transpose(im + q);
            for (uint32_t lane = 0; lane < W; ++lane) {
                const uint32_t target = 8 * static_cast<uint32_t>(blockReverse[c + lane]) + q;
                V::StoreF(realOut + target, re[q + lane]);
                V::StoreF(imagOut + target, im[q + lane]);
            }
        }
    }
}

// The comb rings a block cannot run through in place: a lane whose block of slots wraps
// round its ring's end runs on a copy and is copied back. Per thread, since each engine
// record may be streamed on a thread of its own.
constexpr uint32_t kStagedFrames = kWideMaxBlockFrames + 16;
alignas(64) thread_local float t_staged[kWideMaxCombLanes + 16][kStagedFrames];

// A lane of FilteredLateJob in a ring: its slots for the block are ring[position + t],
// t < frames, wrapping at the ring's end.
inline void CopyRingOut(const float* ring, uint32_t length, uint32_t position, uint32_t frames,
                        float* target) {
    const uint32_t first = length - position < frames ? length - position : frames;
    __builtin_memcpy(target, ring + position, first * sizeof(float));
    __builtin_memcpy(target + first, ring, (frames - first) * sizeof(float));
}

inline void CopyRingIn(float* ring, uint32_t length, uint32_t position, uint32_t frames,
                       const float* source) {
    const uint32_t first = length - position < frames ? length - position : frames;
    __builtin_memcpy(ring + position, source, first * sizeof(float));
    __builtin_memcpy(ring, source + first, (frames - first) * sizeof(float));
}

// A value of each channel in the two low lanes of an SSE vector, and back.
inline __m128 Pair(float left, float right) {
    return _mm_unpacklo_ps(_mm_set_ss(left), _mm_set_ss(right));
}
inline void StorePair(float* left, float* right, __m128 pair) {
    _mm_store_ss(left, pair);
    _mm_store_ss(right, _mm_shuffle_ps(pair, pair, _MM_SHUFFLE(1, 1, 1, 1)));
}
inline __m128 FlushPair(__m128 v, float limit) {
    const __m128 magnitude = _mm_and_ps(v, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff)));
    return _mm_andnot_ps(_mm_cmplt_ps(magnitude, _mm_set1_ps(limit)), v);
}

// sums[t .. t + kRows * W - 1] = the sum of rows[0 .. combs - 1] there, in row order.
template <class V, uint32_t kRows>
inline void SumCombRows(float* const* rows, uint32_t combs, uint32_t t, float* sums) {
    constexpr uint32_t W = V::kLanes;
    typename V::F sum[kRows];
    for (uint32_t r = 0; r < kRows; ++r)
        sum[r] = V::Zero();
    for (uint32_t i = 0; i < combs; ++i)
        for (uint32_t r = 0; r < kRows; ++r)
            sum[r] = sum[r] + V::LoadF(rows[i] + t + r * W);
    for (uint32_t r = 0; r < kRows; ++r)
        V::StoreF(sums + t + r * W, sum[r]);
}

// The combs of both channels as lanes, kLanes to a group. Each group's rows of kLanes frames
// are loaded side by side and turned across, so that a vector holds one frame of the group's
// lanes; every frame steps every group before the next frame, so the recursions of the groups
// overlap instead of waiting on each other. All combs of a preset share one low-pass, so its
// coefficients are three vectors for every group. The two early low-passes and DC blockers
// run beside them on pairs of lanes of SSE vectors: as lanes of the groups they would fill a
// group of their own for two useful lanes.
// The comb count is a constant of each instance (0: any count, taken from the job), so that
// the loops over the groups unroll, the filter states stay in registers, and a group of one
// channel's combs alone takes that channel's input without a blend.
template <class V, uint32_t kCombs>
void FilteredLateFor(FilteredLateJob* job) {
    using D = typename V::D;
    using F = typename V::F;
    constexpr uint32_t W = V::kLanes;
    constexpr uint32_t kMaxGroups = (kWideMaxCombLanes + W - 1) / W;
    constexpr uint32_t groups = kCombs != 0 ? (2 * kCombs + W - 1) / W : kMaxGroups;
    constexpr uint32_t kMaxChunks = kWideMaxBlockFrames / W;
    static_assert(kWideMaxBlockFrames % W == 0, "whole rows of W frames fill a block");
    const uint32_t n = job->frames;
    const uint32_t combs = kCombs != 0 ? kCombs : job->combsPerChannel;
    const uint32_t lanes = 2 * combs;
    // Spare lanes past the right combs take the right input; their results are left out.
    auto leftOnly = [](uint32_t g) { return kCombs != 0 && (g + 1) * W <= kCombs; };
    auto rightOnly = [](uint32_t g) { return kCombs != 0 && g * W >= kCombs; };
    const uint32_t chunks = (n + W - 1) / W;
    const uint32_t span = chunks * W;  // whole rows of W frames, within the block
    const float limit = job->negligible;

    float* slot[kMaxGroups * W];
    bool staged[kMaxGroups * W];
    for (uint32_t lane = 0; lane < groups * W; ++lane) {
        staged[lane] = false;
        if (lane < lanes) {
            const uint32_t position = job->position[lane];
            if (job->length[lane] - position >= span) {
                slot[lane] = job->ring[lane] + position;
            } else {
                slot[lane] = t_staged[lane];
                staged[lane] = true;
                CopyRingOut(job->ring[lane], job->length[lane], position, n, slot[lane]);
            }
        } else {
            slot[lane] = t_staged[lane];  // spare lane: zeros, left out of every result
            __builtin_memset(slot[lane], 0, span * sizeof(float));
        }
    }

    // The comb sums, from the values read, in comb order. Several rows of the block are
    // summed in one pass over the combs, so that their additions overlap rather than each
    // waiting for its own.
    constexpr uint32_t kRowsPerPass = kMaxChunks < 12 ? kMaxChunks : 12;
    for (uint32_t ch = 0; ch < 2; ++ch) {
        float* const* const first = slot + ch * combs;
        uint32_t c = 0;
        for (; c + kRowsPerPass <= chunks; c += kRowsPerPass)
            SumCombRows<V, kRowsPerPass>(first, combs, c * W, job->late[ch]);
        for (; c < chunks; ++c)
            SumCombRows<V, 1>(first, combs, c * W, job->late[ch]);
    }

    alignas(64) uint32_t rightBits[kMaxGroups * W];
    alignas(64) float feedback[kMaxGroups * W];
    alignas(64) float w1[kMaxGroups * W];
    alignas(64) float w2[kMaxGroups * W];
    for (uint32_t lane = 0; lane < groups * W; ++lane) {
        const bool comb = lane < lanes;
        rightBits[lane] = (comb && lane >= combs) ? 0xffffffffu : 0u;
        feedback[lane] = comb ? job->feedback[lane] : 0.0f;
        w1[lane] = comb ? job->w1[lane] : 0.0f;
        w2[lane] = comb ? job->w2[lane] : 0.0f;
    }
    const D b0 = V::BroadcastD(job->combLowPass.b0);
    const D a1 = V::BroadcastD(job->combLowPass.a1);
    const D a2 = V::BroadcastD(job->combLowPass.a2);
    F rightMask[kMaxGroups], gFeedback[kMaxGroups];
    F w1f[kMaxGroups], w2f[kMaxGroups];
    D w1d[kMaxGroups], w2d[kMaxGroups];
    for (uint32_t g = 0; g < groups; ++g) {
        rightMask[g] = V::LoadMask(rightBits + g * W);
        gFeedback[g] = V::LoadF(feedback + g * W);
        w1f[g] = V::LoadF(w1 + g * W);
        w2f[g] = V::LoadF(w2 + g * W);
        w1d[g] = V::Widen(w1f[g]);
        w2d[g] = V::Widen(w2f[g]);
    }

    // The DC blocker's differences (s[n] - s[n-1]) * 0.0078125 need no recursion: they are
    // taken for the whole block first, and only the hold runs frame by frame.
    alignas(64) float delta[2][kWideMaxBlockFrames];
    alignas(64) float previous[kWideMaxBlockFrames + 16];
    for (uint32_t ch = 0; ch < 2; ++ch) {
        previous[0] = job->dcInputPrev[ch];
        __builtin_memcpy(previous + 1, job->late[ch], (span - 1) * sizeof(float));
        for (uint32_t t = 0; t < span; t += W) {
            const F difference = V::LoadF(job->late[ch] + t) - V::LoadF(previous + t);
            V::StoreF(delta[ch] + t, V::Narrow(V::Widen(difference) * V::BroadcastD(0.0078125)));
        }
        job->dcInputPrev[ch] = job->late[ch][n - 1];
    }
    // The early low-passes and DC blockers of both channels as the two low lanes of SSE
    // vectors (the upper two stay zero), in registers across the block.
    const __m128d earlyB0 = _mm_set1_pd(job->earlyLowPass.b0);
    const __m128d earlyA1 = _mm_set1_pd(job->earlyLowPass.a1);
    const __m128d earlyA2 = _mm_set1_pd(job->earlyLowPass.a2);
    __m128 earlyW1 = Pair(job->earlyW1[0], job->earlyW1[1]);
    __m128 earlyW2 = Pair(job->earlyW2[0], job->earlyW2[1]);
    __m128d earlyW1d = _mm_cvtps_pd(earlyW1);
    __m128d earlyW2d = _mm_cvtps_pd(earlyW2);
    __m128 deltaPrev = Pair(job->dcDeltaPrev[0], job->dcDeltaPrev[1]);
    __m128 hold = Pair(job->dcHold[0], job->dcHold[1]);
    const __m128d holdGain = _mm_set1_pd(0.9921875);
    float* const earlyL = job->early[0];
    float* const earlyR = job->early[1];
    float* const lateL = job->late[0];
    float* const lateR = job->late[1];
    const float* const inputL = job->combInput[0];
    const float* const inputR = job->combInput[1];

    for (uint32_t t0 = 0; t0 < n; t0 += W) {
        F rows[groups][W];
        for (uint32_t g = 0; g < groups; ++g) {
            for (uint32_t k = 0; k < W; ++k)
                rows[g][k] = V::LoadF(slot[g * W + k] + t0);
            V::Transpose(rows[g]);
        }
        const uint32_t steps = n - t0 < W ? n - t0 : W;
        for (uint32_t k = 0; k < steps; ++k) {
            const uint32_t t = t0 + k;
            const F uLeft = V::Broadcast(inputL[t]);
            const F uRight = V::Broadcast(inputR[t]);
#pragma GCC unroll 16
            for (uint32_t g = 0; g < groups; ++g) {
                const D v = V::Widen(rows[g][k]);
                const F w = V::Flush(V::Narrow(b0 * v - a1 * w1d[g] - a2 * w2d[g]), limit);
                const F out = w + (w1f[g] + w1f[g]) + w2f[g];
                const F u = leftOnly(g)    ? uLeft
                            : rightOnly(g) ? uRight
                                           : V::Blend(uLeft, uRight, rightMask[g]);
                rows[g][k] = out * gFeedback[g] + u;
                w2f[g] = w1f[g];
                w2d[g] = w1d[g];
                w1f[g] = w;
                w1d[g] = V::Widen(w);
            }
            const __m128d earlyIn = _mm_cvtps_pd(Pair(earlyL[t], earlyR[t]));
            const __m128 ew = FlushPair(
                _mm_cvtpd_ps(_mm_sub_pd(
                    _mm_sub_pd(_mm_mul_pd(earlyB0, earlyIn), _mm_mul_pd(earlyA1, earlyW1d)),
                    _mm_mul_pd(earlyA2, earlyW2d))),
                limit);
            StorePair(earlyL + t, earlyR + t,
                      _mm_add_ps(_mm_add_ps(ew, _mm_add_ps(earlyW1, earlyW1)), earlyW2));
            earlyW2 = earlyW1;
            earlyW2d = earlyW1d;
            earlyW1 = ew;
            earlyW1d = _mm_cvtps_pd(ew);
            // In effect a[n] = 0.9921875 a[n-1] + s[n-1] - s[n-2].
            hold = FlushPair(_mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(_mm_cvtps_pd(hold), holdGain),
                                                     _mm_cvtps_pd(deltaPrev))),
                             limit);
            deltaPrev = Pair(delta[0][t], delta[1][t]);
            StorePair(lateL + t, lateR + t, _mm_mul_ps(hold, _mm_set1_ps(128.0f)));
        }
        // Rows past the block's last frame go back as they were read.
        for (uint32_t g = 0; g < groups; ++g) {
            V::Transpose(rows[g]);
            for (uint32_t k = 0; k < W; ++k)
                V::StoreF(slot[g * W + k] + t0, rows[g][k]);
        }
    }

    for (uint32_t lane = 0; lane < lanes; ++lane) {
        const uint32_t position = job->position[lane];
        if (staged[lane])
            CopyRingIn(job->ring[lane], job->length[lane], position, n, slot[lane]);
        const uint32_t next = position + n;
        job->position[lane] = next >= job->length[lane] ? next - job->length[lane] : next;
    }
    for (uint32_t g = 0; g < groups; ++g) {
        V::StoreF(w1 + g * W, w1f[g]);
        V::StoreF(w2 + g * W, w2f[g]);
    }
    for (uint32_t lane = 0; lane < lanes; ++lane) {
        job->w1[lane] = w1[lane];
        job->w2[lane] = w2[lane];
    }
    StorePair(job->earlyW1, job->earlyW1 + 1, earlyW1);
    StorePair(job->earlyW2, job->earlyW2 + 1, earlyW2);
    StorePair(job->dcDeltaPrev, job->dcDeltaPrev + 1, deltaPrev);
    StorePair(job->dcHold, job->dcHold + 1, hold);
}

// The sound field's 16 early taps over a block, W frames to a vector. Frame t reads tap k at
// ring[first[k] - t], wrapping below zero to the ring's end; its sum adds the taps in order,
// from zero, as the scalar code does. A vector's lanes hold its frames in the ring's
// (descending) order, so that one load serves each tap and only the finished sums are turned
// round; a few runs of frames share the pass over the taps, so that their additions overlap.
template <class V>
void EarlyTaps(const float* ring, uint32_t length, const uint32_t* first, const float* gain,
               uint32_t frames, float* sums) {
    using F = typename V::F;
    constexpr uint32_t W = V::kLanes;
    constexpr uint32_t kRuns = 6;
    auto at = [&](uint32_t tap, uint32_t frame) {
        return first[tap] >= frame ? ring[first[tap] - frame] : ring[first[tap] + length - frame];
    };
    auto load = [&](uint32_t tap, uint32_t t) {  // frames t + W - 1 down to t
        const uint32_t top = t + W - 1;
        if (first[tap] >= top)
            return V::LoadF(ring + first[tap] - top);
        alignas(64) float lanes[W];
        for (uint32_t j = 0; j < W; ++j)
            lanes[j] = at(tap, top - j);
        return V::LoadF(lanes);
    };
    const uint32_t whole = frames / W;
    uint32_t c = 0;
    for (; c + kRuns <= whole; c += kRuns) {
        F sum[kRuns];
        for (uint32_t r = 0; r < kRuns; ++r)
            sum[r] = V::Zero();
        for (uint32_t tap = 0; tap < 16; ++tap) {
            const F g = V::Broadcast(gain[tap]);
            for (uint32_t r = 0; r < kRuns; ++r)
                sum[r] = sum[r] + load(tap, (c + r) * W) * g;
        }
        for (uint32_t r = 0; r < kRuns; ++r)
            V::StoreF(sums + (c + r) * W, V::Reverse(sum[r]));
    }
    for (; c < whole; ++c) {
        F sum = V::Zero();
        for (uint32_t tap = 0; tap < 16; ++tap)
            sum = sum + load(tap, c * W) * V::Broadcast(gain[tap]);
        V::StoreF(sums + c * W, V::Reverse(sum));
    }
    for (uint32_t t = whole * W; t < frames; ++t) {
        float sum = 0.0f;
        for (uint32_t tap = 0; tap < 16; ++tap)
            sum += at(tap, t) * gain[tap];
        sums[t] = sum;
    }
}

// The presets with low-passed combs have 20 (preset 1) and 14 (preset 3) per channel.
template <class V>
void FilteredLate(FilteredLateJob* job) {
    switch (job->combsPerChannel) {
        case 20:
            FilteredLateFor<V, 20>(job);
            break;
        case 14:
            FilteredLateFor<V, 14>(job);
            break;
        default:
            FilteredLateFor<V, 0>(job);
            break;
    }
}

template <class V>
constexpr WideVectorSteps MakeSteps(VectorWidth width) {
    // With four floats to a vector the taps gain nothing over the SSE2 code.
    return WideVectorSteps{width,
                           V::kLanes,
                           &TransformStage<V>,
                           &TransformFirstStages<V>,
                           &FilteredLate<V>,
                           V::kLanes >= 8 ? &EarlyTaps<V> : nullptr};
}

}  // namespace
}  // namespace wide_steps
