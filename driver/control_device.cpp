// The one named control device through which user mode reaches the effect settings.
#include "ampfx_driver.h"
#include "shared_access.h"

namespace {

void InitControlStrings(UNICODE_STRING* name, UNICODE_STRING* link) {
    RtlInitUnicodeString(name, Wide(AMPFX_CONTROL_DEVICE_NAME));
    RtlInitUnicodeString(link, Wide(AMPFX_CONTROL_DEVICE_LINK));
}

// The control device changes what every user of the machine hears, so only SYSTEM and the
// Administrators group may open it (the panel runs elevated): a self-relative security
// descriptor with a DACL of two entries, GENERIC_ALL for S-1-5-18 and for S-1-5-32-544, and
// nothing else (no owner, group or SACL; the object keeps its own).
alignas(4) const UCHAR kControlDeviceSecurity[] = {
    // SECURITY_DESCRIPTOR_RELATIVE: revision 1, control SE_SELF_RELATIVE | SE_DACL_PRESENT,
    // no owner, group or SACL, the DACL at offset 20.
    1,
    0,
    0x04,
    0x80,
    0,
    0,
    0,
    0,
    0,
    0,
    0,
    0,
    0,
    0,
    0,
    0,
    20,
    0,
    0,
    0,
    // ACL: revision 2, size 52, two entries.
    2,
    0,
    52,
    0,
    2,
    0,
    0,
    0,
    // ACCESS_ALLOWED_ACE, size 20, GENERIC_ALL, S-1-5-18 (LocalSystem).
    0,
    0,
    20,
    0,
    0x00,
    0x00,
    0x00,
    0x10,
    1,
    1,
    0,
    0,
    0,
    0,
    0,
    5,
    18,
    0,
    0,
    0,
    // ACCESS_ALLOWED_ACE, size 24, GENERIC_ALL, S-1-5-32-544 (Administrators).
    0,
    0,
    24,
    0,
    0x00,
    0x00,
    0x00,
    0x10,
    1,
    2,
    0,
    0,
    0,
    0,
    0,
    5,
    32,
    0,
    0,
    0,
    0x20,
    0x02,
    0,
    0,
};
static_assert(sizeof kControlDeviceSecurity == 72, "descriptor layout");

constexpr ULONG kObjKernelHandle = 0x00000200;
constexpr ACCESS_MASK kWriteDac = 0x00040000;
constexpr ULONG kDaclSecurityInformation = 0x00000004;

// IRQL: PASSIVE_LEVEL. Gives the control device its DACL. The kernels of the driver models
// before Windows 2000's have no object security; on the others a device that cannot be
// secured is not offered at all.
NTSTATUS FilterSecureControlDevice(PDEVICE_OBJECT control) {
    if (WdmVersionClass < 3)
        return STATUS_SUCCESS;
    const FILTER_SECURITY_ROUTINES& routines = g_SecurityRoutines;
    if (routines.OpenObjectByPointer == nullptr || routines.SetSecurityObject == nullptr ||
        routines.Close == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    HANDLE handle = nullptr;
    NTSTATUS status = routines.OpenObjectByPointer(control, kObjKernelHandle, nullptr, kWriteDac,
                                                   nullptr, KernelMode, &handle);
    if (!NT_SUCCESS(status))
        return status;
    status = routines.SetSecurityObject(handle, kDaclSecurityInformation,
                                        const_cast<UCHAR*>(kControlDeviceSecurity));
    routines.Close(handle);
    return status;
}

}  // namespace

// IRQL: PASSIVE_LEVEL. Fails (and changes nothing) while another filtered device's control
// device holds the name.
NTSTATUS FilterCreateControlDevice(PDRIVER_OBJECT DriverObject, PDEVICE_EXTENSION FilterExtension) {
    UNICODE_STRING name;
    UNICODE_STRING link;
    InitControlStrings(&name, &link);

    PDEVICE_OBJECT control = nullptr;
    // Secure open: the DACL below guards opens of names beneath the device as well.
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &name,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = FilterSecureControlDevice(control);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        return status;
    }

    PDEVICE_EXTENSION extension = FilterExtensionOf(control);
    RtlZeroMemory(extension, sizeof *extension);
    extension->Self = control;
    extension->LowerDevice = FilterExtension->LowerDevice;
    extension->FilterExtension = FilterExtension;
    extension->IsControlDevice = 1;
    extension->PnpState = Started;
    extension->OutstandingIo = 1;  // held by the device itself until its deletion
    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
    ControlDevice = control;

    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        ControlDevice = nullptr;
        return status;
    }

    control->Flags |= DO_DIRECT_IO;
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL. Control requests already inside the protocol finish first, because
// they use the filter device this control device was created with.
void FilterDeleteControlDevice() {
    PDEVICE_OBJECT control = ControlDevice;
    if (control == nullptr) {
        return;
    }
    ControlDevice = nullptr;

    UNICODE_STRING name;
    UNICODE_STRING link;
    InitControlStrings(&name, &link);
    IoDeleteSymbolicLink(&link);

    PDEVICE_EXTENSION extension = FilterExtensionOf(control);
    StoreShared(extension->PnpState, Removed);
    FilterRelease(extension);  // the count the device held for itself
    KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    IoDeleteDevice(control);
}
