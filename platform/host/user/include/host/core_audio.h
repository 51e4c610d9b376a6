// The recording side of Windows' volume handling in the user session: one microphone state per
// recording device (volume in the device's steps, mute, automatic gain control), seen through
// Core Audio (the device enumerator, capture endpoints, endpoint volume, the device topology
// with its connectors, subunits and parts) and through the winmm mixer (host/mixer.h).
//
// Core Audio exists from Windows 6 on; before, creating the enumerator fails with
// REGDB_E_CLASSNOTREG as it does on a machine without the class. Every change of a value,
// whoever makes it (a program, the mixer, the scenario standing for the Sound control panel),
// is reported to the callbacks registered for it on the session's notification thread, never
// on the changer's thread, as Windows reports them on a thread of its audio service.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/audio_devices.h"
#include "host/user_types.h"

namespace host {
class PnpManager;
}

namespace host::user {

using HResult = int32_t;
constexpr HResult kHrOk = 0;
constexpr HResult kHrNoInterface = static_cast<HResult>(0x80004002);
constexpr HResult kHrPointer = static_cast<HResult>(0x80004003);
constexpr HResult kHrInvalidArg = static_cast<HResult>(0x80070057);
constexpr HResult kHrNotFound = static_cast<HResult>(0x80070490);  // ERROR_NOT_FOUND
constexpr HResult kHrClassNotRegistered = static_cast<HResult>(0x80040154);
constexpr HResult kHrDeviceInvalidated = static_cast<HResult>(0x88890004);
constexpr HResult kHrAlreadyRegistered = static_cast<HResult>(0x800700B7);  // ERROR_ALREADY_EXISTS

// Where a device's automatic gain control sits in its hardware: nowhere, or on the
// recording path's destination or on its microphone source (which is where the winmm mixer
// shows its on/off switch; Core Audio shows an AGC subunit either way).
enum class BoostPlacement { None, Destination, Source };

// One recording device's microphone as Windows holds it.
struct MicrophoneState {
    uint32_t step = 0;
    uint32_t stepCount = 51;
    bool mute = false;
    bool agc = false;
    BoostPlacement boost = BoostPlacement::None;
    float Scalar() const {
        return stepCount > 1 ? static_cast<float>(step) / static_cast<float>(stepCount - 1) : 0.0f;
    }
};

// AUDIO_VOLUME_NOTIFICATION_DATA of a one-channel capture endpoint.
struct VolumeNotification {
    Guid eventContext;
    bool muted = false;
    float masterVolume = 0;
    uint32_t channels = 1;
    float channelVolumes[1] = {0};
};

// IAudioEndpointVolumeCallback and IControlChangeNotify as the session calls them.
class EndpointVolumeCallback {
  public:
    virtual ~EndpointVolumeCallback() = default;
    virtual HResult OnNotify(const VolumeNotification* data) = 0;
};
class ControlChangeCallback {
  public:
    virtual ~ControlChangeCallback() = default;
    virtual HResult OnNotify(uint32_t partId, const Guid* eventContext) = 0;
};

// IUnknown's reference counting: an object goes away with its last Release.
class ComObject {
  public:
    ComObject() { ++live_; }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;
    virtual ~ComObject() { --live_; }
    uint32_t AddRef() { return ++references_; }
    uint32_t Release();
    // How many objects exist now, for finding a program's leaks.
    static int Live() { return live_; }

  private:
    std::atomic<uint32_t> references_{1};
    static std::atomic<int> live_;
};

class CoreAudio;
class MMDevice;
class DeviceTopology;

class DeviceCollection : public ComObject {
  public:
    HResult GetCount(uint32_t* count);
    HResult Item(uint32_t index, MMDevice** device);  // AddRef'd
    ~DeviceCollection() override;

  private:
    friend class MMDeviceEnumerator;
    std::vector<MMDevice*> devices_;
};

class MMDeviceEnumerator : public ComObject {
  public:
    explicit MMDeviceEnumerator(CoreAudio& audio) : audio_(audio) {}
    // Only capture endpoints exist here; eRender (0) yields an empty collection. The state
    // mask 1 is DEVICE_STATE_ACTIVE.
    HResult EnumAudioEndpoints(int dataFlow, uint32_t stateMask, DeviceCollection** collection);
    // An endpoint ("{0.0.1.00000000}.{guid}") or an adapter's device ("{2}.<interface path>").
    HResult GetDevice(const std::u16string& id, MMDevice** device);

  private:
    CoreAudio& audio_;
};

class AudioEndpointVolume;

// An endpoint or an adapter's device, fixed to the recording device it was taken for.
class MMDevice : public ComObject {
  public:
    enum class Kind { Endpoint, Adapter };
    MMDevice(CoreAudio& audio, Kind kind, std::string key, std::u16string id,
             std::u16string friendlyName)
        : audio_(audio),
          kind_(kind),
          key_(std::move(key)),
          id_(std::move(id)),
          friendlyName_(std::move(friendlyName)) {}
    HResult GetId(std::u16string* id);
    // The property store's PKEY_Device_FriendlyName.
    HResult FriendlyName(std::u16string* name);
    // Activate(IID_IAudioEndpointVolume): endpoints only.
    HResult ActivateEndpointVolume(AudioEndpointVolume** volume);
    // Activate(IID_IDeviceTopology).
    HResult ActivateDeviceTopology(DeviceTopology** topology);

  private:
    CoreAudio& audio_;
    Kind kind_;
    std::string key_;
    std::u16string id_;
    std::u16string friendlyName_;
};

class AudioEndpointVolume : public ComObject {
  public:
    AudioEndpointVolume(CoreAudio& audio, std::string key) : audio_(audio), key_(std::move(key)) {}
    ~AudioEndpointVolume() override;
    HResult GetVolumeStepInfo(uint32_t* step, uint32_t* stepCount);
    HResult GetMasterVolumeLevelScalar(float* level);
    HResult SetMasterVolumeLevelScalar(float level, const Guid* eventContext);
    HResult GetMute(int32_t* mute);
    HResult SetMute(int32_t mute, const Guid* eventContext);
    HResult RegisterControlChangeNotify(EndpointVolumeCallback* callback);
    HResult UnregisterControlChangeNotify(EndpointVolumeCallback* callback);

  private:
    CoreAudio& audio_;
    std::string key_;
};

class Connector : public ComObject {
  public:
    explicit Connector(std::u16string connectedTo) : connectedTo_(std::move(connectedTo)) {}
    HResult GetDeviceIdConnectedTo(std::u16string* id);

  private:
    std::u16string connectedTo_;
};

class AutoGainControl;

// A subunit of an adapter's topology, which is also its part (QueryInterface(IID_IPart)).
class Part : public ComObject {
  public:
    enum class Kind { Volume, Mute, AutomaticGainControl };
    Part(CoreAudio& audio, std::string key, Kind kind, uint32_t localId)
        : audio_(audio), key_(std::move(key)), kind_(kind), localId_(localId) {}
    ~Part() override;
    HResult QueryPart(Part** part);  // the subunit's IPart: itself, AddRef'd
    // Activate(IID_IAudioAutoGainControl): E_NOINTERFACE on a part of another kind.
    HResult ActivateAutoGainControl(AutoGainControl** agc);
    // For the automatic gain control's changes (the part's other controls are not reported).
    HResult RegisterControlChangeCallback(ControlChangeCallback* callback);
    HResult UnregisterControlChangeCallback(ControlChangeCallback* callback);

  private:
    CoreAudio& audio_;
    std::string key_;
    Kind kind_;
    uint32_t localId_;
};

class AutoGainControl : public ComObject {
  public:
    AutoGainControl(CoreAudio& audio, std::string key) : audio_(audio), key_(std::move(key)) {}
    HResult GetEnabled(int32_t* enabled);
    HResult SetEnabled(int32_t enabled, const Guid* eventContext);

  private:
    CoreAudio& audio_;
    std::string key_;
};

class DeviceTopology : public ComObject {
  public:
    ~DeviceTopology() override;
    HResult GetConnectorCount(uint32_t* count);
    HResult GetConnector(uint32_t index, Connector** connector);
    HResult GetSubunitCount(uint32_t* count);
    HResult GetSubunit(uint32_t index, Part** subunit);

  private:
    friend class MMDevice;
    std::vector<Connector*> connectors_;
    std::vector<Part*> subunits_;
};

class CoreAudio {
  public:
    // With a Plug and Play manager, a device that leaves takes its registrations with it, as
    // its endpoint and parts go away in Windows.
    CoreAudio(AudioDevices& devices, PnpManager* pnp, uint32_t windowsMajor);
    ~CoreAudio();
    CoreAudio(const CoreAudio&) = delete;
    CoreAudio& operator=(const CoreAudio&) = delete;

    // CoCreateInstance(CLSID_MMDeviceEnumerator).
    HResult CreateDeviceEnumerator(MMDeviceEnumerator** enumerator);

    // --- the state both views share (the mixer and the scenario use these directly) -------
    // The recording device of that key (AudioDevices' key) exists now.
    bool Present(const std::string& key);
    // False for a device that is not present.
    bool State(const std::string& key, MicrophoneState* state);
    // Each reports a change of value to the callbacks registered for it; a device that is
    // not present fails with AUDCLNT_E_DEVICE_INVALIDATED.
    HResult SetScalar(const std::string& key, float level, const Guid* eventContext);
    HResult SetMute(const std::string& key, bool mute, const Guid* eventContext);
    // E_NOINTERFACE for a device without automatic gain control.
    HResult SetAgc(const std::string& key, bool enabled, const Guid* eventContext);
    // The scenario's choice of hardware; takes effect for objects taken from then on.
    void SetBoostPlacement(const std::string& key, BoostPlacement placement);

    // Registrations, kept per recording device.
    HResult RegisterVolume(const std::string& key, EndpointVolumeCallback* callback);
    HResult UnregisterVolume(const std::string& key, EndpointVolumeCallback* callback);
    HResult RegisterAgc(const std::string& key, ControlChangeCallback* callback);
    HResult UnregisterAgc(const std::string& key, ControlChangeCallback* callback);
    // What COM's rundown does when a process ends: every registration of these callbacks
    // goes, and none of them is being called once this returns.
    void Revoke(EndpointVolumeCallback* callback);
    void Revoke(ControlChangeCallback* callback);
    // Waits until every change reported so far has been delivered.
    void Flush();
    size_t Registrations();

    // For the objects: the device's endpoint id, friendly name and adapter id.
    bool Describe(const std::string& key, std::u16string* endpointId, std::u16string* name,
                  std::u16string* adapterId);
    std::vector<AudioDevice> Recording();
    uint32_t WindowsMajor() const { return major_; }

  private:
    struct Event {
        bool agc = false;
        std::string key;
        VolumeNotification data;
    };
    MicrophoneState& StateLocked(const AudioDevice& device);
    bool FindDevice(const std::string& key, AudioDevice* device);
    void Post(Event event);
    void Deliver();
    // Waits for a delivery in progress, unless the caller is the one delivering.
    void WaitForDelivery();

    AudioDevices& devices_;
    PnpManager* pnp_;
    int listener_ = 0;
    uint32_t major_;
    std::mutex mutex_;
    std::map<std::string, MicrophoneState> states_;
    std::multimap<std::string, EndpointVolumeCallback*> volumeCallbacks_;
    std::multimap<std::string, ControlChangeCallback*> agcCallbacks_;
    std::deque<Event> events_;
    bool stopping_ = false;
    bool delivering_ = false;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::mutex deliveryMutex_;  // held while callbacks run
    std::thread thread_;
};

// The microphone state a new device starts with: half volume, not muted, the gain control
// off, and the gain control where the headset model has it (by the USB product id in the
// device's instance path; the built-in card has none).
MicrophoneState InitialMicrophoneState(const std::string& key);

}  // namespace host::user
