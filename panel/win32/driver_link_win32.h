#pragma once

#include "driver_link.h"

class Win32DriverLink : public DriverLink {
  public:
    Handle OpenA(const char* path) override;
    Handle OpenW(const char16_t* path) override;
    uint32_t LastOpenError() const override;
    bool DeviceIoControl(Handle handle, uint32_t code, const void* input, uint32_t inputLength,
                         void* output, uint32_t outputLength, uint32_t* bytesReturned) override;
    uint32_t NtDeviceIoControl(Handle handle, uint32_t code, const void* input,
                               uint32_t inputLength, void* output, uint32_t outputLength,
                               uint32_t* bytesReturned) override;
    void Close(Handle handle) override;
};
