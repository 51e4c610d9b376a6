// The device model behind a USB physical device object. The bus driver's PDO hands every
// internal device-control request (URBs through IOCTL_INTERNAL_USB_SUBMIT_URB, the port
// requests) to the function plugged into its port; the simulated headset implements this.
#pragma once

#include <stdint.h>

#include <mutex>
#include <vector>

#include <usb.h>
#include <usbioctl.h>

namespace host {

// A full-speed device's 18-byte device descriptor with one configuration and no strings.
USB_DEVICE_DESCRIPTOR MakeDeviceDescriptor(uint16_t vendorId, uint16_t productId,
                                           uint16_t revision);

// Where a URB's data lies: its buffer pointer, else the system address of its MDL; null when
// it has neither.
uint8_t* UrbTransferData(PVOID buffer, PMDL mdl);

class UsbFunction {
  public:
    virtual ~UsbFunction() = default;

    // An IRP_MJ_INTERNAL_DEVICE_CONTROL request has reached the PDO. Called in the submitter's
    // thread at its IRQL (up to DISPATCH_LEVEL) while the device is on the bus. Either complete
    // the IRP (IoCompleteRequest, with the URB's Hdr.Status set) and return its status, or
    // IoMarkIrpPending, return STATUS_PENDING and complete it later from any thread.
    virtual NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) = 0;

    // The device has left the bus: complete every request still pending (STATUS_CANCELLED or
    // STATUS_DEVICE_NOT_CONNECTED with USBD_STATUS_DEVICE_GONE). PASSIVE_LEVEL; requests that
    // arrive after it are failed by the bus driver without reaching the function.
    virtual void Disconnected() {}

    // What the device's hub reports of it: its device descriptor, the configuration value it is in
    // (0 when not configured) and the endpoints of its open pipes. Any thread.
    virtual USB_DEVICE_DESCRIPTOR DeviceDescriptor() const = 0;
    virtual uint8_t CurrentConfiguration() const { return 0; }
    virtual std::vector<USB_ENDPOINT_DESCRIPTOR> OpenPipes() const { return {}; }
    // Whether the bus completes this device's start request later (from a timer a
    // millisecond on) instead of at once, as a hub that has to reset the port first does.
    // Either way the PDO fails every internal request that arrives before its start has
    // completed.
    virtual bool StartCompletesLater() const { return false; }
};

// A function that answers the device-descriptor request with its identity, the
// configuration-descriptor request with one audio-control interface without endpoints, and
// completes every other URB successfully at once (isochronous packets included), remembering
// what it was sent.
// It stands in for a device until a fuller model is plugged in.
class BasicUsbFunction : public UsbFunction {
  public:
    BasicUsbFunction(uint16_t vendorId, uint16_t productId, uint16_t revision = 0x0100);

    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override;

    // The URB function codes received, in order.
    std::vector<USHORT> UrbFunctions() const;
    const USB_DEVICE_DESCRIPTOR& Descriptor() const { return descriptor_; }
    USB_DEVICE_DESCRIPTOR DeviceDescriptor() const override { return descriptor_; }
    uint8_t CurrentConfiguration() const override;

  private:
    USB_DEVICE_DESCRIPTOR descriptor_;
    mutable std::mutex mutex_;
    uint8_t configuration_ = 0;
    std::vector<USHORT> functions_;
};

}  // namespace host
