// The panel's settings file: the last equalizer gains, microphone volume, mute and boost, and
// sound field, fourteen little-endian 32-bit values in the all-users application-data
// folder. Loading pushes every value to the driver and to Windows.
#include <cstring>

#include "eq_knob_scale.h"
#include "ui/audio_control_dlg.h"

namespace {

constexpr char16_t kSettingsFileName[] = u"QEXAudioEQAndMicData.dat";
constexpr size_t kPathLimit = 260;

bool SettingsPath(PanelSystem& system, std::u16string* path) {
    std::u16string folder;
    if (!system.CommonAppDataFolder(&folder))
        return false;
    if (folder.empty() || folder.back() != u'\\')
        folder.push_back(u'\\');
    *path = folder + kSettingsFileName;
    return path->size() < kPathLimit;
}

bool ReadValue(PanelFile& file, uint32_t* value) {
    uint8_t bytes[4];
    uint32_t got = 0;
    if (!file.Read(bytes, 4, &got) || got != 4)
        return false;
    *value =
        bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    return true;
}

bool WriteValue(PanelFile& file, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return file.Write(bytes, 4);
}

uint32_t FloatBits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return bits;
}

float BitsFloat(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

}  // namespace

void CQEXAudioControlDlg::SavePanelSettings() {
    std::u16string path;
    if (!SettingsPath(system_, &path))
        return;
    std::unique_ptr<PanelFile> file = system_.OpenFile(path, FileOpen::WriteExisting);
    if (!file)
        file = system_.OpenFile(path, FileOpen::Create);
    if (!file)
        return;

    // Each value has its own slot: one that cannot be read is skipped over, so the values
    // after it never move out of their places and the old content of its slot stays.
    for (uint16_t band = 0; band < 10; ++band) {
        float gain = 0.0f;
        if (!file->Seek(4u * band))
            return;
        if (driver_.GetBandGain(band, &gain))
            WriteValue(*file, FloatBits(gain));
    }

    uint32_t volume = 0, mute = 0, boost = 0;
    if (CoreAudioAvailable) {
        if (microphone_.GetMicVolume(CaptureDescription, &volume) != 0)
            return;
        if (!file->Seek(40) || !WriteValue(*file, volume))
            return;
        if (microphone_.GetMicMute(CaptureDescription, &mute) != 0)
            return;
        if (!WriteValue(*file, mute))
            return;
        if (microphone_.GetMicBoost(CaptureDescription, &boost) != 0)
            return;
        if (!WriteValue(*file, boost))
            return;
    } else {
        uint32_t minimum = 0, maximum = 0;
        if (!microphone_.MixerMicControl(0, &volume, &minimum, &maximum))
            return;
        if (!file->Seek(40) || !WriteValue(*file, volume))
            return;
        if (!microphone_.MixerMicControl(2, &mute, nullptr, nullptr) || !WriteValue(*file, mute))
            return;
        if (!microphone_.MixerMicControl(4, &boost, nullptr, nullptr) || !WriteValue(*file, boost))
            return;
    }

    uint32_t type = 0;
    if (driver_.GetSoundField(&type))
        WriteValue(*file, type);
}

void CQEXAudioControlDlg::LoadPanelSettings() {
    std::u16string path;
    if (!SettingsPath(system_, &path))
        return;
    std::unique_ptr<PanelFile> file = system_.OpenFile(path, FileOpen::Read);
    if (!file)
        return;

    for (uint16_t band = 0; band < 10; ++band) {
        uint32_t bits = 0;
        if (!ReadValue(*file, &bits))
            return;
        const float gain = BitsFloat(bits);
        if (gain >= 0.25f && gain <= 2.0f) {
            driver_.SetBandGain(band, gain);
            KnobPointers[band]->y = EqKnobTopForGain(gain);
        }
    }

    uint32_t volume = 0, mute = 0, boost = 0;
    if (CoreAudioAvailable) {
        if (ReadValue(*file, &volume))
            microphone_.SetMicVolume(CaptureDescription, volume);
        else
            volume = 0;
    } else {
        uint32_t minimum = 0, maximum = 0;
        if (!ReadValue(*file, &volume) ||
            !microphone_.MixerMicControl(1, &volume, &minimum, &maximum))
            return;
    }
    MicKnobPosX = 584;
    MicKnobPosY = 328 - static_cast<int>(static_cast<int64_t>(volume) * 171 / 100);

    if (CoreAudioAvailable) {
        if (ReadValue(*file, &mute))
            microphone_.SetMicMute(CaptureDescription, mute);
        else
            mute = 0;
    } else if (!ReadValue(*file, &mute) ||
               !microphone_.MixerMicControl(3, &mute, nullptr, nullptr)) {
        return;
    }
    MicMute = static_cast<int>(mute);

    if (CoreAudioAvailable) {
        if (ReadValue(*file, &boost))
            microphone_.SetMicBoost(CaptureDescription, boost);
        else
            boost = 0;
    } else if (!ReadValue(*file, &boost) ||
               !microphone_.MixerMicControl(5, &boost, nullptr, nullptr)) {
        return;
    }
    MicBoost = static_cast<int>(boost);

    uint32_t type = 0;
    if (ReadValue(*file, &type)) {
        SoundFieldType = static_cast<int>(type);
        driver_.SetSoundField(type);
    }
}
