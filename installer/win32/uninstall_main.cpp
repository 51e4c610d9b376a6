// QX_AmpfxSuiteUninstall.exe: asks once, then runs the installer's uninstall procedure and
// says when it is done. Windows' list of installed programs starts it.
#include "names.h"
#include "procedures.h"
#include "win32_ports.h"

namespace {

constexpr char kCaption[] = "QEX Ampfx Suite V305 Uninstall";
constexpr char kConfirmText[] =
    "Do you want to remove QEX Ampfx Suite and all of its components from this computer?";
constexpr char kDoneText[] =
    "QEX Ampfx Suite has been removed.\nRestart the computer to complete the uninstallation.";

// Nothing shows progress here; the message box at the end says the work is done.
class NoProgress : public qexinstall::ProgressSink {
  public:
    void Report(uint32_t) override {}
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    qexinstall::Win32Machine machine;
    if (machine.messageBoxes.Show(0, kConfirmText, kCaption, qexinstall::BoxIcon::Question,
                                  qexinstall::BoxButtons::YesNo) != qexinstall::BoxAnswer::Yes)
        return 1;
    NoProgress progress;
    qexinstall::RunUninstall(machine.ports, progress, 0);
    machine.messageBoxes.Show(0, kDoneText, kCaption, qexinstall::BoxIcon::Information,
                              qexinstall::BoxButtons::Ok);
    return 0;
}
