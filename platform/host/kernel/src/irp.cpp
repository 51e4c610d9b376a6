// I/O request packets: allocation, IoCallDriver down the stack, IoCompleteRequest back up with
// the completion routines, cancellation, and the requests the I/O manager builds for drivers
// (IoBuildDeviceIoControlRequest) and for itself (system requests). Every IRP has a record
// that follows its ownership (allocated, inside a driver, completing, taken back by a
// completion routine, completed, freed), which is what the verifier's IRP checks read. Freed
// IRPs are kept poisoned for a while so a late use is reported rather than undefined.
#include <sanitizer/asan_interface.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "internal.h"

namespace host::kernel::detail {
namespace {

// InRoutine: a completion routine is running. Its driver may already have taken the IRP back
// (the routine signalled an event and will return STATUS_MORE_PROCESSING_REQUIRED), so the
// IRP may be completed again, re-sent or freed from another thread meanwhile.
enum class IrpState { Allocated, Dispatched, Completing, InRoutine, Reclaimed, Completed, Freed };

// Per stack location, for the pending checks.
constexpr uint8_t kProcessed = 1;        // completion has passed the location
constexpr uint8_t kMarkedPending = 2;    // it carried SL_PENDING_RETURNED then
constexpr uint8_t kReturnedPending = 4;  // its dispatch routine returned STATUS_PENDING

struct IrpRecord {
    IrpState state = IrpState::Allocated;
    IrpOrigin origin = IrpOrigin::Driver;
    DRIVER_OBJECT* allocator = nullptr;
    size_t size = 0;
    KEVENT* done = nullptr;   // system IRPs
    bool orphaned = false;    // the sender stopped waiting; free it when it completes
    bool reachedTop = false;  // completed once (threaded IRPs are freed right after)
    bool buffered = false;    // threaded IRPs with a system buffer to copy back
    PVOID userOutput = nullptr;
    ULONG outputLength = 0;
    PMDL ownMdl = nullptr;
    std::vector<uint8_t> locations;
};

struct IrpTable {
    std::mutex mutex;
    std::unordered_map<IRP*, IrpRecord> records;
    std::deque<IRP*> quarantine;
};

IrpTable& Table() {
    static IrpTable* table = new IrpTable();
    return *table;
}

constexpr size_t kQuarantine = 1024;

std::string Hex(const void* pointer) {
    char text[32];
    snprintf(text, sizeof(text), "%p", pointer);
    return text;
}

// The record of an IRP that is still allocated, with the table locked; otherwise the lock is
// dropped, `operation` ("IoFreeIrp on") is reported as a use of a freed IRP, and null returned.
IrpRecord* LiveRecord(IrpTable& table, std::unique_lock<std::mutex>& lock, IRP* irp,
                      const std::string& operation) {
    auto it = table.records.find(irp);
    if (it == table.records.end() || it->second.state == IrpState::Freed) {
        lock.unlock();
        Report(Violation::IrpFreed,
               operation + " " + Hex(irp) + ", which is a freed IRP or no IRP at all");
        return nullptr;
    }
    return &it->second;
}

std::string Describe(IRP* irp) {
    std::string text = "IRP " + Hex(irp);
    if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
        const IO_STACK_LOCATION* location = irp->Tail.Overlay.CurrentStackLocation;
        char codes[48];
        snprintf(codes, sizeof(codes), " (major 0x%02x, minor 0x%02x)", location->MajorFunction,
                 location->MinorFunction);
        text += codes;
    }
    return text;
}

void InitializeIrp(IRP* irp, USHORT size, CCHAR stackSize) {
    memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

IRP* NewIrp(CCHAR stackSize, IrpOrigin origin, DRIVER_OBJECT* allocator) {
    const USHORT size = IoSizeOfIrp(stackSize < 0 ? 0 : stackSize);
    IRP* irp = static_cast<IRP*>(aligned_alloc(16, (size + 15u) & ~15u));
    if (irp == nullptr) {
        return nullptr;
    }
    InitializeIrp(irp, size, stackSize < 0 ? 0 : stackSize);
    IrpTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    IrpRecord& record = table.records[irp];
    record = IrpRecord();
    record.origin = origin;
    record.allocator = allocator;
    record.size = size;
    record.locations.assign(static_cast<size_t>(irp->StackCount) + 2, 0);
    return irp;
}

// Frees the packet itself (table mutex held): it goes to the quarantine, poisoned.
void Retire(IrpTable& table, IRP* irp, IrpRecord& record) {
    record.state = IrpState::Freed;
    ASAN_POISON_MEMORY_REGION(irp, record.size);
    table.quarantine.push_back(irp);
    while (table.quarantine.size() > kQuarantine) {
        IRP* old = table.quarantine.front();
        table.quarantine.pop_front();
        auto it = table.records.find(old);
        if (it != table.records.end()) {
            ASAN_UNPOISON_MEMORY_REGION(old, it->second.size);
            table.records.erase(it);
        }
        free(old);
    }
}

// The I/O manager's part once an IRP it built for a driver reaches the top: copy the buffered
// output back, fill in the status block, free the IRP, signal the event.
void FinishThreadedIrp(IRP* irp) {
    IrpTable& table = Table();
    IrpRecord record;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        record = table.records.at(irp);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    if (record.buffered && irp->AssociatedIrp.SystemBuffer != nullptr) {
        if (!NT_ERROR(status) && record.outputLength != 0 &&
            (irp->Flags & IRP_INPUT_OPERATION) != 0) {
            ULONG_PTR bytes = irp->IoStatus.Information;
            if (bytes > record.outputLength) {
                Report(Violation::IrpBadCompletion,
                       Describe(irp) + " completed with " + std::to_string(bytes) +
                           " bytes of information for an output buffer of " +
                           std::to_string(record.outputLength));
                bytes = record.outputLength;
            }
            memcpy(record.userOutput, irp->AssociatedIrp.SystemBuffer, bytes);
        }
        PoolFree(irp->AssociatedIrp.SystemBuffer, nullptr, "the I/O manager");
    }
    if (record.ownMdl != nullptr) {
        PoolFree(record.ownMdl, nullptr, "the I/O manager");
    }
    if (irp->UserIosb != nullptr) {
        *irp->UserIosb = irp->IoStatus;
    }
    KEVENT* event = irp->UserEvent;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        Retire(table, irp, table.records.at(irp));
    }
    if (event != nullptr) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
}

// The walk up the stack; `checked` is false for the kernel's own completions.
void Complete(IRP* irp, bool checked) {
    IrpTable& table = Table();
    {
        // A freed IRP's memory is poisoned: look at the record before the packet.
        std::unique_lock<std::mutex> lock(table.mutex);
        auto it = table.records.find(irp);
        if (it == table.records.end() || it->second.state == IrpState::Freed) {
            const bool completedBefore = it != table.records.end() && it->second.reachedTop;
            lock.unlock();
            if (completedBefore) {
                Report(Violation::IrpDoubleCompletion,
                       "IoCompleteRequest on IRP " + Hex(irp) +
                           ", which has already been completed (and freed by the I/O manager)");
            } else {
                Report(Violation::IrpFreed, "IoCompleteRequest on " + Hex(irp) +
                                                ", which is a freed IRP or no IRP at all");
            }
            return;
        }
    }
    // The driver that owns the current stack location, looked up before the table is locked.
    DRIVER_OBJECT* locationDriver = nullptr;
    if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
        locationDriver =
            ObjectManager::Get().DriverOf(irp->Tail.Overlay.CurrentStackLocation->DeviceObject);
    }
    {
        std::unique_lock<std::mutex> lock(table.mutex);
        IrpRecord* live = LiveRecord(table, lock, irp, "IoCompleteRequest on");
        if (live == nullptr) {
            return;
        }
        IrpRecord& record = *live;
        if (record.state == IrpState::Completing || record.state == IrpState::Completed ||
            irp->CurrentLocation > irp->StackCount + 1) {
            lock.unlock();
            Report(Violation::IrpDoubleCompletion,
                   "IoCompleteRequest on " + Describe(irp) + ", which has already been completed");
            return;
        }
        if (checked) {
            const Frame* frame = CurrentFrame();
            if (record.state == IrpState::Dispatched && frame != nullptr &&
                frame->driver != nullptr && locationDriver != nullptr &&
                locationDriver != frame->driver) {
                lock.unlock();
                Report(Violation::IrpNotOwned,
                       DescribeDriver(frame->driver) + " completed " + Describe(irp) + " while " +
                           DescribeDriver(locationDriver) + " below it still owns it");
                return;
            }
        }
        record.state = IrpState::Completing;
    }
    if (checked) {
        if (irp->IoStatus.Status == STATUS_PENDING) {
            Report(Violation::IrpBadCompletion,
                   Describe(irp) + " completed with the status STATUS_PENDING");
        }
        if (irp->CancelRoutine != nullptr) {
            Report(Violation::IrpBadCompletion,
                   Describe(irp) + " completed with its cancel routine still set");
        }
    }

    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION location = irp->Tail.Overlay.CurrentStackLocation;
        const int index = irp->CurrentLocation;
        irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        {
            std::unique_lock<std::mutex> lock(table.mutex);
            uint8_t& flags = table.records.at(irp).locations[index];
            flags |= kProcessed | (irp->PendingReturned ? kMarkedPending : 0);
            const bool unmarked = (flags & kReturnedPending) != 0 && !irp->PendingReturned;
            lock.unlock();
            if (unmarked) {
                Report(Violation::IrpBadCompletion,
                       "a dispatch routine returned STATUS_PENDING for " + Describe(irp) +
                           " without calling IoMarkIrpPending");
            }
        }
        const PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        const PVOID context = location->Context;
        const UCHAR control = location->Control;
        // The location is cleared on the way up, as Windows does.
        location->MinorFunction = 0;
        location->Flags = 0;
        location->Control &= SL_ERROR_RETURNED;
        location->Parameters.Others.Argument1 = nullptr;
        location->Parameters.Others.Argument2 = nullptr;
        location->Parameters.Others.Argument3 = nullptr;
        location->Parameters.Others.Argument4 = nullptr;
        location->FileObject = nullptr;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;

        const NTSTATUS status = irp->IoStatus.Status;
        const bool invoke =
            routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
                                   (irp->Cancel && (control & SL_INVOKE_ON_CANCEL) != 0));
        if (!invoke) {
            if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
                IoMarkIrpPending(irp);
            }
            continue;
        }
        PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount
                                    ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                    : nullptr;
        DRIVER_OBJECT* owner = nullptr;
        if (device != nullptr) {
            owner = ObjectManager::Get().DriverOf(device);
        } else {
            std::lock_guard<std::mutex> lock(table.mutex);
            owner = table.records.at(irp).allocator;
        }
        {
            std::lock_guard<std::mutex> lock(table.mutex);
            table.records.at(irp).state = IrpState::InRoutine;
        }
        NTSTATUS result;
        if (routine == UnloadSafeCompletion) {
            // The I/O manager's own wrapper: the driver's routine runs inside the reference
            // taken when it was set, which is dropped once the routine has returned.
            auto* safe = static_cast<UnloadSafeCompletionContext*>(context);
            {
                DriverCall call(owner, device, FrameKind::Completion, irp);
                result = safe->routine(device, irp, safe->context);
            }
            ObfDereferenceObject(safe->device);
            delete safe;
        } else {
            DriverCall call(owner, device, FrameKind::Completion, irp);
            result = routine(device, irp, context);
        }
        // From here the IRP's memory may belong to someone else: only the record is read.
        std::unique_lock<std::mutex> lock(table.mutex);
        IrpRecord& record = table.records.at(irp);
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            if (record.state == IrpState::InRoutine) {
                record.state = IrpState::Reclaimed;
            }
            return;
        }
        if (record.state != IrpState::InRoutine) {
            lock.unlock();
            Report(Violation::IrpDoubleCompletion,
                   "IRP " + Hex(irp) +
                       " was completed, sent or freed while a completion routine "
                       "that did not return STATUS_MORE_PROCESSING_REQUIRED ran");
            return;
        }
        record.state = IrpState::Completing;
    }

    IrpOrigin origin;
    KEVENT* done = nullptr;
    bool orphaned = false;
    DRIVER_OBJECT* allocator = nullptr;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        IrpRecord& record = table.records.at(irp);
        record.state = IrpState::Completed;
        record.reachedTop = true;
        origin = record.origin;
        done = record.done;
        orphaned = record.orphaned;
        allocator = record.allocator;
    }
    switch (origin) {
        case IrpOrigin::Threaded:
            FinishThreadedIrp(irp);
            break;
        case IrpOrigin::System:
            if (orphaned) {
                FreeSystemIrp(irp);
            } else {
                KeSetEvent(done, IO_NO_INCREMENT, FALSE);
            }
            break;
        case IrpOrigin::Driver:
            Report(Violation::IrpBadCompletion,
                   "IRP " + Hex(irp) + " allocated by " + DescribeDriver(allocator) +
                       " reached the top of its stack: no completion routine took it back with "
                       "STATUS_MORE_PROCESSING_REQUIRED");
            break;
    }
}

NTSTATUS CallDriver(DEVICE_OBJECT* device, IRP* irp, bool checked, const char* api) {
    CheckIrql(DISPATCH_LEVEL, api);
    {
        // A freed IRP's memory is poisoned: look at the record before the packet.
        IrpTable& table = Table();
        std::unique_lock<std::mutex> lock(table.mutex);
        if (LiveRecord(table, lock, irp, std::string(api) + " with") == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    ObjectManager& om = ObjectManager::Get();
    DRIVER_OBJECT* driver = nullptr;
    bool gone = false;
    {
        std::lock_guard<std::recursive_mutex> lock(om.mutex);
        DeviceInfo* info = om.FindDevice(device);
        if (info == nullptr) {
            Report(Violation::RequestToDeletedDevice,
                   std::string(api) + " to " + Hex(device) + ", which is not a device object");
            return STATUS_NO_SUCH_DEVICE;
        }
        driver = info->driver;
        gone = info->deleted;
        if (checked && info->deletePending) {
            Report(Violation::RequestToDeletedDevice,
                   std::string(api) + " sent " + Describe(irp) + " to device " + Hex(device) +
                       " of " + DescribeDriver(driver) + " after IoDeleteDevice");
        }
    }
    IrpTable& table = Table();
    int index = 0;
    {
        std::unique_lock<std::mutex> lock(table.mutex);
        IrpRecord* live = LiveRecord(table, lock, irp, std::string(api) + " with");
        if (live == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (live->state == IrpState::Completed) {
            lock.unlock();
            Report(Violation::IrpDoubleCompletion,
                   std::string(api) + " with " + Describe(irp) + ", which has already completed");
            return STATUS_INVALID_PARAMETER;
        }
        if (irp->CurrentLocation <= 1) {
            lock.unlock();
            Report(Violation::IrpStackOverflow,
                   std::string(api) + " with " + Describe(irp) + " to device " + Hex(device) +
                       " of " + DescribeDriver(driver) + ": no stack location left (the IRP has " +
                       std::to_string(irp->StackCount) + ")");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        live->state = IrpState::Dispatched;
        index = irp->CurrentLocation - 1;
        live->locations[index] = 0;
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION location = irp->Tail.Overlay.CurrentStackLocation;
    if (gone) {
        // The device's memory is gone: fail the request instead of touching it.
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        irp->IoStatus.Information = 0;
        Complete(irp, false);
        return STATUS_NO_SUCH_DEVICE;
    }
    location->DeviceObject = device;
    const UCHAR major = location->MajorFunction;
    const UCHAR minor = location->MinorFunction;
    NTSTATUS status;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Complete(irp, false);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        DriverCall call(driver, device, FrameKind::Dispatch, irp, major, minor);
        status = driver->MajorFunction[major](device, irp);
    }
    std::string problem;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.records.find(irp);
        if (it != table.records.end() && index < static_cast<int>(it->second.locations.size())) {
            uint8_t& flags = it->second.locations[index];
            const bool processed = (flags & kProcessed) != 0;
            const bool marked = (flags & kMarkedPending) != 0;
            if (status == STATUS_PENDING) {
                if (processed && !marked) {
                    problem = "returned STATUS_PENDING without calling IoMarkIrpPending";
                } else if (!processed) {
                    flags |= kReturnedPending;
                }
            } else if (processed && marked) {
                char text[32];
                snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
                problem = std::string("marked the IRP pending but returned ") + text;
            }
        }
    }
    if (!problem.empty()) {
        Frame frame{driver, device, FrameKind::Dispatch, irp, major, minor, PASSIVE_LEVEL};
        Report(Violation::IrpBadCompletion, "the " + DescribeFrame(frame) + " " + problem);
    }
    return status;
}

}  // namespace

IRP* AllocateSystemIrp(CCHAR stackSize, KEVENT* done) {
    IRP* irp = NewIrp(stackSize, IrpOrigin::System, nullptr);
    if (irp != nullptr) {
        IrpTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        table.records.at(irp).done = done;
    }
    return irp;
}

void FreeSystemIrp(IRP* irp) {
    IrpTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.records.find(irp);
    if (it != table.records.end() && it->second.state != IrpState::Freed) {
        Retire(table, irp, it->second);
    }
}

NTSTATUS CallDriverUnchecked(DEVICE_OBJECT* device, IRP* irp) {
    return CallDriver(device, irp, false, "IoCallDriver");
}

RequestResult SendAndWait(DEVICE_OBJECT* device, IRP* irp, KEVENT* done) {
    const NTSTATUS returned = CallDriverUnchecked(device, irp);
    IrpTable& table = Table();
    if (returned != STATUS_PENDING) {
        bool completed = false;
        {
            std::lock_guard<std::mutex> lock(table.mutex);
            IrpRecord& record = table.records.at(irp);
            completed = record.state == IrpState::Completed;
            if (!completed) {
                record.orphaned = true;
            }
        }
        if (!completed) {
            Report(Violation::IrpBadCompletion,
                   Describe(irp) +
                       ": the dispatch routine returned without completing the IRP "
                       "and without STATUS_PENDING");
            return RequestResult{returned, 0};
        }
    }
    // Also after a synchronous completion: the completer may still be on its way to the event.
    KeWaitForSingleObject(done, Executive, KernelMode, FALSE, nullptr);
    RequestResult result{returned == STATUS_PENDING ? irp->IoStatus.Status : returned,
                         irp->IoStatus.Information};
    FreeSystemIrp(irp);
    return result;
}

void IrpReleaseDriver(DRIVER_OBJECT* driver) {
    IrpTable& table = Table();
    std::vector<IRP*> leaked;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        for (auto& entry : table.records) {
            IrpRecord& record = entry.second;
            if (record.allocator != driver || record.state == IrpState::Freed) {
                continue;
            }
            leaked.push_back(entry.first);
            record.allocator = nullptr;
            // One that no driver holds goes with the driver; one still inside a driver stays
            // until it completes (or is reported again at the reset).
            if (record.state == IrpState::Allocated || record.state == IrpState::Reclaimed ||
                record.state == IrpState::Completed) {
                Retire(table, entry.first, record);
            }
        }
    }
    for (IRP* irp : leaked) {
        Report(Violation::IrpLeaked, DescribeDriver(driver) + " unloaded without freeing IRP " +
                                         Hex(irp) + " it allocated");
    }
}

void IrpReset() {
    IrpTable& table = Table();
    std::vector<IRP*> leaked;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        for (auto& entry : table.records) {
            if (entry.second.state != IrpState::Freed) {
                leaked.push_back(entry.first);
            }
        }
    }
    for (IRP* irp : leaked) {
        Report(Violation::IrpLeaked, "IRP " + Hex(irp) + " was never completed and freed");
    }
    std::lock_guard<std::mutex> lock(table.mutex);
    for (auto& entry : table.records) {
        ASAN_UNPOISON_MEMORY_REGION(entry.first, entry.second.size);
        free(entry.first);
    }
    table.records.clear();
    table.quarantine.clear();
}

}  // namespace host::kernel::detail

using namespace host::kernel::detail;
using host::kernel::Violation;

namespace host::kernel::detail {

std::atomic<ThreadState*> g_cancelLockOwner{nullptr};

}  // namespace host::kernel::detail

namespace {

KSPIN_LOCK g_cancelLock = 0;

}  // namespace

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    CheckIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    if (PoolShouldFail(0, true)) {
        return nullptr;
    }
    return NewIrp(StackSize, IrpOrigin::Driver, CurrentDriver());
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "IoFreeIrp");
    IrpTable& table = Table();
    std::unique_lock<std::mutex> lock(table.mutex);
    IrpRecord* live = LiveRecord(table, lock, Irp, "IoFreeIrp on");
    if (live == nullptr) {
        return;
    }
    IrpRecord& record = *live;
    if (record.state == IrpState::Dispatched || record.state == IrpState::Completing) {
        lock.unlock();
        Report(Violation::IrpNotOwned,
               "IoFreeIrp on IRP " + Hex(Irp) + " while a driver still owns it");
        return;
    }
    if (record.origin != IrpOrigin::Driver) {
        lock.unlock();
        Report(Violation::IrpNotOwned,
               "IoFreeIrp on " + Describe(Irp) + ", which the I/O manager built and frees itself");
        return;
    }
    Retire(table, Irp, record);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    IrpTable& table = Table();
    std::unique_lock<std::mutex> lock(table.mutex);
    IrpRecord* live = LiveRecord(table, lock, Irp, "IoReuseIrp on");
    if (live == nullptr) {
        return;
    }
    if (live->state == IrpState::Dispatched || live->state == IrpState::Completing) {
        lock.unlock();
        Report(Violation::IrpNotOwned,
               "IoReuseIrp on " + Describe(Irp) + " while a driver still owns it");
        return;
    }
    const UCHAR allocationFlags = Irp->AllocationFlags;
    InitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    live->state = IrpState::Allocated;
    std::fill(live->locations.begin(), live->locations.end(), 0);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return CallDriver(DeviceObject, Irp, true, "IoCallDriver");
}

NTSTATUS NTAPI IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return CallDriver(DeviceObject, Irp, true, "IoCallDriver");
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return CallDriver(DeviceObject, Irp, true, "PoCallDriver");
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    CheckIrql(DISPATCH_LEVEL, "IoCompleteRequest");
    Complete(Irp, true);
}

VOID NTAPI IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    IofCompleteRequest(Irp, PriorityBoost);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancelLock);
    g_cancelLockOwner = &Self();
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    g_cancelLockOwner = nullptr;
    KeReleaseSpinLock(&g_cancelLock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "IoCancelIrp");
    IrpTable& table = Table();
    {
        std::unique_lock<std::mutex> lock(table.mutex);
        if (LiveRecord(table, lock, Irp, "IoCancelIrp on") == nullptr) {
            return FALSE;
        }
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    const PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount
                                ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                : nullptr;
    DRIVER_OBJECT* driver = device != nullptr ? ObjectManager::Get().DriverOf(device) : nullptr;
    {
        // The routine releases the cancel spin lock, which takes the IRQL back to `irql`.
        DriverCall call(driver, device, FrameKind::Cancel, Irp);
        call.ExpectExitIrql(irql);
        routine(device, Irp);
        if (g_cancelLockOwner == &Self()) {
            Report(Violation::IrqlNotRestored,
                   "the cancel routine of " + DescribeDriver(driver) +
                       " returned without releasing the cancel spin lock");
            IoReleaseCancelSpinLock(irql);
        }
    }
    return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    CheckIrql(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    CCHAR stackSize = 0;
    {
        ObjectManager& om = ObjectManager::Get();
        std::lock_guard<std::recursive_mutex> lock(om.mutex);
        DeviceInfo* info = om.FindDevice(DeviceObject);
        if (info == nullptr || info->deleted) {
            Report(Violation::RequestToDeletedDevice, "IoBuildDeviceIoControlRequest for " +
                                                          Hex(DeviceObject) +
                                                          ", which is not a live device object");
            return nullptr;
        }
        stackSize = DeviceObject->StackSize;
    }
    if (PoolShouldFail(0, true)) {
        return nullptr;
    }
    IRP* irp = NewIrp(stackSize, IrpOrigin::Threaded, CurrentDriver());
    if (irp == nullptr) {
        return nullptr;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    bool buffered = false;
    PMDL mdl = nullptr;
    const ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    } else {
        const ULONG systemLength = method == METHOD_BUFFERED
                                       ? std::max(InputBufferLength, OutputBufferLength)
                                       : InputBufferLength;
        if (systemLength != 0) {
            void* system = PoolAllocate(NonPagedPool, systemLength, 0x20206F49 /* 'Io  ' */, true,
                                        nullptr, "IoBuildDeviceIoControlRequest");
            if (system == nullptr) {
                FreeSystemIrp(irp);
                return nullptr;
            }
            if (InputBuffer != nullptr && InputBufferLength != 0) {
                memcpy(system, InputBuffer, InputBufferLength);
            }
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            buffered = true;
        }
        if (method == METHOD_BUFFERED) {
            if (OutputBuffer != nullptr && OutputBufferLength != 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
            }
            irp->UserBuffer = OutputBuffer;
        } else if (OutputBuffer != nullptr && OutputBufferLength != 0) {
            mdl = static_cast<PMDL>(PoolAllocate(NonPagedPool, sizeof(MDL), 0x6C644D49, true,
                                                 nullptr, "IoBuildDeviceIoControlRequest"));
            if (mdl == nullptr) {
                if (buffered) {
                    PoolFree(irp->AssociatedIrp.SystemBuffer, nullptr, "the I/O manager");
                }
                FreeSystemIrp(irp);
                return nullptr;
            }
            memset(mdl, 0, sizeof(MDL));
            mdl->Size = sizeof(MDL);
            mdl->MdlFlags = MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED;
            mdl->StartVa = OutputBuffer;
            mdl->MappedSystemVa = OutputBuffer;
            mdl->ByteCount = OutputBufferLength;
            irp->MdlAddress = mdl;
        }
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(&Self());
    IrpTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    IrpRecord& record = table.records.at(irp);
    // Only METHOD_BUFFERED copies back; the direct methods wrote through the MDL.
    record.buffered = buffered;
    record.userOutput = method == METHOD_BUFFERED ? OutputBuffer : nullptr;
    record.outputLength = method == METHOD_BUFFERED ? OutputBufferLength : 0;
    record.ownMdl = mdl;
    return irp;
}

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    CheckIrql(DISPATCH_LEVEL, "IoAllocateWorkItem");
    DRIVER_OBJECT* driver = ObjectManager::Get().DriverOf(DeviceObject);
    void* memory = PoolAllocate(NonPagedPool, sizeof(_IO_WORKITEM), 0x6B576F49 /* 'IoWk' */, true,
                                driver, "IoAllocateWorkItem");
    if (memory == nullptr) {
        return nullptr;
    }
    return new (memory) _IO_WORKITEM{DeviceObject, driver, false, false};
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
    CheckIrql(DISPATCH_LEVEL, "IoQueueWorkItem");
    Dispatcher& d = Dispatcher::Get();
    d.EnsureSystemThreads();
    // The work item keeps its device, and with it the driver, until the routine has run.
    ObfReferenceObject(IoWorkItem->device);
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!IoWorkItem->queued) {
            IoWorkItem->queued = true;
            WorkEntry entry;
            entry.item = IoWorkItem;
            entry.routine = WorkerRoutine;
            entry.context = Context;
            entry.device = IoWorkItem->device;
            entry.driver = IoWorkItem->driver;
            d.QueueWork(QueueType, std::move(entry));
            return;
        }
    }
    ObfDereferenceObject(IoWorkItem->device);
    Report(Violation::WorkItemMisuse,
           "IoQueueWorkItem on work item " + Hex(IoWorkItem) + ", which is already queued");
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    CheckIrql(DISPATCH_LEVEL, "IoFreeWorkItem");
    Dispatcher& d = Dispatcher::Get();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (IoWorkItem->queued) {
            IoWorkItem->freeAfterRun = true;
        }
    }
    if (IoWorkItem->freeAfterRun) {
        Report(Violation::WorkItemMisuse,
               "IoFreeWorkItem on work item " + Hex(IoWorkItem) + ", which is still queued");
        return;
    }
    PoolFree(IoWorkItem, nullptr, "IoFreeWorkItem");
}

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    CheckIrql(DISPATCH_LEVEL, "IoAllocateMdl");
    PMDL mdl = static_cast<PMDL>(PoolAllocate(NonPagedPool, sizeof(MDL), 0x6C644D49 /* 'IMdl' */,
                                              true, CurrentDriver(), "IoAllocateMdl"));
    if (mdl == nullptr) {
        return nullptr;
    }
    const ULONG_PTR address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    memset(mdl, 0, sizeof(MDL));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~static_cast<ULONG_PTR>(0xFFF));
    mdl->ByteOffset = static_cast<ULONG>(address & 0xFFF);
    mdl->ByteCount = Length;
    if (Irp != nullptr) {
        if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next != nullptr) {
                last = last->Next;
            }
            last->Next = mdl;
        }
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
    CheckIrql(DISPATCH_LEVEL, "IoFreeMdl");
    PoolFree(Mdl, nullptr, "IoFreeMdl");
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MappedSystemVa =
        static_cast<char*>(MemoryDescriptorList->StartVa) + MemoryDescriptorList->ByteOffset;
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    UNREFERENCED_PARAMETER(Irp);
    CheckIrql(DISPATCH_LEVEL, "PoStartNextPowerIrp");
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Type);
    CheckIrql(DISPATCH_LEVEL, "PoSetPowerState");
    return State;
}

}  // extern "C"

namespace host::kernel::detail {

NTSTATUS NTAPI UnloadSafeCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    // Never called directly: IoCompleteRequest recognises it and unwraps the context.
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(context);
    return STATUS_SUCCESS;
}

}  // namespace host::kernel::detail

extern "C" NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                   PIO_COMPLETION_ROUTINE CompletionRoutine,
                                                   PVOID Context, BOOLEAN InvokeOnSuccess,
                                                   BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    using namespace host::kernel::detail;
    CheckIrql(DISPATCH_LEVEL, "IoSetCompletionRoutineEx");
    // Windows allocates the context from non-paged pool, so this can fail like any
    // allocation the kernel makes for a driver.
    if (PoolShouldFail(0, true)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* safe = new UnloadSafeCompletionContext{DeviceObject, CompletionRoutine, Context};
    ObfReferenceObject(DeviceObject);
    IoSetCompletionRoutine(Irp, UnloadSafeCompletion, safe, InvokeOnSuccess, InvokeOnError,
                           InvokeOnCancel);
    return STATUS_SUCCESS;
}
