// The effect settings in the registry: read once when a device is added, written once when
// a device is removed, never in between.
#include "ampfx_driver.h"
#include "fold_down.h"
#include "settings_defaults.h"
#include "shared_access.h"

namespace {

const char16_t kSettingsKey[] = u"\\Registry\\MACHINE\\SOFTWARE\\Ampfx";

// Published flag values; older DDK headers lack the type check.
constexpr ULONG kQueryTypeCheck = 0x00000100;
constexpr ULONG kQueryTypeCheckShift = 24;

// A DWORD is queried into a slot that starts as "a 4-byte buffer" in the routine's sized-
// buffer convention: data of up to four bytes lands in the slot, anything longer fails the
// query instead of being written past it.
constexpr ULONG kDwordSentinel = static_cast<ULONG>(-static_cast<LONG>(sizeof(ULONG)));

enum DwordIndex {
    kSoundFieldType,
    kEnableNoiseClean,
    kEnableSoundDRC,
    kEnableAmpfxEQ,
    kEnableVirtual7ch1,
    kEnableHRTF,
    kLeftChOffset,
    kRightChOffset,
    kEnableConvert,
    kDwordCount,
};

const char16_t* const kDwordNames[kDwordCount] = {
    u"SoundFieldType", u"EnableNoiseClean",  u"EnableSoundDRC",
    u"EnableAmpfxEQ",  u"EnableVirtual7ch1", u"EnableHRTF",
    u"LeftChOffset",   u"RightChOffset",     u"EnableConvert",
};

// A binary value's temporary buffer: filled with the load defaults, its first ULONG then
// set to the negative buffer size, so the routine stores the data alone and fails on data
// that does not fit.
struct BinaryValue {
    const char16_t* name;
    ULONG count;  // floats
    float* buffer;
    float firstDefault;

    bool Allocate(float defaultValue) {
        buffer = static_cast<float*>(
            ExAllocatePoolWithTag(NonPagedPool, count * sizeof(float), kAmpfxPoolTag));
        if (buffer == nullptr)
            return false;
        firstDefault = defaultValue;
        for (ULONG i = 0; i < count; ++i)
            buffer[i] = defaultValue;
        return true;
    }

    void MarkSize() {
        const LONG size = -static_cast<LONG>(count * sizeof(float));
        RtlCopyMemory(buffer, &size, sizeof size);
    }

    // The first entry still holding the size means the query never reached this value.
    void RestoreUnread() {
        LONG first;
        RtlCopyMemory(&first, buffer, sizeof first);
        if (first == -static_cast<LONG>(count * sizeof(float)))
            buffer[0] = firstDefault;
    }

    void Release() {
        if (buffer != nullptr)
            ExFreePoolWithTag(buffer, kAmpfxPoolTag);
        buffer = nullptr;
    }
};

void AddEntry(RTL_QUERY_REGISTRY_TABLE* entry, const char16_t* name, PVOID context, ULONG type) {
    entry->QueryRoutine = nullptr;
    entry->Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | kQueryTypeCheck;
    entry->Name = const_cast<PWSTR>(Wide(name));
    entry->EntryContext = context;
    entry->DefaultType = (type << kQueryTypeCheckShift) | REG_NONE;
    entry->DefaultData = nullptr;
    entry->DefaultLength = 0;
}

uint32_t AsFlag(ULONG value) {
    return value != 0 ? 1 : 0;
}

void WriteDword(const char16_t* name, ULONG value) {
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, Wide(kSettingsKey), Wide(name), REG_DWORD, &value,
                          sizeof value);
}

void WriteFloats(const char16_t* name, const float* values, ULONG count) {
    // The live arrays may be written by a control request meanwhile; take whole words.
    float copy[16];
    for (ULONG i = 0; i < count; ++i)
        copy[i] = LoadShared(values[i]);
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, Wide(kSettingsKey), Wide(name), REG_BINARY, copy,
                          count * sizeof(float));
}

}  // namespace

// IRQL: PASSIVE_LEVEL, from AddDevice after the attach.
void LoadSettings() {
    EffectState& state = g_EffectState;

    ULONG dwords[kDwordCount];
    for (ULONG& slot : dwords)
        slot = kDwordSentinel;

    BinaryValue gains = {u"AmpfxEQGain", kEqBandCount, nullptr, 0.0f};
    BinaryValue distances = {u"Virtual7ch1Distance", kSpeakerCount, nullptr, 0.0f};
    BinaryValue angles = {u"Virtual7ch1Radian", kSpeakerCount, nullptr, 0.0f};
    BinaryValue powers = {u"Ampfx5Ch1Power", kSpeaker51PowerCount, nullptr, 0.0f};

    // The query runs in this order; a buffer that cannot be allocated ends the table there.
    RTL_QUERY_REGISTRY_TABLE table[kDwordCount + 4 + 1];
    RtlZeroMemory(table, sizeof table);
    ULONG entries = 0;
    for (ULONG i = 0; i < kDwordCount; ++i) {
        AddEntry(&table[entries++], kDwordNames[i], &dwords[i], REG_DWORD);
    }
    gains.Allocate(kLoadDefaultEqGain);
    distances.Allocate(kLoadDefaultDistance);
    if (angles.Allocate(0.0f)) {
        for (ULONG i = 0; i < kSpeakerCount; ++i)
            angles.buffer[i] = kLoadDefaultRadian[i];
        angles.firstDefault = kLoadDefaultRadian[0];
    }
    powers.Allocate(kLoadDefaultPower);
    BinaryValue* const binaries[] = {&gains, &distances, &angles, &powers};
    for (BinaryValue* value : binaries) {
        if (value->buffer == nullptr)
            break;
        AddEntry(&table[entries++], value->name, value->buffer, REG_BINARY);
    }
    const bool tableComplete = entries == kDwordCount + 4;
    for (BinaryValue* value : binaries) {
        if (value->buffer != nullptr)
            value->MarkSize();
    }

    const NTSTATUS status =
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Wide(kSettingsKey), table, nullptr, nullptr);
    const bool readAll = NT_SUCCESS(status) && tableComplete;

    // The offsets and the convert field go straight into the live settings as they are read.
    struct {
        DwordIndex index;
        uint32_t* live;
    } const straight[] = {{kLeftChOffset, &state.LeftChOffset},
                          {kRightChOffset, &state.RightChOffset},
                          {kEnableConvert, &state.EnableConvert}};
    for (const auto& field : straight) {
        if (readAll || dwords[field.index] != kDwordSentinel) {
            StoreShared(*field.live, static_cast<uint32_t>(dwords[field.index]));
        }
    }
    if (readAll) {
        StoreShared(state.SoundFieldType, static_cast<uint32_t>(dwords[kSoundFieldType]));
        StoreShared(state.EnableNoiseClean, AsFlag(dwords[kEnableNoiseClean]));
        StoreShared(state.EnableSoundDRC, AsFlag(dwords[kEnableSoundDRC]));
        StoreShared(state.EnableAmpfxEQ, AsFlag(dwords[kEnableAmpfxEQ]));
        StoreShared(state.EnableVirtual7ch1, AsFlag(dwords[kEnableVirtual7ch1]));
        StoreShared(state.EnableHRTF, AsFlag(dwords[kEnableHRTF]));
        if (dwords[kLeftChOffset] > 5)
            StoreShared(state.LeftChOffset, 0u);
        if (dwords[kRightChOffset] > 5)
            StoreShared(state.RightChOffset, 1u);
    }

    // Each table comes from its buffer whatever the outcome: the stored value, else the load
    // default. A table whose buffer could not be allocated keeps what it holds.
    if (gains.buffer != nullptr) {
        gains.RestoreUnread();
        for (ULONG i = 0; i < kEqBandCount; ++i)
            StoreShared(state.AmpfxEQGain[i], ClampLoadedEqGain(gains.buffer[i]));
    }
    if (distances.buffer != nullptr) {
        distances.RestoreUnread();
        for (ULONG i = 0; i < kSpeakerCount; ++i)
            StoreShared(state.Virtual7ch1Distance[i], distances.buffer[i]);
    }
    if (angles.buffer != nullptr) {
        angles.RestoreUnread();
        for (ULONG i = 0; i < kSpeakerCount; ++i)
            StoreShared(state.Virtual7ch1Radian[i], angles.buffer[i]);
    }
    if (powers.buffer != nullptr) {
        powers.RestoreUnread();
        for (ULONG i = 0; i < kSpeaker51PowerCount; ++i)
            StoreShared(state.Ampfx5Ch1Power[i], ClampChannelPower(powers.buffer[i]));
    }

    RebuildEqCurve(&state);
    if (distances.buffer != nullptr && angles.buffer != nullptr) {
        RecomputeSpeakerMix(&state);
    }

    for (BinaryValue* value : binaries)
        value->Release();
}

// IRQL: PASSIVE_LEVEL, at the end of a remove. Failures lose the value silently.
void SaveSettings() {
    const EffectState& state = g_EffectState;
    RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(Wide(kSettingsKey)));
    WriteDword(u"SoundFieldType", LoadShared(state.SoundFieldType));
    WriteDword(u"EnableNoiseClean", LoadShared(state.EnableNoiseClean));
    WriteDword(u"EnableSoundDRC", LoadShared(state.EnableSoundDRC));
    WriteDword(u"EnableAmpfxEQ", LoadShared(state.EnableAmpfxEQ));
    WriteFloats(u"AmpfxEQGain", state.AmpfxEQGain, kEqBandCount);
    WriteDword(u"EnableVirtual7ch1", LoadShared(state.EnableVirtual7ch1));
    WriteFloats(u"Virtual7ch1Distance", state.Virtual7ch1Distance, kSpeakerCount);
    WriteFloats(u"Virtual7ch1Radian", state.Virtual7ch1Radian, kSpeakerCount);
    WriteDword(u"EnableHRTF", LoadShared(state.EnableHRTF));
    WriteFloats(u"Ampfx5Ch1Power", state.Ampfx5Ch1Power, kSpeaker51PowerCount);
    WriteDword(u"LeftChOffset", LoadShared(state.LeftChOffset));
    WriteDword(u"RightChOffset", LoadShared(state.RightChOffset));
    WriteDword(u"EnableConvert", LoadShared(state.EnableConvert));
}
