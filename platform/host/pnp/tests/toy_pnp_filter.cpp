#include "toy_pnp_filter.h"

#include "host/kernel.h"

namespace pnptoy {
namespace {

std::mutex g_mutex;
std::vector<std::string> g_events;
PDEVICE_OBJECT g_control = nullptr;
PDEVICE_OBJECT g_controlOwner = nullptr;

const PCWSTR kControlName = reinterpret_cast<PCWSTR>(u"\\Device\\ToyControl");
const PCWSTR kControlLink = reinterpret_cast<PCWSTR>(u"\\DosDevices\\ToyControl");

struct Extension {
    bool isControl;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    KTIMER timer;
    PIO_WORKITEM deleteItem;
};

// The wait runs inside the work item rather than in a timer DPC: the work item holds the device
// object until its routine has returned, so the driver cannot unload under it, while a DPC that
// queued the deletion could still be returning into the driver's code when the unload runs.
VOID DeleteWhenTimerFires(PDEVICE_OBJECT device, PVOID context) {
    auto* extension = static_cast<Extension*>(context);
    KeWaitForSingleObject(&extension->timer, Executive, KernelMode, FALSE, nullptr);
    IoFreeWorkItem(extension->deleteItem);
    IoDeleteDevice(device);
}

void Record(PDRIVER_OBJECT driver, const std::string& what) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.push_back(host::kernel::DriverServiceName(driver) + ":" + what);
}

const char* PnpName(UCHAR minor) {
    switch (minor) {
        case IRP_MN_START_DEVICE:
            return "START";
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return "QUERY_REMOVE";
        case IRP_MN_REMOVE_DEVICE:
            return "REMOVE";
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return "CANCEL_REMOVE";
        case IRP_MN_SURPRISE_REMOVAL:
            return "SURPRISE_REMOVAL";
        case IRP_MN_QUERY_CAPABILITIES:
            return "QUERY_CAPABILITIES";
        default:
            return "OTHER";
    }
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ControlDispatch(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    const ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
    if (code == kFailCode) {
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 8);
    }
    if (code != kEchoCode) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    const ULONG input = location->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG output = location->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG count = input < output ? input : output;
    for (ULONG i = 0; i < count; ++i) {
        buffer[i] = static_cast<UCHAR>(buffer[i] + 1);
    }
    return Complete(irp, STATUS_SUCCESS, count);
}

void DeleteControlDevice() {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kControlLink);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(g_control);
    g_control = nullptr;
    g_controlOwner = nullptr;
}

void CreateControlDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT owner) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kControlName);
    PDEVICE_OBJECT control = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                   &control))) {
        return;
    }
    static_cast<Extension*>(control->DeviceExtension)->isControl = true;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, kControlLink);
    IoCreateSymbolicLink(&link, &name);
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    g_control = control;
    g_controlOwner = owner;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<Extension*>(device->DeviceExtension);
    if (extension->isControl) {
        return ControlDispatch(irp);
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction == IRP_MJ_PNP) {
        Record(device->DriverObject, PnpName(location->MinorFunction));
        switch (location->MinorFunction) {
            case IRP_MN_START_DEVICE:
                if (g_behaviour.failStart) {
                    return Complete(irp, STATUS_DEVICE_CONFIGURATION_ERROR, 0);
                }
                break;
            case IRP_MN_QUERY_REMOVE_DEVICE:
                if (g_behaviour.vetoQueryRemove) {
                    return Complete(irp, STATUS_UNSUCCESSFUL, 0);
                }
                irp->IoStatus.Status = STATUS_SUCCESS;
                break;
            case IRP_MN_REMOVE_DEVICE: {
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoSkipCurrentIrpStackLocation(irp);
                const NTSTATUS status = IoCallDriver(extension->lower, irp);
                if (g_controlOwner == device) {
                    DeleteControlDevice();
                }
                IoDetachDevice(extension->lower);
                if (g_behaviour.deferDeleteMs > 0) {
                    extension->deleteItem = IoAllocateWorkItem(device);
                    KeInitializeTimer(&extension->timer);
                    LARGE_INTEGER due;
                    due.QuadPart = -10000LL * g_behaviour.deferDeleteMs;
                    KeSetTimer(&extension->timer, due, nullptr);
                    IoQueueWorkItem(extension->deleteItem, DeleteWhenTimerFires,
                                    CriticalWorkQueue, extension);
                } else {
                    IoDeleteDevice(device);
                }
                return status;
            }
            default:
                break;
        }
    } else if (location->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(extension->lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension->lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    Record(driver, "AddDevice");
    if (g_behaviour.failAddDevice) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* extension = static_cast<Extension*>(device->DeviceExtension);
    extension->isControl = false;
    extension->self = device;
    extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= extension->lower->Flags & (DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_DIRECT_IO);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (g_behaviour.controlDevice && g_control == nullptr) {
        CreateControlDevice(driver, device);
    }
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT driver) {
    Record(driver, "Unload");
    // The timer DPC that queued the last deletion may still be returning on its processor.
    KeFlushQueuedDpcs();
}

}  // namespace

Behaviour g_behaviour;

std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_events;
}

void ClearEvents() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.clear();
}

void Reset() {
    ClearEvents();
    g_behaviour.failEntry = false;
    g_behaviour.failAddDevice = false;
    g_behaviour.failStart = false;
    g_behaviour.vetoQueryRemove = false;
    g_behaviour.controlDevice = false;
    g_behaviour.deferDeleteMs = 0;
    g_control = nullptr;
    g_controlOwner = nullptr;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    Record(driver, "DriverEntry");
    if (g_behaviour.failEntry) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    for (auto& function : driver->MajorFunction) {
        function = Dispatch;
    }
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

}  // namespace pnptoy
