// The transform and the window before and after their tables exist. This binary must build
// the tables itself, after its first measurements, so it runs on its own.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "equalizer.h"

namespace {

struct Results {
    std::vector<float> forwardRe, forwardIm, inverseRe, inverseIm, window;
};

Results Compute(const std::vector<float>& re, const std::vector<float>& im) {
    Results r;
    const uint32_t n = static_cast<uint32_t>(re.size());
    r.forwardRe.resize(n);
    r.forwardIm.resize(n);
    r.inverseRe.resize(n);
    r.inverseIm.resize(n);
    FftFloat(n, false, re.data(), im.data(), r.forwardRe.data(), r.forwardIm.data());
    FftFloat(n, true, re.data(), im.data(), r.inverseRe.data(), r.inverseIm.data());
    r.window = re;
    ApplyHannWindow(r.window.data());
    return r;
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}

TEST(TransformTablesTest, TablesChangeNoBitOfTheTransformOrTheWindow) {
    ASSERT_EQ(BitReverseTable(11), nullptr) << "tables were built before this test";
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> dist(-32768.0f, 32768.0f);
    std::vector<float> re(2048), im(2048);
    for (size_t i = 0; i < re.size(); ++i) {
        re[i] = dist(rng);
        im[i] = dist(rng);
    }
    const Results direct = Compute(re, im);

    BuildBitReverseTables();
    ASSERT_NE(BitReverseTable(11), nullptr);
    BuildBitReverseTables();  // a second device: nothing changes
    const Results tabled = Compute(re, im);

    EXPECT_TRUE(SameBits(direct.forwardRe, tabled.forwardRe));
    EXPECT_TRUE(SameBits(direct.forwardIm, tabled.forwardIm));
    EXPECT_TRUE(SameBits(direct.inverseRe, tabled.inverseRe));
    EXPECT_TRUE(SameBits(direct.inverseIm, tabled.inverseIm));
    EXPECT_TRUE(SameBits(direct.window, tabled.window));
}

}  // namespace
