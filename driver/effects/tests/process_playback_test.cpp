#include <gtest/gtest.h>

#include <random>

#include "test_device.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t length, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(length);
    for (auto& byte : bytes)
        byte = static_cast<uint8_t>(rng());
    return bytes;
}

TEST(ProcessPlaybackBufferTest, EveryStageOffReturnsTheBufferUnchanged) {
    TestDevice device;
    device.AllStagesOff();
    for (size_t length : {0u, 1u, 2u, 3u, 4u, 7u, 1920u, 4097u, 40000u}) {
        std::vector<uint8_t> bytes = RandomBytes(length, static_cast<uint32_t>(length));
        const std::vector<uint8_t> original = bytes;
        device.Process(bytes);
        EXPECT_EQ(bytes, original) << "length " << length;
    }
    EXPECT_TRUE(device.muteLog.empty());
}

TEST(ProcessPlaybackBufferTest, GateJudgesTheInputBeforeTheLevelControlRaisesIt) {
    TestDevice device;
    device.AllStagesOff();
    device.state.EnableNoiseClean = 1;
    device.state.EnableSoundDRC = 1;
    device.state.DrcGain = 6.0f;
    device.state.DrcPowerLeft = device.state.DrcPowerRight = 1.0f;
    // Samples of 3 are quiet to the gate although the level control makes them 18.
    std::vector<uint8_t> bytes = ToBytes(std::vector<int16_t>(256, 3));
    device.Process(bytes);
    EXPECT_EQ(device.muteLog, (std::vector<uint32_t>{1}));
    EXPECT_GT(ToSamples(bytes)[255], 5);
}

TEST(ProcessPlaybackBufferTest, RestartCountdownCountsDownOncePerTransfer) {
    TestDevice device;
    device.AllStagesOff();
    device.restartCountdown = 30;
    for (int transfer = 0; transfer < 29; ++transfer) {
        std::vector<uint8_t> bytes(8, 0);
        device.Process(bytes);
    }
    EXPECT_EQ(device.restartCountdown, 1);
    // Even a transfer without a whole frame counts.
    std::vector<uint8_t> tiny(2, 0);
    device.Process(tiny);
    EXPECT_EQ(device.restartCountdown, 0);
    device.Process(tiny);
    EXPECT_EQ(device.restartCountdown, 0);
}

TEST(ProcessPlaybackBufferTest, EmptyTransferTouchesNoState) {
    TestDevice device;
    device.state.EnableNoiseClean = 1;
    device.state.EnableSoundDRC = 1;
    std::vector<uint8_t> empty;
    device.Process(empty);
    EXPECT_EQ(device.state.NoiseGateCount, 0);
    EXPECT_EQ(device.state.DrcGain, 1.0f);
}

TEST(EffectStateTest, BuiltInValues) {
    EffectState state;
    InitEffectState(&state);
    EXPECT_EQ(state.SoundFieldType, 0u);
    EXPECT_EQ(state.EnableAmpfxEQ, 1u);
    EXPECT_EQ(state.EnableVirtual7ch1, 1u);
    EXPECT_EQ(state.RightChOffset, 1u);
    EXPECT_EQ(state.EnableConvert, 771u);
    EXPECT_EQ(state.AmpfxEQGain[9], 1.0f);
    EXPECT_EQ(state.EqGainCurve[0], 0.0f);
    EXPECT_EQ(state.Virtual7ch1Distance[7], 1.0f);
    EXPECT_EQ(state.Virtual7ch1Radian[0], 1.5707966f);
    EXPECT_EQ(state.SpeakerMixLeft[3], 0.3f);
    EXPECT_EQ(state.Ampfx5Ch1Power[5], 0.3f);
    EXPECT_EQ(state.DrcPowerLeft, 1073676288.0f);
    EXPECT_EQ(state.DrcGain, 1.0f);
    EXPECT_EQ(state.SoundFieldWork, nullptr);
    EXPECT_EQ(EqBandPosition[9], 683);
}

}  // namespace
