#include "settings_table.h"

#include "settings_defaults.h"

namespace {

constexpr float kEqGainDefaults[kEqBandCount] = {
    kLoadDefaultEqGain, kLoadDefaultEqGain, kLoadDefaultEqGain, kLoadDefaultEqGain,
    kLoadDefaultEqGain, kLoadDefaultEqGain, kLoadDefaultEqGain, kLoadDefaultEqGain,
    kLoadDefaultEqGain, kLoadDefaultEqGain};
constexpr float kDistanceDefaults[kSpeakerCount] = {
    kLoadDefaultDistance, kLoadDefaultDistance, kLoadDefaultDistance, kLoadDefaultDistance,
    kLoadDefaultDistance, kLoadDefaultDistance, kLoadDefaultDistance, kLoadDefaultDistance};
constexpr float kPowerDefaults[kSpeaker51PowerCount] = {kLoadDefaultPower, kLoadDefaultPower,
                                                        kLoadDefaultPower, kLoadDefaultPower,
                                                        kLoadDefaultPower, kLoadDefaultPower};

// NaN compares false with everything, so it would slip through every range test below.
bool IsNaN(float value) {
    return value != value;
}

}  // namespace

#define AMPFX_SETTING(id, field, kind, count, clamp, defaults)                                  \
    {                                                                                           \
        id, u## #field, static_cast<uint32_t>(offsetof(EffectState, field)), SettingKind::kind, \
            count, SettingClamp::clamp, defaults                                                \
    }

const SettingDescriptor kSettings[kSettingCount] = {
    AMPFX_SETTING(kSettingSoundFieldType, SoundFieldType, Dword, 1, None, nullptr),
    AMPFX_SETTING(kSettingEnableNoiseClean, EnableNoiseClean, Dword, 1, Flag, nullptr),
    AMPFX_SETTING(kSettingEnableSoundDRC, EnableSoundDRC, Dword, 1, Flag, nullptr),
    AMPFX_SETTING(kSettingEnableAmpfxEQ, EnableAmpfxEQ, Dword, 1, Flag, nullptr),
    AMPFX_SETTING(kSettingEnableVirtual7ch1, EnableVirtual7ch1, Dword, 1, Flag, nullptr),
    AMPFX_SETTING(kSettingEnableHRTF, EnableHRTF, Dword, 1, Flag, nullptr),
    AMPFX_SETTING(kSettingLeftChOffset, LeftChOffset, Dword, 1, LeftOffset, nullptr),
    AMPFX_SETTING(kSettingRightChOffset, RightChOffset, Dword, 1, RightOffset, nullptr),
    AMPFX_SETTING(kSettingEnableConvert, EnableConvert, Dword, 1, None, nullptr),
    AMPFX_SETTING(kSettingAmpfxEQGain, AmpfxEQGain, Floats, kEqBandCount, EqGain, kEqGainDefaults),
    AMPFX_SETTING(kSettingVirtual7ch1Distance, Virtual7ch1Distance, Floats, kSpeakerCount, Distance,
                  kDistanceDefaults),
    AMPFX_SETTING(kSettingVirtual7ch1Radian, Virtual7ch1Radian, Floats, kSpeakerCount, None,
                  kLoadDefaultRadian),
    AMPFX_SETTING(kSettingAmpfx5Ch1Power, Ampfx5Ch1Power, Floats, kSpeaker51PowerCount, Power,
                  kPowerDefaults),
};

#undef AMPFX_SETTING

const SettingId kSettingSaveOrder[kSettingCount] = {
    kSettingSoundFieldType,      kSettingEnableNoiseClean,  kSettingEnableSoundDRC,
    kSettingEnableAmpfxEQ,       kSettingAmpfxEQGain,       kSettingEnableVirtual7ch1,
    kSettingVirtual7ch1Distance, kSettingVirtual7ch1Radian, kSettingEnableHRTF,
    kSettingAmpfx5Ch1Power,      kSettingLeftChOffset,      kSettingRightChOffset,
    kSettingEnableConvert,
};

namespace {

uint32_t ClampOffset(const SettingDescriptor& setting, uint32_t value) {
    if (value <= 5)
        return value;
    return setting.Clamp == SettingClamp::LeftOffset ? 0u : 1u;
}

}  // namespace

uint32_t ClampLoadedDword(const SettingDescriptor& setting, uint32_t stored) {
    switch (setting.Clamp) {
        case SettingClamp::Flag:
            return stored != 0 ? 1u : 0u;
        case SettingClamp::LeftOffset:
        case SettingClamp::RightOffset:
            return ClampOffset(setting, stored);
        default:
            return stored;
    }
}

uint32_t ClampRequestedDword(const SettingDescriptor& setting, uint32_t sent) {
    switch (setting.Clamp) {
        case SettingClamp::LeftOffset:
        case SettingClamp::RightOffset:
            return ClampOffset(setting, sent);
        default:
            return sent;
    }
}

float ClampLoadedFloat(const SettingDescriptor& setting, uint32_t index, float stored) {
    if (IsNaN(stored))
        return setting.LoadDefaults[index];
    switch (setting.Clamp) {
        case SettingClamp::EqGain:
            return ClampLoadedEqGain(stored);
        case SettingClamp::Power:
            return ClampChannelPower(stored);
        default:
            return stored;
    }
}

float ClampRequestedFloat(const SettingDescriptor& setting, uint32_t index, float sent) {
    if (IsNaN(sent))
        return setting.LoadDefaults[index];
    switch (setting.Clamp) {
        case SettingClamp::Power:
            return ClampChannelPower(sent);
        case SettingClamp::Distance:
            // Compared in double precision; above the limit it becomes 1.7f exactly.
            if (static_cast<double>(sent) > 1.7)
                return 1.7f;
            if (static_cast<double>(sent) < 0.0)
                return 0.0f;
            return sent;
        default:
            return sent;
    }
}
