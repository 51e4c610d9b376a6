// The driver link on Windows: the control device through CreateFile and DeviceIoControl, or
// NtDeviceIoControlFile where the driver's own status is wanted.
#include <windows.h>
#include <winternl.h>

#include "driver_link_win32.h"

namespace {
constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

DriverLink::Handle FromWin32(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? DriverLink::kInvalidHandle
                                          : reinterpret_cast<DriverLink::Handle>(handle);
}
}  // namespace

DriverLink::Handle Win32DriverLink::OpenA(const char* path) {
    return FromWin32(CreateFileA(path, kAccess, kShare, nullptr, OPEN_EXISTING, 0, nullptr));
}

DriverLink::Handle Win32DriverLink::OpenW(const char16_t* path) {
    return FromWin32(CreateFileW(reinterpret_cast<LPCWSTR>(path), kAccess, kShare, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
}

bool Win32DriverLink::DeviceIoControl(Handle handle, uint32_t code, const void* input,
                                      uint32_t inputLength, void* output, uint32_t outputLength,
                                      uint32_t* bytesReturned) {
    DWORD bytes = 0;
    const BOOL ok =
        ::DeviceIoControl(reinterpret_cast<HANDLE>(handle), code, const_cast<void*>(input),
                          inputLength, output, outputLength, &bytes, nullptr);
    *bytesReturned = ok ? bytes : 0;
    return ok != FALSE;
}

uint32_t Win32DriverLink::LastOpenError() const {
    return GetLastError();
}

uint32_t Win32DriverLink::NtDeviceIoControl(Handle handle, uint32_t code, const void* input,
                                            uint32_t inputLength, void* output,
                                            uint32_t outputLength, uint32_t* bytesReturned) {
    IO_STATUS_BLOCK status{};
    const NTSTATUS result =
        NtDeviceIoControlFile(reinterpret_cast<HANDLE>(handle), nullptr, nullptr, nullptr, &status,
                              code, const_cast<void*>(input), inputLength, output, outputLength);
    // The I/O manager leaves the status block alone for an error status.
    *bytesReturned = NT_ERROR(result) ? 0 : static_cast<uint32_t>(status.Information);
    return static_cast<uint32_t>(result);
}

void Win32DriverLink::Close(Handle handle) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}
