// The installer's wizard: one frame window that shows one page at a time, the buttons each
// page allows, and the worker thread that runs a procedure while the progress page shows.
// The classes hold the logic only; a thin Win32 layer (win32/) turns window messages into
// calls of their handlers, and the simulator or a test calls them directly.
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ports.h"
#include "procedures.h"

namespace qexinstall {

// Resource ids and texts of the wizard's windows.
constexpr uint16_t kDlgWizard = 102;
constexpr uint16_t kIconWizard = 128;
constexpr uint16_t kBitmapBanner = 130;
constexpr uint16_t kDlgOperation = 131;
constexpr uint16_t kDlgLanguage = 132;
constexpr uint16_t kDlgProgress = 134;
constexpr uint16_t kDlgConfirm = 135;
constexpr uint16_t kDlgDone = 137;
constexpr uint16_t kStrUninstalling = 146;

constexpr int kIdFinish = 1;
constexpr int kIdCancel = 2;
constexpr int kIdBack = 1000;
constexpr int kIdNext = 1001;
constexpr int kIdPageFrame = 1004;
constexpr int kIdRepair = 1005;
constexpr int kIdUninstall = 1006;     // on the operation page
constexpr int kIdLanguageList = 1006;  // on the language page
constexpr int kIdRebootNow = 1008;
constexpr int kIdRebootLater = 1009;
constexpr int kIdProgressBar = 1010;
constexpr int kIdProgressText = 1011;

constexpr uint32_t kMsgProgress = 0x400 + 0x20;    // WM_USER + 0x20, percentage in wParam
constexpr uint32_t kMsgWorkerDone = 0x400 + 0x21;  // WM_USER + 0x21

inline constexpr char kWizardCaption[] = "QEX Ampfx Suite V305 Setup";
inline constexpr char kInstallingText[] = "Installing...";
inline constexpr char kUninstallingText[] = "Uninstalling...";
inline constexpr char kShutdownPrivilege[] = "SeShutdownPrivilege";

// Button mask bits: a button whose bit is clear is disabled.
constexpr uint32_t kButtonBack = 1;
constexpr uint32_t kButtonNext = 2;
constexpr uint32_t kButtonFinish = 4;
constexpr uint32_t kButtonCancel = 8;

enum class PageKind { Operation, Language, Progress, Done };

uint16_t PageResource(PageKind kind);

// The buttons page `page` (1-based) of `count` pages enables.
uint32_t ButtonMask(int page, int count);

// The wizard window and its child pages as the platform shows them.
class WizardWindow {
  public:
    virtual ~WizardWindow() = default;
    virtual WindowHandle Handle() = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    // Creates the page's child dialog, hidden, on the page area.
    virtual void CreatePage(PageKind kind) = 0;
    virtual void ShowPage(PageKind kind, bool visible) = 0;
    virtual void DestroyPage(PageKind kind) = 0;
    // Enables each of Back, Next, Finish and Cancel by its bit.
    virtual void EnableButtons(uint32_t mask) = 0;
    // Enables or grays the Close item of the window's system menu.
    virtual void EnableCloseItem(bool enabled) = 0;
    // The progress page's static 1011, set to a string resource, and progress bar 1010.
    virtual void SetProgressText(uint16_t stringId) = 0;
    virtual void SetProgressBar(uint32_t percent) = 0;
    // Confirmation box 135: true for "Yes".
    virtual bool ConfirmExit() = 0;
    // Ends the modal wizard.
    virtual void Close() = 0;
    // Runs `body` on a new thread; the window thread does not wait for it.
    virtual void StartWorker(std::function<void()> body) = 0;
    // From the worker: the synchronous message to the progress page, and the final message
    // to the wizard window; each returns when the window thread has handled it.
    virtual void SendProgress(uint32_t percent) = 0;
    virtual void SendWorkerDone() = 0;
};

// Rebooting at Finish.
class Shutdown {
  public:
    virtual ~Shutdown() = default;
    // Enables a privilege in the process token (OpenProcessToken, LookupPrivilegeValue,
    // AdjustTokenPrivileges).
    virtual WinError EnablePrivilege(const std::string& name) = 0;
    // ExitWindowsEx(EWX_REBOOT).
    virtual WinError Reboot() = 0;
};

class CQEXAudioControlInstallDlg;

// Page 131: install/repair or uninstall.
class CQEXAudioControlInstallOp {
  public:
    explicit CQEXAudioControlInstallOp(CQEXAudioControlInstallDlg& wizard) : wizard_(wizard) {}
    void OnClicked(int id);

  private:
    CQEXAudioControlInstallDlg& wizard_;
};

// Page 132: the language of the default skin.
class CQEXAudioControlInstallLa {
  public:
    explicit CQEXAudioControlInstallLa(CQEXAudioControlInstallDlg& wizard) : wizard_(wizard) {}
    void OnSelChange(int position);

  private:
    CQEXAudioControlInstallDlg& wizard_;
};

// Page 134: progress of the running procedure.
class CQEXAudioControlInstallIn {
  public:
    explicit CQEXAudioControlInstallIn(CQEXAudioControlInstallDlg& wizard) : wizard_(wizard) {}
    void OnShow();
    // The progress message.
    void OnProgress(uint32_t percent);

  private:
    CQEXAudioControlInstallDlg& wizard_;
};

// Page 137: reboot now or later.
class CQEXAudioControlInstallDN {
  public:
    explicit CQEXAudioControlInstallDN(CQEXAudioControlInstallDlg& wizard) : wizard_(wizard) {}
    void OnClicked(int id);

  private:
    CQEXAudioControlInstallDlg& wizard_;
};

class CQEXAudioControlInstallDlg {
  public:
    CQEXAudioControlInstallDlg(WizardWindow& window, InstallPorts& ports, Shutdown& shutdown);

    void OnInitDialog();
    void OnNext();
    void OnBack();
    void OnFinish();
    // Cancel and the window's Close both come here.
    void OnClose();
    // The worker's final message.
    void OnWorkerDone();

    CQEXAudioControlInstallOp& OperationPage() { return operationPage_; }
    CQEXAudioControlInstallLa& LanguagePage() { return languagePage_; }
    CQEXAudioControlInstallIn& ProgressPage() { return progressPage_; }
    CQEXAudioControlInstallDN& DonePage() { return donePage_; }

    // Wizard state.
    int operation = 0;  // 0 install or repair, 1 uninstall
    int language = 0;   // 0-2
    int reboot = 0;     // 0 now, 1 later
    const std::vector<PageKind>& Pages() const { return pages_; }
    int CurrentPage() const { return current_; }
    PageKind CurrentKind() const { return pages_[static_cast<size_t>(current_ - 1)]; }
    bool Closed() const { return closed_; }
    WizardWindow& Window() { return window_; }

  private:
    void ShowCurrent();
    void RunWorker(int operation, int language);
    void EndWizard();

    WizardWindow& window_;
    InstallPorts& ports_;
    Shutdown& shutdown_;
    CQEXAudioControlInstallOp operationPage_;
    CQEXAudioControlInstallLa languagePage_;
    CQEXAudioControlInstallIn progressPage_;
    CQEXAudioControlInstallDN donePage_;
    std::vector<PageKind> pages_;
    int current_ = 0;
    bool closed_ = false;
};

}  // namespace qexinstall
