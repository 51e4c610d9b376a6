#include "panel_program_host.h"

#include "audio_control_app.h"
#include "audio_control_dlg.h"
#include "driver_link_host.h"
#include "microphone_host.h"
#include "host/processes.h"
#include "host/text.h"
#include "test_sound_host.h"
#include "windows_volume.h"

namespace panelhost {

namespace user = host::user;

PanelPrograms::PanelPrograms(user::UserSession& session, host::Modules& modules,
                             host::Processes& processes)
    : session_(session), modules_(modules), processes_(processes) {}

PanelPrograms::~PanelPrograms() = default;

void PanelPrograms::Register() {
    // The shipped panel is a 32-bit program.
    processes_.RegisterProgram(
        kPanelImageName, [this](const std::string& arguments) { return Main(arguments); }, true);
}

RunningPanel* PanelPrograms::Current() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = panels_.rbegin(); it != panels_.rend(); ++it)
        if (!(*it)->ended)
            return it->get();
    return nullptr;
}

void PanelPrograms::QueueDialogAnswer(const std::string& answer) {
    dialogs_.QueueAnswer(answer);
}

std::vector<HostModalDialogs::Shown> PanelPrograms::TakeDialogsShown() {
    return dialogs_.TakeShown();
}

namespace {

// The window procedure of the main dialog: each message to its handler, as the framework's
// message map routes it.
user::LResult DialogProcedure(user::Desktop& desktop, CQEXAudioControlDlg& dlg, user::Hwnd hwnd,
                              uint32_t message, user::WParam w, user::LParam l) {
    const int x = user::LowWordSigned(l), y = user::HighWordSigned(l);
    switch (message) {
        case user::WM_INITDIALOG:
            return dlg.OnInitDialog() ? 1 : 0;
        case user::WM_ERASEBKGND:
            return dlg.OnEraseBackground() ? 1 : 0;
        case user::WM_LBUTTONDOWN:
            dlg.OnLButtonDown(x, y);
            break;
        case user::WM_LBUTTONUP:
            dlg.OnLButtonUp(x, y);
            break;
        case user::WM_MOUSEMOVE:
            dlg.OnMouseMove(x, y);
            break;
        case user::WM_LBUTTONDBLCLK:
            dlg.OnLButtonDblClk(x, y);
            break;
        case user::WM_NCHITTEST: {
            const user::LResult hit = desktop.DefWindowProc(hwnd, message, w, l);
            user::Rect rect;
            desktop.GetWindowRect(hwnd, &rect);
            return dlg.OnNcHitTest(x - rect.left, y - rect.top, static_cast<int>(hit));
        }
        case user::WM_MOVE: {
            const user::LResult result = desktop.DefWindowProc(hwnd, message, w, l);
            dlg.OnMove();
            return result;
        }
        case user::WM_COMMAND:
            if (dlg.OnCommand(static_cast<uint32_t>(w & 0xFFFF)))
                return 0;
            break;
        case kTrayCallbackMessage:
            dlg.OnTrayCallback(static_cast<uint32_t>(l));
            return 0;
        case user::WM_DEVICECHANGE:
            dlg.OnDeviceChange(static_cast<uint32_t>(w));
            return 1;
        case user::WM_TIMER:
            dlg.OnTimer(static_cast<uint32_t>(w));
            return 0;
        case user::WM_CLOSE:
            dlg.OnClose();
            return 0;
        case 0x8000 + 1:  // WM_APP + 1: a notification Windows gave another thread
            dlg.OnPanelNotification(static_cast<uint32_t>(w));
            return 0;
        case 0x3BE:  // MM_WIM_OPEN
            dlg.OnWaveInOpen();
            return 0;
        case 0x3C0: {  // MM_WIM_DATA
            const auto* header =
                reinterpret_cast<const user::WaveHeader*>(static_cast<uintptr_t>(l));
            if (header != nullptr)
                dlg.OnWaveInData(static_cast<int>(header->user), header->bytesRecorded);
            return 0;
        }
        case 0x3BF:  // MM_WIM_CLOSE
            dlg.OnWaveInClose();
            return 0;
        default:
            if (message >= 0xC000 && dlg.OnRegisteredMessage(message))
                return 0;
            break;
    }
    return desktop.DefWindowProc(hwnd, message, w, l);
}

}  // namespace

int PanelPrograms::Main(const std::string&) {
    user::Desktop& desktop = session_.desktop();
    auto running = std::make_shared<RunningPanel>();
    running->process = host::Processes::Current();

    // The program's own resources are those of its image file.
    std::u16string imagePath;
    session_.shell().GetModuleFileName(260, &imagePath);
    host::HMODULE image = modules_.LoadLibraryW(imagePath);
    HostResourceModule own(modules_, image, imagePath);

    HostPanelSystem system(session_, modules_, processes_, own);
    CQEXAudioControlDlg* dialog = nullptr;
    HostPanelShell shell(desktop, [&](user::Hwnd hwnd, uint32_t m, user::WParam w, user::LParam l) {
        return DialogProcedure(desktop, *dialog, hwnd, m, w, l);
    });
    HostDiscovery discovery(session_);
    HostDriverLink driver;
    HostCoreAudio coreAudio(session_.coreAudio());
    HostMixer mixer(session_.mixers());
    WindowsVolume volume(coreAudio, mixer);
    // The callbacks are the volume object's: their registrations end before it does.
    struct Rundown {
        HostCoreAudio& ports;
        ~Rundown() { ports.RevokeCallbacks(); }
    } rundown{coreAudio};
    HostPanelRegistry registry;
    HostWaveIn waveIn(session_, shell);
    volume.SetNotifyHandlers([&] { shell.PostPanelNotification(kNotifyEndpointVolume); },
                             [&] { shell.PostPanelNotification(kNotifyControlChange); });
    CQEXAudioControlDlg dlg(
        PanelPorts{system, shell, discovery, driver, volume, registry, dialogs_, waveIn});
    dialog = &dlg;
    // The speaker-test page: the session's DirectSound and the 7.1 window on its desktop.
    HostTestSoundPorts sound(session_, [&shell] { return shell.Window(); });
    HostVirtual71Window virtual71(
        desktop, [&shell] { return shell.Window(); }, dlg.Virtual71Window);
    dlg.SetTestSoundPorts(&sound, &virtual71);
    CQEXAudioControlApp app(system, shell, dlg);

    shell.SetQuitFlag(&running->quitPosted);
    running->dialog = &dlg;
    running->shell = &shell;
    running->dialogs = &dialogs_;
    running->virtual71 = &virtual71;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        panels_.push_back(running);
    }
    // Terminating the process ends its message loop: WM_QUIT into the panel's own queue.
    processes_.OnTerminate(running->process, [&desktop, &shell] {
        desktop.PostMessage(shell.Window(), user::WM_QUIT, 0, 0);
    });

    int code = 0;
    if (app.InitInstance()) {
        user::Msg msg;
        while (desktop.GetMessage(&msg) > 0) {
            desktop.TranslateMessage(msg);
            desktop.DispatchMessage(msg);
        }
        code = static_cast<int>(msg.wParam);
    }
    code = app.ExitInstance(code);
    if (shell.Window() != 0)
        desktop.DestroyWindow(shell.Window());
    if (image != nullptr)
        modules_.FreeLibrary(image);
    std::lock_guard<std::mutex> lock(mutex_);
    running->ended = true;
    running->exitCode = code;
    running->dialog = nullptr;
    running->shell = nullptr;
    running->virtual71 = nullptr;
    return code;
}

}  // namespace panelhost
