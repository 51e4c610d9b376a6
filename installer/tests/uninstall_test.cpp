#include <gtest/gtest.h>

#include "memory_ports.h"
#include "names.h"
#include "procedures.h"

namespace qexinstall {
namespace {

const std::string kSys = "C:\\Windows\\system32\\";
const std::string kFolder =
    "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Vornel Audio";
const std::string kSettings = "C:\\ProgramData\\QEXAudioEQAndMicData.dat";

// A machine after a successful install, with the panel's settings file and the driver's
// settings key, and the journal cleared.
void Installed(MemoryMachine& m) {
    ASSERT_EQ(RunInstall(m.ports, 0, m.progress, 0).code, kInstallOk);
    m.files.AddFile(kSettings, {1, 2, 3});
    m.registry.AddKey("SYSTEM\\CurrentControlSet\\Services\\Ampfx\\Parameters");
    m.journal.lines.clear();
}

void Uninstall(MemoryMachine& m) {
    RunUninstall(m.ports, m.progress, 0x77);
}

TEST(Uninstall, RemovesWhatTheInstallPutInPlace) {
    MemoryMachine m;
    Installed(m);
    Uninstall(m);

    for (const char* file : {"Dovrel.exe", "QX_AudioControl.exe", "QX_AmpfxSuiteUninstall.exe"})
        EXPECT_FALSE(m.files.HasFile(kSys + file)) << file;
    EXPECT_FALSE(m.files.HasDirectory(kSys + "QX_AudioControlRec"));
    EXPECT_FALSE(m.files.HasFile(kSys + "QX_AudioControlRec\\ResourceInfo.ini"));
    EXPECT_FALSE(m.files.HasFile(kFolder + "\\QX_AmpfxSuite_V305.lnk"));
    EXPECT_FALSE(m.files.HasDirectory(kFolder));
    EXPECT_FALSE(m.files.HasFile(kSettings));
    EXPECT_FALSE(m.registry.HasKey(kUninstallKey));
    EXPECT_EQ(m.registry.Value(kRunKey, "QX_AudioControl"), nullptr);
    EXPECT_TRUE(m.registry.HasKey(kRunKey));
    // The driver file and its key are the service's to remove (control code 128); the
    // driver's settings stay for a later installation.
    EXPECT_TRUE(m.registry.HasKey("SYSTEM\\CurrentControlSet\\Services\\Ampfx\\Parameters"));
    EXPECT_TRUE(m.messageBoxes.shown.empty());

    EXPECT_EQ(m.services.controls, (std::vector<uint32_t>{128, kServiceControlStop}));
    EXPECT_EQ(m.services.state, kServiceStopped);
    EXPECT_EQ(m.journal.Progress(),
              (std::vector<uint32_t>{1, 10, 20, 30, 40, 60, 50, 70, 80, 100}));
    EXPECT_EQ(m.journal.lines.back(), "beep 400 100");
}

TEST(Uninstall, BroadcastsComeInTheirOrder) {
    MemoryMachine m;
    Installed(m);
    Uninstall(m);
    const char* sequence[] = {"service control 128",
                              "service control 1",
                              "progress 1",
                              "sleep 1000",
                              "progress 10",
                              "sleep 100",
                              "progress 20",
                              "sleep 100",
                              "progress 30",
                              "broadcast WM_QEXAmpfxCPL_EXIT 0 17408",
                              "broadcast WM_QEX4410APP_EXIT 0 0",
                              "sleep 1000",
                              "progress 40",
                              "delete C:\\Windows\\system32\\Dovrel.exe",
                              "broadcast WM_QEX4410APP_EXIT 0 0",
                              "delete C:\\Windows\\system32\\QX_AudioControl.exe"};
    int at = 0;
    for (const char* line : sequence) {
        const int found = m.journal.Find(line, at);
        ASSERT_GE(found, 0) << "missing or out of order: " << line;
        at = found + 1;
    }
}

TEST(Uninstall, StartsAStoppedServiceSoItCanRemoveTheFilter) {
    MemoryMachine m;
    Installed(m);
    m.services.state = kServiceStopped;
    Uninstall(m);
    EXPECT_LT(m.journal.Find("service start"), m.journal.Find("service control 128"));
    EXPECT_EQ(m.services.controls, (std::vector<uint32_t>{128, kServiceControlStop}));
}

TEST(Uninstall, RunningPanelIsClosedBeforeItsFileGoes) {
    MemoryMachine m;
    Installed(m);
    m.windows.StartPanel(kSys + "QX_AudioControl.exe");
    Uninstall(m);
    EXPECT_FALSE(m.windows.panelRunning);
    EXPECT_FALSE(m.files.HasFile(kSys + "QX_AudioControl.exe"));
}

class UninstallWithSibling : public testing::TestWithParam<const char*> {};

TEST_P(UninstallWithSibling, LeavesTheSharedServiceAndFolder) {
    MemoryMachine m;
    Installed(m);
    m.registry.AddKey(GetParam());
    m.files.AddFile(kFolder + "\\Sibling.lnk", {9});
    Uninstall(m);

    EXPECT_TRUE(m.services.controls.empty());
    EXPECT_EQ(m.services.state, kServiceRunning);
    EXPECT_TRUE(m.files.HasFile(kSys + "Dovrel.exe"));
    EXPECT_TRUE(m.files.HasDirectory(kFolder));
    EXPECT_TRUE(m.files.HasFile(kFolder + "\\Sibling.lnk"));
    EXPECT_FALSE(m.journal.Has("rmdir " + kFolder));
    // This product's own files and keys still go.
    EXPECT_FALSE(m.files.HasFile(kSys + "QX_AudioControl.exe"));
    EXPECT_FALSE(m.files.HasFile(kFolder + "\\QX_AmpfxSuite_V305.lnk"));
    EXPECT_FALSE(m.registry.HasKey(kUninstallKey));
    EXPECT_EQ(m.journal.Progress(), (std::vector<uint32_t>{60, 50, 70, 80, 100}));
}

INSTANTIATE_TEST_SUITE_P(Siblings, UninstallWithSibling,
                         testing::Values(kSiblingUninstallKeys[0], kSiblingUninstallKeys[1]));

TEST(Uninstall, StartMenuFolderWithOtherLinksStays) {
    MemoryMachine m;
    Installed(m);
    m.files.AddFile(kFolder + "\\Other.lnk", {9});
    Uninstall(m);
    EXPECT_TRUE(m.files.HasDirectory(kFolder));
    EXPECT_FALSE(m.files.HasFile(kFolder + "\\QX_AmpfxSuite_V305.lnk"));
}

TEST(Uninstall, RunKeyThatCannotBeOpenedIsTheOneReportedFailure) {
    MemoryMachine m;
    Installed(m);
    m.registry.openErrors[Lower(kRunKey)] = 5;
    Uninstall(m);
    ASSERT_EQ(m.messageBoxes.shown.size(), 1u);
    EXPECT_EQ(m.messageBoxes.shown[0].text, "The uninstallation fails with error code 0C-00000005");
    EXPECT_EQ(m.messageBoxes.shown[0].caption, "Uninstall");
    EXPECT_EQ(m.messageBoxes.shown[0].icon, BoxIcon::Error);
    EXPECT_EQ(m.messageBoxes.shown[0].owner, 0x77u);
    EXPECT_FALSE(m.journal.Has("progress 80"));
    EXPECT_EQ(m.journal.lines.back(), "beep 400 100");
}

TEST(Uninstall, OtherFailuresAreSilent) {
    MemoryMachine m;
    Installed(m);
    // The uninstaller's own file is in use while it runs; the service is gone already.
    m.files.inUse.insert(Lower(kSys + "QX_AmpfxSuiteUninstall.exe"));
    m.services.installed = false;
    Uninstall(m);
    EXPECT_TRUE(m.messageBoxes.shown.empty());
    EXPECT_TRUE(m.files.HasFile(kSys + "QX_AmpfxSuiteUninstall.exe"));
    EXPECT_FALSE(m.registry.HasKey(kUninstallKey));
    EXPECT_EQ(m.journal.Progress().back(), 100u);
}

TEST(Uninstall, WithoutASystemDirectoryNoFileIsTouched) {
    MemoryMachine m;
    Installed(m);
    m.files.systemDirectoryError = 5;
    m.files.currentDirectory = "C:\\Windows\\system32";  // relative names would land here
    Uninstall(m);
    EXPECT_TRUE(m.services.controls.empty());
    EXPECT_TRUE(m.files.HasFile(kSys + "QX_AudioControl.exe"));
    EXPECT_TRUE(m.files.HasFile(kSys + "Dovrel.exe"));
    EXPECT_FALSE(m.registry.HasKey(kUninstallKey));
    EXPECT_EQ(m.registry.Value(kRunKey, "QX_AudioControl"), nullptr);
}

TEST(Uninstall, EndsEarlyWithoutTheApplicationDataFolder) {
    MemoryMachine m;
    Installed(m);
    m.shell.appDataError = 5;
    Uninstall(m);
    EXPECT_TRUE(m.files.HasFile(kSettings));
    EXPECT_NE(m.registry.Value(kRunKey, "QX_AudioControl"), nullptr);
    EXPECT_FALSE(m.journal.Has("beep 400 100"));
}

TEST(Uninstall, OnANeverInstalledMachineChangesNothingButStillEnds) {
    MemoryMachine m;
    Uninstall(m);
    EXPECT_TRUE(m.messageBoxes.shown.empty());
    EXPECT_TRUE(m.registry.HasKey(kRunKey));
    EXPECT_EQ(m.journal.lines.back(), "beep 400 100");
}

}  // namespace
}  // namespace qexinstall
