// A simulated machine with the Ampfx driver installed, for the driver's tests: headsets are
// plugged in, given the filter and restarted the way the attachment service does it.
#pragma once

#include <string>
#include <vector>

#include "host/machine.h"
#include "host/user_io.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace ampfx_test {

constexpr const char* kSettingsKey = "\\Registry\\Machine\\SOFTWARE\\Ampfx";

class FilteredMachine {
  public:
    explicit FilteredMachine(
        host::kernel::WindowsVersion windows = host::kernel::WindowsVersion::WindowsVista);

    host::Machine& machine() { return machine_; }
    host::PnpManager& pnp() { return machine_.pnp(); }
    host::Registry& registry() { return machine_.registry(); }

    // Plugs a device in and, when `filtered`, lists Ampfx as its lower filter and restarts it.
    host::DevNode* Plug(uint16_t productId, bool filtered = true,
                        std::shared_ptr<host::UsbFunction> function = nullptr,
                        uint16_t vendorId = 0x0F1E);

    // The filter's device object in a device's stack (directly above the PDO), or null.
    static PDEVICE_OBJECT FilterDevice(const host::DevNode* node);

    PDRIVER_OBJECT Driver() const { return host::kernel::FindDriver("Ampfx"); }

  private:
    host::Machine machine_;
};

// One control request through the user-mode path: open, DeviceIoControl, close.
struct ControlAnswer {
    uint32_t error = 0;  // Win32 error of the open or the call
    uint32_t bytes = 0;
    std::vector<uint8_t> output;
};
ControlAnswer SendControl(uint32_t code, const void* input, uint32_t inputLength,
                          uint32_t outputLength);

}  // namespace ampfx_test
