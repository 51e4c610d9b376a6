// The session's process side (token, shell starts, version, paths), named mutexes across
// processes, plain files, the directory search and profile strings.
#include <atomic>
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "host/file_system.h"
#include "host/processes.h"
#include "host/text.h"
#include "host/win32_error.h"
#include "session_fixture.h"

namespace host::user::testing {
namespace {

constexpr const char* kPanel = "C:\\Windows\\system32\\QX_AudioControl.exe";

class SystemTest : public SessionTest {
  protected:
    Files& files() { return session_->files(); }
    Shell& shell() { return session_->shell(); }
    Processes& processes() { return system_->processes(); }

    void Install(const std::string& path) {
        ASSERT_EQ(system_->files().WriteFile(path, {'M', 'Z'}), kErrorSuccess);
    }

    void Write(const std::string& path, const std::string& text) {
        ASSERT_EQ(system_->files().WriteFile(path, std::vector<uint8_t>(text.begin(), text.end())),
                  kErrorSuccess);
    }

    std::string Read(const std::string& path) {
        std::vector<uint8_t> bytes;
        system_->files().ReadFile(path, &bytes);
        return std::string(bytes.begin(), bytes.end());
    }

    // A program that reports what it saw at start and then ends.
    struct Seen {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> arguments;
        std::vector<bool> elevated;
        std::vector<uint32_t> mutexErrors;
        std::vector<std::u16string> modulePaths;
    };
};

TEST_F(SystemTest, TheVersionAProgramWithoutACompatibilitySectionIsTold) {
    struct Case {
        uint32_t major, minor;
        uint32_t seenMajor, seenMinor, build;
    };
    const Case cases[] = {
        {5, 1, 5, 1, 2600}, {6, 0, 6, 0, 6002},  {6, 1, 6, 1, 7601},
        {6, 3, 6, 2, 9200}, {10, 0, 6, 2, 9200},
    };
    for (const Case& c : cases) {
        OsVersionInfo info;
        info.size = kOsVersionInfoExSize;
        ASSERT_TRUE(GetVersionExFor(OsVersionFor(c.major, c.minor), &info));
        EXPECT_EQ(info.major, c.seenMajor) << c.major << "." << c.minor;
        EXPECT_EQ(info.minor, c.seenMinor) << c.major << "." << c.minor;
        EXPECT_EQ(info.build, c.build) << c.major << "." << c.minor;
        EXPECT_EQ(info.platformId, 2u);
    }
    for (uint32_t size : {0u, 148u, 156u, 280u}) {
        OsVersionInfo info;
        info.size = size;
        SetLastError(0);
        EXPECT_FALSE(shell().GetVersionEx(&info)) << size;
        EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
    }
}

TEST_F(SystemTest, RunasStartsTheProgramAgainElevatedWithItsParameters) {
    Install(kPanel);
    Seen seen;
    processes().RegisterProgram("QX_AudioControl.exe", [&](const std::string& arguments) {
        bool elevated = false;
        shell().GetTokenElevation(&elevated);
        std::u16string module;
        shell().GetModuleFileName(260, &module);
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.arguments.push_back(arguments);
        seen.elevated.push_back(elevated);
        seen.modulePaths.push_back(module);
        return 0;
    });
    // The first start, as the logon starts it: not elevated.
    ProcessId first = 0;
    ASSERT_EQ(processes().Create(std::string(kPanel) + " -QEXNOUI", &first), kErrorSuccess);
    ASSERT_EQ(processes().Wait(first, 5000), kErrorSuccess);
    // The test thread is the simulator's own, and elevated: the panel is not.
    SetLastError(0);
    ShellExecuteInfo info;
    info.mask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.verb = u"runas";
    info.file = Utf8ToUtf16(kPanel);
    info.parameters = u"-QEXNOUI -QEXUAC";
    ASSERT_TRUE(shell().ShellExecuteEx(&info));
    EXPECT_GT(info.instApp, 32u);
    ASSERT_NE(info.process, 0u);
    ASSERT_EQ(processes().Wait(info.process, 5000), kErrorSuccess);
    ASSERT_EQ(seen.arguments.size(), 2u);
    EXPECT_EQ(seen.arguments[0], "-QEXNOUI");
    EXPECT_FALSE(seen.elevated[0]);
    EXPECT_EQ(seen.arguments[1], "-QEXNOUI -QEXUAC");
    EXPECT_TRUE(seen.elevated[1]);
    EXPECT_EQ(seen.modulePaths[1], Utf8ToUtf16(kPanel));
    // The simulator itself started "runas" elevated already, so no prompt was shown.
    EXPECT_TRUE(shell().ElevationPrompts().empty());
}

TEST_F(SystemTest, AnUnelevatedCallerIsAskedAndMayBeRefused) {
    Install(kPanel);
    std::atomic<int> starts{0};
    Seen seen;
    processes().RegisterProgram("QX_AudioControl.exe", [&](const std::string& arguments) {
        ++starts;
        if (arguments != "ask") {
            return 0;
        }
        ShellExecuteInfo info;
        info.verb = u"runas";
        info.file = Utf8ToUtf16(kPanel);
        info.parameters = u" -QEXUAC";
        const bool started = shell().ShellExecuteEx(&info);
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.mutexErrors.push_back(started ? 0 : GetLastError());
        return 0;
    });
    shell().QueueElevationAnswer(false);
    ProcessId id = 0;
    ASSERT_EQ(processes().Create("QX_AudioControl.exe ask", &id), kErrorSuccess);
    ASSERT_EQ(processes().Wait(id, 5000), kErrorSuccess);
    EXPECT_EQ(starts, 1);
    ASSERT_EQ(seen.mutexErrors.size(), 1u);
    EXPECT_EQ(seen.mutexErrors[0], ERROR_CANCELLED);
    ASSERT_EQ(shell().ElevationPrompts().size(), 1u);
    EXPECT_FALSE(shell().ElevationPrompts()[0].allowed);
    // Allowed by default the next time.
    ASSERT_EQ(processes().Create("QX_AudioControl.exe ask", &id), kErrorSuccess);
    ASSERT_EQ(processes().Wait(id, 5000), kErrorSuccess);
    for (ProcessId running : processes().RunningProcesses()) {
        processes().Wait(running, 5000);
    }
    EXPECT_EQ(starts, 3);
}

TEST_F(SystemTest, ShellStartsThatCannotHappenFailAsWindowsFails) {
    struct Case {
        const char16_t* verb;
        const char16_t* file;
        uint32_t error;
        uint64_t instApp;
    };
    const Case cases[] = {
        {u"runas", u"C:\\Windows\\system32\\missing.exe", kErrorFileNotFound, SE_ERR_FNF},
        {u"open", u"C:\\NoSuchFolder\\x.exe", kErrorPathNotFound, SE_ERR_PNF},
        {u"print", u"C:\\Windows\\system32\\missing.exe", ERROR_NO_ASSOCIATION, SE_ERR_NOASSOC},
        {u"", u"", kErrorFileNotFound, SE_ERR_FNF},
    };
    for (const Case& c : cases) {
        ShellExecuteInfo info;
        info.verb = c.verb;
        info.file = c.file;
        SetLastError(0);
        EXPECT_FALSE(shell().ShellExecuteEx(&info)) << Utf16ToUtf8(c.file);
        EXPECT_EQ(GetLastError(), c.error) << Utf16ToUtf8(c.file);
        EXPECT_EQ(info.instApp, c.instApp) << Utf16ToUtf8(c.file);
    }
}

TEST_F(SystemTest, TheSecondMutexOfANameSaysItAlreadyExistedUntilTheFirstProcessEnds) {
    Install(kPanel);
    Seen seen;
    std::mutex gate;
    std::condition_variable opened;
    bool release = false;
    int holding = 0;
    processes().RegisterProgram("QX_AudioControl.exe", [&](const std::string& arguments) {
        const Handle mutex = session_->objects().CreateMutex(false, u"QEX4410 AUDIO MANAGE");
        const uint32_t error = GetLastError();
        {
            std::lock_guard<std::mutex> lock(seen.mutex);
            seen.mutexErrors.push_back(mutex != 0 ? error : 0xFFFFFFFFu);
        }
        if (arguments == "hold") {
            std::unique_lock<std::mutex> lock(gate);
            ++holding;
            opened.notify_all();
            opened.wait(lock, [&] { return release; });
        }
        return 0;  // the handle stays open until the process ends
    });
    ProcessId first = 0;
    ASSERT_EQ(processes().Create(kPanel + std::string(" hold"), &first), kErrorSuccess);
    {
        std::unique_lock<std::mutex> lock(gate);
        opened.wait(lock, [&] { return holding == 1; });
    }
    ProcessId second = 0;
    ASSERT_EQ(processes().Create(kPanel, &second), kErrorSuccess);
    ASSERT_EQ(processes().Wait(second, 5000), kErrorSuccess);
    {
        std::lock_guard<std::mutex> lock(gate);
        release = true;
        opened.notify_all();
    }
    ASSERT_EQ(processes().Wait(first, 5000), kErrorSuccess);
    EXPECT_FALSE(session_->objects().Exists(u"QEX4410 AUDIO MANAGE"));
    ProcessId third = 0;
    ASSERT_EQ(processes().Create(kPanel, &third), kErrorSuccess);
    ASSERT_EQ(processes().Wait(third, 5000), kErrorSuccess);
    EXPECT_EQ(seen.mutexErrors,
              (std::vector<uint32_t>{kErrorSuccess, kErrorAlreadyExists, kErrorSuccess}));
}

TEST_F(SystemTest, MutexNamesAndHandlesFollowTheObjectManager) {
    NamedObjects& objects = session_->objects();
    const Handle a = objects.CreateMutex(true, u"Name");
    ASSERT_NE(a, 0u);
    EXPECT_EQ(GetLastError(), kErrorSuccess);
    // Names are case-sensitive here; "Local\" is the session's own namespace.
    EXPECT_NE(objects.CreateMutex(false, u"name"), 0u);
    EXPECT_EQ(GetLastError(), kErrorSuccess);
    const Handle local = objects.CreateMutex(false, u"Local\\Name");
    EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
    EXPECT_EQ(objects.HandleCount(u"Name"), 2u);
    EXPECT_EQ(objects.OpenMutex(u"Missing"), 0u);
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    EXPECT_TRUE(objects.ReleaseMutex(a));
    EXPECT_FALSE(objects.ReleaseMutex(a));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    EXPECT_TRUE(objects.CloseHandle(local));
    EXPECT_FALSE(objects.CloseHandle(local));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_TRUE(objects.CloseHandle(a));
    EXPECT_FALSE(objects.Exists(u"Name"));
}

TEST_F(SystemTest, PathsFollowTheBufferRulesOfTheWFunctions) {
    std::u16string out;
    const std::u16string temp = shell().TempPath();
    EXPECT_EQ(temp, u"C:\\Users\\User\\AppData\\Local\\Temp\\");
    EXPECT_TRUE(system_->files().DirectoryExists(Utf16ToUtf8(temp)));
    EXPECT_EQ(shell().GetTempPath(260, &out), temp.size());
    EXPECT_EQ(out, temp);
    EXPECT_EQ(shell().GetTempPath(static_cast<uint32_t>(temp.size()), &out), temp.size() + 1);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(shell().GetSystemDirectory(260, &out), 19u);
    EXPECT_EQ(out, u"C:\\Windows\\system32");
    // Outside a process there is no module.
    EXPECT_EQ(shell().GetModuleFileName(260, &out), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

    Install(kPanel);
    std::vector<std::pair<uint32_t, std::u16string>> results;
    std::vector<uint32_t> errors;
    processes().RegisterProgram("QX_AudioControl.exe", [&](const std::string&) {
        for (uint32_t size : {260u, 40u, 39u, 10u}) {
            std::u16string path;
            SetLastError(0);
            const uint32_t length = shell().GetModuleFileName(size, &path);
            results.emplace_back(length, path);
            errors.push_back(GetLastError());
        }
        return 0;
    });
    ProcessId id = 0;
    ASSERT_EQ(processes().Create(kPanel, &id), kErrorSuccess);
    ASSERT_EQ(processes().Wait(id, 5000), kErrorSuccess);
    const std::u16string full = Utf8ToUtf16(kPanel);  // 39 characters
    ASSERT_EQ(results.size(), 4u);
    EXPECT_EQ(results[0], std::make_pair(39u, full));
    EXPECT_EQ(results[1], std::make_pair(39u, full));
    EXPECT_EQ(results[2], std::make_pair(39u, full.substr(0, 38)));
    EXPECT_EQ(errors[2], kErrorInsufficientBuffer);
    EXPECT_EQ(results[3], std::make_pair(10u, full.substr(0, 9)));
    EXPECT_EQ(errors[0], kErrorSuccess);
}

TEST_F(SystemTest, TheTemporaryFolderOfOlderSystemsIsUnderDocumentsAndSettings) {
    UserSession::Options options;
    options.version = OsVersionFor(5, 1);
    Boot(options);
    EXPECT_EQ(shell().TempPath(), u"C:\\Documents and Settings\\User\\Local Settings\\Temp\\");
    bool elevated = false;
    EXPECT_FALSE(shell().GetTokenElevation(&elevated));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    EXPECT_TRUE(shell().IsProcessElevated(1234));  // an administrator without user account control
}

TEST_F(SystemTest, PlainFilesAreCreatedWrittenAndReadThroughHandles) {
    const std::u16string path = u"C:\\Windows\\Temp.wav";
    const Handle file = files().CreateFile(path, kGenericWrite, CREATE_ALWAYS);
    ASSERT_NE(file, kInvalidHandle);
    uint32_t written = 0;
    ASSERT_TRUE(files().WriteFile(file, "RIFF", 4, &written));
    ASSERT_TRUE(files().WriteFile(file, "WAVE", 4, &written));
    EXPECT_EQ(written, 4u);
    char buffer[8];
    uint32_t read = 0;
    EXPECT_FALSE(files().ReadFile(file, buffer, 8, &read));
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    ASSERT_TRUE(files().CloseHandle(file));
    EXPECT_FALSE(files().CloseHandle(file));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_EQ(Read("C:\\Windows\\Temp.wav"), "RIFFWAVE");
    // CREATE_ALWAYS on an existing file truncates it and says it existed.
    const Handle again = files().CreateFile(path, kGenericRead | kGenericWrite, CREATE_ALWAYS);
    EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
    EXPECT_TRUE(files().ReadFile(again, buffer, 8, &read));
    EXPECT_EQ(read, 0u);
    files().CloseHandle(again);
    struct Case {
        const char16_t* path;
        uint32_t creation;
        uint32_t error;
    };
    const Case failures[] = {
        {u"C:\\Windows\\Temp.wav", CREATE_NEW, ERROR_FILE_EXISTS},
        {u"C:\\Windows\\Missing.wav", OPEN_EXISTING, kErrorFileNotFound},
        {u"C:\\NoFolder\\Missing.wav", CREATE_ALWAYS, kErrorPathNotFound},
        {u"C:\\Windows", CREATE_ALWAYS, kErrorAccessDenied},
        {u"relative.wav", CREATE_ALWAYS, kErrorPathNotFound},
    };
    for (const Case& c : failures) {
        SetLastError(0);
        EXPECT_EQ(files().CreateFile(c.path, kGenericWrite, c.creation), kInvalidHandle)
            << Utf16ToUtf8(c.path);
        EXPECT_EQ(GetLastError(), c.error) << Utf16ToUtf8(c.path);
    }
}

TEST_F(SystemTest, TheDirectorySearchListsMatchesInNtfsOrder) {
    ASSERT_EQ(system_->files().CreateDirectory("C:\\Windows\\system32\\QX_AudioControlRec"),
              kErrorSuccess);
    const std::string folder = "C:\\Windows\\system32\\QX_AudioControlRec\\";
    for (const char* name : {"tchinese.dll", "English.dll", "SChinese.DLL", "ResourceInfo.ini",
                             "_notes.txt", "b.dllx"}) {
        Write(folder + name, "x");
    }
    auto list = [&](const std::u16string& pattern) {
        std::vector<std::string> names;
        FindData data;
        const Handle find = files().FindFirstFile(pattern, &data);
        if (find == kInvalidHandle) {
            return names;
        }
        do {
            names.push_back(Utf16ToUtf8(data.fileName));
        } while (files().FindNextFile(find, &data));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
        EXPECT_TRUE(files().FindClose(find));
        return names;
    };
    const std::u16string base = Utf8ToUtf16(folder);
    EXPECT_EQ(list(base + u"*.dll"),
              (std::vector<std::string>{"English.dll", "SChinese.DLL", "tchinese.dll"}));
    EXPECT_EQ(list(base + u"*.*"),
              (std::vector<std::string>{".", "..", "b.dllx", "English.dll", "ResourceInfo.ini",
                                        "SChinese.DLL", "tchinese.dll", "_notes.txt"}));
    EXPECT_EQ(list(base + u"?chinese.dll"),
              (std::vector<std::string>{"SChinese.DLL", "tchinese.dll"}));
    FindData data;
    SetLastError(0);
    EXPECT_EQ(files().FindFirstFile(base + u"*.exe", &data), kInvalidHandle);
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    EXPECT_EQ(files().FindFirstFile(u"C:\\Missing\\*.dll", &data), kInvalidHandle);
    EXPECT_EQ(GetLastError(), kErrorPathNotFound);
    EXPECT_FALSE(files().FindNextFile(0x1234, &data));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST_F(SystemTest, ProfileStringsAreReadWithWindowsRules) {
    const std::string ini = "C:\\Windows\\system32\\ResourceInfo.ini";
    Write(ini,
          "; written by hand\r\n"
          "  [ DEFAULT ]\r\n"
          "Skin Path = C:\\Windows\\system32\\QX_AudioControlRec\\English.dll  \r\n"
          "Quoted=\"  padded  \"\r\n"
          "Empty=\r\n"
          "[Other]\n"
          "Skin Path=other\n");
    const std::u16string file = Utf8ToUtf16(ini);
    const std::u16string defaultSection = u"default";
    const std::u16string skinPath = u"skin path";
    struct Case {
        std::optional<std::u16string> section;
        std::optional<std::u16string> key;
        std::u16string fallback;
        uint32_t size;
        std::u16string value;
        uint32_t count;
    };
    const std::u16string english = u"C:\\Windows\\system32\\QX_AudioControlRec\\English.dll";
    const Case cases[] = {
        {defaultSection, skinPath, u"", 260, english, 50},
        {defaultSection, skinPath, u"", 10, english.substr(0, 9), 9},
        {defaultSection, std::u16string(u"Quoted"), u"", 260, u"  padded  ", 10},
        {defaultSection, std::u16string(u"Empty"), u"dflt", 260, u"", 0},
        {defaultSection, std::u16string(u"Missing"), u"dflt   ", 260, u"dflt", 4},
        {std::u16string(u"OTHER"), skinPath, u"", 260, u"other", 5},
        {std::u16string(u"Nowhere"), skinPath, u"", 260, u"", 0},
        {std::nullopt, std::nullopt, u"", 260, std::u16string(u"DEFAULT\0Other\0", 14), 14},
        {std::nullopt, std::nullopt, u"", 10, std::u16string(u"DEFAULT\0", 8), 8},
        {std::nullopt, std::nullopt, u"", 12, std::u16string(u"DEFAULT\0Ot", 10), 10},
        {defaultSection, std::nullopt, u"", 260, std::u16string(u"Skin Path\0Quoted\0Empty\0", 23),
         23},
    };
    for (const Case& c : cases) {
        std::u16string out;
        const uint32_t count = files().GetPrivateProfileString(c.section ? &*c.section : nullptr,
                                                               c.key ? &*c.key : nullptr,
                                                               c.fallback, c.size, &out, file);
        const std::string label = Utf16ToUtf8(c.section.value_or(u"(null)")) + "/" +
                                  Utf16ToUtf8(c.key.value_or(u"(null)")) + "/" +
                                  std::to_string(c.size);
        EXPECT_EQ(count, c.count) << label;
        EXPECT_EQ(out, c.value) << label;
    }
    std::u16string out;
    SetLastError(0);
    EXPECT_EQ(files().GetPrivateProfileString(&defaultSection, &skinPath, u"none", 260, &out,
                                              u"C:\\Windows\\Missing.ini"),
              4u);
    EXPECT_EQ(out, u"none");
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(SystemTest, ProfileStringsAreWrittenInPlace) {
    const std::string ini = "C:\\Windows\\system32\\ResourceInfo.ini";
    const std::u16string file = Utf8ToUtf16(ini);
    const std::u16string section = u"DEFAULT";
    const std::u16string key = u"Skin Path";
    const std::u16string english = u"C:\\skins\\English.dll";
    const std::u16string chinese = u"C:\\skins\\SChinese.dll";
    ASSERT_TRUE(files().WritePrivateProfileString(&section, &key, &english, file));
    EXPECT_EQ(Read(ini), "[DEFAULT]\r\nSkin Path=C:\\skins\\English.dll\r\n");
    const std::u16string other = u"Other";
    const std::u16string one = u"1";
    ASSERT_TRUE(files().WritePrivateProfileString(&other, &one, &one, file));
    // A key in another case replaces the value; the key keeps its spelling.
    const std::u16string lower = u"skin path";
    ASSERT_TRUE(files().WritePrivateProfileString(&section, &lower, &chinese, file));
    const std::u16string added = u"Added";
    ASSERT_TRUE(files().WritePrivateProfileString(&section, &added, &one, file));
    EXPECT_EQ(Read(ini),
              "[DEFAULT]\r\nSkin Path=C:\\skins\\SChinese.dll\r\nAdded=1\r\n[Other]\r\n1=1\r\n");
    ASSERT_TRUE(files().WritePrivateProfileString(&section, &added, nullptr, file));
    ASSERT_TRUE(files().WritePrivateProfileString(&other, nullptr, nullptr, file));
    EXPECT_EQ(Read(ini), "[DEFAULT]\r\nSkin Path=C:\\skins\\SChinese.dll\r\n");
    SetLastError(0);
    EXPECT_FALSE(files().WritePrivateProfileString(&section, &key, &english,
                                                   u"C:\\Missing\\ResourceInfo.ini"));
    EXPECT_EQ(GetLastError(), kErrorPathNotFound);
    // A bare name lies in the Windows folder.
    ASSERT_TRUE(files().WritePrivateProfileString(&section, &key, &english, u"win.ini"));
    EXPECT_TRUE(system_->files().FileExists("C:\\Windows\\win.ini"));
}

}  // namespace
}  // namespace host::user::testing
