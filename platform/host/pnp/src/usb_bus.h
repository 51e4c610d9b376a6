// The USB bus driver ("\Driver\usbhub") and its physical device objects.
#pragma once

#include <ntddk.h>

#include "host/pnp.h"

namespace host::usb_bus {

// Every device object of the bus driver starts with its kind.
enum DeviceKind : ULONG {
    kFunctionPdo = 0x4F445055 /* 'UPDO' */,
    kHubDevice = 0x42554855 /* 'UHUB' */
};

struct PdoExtension {
    ULONG kind;
    DevNode* node;
    UsbFunction* function;
    volatile LONG gone;     // the device has left the bus
    volatile LONG started;  // the start request has completed and no stop or removal since
    // A start completed later: the request and the timer that completes it.
    PIRP pendingStart;
    KTIMER startTimer;
    KDPC startDpc;
};

DRIVER_INITIALIZE DriverEntry;

// A PDO for a device on `port`, named "\Device\USBPDO-<index>".
PDEVICE_OBJECT CreatePdo(PDRIVER_OBJECT bus, int index, DevNode* node, UsbFunction* function);
// A hub's device object, "\Device\USBHUB-<hub>", named by `instancePath` for its device
// interface; it answers the user-mode hub requests from the manager's topology.
PDEVICE_OBJECT CreateHub(PDRIVER_OBJECT bus, int hub, const std::string& instancePath,
                         PnpManager* manager);
// From now on the PDO fails what it is sent; its removal deletes it.
void MarkGone(PDEVICE_OBJECT pdo);
bool IsGone(PDEVICE_OBJECT pdo);

// The identifiers Windows gives a USB interface function (hardware ids in Windows' own letter
// case: "USB\VID_0F1E&PID_1607&REV_0100&MI_00").
std::string DeviceId(const UsbDeviceIdentity& identity);
std::vector<std::string> HardwareIds(const UsbDeviceIdentity& identity);
std::vector<std::string> CompatibleIds(const UsbDeviceIdentity& identity);

}  // namespace host::usb_bus
