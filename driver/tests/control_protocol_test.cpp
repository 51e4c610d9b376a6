// The nine control requests as a client sees them through the control device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "ampfx_driver.h"
#include "filtered_machine.h"
#include "host/kernel.h"

namespace ampfx_test {
namespace {

template <typename Block>
Block As(const ControlAnswer& answer) {
    Block block{};
    std::memcpy(&block, answer.output.data(), std::min(sizeof block, answer.output.size()));
    return block;
}

class ControlProtocolTest : public ::testing::Test {
  protected:
    ControlProtocolTest() {
        function = std::make_shared<host::BasicUsbFunction>(0x0F1E, 0x160D);
        node = machine.Plug(0x160D, true, function);
    }

    // SET_CUR requests the device has received so far.
    size_t ClassRequests() const {
        const auto functions = function->UrbFunctions();
        return std::count(functions.begin(), functions.end(), URB_FUNCTION_CLASS_INTERFACE);
    }

    FilteredMachine machine;
    std::shared_ptr<host::BasicUsbFunction> function;
    host::DevNode* node = nullptr;
};

TEST_F(ControlProtocolTest, BandRequestsGetAndSetAndIgnoreBadBands) {
    AmpfxBandRequest set{0, 4, 2.0f};
    ASSERT_EQ(SendControl(IOCTL_AMPFX_EQ_BAND, &set, 8, 0).error, 0u);
    EXPECT_EQ(g_EffectState.AmpfxEQGain[4], 2.0f);
    EXPECT_EQ(g_EffectState.EqGainCurve[21], 2.0f) << "the curve follows a band set";

    AmpfxBandRequest get{1, 4, 0.0f};
    ControlAnswer answer = SendControl(IOCTL_AMPFX_EQ_BAND, &get, 8, 8);
    EXPECT_EQ(answer.bytes, 8u);
    EXPECT_EQ(As<AmpfxBandRequest>(answer).Gain, 2.0f);
    EXPECT_EQ(As<AmpfxBandRequest>(answer).Band, 4);

    AmpfxBandRequest band10{0, 10, 3.0f};
    answer = SendControl(IOCTL_AMPFX_EQ_BAND, &band10, 8, 8);
    EXPECT_EQ(answer.error, 0u);
    EXPECT_EQ(answer.bytes, 0u);
    AmpfxBandRequest shortSet{0, 1, 3.0f};
    EXPECT_EQ(SendControl(IOCTL_AMPFX_EQ_BAND, &shortSet, 7, 8).bytes, 0u);
    EXPECT_EQ(g_EffectState.AmpfxEQGain[1], 1.0f);

    // The raw request reaches bands 0-4 and leaves the curve alone.
    AmpfxBandRequest raw{0, 2, 3.0f};
    SendControl(IOCTL_AMPFX_EQ_BAND_RAW, &raw, 8, 0);
    EXPECT_EQ(g_EffectState.AmpfxEQGain[2], 3.0f);
    EXPECT_EQ(g_EffectState.EqGainCurve[EqBandPosition[2]], 1.0f);
    AmpfxBandRequest raw5{0, 5, 3.0f};
    SendControl(IOCTL_AMPFX_EQ_BAND_RAW, &raw5, 8, 0);
    EXPECT_EQ(g_EffectState.AmpfxEQGain[5], 1.0f);
}

TEST_F(ControlProtocolTest, ValueRequestsHonourTheirLengthRules) {
    struct {
        uint32_t code;
        uint32_t* field;
        bool exact;
    } const requests[] = {
        {IOCTL_AMPFX_EQ_ENABLE, &g_EffectState.EnableAmpfxEQ, false},
        {IOCTL_AMPFX_DRC_ENABLE, &g_EffectState.EnableSoundDRC, true},
        {IOCTL_AMPFX_SOUND_FIELD, &g_EffectState.SoundFieldType, true},
        {IOCTL_AMPFX_CONVERT, &g_EffectState.EnableConvert, true},
    };
    for (const auto& request : requests) {
        uint8_t twelve[12] = {};
        const uint32_t value = 2;
        std::memcpy(twelve + 4, &value, 4);
        const uint32_t before = *request.field;
        ControlAnswer answer = SendControl(request.code, twelve, 12, 12);
        EXPECT_EQ(answer.error, 0u);
        EXPECT_EQ(answer.bytes, 0u) << "a set returns nothing";
        EXPECT_EQ(*request.field, request.exact ? before : 2u)
            << request.code << ": 12 bytes are served only without an exact-length rule";

        AmpfxValueRequest set{0, 3};
        SendControl(request.code, &set, 8, 8);
        EXPECT_EQ(*request.field, 3u) << request.code;
        AmpfxValueRequest get{1, 0};
        EXPECT_EQ(As<AmpfxValueRequest>(SendControl(request.code, &get, 8, 8)).Value, 3u);
        EXPECT_EQ(SendControl(request.code, &get, 8, 7).bytes, 0u) << "one byte short";
    }
}

TEST_F(ControlProtocolTest, Speaker51ClampsOffsetsAndPowers) {
    for (uint32_t offset : {6u, 0xFFFFFFFFu}) {
        AmpfxSpeaker51Request set{0, 1, offset, offset, {1.5f, -0.2f, 0.5f, 0, 1, 0.25f}};
        SendControl(IOCTL_AMPFX_SPEAKER_51, &set, 40, 0);
        AmpfxSpeaker51Request get{};
        get.Selector = 1;
        AmpfxSpeaker51Request answer =
            As<AmpfxSpeaker51Request>(SendControl(IOCTL_AMPFX_SPEAKER_51, &get, 40, 40));
        EXPECT_EQ(answer.EnableHRTF, 1u);
        EXPECT_EQ(answer.LeftChOffset, 0u);
        EXPECT_EQ(answer.RightChOffset, 1u);
        EXPECT_EQ(answer.Ampfx5Ch1Power[0], 1.0f);
        EXPECT_EQ(answer.Ampfx5Ch1Power[1], 0.0f);
        EXPECT_EQ(answer.Ampfx5Ch1Power[5], 0.25f);
    }
    AmpfxSpeaker51Request get{};
    get.Selector = 1;
    EXPECT_EQ(SendControl(IOCTL_AMPFX_SPEAKER_51, &get, 40, 39).bytes, 0u);
    EXPECT_EQ(SendControl(IOCTL_AMPFX_SPEAKER_51, &get, 39, 40).bytes, 0u);
}

TEST_F(ControlProtocolTest, Virtual71ClampsDistancesKeepsAnglesAndRecomputesTheMix) {
    AmpfxVirtual71Request set{};
    set.EnableVirtual7ch1 = 1;
    for (int i = 0; i < 8; ++i) {
        set.Virtual7ch1Distance[i] = 1.0f;
        set.Virtual7ch1Radian[i] = 1.5707964f;
    }
    set.Virtual7ch1Distance[0] = 2.0f;
    set.Virtual7ch1Distance[1] = -1.0f;
    set.Virtual7ch1Radian[2] = 10.0f;
    SendControl(IOCTL_AMPFX_VIRTUAL_71, &set, 72, 0);
    EXPECT_EQ(g_EffectState.Virtual7ch1Distance[0], 1.7f);
    EXPECT_EQ(g_EffectState.Virtual7ch1Distance[1], 0.0f);
    EXPECT_EQ(g_EffectState.Virtual7ch1Radian[2], 10.0f);
    EXPECT_EQ(g_EffectState.SpeakerMixLeft[1], 0.0f) << "distance 0 silences the speaker";
    EXPECT_NEAR(g_EffectState.SpeakerMixLeft[0], std::cos(M_PI / 4) * 1.7 * 0.4, 1e-6);

    AmpfxVirtual71Request get{};
    get.Selector = 1;
    ControlAnswer answer = SendControl(IOCTL_AMPFX_VIRTUAL_71, &get, 72, 72);
    EXPECT_EQ(answer.bytes, 72u);
    EXPECT_EQ(As<AmpfxVirtual71Request>(answer).Virtual7ch1Distance[0], 1.7f);
    EXPECT_EQ(SendControl(IOCTL_AMPFX_VIRTUAL_71, &get, 71, 72).bytes, 0u);
}

TEST_F(ControlProtocolTest, ImpossibleSoundFieldFailsAndReadsBackNone) {
    AmpfxValueRequest set{0, 2};
    EXPECT_EQ(SendControl(IOCTL_AMPFX_SOUND_FIELD, &set, 8, 8).error, 0u);
    EXPECT_EQ(g_EffectState.SoundFieldType, 2u);

    set.Value = 5;
    ControlAnswer answer = SendControl(IOCTL_AMPFX_SOUND_FIELD, &set, 8, 8);
    EXPECT_EQ(answer.error, 1450u)
        << "ERROR_NO_SYSTEM_RESOURCES from STATUS_INSUFFICIENT_RESOURCES";
    EXPECT_EQ(g_EffectState.SoundFieldType, 0u);
    EXPECT_EQ(g_EffectState.SoundFieldWork, nullptr) << "type 5 frees the buffers";

    AmpfxValueRequest get{1, 9};
    EXPECT_EQ(As<AmpfxValueRequest>(SendControl(IOCTL_AMPFX_SOUND_FIELD, &get, 8, 8)).Value, 0u);
    set.Value = 4;
    EXPECT_EQ(SendControl(IOCTL_AMPFX_SOUND_FIELD, &set, 8, 8).error, 0u);
    EXPECT_NE(g_EffectState.SoundFieldWork, nullptr) << "a valid type allocates again";
}

TEST_F(ControlProtocolTest, NoiseCleanMutesAtOnceAndUnmutesOnlyWhatItMuted) {
    const size_t before = ClassRequests();
    AmpfxValueRequest off{0, 0};
    SendControl(IOCTL_AMPFX_NOISE_CLEAN, &off, 8, 8);
    EXPECT_EQ(ClassRequests(), before) << "off while unmuted sends nothing";

    AmpfxValueRequest on{0, 1};
    SendControl(IOCTL_AMPFX_NOISE_CLEAN, &on, 8, 8);
    EXPECT_EQ(ClassRequests(), before + 1);
    EXPECT_EQ(g_EffectState.NoiseGateMuted, 1u);
    SendControl(IOCTL_AMPFX_NOISE_CLEAN, &on, 8, 8);
    EXPECT_EQ(ClassRequests(), before + 2) << "on mutes again, muted or not";
    SendControl(IOCTL_AMPFX_NOISE_CLEAN, &off, 8, 8);
    EXPECT_EQ(ClassRequests(), before + 3);
    EXPECT_EQ(g_EffectState.NoiseGateMuted, 0u);

    g_EffectState.HostMuteState = 1;
    SendControl(IOCTL_AMPFX_NOISE_CLEAN, &on, 8, 8);
    EXPECT_EQ(g_EffectState.EnableNoiseClean, 1u);
    EXPECT_EQ(ClassRequests(), before + 3) << "the host's mute leaves the device alone";
}

// A NaN compares false with every limit; it must not reach the effect state, where it would
// spread through the curve or the mix into every sample.
TEST_F(ControlProtocolTest, NaNsTakeTheDefaultInsteadOfSlippingPastTheClamps) {
    const float nan = std::nanf("");
    AmpfxBandRequest band{0, 3, nan};
    SendControl(IOCTL_AMPFX_EQ_BAND, &band, 8, 0);
    EXPECT_EQ(g_EffectState.AmpfxEQGain[3], 1.0f);
    for (int bin = 0; bin < 1024; ++bin)
        ASSERT_TRUE(std::isfinite(g_EffectState.EqGainCurve[bin])) << bin;
    band = {0, 2, -nan};
    SendControl(IOCTL_AMPFX_EQ_BAND_RAW, &band, 8, 0);
    EXPECT_EQ(g_EffectState.AmpfxEQGain[2], 1.0f);

    AmpfxSpeaker51Request speaker51{};
    for (int i = 0; i < 6; ++i)
        speaker51.Ampfx5Ch1Power[i] = 0.25f;
    speaker51.Ampfx5Ch1Power[4] = nan;
    SendControl(IOCTL_AMPFX_SPEAKER_51, &speaker51, 40, 0);
    EXPECT_EQ(g_EffectState.Ampfx5Ch1Power[3], 0.25f);
    EXPECT_EQ(g_EffectState.Ampfx5Ch1Power[4], 1.0f);

    AmpfxVirtual71Request virtual71{};
    for (int i = 0; i < 8; ++i) {
        virtual71.Virtual7ch1Distance[i] = 1.0f;
        virtual71.Virtual7ch1Radian[i] = 1.0f;
    }
    virtual71.Virtual7ch1Distance[5] = nan;
    virtual71.Virtual7ch1Radian[6] = nan;
    SendControl(IOCTL_AMPFX_VIRTUAL_71, &virtual71, 72, 0);
    EXPECT_EQ(g_EffectState.Virtual7ch1Distance[5], 0.7f);
    EXPECT_EQ(g_EffectState.Virtual7ch1Radian[6], 3.9269907f);
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(std::isfinite(g_EffectState.SpeakerMixLeft[i])) << i;
        EXPECT_TRUE(std::isfinite(g_EffectState.SpeakerMixRight[i])) << i;
    }
}

// On 32-bit Windows the floating-point state must be saved around every request that
// computes: each request brackets its work, and one whose save fails changes nothing and
// fails with the save's status.
TEST_F(ControlProtocolTest, RequestsSaveTheFloatingPointStateAndFailCleanlyWithoutIt) {
    AmpfxBandRequest band{0, 4, 2.0f};
    AmpfxSpeaker51Request speaker51{};
    speaker51.Ampfx5Ch1Power[0] = 0.5f;
    AmpfxVirtual71Request virtual71{};
    virtual71.Virtual7ch1Distance[0] = 0.1f;
    AmpfxValueRequest soundField{0, 2};
    struct Case {
        const char* name;
        uint32_t code;
        const void* block;
        uint32_t length;
        std::function<bool()> changed;
    };
    const Case cases[] = {
        {"band", IOCTL_AMPFX_EQ_BAND, &band, 8,
         [] {
             return g_EffectState.AmpfxEQGain[4] != 1.0f || g_EffectState.EqGainCurve[21] != 1.0f;
         }},
        {"raw band", IOCTL_AMPFX_EQ_BAND_RAW, &band, 8,
         [] { return g_EffectState.AmpfxEQGain[4] != 1.0f; }},
        {"5.1", IOCTL_AMPFX_SPEAKER_51, &speaker51, 40,
         [] { return g_EffectState.Ampfx5Ch1Power[0] != 1.0f; }},
        {"7.1", IOCTL_AMPFX_VIRTUAL_71, &virtual71, 72,
         [] { return g_EffectState.Virtual7ch1Distance[0] != 0.7f; }},
        {"sound field", IOCTL_AMPFX_SOUND_FIELD, &soundField, 8,
         [] { return g_EffectState.SoundFieldType != 0; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::kernel::FailFloatingPointSaves(1);
        const ControlAnswer failed = SendControl(c.code, c.block, c.length, c.length);
        host::kernel::FailFloatingPointSaves(0);
        EXPECT_NE(failed.error, 0u);
        EXPECT_EQ(failed.bytes, 0u);
        EXPECT_FALSE(c.changed());
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t saves = host::kernel::FloatingPointSaveCount();
        EXPECT_EQ(SendControl(c.code, c.block, c.length, c.length).error, 0u);
        EXPECT_EQ(host::kernel::FloatingPointSaveCount(), saves + 1);
        EXPECT_TRUE(c.changed());
    }
}

TEST(ControlProtocolBeforeStartTest, EveryRequestSucceedsWithNothingBeforeASupportedStart) {
    FilteredMachine machine;
    machine.Plug(0x1234, true, nullptr, 0x0F1E);  // filtered, but not a supported product
    for (uint32_t code : {IOCTL_AMPFX_EQ_BAND, IOCTL_AMPFX_EQ_ENABLE, IOCTL_AMPFX_SOUND_FIELD,
                          IOCTL_AMPFX_VIRTUAL_71}) {
        uint8_t block[72] = {1};
        ControlAnswer answer = SendControl(code, block, 72, 72);
        EXPECT_EQ(answer.error, 0u);
        EXPECT_EQ(answer.bytes, 0u);
    }
    AmpfxValueRequest field{0, 5};
    EXPECT_EQ(SendControl(IOCTL_AMPFX_SOUND_FIELD, &field, 8, 8).error, 0u);
}

}  // namespace
}  // namespace ampfx_test
