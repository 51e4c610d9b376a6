// QEXAudioControlInstall.exe: the wizard over the Win32 ports. The program runs elevated
// (its manifest asks for administrator rights), since everything it writes belongs to the
// machine.
#include "win32_ports.h"

#include <commctrl.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, 0x3FFF};  // every class there is
    InitCommonControlsEx(&controls);
    qexinstall::Win32Machine machine;
    qexinstall::Win32Shutdown shutdown;
    qexinstall::RunWizard(instance, machine.ports, shutdown);
    return 0;
}
