// What a 32-bit program on a 64-bit machine sees of drive C: and the registry, files it cannot
// write, Shell Link records and the shutdown request.
#include <gtest/gtest.h>

#include "host/file_system.h"
#include "host/processes.h"
#include "host/registry_view.h"
#include "host/shell_extras.h"
#include "host/win32_error.h"
#include "session_fixture.h"

namespace host::user::testing {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

class Wow64Test : public ::testing::Test {
  protected:
    Wow64Test() : files_(root_.path()) { files_.SetSixtyFourBit(true); }

    TempRoot root_;
    FileSystem files_;
};

TEST_F(Wow64Test, AThreadOfA32BitProgramSeesSystem32AsSysWow64UntilItTurnsRedirectionOff) {
    ASSERT_EQ(files_.CreateDirectory("C:\\Windows\\system32\\drivers\\etc"), kErrorSuccess);
    struct Case {
        bool wow64;
        bool redirectionOff;
        const char* written;
        const char* landsAt;  // nullptr: the write fails, the folder does not exist
    } const cases[] = {
        {false, false, "C:\\Windows\\system32\\a.dll", "C:\\Windows\\system32\\a.dll"},
        {true, false, "C:\\Windows\\system32\\a.dll", "C:\\Windows\\SysWOW64\\a.dll"},
        {true, false, "c:\\WINDOWS\\System32\\b.dll", "C:\\Windows\\SysWOW64\\b.dll"},
        // drivers is redirected too: only drivers\etc is exempt.
        {true, false, "C:\\Windows\\system32\\drivers\\x.sys",
         "C:\\Windows\\SysWOW64\\drivers\\x.sys"},
        {true, false, "C:\\Windows\\system32\\drivers\\etc\\hosts",
         "C:\\Windows\\system32\\drivers\\etc\\hosts"},
        {true, true, "C:\\Windows\\system32\\drivers\\y.sys",
         "C:\\Windows\\system32\\drivers\\y.sys"},
        {true, false, "C:\\Windows\\Sysnative\\c.dll", "C:\\Windows\\system32\\c.dll"},
        // Sysnative exists only for a 32-bit program with redirection on.
        {true, true, "C:\\Windows\\Sysnative\\d.dll", nullptr},
        {false, false, "C:\\Windows\\Sysnative\\e.dll", nullptr},
        {true, false, "C:\\Program Files\\f.txt", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        {
            FileSystem::Wow64Thread thread(c.wow64);
            FileSystem::SetThreadRedirectionDisabled(c.redirectionOff);
            const uint32_t error = files_.WriteFile(c.written, Bytes("x"));
            EXPECT_EQ(error, c.landsAt != nullptr ? kErrorSuccess : kErrorPathNotFound);
        }
        EXPECT_FALSE(FileSystem::ThreadIsWow64());
        EXPECT_FALSE(FileSystem::ThreadRedirectionDisabled());
        if (c.landsAt != nullptr) {
            EXPECT_TRUE(files_.FileExists(c.landsAt));
        }
    }
}

TEST_F(Wow64Test, A32BitMachineRedirectsNothing) {
    TempRoot root;
    FileSystem files(root.path());
    FileSystem::Wow64Thread thread(true);
    EXPECT_EQ(files.ViewPath("C:\\Windows\\system32\\a.dll"), "C:\\Windows\\system32\\a.dll");
    EXPECT_FALSE(files.DirectoryExists(FileSystem::kWow64Directory));
}

TEST_F(Wow64Test, A32BitProgramRunsUnderWow64AndStartsWhatItWroteFromSysWow64) {
    Processes processes(&files_);
    struct Seen {
        bool wow64 = false;
        bool processWow64 = false;
    };
    auto seen = std::make_shared<Seen>();
    processes.RegisterProgram(
        "setup.exe",
        [&, seen](const std::string&) {
            seen->wow64 = FileSystem::ThreadIsWow64();
            seen->processWow64 = Processes::IsWow64(Processes::Current());
            files_.WriteFile("C:\\Windows\\system32\\tool.exe", Bytes("MZ"));
            ProcessId child = 0;
            // The 32-bit program's "system32" is where its file went.
            return static_cast<int>(
                processes.Create("C:\\Windows\\system32\\tool.exe", &child) == kErrorSuccess ? child
                                                                                             : 0);
        },
        true);
    processes.RegisterProgram("tool.exe", [](const std::string&) { return 0; });
    ASSERT_EQ(files_.WriteFile("C:\\Windows\\system32\\setup.exe", Bytes("MZ")), kErrorSuccess);

    ProcessId id = 0;
    ASSERT_EQ(processes.Create("C:\\Windows\\system32\\setup.exe", &id), kErrorSuccess);
    int child = 0;
    ASSERT_EQ(processes.Wait(id, 10000, &child), kErrorSuccess);
    EXPECT_TRUE(seen->wow64);
    EXPECT_TRUE(seen->processWow64);
    EXPECT_FALSE(Processes::IsWow64(0));
    EXPECT_TRUE(files_.FileExists("C:\\Windows\\SysWOW64\\tool.exe"));
    EXPECT_FALSE(files_.FileExists("C:\\Windows\\system32\\tool.exe"));
    ASSERT_NE(child, 0);
    EXPECT_EQ(processes.ImagePath(static_cast<ProcessId>(child)),
              "C:\\Windows\\SysWOW64\\tool.exe");
    EXPECT_FALSE(Processes::IsWow64(static_cast<ProcessId>(child)));
    // A native caller's "system32" has no such program.
    ProcessId native = 0;
    EXPECT_EQ(processes.Create("C:\\Windows\\system32\\tool.exe", &native), kErrorFileNotFound);
}

TEST_F(Wow64Test, FilesInUseOrReadOnlyCannotBeWrittenOrDeleted) {
    const std::string running = "C:\\Windows\\system32\\running.exe";
    const std::string locked = "C:\\Windows\\system32\\locked.dll";
    ASSERT_EQ(files_.WriteFile(running, Bytes("MZ")), kErrorSuccess);
    ASSERT_EQ(files_.WriteFile(locked, Bytes("MZ")), kErrorSuccess);
    files_.AcquireInUse(running);
    files_.SetReadOnly(locked, true);
    EXPECT_TRUE(files_.IsInUse(running));
    EXPECT_TRUE(files_.IsReadOnly(locked));
    EXPECT_EQ(files_.WriteFile(running, Bytes("new")), kErrorSharingViolation);
    EXPECT_EQ(files_.DeleteFile(running), kErrorAccessDenied);
    EXPECT_EQ(files_.WriteFile(locked, Bytes("new")), kErrorAccessDenied);
    EXPECT_EQ(files_.DeleteFile(locked), kErrorAccessDenied);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(files_.ReadFile(locked, &bytes), kErrorSuccess);
    EXPECT_EQ(bytes, Bytes("MZ"));

    files_.ReleaseInUse(running);
    files_.SetReadOnly(locked, false);
    EXPECT_EQ(files_.WriteFile(running, Bytes("new")), kErrorSuccess);
    EXPECT_EQ(files_.DeleteFile(locked), kErrorSuccess);
}

TEST(RegistryViewTest, Only32BitSoftwareKeysMoveBelowWow6432Node) {
    const std::pair<const char*, const char*> cases[] = {
        {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
         "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run"},
        {"software\\Ampfx", "software\\Wow6432Node\\Ampfx"},
        {"SOFTWARE", "SOFTWARE\\Wow6432Node"},
        {"SOFTWARE\\Wow6432Node\\X", "SOFTWARE\\Wow6432Node\\X"},
        {"SYSTEM\\CurrentControlSet\\Services\\Ampfx",
         "SYSTEM\\CurrentControlSet\\Services\\Ampfx"},
        {"SOFTWAREX\\Y", "SOFTWAREX\\Y"},
    };
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(Wow64LocalMachinePath(path), expected) << path;
}

TEST_F(Wow64Test, AShellLinkKeepsItsTargetAndOtherFilesAreNoLinks) {
    const std::string link = "C:\\Windows\\Panel.lnk";
    ASSERT_EQ(SaveShellLink(files_, link, ShellLink{"C:\\Windows\\system32\\p.exe", "-x"}),
              kErrorSuccess);
    ShellLink read;
    ASSERT_TRUE(ReadShellLink(files_, link, &read));
    EXPECT_EQ(read.target, "C:\\Windows\\system32\\p.exe");
    EXPECT_EQ(read.arguments, "-x");

    EXPECT_EQ(SaveShellLink(files_, "C:\\Missing\\a.lnk", ShellLink{"x", ""}), kErrorPathNotFound);
    ASSERT_EQ(files_.WriteFile("C:\\Windows\\other.lnk", Bytes("[ShellLink]\r\nTarget=x")),
              kErrorSuccess);
    EXPECT_FALSE(ReadShellLink(files_, "C:\\Windows\\other.lnk", &read));
    EXPECT_FALSE(ReadShellLink(files_, "C:\\Windows\\none.lnk", &read));
}

TEST(SystemShutdownTest, OnlyAProcessThatEnabledThePrivilegeMayReboot) {
    SystemShutdown shutdown;
    EXPECT_EQ(shutdown.ExitWindowsEx(8, EWX_REBOOT), ERROR_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(shutdown.EnablePrivilege(8, "SeDebugNothing"), ERROR_NO_SUCH_PRIVILEGE);
    EXPECT_EQ(shutdown.EnablePrivilege(8, kShutdownPrivilegeName), kErrorSuccess);
    EXPECT_EQ(shutdown.ExitWindowsEx(8, EWX_REBOOT), kErrorSuccess);
    EXPECT_EQ(shutdown.ExitWindowsEx(12, EWX_REBOOT), ERROR_PRIVILEGE_NOT_HELD);
    const std::vector<SystemShutdown::Request> requests = shutdown.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_FALSE(requests[0].granted);
    EXPECT_TRUE(requests[1].granted);
    EXPECT_EQ(requests[1].process, 8u);
    EXPECT_FALSE(requests[2].granted);
}

}  // namespace
}  // namespace host::user::testing
