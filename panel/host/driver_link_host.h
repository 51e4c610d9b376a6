// The panel's driver link on the simulated machine: the control device through the host
// kernel's user-mode I/O, with the same outcomes CreateFile and DeviceIoControl give.
#pragma once

#include "driver_link.h"

class HostDriverLink : public DriverLink {
  public:
    Handle OpenA(const char* path) override;
    Handle OpenW(const char16_t* path) override;
    bool DeviceIoControl(Handle handle, uint32_t code, const void* input, uint32_t inputLength,
                         void* output, uint32_t outputLength, uint32_t* bytesReturned) override;
    void Close(Handle handle) override;
};
