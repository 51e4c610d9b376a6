// Core Audio and the mixer as the panel's microphone operations use them. The shapes follow
// the Windows interfaces one call each, so the walk through them (and which step failed)
// stays in the panel's own code; panel/win32 maps each call onto COM or winmm.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// The callbacks Windows calls on its notification threads. Their behaviour is the panel's;
// the platform wraps them in whatever object its notification interface needs.
class MicChangeCallback {
  public:
    virtual ~MicChangeCallback() = default;
    // `hasData` is false when Windows passes no notification data. Returns a status
    // (0 success).
    virtual int32_t OnNotify(bool hasData) = 0;
};

class CoreAudioPorts {
  public:
    using Object = intptr_t;  // an interface the port handed out; 0 is none
    virtual ~CoreAudioPorts() = default;

    // CoInitialize / CoUninitialize on the calling thread.
    virtual int32_t InitializeCom() = 0;
    virtual void UninitializeCom() = 0;
    virtual void Release(Object object) = 0;

    virtual int32_t CreateEnumerator(Object* enumerator) = 0;
    // The active capture endpoints, in Windows' order; each entry must be released.
    virtual int32_t ActiveCaptureEndpoints(Object enumerator, std::vector<Object>* endpoints) = 0;
    virtual int32_t FriendlyName(Object endpoint, std::u16string* name) = 0;

    virtual int32_t EndpointVolume(Object endpoint, Object* volume) = 0;
    virtual int32_t VolumeStepInfo(Object volume, uint32_t* step, uint32_t* stepCount) = 0;
    virtual int32_t SetMasterVolumeScalar(Object volume, float level) = 0;
    virtual int32_t GetMute(Object volume, int32_t* mute) = 0;
    virtual int32_t SetMute(Object volume, int32_t mute) = 0;
    virtual int32_t RegisterVolumeCallback(Object volume, MicChangeCallback* callback) = 0;
    virtual int32_t UnregisterVolumeCallback(Object volume, MicChangeCallback* callback) = 0;

    virtual int32_t EndpointTopology(Object endpoint, Object* topology) = 0;
    virtual int32_t Connector(Object topology, uint32_t index, Object* connector) = 0;
    virtual int32_t ConnectedDeviceId(Object connector, std::u16string* deviceId) = 0;
    virtual int32_t DeviceById(Object enumerator, const std::u16string& id, Object* device) = 0;
    virtual int32_t DeviceTopology(Object device, Object* topology) = 0;
    virtual int32_t SubunitCount(Object topology, uint32_t* count) = 0;
    virtual int32_t Subunit(Object topology, uint32_t index, Object* subunit) = 0;
    virtual int32_t SubunitPart(Object subunit, Object* part) = 0;
    // Activates the automatic gain control on a part; its failure status is meaningful.
    virtual int32_t ActivateAgc(Object part, Object* agc) = 0;
    virtual int32_t GetAgcEnabled(Object agc, int32_t* enabled) = 0;
    virtual int32_t SetAgcEnabled(Object agc, int32_t enabled) = 0;
    virtual int32_t RegisterPartCallback(Object part, MicChangeCallback* callback) = 0;
    virtual int32_t UnregisterPartCallback(Object part, MicChangeCallback* callback) = 0;
};

class MixerPorts {
  public:
    using Mixer = intptr_t;
    virtual ~MixerPorts() = default;

    struct Line {
        uint32_t lineId = 0;
        uint32_t destination = 0;
        uint32_t componentType = 0;
        uint32_t sourceCount = 0;
        std::u16string targetName;  // the wave device the line belongs to
    };
    struct Control {
        uint32_t controlId = 0;
        uint32_t type = 0;
        uint32_t minimum = 0, maximum = 0;
    };

    virtual uint32_t DeviceCount() = 0;
    // mixerOpen; false when the mixer cannot be opened.
    virtual bool Open(uint32_t index, Mixer* mixer) = 0;
    virtual void Close(Mixer mixer) = 0;
    // mixerGetLineInfo by component type, and by source index of a destination.
    virtual bool DestinationByType(Mixer mixer, uint32_t componentType, Line* line) = 0;
    virtual bool Source(Mixer mixer, const Line& destination, uint32_t index, Line* line) = 0;
    // mixerGetLineControls, all controls of a line and one by type.
    virtual bool AllControls(Mixer mixer, const Line& line, std::vector<Control>* controls) = 0;
    virtual bool ControlByType(Mixer mixer, const Line& line, uint32_t type, Control* control) = 0;
    // mixerGet/SetControlDetails of one uniform channel.
    virtual bool GetValue(Mixer mixer, const Control& control, uint32_t* value) = 0;
    virtual bool SetValue(Mixer mixer, const Control& control, uint32_t value) = 0;
};
