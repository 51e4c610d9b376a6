// Driver entry, AddDevice, the pass-through with its outstanding count, remove, the control
// device and the deferred deletion, on the simulated machine with the verifier on.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "ampfx_driver.h"
#include "filtered_machine.h"
#include "host/kernel_threads.h"
#include "host/usbaudio_class_driver.h"
#include "shared_access.h"

namespace ampfx_test {
namespace {

namespace kernel = host::kernel;

constexpr const char* kControlDeviceName = "\\Device\\Class#UsbAmpfxSuite&0F1E&00";
constexpr uint16_t kHeadset = 0x160D;

size_t CountMessages(const std::string& text) {
    size_t count = 0;
    for (const std::string& message : kernel::DebugMessages())
        if (message == text)
            ++count;
    return count;
}

// A device whose internal requests can be held inside the bus driver's dispatch routine, so
// that a request is "in flight" through the filter for as long as a test likes.
class HoldingFunction : public host::BasicUsbFunction {
  public:
    HoldingFunction() : BasicUsbFunction(0x0F1E, kHeadset) {
        KeInitializeEvent(&release_, NotificationEvent, TRUE);
    }

    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override {
        ++entered_;
        KeWaitForSingleObject(&release_, Executive, KernelMode, FALSE, nullptr);
        return BasicUsbFunction::InternalDeviceControl(pdo, irp);
    }

    void Hold() { KeClearEvent(&release_); }
    void Release() { KeSetEvent(&release_, IO_NO_INCREMENT, FALSE); }
    int Entered() const { return entered_; }

  private:
    KEVENT release_;
    std::atomic<int> entered_{0};
};

URB AbortPipeUrb() {
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    return urb;
}

// An internal device control with the given code and first argument, sent straight to
// `device`.
kernel::RequestResult SendInternalTo(PDEVICE_OBJECT device, ULONG code, PVOID argument1) {
    IO_STACK_LOCATION location;
    RtlZeroMemory(&location, sizeof location);
    location.MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    location.Parameters.DeviceIoControl.IoControlCode = code;
    location.Parameters.Others.Argument1 = argument1;
    return kernel::SendSystemRequest(device, location, STATUS_SUCCESS);
}

kernel::RequestResult SendUrbTo(PDEVICE_OBJECT device, URB* urb) {
    return SendInternalTo(device, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

// Sees what reaches a driver's dispatch routine for one major function: the test's own
// stand-in for a filter between two drivers, restored when it goes.
class DispatchSpy {
  public:
    struct Arrival {
        UCHAR minor;
        NTSTATUS status;  // the IRP's status as it arrived
    };

    DispatchSpy(PDRIVER_OBJECT driver, UCHAR major)
        : driver_(driver), major_(major), original_(driver->MajorFunction[major]) {
        Spies()[major] = this;
        driver->MajorFunction[major] = Spy;
    }
    ~DispatchSpy() {
        driver_->MajorFunction[major_] = original_;
        Spies()[major_] = nullptr;
    }
    DispatchSpy(const DispatchSpy&) = delete;
    DispatchSpy& operator=(const DispatchSpy&) = delete;

    std::vector<Arrival> Arrivals() {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_;
    }

  private:
    static DispatchSpy** Spies() {
        static DispatchSpy* spies[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
        return spies;
    }
    static NTSTATUS NTAPI Spy(PDEVICE_OBJECT device, PIRP irp) {
        DispatchSpy* self = Spies()[IoGetCurrentIrpStackLocation(irp)->MajorFunction];
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->arrivals_.push_back(
                {IoGetCurrentIrpStackLocation(irp)->MinorFunction, irp->IoStatus.Status});
        }
        return self->original_(device, irp);
    }

    PDRIVER_OBJECT driver_;
    UCHAR major_;
    PDRIVER_DISPATCH original_;
    std::mutex mutex_;
    std::vector<Arrival> arrivals_;
};

TEST(DriverFrameTest, EntryChoosesTheNewestDriverModelTheSystemOffers) {
    const std::pair<kernel::WindowsVersion, ULONG> cases[] = {
        {kernel::WindowsVersion::Windows98, 1},         {kernel::WindowsVersion::WindowsMe, 2},
        {kernel::WindowsVersion::Windows2000, 3},       {kernel::WindowsVersion::WindowsXP, 4},
        {kernel::WindowsVersion::WindowsServer2003, 4}, {kernel::WindowsVersion::WindowsVista, 5},
    };
    for (const auto& [windows, expected] : cases) {
        FilteredMachine machine(windows);
        machine.Plug(kHeadset);
        EXPECT_EQ(WdmVersionClass, expected);
    }
}

TEST(DriverFrameTest, AddDeviceMirrorsTheLowerDeviceAndAnnouncesItself) {
    FilteredMachine machine;
    host::DevNode* node = machine.Plug(kHeadset);
    ASSERT_TRUE(node->Started());
    PDEVICE_OBJECT filter = FilteredMachine::FilterDevice(node);
    ASSERT_NE(filter, nullptr);
    PDEVICE_OBJECT pdo = node->Pdo();
    EXPECT_EQ(filter->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(filter->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH),
              pdo->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH));
    EXPECT_EQ(filter->DeviceType, pdo->DeviceType);
    PDEVICE_EXTENSION extension = FilterExtensionOf(filter);
    EXPECT_EQ(extension->Self, filter);
    EXPECT_EQ(extension->LowerDevice, pdo);
    EXPECT_EQ(extension->IsControlDevice, 0u);
    EXPECT_EQ(extension->PnpState, Started);
    EXPECT_NE(extension->EqStream.Ring, nullptr);
    EXPECT_EQ(CountMessages("AMPFX AddDevice\n"), 1u);
    EXPECT_NE(kernel::FindDevice(kControlDeviceName), nullptr);
    EXPECT_EQ(kernel::SymbolicLinkTarget("\\DosDevices\\Class#UsbAmpfxSuite&0F1E&00"),
              std::string(kControlDeviceName));
}

TEST(DriverFrameTest, RequestsPassThroughToTheLowerDevice) {
    FilteredMachine machine;
    auto function = std::make_shared<HoldingFunction>();
    host::DevNode* node = machine.Plug(kHeadset, true, function);
    const size_t before = function->UrbFunctions().size();
    URB urb = AbortPipeUrb();
    EXPECT_EQ(SendUrbTo(FilteredMachine::FilterDevice(node), &urb).status, STATUS_SUCCESS);
    EXPECT_EQ(function->UrbFunctions().size(), before + 1);
    EXPECT_EQ(FilterExtensionOf(FilteredMachine::FilterDevice(node))->OutstandingIo, 0);
}

TEST(DriverFrameTest, ControlDeviceOpenAndCloseAnswerThemselves) {
    FilteredMachine machine;
    host::DevNode* node = machine.Plug(kHeadset);
    PDRIVER_OBJECT bus = node->Pdo()->DriverObject;
    DispatchSpy creates(bus, IRP_MJ_CREATE);
    DispatchSpy cleanups(bus, IRP_MJ_CLEANUP);
    DispatchSpy closes(bus, IRP_MJ_CLOSE);
    DispatchSpy controls(bus, IRP_MJ_DEVICE_CONTROL);
    host::UserHandle handle = host::kInvalidUserHandle;
    ASSERT_EQ(host::UserCreateFile("\\\\.\\Class#UsbAmpfxSuite&0F1E&00", &handle), 0u);
    uint32_t bytes = 99;
    EXPECT_EQ(host::UserDeviceIoControl(handle, 0x22DEAD, nullptr, 0, nullptr, 0, &bytes), 0u);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(host::UserCloseHandle(handle), 0u);
    EXPECT_TRUE(creates.Arrivals().empty()) << "nothing reached the device";
    EXPECT_TRUE(cleanups.Arrivals().empty());
    EXPECT_TRUE(closes.Arrivals().empty());
    EXPECT_TRUE(controls.Arrivals().empty());
}

// The bus completes a query-remove with success whatever it carries, and the class driver
// above sets success too; what the filter claims shows only in the status a request sent to
// the filter itself (still STATUS_NOT_SUPPORTED, as Plug and Play starts it) has when it
// reaches the bus.
TEST(DriverFrameTest, QueryRemoveIsPassedDownWithSuccess) {
    FilteredMachine machine;
    host::DevNode* node = machine.Plug(kHeadset);
    DispatchSpy pnp(node->Pdo()->DriverObject, IRP_MJ_PNP);
    IO_STACK_LOCATION location;
    RtlZeroMemory(&location, sizeof location);
    location.MajorFunction = IRP_MJ_PNP;
    location.MinorFunction = IRP_MN_QUERY_REMOVE_DEVICE;
    EXPECT_EQ(kernel::SendSystemRequest(FilteredMachine::FilterDevice(node), location).status,
              STATUS_SUCCESS);
    location.MinorFunction = IRP_MN_CANCEL_REMOVE_DEVICE;
    EXPECT_EQ(kernel::SendSystemRequest(FilteredMachine::FilterDevice(node), location).status,
              STATUS_SUCCESS);
    const auto arrivals = pnp.Arrivals();
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_EQ(arrivals[0].minor, IRP_MN_QUERY_REMOVE_DEVICE);
    EXPECT_EQ(arrivals[0].status, STATUS_SUCCESS) << "set by the filter on its way down";
    EXPECT_EQ(arrivals[1].minor, IRP_MN_CANCEL_REMOVE_DEVICE);
    EXPECT_EQ(machine.pnp().Stop(node), STATUS_SUCCESS);
    EXPECT_FALSE(node->Started());
}

// Port status, idle notification, reset, cycle and the rest carry no URB: bytes that would
// make a URB (here a SET_CUR of the host's mute) go down untouched and unread.
TEST(DriverFrameTest, OnlyUrbSubmissionsAreReadAsUrbs) {
    FilteredMachine machine;
    host::DevNode* node = machine.Plug(kHeadset);
    PDEVICE_OBJECT filter = FilteredMachine::FilterDevice(node);
    const ULONG codes[] = {
        IOCTL_INTERNAL_USB_GET_PORT_STATUS, IOCTL_INTERNAL_USB_RESET_PORT,
        IOCTL_INTERNAL_USB_CYCLE_PORT,      IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION,
        IOCTL_INTERNAL_USB_GET_HUB_COUNT,   IOCTL_INTERNAL_USB_ENABLE_PORT,
        IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO, IOCTL_INTERNAL_USB_GET_BUS_INFO,
        IOCTL_INTERNAL_USB_SUBMIT_URB,
    };
    for (const ULONG code : codes) {
        SCOPED_TRACE(code);
        StoreShared(g_EffectState.HostMuteState, uint8_t{0});
        UCHAR data = 1;
        URB lookalike;
        RtlZeroMemory(&lookalike, sizeof lookalike);
        UsbBuildVendorRequest(&lookalike, URB_FUNCTION_CLASS_INTERFACE,
                              sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0x01,
                              0x0100, 0x3100, &data, nullptr, 1, nullptr);
        SendInternalTo(filter, code, &lookalike);
        EXPECT_EQ(g_EffectState.HostMuteState, code == IOCTL_INTERNAL_USB_SUBMIT_URB ? 1 : 0);
    }
}

TEST(DriverFrameTest, RemoveWaitsForTheRequestsInsideTheFilter) {
    FilteredMachine machine;
    auto function = std::make_shared<HoldingFunction>();
    host::DevNode* node = machine.Plug(kHeadset, true, function);
    PDEVICE_OBJECT filter = FilteredMachine::FilterDevice(node);
    function->Hold();

    const int entered = function->Entered();
    kernel::Thread sender("urb sender", [filter] {
        URB urb = AbortPipeUrb();
        SendUrbTo(filter, &urb);
    });
    while (function->Entered() == entered)
        kernel::Settle();
    EXPECT_EQ(FilterExtensionOf(filter)->OutstandingIo, 1);

    std::atomic<bool> removed{false};
    kernel::Thread remover("remover", [&] {
        machine.pnp().Stop(node);
        removed = true;
    });
    kernel::Settle();
    EXPECT_FALSE(removed) << "the remove returned while a request was still inside the filter";
    function->Release();
    remover.Join();
    sender.Join();
    EXPECT_TRUE(removed);
}

// A device that stopped answering its control endpoint: class requests stay pending until
// someone cancels them.
class MuteHoldingFunction : public host::BasicUsbFunction {
  public:
    MuteHoldingFunction() : BasicUsbFunction(0x0F1E, kHeadset) {}

    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        PURB urb = static_cast<PURB>(location->Parameters.Others.Argument1);
        if (location->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB ||
            urb->UrbHeader.Function != URB_FUNCTION_CLASS_INTERFACE) {
            return BasicUsbFunction::InternalDeviceControl(pdo, irp);
        }
        ++held_;
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelHeld);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
            Complete(irp);
        return STATUS_PENDING;
    }

    int Held() const { return held_; }
    static int Cancelled() { return cancelled_; }

  private:
    static VOID NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        Complete(irp);
    }
    static void Complete(PIRP irp) {
        ++cancelled_;
        PURB urb =
            static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    std::atomic<int> held_{0};
    static inline std::atomic<int> cancelled_{0};
};

TEST(DriverFrameTest, RemoveCancelsTheGatesMuteRequestsTheDeviceHolds) {
    FilteredMachine machine;
    auto function = std::make_shared<MuteHoldingFunction>();
    host::DevNode* node = machine.Plug(kHeadset, true, function);
    StoreShared(g_EffectState.EnableNoiseClean, 1u);
    const int cancelledBefore = MuteHoldingFunction::Cancelled();

    // Silence from the streaming DPC: the gate mutes, and the device keeps the request.
    uint8_t silence[1920] = {};
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    urb.UrbHeader.Length = sizeof(struct _URB_ISOCH_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    urb.UrbIsochronousTransfer.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
    urb.UrbIsochronousTransfer.TransferBuffer = silence;
    urb.UrbIsochronousTransfer.TransferBufferLength = sizeof silence;
    PDEVICE_OBJECT classDevice = host::UsbAudioClassDriver::FunctionDevice(*node);
    ASSERT_EQ(host::UsbAudioClassDriver::SubmitUrb(classDevice, &urb, DISPATCH_LEVEL),
              STATUS_SUCCESS);
    ASSERT_EQ(function->Held(), 1);
    EXPECT_EQ(FilterExtensionOf(FilteredMachine::FilterDevice(node))->OutstandingIo, 1);

    // An orderly removal must not wait for the device to answer by itself.
    EXPECT_EQ(machine.pnp().Stop(node), STATUS_SUCCESS);
    EXPECT_EQ(MuteHoldingFunction::Cancelled() - cancelledBefore, 1);
}

TEST(DriverFrameTest, OldestDriverModelDeletesBothObjects50MillisecondsAfterRemove) {
    FilteredMachine machine(kernel::WindowsVersion::Windows98);
    auto function = std::make_shared<HoldingFunction>();
    host::DevNode* node = machine.Plug(kHeadset, true, function);
    PDEVICE_OBJECT filter = FilteredMachine::FilterDevice(node);
    const size_t urbsBefore = function->UrbFunctions().size();
    kernel::SetAutoAdvance(false);

    machine.pnp().Stop(node);
    EXPECT_TRUE(machine.registry().KeyExists(kSettingsKey)) << "saved before the deletion";
    EXPECT_FALSE(kernel::IsDeviceDeleted(filter));
    EXPECT_NE(kernel::FindDevice(kControlDeviceName), nullptr);

    // Still there, and failing everything without passing it down.
    URB urb = AbortPipeUrb();
    EXPECT_EQ(SendUrbTo(filter, &urb).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(function->UrbFunctions().size(), urbsBefore);
    EXPECT_EQ(CountMessages("AMPFX DriverUnload\n"), 0u);

    // The removal released the shared sound-field buffers; the control device, still here,
    // lets a sound-field set allocate them again. They must go with the driver, not leak.
    EXPECT_EQ(g_EffectState.SoundFieldWork, nullptr);
    const AmpfxValueRequest field{0, 1};
    EXPECT_EQ(SendControl(IOCTL_AMPFX_SOUND_FIELD, &field, sizeof field, sizeof field).error, 0u);
    EXPECT_NE(g_EffectState.SoundFieldWork, nullptr);

    kernel::AdvanceTimeMs(49);
    EXPECT_FALSE(kernel::IsDeviceDeleted(filter));
    kernel::AdvanceTimeMs(1);
    kernel::Settle();
    EXPECT_TRUE(kernel::IsDeviceDeleted(filter));
    EXPECT_EQ(kernel::FindDevice(kControlDeviceName), nullptr);
    EXPECT_EQ(CountMessages("AMPFX DriverUnload\n"), 1u);
    EXPECT_EQ(g_EffectState.SoundFieldWork, nullptr);
    kernel::SetAutoAdvance(true);
}

TEST(DriverFrameTest, NewerDriverModelsDeleteAtOnceAndUnload) {
    FilteredMachine machine;
    host::DevNode* node = machine.Plug(kHeadset);
    PDEVICE_OBJECT filter = FilteredMachine::FilterDevice(node);
    machine.pnp().Unplug(node);
    EXPECT_TRUE(kernel::IsDeviceDeleted(filter));
    EXPECT_EQ(kernel::FindDevice(kControlDeviceName), nullptr);
    kernel::Settle();
    EXPECT_EQ(CountMessages("AMPFX DriverUnload\n"), 1u);
    EXPECT_EQ(machine.Driver(), nullptr);
}

TEST(DriverFrameTest, SecondDeviceSharesTheControlDeviceAndEitherRemovalDeletesIt) {
    for (int removeFirst : {0, 1}) {
        FilteredMachine machine;
        host::DevNode* first = machine.Plug(kHeadset);
        host::DevNode* second = machine.Plug(0x1613);
        ASSERT_TRUE(second->Started());
        EXPECT_EQ(CountMessages("AMPFX AddDevice\n"), 2u);
        PDEVICE_OBJECT control = kernel::FindDevice(kControlDeviceName);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(FilterExtensionOf(control)->FilterExtension,
                  FilterExtensionOf(FilteredMachine::FilterDevice(first)));
        AmpfxValueRequest get{1, 0};
        EXPECT_EQ(SendControl(IOCTL_AMPFX_CONVERT, &get, 8, 8).bytes, 8u);

        machine.pnp().Unplug(removeFirst ? first : second);
        EXPECT_EQ(kernel::FindDevice(kControlDeviceName), nullptr);
        EXPECT_EQ(SendControl(IOCTL_AMPFX_CONVERT, &get, 8, 8).error, 2u) << "file not found";
        // The device that stays keeps streaming with its sound-field buffers.
        EXPECT_NE(g_EffectState.SoundFieldWork, nullptr);
        machine.pnp().Unplug(removeFirst ? second : first);
        EXPECT_EQ(g_EffectState.SoundFieldWork, nullptr);
    }
}

TEST(DriverFrameTest, ControlDeviceNameTakenLeavesTheProtocolWithTheFirstDevice) {
    FilteredMachine machine;
    machine.Plug(kHeadset);
    PDEVICE_OBJECT control = kernel::FindDevice(kControlDeviceName);
    // A second filtered device's AddDevice finds the name taken and still succeeds.
    host::DevNode* second = machine.Plug(0x1614);
    EXPECT_TRUE(second->Started());
    EXPECT_EQ(kernel::FindDevice(kControlDeviceName), control);
}

TEST(DriverFrameTest, UnlistedDeviceStreamsUnprocessedAndTheProtocolAnswersNothing) {
    FilteredMachine machine;
    machine.Plug(0x1608);
    EXPECT_EQ(DeviceUnlisted, 1u);
    EXPECT_EQ(DeviceSupported, 0u);
    AmpfxValueRequest get{1, 0};
    ControlAnswer answer = SendControl(IOCTL_AMPFX_EQ_ENABLE, &get, 8, 8);
    EXPECT_EQ(answer.error, 0u);
    EXPECT_EQ(answer.bytes, 0u);
}

// Every allocation a device arrival makes, failed in turn: the arrival either fails cleanly
// or degrades as designed, and nothing leaks (the verifier checks pool at unload).
TEST(DriverFrameTest, AllocationFailureAnywhereInAddDeviceLeaksNothing) {
    for (uint64_t nth = 1;; ++nth) {
        kernel::VerifierCapture capture;
        uint64_t triggered = 0;
        bool started = false;
        {
            FilteredMachine machine;
            host::DevNode* node = machine.Plug(kHeadset, false);
            machine.registry().SetMultiString(node->EnumKey(), "LowerFilters", {"Ampfx"});
            kernel::InjectPoolFault({nth, 0, true, false});
            machine.pnp().Restart(node);
            triggered = kernel::PoolFaultsTriggered();
            kernel::ClearPoolFaults();
            started = node->Started();
            machine.pnp().Unplug(node);
        }
        EXPECT_TRUE(capture.Empty())
            << "allocation " << nth << ": " << capture.Reports().front().message;
        if (triggered == 0) {
            EXPECT_TRUE(started);
            EXPECT_GT(nth, 14u)
                << "ring, six buffers, four settings buffers, three sound-field buffers";
            RecordProperty("allocations", static_cast<int>(nth - 1));
            break;
        }
    }
}

TEST(DriverFrameTest, EqualizerBufferFailureFailsAddDevice) {
    for (uint64_t nth = 1; nth <= 7; ++nth) {
        kernel::VerifierCapture capture;
        FilteredMachine machine;
        host::DevNode* node = machine.Plug(kHeadset, false);
        machine.registry().SetMultiString(node->EnumKey(), "LowerFilters", {"Ampfx"});
        kernel::InjectPoolFault({nth, kAmpfxPoolTag, false, false});
        machine.pnp().Restart(node);
        kernel::ClearPoolFaults();
        EXPECT_FALSE(node->Started()) << nth;
        EXPECT_EQ(node->Problem(), host::cm_problem::kFailedAdd) << nth;
        EXPECT_EQ(node->ProblemStatus(), STATUS_INSUFFICIENT_RESOURCES) << nth;
        EXPECT_EQ(kernel::FindDevice(kControlDeviceName), nullptr) << nth;
        EXPECT_TRUE(capture.Empty()) << nth;
    }
}

}  // namespace
}  // namespace ampfx_test

namespace ampfx_test {
namespace {

// Holds the filter's request for the device descriptor until it is cancelled: a device that
// stopped answering its control endpoint right after its start.
class SilentDescriptorFunction : public host::BasicUsbFunction {
  public:
    SilentDescriptorFunction() : BasicUsbFunction(0x0F1E, kHeadset) {}

    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        PURB urb = static_cast<PURB>(location->Parameters.Others.Argument1);
        if (location->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB ||
            urb->UrbHeader.Function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
            urb->UrbControlDescriptorRequest.DescriptorType != USB_DEVICE_DESCRIPTOR_TYPE) {
            return BasicUsbFunction::InternalDeviceControl(pdo, irp);
        }
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, Cancel);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
            Complete(irp);
        return STATUS_PENDING;
    }

  private:
    static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        Complete(irp);
    }
    static void Complete(PIRP irp) {
        PURB urb =
            static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        urb->UrbHeader.Status = USBD_STATUS_CANCELED;
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
};

TEST(DriverFrameTest, ADescriptorRequestThatTimesOutIsAFailure) {
    FilteredMachine machine;
    machine.Plug(kHeadset);
    ASSERT_EQ(DeviceUnlisted, 0u);
    ASSERT_NE(DeviceSupported, 0u);

    const int64_t before = kernel::Now();
    host::DevNode* silent =
        machine.Plug(kHeadset, true, std::make_shared<SilentDescriptorFunction>());
    EXPECT_TRUE(silent->Started());
    EXPECT_GE(kernel::Now() - before, 25000000) << "the filter waited its 2.5 s";
    EXPECT_EQ(DeviceUnlisted, 0u) << "a timeout says nothing about the device's identity";
    EXPECT_EQ(DeviceSupported, 0u) << "an unidentified device does not open the protocol";
    PDEVICE_EXTENSION extension = FilterExtensionOf(FilteredMachine::FilterDevice(silent));
    EXPECT_EQ(extension->DeviceDescriptor.idVendor, 0u);
}

// A hub that resets the port before it completes the start, and fails what arrives sooner.
class LateStartFunction : public host::BasicUsbFunction {
  public:
    LateStartFunction() : BasicUsbFunction(0x0F1E, kHeadset) {}
    bool StartCompletesLater() const override { return true; }
};

TEST(DriverFrameTest, TheDeviceIsIdentifiedOnlyAfterItsStartCompleted) {
    FilteredMachine machine;
    host::DevNode* node = machine.Plug(kHeadset, true, std::make_shared<LateStartFunction>());
    ASSERT_TRUE(node->Started());
    PDEVICE_EXTENSION extension = FilterExtensionOf(FilteredMachine::FilterDevice(node));
    EXPECT_EQ(extension->PnpState, Started);
    EXPECT_EQ(extension->DeviceDescriptor.idProduct, kHeadset);
    EXPECT_EQ(DeviceUnlisted, 0u);
    EXPECT_NE(DeviceSupported, 0u);
    AmpfxValueRequest get{1, 0};
    EXPECT_EQ(SendControl(IOCTL_AMPFX_EQ_ENABLE, &get, 8, 8).bytes, 8u);
}

// A device that ignores cancellation and answers the gate's mute late, from a thread of its
// own, while the device is being removed.
class LateMuteFunction : public host::BasicUsbFunction {
  public:
    LateMuteFunction() : BasicUsbFunction(0x0F1E, kHeadset) {}

    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        PURB urb = static_cast<PURB>(location->Parameters.Others.Argument1);
        if (location->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB ||
            urb->UrbHeader.Function != URB_FUNCTION_CLASS_INTERFACE) {
            return BasicUsbFunction::InternalDeviceControl(pdo, irp);
        }
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> lock(mutex_);
        held_.push_back(irp);
        return STATUS_PENDING;
    }

    size_t Held() {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_.size();
    }

    void AnswerAll() {
        std::vector<PIRP> held;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            held.swap(held_);
        }
        for (PIRP irp : held) {
            static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1)
                ->UrbHeader.Status = USBD_STATUS_SUCCESS;
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
    }

  private:
    std::mutex mutex_;
    std::vector<PIRP> held_;
};

// The completion of the gate's mute request releases the device's last count and so lets
// the remove finish and the driver unload; the routine must still be safe to return from.
TEST(DriverFrameTest, TheDriverCannotUnloadUnderTheMuteCompletion) {
    kernel::VerifierCapture capture;
    FilteredMachine machine;
    auto function = std::make_shared<LateMuteFunction>();
    host::DevNode* node = machine.Plug(kHeadset, true, function);
    PDEVICE_OBJECT filter = FilteredMachine::FilterDevice(node);

    // Silence with the gate on: the stream path sends its mute without waiting.
    StoreShared(g_EffectState.EnableNoiseClean, 1u);
    std::vector<uint8_t> silence(1024, 0);
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    urb.UrbHeader.Length = sizeof(struct _URB_ISOCH_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    urb.UrbIsochronousTransfer.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
    urb.UrbIsochronousTransfer.TransferBuffer = silence.data();
    urb.UrbIsochronousTransfer.TransferBufferLength = static_cast<ULONG>(silence.size());
    SendUrbTo(filter, &urb);
    ASSERT_EQ(function->Held(), 1u);

    kernel::SetCompletionSignalDelay(300);
    std::atomic<bool> removed{false};
    kernel::Thread remover("remover", [&] {
        machine.pnp().Stop(node);
        removed = true;
    });
    kernel::Settle();
    ASSERT_FALSE(removed) << "the remove waits for the mute request";
    function->AnswerAll();
    remover.Join();
    kernel::SetCompletionSignalDelay(0);
    kernel::Settle();
    EXPECT_TRUE(removed);
    EXPECT_EQ(capture.Count(kernel::Violation::CodeRunningAtUnload), 0u);
    EXPECT_EQ(machine.Driver(), nullptr) << "the driver did unload in the end";
}

}  // namespace
}  // namespace ampfx_test

namespace ampfx_test {
namespace {

// The control device changes what every user hears: SYSTEM and the Administrators group may
// open it, a standard user may not, neither the device nor a name below it.
TEST(DriverFrameTest, OnlySystemAndAdministratorsOpenTheControlDevice) {
    FilteredMachine machine;
    machine.Plug(kHeadset);
    PDEVICE_OBJECT control = kernel::FindDevice(kControlDeviceName);
    ASSERT_NE(control, nullptr);
    EXPECT_NE(control->Characteristics & FILE_DEVICE_SECURE_OPEN, 0u);
    EXPECT_EQ(kernel::DeviceAllowedSids(control),
              (std::vector<std::string>{"S-1-5-18", "S-1-5-32-544"}));

    const struct {
        kernel::UserToken token;
        const char* path;
        uint32_t error;
    } cases[] = {
        {kernel::UserToken::ElevatedAdministrator, "\\\\.\\Class#UsbAmpfxSuite&0F1E&00", 0},
        {kernel::UserToken::LocalSystem, "\\\\.\\Class#UsbAmpfxSuite&0F1E&00", 0},
        {kernel::UserToken::StandardUser, "\\\\.\\Class#UsbAmpfxSuite&0F1E&00", 5},
        {kernel::UserToken::StandardUser, "\\\\.\\Class#UsbAmpfxSuite&0F1E&00\\below", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        SCOPED_TRACE(static_cast<int>(c.token));
        kernel::SetUserToken(c.token);
        host::UserHandle handle = host::kInvalidUserHandle;
        EXPECT_EQ(host::UserCreateFile(c.path, &handle), c.error);
        if (handle != host::kInvalidUserHandle)
            host::UserCloseHandle(handle);
    }
    kernel::SetUserToken(kernel::UserToken::ElevatedAdministrator);
}

// Windows 98 and Me have no object security: the device opens for everyone there.
TEST(DriverFrameTest, KernelsWithoutObjectSecurityStillGetTheControlDevice) {
    FilteredMachine machine(kernel::WindowsVersion::Windows98);
    machine.Plug(kHeadset);
    PDEVICE_OBJECT control = kernel::FindDevice(kControlDeviceName);
    ASSERT_NE(control, nullptr);
    EXPECT_FALSE(kernel::DeviceAllowedSids(control).has_value());
    AmpfxValueRequest get{1, 0};
    EXPECT_EQ(SendControl(IOCTL_AMPFX_EQ_ENABLE, &get, 8, 8).bytes, 8u);
}

}  // namespace
}  // namespace ampfx_test
