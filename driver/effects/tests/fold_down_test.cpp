#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "fold_down.h"
#include "settings_defaults.h"
#include "test_device.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The record as a settings load leaves it: default angles and distances, mix recomputed.
void LoadDefaults(EffectState* state) {
    for (uint32_t i = 0; i < kSpeakerCount; ++i) {
        state->Virtual7ch1Radian[i] = kLoadDefaultRadian[i];
        state->Virtual7ch1Distance[i] = kLoadDefaultDistance;
    }
    RecomputeSpeakerMix(state);
}

TEST(RecomputeSpeakerMixTest, SettingsLoadDefaultsGiveTheListedGains) {
    EffectState state;
    InitEffectState(&state);
    LoadDefaults(&state);
    const struct {
        const char* speaker;
        double left;
        double right;
    } expected[kSpeakerCount] = {
        {"front left", 0.28, 0.0},      {"front right", 0.0, 0.28},
        {"centre", 0.148492, 0.148492}, {"low-frequency", 0.98995, 0.98995},
        {"side left", 0.206114, 0.0},   {"side right", 0.0, 0.0},
        {"back left", 0.105, 0.0},      {"back right", 0.0, 0.105},
    };
    for (uint32_t i = 0; i < kSpeakerCount; ++i) {
        EXPECT_NEAR(state.SpeakerMixLeft[i], expected[i].left, 1e-6) << expected[i].speaker;
        EXPECT_NEAR(state.SpeakerMixRight[i], expected[i].right, 1e-6) << expected[i].speaker;
    }
    // Side right sits at exactly 0: the right arc with 9pi/4 as reference, cos(3pi/2).
    EXPECT_EQ(state.SpeakerMixLeft[5], 0.0f);
    EXPECT_LT(std::fabs(state.SpeakerMixRight[5]), 1e-15f);
}

TEST(RecomputeSpeakerMixTest, ArcsAroundTheListener) {
    const float d = 1.5f;
    const double w = SpeakerWeight[2];  // the centre speaker is moved around
    const struct {
        const char* where;
        float angle;
        double left;
        double right;
        double tolerance;
    } cases[] = {
        {"front", static_cast<float>(kPi / 2), std::cos(kPi / 4) * d * w, std::cos(kPi / 4) * d * w,
         1e-6},
        {"right", 0.7853982f, 0.0, d * w, 1e-6},
        {"left", 2.3561945f, d * w, 0.0, 1e-6},
        {"behind", static_cast<float>(3 * kPi / 2), 0.0, 0.0, 1e-6},
        {"just left of behind", static_cast<float>(3 * kPi / 2 - 0.01), 0.01 * 2 / 3 * d * w, 0.0,
         1e-5},
        {"just right of behind", static_cast<float>(3 * kPi / 2 + 0.01), 0.0, 0.01 * 2 / 3 * d * w,
         1e-5},
        {"full turn", static_cast<float>(2 * kPi), 0.0, std::cos(kPi / 6) * d * w, 1e-6},
        {"zero", 0.0f, 0.0, 0.0, 1e-6},
        {"between zero and pi/4", 0.3f, 0.0, std::cos((kPi / 4 - 0.3) * 2 / 3) * d * w, 1e-6},
        {"below zero", -1.0f, 0.0, std::cos((9 * kPi / 4 + 1.0) * 2 / 3) * d * w, 1e-6},
    };
    for (const auto& c : cases) {
        EffectState state;
        InitEffectState(&state);
        state.Virtual7ch1Radian[2] = c.angle;
        state.Virtual7ch1Distance[2] = d;
        RecomputeSpeakerMix(&state);
        EXPECT_NEAR(state.SpeakerMixLeft[2], c.left, c.tolerance) << c.where;
        EXPECT_NEAR(state.SpeakerMixRight[2], c.right, c.tolerance) << c.where;
    }
}

TEST(RecomputeSpeakerMixTest, BehindIsSilentAndItsNeighboursAreOnTheirSide) {
    EffectState state;
    InitEffectState(&state);
    state.Virtual7ch1Radian[0] = static_cast<float>(3 * kPi / 2);
    state.Virtual7ch1Radian[1] = static_cast<float>(3 * kPi / 2 - 0.01);
    state.Virtual7ch1Radian[2] = static_cast<float>(3 * kPi / 2 + 0.01);
    state.Virtual7ch1Distance[3] = 0.0f;
    RecomputeSpeakerMix(&state);
    EXPECT_EQ(state.SpeakerMixLeft[0], 0.0f);
    EXPECT_GT(state.SpeakerMixLeft[1], 0.0f);
    EXPECT_EQ(state.SpeakerMixRight[1], 0.0f);
    EXPECT_EQ(state.SpeakerMixLeft[2], 0.0f);
    EXPECT_GT(state.SpeakerMixRight[2], 0.0f);
    EXPECT_EQ(state.SpeakerMixLeft[3], 0.0f) << "distance 0 silences";
    EXPECT_EQ(state.SpeakerMixRight[3], 0.0f) << "distance 0 silences";
}

// The low-frequency feed moves by (mid - LfeState) / 1000, truncated, per frame, so it rests
// up to 999 short of a constant mid.
TEST(UpmixAndFoldTest, LowFrequencyMeanComesToRestShortOfAConstantMid) {
    const struct {
        int16_t mid;
        int16_t rest;
    } cases[] = {{1000, 1}, {30000, 29001}, {500, 0}, {-30000, -29001}};
    for (const auto& c : cases) {
        TestDevice device;
        device.AllStagesOff();
        device.state.EnableVirtual7ch1 = 1;
        for (int pass = 0; pass < 2; ++pass) {
            std::vector<uint8_t> bytes = ToBytes(std::vector<int16_t>(2 * 48000, c.mid));
            device.Process(bytes);
            EXPECT_EQ(device.state.LfeState, c.rest) << "mid " << c.mid << ", pass " << pass;
        }
    }
}

TEST(UpmixAndFoldTest, MidIsTheTruncatedIntegerMean) {
    EffectState state;
    InitEffectState(&state);
    for (float& gain : state.SpeakerMixLeft)
        gain = 0.0f;
    for (float& gain : state.SpeakerMixRight)
        gain = 0.0f;
    state.SpeakerMixLeft[2] = 1.0f;   // centre only on the left
    state.SpeakerMixRight[3] = 1.0f;  // low-frequency only on the right
    state.LfeState = 5000;
    std::vector<uint8_t> frame = ToBytes({-3, 0});
    UpmixAndFold(&state, frame.data());
    // mid = -3 / 2 = -1 (toward zero); LfeState = (-1 + 5000 * 999) / 1000 = 4994.
    EXPECT_EQ(ToSamples(frame), (std::vector<int16_t>{-1, 4994}));
    EXPECT_EQ(state.LfeState, 4994);
}

TEST(UpmixAndFoldTest, FullScaleSaturatesWithTheBuiltInGains) {
    TestDevice device;
    device.AllStagesOff();
    device.state.EnableVirtual7ch1 = 1;
    std::vector<uint8_t> bytes = ToBytes({32767, 32767, -32768, -32768, 32767, -32768});
    device.Process(bytes);
    EXPECT_EQ(ToSamples(bytes), (std::vector<int16_t>{32767, 32767, -32768, -32768, 0, 0}));
}

TEST(UpmixAndFoldTest, OutputsTruncateTowardZero) {
    TestDevice device;
    device.AllStagesOff();
    device.state.EnableVirtual7ch1 = 1;
    LoadDefaults(&device.state);
    // Left only: L * (0.28 + 0.206114 + 0.105) + mid * 0.148492 on the left.
    std::vector<uint8_t> bytes = ToBytes({100, 0, -100, 0});
    device.Process(bytes);
    const std::vector<int16_t> out = ToSamples(bytes);
    EXPECT_EQ(out[0], 66);   // 28 + 7.42 + 20.61 + 10.5
    EXPECT_EQ(out[1], 7);    // the centre's 7.42
    EXPECT_EQ(out[2], -66);  // LfeState stays 0: mid -50 moves nothing
    EXPECT_EQ(out[3], -7);
}

// The buffer stage takes four frames at a time; it must give what the single-frame
// operation gives, whatever the gains (including a hostile NaN or infinity) and lengths.
TEST(UpmixAndFoldTest, BufferStageEqualsFrameByFrame) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> gain(-3.0f, 3.0f);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    for (int round = 0; round < 20; ++round) {
        EffectState a;
        InitEffectState(&a);
        for (uint32_t i = 0; i < kSpeakerCount; ++i) {
            a.SpeakerMixLeft[i] = gain(rng);
            a.SpeakerMixRight[i] = gain(rng);
        }
        if (round == 1)
            a.SpeakerMixLeft[3] = std::numeric_limits<float>::quiet_NaN();
        if (round == 2)
            a.SpeakerMixRight[0] = std::numeric_limits<float>::infinity();
        a.LfeState = static_cast<int16_t>(sample(rng));
        EffectState b = a;

        const size_t frames = 1 + round * 7;
        std::vector<int16_t> samples(2 * frames);
        for (auto& s : samples)
            s = static_cast<int16_t>(sample(rng));
        std::vector<uint8_t> whole = ToBytes(samples);
        std::vector<uint8_t> single = whole;
        RunFoldDown(&a, whole.data(), static_cast<uint32_t>(frames));
        for (size_t f = 0; f < frames; ++f)
            UpmixAndFold(&b, single.data() + 4 * f);
        EXPECT_EQ(whole, single) << "round " << round;
        EXPECT_EQ(a.LfeState, b.LfeState) << "round " << round;
    }
}

}  // namespace
