#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "toy_drivers.h"

namespace {

using host::kernel::VerifierCapture;
using host::kernel::Violation;
using toy::BusBehavior;

// A driver that breaks one rule, chosen per test.
enum class Misdeed {
    None,
    CompleteTwice,
    ReturnAtDispatchLevel,
    CompleteWhatTheLowerDriverOwns,
    PendWithoutMarking,
    LeakPool,
    LeakIrp,
    LeaveTimerSet,
    ForwardWithoutALocation,
};

// A pool tag as it reads in memory ("Leak" is what pool tools show).
constexpr ULONG PoolTag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

std::atomic<Misdeed> g_misdeed{Misdeed::None};
PDEVICE_OBJECT g_lower = nullptr;
KTIMER g_timer;
KDPC g_dpc;

VOID NoopDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(context);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
}

NTSTATUS MisbehavingDispatch(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_SUCCESS;
    switch (g_misdeed.load()) {
        case Misdeed::CompleteTwice:
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        case Misdeed::ReturnAtDispatchLevel: {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        case Misdeed::CompleteWhatTheLowerDriverOwns: {
            IoSkipCurrentIrpStackLocation(irp);
            const NTSTATUS status = IoCallDriver(g_lower, irp);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        case Misdeed::ForwardWithoutALocation:
            return IoCallDriver(g_lower, irp);
        case Misdeed::PendWithoutMarking:
            IoSkipCurrentIrpStackLocation(irp);
            IoCallDriver(g_lower, irp);
            return STATUS_PENDING;
        default:
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
    }
}

VOID MisbehavingUnload(PDRIVER_OBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
}

NTSTATUS MisbehavingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (auto& function : driver->MajorFunction) {
        function = MisbehavingDispatch;
    }
    driver->DriverUnload = MisbehavingUnload;
    switch (g_misdeed.load()) {
        case Misdeed::LeakPool:
            ExAllocatePoolWithTag(NonPagedPoolNx, 100, PoolTag("Leak"));
            break;
        case Misdeed::LeakIrp:
            IoAllocateIrp(2, FALSE);
            break;
        case Misdeed::LeaveTimerSet: {
            KeInitializeTimer(&g_timer);
            KeInitializeDpc(&g_dpc, NoopDpc, nullptr);
            LARGE_INTEGER due;
            due.QuadPart = -10000000;
            KeSetTimer(&g_timer, due, &g_dpc);
            break;
        }
        default:
            break;
    }
    return STATUS_SUCCESS;
}

class VerifierTest : public toy::KernelTest {
  protected:
    void SetUp() override {
        toy::KernelTest::SetUp();
        host::kernel::RegisterDriverImage("misbehave.sys", MisbehavingEntry);
        g_misdeed = Misdeed::None;
    }

    PDRIVER_OBJECT LoadMisbehaving(Misdeed misdeed) {
        g_misdeed = misdeed;
        PDRIVER_OBJECT driver = nullptr;
        EXPECT_EQ(host::kernel::LoadDriver("misbehave", "misbehave.sys", &driver), STATUS_SUCCESS);
        return driver;
    }

    PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver) {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    // Sends an internal request without waiting for it; its event and status block live in
    // the fixture, so a late completion still has somewhere to report to.
    void Send(PDEVICE_OBJECT device) {
        KeInitializeEvent(&sentEvent_, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, TRUE,
                                                 &sentEvent_, &sentStatus_);
        IoCallDriver(device, irp);
    }

    KEVENT sentEvent_;
    IO_STATUS_BLOCK sentStatus_{};
};

TEST_F(VerifierTest, WaitsAboveApcLevelAreReportedButPollsAtDispatchLevelAreNot) {
    struct Case {
        KIRQL irql;
        LONGLONG timeout;  // 1 stands for "no timeout"
        bool reported;
    } cases[] = {
        {DISPATCH_LEVEL, -10000, true}, {DISPATCH_LEVEL, 1, true}, {DISPATCH_LEVEL, 0, false},
        {APC_LEVEL, -10000, false},     {PASSIVE_LEVEL, 1, false},
    };
    for (const Case& c : cases) {
        VerifierCapture capture;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        LARGE_INTEGER timeout;
        timeout.QuadPart = c.timeout;
        KIRQL old;
        KeRaiseIrql(c.irql, &old);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE,
                              c.timeout == 1 ? nullptr : &timeout);
        KeLowerIrql(old);
        EXPECT_EQ(capture.Count(Violation::WaitAtRaisedIrql), c.reported ? 1u : 0u)
            << "IRQL " << int(c.irql) << ", timeout " << c.timeout;
    }
}

TEST_F(VerifierTest, DelayingAtDispatchLevelIsReported) {
    VerifierCapture capture;
    LARGE_INTEGER interval;
    interval.QuadPart = -10000;
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    KeLowerIrql(old);
    EXPECT_EQ(capture.Count(Violation::WaitAtRaisedIrql), 1u);
}

TEST_F(VerifierTest, DispatchRoutineMisdeedsAreReported) {
    struct Case {
        Misdeed misdeed;
        BusBehavior lower;
        Violation violation;
    } cases[] = {
        {Misdeed::CompleteTwice, BusBehavior::Complete, Violation::IrpDoubleCompletion},
        {Misdeed::ReturnAtDispatchLevel, BusBehavior::Complete, Violation::IrqlNotRestored},
        {Misdeed::CompleteWhatTheLowerDriverOwns, BusBehavior::Pend, Violation::IrpNotOwned},
        {Misdeed::PendWithoutMarking, BusBehavior::Complete, Violation::IrpBadCompletion},
    };
    for (const Case& c : cases) {
        SetUp();
        VerifierCapture capture;
        PDRIVER_OBJECT driver = LoadMisbehaving(c.misdeed);
        PDEVICE_OBJECT device = CreateDevice(driver);
        g_lower = toy::CreateBusDevice(toy::LoadBus(), nullptr, c.lower);
        ASSERT_NE(IoAttachDeviceToDeviceStack(device, g_lower), nullptr);
        Send(device);
        toy::CompletePending(STATUS_SUCCESS, PASSIVE_LEVEL);
        EXPECT_GE(capture.Count(c.violation), 1u) << host::kernel::ViolationName(c.violation);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the kernel restores what it reports";
        host::kernel::Reset();
    }
}

TEST_F(VerifierTest, WhatADriverLeavesBehindIsReportedWhenItUnloads) {
    struct Case {
        Misdeed misdeed;
        Violation violation;
    } cases[] = {
        {Misdeed::LeakPool, Violation::PoolLeakAtUnload},
        {Misdeed::LeakIrp, Violation::IrpLeaked},
        {Misdeed::LeaveTimerSet, Violation::PendingOperationsAtUnload},
    };
    for (const Case& c : cases) {
        SetUp();
        VerifierCapture capture;
        PDRIVER_OBJECT driver = LoadMisbehaving(c.misdeed);
        EXPECT_TRUE(host::kernel::RequestDriverUnload(driver));
        const std::vector<host::kernel::VerifierReport> reports = capture.Take();
        ASSERT_EQ(reports.size(), 1u) << host::kernel::ViolationName(c.violation);
        EXPECT_EQ(reports[0].violation, c.violation);
        EXPECT_NE(reports[0].message.find("\\Driver\\misbehave"), std::string::npos)
            << reports[0].message;
    }
}

TEST_F(VerifierTest, PoolLeakReportNamesTagAndSize) {
    VerifierCapture capture;
    PDRIVER_OBJECT driver = LoadMisbehaving(Misdeed::LeakPool);
    EXPECT_EQ(host::kernel::DriverPoolUsage(driver).bytes, 100u);
    host::kernel::RequestDriverUnload(driver);
    const std::vector<host::kernel::VerifierReport> reports = capture.Take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].message.find("'Leak' 100 bytes"), std::string::npos) << reports[0].message;
}

TEST_F(VerifierTest, RequestsIntoADeletedDeviceAreReported) {
    VerifierCapture capture;
    PDRIVER_OBJECT bus = toy::LoadBus();
    PDEVICE_OBJECT bottom = toy::CreateBusDevice(bus, nullptr, BusBehavior::Complete);
    ASSERT_EQ(host::kernel::CallAddDevice(toy::LoadFilter(), bottom), STATUS_SUCCESS);
    // The filter still sits on the device, so its memory stays while the deletion waits.
    IoDeleteDevice(bottom);
    EXPECT_TRUE(capture.Empty());

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(0, bottom, nullptr, 0, nullptr, 0, TRUE, &event, &status);
    ASSERT_NE(irp, nullptr);
    IoCallDriver(bottom, irp);
    EXPECT_EQ(capture.Count(Violation::RequestToDeletedDevice), 1u);
}

TEST_F(VerifierTest, DeviceAndPoolMisuseAreReported) {
    VerifierCapture capture;
    PDRIVER_OBJECT bus = toy::LoadBus();
    PDEVICE_OBJECT lower = toy::CreateBusDevice(bus, nullptr, BusBehavior::Complete);
    PDEVICE_OBJECT upper = toy::CreateBusDevice(bus, nullptr, BusBehavior::Complete);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    IoDeleteDevice(upper);  // still attached
    EXPECT_EQ(capture.Count(Violation::DeviceMisuse), 1u);
    EXPECT_EQ(lower->AttachedDevice, nullptr) << "the kernel detaches it to carry on safely";
    IoDeleteDevice(upper);  // twice
    EXPECT_EQ(capture.Count(Violation::DeviceMisuse), 2u);

    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("Pool"));
    ExFreePoolWithTag(block, PoolTag("XTag"));
    ExFreePool(block);
    EXPECT_EQ(capture.Count(Violation::PoolMisuse), 2u);
}

TEST_F(VerifierTest, AnIrpNeverCompletedIsReportedAtReset) {
    VerifierCapture capture;
    PDEVICE_OBJECT device = toy::CreateBusDevice(toy::LoadBus(), nullptr, BusBehavior::Pend);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, TRUE, &event, &status);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    toy::CompletePending(STATUS_SUCCESS, PASSIVE_LEVEL);
    EXPECT_TRUE(capture.Empty());

    irp = IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, TRUE, &event, &status);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    host::kernel::Reset();
    EXPECT_EQ(capture.Count(Violation::IrpLeaked), 1u);
}

TEST_F(VerifierTest, RoutinesCalledAboveTheirIrqlAreReported) {
    PDRIVER_OBJECT bus = toy::LoadBus();
    // Each case prepares at PASSIVE_LEVEL and returns the call to make at DISPATCH_LEVEL.
    struct Case {
        const char* name;
        std::function<std::function<void()>()> prepare;
    } cases[] = {
        {"IoDeleteDevice",
         [bus] {
             PDEVICE_OBJECT device = toy::CreateBusDevice(bus, nullptr, BusBehavior::Complete);
             return std::function<void()>([device] { IoDeleteDevice(device); });
         }},
        {"IoDeleteSymbolicLink",
         [] {
             return std::function<void()>([] {
                 UNICODE_STRING link;
                 RtlInitUnicodeString(&link, reinterpret_cast<PCWSTR>(u"\\DosDevices\\None"));
                 IoDeleteSymbolicLink(&link);
             });
         }},
        {"IoBuildDeviceIoControlRequest",
         [this, bus] {
             PDEVICE_OBJECT device = toy::CreateBusDevice(bus, nullptr, BusBehavior::Complete);
             return std::function<void()>([this, device] { Send(device); });
         }},
    };
    for (const Case& c : cases) {
        VerifierCapture capture;
        std::function<void()> call = c.prepare();
        KIRQL old = KeRaiseIrqlToDpcLevel();
        call();
        KeLowerIrql(old);
        EXPECT_EQ(capture.Count(Violation::IrqlTooHigh), 1u) << c.name;
    }
}

TEST_F(VerifierTest, RunningOutOfStackLocationsIsReported) {
    VerifierCapture capture;
    PDRIVER_OBJECT driver = LoadMisbehaving(Misdeed::ForwardWithoutALocation);
    PDEVICE_OBJECT device = CreateDevice(driver);
    g_lower = toy::CreateBusDevice(toy::LoadBus(), nullptr, BusBehavior::Complete);
    PIRP irp = IoAllocateIrp(1, FALSE);  // the misbehaving driver's own location only
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoCallDriver(device, irp);
    EXPECT_EQ(capture.Count(Violation::IrpStackOverflow), 1u);
    host::kernel::Reset();
}

TEST_F(VerifierTest, ByDefaultAViolationEndsTheProcessWithItsName) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, PoolTag("Pool"));
            ExFreePool(block);
            ExFreePool(block);
        },
        "verifier: PoolMisuse");
}

}  // namespace
