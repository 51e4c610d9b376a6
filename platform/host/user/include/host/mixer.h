// The winmm mixer of the user session: one mixer per recording device (in the devices' order)
// with its wave-in destination line and the microphone source line behind it. The volume,
// mute and automatic gain control are the device's one microphone state (host/core_audio.h),
// so a change made here is what Core Audio reads and reports, and the other way round.
//
// Before Windows 6 the mixer is the device's own: volume and mute on the destination, the
// gain control's on/off switch on the destination or on the microphone source, wherever the
// hardware has it. From Windows 6 on the mixer is Windows' rendering of the capture endpoint:
// volume and mute on the destination and no switch, the gain control being Core Audio's only.
#pragma once

#include <stdint.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/core_audio.h"

namespace host::user {

constexpr uint32_t MMSYSERR_INVALFLAG = 10;
constexpr uint32_t MIXERR_INVALLINE = 1024;
constexpr uint32_t MIXERR_INVALCONTROL = 1025;

// mixerGetLineInfo's query (MIXER_GETLINEINFOF_*).
enum class MixerLineQuery : uint32_t { Destination = 0, Source = 1, LineId = 2, ComponentType = 3 };

constexpr uint32_t kMixerDestinationWaveIn = 7;      // MIXERLINE_COMPONENTTYPE_DST_WAVEIN
constexpr uint32_t kMixerSourceMicrophone = 0x1003;  // MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE
constexpr uint32_t kMixerTargetWaveIn = 2;           // MIXERLINE_TARGETTYPE_WAVEIN
constexpr uint32_t kMixerControlVolume = 0x50030001;
constexpr uint32_t kMixerControlMute = 0x20010002;
constexpr uint32_t kMixerControlOnOff = 0x20010001;

// MIXERLINEW as far as the session fills it.
struct MixerLine {
    uint32_t destination = 0;
    uint32_t source = 0;
    uint32_t lineId = 0;
    uint32_t componentType = 0;
    uint32_t connections = 0;
    uint32_t controls = 0;
    std::u16string name;
    uint32_t targetType = 0;
    std::u16string targetName;  // Target.szPname: the wave-in device's product name
};

// MIXERCONTROLW as far as the session fills it.
struct MixerControl {
    uint32_t controlId = 0;
    uint32_t type = 0;
    uint32_t minimum = 0, maximum = 0;
    std::u16string name;
};

class Mixers {
  public:
    Mixers(CoreAudio& audio, uint32_t windowsMajor) : audio_(audio), major_(windowsMajor) {}

    uint32_t GetNumDevs();
    uint32_t Open(uint32_t id, uint32_t* handle);
    uint32_t Close(uint32_t handle);
    // `line` carries the query's input (destination and source index, line id, component
    // type) and receives the line.
    uint32_t GetLineInfo(uint32_t handle, MixerLine* line, MixerLineQuery query);
    uint32_t GetLineControls(uint32_t handle, uint32_t lineId, std::vector<MixerControl>* all);
    uint32_t GetLineControlByType(uint32_t handle, uint32_t lineId, uint32_t type,
                                  MixerControl* control);
    // mixerGet/SetControlDetails of one uniform channel (unsigned or Boolean).
    uint32_t GetControlValue(uint32_t handle, uint32_t controlId, uint32_t* value);
    uint32_t SetControlValue(uint32_t handle, uint32_t controlId, uint32_t value);

    // The volume control's range.
    static constexpr uint32_t kVolumeMaximum = 65535;

  private:
    struct Layout {
        MixerLine destination;
        MixerLine source;
        std::vector<MixerControl> destinationControls;
        std::vector<MixerControl> sourceControls;
    };
    // The lines of the open mixer's device as they are now; false when it is gone.
    uint32_t LayoutOf(uint32_t handle, std::string* key, Layout* layout);

    CoreAudio& audio_;
    uint32_t major_;
    std::mutex mutex_;
    std::map<uint32_t, std::string> open_;
    uint32_t next_ = 0x1000;
};

}  // namespace host::user
