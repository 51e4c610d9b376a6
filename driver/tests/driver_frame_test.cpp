// Driver entry, AddDevice, the pass-through with its outstanding count, remove, the control
// device and the deferred deletion, on the simulated machine with the verifier on.
#include <gtest/gtest.h>

#include <atomic>

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

// An internal device control with a URB, sent straight to `device`.
kernel::RequestResult SendUrbTo(PDEVICE_OBJECT device, URB* urb) {
    IO_STACK_LOCATION location;
    RtlZeroMemory(&location, sizeof location);
    location.MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    location.Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    location.Parameters.Others.Argument1 = urb;
    return kernel::SendSystemRequest(device, location, STATUS_SUCCESS);
}

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
    auto function = std::make_shared<HoldingFunction>();
    machine.Plug(kHeadset, true, function);
    const size_t before = function->UrbFunctions().size();
    host::UserHandle handle = host::kInvalidUserHandle;
    ASSERT_EQ(host::UserCreateFile("\\\\.\\Class#UsbAmpfxSuite&0F1E&00", &handle), 0u);
    uint32_t bytes = 99;
    EXPECT_EQ(host::UserDeviceIoControl(handle, 0x22DEAD, nullptr, 0, nullptr, 0, &bytes), 0u);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(host::UserCloseHandle(handle), 0u);
    EXPECT_EQ(function->UrbFunctions().size(), before) << "nothing reached the device";
}

TEST(DriverFrameTest, QueryRemoveIsPassedDownWithSuccess) {
    FilteredMachine machine;
    host::DevNode* node = machine.Plug(kHeadset);
    EXPECT_EQ(machine.pnp().SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(machine.pnp().SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(machine.pnp().Stop(node), STATUS_SUCCESS);
    EXPECT_FALSE(node->Started());
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
