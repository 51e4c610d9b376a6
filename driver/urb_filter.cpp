// USB request blocks on their way from the class driver to the bus: playback transfers are
// processed in place, four other kinds are watched, and the filter sends URBs of its own to
// identify the device and to drive the mute gate.
#include "ampfx_driver.h"
#include "shared_access.h"
#include "sound_field.h"
#include "supported_products.h"

namespace {

constexpr UCHAR kSetCur = 0x01;
constexpr USHORT kMuteControlValue = 0x0100;  // mute control, channel 0
constexpr USHORT kMuteUnitIndex = 0x3100;     // feature unit 0x31, interface 0
constexpr int32_t kRestartCountdown = 30;
constexpr LONGLONG kSubmitTimeout = -25000000;  // 2.5 s, relative, 100 ns units

// A mute request of the filter's own: the URB and its one data byte travel together, so an
// asynchronous request owns everything it needs until its completion frees it.
struct MUTE_REQUEST {
    URB Urb;  // the whole union, so every view of it stays inside the block
    UCHAR Value;
    PDEVICE_EXTENSION Extension;
    // Asynchronous requests only: the entry in the device's pending list, the IRP, and the
    // references of the completion and of a remove cancelling it; the last one frees both.
    LIST_ENTRY Link;
    PIRP Irp;
    volatile LONG References;
    MUTE_REQUEST* NextToCancel;
};

void BuildMuteUrb(MUTE_REQUEST* request, UCHAR value) {
    RtlZeroMemory(request, sizeof *request);
    request->Value = value;
    UsbBuildVendorRequest(&request->Urb, URB_FUNCTION_CLASS_INTERFACE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, kSetCur,
                          kMuteControlValue, kMuteUnitIndex, &request->Value, nullptr, 1, nullptr);
}

void ReleaseMuteRequest(MUTE_REQUEST* request) {
    if (InterlockedDecrement(&request->References) == 0) {
        IoFreeIrp(request->Irp);
        ExFreePoolWithTag(request, kAmpfxPoolTag);
    }
}

// IRQL: <= DISPATCH_LEVEL. Takes the request off the pending list and lets it go; the
// device's own count is released last, because that may let a waiting remove delete it.
NTSTATUS NTAPI FilterMuteCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    MUTE_REQUEST* request = static_cast<MUTE_REQUEST*>(Context);
    PDEVICE_EXTENSION extension = request->Extension;
    KIRQL irql;
    KeAcquireSpinLock(&extension->MuteLock, &irql);
    RemoveEntryList(&request->Link);
    KeReleaseSpinLock(&extension->MuteLock, irql);
    ReleaseMuteRequest(request);
    FilterRelease(extension);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The gate's mute request from the stream path, which may run at DISPATCH_LEVEL where no
// wait is allowed: sent asynchronously; its completion frees the URB and the request. It
// counts as outstanding I/O, so a remove waits for it, after cancelling it: a device may
// hold a class request for as long as it likes. The caller (the URB dispatch) holds a count
// of its own, so the device cannot be removed while this is being sent.
void FilterStreamSetDeviceMute(void* context, uint32_t on) {
    PDEVICE_EXTENSION extension = static_cast<PDEVICE_EXTENSION>(context);
    MUTE_REQUEST* request = static_cast<MUTE_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(MUTE_REQUEST), kAmpfxPoolTag));
    if (request == nullptr)
        return;
    BuildMuteUrb(request, on ? 1 : 0);
    request->Extension = extension;

    PIRP irp = IoAllocateIrp(extension->LowerDevice->StackSize, FALSE);
    if (irp == nullptr) {
        ExFreePoolWithTag(request, kAmpfxPoolTag);
        return;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &request->Urb;
    // The completion releases the device's count, which may let a waiting remove delete the
    // device and the driver unload while the routine is still returning. The unload-safe
    // form keeps the filter device referenced until the routine has returned. Before Windows
    // XP there is none: the oldest driver model defers the deletion by 50 ms, but Windows 2000
    // keeps the narrow window between the last release and the routine's return.
    const FilterSetCompletionRoutineEx setEx = g_SetCompletionRoutineEx;
    if (setEx == nullptr ||
        !NT_SUCCESS(setEx(extension->Self, irp, FilterMuteCompletion, request, TRUE, TRUE, TRUE))) {
        IoSetCompletionRoutine(irp, FilterMuteCompletion, request, TRUE, TRUE, TRUE);
    }
    request->Irp = irp;
    request->References = 1;

    // Once the remove has marked the device, its cancel pass may already be over: a request
    // listed after it would never be cancelled, so none is sent.
    KIRQL irql;
    KeAcquireSpinLock(&extension->MuteLock, &irql);
    const bool removing = LoadShared(extension->PnpState) == Removed;
    if (!removing) {
        InsertTailList(&extension->PendingMutes, &request->Link);
        InterlockedIncrement(&extension->OutstandingIo);
    }
    KeReleaseSpinLock(&extension->MuteLock, irql);
    if (removing) {
        IoFreeIrp(irp);
        ExFreePoolWithTag(request, kAmpfxPoolTag);
        return;
    }
    IoCallDriver(extension->LowerDevice, irp);
}

// One playback transfer through the effects, with the floating-point state saved where the
// platform needs it. IRQL: <= DISPATCH_LEVEL.
void FilterProcessPlayback(PDEVICE_EXTENSION extension, PVOID buffer, ULONG length) {
    FILTER_FP_STATE fpState;
    if (!NT_SUCCESS(FilterSaveFloatingPoint(&fpState)))
        return;
    EffectDeviceContext context;
    context.State = &g_EffectState;
    context.Eq = &extension->EqStream;
    context.RestartCountdown = &extension->RestartCountdown;
    context.SetDeviceMute = FilterStreamSetDeviceMute;
    context.MuteContext = extension;
    ProcessPlaybackBuffer(&context, static_cast<uint8_t*>(buffer), length);
    FilterRestoreFloatingPoint(&fpState);
}

// A stream starts on interface 1: the equalizer ring, the gate counter and the sound
// field's delay memory start afresh. IRQL: <= DISPATCH_LEVEL.
void FilterResetStream(PDEVICE_EXTENSION extension) {
    ResetEqStreamForStreamStart(&extension->EqStream);
    StoreShared(g_EffectState.NoiseGateCount, 0);
    ClearSoundFieldForStreamStart(&g_EffectState);
}

// The URB's own length must cover the fields read for its function; a shorter block is
// passed down untouched rather than read past its end.
bool UrbCovers(const URB* urb, size_t size) {
    return urb->UrbHeader.Length >= size;
}

void FilterWatchUrb(PDEVICE_EXTENSION extension, PURB urb) {
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_ISOCH_TRANSFER: {
            if (!UrbCovers(urb, sizeof(struct _URB_ISOCH_TRANSFER)))
                break;
            struct _URB_ISOCH_TRANSFER& transfer = urb->UrbIsochronousTransfer;
            if (transfer.TransferFlags == USBD_START_ISO_TRANSFER_ASAP &&
                LoadShared(DeviceUnlisted) == 0 && transfer.TransferBuffer != nullptr) {
                FilterProcessPlayback(extension, transfer.TransferBuffer,
                                      transfer.TransferBufferLength);
            }
            break;
        }
        case URB_FUNCTION_CLASS_INTERFACE: {
            if (!UrbCovers(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)))
                break;
            struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& request =
                urb->UrbControlVendorClassRequest;
            if (request.Request == kSetCur && request.Value == kMuteControlValue &&
                request.Index == kMuteUnitIndex && request.TransferBuffer != nullptr &&
                request.TransferBufferLength != 0) {
                StoreShared(g_EffectState.HostMuteState,
                            *static_cast<const UCHAR*>(request.TransferBuffer));
            }
            break;
        }
        case URB_FUNCTION_ABORT_PIPE:
            StoreShared(extension->RestartCountdown, kRestartCountdown);
            break;
        case URB_FUNCTION_SELECT_INTERFACE: {
            if (!UrbCovers(urb, FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) +
                                    FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Class))) {
                break;
            }
            const USBD_INTERFACE_INFORMATION& selected = urb->UrbSelectInterface.Interface;
            if (selected.InterfaceNumber == 1 && selected.AlternateSetting != 0) {
                FilterResetStream(extension);
            }
            break;
        }
        default:
            break;
    }
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL, in the class driver's context. Every URB goes down unchanged in
// its framing; only the samples of a playback transfer are rewritten.
NTSTATUS NTAPI FilterDispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION extension = FilterExtensionOf(DeviceObject);
    if (extension->IsControlDevice) {
        return FilterCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (!FilterAcquire(extension)) {
        return FilterCompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    // Only a URB submission carries a URB. Port status, idle notification, reset, cycle and
    // the other internal codes carry arguments of their own, which must not be read (or
    // written through) as a URB header.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (urb != nullptr) {
            FilterWatchUrb(extension, urb);
        }
    }
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IoCallDriver(extension->LowerDevice, Irp);
    FilterRelease(extension);
    return status;
}

// IRQL: PASSIVE_LEVEL (AddDevice). The equalizer ring and its six block buffers.
NTSTATUS FilterAllocateWorkBuffers(PDEVICE_EXTENSION Extension) {
    EqStream& eq = Extension->EqStream;
    eq.Ring = static_cast<uint8_t*>(
        ExAllocatePoolWithTag(NonPagedPool, kEqRingAllocBytes, kAmpfxPoolTag));
    float** buffers[] = {&eq.Block,        &eq.ImaginaryInput,
                         &eq.SpectrumReal, &eq.SpectrumImaginary,
                         &eq.OverlapLeft,  &eq.OverlapRight};
    bool complete = eq.Ring != nullptr;
    for (float** buffer : buffers) {
        if (!complete)
            break;
        *buffer =
            static_cast<float*>(ExAllocatePoolWithTag(NonPagedPool, kEqBufferBytes, kAmpfxPoolTag));
        complete = *buffer != nullptr;
    }
    if (!complete) {
        FilterReleaseWorkBuffers(Extension);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    InitEqStream(&eq);
    BuildBitReverseTables();
    return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL. Frees whatever of the equalizer buffers exists.
void FilterReleaseWorkBuffers(PDEVICE_EXTENSION Extension) {
    EqStream& eq = Extension->EqStream;
    if (eq.Ring != nullptr)
        ExFreePoolWithTag(eq.Ring, kAmpfxPoolTag);
    eq.Ring = nullptr;
    float** buffers[] = {&eq.Block,        &eq.ImaginaryInput,
                         &eq.SpectrumReal, &eq.SpectrumImaginary,
                         &eq.OverlapLeft,  &eq.OverlapRight};
    for (float** buffer : buffers) {
        if (*buffer != nullptr)
            ExFreePoolWithTag(*buffer, kAmpfxPoolTag);
        *buffer = nullptr;
    }
}

// IRQL: PASSIVE_LEVEL. Sends the URB down and waits for it up to 2.5 s; a request still
// pending then is cancelled and awaited, because its event and status block live on this
// stack. Returns the request's final status, STATUS_IO_TIMEOUT for one that had to be
// cancelled (the wait's STATUS_TIMEOUT is a success code, and a request that never finished
// has not succeeded), or success without sending when no request could be built.
NTSTATUS FilterSubmitUrbSynchronously(PDEVICE_EXTENSION Extension, PURB Urb) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Extension->LowerDevice,
                                             nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
    if (irp == nullptr) {
        return STATUS_SUCCESS;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

    NTSTATUS status = IoCallDriver(Extension->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kSubmitTimeout;
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        if (status == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = STATUS_IO_TIMEOUT;
        } else {
            // The wait only says the request finished; how it finished is in its status.
            status = ioStatus.Status;
        }
    }
    return status;
}

void FilterCancelPendingMutes(PDEVICE_EXTENSION Extension) {
    // Each listed request gets a reference of the canceller, so its completion, which may run
    // during IoCancelIrp or at any moment after the lock is dropped, cannot free the IRP
    // under it.
    MUTE_REQUEST* toCancel = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&Extension->MuteLock, &irql);
    for (PLIST_ENTRY entry = Extension->PendingMutes.Flink; entry != &Extension->PendingMutes;
         entry = entry->Flink) {
        MUTE_REQUEST* request = CONTAINING_RECORD(entry, MUTE_REQUEST, Link);
        InterlockedIncrement(&request->References);
        request->NextToCancel = toCancel;
        toCancel = request;
    }
    KeReleaseSpinLock(&Extension->MuteLock, irql);

    while (toCancel != nullptr) {
        MUTE_REQUEST* request = toCancel;
        toCancel = request->NextToCancel;
        IoCancelIrp(request->Irp);
        ReleaseMuteRequest(request);
    }
}

// IRQL: PASSIVE_LEVEL. The class-interface SET_CUR that switches the mute control of
// feature unit 0x31, sent and awaited.
NTSTATUS SetDeviceMute(PDEVICE_EXTENSION Extension, UCHAR Value) {
    MUTE_REQUEST* request = static_cast<MUTE_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(MUTE_REQUEST), kAmpfxPoolTag));
    if (request == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BuildMuteUrb(request, Value);
    const NTSTATUS status = FilterSubmitUrbSynchronously(Extension, &request->Urb);
    ExFreePoolWithTag(request, kAmpfxPoolTag);
    return status;
}

// IRQL: PASSIVE_LEVEL, after the start request went down. The most recently started device
// decides for all whether the stream is processed and whether the protocol answers.
void FilterIdentifyDevice(PDEVICE_EXTENSION Extension) {
    RtlZeroMemory(&Extension->DeviceDescriptor, sizeof Extension->DeviceDescriptor);

    URB urb;
    USB_DEVICE_DESCRIPTOR descriptor;
    RtlZeroMemory(&urb, sizeof urb);
    RtlZeroMemory(&descriptor, sizeof descriptor);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &descriptor, nullptr,
                                 sizeof descriptor, nullptr);
    if (NT_SUCCESS(FilterSubmitUrbSynchronously(Extension, &urb))) {
        RtlCopyMemory(&Extension->DeviceDescriptor, &descriptor, sizeof descriptor);
        const bool listed =
            FindSupportedProduct(descriptor.idVendor, descriptor.idProduct) != nullptr;
        StoreShared(DeviceUnlisted, listed ? 0u : 1u);
    }

    const SupportedProduct* row = FindSupportedProduct(Extension->DeviceDescriptor.idVendor,
                                                       Extension->DeviceDescriptor.idProduct);
    StoreShared(DeviceSupported, row != nullptr ? 1u : 0u);
    if (row != nullptr && row->ChipModel == 4410) {
        // Devices with the 4410 chip always start with the gate and the level control off.
        StoreShared(g_EffectState.EnableNoiseClean, 0u);
        StoreShared(g_EffectState.EnableSoundDRC, 0u);
    }
}
