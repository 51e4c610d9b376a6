// The simulated headset under the plain class driver, no filter between: what it answers,
// what it plays and records, how it fails, and its held requests.
#include <atomic>
#include <memory>

#include <gtest/gtest.h>
#include <usbdlib.h>

#include "host/audio_stream.h"
#include "host/machine.h"
#include "host/usb_headset.h"
#include "host/usbaudio_class_driver.h"

namespace host {
namespace {

class UsbHeadsetTest : public ::testing::Test {
  protected:
    UsbHeadsetTest() : headset_(std::make_shared<UsbHeadset>(0x0F1E, 0x1607, 0x0102)) {
        UsbDeviceIdentity identity;
        identity.vendorId = 0x0F1E;
        identity.productId = 0x1607;
        node_ = machine_.pnp().PlugIn(identity, headset_);
    }

    std::vector<uint8_t> Ramp(size_t bytes) {
        std::vector<uint8_t> pcm(bytes);
        for (size_t i = 0; i < bytes; ++i) {
            pcm[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        return pcm;
    }

    NTSTATUS SubmitFromClass(URB* urb) {
        return UsbAudioClassDriver::SubmitUrb(UsbAudioClassDriver::FunctionDevice(*node_), urb);
    }

    // Waits (in virtual time) until the headset holds `count` requests.
    void WaitHeld(size_t count) {
        LARGE_INTEGER millisecond;
        millisecond.QuadPart = -10000;
        while (headset_->HeldCount() < count) {
            KeDelayExecutionThread(KernelMode, FALSE, &millisecond);
        }
    }

    Machine machine_;
    std::shared_ptr<UsbHeadset> headset_;
    DevNode* node_ = nullptr;
};

TEST_F(UsbHeadsetTest, DescribesItselfAsAnAudioDeviceWithPlaybackAndCapture) {
    EXPECT_EQ(headset_->Descriptor().idVendor, 0x0F1E);
    EXPECT_EQ(headset_->Descriptor().idProduct, 0x1607);
    EXPECT_EQ(headset_->Descriptor().bcdDevice, 0x0102);

    USB_DEVICE_DESCRIPTOR device{};
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device, nullptr, 64, nullptr);
    ASSERT_EQ(SubmitFromClass(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(memcmp(&device, &headset_->Descriptor(), 18), 0);

    // The configuration walks as a chain of descriptors ending exactly at its total length,
    // with the interfaces and endpoints the stream uses.
    const std::vector<uint8_t>& config = headset_->Configuration();
    ASSERT_GE(config.size(), 9u);
    EXPECT_EQ(config[2] | config[3] << 8, static_cast<int>(config.size()));
    size_t at = 0;
    int interfaces = 0;
    std::vector<std::pair<uint8_t, uint16_t>> endpoints;
    while (at < config.size()) {
        ASSERT_GE(config[at], 2);
        if (config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            ++interfaces;
        } else if (config[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            endpoints.emplace_back(config[at + 2], config[at + 4] | config[at + 5] << 8);
        }
        at += config[at];
    }
    EXPECT_EQ(at, config.size());
    EXPECT_EQ(interfaces, 5);
    EXPECT_EQ(endpoints, (std::vector<std::pair<uint8_t, uint16_t>>{{0x01, 192}, {0x82, 96}}));
}

TEST_F(UsbHeadsetTest, PlaysWhatAStartedStreamSendsAndReturnsCaptureData) {
    AudioStream stream(node_);
    ASSERT_TRUE(stream.Ready());
    const std::vector<uint8_t> pcm = Ramp(3000);
    ASSERT_EQ(stream.Play(pcm, 1000), STATUS_SUCCESS);
    EXPECT_EQ(headset_->Played(), pcm);
    EXPECT_TRUE(headset_->Configured());
    EXPECT_EQ(headset_->AlternateSetting(1), 1);

    headset_->SetCaptureData({1, 2, 3, 4, 5});
    std::vector<uint8_t> captured;
    ASSERT_EQ(stream.ReadIn(200, &captured), STATUS_SUCCESS);
    ASSERT_EQ(captured.size(), 200u);
    for (size_t i = 0; i < captured.size(); ++i) {
        ASSERT_EQ(captured[i], i % 5 + 1) << i;
    }
    // Capture goes on where it stopped; without data the microphone is silent.
    ASSERT_EQ(stream.ReadIn(1, &captured), STATUS_SUCCESS);
    EXPECT_EQ(captured, std::vector<uint8_t>{1});
    headset_->SetCaptureData({});
    ASSERT_EQ(stream.ReadIn(96, &captured), STATUS_SUCCESS);
    EXPECT_EQ(captured, std::vector<uint8_t>(96, 0));
    EXPECT_EQ(headset_->Played(), pcm);  // capture adds nothing to playback
}

TEST_F(UsbHeadsetTest, TransfersToAClosedOrUnknownPipeFail) {
    AudioStream stream(node_);
    const std::vector<uint8_t> pcm = Ramp(384);
    // Not started: the stream has no pipe.
    EXPECT_EQ(stream.WriteOut(pcm.data(), 384), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream.LastUrbStatus(), USBD_STATUS_INVALID_PIPE_HANDLE);
    ASSERT_EQ(stream.Start(), STATUS_SUCCESS);
    ASSERT_EQ(stream.WriteOut(pcm.data(), 384), STATUS_SUCCESS);
    // Stopped: the old handle is closed for good.
    ASSERT_EQ(stream.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(headset_->AlternateSetting(1), 0);
    EXPECT_EQ(stream.WriteOut(pcm.data(), 384), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(headset_->Played(), pcm);
}

TEST_F(UsbHeadsetTest, RefusesMalformedTransfers) {
    AudioStream stream(node_);
    ASSERT_EQ(stream.Start(), STATUS_SUCCESS);
    std::vector<uint8_t> pcm = Ramp(192 * 256);
    // More packets than a full-speed controller takes, and an empty transfer.
    EXPECT_EQ(stream.WriteOut(pcm.data(), 192 * 256), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream.WriteOut(pcm.data(), 0), STATUS_INVALID_PARAMETER);

    // Hand-built: packets larger than the endpoint's, out of order, and a URB too short for
    // its packets.
    ASSERT_EQ(stream.WriteOut(pcm.data(), 4), STATUS_SUCCESS);
    std::vector<uint64_t> memory(GET_ISO_URB_SIZE(2) / 8 + 1);
    URB* urb = reinterpret_cast<URB*>(memory.data());
    auto build = [&](ULONG first, ULONG second, USHORT length) {
        memset(memory.data(), 0, memory.size() * 8);
        urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
        urb->UrbHeader.Length = length;
        urb->UrbIsochronousTransfer.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
        urb->UrbIsochronousTransfer.TransferBuffer = pcm.data();
        urb->UrbIsochronousTransfer.TransferBufferLength = 384;
        urb->UrbIsochronousTransfer.NumberOfPackets = 2;
        urb->UrbIsochronousTransfer.IsoPacket[0].Offset = first;
        urb->UrbIsochronousTransfer.IsoPacket[1].Offset = second;
    };
    const USHORT full = static_cast<USHORT>(GET_ISO_URB_SIZE(2));
    for (auto [first, second, length] :
         {std::tuple<ULONG, ULONG, USHORT>{0, 100, full}, {192, 0, full}, {0, 192, 150}}) {
        build(first, second, length);
        urb->UrbIsochronousTransfer.PipeHandle = stream.PlaybackPipe();
        EXPECT_EQ(stream.Submit(urb, DISPATCH_LEVEL), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(stream.LastUrbStatus(), USBD_STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(headset_->Played(), std::vector<uint8_t>(pcm.begin(), pcm.begin() + 4));
}

TEST_F(UsbHeadsetTest, KeepsTheMuteControlAndStallsWhatItDoesNotHave) {
    AudioStream stream(node_);
    ASSERT_EQ(stream.SetCurMute(1), STATUS_SUCCESS);
    uint8_t mute = 0;
    ASSERT_EQ(stream.GetCurMute(&mute), STATUS_SUCCESS);
    EXPECT_EQ(mute, 1);
    ASSERT_EQ(stream.SetCurMute(0), STATUS_SUCCESS);
    EXPECT_EQ(headset_->MuteLog(), (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(headset_->Mute(), 0);

    // The volume control (not in the unit) and the unit addressed on another interface.
    URB urb{};
    UCHAR data[2] = {0, 0};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0x01, 0x0200,
                          0x3100, data, nullptr, 2, nullptr);
    EXPECT_EQ(stream.Submit(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stream.LastUrbStatus(), USBD_STATUS_STALL_PID);
    urb.UrbControlVendorClassRequest.Value = 0x0100;
    urb.UrbControlVendorClassRequest.Index = 0x3101;
    urb.UrbControlVendorClassRequest.TransferBufferLength = 1;
    EXPECT_EQ(stream.Submit(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(headset_->MuteLog(), (std::vector<uint8_t>{1, 0}));

    // A URB function the bus does not know.
    URB unknown{};
    unknown.UrbHeader.Length = sizeof(URB);
    unknown.UrbHeader.Function = 0x0016;
    EXPECT_EQ(stream.Submit(&unknown), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream.LastUrbStatus(), USBD_STATUS_INVALID_URB_FUNCTION);
}

TEST_F(UsbHeadsetTest, TheClassDriverConfiguresAtStartAndAnUnconfiguredDeviceStallsClassRequests) {
    EXPECT_TRUE(headset_->Configured());
    URB deconfigure{};
    UsbBuildSelectConfigurationRequest(&deconfigure, sizeof(struct _URB_SELECT_CONFIGURATION),
                                       nullptr);
    ASSERT_EQ(SubmitFromClass(&deconfigure), STATUS_SUCCESS);
    EXPECT_FALSE(headset_->Configured());

    URB urb{};
    UCHAR data = 1;
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0x01, 0x0100,
                          0x3100, &data, nullptr, 1, nullptr);
    EXPECT_EQ(SubmitFromClass(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(headset_->MuteLog().empty());
}

TEST_F(UsbHeadsetTest, HeldRequestsCompleteWhenReleasedInOrder) {
    AudioStream stream(node_);
    ASSERT_EQ(stream.Start(), STATUS_SUCCESS);
    headset_->SetTiming(UsbHeadset::Timing::Held);
    const std::vector<uint8_t> first = Ramp(192);
    NTSTATUS a = STATUS_PENDING, b = STATUS_PENDING;
    kernel::Thread one("one", [&] { a = stream.WriteOut(first.data(), 192); });
    WaitHeld(1);
    kernel::Thread two("two", [&] { b = stream.SetCurMute(1); });
    WaitHeld(2);
    EXPECT_TRUE(headset_->Played().empty());
    EXPECT_TRUE(headset_->MuteLog().empty());
    // Stream-setup requests are not held.
    EXPECT_EQ(stream.SelectInterface(2, 1), STATUS_SUCCESS);

    EXPECT_EQ(headset_->ReleaseHeld(), 2u);
    one.Join();
    two.Join();
    EXPECT_EQ(a, STATUS_SUCCESS);
    EXPECT_EQ(b, STATUS_SUCCESS);
    EXPECT_EQ(headset_->Played(), first);
    EXPECT_EQ(headset_->MuteLog(), std::vector<uint8_t>{1});
    EXPECT_EQ(headset_->ReleaseHeld(), 0u);
}

TEST_F(UsbHeadsetTest, AHeldRequestCanBeCancelledAndAbortPipeCancelsTransfers) {
    AudioStream stream(node_);
    ASSERT_EQ(stream.Start(), STATUS_SUCCESS);
    headset_->SetTiming(UsbHeadset::Timing::Held);

    // The filter's way: an IRP of its own, cancelled with IoCancelIrp.
    PDEVICE_OBJECT function = UsbAudioClassDriver::FunctionDevice(*node_);
    PDEVICE_OBJECT lower = UsbAudioClassDriver::LowerDevice(function);
    UCHAR data = 1;
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0x01, 0x0100,
                          0x3100, &data, nullptr, 1, nullptr);
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
            KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_PENDING);
    EXPECT_EQ(headset_->HeldCount(), 1u);
    EXPECT_TRUE(IoCancelIrp(irp));
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    IoFreeIrp(irp);
    EXPECT_EQ(headset_->HeldCount(), 0u);
    EXPECT_TRUE(headset_->MuteLog().empty());

    const std::vector<uint8_t> pcm = Ramp(192);
    NTSTATUS written = STATUS_PENDING;
    kernel::Thread writer("writer", [&] { written = stream.WriteOut(pcm.data(), 192); });
    WaitHeld(1);
    EXPECT_EQ(stream.AbortPipe(), STATUS_SUCCESS);
    writer.Join();
    EXPECT_EQ(written, STATUS_CANCELLED);
    EXPECT_TRUE(headset_->Played().empty());
}

TEST_F(UsbHeadsetTest, ALeavingDeviceFailsWhatItHeldAndEverythingAfter) {
    AudioStream stream(node_);
    ASSERT_EQ(stream.Start(), STATUS_SUCCESS);
    headset_->SetTiming(UsbHeadset::Timing::Held);
    const std::vector<uint8_t> pcm = Ramp(192);
    NTSTATUS written = STATUS_PENDING;
    kernel::Thread writer("writer", [&] { written = stream.WriteOut(pcm.data(), 192); });
    WaitHeld(1);
    machine_.pnp().Unplug(node_);
    writer.Join();
    EXPECT_EQ(written, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(stream.Ready());
    // The stream's device is gone with its stack.
    EXPECT_EQ(stream.WriteOut(pcm.data(), 192), STATUS_DELETE_PENDING);
    EXPECT_TRUE(headset_->Played().empty());
}

TEST_F(UsbHeadsetTest, AStreamReopensOnARestartedStack) {
    AudioStream stream(node_);
    const std::vector<uint8_t> pcm = Ramp(192);
    ASSERT_EQ(stream.Play(pcm, 192), STATUS_SUCCESS);
    ASSERT_TRUE(machine_.pnp().Restart(node_));
    EXPECT_FALSE(stream.Ready());
    EXPECT_EQ(stream.WriteOut(pcm.data(), 192), STATUS_DELETE_PENDING);
    stream.Reopen();
    EXPECT_TRUE(stream.Ready());
    ASSERT_EQ(stream.Play(pcm, 192), STATUS_SUCCESS);
    std::vector<uint8_t> twice = pcm;
    twice.insert(twice.end(), pcm.begin(), pcm.end());
    EXPECT_EQ(headset_->Played(), twice);
}

}  // namespace
}  // namespace host
