// The wizard's Win32 dialogs: dialog 102 with its pages as child dialogs on frame 1004.
// Window messages become calls of the wizard's handlers; the wizard's requests become
// Win32 calls.
#include <map>

#include "win32_ports.h"

#include <commctrl.h>

namespace qexinstall {

namespace {

class Win32WizardWindow : public WizardWindow {
  public:
    Win32WizardWindow(HINSTANCE instance, HWND wizard) : instance_(instance), wizard_(wizard) {}

    void Attach(CQEXAudioControlInstallDlg* dialog) { dialog_ = dialog; }

    WindowHandle Handle() override { return reinterpret_cast<WindowHandle>(wizard_); }

    void SetCaption(const std::string& caption) override {
        SetWindowTextW(wizard_, Widen(caption).c_str());
    }

    void CreatePage(PageKind kind) override;

    void ShowPage(PageKind kind, bool visible) override {
        if (HWND page = Page(kind))
            ShowWindow(page, visible ? SW_SHOW : SW_HIDE);
    }

    void DestroyPage(PageKind kind) override {
        if (HWND page = Page(kind))
            DestroyWindow(page);
        pages_.erase(kind);
    }

    void EnableButtons(uint32_t mask) override {
        const std::pair<int, uint32_t> buttons[] = {{kIdBack, kButtonBack},
                                                    {kIdNext, kButtonNext},
                                                    {kIdFinish, kButtonFinish},
                                                    {kIdCancel, kButtonCancel}};
        for (const auto& [id, bit] : buttons)
            EnableWindow(GetDlgItem(wizard_, id), (mask & bit) ? TRUE : FALSE);
        // Keep Return on a button that works: Next while it can, then Finish.
        const int preferred = (mask & kButtonNext) ? kIdNext : kIdFinish;
        SendMessageW(wizard_, DM_SETDEFID, preferred, 0);
        if (mask & (preferred == kIdNext ? kButtonNext : kButtonFinish))
            SendMessageW(wizard_, WM_NEXTDLGCTL,
                         reinterpret_cast<WPARAM>(GetDlgItem(wizard_, preferred)), TRUE);
    }

    void EnableCloseItem(bool enabled) override {
        EnableMenuItem(GetSystemMenu(wizard_, FALSE), SC_CLOSE,
                       MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
    }

    void SetProgressText(uint16_t stringId) override {
        wchar_t text[128] = {};
        LoadStringW(instance_, stringId, text, 128);
        SetDlgItemTextW(Page(PageKind::Progress), kIdProgressText, text);
    }

    void SetProgressBar(uint32_t percent) override {
        HWND page = Page(PageKind::Progress);
        SendDlgItemMessageW(page, kIdProgressBar, PBM_SETPOS, percent, 0);
        InvalidateRect(page, nullptr, TRUE);
        UpdateWindow(page);
    }

    bool ConfirmExit() override {
        return DialogBoxParamW(instance_, MAKEINTRESOURCEW(kDlgConfirm), wizard_, ConfirmProc, 0) ==
               IDOK;
    }

    void Close() override { EndDialog(wizard_, 0); }

    void StartWorker(std::function<void()> body) override {
        auto* work = new std::function<void()>(std::move(body));
        HANDLE thread = CreateThread(nullptr, 0, WorkerThread, work, 0, nullptr);
        if (thread)
            CloseHandle(thread);
        else
            delete work;
    }

    void SendProgress(uint32_t percent) override {
        SendMessageW(Page(PageKind::Progress), kMsgProgress, percent, 0);
    }

    void SendWorkerDone() override { SendMessageW(wizard_, kMsgWorkerDone, 0, 0); }

    CQEXAudioControlInstallDlg* Dialog() { return dialog_; }

  private:
    HWND Page(PageKind kind) const {
        auto it = pages_.find(kind);
        return it == pages_.end() ? nullptr : it->second;
    }

    static DWORD WINAPI WorkerThread(LPVOID parameter) {
        auto* work = static_cast<std::function<void()>*>(parameter);
        (*work)();
        delete work;
        return 0;
    }

    static INT_PTR CALLBACK ConfirmProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
        if (message == WM_INITDIALOG)
            return TRUE;
        if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        if (message == WM_CLOSE) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    }

    static INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

    HINSTANCE instance_;
    HWND wizard_;
    CQEXAudioControlInstallDlg* dialog_ = nullptr;
    std::map<PageKind, HWND> pages_;
};

struct PageContext {
    Win32WizardWindow* window;
    PageKind kind;
};

INT_PTR CALLBACK Win32WizardWindow::PageProc(HWND page, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* context = reinterpret_cast<PageContext*>(lParam);
        SetWindowLongPtrW(page, DWLP_USER, lParam);
        switch (context->kind) {
            case PageKind::Operation:
                CheckRadioButton(page, kIdRepair, kIdUninstall, kIdRepair);
                break;
            case PageKind::Language:
                for (const wchar_t* language :
                     {L"English", L"Chinese(Simplified)", L"Chinese(Traditional)"})
                    SendDlgItemMessageW(page, kIdLanguageList, CB_ADDSTRING, 0,
                                        reinterpret_cast<LPARAM>(language));
                SendDlgItemMessageW(page, kIdLanguageList, CB_SETCURSEL, 0, 0);
                break;
            case PageKind::Progress:
                SendDlgItemMessageW(page, kIdProgressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
                break;
            case PageKind::Done:
                CheckRadioButton(page, kIdRebootNow, kIdRebootLater, kIdRebootNow);
                break;
        }
        return TRUE;
    }
    auto* context = reinterpret_cast<PageContext*>(GetWindowLongPtrW(page, DWLP_USER));
    if (!context)
        return FALSE;
    CQEXAudioControlInstallDlg* dialog = context->window->Dialog();
    switch (message) {
        case WM_COMMAND:
            if (context->kind == PageKind::Operation && HIWORD(wParam) == BN_CLICKED)
                dialog->OperationPage().OnClicked(LOWORD(wParam));
            else if (context->kind == PageKind::Done && HIWORD(wParam) == BN_CLICKED)
                dialog->DonePage().OnClicked(LOWORD(wParam));
            else if (context->kind == PageKind::Language && LOWORD(wParam) == kIdLanguageList &&
                     HIWORD(wParam) == CBN_SELCHANGE)
                dialog->LanguagePage().OnSelChange(static_cast<int>(
                    SendDlgItemMessageW(page, kIdLanguageList, CB_GETCURSEL, 0, 0)));
            return TRUE;
        case kMsgProgress:
            if (context->kind == PageKind::Progress)
                dialog->ProgressPage().OnProgress(static_cast<uint32_t>(wParam));
            return TRUE;
        case WM_DESTROY:
            SetWindowLongPtrW(page, DWLP_USER, 0);
            delete context;
            return TRUE;
    }
    return FALSE;
}

void Win32WizardWindow::CreatePage(PageKind kind) {
    auto* context = new PageContext{this, kind};
    HWND page = CreateDialogParamW(instance_, MAKEINTRESOURCEW(PageResource(kind)), wizard_,
                                   PageProc, reinterpret_cast<LPARAM>(context));
    if (!page) {
        delete context;
        return;
    }
    // The page covers the frame's rectangle, in the wizard's client coordinates.
    RECT area;
    GetWindowRect(GetDlgItem(wizard_, kIdPageFrame), &area);
    MapWindowPoints(nullptr, wizard_, reinterpret_cast<POINT*>(&area), 2);
    SetWindowPos(page, HWND_TOP, area.left, area.top, area.right - area.left,
                 area.bottom - area.top, SWP_HIDEWINDOW);
    pages_[kind] = page;
}

struct WizardContext {
    HINSTANCE instance;
    InstallPorts* ports;
    Shutdown* shutdown;
    Win32WizardWindow* window = nullptr;
    CQEXAudioControlInstallDlg* dialog = nullptr;
};

INT_PTR CALLBACK WizardProc(HWND wizard, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* context = reinterpret_cast<WizardContext*>(lParam);
        SetWindowLongPtrW(wizard, DWLP_USER, lParam);
        HICON large = static_cast<HICON>(
            LoadImageW(context->instance, MAKEINTRESOURCEW(kIconWizard), IMAGE_ICON,
                       GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
        HICON small = static_cast<HICON>(
            LoadImageW(context->instance, MAKEINTRESOURCEW(kIconWizard), IMAGE_ICON,
                       GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
        SendMessageW(wizard, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(large));
        SendMessageW(wizard, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
        context->window = new Win32WizardWindow(context->instance, wizard);
        context->dialog =
            new CQEXAudioControlInstallDlg(*context->window, *context->ports, *context->shutdown);
        context->window->Attach(context->dialog);
        context->dialog->OnInitDialog();
        return FALSE;  // the focus was placed on Next
    }
    auto* context = reinterpret_cast<WizardContext*>(GetWindowLongPtrW(wizard, DWLP_USER));
    if (!context || !context->dialog)
        return FALSE;
    CQEXAudioControlInstallDlg* dialog = context->dialog;
    switch (message) {
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case kIdNext:
                    dialog->OnNext();
                    return TRUE;
                case kIdBack:
                    dialog->OnBack();
                    return TRUE;
                case kIdFinish:
                    dialog->OnFinish();
                    return TRUE;
                case kIdCancel:
                    dialog->OnClose();
                    return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            dialog->OnClose();
            return TRUE;
        case kMsgWorkerDone:
            dialog->OnWorkerDone();
            return TRUE;
    }
    return FALSE;
}

}  // namespace

void RunWizard(HINSTANCE instance, InstallPorts& ports, Shutdown& shutdown) {
    WizardContext context{instance, &ports, &shutdown};
    DialogBoxParamW(instance, MAKEINTRESOURCEW(kDlgWizard), nullptr, WizardProc,
                    reinterpret_cast<LPARAM>(&context));
    delete context.dialog;
    delete context.window;
}

}  // namespace qexinstall
