// Dovrel.exe: the attachment service wired to Win32.
#include "service_program.h"
#include "win32_ports.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    dovrel::Win32DeviceManager devices;
    dovrel::Win32Registry registry;
    dovrel::Win32ServiceManager services;
    dovrel::Win32ServiceDispatcher dispatcher;
    dovrel::Win32EventLog eventLog;
    dovrel::Win32DebugOutput debug;
    dovrel::Win32MessageBoxes messageBoxes;
    dovrel::Win32MessageLoop loop;
    dovrel::Win32SystemFiles files;
    dovrel::DovrelService service(dovrel::ServicePorts{devices, registry, services, dispatcher,
                                                       eventLog, debug, messageBoxes, loop, files});
    return service.Main(dovrel::Narrow(commandLine != nullptr ? commandLine : L""));
}
