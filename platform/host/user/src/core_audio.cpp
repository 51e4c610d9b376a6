#include "host/core_audio.h"

#include <cmath>
#include <cstdlib>

#include "host/pnp.h"
#include "host/text.h"
#include "host/usbaudio_class_driver.h"

namespace host::user {
namespace {

constexpr uint32_t kActive = 1;  // DEVICE_STATE_ACTIVE
constexpr int kCapture = 1;      // eCapture
constexpr int kAll = 2;          // eAll

// Set on the notification thread: a callback that unregisters must not wait for itself.
thread_local const CoreAudio* tDeliveringFor = nullptr;

// The recording device's product id from "USB\VID_0F1E&PID_1607&MI_00\...", 0 for none.
uint32_t ProductIdOf(const std::string& key) {
    const std::string upper = [&] {
        std::string text = key;
        for (char& c : text)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        return text;
    }();
    const size_t at = upper.find("PID_");
    if (at == std::string::npos)
        return 0;
    return static_cast<uint32_t>(std::strtoul(upper.substr(at + 4, 4).c_str(), nullptr, 16));
}

}  // namespace

MicrophoneState InitialMicrophoneState(const std::string& key) {
    MicrophoneState state;
    if (key == "builtin") {
        state.stepCount = 101;
        state.step = 50;
        return state;
    }
    state.stepCount = 51;
    state.step = 25;
    switch (ProductIdOf(key)) {
        // The 4430 chip's headsets have no automatic gain control.
        case 0x1614:
        case 0x1615:
        case 0x1616:
        case 0x1617:
            state.boost = BoostPlacement::None;
            break;
        // The 4420 chip puts it on the microphone input, ahead of the recording mixer.
        case 0x160D:
        case 0x1613:
        case 0x1517:
        case 0x1527:
            state.boost = BoostPlacement::Source;
            break;
        default:
            state.boost = BoostPlacement::Destination;
            break;
    }
    return state;
}

std::atomic<int> ComObject::live_{0};

uint32_t ComObject::Release() {
    const uint32_t now = --references_;
    if (now == 0)
        delete this;
    return now;
}

// --- the enumerator and its collections ------------------------------------------------------

DeviceCollection::~DeviceCollection() {
    for (MMDevice* device : devices_)
        device->Release();
}

HResult DeviceCollection::GetCount(uint32_t* count) {
    if (count == nullptr)
        return kHrPointer;
    *count = static_cast<uint32_t>(devices_.size());
    return kHrOk;
}

HResult DeviceCollection::Item(uint32_t index, MMDevice** device) {
    if (device == nullptr)
        return kHrPointer;
    *device = nullptr;
    if (index >= devices_.size())
        return kHrInvalidArg;
    *device = devices_[index];
    (*device)->AddRef();
    return kHrOk;
}

HResult MMDeviceEnumerator::EnumAudioEndpoints(int dataFlow, uint32_t stateMask,
                                               DeviceCollection** collection) {
    if (collection == nullptr)
        return kHrPointer;
    if (dataFlow < 0 || dataFlow > kAll || stateMask == 0 || stateMask > 0xF) {
        *collection = nullptr;
        return kHrInvalidArg;
    }
    auto* made = new DeviceCollection;
    if ((dataFlow == kCapture || dataFlow == kAll) && (stateMask & kActive) != 0) {
        for (const AudioDevice& device : audio_.Recording()) {
            std::u16string id, name, adapter;
            if (audio_.Describe(device.key, &id, &name, &adapter))
                made->devices_.push_back(
                    new MMDevice(audio_, MMDevice::Kind::Endpoint, device.key, id, name));
        }
    }
    *collection = made;
    return kHrOk;
}

HResult MMDeviceEnumerator::GetDevice(const std::u16string& id, MMDevice** device) {
    if (device == nullptr)
        return kHrPointer;
    *device = nullptr;
    for (const AudioDevice& candidate : audio_.Recording()) {
        std::u16string endpoint, name, adapter;
        if (!audio_.Describe(candidate.key, &endpoint, &name, &adapter))
            continue;
        if (EqualsIgnoreCase(Utf16ToUtf8(id), Utf16ToUtf8(endpoint))) {
            *device = new MMDevice(audio_, MMDevice::Kind::Endpoint, candidate.key, endpoint, name);
            return kHrOk;
        }
        if (EqualsIgnoreCase(Utf16ToUtf8(id), Utf16ToUtf8(adapter))) {
            *device = new MMDevice(audio_, MMDevice::Kind::Adapter, candidate.key, adapter,
                                   candidate.name);
            return kHrOk;
        }
    }
    return kHrNotFound;
}

// --- devices ---------------------------------------------------------------------------------

HResult MMDevice::GetId(std::u16string* id) {
    if (id == nullptr)
        return kHrPointer;
    *id = id_;
    return kHrOk;
}

HResult MMDevice::FriendlyName(std::u16string* name) {
    if (name == nullptr)
        return kHrPointer;
    *name = friendlyName_;
    return kHrOk;
}

HResult MMDevice::ActivateEndpointVolume(AudioEndpointVolume** volume) {
    if (volume == nullptr)
        return kHrPointer;
    *volume = nullptr;
    if (kind_ != Kind::Endpoint)
        return kHrNoInterface;
    if (!audio_.Present(key_))
        return kHrDeviceInvalidated;
    *volume = new AudioEndpointVolume(audio_, key_);
    return kHrOk;
}

HResult MMDevice::ActivateDeviceTopology(DeviceTopology** topology) {
    if (topology == nullptr)
        return kHrPointer;
    *topology = nullptr;
    std::u16string endpoint, name, adapter;
    MicrophoneState state;
    if (!audio_.Describe(key_, &endpoint, &name, &adapter) || !audio_.State(key_, &state))
        return kHrDeviceInvalidated;
    auto* made = new DeviceTopology;
    if (kind_ == Kind::Endpoint) {
        // The endpoint's only connector leads to the adapter's capture pin.
        made->connectors_.push_back(new Connector(adapter));
    } else {
        made->connectors_.push_back(new Connector(endpoint));
        // The USB audio function's feature unit: volume and mute, and the gain control
        // where the hardware has one.
        made->subunits_.push_back(new Part(audio_, key_, Part::Kind::Volume, 1));
        made->subunits_.push_back(new Part(audio_, key_, Part::Kind::Mute, 2));
        if (state.boost != BoostPlacement::None)
            made->subunits_.push_back(new Part(audio_, key_, Part::Kind::AutomaticGainControl, 3));
    }
    *topology = made;
    return kHrOk;
}

// --- endpoint volume -------------------------------------------------------------------------

AudioEndpointVolume::~AudioEndpointVolume() = default;

HResult AudioEndpointVolume::GetVolumeStepInfo(uint32_t* step, uint32_t* stepCount) {
    if (step == nullptr || stepCount == nullptr)
        return kHrPointer;
    MicrophoneState state;
    if (!audio_.State(key_, &state))
        return kHrDeviceInvalidated;
    *step = state.step;
    *stepCount = state.stepCount;
    return kHrOk;
}

HResult AudioEndpointVolume::GetMasterVolumeLevelScalar(float* level) {
    if (level == nullptr)
        return kHrPointer;
    MicrophoneState state;
    if (!audio_.State(key_, &state))
        return kHrDeviceInvalidated;
    *level = state.Scalar();
    return kHrOk;
}

HResult AudioEndpointVolume::SetMasterVolumeLevelScalar(float level, const Guid* eventContext) {
    return audio_.SetScalar(key_, level, eventContext);
}

HResult AudioEndpointVolume::GetMute(int32_t* mute) {
    if (mute == nullptr)
        return kHrPointer;
    MicrophoneState state;
    if (!audio_.State(key_, &state))
        return kHrDeviceInvalidated;
    *mute = state.mute ? 1 : 0;
    return kHrOk;
}

HResult AudioEndpointVolume::SetMute(int32_t mute, const Guid* eventContext) {
    return audio_.SetMute(key_, mute != 0, eventContext);
}

HResult AudioEndpointVolume::RegisterControlChangeNotify(EndpointVolumeCallback* callback) {
    if (callback == nullptr)
        return kHrPointer;
    return audio_.RegisterVolume(key_, callback);
}

HResult AudioEndpointVolume::UnregisterControlChangeNotify(EndpointVolumeCallback* callback) {
    if (callback == nullptr)
        return kHrPointer;
    return audio_.UnregisterVolume(key_, callback);
}

// --- topology --------------------------------------------------------------------------------

HResult Connector::GetDeviceIdConnectedTo(std::u16string* id) {
    if (id == nullptr)
        return kHrPointer;
    *id = connectedTo_;
    return kHrOk;
}

DeviceTopology::~DeviceTopology() {
    for (Connector* connector : connectors_)
        connector->Release();
    for (Part* part : subunits_)
        part->Release();
}

HResult DeviceTopology::GetConnectorCount(uint32_t* count) {
    if (count == nullptr)
        return kHrPointer;
    *count = static_cast<uint32_t>(connectors_.size());
    return kHrOk;
}

HResult DeviceTopology::GetConnector(uint32_t index, Connector** connector) {
    if (connector == nullptr)
        return kHrPointer;
    *connector = nullptr;
    if (index >= connectors_.size())
        return kHrInvalidArg;
    *connector = connectors_[index];
    (*connector)->AddRef();
    return kHrOk;
}

HResult DeviceTopology::GetSubunitCount(uint32_t* count) {
    if (count == nullptr)
        return kHrPointer;
    *count = static_cast<uint32_t>(subunits_.size());
    return kHrOk;
}

HResult DeviceTopology::GetSubunit(uint32_t index, Part** subunit) {
    if (subunit == nullptr)
        return kHrPointer;
    *subunit = nullptr;
    if (index >= subunits_.size())
        return kHrInvalidArg;
    *subunit = subunits_[index];
    (*subunit)->AddRef();
    return kHrOk;
}

Part::~Part() = default;

HResult Part::QueryPart(Part** part) {
    if (part == nullptr)
        return kHrPointer;
    AddRef();
    *part = this;
    return kHrOk;
}

HResult Part::ActivateAutoGainControl(AutoGainControl** agc) {
    if (agc == nullptr)
        return kHrPointer;
    *agc = nullptr;
    if (kind_ != Kind::AutomaticGainControl)
        return kHrNoInterface;
    if (!audio_.Present(key_))
        return kHrDeviceInvalidated;
    *agc = new AutoGainControl(audio_, key_);
    return kHrOk;
}

HResult Part::RegisterControlChangeCallback(ControlChangeCallback* callback) {
    if (callback == nullptr)
        return kHrPointer;
    if (kind_ != Kind::AutomaticGainControl)
        return kHrOk;  // accepted; this simulation reports no other part's changes
    return audio_.RegisterAgc(key_, callback);
}

HResult Part::UnregisterControlChangeCallback(ControlChangeCallback* callback) {
    if (callback == nullptr)
        return kHrPointer;
    if (kind_ != Kind::AutomaticGainControl)
        return kHrOk;
    return audio_.UnregisterAgc(key_, callback);
}

HResult AutoGainControl::GetEnabled(int32_t* enabled) {
    if (enabled == nullptr)
        return kHrPointer;
    MicrophoneState state;
    if (!audio_.State(key_, &state))
        return kHrDeviceInvalidated;
    *enabled = state.agc ? 1 : 0;
    return kHrOk;
}

HResult AutoGainControl::SetEnabled(int32_t enabled, const Guid* eventContext) {
    return audio_.SetAgc(key_, enabled != 0, eventContext);
}

// --- the shared state and its notifications --------------------------------------------------

CoreAudio::CoreAudio(AudioDevices& devices, PnpManager* pnp, uint32_t windowsMajor)
    : devices_(devices), pnp_(pnp), major_(windowsMajor) {
    if (pnp_ == nullptr)
        return;
    // Called with the manager's lock held: only the state lock is taken here, and Core Audio
    // never calls the manager while it holds that lock.
    listener_ =
        pnp_->AddInterfaceListener(kKsCategoryCapture, [this](const DeviceInterfaceChange& change) {
            if (change.arrival)
                return;
            // "\??\USB#VID_0F1E&PID_1607&MI_00#7&...#{guid}" is the device "USB\VID_...\7&...".
            std::string instance = change.symbolicLink.compare(0, 4, "\\??\\") == 0
                                       ? change.symbolicLink.substr(4)
                                       : change.symbolicLink;
            const size_t guid = instance.rfind("#{");
            if (guid != std::string::npos)
                instance = instance.substr(0, guid);
            for (char& c : instance)
                if (c == '#')
                    c = '\\';
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto it = volumeCallbacks_.begin(); it != volumeCallbacks_.end();)
                it = EqualsIgnoreCase(it->first, instance) ? volumeCallbacks_.erase(it)
                                                           : std::next(it);
            for (auto it = agcCallbacks_.begin(); it != agcCallbacks_.end();)
                it =
                    EqualsIgnoreCase(it->first, instance) ? agcCallbacks_.erase(it) : std::next(it);
        });
}

CoreAudio::~CoreAudio() {
    if (pnp_ != nullptr)
        pnp_->RemoveInterfaceListener(listener_);
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        thread = std::move(thread_);
    }
    wake_.notify_all();
    if (thread.joinable())
        thread.join();
}

HResult CoreAudio::CreateDeviceEnumerator(MMDeviceEnumerator** enumerator) {
    if (enumerator == nullptr)
        return kHrPointer;
    *enumerator = nullptr;
    if (major_ < 6)
        return kHrClassNotRegistered;
    *enumerator = new MMDeviceEnumerator(*this);
    return kHrOk;
}

std::vector<AudioDevice> CoreAudio::Recording() {
    return devices_.Devices();
}

bool CoreAudio::FindDevice(const std::string& key, AudioDevice* device) {
    for (AudioDevice& candidate : devices_.Devices())
        if (candidate.key == key) {
            *device = std::move(candidate);
            return true;
        }
    return false;
}

bool CoreAudio::Present(const std::string& key) {
    AudioDevice device;
    return FindDevice(key, &device);
}

bool CoreAudio::Describe(const std::string& key, std::u16string* endpointId, std::u16string* name,
                         std::u16string* adapterId) {
    AudioDevice device;
    if (!FindDevice(key, &device))
        return false;
    *endpointId = u"{0.0.1.00000000}." + Utf8ToUtf16(device.captureGuid.Text());
    *name = device.captureDescription;
    *adapterId = u"{2}." + device.capturePath;
    return true;
}

MicrophoneState& CoreAudio::StateLocked(const AudioDevice& device) {
    auto found = states_.find(device.key);
    if (found == states_.end())
        found = states_.emplace(device.key, InitialMicrophoneState(device.key)).first;
    return found->second;
}

bool CoreAudio::State(const std::string& key, MicrophoneState* state) {
    AudioDevice device;
    if (!FindDevice(key, &device))
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    *state = StateLocked(device);
    return true;
}

HResult CoreAudio::SetScalar(const std::string& key, float level, const Guid* eventContext) {
    if (!(level >= 0.0f && level <= 1.0f))
        return kHrInvalidArg;
    AudioDevice device;
    if (!FindDevice(key, &device))
        return kHrDeviceInvalidated;
    std::lock_guard<std::mutex> lock(mutex_);
    MicrophoneState& state = StateLocked(device);
    // The hardware moves in whole steps; the scalar is the nearest one.
    const uint32_t step =
        static_cast<uint32_t>(std::lround(level * static_cast<float>(state.stepCount - 1)));
    if (step == state.step)
        return kHrOk;
    state.step = step;
    Event event;
    event.key = key;
    if (eventContext != nullptr)
        event.data.eventContext = *eventContext;
    event.data.muted = state.mute;
    event.data.masterVolume = event.data.channelVolumes[0] = state.Scalar();
    Post(event);
    return kHrOk;
}

HResult CoreAudio::SetMute(const std::string& key, bool mute, const Guid* eventContext) {
    AudioDevice device;
    if (!FindDevice(key, &device))
        return kHrDeviceInvalidated;
    std::lock_guard<std::mutex> lock(mutex_);
    MicrophoneState& state = StateLocked(device);
    if (state.mute == mute)
        return kHrOk;
    state.mute = mute;
    Event event;
    event.key = key;
    if (eventContext != nullptr)
        event.data.eventContext = *eventContext;
    event.data.muted = mute;
    event.data.masterVolume = event.data.channelVolumes[0] = state.Scalar();
    Post(event);
    return kHrOk;
}

HResult CoreAudio::SetAgc(const std::string& key, bool enabled, const Guid* eventContext) {
    AudioDevice device;
    if (!FindDevice(key, &device))
        return kHrDeviceInvalidated;
    std::lock_guard<std::mutex> lock(mutex_);
    MicrophoneState& state = StateLocked(device);
    if (state.boost == BoostPlacement::None)
        return kHrNoInterface;
    if (state.agc == enabled)
        return kHrOk;
    state.agc = enabled;
    Event event;
    event.agc = true;
    event.key = key;
    if (eventContext != nullptr)
        event.data.eventContext = *eventContext;
    Post(event);
    return kHrOk;
}

void CoreAudio::SetBoostPlacement(const std::string& key, BoostPlacement placement) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = states_.find(key);
    if (found == states_.end())
        found = states_.emplace(key, InitialMicrophoneState(key)).first;
    found->second.boost = placement;
    if (placement == BoostPlacement::None)
        found->second.agc = false;
}

namespace {

template <typename Map, typename Callback>
bool Holds(const Map& map, const std::string& key, Callback* callback) {
    const auto range = map.equal_range(key);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second == callback)
            return true;
    return false;
}

template <typename Map, typename Callback>
bool Erase(Map& map, const std::string& key, Callback* callback) {
    const auto range = map.equal_range(key);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second == callback) {
            map.erase(it);
            return true;
        }
    return false;
}

}  // namespace

HResult CoreAudio::RegisterVolume(const std::string& key, EndpointVolumeCallback* callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Holds(volumeCallbacks_, key, callback))
        return kHrAlreadyRegistered;
    volumeCallbacks_.emplace(key, callback);
    return kHrOk;
}

HResult CoreAudio::UnregisterVolume(const std::string& key, EndpointVolumeCallback* callback) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!Erase(volumeCallbacks_, key, callback))
            return kHrNotFound;
    }
    WaitForDelivery();
    return kHrOk;
}

HResult CoreAudio::RegisterAgc(const std::string& key, ControlChangeCallback* callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Holds(agcCallbacks_, key, callback))
        return kHrAlreadyRegistered;
    agcCallbacks_.emplace(key, callback);
    return kHrOk;
}

HResult CoreAudio::UnregisterAgc(const std::string& key, ControlChangeCallback* callback) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!Erase(agcCallbacks_, key, callback))
            return kHrNotFound;
    }
    WaitForDelivery();
    return kHrOk;
}

void CoreAudio::Revoke(EndpointVolumeCallback* callback) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = volumeCallbacks_.begin(); it != volumeCallbacks_.end();)
            it = it->second == callback ? volumeCallbacks_.erase(it) : std::next(it);
    }
    WaitForDelivery();
}

void CoreAudio::Revoke(ControlChangeCallback* callback) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = agcCallbacks_.begin(); it != agcCallbacks_.end();)
            it = it->second == callback ? agcCallbacks_.erase(it) : std::next(it);
    }
    WaitForDelivery();
}

size_t CoreAudio::Registrations() {
    std::lock_guard<std::mutex> lock(mutex_);
    return volumeCallbacks_.size() + agcCallbacks_.size();
}

void CoreAudio::WaitForDelivery() {
    if (tDeliveringFor == this)
        return;
    // The callbacks run with this held; once it is ours, none of the removed ones runs.
    std::lock_guard<std::mutex> wait(deliveryMutex_);
}

void CoreAudio::Flush() {
    if (tDeliveringFor == this)
        return;
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return events_.empty() && !delivering_; });
}

void CoreAudio::Post(Event event) {
    // Called with mutex_ held. The thread starts with the first change, as the audio
    // service's notification thread is there before any program asks.
    if (stopping_)
        return;
    events_.push_back(std::move(event));
    if (!thread_.joinable())
        thread_ = std::thread([this] { Deliver(); });
    wake_.notify_one();
}

void CoreAudio::Deliver() {
    tDeliveringFor = this;
    for (;;) {
        Event event;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !events_.empty(); });
            if (events_.empty())
                return;
            event = std::move(events_.front());
            events_.pop_front();
            delivering_ = true;
        }
        {
            // The delivery lock first, then the state's: an unregistration that has taken
            // its callback out waits on the delivery lock, so it never sees its callback run
            // after it returns.
            std::lock_guard<std::mutex> delivery(deliveryMutex_);
            std::vector<EndpointVolumeCallback*> volume;
            std::vector<ControlChangeCallback*> agc;
            {
                // Whoever is registered when the change is delivered hears of it.
                std::lock_guard<std::mutex> lock(mutex_);
                if (event.agc) {
                    const auto range = agcCallbacks_.equal_range(event.key);
                    for (auto it = range.first; it != range.second; ++it)
                        agc.push_back(it->second);
                } else {
                    const auto range = volumeCallbacks_.equal_range(event.key);
                    for (auto it = range.first; it != range.second; ++it)
                        volume.push_back(it->second);
                }
            }
            for (EndpointVolumeCallback* callback : volume)
                callback->OnNotify(&event.data);
            for (ControlChangeCallback* callback : agc)
                callback->OnNotify(3, &event.data.eventContext);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        delivering_ = false;
        if (events_.empty())
            idle_.notify_all();
    }
}

}  // namespace host::user
