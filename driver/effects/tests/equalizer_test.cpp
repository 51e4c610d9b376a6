// The equalizer: its gain curve, and the stage as a device's stream sees it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "equalizer.h"
#include "pcm.h"
#include "reference_equalizer.h"
#include "vector_widths.h"
#include "test_device.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<uint8_t> RandomBytes(size_t length, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(length);
    for (auto& byte : bytes)
        byte = static_cast<uint8_t>(rng());
    return bytes;
}

std::vector<float> Curve(const EffectState& state) {
    return std::vector<float>(state.EqGainCurve, state.EqGainCurve + kEqCurveBins);
}

// Runs `input` through the stage in transfers of `chunk` bytes (the last one shorter) and
// returns what the stage hands back.
std::vector<uint8_t> RunStream(TestDevice& device, std::vector<uint8_t> input, size_t chunk) {
    for (size_t at = 0; at < input.size(); at += chunk) {
        const size_t length = std::min(chunk, input.size() - at);
        RunEqualizer(&device.context, input.data() + at, static_cast<uint32_t>(length));
    }
    return input;
}

class EqualizerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { BuildBitReverseTables(); }

    EqualizerTest() {
        device.AllStagesOff();
        device.state.EnableAmpfxEQ = 1;
        RebuildEqCurve(&device.state);
    }

    TestDevice device;
};

// --- The gain curve -----------------------------------------------------------------------

// The conversion back to 16 bits: the limits apply to the value itself, anything between
// them is rounded by adding a half and truncating toward zero.
TEST(SampleConversionTest, RoundingTestsItsLimitsBeforeAddingTheHalf) {
    const struct {
        float value;
        int rounded;
        int truncated;
    } cases[] = {
        {-32768.3f, -32768, -32768},  // below the limit: saturates, not -32767
        {-32768.0f, -32767, -32768},  // at the limit: -32767.5 truncates to -32767
        {-32767.6f, -32767, -32767},
        {-32767.4f, -32766, -32767},
        {32767.3f, 32767, 32767},
        {32767.0f, 32767, 32767},
        {32766.6f, 32767, 32766},
        {32766.4f, 32766, 32766},
        {1e9f, 32767, 32767},
        {-1e9f, -32768, -32768},
        {std::numeric_limits<float>::infinity(), 32767, 32767},
        {-std::numeric_limits<float>::infinity(), -32768, -32768},
        {std::numeric_limits<float>::quiet_NaN(), 0, 0},
        {2.5f, 3, 2},
        {0.5f, 1, 0},
        {-0.4f, 0, 0},
        {-0.6f, 0, 0},  // -0.1 truncates toward zero
        {-1.6f, -1, -1},
        {-2.5f, -2, -2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(SaturateRound(c.value), c.rounded);
        EXPECT_EQ(SaturateTruncate(c.value), c.truncated);
    }
}

TEST_F(EqualizerTest, EdgeBandsReachTheEndsOfTheCurve) {
    UpdateEqCurveSegment(&device.state, 9, 2.5f);
    for (uint32_t bin = 683; bin < kEqCurveBins; ++bin)
        EXPECT_EQ(device.state.EqGainCurve[bin], 2.5f) << bin;
    EXPECT_NE(device.state.EqGainCurve[682], 2.5f);

    UpdateEqCurveSegment(&device.state, 0, 0.5f);
    EXPECT_EQ(device.state.EqGainCurve[0], 0.5f);
    EXPECT_EQ(device.state.EqGainCurve[1], 0.5f);
    EXPECT_EQ(device.state.EqGainCurve[2], 0.75f);  // halfway to band 1 at bin 3
    EXPECT_EQ(device.state.EqGainCurve[3], 1.0f);
    EXPECT_EQ(device.state.AmpfxEQGain[0], 0.5f);
    EXPECT_EQ(device.state.AmpfxEQGain[9], 2.5f);
}

TEST_F(EqualizerTest, ABandChangesOnlyTheBinsBetweenItsNeighbours) {
    struct Case {
        uint32_t band;
        uint32_t firstChanged, lastChanged;
    };
    for (const Case& c : {Case{4, 12, 42}, Case{1, 2, 4}, Case{8, 172, 682}}) {
        RebuildEqCurve(&device.state);
        const std::vector<float> before = Curve(device.state);
        UpdateEqCurveSegment(&device.state, c.band, 3.0f);
        for (uint32_t bin = 0; bin < kEqCurveBins; ++bin) {
            if (bin >= c.firstChanged && bin <= c.lastChanged)
                EXPECT_NE(device.state.EqGainCurve[bin], before[bin]) << c.band << " " << bin;
            else
                EXPECT_EQ(device.state.EqGainCurve[bin], before[bin]) << c.band << " " << bin;
        }
        EXPECT_EQ(device.state.EqGainCurve[EqBandPosition[c.band]], 3.0f);
        device.state.AmpfxEQGain[c.band] = 1.0f;
    }
}

TEST_F(EqualizerTest, SingleBandWritesAfterARebuildEqualARebuildWithTheNewGains) {
    // The rebuild's own segments first slope towards the zeroed bins and are corrected by
    // the next band, so both roads must end on the same polyline, bit for bit.
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> gain(0.25f, 4.0f);
    for (int trial = 0; trial < 50; ++trial) {
        for (float& g : device.state.AmpfxEQGain)
            g = gain(rng);
        RebuildEqCurve(&device.state);
        for (int write = 0; write < 30; ++write)
            UpdateEqCurveSegment(&device.state, rng() % kEqBandCount, gain(rng));
        const std::vector<float> updated = Curve(device.state);
        RebuildEqCurve(&device.state);
        ASSERT_EQ(Curve(device.state), updated) << "trial " << trial;
    }
}

TEST_F(EqualizerTest, BandIndexOutOfRangeIsIgnored) {
    const std::vector<float> before = Curve(device.state);
    UpdateEqCurveSegment(&device.state, kEqBandCount, 4.0f);
    UpdateEqCurveSegment(&device.state, 0xFFFFFFFFu, 4.0f);
    EXPECT_EQ(Curve(device.state), before);
}

// --- The stage ----------------------------------------------------------------------------

TEST_F(EqualizerTest, UnityGainsDelayBy3840FramesAndScaleByTheOverlappedWindow) {
    // Frame t of the input leaves 3840 frames later as 0.891251 * (w[i] + w[i + 1024]) * x,
    // i = t mod 1024; the first 1024 frames have no previous block and get w[i] alone.
    // The transform's float round trip is off by up to 0.012 at full scale, so the output
    // must equal the rounded formula exactly wherever the formula's value lies more than
    // 0.02 from a rounding boundary, and within one step elsewhere.
    const size_t frames = 12000;
    const std::vector<uint8_t> input = RandomBytes(4 * frames, 1);
    const std::vector<uint8_t> output = RunStream(device, input, 1920);

    const std::vector<int16_t> in = ToSamples(input);
    const std::vector<int16_t> out = ToSamples(output);
    size_t exact = 0, nearBoundary = 0;
    for (size_t t = 0; t + 3840 < frames; ++t) {
        const uint32_t i = t % 1024;
        const double w = 0.5 - 0.5 * std::cos(i * 2 * kPi / 2047);
        const double wNext = 0.5 - 0.5 * std::cos((i + 1024) * 2 * kPi / 2047);
        const double factor = 0.891251 * (t < 1024 ? w : w + wNext);
        for (size_t ch = 0; ch < 2; ++ch) {
            const double y = factor * in[2 * t + ch];
            const int expected = SaturateRound(static_cast<float>(y));
            const int actual = out[2 * (t + 3840) + ch];
            const double shifted = y + 0.5;
            if (std::fabs(shifted - std::round(shifted)) > 0.02) {
                ASSERT_EQ(actual, expected) << "frame " << t << " channel " << ch;
                ++exact;
            } else {
                ASSERT_LE(std::abs(actual - expected), 1) << "frame " << t << " channel " << ch;
                ++nearBoundary;
            }
        }
    }
    EXPECT_GT(exact, 20 * nearBoundary);
}

TEST_F(EqualizerTest, FirstDelayBytesAreTheRingsZeros) {
    const std::vector<uint8_t> output = RunStream(device, RandomBytes(40000, 2), 1920);
    EXPECT_EQ(std::vector<uint8_t>(output.begin(), output.begin() + kEqDelayBytes),
              std::vector<uint8_t>(kEqDelayBytes, 0));
    EXPECT_NE(std::vector<uint8_t>(output.begin() + kEqDelayBytes, output.end()),
              std::vector<uint8_t>(output.size() - kEqDelayBytes, 0));
}

TEST_F(EqualizerTest, OddTransferStoresEveryByteButAdvancesByAnEvenCount) {
    std::vector<uint8_t> seven = {1, 2, 3, 4, 5, 6, 7};
    RunEqualizer(&device.context, seven.data(), 7);
    EXPECT_EQ(
        std::vector<uint8_t>(device.eq.Ring + kEqDelayBytes, device.eq.Ring + kEqDelayBytes + 7),
        (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(device.eq.WritePosition, kEqDelayBytes + 6);
    EXPECT_EQ(device.eq.ReadPosition, 6u);
    EXPECT_EQ(device.eq.ProcessPosition, kEqDelayBytes);
    EXPECT_EQ(seven, std::vector<uint8_t>(7, 0));

    // The next transfer starts on the seventh byte.
    std::vector<uint8_t> two = {8, 9};
    RunEqualizer(&device.context, two.data(), 2);
    EXPECT_EQ(device.eq.Ring[kEqDelayBytes + 6], 8);
    EXPECT_EQ(device.eq.Ring[kEqDelayBytes + 7], 9);
    EXPECT_EQ(device.eq.WritePosition, kEqDelayBytes + 8);
}

TEST_F(EqualizerTest, BlocksThatWrapTheRingEqualContiguousOnes) {
    // The same stream through rings whose positions are rotated: the blocks, the stores and
    // the hand-backs split at the ring's end in different places in each, and in none of
    // them may that be heard.
    const std::vector<uint8_t> input = RandomBytes(200000, 4);
    const std::vector<uint8_t> plain = RunStream(device, input, 1920);
    for (uint32_t rotation : {4u, 2048u, 4096u, 6140u, 14336u, 26620u, 30716u}) {
        TestDevice rotated;
        rotated.state = device.state;
        rotated.eq.ReadPosition = rotation;
        rotated.eq.WritePosition = (kEqDelayBytes + rotation) % kEqRingBytes;
        rotated.eq.ProcessPosition = rotated.eq.WritePosition;
        EXPECT_EQ(RunStream(rotated, input, 1920), plain) << "rotation " << rotation;
    }
}

TEST_F(EqualizerTest, SwitchedOffItFreezesTheRingAndPlaysItOutWhenSwitchedOn) {
    const std::vector<uint8_t> input = RandomBytes(1920 * 60, 5);
    TestDevice always;
    always.state = device.state;
    const std::vector<uint8_t> expected = RunStream(always, input, 1920);

    std::vector<uint8_t> played;
    const auto playSome = [&](size_t from, size_t to) {
        std::vector<uint8_t> part(input.begin() + from, input.begin() + to);
        part = RunStream(device, part, 1920);
        played.insert(played.end(), part.begin(), part.end());
    };
    playSome(0, 1920 * 25);

    device.state.EnableAmpfxEQ = 0;
    const std::vector<uint8_t> ringBefore(device.eq.Ring, device.eq.Ring + kEqRingAllocBytes);
    const EqStream positionsBefore = device.eq;
    for (uint32_t length : {1920u, 7u, 40000u}) {
        const std::vector<uint8_t> other = RandomBytes(length, length);
        EXPECT_EQ(RunStream(device, other, length), other);
    }
    EXPECT_EQ(std::vector<uint8_t>(device.eq.Ring, device.eq.Ring + kEqRingAllocBytes), ringBefore);
    EXPECT_EQ(device.eq.ReadPosition, positionsBefore.ReadPosition);
    EXPECT_EQ(device.eq.WritePosition, positionsBefore.WritePosition);
    EXPECT_EQ(device.eq.ProcessPosition, positionsBefore.ProcessPosition);

    device.state.EnableAmpfxEQ = 1;
    playSome(1920 * 25, input.size());
    EXPECT_EQ(played, expected);
}

TEST_F(EqualizerTest, AnyTransferSizeGivesTheSameStreamAndKeepsThePositionsInStep) {
    // Transfers above 4096 bytes are taken 4096 at a time, so the blocks keep pace and the
    // output is the one small transfers give, up to transfers longer than the ring.
    const std::vector<uint8_t> input = RandomBytes(4 * 60000, 6);
    TestDevice reference;
    reference.state = device.state;
    std::vector<uint8_t> expected = input;
    for (size_t at = 0; at < expected.size(); at += 1920)
        ReferenceRunEqualizer(&reference.context, expected.data() + at, 1920);

    for (size_t chunk : {4u, 192u, 3840u, 4096u, 4100u, 5000u, 30720u, 40000u, 70000u}) {
        TestDevice sized;
        sized.state = device.state;
        std::vector<uint8_t> output = input;
        for (size_t at = 0; at < output.size(); at += chunk) {
            const uint32_t length = static_cast<uint32_t>(std::min(chunk, output.size() - at));
            RunEqualizer(&sized.context, output.data() + at, length);
            const EqStream& eq = sized.eq;
            ASSERT_LT(eq.WritePosition, kEqRingBytes);
            ASSERT_EQ((eq.WritePosition + kEqRingBytes - eq.ReadPosition) % kEqRingBytes,
                      kEqDelayBytes);
            ASSERT_LT((eq.WritePosition + kEqRingBytes - eq.ProcessPosition) % kEqRingBytes,
                      kEqBlockBytes);
        }
        EXPECT_EQ(output, expected) << "chunk " << chunk;
    }
}

TEST_F(EqualizerTest, StageIsBitIdenticalToThePlainTranscriptionAtEveryWidth) {
    // Random transfer sizes up to 4096 (odd ones too), and band writes between transfers,
    // some of them hostile; a fresh stream for each vector width.
    const float hostile[] = {0.0f, -1.0f, 1e30f, std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN()};
    for (VectorWidth width : AvailableVectorWidths()) {
        ScopedVectorWidth use(width);
        SCOPED_TRACE(VectorWidthName(width));
        std::mt19937 rng(8);
        TestDevice device;
        device.AllStagesOff();
        device.state.EnableAmpfxEQ = 1;
        RebuildEqCurve(&device.state);
        TestDevice reference;
        reference.state = device.state;
        for (int transfer = 0; transfer < 3000; ++transfer) {
            if (rng() % 8 == 0) {
                const uint32_t band = rng() % kEqBandCount;
                const float gain = rng() % 20 == 0
                                       ? hostile[rng() % 5]
                                       : std::uniform_real_distribution<float>(0.25f, 4.0f)(rng);
                UpdateEqCurveSegment(&device.state, band, gain);
                UpdateEqCurveSegment(&reference.state, band, gain);
            }
            if (rng() % 200 == 0) {
                RebuildEqCurve(&device.state);
                RebuildEqCurve(&reference.state);
            }
            const uint32_t length = rng() % 4097;
            std::vector<uint8_t> a = RandomBytes(length, static_cast<uint32_t>(transfer));
            std::vector<uint8_t> b = a;
            RunEqualizer(&device.context, a.data(), length);
            ReferenceRunEqualizer(&reference.context, b.data(), length);
            ASSERT_EQ(a, b) << "transfer " << transfer << " length " << length;
        }
        // The last block's right channel may still be due; a short transfer finishes it (and
        // may start another block, whose right channel the next one finishes).
        for (uint32_t extra = 0; extra < 3 && device.eq.PendingChannel != 0; ++extra) {
            std::vector<uint8_t> a = RandomBytes(2, extra), b = a;
            RunEqualizer(&device.context, a.data(), 2);
            ReferenceRunEqualizer(&reference.context, b.data(), 2);
            ASSERT_EQ(a, b);
        }
        EXPECT_EQ(device.eq.PendingChannel, 0u);
        EXPECT_EQ(std::memcmp(device.eq.Ring, reference.eq.Ring, kEqRingBytes), 0);
        EXPECT_EQ(device.eq.ProcessPosition, reference.eq.ProcessPosition);
    }
}

TEST_F(EqualizerTest, ARightChannelStillDueSurvivesBandWritesAndStreamStarts) {
    // A block-completing transfer leaves its right channel to the next one. A band write or a
    // stream-start reset in between must not show: the same stream as the plain
    // transcription, whose blocks are whole, for cuts just after a block and elsewhere.
    const std::vector<uint8_t> input = RandomBytes(4 * 40000, 9);
    int resetsWithAChannelDue = 0;
    for (uint32_t chunk : {700u, 1920u, 4096u}) {
        for (uint32_t cut = 1; cut < 12; ++cut) {
            SCOPED_TRACE(testing::Message() << "chunk " << chunk << " cut " << cut);
            TestDevice engine;
            engine.state = device.state;
            TestDevice reference;
            reference.state = device.state;
            for (uint32_t at = 0, transfer = 0; at + chunk <= input.size(); at += chunk) {
                if (++transfer % 12 == cut) {
                    const float gain = 0.25f + 0.3f * static_cast<float>(cut);
                    UpdateEqCurveSegment(&engine.state, cut % kEqBandCount, gain);
                    UpdateEqCurveSegment(&reference.state, cut % kEqBandCount, gain);
                    if (transfer % 36 == cut) {
                        resetsWithAChannelDue += engine.eq.PendingChannel != 0;
                        ResetEqStreamForStreamStart(&engine.eq);
                        ResetEqStreamForStreamStart(&reference.eq);
                        // Twice in a row: the kept input must survive a second reset.
                        if (cut % 2 == 0)
                            ResetEqStreamForStreamStart(&engine.eq);
                    }
                }
                std::vector<uint8_t> a(input.begin() + at, input.begin() + at + chunk), b = a;
                RunEqualizer(&engine.context, a.data(), chunk);
                ReferenceRunEqualizer(&reference.context, b.data(), chunk);
                ASSERT_EQ(a, b) << "at " << at;
            }
        }
    }
    EXPECT_GT(resetsWithAChannelDue, 10);
}

TEST_F(EqualizerTest, ZeroGainsSilenceAndHugeGainsSaturateWithoutWrapping) {
    std::vector<int16_t> sine(2 * 20000);
    for (size_t t = 0; t < sine.size() / 2; ++t)
        sine[2 * t] = sine[2 * t + 1] = static_cast<int16_t>(20000 * std::sin(2 * kPi * t / 97));
    const std::vector<uint8_t> input = ToBytes(sine);

    for (float& g : device.state.AmpfxEQGain)
        g = 0.0f;
    RebuildEqCurve(&device.state);
    EXPECT_EQ(RunStream(device, input, 1920), std::vector<uint8_t>(input.size(), 0));

    TestDevice loud;
    loud.state = device.state;
    for (float& g : loud.state.AmpfxEQGain)
        g = 4.0f;
    RebuildEqCurve(&loud.state);
    const std::vector<int16_t> out = ToSamples(RunStream(loud, input, 1920));
    size_t clipped = 0;
    for (size_t t = 3840 + 1024; t < sine.size() / 2; ++t) {
        // Four times 20000 is far beyond 16 bits: the peaks clip, keeping their sign.
        const int16_t x = sine[2 * (t - 3840)];
        const int16_t y = out[2 * t];
        if (x > 10000) {
            EXPECT_EQ(y, 32767) << t;
            ++clipped;
        }
        if (x < -10000) {
            EXPECT_EQ(y, -32768) << t;
        }
    }
    EXPECT_GT(clipped, 1000u);
}

TEST_F(EqualizerTest, NonNumberGainsGiveSilenceUntilTheCurveIsSaneAgain) {
    const std::vector<uint8_t> input = RandomBytes(4 * 20000, 10);
    const std::vector<uint8_t> head(input.begin(), input.begin() + 4 * 10000);
    const std::vector<uint8_t> tail(input.begin() + 4 * 10000, input.end());
    UpdateEqCurveSegment(&device.state, 5, std::numeric_limits<float>::quiet_NaN());
    UpdateEqCurveSegment(&device.state, 9, std::numeric_limits<float>::infinity());
    const std::vector<uint8_t> silent = RunStream(device, head, 1920);
    EXPECT_EQ(silent, std::vector<uint8_t>(silent.size(), 0));

    UpdateEqCurveSegment(&device.state, 5, 1.0f);
    UpdateEqCurveSegment(&device.state, 9, 1.0f);
    const std::vector<int16_t> in = ToSamples(input);
    const std::vector<int16_t> out = ToSamples(RunStream(device, tail, 1920));
    // Blocks equalized with the sane curve reach the output after the frames still in the
    // ring and one hop whose overlap half was a non-number.
    for (size_t t = 10000 + 2048; t < 20000 - 3840; ++t) {
        const size_t at = 2 * (t + 3840 - 10000);
        ASSERT_NEAR(out[at], 0.891251 * in[2 * t], 3.0 + 0.001 * std::abs(in[2 * t])) << t;
    }
}

TEST_F(EqualizerTest, DeviceWithoutARingPassesTheTransferThrough) {
    device.context.Eq = nullptr;
    std::vector<uint8_t> bytes = RandomBytes(1920, 9);
    const std::vector<uint8_t> original = bytes;
    device.Process(bytes);
    EXPECT_EQ(bytes, original);
}

}  // namespace
