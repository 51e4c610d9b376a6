// The streaming side of the USB audio class driver (the function driver above the filter):
// everything it sends goes from UsbAudioClassDriver::FunctionDevice(*node) down through the
// filter to the headset, as URBs in IRPs (IOCTL_INTERNAL_USB_SUBMIT_URB).
//
// The stream opens the node's function device when it is made (holding a reference on it, as
// an open pin does) and on first use takes the configuration the class driver selected when
// it started the device, keeping the pipe handles the device returns. After the device's stack has
// been removed every request fails with STATUS_DELETE_PENDING; Reopen() takes the new stack of a
// restarted device. One stream may be used from several threads at once; Ready() and
// Reopen() read the device node and belong to the thread that drives Plug and Play.
#pragma once

#include <stdint.h>

#include <mutex>
#include <vector>

#include <usb.h>

#include "host/pnp.h"

namespace host {

class AudioStream {
  public:
    // The frame interval's share of a playback transfer: 1 ms of 48 kHz 16-bit stereo.
    static constexpr uint32_t kPacketBytes = 192;
    // The same for capture: 1 ms of 48 kHz 16-bit mono.
    static constexpr uint32_t kCapturePacketBytes = 96;

    explicit AudioStream(DevNode* node);
    ~AudioStream();
    AudioStream(const AudioStream&) = delete;
    AudioStream& operator=(const AudioStream&) = delete;

    bool Ready() const;  // the device is present and started with a class-driver function device
    // Takes the node's current function device (after a restart) and, on first use, its
    // configuration.
    void Reopen();

    NTSTATUS SelectInterface(uint8_t interfaceNumber, uint8_t alternate);
    NTSTATUS Start();  // interface 1, alternate 1
    NTSTATUS Stop();   // interface 1, alternate 0
    // One isochronous OUT transfer of `bytes` (a copy of pcm; packets of 192 bytes per frame
    // interval, the last shorter), submitted at `irql` as a streaming DPC does.
    NTSTATUS WriteOut(const uint8_t* pcm, uint32_t bytes,
                      ULONG flags = USBD_START_ISO_TRANSFER_ASAP, KIRQL irql = DISPATCH_LEVEL);
    // Start(), then consecutive transfers of chunkBytes (the last shorter). Stops at the first
    // failure.
    NTSTATUS Play(const std::vector<uint8_t>& pcm, uint32_t chunkBytes);
    // One isochronous IN transfer (packets of 96 bytes) on interface 2, which it starts if
    // needed.
    NTSTATUS ReadIn(uint32_t bytes, std::vector<uint8_t>* pcm);
    NTSTATUS AbortPipe();
    NTSTATUS SetCurMute(uint8_t value);   // class request SET_CUR, mute control of unit 0x31
    NTSTATUS GetCurMute(uint8_t* value);  // GET_CUR

    // The handle the device gave the playback pipe when the stream started (null before).
    USBD_PIPE_HANDLE PlaybackPipe() const;
    // The USBD status of the last URB this stream sent.
    USBD_STATUS LastUrbStatus() const;
    // Sends a URB the caller built, from the function device at `irql`, and waits for it.
    NTSTATUS Submit(URB* urb, KIRQL irql = PASSIVE_LEVEL);

  private:
    NTSTATUS Configure();
    NTSTATUS Isochronous(bool in, ULONG flags, uint8_t* buffer, uint32_t bytes, KIRQL irql,
                         std::vector<uint8_t>* received);
    uint8_t EndpointsOf(uint8_t interfaceNumber, uint8_t alternate) const;

    DevNode* node_;
    PDEVICE_OBJECT device_ = nullptr;  // referenced while the stream holds it
    std::mutex configureMutex_;        // one configuration at a time, held across its URBs
    mutable std::mutex mutex_;         // the fields below
    bool configured_ = false;
    std::vector<uint8_t> configuration_;  // the device's configuration descriptor
    USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
    USBD_PIPE_HANDLE playbackPipe_ = nullptr;
    USBD_PIPE_HANDLE capturePipe_ = nullptr;
    uint8_t playbackInterface_ = 0xFF;
    uint8_t captureInterface_ = 0xFF;
    USBD_STATUS lastUrbStatus_ = USBD_STATUS_SUCCESS;
};

}  // namespace host
