// The effect settings in the registry: read once when a device is added, written once when
// a device is removed, never in between. Every setting is described by the settings table.
#include "ampfx_driver.h"
#include "fold_down.h"
#include "settings_table.h"
#include "shared_access.h"

namespace {

const char16_t kSettingsKey[] = u"\\Registry\\MACHINE\\SOFTWARE\\Ampfx";

enum class ReadOutcome : uint8_t {
    Missing,     // no such value (or no key)
    Read,        // the right type and size: taken
    Unreadable,  // present, but of another type or size: left alone
};

// One value on its way from the registry. The data lands here only after its type and size
// have been checked, so nothing the registry holds can write past it.
struct SettingRead {
    const SettingDescriptor* Setting;
    ReadOutcome Outcome;
    uint8_t Data[kSettingMaxFloats * sizeof(float)];
};

// A value the load could not read stays in the registry as it is: the save must not replace
// it with the default the load fell back to, unless a request has changed the setting since.
struct KeptValue {
    bool Kept;
    uint8_t Loaded[kSettingMaxFloats * sizeof(float)];
};

KeptValue g_KeptValues[kSettingCount];
bool g_SettingsLoaded;

// IRQL: PASSIVE_LEVEL. The query routine sees the type and the length of the stored data on
// every kernel, whether or not it knows the table's type-check flag.
NTSTATUS NTAPI TakeSettingValue(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                ULONG ValueLength, PVOID Context, PVOID EntryContext) {
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    SettingRead* read = static_cast<SettingRead*>(EntryContext);
    const ULONG expectedType = read->Setting->Kind == SettingKind::Dword ? REG_DWORD : REG_BINARY;
    if (ValueType != expectedType || ValueLength != read->Setting->Bytes() ||
        ValueData == nullptr) {
        read->Outcome = ReadOutcome::Unreadable;
        return STATUS_SUCCESS;
    }
    RtlCopyMemory(read->Data, ValueData, ValueLength);
    read->Outcome = ReadOutcome::Read;
    return STATUS_SUCCESS;
}

// One query per value, so that a bad value costs only itself.
void ReadSetting(SettingRead* read) {
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof table);
    table[0].QueryRoutine = TakeSettingValue;
    // Raw data, once: no expansion, no splitting of a multi-string into calls.
    table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    table[0].Name = const_cast<PWSTR>(Wide(read->Setting->Name));
    table[0].EntryContext = read;
    table[0].DefaultType = REG_NONE;
    read->Outcome = ReadOutcome::Missing;
    RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Wide(kSettingsKey), table, nullptr, nullptr);
}

// Float fields travel as their bit patterns: the save needs no floating point.
uint32_t LoadBits(const float& field) {
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(&field), __ATOMIC_RELAXED);
}

// The field's current bytes, as the save would write them.
void CurrentBytes(const SettingDescriptor& setting, uint8_t* out) {
    if (setting.Kind == SettingKind::Dword) {
        const uint32_t value = LoadShared(*SettingDword(&g_EffectState, setting));
        RtlCopyMemory(out, &value, sizeof value);
        return;
    }
    const float* values = SettingFloats(&g_EffectState, setting);
    for (uint32_t i = 0; i < setting.Count; ++i) {
        const uint32_t bits = LoadBits(values[i]);
        RtlCopyMemory(out + i * sizeof bits, &bits, sizeof bits);
    }
}

void ApplySetting(const SettingRead& read) {
    const SettingDescriptor& setting = *read.Setting;
    if (setting.Kind == SettingKind::Dword) {
        // A DWORD that cannot be read keeps the value it has.
        if (read.Outcome == ReadOutcome::Read) {
            uint32_t stored;
            RtlCopyMemory(&stored, read.Data, sizeof stored);
            StoreShared(*SettingDword(&g_EffectState, setting), ClampLoadedDword(setting, stored));
        }
        return;
    }
    // A table that cannot be read takes its load defaults.
    float* values = SettingFloats(&g_EffectState, setting);
    for (uint32_t i = 0; i < setting.Count; ++i) {
        float value = setting.LoadDefaults[i];
        if (read.Outcome == ReadOutcome::Read) {
            float stored;
            RtlCopyMemory(&stored, read.Data + i * sizeof stored, sizeof stored);
            value = ClampLoadedFloat(setting, i, stored);
        }
        StoreShared(values[i], value);
    }
}

void WriteSetting(const SettingDescriptor& setting) {
    uint8_t bytes[kSettingMaxFloats * sizeof(float)];
    CurrentBytes(setting, bytes);
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, Wide(kSettingsKey), Wide(setting.Name),
                          setting.Kind == SettingKind::Dword ? REG_DWORD : REG_BINARY, bytes,
                          setting.Bytes());
}

}  // namespace

// IRQL: PASSIVE_LEVEL, from DriverEntry: nothing loaded yet, nothing kept.
void ResetSettingsStore() {
    RtlZeroMemory(g_KeptValues, sizeof g_KeptValues);
    g_SettingsLoaded = false;
}

// IRQL: PASSIVE_LEVEL, from AddDevice after the attach, inside its floating-point bracket.
void LoadSettings() {
    for (uint32_t i = 0; i < kSettingCount; ++i) {
        SettingRead read;
        read.Setting = &kSettings[i];
        ReadSetting(&read);
        ApplySetting(read);
        KeptValue& kept = g_KeptValues[i];
        kept.Kept = read.Outcome == ReadOutcome::Unreadable;
        if (kept.Kept)
            CurrentBytes(kSettings[i], kept.Loaded);
    }
    RebuildEqCurve(&g_EffectState);
    RecomputeSpeakerMix(&g_EffectState);
    g_SettingsLoaded = true;
}

// IRQL: PASSIVE_LEVEL, at the end of a remove. Failures lose the value silently. Settings
// that were never loaded are not written: the key still holds what the user had.
void SaveSettings() {
    if (!g_SettingsLoaded)
        return;
    RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(Wide(kSettingsKey)));
    for (SettingId id : kSettingSaveOrder) {
        const SettingDescriptor& setting = kSettings[id];
        const KeptValue& kept = g_KeptValues[id];
        if (kept.Kept) {
            uint8_t now[kSettingMaxFloats * sizeof(float)];
            CurrentBytes(setting, now);
            if (RtlCompareMemory(now, kept.Loaded, setting.Bytes()) == setting.Bytes())
                continue;
        }
        WriteSetting(setting);
    }
}
