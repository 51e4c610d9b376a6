// The panel's Core Audio and mixer ports over the simulated session's microphones: each
// interface the port hands out is the session's own reference-counted object, released by
// the panel's Release, and the panel's callbacks are registered with the session, which calls
// them on its notification thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "host/core_audio.h"
#include "host/mixer.h"
#include "windows_volume_ports.h"

namespace panelhost {

class HostCoreAudio : public CoreAudioPorts {
  public:
    explicit HostCoreAudio(host::user::CoreAudio& audio);
    // The process's registrations end with it, as COM's rundown ends them: none of the
    // panel's callbacks is called once this returns.
    ~HostCoreAudio() override;
    void RevokeCallbacks();

    int32_t InitializeCom() override;
    void UninitializeCom() override;
    void Release(Object object) override;
    int32_t CreateEnumerator(Object* enumerator) override;
    int32_t ActiveCaptureEndpoints(Object enumerator, std::vector<Object>* endpoints) override;
    int32_t FriendlyName(Object endpoint, std::u16string* name) override;
    int32_t EndpointVolume(Object endpoint, Object* volume) override;
    int32_t VolumeStepInfo(Object volume, uint32_t* step, uint32_t* stepCount) override;
    int32_t SetMasterVolumeScalar(Object volume, float level) override;
    int32_t GetMute(Object volume, int32_t* mute) override;
    int32_t SetMute(Object volume, int32_t mute) override;
    int32_t RegisterVolumeCallback(Object volume, MicChangeCallback* callback) override;
    int32_t UnregisterVolumeCallback(Object volume, MicChangeCallback* callback) override;
    int32_t EndpointTopology(Object endpoint, Object* topology) override;
    int32_t Connector(Object topology, uint32_t index, Object* connector) override;
    int32_t ConnectedDeviceId(Object connector, std::u16string* deviceId) override;
    int32_t DeviceById(Object enumerator, const std::u16string& id, Object* device) override;
    int32_t DeviceTopology(Object device, Object* topology) override;
    int32_t SubunitCount(Object topology, uint32_t* count) override;
    int32_t Subunit(Object topology, uint32_t index, Object* subunit) override;
    int32_t SubunitPart(Object subunit, Object* part) override;
    int32_t ActivateAgc(Object part, Object* agc) override;
    int32_t GetAgcEnabled(Object agc, int32_t* enabled) override;
    int32_t SetAgcEnabled(Object agc, int32_t enabled) override;
    int32_t RegisterPartCallback(Object part, MicChangeCallback* callback) override;
    int32_t UnregisterPartCallback(Object part, MicChangeCallback* callback) override;

  private:
    class VolumeSink;
    class PartSink;
    // Hands `object` to the panel, counting the reference the panel now owns.
    Object Keep(host::user::ComObject* object);
    VolumeSink* VolumeSinkFor(MicChangeCallback* callback);
    PartSink* PartSinkFor(MicChangeCallback* callback);

    host::user::CoreAudio& audio_;
    std::mutex mutex_;
    std::map<MicChangeCallback*, std::unique_ptr<VolumeSink>> volumeSinks_;
    std::map<MicChangeCallback*, std::unique_ptr<PartSink>> partSinks_;
    std::map<host::user::ComObject*, int> held_;  // references the panel owns
};

class HostMixer : public MixerPorts {
  public:
    explicit HostMixer(host::user::Mixers& mixers) : mixers_(mixers) {}
    uint32_t DeviceCount() override;
    bool Open(uint32_t index, Mixer* mixer) override;
    void Close(Mixer mixer) override;
    bool DestinationByType(Mixer mixer, uint32_t componentType, Line* line) override;
    bool Source(Mixer mixer, const Line& destination, uint32_t index, Line* line) override;
    bool AllControls(Mixer mixer, const Line& line, std::vector<Control>* controls) override;
    bool ControlByType(Mixer mixer, const Line& line, uint32_t type, Control* control) override;
    bool GetValue(Mixer mixer, const Control& control, uint32_t* value) override;
    bool SetValue(Mixer mixer, const Control& control, uint32_t value) override;

  private:
    host::user::Mixers& mixers_;
};

}  // namespace panelhost
