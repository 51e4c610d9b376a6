#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "toy_drivers.h"

namespace {

using host::kernel::Now;

class DispatcherTest : public toy::KernelTest {};

LARGE_INTEGER Relative(LONGLONG units) {
    LARGE_INTEGER value;
    value.QuadPart = -units;
    return value;
}

TEST_F(DispatcherTest, TimedWaitTimesOutAfterExactlyItsTimeoutOfVirtualTime) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Relative(25000000);
    const int64_t before = Now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_EQ(Now() - before, 25000000);

    LARGE_INTEGER interval = Relative(10000000);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_EQ(Now() - before, 35000000);
}

TEST_F(DispatcherTest, EventTypesDifferInWhetherASatisfiedWaitResetsThem) {
    struct Case {
        EVENT_TYPE type;
        NTSTATUS secondPoll;
    } cases[] = {
        {NotificationEvent, STATUS_SUCCESS},
        {SynchronizationEvent, STATUS_TIMEOUT},
    };
    for (const Case& c : cases) {
        KEVENT event;
        KeInitializeEvent(&event, c.type, FALSE);
        LARGE_INTEGER poll = Relative(0);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll),
                  STATUS_TIMEOUT);
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll),
                  STATUS_SUCCESS);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), c.secondPoll);
    }
}

TEST_F(DispatcherTest, WaitForAnyReportsWhichObjectWasSignalled) {
    KEVENT first;
    KEVENT second;
    KeInitializeEvent(&first, NotificationEvent, FALSE);
    KeInitializeEvent(&second, NotificationEvent, TRUE);
    PVOID objects[] = {&first, &second};
    LARGE_INTEGER poll = Relative(0);
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
        STATUS_WAIT_1);
    EXPECT_EQ(
        KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr),
        STATUS_TIMEOUT);
}

struct DpcRecord {
    std::mutex mutex;
    std::vector<int> order;
    KIRQL irql = PASSIVE_LEVEL;
    std::thread::id thread;
};

VOID RecordDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    auto* record = static_cast<DpcRecord*>(context);
    std::lock_guard<std::mutex> lock(record->mutex);
    record->order.push_back(static_cast<int>(reinterpret_cast<uintptr_t>(dpc->SystemArgument2)));
    record->irql = KeGetCurrentIrql();
    record->thread = std::this_thread::get_id();
}

TEST_F(DispatcherTest, TimerRunsItsDpcAtDispatchLevelOnceDue) {
    DpcRecord record;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, RecordDpc, &record);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(500000), &dpc));

    host::kernel::AdvanceTimeMs(49);
    EXPECT_TRUE(record.order.empty());
    EXPECT_FALSE(KeReadStateTimer(&timer));
    host::kernel::AdvanceTimeMs(1);
    std::lock_guard<std::mutex> lock(record.mutex);
    EXPECT_EQ(record.order.size(), 1u);
    EXPECT_EQ(record.irql, DISPATCH_LEVEL);
    EXPECT_NE(record.thread, std::this_thread::get_id());
    EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(DispatcherTest, CancelledTimerNeverFires) {
    DpcRecord record;
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, RecordDpc, &record);
    KeSetTimer(&timer, Relative(100000), &dpc);
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    host::kernel::AdvanceTimeMs(100);
    EXPECT_TRUE(record.order.empty());
}

struct NamedDpc {
    DpcRecord* record;
    int name;
};

VOID RecordName(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    auto* named = static_cast<NamedDpc*>(context);
    std::lock_guard<std::mutex> lock(named->record->mutex);
    named->record->order.push_back(named->name);
}

TEST_F(DispatcherTest, TimersFireInTheOrderTheyFallDue) {
    DpcRecord record;
    KTIMER timers[3];
    KDPC dpcs[3];
    NamedDpc names[3] = {{&record, 30}, {&record, 10}, {&record, 20}};
    for (int i = 0; i < 3; ++i) {
        KeInitializeTimer(&timers[i]);
        KeInitializeDpc(&dpcs[i], RecordName, &names[i]);
        KeSetTimer(&timers[i], Relative(names[i].name * 10000), &dpcs[i]);
    }
    host::kernel::AdvanceTimeMs(50);
    std::lock_guard<std::mutex> lock(record.mutex);
    EXPECT_EQ(record.order, (std::vector<int>{10, 20, 30}));
}

TEST_F(DispatcherTest, WaitOnATimerReturnsWhenItFires) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    const int64_t before = Now();
    KeSetTimer(&timer, Relative(300000), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Now() - before, 300000);
}

struct WorkRecord {
    KEVENT go;
    KIRQL irql = HIGH_LEVEL;
    std::thread::id thread;
    bool deviceDeleted = false;
    PVOID extension = nullptr;
    PIO_WORKITEM item = nullptr;
};

VOID RecordWork(PDEVICE_OBJECT device, PVOID context) {
    auto* record = static_cast<WorkRecord*>(context);
    KeWaitForSingleObject(&record->go, Executive, KernelMode, FALSE, nullptr);
    record->irql = KeGetCurrentIrql();
    record->thread = std::this_thread::get_id();
    record->deviceDeleted = host::kernel::IsDeviceDeleted(device);
    record->extension = device->DeviceExtension;  // the device must still be readable
    IoFreeWorkItem(record->item);
}

TEST_F(DispatcherTest, WorkItemRunsAtPassiveLevelAndKeepsItsDeviceUntilItHasRun) {
    PDEVICE_OBJECT device =
        toy::CreateBusDevice(toy::LoadBus(), nullptr, toy::BusBehavior::Complete);
    PVOID extension = device->DeviceExtension;
    WorkRecord record;
    KeInitializeEvent(&record.go, NotificationEvent, FALSE);
    record.item = IoAllocateWorkItem(device);
    ASSERT_NE(record.item, nullptr);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    IoQueueWorkItem(record.item, RecordWork, DelayedWorkQueue, &record);
    KeLowerIrql(old);
    IoDeleteDevice(device);
    KeSetEvent(&record.go, IO_NO_INCREMENT, FALSE);
    host::kernel::Settle();
    EXPECT_EQ(record.irql, PASSIVE_LEVEL);
    EXPECT_NE(record.thread, std::this_thread::get_id());
    EXPECT_TRUE(record.deviceDeleted);
    EXPECT_EQ(record.extension, extension);
}

struct DpcToWork {
    PIO_WORKITEM item = nullptr;
    std::atomic<bool> dpcReturning{false};
    std::atomic<int> workSawDpcRunning{-1};
};

VOID NoteWhetherTheDpcStillRan(PDEVICE_OBJECT, PVOID context) {
    auto* record = static_cast<DpcToWork*>(context);
    record->workSawDpcRunning = record->dpcReturning ? 1 : 0;
}

VOID QueueWorkThenLinger(PKDPC, PVOID context, PVOID, PVOID) {
    auto* record = static_cast<DpcToWork*>(context);
    IoQueueWorkItem(record->item, NoteWhetherTheDpcStillRan, DelayedWorkQueue, record);
    record->dpcReturning = true;
    // Long enough for a worker on another processor to be well inside its routine.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    record->dpcReturning = false;
}

TEST_F(DispatcherTest, OnOneProcessorAWorkItemQueuedByADpcStartsOnlyOnceTheDpcHasReturned) {
    // A driver of the oldest model deletes its device from a work item its timer DPC queues,
    // and may unload as soon as that has run: only a single processor makes that safe.
    host::kernel::SetWindowsVersion(host::kernel::WindowsVersion::Windows98);
    PDEVICE_OBJECT device =
        toy::CreateBusDevice(toy::LoadBus(), nullptr, toy::BusBehavior::Complete);
    DpcToWork record;
    record.item = IoAllocateWorkItem(device);
    ASSERT_NE(record.item, nullptr);
    KDPC dpc;
    KeInitializeDpc(&dpc, QueueWorkThenLinger, &record);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    host::kernel::Settle();
    EXPECT_EQ(record.workSawDpcRunning, 0);
    IoFreeWorkItem(record.item);
    IoDeleteDevice(device);
}

TEST_F(DispatcherTest, TheClockStandsStillWhileAnyKernelThreadRuns) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS waited = STATUS_PENDING;
    host::kernel::Thread waiter("waiter", [&] {
        LARGE_INTEGER timeout = Relative(100000);
        waited = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    // Real time passes while this thread works, virtual time does not.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.Join();
    EXPECT_EQ(waited, STATUS_SUCCESS);
}

TEST_F(DispatcherTest, WithoutAutoAdvanceOnlyTheTestMovesTheClock) {
    host::kernel::SetAutoAdvance(false);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<bool> armed{false};
    std::atomic<NTSTATUS> waited{STATUS_PENDING};
    host::kernel::Thread waiter("waiter", [&] {
        // An absolute deadline, fixed before the test is told to move the clock.
        LARGE_INTEGER deadline;
        KeQuerySystemTime(&deadline);
        deadline.QuadPart += 10000000;
        armed = true;
        waited = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline);
    });
    while (!armed) {
        std::this_thread::yield();
    }
    host::kernel::AdvanceTimeMs(999);
    EXPECT_EQ(waited.load(), STATUS_PENDING);
    host::kernel::AdvanceTimeMs(1);
    waiter.Join();
    EXPECT_EQ(waited.load(), STATUS_TIMEOUT);
}

}  // namespace
