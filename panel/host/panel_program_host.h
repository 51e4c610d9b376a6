// "QX_AudioControl.exe" as a program of the simulated machine: each start runs the panel's
// application object and message loop on the process's own thread, over the host ports.
// Scenarios reach a running panel only as Windows and a user could, through the desktop;
// they may read its dialog's state while the panel waits for input.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/modules.h"
#include "host/user_session.h"
#include "panel_ports_host.h"

class CQEXAudioControlDlg;

namespace host {
class Processes;
}

namespace panelhost {

constexpr char kPanelImageName[] = "QX_AudioControl.exe";

// One running panel, as far as scenarios may look at it.
struct RunningPanel {
    uint32_t process = 0;
    CQEXAudioControlDlg* dialog = nullptr;
    HostPanelShell* shell = nullptr;
    HostModalDialogs* dialogs = nullptr;
    class HostVirtual71Window* virtual71 = nullptr;  // the 7.1 window's port
    std::atomic<bool> quitPosted{false};
    bool ended = false;
    int exitCode = 0;
};

class PanelPrograms {
  public:
    PanelPrograms(host::user::UserSession& session, host::Modules& modules,
                  host::Processes& processes);
    ~PanelPrograms();

    // Makes the image name startable.
    void Register();
    // The panel started last that still runs, or null.
    RunningPanel* Current();
    // Answers for the next modal dialog of whichever panel opens one.
    void QueueDialogAnswer(const std::string& answer);
    std::vector<HostModalDialogs::Shown> TakeDialogsShown();

  private:
    int Main(const std::string& arguments);

    host::user::UserSession& session_;
    host::Modules& modules_;
    host::Processes& processes_;
    HostModalDialogs dialogs_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<RunningPanel>> panels_;
};

}  // namespace panelhost
