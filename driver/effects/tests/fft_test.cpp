// The transform and the window: what they compute, and that the engine's table-driven code
// gives the same bits as the plain transcription in reference_equalizer.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "equalizer.h"
#include "reference_equalizer.h"
#include "vector_widths.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

class TransformTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { BuildBitReverseTables(); }
};

// Same float, or both NaN: a NaN's payload depends on operand order, which the compiler may
// choose differently for the same arithmetic, and every NaN leaves the stage as 0.
bool SameBits(float a, float b) {
    if (std::isnan(a) && std::isnan(b))
        return true;
    uint32_t x, y;
    std::memcpy(&x, &a, 4);
    std::memcpy(&y, &b, 4);
    return x == y;
}

std::vector<float> RandomFloats(std::mt19937& rng, size_t n, float scale) {
    std::uniform_real_distribution<float> dist(-scale, scale);
    std::vector<float> v(n);
    for (auto& x : v)
        x = dist(rng);
    return v;
}

TEST_F(TransformTest, ForwardTransformIsTheDiscreteTransformWithPositiveExponent) {
    // The twiddle recurrence starts from sin(-delta) and steps to sin(+j delta), so the
    // forward kernel is exp(+i 2 pi k t / n): a tone at +3 lands in bin n - 3. The equalizer
    // does not care, since bin k and bin n - k share one gain.
    std::mt19937 rng(7);
    for (uint32_t n : {2u, 8u, 64u, 2048u}) {
        const std::vector<float> re = RandomFloats(rng, n, 1000.0f);
        const std::vector<float> im = RandomFloats(rng, n, 1000.0f);
        std::vector<float> outRe(n), outIm(n);
        FftFloat(n, false, re.data(), im.data(), outRe.data(), outIm.data());
        double worst = 0.0;
        for (uint32_t k = 0; k < n; ++k) {
            std::complex<double> sum = 0.0;
            for (uint32_t t = 0; t < n; ++t) {
                const double angle = 2.0 * kPi * ((static_cast<uint64_t>(k) * t) % n) / n;
                sum += std::complex<double>(re[t], im[t]) * std::polar(1.0, angle);
            }
            worst = std::max(worst, std::abs(sum - std::complex<double>(outRe[k], outIm[k])));
        }
        // Float rounding over log2(n) stages of sums of up to n terms of 1000.
        EXPECT_LT(worst, 1000.0 * n * 1e-6) << "n " << n;
    }
}

TEST_F(TransformTest, SizesBeyondTheTablesUseDirectReversalAndTheRecurrence) {
    // 2^17 points: no bit-reversal table, and stages above the twiddle tables. An impulse at
    // t0 has the closed-form spectrum exp(+i 2 pi k t0 / n).
    const uint32_t n = 1u << 17;
    const uint32_t t0 = 12345;
    std::vector<float> re(n, 0.0f), outRe(n), outIm(n);
    re[t0] = 1.0f;
    FftFloat(n, false, re.data(), nullptr, outRe.data(), outIm.data());
    for (uint32_t k = 0; k < n; k += 97) {
        const double angle = 2.0 * kPi * ((static_cast<uint64_t>(k) * t0) % n) / n;
        EXPECT_NEAR(outRe[k], std::cos(angle), 1e-4) << k;
        EXPECT_NEAR(outIm[k], std::sin(angle), 1e-4) << k;
    }
}

TEST_F(TransformTest, SizeThatIsNotAPowerOfTwoLeavesTheOutputsAlone) {
    std::vector<float> in(12, 1.0f), outRe(12, 5.0f), outIm(12, 5.0f);
    FftFloat(12, false, in.data(), nullptr, outRe.data(), outIm.data());
    FftFloat(0, true, in.data(), nullptr, outRe.data(), outIm.data());
    EXPECT_EQ(outRe, std::vector<float>(12, 5.0f));
    EXPECT_EQ(outIm, std::vector<float>(12, 5.0f));
}

TEST_F(TransformTest, BitReverseTablesReverseTheLowBits) {
    const int32_t* three = BitReverseTable(3);
    ASSERT_NE(three, nullptr);
    EXPECT_EQ(std::vector<int32_t>(three, three + 8),
              (std::vector<int32_t>{0, 4, 2, 6, 1, 5, 3, 7}));
    for (uint32_t bits = 1; bits <= 16; ++bits) {
        const int32_t* table = BitReverseTable(bits);
        ASSERT_NE(table, nullptr);
        const uint32_t size = 1u << bits;
        EXPECT_EQ(table[1], static_cast<int32_t>(size / 2)) << bits;
        EXPECT_EQ(table[size - 1], static_cast<int32_t>(size - 1)) << bits;
        for (uint32_t j = 0; j < size; j += 37)
            EXPECT_EQ(table[table[j]], static_cast<int32_t>(j)) << bits;
    }
    EXPECT_EQ(BitReverseTable(0), nullptr);
    EXPECT_EQ(BitReverseTable(17), nullptr);
}

TEST_F(TransformTest, WindowHasTwentyFortySevenInTheDenominator) {
    std::vector<float> ones(2048, 1.0f);
    ApplyHannWindow(ones.data());
    EXPECT_EQ(ones[0], 0.0f);
    EXPECT_EQ(ones[2047], 0.0f);  // a denominator of 2048 would leave 2.4e-6 here
    // Half a block apart the two windows sum to just under 1.
    for (uint32_t i = 0; i < 1024; ++i) {
        const double sum = static_cast<double>(ones[i]) + ones[i + 1024];
        EXPECT_GE(sum, 0.99923) << i;
        EXPECT_LE(sum, 1.0 + 1e-7) << i;
    }
}

// Blocks a transform may meet: audio, full scale, tiny, and the non-numbers a hostile gain
// curve leaves in the spectrum.
std::vector<float> TestBlock(std::mt19937& rng, int kind, uint32_t n) {
    switch (kind % 5) {
        case 0:
            return RandomFloats(rng, n, 32768.0f);
        case 1:
            return RandomFloats(rng, n, 1e-38f);
        case 2:
            return RandomFloats(rng, n, 3e38f);
        case 3: {
            std::vector<float> v = RandomFloats(rng, n, 100.0f);
            v[rng() % n] = std::numeric_limits<float>::infinity();
            v[rng() % n] = std::numeric_limits<float>::quiet_NaN();
            return v;
        }
        default: {
            std::vector<float> v(n, 0.0f);
            v[rng() % n] = -0.0f;
            v[rng() % n] = 1.0f;
            return v;
        }
    }
}

TEST_F(TransformTest, TableDrivenTransformIsBitIdenticalToThePlainTranscriptionAtEveryWidth) {
    for (VectorWidth width : AvailableVectorWidths()) {
        ScopedVectorWidth use(width);
        SCOPED_TRACE(VectorWidthName(width));
        std::mt19937 rng(2024);
        for (int trial = 0; trial < 300; ++trial) {
            const uint32_t n = trial < 250 ? 2048 : (1u << (1 + trial % 13));
            const bool inverse = trial % 2 == 1;
            const std::vector<float> re = TestBlock(rng, trial, n);
            const std::vector<float> im = TestBlock(rng, trial / 2, n);
            std::vector<float> aRe(n), aIm(n), bRe(n), bIm(n);
            FftFloat(n, inverse, re.data(), im.data(), aRe.data(), aIm.data());
            ReferenceFftFloat(n, inverse, re.data(), im.data(), bRe.data(), bIm.data());
            for (uint32_t i = 0; i < n; ++i) {
                ASSERT_TRUE(SameBits(aRe[i], bRe[i])) << "trial " << trial << " bin " << i;
                ASSERT_TRUE(SameBits(aIm[i], bIm[i])) << "trial " << trial << " bin " << i;
            }
        }
    }
}

TEST_F(TransformTest, AbsentImaginaryInputIsZerosAtEverySizeAndWidth) {
    // Sizes below, at and above where the wide first stages take over (8 runs of each lane).
    for (VectorWidth width : AvailableVectorWidths()) {
        ScopedVectorWidth use(width);
        SCOPED_TRACE(VectorWidthName(width));
        std::mt19937 rng(99);
        for (uint32_t n = 2; n <= 2048; n *= 2) {
            for (bool inverse : {false, true}) {
                const std::vector<float> re = RandomFloats(rng, n, 32768.0f);
                const std::vector<float> zeros(n, 0.0f);
                std::vector<float> aRe(n), aIm(n), bRe(n), bIm(n);
                FftFloat(n, inverse, re.data(), nullptr, aRe.data(), aIm.data());
                ReferenceFftFloat(n, inverse, re.data(), zeros.data(), bRe.data(), bIm.data());
                for (uint32_t i = 0; i < n; ++i) {
                    ASSERT_TRUE(SameBits(aRe[i], bRe[i])) << "n " << n << " bin " << i;
                    ASSERT_TRUE(SameBits(aIm[i], bIm[i])) << "n " << n << " bin " << i;
                }
            }
        }
    }
}

TEST_F(TransformTest, TableDrivenWindowIsBitIdenticalToThePlainTranscription) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<float> a = TestBlock(rng, trial, 2048);
        std::vector<float> b = a;
        ApplyHannWindow(a.data());
        ReferenceApplyHannWindow(b.data());
        for (uint32_t i = 0; i < 2048; ++i)
            ASSERT_TRUE(SameBits(a[i], b[i])) << "trial " << trial << " sample " << i;
    }
}

}  // namespace

TEST_F(TransformTest, RealPartInverseGivesTheInversesRealBitsAtEveryWidth) {
    // The equalizer's inverse skips the imaginary output's scaling and, on the SSE2 path, its
    // last stage; the real output must keep every bit, hostile values included.
    std::mt19937 rng(12);
    for (VectorWidth width : AvailableVectorWidths()) {
        ScopedVectorWidth use(width);
        for (uint32_t n : {4u, 16u, 256u, 2048u}) {
            std::vector<float> re = RandomFloats(rng, n, 3e4f);
            std::vector<float> im = RandomFloats(rng, n, 3e4f);
            if (n == 16)
                re[1] = std::numeric_limits<float>::infinity();
            im[n - 1] = 1e-42f;  // subnormal
            std::vector<float> full(n), fullImag(n), real(n), scratch(n);
            FftFloat(n, true, re.data(), im.data(), full.data(), fullImag.data());
            InverseFftRealPart(n, re.data(), im.data(), real.data(), scratch.data());
            for (uint32_t i = 0; i < n; ++i)
                ASSERT_TRUE(SameBits(full[i], real[i]))
                    << VectorWidthName(width) << " n " << n << " at " << i;
        }
    }
}
