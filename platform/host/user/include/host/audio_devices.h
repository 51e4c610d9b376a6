// The sound devices the user session sees: one built-in sound card that is not a USB device,
// and every started USB audio device (a function whose class driver exposes the render and
// capture interfaces). DirectSound's playback and capture enumeration and the wave functions'
// device numbers and capabilities are taken from them, and the default playback and recording
// device is chosen here as the Sound control panel chooses it: a device that arrives becomes
// the default, a default that leaves gives way to the one chosen before it, and the built-in
// card is the last resort.
//
// Names: a device's name is its device description ("USB Audio Device"); from Windows 6 on the
// endpoints are "Speakers (<name>)" and "Microphone (<name>)", and a second device of the same
// name is "2- <name>". Wave product names hold at most 31 characters.
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/user_types.h"

namespace host {
class DevNode;
class PnpManager;
}  // namespace host

namespace host::user {

enum class Flow { Playback, Recording };

constexpr uint32_t MMSYSERR_NOERROR = 0;
constexpr uint32_t MMSYSERR_BADDEVICEID = 2;
constexpr uint32_t MMSYSERR_INVALHANDLE = 5;
constexpr uint32_t MMSYSERR_NODRIVER = 6;
constexpr uint32_t MMSYSERR_INVALPARAM = 11;
constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFFu;
constexpr uint32_t DS_OK = 0;

struct AudioDevice {
    std::string key;  // "builtin", or the USB function's instance path
    bool builtin = false;
    std::u16string name;
    std::u16string renderDescription;
    std::u16string captureDescription;
    std::u16string renderPath;  // device-interface path, lower case
    std::u16string capturePath;
    Guid renderGuid;
    Guid captureGuid;
};

// The record DirectSound's enumeration hands its callback for a device.
struct DirectSoundDeviceRecord {
    Guid guid;
    std::u16string description;
    std::u16string module;
    std::u16string interfacePath;
};

// WAVEOUTCAPSW / WAVEINCAPSW.
struct WaveCaps {
    uint16_t mid = 0;
    uint16_t pid = 0;
    uint32_t driverVersion = 0;
    std::u16string name;  // szPname: at most 31 characters
    uint32_t formats = 0;
    uint16_t channels = 0;
    uint32_t support = 0;  // waveOut only
};

class AudioDevices {
  public:
    AudioDevices(PnpManager* pnp, uint32_t windowsMajor);
    ~AudioDevices();
    AudioDevices(const AudioDevices&) = delete;
    AudioDevices& operator=(const AudioDevices&) = delete;

    // Built-in card first, then the USB devices in the order they arrived.
    std::vector<AudioDevice> Devices();

    // DirectSoundEnumerate / DirectSoundCaptureEnumerate: first the primary driver's entry
    // (null record, "Primary Sound Driver" / "Primary Sound Capture Driver"), then each
    // device, the default first. Stops when the callback returns false.
    using DirectSoundCallback =
        std::function<bool(const DirectSoundDeviceRecord* record, const std::u16string& description,
                           const std::u16string& module)>;
    uint32_t DirectSoundEnumerate(Flow flow, const DirectSoundCallback& callback);

    // Device 0 is the default device, the others follow in Devices() order.
    uint32_t GetNumDevs(Flow flow);
    uint32_t GetDevCaps(Flow flow, uint32_t deviceId, WaveCaps* caps);
    // The USB function behind recording device `deviceId` (null for the built-in card), for
    // the wave-in capture; false for a number past the count.
    bool RecordingNode(uint32_t deviceId, DevNode** node);

    // The scenario's choice: 0 the built-in card, N the N-th USB audio device of Devices().
    bool SetDefault(Flow flow, int index);
    std::string DefaultKey(Flow flow);
    void SetBuiltInPresent(bool present);

    // The device description a simulated headset model carries.
    static std::string HeadsetDescription(uint16_t productId);

  private:
    std::vector<AudioDevice> Ordered(Flow flow);
    std::string DefaultLocked(Flow flow, const std::vector<AudioDevice>& devices);

    PnpManager* pnp_;
    uint32_t major_;
    int listener_ = 0;
    std::mutex mutex_;
    bool builtinPresent_ = true;
    std::vector<std::string> arrivals_;                // instance paths, first arrival first
    std::map<Flow, std::vector<std::string>> chosen_;  // most recent choice first
};

}  // namespace host::user
