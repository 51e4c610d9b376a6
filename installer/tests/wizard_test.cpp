#include <gtest/gtest.h>

#include "memory_ports.h"
#include "names.h"
#include "wizard.h"

namespace qexinstall {
namespace {

struct WizardRig {
    explicit WizardRig(bool installed) {
        if (installed)
            m.registry.AddKey(kUninstallKey);
        window.wizard = &wizard;
        wizard.OnInitDialog();
    }
    MemoryMachine m;
    MemoryWizardWindow window{m.journal};
    MemoryShutdown shutdown{m.journal};
    CQEXAudioControlInstallDlg wizard{window, m.ports, shutdown};
};

TEST(ButtonMask, ByPageAndCount) {
    const struct {
        int page, count;
        uint32_t mask;
    } cases[] = {
        {1, 3, kButtonCancel | kButtonNext},
        {2, 3, 0},
        {3, 3, kButtonFinish},
        {1, 4, kButtonCancel | kButtonNext},
        {2, 4, kButtonCancel | kButtonNext | kButtonBack},
        {3, 4, 0},
        {4, 4, kButtonFinish},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ButtonMask(c.page, c.count), c.mask) << c.page << "/" << c.count;
}

TEST(Wizard, FirstInstallationHasThreePagesAndNextStartsTheInstall) {
    WizardRig r(false);
    EXPECT_EQ(r.window.caption, "QEX Ampfx Suite V305 Setup");
    EXPECT_EQ(r.wizard.Pages(),
              (std::vector<PageKind>{PageKind::Language, PageKind::Progress, PageKind::Done}));
    EXPECT_EQ(r.window.created, r.wizard.Pages());
    EXPECT_EQ(r.window.visible, std::set<PageKind>{PageKind::Language});
    EXPECT_EQ(r.window.buttons, kButtonCancel | kButtonNext);

    r.wizard.LanguagePage().OnSelChange(2);
    r.wizard.OnNext();
    EXPECT_EQ(r.window.visible, std::set<PageKind>{PageKind::Progress});
    EXPECT_EQ(r.window.buttons, 0u);
    EXPECT_FALSE(r.window.closeItem);
    EXPECT_EQ(r.window.progressText, "Installing...");
    ASSERT_EQ(r.window.workersStarted, 1);

    r.window.RunWorker();
    EXPECT_EQ(*r.m.files.Data("C:\\Windows\\system32\\QX_AudioControlRec\\QX_AudioControlRec.dll"),
              MemoryResources::NamedBytes(kTypeSkin, kResSkinTraditional));
    EXPECT_EQ(r.window.progressBar, 100u);
    EXPECT_LT(r.m.journal.Find("sleep 500", r.m.journal.Find("beep 500 100")),
              r.m.journal.Find("worker done"));
    EXPECT_EQ(r.window.visible, std::set<PageKind>{PageKind::Done});
    EXPECT_EQ(r.window.buttons, kButtonFinish);
    EXPECT_TRUE(r.window.closeItem);
}

TEST(Wizard, UninstallSkipsTheLanguagePage) {
    WizardRig r(true);
    ASSERT_EQ(r.wizard.Pages().size(), 4u);
    EXPECT_EQ(r.window.visible, std::set<PageKind>{PageKind::Operation});
    r.wizard.OperationPage().OnClicked(kIdUninstall);
    r.wizard.OnNext();
    EXPECT_EQ(r.wizard.CurrentKind(), PageKind::Progress);
    EXPECT_EQ(r.window.progressText, "Uninstalling...");
    EXPECT_EQ(r.window.buttons, 0u);

    r.window.RunWorker();
    EXPECT_TRUE(r.m.journal.Has("beep 400 100"));
    EXPECT_FALSE(r.m.journal.Has("beep 500 100"));
    EXPECT_FALSE(r.m.registry.HasKey(kUninstallKey));
    EXPECT_EQ(r.wizard.CurrentKind(), PageKind::Done);
}

TEST(Wizard, RepairGoesThroughTheLanguagePageAndBackWorks) {
    WizardRig r(true);
    r.wizard.OperationPage().OnClicked(kIdUninstall);
    r.wizard.OperationPage().OnClicked(kIdRepair);
    r.wizard.OnNext();
    EXPECT_EQ(r.wizard.CurrentKind(), PageKind::Language);
    EXPECT_EQ(r.window.buttons, kButtonCancel | kButtonNext | kButtonBack);
    r.wizard.OnBack();
    EXPECT_EQ(r.wizard.CurrentKind(), PageKind::Operation);
    EXPECT_EQ(r.window.buttons, kButtonCancel | kButtonNext);
    r.wizard.OnNext();
    r.wizard.OnNext();
    EXPECT_EQ(r.wizard.CurrentKind(), PageKind::Progress);
    EXPECT_EQ(r.window.progressText, "Installing...");
    r.window.RunWorker();
    EXPECT_TRUE(r.m.journal.Has("beep 500 100"));
}

TEST(Wizard, NoWayOutOrBackWhileTheProcedureRuns) {
    WizardRig r(true);
    r.wizard.OnNext();
    r.wizard.OnNext();
    ASSERT_EQ(r.wizard.CurrentKind(), PageKind::Progress);
    r.wizard.OnBack();
    r.wizard.OnNext();
    r.wizard.OnClose();
    r.wizard.OnFinish();
    EXPECT_EQ(r.wizard.CurrentKind(), PageKind::Progress);
    EXPECT_EQ(r.window.workersStarted, 1);
    EXPECT_EQ(r.window.confirmations, 0);
    EXPECT_FALSE(r.window.closed);
}

TEST(Wizard, CancelAsksFirst) {
    WizardRig r(false);
    r.window.confirmAnswer = false;
    r.wizard.OnClose();
    EXPECT_EQ(r.window.confirmations, 1);
    EXPECT_FALSE(r.window.closed);
    EXPECT_EQ(r.window.visible, std::set<PageKind>{PageKind::Language});
    EXPECT_EQ(r.window.buttons, kButtonCancel | kButtonNext);

    r.window.confirmAnswer = true;
    r.wizard.OnClose();
    EXPECT_TRUE(r.window.closed);
    EXPECT_EQ(r.window.destroyed, r.wizard.Pages());
    EXPECT_EQ(r.window.workersStarted, 0);
}

struct FinishCase {
    const char* name;
    int rebootButton;
    WinError privilegeError;
    bool reboot;
};

void PrintTo(const FinishCase& c, std::ostream* os) {
    *os << c.name;
}

class WizardFinish : public testing::TestWithParam<FinishCase> {};

TEST_P(WizardFinish, ClosesWithoutAskingAndRebootsWhenChosen) {
    const FinishCase& c = GetParam();
    WizardRig r(false);
    r.shutdown.privilegeError = c.privilegeError;
    r.wizard.OnNext();
    r.window.RunWorker();
    r.wizard.DonePage().OnClicked(c.rebootButton);
    r.wizard.OnFinish();
    EXPECT_TRUE(r.window.closed);
    EXPECT_EQ(r.window.confirmations, 0);
    EXPECT_EQ(r.shutdown.rebootRequested, c.reboot);
    if (c.reboot) {
        EXPECT_LT(r.m.journal.Find("privilege SeShutdownPrivilege"), r.m.journal.Find("reboot"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Choices, WizardFinish,
    testing::Values(FinishCase{"Now", kIdRebootNow, 0, true},
                    FinishCase{"Later", kIdRebootLater, 0, false},
                    FinishCase{"NowWithoutPrivilege", kIdRebootNow, 1300, true}),
    [](const testing::TestParamInfo<FinishCase>& info) { return std::string(info.param.name); });

TEST(Wizard, FailedInstallStillEndsOnTheDonePage) {
    WizardRig r(false);
    r.m.resources.payloads.clear();
    r.wizard.OnNext();
    r.window.RunWorker();
    EXPECT_EQ(r.m.messageBoxes.shown.size(), 1u);
    EXPECT_EQ(r.m.messageBoxes.shown[0].owner, r.window.Handle());
    EXPECT_EQ(r.wizard.CurrentKind(), PageKind::Done);
    EXPECT_EQ(r.window.buttons, kButtonFinish);
    EXPECT_TRUE(r.window.closeItem);
    // Closing from the last page needs no confirmation.
    r.wizard.OnClose();
    EXPECT_TRUE(r.window.closed);
    EXPECT_EQ(r.window.confirmations, 0);
}

TEST(Wizard, ProgressBeyondTheRangeIsClamped) {
    WizardRig r(false);
    r.wizard.ProgressPage().OnProgress(250);
    EXPECT_EQ(r.window.progressBar, 100u);
}

}  // namespace
}  // namespace qexinstall
