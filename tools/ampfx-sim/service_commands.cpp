// The attachment service as the service manager and its installer run it.
#include "dovrel_host.h"
#include "scenario_context.h"

namespace {

const char* ServiceStateName(uint32_t state) {
    static const char* const kNames[] = {"none",          "stopped", "start-pending",
                                         "stop-pending",  "running", "continue-pending",
                                         "pause-pending", "paused"};
    return state < 8 ? kNames[state] : "unknown";
}

void ServiceCommand(ScenarioContext& c, const Words& w) {
    if (w.size() < 2)
        Fail("usage: service install|start|stop|control CODE|uninstall|scan");
    const std::string& what = w[1];
    if (what == "control")
        Arity(w, 3, 3, "service control CODE");
    else
        Arity(w, 2, 2, "service install|start|stop|control CODE|uninstall|scan");
    if (what != "install" && what != "start" && what != "stop" && what != "control" &&
        what != "uninstall" && what != "scan")
        Fail("unknown service operation '" + what + "'");
    const uint32_t code = what == "control" ? ParseNumber(w[2], "control code") : 0;
    dovrel::DovrelHost& service = c.Service();
    // On a bare machine the program is there only once the installer wrote it.
    if (what == "install" && c.bareMachine &&
        !c.System().files().FileExists(dovrel::DovrelHost::ProgramPath()))
        Fail("Dovrel.exe is not on this machine (installer run puts it there)");
    c.DropStreams();
    if (what == "install") {
        c.out << "exit=" << service.Install();
    } else if (what == "uninstall") {
        c.out << "exit=" << service.Uninstall();
    } else if (what == "start") {
        c.out << "error=" << service.Start();
    } else if (what == "stop") {
        c.out << "error=" << service.Stop();
    } else if (what == "control") {
        c.out << "error=" << service.Control(code);
    } else {
        c.out << "scanned=" << (service.Scan() ? "yes" : "no");
    }
    c.out << " state=" << ServiceStateName(service.State()) << "\n";
    if (what == "scan" || what == "control")
        c.PrintDevices();
}

const ScenarioCommandArea kServiceCommands = {
    {"service", ServiceCommand},
};

}  // namespace
