// ampfxctl on Windows: the control device through NtDeviceIoControlFile, so that the
// driver's own status is shown rather than a translated Win32 error.
#include <windows.h>
#include <winternl.h>

#include <cstdio>

#include "ampfx_ioctl.h"
#include "control_channel.h"

namespace {

class Win32ControlChannel : public ControlChannel {
  public:
    ~Win32ControlChannel() override {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }

    bool Open(std::string* error) override {
        handle_ =
            CreateFileA(AMPFX_CONTROL_DEVICE_PATH_A, GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            *error = "cannot open the Ampfx control device (error " +
                     std::to_string(GetLastError()) +
                     "); is a supported headset plugged in with the driver attached?";
            return false;
        }
        return true;
    }

    uint32_t Call(uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>* output,
                  uint32_t* bytesReturned) override {
        // METHOD_BUFFERED: the driver sees one buffer; keep the caller's input intact.
        std::vector<uint8_t> in = input;
        IO_STATUS_BLOCK status{};
        const NTSTATUS result = NtDeviceIoControlFile(
            handle_, nullptr, nullptr, nullptr, &status, code, in.empty() ? nullptr : in.data(),
            static_cast<ULONG>(in.size()), output->empty() ? nullptr : output->data(),
            static_cast<ULONG>(output->size()));
        *bytesReturned = static_cast<uint32_t>(status.Information);
        return static_cast<uint32_t>(result);
    }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

int main(int argc, char** argv) {
    Win32ControlChannel channel;
    std::string out, err;
    const int status =
        RunAmpfxctl(channel, std::vector<std::string>(argv + 1, argv + argc), &out, &err);
    std::fputs(out.c_str(), stdout);
    std::fputs(err.c_str(), stderr);
    return status;
}
