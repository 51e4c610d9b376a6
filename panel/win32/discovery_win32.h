// Device discovery over Win32: SetupDi over the USB hub interface class, the hubs' own
// requests, DirectSound's device lists with each device's description and interface path,
// and the names of wave devices 0.
#pragma once

#include "win32_api.h"

#include <setupapi.h>

#include "panel_ports.h"

class Win32DiscoveryPorts : public DiscoveryPorts {
  public:
    ~Win32DiscoveryPorts() override;
    bool OpenHubInterfaces() override;
    int HubInterfacePath(uint32_t index, std::u16string* path) override;
    void CloseHubInterfaces() override;
    Handle OpenHub(const std::u16string& path) override;
    bool HubRequest(Handle hub, uint32_t code, uint8_t* buffer, uint32_t size) override;
    void CloseHub(Handle hub) override;
    void EnumerateSoundDevices(bool capture,
                               const std::function<void(const SoundDevice*)>& callback) override;
    bool WaveOutName(std::u16string* name) override;
    bool WaveInName(std::u16string* name) override;

  private:
    HDEVINFO hubs_ = INVALID_HANDLE_VALUE;
};
