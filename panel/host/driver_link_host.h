// The panel's driver link on the simulated machine: the control device through the host
// kernel's user-mode I/O, with the same outcomes CreateFile and DeviceIoControl give.
#pragma once

#include <string>

#include "driver_link.h"

class HostDriverLink : public DriverLink {
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

  private:
    Handle Open(const std::string& path);

    uint32_t lastOpenError_ = 0;
};
