#include "control_channel.h"
#include "control_request_text.h"

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

int RunAmpfxctl(ControlChannel& channel, const std::vector<std::string>& args, std::string* out,
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
    if (!channel.Open(&error)) {
        *err += "ampfxctl: " + error + "\n";
        return 2;
    }
    std::vector<uint8_t> output(request.outputLength);
    uint32_t bytes = 0;
    const uint32_t status = channel.Call(request.code, request.input, &output, &bytes);
    *out += FormatControlAnswer(request, status, output, bytes);
    return (status & 0xC0000000u) == 0xC0000000u ? 1 : 0;
}
