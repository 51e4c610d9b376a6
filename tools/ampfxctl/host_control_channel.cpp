#include "host_control_channel.h"

#include "ampfx_ioctl.h"

HostControlChannel::~HostControlChannel() {
    if (handle_ != host::kInvalidUserHandle) {
        host::UserCloseHandle(handle_);
    }
}

bool HostControlChannel::Open(std::string* error) {
    if (handle_ != host::kInvalidUserHandle) {
        host::UserCloseHandle(handle_);
    }
    const uint32_t result = host::UserCreateFile(AMPFX_CONTROL_DEVICE_PATH_A, &handle_);
    if (result != 0) {
        *error = "cannot open the Ampfx control device (error " + std::to_string(result) +
                 "); is a supported headset plugged in with the driver attached?";
        return false;
    }
    return true;
}

uint32_t HostControlChannel::Call(uint32_t code, const std::vector<uint8_t>& input,
                                  std::vector<uint8_t>* output, uint32_t* bytesReturned) {
    // The driver sees one buffer; the caller's input stays intact.
    std::vector<uint8_t> in = input;
    uint64_t information = 0;
    const uint32_t status = host::UserNtDeviceIoControlFile(
        handle_, code, in.empty() ? nullptr : in.data(), static_cast<uint32_t>(in.size()),
        output->empty() ? nullptr : output->data(), static_cast<uint32_t>(output->size()),
        &information);
    *bytesReturned = static_cast<uint32_t>(information);
    return status;
}
