// The machine itself: which Windows it is, and the passing of time.
// The user session's headers come before the kernel's, whose macros would rename their
// constants.
#include "host/desktop.h"
#include "host/user_session.h"
// clang-format off
#include "host/kernel_threads.h"
#include "host/machine.h"
#include "scenario_context.h"
// clang-format on

namespace {

host::kernel::WindowsVersion WindowsVersionOf(uint32_t major, uint32_t minor) {
    using V = host::kernel::WindowsVersion;
    if (major >= 6)
        return V::WindowsVista;  // every later version reports the same driver model
    if (major == 5 && minor <= 2)
        return minor == 0 ? V::Windows2000 : minor == 1 ? V::WindowsXP : V::WindowsServer2003;
    if (major == 4 && minor == 10)
        return V::Windows98;
    if (major == 4 && minor == 90)
        return V::WindowsMe;
    Fail("no driver model known for Windows " + std::to_string(major) + "." +
         std::to_string(minor) + " (4.10, 4.90, 5.0-5.2, 6.0 and later)");
}

void WindowsVersion(ScenarioContext& c, const Words& w) {
    Arity(w, 3, 3, "windows-version MAJOR MINOR");
    const host::kernel::WindowsVersion version =
        WindowsVersionOf(ParseNumber(w[1], "major version"), ParseNumber(w[2], "minor version"));
    if (c.MachineIsUp())
        Fail("windows-version must come before the first command that uses the machine");
    c.windows = version;
    c.windowsMajor = ParseNumber(w[1], "major version");
    c.windowsMinor = ParseNumber(w[2], "minor version");
}

// Virtual time passes only while every kernel thread waits; a scenario moves it itself.
void Wait(ScenarioContext& c, const Words& w) {
    Arity(w, 2, 2, "wait MILLISECONDS");
    const uint32_t ms = ParseNumber(w[1], "milliseconds", 3600 * 1000);
    c.Machine();
    // With a desktop, the clock stops at every window timer that falls due on the way, so
    // the programs see their ticks in order.
    if (c.SessionIsUp())
        c.Session().desktop().RunForMs(ms);
    else
        host::kernel::AdvanceTimeMs(ms);
    host::kernel::Settle();
}

const ScenarioCommandArea kMachineCommands = {
    {"windows-version", WindowsVersion},
    {"wait", Wait},
};

}  // namespace
