// A USB audio headset on the simulated bus: the device model behind the PDO of a headset
// plugged in with it. It answers the requests a USB audio driver stack sends (descriptors,
// configuration and interface selection, isochronous transfers, the mute control of its
// feature unit, pipe aborts), plays what it is sent on its isochronous OUT endpoint
// (remembering it), returns capture data on its IN endpoint, and fails what a device or its
// host controller would fail, with the status codes they use.
//
// The device: USB 1.1 full speed, one configuration (value 1) of three interfaces.
//   interface 0       audio control: input terminal 1 (USB streaming, stereo) -> feature unit
//                     0x31 (master mute) -> output terminal 3 (headphones); input terminal 4
//                     (microphone, mono) -> output terminal 5 (USB streaming)
//   interface 1 alt 0 playback, no endpoint (zero bandwidth)
//   interface 1 alt 1 PCM 48 kHz 16-bit stereo, isochronous OUT endpoint 0x01, 192 bytes
//   interface 2 alt 0 capture, no endpoint
//   interface 2 alt 1 PCM 48 kHz 16-bit mono, isochronous IN endpoint 0x82, 96 bytes
//
// Thread-safe: requests may arrive on any thread at up to DISPATCH_LEVEL and race each other,
// ReleaseHeld, cancellation and the device's departure. A headset models one device: it is
// plugged in once.
#pragma once

#include <stdint.h>

#include <initializer_list>
#include <mutex>
#include <vector>

#include <usb.h>

#include "host/usb_function.h"

namespace host {

class UsbHeadset : public UsbFunction {
  public:
    static constexpr uint8_t kControlInterface = 0;
    static constexpr uint8_t kPlaybackInterface = 1;
    static constexpr uint8_t kCaptureInterface = 2;
    static constexpr uint8_t kPlaybackEndpoint = 0x01;    // isochronous OUT
    static constexpr uint8_t kCaptureEndpoint = 0x82;     // isochronous IN
    static constexpr uint16_t kPlaybackPacketSize = 192;  // 1 ms of 48 kHz 16-bit stereo
    static constexpr uint16_t kCapturePacketSize = 96;    // 1 ms of 48 kHz 16-bit mono
    // A full-speed host controller takes at most this many packets in one transfer.
    static constexpr ULONG kMaxIsoPackets = 255;
    static constexpr uint8_t kFeatureUnit = 0x31;
    // Audio class requests (bRequest) and the mute control's wValue and wIndex.
    static constexpr uint8_t kSetCur = 0x01;
    static constexpr uint8_t kGetCur = 0x81;
    static constexpr uint16_t kMuteValue = 0x0100;  // mute control, master channel
    static constexpr uint16_t kMuteIndex = 0x3100;  // feature unit 0x31 on interface 0

    UsbHeadset(uint16_t vendorId, uint16_t productId, uint16_t revision = 0x0100);
    ~UsbHeadset() override;
    UsbHeadset(const UsbHeadset&) = delete;
    UsbHeadset& operator=(const UsbHeadset&) = delete;

    enum class Timing { Immediate, Held };
    // Held: class requests and isochronous transfers stay pending (with a cancel routine, so
    // IoCancelIrp completes them STATUS_CANCELLED / USBD_STATUS_CANCELED) until ReleaseHeld().
    void SetTiming(Timing timing);
    // Which requests Held timing holds (both by default): class requests to the device, and
    // isochronous transfers.
    void SetHeldRequests(bool classRequests, bool transfers);
    size_t ReleaseHeld();  // completes every held request as if it had run; returns how many
    size_t HeldCount() const;

    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override;
    void Disconnected() override;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor() const override { return device_; }
    uint8_t CurrentConfiguration() const override;
    std::vector<USB_ENDPOINT_DESCRIPTOR> OpenPipes() const override;

    const USB_DEVICE_DESCRIPTOR& Descriptor() const { return device_; }
    // The whole configuration descriptor with its interface, endpoint and class descriptors.
    const std::vector<uint8_t>& Configuration() const { return configuration_; }

    std::vector<uint8_t> Played() const;  // PCM of every accepted ISO OUT transfer, in order
    void ClearPlayed();
    // What IN transfers return (cyclic; silence if empty).
    void SetCaptureData(std::vector<uint8_t> pcm);
    // Values of the SET_CUR mute requests received, in order.
    std::vector<uint8_t> MuteLog() const;
    uint8_t Mute() const;                      // current mute of feature unit 0x31
    std::vector<USHORT> UrbFunctions() const;  // URB function codes received, in order
    // Forgets what was played, the mute log and the URB functions (long runs).
    void ClearRecords();
    bool Configured() const;
    // The alternate setting an interface is in (0 when not configured).
    uint8_t AlternateSetting(uint8_t interfaceNumber) const;

  private:
    struct Pipe {
        uint8_t interfaceNumber;
        uint8_t endpoint;
        uint16_t maxPacket;
        USBD_PIPE_HANDLE handle;  // null while its interface is not in the alternate setting 1
    };
    // A setup packet and its data stage, however the URB described it.
    struct ControlRequest {
        uint8_t requestType;
        uint8_t request;
        uint16_t value;
        uint16_t index;
        uint8_t* data;
        ULONG* length;  // in: the data stage's length; out: bytes transferred (IN requests)
    };
    // A request done: the IRP and the statuses it completes with.
    struct Completion {
        PIRP irp;
        NTSTATUS status;
    };

    // Checks a URB and either runs it (Immediate, or a request Held timing lets through) or
    // says it is to be held. The caller holds mutex_.
    USBD_STATUS Submit(URB* urb, bool* hold, std::vector<Completion>* cancelled);
    // Runs a URB that was accepted (at once, or when it is released). The caller holds mutex_.
    USBD_STATUS Run(URB* urb);
    USBD_STATUS SelectConfiguration(URB* urb, std::vector<Completion>* cancelled);
    USBD_STATUS SelectInterface(URB* urb, std::vector<Completion>* cancelled);
    USBD_STATUS CheckIsochronous(URB* urb);
    USBD_STATUS RunIsochronous(URB* urb);
    USBD_STATUS AbortPipe(URB* urb, std::vector<Completion>* cancelled);
    USBD_STATUS Control(const ControlRequest& request);
    USBD_STATUS ControlDescriptor(const ControlRequest& request);
    // Opens or closes the pipes of an interface for its new alternate setting; transfers held
    // for a closed pipe are aborted.
    void SetAlternate(uint8_t interfaceNumber, uint8_t alternate,
                      std::vector<Completion>* cancelled);
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    // Takes the held requests that `match` accepts, those being cancelled excepted, out of
    // the list, with `status` set in their URBs.
    template <typename Match>
    void TakeHeld(Match match, USBD_STATUS status, std::vector<Completion>* taken);
    USBD_PIPE_HANDLE NewHandle();

    static void CompleteAll(const std::vector<Completion>& completions);
    static VOID CancelHeld(PDEVICE_OBJECT device, PIRP irp);

    USB_DEVICE_DESCRIPTOR device_;
    std::vector<uint8_t> configuration_;

    mutable std::mutex mutex_;
    Timing timing_ = Timing::Immediate;
    bool holdClass_ = true;
    bool holdTransfers_ = true;
    bool gone_ = false;
    bool configured_ = false;
    USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
    USBD_INTERFACE_HANDLE interfaceHandles_[3] = {};
    uint8_t alternates_[3] = {};
    Pipe pipes_[2];
    uintptr_t handles_ = 0;
    ULONG frame_ = 0;
    uint8_t mute_ = 0;
    std::vector<uint8_t> played_;
    std::vector<uint8_t> capture_;
    size_t capturePosition_ = 0;
    std::vector<uint8_t> muteLog_;
    std::vector<USHORT> functions_;
    std::vector<PIRP> held_;
};

}  // namespace host
