// How a program reaches the driver's control device: opening it, one synchronous buffered
// device-control request, closing it. The panel and ampfxctl share it; Win32 on Windows
// (panel/win32), the simulated I/O manager on the host (panel/host).
#pragma once

#include <stdint.h>

class DriverLink {
  public:
    using Handle = intptr_t;
    static constexpr Handle kInvalidHandle = -1;  // INVALID_HANDLE_VALUE

    virtual ~DriverLink() = default;

    // GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, no
    // attributes, no template. The two flavours exist because the panel opens the device
    // both ways (CreateFileA for the cached handle, CreateFileW for the 7.1 block).
    virtual Handle OpenA(const char* path) = 0;
    virtual Handle OpenW(const char16_t* path) = 0;
    // GetLastError after an open that failed: the Win32 error (2 when no such device).
    virtual uint32_t LastOpenError() const = 0;

    // DeviceIoControl without an overlapped structure. Returns whether the call succeeded;
    // `bytesReturned` is what the driver returned (0 when the call failed).
    virtual bool DeviceIoControl(Handle handle, uint32_t code, const void* input,
                                 uint32_t inputLength, void* output, uint32_t outputLength,
                                 uint32_t* bytesReturned) = 0;

    // NtDeviceIoControlFile for a synchronous caller, as ampfxctl sends its requests: the
    // driver's own NTSTATUS, untranslated, so that a failure tells which one it was.
    // `bytesReturned` is what the driver returned when the status is not an error, else 0.
    virtual uint32_t NtDeviceIoControl(Handle handle, uint32_t code, const void* input,
                                       uint32_t inputLength, void* output, uint32_t outputLength,
                                       uint32_t* bytesReturned) = 0;

    virtual void Close(Handle handle) = 0;
};
