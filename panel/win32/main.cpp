// QX_AudioControl.exe: the control panel's logic wired to the Win32 ports.
#include "win32_api.h"

#include <commctrl.h>

#include "audio_control_app.h"
#include "discovery_win32.h"
#include "driver_link_win32.h"
#include "microphone_win32.h"
#include "modal_dialogs_win32.h"
#include "panel_shell_win32.h"
#include "panel_registry_win32.h"
#include "panel_system_win32.h"
#include "test_sound_win32.h"
#include "virtual71_window_win32.h"
#include "wave_in_win32.h"

namespace {

int RunMessageLoop() {
    MSG message;
    int quitCode = 0;
    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) {
            quitCode = static_cast<int>(message.wParam);
            break;
        }
        if (got == -1)
            break;
        // No IsDialogMessage: the panel has no controls for the keyboard to move between.
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return quitCode;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    Win32PanelSystem system;
    Win32PanelShell shell(system);
    Win32DiscoveryPorts discovery;
    Win32DriverLink driver;
    Win32Microphone microphone(shell);
    Win32PanelRegistry registry;
    Win32ModalDialogs dialogs(shell);
    Win32WaveIn waveIn(shell);
    CQEXAudioControlDlg dialog(PanelPorts{system, shell, discovery, driver, microphone.Ports(),
                                          registry, dialogs, waveIn});
    shell.AttachDialog(&dialog);
    CQEXAudioControlApp app(system, shell, dialog);

    INITCOMMONCONTROLSEX controls = {sizeof controls, 0xFF};
    InitCommonControlsEx(&controls);

    if (!app.InitInstance())
        return app.ExitInstance(0);
    // The test sound and the 7.1 window belong to the main dialog's window, which exists now.
    Win32TestSoundPorts sound(shell.Window());
    Win32Virtual71Window virtual71(shell.Window(), dialog.Virtual71Window);
    dialog.SetTestSoundPorts(&sound, &virtual71);
    return app.ExitInstance(RunMessageLoop());
}
