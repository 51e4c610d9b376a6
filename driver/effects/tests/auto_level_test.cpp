#include <gtest/gtest.h>

#include <cmath>

#include "effect_math.h"
#include "test_device.h"

namespace {

class AutoLevelTest : public ::testing::Test {
  protected:
    AutoLevelTest() {
        device.AllStagesOff();
        device.state.EnableSoundDRC = 1;
    }

    // `frames` frames of a constant stereo value, in transfers of 480 frames.
    void FeedConstant(int16_t value, int frames) {
        std::vector<int16_t> samples(960, value);
        for (int done = 0; done < frames; done += 480) {
            std::vector<uint8_t> bytes = ToBytes(samples);
            device.Process(bytes);
        }
    }

    TestDevice device;
};

TEST_F(AutoLevelTest, FirstFrameFollowsThePrecisionRules) {
    std::vector<uint8_t> bytes = ToBytes({1000, -2000});
    device.Process(bytes);

    // Worked by hand from the built-in powers: difference in float, division and sum in
    // double, mean in float, target in double with a float square root, gain in float.
    const float start = 1073676288.0f;
    const float left = static_cast<float>(start + (1000000.0f - start) / 15000.0);
    const float right = static_cast<float>(start + (4000000.0f - start) / 15000.0);
    EXPECT_EQ(device.state.DrcPowerLeft, left);
    EXPECT_EQ(device.state.DrcPowerRight, right);
    const float mean = (left + right) * 0.5f;
    ASSERT_GE(mean, 256000000.0f);
    const float target = static_cast<float>(16000.1261 / 16000.0);
    const float gain = (1.0f * 29999.0f + target) / 30000.0f;
    EXPECT_EQ(device.state.DrcGain, gain);
    EXPECT_EQ(ToSamples(bytes), (std::vector<int16_t>{static_cast<int16_t>(1000 * gain),
                                                      static_cast<int16_t>(-2000 * gain)}));
}

TEST_F(AutoLevelTest, QuietPassageDrivesGainTowardsItsCeiling) {
    FeedConstant(100, 1200000);
    const double ceiling = (16000.1261 / 1200.0) *
                           (1440000.0 * 256000000.0 * 0.5 / 254560000.0 + 127275927.08988059) /
                           256000000.0;
    EXPECT_NEAR(ceiling, 6.667, 0.001);
    EXPECT_GT(device.state.DrcGain, 6.6f);
    EXPECT_LE(device.state.DrcGain, ceiling + 1e-3);
}

TEST_F(AutoLevelTest, FullScaleSineKeepsGainNearOne) {
    std::vector<int16_t> samples;
    for (int frame = 0; frame < 480; ++frame) {
        const int16_t value = static_cast<int16_t>(32767 * std::sin(2 * kEffectPi * frame / 48));
        samples.push_back(value);
        samples.push_back(value);
    }
    for (int transfer = 0; transfer < 500; ++transfer) {
        std::vector<uint8_t> bytes = ToBytes(samples);
        device.Process(bytes);
        const std::vector<int16_t> out = ToSamples(bytes);
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_NEAR(out[i], samples[i], 1);
    }
    EXPECT_NEAR(device.state.DrcGain, 1.0f, 1e-4);
}

TEST_F(AutoLevelTest, OutputSaturatesInsteadOfWrapping) {
    FeedConstant(100, 1200000);
    ASSERT_GT(device.state.DrcGain, 6.0f);
    std::vector<uint8_t> bytes = ToBytes({20000, -20000, 32767, -32768});
    device.Process(bytes);
    EXPECT_EQ(ToSamples(bytes), (std::vector<int16_t>{32767, -32768, 32767, -32768}));
}

TEST_F(AutoLevelTest, PartialFramesAreNotTouched) {
    for (size_t length : {2u, 3u}) {
        std::vector<uint8_t> bytes(length, 0x40);
        const std::vector<uint8_t> original = bytes;
        device.Process(bytes);
        EXPECT_EQ(bytes, original);
        EXPECT_EQ(device.state.DrcGain, 1.0f);
    }
    // A trailing partial frame after whole frames stays as it was.
    std::vector<uint8_t> bytes = {0x10, 0x00, 0x10, 0x00, 0xAB, 0xCD};
    device.Process(bytes);
    EXPECT_EQ(bytes[4], 0xAB);
    EXPECT_EQ(bytes[5], 0xCD);
}

}  // namespace
