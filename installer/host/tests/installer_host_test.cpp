// The installer on the simulated machine, where Windows refuses its writes: a file in use by a
// running program, a read-only file. Each stops the install at its step with the
// "installed before" message, which quotes the step's code and the system's error.
#include "host/user_session.h"
// clang-format off
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "dovrel_host.h"
#include "host/machine.h"
#include "host/modules.h"
#include "host/registry.h"
#include "host/user_system.h"
#include "installer_host.h"
#include "names.h"
// clang-format on

namespace installerhost {
namespace {

namespace fs = std::filesystem;
using namespace qexinstall;

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

PayloadTable SimulatedPayloads() {
    PayloadTable table;
    for (const auto& [type, id] : {std::pair<const char*, uint16_t>{kTypeDriver, kResDriver32},
                                   {kTypeDriver, kResDriver64},
                                   {kTypeService, kResService32},
                                   {kTypeService, kResService64},
                                   {kTypeApp, kResPanel},
                                   {kTypeSkin, kResSkinEnglish},
                                   {kTypeSkin, kResSkinSimplified},
                                   {kTypeSkin, kResSkinTraditional},
                                   {kTypeUninstall, kResUninstaller}})
        table[{type, id}] = Bytes("MZ " + std::string(type) + " " + std::to_string(id));
    return table;
}

class InstallerHostTest : public ::testing::Test {
  protected:
    InstallerHostTest() {
        std::string pattern = (fs::temp_directory_path() / "ampfx-installer-XXXXXX").string();
        root_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~InstallerHostTest() override {
        installers_.reset();
        dovrel_.reset();
        modules_.reset();
        session_.reset();
        system_.reset();
        machine_.reset();
        std::error_code error;
        fs::remove_all(root_, error);
    }

    void Boot(bool sixtyFourBit) {
        machine_ = std::make_unique<host::Machine>();
        system_ = std::make_unique<host::UserSystem>(root_);
        system_->files().SetSixtyFourBit(sixtyFourBit);
        session_ = std::make_unique<host::user::UserSession>(*machine_, *system_);
        modules_ = std::make_unique<host::Modules>(system_->files());
        dovrel_ = std::make_unique<dovrel::DovrelHost>(machine_->pnp(), *system_);
        installers_ = std::make_unique<InstallerPrograms>(*session_, *system_, *modules_,
                                                          SimulatedPayloads());
        installers_->Register();
    }

    host::FileSystem& files() { return system_->files(); }

    // Clicks Next on the language page and Finish on the done page; the wizard's log.
    std::vector<std::string> Install() {
        files().WriteFile("C:\\Windows\\" + std::string(kInstallerImageName), Bytes("MZ"));
        host::ProcessId id = 0;
        EXPECT_EQ(
            system_->processes().Create("C:\\Windows\\" + std::string(kInstallerImageName), &id),
            0u);
        host::user::Desktop& desktop = session_->desktop();
        desktop.WaitForInputIdle(id, 10000);
        auto click = [&](int button) {
            desktop.WaitIdle(10000);
            desktop.PostMessage(installers_->Wizard()->hwnd, host::user::WM_COMMAND,
                                static_cast<uint32_t>(button), 0);
            desktop.WaitIdle(10000);
        };
        click(kIdNext);
        for (int i = 0; i < 20000 && !installers_->Wizard()->workerDone; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        click(kIdRebootLater);
        click(kIdFinish);
        EXPECT_EQ(system_->processes().Wait(id, 10000), 0u);
        return installers_->Wizard()->log;
    }

    static std::string Box(const std::vector<std::string>& log) {
        for (const std::string& line : log)
            if (line.rfind("messagebox", 0) == 0)
                return line;
        return "";
    }

    std::string root_;
    std::unique_ptr<host::Machine> machine_;
    std::unique_ptr<host::UserSystem> system_;
    std::unique_ptr<host::user::UserSession> session_;
    std::unique_ptr<host::Modules> modules_;
    std::unique_ptr<dovrel::DovrelHost> dovrel_;
    std::unique_ptr<InstallerPrograms> installers_;
};

TEST_F(InstallerHostTest, AFileWindowsRefusesStopsTheInstallWithItsCodeAndError) {
    struct Case {
        bool sixtyFourBit;
        const char* file;  // as it lies on the drive
        bool inUse;        // else read-only
        const char* code;
    } const cases[] = {
        {false, "C:\\Windows\\system32\\Dovrel.exe", true, "40000001...20"},
        {false, "C:\\Windows\\system32\\QX_AudioControl.exe", false, "40000001...5"},
        {false, "C:\\Windows\\system32\\QX_AudioControlRec\\QX_AudioControlRec.dll", true,
         "40000010...20"},
        {false, "C:\\Windows\\system32\\drivers\\Ampfx.sys", false, "40000030...5"},
        // Under WOW64 the panel lies in SysWOW64 and the driver in the native folder.
        {true, "C:\\Windows\\SysWOW64\\QX_AudioControl.exe", true, "40000001...20"},
        {true, "C:\\Windows\\system32\\drivers\\Ampfx.sys", false, "40000030...5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Boot(c.sixtyFourBit);
        const std::string path = c.file;
        files().CreateDirectory(path.substr(0, path.find_last_of('\\')));
        ASSERT_EQ(files().WriteFile(path, Bytes("old")), 0u);
        if (c.inUse)
            files().AcquireInUse(path);
        else
            files().SetReadOnly(path, true);

        const std::vector<std::string> log = Install();
        EXPECT_NE(Box(log).find("The sofware has installed before"), std::string::npos) << Box(log);
        EXPECT_NE(Box(log).find(std::string("..code:") + c.code + "\""), std::string::npos)
            << Box(log);
        std::vector<uint8_t> bytes;
        files().ReadFile(path, &bytes);
        EXPECT_EQ(bytes, Bytes("old"));
        EXPECT_EQ(log.back(), "closed");

        installers_.reset();
        dovrel_.reset();
        modules_.reset();
        session_.reset();
        system_.reset();
        machine_.reset();
        std::error_code error;
        fs::remove_all(root_, error);
        fs::create_directories(root_, error);
    }
}

// Whoever ends the machine with the wizard still open ends the installer with it, rather than
// waiting on a message loop no user will close.
TEST_F(InstallerHostTest, ATerminatedInstallerClosesItsOpenWizard) {
    Boot(false);
    const std::string image = "C:\\Windows\\" + std::string(kInstallerImageName);
    files().WriteFile(image, Bytes("MZ"));
    host::ProcessId id = 0;
    ASSERT_EQ(system_->processes().Create(image, &id), 0u);
    session_->desktop().WaitForInputIdle(id, 10000);
    ASSERT_TRUE(installers_->Wizard()->open);
    system_->processes().Terminate(id, 1);
    int exitCode = 0;
    ASSERT_EQ(system_->processes().Wait(id, 10000, &exitCode), 0u);
    EXPECT_EQ(exitCode, 1);
    EXPECT_FALSE(session_->desktop().IsWindow(installers_->Wizard()->hwnd));
    EXPECT_FALSE(files().FileExists("C:\\Windows\\system32\\Dovrel.exe"));
}

// Cancel on the first page asks; "No" keeps the wizard as it was, "Yes" ends it with nothing
// installed.
TEST_F(InstallerHostTest, CancelAsksAndOnlyYesEndsTheWizard) {
    Boot(false);
    const std::string image = "C:\\Windows\\" + std::string(kInstallerImageName);
    files().WriteFile(image, Bytes("MZ"));
    host::ProcessId id = 0;
    ASSERT_EQ(system_->processes().Create(image, &id), 0u);
    host::user::Desktop& desktop = session_->desktop();
    desktop.WaitForInputIdle(id, 10000);
    const host::user::Hwnd hwnd = installers_->Wizard()->hwnd;

    desktop.QueueMessageBoxAnswer(host::user::IDNO);
    desktop.PostMessage(hwnd, host::user::WM_COMMAND, kIdCancel, 0);
    desktop.WaitIdle(10000);
    WizardView view = *installers_->Wizard();
    EXPECT_TRUE(view.open);
    EXPECT_EQ(view.page, 1);
    EXPECT_EQ(view.buttons, kButtonCancel | kButtonNext);
    ASSERT_FALSE(view.log.empty());
    EXPECT_EQ(view.log.back(), std::string("confirm text=\"") + kConfirmText + "\" answer=no");

    desktop.QueueMessageBoxAnswer(host::user::IDYES);
    desktop.PostMessage(hwnd, host::user::WM_CLOSE, 0, 0);
    int exitCode = -1;
    ASSERT_EQ(system_->processes().Wait(id, 10000, &exitCode), 0u);
    EXPECT_EQ(exitCode, 0);
    view = *installers_->Wizard();
    EXPECT_FALSE(view.open);
    EXPECT_EQ(view.log.back(), "closed");
    EXPECT_FALSE(files().FileExists("C:\\Windows\\system32\\Dovrel.exe"));
    EXPECT_FALSE(host::Registry::Machine().KeyExists("HKLM\\" + std::string(kDriverServiceKey)));
}

}  // namespace
}  // namespace installerhost
