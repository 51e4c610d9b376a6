// Core Audio over COM for the panel's microphone operations. An Object is the interface
// pointer itself; every interface the panel deals with derives from IUnknown alone, so one
// Release serves them all. The classes and interfaces exist from Windows Vista on; on XP the
// enumerator cannot be created and every operation fails from its first step.
#pragma once

#include "win32_api.h"

#include <devicetopology.h>
#include <endpointvolume.h>

#include <map>
#include <memory>

#include "windows_volume_ports.h"

class Win32CoreAudio : public CoreAudioPorts {
  public:
    Win32CoreAudio();
    ~Win32CoreAudio() override;

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

    // The COM objects Windows is handed for the panel's callbacks: one per callback for the
    // port's life, so that a registration and its unregistration pass the same pointer. Their
    // reference counts and interface answers are those of the callback when it is one of the
    // panel's MicNotifyObjects.
    IAudioEndpointVolumeCallback* VolumeSinkFor(MicChangeCallback* callback);
    IControlChangeNotify* PartSinkFor(MicChangeCallback* callback);

  private:
    class VolumeSink;
    class PartSink;

    CRITICAL_SECTION lock_;
    std::map<MicChangeCallback*, std::unique_ptr<VolumeSink>> volumeSinks_;
    std::map<MicChangeCallback*, std::unique_ptr<PartSink>> partSinks_;
};
