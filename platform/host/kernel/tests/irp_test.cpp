#include <gtest/gtest.h>

#include "toy_drivers.h"

namespace {

using toy::BusBehavior;
using toy::FilterMode;

constexpr ULONG kEchoCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

class IrpTest : public toy::KernelTest {
  protected:
    // A bus device with the toy filter attached on top.
    PDEVICE_OBJECT BuildStack(BusBehavior behavior, NTSTATUS status = STATUS_SUCCESS) {
        PDRIVER_OBJECT bus = toy::LoadBus();
        PDRIVER_OBJECT filter = toy::LoadFilter();
        bottom_ = toy::CreateBusDevice(bus, nullptr, behavior, status);
        EXPECT_EQ(host::kernel::CallAddDevice(filter, bottom_), STATUS_SUCCESS);
        return bottom_->AttachedDevice;
    }

    PDEVICE_OBJECT bottom_ = nullptr;
};

TEST_F(IrpTest, RequestsPassThroughTheStackInEveryForwardingStyle) {
    struct Case {
        FilterMode mode;
        int completionCalls;
    } cases[] = {
        {FilterMode::Skip, 0},
        {FilterMode::CopyWithRoutine, 1},
        {FilterMode::Synchronous, 1},
    };
    for (const Case& c : cases) {
        SetUp();
        toy::g_filterMode = c.mode;
        PDEVICE_OBJECT top = BuildStack(BusBehavior::Complete);
        UCHAR input[3] = {1, 2, 3};
        UCHAR output[4] = {};
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK status{};
        PIRP irp = IoBuildDeviceIoControlRequest(kEchoCode, top, input, sizeof(input), output,
                                                 sizeof(output), FALSE, &event, &status);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(irp->StackCount, 2) << "one location per device in the stack";

        EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        EXPECT_EQ(status.Status, STATUS_SUCCESS);
        EXPECT_EQ(status.Information, 3u);
        EXPECT_EQ(output[0], 2);
        EXPECT_EQ(output[2], 4);
        EXPECT_EQ(output[3], 0) << "only Information bytes are copied back";
        EXPECT_EQ(toy::g_completionCalls, c.completionCalls);
        TearDown();
    }
}

TEST_F(IrpTest, CompletionRoutineRunsAtTheCompletersIrqlAndPendingPropagates) {
    toy::g_filterMode = FilterMode::CopyWithRoutine;
    PDEVICE_OBJECT top = BuildStack(BusBehavior::Pend);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(kEchoCode, top, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &status);
    ASSERT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);

    ASSERT_EQ(toy::CompletePending(STATUS_DEVICE_NOT_CONNECTED, DISPATCH_LEVEL), 1u);
    EXPECT_EQ(toy::g_completionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(status.Status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(IrpTest, SynchronousForwardWaitsForALowerDriverThatCompletesLater) {
    toy::g_filterMode = FilterMode::Synchronous;
    PDEVICE_OBJECT top = BuildStack(BusBehavior::Pend);
    host::kernel::Thread completer("completer", [] {
        LARGE_INTEGER millisecond;
        millisecond.QuadPart = -10000;
        while (toy::PendingCount() == 0) {
            KeDelayExecutionThread(KernelMode, FALSE, &millisecond);
        }
        toy::CompletePending(STATUS_SUCCESS, DISPATCH_LEVEL);
    });
    const host::kernel::RequestResult result = host::kernel::SendSystemRequest(top, [] {
        IO_STACK_LOCATION location{};
        location.MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        return location;
    }());
    completer.Join();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(toy::g_completionIrql, DISPATCH_LEVEL);
}

NTSTATUS ReclaimAndSignal(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpTest, AnIrpTakenBackWithMoreProcessingRequiredCanBeReusedAndFreed) {
    PDEVICE_OBJECT top = BuildStack(BusBehavior::Complete, STATUS_UNSUCCESSFUL);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    for (int round = 0; round < 2; ++round) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, ReclaimAndSignal, &event, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(top, irp), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    }
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CancelCallsTheCancelRoutineOfThePendingDriver) {
    PDEVICE_OBJECT top = BuildStack(BusBehavior::PendCancelable);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(kEchoCode, top, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &status);
    ASSERT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(status.Status, STATUS_CANCELLED);
    EXPECT_EQ(toy::PendingCount(), 0u);
}

TEST_F(IrpTest, CancellingARequestWithoutACancelRoutineOnlyMarksIt) {
    PDEVICE_OBJECT top = BuildStack(BusBehavior::Pend);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(kEchoCode, top, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &status);
    ASSERT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    toy::CompletePending(STATUS_CANCELLED, PASSIVE_LEVEL);
    EXPECT_EQ(status.Status, STATUS_CANCELLED);
}

}  // namespace
