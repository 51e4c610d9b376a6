// The Plug and Play manager of the simulated machine, with its USB bus.
//
// Each device plugged into the bus gets a physical device object from the bus driver
// ("\Device\USBPDO-n", driver "\Driver\usbhub") and a device-instance key under
// "\Registry\Machine\SYSTEM\CurrentControlSet\Enum\<instance path>". Its stack is built from
// that key as Windows builds it: the device's LowerFilters, the class's LowerFilters, the
// function driver named by Service, the device's UpperFilters and the class's UpperFilters,
// each loaded by service name from "...\Services\<name>" (ImagePath names a registered driver
// image). DriverEntry runs once per load, AddDevice bottom-up per device, then
// IRP_MN_QUERY_CAPABILITIES and IRP_MN_START_DEVICE go to the top. A driver is asked to unload
// once no device stack uses it.
//
// Operations run in the calling thread at PASSIVE_LEVEL, one at a time.
#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/kernel.h"
#include "host/usb_function.h"

namespace host {

// Device Manager problem codes (CM_PROB_*), as Windows numbers them.
namespace cm_problem {
constexpr uint32_t kNone = 0;
constexpr uint32_t kFailedStart = 10;
constexpr uint32_t kFailedInstall = 28;
constexpr uint32_t kFailedAdd = 31;
constexpr uint32_t kDisabledService = 32;
constexpr uint32_t kFailedDriverEntry = 37;
constexpr uint32_t kDriverFailedPriorUnload = 38;
constexpr uint32_t kDriverFailedLoad = 39;
}  // namespace cm_problem

// The setup class of sound, video and game controllers ("MEDIA").
constexpr const char* kMediaClassGuid = "{4d36e96c-e325-11ce-bfc1-08002be10318}";

struct UsbDeviceIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t revision = 0x0100;
    uint8_t interfaceNumber = 0;  // the function's interface, MI_xx
    // The instance id below the device id; empty: derived from the port, as Windows does for
    // a device without a serial number ("7&xxxxxxxx&0&0000").
    std::string instanceId;
    std::string service = "usbaudio";
    std::string classGuid = kMediaClassGuid;
    std::string description = "USB Audio Device";
};

class PnpManager;

// One device: its node in the device tree, which outlives its presence on the bus.
class DevNode {
  public:
    // "USB\VID_0F1E&PID_1607&MI_00\7&2b6d1c4e&0&0000"
    const std::string& InstancePath() const { return instancePath_; }
    // "\Registry\Machine\SYSTEM\CurrentControlSet\Enum\<instance path>"
    std::string EnumKey() const;
    const UsbDeviceIdentity& Identity() const { return identity_; }
    // The physical device object, null once the device has left the bus.
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    // The device stack bottom-up, the PDO first; empty while no stack is built.
    std::vector<PDEVICE_OBJECT> Stack() const;
    PDEVICE_OBJECT Top() const;
    // The service names of the stack's drivers above the bus, bottom-up.
    std::vector<std::string> Services() const { return services_; }
    bool Present() const { return pdo_ != nullptr; }
    bool Started() const { return started_; }
    uint32_t Problem() const { return problem_; }
    // The status behind the problem (DriverEntry's, AddDevice's, the start request's).
    NTSTATUS ProblemStatus() const { return problemStatus_; }
    UsbFunction* Function() const { return function_.get(); }
    int Port() const { return port_; }

  private:
    friend class PnpManager;

    std::string instancePath_;
    UsbDeviceIdentity identity_;
    int port_ = 0;
    std::shared_ptr<UsbFunction> function_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::vector<PDRIVER_OBJECT> drivers_;  // bottom-up, AddDevice called
    std::vector<std::string> services_;
    bool built_ = false;
    bool started_ = false;
    uint32_t problem_ = cm_problem::kNone;
    NTSTATUS problemStatus_ = STATUS_SUCCESS;
};

class PnpManager {
  public:
    // Loads the bus driver and writes the keys every machine has: the MEDIA class key and the
    // service of the USB audio class driver ("usbaudio", image "usbaudio.sys").
    PnpManager();
    // Unplugs every present device.
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // Plugs a device into the next free port: creates its PDO and (the first time) its
    // device-instance key, then builds and starts its stack. Without a function, a
    // BasicUsbFunction answers for it. The node is returned also when the start failed (see
    // Problem()).
    DevNode* PlugIn(const UsbDeviceIdentity& identity,
                    std::shared_ptr<UsbFunction> function = nullptr);
    // The device leaves the bus: surprise removal, then removal; the node stays, not present.
    void Unplug(DevNode* node);
    // Stops a device as a property change's DICS_STOP does: query-remove (a veto cancels it
    // and is returned), then removal of the stack. The device stays on the bus.
    NTSTATUS Stop(DevNode* node);
    // Builds the stack again from the registry and starts it (DICS_START, or a retry of a
    // device that failed). Returns whether it started.
    bool Start(DevNode* node);
    // Stop, then Start: what a change of the filter list needs to take effect.
    bool Restart(DevNode* node);

    DevNode* Find(std::string_view instancePath);
    std::vector<DevNode*> Devices(bool presentOnly = true);

    // Sends a Plug and Play or power request to the top of the device's stack and waits.
    kernel::RequestResult SendPnp(DevNode* node, UCHAR minorFunction);
    kernel::RequestResult SendPower(DevNode* node, UCHAR minorFunction, POWER_STATE_TYPE type,
                                    POWER_STATE state);

    // Writes a kernel driver's service key the way an installer does (Type 1, Start 3,
    // ErrorControl 1, ImagePath "System32\DRIVERS\<image>") and registers the image.
    static void InstallDriverService(std::string_view service, std::string_view image,
                                     PDRIVER_INITIALIZE entry);

  private:
    void CreateInstanceKey(const DevNode& node);
    bool Build(DevNode* node);
    // Removes the stack (surprise first if asked) and lets unused drivers go.
    void TearDown(DevNode* node, bool surprise);
    PDRIVER_OBJECT LoadService(const std::string& service, DevNode* node);
    void ReleaseDrivers(const std::vector<PDRIVER_OBJECT>& drivers);
    void Fail(DevNode* node, uint32_t problem, NTSTATUS status);

    kernel::DispatcherMutex mutex_;
    PDRIVER_OBJECT bus_ = nullptr;
    std::map<std::string, std::unique_ptr<DevNode>> nodes_;  // by folded instance path
    std::map<int, DevNode*> ports_;
    int pdoNames_ = 0;
    int driverKeys_ = 0;
};

}  // namespace host
