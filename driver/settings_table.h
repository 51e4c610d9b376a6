// The thirteen persisted effect settings as one table: registry name, field of the effect
// record, kind, count and clamp. The registry load and save and the control requests' clamps
// all work from it, so a setting is described once.
//
// Freestanding like the driver: no heap, no exceptions; host tools may include it too.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "effect_state.h"

enum class SettingKind : uint8_t {
    Dword,   // REG_DWORD, 4 bytes
    Floats,  // REG_BINARY, Count little-endian f32
};

// What a load or a request does with a value before it is stored.
enum class SettingClamp : uint8_t {
    None,         // stored as it is
    Flag,         // a load makes any non-zero value 1; a request stores it as sent
    LeftOffset,   // above 5 (unsigned) becomes 0
    RightOffset,  // above 5 (unsigned) becomes 1
    EqGain,       // a load clamps into [0.25, 4.0]; a band request stores it as sent
    Power,        // into [0.0, 1.0], load and request alike
    Distance,     // a request clamps into [0.0, 1.7]; a load takes it as stored
};

enum SettingId : uint32_t {
    kSettingSoundFieldType,
    kSettingEnableNoiseClean,
    kSettingEnableSoundDRC,
    kSettingEnableAmpfxEQ,
    kSettingEnableVirtual7ch1,
    kSettingEnableHRTF,
    kSettingLeftChOffset,
    kSettingRightChOffset,
    kSettingEnableConvert,
    kSettingAmpfxEQGain,
    kSettingVirtual7ch1Distance,
    kSettingVirtual7ch1Radian,
    kSettingAmpfx5Ch1Power,
    kSettingCount,
};

constexpr uint32_t kSettingMaxFloats = kEqBandCount;  // the longest table

struct SettingDescriptor {
    SettingId Id;
    const char16_t* Name;  // registry value name, the field's own name
    uint32_t Offset;       // of the field in EffectState
    SettingKind Kind;
    uint32_t Count;  // 1 for a DWORD, else the number of floats
    SettingClamp Clamp;
    // Floats: what a load takes for an entry it cannot read, and what replaces a NaN.
    const float* LoadDefaults;

    uint32_t Bytes() const { return Kind == SettingKind::Dword ? 4u : Count * 4u; }
};

// In the order the settings are read (the order of SettingId).
extern const SettingDescriptor kSettings[kSettingCount];
// The order in which the save writes them.
extern const SettingId kSettingSaveOrder[kSettingCount];

inline uint32_t* SettingDword(EffectState* state, const SettingDescriptor& setting) {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(state) + setting.Offset);
}
inline float* SettingFloats(EffectState* state, const SettingDescriptor& setting) {
    return reinterpret_cast<float*>(reinterpret_cast<uint8_t*>(state) + setting.Offset);
}
inline const uint32_t* SettingDword(const EffectState* state, const SettingDescriptor& setting) {
    return reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(state) +
                                             setting.Offset);
}
inline const float* SettingFloats(const EffectState* state, const SettingDescriptor& setting) {
    return reinterpret_cast<const float*>(reinterpret_cast<const uint8_t*>(state) + setting.Offset);
}

// A value read from the registry, as the load stores it.
uint32_t ClampLoadedDword(const SettingDescriptor& setting, uint32_t stored);
float ClampLoadedFloat(const SettingDescriptor& setting, uint32_t index, float stored);
// A value sent with a control request, as the request stores it.
uint32_t ClampRequestedDword(const SettingDescriptor& setting, uint32_t sent);
float ClampRequestedFloat(const SettingDescriptor& setting, uint32_t index, float sent);
