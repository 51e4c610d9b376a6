#include "host_ampfxctl.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "ampfxctl.h"
#include "control_request_text.h"
#include "driver_link_host.h"
#include "host/machine.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

constexpr uint16_t kVendorId = 0x0F1E;
constexpr uint16_t kDefaultProductId = 0x1607;

const char kHostUsage[] =
    "Host options, before the request:\n"
    "  --pid PID        the simulated headset's product id (default 0x1607)\n"
    "  --registry FILE  load the machine's registry from FILE and write it back afterwards\n";

struct HostOptions {
    uint16_t productId = kDefaultProductId;
    std::string registryFile;
    std::vector<std::string> request;
};

std::optional<uint16_t> ParseProductId(const std::string& text) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return std::nullopt;
    char* end = nullptr;
    const unsigned long value = strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || value > 0xFFFF)
        return std::nullopt;
    return static_cast<uint16_t>(value);
}

bool ParseHostOptions(const std::vector<std::string>& args, HostOptions* options,
                      std::string* error) {
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word != "--pid" && word != "--registry")
            break;
        if (i + 1 == args.size()) {
            *error = word + " needs a value";
            return false;
        }
        const std::string& value = args[++i];
        if (word == "--pid") {
            const std::optional<uint16_t> pid = ParseProductId(value);
            if (!pid) {
                *error = "bad product id '" + value + "'";
                return false;
            }
            options->productId = *pid;
        } else {
            if (value.empty()) {
                *error = "--registry needs a file name";
                return false;
            }
            options->registryFile = value;
        }
    }
    options->request.assign(args.begin() + i, args.end());
    return true;
}

// The filter goes at the head of the device's lower filters, as the attachment service puts
// it, and the device restarts to load it. A device that already lists it (a registry saved by
// an earlier run) is left as it came up.
bool AttachFilter(host::Machine& machine, host::DevNode* node) {
    std::vector<std::string> filters = machine.registry()
                                           .GetMultiString(node->EnumKey(), "LowerFilters")
                                           .value_or(std::vector<std::string>{});
    if (!filters.empty() && filters.front() == "Ampfx" && node->Started())
        return true;
    filters.erase(std::remove(filters.begin(), filters.end(), "Ampfx"), filters.end());
    filters.insert(filters.begin(), "Ampfx");
    machine.registry().SetMultiString(node->EnumKey(), "LowerFilters", filters);
    return machine.pnp().Restart(node);
}

int RunOnMachine(const HostOptions& options, std::string* out, std::string* err) {
    host::Machine::Options machineOptions;
    machineOptions.registryFile = options.registryFile;
    host::Machine machine(machineOptions);
    machine.InstallDriver("Ampfx", "Ampfx.sys", DriverEntry);

    host::UsbDeviceIdentity headset;
    headset.vendorId = kVendorId;
    headset.productId = options.productId;
    host::DevNode* node = machine.pnp().PlugIn(headset);
    if (!AttachFilter(machine, node) || !node->Started()) {
        *err += "ampfxctl: the simulated headset did not start (problem code " +
                std::to_string(node->Problem()) + ")\n";
        return 2;
    }
    // The request closes its handle before the machine shuts down.
    HostDriverLink link;
    return RunAmpfxctl(link, options.request, out, err);
}

}  // namespace

int RunHostAmpfxctl(const std::vector<std::string>& args, std::string* out, std::string* err) {
    HostOptions options;
    std::string error;
    if (!ParseHostOptions(args, &options, &error)) {
        *err += "ampfxctl: " + error + "\n" + kHostUsage;
        return 2;
    }
    if (options.request.empty() || options.request[0] == "--help" || options.request[0] == "-h") {
        // Usage needs no machine.
        HostDriverLink unused;
        const int status = RunAmpfxctl(unused, options.request, out, err);
        *(options.request.empty() ? err : out) += kHostUsage;
        return status;
    }
    // Nor do bad request words, which must not boot a machine that would rewrite the registry
    // file on its way down.
    ControlRequestText parsed;
    if (!ParseControlRequest(options.request, &parsed, &error)) {
        HostDriverLink unused;
        return RunAmpfxctl(unused, options.request, out, err);
    }

    // A bad registry file is refused here, before the boot: the simulated machine stops the
    // process on one, as it would not come up from a broken registry. A missing file is a
    // fresh machine.
    HostOptions boot = options;
    std::error_code ignored;
    if (!options.registryFile.empty() && !std::filesystem::exists(options.registryFile, ignored))
        boot.registryFile.clear();
    if (!boot.registryFile.empty()) {
        const host::RegistryLoadResult loaded =
            host::Registry::Machine().LoadFile(boot.registryFile);
        if (!loaded.ok) {
            *err += "ampfxctl: " + options.registryFile + ": " + loaded.error + "\n";
            return 2;
        }
    }
    const int status = RunOnMachine(boot, out, err);

    if (!options.registryFile.empty() &&
        !host::Registry::Machine().SaveFile(options.registryFile, &error)) {
        *err += "ampfxctl: " + error + "\n";
        return 2;
    }
    return status;
}
