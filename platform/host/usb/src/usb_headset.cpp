// The simulated USB audio headset. The device's answers come from what the host controller
// and the device would do with each URB: the controller checks the URB (its length, pipe
// handle, packets, start frame) and fails it with USBD_STATUS_INVALID_PARAMETER and friends,
// the device answers control transfers or STALLs them, and the isochronous endpoints move
// data. Status codes map to NTSTATUS as the USB stack maps them.
#include "host/usb_headset.h"

#include <string.h>

#include <algorithm>

#include <usbdlib.h>

#include "host/kernel.h"

namespace host {
namespace {

// One interface setting of the configuration; a setting with an endpoint uses the pipe of
// its interface.
struct Setting {
    uint8_t interfaceNumber;
    uint8_t alternate;
    uint8_t subClass;  // 1 audio control, 2 audio streaming
    uint8_t endpoints;
};

constexpr Setting kSettings[] = {
    {0, 0, 1, 0}, {1, 0, 2, 0}, {1, 1, 2, 1}, {2, 0, 2, 0}, {2, 1, 2, 1},
};
constexpr uint8_t kInterfaceCount = 3;
constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kAudioClass = 0x01;
constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kCsEndpoint = 0x25;

const Setting* FindSetting(uint8_t interfaceNumber, uint8_t alternate) {
    for (const Setting& setting : kSettings) {
        if (setting.interfaceNumber == interfaceNumber && setting.alternate == alternate) {
            return &setting;
        }
    }
    return nullptr;
}

void Append(std::vector<uint8_t>* bytes, std::initializer_list<uint8_t> values) {
    bytes->insert(bytes->end(), values);
}

void PutWord(std::vector<uint8_t>* bytes, size_t at, size_t value) {
    (*bytes)[at] = static_cast<uint8_t>(value & 0xFF);
    (*bytes)[at + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

// A USB Audio Class 1.0 headset: stereo playback through a feature unit with a master mute,
// mono capture, both at 48 kHz 16-bit.
std::vector<uint8_t> BuildConfiguration() {
    std::vector<uint8_t> d;
    Append(&d, {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, kInterfaceCount, kConfigurationValue, 0,
                0x80, 50});
    Append(&d, {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0, kAudioClass, 1, 0, 0});
    const size_t header = d.size();
    Append(&d, {10, kCsInterface, 0x01, 0x00, 0x01, 0, 0, 2, 1, 2});  // AC header, 2 streams
    Append(&d, {12, kCsInterface, 0x02, 1, 0x01, 0x01, 0, 2, 0x03, 0x00, 0, 0});  // IT 1: USB
    Append(&d, {10, kCsInterface, 0x06, UsbHeadset::kFeatureUnit, 1, 1, 0x01, 0x00, 0x00, 0});
    Append(&d, {9, kCsInterface, 0x03, 3, 0x02, 0x03, 0, UsbHeadset::kFeatureUnit, 0});  // OT 3
    Append(&d, {12, kCsInterface, 0x02, 4, 0x01, 0x02, 0, 1, 0x00, 0x00, 0, 0});  // IT 4: mic
    Append(&d, {9, kCsInterface, 0x03, 5, 0x01, 0x01, 0, 4, 0});                  // OT 5: USB
    PutWord(&d, header + 5, d.size() - header);

    Append(&d, {9, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 0, kAudioClass, 2, 0, 0});
    Append(&d, {9, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 1, 1, kAudioClass, 2, 0, 0});
    Append(&d, {7, kCsInterface, 0x01, 1, 1, 0x01, 0x00});                   // AS, PCM
    Append(&d, {11, kCsInterface, 0x02, 1, 2, 2, 16, 1, 0x80, 0xBB, 0x00});  // 48 kHz stereo
    Append(&d, {9, USB_ENDPOINT_DESCRIPTOR_TYPE, UsbHeadset::kPlaybackEndpoint, 0x09,
                UsbHeadset::kPlaybackPacketSize, 0, 1, 0, 0});  // isochronous, adaptive
    Append(&d, {7, kCsEndpoint, 0x01, 0x00, 0, 0, 0});

    Append(&d, {9, USB_INTERFACE_DESCRIPTOR_TYPE, 2, 0, 0, kAudioClass, 2, 0, 0});
    Append(&d, {9, USB_INTERFACE_DESCRIPTOR_TYPE, 2, 1, 1, kAudioClass, 2, 0, 0});
    Append(&d, {7, kCsInterface, 0x01, 5, 1, 0x01, 0x00});
    Append(&d, {11, kCsInterface, 0x02, 1, 1, 2, 16, 1, 0x80, 0xBB, 0x00});  // 48 kHz mono
    Append(&d, {9, USB_ENDPOINT_DESCRIPTOR_TYPE, UsbHeadset::kCaptureEndpoint, 0x05,
                UsbHeadset::kCapturePacketSize, 0, 1, 0, 0});  // isochronous, asynchronous
    Append(&d, {7, kCsEndpoint, 0x01, 0x00, 0, 0, 0});
    PutWord(&d, 2, d.size());
    return d;
}

NTSTATUS ToNtStatus(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS:
            return STATUS_SUCCESS;
        case USBD_STATUS_CANCELED:
            return STATUS_CANCELLED;
        case USBD_STATUS_DEVICE_GONE:
            return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
        case USBD_STATUS_INTERFACE_NOT_FOUND:
            return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_BUFFER_TOO_SMALL:
            return STATUS_BUFFER_TOO_SMALL;
        default:
            return STATUS_UNSUCCESSFUL;
    }
}

URB* UrbOf(PIRP irp) {
    return static_cast<URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

bool IsClassRequest(USHORT function) {
    return function == URB_FUNCTION_CLASS_DEVICE || function == URB_FUNCTION_CLASS_INTERFACE ||
           function == URB_FUNCTION_CLASS_ENDPOINT || function == URB_FUNCTION_CLASS_OTHER;
}

// The recipient bits of bmRequestType for the class and vendor URB functions.
uint8_t RecipientOf(USHORT function) {
    switch (function) {
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_VENDOR_INTERFACE:
            return 1;
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_VENDOR_ENDPOINT:
            return 2;
        case URB_FUNCTION_CLASS_OTHER:
        case URB_FUNCTION_VENDOR_OTHER:
            return 3;
        default:
            return 0;
    }
}

bool IsVendorRequest(USHORT function) {
    return function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
           function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
}

// The size a URB of a control function must have, 0 for the functions handled elsewhere.
size_t ControlUrbSize(USHORT function) {
    switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
            return sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
        case URB_FUNCTION_GET_CONFIGURATION:
            return sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST);
        case URB_FUNCTION_GET_INTERFACE:
            return sizeof(struct _URB_CONTROL_GET_INTERFACE_REQUEST);
        case URB_FUNCTION_CONTROL_TRANSFER:
            return sizeof(struct _URB_CONTROL_TRANSFER);
        default:
            return IsClassRequest(function) || IsVendorRequest(function)
                       ? sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)
                       : 0;
    }
}

}  // namespace

UsbHeadset::UsbHeadset(uint16_t vendorId, uint16_t productId, uint16_t revision)
    : device_(MakeDeviceDescriptor(vendorId, productId, revision)),
      configuration_(BuildConfiguration()) {
    pipes_[0] = {kPlaybackInterface, kPlaybackEndpoint, kPlaybackPacketSize, nullptr};
    pipes_[1] = {kCaptureInterface, kCaptureEndpoint, kCapturePacketSize, nullptr};
}

UsbHeadset::~UsbHeadset() = default;

void UsbHeadset::SetTiming(Timing timing) {
    std::lock_guard<std::mutex> lock(mutex_);
    timing_ = timing;
}

void UsbHeadset::SetHeldRequests(bool classRequests, bool transfers) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdClass_ = classRequests;
    holdTransfers_ = transfers;
}

size_t UsbHeadset::HeldCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
}

NTSTATUS UsbHeadset::InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
    UNREFERENCED_PARAMETER(pdo);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        auto* portStatus = static_cast<PULONG>(location->Parameters.Others.Argument1);
        status = STATUS_INVALID_PARAMETER;
        if (portStatus != nullptr) {
            *portStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
            status = STATUS_SUCCESS;
        }
    } else if (code == IOCTL_INTERNAL_USB_RESET_PORT || code == IOCTL_INTERNAL_USB_CYCLE_PORT) {
        status = STATUS_SUCCESS;
    } else if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        URB* urb = static_cast<URB*>(location->Parameters.Others.Argument1);
        if (urb == nullptr) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            std::vector<Completion> aborted;
            bool hold = false;
            bool cancelledAtOnce = false;
            USBD_STATUS usbStatus;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                functions_.push_back(urb->UrbHeader.Function);
                usbStatus = Submit(urb, &hold, &aborted);
                if (hold) {
                    // Marked before anyone else can see it: the cancel routine or ReleaseHeld
                    // may complete it as soon as the lock is gone.
                    IoMarkIrpPending(irp);
                    irp->Tail.Overlay.DriverContext[0] = this;
                    held_.push_back(irp);
                    IoSetCancelRoutine(irp, CancelHeld);
                    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                        // Cancelled before the routine was in place: nobody else will finish it.
                        held_.pop_back();
                        cancelledAtOnce = true;
                    }
                }
            }
            CompleteAll(aborted);
            if (hold) {
                if (cancelledAtOnce) {
                    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
                    irp->IoStatus.Status = STATUS_CANCELLED;
                    irp->IoStatus.Information = 0;
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                }
                return STATUS_PENDING;
            }
            urb->UrbHeader.Status = usbStatus;
            status = ToNtStatus(usbStatus);
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

USBD_STATUS UsbHeadset::Submit(URB* urb, bool* hold, std::vector<Completion>* cancelled) {
    if (gone_) {
        return USBD_STATUS_DEVICE_GONE;
    }
    const USHORT function = urb->UrbHeader.Function;
    const USHORT length = urb->UrbHeader.Length;
    const bool held = timing_ == Timing::Held;
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return SelectConfiguration(urb, cancelled);
        case URB_FUNCTION_SELECT_INTERFACE:
            return SelectInterface(urb, cancelled);
        case URB_FUNCTION_ABORT_PIPE:
            return AbortPipe(urb, cancelled);
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            if (length < sizeof(struct _URB_PIPE_REQUEST)) {
                return USBD_STATUS_INVALID_PARAMETER;
            }
            return FindPipe(urb->UrbPipeRequest.PipeHandle) != nullptr
                       ? USBD_STATUS_SUCCESS
                       : USBD_STATUS_INVALID_PIPE_HANDLE;
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            if (length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)) {
                return USBD_STATUS_INVALID_PARAMETER;
            }
            urb->UrbGetCurrentFrameNumber.FrameNumber = frame_;
            return USBD_STATUS_SUCCESS;
        case URB_FUNCTION_ISOCH_TRANSFER: {
            const USBD_STATUS status = CheckIsochronous(urb);
            if (USBD_SUCCESS(status) && held && holdTransfers_) {
                *hold = true;
                return status;
            }
            return USBD_SUCCESS(status) ? RunIsochronous(urb) : status;
        }
        default: {
            const size_t size = ControlUrbSize(function);
            if (size == 0) {
                return USBD_STATUS_INVALID_URB_FUNCTION;
            }
            if (length < size) {
                return USBD_STATUS_INVALID_PARAMETER;
            }
            if (IsClassRequest(function) && held && holdClass_) {
                *hold = true;
                return USBD_STATUS_SUCCESS;
            }
            return Run(urb);
        }
    }
}

USBD_STATUS UsbHeadset::Run(URB* urb) {
    const USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_ISOCH_TRANSFER) {
        return RunIsochronous(urb);
    }
    ControlRequest request;
    switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& r = urb->UrbControlDescriptorRequest;
            request = {0x80,
                       USB_REQUEST_GET_DESCRIPTOR,
                       static_cast<uint16_t>(r.DescriptorType << 8 | r.Index),
                       r.LanguageId,
                       UrbTransferData(r.TransferBuffer, r.TransferBufferMDL),
                       &r.TransferBufferLength};
            break;
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: {
            auto& r = urb->UrbControlGetStatusRequest;
            const uint8_t recipient =
                static_cast<uint8_t>(function - URB_FUNCTION_GET_STATUS_FROM_DEVICE);
            request = {static_cast<uint8_t>(0x80 | recipient),
                       USB_REQUEST_GET_STATUS,
                       0,
                       r.Index,
                       UrbTransferData(r.TransferBuffer, r.TransferBufferMDL),
                       &r.TransferBufferLength};
            break;
        }
        case URB_FUNCTION_GET_CONFIGURATION: {
            auto& r = urb->UrbControlGetConfigurationRequest;
            request = {0x80,
                       USB_REQUEST_GET_CONFIGURATION,
                       0,
                       0,
                       UrbTransferData(r.TransferBuffer, r.TransferBufferMDL),
                       &r.TransferBufferLength};
            break;
        }
        case URB_FUNCTION_GET_INTERFACE: {
            auto& r = urb->UrbControlGetInterfaceRequest;
            request = {0x81,
                       USB_REQUEST_GET_INTERFACE,
                       0,
                       r.Interface,
                       UrbTransferData(r.TransferBuffer, r.TransferBufferMDL),
                       &r.TransferBufferLength};
            break;
        }
        case URB_FUNCTION_CONTROL_TRANSFER: {
            auto& r = urb->UrbControlTransfer;
            USB_DEFAULT_PIPE_SETUP_PACKET setup;
            memcpy(&setup, r.SetupPacket, sizeof(setup));
            request = {setup.bmRequestType,
                       setup.bRequest,
                       setup.wValue,
                       setup.wIndex,
                       UrbTransferData(r.TransferBuffer, r.TransferBufferMDL),
                       &r.TransferBufferLength};
            break;
        }
        default: {
            // Class and vendor requests: the host controller builds bmRequestType from the
            // function and the direction flag.
            auto& r = urb->UrbControlVendorClassRequest;
            const uint8_t type = IsClassRequest(function) ? 0x20 : 0x40;
            const uint8_t direction = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0;
            request = {static_cast<uint8_t>(direction | type | RecipientOf(function)),
                       r.Request,
                       r.Value,
                       r.Index,
                       UrbTransferData(r.TransferBuffer, r.TransferBufferMDL),
                       &r.TransferBufferLength};
            break;
        }
    }
    return Control(request);
}

USBD_STATUS UsbHeadset::Control(const ControlRequest& request) {
    if (*request.length != 0 && request.data == nullptr) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    // An IN request's data stage: the device sends what it has, up to the host's length.
    auto reply = [&request](const void* bytes, size_t count) {
        const ULONG sent = static_cast<ULONG>(std::min<size_t>(count, *request.length));
        if (sent != 0) {
            memcpy(request.data, bytes, sent);
        }
        *request.length = sent;
        return USBD_STATUS_SUCCESS;
    };
    const uint8_t zeroStatus[2] = {0, 0};
    switch (request.requestType) {
        case 0x80:
            if (request.request == USB_REQUEST_GET_DESCRIPTOR) {
                return ControlDescriptor(request);
            }
            if (request.request == USB_REQUEST_GET_STATUS) {
                return reply(zeroStatus, sizeof(zeroStatus));  // bus-powered, no wake-up
            }
            if (request.request == USB_REQUEST_GET_CONFIGURATION) {
                const uint8_t value = configured_ ? kConfigurationValue : 0;
                return reply(&value, 1);
            }
            break;
        case 0x81:
            if (configured_ && request.index < kInterfaceCount) {
                if (request.request == USB_REQUEST_GET_INTERFACE) {
                    return reply(&alternates_[request.index], 1);
                }
                if (request.request == USB_REQUEST_GET_STATUS) {
                    return reply(zeroStatus, sizeof(zeroStatus));
                }
            }
            break;
        case 0x21:  // class, interface, host to device
            if (configured_ && request.request == kSetCur && request.value == kMuteValue &&
                request.index == kMuteIndex && *request.length == 1) {
                mute_ = request.data[0];
                muteLog_.push_back(mute_);
                return USBD_STATUS_SUCCESS;
            }
            break;
        case 0xA1:  // class, interface, device to host
            if (configured_ && request.request == kGetCur && request.value == kMuteValue &&
                request.index == kMuteIndex && *request.length >= 1) {
                return reply(&mute_, 1);
            }
            break;
        default:
            break;
    }
    return USBD_STATUS_STALL_PID;
}

USBD_STATUS UsbHeadset::ControlDescriptor(const ControlRequest& request) {
    const uint8_t type = static_cast<uint8_t>(request.value >> 8);
    const uint8_t index = static_cast<uint8_t>(request.value & 0xFF);
    const void* bytes = nullptr;
    size_t count = 0;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) {
        bytes = &device_;
        count = sizeof(device_);
    } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
        bytes = configuration_.data();
        count = configuration_.size();
    } else {
        return USBD_STATUS_STALL_PID;  // no string descriptors, one configuration
    }
    const ULONG sent = static_cast<ULONG>(std::min<size_t>(count, *request.length));
    if (sent != 0) {
        memcpy(request.data, bytes, sent);
    }
    *request.length = sent;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbHeadset::SelectConfiguration(URB* urb, std::vector<Completion>* cancelled) {
    auto& select = urb->UrbSelectConfiguration;
    const size_t base = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    const size_t length = urb->UrbHeader.Length;
    if (length < base) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (select.ConfigurationDescriptor == nullptr) {
        // The unconfigured state: every pipe closes.
        for (uint8_t i = 0; i < kInterfaceCount; ++i) {
            SetAlternate(i, 0, cancelled);
        }
        configured_ = false;
        configurationHandle_ = nullptr;
        select.ConfigurationHandle = nullptr;
        return USBD_STATUS_SUCCESS;
    }
    const USB_CONFIGURATION_DESCRIPTOR* descriptor = select.ConfigurationDescriptor;
    if (descriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        descriptor->bConfigurationValue != kConfigurationValue ||
        descriptor->bNumInterfaces != kInterfaceCount) {
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    }
    // Every interface of the configuration has its entry, each as long as its own Length
    // says; all are checked before anything changes.
    USBD_INTERFACE_INFORMATION* entries[kInterfaceCount];
    const Setting* settings[kInterfaceCount];
    bool seen[kInterfaceCount] = {};
    size_t offset = base;
    for (uint8_t i = 0; i < kInterfaceCount; ++i) {
        if (offset + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) > length) {
            return USBD_STATUS_BUFFER_TOO_SMALL;
        }
        auto* entry =
            reinterpret_cast<USBD_INTERFACE_INFORMATION*>(reinterpret_cast<uint8_t*>(urb) + offset);
        const Setting* setting = FindSetting(entry->InterfaceNumber, entry->AlternateSetting);
        if (setting == nullptr || seen[setting->interfaceNumber]) {
            return USBD_STATUS_INTERFACE_NOT_FOUND;
        }
        // Entries are laid out one after another; a length that would misalign the next one
        // is refused rather than read through a misaligned pointer.
        if (entry->Length < GET_USBD_INTERFACE_SIZE(setting->endpoints) ||
            entry->Length % sizeof(PVOID) != 0 || offset + entry->Length > length) {
            return USBD_STATUS_BUFFER_TOO_SMALL;
        }
        seen[setting->interfaceNumber] = true;
        entries[i] = entry;
        settings[i] = setting;
        offset += entry->Length;
    }
    for (uint8_t i = 0; i < kInterfaceCount; ++i) {
        SetAlternate(i, 0, cancelled);
    }
    configured_ = true;
    configurationHandle_ = NewHandle();
    select.ConfigurationHandle = configurationHandle_;
    for (uint8_t i = 0; i < kInterfaceCount; ++i) {
        const Setting& setting = *settings[i];
        interfaceHandles_[setting.interfaceNumber] = NewHandle();
        SetAlternate(setting.interfaceNumber, setting.alternate, cancelled);
        USBD_INTERFACE_INFORMATION* entry = entries[i];
        entry->Class = kAudioClass;
        entry->SubClass = setting.subClass;
        entry->Protocol = 0;
        entry->InterfaceHandle = interfaceHandles_[setting.interfaceNumber];
        entry->NumberOfPipes = setting.endpoints;
        if (setting.endpoints != 0) {
            const Pipe& pipe = pipes_[setting.interfaceNumber - 1];
            USBD_PIPE_INFORMATION& info = entry->Pipes[0];
            info.MaximumPacketSize = pipe.maxPacket;
            info.EndpointAddress = pipe.endpoint;
            info.Interval = 1;
            info.PipeType = UsbdPipeTypeIsochronous;
            info.PipeHandle = pipe.handle;
            info.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
    }
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbHeadset::SelectInterface(URB* urb, std::vector<Completion>* cancelled) {
    auto& select = urb->UrbSelectInterface;
    const size_t base = FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
    const size_t length = urb->UrbHeader.Length;
    if (length < base + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (!configured_ || select.ConfigurationHandle != configurationHandle_) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    USBD_INTERFACE_INFORMATION& entry = select.Interface;
    const Setting* setting = FindSetting(entry.InterfaceNumber, entry.AlternateSetting);
    if (setting == nullptr) {
        return USBD_STATUS_INTERFACE_NOT_FOUND;
    }
    if (entry.Length < GET_USBD_INTERFACE_SIZE(setting->endpoints) ||
        base + entry.Length > length) {
        return USBD_STATUS_BUFFER_TOO_SMALL;
    }
    SetAlternate(setting->interfaceNumber, setting->alternate, cancelled);
    entry.Class = kAudioClass;
    entry.SubClass = setting->subClass;
    entry.Protocol = 0;
    entry.InterfaceHandle = interfaceHandles_[setting->interfaceNumber];
    entry.NumberOfPipes = setting->endpoints;
    if (setting->endpoints != 0) {
        const Pipe& pipe = pipes_[setting->interfaceNumber - 1];
        entry.Pipes[0].MaximumPacketSize = pipe.maxPacket;
        entry.Pipes[0].EndpointAddress = pipe.endpoint;
        entry.Pipes[0].Interval = 1;
        entry.Pipes[0].PipeType = UsbdPipeTypeIsochronous;
        entry.Pipes[0].PipeHandle = pipe.handle;
        entry.Pipes[0].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    return USBD_STATUS_SUCCESS;
}

void UsbHeadset::SetAlternate(uint8_t interfaceNumber, uint8_t alternate,
                              std::vector<Completion>* cancelled) {
    alternates_[interfaceNumber] = alternate;
    if (interfaceNumber == kControlInterface) {
        return;
    }
    Pipe& pipe = pipes_[interfaceNumber - 1];
    if (pipe.handle != nullptr) {
        // Closing a pipe aborts what is queued on it.
        const USBD_PIPE_HANDLE closing = pipe.handle;
        TakeHeld(
            [closing](URB* urb) {
                return urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER &&
                       urb->UrbIsochronousTransfer.PipeHandle == closing;
            },
            USBD_STATUS_CANCELED, cancelled);
        pipe.handle = nullptr;
    }
    if (alternate != 0) {
        pipe.handle = NewHandle();
    }
}

UsbHeadset::Pipe* UsbHeadset::FindPipe(USBD_PIPE_HANDLE handle) {
    for (Pipe& pipe : pipes_) {
        if (handle != nullptr && pipe.handle == handle) {
            return &pipe;
        }
    }
    return nullptr;
}

USBD_PIPE_HANDLE UsbHeadset::NewHandle() {
    // Opaque values, never dereferenced: a handle of a closed pipe never comes back.
    return reinterpret_cast<USBD_PIPE_HANDLE>(0x7E5E0000u + 16 * ++handles_);
}

USBD_STATUS UsbHeadset::CheckIsochronous(URB* urb) {
    auto& transfer = urb->UrbIsochronousTransfer;
    const size_t length = urb->UrbHeader.Length;
    const size_t packets = FIELD_OFFSET(struct _URB_ISOCH_TRANSFER, IsoPacket);
    if (length < packets) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const Pipe* pipe = FindPipe(transfer.PipeHandle);
    if (pipe == nullptr) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    const ULONG count = transfer.NumberOfPackets;
    if (count == 0 || count > kMaxIsoPackets ||
        length < packets + count * sizeof(USBD_ISO_PACKET_DESCRIPTOR)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const ULONG bytes = transfer.TransferBufferLength;
    if (UrbTransferData(transfer.TransferBuffer, transfer.TransferBufferMDL) == nullptr ||
        bytes == 0) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const bool in = USB_ENDPOINT_DIRECTION_IN(pipe->endpoint);
    for (ULONG i = 0; i < count; ++i) {
        const ULONG start = transfer.IsoPacket[i].Offset;
        const ULONG end = i + 1 < count ? transfer.IsoPacket[i + 1].Offset : bytes;
        if (start >= bytes || end <= start || end > bytes) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        if (!in && end - start > pipe->maxPacket) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
    }
    // The transfer goes the way its endpoint points, whatever the flag said.
    if (in) {
        transfer.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    } else {
        transfer.TransferFlags &= ~static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN);
    }
    if (transfer.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
        transfer.StartFrame = frame_;
    } else if (transfer.StartFrame - frame_ >= USBD_ISO_START_FRAME_RANGE) {
        return USBD_STATUS_BAD_START_FRAME;
    }
    frame_ = transfer.StartFrame + count;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbHeadset::RunIsochronous(URB* urb) {
    auto& transfer = urb->UrbIsochronousTransfer;
    const Pipe* pipe = FindPipe(transfer.PipeHandle);
    if (pipe == nullptr) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    uint8_t* data = UrbTransferData(transfer.TransferBuffer, transfer.TransferBufferMDL);
    const ULONG bytes = transfer.TransferBufferLength;
    const ULONG count = transfer.NumberOfPackets;
    const bool in = USB_ENDPOINT_DIRECTION_IN(pipe->endpoint);
    for (ULONG i = 0; i < count; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR& packet = transfer.IsoPacket[i];
        const ULONG start = packet.Offset;
        const ULONG end = i + 1 < count ? transfer.IsoPacket[i + 1].Offset : bytes;
        if (in) {
            const ULONG sent = std::min<ULONG>(end - start, pipe->maxPacket);
            for (ULONG b = 0; b < sent; ++b) {
                uint8_t value = 0;
                if (!capture_.empty()) {
                    value = capture_[capturePosition_];
                    capturePosition_ = (capturePosition_ + 1) % capture_.size();
                }
                data[start + b] = value;
            }
            packet.Length = sent;
        } else {
            played_.insert(played_.end(), data + start, data + end);
        }
        packet.Status = USBD_STATUS_SUCCESS;
    }
    transfer.ErrorCount = 0;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbHeadset::AbortPipe(URB* urb, std::vector<Completion>* cancelled) {
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const USBD_PIPE_HANDLE handle = urb->UrbPipeRequest.PipeHandle;
    if (FindPipe(handle) == nullptr) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    TakeHeld(
        [handle](URB* held) {
            return held->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER &&
                   held->UrbIsochronousTransfer.PipeHandle == handle;
        },
        USBD_STATUS_CANCELED, cancelled);
    return USBD_STATUS_SUCCESS;
}

template <typename Match>
void UsbHeadset::TakeHeld(Match match, USBD_STATUS status, std::vector<Completion>* taken) {
    for (auto it = held_.begin(); it != held_.end();) {
        PIRP irp = *it;
        URB* urb = UrbOf(irp);
        // A request whose cancel routine is already gone is being cancelled: its routine
        // takes it out of the list and completes it.
        if (match(urb) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            urb->UrbHeader.Status = status;
            taken->push_back({irp, ToNtStatus(status)});
            it = held_.erase(it);
        } else {
            ++it;
        }
    }
}

size_t UsbHeadset::ReleaseHeld() {
    kernel::KernelEntry entry;
    std::vector<Completion> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = held_.begin(); it != held_.end();) {
            PIRP irp = *it;
            if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
                ++it;
                continue;
            }
            URB* urb = UrbOf(irp);
            const USBD_STATUS status = gone_ ? USBD_STATUS_DEVICE_GONE : Run(urb);
            urb->UrbHeader.Status = status;
            done.push_back({irp, ToNtStatus(status)});
            it = held_.erase(it);
        }
    }
    // As the host controller's completion DPC would.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CompleteAll(done);
    KeLowerIrql(old);
    return done.size();
}

void UsbHeadset::Disconnected() {
    std::vector<Completion> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone_ = true;
        TakeHeld([](URB*) { return true; }, USBD_STATUS_DEVICE_GONE, &gone);
    }
    CompleteAll(gone);
}

void UsbHeadset::CompleteAll(const std::vector<Completion>& completions) {
    for (const Completion& completion : completions) {
        completion.irp->IoStatus.Status = completion.status;
        completion.irp->IoStatus.Information = 0;
        IoCompleteRequest(completion.irp, IO_NO_INCREMENT);
    }
}

// IRQL: DISPATCH_LEVEL, with the cancel spin lock held, which it releases.
VOID UsbHeadset::CancelHeld(PDEVICE_OBJECT device, PIRP irp) {
    UNREFERENCED_PARAMETER(device);
    auto* self = static_cast<UsbHeadset*>(irp->Tail.Overlay.DriverContext[0]);
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->held_.erase(std::remove(self->held_.begin(), self->held_.end(), irp),
                          self->held_.end());
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    UrbOf(irp)->UrbHeader.Status = USBD_STATUS_CANCELED;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

std::vector<uint8_t> UsbHeadset::Played() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return played_;
}

void UsbHeadset::ClearPlayed() {
    std::lock_guard<std::mutex> lock(mutex_);
    played_.clear();
}

void UsbHeadset::SetCaptureData(std::vector<uint8_t> pcm) {
    std::lock_guard<std::mutex> lock(mutex_);
    capture_ = std::move(pcm);
    capturePosition_ = 0;
}

std::vector<uint8_t> UsbHeadset::MuteLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return muteLog_;
}

uint8_t UsbHeadset::Mute() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mute_;
}

std::vector<USHORT> UsbHeadset::UrbFunctions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return functions_;
}

void UsbHeadset::ClearRecords() {
    std::lock_guard<std::mutex> lock(mutex_);
    played_.clear();
    muteLog_.clear();
    functions_.clear();
}

bool UsbHeadset::Configured() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return configured_;
}

uint8_t UsbHeadset::AlternateSetting(uint8_t interfaceNumber) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return interfaceNumber < kInterfaceCount && configured_ ? alternates_[interfaceNumber] : 0;
}

}  // namespace host

namespace host {

uint8_t UsbHeadset::CurrentConfiguration() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return configured_ ? 1 : 0;
}

std::vector<USB_ENDPOINT_DESCRIPTOR> UsbHeadset::OpenPipes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<USB_ENDPOINT_DESCRIPTOR> open;
    for (const Pipe& pipe : pipes_) {
        if (pipe.handle != nullptr) {
            USB_ENDPOINT_DESCRIPTOR endpoint{};
            endpoint.bLength = sizeof(USB_ENDPOINT_DESCRIPTOR);
            endpoint.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
            endpoint.bEndpointAddress = pipe.endpoint;
            // Isochronous: adaptive for playback, asynchronous for capture.
            endpoint.bmAttributes = (pipe.endpoint & 0x80) != 0 ? 0x05 : 0x09;
            endpoint.wMaxPacketSize = pipe.maxPacket;
            endpoint.bInterval = 1;
            open.push_back(endpoint);
        }
    }
    return open;
}

}  // namespace host
