#include "host/audio_devices.h"

#include <string.h>

#include <algorithm>

#include "host/kernel.h"
#include "host/pnp.h"
#include "host/setup_api.h"
#include "host/text.h"
#include "host/usbaudio_class_driver.h"

namespace host::user {
namespace {

constexpr const char* kBuiltinKey = "builtin";
constexpr const char16_t* kBuiltinName = u"High Definition Audio Device";
constexpr const char16_t* kBuiltinRenderPath =
    u"\\\\?\\hdaudio#func_01&ven_8086&dev_2668&subsys_80860000&rev_1000#4&2a1f5c3d&0&0001#"
    u"{65e8773e-8f56-11d0-a3b9-00a0c9223196}\\ewave";
constexpr const char16_t* kBuiltinCapturePath =
    u"\\\\?\\hdaudio#func_01&ven_8086&dev_2668&subsys_80860000&rev_1000#4&2a1f5c3d&0&0001#"
    u"{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\ewave";

// A GUID of its own for each device and direction, the same on every run.
Guid DeviceGuid(const std::string& key, Flow flow) {
    uint64_t hash = 1469598103934665603ull;
    const std::string seed = key + (flow == Flow::Playback ? "#render" : "#capture");
    for (char c : seed) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    uint64_t second = hash * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
    Guid guid;
    guid.data1 = static_cast<uint32_t>(hash >> 32);
    guid.data2 = static_cast<uint16_t>(hash >> 16);
    guid.data3 = static_cast<uint16_t>((hash & 0x0FFF) | 0x4000);  // version 4
    for (int i = 0; i < 8; ++i) {
        guid.data4[i] = static_cast<uint8_t>(second >> (8 * i));
    }
    guid.data4[0] = static_cast<uint8_t>((guid.data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
    return guid;
}

// "\??\USB#VID_0F1E&PID_1607&MI_00#7&...#{guid}" names the device "USB\VID_...\7&...".
std::string InstancePathOfLink(const std::string& link) {
    std::string rest = link.compare(0, 4, "\\??\\") == 0 ? link.substr(4) : link;
    const size_t guid = rest.rfind("#{");
    if (guid != std::string::npos) {
        rest = rest.substr(0, guid);
    }
    std::replace(rest.begin(), rest.end(), '#', '\\');
    return rest;
}

std::optional<std::string> EnabledLink(const GUID& interfaceClass,
                                       const std::string& instancePath) {
    for (const kernel::DeviceInterface& found : kernel::DeviceInterfaces(interfaceClass, true)) {
        if (EqualsIgnoreCase(found.instancePath, instancePath)) {
            return found.symbolicLink;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string AudioDevices::HeadsetDescription(uint16_t productId) {
    switch (productId) {
        case 0x1616:
        case 0x1617:
            return "USB Headphone Set";
        default:
            return "USB Audio Device";
    }
}

AudioDevices::AudioDevices(PnpManager* pnp, uint32_t windowsMajor)
    : pnp_(pnp), major_(windowsMajor) {
    if (pnp_ == nullptr) {
        return;
    }
    for (DevNode* node : pnp_->Devices(true)) {
        arrivals_.push_back(node->InstancePath());
    }
    listener_ =
        pnp_->AddInterfaceListener(kKsCategoryRender, [this](const DeviceInterfaceChange& change) {
            const std::string instance = InstancePathOfLink(change.symbolicLink);
            std::lock_guard<std::mutex> lock(mutex_);
            auto known =
                std::find_if(arrivals_.begin(), arrivals_.end(),
                             [&](const std::string& k) { return EqualsIgnoreCase(k, instance); });
            if (change.arrival) {
                if (known == arrivals_.end()) {
                    arrivals_.push_back(instance);
                }
                // A device that arrives becomes the default of both directions.
                for (Flow flow : {Flow::Playback, Flow::Recording}) {
                    std::vector<std::string>& order = chosen_[flow];
                    order.erase(std::remove_if(order.begin(), order.end(),
                                               [&](const std::string& k) {
                                                   return EqualsIgnoreCase(k, instance);
                                               }),
                                order.end());
                    order.insert(order.begin(), instance);
                }
            } else if (known != arrivals_.end()) {
                arrivals_.erase(known);
            }
        });
}

AudioDevices::~AudioDevices() {
    if (pnp_ != nullptr) {
        pnp_->RemoveInterfaceListener(listener_);
    }
}

std::vector<AudioDevice> AudioDevices::Devices() {
    struct Usb {
        std::string instance;
        std::u16string name;
        std::string renderLink;
        std::string captureLink;
    };
    std::vector<Usb> usb;
    if (pnp_ != nullptr) {
        for (DevNode* node : pnp_->Devices(true)) {
            if (!node->Started()) {
                continue;
            }
            kernel::KernelEntry entry;
            const std::optional<std::string> render =
                EnabledLink(kKsCategoryRender, node->InstancePath());
            const std::optional<std::string> capture =
                EnabledLink(kKsCategoryCapture, node->InstancePath());
            if (render && capture) {
                usb.push_back(Usb{node->InstancePath(), Utf8ToUtf16(node->Identity().description),
                                  *render, *capture});
            }
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto rank = [this](const std::string& instance) {
        for (size_t i = 0; i < arrivals_.size(); ++i) {
            if (EqualsIgnoreCase(arrivals_[i], instance)) {
                return i;
            }
        }
        return arrivals_.size();
    };
    std::stable_sort(usb.begin(), usb.end(), [&](const Usb& a, const Usb& b) {
        return rank(a.instance) < rank(b.instance);
    });

    std::vector<AudioDevice> devices;
    std::map<std::u16string, int> seen;
    auto add = [&](AudioDevice device) {
        const int count = ++seen[device.name];
        std::u16string shown = device.name;
        if (major_ >= 6 && count > 1) {
            shown = Utf8ToUtf16(std::to_string(count)) + u"- " + device.name;
        }
        if (major_ >= 6) {
            device.renderDescription = u"Speakers (" + shown + u")";
            device.captureDescription = u"Microphone (" + shown + u")";
        } else {
            device.renderDescription = shown;
            device.captureDescription = shown;
        }
        device.renderGuid = DeviceGuid(device.key, Flow::Playback);
        device.captureGuid = DeviceGuid(device.key, Flow::Recording);
        devices.push_back(std::move(device));
    };
    if (builtinPresent_) {
        AudioDevice builtin;
        builtin.key = kBuiltinKey;
        builtin.builtin = true;
        builtin.name = kBuiltinName;
        builtin.renderPath = kBuiltinRenderPath;
        builtin.capturePath = kBuiltinCapturePath;
        add(builtin);
    }
    for (const Usb& device : usb) {
        AudioDevice entry;
        entry.key = device.instance;
        entry.name = device.name;
        entry.renderPath = UserInterfacePath(device.renderLink);
        entry.capturePath = UserInterfacePath(device.captureLink);
        add(entry);
    }
    return devices;
}

std::string AudioDevices::DefaultLocked(Flow flow, const std::vector<AudioDevice>& devices) {
    for (const std::string& key : chosen_[flow]) {
        for (const AudioDevice& device : devices) {
            if (EqualsIgnoreCase(device.key, key)) {
                return device.key;
            }
        }
    }
    for (const AudioDevice& device : devices) {
        if (device.builtin) {
            return device.key;
        }
    }
    return devices.empty() ? std::string() : devices.front().key;
}

std::vector<AudioDevice> AudioDevices::Ordered(Flow flow) {
    std::vector<AudioDevice> devices = Devices();
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string defaultKey = DefaultLocked(flow, devices);
    std::stable_partition(devices.begin(), devices.end(),
                          [&](const AudioDevice& d) { return d.key == defaultKey; });
    return devices;
}

std::string AudioDevices::DefaultKey(Flow flow) {
    std::vector<AudioDevice> devices = Devices();
    std::lock_guard<std::mutex> lock(mutex_);
    return DefaultLocked(flow, devices);
}

bool AudioDevices::SetDefault(Flow flow, int index) {
    std::vector<AudioDevice> devices = Devices();
    std::string key;
    int usb = 0;
    for (const AudioDevice& device : devices) {
        if ((index == 0 && device.builtin) || (!device.builtin && ++usb == index)) {
            key = device.key;
            break;
        }
    }
    if (key.empty() || index < 0) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string>& order = chosen_[flow];
    order.erase(std::remove(order.begin(), order.end(), key), order.end());
    order.insert(order.begin(), key);
    return true;
}

void AudioDevices::SetBuiltInPresent(bool present) {
    std::lock_guard<std::mutex> lock(mutex_);
    builtinPresent_ = present;
}

uint32_t AudioDevices::DirectSoundEnumerate(Flow flow, const DirectSoundCallback& callback) {
    const bool playback = flow == Flow::Playback;
    if (!callback(nullptr, playback ? u"Primary Sound Driver" : u"Primary Sound Capture Driver",
                  u"")) {
        return DS_OK;
    }
    for (const AudioDevice& device : Ordered(flow)) {
        DirectSoundDeviceRecord record;
        record.guid = playback ? device.renderGuid : device.captureGuid;
        record.description = playback ? device.renderDescription : device.captureDescription;
        record.interfacePath = playback ? device.renderPath : device.capturePath;
        if (major_ >= 6) {
            record.module = std::u16string(playback ? u"{0.0.0.00000000}." : u"{0.0.1.00000000}.") +
                            Utf8ToUtf16(record.guid.Text());
        } else {
            record.module = device.builtin ? u"HdAudio.sys" : u"usbaudio.sys";
        }
        if (!callback(&record, record.description, record.module)) {
            break;
        }
    }
    return DS_OK;
}

uint32_t AudioDevices::GetNumDevs(Flow flow) {
    // Every device here has both directions, so both counts are the same.
    (void)flow;
    return static_cast<uint32_t>(Devices().size());
}

uint32_t AudioDevices::GetDevCaps(Flow flow, uint32_t deviceId, WaveCaps* caps) {
    if (caps == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    const bool playback = flow == Flow::Playback;
    const std::vector<AudioDevice> devices = Ordered(flow);
    *caps = WaveCaps{};
    caps->mid = 1;                     // MM_MICROSOFT
    caps->pid = playback ? 100 : 101;  // the WDM audio wave-out and wave-in products
    caps->driverVersion = major_ >= 6 ? 0x0600 : 0x0501;
    caps->formats = 0x000FFFFF;
    if (deviceId == WAVE_MAPPER) {
        if (devices.empty()) {
            return MMSYSERR_NODRIVER;
        }
        caps->pid = playback ? 2 : 3;  // MM_WAVE_MAPPER
        caps->name = u"Microsoft Sound Mapper";
        caps->channels = 2;
        caps->support = playback ? 0x2C : 0;
        return MMSYSERR_NOERROR;
    }
    if (deviceId >= devices.size()) {
        return MMSYSERR_BADDEVICEID;
    }
    const AudioDevice& device = devices[deviceId];
    const std::u16string& description =
        playback ? device.renderDescription : device.captureDescription;
    caps->name = description.substr(0, 31);
    caps->channels = playback || device.builtin ? 2 : 1;
    // Volume, separate left and right volume, sample-accurate position.
    caps->support = playback ? 0x2C : 0;
    return MMSYSERR_NOERROR;
}

bool AudioDevices::RecordingNode(uint32_t deviceId, DevNode** node) {
    const std::vector<AudioDevice> devices = Ordered(Flow::Recording);
    if (deviceId >= devices.size() || node == nullptr) {
        return false;
    }
    *node = nullptr;
    if (devices[deviceId].builtin || pnp_ == nullptr) {
        return devices[deviceId].builtin;
    }
    for (DevNode* candidate : pnp_->Devices(true)) {
        if (EqualsIgnoreCase(candidate->InstancePath(), devices[deviceId].key)) {
            *node = candidate;
            return true;
        }
    }
    return false;
}

}  // namespace host::user
