// The host side of the simulated Windows kernel: what the Plug and Play manager, the user-mode
// I/O entry, the simulator and the tests use to drive the kernel that drivers see through
// <ntddk.h>. Drivers never include this.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/kernel_threads.h"
#include "host/kernel_verifier.h"
#include "wdm.h"

namespace host::kernel {

// Puts the kernel back into its boot state: unloads what is loaded, then reports (through the
// verifier) IRPs, device objects and driver pool still alive and frees them; clears the object
// namespace, timers, the debug output, pool faults and the reported Windows version. Driver
// images stay registered. Called between tests (host::Machine does it).
void Reset();

// ---------------------------------------------------------------------------------------------
// Driver images and loading

// Makes a driver entry point loadable under its image file name ("Ampfx.sys"); names compare
// without regard to case. Registering a name again replaces the entry.
void RegisterDriverImage(std::string_view imageName, PDRIVER_INITIALIZE entry);
bool HasDriverImage(std::string_view imageName);
// How many times DriverEntry of the image has been called since the process started. A driver
// image is code linked into the process: its globals survive an unload, and a second load runs
// DriverEntry over the globals the first load left behind.
uint32_t DriverImageLoadCount(std::string_view imageName);

// Creates the driver object "\Driver\<service>" and calls DriverEntry with the registry path
// "\Registry\Machine\System\CurrentControlSet\Services\<service>" at PASSIVE_LEVEL. On failure
// the driver object is deleted and DriverEntry's status returned; an unknown image gives
// STATUS_OBJECT_NAME_NOT_FOUND, a driver whose previous load is still waiting to unload
// STATUS_IMAGE_ALREADY_LOADED.
NTSTATUS LoadDriver(std::string_view serviceName, std::string_view imageName,
                    PDRIVER_OBJECT* driver);
PDRIVER_OBJECT FindDriver(std::string_view serviceName);
std::string DriverServiceName(PDRIVER_OBJECT driver);
// Asks for a driver's unload. It happens at once (DriverUnload at PASSIVE_LEVEL, then the pool
// and pending-operation checks) when the driver has no device object left; otherwise when its
// last device object is deleted, on a system worker thread. A driver without DriverUnload
// stays loaded. Returns whether the driver is gone.
bool RequestDriverUnload(PDRIVER_OBJECT driver);
bool IsDriverUnloadPending(PDRIVER_OBJECT driver);
// Takes a loaded driver into service for another device, in one step: a driver waiting for its
// last device object to go is kept (its unload is called off); one whose unload has begun
// cannot be (STATUS_IMAGE_ALREADY_LOADED, as Windows will not load a second copy meanwhile);
// a driver not loaded gives STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS UseLoadedDriver(std::string_view serviceName, PDRIVER_OBJECT* driver);
// The driver's device objects that IoDeleteDevice has not been called for.
std::vector<PDEVICE_OBJECT> DriverDevices(PDRIVER_OBJECT driver);
// Calls the driver's AddDevice for a physical device object at PASSIVE_LEVEL, as the Plug and
// Play manager does (STATUS_INVALID_DEVICE_REQUEST when the driver has none).
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

// ---------------------------------------------------------------------------------------------
// Object namespace

// The device object named `ntName` ("\Device\X"), without following symbolic links.
PDEVICE_OBJECT FindDevice(std::string_view ntName);
// The target of the symbolic link `linkName` ("\DosDevices\X", "\??\X", "\GLOBAL??\X").
std::optional<std::string> SymbolicLinkTarget(std::string_view linkName);
std::string DeviceName(PDEVICE_OBJECT device);
// IoDeleteDevice has been called for the device (it may still be waiting for references).
bool IsDeviceDeleted(PDEVICE_OBJECT device);
// The device a device object is attached to (its lower device), or null.
PDEVICE_OBJECT AttachedToDevice(PDEVICE_OBJECT device);
// The device instance path of a physical device object, which device interfaces are named by.
void SetDeviceInstancePath(PDEVICE_OBJECT physicalDevice, std::string_view instancePath);

// A device interface registered with IoRegisterDeviceInterface.
struct DeviceInterface {
    GUID interfaceClass;
    std::string symbolicLink;  // "\??\USB#VID_0F1E&PID_1607&MI_00#7&...#{guid}"
    std::string instancePath;
    PDEVICE_OBJECT physicalDevice;
    bool enabled;
};
std::vector<DeviceInterface> DeviceInterfaces(const GUID& interfaceClass, bool enabledOnly);

// ---------------------------------------------------------------------------------------------
// Requests the system sends

struct RequestResult {
    NTSTATUS status;
    ULONG_PTR information;
};

// Sends an IRP with the given first stack location (MajorFunction, MinorFunction, Parameters)
// to `device` itself, from the calling thread at PASSIVE_LEVEL, and waits for its completion,
// as the Plug and Play and power managers do. The IRP starts with `initialStatus` (Plug and Play
// requests must start as STATUS_NOT_SUPPORTED) and has the device's StackSize.
RequestResult SendSystemRequest(PDEVICE_OBJECT device, const IO_STACK_LOCATION& location,
                                NTSTATUS initialStatus = STATUS_NOT_SUPPORTED);

// The NT half of user-mode device I/O. OpenDevice resolves `ntPath` ("\??\X", "\Device\X",
// with an optional remainder passed to the driver as the file name) through symbolic links,
// sends IRP_MJ_CREATE to the top of the device's stack and returns a file object holding a
// reference on the device. CloseDevice sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE. DeviceControl
// sends IRP_MJ_DEVICE_CONTROL with the buffering the code's method asks for; the result's
// information is the number of bytes copied back into `output`.
NTSTATUS OpenDevice(std::string_view ntPath, PFILE_OBJECT* file);
void CloseDevice(PFILE_OBJECT file);
RequestResult DeviceControl(PFILE_OBJECT file, ULONG ioControlCode, const void* input,
                            ULONG inputLength, void* output, ULONG outputLength);

// ---------------------------------------------------------------------------------------------
// The Windows version that IoIsWdmVersionAvailable reports

enum class WindowsVersion {
    Windows98,          // WDM 1.00
    WindowsMe,          // WDM 1.05
    Windows2000,        // WDM 1.10
    WindowsXP,          // WDM 1.20
    WindowsServer2003,  // WDM 1.30
    WindowsVista,       // WDM 6.00, as every later version reports
};
void SetWindowsVersion(WindowsVersion version);
void SetWdmVersion(UCHAR major, UCHAR minor);

// ---------------------------------------------------------------------------------------------
// Floating-point state (KeSaveFloatingPointState, as 32-bit Windows has it)

// The next `count` saves fail with STATUS_INSUFFICIENT_RESOURCES (0 stops failing them).
void FailFloatingPointSaves(uint64_t count);
// Successful saves since the kernel's reset.
uint64_t FloatingPointSaveCount();

// ---------------------------------------------------------------------------------------------
// The user-mode caller's token, checked when a device with a DACL is opened

enum class UserToken {
    ElevatedAdministrator,  // the default: an administrator's full token (an elevated program)
    StandardUser,           // a standard user, or an administrator's filtered token
    LocalSystem,            // a service running as SYSTEM
};
void SetUserToken(UserToken token);
// The SIDs the DACL of a device object admits, or nothing when it has no DACL.
std::optional<std::vector<std::string>> DeviceAllowedSids(PDEVICE_OBJECT device);

// ---------------------------------------------------------------------------------------------
// Widening a race window

// A KeSetEvent made from inside a completion routine sleeps `milliseconds` (real time) after
// signalling before it returns to the routine, so that whatever the signal releases (a remove
// waiting for its last request, and the unload after it) runs while the routine is still
// inside the driver. 0 (the default, and after Reset) turns it off.
void SetCompletionSignalDelay(int milliseconds);

// ---------------------------------------------------------------------------------------------
// Debug output (DbgPrint, formatted with Windows' printf rules: %ld is 32-bit, %ws and %wZ
// take wide strings)

std::vector<std::string> DebugMessages();
std::string DebugOutput();
void ClearDebugOutput();
// Also writes every message to stderr as it arrives.
void SetDebugEcho(bool enabled);

// ---------------------------------------------------------------------------------------------
// Non-paged pool

struct PoolUsage {
    size_t blocks = 0;
    size_t bytes = 0;
};
// Pool allocated while the driver's code was running (its DriverEntry, dispatch, completion,
// DPC, work item and unload routines) and not freed; null means allocations made outside any
// driver.
PoolUsage DriverPoolUsage(PDRIVER_OBJECT driver);
PoolUsage PoolUsageByTag(ULONG tag);
uint64_t PoolAllocationCount();

// Makes an allocation fail. `nth` counts allocations from now (1 = the next); with a tag, only
// allocations with that tag count. ExAllocatePool* count always; with kernelObjects, so do the
// allocations the kernel makes for a driver (IoAllocateIrp, IoBuildDeviceIoControlRequest,
// IoAllocateWorkItem, IoAllocateMdl, IoCreateDevice). A sticky fault fails every counted
// allocation from the nth on.
struct PoolFault {
    uint64_t nth = 1;
    ULONG tag = 0;
    bool kernelObjects = false;
    bool sticky = false;
};
void InjectPoolFault(const PoolFault& fault);
void ClearPoolFaults();
uint64_t PoolFaultsTriggered();

}  // namespace host::kernel
