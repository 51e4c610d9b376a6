#include "windows_volume.h"

#include <cstring>

namespace {

constexpr int32_t kNoInterface = static_cast<int32_t>(0x80004002);

// Mixer component and control types.
constexpr uint32_t kDestinationWaveIn = 7;
constexpr uint32_t kSourceMicrophone = 0x1003;
constexpr uint32_t kSourceUndefined = 0x1000;
constexpr uint32_t kControlVolume = 0x50030001;
constexpr uint32_t kControlMute = 0x20010002;
constexpr uint32_t kControlOnOff = 0x20010001;

bool Holds(const std::u16string& text, const char16_t* part) {
    return text.find(part) != std::u16string::npos;
}

// Releases every interface taken during one operation, however it ends.
class Taken {
  public:
    explicit Taken(CoreAudioPorts& ports) : ports_(ports) {}
    ~Taken() {
        for (auto it = objects_.rbegin(); it != objects_.rend(); ++it)
            ports_.Release(*it);
    }
    CoreAudioPorts::Object Keep(CoreAudioPorts::Object object) {
        if (object != 0)
            objects_.push_back(object);
        return object;
    }

  private:
    CoreAudioPorts& ports_;
    std::vector<CoreAudioPorts::Object> objects_;
};

// One COM initialisation per operation on the calling thread.
class ComScope {
  public:
    explicit ComScope(CoreAudioPorts& ports) : ports_(ports) {
        const int32_t status = ports_.InitializeCom();
        initialised_ = status >= 0;
    }
    ~ComScope() {
        if (initialised_)
            ports_.UninitializeCom();
    }

  private:
    CoreAudioPorts& ports_;
    bool initialised_;
};

}  // namespace

bool InterfaceId::operator==(const InterfaceId& other) const {
    return data1 == other.data1 && data2 == other.data2 && data3 == other.data3 &&
           std::memcmp(data4, other.data4, 8) == 0;
}

const InterfaceId kIidUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const InterfaceId kIidAudioEndpointVolumeCallback = {
    0x657804FA, 0xD6AD, 0x4496, {0x8A, 0x60, 0x35, 0x27, 0x52, 0xAF, 0x4F, 0x89}};
const InterfaceId kIidControlChangeNotify = {
    0xA09513ED, 0xC709, 0x4D21, {0xBD, 0x7B, 0x5F, 0x34, 0xC4, 0x7F, 0x39, 0x47}};

int32_t MicNotifyObject::QueryInterface(const InterfaceId& iid, void** object) {
    if (object == nullptr)
        return static_cast<int32_t>(0x80004003);  // E_POINTER
    if (iid == kIidUnknown || iid == own_) {
        *object = this;
        AddRef();
        return 0;
    }
    *object = nullptr;
    return kNoInterface;
}

uint32_t MicNotifyObject::Release() {
    // The count starts at 1 and the objects are the process's own: reaching 0 would mean
    // someone released more than they took, and the object must not go away under Windows.
    const uint32_t now = --count_;
    return now;
}

void WindowsVolume::SetNotifyHandlers(std::function<void()> onVolume,
                                      std::function<void()> onPart) {
    onVolume_ = std::move(onVolume);
    onPart_ = std::move(onPart);
}

CoreAudioPorts::Object WindowsVolume::FindCaptureEndpoint(const std::u16string& description) {
    CoreAudioPorts::Object enumerator = 0;
    if (coreAudio_.CreateEnumerator(&enumerator) < 0 || enumerator == 0)
        return 0;
    std::vector<CoreAudioPorts::Object> endpoints;
    CoreAudioPorts::Object found = 0;
    if (coreAudio_.ActiveCaptureEndpoints(enumerator, &endpoints) >= 0) {
        for (CoreAudioPorts::Object endpoint : endpoints) {
            std::u16string name;
            if (found == 0 && coreAudio_.FriendlyName(endpoint, &name) >= 0 &&
                Holds(name, description.c_str()))
                found = endpoint;
            else
                coreAudio_.Release(endpoint);
        }
    }
    coreAudio_.Release(enumerator);
    return found;
}

int WindowsVolume::WithEndpointVolume(const std::u16string& description,
                                      const std::function<int32_t(CoreAudioPorts::Object)>& use) {
    ComScope com(coreAudio_);
    Taken taken(coreAudio_);
    const CoreAudioPorts::Object endpoint = taken.Keep(FindCaptureEndpoint(description));
    if (endpoint == 0)
        return 1;
    CoreAudioPorts::Object volume = 0;
    const int32_t status = coreAudio_.EndpointVolume(endpoint, &volume);
    taken.Keep(volume);
    if (status < 0 || volume == 0)
        return status < 0 ? status : 1;
    return use(volume);
}

int WindowsVolume::GetMicVolume(const std::u16string& description, uint32_t* percent) {
    return WithEndpointVolume(description, [&](CoreAudioPorts::Object volume) {
        uint32_t step = 0, count = 0;
        const int32_t status = coreAudio_.VolumeStepInfo(volume, &step, &count);
        if (status < 0)
            return status;
        // A control with a single step has no range; it reads as silent, not as a crash.
        *percent = count > 1 ? step * 100 / (count - 1) : 0;
        return 0;
    });
}

int WindowsVolume::SetMicVolume(const std::u16string& description, uint32_t percent) {
    return WithEndpointVolume(description, [&](CoreAudioPorts::Object volume) {
        return coreAudio_.SetMasterVolumeScalar(volume, static_cast<float>(percent) / 100.0f);
    });
}

int WindowsVolume::GetMicMute(const std::u16string& description, uint32_t* mute) {
    return WithEndpointVolume(description, [&](CoreAudioPorts::Object volume) {
        int32_t state = 0;
        const int32_t status = coreAudio_.GetMute(volume, &state);
        if (status >= 0)
            *mute = state ? 1 : 0;
        return status < 0 ? status : 0;
    });
}

int WindowsVolume::SetMicMute(const std::u16string& description, uint32_t mute) {
    return WithEndpointVolume(description, [&](CoreAudioPorts::Object volume) {
        const int32_t status = coreAudio_.SetMute(volume, mute ? 1 : 0);
        return status < 0 ? status : 0;
    });
}

int32_t WindowsVolume::WalkToAgc(const std::u16string& description, PartAction action,
                                 int32_t* boost) {
    Taken taken(coreAudio_);
    const CoreAudioPorts::Object endpoint = taken.Keep(FindCaptureEndpoint(description));
    if (endpoint == 0)
        return 1;
    CoreAudioPorts::Object enumerator = 0, topology = 0, connector = 0, device = 0, adapter = 0;
    if (coreAudio_.CreateEnumerator(&enumerator) < 0 || taken.Keep(enumerator) == 0)
        return 2;
    if (coreAudio_.EndpointTopology(endpoint, &topology) < 0 || taken.Keep(topology) == 0)
        return 3;
    if (coreAudio_.Connector(topology, 0, &connector) < 0 || taken.Keep(connector) == 0)
        return 4;
    std::u16string adapterId;
    if (coreAudio_.ConnectedDeviceId(connector, &adapterId) < 0)
        return 5;
    if (coreAudio_.DeviceById(enumerator, adapterId, &device) < 0 || taken.Keep(device) == 0)
        return 6;
    if (coreAudio_.DeviceTopology(device, &adapter) < 0 || taken.Keep(adapter) == 0)
        return 7;
    uint32_t count = 0;
    if (coreAudio_.SubunitCount(adapter, &count) < 0)
        return 8;
    int32_t last = 0;
    for (uint32_t index = 0; index < count; ++index) {
        CoreAudioPorts::Object subunit = 0, part = 0, agc = 0;
        if (coreAudio_.Subunit(adapter, index, &subunit) < 0 || taken.Keep(subunit) == 0)
            return 9;
        if (coreAudio_.SubunitPart(subunit, &part) < 0 || taken.Keep(part) == 0)
            return 10;
        last = coreAudio_.ActivateAgc(part, &agc);
        taken.Keep(agc);
        if (last < 0 || agc == 0)
            continue;
        switch (action) {
            case PartAction::GetBoost: {
                int32_t enabled = 0;
                last = coreAudio_.GetAgcEnabled(agc, &enabled);
                if (last >= 0)
                    *boost = enabled ? 1 : 0;
                break;
            }
            case PartAction::SetBoost:
                last = coreAudio_.SetAgcEnabled(agc, *boost);
                break;
            case PartAction::Register:
                last = coreAudio_.RegisterPartCallback(part, &partCallback_);
                break;
            case PartAction::Unregister:
                last = coreAudio_.UnregisterPartCallback(part, &partCallback_);
                break;
        }
        return last < 0 ? last : 0;
    }
    return last;
}

int WindowsVolume::GetMicBoost(const std::u16string& description, uint32_t* boost) {
    ComScope com(coreAudio_);
    int32_t enabled = static_cast<int32_t>(*boost);
    const int32_t result = WalkToAgc(description, PartAction::GetBoost, &enabled);
    if (result == 0)
        *boost = static_cast<uint32_t>(enabled);
    return result;
}

int WindowsVolume::SetMicBoost(const std::u16string& description, uint32_t boost) {
    ComScope com(coreAudio_);
    int32_t enabled = boost ? 1 : 0;
    const int32_t result = WalkToAgc(description, PartAction::SetBoost, &enabled);
    return result >= 1 && result <= 10 ? 1 : result;
}

int WindowsVolume::RegisterMicCallbacks(const std::u16string& description) {
    ComScope com(coreAudio_);
    CoreAudioPorts::Object endpoint = FindCaptureEndpoint(description);
    if (endpoint == 0)
        return 1;
    CoreAudioPorts::Object volume = 0;
    const int32_t activated = coreAudio_.EndpointVolume(endpoint, &volume);
    coreAudio_.Release(endpoint);
    if (activated < 0 || volume == 0)
        return 1;
    // At most one registration at a time: a second entry keeps the first.
    if (heldVolume_ != 0) {
        coreAudio_.Release(volume);
    } else {
        if (coreAudio_.RegisterVolumeCallback(volume, &volumeCallback_) < 0) {
            coreAudio_.Release(volume);
            return 1;
        }
        heldVolume_ = volume;
    }
    int32_t unused = 0;
    return WalkToAgc(description, PartAction::Register, &unused) == 0 ? 0 : 1;
}

int WindowsVolume::UnregisterMicCallbacks(const std::u16string& description) {
    ComScope com(coreAudio_);
    int result = 0;
    if (heldVolume_ != 0) {
        if (coreAudio_.UnregisterVolumeCallback(heldVolume_, &volumeCallback_) < 0)
            result = 1;
        coreAudio_.Release(heldVolume_);
        heldVolume_ = 0;
    }
    int32_t unused = 0;
    if (WalkToAgc(description, PartAction::Unregister, &unused) != 0)
        result = 1;
    return result;
}

int WindowsVolume::MixerMicControl(int operation, uint32_t* value, uint32_t* minimum,
                                   uint32_t* maximum) {
    if (operation < 0 || operation > 5 || value == nullptr)
        return 0;
    const uint32_t wanted = operation <= 1   ? kControlVolume
                            : operation <= 3 ? kControlMute
                                             : kControlOnOff;
    const uint32_t count = mixer_.DeviceCount();
    for (uint32_t index = 0; index < count; ++index) {
        MixerPorts::Mixer mixer = 0;
        if (!mixer_.Open(index, &mixer))
            continue;
        MixerPorts::Line destination;
        if (!mixer_.DestinationByType(mixer, kDestinationWaveIn, &destination) ||
            (!Holds(destination.targetName, u"USB Audio Device") &&
             !Holds(destination.targetName, u"USB Headphone Set"))) {
            mixer_.Close(mixer);
            continue;
        }
        auto lineHas = [&](const MixerPorts::Line& line) {
            std::vector<MixerPorts::Control> controls;
            if (!mixer_.AllControls(mixer, line, &controls))
                return false;
            for (const MixerPorts::Control& control : controls)
                if (control.type == wanted)
                    return true;
            return false;
        };
        const MixerPorts::Line* chosen = nullptr;
        MixerPorts::Line source;
        if (lineHas(destination)) {
            chosen = &destination;
        } else {
            for (uint32_t s = 0; s < destination.sourceCount; ++s) {
                if (!mixer_.Source(mixer, destination, s, &source))
                    continue;
                if (source.componentType != kSourceMicrophone &&
                    source.componentType != kSourceUndefined)
                    continue;
                if (lineHas(source)) {
                    chosen = &source;
                    break;
                }
            }
        }
        if (chosen == nullptr) {
            mixer_.Close(mixer);
            continue;
        }
        MixerPorts::Control control;
        bool ok = mixer_.ControlByType(mixer, *chosen, wanted, &control);
        if (ok) {
            switch (operation) {
                case 0:
                    ok = mixer_.GetValue(mixer, control, value);
                    if (ok && minimum != nullptr)
                        *minimum = control.minimum;
                    if (ok && maximum != nullptr)
                        *maximum = control.maximum;
                    break;
                case 2:
                case 4:
                    ok = mixer_.GetValue(mixer, control, value);
                    if (ok)
                        *value = *value ? 1 : 0;
                    break;
                case 1:
                    ok = mixer_.SetValue(mixer, control, *value);
                    break;
                default:
                    ok = mixer_.SetValue(mixer, control, *value ? 1 : 0);
                    break;
            }
        }
        mixer_.Close(mixer);
        return ok ? 1 : 0;
    }
    return 0;
}
