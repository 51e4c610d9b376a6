// The equalizer's transform: a radix-2 complex FFT in single precision whose twiddle factors
// come from a trigonometric recurrence in double precision, with bit-reversal index tables.
//
// The recurrence restarts at every block start of a stage and so produces, for each stage,
// the same sequence of twiddle values over and over. The tables below hold that sequence,
// computed once by exactly the operations the recurrence performs; the transform reads them
// instead of re-running the recurrence and gives the very same bits. Sizes the tables do not
// cover, or a transform before the tables exist, run the recurrence itself.
#include "effect_math.h"
#include "equalizer.h"
#include "shared_access.h"
#include "wide_vectors.h"

namespace {

constexpr uint32_t kBitReverseMaxBits = 16;
constexpr uint32_t kBitReverseEntries = (2u << kBitReverseMaxBits) - 2;  // 131070

// Twiddle tables cover the stages of block size 2 up to this; a stage of half size h starts
// at entry h - 1, so the stages fill 1 + 2 + ... + 1024 = 2047 entries.
constexpr uint32_t kTwiddleMaxBlock = 2048;
constexpr uint32_t kTwiddleEntries = kTwiddleMaxBlock - 1;

enum : uint32_t { kTablesEmpty = 0, kTablesBuilding = 1, kTablesReady = 2 };

// Static storage, so nothing is allocated: 512 KB of indices, 64 KB of twiddles. A single
// build fills them before the first stream of the first device; readers check the state.
uint32_t g_tablesState = kTablesEmpty;
int32_t g_bitReverse[kBitReverseEntries];
uint32_t g_bitReverseStart[kBitReverseMaxBits];  // entry m - 1: start of the m-bit table
double g_twiddleReal[2][kTwiddleEntries];        // [inverse][h - 1 + j]
double g_twiddleImag[2][kTwiddleEntries];

uint32_t ReverseBits(uint32_t value, uint32_t bits) {
    uint32_t reversed = 0;
    for (uint32_t bit = 0; bit < bits; ++bit) {
        reversed = (reversed << 1) | (value & 1u);
        value >>= 1;
    }
    return reversed;
}

// The constants of one stage's recurrence.
struct StageRecurrence {
    double sm2, sm1, cm2, cm1, w;
};

StageRecurrence StageConstants(bool inverse, uint32_t blockSize) {
    const double numerator = inverse ? -2.0 * kEffectPi : 2.0 * kEffectPi;
    const double delta = numerator / blockSize;
    StageRecurrence r;
    r.sm2 = EffectSin(-2 * delta);
    r.sm1 = EffectSin(-delta);
    r.cm2 = EffectCos(-2 * delta);
    r.cm1 = EffectCos(-delta);
    r.w = 2 * r.cm1;
    return r;
}

// Two lanes of double: the butterflies of neighbouring j are independent and each lane does
// exactly the scalar operations, so the pairs give the same bits as one at a time.
typedef double Double2 __attribute__((vector_size(16)));

inline Double2 LoadWidened(const float* p) {
    return Double2{p[0], p[1]};
}

inline Double2 LoadPair(const double* p) {
    Double2 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

inline void StoreNarrowed(float* p, Double2 v) {
    p[0] = static_cast<float>(v[0]);
    p[1] = static_cast<float>(v[1]);
}

// The butterflies of one block start, with the stage's twiddle values given. The sums and
// differences are taken in double (tr and ti are double) and stored as float.
inline void Butterflies(float* realK, float* imagK, uint32_t half, const double* twiddleReal,
                        const double* twiddleImag) {
    float* realM = realK + half;
    float* imagM = imagK + half;
    uint32_t j = 0;
    for (; j + 2 <= half; j += 2) {
        const Double2 ar0 = LoadPair(twiddleReal + j);
        const Double2 ai0 = LoadPair(twiddleImag + j);
        const Double2 rm = LoadWidened(realM + j);
        const Double2 im = LoadWidened(imagM + j);
        const Double2 rk = LoadWidened(realK + j);
        const Double2 ik = LoadWidened(imagK + j);
        const Double2 tr = ar0 * rm - ai0 * im;
        const Double2 ti = ar0 * im + ai0 * rm;
        StoreNarrowed(realM + j, rk - tr);
        StoreNarrowed(imagM + j, ik - ti);
        StoreNarrowed(realK + j, rk + tr);
        StoreNarrowed(imagK + j, ik + ti);
    }
    for (; j < half; ++j) {
        const double ar0 = twiddleReal[j];
        const double ai0 = twiddleImag[j];
        const double tr = ar0 * realM[j] - ai0 * imagM[j];
        const double ti = ar0 * imagM[j] + ai0 * realM[j];
        realM[j] = static_cast<float>(realK[j] - tr);
        imagM[j] = static_cast<float>(imagK[j] - ti);
        realK[j] = static_cast<float>(realK[j] + tr);
        imagK[j] = static_cast<float>(imagK[j] + ti);
    }
}

// The last stage when only the real output is wanted: the real results take exactly the
// operations of Butterflies; the imaginary ones are not computed, so the imaginary output
// keeps the previous stage's values.
inline void RealButterflies(float* realK, const float* imagK, uint32_t half,
                            const double* twiddleReal, const double* twiddleImag) {
    float* realM = realK + half;
    const float* imagM = imagK + half;
    uint32_t j = 0;
    for (; j + 2 <= half; j += 2) {
        const Double2 ar0 = LoadPair(twiddleReal + j);
        const Double2 ai0 = LoadPair(twiddleImag + j);
        const Double2 rm = LoadWidened(realM + j);
        const Double2 im = LoadWidened(imagM + j);
        const Double2 rk = LoadWidened(realK + j);
        const Double2 tr = ar0 * rm - ai0 * im;
        StoreNarrowed(realM + j, rk - tr);
        StoreNarrowed(realK + j, rk + tr);
    }
    for (; j < half; ++j) {
        const double tr = twiddleReal[j] * realM[j] - twiddleImag[j] * imagM[j];
        realM[j] = static_cast<float>(realK[j] - tr);
        realK[j] = static_cast<float>(realK[j] + tr);
    }
}

// The first stage (half size 1) has one butterfly per block start and a single twiddle
// value: pairs of neighbouring block starts share the two lanes instead.
void FirstStagePairs(uint32_t n, float* realOut, float* imagOut, double twiddleReal,
                     double twiddleImag) {
    const Double2 ar0 = {twiddleReal, twiddleReal};
    const Double2 ai0 = {twiddleImag, twiddleImag};
    uint32_t start = 0;
    for (; start + 4 <= n; start += 4) {
        const Double2 rk = {realOut[start], realOut[start + 2]};
        const Double2 ik = {imagOut[start], imagOut[start + 2]};
        const Double2 rm = {realOut[start + 1], realOut[start + 3]};
        const Double2 im = {imagOut[start + 1], imagOut[start + 3]};
        const Double2 tr = ar0 * rm - ai0 * im;
        const Double2 ti = ar0 * im + ai0 * rm;
        const Double2 rmOut = rk - tr, imOut = ik - ti, rkOut = rk + tr, ikOut = ik + ti;
        realOut[start + 1] = static_cast<float>(rmOut[0]);
        realOut[start + 3] = static_cast<float>(rmOut[1]);
        imagOut[start + 1] = static_cast<float>(imOut[0]);
        imagOut[start + 3] = static_cast<float>(imOut[1]);
        realOut[start] = static_cast<float>(rkOut[0]);
        realOut[start + 2] = static_cast<float>(rkOut[1]);
        imagOut[start] = static_cast<float>(ikOut[0]);
        imagOut[start + 2] = static_cast<float>(ikOut[1]);
    }
    for (; start < n; start += 2)
        Butterflies(realOut + start, imagOut + start, 1, &twiddleReal, &twiddleImag);
}

// The bit-reversed copy and the first stage in one pass: output pair (k, k + 1), k even,
// holds inputs rev(k) and rev(k) + n/2, so each pair is read straight from the input and the
// outputs are written once, in order. The same values meet the same operations as in the
// copy followed by FirstStagePairs (a missing imaginary input is +0, as the copy stores it).
void ReversedFirstStagePairs(uint32_t n, const int32_t* reverse, const float* realIn,
                             const float* imagIn, float* realOut, float* imagOut,
                             double twiddleReal, double twiddleImag) {
    const Double2 ar0 = {twiddleReal, twiddleReal};
    const Double2 ai0 = {twiddleImag, twiddleImag};
    const uint32_t halfN = n / 2;
    for (uint32_t start = 0; start < n; start += 4) {
        const uint32_t a = static_cast<uint32_t>(reverse[start]);
        const uint32_t b = static_cast<uint32_t>(reverse[start + 2]);
        const Double2 rk = {realIn[a], realIn[b]};
        const Double2 rm = {realIn[a + halfN], realIn[b + halfN]};
        Double2 ik = {0.0, 0.0};
        Double2 im = {0.0, 0.0};
        if (imagIn != nullptr) {
            ik = Double2{imagIn[a], imagIn[b]};
            im = Double2{imagIn[a + halfN], imagIn[b + halfN]};
        }
        const Double2 tr = ar0 * rm - ai0 * im;
        const Double2 ti = ar0 * im + ai0 * rm;
        const Double2 rmOut = rk - tr, imOut = ik - ti, rkOut = rk + tr, ikOut = ik + ti;
        realOut[start] = static_cast<float>(rkOut[0]);
        realOut[start + 1] = static_cast<float>(rmOut[0]);
        realOut[start + 2] = static_cast<float>(rkOut[1]);
        realOut[start + 3] = static_cast<float>(rmOut[1]);
        imagOut[start] = static_cast<float>(ikOut[0]);
        imagOut[start + 1] = static_cast<float>(imOut[0]);
        imagOut[start + 2] = static_cast<float>(ikOut[1]);
        imagOut[start + 3] = static_cast<float>(imOut[1]);
    }
}

// A stage the tables do not cover: the recurrence, restarted at every block start.
void RecurrenceStage(bool inverse, uint32_t n, uint32_t blockSize, float* realOut, float* imagOut) {
    const StageRecurrence c = StageConstants(inverse, blockSize);
    const uint32_t half = blockSize / 2;
    for (uint32_t start = 0; start < n; start += blockSize) {
        double ar2 = c.cm2, ar1 = c.cm1, ai2 = c.sm2, ai1 = c.sm1;
        for (uint32_t j = 0; j < half; ++j) {
            const double ar0 = c.w * ar1 - ar2;
            ar2 = ar1;
            ar1 = ar0;
            const double ai0 = c.w * ai1 - ai2;
            ai2 = ai1;
            ai1 = ai0;
            const uint32_t k = start + j;
            const uint32_t m = k + half;
            const double tr = ar0 * realOut[m] - ai0 * imagOut[m];
            const double ti = ar0 * imagOut[m] + ai0 * realOut[m];
            realOut[m] = static_cast<float>(realOut[k] - tr);
            imagOut[m] = static_cast<float>(imagOut[k] - ti);
            realOut[k] = static_cast<float>(realOut[k] + tr);
            imagOut[k] = static_cast<float>(imagOut[k] + ti);
        }
    }
}

// One stage's twiddle sequence, run through the recurrence once.
void FillTwiddles(bool inverse, uint32_t blockSize, double* twiddleReal, double* twiddleImag) {
    const StageRecurrence c = StageConstants(inverse, blockSize);
    double ar2 = c.cm2, ar1 = c.cm1, ai2 = c.sm2, ai1 = c.sm1;
    for (uint32_t j = 0; j < blockSize / 2; ++j) {
        const double ar0 = c.w * ar1 - ar2;
        ar2 = ar1;
        ar1 = ar0;
        const double ai0 = c.w * ai1 - ai2;
        ai2 = ai1;
        ai1 = ai0;
        twiddleReal[j] = ar0;
        twiddleImag[j] = ai0;
    }
}

uint32_t Log2OfPowerOfTwo(uint32_t n) {
    uint32_t bits = 0;
    while ((1u << bits) < n)
        ++bits;
    return bits;
}

}  // namespace

void BuildBitReverseTables() {
    // The first caller builds; later calls (every further device) find the tables in place.
    if (!CompareExchange32(g_tablesState, kTablesEmpty, kTablesBuilding))
        return;
    for (uint32_t bits = 1; bits <= kBitReverseMaxBits; ++bits) {
        const uint32_t start = (1u << bits) - 2;
        g_bitReverseStart[bits - 1] = start;
        for (uint32_t j = 0; j < (1u << bits); ++j)
            g_bitReverse[start + j] = static_cast<int32_t>(ReverseBits(j, bits));
    }
    for (uint32_t direction = 0; direction < 2; ++direction) {
        for (uint32_t blockSize = 2; blockSize <= kTwiddleMaxBlock; blockSize *= 2) {
            const uint32_t offset = blockSize / 2 - 1;
            FillTwiddles(direction != 0, blockSize, g_twiddleReal[direction] + offset,
                         g_twiddleImag[direction] + offset);
        }
    }
    BuildHannWindowTable();
    StoreOrdered(g_tablesState, kTablesReady);
}

const int32_t* BitReverseTable(uint32_t bits) {
    if (bits < 1 || bits > kBitReverseMaxBits || LoadOrdered(g_tablesState) != kTablesReady)
        return nullptr;
    return g_bitReverse + g_bitReverseStart[bits - 1];
}

namespace {

// The transform; scaleImag false leaves the inverse's imaginary output as scratch (its last
// stage on the SSE2 path not even computed), for callers that need the real output alone.
void Transform(uint32_t n, bool inverse, bool scaleImag, const float* realIn, const float* imagIn,
               float* realOut, float* imagOut) {
    if (n == 0 || (n & (n - 1)) != 0)
        return;
    const bool tablesReady = LoadOrdered(g_tablesState) == kTablesReady;
    const uint32_t bits = Log2OfPowerOfTwo(n);

    const uint32_t direction = inverse ? 1 : 0;
    const WideVectorSteps* const wide = ActiveWideVectorSteps();
    uint32_t firstBlockSize = 2;
    if (wide != nullptr && tablesReady && n >= 8 * wide->doubleLanes && n <= kTwiddleMaxBlock) {
        wide->TransformFirstStages(n, BitReverseTable(bits - 3), realIn, imagIn, realOut, imagOut,
                                   g_twiddleReal[direction], g_twiddleImag[direction]);
        firstBlockSize = 16;
    } else if (tablesReady && n >= 4 && n <= kTwiddleMaxBlock) {
        ReversedFirstStagePairs(n, BitReverseTable(bits), realIn, imagIn, realOut, imagOut,
                                g_twiddleReal[direction][0], g_twiddleImag[direction][0]);
        firstBlockSize = 4;
    } else {
        const int32_t* reverse = tablesReady ? BitReverseTable(bits) : nullptr;
        for (uint32_t j = 0; j < n; ++j) {
            const uint32_t target =
                reverse != nullptr ? static_cast<uint32_t>(reverse[j]) : ReverseBits(j, bits);
            realOut[target] = realIn[j];
            imagOut[target] = imagIn != nullptr ? imagIn[j] : 0.0f;
        }
    }
    for (uint32_t blockSize = firstBlockSize; blockSize <= n; blockSize *= 2) {
        const uint32_t half = blockSize / 2;
        if (!tablesReady || blockSize > kTwiddleMaxBlock) {
            RecurrenceStage(inverse, n, blockSize, realOut, imagOut);
            continue;
        }
        const double* twiddleReal = g_twiddleReal[direction] + (half - 1);
        const double* twiddleImag = g_twiddleImag[direction] + (half - 1);
        if (half == 1) {
            FirstStagePairs(n, realOut, imagOut, twiddleReal[0], twiddleImag[0]);
            continue;
        }
        if (wide != nullptr && half >= wide->doubleLanes) {
            wide->TransformStage(n, half, twiddleReal, twiddleImag, realOut, imagOut);
            continue;
        }
        if (!scaleImag && blockSize == n) {
            RealButterflies(realOut, imagOut, half, twiddleReal, twiddleImag);
            continue;
        }
        for (uint32_t start = 0; start < n; start += blockSize)
            Butterflies(realOut + start, imagOut + start, half, twiddleReal, twiddleImag);
    }

    if (inverse) {
        // 1/n is a power of two, so the double product rounds to the same float that a float
        // product would give.
        const double scale = 1.0 / n;
        for (uint32_t i = 0; i < n; ++i)
            realOut[i] = static_cast<float>(realOut[i] * scale);
        if (scaleImag) {
            for (uint32_t i = 0; i < n; ++i)
                imagOut[i] = static_cast<float>(imagOut[i] * scale);
        }
    }
}

}  // namespace

void FftFloat(uint32_t n, bool inverse, const float* realIn, const float* imagIn, float* realOut,
              float* imagOut) {
    Transform(n, inverse, true, realIn, imagIn, realOut, imagOut);
}

void InverseFftRealPart(uint32_t n, const float* realIn, const float* imagIn, float* realOut,
                        float* scratch) {
    Transform(n, true, false, realIn, imagIn, realOut, scratch);
}
