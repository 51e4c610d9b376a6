#include <gtest/gtest.h>

#include "memory_ports.h"
#include "names.h"
#include "procedures.h"

namespace qexinstall {
namespace {

const std::string kSys = "C:\\Windows\\system32\\";
const std::string kWow = "C:\\Windows\\SysWOW64\\";
const std::string kLink =
    "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Vornel Audio\\"
    "QX_AmpfxSuite_V305.lnk";

std::vector<uint8_t> Named(const char* type, uint16_t id) {
    return MemoryResources::NamedBytes(type, id);
}

InstallOutcome Install(MemoryMachine& m, int language = 0) {
    return RunInstall(m.ports, language, m.progress, 0x102);
}

TEST(Install, FirstInstallOnA32BitSystemPutsEverythingInPlace) {
    MemoryMachine m;
    const InstallOutcome outcome = Install(m);

    EXPECT_EQ(outcome.code, kInstallOk);
    EXPECT_TRUE(m.messageBoxes.shown.empty());
    const std::pair<std::string, std::vector<uint8_t>> files[] = {
        {kSys + "Dovrel.exe", Named(kTypeService, kResService32)},
        {kSys + "QX_AudioControl.exe", Named(kTypeApp, kResPanel)},
        {kSys + "QX_AmpfxSuiteUninstall.exe", Named(kTypeUninstall, kResUninstaller)},
        {kSys + "QX_AudioControlRec\\QX_AudioControlRec.dll", Named(kTypeSkin, kResSkinEnglish)},
        {kSys + "drivers\\Ampfx.sys", Named(kTypeDriver, kResDriver32)},
    };
    for (const auto& [path, bytes] : files) {
        ASSERT_NE(m.files.Data(path), nullptr) << path;
        EXPECT_EQ(*m.files.Data(path), bytes) << path;
    }

    const std::string driverKey = kDriverServiceKey;
    EXPECT_EQ(m.registry.keys[Lower(driverKey)].keyClass, "Ampfx");
    for (const auto& [name, value] : std::vector<std::pair<std::string, uint32_t>>{
             {"ErrorControl", 1}, {"Start", 3}, {"Type", 1}}) {
        ASSERT_NE(m.registry.Value(driverKey, name), nullptr) << name;
        EXPECT_EQ(m.registry.Value(driverKey, name)->type, RegistryType::Dword);
        EXPECT_EQ(m.registry.Value(driverKey, name)->dword, value) << name;
    }
    const MemoryValue* image = m.registry.Value(driverKey, "ImagePath");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->type, RegistryType::ExpandSz);
    EXPECT_EQ(image->width, StringWidth::Narrow);
    EXPECT_EQ(image->text, "System32\\DRIVERS\\Ampfx.sys");

    ASSERT_NE(m.registry.Value(kRunKey, "QX_AudioControl"), nullptr);
    EXPECT_EQ(m.registry.Value(kRunKey, "QX_AudioControl")->text,
              kSys + "QX_AudioControl.exe -QEXNOUI");

    const std::pair<const char*, std::string> uninstall[] = {
        {"DisplayName", "QEXAmpfxSuite"},
        {"UninstallString", kSys + "QX_AmpfxSuiteUninstall.exe"},
        {"DisplayIcon", kSys + "QX_AmpfxSuiteUninstall.exe"},
        {"DisplayVersion", "1.0.0.1"},
    };
    for (const auto& [name, text] : uninstall) {
        ASSERT_NE(m.registry.Value(kUninstallKey, name), nullptr) << name;
        EXPECT_EQ(m.registry.Value(kUninstallKey, name)->text, text) << name;
    }

    EXPECT_EQ(m.shell.linkTargets[Lower(kLink)], kSys + "QX_AudioControl.exe");
    const std::string ini = kSys + "QX_AudioControlRec\\ResourceInfo.ini";
    EXPECT_EQ(m.files.Profile(ini, "DEFAULT", "Skin Name"), "System Default");
    EXPECT_EQ(m.files.Profile(ini, "DEFAULT", "Skin Path"),
              kSys + "QX_AudioControlRec\\QX_AudioControlRec.dll");

    ASSERT_EQ(m.processes.commandLines.size(), 1u);
    EXPECT_EQ(m.processes.commandLines[0], kSys + "Dovrel.exe  /Service");
    EXPECT_EQ(m.processes.priorities[0], kHighPriorityClass);
    EXPECT_EQ(m.services.state, kServiceRunning);

    EXPECT_EQ(m.journal.Progress(),
              (std::vector<uint32_t>{1, 10, 20, 30, 40, 50, 60, 70, 80, 100}));
    EXPECT_EQ(m.journal.lines.back(), "beep 500 100");
}

TEST(Install, WaitsAndProgressComeInTheirOrder) {
    MemoryMachine m;
    Install(m);
    const char* sequence[] = {"progress 1",
                              "progress 10",
                              "sleep 1000",
                              "progress 20",
                              "sleep 1000",
                              "progress 30",
                              "write "
                              "C:\\Windows\\system32\\Dovrel.exe",
                              "progress 40",
                              "run C:\\Windows\\system32\\Dovrel.exe  /Service",
                              "sleep 500",
                              "progress 50",
                              "sleep 100",
                              "progress 60",
                              "service start",
                              "sleep 1000",
                              "write C:\\Windows\\system32\\QX_AudioControl.exe",
                              "progress 70",
                              "write C:\\Windows\\system32\\drivers\\Ampfx.sys",
                              "progress 80",
                              "progress 100",
                              "beep 500 100"};
    int at = 0;
    for (const char* line : sequence) {
        const int found = m.journal.Find(line, at);
        ASSERT_GE(found, 0) << "missing or out of order: " << line;
        at = found + 1;
    }
}

struct BitnessCase {
    const char* name;
    bool system64;
    bool installer64;
    std::string serviceAt;
    uint16_t service;
    uint16_t driver;
};

void PrintTo(const BitnessCase& c, std::ostream* os) {
    *os << c.name;
}

class InstallBitness : public testing::TestWithParam<BitnessCase> {};

TEST_P(InstallBitness, ChoosesTheBuildsAndWhereTheyLand) {
    const BitnessCase& c = GetParam();
    MemoryMachine m;
    if (c.system64)
        m.Make64Bit(c.installer64);
    ASSERT_EQ(Install(m).code, kInstallOk);

    ASSERT_NE(m.files.Data(c.serviceAt + "Dovrel.exe"), nullptr);
    EXPECT_EQ(*m.files.Data(c.serviceAt + "Dovrel.exe"), Named(kTypeService, c.service));
    // The driver always lands in the native drivers folder, where Plug and Play loads it.
    ASSERT_NE(m.files.Data(kSys + "drivers\\Ampfx.sys"), nullptr);
    EXPECT_EQ(*m.files.Data(kSys + "drivers\\Ampfx.sys"), Named(kTypeDriver, c.driver));
    EXPECT_FALSE(m.files.HasFile(kWow + "drivers\\Ampfx.sys"));
    EXPECT_FALSE(m.files.redirectionOff);
    // The logon's shell, the list of installed programs and the shortcut find the programs
    // where the writes landed, whichever view they run in.
    ASSERT_NE(m.registry.Value(kRunKey, "QX_AudioControl"), nullptr);
    EXPECT_EQ(m.registry.Value(kRunKey, "QX_AudioControl")->text,
              c.serviceAt + "QX_AudioControl.exe -QEXNOUI");
    ASSERT_NE(m.registry.Value(kUninstallKey, "UninstallString"), nullptr);
    EXPECT_EQ(m.registry.Value(kUninstallKey, "UninstallString")->text,
              c.serviceAt + "QX_AmpfxSuiteUninstall.exe");
    EXPECT_EQ(m.shell.linkTargets[Lower(kLink)], c.serviceAt + "QX_AudioControl.exe");
}

INSTANTIATE_TEST_SUITE_P(
    Systems, InstallBitness,
    testing::Values(BitnessCase{"System32", false, false, kSys, kResService32, kResDriver32},
                    BitnessCase{"Wow64", true, false, kWow, kResService64, kResDriver64},
                    BitnessCase{"Native64", true, true, kSys, kResService64, kResDriver64}),
    [](const testing::TestParamInfo<BitnessCase>& info) { return std::string(info.param.name); });

TEST(Install, UnderWow64OnlyTheDriverWritePassesRedirection) {
    MemoryMachine m;
    m.Make64Bit(false);
    Install(m);
    const int off = m.journal.Find("redirection off");
    const int write = m.journal.Find("write C:\\Windows\\system32\\drivers\\Ampfx.sys");
    const int on = m.journal.Find("redirection on");
    ASSERT_GE(off, 0);
    EXPECT_LT(off, write);
    EXPECT_LT(write, on);
    EXPECT_TRUE(m.files.HasFile(kWow + "QX_AudioControl.exe"));
    EXPECT_TRUE(m.files.HasFile(kWow + "QX_AudioControlRec\\QX_AudioControlRec.dll"));
}

TEST(Install, SkinFollowsTheLanguage) {
    const std::pair<int, uint16_t> cases[] = {
        {0, kResSkinEnglish}, {1, kResSkinSimplified}, {2, kResSkinTraditional}};
    for (const auto& [language, id] : cases) {
        MemoryMachine m;
        ASSERT_EQ(Install(m, language).code, kInstallOk);
        const auto* dll = m.files.Data(kSys + "QX_AudioControlRec\\QX_AudioControlRec.dll");
        ASSERT_NE(dll, nullptr);
        EXPECT_EQ(*dll, Named(kTypeSkin, id)) << "language " << language;
    }
}

TEST(Install, RunningPanelIsAskedToExitBeforeItsFileIsReplaced) {
    MemoryMachine m;
    m.windows.StartPanel(kSys + "QX_AudioControl.exe");
    ASSERT_EQ(Install(m).code, kInstallOk);
    EXPECT_FALSE(m.windows.panelRunning);
    const int send = m.journal.Find("send WM_QEX4410APP_EXIT 0 0");
    ASSERT_GE(send, 0);
    EXPECT_LT(m.journal.Find("progress 20"), send);
    EXPECT_LT(send, m.journal.Find("progress 30"));
}

TEST(Install, NoExitMessageWithoutAPanelWindow) {
    MemoryMachine m;
    Install(m);
    for (const std::string& line : m.journal.lines)
        EXPECT_EQ(line.rfind("send ", 0), std::string::npos) << line;
}

// Each case breaks one step; the install stops there with its code.
struct FailureCase {
    const char* name;
    std::function<void(MemoryMachine&)> arrange;
    uint32_t code;
    const char* notWritten;  // a file a later step would have written, or ""
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class InstallFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(InstallFailure, StopsWithItsCodeAndOneMessage) {
    const FailureCase& c = GetParam();
    MemoryMachine m;
    c.arrange(m);
    const InstallOutcome outcome = Install(m);

    EXPECT_EQ(outcome.code, c.code);
    ASSERT_EQ(m.messageBoxes.shown.size(), 1u);
    EXPECT_EQ(m.messageBoxes.shown[0].caption, "Install");
    EXPECT_EQ(m.messageBoxes.shown[0].icon, BoxIcon::Error);
    EXPECT_EQ(m.messageBoxes.shown[0].owner, 0x102u);
    EXPECT_EQ(m.messageBoxes.shown[0].text, FormatInstallFailure(c.code, outcome.lastError));
    EXPECT_EQ(m.journal.Progress().back(), 100u);
    EXPECT_FALSE(m.journal.Has("progress 80"));
    EXPECT_EQ(m.journal.lines.back(), "beep 500 100");
    if (*c.notWritten) {
        EXPECT_FALSE(m.files.HasFile(kSys + c.notWritten)) << c.notWritten;
    }
    EXPECT_FALSE(m.files.redirectionOff);
}

void Remove(MemoryMachine& m, const char* type, uint16_t id) {
    m.resources.payloads.erase({type, id});
}
std::string Sys(const char* file) {
    return Lower(kSys + file);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InstallFailure,
    testing::Values(
        FailureCase{"ServiceMissing",
                    [](MemoryMachine& m) { Remove(m, kTypeService, kResService32); },
                    kPayloadNotFound, "Dovrel.exe"},
        FailureCase{"ServiceUnloadable",
                    [](MemoryMachine& m) {
                        m.resources.loadFails.insert({kTypeService, kResService32});
                    },
                    kPayloadLoadFailed, "Dovrel.exe"},
        FailureCase{"NoSystemDirectory", [](MemoryMachine& m) { m.files.systemDirectoryError = 5; },
                    kNoSystemDirectory, "Dovrel.exe"},
        FailureCase{"ServiceInUse",
                    [](MemoryMachine& m) { m.files.inUse.insert(Sys("Dovrel.exe")); },
                    kFileOpenFailed, "QX_AudioControl.exe"},
        FailureCase{"ServiceShort",
                    [](MemoryMachine& m) { m.files.shortWrites[Sys("Dovrel.exe")] = 3; },
                    kServiceWrittenShort, "QX_AudioControl.exe"},
        FailureCase{"RegistrationNotStarted", [](MemoryMachine& m) { m.processes.startError = 2; },
                    kServiceRegistrationFailed, "QX_AudioControl.exe"},
        FailureCase{"RegistrationHangs", [](MemoryMachine& m) { m.processes.hangs = true; },
                    kServiceRegistrationFailed, "QX_AudioControl.exe"},
        FailureCase{"PanelMissing", [](MemoryMachine& m) { Remove(m, kTypeApp, kResPanel); },
                    kPayloadNotFound, "QX_AudioControl.exe"},
        FailureCase{"PanelStaysOpen",
                    [](MemoryMachine& m) {
                        m.windows.StartPanel(kSys + "QX_AudioControl.exe");
                        m.windows.panelIgnoresExit = true;
                    },
                    kFileOpenFailed, "QX_AmpfxSuiteUninstall.exe"},
        FailureCase{"RunKeyRefused",
                    [](MemoryMachine& m) { m.registry.createErrors[Lower(kRunKey)] = 5; },
                    kRunKeyFailed, "QX_AmpfxSuiteUninstall.exe"},
        FailureCase{"UninstallerMissing",
                    [](MemoryMachine& m) { Remove(m, kTypeUninstall, kResUninstaller); },
                    kPayloadNotFound, "QX_AmpfxSuiteUninstall.exe"},
        FailureCase{
            "UninstallerReadOnly",
            [](MemoryMachine& m) { m.files.readOnly.insert(Sys("QX_AmpfxSuiteUninstall.exe")); },
            kFileOpenFailed, "QX_AudioControlRec\\QX_AudioControlRec.dll"},
        FailureCase{"SkinMissing", [](MemoryMachine& m) { Remove(m, kTypeSkin, kResSkinEnglish); },
                    kSkinNotFound, "QX_AudioControlRec\\QX_AudioControlRec.dll"},
        FailureCase{"SkinUnloadable",
                    [](MemoryMachine& m) {
                        m.resources.loadFails.insert({kTypeSkin, kResSkinEnglish});
                    },
                    kSkinLoadFailed, "QX_AudioControlRec\\QX_AudioControlRec.dll"},
        FailureCase{"SkinInUse",
                    [](MemoryMachine& m) {
                        m.files.AddDirectory(kSys + "QX_AudioControlRec");
                        m.files.inUse.insert(Sys("QX_AudioControlRec\\QX_AudioControlRec.dll"));
                    },
                    kSkinOpenFailed, "drivers\\Ampfx.sys"},
        FailureCase{"SkinShort",
                    [](MemoryMachine& m) {
                        m.files.shortWrites[Sys("QX_AudioControlRec\\QX_AudioControlRec.dll")] = 1;
                    },
                    kSkinWrittenShort, "drivers\\Ampfx.sys"},
        FailureCase{"DriverMissing", [](MemoryMachine& m) { Remove(m, kTypeDriver, kResDriver32); },
                    kDriverNotFound, "drivers\\Ampfx.sys"},
        FailureCase{"DriverUnloadable",
                    [](MemoryMachine& m) {
                        m.resources.loadFails.insert({kTypeDriver, kResDriver32});
                    },
                    kDriverLoadFailed, "drivers\\Ampfx.sys"},
        FailureCase{"DriverInUse",
                    [](MemoryMachine& m) { m.files.inUse.insert(Sys("drivers\\Ampfx.sys")); },
                    kDriverOpenFailed, ""},
        FailureCase{"DriverShortUnderWow64",
                    [](MemoryMachine& m) {
                        m.Make64Bit(false);
                        m.files.shortWrites[Sys("drivers\\Ampfx.sys")] = 0;
                    },
                    kDriverWrittenShort, ""}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(Install, FailureMessagesHaveBothFormats) {
    EXPECT_EQ(FormatInstallFailure(0x40000001, 32),
              "The sofware has installed before,\nplease uninstall the old version first\n"
              "..code:40000001...20");
    EXPECT_EQ(FormatInstallFailure(0x80000011, 2),
              "The installation fails with error code 80000011-00000002");
    EXPECT_EQ(FormatInstallFailure(0x80000022, 0xC0000005),
              "The installation fails with error code 80000022-C0000005");
}

TEST(Install, StepsDoneBeforeAFailureStay) {
    MemoryMachine m;
    Remove(m, kTypeDriver, kResDriver32);
    Install(m);
    EXPECT_TRUE(m.files.HasFile(kSys + "QX_AudioControl.exe"));
    EXPECT_TRUE(m.registry.HasKey(kUninstallKey));
    EXPECT_EQ(m.services.state, kServiceRunning);
}

TEST(Install, RepairOverwritesAnExistingInstallation) {
    MemoryMachine m;
    ASSERT_EQ(Install(m).code, kInstallOk);
    m.files.AddFile(kSys + "QX_AudioControl.exe", {1, 2, 3});
    m.journal.lines.clear();
    ASSERT_EQ(Install(m).code, kInstallOk);
    EXPECT_EQ(*m.files.Data(kSys + "QX_AudioControl.exe"), Named(kTypeApp, kResPanel));
    // The running service is stopped so its file can be replaced, then started again.
    const int stop = m.journal.Find("service control 1");
    ASSERT_GE(stop, 0);
    EXPECT_LT(stop, m.journal.Find("write C:\\Windows\\system32\\Dovrel.exe"));
    EXPECT_EQ(m.services.state, kServiceRunning);
}

// --- custom skins ---------------------------------------------------------------------

struct CustomSkinCase {
    const char* name;
    std::vector<std::pair<std::string, const char*>> libraries;  // file, name (null: no export)
    std::string expectedName;
    std::string expectedFile;  // in the skin folder
};

void PrintTo(const CustomSkinCase& c, std::ostream* os) {
    *os << c.name;
}

class CustomSkin : public testing::TestWithParam<CustomSkinCase> {};

TEST_P(CustomSkin, FirstNamedLibraryInDirectoryOrderWins) {
    const CustomSkinCase& c = GetParam();
    MemoryMachine m;
    for (const auto& [file, name] : c.libraries) {
        const std::string path = "D:\\Setup\\Custom Skin\\" + file;
        m.files.AddFile(path, std::vector<uint8_t>(file.begin(), file.end()));
        if (name)
            m.shell.skinNames[Lower(path)] = name;
    }
    ASSERT_EQ(Install(m).code, kInstallOk);

    const std::string folder = kSys + "QX_AudioControlRec\\";
    EXPECT_EQ(m.files.Profile(folder + "ResourceInfo.ini", "DEFAULT", "Skin Name"), c.expectedName);
    EXPECT_EQ(m.files.Profile(folder + "ResourceInfo.ini", "DEFAULT", "Skin Path"),
              folder + c.expectedFile);
    for (const auto& [file, name] : c.libraries) {
        const bool copied = file == c.expectedFile;
        EXPECT_EQ(m.files.HasFile(folder + file), copied) << file;
        if (copied) {
            EXPECT_EQ(*m.files.Data(folder + file), std::vector<uint8_t>(file.begin(), file.end()));
        }
    }
    EXPECT_TRUE(m.files.HasFile(folder + "QX_AudioControlRec.dll"));
}

INSTANTIATE_TEST_SUITE_P(
    Folders, CustomSkin,
    testing::Values(
        CustomSkinCase{"NoFolder", {}, "System Default", "QX_AudioControlRec.dll"},
        CustomSkinCase{"TwoNamed", {{"Blue.dll", "Blue"}, {"Red.dll", "Red"}}, "Blue", "Blue.dll"},
        CustomSkinCase{"SkipsUnnamedAndEmpty",
                       {{"Plain.dll", nullptr}, {"Empty.dll", ""}, {"Gold.dll", "Gold"}},
                       "Gold",
                       "Gold.dll"},
        CustomSkinCase{
            "NoneNamed", {{"Plain.dll", nullptr}}, "System Default", "QX_AudioControlRec.dll"},
        CustomSkinCase{"OtherFilesIgnored",
                       {{"readme.txt", "Text"}},
                       "System Default",
                       "QX_AudioControlRec.dll"}),
    [](const testing::TestParamInfo<CustomSkinCase>& info) {
        return std::string(info.param.name);
    });

// --- the service control routine --------------------------------------------------------

TEST(ControlService, StartPollsUntilTheServiceRuns) {
    MemoryMachine m;
    m.services.installed = true;
    m.services.settleAfterPolls = 3;
    ControlService(m.ports, kServiceCommandStart);
    EXPECT_EQ(m.services.state, kServiceRunning);
    int sleeps = 0;
    for (const std::string& line : m.journal.lines)
        sleeps += line == "sleep 300";
    EXPECT_EQ(sleeps, 3);
}

TEST(ControlService, GivesUpAfterThirtyPolls) {
    MemoryMachine m;
    m.services.installed = true;
    m.services.settleAfterPolls = -1;
    ControlService(m.ports, kServiceCommandStart);
    EXPECT_EQ(m.services.state, kServiceStartPending);
    int sleeps = 0;
    for (const std::string& line : m.journal.lines)
        sleeps += line == "sleep 300";
    EXPECT_EQ(sleeps, 30);
}

TEST(ControlService, CommandsThatHaveNothingToDoDoNothing) {
    MemoryMachine m;
    ControlService(m.ports, kServiceCommandStop);  // not installed
    m.services.installed = true;
    ControlService(m.ports, kServiceCommandStop);  // already stopped
    m.services.state = kServiceRunning;
    ControlService(m.ports, kServiceCommandStart);  // already running
    EXPECT_TRUE(m.journal.lines.empty());
}

}  // namespace
}  // namespace qexinstall
