// A USB audio headset on the simulated bus: the device model behind the PDO of a headset
// plugged in with it. It answers the standard requests a USB audio driver sends, plays what
// it is given on its isochronous OUT endpoint (remembering it), records from a capture
// buffer, and keeps the mute control of its feature unit. It fails what a device or the
// host controller would fail.
#pragma once

#include <stdint.h>

#include <mutex>
#include <vector>

#include <usb.h>

#include "host/usb_function.h"

namespace host {

class UsbHeadset : public UsbFunction {
  public:
    // The descriptors' constants, for the drivers and tests that speak to it.
    static constexpr uint8_t kControlInterface = 0;
    static constexpr uint8_t kPlaybackInterface = 1;
    static constexpr uint8_t kCaptureInterface = 2;
    static constexpr uint8_t kPlaybackEndpoint = 0x01;    // isochronous OUT
    static constexpr uint8_t kCaptureEndpoint = 0x82;     // isochronous IN
    static constexpr uint16_t kPlaybackPacketSize = 192;  // 48 kHz, 16-bit stereo, 1 ms
    static constexpr uint16_t kCapturePacketSize = 96;    // 48 kHz, 16-bit mono, 1 ms
    static constexpr uint8_t kFeatureUnit = 0x31;
    static constexpr uint8_t kMuteControl = 0x01;
    static constexpr uint8_t kVolumeControl = 0x02;
    // Audio class requests (bRequest).
    static constexpr uint8_t kSetCur = 0x01;
    static constexpr uint8_t kGetCur = 0x81;

    UsbHeadset(uint16_t vendorId, uint16_t productId, uint16_t revision = 0x0100);
    ~UsbHeadset() override;

    enum class Timing { Immediate, Held };
    // Held: class requests and isochronous transfers stay pending (with a cancel routine, so
    // IoCancelIrp completes them STATUS_CANCELLED / USBD_STATUS_CANCELED) until ReleaseHeld().
    void SetTiming(Timing timing);
    size_t ReleaseHeld();  // completes every held request as if it had run; returns how many
    size_t HeldCount() const;

    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override;
    void Disconnected() override;

    const USB_DEVICE_DESCRIPTOR& Descriptor() const { return device_; }
    // The whole configuration descriptor with its interfaces, endpoints and class descriptors.
    const std::vector<uint8_t>& Configuration() const { return configuration_; }

    std::vector<uint8_t> Played() const;  // PCM of every accepted ISO OUT transfer, in order
    void ClearPlayed();
    void SetCaptureData(
        std::vector<uint8_t> pcm);         // what IN transfers return (cyclic; silence if empty)
    std::vector<uint8_t> MuteLog() const;  // values of the SET_CUR mute requests received, in order
    uint8_t Mute() const;                  // current mute of feature unit 0x31
    std::vector<USHORT> UrbFunctions() const;  // URB function codes received, in order
    // The alternate setting an interface is in; 0 before any selection.
    uint8_t AlternateSetting(uint8_t interfaceNumber) const;
    bool Configured() const;

  private:
    struct Held;
    struct Pipe;

    // Runs one URB against the device state; the caller holds mutex_.
    NTSTATUS Execute(URB* urb);
    NTSTATUS SelectConfiguration(URB* urb);
    NTSTATUS SelectInterface(URB* urb);
    NTSTATUS GetDescriptor(URB* urb);
    NTSTATUS ClassRequest(URB* urb);
    NTSTATUS Isochronous(URB* urb);
    NTSTATUS AbortPipe(URB* urb);
    NTSTATUS Complete(PIRP irp, NTSTATUS status);
    // Fills one interface's information from the descriptors; false when no such setting.
    bool FillInterface(USBD_INTERFACE_INFORMATION* info, size_t room, bool* tooSmall);
    const Pipe* FindPipe(USBD_PIPE_HANDLE handle) const;
    bool ShouldHold(const URB* urb) const;
    static void CancelHeld(PDEVICE_OBJECT device, PIRP irp);
    // Takes the held requests matching `pipe` (all when null) out of the list, their cancel
    // routines cleared; the caller completes them.
    std::vector<PIRP> TakeHeld(USBD_PIPE_HANDLE pipe, bool all);

    USB_DEVICE_DESCRIPTOR device_;
    std::vector<uint8_t> configuration_;

    mutable std::mutex mutex_;
    Timing timing_ = Timing::Immediate;
    bool configured_ = false;
    bool gone_ = false;
    uint8_t alternates_[3] = {0, 0, 0};
    uint8_t mute_ = 0;
    uint16_t volume_ = 0;
    std::vector<uint8_t> played_;
    std::vector<uint8_t> capture_;
    size_t capturePosition_ = 0;
    std::vector<uint8_t> muteLog_;
    std::vector<USHORT> functions_;
    std::vector<PIRP> held_;
    ULONG frame_ = 0;
};

}  // namespace host
