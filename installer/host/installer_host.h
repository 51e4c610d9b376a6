// "QEXAudioControlInstall.exe" and "QX_AmpfxSuiteUninstall.exe" as programs of the simulated
// machine. Both are 32-bit programs: on a 64-bit machine they run under WOW64, so their
// system-directory files land in SysWOW64 and their SOFTWARE keys in the 32-bit view, which
// the machine arranges and the installer's logic never names. The installer's payloads are
// the resources of its image: a table of the files the host build made (or their simulated
// images), by resource type and id.
//
// The wizard is a window on the desktop whose procedure turns the messages a user's clicks
// produce (WM_COMMAND from its buttons, radio buttons and the language list, WM_CLOSE) into
// the wizard's handlers; a scenario reads what the window shows through WizardView and
// clicks through the desktop.
#pragma once

#include <stdint.h>

#include <map>
#include <optional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/shell_extras.h"
#include "wizard.h"

namespace host {
class Modules;
class UserSystem;
namespace user {
class UserSession;
}
}  // namespace host

namespace installerhost {

inline constexpr char kInstallerImageName[] = "QEXAudioControlInstall.exe";
inline constexpr char kUninstallerImageName[] = "QX_AmpfxSuiteUninstall.exe";
inline constexpr char kWizardResourceCaption[] = "Torvi Audio Control Install";
inline constexpr char kConfirmText[] = "Are you sure you want to exit Torvi Audio Control Install?";
inline constexpr char kUninstallerCaption[] = "QEX Ampfx Suite V305 Uninstall";
// The uninstaller's two boxes, as the Windows build words them.
inline constexpr char kUninstallerQuestion[] =
    "Do you want to remove QEX Ampfx Suite and all of its components from this computer?";
inline constexpr char kUninstallerDone[] =
    "QEX Ampfx Suite has been removed.\nRestart the computer to complete the uninstallation.";

// Resource (type, id) -> bytes.
using PayloadTable = std::map<std::pair<std::string, uint16_t>, std::vector<uint8_t>>;

// What the wizard window shows, for the scenario.
struct WizardView {
    uint32_t process = 0;
    uint64_t hwnd = 0;
    bool open = false;
    std::vector<qexinstall::PageKind> pages;
    int page = 0;  // 1-based, 0 before the first page shows
    uint32_t buttons = 0;
    bool closeItem = true;
    uint16_t progressText = 0;       // 0: "Installing...", else the string resource shown
    std::vector<uint32_t> progress;  // every position the bar took, in order
    bool workerDone = false;
    // What the user saw and heard, in order: "page=N/M KIND buttons=...", "close-item=...",
    // "text=...", "progress=P", "messagebox ...", "beep=...", "reboot ...", "closed".
    std::vector<std::string> log;
    int operation = 0;
    int language = 0;
    int reboot = 0;
};

class InstallerPrograms {
  public:
    InstallerPrograms(host::user::UserSession& session, host::UserSystem& system,
                      host::Modules& modules, PayloadTable payloads);
    ~InstallerPrograms();
    InstallerPrograms(const InstallerPrograms&) = delete;
    InstallerPrograms& operator=(const InstallerPrograms&) = delete;

    // Makes both images startable (as 32-bit programs).
    void Register();

    // The wizard of the installer started last, as it shows now; nullopt before any started.
    std::optional<WizardView> Wizard();
    // Selecting a language in the drop-down list: the list's selection, which the
    // CBN_SELCHANGE the desktop then delivers reads.
    void SelectLanguage(int position);

    host::user::SystemShutdown& shutdown() { return shutdown_; }

  private:
    struct Running;
    int InstallerMain(const std::string& arguments);
    int UninstallerMain(const std::string& arguments);

    host::user::UserSession& session_;
    host::UserSystem& system_;
    host::Modules& modules_;
    PayloadTable payloads_;
    host::user::SystemShutdown shutdown_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Running>> runs_;
};

}  // namespace installerhost
