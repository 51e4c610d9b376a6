// The one named control device through which user mode reaches the effect settings.
#include "ampfx_driver.h"
#include "shared_access.h"

namespace {

void InitControlStrings(UNICODE_STRING* name, UNICODE_STRING* link) {
    RtlInitUnicodeString(name, Wide(AMPFX_CONTROL_DEVICE_NAME));
    RtlInitUnicodeString(link, Wide(AMPFX_CONTROL_DEVICE_LINK));
}

}  // namespace

// IRQL: PASSIVE_LEVEL. Fails (and changes nothing) while another filtered device's control
// device holds the name.
NTSTATUS FilterCreateControlDevice(PDRIVER_OBJECT DriverObject, PDEVICE_EXTENSION FilterExtension) {
    UNICODE_STRING name;
    UNICODE_STRING link;
    InitControlStrings(&name, &link);

    PDEVICE_OBJECT control = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &name,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
    if (!NT_SUCCESS(status)) {
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
