// Finding the headset: exactly one supported device on any USB hub, and that device being
// Windows' default wave device for playback and recording.
#pragma once

#include <stdint.h>

#include <string>

#include "panel_ports.h"

// The device-path prefix of the supported device last found ("\\?\USB#VID_0F1E&PID_1607"),
// kept for the whole run; a discovery that finds nothing leaves it as it was.
struct DiscoveredDevice {
    std::u16string DevicePathPrefix;
};

// The panel's own list of products; all are handled alike.
bool IsPanelSupportedProduct(uint16_t vendorId, uint16_t productId);

// 1 when exactly one supported device is attached behind any hub, else 0. Two at once show
// the two-devices message through `shell`.
int DiscoverDevice(DiscoveryPorts& ports, PanelShell& shell, DiscoveredDevice& found);

// 1 when wave-out device 0 and wave-in device 0 are the DirectSound devices whose interface
// paths begin with the discovered prefix. The two descriptions are the main dialog's; they
// keep their content when no device matches.
int MatchDefaultWaveDevices(DiscoveryPorts& ports, const DiscoveredDevice& found,
                            std::u16string& renderDescription, std::u16string& captureDescription);
