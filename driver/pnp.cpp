// Plug and Play: AddDevice, start, query-remove, surprise removal and remove with its
// draining and the deferred deletion on the oldest driver model.
#include "ampfx_driver.h"
#include "shared_access.h"
#include "sound_field.h"

namespace {

constexpr LONGLONG kDeferredDeleteDelay = -500000;  // 50 ms, relative, in 100 ns units

// Deletes the control device and the filter device object. IRQL: PASSIVE_LEVEL.
void FilterDeleteDevices(PDEVICE_OBJECT DeviceObject) {
    FilterDeleteControlDevice();
    IoDeleteDevice(DeviceObject);
}

// The deferred deletion's second half: IoDeleteDevice and IoDeleteSymbolicLink belong at
// PASSIVE_LEVEL, so the timer's DPC hands the work to a system worker thread.
void NTAPI FilterDeferredDeleteWork(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    PIO_WORKITEM workItem = FilterExtensionOf(DeviceObject)->DeleteWorkItem;
    FilterDeleteDevices(DeviceObject);
    IoFreeWorkItem(workItem);
}

// IRQL: DISPATCH_LEVEL. Fires 50 ms after a remove on the oldest driver model.
void NTAPI FilterDeferredDeleteDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    PDEVICE_EXTENSION extension = static_cast<PDEVICE_EXTENSION>(Context);
    IoQueueWorkItem(extension->DeleteWorkItem, FilterDeferredDeleteWork, DelayedWorkQueue, nullptr);
}

// The shared sound-field buffers stay while any filtered device remains, so that a second
// headset's stream keeps its reverberation when the first one is unplugged.
void FilterReleaseDeviceBuffers(PDEVICE_EXTENSION Extension) {
    FilterReleaseWorkBuffers(Extension);
    if (InterlockedDecrement(&FilterDeviceCount) == 0) {
        ReleaseSoundField(&g_EffectState, &g_EffectServices);
    }
}

// IRQL: PASSIVE_LEVEL. The remove request: drain, release, detach, delete, save.
NTSTATUS FilterHandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = FilterExtensionOf(DeviceObject);

    // Requests already inside the filter finish before the remove goes down, so none of
    // them can reach a lower device that has processed its removal.
    StoreShared(extension->PnpState, Removed);
    FilterCancelPendingMutes(extension);
    FilterRelease(extension);
    KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, nullptr);

    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IoCallDriver(extension->LowerDevice, Irp);

    FilterReleaseDeviceBuffers(extension);
    IoDetachDevice(extension->LowerDevice);

    bool deferred = false;
    if (WdmVersionClass == 1) {
        extension->DeleteWorkItem = IoAllocateWorkItem(DeviceObject);
        if (extension->DeleteWorkItem != nullptr) {
            KeInitializeTimer(&extension->DeleteTimer);
            KeInitializeDpc(&extension->DeleteDpc, FilterDeferredDeleteDpc, extension);
            LARGE_INTEGER due;
            due.QuadPart = kDeferredDeleteDelay;
            KeSetTimer(&extension->DeleteTimer, due, &extension->DeleteDpc);
            deferred = true;
        }
    }
    if (!deferred) {
        FilterDeleteDevices(DeviceObject);
    }

    SaveSettings();
    return status;
}

// IRQL: <= DISPATCH_LEVEL. Hands the start back to the filter, which finishes it.
NTSTATUS NTAPI FilterStartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// IRQL: PASSIVE_LEVEL. The device below may take no request of the filter's own before its
// start has completed, and may complete it later: the start is awaited, and the device is
// identified only once it has started.
NTSTATUS FilterHandleStart(PDEVICE_EXTENSION extension, PIRP Irp) {
    KEVENT started;
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, FilterStartCompletion, &started, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(extension->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr);
    }
    status = Irp->IoStatus.Status;
    if (NT_SUCCESS(status)) {
        StoreShared(extension->PnpState, Started);
        FilterIdentifyDevice(extension);
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

// IRQL: PASSIVE_LEVEL. One filter device per device instance; the first also creates the
// control device.
NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PDEVICE_OBJECT deviceObject = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PDEVICE_EXTENSION extension = FilterExtensionOf(deviceObject);
    RtlZeroMemory(extension, sizeof *extension);
    extension->IsControlDevice = 0;
    extension->PnpState = NotStarted;
    extension->OutstandingIo = 0;
    extension->RestartCountdown = 0;
    extension->Self = deviceObject;

    status = FilterAllocateWorkBuffers(extension);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(deviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&extension->MuteLock);
    InitializeListHead(&extension->PendingMutes);

    extension->LowerDevice = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (extension->LowerDevice == nullptr) {
        // Nothing below to filter: undo everything and let Plug and Play fail the stack.
        FilterReleaseWorkBuffers(extension);
        IoDeleteDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }
    InterlockedIncrement(&FilterDeviceCount);

    deviceObject->Flags |= PhysicalDeviceObject->Flags &
                           (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH);
    deviceObject->DeviceType = PhysicalDeviceObject->DeviceType;
    deviceObject->Characteristics = PhysicalDeviceObject->Characteristics;
    deviceObject->AlignmentRequirement = PhysicalDeviceObject->AlignmentRequirement;

    // The load clamps floats and rebuilds the curve and the mix, and the sound-field set-up
    // computes its parameters: both need the floating-point state. Without it the device
    // runs on the settings it has, and the save at removal leaves the key alone.
    FILTER_FP_STATE fpState;
    if (NT_SUCCESS(FilterSaveFloatingPoint(&fpState))) {
        LoadSettings();
        if (!SetupSoundField(&g_EffectState, &g_EffectServices)) {
            StoreShared(g_EffectState.SoundFieldType, 0u);
        }
        FilterRestoreFloatingPoint(&fpState);
    }

    FilterCreateControlDevice(DriverObject, extension);

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    DbgPrint("AMPFX AddDevice\n");
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS NTAPI FilterDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = FilterExtensionOf(DeviceObject);
    if (extension->IsControlDevice) {
        return FilterCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (!FilterAcquire(extension)) {
        return FilterCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }

    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
            status = FilterHandleStart(extension, Irp);
            FilterRelease(extension);
            return status;

        case IRP_MN_QUERY_REMOVE_DEVICE:
            Irp->IoStatus.Status = STATUS_SUCCESS;
            break;

        case IRP_MN_SURPRISE_REMOVAL:
            StoreShared(extension->PnpState, SurpriseRemoved);
            Irp->IoStatus.Status = STATUS_SUCCESS;
            break;

        case IRP_MN_REMOVE_DEVICE:
            return FilterHandleRemove(DeviceObject, Irp);

        default:
            break;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(extension->LowerDevice, Irp);
    FilterRelease(extension);
    return status;
}
