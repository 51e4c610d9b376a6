// The class driver's streaming requests, built as a USB audio class driver builds them and
// sent down the device's stack through UsbAudioClassDriver::SubmitUrb.
#include "host/audio_stream.h"

#include <string.h>

#include <algorithm>

#include <usbdlib.h>

#include "host/kernel.h"
#include "host/usbaudio_class_driver.h"

namespace host {
namespace {

constexpr uint8_t kPlaybackInterface = 1;
constexpr uint8_t kCaptureInterface = 2;
constexpr uint8_t kSetCur = 0x01;
constexpr uint8_t kGetCur = 0x81;
constexpr USHORT kMuteValue = 0x0100;  // mute control, master channel
constexpr USHORT kMuteIndex = 0x3100;  // feature unit 0x31, interface 0

// URB memory with the alignment of the URB's pointers.
class UrbBuffer {
  public:
    explicit UrbBuffer(size_t bytes) : words_((bytes + 7) / 8, 0) {}
    URB* urb() { return reinterpret_cast<URB*>(words_.data()); }
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(words_.data()); }

  private:
    std::vector<uint64_t> words_;
};

}  // namespace

AudioStream::AudioStream(DevNode* node) : node_(node) {
    Reopen();
}

AudioStream::~AudioStream() {
    if (device_ != nullptr) {
        kernel::KernelEntry entry;
        ObDereferenceObject(device_);
    }
}

void AudioStream::Reopen() {
    kernel::KernelEntry entry;
    PDEVICE_OBJECT device = node_ != nullptr && node_->Present()
                                ? UsbAudioClassDriver::FunctionDevice(*node_)
                                : nullptr;
    if (device != nullptr) {
        ObReferenceObject(device);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (device_ != nullptr) {
        ObDereferenceObject(device_);
    }
    device_ = device;
    configured_ = false;
    configurationHandle_ = nullptr;
    playbackPipe_ = nullptr;
    capturePipe_ = nullptr;
}

bool AudioStream::Ready() const {
    if (node_ == nullptr || !node_->Present() || !node_->Started()) {
        return false;
    }
    PDEVICE_OBJECT current = UsbAudioClassDriver::FunctionDevice(*node_);
    std::lock_guard<std::mutex> lock(mutex_);
    return current != nullptr && current == device_;
}

USBD_PIPE_HANDLE AudioStream::PlaybackPipe() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return playbackPipe_;
}

USBD_STATUS AudioStream::LastUrbStatus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastUrbStatus_;
}

NTSTATUS AudioStream::Submit(URB* urb, KIRQL irql) {
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device = device_;
    }
    if (device == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    const NTSTATUS status = UsbAudioClassDriver::SubmitUrb(device, urb, irql);
    std::lock_guard<std::mutex> lock(mutex_);
    lastUrbStatus_ = urb->UrbHeader.Status;
    return status;
}

uint8_t AudioStream::EndpointsOf(uint8_t interfaceNumber, uint8_t alternate) const {
    for (size_t at = 0; at + 1 < configuration_.size() && configuration_[at] != 0;
         at += configuration_[at]) {
        if (configuration_[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE &&
            at + 4 < configuration_.size() && configuration_[at + 2] == interfaceNumber &&
            configuration_[at + 3] == alternate) {
            return configuration_[at + 4];
        }
    }
    return 0;
}

// The class driver configured the device when it started it; the stream takes the pipes'
// layout from that configuration.
NTSTATUS AudioStream::Configure() {
    std::lock_guard<std::mutex> configuring(configureMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (configured_) {
            return STATUS_SUCCESS;
        }
    }
    PDEVICE_OBJECT device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        device = device_;
    }
    if (device == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    USBD_CONFIGURATION_HANDLE handle = nullptr;
    std::vector<uint8_t> descriptor;
    const NTSTATUS status = UsbAudioClassDriver::Configuration(device, &handle, &descriptor);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    configuration_ = std::move(descriptor);
    configurationHandle_ = handle;
    playbackPipe_ = nullptr;
    capturePipe_ = nullptr;
    configured_ = true;
    return STATUS_SUCCESS;
}

NTSTATUS AudioStream::SelectInterface(uint8_t interfaceNumber, uint8_t alternate) {
    NTSTATUS status = Configure();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    USBD_CONFIGURATION_HANDLE configuration;
    uint8_t endpoints;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        configuration = configurationHandle_;
        endpoints = EndpointsOf(interfaceNumber, alternate);
    }
    // Room for one pipe at least, so that a setting the descriptor does not list is the
    // device's to refuse.
    const size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(std::max<size_t>(endpoints, 1));
    UrbBuffer buffer(size);
    URB* urb = buffer.urb();
    UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(size), configuration, interfaceNumber,
                                   alternate);
    status = Submit(urb, PASSIVE_LEVEL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectInterface.Interface;
    std::lock_guard<std::mutex> lock(mutex_);
    if (interfaceNumber == playbackInterface_) {
        playbackPipe_ = nullptr;
    }
    if (interfaceNumber == captureInterface_) {
        capturePipe_ = nullptr;
    }
    for (ULONG i = 0; i < info.NumberOfPipes && i < 1; ++i) {
        if (USB_ENDPOINT_DIRECTION_IN(info.Pipes[i].EndpointAddress)) {
            capturePipe_ = info.Pipes[i].PipeHandle;
            captureInterface_ = interfaceNumber;
        } else {
            playbackPipe_ = info.Pipes[i].PipeHandle;
            playbackInterface_ = interfaceNumber;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS AudioStream::Start() {
    return SelectInterface(kPlaybackInterface, 1);
}

NTSTATUS AudioStream::Stop() {
    return SelectInterface(kPlaybackInterface, 0);
}

NTSTATUS AudioStream::Isochronous(bool in, ULONG flags, uint8_t* buffer, uint32_t bytes, KIRQL irql,
                                  std::vector<uint8_t>* received) {
    const uint32_t packetBytes = in ? kCapturePacketBytes : kPacketBytes;
    const uint32_t packets = (bytes + packetBytes - 1) / packetBytes;
    UrbBuffer urbBuffer(GET_ISO_URB_SIZE(packets));
    URB* urb = urbBuffer.urb();
    auto& transfer = urb->UrbIsochronousTransfer;
    transfer.Hdr.Length = static_cast<USHORT>(std::min<size_t>(GET_ISO_URB_SIZE(packets), 0xFFFF));
    transfer.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        transfer.PipeHandle = in ? capturePipe_ : playbackPipe_;
    }
    transfer.TransferFlags = flags;
    transfer.TransferBufferLength = bytes;
    transfer.TransferBuffer = buffer;
    transfer.NumberOfPackets = packets;
    for (uint32_t i = 0; i < packets; ++i) {
        transfer.IsoPacket[i].Offset = i * packetBytes;
    }
    const NTSTATUS status = Submit(urb, irql);
    if (NT_SUCCESS(status) && received != nullptr) {
        received->clear();
        for (uint32_t i = 0; i < packets; ++i) {
            const USBD_ISO_PACKET_DESCRIPTOR& packet = transfer.IsoPacket[i];
            const uint32_t length = std::min(packet.Length, bytes - packet.Offset);
            received->insert(received->end(), buffer + packet.Offset,
                             buffer + packet.Offset + length);
        }
    }
    return status;
}

NTSTATUS AudioStream::WriteOut(const uint8_t* pcm, uint32_t bytes, ULONG flags, KIRQL irql) {
    std::vector<uint8_t> copy(pcm, pcm + bytes);
    return Isochronous(false, flags, copy.empty() ? nullptr : copy.data(), bytes, irql, nullptr);
}

NTSTATUS AudioStream::Play(const std::vector<uint8_t>& pcm, uint32_t chunkBytes) {
    if (chunkBytes == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = Start();
    for (size_t at = 0; NT_SUCCESS(status) && at < pcm.size(); at += chunkBytes) {
        const uint32_t bytes = static_cast<uint32_t>(std::min<size_t>(chunkBytes, pcm.size() - at));
        status = WriteOut(pcm.data() + at, bytes);
    }
    return status;
}

NTSTATUS AudioStream::ReadIn(uint32_t bytes, std::vector<uint8_t>* pcm) {
    bool open;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open = configured_ && capturePipe_ != nullptr;
    }
    if (!open) {
        const NTSTATUS status = SelectInterface(kCaptureInterface, 1);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    std::vector<uint8_t> buffer(bytes);
    return Isochronous(true, USBD_START_ISO_TRANSFER_ASAP | USBD_TRANSFER_DIRECTION_IN,
                       buffer.empty() ? nullptr : buffer.data(), bytes, DISPATCH_LEVEL, pcm);
}

NTSTATUS AudioStream::AbortPipe() {
    URB urb;
    memset(&urb, 0, sizeof(urb));
    urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        urb.UrbPipeRequest.PipeHandle = playbackPipe_;
    }
    return Submit(&urb, PASSIVE_LEVEL);
}

NTSTATUS AudioStream::SetCurMute(uint8_t value) {
    NTSTATUS status = Configure();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    URB urb;
    memset(&urb, 0, sizeof(urb));
    UCHAR data = value;
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, kSetCur,
                          kMuteValue, kMuteIndex, &data, nullptr, 1, nullptr);
    return Submit(&urb, PASSIVE_LEVEL);
}

NTSTATUS AudioStream::GetCurMute(uint8_t* value) {
    NTSTATUS status = Configure();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    URB urb;
    memset(&urb, 0, sizeof(urb));
    UCHAR data = 0;
    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, kGetCur,
                          kMuteValue, kMuteIndex, &data, nullptr, 1, nullptr);
    status = Submit(&urb, PASSIVE_LEVEL);
    if (NT_SUCCESS(status) && value != nullptr) {
        *value = data;
    }
    return status;
}

}  // namespace host
