// The filter driver's chief header: the device extension, the driver-wide state and the
// routines shared between the driver's files.
//
// The same sources build Ampfx.sys against the Windows DDK headers and the host simulator
// against platform/host/kernel; nothing here may depend on which.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include "ampfx_ioctl.h"
#include "effect_state.h"
#include "equalizer.h"

static_assert(sizeof(WCHAR) == 2, "UNICODE_STRING needs 16-bit characters");

// Wide literals are written u"..." so that they are 16-bit on every build.
inline PCWSTR Wide(const char16_t* text) {
    return reinterpret_cast<PCWSTR>(text);
}

constexpr ULONG kAmpfxPoolTag = 0x78666D41;  // 'Amfx' in a pool dump

enum FILTER_PNP_STATE : ULONG {
    NotStarted = 0,
    Started,
    SurpriseRemoved,
    Removed,
};

// One per device object, filter and control device alike. The first fields are in the
// order the driver has always declared them; the deferred-deletion objects and the link
// from the control device to its filter device follow.
struct DEVICE_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT LowerDevice;
    ::EqStream EqStream;  // the device's equalizer buffers; all null in the control device
    ULONG IsControlDevice;
    FILTER_PNP_STATE PnpState;
    volatile LONG OutstandingIo;
    KEVENT RemoveEvent;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    int32_t RestartCountdown;  // the engine counts it down; i32 on every build

    // Deferred deletion on the oldest driver model: per device, so that two removals within
    // 50 ms never re-arm a timer that is still pending.
    KTIMER DeleteTimer;
    KDPC DeleteDpc;
    PIO_WORKITEM DeleteWorkItem;

    // Control device only: the filter device it was created with, whose outstanding count
    // guards the requests the control path sends down to LowerDevice.
    DEVICE_EXTENSION* FilterExtension;

    // Filter devices: the gate's asynchronous mute requests still below, so that a remove
    // can cancel them instead of waiting for a device that holds them.
    KSPIN_LOCK MuteLock;
    LIST_ENTRY PendingMutes;
};
typedef DEVICE_EXTENSION* PDEVICE_EXTENSION;

// Driver-wide state.
extern EffectState g_EffectState;
extern PDEVICE_OBJECT ControlDevice;
extern ULONG WdmVersionClass;
extern ULONG DeviceUnlisted;
extern ULONG DeviceSupported;
extern volatile LONG FilterDeviceCount;
extern const EffectServices g_EffectServices;

// IoSetCompletionRoutineEx, looked up at driver entry: the kernels before Windows XP lack it,
// and a driver that imported it would not load there.
typedef NTSTATUS(NTAPI* FilterSetCompletionRoutineEx)(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                      PIO_COMPLETION_ROUTINE CompletionRoutine,
                                                      PVOID Context, BOOLEAN InvokeOnSuccess,
                                                      BOOLEAN InvokeOnError,
                                                      BOOLEAN InvokeOnCancel);
extern FilterSetCompletionRoutineEx g_SetCompletionRoutineEx;

// The object-security routines the control device's DACL needs, looked up at driver entry on
// the kernels that have object security (Windows 2000's driver model and later); importing
// them would keep the driver from loading on the older ones.
struct FILTER_SECURITY_ROUTINES {
    NTSTATUS(NTAPI* OpenObjectByPointer)
    (PVOID Object, ULONG HandleAttributes, PVOID PassedAccessState, ACCESS_MASK DesiredAccess,
     PVOID ObjectType, KPROCESSOR_MODE AccessMode, PHANDLE Handle);
    NTSTATUS(NTAPI* SetSecurityObject)
    (HANDLE Handle, ULONG SecurityInformation, PVOID SecurityDescriptor);
    NTSTATUS(NTAPI* Close)(HANDLE Handle);
};
extern FILTER_SECURITY_ROUTINES g_SecurityRoutines;

// driver_entry.cpp
NTSTATUS NTAPI FilterPass(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
bool FilterAcquire(PDEVICE_EXTENSION Extension);
void FilterRelease(PDEVICE_EXTENSION Extension);

// pnp.cpp
NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS NTAPI FilterDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// control_device.cpp
NTSTATUS FilterCreateControlDevice(PDRIVER_OBJECT DriverObject, PDEVICE_EXTENSION FilterExtension);
void FilterDeleteControlDevice();

// settings_store.cpp
void ResetSettingsStore();
void LoadSettings();
void SaveSettings();

// urb_filter.cpp
NTSTATUS NTAPI FilterDispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FilterAllocateWorkBuffers(PDEVICE_EXTENSION Extension);
void FilterReleaseWorkBuffers(PDEVICE_EXTENSION Extension);
void FilterIdentifyDevice(PDEVICE_EXTENSION Extension);
NTSTATUS FilterSubmitUrbSynchronously(PDEVICE_EXTENSION Extension, PURB Urb);
NTSTATUS SetDeviceMute(PDEVICE_EXTENSION Extension, UCHAR Value);
// Cancels the gate's mute requests still held below. Called by the remove handler after the
// device is marked removed, so no new one can be sent. IRQL: PASSIVE_LEVEL.
void FilterCancelPendingMutes(PDEVICE_EXTENSION Extension);

// control_protocol.cpp
NTSTATUS FilterDispatchControlRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// fp_state_*.cpp: the floating-point state around every use of floating point in the
// driver: the stream path, the control requests and the settings load in AddDevice. On
// 32-bit Windows kernel code must save it first; a failed save means the work that needs
// floating point is not done (the buffer passes unprocessed, the request fails with the
// save's status, the load is skipped). IRQL: <= DISPATCH_LEVEL.
struct FILTER_FP_STATE {
    KFLOATING_SAVE Save;
};
NTSTATUS FilterSaveFloatingPoint(FILTER_FP_STATE* State);
void FilterRestoreFloatingPoint(FILTER_FP_STATE* State);

inline PDEVICE_EXTENSION FilterExtensionOf(PDEVICE_OBJECT DeviceObject) {
    return static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}
