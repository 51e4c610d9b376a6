#include "host/machine.h"

#include <stdio.h>
#include <stdlib.h>

#include "host/user_io.h"

namespace host {
namespace {

Machine* g_current = nullptr;

}  // namespace

Machine::Machine() : Machine(Options()) {}

Machine::Machine(const Options& options) {
    if (g_current != nullptr) {
        fprintf(stderr, "host::Machine: only one simulated machine may exist at a time\n");
        abort();
    }
    g_current = this;
    // The thread that owns the machine is one of its kernel threads for good: the clock stands
    // still while it runs and moves only while it waits in the kernel.
    kernel::AttachCurrentThread("machine");
    kernel::Reset();
    if (options.registryFile.empty()) {
        Registry::Machine().Clear();
    } else {
        const RegistryLoadResult loaded = Registry::Machine().LoadFile(options.registryFile);
        if (!loaded.ok) {
            fprintf(stderr, "host::Machine: %s\n", loaded.error.c_str());
            abort();
        }
    }
    kernel::SetWindowsVersion(options.windows);
    pnp_ = std::make_unique<PnpManager>();
}

Machine::~Machine() {
    kernel::KernelEntry entry;
    UserCloseAllHandles();
    pnp_.reset();
    kernel::Settle();
    kernel::Reset();
    g_current = nullptr;
}

Machine* Machine::Current() {
    return g_current;
}

void Machine::InstallDriver(std::string_view service, std::string_view image,
                            PDRIVER_INITIALIZE entry) {
    PnpManager::InstallDriverService(service, image, entry);
}

}  // namespace host
