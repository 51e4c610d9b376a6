// The USB audio class driver of the simulated machine (service "usbaudio", image
// "usbaudio.sys"): the function driver above the lower filters. This one attaches, forwards
// every request down unchanged, starts synchronously, checking the port's status with the
// hub and selecting the device's configuration
// (every interface at alternate setting 0) as Windows' class driver does, and, once started,
// registers and enables the KSCATEGORY_AUDIO, KSCATEGORY_RENDER and KSCATEGORY_CAPTURE
// interfaces of its device. A device that cannot be configured fails its start.
// SubmitUrb sends URBs down the stack the way a class driver does, from its function device
// and at a chosen IRQL. A streaming class driver replaces this one by registering its own
// entry under the same image name.
#pragma once

#include <stdint.h>
#include <usb.h>

#include <vector>

#include "host/pnp.h"

namespace host {

// The kernel-streaming interface classes of an audio device.
extern const GUID kKsCategoryAudio;    // {6994AD04-93EF-11D0-A3CC-00A0C9223196}
extern const GUID kKsCategoryRender;   // {65E8773E-8F56-11D0-A3B9-00A0C9223196}
extern const GUID kKsCategoryCapture;  // {65E8773D-8F56-11D0-A3B9-00A0C9223196}

class UsbAudioClassDriver {
  public:
    static constexpr const char* kServiceName = "usbaudio";
    static constexpr const char* kImageName = "usbaudio.sys";

    static NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

    // The class driver's device object in a device's stack, or null.
    static PDEVICE_OBJECT FunctionDevice(const DevNode& node);
    // The device the function device sends its requests to (the top filter below it).
    static PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT functionDevice);

    // Sends one URB (IOCTL_INTERNAL_USB_SUBMIT_URB) from the function device down the stack in
    // an IRP of its own: IoCallDriver is made at `irql` (PASSIVE_LEVEL or DISPATCH_LEVEL, as a
    // streaming driver does from its DPC); the call then waits at PASSIVE_LEVEL for the
    // completion and returns the IRP's final status. Once the device's removal has begun it
    // sends nothing and returns STATUS_DELETE_PENDING; the removal waits for the URBs in
    // flight. A caller that keeps the function device across a removal holds a reference on
    // it (ObReferenceObject).
    static NTSTATUS SubmitUrb(PDEVICE_OBJECT functionDevice, URB* urb, KIRQL irql = PASSIVE_LEVEL);
    // The same for any internal USB request: `argument1` is what the code takes (a URB, the
    // port status word, an idle callback, nothing for a reset or a cycle).
    static NTSTATUS SubmitInternal(PDEVICE_OBJECT functionDevice, ULONG code, PVOID argument1,
                                   KIRQL irql = PASSIVE_LEVEL);

    // The configuration the driver selected when it started the device (every interface at
    // alternate setting 0): its handle and descriptor. STATUS_DEVICE_NOT_READY before a start,
    // STATUS_DELETE_PENDING once the device is removed.
    static NTSTATUS Configuration(PDEVICE_OBJECT functionDevice, USBD_CONFIGURATION_HANDLE* handle,
                                  std::vector<uint8_t>* descriptor);
};

}  // namespace host
