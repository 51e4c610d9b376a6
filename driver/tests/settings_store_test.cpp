// The settings load at AddDevice and the save at remove, through the real registry routines.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>

#include "ampfx_driver.h"
#include "filtered_machine.h"
#include "host/kernel.h"
#include "settings_defaults.h"
#include "sound_field.h"

namespace ampfx_test {
namespace {

std::vector<uint8_t> Floats(std::vector<float> values) {
    std::vector<uint8_t> bytes(values.size() * 4);
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

std::vector<float> StoredFloats(host::Registry& registry, const char* name) {
    auto value = registry.GetValue(kSettingsKey, name);
    EXPECT_TRUE(value.has_value()) << name;
    if (!value)
        return {};
    EXPECT_EQ(value->type, host::kRegBinary) << name;
    std::vector<float> floats(value->data.size() / 4);
    std::memcpy(floats.data(), value->data.data(), floats.size() * 4);
    return floats;
}

// A key holding all thirteen values, with `dwords` and `binaries` replacing the defaults and
// `missing` left out.
void WriteSettingsKey(host::Registry& registry, std::map<std::string, uint32_t> dwords = {},
                      std::map<std::string, std::vector<float>> binaries = {},
                      const std::string& missing = "") {
    std::map<std::string, uint32_t> allDwords = {
        {"SoundFieldType", 0}, {"EnableNoiseClean", 0},  {"EnableSoundDRC", 0},
        {"EnableAmpfxEQ", 1},  {"EnableVirtual7ch1", 1}, {"EnableHRTF", 0},
        {"LeftChOffset", 0},   {"RightChOffset", 1},     {"EnableConvert", 0x303},
    };
    std::map<std::string, std::vector<float>> allBinaries = {
        {"AmpfxEQGain", std::vector<float>(10, 1.0f)},
        {"Virtual7ch1Distance", std::vector<float>(8, 0.7f)},
        {"Virtual7ch1Radian", std::vector<float>(kLoadDefaultRadian, kLoadDefaultRadian + 8)},
        {"Ampfx5Ch1Power", std::vector<float>(6, 1.0f)},
    };
    for (auto& [name, value] : dwords)
        allDwords[name] = value;
    for (auto& [name, value] : binaries)
        allBinaries[name] = value;
    registry.CreateKey(kSettingsKey);
    for (auto& [name, value] : allDwords)
        if (name != missing)
            registry.SetDword(kSettingsKey, name, value);
    for (auto& [name, value] : allBinaries)
        if (name != missing)
            registry.SetBinary(kSettingsKey, name, Floats(value));
}

// 0x160D: a supported device whose chip leaves the loaded flags alone.
constexpr uint16_t kHeadset = 0x160D;

TEST(SettingsStoreTest, FreshInstallationRunsOnLoadDefaultsAndTheFirstRemovalWritesThemAll) {
    FilteredMachine machine;
    host::DevNode* node = machine.Plug(kHeadset);
    ASSERT_TRUE(node->Started());
    ASSERT_FALSE(machine.registry().KeyExists(kSettingsKey));

    const EffectState& state = g_EffectState;
    EXPECT_EQ(state.SoundFieldType, 0u);
    EXPECT_EQ(state.EnableNoiseClean, 0u);
    EXPECT_EQ(state.EnableSoundDRC, 0u);
    EXPECT_EQ(state.EnableAmpfxEQ, 1u);
    EXPECT_EQ(state.EnableVirtual7ch1, 1u);
    EXPECT_EQ(state.EnableHRTF, 0u);
    EXPECT_EQ(state.LeftChOffset, 0u);
    EXPECT_EQ(state.RightChOffset, 1u);
    EXPECT_EQ(state.EnableConvert, 771u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(state.AmpfxEQGain[i], 1.0f);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(state.Virtual7ch1Distance[i], 0.7f);
        EXPECT_EQ(state.Virtual7ch1Radian[i], kLoadDefaultRadian[i]);
    }
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(state.Ampfx5Ch1Power[i], 1.0f);
    // The curve and the mix were rebuilt from the loaded tables.
    EXPECT_EQ(state.EqGainCurve[0], 1.0f);
    EXPECT_EQ(state.EqGainCurve[1023], 1.0f);
    EXPECT_NEAR(state.SpeakerMixLeft[0], 0.28f, 1e-6);
    EXPECT_NEAR(state.SpeakerMixRight[5], 0.0f, 1e-15) << "cos(3pi/2) in double, practically 0";

    machine.pnp().Unplug(node);
    host::Registry& registry = machine.registry();
    std::vector<host::RegistryValue> values;
    ASSERT_EQ(registry.EnumValues(kSettingsKey, &values), 0u);
    std::vector<std::string> names;
    for (const auto& value : values)
        names.push_back(value.name);
    EXPECT_EQ(names, (std::vector<std::string>{"SoundFieldType", "EnableNoiseClean",
                                               "EnableSoundDRC", "EnableAmpfxEQ", "AmpfxEQGain",
                                               "EnableVirtual7ch1", "Virtual7ch1Distance",
                                               "Virtual7ch1Radian", "EnableHRTF", "Ampfx5Ch1Power",
                                               "LeftChOffset", "RightChOffset", "EnableConvert"}));
    EXPECT_EQ(registry.GetDword(kSettingsKey, "SoundFieldType"), 0u);
    EXPECT_EQ(registry.GetDword(kSettingsKey, "EnableAmpfxEQ"), 1u);
    EXPECT_EQ(registry.GetDword(kSettingsKey, "EnableVirtual7ch1"), 1u);
    EXPECT_EQ(registry.GetDword(kSettingsKey, "RightChOffset"), 1u);
    EXPECT_EQ(registry.GetDword(kSettingsKey, "EnableConvert"), 771u);
    EXPECT_EQ(StoredFloats(registry, "AmpfxEQGain"), std::vector<float>(10, 1.0f));
    EXPECT_EQ(StoredFloats(registry, "Virtual7ch1Distance"), std::vector<float>(8, 0.7f));
    EXPECT_EQ(StoredFloats(registry, "Virtual7ch1Radian"),
              std::vector<float>(kLoadDefaultRadian, kLoadDefaultRadian + 8));
    EXPECT_EQ(StoredFloats(registry, "Ampfx5Ch1Power"), std::vector<float>(6, 1.0f));
}

TEST(SettingsStoreTest, StoredValuesAreClampedAndTheCurveRebuiltFromTheClampedGains) {
    FilteredMachine machine;
    std::vector<float> gains(10, 1.0f);
    gains[0] = 8.0f;
    gains[9] = 0.1f;
    WriteSettingsKey(machine.registry(),
                     {{"EnableNoiseClean", 7}, {"LeftChOffset", 9}, {"RightChOffset", 9}},
                     {{"AmpfxEQGain", gains}, {"Ampfx5Ch1Power", {1.5f, -0.2f, 0.5f, 1, 1, 1}}});
    machine.Plug(kHeadset);

    const EffectState& state = g_EffectState;
    EXPECT_EQ(state.AmpfxEQGain[0], 4.0f);
    EXPECT_EQ(state.AmpfxEQGain[9], 0.25f);
    EXPECT_EQ(state.EqGainCurve[0], 4.0f);
    EXPECT_EQ(state.EqGainCurve[EqBandPosition[0]], 4.0f);
    EXPECT_EQ(state.EqGainCurve[700], 0.25f);
    EXPECT_EQ(state.EnableNoiseClean, 1u);
    EXPECT_EQ(state.LeftChOffset, 0u);
    EXPECT_EQ(state.RightChOffset, 1u);
    EXPECT_EQ(state.Ampfx5Ch1Power[0], 1.0f);
    EXPECT_EQ(state.Ampfx5Ch1Power[1], 0.0f);
    EXPECT_EQ(state.Ampfx5Ch1Power[2], 0.5f);
}

TEST(SettingsStoreTest, StoredSoundFieldIsSetUpAndAnImpossibleOneFallsBackToNone) {
    {
        FilteredMachine machine;
        WriteSettingsKey(machine.registry(), {{"SoundFieldType", 3}});
        machine.Plug(kHeadset);
        EXPECT_EQ(g_EffectState.SoundFieldType, 3u);
        ASSERT_NE(g_EffectState.SoundFieldWork, nullptr);
        ASSERT_NE(g_EffectState.SoundFieldParams, nullptr);
        EXPECT_EQ(g_EffectState.SoundFieldParams->Channel[0].CrossFeedLength, 102u);
        EXPECT_EQ(g_EffectState.SoundFieldParams->Channel[1].CrossFeedLength, 100u);
    }
    {
        FilteredMachine machine;
        WriteSettingsKey(machine.registry(), {{"SoundFieldType", 5}});
        host::DevNode* node = machine.Plug(kHeadset);
        EXPECT_TRUE(node->Started());
        EXPECT_EQ(g_EffectState.SoundFieldType, 0u);
        EXPECT_EQ(g_EffectState.SoundFieldWork, nullptr);
    }
}

TEST(SettingsStoreTest, AMissingValueCostsOnlyItself) {
    FilteredMachine machine;
    WriteSettingsKey(machine.registry(),
                     {{"EnableAmpfxEQ", 0},
                      {"EnableSoundDRC", 1},
                      {"SoundFieldType", 2},
                      {"LeftChOffset", 9},
                      {"RightChOffset", 9}},
                     {{"AmpfxEQGain", std::vector<float>(10, 2.0f)},
                      {"Virtual7ch1Distance", std::vector<float>(8, 1.5f)}},
                     "EnableConvert");
    machine.Plug(kHeadset);

    const EffectState& state = g_EffectState;
    EXPECT_EQ(state.EnableConvert, 771u) << "the missing value keeps its built-in value";
    EXPECT_EQ(state.LeftChOffset, 0u) << "every value read is clamped";
    EXPECT_EQ(state.RightChOffset, 1u);
    EXPECT_EQ(state.EnableAmpfxEQ, 0u);
    EXPECT_EQ(state.EnableSoundDRC, 1u);
    EXPECT_EQ(state.SoundFieldType, 2u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(state.AmpfxEQGain[i], 2.0f);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(state.Virtual7ch1Distance[i], 1.5f);
}

// One stored value of the wrong type or size, on a kernel that checks types for the query
// and on one that ignores the check: that value is left alone, never written through or
// merged, and every other value loads.
TEST(SettingsStoreTest, ABadValueCostsOnlyItselfOnEveryKernel) {
    struct Case {
        const char* name;
        uint32_t type;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {"EnableConvert", host::kRegBinary, std::vector<uint8_t>(64, 0x5A)},
        {"EnableConvert", host::kRegDword, std::vector<uint8_t>(8, 0x11)},
        {"EnableConvert", host::kRegDword, {0x05}},
        {"EnableConvert", host::kRegDword, {0x05, 0x00, 0x00}},
        {"EnableConvert", host::kRegSz, {'7', 0, 0, 0}},
        {"EnableConvert", host::kRegMultiSz, {'7', 0, 0, 0, 0, 0}},
        {"EnableConvert", host::kRegExpandSz, {'%', 0, 'x', 0, '%', 0, 0, 0}},
        {"EnableAmpfxEQ", host::kRegDword, {0x00}},
        {"EnableAmpfxEQ", host::kRegSz, std::vector<uint8_t>(600, 'A')},
        {"AmpfxEQGain", host::kRegBinary, std::vector<uint8_t>(44, 0)},
        {"AmpfxEQGain", host::kRegBinary, std::vector<uint8_t>(36, 0)},
        {"AmpfxEQGain", host::kRegSz, std::vector<uint8_t>(40, 'A')},
        {"Virtual7ch1Radian", host::kRegDword, {1, 0, 0, 0}},
    };
    const host::kernel::WindowsVersion kernels[] = {host::kernel::WindowsVersion::WindowsVista,
                                                    host::kernel::WindowsVersion::WindowsXP,
                                                    host::kernel::WindowsVersion::Windows98};
    for (const auto windows : kernels) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " type " + std::to_string(c.type) + ", " +
                         std::to_string(c.data.size()) + " bytes, Windows " +
                         std::to_string(static_cast<int>(windows)));
            FilteredMachine machine(windows);
            WriteSettingsKey(machine.registry(),
                             {{"RightChOffset", 4}, {"EnableSoundDRC", 1}, {"EnableAmpfxEQ", 1}},
                             {{"Ampfx5Ch1Power", std::vector<float>(6, 0.5f)}});
            machine.registry().SetValue(kSettingsKey, c.name, c.type, c.data.data(), c.data.size());
            host::DevNode* node = machine.Plug(kHeadset);
            ASSERT_TRUE(node->Started());
            const EffectState& state = g_EffectState;
            EXPECT_EQ(state.EnableConvert, 771u);
            EXPECT_EQ(state.EnableAmpfxEQ, 1u);
            EXPECT_EQ(state.EnableSoundDRC, 1u) << "values around the bad one still load";
            EXPECT_EQ(state.RightChOffset, 4u);
            EXPECT_EQ(state.Ampfx5Ch1Power[5], 0.5f);
            for (int i = 0; i < 10; ++i)
                EXPECT_EQ(state.AmpfxEQGain[i], 1.0f);
            for (int i = 0; i < 8; ++i)
                EXPECT_EQ(state.Virtual7ch1Radian[i], kLoadDefaultRadian[i]);

            // The removal saves what was loaded, and leaves the unreadable value as it was.
            machine.pnp().Unplug(node);
            auto kept = machine.registry().GetValue(kSettingsKey, c.name);
            ASSERT_TRUE(kept.has_value());
            EXPECT_EQ(kept->type, c.type);
            EXPECT_EQ(kept->data, c.data);
            EXPECT_EQ(machine.registry().GetDword(kSettingsKey, "EnableSoundDRC"), 1u);
            EXPECT_EQ(machine.registry().GetDword(kSettingsKey, "RightChOffset"), 4u);
        }
    }
}

TEST(SettingsStoreTest, AnUnreadableValueChangedByARequestIsSavedAsChanged) {
    FilteredMachine machine;
    WriteSettingsKey(machine.registry());
    const uint8_t text[] = {'1', 0, 0, 0};
    machine.registry().SetValue(kSettingsKey, "EnableSoundDRC", host::kRegSz, text, sizeof text);
    host::DevNode* node = machine.Plug(kHeadset);
    AmpfxValueRequest drc{0, 1};
    ASSERT_EQ(SendControl(IOCTL_AMPFX_DRC_ENABLE, &drc, 8, 8).error, 0u);
    machine.pnp().Unplug(node);
    auto saved = machine.registry().GetValue(kSettingsKey, "EnableSoundDRC");
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->type, host::kRegDword);
    EXPECT_EQ(machine.registry().GetDword(kSettingsKey, "EnableSoundDRC"), 1u);
}

TEST(SettingsStoreTest, StoredNaNsTakeTheLoadDefaults) {
    const float nan = std::nanf("");
    FilteredMachine machine;
    std::vector<float> gains(10, 2.0f);
    gains[4] = nan;
    std::vector<float> distances(8, 1.2f);
    distances[1] = nan;
    std::vector<float> angles(kLoadDefaultRadian, kLoadDefaultRadian + 8);
    angles[6] = -nan;
    std::vector<float> powers(6, 0.5f);
    powers[2] = nan;
    WriteSettingsKey(machine.registry(), {},
                     {{"AmpfxEQGain", gains},
                      {"Virtual7ch1Distance", distances},
                      {"Virtual7ch1Radian", angles},
                      {"Ampfx5Ch1Power", powers}});
    machine.Plug(kHeadset);

    const EffectState& state = g_EffectState;
    EXPECT_EQ(state.AmpfxEQGain[3], 2.0f);
    EXPECT_EQ(state.AmpfxEQGain[4], 1.0f);
    EXPECT_EQ(state.Virtual7ch1Distance[0], 1.2f);
    EXPECT_EQ(state.Virtual7ch1Distance[1], 0.7f);
    EXPECT_EQ(state.Virtual7ch1Radian[6], kLoadDefaultRadian[6]);
    EXPECT_EQ(state.Ampfx5Ch1Power[1], 0.5f);
    EXPECT_EQ(state.Ampfx5Ch1Power[2], 1.0f);
    for (int bin = 0; bin < 1024; ++bin)
        ASSERT_TRUE(std::isfinite(state.EqGainCurve[bin])) << bin;
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(std::isfinite(state.SpeakerMixLeft[i])) << i;
        EXPECT_TRUE(std::isfinite(state.SpeakerMixRight[i])) << i;
    }
}

// Every setting travels through a request, the save and the next load unchanged: the one
// table that names them serves all three.
TEST(SettingsStoreTest, EverySettingSurvivesARemovalAndTheNextLoad) {
    FilteredMachine machine;
    host::DevNode* node = machine.Plug(kHeadset);
    AmpfxValueRequest value{0, 2};
    ASSERT_EQ(SendControl(IOCTL_AMPFX_SOUND_FIELD, &value, 8, 8).error, 0u);
    value.Value = 1;
    ASSERT_EQ(SendControl(IOCTL_AMPFX_NOISE_CLEAN, &value, 8, 8).error, 0u);
    ASSERT_EQ(SendControl(IOCTL_AMPFX_DRC_ENABLE, &value, 8, 8).error, 0u);
    value.Value = 0;
    ASSERT_EQ(SendControl(IOCTL_AMPFX_EQ_ENABLE, &value, 8, 8).error, 0u);
    value.Value = 0x202;
    ASSERT_EQ(SendControl(IOCTL_AMPFX_CONVERT, &value, 8, 8).error, 0u);
    for (uint16_t band = 0; band < 10; ++band) {
        AmpfxBandRequest gain{0, band, 0.5f + 0.25f * band};
        ASSERT_EQ(SendControl(IOCTL_AMPFX_EQ_BAND, &gain, 8, 0).error, 0u);
    }
    AmpfxSpeaker51Request speaker51{};
    speaker51.EnableHRTF = 1;
    speaker51.LeftChOffset = 3;
    speaker51.RightChOffset = 4;
    for (int i = 0; i < 6; ++i)
        speaker51.Ampfx5Ch1Power[i] = 0.1f * i;
    ASSERT_EQ(SendControl(IOCTL_AMPFX_SPEAKER_51, &speaker51, sizeof speaker51, 0).error, 0u);
    AmpfxVirtual71Request virtual71{};
    virtual71.EnableVirtual7ch1 = 0;
    for (int i = 0; i < 8; ++i) {
        virtual71.Virtual7ch1Distance[i] = 0.2f * i;
        virtual71.Virtual7ch1Radian[i] = 0.3f * i;
    }
    ASSERT_EQ(SendControl(IOCTL_AMPFX_VIRTUAL_71, &virtual71, sizeof virtual71, 0).error, 0u);
    const EffectState before = g_EffectState;
    machine.pnp().Unplug(node);

    machine.Plug(kHeadset);
    const EffectState& after = g_EffectState;
    EXPECT_EQ(after.SoundFieldType, 2u);
    EXPECT_EQ(after.EnableNoiseClean, 1u);
    EXPECT_EQ(after.EnableSoundDRC, 1u);
    EXPECT_EQ(after.EnableAmpfxEQ, 0u);
    EXPECT_EQ(after.EnableVirtual7ch1, 0u);
    EXPECT_EQ(after.EnableHRTF, 1u);
    EXPECT_EQ(after.LeftChOffset, 3u);
    EXPECT_EQ(after.RightChOffset, 4u);
    EXPECT_EQ(after.EnableConvert, 0x202u);
    EXPECT_EQ(0, std::memcmp(after.AmpfxEQGain, before.AmpfxEQGain, sizeof after.AmpfxEQGain));
    EXPECT_EQ(0, std::memcmp(after.Virtual7ch1Distance, before.Virtual7ch1Distance,
                             sizeof after.Virtual7ch1Distance));
    EXPECT_EQ(0, std::memcmp(after.Virtual7ch1Radian, before.Virtual7ch1Radian,
                             sizeof after.Virtual7ch1Radian));
    EXPECT_EQ(
        0, std::memcmp(after.Ampfx5Ch1Power, before.Ampfx5Ch1Power, sizeof after.Ampfx5Ch1Power));
}

// The load computes in floating point. Without a saved state AddDevice runs on the settings
// it has, and the removal then must not write those over what the user stored.
TEST(SettingsStoreTest, WithoutTheFloatingPointStateTheLoadIsSkippedAndTheKeyKept) {
    FilteredMachine machine;
    WriteSettingsKey(machine.registry(), {{"EnableSoundDRC", 1}, {"EnableConvert", 5}},
                     {{"AmpfxEQGain", std::vector<float>(10, 2.0f)}});
    host::kernel::FailFloatingPointSaves(1);
    host::DevNode* node = machine.Plug(kHeadset);
    host::kernel::FailFloatingPointSaves(0);
    ASSERT_TRUE(node->Started());
    EXPECT_EQ(g_EffectState.EnableSoundDRC, 0u);
    EXPECT_EQ(g_EffectState.EnableConvert, 771u);
    EXPECT_EQ(g_EffectState.AmpfxEQGain[0], 1.0f);

    machine.pnp().Unplug(node);
    EXPECT_EQ(machine.registry().GetDword(kSettingsKey, "EnableSoundDRC"), 1u);
    EXPECT_EQ(machine.registry().GetDword(kSettingsKey, "EnableConvert"), 5u);
    EXPECT_EQ(StoredFloats(machine.registry(), "AmpfxEQGain"), std::vector<float>(10, 2.0f));
}

TEST(SettingsStoreTest, ControlChangesReachTheKeyOnlyAtRemoval) {
    FilteredMachine machine;
    WriteSettingsKey(machine.registry());
    host::DevNode* node = machine.Plug(kHeadset);

    AmpfxBandRequest set{0, 3, 2.5f};
    ASSERT_EQ(SendControl(IOCTL_AMPFX_EQ_BAND, &set, 8, 0).error, 0u);
    AmpfxValueRequest drc{0, 5};
    ASSERT_EQ(SendControl(IOCTL_AMPFX_DRC_ENABLE, &drc, 8, 8).error, 0u);
    EXPECT_EQ(StoredFloats(machine.registry(), "AmpfxEQGain")[3], 1.0f);
    EXPECT_EQ(machine.registry().GetDword(kSettingsKey, "EnableSoundDRC"), 0u);

    machine.pnp().Unplug(node);
    EXPECT_EQ(StoredFloats(machine.registry(), "AmpfxEQGain")[3], 2.5f);
    EXPECT_EQ(machine.registry().GetDword(kSettingsKey, "EnableSoundDRC"), 5u)
        << "flags are saved as held, not normalised";
}

TEST(SettingsStoreTest, ChipModel4410StartsWithGateAndLevelControlOff) {
    FilteredMachine machine;
    WriteSettingsKey(machine.registry(), {{"EnableNoiseClean", 1}, {"EnableSoundDRC", 1}});
    machine.Plug(0x1607);
    EXPECT_EQ(g_EffectState.EnableNoiseClean, 0u);
    EXPECT_EQ(g_EffectState.EnableSoundDRC, 0u);
}

}  // namespace
}  // namespace ampfx_test
