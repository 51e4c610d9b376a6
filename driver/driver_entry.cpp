// Driver entry, unload, the dispatch table and the generic pass-through with its
// outstanding-request count.
#include "ampfx_driver.h"
#include "shared_access.h"
#include "sound_field.h"

EffectState g_EffectState;
PDEVICE_OBJECT ControlDevice;
ULONG WdmVersionClass;
ULONG DeviceUnlisted;
ULONG DeviceSupported;
volatile LONG FilterDeviceCount;
FilterSetCompletionRoutineEx g_SetCompletionRoutineEx;
FILTER_SECURITY_ROUTINES g_SecurityRoutines;

namespace {

// The most capable driver model the system offers, oldest last.
ULONG QueryWdmVersionClass() {
    if (IoIsWdmVersionAvailable(6, 0x00))
        return 5;
    if (IoIsWdmVersionAvailable(1, 0x20))
        return 4;
    if (IoIsWdmVersionAvailable(1, 0x10))
        return 3;
    if (IoIsWdmVersionAvailable(1, 0x05))
        return 2;
    if (IoIsWdmVersionAvailable(1, 0x00))
        return 1;
    return 0;
}

// Open, cleanup and close. The control device keeps no per-handle state, so they succeed at
// once there and are never passed down. IRQL: PASSIVE_LEVEL.
NTSTATUS NTAPI FilterDispatchOpenClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (FilterExtensionOf(DeviceObject)->IsControlDevice) {
        return FilterCompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    return FilterPass(DeviceObject, Irp);
}

// Device control: the protocol on the control device, pass-through on a filter device.
// IRQL: PASSIVE_LEVEL.
NTSTATUS NTAPI FilterDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (FilterExtensionOf(DeviceObject)->IsControlDevice) {
        return FilterDispatchControlRequest(DeviceObject, Irp);
    }
    return FilterPass(DeviceObject, Irp);
}

// Power: the next power request may start at once; then down the stack like everything
// else, but through PoCallDriver. IRQL: PASSIVE_LEVEL or DISPATCH_LEVEL.
NTSTATUS NTAPI FilterDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = FilterExtensionOf(DeviceObject);
    PoStartNextPowerIrp(Irp);
    if (extension->IsControlDevice) {
        return FilterCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (!FilterAcquire(extension)) {
        return FilterCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = PoCallDriver(extension->LowerDevice, Irp);
    FilterRelease(extension);
    return status;
}

// Unload runs after the last filtered device has gone, and with it the control device.
// The last device's remove released the shared sound-field buffers, but a sound-field set
// still inside the control device until its deletion may have allocated them again; nothing
// can use them now, so they go with the driver. IRQL: PASSIVE_LEVEL.
void NTAPI FilterUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    ReleaseSoundField(&g_EffectState, &g_EffectServices);
    DbgPrint("AMPFX DriverUnload\n");
}

// IRQL: PASSIVE_LEVEL. A kernel export by name, or null where this kernel lacks it.
PVOID FilterFindSystemRoutine(const char16_t* routine) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Wide(routine));
    return MmGetSystemRoutineAddress(&name);
}

}  // namespace

NTSTATUS FilterCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Counts a request into the filter's forwarding paths. Fails once the device is removed; the
// count is taken before the state is read, so a remove that has begun draining either sees
// this request or this request sees the remove. IRQL: <= DISPATCH_LEVEL.
bool FilterAcquire(PDEVICE_EXTENSION Extension) {
    InterlockedIncrement(&Extension->OutstandingIo);
    if (LoadShared(Extension->PnpState) == Removed) {
        FilterRelease(Extension);
        return false;
    }
    return true;
}

// Lets a request leave the forwarding paths; the last one out after removal wakes the
// remove handler. IRQL: <= DISPATCH_LEVEL.
void FilterRelease(PDEVICE_EXTENSION Extension) {
    if (InterlockedDecrement(&Extension->OutstandingIo) <= 0 &&
        LoadShared(Extension->PnpState) == Removed) {
        KeSetEvent(&Extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Every major function the filter does not handle itself goes down unchanged; the control
// device answers nothing but its own requests. IRQL: whatever the sender's.
NTSTATUS NTAPI FilterPass(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = FilterExtensionOf(DeviceObject);
    if (extension->IsControlDevice) {
        return FilterCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (!FilterAcquire(extension)) {
        return FilterCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IoCallDriver(extension->LowerDevice, Irp);
    FilterRelease(extension);
    return status;
}

// IRQL: PASSIVE_LEVEL. Fills the dispatch table and starts the effect record at its
// built-in values (also on a later load in the same address space, as the host simulator
// does it).
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);

    InitEffectState(&g_EffectState);
    ResetSettingsStore();
    ControlDevice = nullptr;
    StoreShared(DeviceUnlisted, 0u);
    StoreShared(DeviceSupported, 0u);
    FilterDeviceCount = 0;

    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        DriverObject->MajorFunction[major] = FilterPass;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = FilterDispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = FilterDispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = FilterDispatchOpenClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FilterDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] =
        FilterDispatchInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = FilterDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = FilterDispatchPnp;
    DriverObject->DriverExtension->AddDevice = FilterAddDevice;
    DriverObject->DriverUnload = FilterUnload;

    WdmVersionClass = QueryWdmVersionClass();
    // MmGetSystemRoutineAddress itself arrived with Windows 2000's driver model.
    g_SetCompletionRoutineEx = nullptr;
    RtlZeroMemory(&g_SecurityRoutines, sizeof g_SecurityRoutines);
    if (WdmVersionClass >= 3) {
        g_SetCompletionRoutineEx = reinterpret_cast<FilterSetCompletionRoutineEx>(
            FilterFindSystemRoutine(u"IoSetCompletionRoutineEx"));
        g_SecurityRoutines.OpenObjectByPointer =
            reinterpret_cast<decltype(g_SecurityRoutines.OpenObjectByPointer)>(
                FilterFindSystemRoutine(u"ObOpenObjectByPointer"));
        g_SecurityRoutines.SetSecurityObject =
            reinterpret_cast<decltype(g_SecurityRoutines.SetSecurityObject)>(
                FilterFindSystemRoutine(u"ZwSetSecurityObject"));
        g_SecurityRoutines.Close = reinterpret_cast<decltype(g_SecurityRoutines.Close)>(
            FilterFindSystemRoutine(u"ZwClose"));
    }
    return STATUS_SUCCESS;
}
