// State shared by the parts of the simulated kernel. Lock order: the object manager's and the
// IRP table's mutexes may be taken while holding nothing or each other (objects first); the
// dispatcher's mutex is taken last and never held while calling out of the kernel.
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/kernel.h"
#include "wdm.h"

namespace host::kernel::detail {

using Time = int64_t;
constexpr Time kNoDeadline = INT64_MAX;

// ---------------------------------------------------------------------------------------------
// Threads and driver frames

enum class FrameKind {
    DriverEntry,
    AddDevice,
    Dispatch,
    Completion,
    Cancel,
    Dpc,
    WorkItem,
    Unload,
};

struct Frame {
    DRIVER_OBJECT* driver;
    DEVICE_OBJECT* device;
    FrameKind kind;
    IRP* irp;
    UCHAR majorFunction;
    UCHAR minorFunction;
    KIRQL entryIrql;
};

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    std::vector<Frame> frames;
    // KeSaveFloatingPointState areas not yet restored, innermost last, each with the frame
    // depth at which it was saved.
    std::vector<std::pair<PKFLOATING_SAVE, size_t>> floatingSaves;
    std::string name;
    bool registered = false;
    bool system = false;
    // Wait state, guarded by the dispatcher's mutex.
    bool waiting = false;
    const std::function<bool()>* ready = nullptr;
    Time deadline = kNoDeadline;
};

// The calling thread's state; registers the thread with the dispatcher on first use. Never
// call it for the first time while holding the dispatcher's mutex.
ThreadState& Self();
// Whether the calling thread is registered, without registering it.
bool SelfRegistered();
void RegisterThread(ThreadState& thread, const std::string& name);
void UnregisterThread(ThreadState& thread);

// The innermost driver frame of the calling thread, or null.
const Frame* CurrentFrame();
DRIVER_OBJECT* CurrentDriver();

// Runs a driver routine with a frame pushed; on return checks that the routine left the IRQL
// where it found it (reporting and restoring it otherwise).
class DriverCall {
  public:
    DriverCall(DRIVER_OBJECT* driver, DEVICE_OBJECT* device, FrameKind kind, IRP* irp = nullptr,
               UCHAR majorFunction = 0, UCHAR minorFunction = 0);
    // A routine that must return at another IRQL than it was called at (a cancel routine
    // releases the cancel spin lock on its way out).
    void ExpectExitIrql(KIRQL irql) { exitIrql_ = irql; }
    ~DriverCall();
    DriverCall(const DriverCall&) = delete;
    DriverCall& operator=(const DriverCall&) = delete;

  private:
    ThreadState& thread_;
    size_t depth_;
    int exitIrql_ = -1;
};

// Object security (security.cpp): the allowed entries of a device object's DACL.
struct AllowedAce {
    std::string sid;  // "S-1-5-32-544"
    ACCESS_MASK mask = 0;
};
void SecurityReset();
void ForgetDeviceSecurity(DEVICE_OBJECT* device);
// Whether the user-mode caller's token may open the device with `desired` access; a device
// without a DACL admits everyone.
bool CallerMayOpen(DEVICE_OBJECT* device, ACCESS_MASK desired);

// How many completion, cancel and DPC routines of `driver` are running now, on every thread.
int ActiveDriverCalls(DRIVER_OBJECT* driver);
// The unload-safe completion that IoSetCompletionRoutineEx installs, and its context.
struct UnloadSafeCompletionContext {
    PDEVICE_OBJECT device;
    PIO_COMPLETION_ROUTINE routine;
    PVOID context;
};
NTSTATUS NTAPI UnloadSafeCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
// A KeSetEvent made by a completion routine sleeps this long (real milliseconds) after it
// signals, so that what the signal lets go runs before the routine returns.
extern std::atomic<int> g_completionSignalDelayMs;

// The cancel spin lock's holder, for the check that a cancel routine released it.
extern std::atomic<ThreadState*> g_cancelLockOwner;

// Reports a routine called above `maximum` and returns false; `what` names the routine.
bool CheckIrql(KIRQL maximum, const char* what);
void SetIrql(KIRQL irql);
const char* IrqlName(KIRQL irql);

// ---------------------------------------------------------------------------------------------
// Verifier

void Report(Violation violation, const std::string& message);
std::string DescribeDriver(DRIVER_OBJECT* driver);
std::string DescribeFrame(const Frame& frame);

// ---------------------------------------------------------------------------------------------
// Dispatcher: the clock, waits, timers, DPCs and system worker threads

struct WorkEntry {
    PIO_WORKITEM item = nullptr;
    PIO_WORKITEM_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    DEVICE_OBJECT* device = nullptr;
    DRIVER_OBJECT* driver = nullptr;
    std::function<void()> task;  // kernel work (deferred driver unloads)
};

class Dispatcher {
  public:
    static Dispatcher& Get();

    std::mutex mutex;
    std::condition_variable cv;
    std::atomic<Time> now{0};
    bool autoAdvance = true;
    std::vector<ThreadState*> threads;

    // Timers ordered by due time; the sequence number keeps equal due times in arming order.
    std::multimap<std::pair<Time, uint64_t>, KTIMER*> timers;
    std::unordered_map<KTIMER*, std::multimap<std::pair<Time, uint64_t>, KTIMER*>::iterator>
        timerIndex;
    std::unordered_map<KTIMER*, DRIVER_OBJECT*> timerOwners;
    uint64_t timerSequence = 0;
    std::deque<KDPC*> dpcQueue;
    std::unordered_map<KDPC*, DRIVER_OBJECT*> dpcOwners;
    int dpcsRunning = 0;
    std::deque<WorkEntry> workQueue[MaximumWorkQueue];
    int workRunning = 0;

    // Blocks the calling thread until `ready` holds (true) or the clock reaches `deadline`
    // (false). `lock` holds `mutex`.
    bool Block(std::unique_lock<std::mutex>& lock, ThreadState& self,
               const std::function<bool()>& ready, Time deadline);
    // Jumps the clock when every registered thread is blocked (mutex held).
    void MaybeAdvance();
    void Notify() { cv.notify_all(); }

    void EnsureSystemThreads();
    void QueueWork(WORK_QUEUE_TYPE queue, WorkEntry entry);  // mutex held
    bool Idle() const;                                       // mutex held

  private:
    Dispatcher() = default;
    void DpcThreadMain();
    void WorkerThreadMain(WORK_QUEUE_TYPE queue);
    void FireDueTimers();  // mutex held

    std::once_flag started_;
    int64_t allIdleSinceMs_ = -1;
    bool deadlockReported_ = false;
};

// Interprets a Windows timeout (negative: relative, positive: absolute system time, null: none).
Time DeadlineFromTimeout(const LARGE_INTEGER* timeout);
constexpr LONGLONG kBootSystemTime = 133485408000000000LL;  // 2024-01-01 00:00 UTC

// ---------------------------------------------------------------------------------------------
// Pool

void* PoolAllocate(POOL_TYPE type, size_t size, ULONG tag, bool kernelObject, DRIVER_OBJECT* owner,
                   const char* api);
// Frees a block; `tag` is checked when given. Returns false (after reporting) when the block
// is not a live pool block.
bool PoolFree(void* block, const ULONG* tag, const char* api);
// Whether the fault injector fails this allocation (counted as one allocation).
bool PoolShouldFail(ULONG tag, bool kernelObject);
// Reports and frees every block `driver` still owns.
void PoolReleaseDriver(DRIVER_OBJECT* driver);
void PoolReset();

// ---------------------------------------------------------------------------------------------
// Object manager: drivers, devices and the namespace

struct DeviceInfo {
    DEVICE_OBJECT* device = nullptr;
    DRIVER_OBJECT* driver = nullptr;
    void* allocation = nullptr;
    size_t allocationSize = 0;
    std::string name;          // "\Device\X" or empty
    std::string instancePath;  // physical device objects only
    bool deletePending = false;
    bool deleted = false;
    DEVICE_OBJECT* attachedTo = nullptr;
};

enum class DriverState {
    Loaded,
    UnloadPending,  // waiting for its last device object to go
    Unloading,      // the unload is queued or running
};

struct DriverInfo {
    DRIVER_OBJECT* driver = nullptr;
    DRIVER_EXTENSION* extension = nullptr;
    std::string serviceName;
    std::string imageName;
    std::u16string driverName;
    std::u16string serviceKeyName;
    std::u16string registryPath;
    UNICODE_STRING registryPathString{};
    DriverState state = DriverState::Loaded;
};

struct InterfaceRecord {
    GUID interfaceClass;
    std::string symbolicLink;  // with the reference string, if any
    std::string baseLink;      // the symbolic link object itself
    std::string instancePath;
    DEVICE_OBJECT* physicalDevice;
    bool enabled;
};

struct SymbolicLink {
    std::string name;
    std::string target;
};

class ObjectManager {
  public:
    static ObjectManager& Get();

    std::recursive_mutex mutex;
    std::unordered_map<DEVICE_OBJECT*, DeviceInfo> devices;
    std::map<std::string, DEVICE_OBJECT*> deviceNames;  // folded name
    std::map<std::string, SymbolicLink> links;          // folded name, in the \?? directory
    std::unordered_map<DRIVER_OBJECT*, std::unique_ptr<DriverInfo>> drivers;
    std::map<std::string, PDRIVER_INITIALIZE> images;  // folded image name
    std::map<std::string, uint32_t> loadCounts;        // folded image name
    std::vector<InterfaceRecord> interfaces;
    uint32_t autogeneratedNames = 0;

    DeviceInfo* FindDevice(DEVICE_OBJECT* device);  // mutex held
    DRIVER_OBJECT* DriverOf(DEVICE_OBJECT* device);
    // Completes a pending deletion once nothing references or sits on the device.
    void MaybeFinishDelete(DEVICE_OBJECT* device);  // mutex held
    // Whether every device object of the driver is gone.
    bool DriverHasNoDevices(DRIVER_OBJECT* driver);  // mutex held
    void UnloadNow(DRIVER_OBJECT* driver);           // no lock held, PASSIVE_LEVEL
    void ScheduleUnload(DRIVER_OBJECT* driver);      // mutex held
};

// Canonical object-manager path: "\DosDevices\X" and "\GLOBAL??\X" become "\??\X"; the result
// is folded to upper case for lookups.
std::string CanonicalObjectName(std::string_view name);
std::string NarrowName(PCUNICODE_STRING name);
// Resolves a path through symbolic links to a device object and the remaining file name.
DEVICE_OBJECT* ResolveDevicePath(std::string_view path, std::string* remainder);

// ---------------------------------------------------------------------------------------------
// Work items and IRPs

}  // namespace host::kernel::detail

struct _IO_WORKITEM {
    DEVICE_OBJECT* device;
    DRIVER_OBJECT* driver;
    bool queued;        // guarded by the dispatcher's mutex
    bool freeAfterRun;  // IoFreeWorkItem came while it was queued
};

namespace host::kernel::detail {

enum class IrpOrigin { Driver, Threaded, System };

// Marks an IRP as the kernel's own; `done` is signalled when it reaches the top of its stack.
IRP* AllocateSystemIrp(CCHAR stackSize, KEVENT* done);
void FreeSystemIrp(IRP* irp);
// IoCallDriver without the deleted-device check, for the I/O manager's sends on open handles.
NTSTATUS CallDriverUnchecked(DEVICE_OBJECT* device, IRP* irp);
// Sends a system IRP and waits for it; returns the final IoStatus.
RequestResult SendAndWait(DEVICE_OBJECT* device, IRP* irp, KEVENT* done);
void IrpReset();

// ---------------------------------------------------------------------------------------------
// Version, debug output, device interfaces

void VersionReset();
// Whether the reported Windows version knows RTL_QUERY_REGISTRY_TYPECHECK (Vista and later;
// older kernels ignore the flag).
bool KernelKnowsQueryTypeCheck();
// Windows 98 and Me run on one processor: no thread runs while a DPC does, so a work item a
// DPC queues starts only once that DPC has returned.
bool UniprocessorKernel();
void DebugReset();
void FileObjectsReset();
// Disables and forgets the device interfaces of a physical device object (mutex held).
void InterfacesDeviceDeleted(DEVICE_OBJECT* physicalDevice);
void ObjectsReset();
// IRPs a driver allocated and never freed are reported and freed when it unloads.
void IrpReleaseDriver(DRIVER_OBJECT* driver);

}  // namespace host::kernel::detail
