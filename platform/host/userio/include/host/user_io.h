// User-mode device I/O on the simulated machine: what CreateFile, DeviceIoControl and
// CloseHandle do for a device path, with Win32 error codes (host/win32_error.h) for results.
// The panel's and tools' host ports wrap these; nothing here exposes kernel types.
//
// Paths are Win32 device paths: "\\.\Class#UsbAmpfxSuite&0F1E&00" and "\\?\..." name the
// object "\??\..." (the symbolic links drivers create under "\DosDevices\"), and
// "\\.\GLOBALROOT\Device\X" names "\Device\X" directly. Requests run in the calling thread at
// PASSIVE_LEVEL, synchronously.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

namespace host {

using UserHandle = uint64_t;
constexpr UserHandle kInvalidUserHandle = ~UserHandle{0};

// Opens a device as CreateFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ |
// FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr) does: the device's driver sees
// IRP_MJ_CREATE. Returns kErrorSuccess or the Win32 error of the failed open
// (kErrorFileNotFound for a name that does not resolve to a device).
uint32_t UserCreateFile(std::string_view win32Path, UserHandle* handle);

// DeviceIoControl on an open handle. METHOD_BUFFERED requests get one system buffer of
// max(inputLength, outputLength) bytes holding the input; the driver's IoStatus.Information
// bytes are copied back into `output`. Success and informational statuses give kErrorSuccess;
// a warning (STATUS_BUFFER_OVERFLOW) gives its error with the data copied; an error status
// gives its Win32 error with nothing copied and 0 bytes returned.
uint32_t UserDeviceIoControl(UserHandle handle, uint32_t ioControlCode, const void* input,
                             uint32_t inputLength, void* output, uint32_t outputLength,
                             uint32_t* bytesReturned);

// NtDeviceIoControlFile on an open handle: the same request as UserDeviceIoControl, but the
// driver's own NTSTATUS comes back untranslated (STATUS_INVALID_HANDLE for a handle that is
// not open). `information` receives IoStatus.Information unless the status is an error, in
// which case it is left alone, as the I/O manager leaves a synchronous caller's status block.
uint32_t UserNtDeviceIoControlFile(UserHandle handle, uint32_t ioControlCode, const void* input,
                                   uint32_t inputLength, void* output, uint32_t outputLength,
                                   uint64_t* information);

// Closes a handle (IRP_MJ_CLEANUP and IRP_MJ_CLOSE once no request on it is in progress).
uint32_t UserCloseHandle(UserHandle handle);

size_t UserOpenHandleCount();
// Closes every handle still open (the simulated machine's shutdown).
void UserCloseAllHandles();

// The object-manager path a Win32 device path names.
std::string Win32DevicePathToNtPath(std::string_view win32Path);

}  // namespace host
