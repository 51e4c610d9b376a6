#include "host/usb_headset.h"

#include <string.h>

namespace host {

UsbHeadset::UsbHeadset(uint16_t vendorId, uint16_t productId, uint16_t revision) {
    memset(&device_, 0, sizeof(device_));
    device_.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    device_.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    device_.idVendor = vendorId;
    device_.idProduct = productId;
    device_.bcdDevice = revision;
}

UsbHeadset::~UsbHeadset() = default;

void UsbHeadset::SetTiming(Timing timing) {
    std::lock_guard<std::mutex> lock(mutex_);
    timing_ = timing;
}

size_t UsbHeadset::ReleaseHeld() {
    return 0;
}
size_t UsbHeadset::HeldCount() const {
    return 0;
}

NTSTATUS UsbHeadset::InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
    UNREFERENCED_PARAMETER(pdo);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
}

void UsbHeadset::Disconnected() {}

std::vector<uint8_t> UsbHeadset::Played() const {
    return {};
}
void UsbHeadset::ClearPlayed() {}
void UsbHeadset::SetCaptureData(std::vector<uint8_t> pcm) {
    (void)pcm;
}
std::vector<uint8_t> UsbHeadset::MuteLog() const {
    return {};
}
uint8_t UsbHeadset::Mute() const {
    return 0;
}
std::vector<USHORT> UsbHeadset::UrbFunctions() const {
    return {};
}
uint8_t UsbHeadset::AlternateSetting(uint8_t interfaceNumber) const {
    (void)interfaceNumber;
    return 0;
}
bool UsbHeadset::Configured() const {
    return false;
}

}  // namespace host
