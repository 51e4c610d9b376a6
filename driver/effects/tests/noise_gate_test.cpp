#include <gtest/gtest.h>

#include "test_device.h"

namespace {

class NoiseGateTest : public ::testing::Test {
  protected:
    NoiseGateTest() {
        device.AllStagesOff();
        device.state.EnableNoiseClean = 1;
    }

    // Feeds `count` samples of `value`, one sample per call, and returns the index (1-based)
    // of the sample after which the mute log first grew, or 0.
    int FeedUntilRequest(int16_t value, int count) {
        const size_t before = device.muteLog.size();
        for (int i = 1; i <= count; ++i) {
            std::vector<uint8_t> bytes = ToBytes({value});
            device.Process(bytes);
            if (device.muteLog.size() != before)
                return i;
        }
        return 0;
    }

    TestDevice device;
};

TEST_F(NoiseGateTest, SilenceMutesAfter256SamplesWithOneRequest) {
    EXPECT_EQ(FeedUntilRequest(0, 300), 256);
    EXPECT_EQ(device.muteLog, (std::vector<uint32_t>{1}));
    EXPECT_EQ(device.state.NoiseGateMuted, 1u);
    EXPECT_EQ(device.state.NoiseGateCount, 256);

    // Staying silent sends nothing more and keeps the count at its limit.
    std::vector<uint8_t> quiet(4000, 0);
    device.Process(quiet);
    EXPECT_EQ(device.muteLog.size(), 1u);
    EXPECT_EQ(device.state.NoiseGateCount, 256);
}

TEST_F(NoiseGateTest, BurstUnmutesAtItsSeventeenthSample) {
    ASSERT_EQ(FeedUntilRequest(0, 256), 256);
    // The first loud sample only resets the count; 16 counted ones unmute.
    EXPECT_EQ(FeedUntilRequest(6, 40), 17);
    EXPECT_EQ(device.muteLog, (std::vector<uint32_t>{1, 0}));
    EXPECT_EQ(device.state.NoiseGateMuted, 0u);
    EXPECT_EQ(device.state.NoiseGateCount, -16);
}

TEST_F(NoiseGateTest, ThresholdIsMagnitudeAboveFive) {
    // +-5 counts as quiet, so it mutes like silence does.
    std::vector<int16_t> samples;
    for (int i = 0; i < 256; ++i)
        samples.push_back(i % 2 ? 5 : -5);
    std::vector<uint8_t> bytes = ToBytes(samples);
    device.Process(bytes);
    EXPECT_EQ(device.muteLog, (std::vector<uint32_t>{1}));
}

TEST_F(NoiseGateTest, AlternatingQuietAndLoudNeverReachesALimit) {
    std::vector<int16_t> samples;
    for (int i = 0; i < 20000; ++i)
        samples.push_back(i % 2 ? 100 : 0);
    std::vector<uint8_t> bytes = ToBytes(samples);
    device.Process(bytes);
    EXPECT_TRUE(device.muteLog.empty());
    EXPECT_GT(device.state.NoiseGateCount, -16);
    EXPECT_LT(device.state.NoiseGateCount, 256);
}

TEST_F(NoiseGateTest, HostMuteStopsCountingAndRequests) {
    device.state.HostMuteState = 1;
    std::vector<uint8_t> quiet(4096, 0);
    device.Process(quiet);
    EXPECT_TRUE(device.muteLog.empty());
    EXPECT_EQ(device.state.NoiseGateCount, 0);
}

TEST_F(NoiseGateTest, CountCarriesAcrossTransfersAndSplitSamples) {
    // 255 quiet samples in one transfer, the 256th in a 3-byte transfer (one whole sample
    // and a stray byte): the gate counts samples, not frames.
    std::vector<uint8_t> first(510, 0);
    device.Process(first);
    EXPECT_TRUE(device.muteLog.empty());
    std::vector<uint8_t> odd = {0, 0, 0x7F};
    device.Process(odd);
    EXPECT_EQ(device.muteLog, (std::vector<uint32_t>{1}));
    EXPECT_EQ(odd, (std::vector<uint8_t>{0, 0, 0x7F}));
}

TEST_F(NoiseGateTest, GateNeverChangesSamples) {
    std::vector<int16_t> samples;
    for (int i = 0; i < 2000; ++i)
        samples.push_back(static_cast<int16_t>(i % 7 == 0 ? 3000 : 1));
    std::vector<uint8_t> bytes = ToBytes(samples);
    const std::vector<uint8_t> original = bytes;
    device.Process(bytes);
    EXPECT_EQ(bytes, original);
}

TEST_F(NoiseGateTest, DisabledGateDoesNothing) {
    device.state.EnableNoiseClean = 0;
    std::vector<uint8_t> quiet(4096, 0);
    device.Process(quiet);
    EXPECT_TRUE(device.muteLog.empty());
    EXPECT_EQ(device.state.NoiseGateCount, 0);
}

}  // namespace
