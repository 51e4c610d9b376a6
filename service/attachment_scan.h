// The attachment scan: one pass over the present audio functions that puts the filter at
// the head of every supported device's lower-filter list and restarts the device, so that
// Plug and Play loads the filter below the USB audio class driver.
#pragma once

#include <stdint.h>

#include <vector>

#include "ports.h"

namespace dovrel {

class AttachmentScan {
  public:
    AttachmentScan(DeviceManager& devices, Registry& registry, DebugOutput& debug);

    // One pass. Keeps nothing between passes: every pass reads the devices afresh, and a
    // failure skips the device (or ends the pass) for the next pass to try again.
    void RunOnce();

  private:
    enum class Read { Ok, Absent, Failed };

    void AttachDevice(DeviceInfoSet& set, DeviceInfo device);
    Read ReadProperty(DeviceInfoSet& set, DeviceInfo device, DeviceProperty property,
                      RegistryType* type, std::vector<uint8_t>* data);
    bool WriteFilterServiceKey();
    void RestartDevice(DeviceInfoSet& set, DeviceInfo device);
    void ReportFailure(const char* text, WinError error);

    DeviceManager& devices_;
    Registry& registry_;
    DebugOutput& debug_;
};

}  // namespace dovrel
