// The streaming side of the USB audio class driver (the function driver above the filter):
// everything it sends goes from UsbAudioClassDriver::FunctionDevice(*node) down through the
// filter to the headset, as URBs in IRPs (IOCTL_INTERNAL_USB_SUBMIT_URB). It configures the
// device on first use and keeps the pipe handles the device returned.
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

    explicit AudioStream(DevNode* node);

    bool Ready() const;  // the device is present and started with a class-driver function device
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
    NTSTATUS ReadIn(uint32_t bytes, std::vector<uint8_t>* pcm);  // one isochronous IN transfer
    NTSTATUS AbortPipe();
    NTSTATUS SetCurMute(uint8_t value);   // class request SET_CUR, mute control of unit 0x31
    NTSTATUS GetCurMute(uint8_t* value);  // GET_CUR

    // The USBD status of the last URB sent.
    USBD_STATUS LastUrbStatus() const;
    // Sends a URB the caller built, from the function device at `irql`.
    NTSTATUS Submit(URB* urb, KIRQL irql = PASSIVE_LEVEL);

  private:
    NTSTATUS Configure();
    NTSTATUS Isochronous(USBD_PIPE_HANDLE pipe, ULONG flags, uint8_t* buffer, uint32_t bytes,
                         uint32_t packetBytes, KIRQL irql);
    NTSTATUS ClassInterfaceRequest(bool in, uint8_t request, uint8_t* value);

    DevNode* node_;
    mutable std::mutex mutex_;
    USBD_CONFIGURATION_HANDLE configuration_ = nullptr;
    USBD_PIPE_HANDLE playbackPipe_ = nullptr;
    USBD_PIPE_HANDLE capturePipe_ = nullptr;
    USBD_STATUS lastUrbStatus_ = USBD_STATUS_SUCCESS;
};

}  // namespace host
