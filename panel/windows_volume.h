// The headset microphone's volume, mute and boost as Windows holds them: through Core Audio
// (the capture endpoint, its volume, and the automatic gain control found by walking the
// adapter's topology) on systems that have it, through the mixer's wave-in line otherwise.
#pragma once

#include <atomic>
#include <functional>

#include "panel_ports.h"
#include "windows_volume_ports.h"

// A GUID as COM compares them.
struct InterfaceId {
    uint32_t data1;
    uint16_t data2, data3;
    uint8_t data4[8];
    bool operator==(const InterfaceId& other) const;
};

extern const InterfaceId kIidUnknown;
extern const InterfaceId kIidAudioEndpointVolumeCallback;
extern const InterfaceId kIidControlChangeNotify;

// The two notification objects. Each lives for the whole process: its count starts at 1, so
// the last Release Windows makes never deletes it.
class MicNotifyObject : public MicChangeCallback {
  public:
    MicNotifyObject(const InterfaceId& own, std::function<int32_t(bool)> onNotify)
        : own_(own), onNotify_(std::move(onNotify)) {}
    // S_OK with a reference added, or E_NOINTERFACE with an empty result.
    int32_t QueryInterface(const InterfaceId& iid, void** object);
    uint32_t AddRef() { return ++count_; }
    uint32_t Release();
    int32_t OnNotify(bool hasData) override { return onNotify_(hasData); }
    uint32_t References() const { return count_; }

  private:
    InterfaceId own_;
    std::function<int32_t(bool)> onNotify_;
    std::atomic<uint32_t> count_{1};
};

class WindowsVolume : public MicrophonePorts {
  public:
    WindowsVolume(CoreAudioPorts& coreAudio, MixerPorts& mixer)
        : coreAudio_(coreAudio), mixer_(mixer) {}

    // What the two notifications do; the main dialog provides it. The volume notification
    // is refused with E_INVALIDARG when Windows passes no data.
    void SetNotifyHandlers(std::function<void()> onVolume, std::function<void()> onPart);
    MicNotifyObject& VolumeCallback() { return volumeCallback_; }
    MicNotifyObject& PartCallback() { return partCallback_; }

    // The active capture endpoint whose friendly name holds the capture description, or 0.
    CoreAudioPorts::Object FindCaptureEndpoint(const std::u16string& captureDescription);

    int GetMicVolume(const std::u16string& captureDescription, uint32_t* percent) override;
    int SetMicVolume(const std::u16string& captureDescription, uint32_t percent) override;
    int GetMicMute(const std::u16string& captureDescription, uint32_t* mute) override;
    int SetMicMute(const std::u16string& captureDescription, uint32_t mute) override;
    int GetMicBoost(const std::u16string& captureDescription, uint32_t* boost) override;
    int SetMicBoost(const std::u16string& captureDescription, uint32_t boost) override;
    int RegisterMicCallbacks(const std::u16string& captureDescription) override;
    int UnregisterMicCallbacks(const std::u16string& captureDescription) override;
    int MixerMicControl(int operation, uint32_t* value, uint32_t* minimum,
                        uint32_t* maximum) override;

    bool HoldsEndpointVolume() const { return heldVolume_ != 0; }

  private:
    enum class PartAction { GetBoost, SetBoost, Register, Unregister };
    // The topology walk to the first subunit with automatic gain control, then `action`.
    // Returns the failing step (1 to 10) or the last activation's status.
    int32_t WalkToAgc(const std::u16string& captureDescription, PartAction action, int32_t* boost);
    // Runs `use` on the endpoint volume of the capture endpoint; 1 without an endpoint.
    int WithEndpointVolume(const std::u16string& captureDescription,
                           const std::function<int32_t(CoreAudioPorts::Object)>& use);

    CoreAudioPorts& coreAudio_;
    MixerPorts& mixer_;
    std::function<void()> onVolume_, onPart_;
    MicNotifyObject volumeCallback_{kIidAudioEndpointVolumeCallback, [this](bool hasData) {
                                        if (!hasData)
                                            return static_cast<int32_t>(0x80070057);
                                        if (onVolume_)
                                            onVolume_();
                                        return 0;
                                    }};
    MicNotifyObject partCallback_{kIidControlChangeNotify, [this](bool) {
                                      if (onPart_)
                                          onPart_();
                                      return 0;
                                  }};
    CoreAudioPorts::Object heldVolume_ = 0;
};
