#include "microphone_host.h"

#include <vector>

namespace panelhost {

namespace user = host::user;

namespace {

constexpr int32_t kNotInitialised = static_cast<int32_t>(0x800401F0);  // CO_E_NOTINITIALIZED
constexpr int32_t kFalse = 1;                                          // S_FALSE
constexpr int kCapture = 1;
constexpr uint32_t kActive = 1;

// CoInitialize's count on this thread.
thread_local int tComInitialised = 0;

user::ComObject* ObjectOf(CoreAudioPorts::Object object) {
    return reinterpret_cast<user::ComObject*>(object);
}

template <typename Interface>
Interface* As(CoreAudioPorts::Object object) {
    return object == 0 ? nullptr : dynamic_cast<Interface*>(ObjectOf(object));
}

}  // namespace

class HostCoreAudio::VolumeSink : public user::EndpointVolumeCallback {
  public:
    explicit VolumeSink(MicChangeCallback* callback) : callback_(callback) {}
    int32_t OnNotify(const user::VolumeNotification* data) override {
        return callback_->OnNotify(data != nullptr);
    }

  private:
    MicChangeCallback* callback_;
};

class HostCoreAudio::PartSink : public user::ControlChangeCallback {
  public:
    explicit PartSink(MicChangeCallback* callback) : callback_(callback) {}
    int32_t OnNotify(uint32_t, const user::Guid*) override { return callback_->OnNotify(true); }

  private:
    MicChangeCallback* callback_;
};

HostCoreAudio::HostCoreAudio(user::CoreAudio& audio) : audio_(audio) {}

HostCoreAudio::~HostCoreAudio() {
    RevokeCallbacks();
    // What the process still held goes with it, as COM's rundown releases a dead client's
    // references.
    std::map<user::ComObject*, int> held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held.swap(held_);
    }
    for (const auto& [object, count] : held)
        for (int i = 0; i < count; ++i)
            object->Release();
}

CoreAudioPorts::Object HostCoreAudio::Keep(user::ComObject* object) {
    if (object != nullptr) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++held_[object];
    }
    return reinterpret_cast<Object>(object);
}

void HostCoreAudio::RevokeCallbacks() {
    // Revoking waits for a delivery in flight, and that delivery's callback may come back
    // here for Keep: the sinks are gathered under the lock and revoked outside it. They stay
    // owned by the maps, so the pointers outlive the wait.
    std::vector<VolumeSink*> volume;
    std::vector<PartSink*> parts;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : volumeSinks_)
            volume.push_back(entry.second.get());
        for (auto& entry : partSinks_)
            parts.push_back(entry.second.get());
    }
    for (VolumeSink* sink : volume)
        audio_.Revoke(sink);
    for (PartSink* sink : parts)
        audio_.Revoke(sink);
}

HostCoreAudio::VolumeSink* HostCoreAudio::VolumeSinkFor(MicChangeCallback* callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::unique_ptr<VolumeSink>& sink = volumeSinks_[callback];
    if (!sink)
        sink = std::make_unique<VolumeSink>(callback);
    return sink.get();
}

HostCoreAudio::PartSink* HostCoreAudio::PartSinkFor(MicChangeCallback* callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::unique_ptr<PartSink>& sink = partSinks_[callback];
    if (!sink)
        sink = std::make_unique<PartSink>(callback);
    return sink.get();
}

int32_t HostCoreAudio::InitializeCom() {
    return tComInitialised++ == 0 ? user::kHrOk : kFalse;
}

void HostCoreAudio::UninitializeCom() {
    if (tComInitialised > 0)
        --tComInitialised;
}

void HostCoreAudio::Release(Object object) {
    if (object == 0)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = held_.find(ObjectOf(object));
        if (it != held_.end() && --it->second == 0)
            held_.erase(it);
    }
    ObjectOf(object)->Release();
}

int32_t HostCoreAudio::CreateEnumerator(Object* enumerator) {
    *enumerator = 0;
    if (tComInitialised == 0)
        return kNotInitialised;
    user::MMDeviceEnumerator* created = nullptr;
    const int32_t status = audio_.CreateDeviceEnumerator(&created);
    *enumerator = Keep(created);
    return status;
}

int32_t HostCoreAudio::ActiveCaptureEndpoints(Object enumerator, std::vector<Object>* endpoints) {
    endpoints->clear();
    auto* devices = As<user::MMDeviceEnumerator>(enumerator);
    if (devices == nullptr)
        return user::kHrPointer;
    user::DeviceCollection* collection = nullptr;
    int32_t status = devices->EnumAudioEndpoints(kCapture, kActive, &collection);
    if (status < 0 || collection == nullptr)
        return status < 0 ? status : user::kHrPointer;
    uint32_t count = 0;
    status = collection->GetCount(&count);
    for (uint32_t i = 0; status >= 0 && i < count; ++i) {
        user::MMDevice* endpoint = nullptr;
        if (collection->Item(i, &endpoint) >= 0 && endpoint != nullptr)
            endpoints->push_back(Keep(endpoint));
    }
    collection->Release();
    return status;
}

int32_t HostCoreAudio::FriendlyName(Object endpoint, std::u16string* name) {
    auto* device = As<user::MMDevice>(endpoint);
    return device == nullptr ? user::kHrPointer : device->FriendlyName(name);
}

int32_t HostCoreAudio::EndpointVolume(Object endpoint, Object* volume) {
    *volume = 0;
    auto* device = As<user::MMDevice>(endpoint);
    if (device == nullptr)
        return user::kHrPointer;
    user::AudioEndpointVolume* activated = nullptr;
    const int32_t status = device->ActivateEndpointVolume(&activated);
    *volume = Keep(activated);
    return status;
}

int32_t HostCoreAudio::VolumeStepInfo(Object volume, uint32_t* step, uint32_t* stepCount) {
    auto* endpoint = As<user::AudioEndpointVolume>(volume);
    return endpoint == nullptr ? user::kHrPointer : endpoint->GetVolumeStepInfo(step, stepCount);
}

int32_t HostCoreAudio::SetMasterVolumeScalar(Object volume, float level) {
    auto* endpoint = As<user::AudioEndpointVolume>(volume);
    // The panel's own changes carry an empty event context.
    const user::Guid empty;
    return endpoint == nullptr ? user::kHrPointer
                               : endpoint->SetMasterVolumeLevelScalar(level, &empty);
}

int32_t HostCoreAudio::GetMute(Object volume, int32_t* mute) {
    auto* endpoint = As<user::AudioEndpointVolume>(volume);
    return endpoint == nullptr ? user::kHrPointer : endpoint->GetMute(mute);
}

int32_t HostCoreAudio::SetMute(Object volume, int32_t mute) {
    auto* endpoint = As<user::AudioEndpointVolume>(volume);
    const user::Guid empty;
    return endpoint == nullptr ? user::kHrPointer : endpoint->SetMute(mute, &empty);
}

int32_t HostCoreAudio::RegisterVolumeCallback(Object volume, MicChangeCallback* callback) {
    auto* endpoint = As<user::AudioEndpointVolume>(volume);
    if (endpoint == nullptr || callback == nullptr)
        return user::kHrPointer;
    return endpoint->RegisterControlChangeNotify(VolumeSinkFor(callback));
}

int32_t HostCoreAudio::UnregisterVolumeCallback(Object volume, MicChangeCallback* callback) {
    auto* endpoint = As<user::AudioEndpointVolume>(volume);
    if (endpoint == nullptr || callback == nullptr)
        return user::kHrPointer;
    return endpoint->UnregisterControlChangeNotify(VolumeSinkFor(callback));
}

int32_t HostCoreAudio::EndpointTopology(Object endpoint, Object* topology) {
    return DeviceTopology(endpoint, topology);
}

int32_t HostCoreAudio::Connector(Object topology, uint32_t index, Object* connector) {
    *connector = 0;
    auto* parts = As<user::DeviceTopology>(topology);
    if (parts == nullptr)
        return user::kHrPointer;
    user::Connector* taken = nullptr;
    const int32_t status = parts->GetConnector(index, &taken);
    *connector = Keep(taken);
    return status;
}

int32_t HostCoreAudio::ConnectedDeviceId(Object connector, std::u16string* deviceId) {
    auto* taken = As<user::Connector>(connector);
    return taken == nullptr ? user::kHrPointer : taken->GetDeviceIdConnectedTo(deviceId);
}

int32_t HostCoreAudio::DeviceById(Object enumerator, const std::u16string& id, Object* device) {
    *device = 0;
    auto* devices = As<user::MMDeviceEnumerator>(enumerator);
    if (devices == nullptr)
        return user::kHrPointer;
    user::MMDevice* opened = nullptr;
    const int32_t status = devices->GetDevice(id, &opened);
    *device = Keep(opened);
    return status;
}

int32_t HostCoreAudio::DeviceTopology(Object device, Object* topology) {
    *topology = 0;
    auto* opened = As<user::MMDevice>(device);
    if (opened == nullptr)
        return user::kHrPointer;
    user::DeviceTopology* activated = nullptr;
    const int32_t status = opened->ActivateDeviceTopology(&activated);
    *topology = Keep(activated);
    return status;
}

int32_t HostCoreAudio::SubunitCount(Object topology, uint32_t* count) {
    auto* parts = As<user::DeviceTopology>(topology);
    return parts == nullptr ? user::kHrPointer : parts->GetSubunitCount(count);
}

int32_t HostCoreAudio::Subunit(Object topology, uint32_t index, Object* subunit) {
    *subunit = 0;
    auto* parts = As<user::DeviceTopology>(topology);
    if (parts == nullptr)
        return user::kHrPointer;
    user::Part* taken = nullptr;
    const int32_t status = parts->GetSubunit(index, &taken);
    *subunit = Keep(taken);
    return status;
}

int32_t HostCoreAudio::SubunitPart(Object subunit, Object* part) {
    *part = 0;
    auto* taken = As<user::Part>(subunit);
    if (taken == nullptr)
        return user::kHrNoInterface;
    user::Part* queried = nullptr;
    const int32_t status = taken->QueryPart(&queried);
    *part = Keep(queried);
    return status;
}

int32_t HostCoreAudio::ActivateAgc(Object part, Object* agc) {
    *agc = 0;
    auto* taken = As<user::Part>(part);
    if (taken == nullptr)
        return user::kHrPointer;
    user::AutoGainControl* activated = nullptr;
    const int32_t status = taken->ActivateAutoGainControl(&activated);
    *agc = Keep(activated);
    return status;
}

int32_t HostCoreAudio::GetAgcEnabled(Object agc, int32_t* enabled) {
    auto* control = As<user::AutoGainControl>(agc);
    return control == nullptr ? user::kHrPointer : control->GetEnabled(enabled);
}

int32_t HostCoreAudio::SetAgcEnabled(Object agc, int32_t enabled) {
    auto* control = As<user::AutoGainControl>(agc);
    // Boost changes carry no event context.
    return control == nullptr ? user::kHrPointer : control->SetEnabled(enabled, nullptr);
}

int32_t HostCoreAudio::RegisterPartCallback(Object part, MicChangeCallback* callback) {
    auto* taken = As<user::Part>(part);
    if (taken == nullptr || callback == nullptr)
        return user::kHrPointer;
    return taken->RegisterControlChangeCallback(PartSinkFor(callback));
}

int32_t HostCoreAudio::UnregisterPartCallback(Object part, MicChangeCallback* callback) {
    auto* taken = As<user::Part>(part);
    if (taken == nullptr || callback == nullptr)
        return user::kHrPointer;
    return taken->UnregisterControlChangeCallback(PartSinkFor(callback));
}

// --- the mixer -------------------------------------------------------------------------------

namespace {

uint32_t HandleOf(MixerPorts::Mixer mixer) {
    return static_cast<uint32_t>(mixer);
}

void FromLine(const user::MixerLine& info, MixerPorts::Line* line) {
    line->lineId = info.lineId;
    line->destination = info.destination;
    line->componentType = info.componentType;
    line->sourceCount = info.connections;
    line->targetName = info.targetName;
}

MixerPorts::Control FromControl(const user::MixerControl& info) {
    MixerPorts::Control control;
    control.controlId = info.controlId;
    control.type = info.type;
    control.minimum = info.minimum;
    control.maximum = info.maximum;
    return control;
}

}  // namespace

uint32_t HostMixer::DeviceCount() {
    return mixers_.GetNumDevs();
}

bool HostMixer::Open(uint32_t index, Mixer* mixer) {
    uint32_t handle = 0;
    if (mixers_.Open(index, &handle) != user::MMSYSERR_NOERROR)
        return false;
    *mixer = static_cast<Mixer>(handle);
    return true;
}

void HostMixer::Close(Mixer mixer) {
    mixers_.Close(HandleOf(mixer));
}

bool HostMixer::DestinationByType(Mixer mixer, uint32_t componentType, Line* line) {
    user::MixerLine info;
    info.componentType = componentType;
    if (mixers_.GetLineInfo(HandleOf(mixer), &info, user::MixerLineQuery::ComponentType) !=
        user::MMSYSERR_NOERROR)
        return false;
    FromLine(info, line);
    return true;
}

bool HostMixer::Source(Mixer mixer, const Line& destination, uint32_t index, Line* line) {
    user::MixerLine info;
    info.destination = destination.destination;
    info.source = index;
    if (mixers_.GetLineInfo(HandleOf(mixer), &info, user::MixerLineQuery::Source) !=
        user::MMSYSERR_NOERROR)
        return false;
    FromLine(info, line);
    return true;
}

bool HostMixer::AllControls(Mixer mixer, const Line& line, std::vector<Control>* controls) {
    controls->clear();
    std::vector<user::MixerControl> all;
    if (mixers_.GetLineControls(HandleOf(mixer), line.lineId, &all) != user::MMSYSERR_NOERROR)
        return false;
    for (const user::MixerControl& control : all)
        controls->push_back(FromControl(control));
    return true;
}

bool HostMixer::ControlByType(Mixer mixer, const Line& line, uint32_t type, Control* control) {
    user::MixerControl info;
    if (mixers_.GetLineControlByType(HandleOf(mixer), line.lineId, type, &info) !=
        user::MMSYSERR_NOERROR)
        return false;
    *control = FromControl(info);
    return true;
}

bool HostMixer::GetValue(Mixer mixer, const Control& control, uint32_t* value) {
    return mixers_.GetControlValue(HandleOf(mixer), control.controlId, value) ==
           user::MMSYSERR_NOERROR;
}

bool HostMixer::SetValue(Mixer mixer, const Control& control, uint32_t value) {
    return mixers_.SetControlValue(HandleOf(mixer), control.controlId, value) ==
           user::MMSYSERR_NOERROR;
}

}  // namespace panelhost
