#include "ampfxctl.h"

#include "ampfx_ioctl.h"

namespace {

std::string Usage() {
    return std::string(
               "Usage: ampfxctl REQUEST get|set [ARGS...]\n"
               "Reads or writes one effect setting of the Ampfx driver through its "
               "control device and prints the answer block and the status.\n\n"
               "Requests:\n") +
           ControlRequestUsage() +
           "\nExit status: 0 answered, 1 the driver failed the request, 2 bad usage or no "
           "control device.\n";
}

}  // namespace

bool SendControlRequest(DriverLink& link, const ControlRequestText& request, uint32_t* status,
                        std::string* answer, std::string* error) {
    const DriverLink::Handle handle = link.OpenA(AMPFX_CONTROL_DEVICE_PATH_A);
    if (handle == DriverLink::kInvalidHandle) {
        *error = "cannot open the Ampfx control device (error " +
                 std::to_string(link.LastOpenError()) +
                 "); is a supported headset plugged in with the driver attached?";
        return false;
    }
    std::vector<uint8_t> output(request.outputLength);
    uint32_t bytes = 0;
    *status = link.NtDeviceIoControl(
        handle, request.code, request.input.empty() ? nullptr : request.input.data(),
        static_cast<uint32_t>(request.input.size()), output.empty() ? nullptr : output.data(),
        static_cast<uint32_t>(output.size()), &bytes);
    link.Close(handle);
    *answer = FormatControlAnswer(request, *status, output, bytes);
    return true;
}

int RunAmpfxctl(DriverLink& link, const std::vector<std::string>& args, std::string* out,
                std::string* err) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        *(args.empty() ? err : out) += Usage();
        return args.empty() ? 2 : 0;
    }
    ControlRequestText request;
    std::string error;
    if (!ParseControlRequest(args, &request, &error)) {
        *err += "ampfxctl: " + error + "\n" + Usage();
        return 2;
    }
    uint32_t status = 0;
    std::string answer;
    if (!SendControlRequest(link, request, &status, &answer, &error)) {
        *err += "ampfxctl: " + error + "\n";
        return 2;
    }
    *out += answer;
    return (status & 0xC0000000u) == 0xC0000000u ? 1 : 0;
}
