// The simulated machine: its kernel, registry, Plug and Play manager and USB bus, brought up
// together and torn down together. One exists at a time (tests create one per test).
#pragma once

#include <memory>

#include "host/kernel.h"
#include "host/pnp.h"
#include "host/registry.h"

namespace host {

class Machine {
  public:
    struct Options {
        kernel::WindowsVersion windows = kernel::WindowsVersion::WindowsVista;
        // Load the registry from this file instead of starting from an empty one.
        std::string registryFile;
    };

    // Resets the kernel, clears the registry (or loads the given file), reports the chosen
    // Windows version and starts the Plug and Play manager with the USB bus and the audio
    // class driver. The calling thread becomes a kernel thread for good: virtual time stands
    // still while it runs, and passes while it waits in the kernel (AdvanceTime, Settle, a
    // wait, joining a host::kernel::Thread).
    Machine();
    explicit Machine(const Options& options);
    // Closes open handles, unplugs every device, lets queued work finish and resets the
    // kernel, whose verifier reports what was left behind. The registry keeps its contents.
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    static Machine* Current();

    Registry& registry() { return Registry::Machine(); }
    PnpManager& pnp() { return *pnp_; }

    // Registers a driver image and writes its service key (PnpManager::InstallDriverService).
    void InstallDriver(std::string_view service, std::string_view image, PDRIVER_INITIALIZE entry);

  private:
    std::unique_ptr<PnpManager> pnp_;
};

}  // namespace host
