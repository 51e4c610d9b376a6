#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>

#include "sound_field.h"
#include "sound_field_presets.h"
#include "sound_field_reference.h"
#include "test_device.h"
#include "test_services.h"
#include "vector_widths.h"

namespace {

constexpr uint32_t kTransferBytes = 1920;

// Loud, band-limited noise in bursts, with quiet stretches between them.
std::vector<int16_t> Bursts(size_t frames, uint32_t seed, double level = 20000.0) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<int16_t> samples(2 * frames);
    double left = 0, right = 0;
    for (size_t i = 0; i < frames; ++i) {
        const bool on = (i / 24000) % 3 != 2;
        left = 0.9 * left + 0.1 * noise(rng) * level * 3;
        right = 0.9 * right + 0.1 * noise(rng) * level * 3;
        samples[2 * i] = on ? static_cast<int16_t>(std::clamp(left, -32768.0, 32767.0)) : 0;
        samples[2 * i + 1] = on ? static_cast<int16_t>(std::clamp(right, -32768.0, 32767.0)) : 0;
    }
    return samples;
}

std::vector<int16_t> Silence(size_t frames) {
    return std::vector<int16_t>(2 * frames, 0);
}

std::vector<int16_t> Concat(std::vector<int16_t> a, const std::vector<int16_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SoundFieldTest : public ::testing::Test {
  protected:
    SoundFieldTest() { device.AllStagesOff(); }
    ~SoundFieldTest() override { ReleaseSoundField(&device.state, &test.services); }

    bool SetType(uint32_t type) {
        device.state.SoundFieldType = type;
        return SetupSoundField(&device.state, &test.services);
    }

    // Through ProcessPlaybackBuffer in transfers of `chunkBytes`.
    std::vector<int16_t> Play(const std::vector<int16_t>& samples,
                              uint32_t chunkBytes = kTransferBytes) {
        std::vector<uint8_t> bytes = ToBytes(samples);
        for (size_t offset = 0; offset < bytes.size(); offset += chunkBytes) {
            const size_t length = std::min<size_t>(chunkBytes, bytes.size() - offset);
            ProcessPlaybackBuffer(&device.context, bytes.data() + offset,
                                  static_cast<uint32_t>(length));
        }
        return ToSamples(bytes);
    }

    TestDevice device;
    TestServices test;
};

std::vector<int16_t> Reference(uint32_t preset, const std::vector<int16_t>& samples) {
    ReferenceSoundField reference(preset);
    std::vector<uint8_t> bytes = ToBytes(samples);
    reference.Process(bytes);
    return ToSamples(bytes);
}

// First frame from `from` on whose sample in `channel` is non-zero, or -1.
long FirstNonZero(const std::vector<int16_t>& samples, int channel, size_t from = 0) {
    for (size_t frame = from; 2 * frame + 1 < samples.size(); ++frame)
        if (samples[2 * frame + channel] != 0)
            return static_cast<long>(frame);
    return -1;
}

TEST_F(SoundFieldTest, EveryPresetMatchesThePlainNetworkAtEveryWidthWhateverTheTransferSize) {
    const std::vector<int16_t> input = Concat(Bursts(48000, 7), Silence(30000));
    for (VectorWidth width : AvailableVectorWidths()) {
        ScopedVectorWidth use(width);
        SCOPED_TRACE(VectorWidthName(width));
        for (uint32_t preset = 1; preset <= 4; ++preset) {
            const std::vector<int16_t> expected = Reference(preset, input);
            for (uint32_t chunk : {4u, 100u, 1920u, 65536u}) {
                ASSERT_TRUE(SetType(preset));
                EXPECT_EQ(Play(input, chunk), expected)
                    << "preset " << preset << " chunk " << chunk;
            }
        }
    }
}

// Long renders whose tails decay far into the subnormal range and stay there, then sound
// again: the engine's output stays bit-identical to the plain arithmetic throughout.
TEST_F(SoundFieldTest, LongDecayingTailsMatchThePlainNetworkSampleForSampleAtEveryWidth) {
    const std::vector<int16_t> input =
        Concat(Concat(Concat(Bursts(96000, 11, 30000.0), Silence(48000 * 40)), Bursts(30000, 12)),
               Silence(48000 * 20));
    for (VectorWidth width : AvailableVectorWidths()) {
        ScopedVectorWidth use(width);
        SCOPED_TRACE(VectorWidthName(width));
        for (uint32_t preset = 1; preset <= 4; ++preset) {
            ASSERT_TRUE(SetType(preset));
            EXPECT_EQ(Play(input), Reference(preset, input)) << "preset " << preset;
        }
    }
}

TEST_F(SoundFieldTest, PresetOneImpulseGivesDryAtOnceEarlyTapsThenTheLatePath) {
    ASSERT_TRUE(SetType(1));
    std::vector<int16_t> input = Silence(16000);
    input[0] = 32767;
    const std::vector<int16_t> out = Play(input);

    const float mixed = static_cast<float>(0.81 * 32767);
    EXPECT_EQ(out[0], static_cast<int16_t>(static_cast<float>(0.91 * mixed)));
    EXPECT_NEAR(out[0], 0.91 * 0.81 * 32767, 1.0);
    // The first early tap: 3977 frames later, through the early low-pass.
    EXPECT_EQ(FirstNonZero(out, 0, 1), 3977);
    // The comb path needs the first tap, the pre-delay, the shortest comb and one frame
    // of the DC blocker; the early reflections have died away well before (taps 6 and 7
    // are at 13802 and 15139).
    const long lateStart = 3977 + 9000 + 1801 + 1;
    for (long frame = 14400; frame < lateStart; ++frame)
        ASSERT_EQ(out[2 * frame], 0) << "frame " << frame;
    const long firstLate = FirstNonZero(out, 0, lateStart);
    EXPECT_GE(firstLate, lateStart);
    EXPECT_LT(firstLate, lateStart + 100);
}

// A left impulse reaches the right channel only through the right cross-feed, which hears
// the left output: presets 1 and 4 mix it into the dry signal at once, presets 2 and 3
// only through their early taps.
TEST_F(SoundFieldTest, LeftImpulseReachesTheRightChannelThroughItsCrossFeed) {
    const struct {
        uint32_t preset;
        long firstRight;
    } cases[] = {
        {1, 250},
        {2, 102 + 1511},
        {3, 100 + 1815},
        {4, 250},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SetType(c.preset));
        std::vector<int16_t> input = Silence(4000);
        input[0] = 32767;
        EXPECT_EQ(FirstNonZero(Play(input), 1), c.firstRight) << "preset " << c.preset;
    }
}

TEST_F(SoundFieldTest, SettingTheSamePresetAgainSilencesTheTail) {
    for (uint32_t preset = 1; preset <= 4; ++preset) {
        ASSERT_TRUE(SetType(preset));
        Play(Bursts(20000, preset));
        ASSERT_NE(Play(Silence(2000)), Silence(2000)) << "a tail to silence";
        ASSERT_TRUE(SetType(preset));
        EXPECT_EQ(Play(Silence(60000)), Silence(60000)) << "preset " << preset;
    }
}

TEST_F(SoundFieldTest, StreamStartClearsAllDelayMemoryOfEveryPreset) {
    for (uint32_t preset = 1; preset <= 4; ++preset) {
        ASSERT_TRUE(SetType(preset));
        Play(Bursts(30000, preset));
        ClearSoundFieldForStreamStart(&device.state);
        EXPECT_EQ(Play(Silence(60000)), Silence(60000)) << "preset " << preset;
        // And it goes on working from silence.
        EXPECT_NE(Play(Bursts(5000, 9)), Bursts(5000, 9));
    }
}

TEST_F(SoundFieldTest, StreamStartWhileTheBuffersAreInUseClearsBeforeTheNextRun) {
    ASSERT_TRUE(SetType(1));
    Play(Bursts(30000, 3));
    device.state.SoundFieldUsers = 1;  // another device's stream is inside the stage
    ClearSoundFieldForStreamStart(&device.state);
    device.state.SoundFieldUsers = 0;
    EXPECT_EQ(Play(Silence(60000)), Silence(60000));
}

TEST(SoundFieldLayoutTest, EveryPresetsDelayMemoryLiesInsideWhatAStreamStartClears) {
    for (uint32_t preset = 1; preset <= 4; ++preset) {
        const SoundFieldLayout& layout = kSoundFieldLayouts[preset - 1];
        const SoundFieldRecordRow& record = kSoundFieldRecords[preset - 1];
        const SoundFieldStructureRow& shape = kSoundFieldStructures[preset - 1];
        std::vector<std::pair<uint32_t, uint32_t>> regions;  // first float, length
        for (uint32_t ch = 0; ch < 2; ++ch) {
            const SoundFieldChannelLayout& c = layout.channel[ch];
            regions.push_back({c.crossFeed, record.crossFeedLength[ch]});
            regions.push_back({c.early, record.tapDelay[15]});
            regions.push_back({c.preDelay, record.preDelayLength});
            for (uint32_t i = 0; i < shape.combCount; ++i) {
                regions.push_back({c.comb[i], shape.combLength[i]});
                if (shape.combLowPassed)
                    regions.push_back({c.combState[i], 2});
            }
            for (uint32_t i = 0; i < shape.allPassCount; ++i)
                regions.push_back({c.allPass[i], shape.allPassLength[i]});
            regions.push_back({c.earlyState, 2});
            regions.push_back({c.dcState, 3});
            if (shape.finalKind != SoundFieldFinal::kNone)
                regions.push_back({c.finalState, 2});
        }
        std::sort(regions.begin(), regions.end());
        uint32_t end = 0;
        for (const auto& [first, length] : regions) {
            EXPECT_GE(first, end) << "preset " << preset << ": overlap at float " << first;
            end = first + length;
        }
        EXPECT_LE(end * 4, kSoundFieldStreamStartClearBytes[preset]) << "preset " << preset;
        EXPECT_LE(end, kSoundFieldWorkFloats);
        if (preset == 1) {
            EXPECT_EQ(end, 202834u) << "preset 1 fills the work area";
        }
    }
    EXPECT_EQ(kSoundFieldStreamStartClearBytes[0], 0u);
    EXPECT_EQ(kSoundFieldStreamStartClearBytes[2], 220064u);
    EXPECT_EQ(kSoundFieldStreamStartClearBytes[3], 207128u);
    EXPECT_EQ(kSoundFieldStreamStartClearBytes[4], 460888u);
}

TEST_F(SoundFieldTest, TypeFiveFreesTheBuffersAndALaterPresetAllocatesThemAgain) {
    ASSERT_TRUE(SetType(1));
    EXPECT_EQ(test.blocksHeld, 3);
    EXPECT_FALSE(SetType(5));
    EXPECT_EQ(device.state.SoundFieldWork, nullptr);
    EXPECT_EQ(device.state.SoundFieldPositions, nullptr);
    EXPECT_EQ(device.state.SoundFieldParams, nullptr);
    EXPECT_EQ(test.blocksHeld, 0);
    device.state.SoundFieldType = 1;  // as if a caller forgot to turn it off
    EXPECT_EQ(Play(Bursts(2000, 1)), Bursts(2000, 1));

    ASSERT_TRUE(SetType(2));
    EXPECT_EQ(test.blocksHeld, 3);
    EXPECT_NE(Play(Bursts(2000, 1)), Bursts(2000, 1));
}

TEST_F(SoundFieldTest, TypeZeroKeepsTheBuffersAndStopsTheStage) {
    ASSERT_TRUE(SetType(3));
    ASSERT_TRUE(SetType(0));
    EXPECT_EQ(test.blocksHeld, 3);
    EXPECT_EQ(Play(Bursts(2000, 1)), Bursts(2000, 1));
}

TEST_F(SoundFieldTest, AFailedAllocationFailsThePresetAndLeavesNothingToRunOn) {
    for (int failing = 1; failing <= 3; ++failing) {
        TestDevice fresh;
        fresh.AllStagesOff();
        TestServices services;
        services.failAllocationNumber = failing;
        fresh.state.SoundFieldType = 4;
        EXPECT_FALSE(SetupSoundField(&fresh.state, &services.services)) << "allocation " << failing;
        EXPECT_EQ(services.blocksHeld, 2);
        EXPECT_EQ(fresh.state.SoundFieldBusy, 0u);
        // The type is still 4 until the caller resets it; the stage must stay dry.
        std::vector<uint8_t> bytes = ToBytes(Bursts(2000, 2));
        const std::vector<uint8_t> original = bytes;
        fresh.Process(bytes);
        EXPECT_EQ(bytes, original) << "allocation " << failing;

        // Type 0 succeeds even when an allocation fails.
        services.failAllocationNumber = services.allocations + 1;
        fresh.state.SoundFieldType = 0;
        EXPECT_TRUE(SetupSoundField(&fresh.state, &services.services));

        // A later set-up allocates only what is missing, and the preset runs.
        services.failAllocationNumber = 0;
        const int before = services.allocations;
        fresh.state.SoundFieldType = 4;
        EXPECT_TRUE(SetupSoundField(&fresh.state, &services.services));
        EXPECT_EQ(services.allocations - before, 1);
        fresh.Process(bytes);
        EXPECT_NE(bytes, original);

        EXPECT_TRUE(ReleaseSoundField(&fresh.state, &services.services));
        EXPECT_EQ(services.blocksHeld, 0);
    }
}

TEST_F(SoundFieldTest, SetUpGivesUpAfterAHundredSleepsWithoutTouchingAnything) {
    ASSERT_TRUE(SetType(1));
    const std::vector<int16_t> input = Bursts(4000, 5);
    Play(input);
    const std::vector<float> work(device.state.SoundFieldWork,
                                  device.state.SoundFieldWork + kSoundFieldWorkFloats);

    // Another set-up holds the flag.
    device.state.SoundFieldBusy = 1;
    test.sleeps = 0;
    EXPECT_FALSE(SetType(2));
    EXPECT_EQ(test.sleeps, 100);
    EXPECT_EQ(device.state.SoundFieldBusy, 1u);
    device.state.SoundFieldBusy = 0;

    // A stream never leaves the stage: the set-up lets go of the flag again.
    device.state.SoundFieldUsers = 1;
    test.sleeps = 0;
    EXPECT_FALSE(SetType(2));
    EXPECT_EQ(test.sleeps, 100);
    EXPECT_EQ(device.state.SoundFieldBusy, 0u);
    device.state.SoundFieldUsers = 0;

    EXPECT_TRUE(std::equal(work.begin(), work.end(), device.state.SoundFieldWork));
    // Preset 1 is still what the buffers hold; it runs again once the type says so.
    device.state.SoundFieldType = 1;
    ReferenceSoundField reference(1);
    std::vector<uint8_t> bytes = ToBytes(Concat(input, input));
    reference.Process(bytes);
    const std::vector<int16_t> both = ToSamples(bytes);
    EXPECT_EQ(Play(input), std::vector<int16_t>(both.begin() + input.size(), both.end()));
}

TEST_F(SoundFieldTest, StageSkipsWhileCountingDownBusyMismatchedOrInUse) {
    ASSERT_TRUE(SetType(1));
    const std::vector<int16_t> input = Bursts(480, 4);

    device.restartCountdown = 2;
    EXPECT_EQ(Play(input), input);
    EXPECT_EQ(Play(input), input);
    EXPECT_EQ(device.restartCountdown, 0);

    device.state.SoundFieldBusy = 1;
    EXPECT_EQ(Play(input), input);
    EXPECT_EQ(device.state.SoundFieldBusy, 1u) << "a stream never clears the flag";
    device.state.SoundFieldBusy = 0;

    device.state.SoundFieldUsers = 1;
    EXPECT_EQ(Play(input), input);
    EXPECT_EQ(device.state.SoundFieldUsers, 1u);
    device.state.SoundFieldUsers = 0;

    device.state.SoundFieldType = 2;  // stored, not yet set up
    EXPECT_EQ(Play(input), input);
    device.state.SoundFieldType = 1;

    // The first transfer that runs the preset starts it from silence.
    EXPECT_EQ(Play(input), Reference(1, input));
}

TEST_F(SoundFieldTest, LoudInputSaturatesInsteadOfWrapping) {
    for (uint32_t preset = 1; preset <= 4; ++preset) {
        for (int16_t level : {int16_t{32767}, int16_t{-32768}}) {
            ASSERT_TRUE(SetType(preset));
            const std::vector<int16_t> out = Play(std::vector<int16_t>(2 * 30000, level));
            // Once the early reflections add to the dry signal, every sample sits at the rail.
            const long from = 2 * kSoundFieldRecords[preset - 1].tapDelay[15] + 2000;
            for (long i = from; i < static_cast<long>(out.size()); ++i)
                ASSERT_EQ(out[i], level) << "preset " << preset << " sample " << i;
        }
    }
}

TEST(TapDelayLineTest, ATapReturnsTheValueInsertedItsDelayEarlier) {
    SoundFieldTap taps[kSoundFieldTapCount] = {};
    taps[0] = {1, 1.0f};
    taps[1] = {5, 10.0f};
    taps[2] = {8, 100.0f};  // the whole ring
    std::vector<float> ring(8, 0.0f);
    uint32_t position = 3;
    std::vector<float> sums;
    for (int n = 1; n <= 12; ++n)
        sums.push_back(TapDelayLine(static_cast<float>(n), ring.data(), 8, &position, taps));
    // At step n the taps hold n-1, n-5 and n-8 (0 before the first insert).
    for (int n = 1; n <= 12; ++n) {
        const float expected =
            std::max(n - 1, 0) * 1.0f + std::max(n - 5, 0) * 10.0f + std::max(n - 8, 0) * 100.0f;
        EXPECT_EQ(sums[n - 1], expected) << "step " << n;
    }
    EXPECT_EQ(position, (3u + 8 * 2 - 12) % 8);
}

TEST_F(SoundFieldTest, FrameByFrameEqualsTheBufferStage) {
    ASSERT_TRUE(SetType(3));
    std::vector<int16_t> samples = Bursts(6000, 8);
    for (size_t i = 0; i < samples.size(); i += 2)
        RunSoundField(&device.state, 3, &samples[i], &samples[i + 1]);
    EXPECT_EQ(samples, Reference(3, Bursts(6000, 8)));
}

}  // namespace
