#include "core_audio_win32.h"

#include <mmdeviceapi.h>
#include <propidl.h>

#include <cstring>

#include "panel_system_win32.h"
#include "windows_volume.h"

namespace {

// The identifiers as Windows publishes them, spelled out here so that nothing depends on the
// import library carrying them.
constexpr GUID kClsidDeviceEnumerator = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
constexpr GUID kIidDeviceEnumerator = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
constexpr GUID kIidEndpointVolume = {
    0x5CDF2C82, 0x841E, 0x4546, {0x97, 0x22, 0x0C, 0xF7, 0x40, 0x78, 0x22, 0x9A}};
constexpr GUID kIidDeviceTopology = {
    0x2A07407E, 0x6497, 0x4A18, {0x97, 0x87, 0x32, 0xF7, 0x9B, 0xD0, 0xD9, 0x8F}};
constexpr GUID kIidPart = {
    0xAE2DE0E4, 0x5BCA, 0x4F2D, {0xAA, 0x46, 0x5D, 0x13, 0xF8, 0xFD, 0xB3, 0xA9}};
constexpr GUID kIidAutoGainControl = {
    0x85401FD4, 0x6DE4, 0x4B9D, {0x98, 0x69, 0x2D, 0x67, 0x53, 0xA8, 0x2F, 0x3C}};
const PROPERTYKEY kFriendlyName = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};

// The automatic gain control as Windows lays out its table: the toolchain's header has
// the two methods wrong (a getter that takes a value, and a second method named for mute).
struct AutoGainControl : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetEnabled(BOOL* enabled) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetEnabled(BOOL enable, LPCGUID eventContext) = 0;
};

// Every activation asks for all class contexts.
constexpr DWORD kAllContexts = CLSCTX_ALL;
static_assert(kAllContexts == 23, "all class contexts");

// The events the panel causes carry an empty context.
const GUID kEmptyContext = {};

constexpr int32_t kInvalidPointer = static_cast<int32_t>(E_POINTER);

template <typename Interface>
Interface* As(CoreAudioPorts::Object object) {
    return reinterpret_cast<Interface*>(object);
}

template <typename Interface>
CoreAudioPorts::Object ObjectOf(Interface* pointer) {
    return reinterpret_cast<CoreAudioPorts::Object>(pointer);
}

InterfaceId ToInterfaceId(REFIID iid) {
    InterfaceId id;
    static_assert(sizeof id == sizeof(GUID), "a GUID as the panel keeps it");
    std::memcpy(&id, &iid, sizeof id);
    return id;
}

// The reference counting and interface questions of the panel's own callback objects, when
// the callback is one; a plain callback gets a count of the sink's own that starts at 1.
class Forwarder {
  public:
    Forwarder(MicChangeCallback* callback, REFIID own)
        : callback_(callback), object_(dynamic_cast<MicNotifyObject*>(callback)), own_(own) {}

    HRESULT QueryInterface(void* self, REFIID iid, void** out) {
        if (out == nullptr)
            return E_POINTER;
        if (object_ != nullptr) {
            void* answered = nullptr;
            const HRESULT status = object_->QueryInterface(ToInterfaceId(iid), &answered);
            // The reference is counted on the panel's object; Windows gets the sink.
            *out = status == S_OK ? self : nullptr;
            return status;
        }
        if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, own_)) {
            *out = self;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() {
        return object_ != nullptr ? object_->AddRef()
                                  : static_cast<ULONG>(InterlockedIncrement(&count_));
    }
    ULONG Release() {
        // Never deleted on the last release: the sink belongs to the port, for the process.
        return object_ != nullptr ? object_->Release()
                                  : static_cast<ULONG>(InterlockedDecrement(&count_));
    }
    MicChangeCallback* Callback() const { return callback_; }

  private:
    MicChangeCallback* callback_;
    MicNotifyObject* object_;
    GUID own_;
    LONG count_ = 1;
};

}  // namespace

class Win32CoreAudio::VolumeSink : public IAudioEndpointVolumeCallback {
  public:
    explicit VolumeSink(MicChangeCallback* callback)
        : forward_(callback, __uuidof(IAudioEndpointVolumeCallback)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return forward_.QueryInterface(static_cast<IAudioEndpointVolumeCallback*>(this), iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return forward_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return forward_.Release(); }
    HRESULT STDMETHODCALLTYPE OnNotify(PAUDIO_VOLUME_NOTIFICATION_DATA data) override {
        return forward_.Callback()->OnNotify(data != nullptr);
    }

  private:
    Forwarder forward_;
};

class Win32CoreAudio::PartSink : public IControlChangeNotify {
  public:
    explicit PartSink(MicChangeCallback* callback)
        : forward_(callback, __uuidof(IControlChangeNotify)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return forward_.QueryInterface(static_cast<IControlChangeNotify*>(this), iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return forward_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return forward_.Release(); }
    HRESULT STDMETHODCALLTYPE OnNotify(DWORD, LPCGUID) override {
        return forward_.Callback()->OnNotify(true);
    }

  private:
    Forwarder forward_;
};

Win32CoreAudio::Win32CoreAudio() {
    InitializeCriticalSection(&lock_);
}

Win32CoreAudio::~Win32CoreAudio() {
    DeleteCriticalSection(&lock_);
}

int32_t Win32CoreAudio::InitializeCom() {
    return CoInitialize(nullptr);
}

void Win32CoreAudio::UninitializeCom() {
    CoUninitialize();
}

void Win32CoreAudio::Release(Object object) {
    if (object != 0)
        As<IUnknown>(object)->Release();
}

int32_t Win32CoreAudio::CreateEnumerator(Object* enumerator) {
    IMMDeviceEnumerator* created = nullptr;
    const HRESULT status =
        CoCreateInstance(kClsidDeviceEnumerator, nullptr, kAllContexts, kIidDeviceEnumerator,
                         reinterpret_cast<void**>(&created));
    *enumerator = SUCCEEDED(status) ? ObjectOf(created) : 0;
    return status;
}

int32_t Win32CoreAudio::ActiveCaptureEndpoints(Object enumerator, std::vector<Object>* endpoints) {
    endpoints->clear();
    IMMDeviceCollection* collection = nullptr;
    HRESULT status = As<IMMDeviceEnumerator>(enumerator)
                         ->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, &collection);
    if (FAILED(status) || collection == nullptr)
        return FAILED(status) ? status : kInvalidPointer;
    UINT count = 0;
    status = collection->GetCount(&count);
    for (UINT i = 0; SUCCEEDED(status) && i < count; ++i) {
        IMMDevice* endpoint = nullptr;
        if (SUCCEEDED(collection->Item(i, &endpoint)) && endpoint != nullptr)
            endpoints->push_back(ObjectOf(endpoint));
    }
    collection->Release();
    return status;
}

int32_t Win32CoreAudio::FriendlyName(Object endpoint, std::u16string* name) {
    IPropertyStore* store = nullptr;
    HRESULT status = As<IMMDevice>(endpoint)->OpenPropertyStore(STGM_READ, &store);
    if (FAILED(status) || store == nullptr)
        return FAILED(status) ? status : kInvalidPointer;
    PROPVARIANT value;
    PropVariantInit(&value);
    status = store->GetValue(kFriendlyName, &value);
    if (SUCCEEDED(status)) {
        if (value.vt == VT_LPWSTR && value.pwszVal != nullptr)
            *name = FromWide(value.pwszVal);
        else
            name->clear();  // a name of another type holds no description
    }
    PropVariantClear(&value);
    store->Release();
    return status;
}

int32_t Win32CoreAudio::EndpointVolume(Object endpoint, Object* volume) {
    void* activated = nullptr;
    const HRESULT status =
        As<IMMDevice>(endpoint)->Activate(kIidEndpointVolume, kAllContexts, nullptr, &activated);
    *volume = SUCCEEDED(status) ? reinterpret_cast<Object>(activated) : 0;
    return status;
}

int32_t Win32CoreAudio::VolumeStepInfo(Object volume, uint32_t* step, uint32_t* stepCount) {
    UINT current = 0, count = 0;
    const HRESULT status = As<IAudioEndpointVolume>(volume)->GetVolumeStepInfo(&current, &count);
    if (SUCCEEDED(status)) {
        *step = current;
        *stepCount = count;
    }
    return status;
}

int32_t Win32CoreAudio::SetMasterVolumeScalar(Object volume, float level) {
    return As<IAudioEndpointVolume>(volume)->SetMasterVolumeLevelScalar(level, &kEmptyContext);
}

int32_t Win32CoreAudio::GetMute(Object volume, int32_t* mute) {
    BOOL state = FALSE;
    const HRESULT status = As<IAudioEndpointVolume>(volume)->GetMute(&state);
    if (SUCCEEDED(status))
        *mute = state ? 1 : 0;
    return status;
}

int32_t Win32CoreAudio::SetMute(Object volume, int32_t mute) {
    return As<IAudioEndpointVolume>(volume)->SetMute(mute ? TRUE : FALSE, &kEmptyContext);
}

int32_t Win32CoreAudio::RegisterVolumeCallback(Object volume, MicChangeCallback* callback) {
    if (callback == nullptr)
        return kInvalidPointer;
    return As<IAudioEndpointVolume>(volume)->RegisterControlChangeNotify(VolumeSinkFor(callback));
}

int32_t Win32CoreAudio::UnregisterVolumeCallback(Object volume, MicChangeCallback* callback) {
    if (callback == nullptr)
        return kInvalidPointer;
    return As<IAudioEndpointVolume>(volume)->UnregisterControlChangeNotify(VolumeSinkFor(callback));
}

int32_t Win32CoreAudio::EndpointTopology(Object endpoint, Object* topology) {
    return DeviceTopology(endpoint, topology);
}

int32_t Win32CoreAudio::Connector(Object topology, uint32_t index, Object* connector) {
    IConnector* taken = nullptr;
    const HRESULT status = As<IDeviceTopology>(topology)->GetConnector(index, &taken);
    *connector = SUCCEEDED(status) ? ObjectOf(taken) : 0;
    return status;
}

int32_t Win32CoreAudio::ConnectedDeviceId(Object connector, std::u16string* deviceId) {
    LPWSTR id = nullptr;
    const HRESULT status = As<IConnector>(connector)->GetDeviceIdConnectedTo(&id);
    if (SUCCEEDED(status))
        *deviceId = FromWide(id);
    CoTaskMemFree(id);
    return status;
}

int32_t Win32CoreAudio::DeviceById(Object enumerator, const std::u16string& id, Object* device) {
    IMMDevice* opened = nullptr;
    const HRESULT status = As<IMMDeviceEnumerator>(enumerator)->GetDevice(Wide(id), &opened);
    *device = SUCCEEDED(status) ? ObjectOf(opened) : 0;
    return status;
}

int32_t Win32CoreAudio::DeviceTopology(Object device, Object* topology) {
    void* activated = nullptr;
    const HRESULT status =
        As<IMMDevice>(device)->Activate(kIidDeviceTopology, kAllContexts, nullptr, &activated);
    *topology = SUCCEEDED(status) ? reinterpret_cast<Object>(activated) : 0;
    return status;
}

int32_t Win32CoreAudio::SubunitCount(Object topology, uint32_t* count) {
    UINT subunits = 0;
    const HRESULT status = As<IDeviceTopology>(topology)->GetSubunitCount(&subunits);
    if (SUCCEEDED(status))
        *count = subunits;
    return status;
}

int32_t Win32CoreAudio::Subunit(Object topology, uint32_t index, Object* subunit) {
    ISubUnit* taken = nullptr;
    const HRESULT status = As<IDeviceTopology>(topology)->GetSubunit(index, &taken);
    *subunit = SUCCEEDED(status) ? ObjectOf(taken) : 0;
    return status;
}

int32_t Win32CoreAudio::SubunitPart(Object subunit, Object* part) {
    void* queried = nullptr;
    const HRESULT status = As<IUnknown>(subunit)->QueryInterface(kIidPart, &queried);
    *part = SUCCEEDED(status) ? reinterpret_cast<Object>(queried) : 0;
    return status;
}

int32_t Win32CoreAudio::ActivateAgc(Object part, Object* agc) {
    void* activated = nullptr;
    const HRESULT status = As<IPart>(part)->Activate(kAllContexts, kIidAutoGainControl, &activated);
    *agc = SUCCEEDED(status) ? reinterpret_cast<Object>(activated) : 0;
    return status;
}

int32_t Win32CoreAudio::GetAgcEnabled(Object agc, int32_t* enabled) {
    BOOL state = FALSE;
    const HRESULT status = As<AutoGainControl>(agc)->GetEnabled(&state);
    if (SUCCEEDED(status))
        *enabled = state ? 1 : 0;
    return status;
}

int32_t Win32CoreAudio::SetAgcEnabled(Object agc, int32_t enabled) {
    return As<AutoGainControl>(agc)->SetEnabled(enabled ? TRUE : FALSE, nullptr);
}

int32_t Win32CoreAudio::RegisterPartCallback(Object part, MicChangeCallback* callback) {
    if (callback == nullptr)
        return kInvalidPointer;
    return As<IPart>(part)->RegisterControlChangeCallback(kIidAutoGainControl,
                                                          PartSinkFor(callback));
}

int32_t Win32CoreAudio::UnregisterPartCallback(Object part, MicChangeCallback* callback) {
    if (callback == nullptr)
        return kInvalidPointer;
    return As<IPart>(part)->UnregisterControlChangeCallback(PartSinkFor(callback));
}

IAudioEndpointVolumeCallback* Win32CoreAudio::VolumeSinkFor(MicChangeCallback* callback) {
    EnterCriticalSection(&lock_);
    std::unique_ptr<VolumeSink>& sink = volumeSinks_[callback];
    if (!sink)
        sink.reset(new VolumeSink(callback));
    VolumeSink* found = sink.get();
    LeaveCriticalSection(&lock_);
    return found;
}

IControlChangeNotify* Win32CoreAudio::PartSinkFor(MicChangeCallback* callback) {
    EnterCriticalSection(&lock_);
    std::unique_ptr<PartSink>& sink = partSinks_[callback];
    if (!sink)
        sink.reset(new PartSink(callback));
    PartSink* found = sink.get();
    LeaveCriticalSection(&lock_);
    return found;
}
