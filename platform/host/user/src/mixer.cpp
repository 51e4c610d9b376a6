#include "host/mixer.h"

#include <cmath>

namespace host::user {
namespace {

constexpr uint32_t kDestinationLine = 0x00000000;
constexpr uint32_t kSourceLine = 0x00010000;
constexpr uint32_t kVolumeId = 1, kMuteId = 2, kAgcId = 3;

MixerControl Make(uint32_t id, uint32_t type, uint32_t maximum, const char16_t* name) {
    MixerControl control;
    control.controlId = id;
    control.type = type;
    control.minimum = 0;
    control.maximum = maximum;
    control.name = name;
    return control;
}

}  // namespace

uint32_t Mixers::GetNumDevs() {
    return static_cast<uint32_t>(audio_.Recording().size());
}

uint32_t Mixers::Open(uint32_t id, uint32_t* handle) {
    if (handle == nullptr)
        return MMSYSERR_INVALPARAM;
    const std::vector<AudioDevice> devices = audio_.Recording();
    if (id >= devices.size())
        return MMSYSERR_BADDEVICEID;
    std::lock_guard<std::mutex> lock(mutex_);
    *handle = ++next_;
    open_[*handle] = devices[id].key;
    return MMSYSERR_NOERROR;
}

uint32_t Mixers::Close(uint32_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_.erase(handle) == 1 ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

uint32_t Mixers::LayoutOf(uint32_t handle, std::string* key, Layout* layout) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = open_.find(handle);
        if (found == open_.end())
            return MMSYSERR_INVALHANDLE;
        *key = found->second;
    }
    AudioDevice device;
    bool present = false;
    for (const AudioDevice& candidate : audio_.Recording())
        if (candidate.key == *key) {
            device = candidate;
            present = true;
        }
    MicrophoneState state;
    if (!present || !audio_.State(*key, &state))
        return MMSYSERR_NODRIVER;  // the device went away under its open mixer

    const std::u16string target = device.captureDescription.substr(0, 31);
    layout->destinationControls = {
        Make(kVolumeId, kMixerControlVolume, kVolumeMaximum, u"Volume"),
        Make(kMuteId, kMixerControlMute, 1, u"Mute"),
    };
    layout->sourceControls.clear();
    if (major_ < 6 && state.boost == BoostPlacement::Destination)
        layout->destinationControls.push_back(Make(kAgcId, kMixerControlOnOff, 1, u"AGC"));
    if (major_ < 6 && state.boost == BoostPlacement::Source)
        layout->sourceControls.push_back(Make(kAgcId, kMixerControlOnOff, 1, u"AGC"));

    MixerLine& destination = layout->destination;
    destination = MixerLine{};
    destination.lineId = kDestinationLine;
    destination.componentType = kMixerDestinationWaveIn;
    destination.connections = 1;
    destination.controls = static_cast<uint32_t>(layout->destinationControls.size());
    destination.name = major_ < 6 ? u"Recording Control" : u"Master Volume";
    destination.targetType = kMixerTargetWaveIn;
    destination.targetName = target;

    MixerLine& source = layout->source;
    source = MixerLine{};
    source.lineId = kSourceLine;
    source.componentType = kMixerSourceMicrophone;
    source.controls = static_cast<uint32_t>(layout->sourceControls.size());
    source.name = u"Microphone";
    source.targetType = kMixerTargetWaveIn;
    source.targetName = target;
    return MMSYSERR_NOERROR;
}

uint32_t Mixers::GetLineInfo(uint32_t handle, MixerLine* line, MixerLineQuery query) {
    if (line == nullptr)
        return MMSYSERR_INVALPARAM;
    std::string key;
    Layout layout;
    const uint32_t status = LayoutOf(handle, &key, &layout);
    if (status != MMSYSERR_NOERROR)
        return status;
    switch (query) {
        case MixerLineQuery::Destination:
            if (line->destination != 0)
                return MMSYSERR_INVALPARAM;
            *line = layout.destination;
            return MMSYSERR_NOERROR;
        case MixerLineQuery::Source:
            if (line->destination != 0 || line->source != 0)
                return MMSYSERR_INVALPARAM;
            *line = layout.source;
            return MMSYSERR_NOERROR;
        case MixerLineQuery::LineId:
            if (line->lineId == kDestinationLine)
                *line = layout.destination;
            else if (line->lineId == kSourceLine)
                *line = layout.source;
            else
                return MIXERR_INVALLINE;
            return MMSYSERR_NOERROR;
        case MixerLineQuery::ComponentType:
            if (line->componentType != kMixerDestinationWaveIn)
                return MIXERR_INVALLINE;
            *line = layout.destination;
            return MMSYSERR_NOERROR;
    }
    return MMSYSERR_INVALFLAG;
}

uint32_t Mixers::GetLineControls(uint32_t handle, uint32_t lineId, std::vector<MixerControl>* all) {
    if (all == nullptr)
        return MMSYSERR_INVALPARAM;
    std::string key;
    Layout layout;
    const uint32_t status = LayoutOf(handle, &key, &layout);
    if (status != MMSYSERR_NOERROR)
        return status;
    if (lineId == kDestinationLine)
        *all = layout.destinationControls;
    else if (lineId == kSourceLine)
        *all = layout.sourceControls;
    else
        return MIXERR_INVALLINE;
    return MMSYSERR_NOERROR;
}

uint32_t Mixers::GetLineControlByType(uint32_t handle, uint32_t lineId, uint32_t type,
                                      MixerControl* control) {
    std::vector<MixerControl> all;
    const uint32_t status = GetLineControls(handle, lineId, &all);
    if (status != MMSYSERR_NOERROR)
        return status;
    for (const MixerControl& candidate : all)
        if (candidate.type == type) {
            if (control == nullptr)
                return MMSYSERR_INVALPARAM;
            *control = candidate;
            return MMSYSERR_NOERROR;
        }
    return MIXERR_INVALCONTROL;
}

uint32_t Mixers::GetControlValue(uint32_t handle, uint32_t controlId, uint32_t* value) {
    if (value == nullptr)
        return MMSYSERR_INVALPARAM;
    std::string key;
    Layout layout;
    const uint32_t status = LayoutOf(handle, &key, &layout);
    if (status != MMSYSERR_NOERROR)
        return status;
    MicrophoneState state;
    if (!audio_.State(key, &state))
        return MMSYSERR_NODRIVER;
    const bool agcShown = layout.destinationControls.size() + layout.sourceControls.size() > 2;
    switch (controlId) {
        case kVolumeId:
            *value = static_cast<uint32_t>(std::lround(state.Scalar() * kVolumeMaximum));
            return MMSYSERR_NOERROR;
        case kMuteId:
            *value = state.mute ? 1 : 0;
            return MMSYSERR_NOERROR;
        case kAgcId:
            if (!agcShown)
                return MIXERR_INVALCONTROL;
            *value = state.agc ? 1 : 0;
            return MMSYSERR_NOERROR;
        default:
            return MIXERR_INVALCONTROL;
    }
}

uint32_t Mixers::SetControlValue(uint32_t handle, uint32_t controlId, uint32_t value) {
    std::string key;
    Layout layout;
    const uint32_t status = LayoutOf(handle, &key, &layout);
    if (status != MMSYSERR_NOERROR)
        return status;
    const bool agcShown = layout.destinationControls.size() + layout.sourceControls.size() > 2;
    HResult result = kHrOk;
    switch (controlId) {
        case kVolumeId: {
            // A value past the control's bounds is taken as its maximum, as the driver clamps.
            const uint32_t bounded = value > kVolumeMaximum ? kVolumeMaximum : value;
            result = audio_.SetScalar(key, static_cast<float>(bounded) / kVolumeMaximum, nullptr);
            break;
        }
        case kMuteId:
            result = audio_.SetMute(key, value != 0, nullptr);
            break;
        case kAgcId:
            if (!agcShown)
                return MIXERR_INVALCONTROL;
            result = audio_.SetAgc(key, value != 0, nullptr);
            break;
        default:
            return MIXERR_INVALCONTROL;
    }
    return result == kHrOk ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
}

}  // namespace host::user
