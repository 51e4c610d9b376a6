// The minimal USB audio class driver: a WDM function driver written against <ntddk.h> only.
#include "host/usbaudio_class_driver.h"

#include <ntddk.h>
#include <string.h>
#include <usbdlib.h>
#include <usbioctl.h>

namespace host {

const GUID kKsCategoryAudio = {
    0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID kKsCategoryRender = {
    0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID kKsCategoryCapture = {
    0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

namespace {

constexpr ULONG kMagic = 0x41554453;

const GUID* const kInterfaceClasses[] = {&kKsCategoryAudio, &kKsCategoryRender,
                                         &kKsCategoryCapture};

struct FunctionExtension {
    ULONG magic;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    BOOLEAN started;
    UNICODE_STRING interfaces[3];
    // A remove lock: 1 for the device itself plus every URB of its own in flight. The removal
    // drops the device's count and waits until the URBs have come back, so none is sent
    // into a stack being torn down.
    volatile LONG removed;
    volatile LONG outstanding;
    KEVENT drained;
    // The configuration selected at start: the device's descriptor (pool) and its handle.
    PUCHAR configuration;
    ULONG configurationLength;
    USBD_CONFIGURATION_HANDLE configurationHandle;
};

constexpr ULONG kPoolTag = 0x61756455;  // 'Udua'

void FreeConfiguration(FunctionExtension* extension) {
    if (extension->configuration != nullptr) {
        ExFreePoolWithTag(extension->configuration, kPoolTag);
    }
    extension->configuration = nullptr;
    extension->configurationLength = 0;
    extension->configurationHandle = nullptr;
}

// Reads the configuration descriptor and selects it with every interface at its alternate
// setting 0, as the class driver does when it starts a device. IRQL: PASSIVE_LEVEL.
NTSTATUS SelectConfiguration(FunctionExtension* extension) {
    FreeConfiguration(extension);
    USB_CONFIGURATION_DESCRIPTOR head;
    RtlZeroMemory(&head, sizeof(head));
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &head, nullptr,
                                 sizeof(head), nullptr);
    NTSTATUS status = UsbAudioClassDriver::SubmitUrb(extension->self, &urb, PASSIVE_LEVEL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (urb.UrbControlDescriptorRequest.TransferBufferLength < sizeof(head) ||
        head.wTotalLength < sizeof(head)) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    PUCHAR descriptor =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, head.wTotalLength, kPoolTag));
    if (descriptor == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, descriptor, nullptr,
                                 head.wTotalLength, nullptr);
    status = UsbAudioClassDriver::SubmitUrb(extension->self, &urb, PASSIVE_LEVEL);
    const ULONG length = urb.UrbControlDescriptorRequest.TransferBufferLength;
    if (!NT_SUCCESS(status) || length < sizeof(head)) {
        ExFreePoolWithTag(descriptor, kPoolTag);
        return NT_SUCCESS(status) ? STATUS_DEVICE_CONFIGURATION_ERROR : status;
    }

    // Every interface at alternate setting 0, each entry sized for that setting's pipes.
    ULONG size = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    for (ULONG at = 0; at + 4 < length && descriptor[at] != 0; at += descriptor[at]) {
        if (descriptor[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && descriptor[at + 3] == 0) {
            size += GET_USBD_INTERFACE_SIZE(descriptor[at + 4]);
        }
    }
    if (size < sizeof(URB)) {
        size = sizeof(URB);
    }
    PURB select = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
    if (select == nullptr) {
        ExFreePoolWithTag(descriptor, kPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(select, size);
    ULONG offset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    for (ULONG at = 0; at + 4 < length && descriptor[at] != 0; at += descriptor[at]) {
        if (descriptor[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && descriptor[at + 3] == 0) {
            auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
                reinterpret_cast<PUCHAR>(select) + offset);
            info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor[at + 4]));
            info->InterfaceNumber = descriptor[at + 2];
            info->AlternateSetting = 0;
            offset += info->Length;
        }
    }
    UsbBuildSelectConfigurationRequest(select, static_cast<USHORT>(offset),
                                       reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor));
    status = UsbAudioClassDriver::SubmitUrb(extension->self, select, PASSIVE_LEVEL);
    if (NT_SUCCESS(status)) {
        extension->configuration = descriptor;
        extension->configurationLength = length;
        extension->configurationHandle = select->UrbSelectConfiguration.ConfigurationHandle;
    } else {
        ExFreePoolWithTag(descriptor, kPoolTag);
    }
    ExFreePoolWithTag(select, kPoolTag);
    return status;
}

// Asks the hub whether the device's port is still connected and enabled before configuring
// it, as a USB function driver does at start. The argument is the hub's own four-byte word,
// not a URB. IRQL: PASSIVE_LEVEL.
NTSTATUS CheckPortConnected(FunctionExtension* extension) {
    PULONG portStatus =
        static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ULONG), kPoolTag));
    if (portStatus == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *portStatus = 0;
    NTSTATUS status = UsbAudioClassDriver::SubmitInternal(
        extension->self, IOCTL_INTERNAL_USB_GET_PORT_STATUS, portStatus, PASSIVE_LEVEL);
    if (NT_SUCCESS(status) && (*portStatus & USBD_PORT_CONNECTED) == 0) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    }
    ExFreePoolWithTag(portStatus, kPoolTag);
    return status;
}

FunctionExtension* ExtensionOf(PDEVICE_OBJECT device) {
    auto* extension = static_cast<FunctionExtension*>(device->DeviceExtension);
    return extension != nullptr && extension->magic == kMagic ? extension : nullptr;
}

NTSTATUS SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes a request down and waits for the lower drivers (PASSIVE_LEVEL); the caller completes.
NTSTATUS ForwardAndWait(FunctionExtension* extension, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(extension->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

void SetInterfaces(FunctionExtension* extension, BOOLEAN enable) {
    for (int i = 0; i < 3; ++i) {
        UNICODE_STRING& link = extension->interfaces[i];
        if (enable && link.Buffer == nullptr &&
            NT_SUCCESS(
                IoRegisterDeviceInterface(extension->pdo, kInterfaceClasses[i], nullptr, &link))) {
            IoSetDeviceInterfaceState(&link, TRUE);
        } else if (!enable && link.Buffer != nullptr) {
            IoSetDeviceInterfaceState(&link, FALSE);
            RtlFreeUnicodeString(&link);
        }
    }
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    FunctionExtension* extension = ExtensionOf(device);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (location->MinorFunction) {
        case IRP_MN_START_DEVICE:
            status = ForwardAndWait(extension, irp);
            if (NT_SUCCESS(status)) {
                status = CheckPortConnected(extension);
            }
            if (NT_SUCCESS(status)) {
                // A device that cannot be configured cannot stream: the start fails.
                status = SelectConfiguration(extension);
            }
            if (NT_SUCCESS(status)) {
                extension->started = TRUE;
                SetInterfaces(extension, TRUE);
            }
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        case IRP_MN_SURPRISE_REMOVAL:
            extension->started = FALSE;
            SetInterfaces(extension, FALSE);
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            InterlockedExchange(&extension->removed, 1);
            if (InterlockedDecrement(&extension->outstanding) > 0) {
                KeWaitForSingleObject(&extension->drained, Executive, KernelMode, FALSE, nullptr);
            }
            extension->started = FALSE;
            SetInterfaces(extension, FALSE);
            FreeConfiguration(extension);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            status = IoCallDriver(extension->lower, irp);
            IoDetachDevice(extension->lower);
            extension->magic = 0;
            IoDeleteDevice(device);
            return status;
        }
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        default:
            break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension->lower, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ExtensionOf(device)->lower, irp);
}

NTSTATUS DispatchPass(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ExtensionOf(device)->lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionExtension), nullptr, FILE_DEVICE_KS,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* extension = static_cast<FunctionExtension*>(device->DeviceExtension);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->magic = kMagic;
    extension->self = device;
    extension->pdo = pdo;
    extension->outstanding = 1;
    KeInitializeEvent(&extension->drained, NotificationEvent, FALSE);
    extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (extension->lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= extension->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
}

}  // namespace

NTSTATUS UsbAudioClassDriver::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (auto& function : driver->MajorFunction) {
        function = DispatchPass;
    }
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT UsbAudioClassDriver::FunctionDevice(const DevNode& node) {
    for (PDEVICE_OBJECT device : node.Stack()) {
        if (kernel::DriverServiceName(device->DriverObject) == kServiceName &&
            ExtensionOf(device) != nullptr) {
            return device;
        }
    }
    return nullptr;
}

PDEVICE_OBJECT UsbAudioClassDriver::LowerDevice(PDEVICE_OBJECT functionDevice) {
    return ExtensionOf(functionDevice)->lower;
}

namespace {

bool AcquireForSubmit(FunctionExtension* extension) {
    if (InterlockedCompareExchange(&extension->removed, 0, 0) != 0) {
        return false;
    }
    InterlockedIncrement(&extension->outstanding);
    if (InterlockedCompareExchange(&extension->removed, 0, 0) != 0) {
        InterlockedDecrement(&extension->outstanding);
        return false;
    }
    return true;
}

void ReleaseAfterSubmit(FunctionExtension* extension) {
    if (InterlockedDecrement(&extension->outstanding) == 0) {
        KeSetEvent(&extension->drained, IO_NO_INCREMENT, FALSE);
    }
}

}  // namespace

NTSTATUS UsbAudioClassDriver::SubmitUrb(PDEVICE_OBJECT functionDevice, URB* urb, KIRQL irql) {
    return SubmitInternal(functionDevice, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, irql);
}

NTSTATUS UsbAudioClassDriver::SubmitInternal(PDEVICE_OBJECT functionDevice, ULONG code,
                                             PVOID argument1, KIRQL irql) {
    kernel::KernelEntry entry;
    // The extension, not ExtensionOf: a caller holding a reference on a device that has been
    // removed still reaches its (deleted, not freed) extension, and is refused.
    auto* extension = static_cast<FunctionExtension*>(functionDevice->DeviceExtension);
    if (!AcquireForSubmit(extension)) {
        return STATUS_DELETE_PENDING;
    }
    PDEVICE_OBJECT lower = extension->lower;
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (irp == nullptr) {
        ReleaseAfterSubmit(extension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = argument1;
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    KIRQL old;
    KeRaiseIrql(irql, &old);
    IoCallDriver(lower, irp);
    KeLowerIrql(old);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    ReleaseAfterSubmit(extension);
    return status;
}

NTSTATUS UsbAudioClassDriver::Configuration(PDEVICE_OBJECT functionDevice,
                                            USBD_CONFIGURATION_HANDLE* handle,
                                            std::vector<uint8_t>* descriptor) {
    kernel::KernelEntry entry;
    auto* extension = static_cast<FunctionExtension*>(functionDevice->DeviceExtension);
    if (!AcquireForSubmit(extension)) {
        return STATUS_DELETE_PENDING;
    }
    NTSTATUS status = STATUS_DEVICE_NOT_READY;
    if (extension->started && extension->configuration != nullptr) {
        *handle = extension->configurationHandle;
        descriptor->assign(extension->configuration,
                           extension->configuration + extension->configurationLength);
        status = STATUS_SUCCESS;
    }
    ReleaseAfterSubmit(extension);
    return status;
}

}  // namespace host
