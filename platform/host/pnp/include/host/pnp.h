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
// The bus has a root hub ("USB\ROOT_HUB20\4&2f3a9c1&0") of kRootHubPorts ports; external hubs
// plug into a port of any hub and bring ports of their own. Every hub exposes the USB hub
// interface (GUID_DEVINTERFACE_USB_HUB), through which user mode opens it and asks for its
// node and connection information (IOCTL_USB_GET_NODE_INFORMATION and
// IOCTL_USB_GET_NODE_CONNECTION_INFORMATION).
//
// Operations run in the calling thread at PASSIVE_LEVEL, one at a time.
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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

// The interface class of USB hubs, {F18A0E88-C30C-11D0-8815-00A0C906BED8}.
extern const GUID kUsbHubInterfaceClass;

// A port on the bus: a hub (kRootHub or an external hub's id) and a port number from 1.
struct UsbPort {
    int hub = 0;
    int port = 0;
};

// What a hub reports for one of its ports (IOCTL_USB_GET_NODE_CONNECTION_INFORMATION).
struct UsbPortState {
    bool connected = false;
    bool isHub = false;
    uint16_t address = 0;
    USB_DEVICE_DESCRIPTOR descriptor{};
    uint8_t configuration = 0;
    std::vector<USB_ENDPOINT_DESCRIPTOR> openPipes;
};

// A device interface that appeared (enabled) or went away (disabled or its device removed).
struct DeviceInterfaceChange {
    bool arrival = false;
    GUID interfaceClass{};
    std::string symbolicLink;  // "\??\USB#VID_0F1E&PID_1607&MI_00#7&...#{guid}"
};

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
    // The port number on its hub, and the hub.
    int Port() const { return port_; }
    int Hub() const { return hub_; }
    // The address the bus gave the device when it was plugged in (1 to 127).
    uint16_t Address() const { return address_; }

  private:
    friend class PnpManager;

    std::string instancePath_;
    UsbDeviceIdentity identity_;
    int port_ = 0;
    int hub_ = 0;
    uint16_t address_ = 0;
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

    static constexpr int kRootHub = 0;
    static constexpr int kRootHubPorts = 6;

    // Plugs a device into a port (by default the first free port of the root hub, then of
    // the external hubs in the order they were plugged): creates its PDO and (the first time)
    // its device-instance key, then builds and starts its stack. Without a function, a
    // BasicUsbFunction answers for it. The node is returned also when the start failed (see
    // Problem()); null when the port is taken or does not exist, or no port is free.
    DevNode* PlugIn(const UsbDeviceIdentity& identity,
                    std::shared_ptr<UsbFunction> function = nullptr,
                    std::optional<UsbPort> at = std::nullopt);
    // Plugs an external hub of `ports` ports (1 to 127) into a port (placed as PlugIn places
    // devices) and returns its id (1, 2, ...), or -1 when the port is taken or missing.
    int PlugInHub(int ports = 4, std::optional<UsbPort> at = std::nullopt,
                  uint16_t vendorId = 0x05E3, uint16_t productId = 0x0608);
    // The hub leaves the bus with every device and hub behind it (deepest first).
    void UnplugHub(int hub);
    // The hubs present, the root hub first.
    std::vector<int> Hubs();
    // A hub's port count, 0 for a hub that is not there.
    int HubPorts(int hub);
    // What a hub reports for a port; nullopt for a hub or port that does not exist.
    std::optional<UsbPortState> PortState(int hub, int port);

    // Called after each Plug and Play operation with the device interfaces of the classes a
    // listener asked for that arrived or went away, in that order. Listeners run on the
    // thread of the operation, with the manager's lock held: they must not call back into it.
    using InterfaceListener = std::function<void(const DeviceInterfaceChange&)>;
    int AddInterfaceListener(const GUID& interfaceClass, InterfaceListener listener);
    void RemoveInterfaceListener(int id);
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
    struct HubRecord {
        int ports = 0;
        UsbPort at;  // where it is plugged; the root hub is at hub -1
        uint16_t address = 0;
        USB_DEVICE_DESCRIPTOR descriptor{};
        PDEVICE_OBJECT device = nullptr;
    };
    struct ListenerRecord {
        GUID interfaceClass;
        InterfaceListener listener;
    };
    using InterfaceSnapshot = std::vector<std::pair<std::string, GUID>>;

    void CreateInstanceKey(const DevNode& node);
    // Takes a free or the given port; false when none. The caller holds topologyMutex_.
    bool ClaimPort(std::optional<UsbPort> at, UsbPort* port);
    uint16_t NextAddress();
    int CreateHub(int ports, UsbPort at, uint16_t vendorId, uint16_t productId);
    void UnplugLocked(DevNode* node);
    InterfaceSnapshot SnapshotInterfaces();
    void NotifyInterfaces(const InterfaceSnapshot& before);
    bool Build(DevNode* node);
    // Removes the stack (surprise first if asked) and lets unused drivers go.
    void TearDown(DevNode* node, bool surprise);
    PDRIVER_OBJECT LoadService(const std::string& service, DevNode* node);
    void ReleaseDrivers(const std::vector<PDRIVER_OBJECT>& drivers);
    void Fail(DevNode* node, uint32_t problem, NTSTATUS status);

    kernel::DispatcherMutex mutex_;
    PDRIVER_OBJECT bus_ = nullptr;
    std::map<std::string, std::unique_ptr<DevNode>> nodes_;  // by folded instance path
    // The bus topology, which hub requests read from user-mode threads.
    std::mutex topologyMutex_;
    std::map<int, HubRecord> hubs_;
    std::map<std::pair<int, int>, DevNode*> ports_;  // (hub, port) -> device
    std::map<std::pair<int, int>, int> hubPorts_;    // (hub, port) -> external hub id
    int nextHub_ = 1;
    uint16_t nextAddress_ = 1;
    int pdoNames_ = 0;
    std::mutex listenersMutex_;
    std::map<int, ListenerRecord> listeners_;
    int nextListener_ = 1;
    int driverKeys_ = 0;
};

}  // namespace host
