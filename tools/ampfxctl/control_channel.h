// What ampfxctl needs of the platform: the control device opened, one request sent, and the
// driver's own status (the NTSTATUS, not a translated Win32 error) with the bytes returned.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

class ControlChannel {
  public:
    virtual ~ControlChannel() = default;

    // Opens "\\.\Class#UsbAmpfxSuite&0F1E&00"; false with a reason when it cannot.
    virtual bool Open(std::string* error) = 0;

    // Sends `input` with an output buffer of output->size() bytes; returns the request's
    // status and fills `bytesReturned`. The output holds what the caller would receive.
    virtual uint32_t Call(uint32_t code, const std::vector<uint8_t>& input,
                          std::vector<uint8_t>* output, uint32_t* bytesReturned) = 0;
};

// The whole command line after the program name: parse, send, print. Returns the exit
// status (0 sent and answered, 1 the driver failed it, 2 bad usage or no device).
int RunAmpfxctl(ControlChannel& channel, const std::vector<std::string>& args, std::string* out,
                std::string* err);
