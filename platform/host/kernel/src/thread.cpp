// Threads as the kernel sees them: each has its own IRQL and a stack of driver frames telling
// which driver's code is running (for pool ownership, completion ownership and the verifier's
// messages). Spin locks raise the IRQL and spin, as on a multiprocessor.
#include <sched.h>
#include <stdio.h>

#include "internal.h"

namespace host::kernel::detail {
namespace {

struct ThreadHolder {
    ThreadState state;
    ~ThreadHolder() {
        if (state.registered) {
            UnregisterThread(state);
        }
    }
};

thread_local ThreadHolder t_holder;

const char* kMajorNames[] = {
    "IRP_MJ_CREATE",
    "IRP_MJ_CREATE_NAMED_PIPE",
    "IRP_MJ_CLOSE",
    "IRP_MJ_READ",
    "IRP_MJ_WRITE",
    "IRP_MJ_QUERY_INFORMATION",
    "IRP_MJ_SET_INFORMATION",
    "IRP_MJ_QUERY_EA",
    "IRP_MJ_SET_EA",
    "IRP_MJ_FLUSH_BUFFERS",
    "IRP_MJ_QUERY_VOLUME_INFORMATION",
    "IRP_MJ_SET_VOLUME_INFORMATION",
    "IRP_MJ_DIRECTORY_CONTROL",
    "IRP_MJ_FILE_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CONTROL",
    "IRP_MJ_INTERNAL_DEVICE_CONTROL",
    "IRP_MJ_SHUTDOWN",
    "IRP_MJ_LOCK_CONTROL",
    "IRP_MJ_CLEANUP",
    "IRP_MJ_CREATE_MAILSLOT",
    "IRP_MJ_QUERY_SECURITY",
    "IRP_MJ_SET_SECURITY",
    "IRP_MJ_POWER",
    "IRP_MJ_SYSTEM_CONTROL",
    "IRP_MJ_DEVICE_CHANGE",
    "IRP_MJ_QUERY_QUOTA",
    "IRP_MJ_SET_QUOTA",
    "IRP_MJ_PNP",
};

const char* kPnpMinorNames[] = {
    "IRP_MN_START_DEVICE",
    "IRP_MN_QUERY_REMOVE_DEVICE",
    "IRP_MN_REMOVE_DEVICE",
    "IRP_MN_CANCEL_REMOVE_DEVICE",
    "IRP_MN_STOP_DEVICE",
    "IRP_MN_QUERY_STOP_DEVICE",
    "IRP_MN_CANCEL_STOP_DEVICE",
    "IRP_MN_QUERY_DEVICE_RELATIONS",
    "IRP_MN_QUERY_INTERFACE",
    "IRP_MN_QUERY_CAPABILITIES",
    "IRP_MN_QUERY_RESOURCES",
    "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
    "IRP_MN_QUERY_DEVICE_TEXT",
    "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
    "IRP_MN_0x0E",
    "IRP_MN_READ_CONFIG",
    "IRP_MN_WRITE_CONFIG",
    "IRP_MN_EJECT",
    "IRP_MN_SET_LOCK",
    "IRP_MN_QUERY_ID",
    "IRP_MN_QUERY_PNP_DEVICE_STATE",
    "IRP_MN_QUERY_BUS_INFORMATION",
    "IRP_MN_DEVICE_USAGE_NOTIFICATION",
    "IRP_MN_SURPRISE_REMOVAL",
    "IRP_MN_QUERY_LEGACY_BUS_INFORMATION",
};

std::string Hex(const void* pointer) {
    char text[32];
    snprintf(text, sizeof(text), "%p", pointer);
    return text;
}

}  // namespace

ThreadState& Self() {
    ThreadState& state = t_holder.state;
    if (!state.registered) {
        RegisterThread(state, state.name);
    }
    return state;
}

bool SelfRegistered() {
    return t_holder.state.registered;
}

const Frame* CurrentFrame() {
    const ThreadState& state = t_holder.state;
    return state.frames.empty() ? nullptr : &state.frames.back();
}

DRIVER_OBJECT* CurrentDriver() {
    const Frame* frame = CurrentFrame();
    return frame == nullptr ? nullptr : frame->driver;
}

const char* IrqlName(KIRQL irql) {
    switch (irql) {
        case PASSIVE_LEVEL:
            return "PASSIVE_LEVEL";
        case APC_LEVEL:
            return "APC_LEVEL";
        case DISPATCH_LEVEL:
            return "DISPATCH_LEVEL";
        case HIGH_LEVEL:
            return "HIGH_LEVEL";
        default:
            return "a device IRQL";
    }
}

std::string DescribeDriver(DRIVER_OBJECT* driver) {
    if (driver == nullptr) {
        return "the system";
    }
    return NarrowName(&driver->DriverName);
}

std::string DescribeFrame(const Frame& frame) {
    std::string routine;
    switch (frame.kind) {
        case FrameKind::DriverEntry:
            routine = "DriverEntry";
            break;
        case FrameKind::AddDevice:
            routine = "AddDevice";
            break;
        case FrameKind::Dispatch:
            routine = "dispatch routine";
            if (frame.majorFunction <= IRP_MJ_MAXIMUM_FUNCTION) {
                routine += std::string(" for ") + kMajorNames[frame.majorFunction];
                if (frame.majorFunction == IRP_MJ_PNP &&
                    frame.minorFunction < sizeof(kPnpMinorNames) / sizeof(kPnpMinorNames[0])) {
                    routine += std::string("/") + kPnpMinorNames[frame.minorFunction];
                }
            }
            break;
        case FrameKind::Completion:
            routine = "completion routine";
            break;
        case FrameKind::Cancel:
            routine = "cancel routine";
            break;
        case FrameKind::Dpc:
            routine = "DPC routine";
            break;
        case FrameKind::WorkItem:
            routine = "work item routine";
            break;
        case FrameKind::Unload:
            routine = "DriverUnload";
            break;
    }
    std::string text = routine + " of " + DescribeDriver(frame.driver);
    if (frame.device != nullptr) {
        text += " (device " + Hex(frame.device) + ")";
    }
    if (frame.irp != nullptr) {
        text += " (IRP " + Hex(frame.irp) + ")";
    }
    return text;
}

namespace {

std::mutex g_activeCallsMutex;
std::unordered_map<DRIVER_OBJECT*, int>& ActiveCalls() {
    static auto* calls = new std::unordered_map<DRIVER_OBJECT*, int>();
    return *calls;
}

// Only the routines the system calls on its own schedule count: completion, cancel and DPC
// routines. The I/O and Plug and Play managers unload a driver only after the dispatch
// routines they called have returned, and a work item holds a reference on its device.
void CountDriverCall(DRIVER_OBJECT* driver, FrameKind kind, int delta) {
    if (driver == nullptr ||
        (kind != FrameKind::Completion && kind != FrameKind::Cancel && kind != FrameKind::Dpc)) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_activeCallsMutex);
    int& count = ActiveCalls()[driver];
    count += delta;
    if (count == 0) {
        ActiveCalls().erase(driver);
    }
}

}  // namespace

int ActiveDriverCalls(DRIVER_OBJECT* driver) {
    std::lock_guard<std::mutex> lock(g_activeCallsMutex);
    auto found = ActiveCalls().find(driver);
    return found == ActiveCalls().end() ? 0 : found->second;
}

DriverCall::DriverCall(DRIVER_OBJECT* driver, DEVICE_OBJECT* device, FrameKind kind, IRP* irp,
                       UCHAR majorFunction, UCHAR minorFunction)
    : thread_(Self()) {
    CountDriverCall(driver, kind, 1);
    thread_.frames.push_back(
        Frame{driver, device, kind, irp, majorFunction, minorFunction, thread_.irql});
    depth_ = thread_.frames.size();
}

DriverCall::~DriverCall() {
    const Frame frame = thread_.frames.back();
    thread_.frames.resize(depth_ - 1);
    CountDriverCall(frame.driver, frame.kind, -1);
    bool floatingLeft = false;
    while (!thread_.floatingSaves.empty() && thread_.floatingSaves.back().second >= depth_) {
        thread_.floatingSaves.pop_back();
        floatingLeft = true;
    }
    if (floatingLeft) {
        Report(Violation::FloatingPointMisuse,
               "the " + DescribeFrame(frame) +
                   " returned without restoring the floating-point state it saved");
    }
    const KIRQL expected = exitIrql_ >= 0 ? static_cast<KIRQL>(exitIrql_) : frame.entryIrql;
    if (thread_.irql != expected) {
        const KIRQL returned = thread_.irql;
        thread_.irql = expected;
        Report(Violation::IrqlNotRestored, "the " + DescribeFrame(frame) + " returned at " +
                                               IrqlName(returned) + ", expected at " +
                                               IrqlName(expected));
    }
}

bool CheckIrql(KIRQL maximum, const char* what) {
    const KIRQL irql = Self().irql;
    if (irql <= maximum) {
        return true;
    }
    Report(Violation::IrqlTooHigh, std::string(what) + " called at " + IrqlName(irql) +
                                       "; it is allowed up to " + IrqlName(maximum));
    return false;
}

void SetIrql(KIRQL irql) {
    Self().irql = irql;
}

}  // namespace host::kernel::detail

using namespace host::kernel::detail;
using host::kernel::Violation;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return Self().irql;
}

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    ThreadState& self = Self();
    if (NewIrql < self.irql) {
        Report(Violation::IrqlTooHigh, std::string("KeRaiseIrql to ") + IrqlName(NewIrql) +
                                           " from the higher " + IrqlName(self.irql));
    }
    *OldIrql = self.irql;
    self.irql = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    ThreadState& self = Self();
    if (NewIrql > self.irql) {
        Report(Violation::IrqlTooHigh, std::string("KeLowerIrql to ") + IrqlName(NewIrql) +
                                           " from the lower " + IrqlName(self.irql));
    }
    self.irql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    CheckIrql(DISPATCH_LEVEL, "KeAcquireSpinLockAtDpcLevel");
    while (__atomic_exchange_n(SpinLock, 1, __ATOMIC_ACQUIRE) != 0) {
        while (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != 0) {
            sched_yield();
        }
    }
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    CheckIrql(DISPATCH_LEVEL, "KeAcquireSpinLock");
    ThreadState& self = Self();
    const KIRQL old = self.irql;
    self.irql = DISPATCH_LEVEL;
    KeAcquireSpinLockAtDpcLevel(SpinLock);
    return old;
}

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    *OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    KeLowerIrql(NewIrql);
}

}  // extern "C"
