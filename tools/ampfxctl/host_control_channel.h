// ampfxctl's control channel on the simulated machine: the control device through the
// user-mode I/O of the host kernel, with the driver's NTSTATUS passed through untranslated as
// NtDeviceIoControlFile gives it on Windows.
#pragma once

#include "control_channel.h"
#include "host/user_io.h"

class HostControlChannel : public ControlChannel {
  public:
    HostControlChannel() = default;
    HostControlChannel(const HostControlChannel&) = delete;
    HostControlChannel& operator=(const HostControlChannel&) = delete;
    ~HostControlChannel() override;

    bool Open(std::string* error) override;
    uint32_t Call(uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>* output,
                  uint32_t* bytesReturned) override;

  private:
    host::UserHandle handle_ = host::kInvalidUserHandle;
};
