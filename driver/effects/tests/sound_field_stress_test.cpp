// Streams on several devices against a control path that keeps rebuilding the sound field.
// Run under ThreadSanitizer and AddressSanitizer, any buffer freed, reallocated or zeroed
// under a stream inside the sound-field stage shows up as a race or a use after free.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "equalizer.h"
#include "fold_down.h"
#include "shared_access.h"
#include "sound_field.h"
#include "test_services.h"

namespace {

constexpr uint32_t kTransferBytes = 1920;
constexpr auto kRunTime = std::chrono::milliseconds(1500);

// A device of its own (equalizer ring, countdown) on the shared effect record.
class StreamingDevice {
  public:
    explicit StreamingDevice(EffectState* state) {
        ring_.assign(kEqRingAllocBytes, 0);
        for (auto& buffer : floats_)
            buffer.assign(kEqBlockFrames, 0.0f);
        eq_.Ring = ring_.data();
        eq_.Block = floats_[0].data();
        eq_.ImaginaryInput = floats_[1].data();
        eq_.SpectrumReal = floats_[2].data();
        eq_.SpectrumImaginary = floats_[3].data();
        eq_.OverlapLeft = floats_[4].data();
        eq_.OverlapRight = floats_[5].data();
        InitEqStream(&eq_);
        context.State = state;
        context.Eq = &eq_;
        context.RestartCountdown = &restartCountdown;
        context.SetDeviceMute = [](void*, uint32_t) {};
        context.MuteContext = nullptr;
    }

    EffectDeviceContext context;
    int32_t restartCountdown = 0;

  private:
    EqStream eq_;
    std::vector<uint8_t> ring_;
    std::vector<float> floats_[6];
};

TEST(SoundFieldStressTest, SetUpsNeverPullTheBuffersFromUnderARunningStream) {
    EffectState state;
    InitEffectState(&state);
    state.EnableNoiseClean = 1;
    state.EnableSoundDRC = 1;
    TestServices test;
    test.realSleep = true;
    state.SoundFieldType = 1;
    ASSERT_TRUE(SetupSoundField(&state, &test.services));

    constexpr int kDevices = 3;
    std::vector<std::unique_ptr<StreamingDevice>> devices;
    for (int i = 0; i < kDevices; ++i)
        devices.push_back(std::make_unique<StreamingDevice>(&state));

    std::atomic<bool> stop{false};
    std::atomic<long> transfers{0};
    std::vector<std::thread> streams;
    for (int i = 0; i < kDevices; ++i) {
        streams.emplace_back([&, i] {
            std::mt19937 rng(i);
            std::uniform_int_distribution<int> sample(-20000, 20000);
            std::vector<uint8_t> buffer(kTransferBytes);
            StreamingDevice& device = *devices[i];
            for (long n = 0; !stop.load(); ++n) {
                for (size_t b = 0; b + 1 < buffer.size(); b += 2) {
                    const int16_t value = static_cast<int16_t>(sample(rng));
                    std::memcpy(&buffer[b], &value, 2);
                }
                // Now and then a stream starts again or a pipe is aborted.
                if (n % 97 == 0)
                    ClearSoundFieldForStreamStart(&state);
                if (n % 211 == 0)
                    StoreShared(device.restartCountdown, 3);
                ProcessPlaybackBuffer(&device.context, buffer.data(), kTransferBytes);
                ++transfers;
            }
        });
    }

    // The control path: sound-field requests (including the invalid 5, which frees the
    // buffers, and 0) and speaker changes, as fast as the set-up's waits allow.
    long setUps = 0;
    long failedSetUps = 0;
    std::thread control([&] {
        std::mt19937 rng(99);
        const uint32_t types[] = {1, 2, 3, 4, 5, 0, 1, 1, 3, 5, 2, 4};
        for (size_t n = 0; !stop.load(); ++n) {
            StoreShared(state.SoundFieldType, types[n % (sizeof types / sizeof types[0])]);
            if (!SetupSoundField(&state, &test.services)) {
                StoreShared(state.SoundFieldType, 0u);
                ++failedSetUps;
            }
            ++setUps;
            StoreShared(state.Virtual7ch1Radian[n % kSpeakerCount], static_cast<float>(n % 7));
            RecomputeSpeakerMix(&state);
        }
    });

    std::this_thread::sleep_for(kRunTime);
    stop = true;
    control.join();
    for (auto& stream : streams)
        stream.join();

    EXPECT_GT(setUps, 10);
    EXPECT_GT(failedSetUps, 0) << "type 5 fails";
    EXPECT_GT(transfers, 100);
    EXPECT_EQ(state.SoundFieldUsers, 0u);
    EXPECT_EQ(state.SoundFieldBusy, 0u);

    // The buffers survive the storm intact: a fresh preset runs and the release frees all.
    StoreShared(state.SoundFieldType, 2u);
    ASSERT_TRUE(SetupSoundField(&state, &test.services));
    EXPECT_TRUE(ReleaseSoundField(&state, &test.services));
    EXPECT_EQ(test.blocksHeld, 0);
}

}  // namespace
