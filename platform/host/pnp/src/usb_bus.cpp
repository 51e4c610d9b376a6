// The USB bus driver. Its PDOs complete the Plug and Play and power requests they are sent
// (reporting the capabilities of a removable USB device) and hand internal device-control
// requests to the device's function; before the start request has completed they fail them
// with STATUS_DEVICE_NOT_READY, once the device has left the bus with
// STATUS_DEVICE_NOT_CONNECTED and USBD_STATUS_DEVICE_GONE, and the removal deletes the PDO. A
// function may ask for its start to complete a millisecond later, as a hub resetting the port
// first does.
#include "usb_bus.h"

#include <stdio.h>
#include <string.h>

#include "host/registry.h"
#include "host/text.h"

namespace host::usb_bus {
namespace {

constexpr ULONG kIdTag = 0x64496255;  // 'UbId'

std::string Hex4(unsigned value) {
    char text[8];
    snprintf(text, sizeof(text), "%04X", value & 0xFFFF);
    return text;
}

std::string Hex2(unsigned value) {
    char text[8];
    snprintf(text, sizeof(text), "%02X", value & 0xFF);
    return text;
}

// A string or multi-string in pool, as a bus driver returns identifiers.
PWCHAR PoolStrings(const std::vector<std::string>& strings, bool multi) {
    std::u16string units;
    for (const std::string& text : strings) {
        units += Utf8ToUtf16(text);
        units.push_back(u'\0');
    }
    if (multi) {
        units.push_back(u'\0');
    }
    auto* buffer =
        static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, units.size() * sizeof(WCHAR), kIdTag));
    if (buffer != nullptr) {
        memcpy(buffer, units.data(), units.size() * sizeof(WCHAR));
    }
    return buffer;
}

NTSTATUS QueryId(PdoExtension* extension, PIRP irp, BUS_QUERY_ID_TYPE type) {
    const UsbDeviceIdentity& identity = extension->node->Identity();
    PWCHAR result = nullptr;
    switch (type) {
        case BusQueryDeviceID:
            result = PoolStrings({DeviceId(identity)}, false);
            break;
        case BusQueryHardwareIDs:
            result = PoolStrings(HardwareIds(identity), true);
            break;
        case BusQueryCompatibleIDs:
            result = PoolStrings(CompatibleIds(identity), true);
            break;
        case BusQueryInstanceID: {
            const std::string& path = extension->node->InstancePath();
            result = PoolStrings({path.substr(path.rfind('\\') + 1)}, false);
            break;
        }
        default:
            return irp->IoStatus.Status;
    }
    if (result == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(result);
    return STATUS_SUCCESS;
}

constexpr LONGLONG kLateStartDelay = -10000;  // 1 ms, relative

// IRQL: DISPATCH_LEVEL. The late half of a start that the hub completes after a delay.
void NTAPI CompleteLateStart(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    auto* extension = static_cast<PdoExtension*>(context);
    PIRP irp = extension->pendingStart;
    extension->pendingStart = nullptr;
    InterlockedExchange(&extension->started, 1);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Pnp(PDEVICE_OBJECT device, PIRP irp, PdoExtension* extension) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    bool deleteAfter = false;
    switch (location->MinorFunction) {
        case IRP_MN_START_DEVICE:
            if (extension->function->StartCompletesLater()) {
                IoMarkIrpPending(irp);
                extension->pendingStart = irp;
                KeInitializeTimer(&extension->startTimer);
                KeInitializeDpc(&extension->startDpc, CompleteLateStart, extension);
                LARGE_INTEGER due;
                due.QuadPart = kLateStartDelay;
                KeSetTimer(&extension->startTimer, due, &extension->startDpc);
                return STATUS_PENDING;
            }
            InterlockedExchange(&extension->started, 1);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            InterlockedExchange(&extension->started, 0);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE:
            InterlockedExchange(&extension->started, 0);
            status = STATUS_SUCCESS;
            deleteAfter = extension->gone != 0;
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
            caps->Removable = 1;
            caps->SurpriseRemovalOK = 1;
            caps->UniqueID = 0;
            caps->Address = static_cast<ULONG>(extension->node->Port());
            caps->UINumber = static_cast<ULONG>(extension->node->Port());
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) {
                caps->DeviceState[state] = PowerDeviceD3;
            }
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_ID:
            status = QueryId(extension, irp, location->Parameters.QueryId.IdType);
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (location->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
                auto* relations = static_cast<PDEVICE_RELATIONS>(
                    ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kIdTag));
                if (relations == nullptr) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
                relations->Count = 1;
                relations->Objects[0] = device;
                ObReferenceObject(device);
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
                status = STATUS_SUCCESS;
            }
            break;
        default:
            break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (deleteAfter) {
        IoDeleteDevice(device);
    }
    return status;
}

struct HubExtension {
    ULONG kind;
    PnpManager* manager;
    int hub;
};

// IOCTL_USB_GET_NODE_INFORMATION: the hub's descriptor; the buffer must hold the whole record.
NTSTATUS HubNodeInformation(HubExtension* extension, PIRP irp, ULONG outputLength) {
    if (outputLength < sizeof(USB_NODE_INFORMATION)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const int ports = extension->manager->HubPorts(extension->hub);
    if (ports == 0) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    auto* info = static_cast<PUSB_NODE_INFORMATION>(irp->AssociatedIrp.SystemBuffer);
    memset(info, 0, sizeof(*info));
    info->NodeType = UsbHub;
    USB_HUB_DESCRIPTOR& hub = info->u.HubInformation.HubDescriptor;
    // Seven bytes, then the removable and the power-control masks of one bit per port and
    // the hub itself, rounded up to whole bytes.
    const int maskBytes = (ports + 1 + 7) / 8;
    hub.bDescriptorLength = static_cast<UCHAR>(7 + 2 * maskBytes);
    hub.bDescriptorType = 0x29;
    hub.bNumberOfPorts = static_cast<UCHAR>(ports);
    hub.wHubCharacteristics = 0x0009;  // per-port power switching and overcurrent reporting
    hub.bPowerOnToPowerGood = 50;      // 100 ms
    hub.bHubControlCurrent = 100;
    for (int i = 0; i < maskBytes; ++i) {
        hub.bRemoveAndPowerMask[maskBytes + i] = 0xFF;
    }
    info->u.HubInformation.HubIsBusPowered = extension->hub != PnpManager::kRootHub;
    irp->IoStatus.Information = sizeof(USB_NODE_INFORMATION);
    return STATUS_SUCCESS;
}

// IOCTL_USB_GET_NODE_CONNECTION_INFORMATION: one port of the hub, with as many of the
// device's open pipes as the buffer holds.
NTSTATUS HubConnectionInformation(HubExtension* extension, PIRP irp, ULONG inputLength,
                                  ULONG outputLength) {
    if (inputLength < sizeof(USB_NODE_CONNECTION_INFORMATION) ||
        outputLength < sizeof(USB_NODE_CONNECTION_INFORMATION)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* info = static_cast<PUSB_NODE_CONNECTION_INFORMATION>(irp->AssociatedIrp.SystemBuffer);
    const ULONG index = info->ConnectionIndex;
    const std::optional<UsbPortState> state =
        index > 127 ? std::nullopt
                    : extension->manager->PortState(extension->hub, static_cast<int>(index));
    if (!state) {
        return STATUS_INVALID_PARAMETER;
    }
    memset(info, 0, outputLength);
    info->ConnectionIndex = index;
    if (!state->connected) {
        info->ConnectionStatus = NoDeviceConnected;
        irp->IoStatus.Information = sizeof(USB_NODE_CONNECTION_INFORMATION);
        return STATUS_SUCCESS;
    }
    info->ConnectionStatus = DeviceConnected;
    info->DeviceDescriptor = state->descriptor;
    info->CurrentConfigurationValue = state->configuration;
    info->DeviceIsHub = state->isHub;
    info->DeviceAddress = state->address;
    const ULONG room =
        (outputLength - sizeof(USB_NODE_CONNECTION_INFORMATION)) / sizeof(USB_PIPE_INFO);
    const ULONG pipes = static_cast<ULONG>(state->openPipes.size()) < room
                            ? static_cast<ULONG>(state->openPipes.size())
                            : room;
    info->NumberOfOpenPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
        info->PipeList[i].EndpointDescriptor = state->openPipes[i];
        info->PipeList[i].ScheduleOffset = 0;
    }
    irp->IoStatus.Information =
        sizeof(USB_NODE_CONNECTION_INFORMATION) + pipes * sizeof(USB_PIPE_INFO);
    return STATUS_SUCCESS;
}

NTSTATUS HubDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<HubExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    switch (location->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            status = STATUS_SUCCESS;
            break;
        case IRP_MJ_DEVICE_CONTROL: {
            const auto& control = location->Parameters.DeviceIoControl;
            if (control.IoControlCode == IOCTL_USB_GET_NODE_INFORMATION) {
                status = HubNodeInformation(extension, irp, control.OutputBufferLength);
            } else if (control.IoControlCode == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION) {
                status = HubConnectionInformation(extension, irp, control.InputBufferLength,
                                                  control.OutputBufferLength);
            }
            break;
        }
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            status = irp->IoStatus.Status;
            break;
        default:
            status = irp->IoStatus.Status;
            break;
    }
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Information = 0;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    if (*static_cast<ULONG*>(device->DeviceExtension) == kHubDevice) {
        return HubDispatch(device, irp);
    }
    auto* extension = static_cast<PdoExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    switch (location->MajorFunction) {
        case IRP_MJ_PNP:
            return Pnp(device, irp, extension);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            status = (location->MinorFunction == IRP_MN_SET_POWER ||
                      location->MinorFunction == IRP_MN_QUERY_POWER)
                         ? STATUS_SUCCESS
                         : irp->IoStatus.Status;
            break;
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
            const bool gone = InterlockedCompareExchange(&extension->gone, 0, 0) != 0;
            const bool started = InterlockedCompareExchange(&extension->started, 0, 0) != 0;
            if (!gone && started) {
                return extension->function->InternalDeviceControl(device, irp);
            }
            // A device that has left, or whose start has not completed, takes no requests.
            if (location->Parameters.DeviceIoControl.IoControlCode ==
                IOCTL_INTERNAL_USB_SUBMIT_URB) {
                static_cast<PURB>(location->Parameters.Others.Argument1)->UrbHeader.Status =
                    gone ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_INVALID_PARAMETER;
            }
            status = gone ? STATUS_DEVICE_NOT_CONNECTED : STATUS_DEVICE_NOT_READY;
            break;
        }
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            status = STATUS_SUCCESS;
            break;
        default:
            break;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (auto& function : driver->MajorFunction) {
        function = Dispatch;
    }
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT CreatePdo(PDRIVER_OBJECT bus, int index, DevNode* node, UsbFunction* function) {
    const std::u16string name = Utf8ToUtf16("\\Device\\USBPDO-" + std::to_string(index));
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, reinterpret_cast<PCWSTR>(name.c_str()));
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(bus, sizeof(PdoExtension), &deviceName, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &pdo))) {
        return nullptr;
    }
    auto* extension = static_cast<PdoExtension*>(pdo->DeviceExtension);
    extension->kind = kFunctionPdo;
    extension->node = node;
    extension->function = function;
    extension->gone = 0;
    extension->started = 0;
    extension->pendingStart = nullptr;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    kernel::SetDeviceInstancePath(pdo, node->InstancePath());
    return pdo;
}

PDEVICE_OBJECT CreateHub(PDRIVER_OBJECT bus, int hub, const std::string& instancePath,
                         PnpManager* manager) {
    const std::u16string name = Utf8ToUtf16("\\Device\\USBHUB-" + std::to_string(hub));
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, reinterpret_cast<PCWSTR>(name.c_str()));
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(bus, sizeof(HubExtension), &deviceName, FILE_DEVICE_USB, 0,
                                   FALSE, &device))) {
        return nullptr;
    }
    auto* extension = static_cast<HubExtension*>(device->DeviceExtension);
    extension->kind = kHubDevice;
    extension->manager = manager;
    extension->hub = hub;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    kernel::SetDeviceInstancePath(device, instancePath);
    UNICODE_STRING link{};
    if (NT_SUCCESS(IoRegisterDeviceInterface(device, &kUsbHubInterfaceClass, nullptr, &link))) {
        IoSetDeviceInterfaceState(&link, TRUE);
        RtlFreeUnicodeString(&link);
    }
    return device;
}

void MarkGone(PDEVICE_OBJECT pdo) {
    InterlockedExchange(&static_cast<PdoExtension*>(pdo->DeviceExtension)->gone, 1);
}

bool IsGone(PDEVICE_OBJECT pdo) {
    return InterlockedCompareExchange(&static_cast<PdoExtension*>(pdo->DeviceExtension)->gone, 0,
                                      0) != 0;
}

std::string DeviceId(const UsbDeviceIdentity& identity) {
    return "USB\\VID_" + Hex4(identity.vendorId) + "&PID_" + Hex4(identity.productId) + "&MI_" +
           Hex2(identity.interfaceNumber);
}

std::vector<std::string> HardwareIds(const UsbDeviceIdentity& identity) {
    const std::string device =
        "USB\\VID_" + Hex4(identity.vendorId) + "&PID_" + Hex4(identity.productId);
    return {device + "&REV_" + Hex4(identity.revision) + "&MI_" + Hex2(identity.interfaceNumber),
            device + "&MI_" + Hex2(identity.interfaceNumber)};
}

std::vector<std::string> CompatibleIds(const UsbDeviceIdentity& identity) {
    (void)identity;
    // An audio control interface: class 01, subclass 01, protocol 00.
    return {"USB\\Class_01&SubClass_01&Prot_00", "USB\\Class_01&SubClass_01", "USB\\Class_01"};
}

}  // namespace host::usb_bus

namespace host {

USB_DEVICE_DESCRIPTOR MakeDeviceDescriptor(uint16_t vendorId, uint16_t productId,
                                           uint16_t revision) {
    USB_DEVICE_DESCRIPTOR descriptor;
    memset(&descriptor, 0, sizeof(descriptor));
    descriptor.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    descriptor.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    descriptor.bcdUSB = 0x0110;
    descriptor.bMaxPacketSize0 = 8;
    descriptor.idVendor = vendorId;
    descriptor.idProduct = productId;
    descriptor.bcdDevice = revision;
    descriptor.bNumConfigurations = 1;
    return descriptor;
}

uint8_t* UrbTransferData(PVOID buffer, PMDL mdl) {
    if (buffer != nullptr) {
        return static_cast<uint8_t*>(buffer);
    }
    return mdl != nullptr
               ? static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority))
               : nullptr;
}

BasicUsbFunction::BasicUsbFunction(uint16_t vendorId, uint16_t productId, uint16_t revision)
    : descriptor_(MakeDeviceDescriptor(vendorId, productId, revision)) {
    descriptor_.iManufacturer = 1;
    descriptor_.iProduct = 2;
}

NTSTATUS BasicUsbFunction::InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
    UNREFERENCED_PARAMETER(pdo);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        PURB urb = static_cast<PURB>(location->Parameters.Others.Argument1);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            functions_.push_back(urb->UrbHeader.Function);
        }
        status = STATUS_SUCCESS;
        USBD_STATUS usbStatus = USBD_STATUS_SUCCESS;
        switch (urb->UrbHeader.Function) {
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
                auto& request = urb->UrbControlDescriptorRequest;
                uint8_t* buffer =
                    UrbTransferData(request.TransferBuffer, request.TransferBufferMDL);
                // The device descriptor, or a configuration of one audio-control interface
                // without endpoints: enough for a class driver to configure the device.
                static const uint8_t kConfiguration[] = {
                    9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 18, 0, 1, 1, 0, 0x80, 50,
                    9, USB_INTERFACE_DESCRIPTOR_TYPE,     0,  0, 0, 1, 1, 0,    0};
                const void* source = nullptr;
                ULONG size = 0;
                if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
                    source = &descriptor_;
                    size = sizeof(descriptor_);
                } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
                    source = kConfiguration;
                    size = sizeof(kConfiguration);
                }
                if (source == nullptr || buffer == nullptr) {
                    usbStatus = USBD_STATUS_STALL_PID;
                    status = STATUS_UNSUCCESSFUL;
                    break;
                }
                const ULONG length =
                    request.TransferBufferLength < size ? request.TransferBufferLength : size;
                memcpy(buffer, source, length);
                request.TransferBufferLength = length;
                break;
            }
            case URB_FUNCTION_SELECT_CONFIGURATION: {
                const bool configure =
                    urb->UrbSelectConfiguration.ConfigurationDescriptor != nullptr;
                urb->UrbSelectConfiguration.ConfigurationHandle = configure ? this : nullptr;
                std::lock_guard<std::mutex> lock(mutex_);
                configuration_ = configure ? 1 : 0;
                break;
            }
            case URB_FUNCTION_ISOCH_TRANSFER: {
                auto& transfer = urb->UrbIsochronousTransfer;
                transfer.ErrorCount = 0;
                for (ULONG i = 0; i < transfer.NumberOfPackets; ++i) {
                    transfer.IsoPacket[i].Status = USBD_STATUS_SUCCESS;
                }
                break;
            }
            default:
                break;
        }
        urb->UrbHeader.Status = usbStatus;
    } else if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        *static_cast<PULONG>(location->Parameters.Others.Argument1) =
            USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
        status = STATUS_SUCCESS;
    } else if (code == IOCTL_INTERNAL_USB_RESET_PORT || code == IOCTL_INTERNAL_USB_CYCLE_PORT) {
        status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

uint8_t BasicUsbFunction::CurrentConfiguration() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return configuration_;
}

std::vector<USHORT> BasicUsbFunction::UrbFunctions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return functions_;
}

}  // namespace host
