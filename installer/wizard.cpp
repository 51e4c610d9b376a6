#include "wizard.h"

namespace qexinstall {

namespace {

// The worker reports to the progress page through the window, never by touching the page
// from its own thread.
class WindowProgress : public ProgressSink {
  public:
    explicit WindowProgress(WizardWindow& window) : window_(window) {}
    void Report(uint32_t percent) override { window_.SendProgress(percent); }

  private:
    WizardWindow& window_;
};

}  // namespace

uint16_t PageResource(PageKind kind) {
    switch (kind) {
        case PageKind::Operation:
            return kDlgOperation;
        case PageKind::Language:
            return kDlgLanguage;
        case PageKind::Progress:
            return kDlgProgress;
        case PageKind::Done:
            return kDlgDone;
    }
    return 0;
}

uint32_t ButtonMask(int page, int count) {
    if (page == count)
        return kButtonFinish;
    if (page == count - 1)
        return 0;
    if (page == 1)
        return kButtonCancel | kButtonNext;
    return kButtonCancel | kButtonNext | kButtonBack;
}

void CQEXAudioControlInstallOp::OnClicked(int id) {
    if (id == kIdRepair)
        wizard_.operation = 0;
    else if (id == kIdUninstall)
        wizard_.operation = 1;
}

void CQEXAudioControlInstallLa::OnSelChange(int position) {
    if (position >= 0 && position <= 2)
        wizard_.language = position;
}

void CQEXAudioControlInstallIn::OnShow() {
    if (wizard_.operation == 1)
        wizard_.Window().SetProgressText(kStrUninstalling);
}

void CQEXAudioControlInstallIn::OnProgress(uint32_t percent) {
    wizard_.Window().SetProgressBar(percent > 100 ? 100 : percent);
}

void CQEXAudioControlInstallDN::OnClicked(int id) {
    if (id == kIdRebootNow)
        wizard_.reboot = 0;
    else if (id == kIdRebootLater)
        wizard_.reboot = 1;
}

CQEXAudioControlInstallDlg::CQEXAudioControlInstallDlg(WizardWindow& window, InstallPorts& ports,
                                                       Shutdown& shutdown)
    : window_(window),
      ports_(ports),
      shutdown_(shutdown),
      operationPage_(*this),
      languagePage_(*this),
      progressPage_(*this),
      donePage_(*this) {}

void CQEXAudioControlInstallDlg::OnInitDialog() {
    window_.SetCaption(kWizardCaption);
    pages_.clear();
    if (ProductInstalled(ports_.registry))
        pages_.push_back(PageKind::Operation);
    pages_.push_back(PageKind::Language);
    pages_.push_back(PageKind::Progress);
    pages_.push_back(PageKind::Done);
    for (PageKind kind : pages_)
        window_.CreatePage(kind);
    current_ = 1;
    ShowCurrent();
}

void CQEXAudioControlInstallDlg::ShowCurrent() {
    for (size_t i = 0; i < pages_.size(); ++i) {
        if (static_cast<int>(i) + 1 != current_)
            window_.ShowPage(pages_[i], false);
    }
    if (CurrentKind() == PageKind::Progress)
        progressPage_.OnShow();
    window_.ShowPage(CurrentKind(), true);
    window_.EnableButtons(ButtonMask(current_, static_cast<int>(pages_.size())));
}

void CQEXAudioControlInstallDlg::OnNext() {
    const int count = static_cast<int>(pages_.size());
    // The buttons are disabled on the last two pages; a stray message must not run a
    // procedure twice or walk past the end.
    if (closed_ || current_ >= count - 1)
        return;
    if (current_ == 1 && operation == 1 && pages_[0] == PageKind::Operation)
        current_ = 2;
    ++current_;
    ShowCurrent();
    if (CurrentKind() == PageKind::Progress) {
        window_.EnableCloseItem(false);
        const int chosenOperation = operation;
        const int chosenLanguage = language;
        window_.StartWorker([this, chosenOperation, chosenLanguage] {
            RunWorker(chosenOperation, chosenLanguage);
        });
    }
}

void CQEXAudioControlInstallDlg::RunWorker(int chosenOperation, int chosenLanguage) {
    WindowProgress progress(window_);
    if (chosenOperation == 1)
        RunUninstall(ports_, progress, window_.Handle());
    else
        RunInstall(ports_, chosenLanguage, progress, window_.Handle());
    ports_.clock.Sleep(500);
    window_.SendWorkerDone();
}

void CQEXAudioControlInstallDlg::OnBack() {
    const int count = static_cast<int>(pages_.size());
    if (closed_ || current_ <= 1 || current_ >= count - 1)
        return;
    --current_;
    ShowCurrent();
}

void CQEXAudioControlInstallDlg::OnWorkerDone() {
    if (closed_ || CurrentKind() != PageKind::Progress)
        return;
    ++current_;
    ShowCurrent();
    window_.EnableCloseItem(true);
}

void CQEXAudioControlInstallDlg::OnFinish() {
    if (closed_ || current_ != static_cast<int>(pages_.size()))
        return;
    if (reboot == 0) {
        // A refused privilege makes the reboot fail on its own; it is asked for anyway.
        shutdown_.EnablePrivilege(kShutdownPrivilege);
        shutdown_.Reboot();
    }
    EndWizard();
}

void CQEXAudioControlInstallDlg::OnClose() {
    if (closed_)
        return;
    const int count = static_cast<int>(pages_.size());
    // Leaving while the procedure runs would end the process under the worker halfway
    // through the files; the progress page offers no way out.
    if (current_ == count - 1)
        return;
    if (current_ != count && !window_.ConfirmExit())
        return;
    EndWizard();
}

void CQEXAudioControlInstallDlg::EndWizard() {
    for (PageKind kind : pages_)
        window_.DestroyPage(kind);
    closed_ = true;
    window_.Close();
}

}  // namespace qexinstall
