// The rest of the kernel: the reported Windows version, floating-point state, requests the
// system sends itself, and the reset between tests.
#include "internal.h"

namespace host::kernel::detail {
namespace {

struct Version {
    std::atomic<UCHAR> major{6};
    std::atomic<UCHAR> minor{0};
};

Version& CurrentVersion() {
    static Version* version = new Version();
    return *version;
}

}  // namespace

void VersionReset() {
    SetWindowsVersion(WindowsVersion::WindowsVista);
}

}  // namespace host::kernel::detail

namespace host::kernel {

using namespace detail;

void SetWdmVersion(UCHAR major, UCHAR minor) {
    CurrentVersion().major = major;
    CurrentVersion().minor = minor;
}

void SetWindowsVersion(WindowsVersion version) {
    switch (version) {
        case WindowsVersion::Windows98:
            SetWdmVersion(1, 0x00);
            break;
        case WindowsVersion::WindowsMe:
            SetWdmVersion(1, 0x05);
            break;
        case WindowsVersion::Windows2000:
            SetWdmVersion(1, 0x10);
            break;
        case WindowsVersion::WindowsXP:
            SetWdmVersion(1, 0x20);
            break;
        case WindowsVersion::WindowsServer2003:
            SetWdmVersion(1, 0x30);
            break;
        case WindowsVersion::WindowsVista:
            SetWdmVersion(6, 0x00);
            break;
    }
}

RequestResult SendSystemRequest(PDEVICE_OBJECT device, const IO_STACK_LOCATION& location,
                                NTSTATUS initialStatus) {
    if (!CheckIrql(PASSIVE_LEVEL, "SendSystemRequest")) {
        return RequestResult{STATUS_INVALID_DEVICE_STATE, 0};
    }
    CCHAR stackSize;
    {
        ObjectManager& om = ObjectManager::Get();
        std::lock_guard<std::recursive_mutex> lock(om.mutex);
        DeviceInfo* info = om.FindDevice(device);
        if (info == nullptr || info->deleted) {
            return RequestResult{STATUS_NO_SUCH_DEVICE, 0};
        }
        stackSize = device->StackSize;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IRP* irp = AllocateSystemIrp(stackSize, &done);
    if (irp == nullptr) {
        return RequestResult{STATUS_INSUFFICIENT_RESOURCES, 0};
    }
    irp->IoStatus.Status = initialStatus;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(&Self());
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    *next = location;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
    next->Control = 0;
    next->FileObject = nullptr;
    return SendAndWait(device, irp, &done);
}

void Reset() {
    Settle();
    ObjectsReset();
    {
        Dispatcher& d = Dispatcher::Get();
        std::lock_guard<std::mutex> lock(d.mutex);
        d.timers.clear();
        d.timerIndex.clear();
        d.timerOwners.clear();
        d.dpcQueue.clear();
        d.dpcOwners.clear();
        d.autoAdvance = true;
    }
    IrpReset();
    FileObjectsReset();
    PoolReset();
    DebugReset();
    VersionReset();
}

}  // namespace host::kernel

using namespace host::kernel::detail;

extern "C" {

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    const UCHAR major = CurrentVersion().major;
    const UCHAR minor = CurrentVersion().minor;
    return (major > MajorVersion || (major == MajorVersion && minor >= MinorVersion)) ? TRUE
                                                                                      : FALSE;
}

// The x64 kernel keeps a driver's floating-point state itself; saving succeeds and saves
// nothing, as on 64-bit Windows.
NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave) {
    CheckIrql(DISPATCH_LEVEL, "KeSaveFloatingPointState");
    FloatSave->Dummy = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave) {
    UNREFERENCED_PARAMETER(FloatSave);
    CheckIrql(DISPATCH_LEVEL, "KeRestoreFloatingPointState");
    return STATUS_SUCCESS;
}

}  // extern "C"
