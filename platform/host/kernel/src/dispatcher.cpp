// The dispatcher: one lock over every dispatcher object, the virtual clock, blocking waits,
// timers with their DPCs, and the system worker threads.
//
// Waiting threads record a predicate and a deadline. Whenever a thread is about to sleep it
// asks whether every registered thread is now asleep with its predicate false; if so, nothing
// can happen until the earliest deadline, and the clock jumps there.
#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "internal.h"

namespace host::kernel::detail {
namespace {

int64_t RealMilliseconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A deadlock is reported once every thread has been asleep with nothing to wake it for this
// long in real time (a thread outside the kernel may still be about to signal).
constexpr int64_t kDeadlockGraceMs = 10000;
// Sleeping threads look at the world again this often, as a safety net.
constexpr auto kRecheckInterval = std::chrono::milliseconds(100);

bool IsEvent(const DISPATCHER_HEADER& header) {
    return (header.Type == EventNotificationObject || header.Type == EventSynchronizationObject) &&
           header.Size == sizeof(KEVENT) / sizeof(LONG);
}

bool IsTimer(const DISPATCHER_HEADER& header) {
    return (header.Type == TimerNotificationObject || header.Type == TimerSynchronizationObject) &&
           header.Size == sizeof(KTIMER) / sizeof(LONG);
}

void InitializeHeader(DISPATCHER_HEADER& header, UCHAR type, UCHAR size, LONG state) {
    header.Type = type;
    header.Signalling = 0;
    header.Size = size;
    header.Reserved1 = 0;
    header.SignalState = state;
    header.WaitListHead.Flink = &header.WaitListHead;
    header.WaitListHead.Blink = &header.WaitListHead;
}

// Queues a DPC (mutex held); false when it is already queued.
bool InsertDpc(Dispatcher& d, KDPC* dpc, PVOID argument1, PVOID argument2) {
    if (dpc->DpcData != nullptr) {
        return false;
    }
    dpc->DpcData = dpc;
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    d.dpcQueue.push_back(dpc);
    d.Notify();
    return true;
}

void RemoveTimer(Dispatcher& d, KTIMER* timer) {
    auto it = d.timerIndex.find(timer);
    if (it != d.timerIndex.end()) {
        d.timers.erase(it->second);
        d.timerIndex.erase(it);
    }
}

void ArmTimer(Dispatcher& d, KTIMER* timer, Time due) {
    auto position = d.timers.emplace(std::make_pair(due, d.timerSequence++), timer);
    d.timerIndex[timer] = position;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
}

}  // namespace

Dispatcher& Dispatcher::Get() {
    // Never destroyed: system threads and exiting threads use it until the process ends.
    static Dispatcher* dispatcher = new Dispatcher();
    return *dispatcher;
}

void RegisterThread(ThreadState& thread, const std::string& name) {
    Dispatcher& d = Dispatcher::Get();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!name.empty()) {
        thread.name = name;
    }
    if (!thread.registered) {
        thread.registered = true;
        d.threads.push_back(&thread);
    }
}

void UnregisterThread(ThreadState& thread) {
    Dispatcher& d = Dispatcher::Get();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.threads.erase(std::remove(d.threads.begin(), d.threads.end(), &thread), d.threads.end());
    thread.registered = false;
    thread.waiting = false;
    d.MaybeAdvance();
    d.Notify();
}

bool Dispatcher::Block(std::unique_lock<std::mutex>& lock, ThreadState& self,
                       const std::function<bool()>& ready, Time deadline) {
    while (true) {
        if (ready()) {
            return true;
        }
        if (deadline != kNoDeadline && now.load() >= deadline) {
            return false;
        }
        self.waiting = true;
        self.ready = &ready;
        self.deadline = deadline;
        MaybeAdvance();
        if (!ready() && (deadline == kNoDeadline || now.load() < deadline)) {
            cv.wait_for(lock, kRecheckInterval);
        }
        self.waiting = false;
        self.ready = nullptr;
        self.deadline = kNoDeadline;
    }
}

void Dispatcher::MaybeAdvance() {
    if (!autoAdvance) {
        return;
    }
    const Time current = now.load();
    Time earliest = kNoDeadline;
    for (ThreadState* thread : threads) {
        const bool runnable = !thread->waiting ||
                              (thread->ready != nullptr && (*thread->ready)()) ||
                              thread->deadline <= current;
        if (runnable) {
            allIdleSinceMs_ = -1;
            deadlockReported_ = false;
            return;
        }
        earliest = std::min(earliest, thread->deadline);
    }
    if (earliest != kNoDeadline) {
        allIdleSinceMs_ = -1;
        now.store(earliest);
        Notify();
        return;
    }
    const int64_t real = RealMilliseconds();
    if (allIdleSinceMs_ < 0) {
        allIdleSinceMs_ = real;
    } else if (real - allIdleSinceMs_ > kDeadlockGraceMs && !deadlockReported_) {
        deadlockReported_ = true;
        std::string names;
        for (ThreadState* thread : threads) {
            names += names.empty() ? "" : ", ";
            names += thread->name.empty() ? "unnamed" : thread->name;
        }
        Report(Violation::Deadlock, "every kernel thread (" + names +
                                        ") has been blocked without a timeout for " +
                                        std::to_string(kDeadlockGraceMs / 1000) + " s");
    }
}

bool Dispatcher::Idle() const {
    if (!dpcQueue.empty() || dpcsRunning != 0 || workRunning != 0) {
        return false;
    }
    for (const auto& queue : workQueue) {
        if (!queue.empty()) {
            return false;
        }
    }
    return timers.empty() || timers.begin()->first.first > now.load();
}

void Dispatcher::QueueWork(WORK_QUEUE_TYPE queue, WorkEntry entry) {
    if (queue < CriticalWorkQueue || queue >= MaximumWorkQueue) {
        queue = DelayedWorkQueue;
    }
    workQueue[queue].push_back(std::move(entry));
    Notify();
}

void Dispatcher::EnsureSystemThreads() {
    std::call_once(started_, [this] {
        std::mutex startMutex;
        std::condition_variable started;
        int running = 0;
        auto launch = [&](std::function<void()> body, const char* name) {
            std::thread([&, body, name] {
                ThreadState& self = Self();
                RegisterThread(self, name);
                self.system = true;
                {
                    std::lock_guard<std::mutex> lock(startMutex);
                    ++running;
                    started.notify_all();
                }
                body();
            }).detach();
        };
        launch([this] { DpcThreadMain(); }, "dpc");
        launch([this] { WorkerThreadMain(CriticalWorkQueue); }, "critical-worker");
        launch([this] { WorkerThreadMain(DelayedWorkQueue); }, "delayed-worker");
        launch([this] { WorkerThreadMain(HyperCriticalWorkQueue); }, "hypercritical-worker");
        std::unique_lock<std::mutex> lock(startMutex);
        started.wait(lock, [&] { return running == 4; });
    });
}

void Dispatcher::FireDueTimers() {
    while (!timers.empty() && timers.begin()->first.first <= now.load()) {
        auto it = timers.begin();
        KTIMER* timer = it->second;
        const Time due = it->first.first;
        timers.erase(it);
        timerIndex.erase(timer);
        timer->Header.SignalState = 1;
        if (timer->Period != 0) {
            ArmTimer(*this, timer, due + static_cast<Time>(timer->Period) * 10000);
        }
        if (timer->Dpc != nullptr) {
            InsertDpc(*this, timer->Dpc, reinterpret_cast<PVOID>(static_cast<uintptr_t>(due)),
                      nullptr);
        }
        Notify();
    }
}

void Dispatcher::DpcThreadMain() {
    ThreadState& self = Self();
    std::unique_lock<std::mutex> lock(mutex);
    Time next = kNoDeadline;
    // Woken by a DPC, a due timer, or a change of the earliest timer (the sleep's deadline).
    const std::function<bool()> ready = [this, &next] {
        const Time earliest = timers.empty() ? kNoDeadline : timers.begin()->first.first;
        return !dpcQueue.empty() || earliest <= now.load() || earliest != next;
    };
    while (true) {
        FireDueTimers();
        if (!dpcQueue.empty()) {
            KDPC* dpc = dpcQueue.front();
            dpcQueue.pop_front();
            dpc->DpcData = nullptr;
            const PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            const PVOID context = dpc->DeferredContext;
            const PVOID argument1 = dpc->SystemArgument1;
            const PVOID argument2 = dpc->SystemArgument2;
            auto owner = dpcOwners.find(dpc);
            DRIVER_OBJECT* driver = owner == dpcOwners.end() ? nullptr : owner->second;
            ++dpcsRunning;
            lock.unlock();
            self.irql = DISPATCH_LEVEL;
            {
                DriverCall call(driver, nullptr, FrameKind::Dpc);
                routine(dpc, context, argument1, argument2);
            }
            self.irql = PASSIVE_LEVEL;
            lock.lock();
            --dpcsRunning;
            Notify();
            continue;
        }
        next = timers.empty() ? kNoDeadline : timers.begin()->first.first;
        Block(lock, self, ready, next);
    }
}

void Dispatcher::WorkerThreadMain(WORK_QUEUE_TYPE queue) {
    ThreadState& self = Self();
    std::unique_lock<std::mutex> lock(mutex);
    const std::function<bool()> ready = [this, queue] {
        return !workQueue[queue].empty() && (dpcsRunning == 0 || !UniprocessorKernel());
    };
    while (true) {
        if (!ready()) {
            Block(lock, self, ready, kNoDeadline);
            continue;
        }
        WorkEntry entry = std::move(workQueue[queue].front());
        workQueue[queue].pop_front();
        // The routine may queue or free its work item again.
        bool freeAfterRun = false;
        if (entry.item != nullptr) {
            entry.item->queued = false;
            freeAfterRun = entry.item->freeAfterRun;
        }
        ++workRunning;
        lock.unlock();
        if (entry.task) {
            entry.task();
        } else {
            {
                DriverCall call(entry.driver, entry.device, FrameKind::WorkItem);
                entry.routine(entry.device, entry.context);
            }
            if (freeAfterRun) {
                PoolFree(entry.item, nullptr, "IoFreeWorkItem");
            }
            ObfDereferenceObject(entry.device);
        }
        lock.lock();
        --workRunning;
        Notify();
    }
}

Time DeadlineFromTimeout(const LARGE_INTEGER* timeout) {
    const Time current = Dispatcher::Get().now.load();
    if (timeout == nullptr) {
        return kNoDeadline;
    }
    const LONGLONG value = timeout->QuadPart;
    if (value < 0) {
        return value == INT64_MIN || current > kNoDeadline + value ? kNoDeadline : current - value;
    }
    if (value == 0) {
        return current;
    }
    return std::max(current, value - kBootSystemTime);
}

}  // namespace host::kernel::detail

// ---------------------------------------------------------------------------------------------
// Host API

namespace host::kernel {

using namespace detail;

int64_t Now() {
    return Dispatcher::Get().now.load();
}

void AdvanceTime(int64_t units) {
    ThreadState& self = Self();
    Dispatcher& d = Dispatcher::Get();
    d.EnsureSystemThreads();
    std::unique_lock<std::mutex> lock(d.mutex);
    const Time target = d.now.load() + std::max<int64_t>(units, 0);
    const std::function<bool()> idle = [&d] { return d.Idle(); };
    while (true) {
        Time next = target;
        if (!d.timers.empty()) {
            next = std::min(next, d.timers.begin()->first.first);
        }
        if (next > d.now.load()) {
            d.now.store(next);
            d.Notify();
        }
        d.Block(lock, self, idle, kNoDeadline);
        if (d.now.load() >= target) {
            return;
        }
    }
}

void SetAutoAdvance(bool enabled) {
    Dispatcher& d = Dispatcher::Get();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.autoAdvance = enabled;
    d.MaybeAdvance();
    d.Notify();
}

void Settle() {
    ThreadState& self = Self();
    Dispatcher& d = Dispatcher::Get();
    std::unique_lock<std::mutex> lock(d.mutex);
    const std::function<bool()> idle = [&d] {
        if (!d.dpcQueue.empty() || d.dpcsRunning != 0 || d.workRunning != 0) {
            return false;
        }
        for (const auto& queue : d.workQueue) {
            if (!queue.empty()) {
                return false;
            }
        }
        return true;
    };
    d.Block(lock, self, idle, kNoDeadline);
}

void AttachCurrentThread(const std::string& name) {
    RegisterThread(Self(), name);
}

void DetachCurrentThread() {
    ThreadState& self = Self();
    UnregisterThread(self);
}

bool IsCurrentThreadAttached() {
    return SelfRegistered();
}

KernelEntry::KernelEntry() : attached_(!SelfRegistered()) {
    if (attached_) {
        AttachCurrentThread();
    }
}

KernelEntry::~KernelEntry() {
    if (attached_) {
        DetachCurrentThread();
    }
}

ExternalWait::ExternalWait() {
    ThreadState& self = Self();
    Dispatcher& d = Dispatcher::Get();
    std::lock_guard<std::mutex> lock(d.mutex);
    self.waiting = true;
    self.ready = nullptr;
    self.deadline = kNoDeadline;
    d.MaybeAdvance();
}

ExternalWait::~ExternalWait() {
    ThreadState& self = Self();
    Dispatcher& d = Dispatcher::Get();
    std::lock_guard<std::mutex> lock(d.mutex);
    self.waiting = false;
}

Thread::Thread(std::string name, std::function<void()> body) {
    std::mutex startMutex;
    std::condition_variable started;
    bool running = false;
    thread_ = std::thread([&startMutex, &started, &running, name, body = std::move(body)] {
        AttachCurrentThread(name);
        {
            std::lock_guard<std::mutex> lock(startMutex);
            running = true;
            started.notify_all();
        }
        body();
    });
    std::unique_lock<std::mutex> lock(startMutex);
    started.wait(lock, [&] { return running; });
}

Thread::~Thread() {
    if (thread_.joinable()) {
        Join();
    }
}

Thread::Thread(Thread&& other) noexcept = default;

Thread& Thread::operator=(Thread&& other) noexcept {
    if (thread_.joinable()) {
        Join();
    }
    thread_ = std::move(other.thread_);
    return *this;
}

void Thread::Join() {
    ExternalWait wait;
    thread_.join();
}

void DispatcherMutex::lock() {
    ThreadState& self = Self();
    Dispatcher& d = Dispatcher::Get();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (owner_ == &self) {
        ++depth_;
        return;
    }
    const std::function<bool()> free = [this] { return owner_ == nullptr; };
    d.Block(lock, self, free, kNoDeadline);
    owner_ = &self;
    depth_ = 1;
}

void DispatcherMutex::unlock() {
    Dispatcher& d = Dispatcher::Get();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (--depth_ == 0) {
        owner_ = nullptr;
        d.Notify();
    }
}

}  // namespace host::kernel

// ---------------------------------------------------------------------------------------------
// Kernel routines

using namespace host::kernel::detail;
using host::kernel::Violation;

namespace {

bool ValidEvent(PRKEVENT event, const char* api) {
    if (event == nullptr || !IsEvent(event->Header)) {
        Report(Violation::InvalidObject, std::string(api) +
                                             " on an object that is not an "
                                             "initialised event");
        return false;
    }
    return true;
}

// The wait behind KeWaitForSingleObject and KeWaitForMultipleObjects.
NTSTATUS WaitFor(ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout,
                 const char* api) {
    ThreadState& self = Self();
    const bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (!poll && self.irql > APC_LEVEL) {
        Report(Violation::WaitAtRaisedIrql,
               std::string(api) + (timeout == nullptr ? " without a timeout" : " with a timeout") +
                   " at " + IrqlName(self.irql));
    } else if (poll && self.irql > DISPATCH_LEVEL) {
        Report(Violation::WaitAtRaisedIrql, std::string(api) + " at " + IrqlName(self.irql));
    }
    for (ULONG i = 0; i < count; ++i) {
        const DISPATCHER_HEADER* header = static_cast<DISPATCHER_HEADER*>(objects[i]);
        if (header == nullptr || (!IsEvent(*header) && !IsTimer(*header))) {
            Report(Violation::InvalidObject,
                   std::string(api) + " on an object that is not an initialised event or timer");
            return STATUS_INVALID_PARAMETER;
        }
    }
    Dispatcher& d = Dispatcher::Get();
    const Time deadline = DeadlineFromTimeout(timeout);
    std::unique_lock<std::mutex> lock(d.mutex);
    ULONG satisfied = 0;
    const std::function<bool()> ready = [&] {
        for (ULONG i = 0; i < count; ++i) {
            const bool signalled = static_cast<DISPATCHER_HEADER*>(objects[i])->SignalState > 0;
            if (type == WaitAny && signalled) {
                satisfied = i;
                return true;
            }
            if (type == WaitAll && !signalled) {
                return false;
            }
        }
        return type == WaitAll;
    };
    if (!d.Block(lock, self, ready, deadline)) {
        return STATUS_TIMEOUT;
    }
    for (ULONG i = 0; i < count; ++i) {
        if (type == WaitAny && i != satisfied) {
            continue;
        }
        DISPATCHER_HEADER* header = static_cast<DISPATCHER_HEADER*>(objects[i]);
        if (header->Type == EventSynchronizationObject ||
            header->Type == TimerSynchronizationObject) {
            header->SignalState = 0;
        }
    }
    return type == WaitAny ? STATUS_WAIT_0 + static_cast<NTSTATUS>(satisfied) : STATUS_SUCCESS;
}

}  // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    InitializeHeader(
        Event->Header,
        Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject,
        sizeof(KEVENT) / sizeof(LONG), State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    CheckIrql(DISPATCH_LEVEL, "KeSetEvent");
    if (!ValidEvent(Event, "KeSetEvent")) {
        return 0;
    }
    Dispatcher& d = Dispatcher::Get();
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
        d.Notify();
    }
    const int delay = g_completionSignalDelayMs.load();
    const Frame* frame = CurrentFrame();
    if (delay > 0 && frame != nullptr && frame->kind == FrameKind::Completion) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    CheckIrql(DISPATCH_LEVEL, "KeResetEvent");
    if (!ValidEvent(Event, "KeResetEvent")) {
        return 0;
    }
    Dispatcher& d = Dispatcher::Get();
    std::lock_guard<std::mutex> lock(d.mutex);
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    KeResetEvent(Event);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    if (!ValidEvent(Event, "KeReadStateEvent")) {
        return 0;
    }
    Dispatcher& d = Dispatcher::Get();
    std::lock_guard<std::mutex> lock(d.mutex);
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    PVOID objects[1] = {Object};
    return WaitFor(1, objects, WaitAny, Timeout, "KeWaitForSingleObject");
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                        BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    UNREFERENCED_PARAMETER(WaitBlockArray);
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS ||
        (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    return WaitFor(Count, Object, WaitType, Timeout, "KeWaitForMultipleObjects");
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    ThreadState& self = Self();
    if (self.irql > APC_LEVEL) {
        Report(Violation::WaitAtRaisedIrql,
               std::string("KeDelayExecutionThread at ") + IrqlName(self.irql));
    }
    Dispatcher& d = Dispatcher::Get();
    const Time deadline = DeadlineFromTimeout(Interval);
    std::unique_lock<std::mutex> lock(d.mutex);
    const std::function<bool()> never = [] { return false; };
    if (deadline != kNoDeadline) {
        d.Block(lock, self, never, deadline);
    }
    return STATUS_SUCCESS;
}

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    Dispatcher& d = Dispatcher::Get();
    std::lock_guard<std::mutex> lock(d.mutex);
    RemoveTimer(d, Timer);
    InitializeHeader(
        Timer->Header,
        Type == SynchronizationTimer ? TimerSynchronizationObject : TimerNotificationObject,
        sizeof(KTIMER) / sizeof(LONG), 0);
    Timer->DueTime.QuadPart = 0;
    Timer->TimerListEntry.Flink = &Timer->TimerListEntry;
    Timer->TimerListEntry.Blink = &Timer->TimerListEntry;
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    CheckIrql(DISPATCH_LEVEL, "KeSetTimer");
    if (Timer == nullptr || !IsTimer(Timer->Header)) {
        Report(Violation::InvalidObject,
               "KeSetTimer on an object that is not an initialised "
               "timer");
        return FALSE;
    }
    DRIVER_OBJECT* owner = CurrentDriver();
    Dispatcher& d = Dispatcher::Get();
    d.EnsureSystemThreads();
    const Time due = DeadlineFromTimeout(&DueTime);
    std::lock_guard<std::mutex> lock(d.mutex);
    const bool wasSet = d.timerIndex.count(Timer) != 0;
    RemoveTimer(d, Timer);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = static_cast<ULONG>(Period < 0 ? 0 : Period);
    ArmTimer(d, Timer, due);
    d.timerOwners[Timer] = owner;
    d.Notify();
    return wasSet ? TRUE : FALSE;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    CheckIrql(DISPATCH_LEVEL, "KeCancelTimer");
    Dispatcher& d = Dispatcher::Get();
    std::lock_guard<std::mutex> lock(d.mutex);
    const bool wasSet = d.timerIndex.count(Timer) != 0;
    RemoveTimer(d, Timer);
    return wasSet ? TRUE : FALSE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    Dispatcher& d = Dispatcher::Get();
    std::lock_guard<std::mutex> lock(d.mutex);
    return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    DRIVER_OBJECT* owner = CurrentDriver();
    Dpc->Type = DpcObject;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = nullptr;
    Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
    Dispatcher& d = Dispatcher::Get();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.dpcOwners[Dpc] = owner;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    Dispatcher& d = Dispatcher::Get();
    d.EnsureSystemThreads();
    std::lock_guard<std::mutex> lock(d.mutex);
    return InsertDpc(d, Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    Dispatcher& d = Dispatcher::Get();
    std::lock_guard<std::mutex> lock(d.mutex);
    auto it = std::find(d.dpcQueue.begin(), d.dpcQueue.end(), Dpc);
    if (it == d.dpcQueue.end()) {
        return FALSE;
    }
    d.dpcQueue.erase(it);
    Dpc->DpcData = nullptr;
    return TRUE;
}

VOID NTAPI KeFlushQueuedDpcs(VOID) {
    CheckIrql(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    ThreadState& self = Self();
    Dispatcher& d = Dispatcher::Get();
    std::unique_lock<std::mutex> lock(d.mutex);
    const std::function<bool()> drained = [&d] { return d.dpcQueue.empty() && d.dpcsRunning == 0; };
    d.Block(lock, self, drained, kNoDeadline);
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
    return static_cast<ULONGLONG>(Dispatcher::Get().now.load());
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = kBootSystemTime + Dispatcher::Get().now.load();
}

ULONG NTAPI KeQueryTimeIncrement(VOID) {
    return 156250;
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    UNREFERENCED_PARAMETER(MicroSeconds);
}

}  // extern "C"
