// The sound-field network of the four presets, run over a transfer in blocks of frames.
//
// Per frame and channel the network is: cross-feed, 16-tap early line and its low-pass, a
// pre-delay, parallel combs, a DC blocker, all-passes and a final filter, mixed with a dry
// signal (tables in sound_field_presets.h). Every ring is longer than a block, so within a
// block no value written is read again: each stage can run over the whole block before the
// next one starts, four frames (or four combs) to a vector, and still compute, for every
// frame, exactly the operations of the frame-by-frame description in the same order. Both
// channels run in the same block: the right channel hears the left output through a ring
// of at least 100 frames, so it only reads left output of earlier blocks.
//
// Single-precision steps are done on four floats at a time and double-precision products on
// two doubles at a time (SSE2); each lane rounds exactly as the scalar operation would, and
// the build contracts nothing into fused multiply-adds. Where the host has wider vectors,
// the low-passed combs run as one job of wide_vectors.h instead, with the same bits.
#include <emmintrin.h>

#include <new>

#include "pcm.h"
#include "sound_field.h"
#include "sound_field_presets.h"
#include "wide_vectors.h"

namespace {

constexpr uint32_t kBlock = kSoundFieldBlockFrames;
// A decaying tail drives the recursive states towards zero, where they turn subnormal and
// can settle into rounding cycles that never reach zero; every operation on a subnormal
// operand or result costs many times a normal one, in the URB path, for as long as the
// silence lasts. So a recursive state (filter state, comb or all-pass ring value) whose
// magnitude falls below 2^-90 is stored as zero. Such a state only occurs once the filter
// around it has sunk below about 2^-37, since a difference of values of size M is zero or
// at least M * 2^-53; its share of any output is then far under the 0.5 that truncation to
// 16 bits can see, and once sound returns it is lost in rounding against normal values
// either way. The tests hold the output against the plain arithmetic over long tails. The
// margin above 2^-126 keeps the products with the network's gains (down to 0.0017) and the
// DC blocker's differences normal as well, so that no operation meets a subnormal number.
// This is done in the arithmetic itself, since the stream path does not own the FPU's
// flush-to-zero modes.
constexpr float kNegligible = 0x1p-90f;

// A branch rather than a select: the test is all but always false on sound and always true
// deep in a tail, so it is predicted, and the filters' frame-to-frame recursions through
// this value do not wait for the comparison.
inline float FlushNegligible(float value) {
    if (__builtin_expect(__builtin_fabsf(value) < kNegligible, 0))
        return 0.0f;
    return value;
}

inline __m128 FlushNegligible4(__m128 value) {
    const __m128 magnitude = _mm_and_ps(value, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff)));
    const __m128 tiny = _mm_cmplt_ps(magnitude, _mm_set1_ps(kNegligible));
    return _mm_andnot_ps(tiny, value);
}

// Lanes 0-1 and 2-3 of four floats as doubles, and back.
inline __m128d LowHalf(__m128 v) {
    return _mm_cvtps_pd(v);
}
inline __m128d HighHalf(__m128 v) {
    return _mm_cvtps_pd(_mm_movehl_ps(v, v));
}
inline __m128 Narrow(__m128d low, __m128d high) {
    return _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high));
}

inline __m128 Reverse(__m128 v) {
    return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3));
}

// Second-order low-pass: coefficient products in double, w stored as float.
inline float LowPass(const SoundFieldFilter& f, float in, float& w1, float& w2) {
    const float w = FlushNegligible(static_cast<float>(f.b0 * in - f.a1 * w1 - f.a2 * w2));
    const float out = w + 2 * w1 + w2;
    w2 = w1;
    w1 = w;
    return out;
}

inline uint32_t Min(uint32_t a, uint32_t b) {
    return a < b ? a : b;
}

// Everything one channel carries from block to block; loaded from the work area, the
// positions and the parameter record once per transfer and stored back at its end.
struct ChannelRun {
    uint32_t crossPos;
    uint32_t earlyPos;
    uint32_t prePos;
    uint32_t combPos[kSoundFieldMaxCombs];
    uint32_t allPassPos[kSoundFieldMaxAllPasses];
    uint32_t tapOffset[kSoundFieldTapCount];  // (delay - 1) mod early length
    float tapGain[kSoundFieldTapCount];
    float crossGain;
    float lateGain;
    float earlyW1;
    float earlyW2;
    float combW1[kSoundFieldMaxCombs];
    float combW2[kSoundFieldMaxCombs];
    float dcInputPrev;
    float dcDeltaPrev;
    float dcHold;
    float finalW1;
    float finalW2;
};

// The block's values of one channel, in the scratch area of the effect record.
struct ChannelBlock {
    float* mixed;      // m
    float* early;      // tap sums, then the early reflections e
    float* combInput;  // u
    float* late;       // early-line input, then comb sum s, then a, then late
};

template <uint32_t P, uint32_t Ch>
struct Shape {
    static constexpr const SoundFieldStructureRow& S = kSoundFieldStructures[P - 1];
    static constexpr const SoundFieldRecordRow& R = kSoundFieldRecords[P - 1];
    static constexpr const SoundFieldChannelLayout& L = kSoundFieldLayouts[P - 1].channel[Ch];
    static constexpr uint32_t kCross = R.crossFeedLength[Ch];
    static constexpr uint32_t kEarly = R.tapDelay[kSoundFieldTapCount - 1];
    static constexpr uint32_t kPreDelay = R.preDelayLength;
    static constexpr uint32_t kOwn = Ch == 0 ? 0 : 2;  // byte of the channel's sample
    static constexpr uint32_t kOther = Ch == 0 ? 2 : 0;
};

// Positions out of range (never written so by the engine) are folded back, and tap delays
// reduced, so that no index can leave its ring whatever the buffers hold.
template <uint32_t P, uint32_t Ch>
void LoadChannel(const float* work, const uint32_t* positions,
                 const SoundFieldChannelParams& params, ChannelRun* run) {
    using K = Shape<P, Ch>;
    const uint32_t* pos = positions + Ch * kPositionsPerChannel;
    run->crossPos = pos[kPositionCrossFeed] % K::kCross;
    run->earlyPos = pos[kPositionEarly] % K::kEarly;
    run->prePos = pos[kPositionPreDelay] % K::kPreDelay;
    for (uint32_t i = 0; i < K::S.combCount; ++i)
        run->combPos[i] = pos[kPositionFirstComb + i] % K::S.combLength[i];
    for (uint32_t i = 0; i < K::S.allPassCount; ++i)
        run->allPassPos[i] = pos[kPositionFirstComb + K::S.combCount + i] % K::S.allPassLength[i];
    for (uint32_t tap = 0; tap < kSoundFieldTapCount; ++tap) {
        run->tapOffset[tap] = (params.Taps[tap].DelaySamples - 1) % K::kEarly;
        run->tapGain[tap] = params.Taps[tap].Gain;
    }
    run->crossGain = params.CrossFeedGain;
    run->lateGain = params.LateGain;

    run->earlyW1 = work[K::L.earlyState];
    run->earlyW2 = work[K::L.earlyState + 1];
    if constexpr (K::S.combLowPassed) {
        for (uint32_t i = 0; i < K::S.combCount; ++i) {
            run->combW1[i] = work[K::L.combState[i]];
            run->combW2[i] = work[K::L.combState[i] + 1];
        }
    }
    run->dcInputPrev = work[K::L.dcState];
    run->dcDeltaPrev = work[K::L.dcState + 1];
    run->dcHold = work[K::L.dcState + 2];
    run->finalW1 = 0.0f;
    run->finalW2 = 0.0f;
    if constexpr (K::S.finalKind != SoundFieldFinal::kNone) {
        run->finalW1 = work[K::L.finalState];
        run->finalW2 = work[K::L.finalState + 1];
    }
}

template <uint32_t P, uint32_t Ch>
void StoreChannel(const ChannelRun& run, float* work, uint32_t* positions) {
    using K = Shape<P, Ch>;
    uint32_t* pos = positions + Ch * kPositionsPerChannel;
    pos[kPositionCrossFeed] = run.crossPos;
    pos[kPositionEarly] = run.earlyPos;
    pos[kPositionPreDelay] = run.prePos;
    for (uint32_t i = 0; i < K::S.combCount; ++i)
        pos[kPositionFirstComb + i] = run.combPos[i];
    for (uint32_t i = 0; i < K::S.allPassCount; ++i)
        pos[kPositionFirstComb + K::S.combCount + i] = run.allPassPos[i];
    work[K::L.earlyState] = run.earlyW1;
    work[K::L.earlyState + 1] = run.earlyW2;
    if constexpr (K::S.combLowPassed) {
        for (uint32_t i = 0; i < K::S.combCount; ++i) {
            work[K::L.combState[i]] = run.combW1[i];
            work[K::L.combState[i] + 1] = run.combW2[i];
        }
    }
    work[K::L.dcState] = run.dcInputPrev;
    work[K::L.dcState + 1] = run.dcDeltaPrev;
    work[K::L.dcState + 2] = run.dcHold;
    if constexpr (K::S.finalKind != SoundFieldFinal::kNone) {
        work[K::L.finalState] = run.finalW1;
        work[K::L.finalState + 1] = run.finalW2;
    }
}

// Calls body(index, t, count) for the descending runs of a ring of `length` that frames
// t .. t + count - 1 of the block use, frame t + j at index - j: each frame steps the position
// back one slot (from 0 to length - 1) and then uses it. Returns the position after the block.
template <typename Body>
inline uint32_t ForEachDescendingPiece(uint32_t position, uint32_t length, uint32_t n, Body body) {
    uint32_t t = 0;
    while (t < n) {
        if (position == 0)
            position = length;
        const uint32_t count = Min(n - t, position);
        body(position - 1, t, count);
        position -= count;
        t += count;
    }
    return position;
}

// Four descending ring values as four frames, and back.
inline __m128 LoadDescending(const float* ring, uint32_t index) {
    return Reverse(_mm_loadu_ps(ring + index - 3));
}
inline void StoreDescending(float* ring, uint32_t index, __m128 frames) {
    _mm_storeu_ps(ring + index - 3, Reverse(frames));
}

// Stores the block's values into a ring in descending slots; returns the position after.
inline uint32_t StoreDescendingBlock(float* ring, uint32_t position, uint32_t length, uint32_t n,
                                     const float* values) {
    return ForEachDescendingPiece(
        position, length, n, [&](uint32_t index, uint32_t t, uint32_t count) {
            uint32_t j = 0;
            for (; j + 4 <= count; j += 4)
                StoreDescending(ring, index - j, _mm_loadu_ps(values + t + j));
            for (; j < count; ++j)
                ring[index - j] = values[t + j];
        });
}

// One channel's samples of four frames as floats (exact).
template <uint32_t Offset>
inline __m128 LoadChannel4(const uint8_t* frames) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frames));
    const __m128i samples =
        Offset == 0 ? _mm_srai_epi32(_mm_slli_epi32(v, 16), 16) : _mm_srai_epi32(v, 16);
    return _mm_cvtepi32_ps(samples);
}

// Cross-feed and mixed input m, and the early line's input (kept in block.late for now).
// The left channel hears the right input and stores it at once; the right channel hears
// the left output, which is stored only when the block's left output exists.
template <uint32_t P, uint32_t Ch>
void MixInput(ChannelRun& run, float* work, const uint8_t* buffer, uint32_t n,
              const ChannelBlock& block) {
    using K = Shape<P, Ch>;
    float* const cross = work + K::L.crossFeed;
    const float crossGain = run.crossGain;
    const uint32_t end = ForEachDescendingPiece(
        run.crossPos, K::kCross, n, [&](uint32_t index, uint32_t t, uint32_t count) {
            uint32_t j = 0;
            for (; j + 4 <= count; j += 4) {
                const uint8_t* const frames = buffer + 4 * (t + j);
                const __m128 crossTerm =
                    _mm_mul_ps(_mm_set1_ps(crossGain), LoadDescending(cross, index - j));
                if constexpr (Ch == 0)
                    StoreDescending(cross, index - j, LoadChannel4<K::kOther>(frames));
                const __m128 x = LoadChannel4<K::kOwn>(frames);
                __m128 mixed;
                if constexpr (K::S.inputScaled) {
                    const __m128d gain = _mm_set1_pd(K::S.inputGain);
                    mixed = Narrow(_mm_add_pd(_mm_mul_pd(gain, LowHalf(x)), LowHalf(crossTerm)),
                                   _mm_add_pd(_mm_mul_pd(gain, HighHalf(x)), HighHalf(crossTerm)));
                } else {
                    mixed = _mm_add_ps(x, crossTerm);
                }
                const __m128d earlyGain = _mm_set1_pd(K::S.earlyGain);
                __m128 earlyInput = Narrow(_mm_mul_pd(earlyGain, LowHalf(mixed)),
                                           _mm_mul_pd(earlyGain, HighHalf(mixed)));
                if constexpr (Ch == 1 && K::S.rightEarlyScaled) {
                    const __m128d again = _mm_set1_pd(K::S.rightEarlyGain);
                    earlyInput = Narrow(_mm_mul_pd(LowHalf(earlyInput), again),
                                        _mm_mul_pd(HighHalf(earlyInput), again));
                }
                _mm_storeu_ps(block.mixed + t + j, mixed);
                _mm_storeu_ps(block.late + t + j, earlyInput);
            }
            for (; j < count; ++j) {
                const uint8_t* const frame = buffer + 4 * (t + j);
                const int16_t x = LoadSample(frame + K::kOwn);
                const float crossRead = cross[index - j];
                if constexpr (Ch == 0)
                    cross[index - j] = LoadSample(frame + K::kOther);
                const float crossTerm = crossGain * crossRead;
                float mixed;
                if constexpr (K::S.inputScaled)
                    mixed = static_cast<float>(K::S.inputGain * x + crossTerm);
                else
                    mixed = x + crossTerm;
                float earlyInput = static_cast<float>(K::S.earlyGain * mixed);
                if constexpr (Ch == 1 && K::S.rightEarlyScaled)
                    earlyInput = static_cast<float>(earlyInput * K::S.rightEarlyGain);
                block.mixed[t + j] = mixed;
                block.late[t + j] = earlyInput;
            }
        });
    if constexpr (Ch == 0)
        run.crossPos = end;
}

// The right channel's cross-feed stores the left output of the block.
template <uint32_t P>
void StoreLeftOutputForRight(ChannelRun& run, float* work, const uint8_t* buffer, uint32_t n) {
    using K = Shape<P, 1>;
    float* const cross = work + K::L.crossFeed;
    run.crossPos = ForEachDescendingPiece(
        run.crossPos, K::kCross, n, [&](uint32_t index, uint32_t t, uint32_t count) {
            uint32_t j = 0;
            for (; j + 4 <= count; j += 4)
                StoreDescending(cross, index - j, LoadChannel4<0>(buffer + 4 * (t + j)));
            for (; j < count; ++j)
                cross[index - j] = LoadSample(buffer + 4 * (t + j));
        });
}

// The 16 taps of each of n frames: frame t reads tap k at ring[first[k] - t], wrapping below
// zero to the ring's end; for each tap a run of descending indices, broken at most once.
// Four frames at a time, the sums are built tap after tap, in tap order, as each frame's sum
// would be. The lanes hold the frames in the ring's (descending) order, so that only the
// finished sums are turned round.
template <uint32_t kLength>
void TapSums(const float* ring, const uint32_t* first, const float* gain, uint32_t n, float* sums) {
    auto at = [&](uint32_t tap, uint32_t frame) {
        return first[tap] >= frame ? ring[first[tap] - frame] : ring[first[tap] + kLength - frame];
    };
    uint32_t t = 0;
    for (; t + 4 <= n; t += 4) {
        __m128 sum = _mm_setzero_ps();  // frames t + 3, t + 2, t + 1, t
        for (uint32_t tap = 0; tap < kSoundFieldTapCount; ++tap) {
            const __m128 taps = first[tap] >= t + 3 ? _mm_loadu_ps(ring + first[tap] - t - 3)
                                                    : _mm_setr_ps(at(tap, t + 3), at(tap, t + 2),
                                                                  at(tap, t + 1), at(tap, t));
            sum = _mm_add_ps(sum, _mm_mul_ps(taps, _mm_set1_ps(gain[tap])));
        }
        _mm_storeu_ps(sums + t, Reverse(sum));
    }
    for (; t < n; ++t) {
        float sum = 0.0f;
        for (uint32_t tap = 0; tap < kSoundFieldTapCount; ++tap)
            sum += at(tap, t) * gain[tap];
        sums[t] = sum;
    }
}

// The early taps of the block (on the widest vectors where they are faster), then the
// block's inputs into the early ring.
template <uint32_t P, uint32_t Ch>
void EarlyTaps(ChannelRun& run, float* work, uint32_t n, const ChannelBlock& block,
               const WideVectorSteps* wide) {
    using K = Shape<P, Ch>;
    const float* const ring = work + K::L.early;
    uint32_t first[kSoundFieldTapCount];  // the index frame 0 reads, per tap
    for (uint32_t tap = 0; tap < kSoundFieldTapCount; ++tap) {
        const uint32_t index = run.earlyPos + run.tapOffset[tap];
        first[tap] = index >= K::kEarly ? index - K::kEarly : index;
    }
    if (wide != nullptr && wide->EarlyTaps != nullptr)
        wide->EarlyTaps(ring, K::kEarly, first, run.tapGain, n, block.early);
    else
        TapSums<K::kEarly>(ring, first, run.tapGain, n, block.early);
    run.earlyPos = StoreDescendingBlock(work + K::L.early, run.earlyPos, K::kEarly, n, block.late);
}

// The pre-delay's output of the block, as comb input u. Its input, the block's early
// reflections, is stored later by StorePreDelay into the same slots.
template <uint32_t P, uint32_t Ch>
void ReadPreDelay(const ChannelRun& run, const float* work, uint32_t n, const ChannelBlock& block) {
    using K = Shape<P, Ch>;
    const float* const ring = work + K::L.preDelay;
    const float gain = run.lateGain;
    ForEachDescendingPiece(
        run.prePos, K::kPreDelay, n, [&](uint32_t index, uint32_t t, uint32_t count) {
            uint32_t j = 0;
            for (; j + 4 <= count; j += 4)
                _mm_storeu_ps(block.combInput + t + j,
                              _mm_mul_ps(_mm_set1_ps(gain), LoadDescending(ring, index - j)));
            for (; j < count; ++j)
                block.combInput[t + j] = gain * ring[index - j];
        });
}

template <uint32_t P, uint32_t Ch>
void StorePreDelay(ChannelRun& run, float* work, uint32_t n, const ChannelBlock& block) {
    using K = Shape<P, Ch>;
    run.prePos =
        StoreDescendingBlock(work + K::L.preDelay, run.prePos, K::kPreDelay, n, block.early);
}

// Calls body(ringIndex, blockIndex, count) for the ascending run of a ring of `length` from
// `position` over n frames, in at most two pieces; returns the position after the block.
template <typename Body>
inline uint32_t ForEachPiece(uint32_t position, uint32_t length, uint32_t n, Body body) {
    uint32_t t = 0;
    while (t < n) {
        const uint32_t count = Min(n - t, length - position);
        body(position, t, count);
        t += count;
        position += count;
        if (position == length)
            position = 0;
    }
    return position;
}

// One frame of the early low-pass (tap sum into e) and of the DC blocker (comb sum s into
// the all-pass input a) of one channel.
template <uint32_t P>
inline void EarlyFilterAndDcStep(ChannelRun& r, const ChannelBlock& block, uint32_t t) {
    constexpr const SoundFieldStructureRow& S = kSoundFieldStructures[P - 1];
    block.early[t] = LowPass(S.earlyLowPass, block.early[t], r.earlyW1, r.earlyW2);
    // In effect a[n] = 0.9921875 a[n-1] + s[n-1] - s[n-2].
    const float s = block.late[t];
    r.dcHold = FlushNegligible(static_cast<float>(r.dcHold * 0.9921875 + r.dcDeltaPrev));
    r.dcDeltaPrev = static_cast<float>((s - r.dcInputPrev) * 0.0078125);
    r.dcInputPrev = s;
    block.late[t] = r.dcHold * 128;
}

// Combs without a filter in the loop: ring = v * feedback + u, and the comb sum s (in comb
// order) into block.late, four frames at a time.
template <uint32_t P, uint32_t Ch>
void PlainCombs(ChannelRun& run, float* work, uint32_t n, const ChannelBlock& block) {
    using K = Shape<P, Ch>;
    const float* const input = block.combInput;
    float* const sums = block.late;
    for (uint32_t t = 0; t < n; ++t)
        sums[t] = 0.0f;
    for (uint32_t i = 0; i < K::S.combCount; ++i) {
        float* const ring = work + K::L.comb[i];
        const float feedback = K::S.combFeedback[i];
        const __m128 feedback4 = _mm_set1_ps(feedback);
        run.combPos[i] = ForEachPiece(
            run.combPos[i], K::S.combLength[i], n, [&](uint32_t index, uint32_t t, uint32_t count) {
                uint32_t j = 0;
                for (; j + 4 <= count; j += 4) {
                    const __m128 v = _mm_loadu_ps(ring + index + j);
                    _mm_storeu_ps(sums + t + j, _mm_add_ps(_mm_loadu_ps(sums + t + j), v));
                    _mm_storeu_ps(ring + index + j,
                                  FlushNegligible4(_mm_add_ps(_mm_mul_ps(v, feedback4),
                                                              _mm_loadu_ps(input + t + j))));
                }
                for (; j < count; ++j) {
                    const float v = ring[index + j];
                    sums[t + j] += v;
                    ring[index + j] = FlushNegligible(v * feedback + input[t + j]);
                }
            });
    }
}

template <uint32_t P>
void EarlyFilterAndDcBlocker(ChannelRun* run, uint32_t n, const ChannelBlock* block) {
    for (uint32_t t = 0; t < n; ++t) {
        EarlyFilterAndDcStep<P>(run[0], block[0], t);
        EarlyFilterAndDcStep<P>(run[1], block[1], t);
    }
}

// Four combs with a low-pass in the loop, one lane each: filter states as floats and, for
// the double-precision products, as doubles.
struct CombGroup {
    __m128 w1;
    __m128 w2;
    __m128 feedback;
    __m128d w1Low;
    __m128d w1High;
    __m128d w2Low;
    __m128d w2High;
};

// v = the ring values read, u = the comb input: returns low-pass(v) * feedback + u.
inline __m128 CombStep(CombGroup& g, __m128 v, __m128 u, __m128d b0, __m128d a1, __m128d a2) {
    const __m128d low = _mm_sub_pd(_mm_sub_pd(_mm_mul_pd(b0, LowHalf(v)), _mm_mul_pd(a1, g.w1Low)),
                                   _mm_mul_pd(a2, g.w2Low));
    const __m128d high =
        _mm_sub_pd(_mm_sub_pd(_mm_mul_pd(b0, HighHalf(v)), _mm_mul_pd(a1, g.w1High)),
                   _mm_mul_pd(a2, g.w2High));
    const __m128 w = FlushNegligible4(Narrow(low, high));
    const __m128 out = _mm_add_ps(_mm_add_ps(w, _mm_add_ps(g.w1, g.w1)), g.w2);
    g.w2 = g.w1;
    g.w2Low = g.w1Low;
    g.w2High = g.w1High;
    g.w1 = w;
    g.w1Low = LowHalf(w);
    g.w1High = HighHalf(w);
    return _mm_add_ps(_mm_mul_ps(out, g.feedback), u);
}

constexpr uint32_t kMaxCombGroups = (kSoundFieldMaxCombs + 3) / 4;
constexpr uint32_t kMaxCombLanes = kMaxCombGroups * 4;

// The comb lanes of both channels while FilteredLatePath runs.
struct CombLanes {
    float* ring[2][kMaxCombLanes];
    float* slot[2][kMaxCombLanes];  // the slot of the current frame
    uint32_t length[2][kMaxCombLanes];
    uint32_t left[2][kMaxCombLanes];  // frames before the slot wraps
    CombGroup group[2][kMaxCombGroups];
    __m128 rows[2][kMaxCombGroups][4];
    alignas(16) float w1[kMaxCombLanes];
    alignas(16) float w2[kMaxCombLanes];
    alignas(16) float feedback[kMaxCombLanes];
};

// Everything the network keeps while it runs over one transfer. It lives in the effect
// record's scratch area, which the stage has to itself, rather than on the stack, which
// in the URB path is a few kilobytes in all.
struct NetworkScratch {
    float values[2][4][kBlock];  // per channel the four block arrays of ChannelBlock
    float spare[kBlock];
    ChannelRun run[2];
    union {
        CombLanes lanes;      // SSE2
        FilteredLateJob job;  // wider vectors
    };
};
static_assert(kBlock == uint32_t{kWideMaxBlockFrames} &&
                  uint32_t{kSoundFieldMaxCombs} == uint32_t{kWideMaxCombs},
              "the wide steps take the network's blocks");
static_assert(sizeof(NetworkScratch) <= kSoundFieldScratchBytes, "the scratch area holds it");

// The combs with a low-pass in the loop, with the comb sum s, the early low-pass and the
// DC blocker of both channels. Each comb's filter is a recursion from frame to frame, so
// the block runs frame by frame with four combs to a vector. Four frames of a group are
// loaded and stored at once (each comb's ring holds them side by side) and turned across,
// and each frame steps every group of both channels before the next frame, so that the
// twenty-odd recursions overlap instead of waiting on each other. The block splits where
// any comb's ring wraps; lanes beyond the last comb run on a spare ring and are left out
// of the sum.
template <uint32_t P>
void FilteredLatePath(ChannelRun* run, float* work, uint32_t n, const ChannelBlock* block,
                      float* spare, CombLanes& lanes) {
    constexpr const SoundFieldStructureRow& S = kSoundFieldStructures[P - 1];
    constexpr uint32_t kCombs = S.combCount;
    constexpr uint32_t kGroups = (kCombs + 3) / 4;
    constexpr uint32_t kLanes = kGroups * 4;
    static_assert(kGroups <= kMaxCombGroups, "");

    auto& ring = lanes.ring;
    auto& slot = lanes.slot;
    auto& length = lanes.length;
    auto& left = lanes.left;
    auto& group = lanes.group;
    for (uint32_t ch = 0; ch < 2; ++ch) {
        const SoundFieldChannelLayout& layout = kSoundFieldLayouts[P - 1].channel[ch];
        float* const w1 = lanes.w1;
        float* const w2 = lanes.w2;
        float* const feedback = lanes.feedback;
        for (uint32_t i = 0; i < kLanes; ++i) {
            if (i < kCombs) {
                ring[ch][i] = work + layout.comb[i];
                length[ch][i] = S.combLength[i];
                slot[ch][i] = ring[ch][i] + run[ch].combPos[i];
                left[ch][i] = length[ch][i] - run[ch].combPos[i];
                w1[i] = run[ch].combW1[i];
                w2[i] = run[ch].combW2[i];
                feedback[i] = S.combFeedback[i];
            } else {
                ring[ch][i] = spare;
                length[ch][i] = kBlock;
                slot[ch][i] = spare;
                left[ch][i] = kBlock;
                w1[i] = w2[i] = feedback[i] = 0.0f;
            }
        }
        for (uint32_t g = 0; g < kGroups; ++g) {
            CombGroup& c = group[ch][g];
            c.w1 = _mm_load_ps(w1 + 4 * g);
            c.w2 = _mm_load_ps(w2 + 4 * g);
            c.feedback = _mm_load_ps(feedback + 4 * g);
            c.w1Low = LowHalf(c.w1);
            c.w1High = HighHalf(c.w1);
            c.w2Low = LowHalf(c.w2);
            c.w2High = HighHalf(c.w2);
        }
    }
    const __m128d b0 = _mm_set1_pd(S.combLowPass.b0);
    const __m128d a1 = _mm_set1_pd(S.combLowPass.a1);
    const __m128d a2 = _mm_set1_pd(S.combLowPass.a2);

    uint32_t t = 0;
    while (t < n) {
        uint32_t count = n - t;
        for (uint32_t ch = 0; ch < 2; ++ch)
            for (uint32_t i = 0; i < kLanes; ++i)
                count = Min(count, left[ch][i]);

        uint32_t j = 0;
        for (; j + 4 <= count; j += 4) {
            auto& rows = lanes.rows;
            __m128 us[2][4];
            for (uint32_t ch = 0; ch < 2; ++ch) {
                const __m128 u = _mm_loadu_ps(block[ch].combInput + t + j);
                us[ch][0] = _mm_shuffle_ps(u, u, _MM_SHUFFLE(0, 0, 0, 0));
                us[ch][1] = _mm_shuffle_ps(u, u, _MM_SHUFFLE(1, 1, 1, 1));
                us[ch][2] = _mm_shuffle_ps(u, u, _MM_SHUFFLE(2, 2, 2, 2));
                us[ch][3] = _mm_shuffle_ps(u, u, _MM_SHUFFLE(3, 3, 3, 3));
                __m128 sum = _mm_setzero_ps();
                for (uint32_t g = 0; g < kGroups; ++g) {
                    float* const* s = slot[ch] + 4 * g;
                    __m128 r0 = _mm_loadu_ps(s[0] + j);
                    __m128 r1 = _mm_loadu_ps(s[1] + j);
                    __m128 r2 = _mm_loadu_ps(s[2] + j);
                    __m128 r3 = _mm_loadu_ps(s[3] + j);
                    sum = _mm_add_ps(sum, r0);
                    if (4 * g + 1 < kCombs)
                        sum = _mm_add_ps(sum, r1);
                    if (4 * g + 2 < kCombs)
                        sum = _mm_add_ps(sum, r2);
                    if (4 * g + 3 < kCombs)
                        sum = _mm_add_ps(sum, r3);
                    _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
                    rows[ch][g][0] = r0;
                    rows[ch][g][1] = r1;
                    rows[ch][g][2] = r2;
                    rows[ch][g][3] = r3;
                }
                _mm_storeu_ps(block[ch].late + t + j, sum);
            }
            for (uint32_t k = 0; k < 4; ++k)
                for (uint32_t g = 0; g < kGroups; ++g)
                    for (uint32_t ch = 0; ch < 2; ++ch)
                        rows[ch][g][k] =
                            CombStep(group[ch][g], rows[ch][g][k], us[ch][k], b0, a1, a2);
            for (uint32_t ch = 0; ch < 2; ++ch) {
                for (uint32_t g = 0; g < kGroups; ++g) {
                    float* const* s = slot[ch] + 4 * g;
                    __m128 o0 = rows[ch][g][0], o1 = rows[ch][g][1], o2 = rows[ch][g][2],
                           o3 = rows[ch][g][3];
                    _MM_TRANSPOSE4_PS(o0, o1, o2, o3);
                    _mm_storeu_ps(s[0] + j, o0);
                    _mm_storeu_ps(s[1] + j, o1);
                    _mm_storeu_ps(s[2] + j, o2);
                    _mm_storeu_ps(s[3] + j, o3);
                }
            }
            for (uint32_t k = 0; k < 4; ++k) {
                EarlyFilterAndDcStep<P>(run[0], block[0], t + j + k);
                EarlyFilterAndDcStep<P>(run[1], block[1], t + j + k);
            }
        }
        for (; j < count; ++j) {
            for (uint32_t ch = 0; ch < 2; ++ch) {
                const __m128 u = _mm_set1_ps(block[ch].combInput[t + j]);
                float sum = 0.0f;
                for (uint32_t g = 0; g < kGroups; ++g) {
                    float* const* s = slot[ch] + 4 * g;
                    const float v[4] = {s[0][j], s[1][j], s[2][j], s[3][j]};
                    for (uint32_t k = 0; k < 4 && 4 * g + k < kCombs; ++k)
                        sum += v[k];
                    alignas(16) float next[4];
                    _mm_store_ps(next, CombStep(group[ch][g], _mm_set_ps(v[3], v[2], v[1], v[0]), u,
                                                b0, a1, a2));
                    for (uint32_t k = 0; k < 4; ++k)
                        s[k][j] = next[k];
                }
                block[ch].late[t + j] = sum;
            }
            EarlyFilterAndDcStep<P>(run[0], block[0], t + j);
            EarlyFilterAndDcStep<P>(run[1], block[1], t + j);
        }

        for (uint32_t ch = 0; ch < 2; ++ch) {
            for (uint32_t i = 0; i < kLanes; ++i) {
                slot[ch][i] += count;
                left[ch][i] -= count;
                if (left[ch][i] == 0) {
                    slot[ch][i] = ring[ch][i];
                    left[ch][i] = length[ch][i];
                }
            }
        }
        t += count;
    }

    for (uint32_t ch = 0; ch < 2; ++ch) {
        for (uint32_t g = 0; g < kGroups; ++g) {
            _mm_store_ps(lanes.w1 + 4 * g, group[ch][g].w1);
            _mm_store_ps(lanes.w2 + 4 * g, group[ch][g].w2);
        }
        for (uint32_t i = 0; i < kCombs; ++i) {
            run[ch].combPos[i] = static_cast<uint32_t>(slot[ch][i] - ring[ch][i]);
            run[ch].combW1[i] = lanes.w1[i];
            run[ch].combW2[i] = lanes.w2[i];
        }
    }
}

// The same late path on wider vectors (wide_vectors.h): the job takes the comb positions
// and every filter state of the late path over for the transfer and gives them back at its
// end.
template <uint32_t P>
void StartWideLatePath(const ChannelRun* run, float* work, const ChannelBlock* block,
                       FilteredLateJob& job) {
    constexpr const SoundFieldStructureRow& S = kSoundFieldStructures[P - 1];
    constexpr uint32_t kCombs = S.combCount;
    job.combsPerChannel = kCombs;
    job.negligible = kNegligible;
    job.combLowPass = {S.combLowPass.b0, S.combLowPass.a1, S.combLowPass.a2};
    job.earlyLowPass = {S.earlyLowPass.b0, S.earlyLowPass.a1, S.earlyLowPass.a2};
    for (uint32_t ch = 0; ch < 2; ++ch) {
        const SoundFieldChannelLayout& layout = kSoundFieldLayouts[P - 1].channel[ch];
        for (uint32_t i = 0; i < kCombs; ++i) {
            const uint32_t lane = ch * kCombs + i;
            job.ring[lane] = work + layout.comb[i];
            job.length[lane] = S.combLength[i];
            job.position[lane] = run[ch].combPos[i];
            job.feedback[lane] = S.combFeedback[i];
            job.w1[lane] = run[ch].combW1[i];
            job.w2[lane] = run[ch].combW2[i];
        }
        job.earlyW1[ch] = run[ch].earlyW1;
        job.earlyW2[ch] = run[ch].earlyW2;
        job.combInput[ch] = block[ch].combInput;
        job.early[ch] = block[ch].early;
        job.late[ch] = block[ch].late;
        job.dcInputPrev[ch] = run[ch].dcInputPrev;
        job.dcDeltaPrev[ch] = run[ch].dcDeltaPrev;
        job.dcHold[ch] = run[ch].dcHold;
    }
}

template <uint32_t P>
void FinishWideLatePath(const FilteredLateJob& job, ChannelRun* run) {
    constexpr uint32_t kCombs = kSoundFieldStructures[P - 1].combCount;
    for (uint32_t ch = 0; ch < 2; ++ch) {
        for (uint32_t i = 0; i < kCombs; ++i) {
            const uint32_t lane = ch * kCombs + i;
            run[ch].combPos[i] = job.position[lane];
            run[ch].combW1[i] = job.w1[lane];
            run[ch].combW2[i] = job.w2[lane];
        }
        run[ch].earlyW1 = job.earlyW1[ch];
        run[ch].earlyW2 = job.earlyW2[ch];
        run[ch].dcInputPrev = job.dcInputPrev[ch];
        run[ch].dcDeltaPrev = job.dcDeltaPrev[ch];
        run[ch].dcHold = job.dcHold[ch];
    }
}

template <uint32_t P, uint32_t Ch>
inline float FinalFilter(ChannelRun& r, float a) {
    using K = Shape<P, Ch>;
    if constexpr (K::S.finalKind == SoundFieldFinal::kLowPass) {
        return LowPass(K::S.finalFilter, a, r.finalW1, r.finalW2);
    } else if constexpr (K::S.finalKind == SoundFieldFinal::kFirstOrder) {
        const float w = FlushNegligible(
            static_cast<float>(K::S.finalFilter.b0 * a + K::S.finalFilter.a1 * r.finalW1));
        const float late = w + r.finalW1;
        r.finalW1 = w;
        return late;
    } else {
        return a;
    }
}

// All-pass i of one channel over four frames of the block from frame t (or fewer, at the
// block's end), a vector at a time where none of the frames' slots wraps round its ring.
// start is the all-pass's position at the block's start; a block is shorter than every
// all-pass ring, so frame t's slot is start + t, less one ring length at most.
template <uint32_t P, uint32_t Ch>
inline void AllPassStep(float* work, uint32_t i, uint32_t start, uint32_t t, uint32_t count,
                        const ChannelBlock& block) {
    using K = Shape<P, Ch>;
    float* const a = block.late + t;
    float* const ring = work + K::L.allPass[i];
    const uint32_t length = K::S.allPassLength[i];
    uint32_t p = start + t >= length ? start + t - length : start + t;
    if (count == 4 && p + 4 <= length) {
        const __m128d gain = _mm_set1_pd(0.6);
        const __m128 v = _mm_loadu_ps(ring + p);
        const __m128 in = _mm_loadu_ps(a);
        const __m128d inLow = LowHalf(in);
        const __m128d inHigh = HighHalf(in);
        const __m128 y = Narrow(_mm_sub_pd(LowHalf(v), _mm_mul_pd(gain, inLow)),
                                _mm_sub_pd(HighHalf(v), _mm_mul_pd(gain, inHigh)));
        const __m128 stored = Narrow(_mm_add_pd(_mm_mul_pd(LowHalf(y), gain), inLow),
                                     _mm_add_pd(_mm_mul_pd(HighHalf(y), gain), inHigh));
        _mm_storeu_ps(ring + p, FlushNegligible4(stored));
        _mm_storeu_ps(a, y);
    } else {
        for (uint32_t j = 0; j < count; ++j) {
            const float v = ring[p];
            const float y = static_cast<float>(v - 0.6 * a[j]);
            ring[p] = FlushNegligible(static_cast<float>(y * 0.6 + a[j]));
            a[j] = y;
            p = p + 1 == length ? 0 : p + 1;
        }
    }
}

// The all-pass chains and final filters of both channels over the block. A frame's
// all-passes read only ring values written at least 263 frames earlier, so the chain runs
// as a wavefront over runs of four frames: in each step all-pass i takes run s - i, and the
// final filter the run that has passed every all-pass. A step's all-passes are independent
// of each other, and the final filters' frame-to-frame recursion runs alongside them,
// instead of each run waiting for its own chain of all-passes. Every frame still passes
// the all-passes in order and then the filter, with the same operations.
template <uint32_t P>
void AllPassesAndFinalFilters(ChannelRun* run, float* work, uint32_t n, const ChannelBlock* block) {
    constexpr const SoundFieldStructureRow& S = kSoundFieldStructures[P - 1];
    constexpr uint32_t kAllPasses = S.allPassCount;
    uint32_t start[2][kAllPasses];
    for (uint32_t ch = 0; ch < 2; ++ch)
        for (uint32_t i = 0; i < kAllPasses; ++i)
            start[ch][i] = run[ch].allPassPos[i];
    const uint32_t runs = (n + 3) / 4;
    for (uint32_t s = 0; s < runs + kAllPasses; ++s) {
        // The final filters' four frames are spread among the step's all-passes, so that
        // each frame's recursion has independent work around it to run beside.
        const uint32_t filtered = s - kAllPasses;
        const uint32_t filteredCount = s >= kAllPasses ? Min(4, n - 4 * filtered) : 0;
#pragma GCC unroll 8
        for (uint32_t i = 0; i < kAllPasses; ++i) {
            if (s >= i && s - i < runs) {
                const uint32_t t = 4 * (s - i);
                const uint32_t count = Min(4, n - t);
                AllPassStep<P, 0>(work, i, start[0][i], t, count, block[0]);
                AllPassStep<P, 1>(work, i, start[1][i], t, count, block[1]);
            }
            if constexpr (S.finalKind != SoundFieldFinal::kNone) {
                // Frame j of the run after all-pass (j + 1) * count / 4 - 1.
                for (uint32_t j = i * 4 / kAllPasses; j < (i + 1) * 4 / kAllPasses; ++j) {
                    if (j < filteredCount) {
                        const uint32_t k = 4 * filtered + j;
                        block[0].late[k] = FinalFilter<P, 0>(run[0], block[0].late[k]);
                        block[1].late[k] = FinalFilter<P, 1>(run[1], block[1].late[k]);
                    }
                }
            }
        }
    }
    for (uint32_t ch = 0; ch < 2; ++ch) {
        for (uint32_t i = 0; i < kAllPasses; ++i) {
            const uint32_t next = start[ch][i] + n;
            run[ch].allPassPos[i] = next >= S.allPassLength[i] ? next - S.allPassLength[i] : next;
        }
    }
}

template <uint32_t P, uint32_t Ch>
inline void MixOutput(uint8_t* frame, uint32_t t, const ChannelBlock& block) {
    using K = Shape<P, Ch>;
    const float late = block.late[t];
    float dry;
    if constexpr (K::S.dryFromMixed)
        dry = static_cast<float>(K::S.dryGain * block.mixed[t]);
    else
        dry = static_cast<float>(K::S.dryGain * LoadSample(frame + K::kOwn));
    StoreSample(frame + K::kOwn, SaturateTruncate(block.early[t] + dry + late));
}

// out = e + dry + late of one channel, for four frames: dry in double, stored as float, as
// the frame-by-frame code computes it; x is the channel's input sample of each frame.
template <uint32_t P, uint32_t Ch>
inline __m128 MixedOutput4(const ChannelBlock& block, uint32_t t, __m128i x) {
    using K = Shape<P, Ch>;
    const __m128d gain = _mm_set1_pd(K::S.dryGain);
    const __m128 source = K::S.dryFromMixed ? _mm_loadu_ps(block.mixed + t) : _mm_cvtepi32_ps(x);
    const __m128 dry =
        Narrow(_mm_mul_pd(gain, LowHalf(source)), _mm_mul_pd(gain, HighHalf(source)));
    return _mm_add_ps(_mm_add_ps(_mm_loadu_ps(block.early + t), dry), _mm_loadu_ps(block.late + t));
}

// SaturateTruncate on four lanes: a NaN gives 0, the rest is clamped to the 16-bit range
// and truncated toward zero.
inline __m128i SaturateTruncate4(__m128 value) {
    const __m128 numbers = _mm_and_ps(value, _mm_cmpord_ps(value, value));
    const __m128 clamped =
        _mm_max_ps(_mm_min_ps(numbers, _mm_set1_ps(32767.0f)), _mm_set1_ps(-32768.0f));
    return _mm_cvttps_epi32(clamped);
}

// Both channels' outputs of the block into the frames, four frames to a vector. The final
// filters have run; each channel's dry signal reads its own input, still in the frame.
template <uint32_t P>
void MixOutputs(uint8_t* bytes, uint32_t n, const ChannelBlock* block) {
    uint32_t t = 0;
    for (; t + 4 <= n; t += 4) {
        const __m128i frames = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 4 * t));
        const __m128i left = _mm_srai_epi32(_mm_slli_epi32(frames, 16), 16);
        const __m128i right = _mm_srai_epi32(frames, 16);
        const __m128i outLeft = SaturateTruncate4(MixedOutput4<P, 0>(block[0], t, left));
        const __m128i outRight = SaturateTruncate4(MixedOutput4<P, 1>(block[1], t, right));
        const __m128i packed = _mm_or_si128(_mm_and_si128(outLeft, _mm_set1_epi32(0xffff)),
                                            _mm_slli_epi32(outRight, 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + 4 * t), packed);
    }
    for (; t < n; ++t) {
        MixOutput<P, 0>(bytes + 4 * t, t, block[0]);
        MixOutput<P, 1>(bytes + 4 * t, t, block[1]);
    }
}

template <uint32_t P>
void RunPreset(EffectState* state, uint8_t* buffer, uint32_t frames) {
    float* const work = state->SoundFieldWork;
    uint32_t* const positions = state->SoundFieldPositions;
    NetworkScratch& scratch = *new (state->SoundFieldScratch) NetworkScratch;
    const ChannelBlock block[2] = {
        {scratch.values[0][0], scratch.values[0][1], scratch.values[0][2], scratch.values[0][3]},
        {scratch.values[1][0], scratch.values[1][1], scratch.values[1][2], scratch.values[1][3]},
    };
    float* const spare = scratch.spare;
    ChannelRun* const run = scratch.run;
    LoadChannel<P, 0>(work, positions, state->SoundFieldParams->Channel[0], &run[0]);
    LoadChannel<P, 1>(work, positions, state->SoundFieldParams->Channel[1], &run[1]);
    constexpr bool kFilteredCombs = kSoundFieldStructures[P - 1].combLowPassed;
    const WideVectorSteps* const vectors = ActiveWideVectorSteps();
    const WideVectorSteps* const wide = kFilteredCombs ? vectors : nullptr;
    if (wide != nullptr)
        StartWideLatePath<P>(run, work, block, scratch.job);

    for (uint32_t start = 0; start < frames; start += kBlock) {
        const uint32_t n = Min(kBlock, frames - start);
        uint8_t* const bytes = buffer + 4 * start;

        MixInput<P, 0>(run[0], work, bytes, n, block[0]);
        MixInput<P, 1>(run[1], work, bytes, n, block[1]);
        EarlyTaps<P, 0>(run[0], work, n, block[0], vectors);
        EarlyTaps<P, 1>(run[1], work, n, block[1], vectors);
        ReadPreDelay<P, 0>(run[0], work, n, block[0]);
        ReadPreDelay<P, 1>(run[1], work, n, block[1]);
        if constexpr (kFilteredCombs) {
            if (wide != nullptr) {
                scratch.job.frames = n;
                wide->FilteredLate(&scratch.job);
            } else {
                FilteredLatePath<P>(run, work, n, block, spare, scratch.lanes);
            }
        } else {
            PlainCombs<P, 0>(run[0], work, n, block[0]);
            PlainCombs<P, 1>(run[1], work, n, block[1]);
            EarlyFilterAndDcBlocker<P>(run, n, block);
        }
        StorePreDelay<P, 0>(run[0], work, n, block[0]);
        StorePreDelay<P, 1>(run[1], work, n, block[1]);
        AllPassesAndFinalFilters<P>(run, work, n, block);
        MixOutputs<P>(bytes, n, block);
        StoreLeftOutputForRight<P>(run[1], work, bytes, n);
    }

    if (wide != nullptr)
        FinishWideLatePath<P>(scratch.job, run);
    StoreChannel<P, 0>(run[0], work, positions);
    StoreChannel<P, 1>(run[1], work, positions);
}

}  // namespace

void RunSoundFieldFrames(EffectState* state, uint32_t type, uint8_t* buffer, uint32_t frames) {
    switch (type) {
        case 1:
            RunPreset<1>(state, buffer, frames);
            break;
        case 2:
            RunPreset<2>(state, buffer, frames);
            break;
        case 3:
            RunPreset<3>(state, buffer, frames);
            break;
        case 4:
            RunPreset<4>(state, buffer, frames);
            break;
        default:
            break;
    }
}

void RunSoundField(EffectState* state, uint32_t type, int16_t* left, int16_t* right) {
    uint8_t frame[4];
    StoreSample(frame, *left);
    StoreSample(frame + 2, *right);
    RunSoundFieldFrames(state, type, frame, 1);
    *left = LoadSample(frame);
    *right = LoadSample(frame + 2);
}

float TapDelayLine(float input, float* ring, uint32_t ringLength, uint32_t* position,
                   const SoundFieldTap* taps) {
    const uint32_t current = *position;
    float sum = 0.0f;
    for (uint32_t tap = 0; tap < kSoundFieldTapCount; ++tap)
        sum += ring[(current + taps[tap].DelaySamples - 1) % ringLength] * taps[tap].Gain;
    const uint32_t next = (ringLength + current - 1) % ringLength;
    ring[next] = input;
    *position = next;
    return sum;
}
