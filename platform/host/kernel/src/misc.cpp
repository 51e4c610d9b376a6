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

std::atomic<int> g_completionSignalDelayMs{0};
std::atomic<uint64_t> g_floatingSaveFailures{0};
std::atomic<uint64_t> g_floatingSaves{0};

void VersionReset() {
    SetWindowsVersion(WindowsVersion::WindowsVista);
    g_floatingSaveFailures = 0;
    g_floatingSaves = 0;
    g_completionSignalDelayMs = 0;
}

bool KernelKnowsQueryTypeCheck() {
    return CurrentVersion().major >= 6;
}

bool UniprocessorKernel() {
    return CurrentVersion().major == 1 && CurrentVersion().minor < 0x10;
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

void SetCompletionSignalDelay(int milliseconds) {
    g_completionSignalDelayMs = milliseconds;
}

void FailFloatingPointSaves(uint64_t count) {
    g_floatingSaveFailures = count;
}

uint64_t FloatingPointSaveCount() {
    return g_floatingSaves;
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
    SecurityReset();
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

// As on 32-bit Windows: the save may fail (it allocates when saves nest), and every
// successful save is restored by the same thread, innermost first, before the driver routine
// that made it returns. The host's own floating-point state needs no saving.
NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave) {
    CheckIrql(DISPATCH_LEVEL, "KeSaveFloatingPointState");
    FloatSave->Dummy = 0;
    uint64_t failures = g_floatingSaveFailures.load();
    while (failures != 0 && !g_floatingSaveFailures.compare_exchange_weak(failures, failures - 1)) {
    }
    if (failures != 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ++g_floatingSaves;
    ThreadState& self = Self();
    self.floatingSaves.emplace_back(FloatSave, self.frames.size());
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave) {
    CheckIrql(DISPATCH_LEVEL, "KeRestoreFloatingPointState");
    ThreadState& self = Self();
    if (self.floatingSaves.empty() || self.floatingSaves.back().first != FloatSave) {
        Report(host::kernel::Violation::FloatingPointMisuse,
               DescribeDriver(CurrentDriver()) +
                   " restored a floating-point state that is not the thread's innermost save");
        return STATUS_SUCCESS;
    }
    self.floatingSaves.pop_back();
    return STATUS_SUCCESS;
}

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    CheckIrql(PASSIVE_LEVEL, "MmGetSystemRoutineAddress");
    if (SystemRoutineName == nullptr || SystemRoutineName->Buffer == nullptr) {
        return nullptr;
    }
    std::string name;
    for (USHORT i = 0; i < SystemRoutineName->Length / sizeof(WCHAR); ++i) {
        name.push_back(static_cast<char>(SystemRoutineName->Buffer[i]));
    }
    // The exports newer than the oldest kernels that drivers look up at run time.
    const bool xpOrLater = CurrentVersion().major > 1 || CurrentVersion().minor >= 0x20;
    if (name == "IoSetCompletionRoutineEx" && xpOrLater) {
        return reinterpret_cast<PVOID>(&IoSetCompletionRoutineEx);
    }
    if (name == "ObOpenObjectByPointer") {
        return reinterpret_cast<PVOID>(&ObOpenObjectByPointer);
    }
    if (name == "ZwSetSecurityObject") {
        return reinterpret_cast<PVOID>(&ZwSetSecurityObject);
    }
    if (name == "ZwClose") {
        return reinterpret_cast<PVOID>(&ZwClose);
    }
    return nullptr;
}

}  // extern "C"
