// ampfxctl: one control request by name through the driver link, the answer block and the
// status printed. The same code runs on Windows and on the simulated machine; only the link
// differs.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "control_request_text.h"
#include "driver_link.h"

// Opens "\\.\Class#UsbAmpfxSuite&0F1E&00", sends the request with its NtDeviceIoControl and
// closes the handle. False with the reason when the device cannot be opened; otherwise the
// driver's status, and the answer as ampfxctl prints it.
bool SendControlRequest(DriverLink& link, const ControlRequestText& request, uint32_t* status,
                        std::string* answer, std::string* error);

// The whole command line after the program name: parse, send, print. Returns the exit
// status (0 sent and answered, 1 the driver failed it, 2 bad usage or no device).
int RunAmpfxctl(DriverLink& link, const std::vector<std::string>& args, std::string* out,
                std::string* err);
