// In-memory stand-ins for the installer's ports that behave like Windows: a written file can
// be read back, a file in use refuses to open for writing until its program exits, a folder
// with files refuses RemoveDirectory, a stopped service refuses the stop. Everything done is
// written to one journal in order, so that tests can check the sequence of steps, and each
// stand-in can be told to fail where Windows can fail.
#pragma once

#include <stdint.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ports.h"
#include "procedures.h"
#include "wizard.h"

namespace qexinstall {

// Ordered record of observable actions ("sleep 1000", "progress 30", "write C:\...").
struct Journal {
    std::vector<std::string> lines;
    void Add(const std::string& line) { lines.push_back(line); }
    // Index of the first line equal to `line` at or after `from`; -1 when none.
    int Find(const std::string& line, int from = 0) const;
    bool Has(const std::string& line) const { return Find(line) >= 0; }
    // The progress percentages reported, in order.
    std::vector<uint32_t> Progress() const;
};

std::string Lower(std::string text);

struct MemoryValue {
    RegistryType type = RegistryType::Sz;
    StringWidth width = StringWidth::Wide;
    std::string text;
    uint32_t dword = 0;
};

struct MemoryKey {
    std::string keyClass;
    std::map<std::string, MemoryValue> values;  // by lower-case name
};

class MemoryRegistry : public Registry {
  public:
    explicit MemoryRegistry(Journal& journal) : journal_(journal) {}
    WinError CreateKey(const std::string& path, const std::string& keyClass, uint32_t access,
                       std::unique_ptr<RegistryKey>* key) override;
    WinError OpenKey(const std::string& path, uint32_t access,
                     std::unique_ptr<RegistryKey>* key) override;
    WinError DeleteKey(const std::string& path) override;

    bool HasKey(const std::string& path) const { return keys.count(Lower(path)) != 0; }
    const MemoryValue* Value(const std::string& path, const std::string& name) const;
    void AddKey(const std::string& path) { keys[Lower(path)]; }

    std::map<std::string, MemoryKey> keys;         // by lower-case path
    std::map<std::string, WinError> createErrors;  // by lower-case path
    std::map<std::string, WinError> openErrors;    // by lower-case path

  private:
    Journal& journal_;
};

struct MemoryFile {
    std::vector<uint8_t> data;
};

class MemoryFileSystem : public FileSystem {
  public:
    explicit MemoryFileSystem(Journal& journal) : journal_(journal) {}
    WinError SystemDirectory(std::string* path) override;
    WinError CurrentDirectory(std::string* path) override;
    WinError CreateForWriting(const std::string& path, std::unique_ptr<OutputFile>* file) override;
    WinError MakeDirectory(const std::string& path) override;
    WinError RemoveEmptyDirectory(const std::string& path) override;
    WinError RemoveTree(const std::string& path) override;
    WinError RemoveFile(const std::string& path) override;
    WinError CopyOver(const std::string& from, const std::string& to) override;
    WinError FindFiles(const std::string& pattern, std::vector<std::string>* names) override;
    WinError WriteIniString(const std::string& section, const std::string& key,
                            const std::string& value, const std::string& file) override;
    WinError FlushProfileCache(const std::string& file) override;

    // Paths are kept as written, compared case-insensitively; folders are implied by nothing:
    // a file can be written only into a folder that exists.
    void AddDirectory(const std::string& path);
    void AddFile(const std::string& path, std::vector<uint8_t> data);
    bool HasFile(const std::string& path) const;
    bool HasDirectory(const std::string& path) const;
    const std::vector<uint8_t>* Data(const std::string& path) const;
    // The value of an ini key, "" when absent.
    std::string Profile(const std::string& file, const std::string& section,
                        const std::string& key) const;
    // Where the file of `path` really lands: with WOW64 file-system redirection on, the
    // system directory is "C:\Windows\SysWOW64" for a 32-bit program.
    std::string Redirect(const std::string& path) const;

    std::string systemDirectory = "C:\\Windows\\system32";
    WinError systemDirectoryError = 0;
    std::string currentDirectory = "D:\\Setup";
    std::set<std::string> inUse;     // lower-case paths of files a running program holds
    std::set<std::string> readOnly;  // lower-case paths
    std::map<std::string, uint32_t> shortWrites;  // lower-case path -> bytes that fit
    // WOW64: when set, writes under the system directory of a 32-bit program go to
    // SysWOW64 unless `redirectionOff`.
    bool redirect32 = false;
    bool redirectionOff = false;

    std::map<std::string, MemoryFile> filesByPath;  // lower-case path -> file
    std::map<std::string, std::string> spelling;    // lower-case path -> path as written
    std::set<std::string> directories;              // lower-case paths
    // Ini files: lower-case path -> section -> key -> value.
    std::map<std::string, std::map<std::string, std::map<std::string, std::string>>> profiles;
    // Directory order of the files found by FindFiles, per folder (lower-case): the order
    // the files were added in, as NTFS lists by name and FAT by creation.
    std::map<std::string, std::vector<std::string>> order;

  private:
    Journal& journal_;
};

class MemoryWow64 : public Wow64 {
  public:
    MemoryWow64(Journal& journal, MemoryFileSystem& files) : journal_(journal), files_(files) {}
    bool IsWow64() override { return wow64; }
    bool Is64BitProcess() override { return process64; }
    WinError DisableFsRedirection() override;
    WinError RevertFsRedirection() override;
    WinError SystemWow64Directory(std::string* path) override;

    bool wow64 = false;
    bool process64 = false;

  private:
    Journal& journal_;
    MemoryFileSystem& files_;
};

class MemoryResources : public Resources {
  public:
    WinError Find(const std::string& type, uint16_t id) override;
    WinError Load(const std::string& type, uint16_t id, Payload* payload) override;

    // A payload whose bytes name it ("SERVICE/140"), so a test can tell which was written.
    void AddNamed(const std::string& type, uint16_t id);
    // Every payload of the installer.
    void AddAll();
    static std::vector<uint8_t> NamedBytes(const std::string& type, uint16_t id);

    std::map<std::pair<std::string, uint16_t>, std::vector<uint8_t>> payloads;
    std::set<std::pair<std::string, uint16_t>> loadFails;
};

class MemoryShell : public Shell {
  public:
    MemoryShell(Journal& journal, MemoryFileSystem& files) : journal_(journal), files_(files) {}
    WinError CommonProgramsFolder(std::string* path) override;
    WinError CommonAppDataFolder(bool create, std::string* path) override;
    WinError SaveShellLink(const std::string& target, const std::string& linkPath) override;
    WinError QuerySkinName(const std::string& libraryPath, std::string* name) override;

    std::string programs = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";
    std::string appData = "C:\\ProgramData";
    WinError appDataError = 0;
    // Skin libraries by lower-case path: the name GetResourceName returns. A library not
    // listed lacks the export.
    std::map<std::string, std::string> skinNames;
    std::map<std::string, std::string> linkTargets;  // lower-case link path -> target

  private:
    Journal& journal_;
    MemoryFileSystem& files_;
};

class MemoryServices : public ServiceManager {
  public:
    explicit MemoryServices(Journal& journal) : journal_(journal) {}
    WinError Open(uint32_t access, std::unique_ptr<ServiceDatabase>* database) override;

    bool installed = false;  // Dovrel known to the service control manager
    uint32_t state = kServiceStopped;
    // How many polls a start or stop stays pending; -1 never settles.
    int settleAfterPolls = 1;
    int pendingPolls = 0;
    std::vector<uint32_t> controls;  // control codes the running service received

  private:
    Journal& journal_;
};

class MemoryProcesses : public Processes {
  public:
    MemoryProcesses(Journal& journal, MemoryServices& services)
        : journal_(journal), services_(services) {}
    WinError Start(const std::string& commandLine, bool inheritHandles, uint32_t priorityClass,
                   std::unique_ptr<Process>* process) override;

    WinError startError = 0;
    bool hangs = false;  // the program never ends
    std::vector<std::string> commandLines;
    std::vector<uint32_t> priorities;

  private:
    Journal& journal_;
    MemoryServices& services_;
};

class MemoryWindows : public Windows {
  public:
    MemoryWindows(Journal& journal, MemoryFileSystem& files) : journal_(journal), files_(files) {}
    WindowHandle FindTopLevel(const std::string& title) override;
    uint32_t RegisterMessage(const std::string& name) override;
    void Send(WindowHandle window, uint32_t message, uint64_t wParam, int64_t lParam) override;
    void Broadcast(uint32_t message, uint64_t wParam, int64_t lParam) override;

    // A running panel: its window, and its program file held open while it runs. It exits
    // on the exit message unless `panelIgnoresExit`.
    void StartPanel(const std::string& programPath);
    bool panelRunning = false;
    bool panelIgnoresExit = false;
    std::string panelProgram;

  private:
    std::string MessageName(uint32_t message) const;
    Journal& journal_;
    MemoryFileSystem& files_;
    std::vector<std::string> registered_;
};

class MemoryMessageBoxes : public MessageBoxes {
  public:
    explicit MemoryMessageBoxes(Journal& journal) : journal_(journal) {}
    BoxAnswer Show(WindowHandle owner, const std::string& text, const std::string& caption,
                   BoxIcon icon, BoxButtons buttons) override;

    struct Shown {
        WindowHandle owner;
        std::string text;
        std::string caption;
        BoxIcon icon;
    };
    std::vector<Shown> shown;
    BoxAnswer answer = BoxAnswer::Yes;

  private:
    Journal& journal_;
};

class MemoryClock : public Clock {
  public:
    explicit MemoryClock(Journal& journal) : journal_(journal) {}
    void Sleep(uint32_t milliseconds) override;
    void Beep(uint32_t frequencyHz, uint32_t milliseconds) override;

  private:
    Journal& journal_;
};

class MemoryProgress : public ProgressSink {
  public:
    explicit MemoryProgress(Journal& journal) : journal_(journal) {}
    void Report(uint32_t percent) override;

  private:
    Journal& journal_;
};

// A whole machine of stand-ins, wired as the procedures take them.
struct MemoryMachine {
    MemoryMachine();

    // A 64-bit system; `installer64` for the x86_64 build, else the 32-bit one under WOW64.
    void Make64Bit(bool installer64);

    Journal journal;
    MemoryRegistry registry{journal};
    MemoryFileSystem files{journal};
    MemoryWow64 wow64{journal, files};
    MemoryResources resources;
    MemoryShell shell{journal, files};
    MemoryServices services{journal};
    MemoryProcesses processes{journal, services};
    MemoryWindows windows{journal, files};
    MemoryMessageBoxes messageBoxes{journal};
    MemoryClock clock{journal};
    MemoryProgress progress{journal};
    InstallPorts ports;
};

// The wizard window as a test sees it: which pages exist and show, the buttons, the system
// menu's Close item, the progress page's texts. The worker runs when the test says so.
class MemoryWizardWindow : public WizardWindow {
  public:
    explicit MemoryWizardWindow(Journal& journal) : journal_(journal) {}
    WindowHandle Handle() override { return 0x102; }
    void SetCaption(const std::string& text) override { caption = text; }
    void CreatePage(PageKind kind) override { created.push_back(kind); }
    void ShowPage(PageKind kind, bool visible) override;
    void DestroyPage(PageKind kind) override { destroyed.push_back(kind); }
    void EnableButtons(uint32_t mask) override { buttons = mask; }
    void EnableCloseItem(bool enabled) override { closeItem = enabled; }
    // The string table as the resource script has it.
    void SetProgressText(uint16_t id) override {
        progressText = id == kStrUninstalling ? kUninstallingText : "string " + std::to_string(id);
    }
    void SetProgressBar(uint32_t percent) override { progressBar = percent; }
    bool ConfirmExit() override;
    void Close() override { closed = true; }
    void StartWorker(std::function<void()> body) override;
    void SendProgress(uint32_t percent) override;
    void SendWorkerDone() override;

    // Runs the worker started last, to its end, as its thread would.
    void RunWorker();

    CQEXAudioControlInstallDlg* wizard = nullptr;
    std::string caption;
    std::vector<PageKind> created;
    std::vector<PageKind> destroyed;
    std::set<PageKind> visible;
    uint32_t buttons = 0;
    bool closeItem = true;
    std::string progressText = kInstallingText;
    uint32_t progressBar = 0;
    bool confirmAnswer = true;
    int confirmations = 0;
    bool closed = false;
    int workersStarted = 0;
    std::function<void()> worker;

  private:
    Journal& journal_;
};

class MemoryShutdown : public Shutdown {
  public:
    explicit MemoryShutdown(Journal& journal) : journal_(journal) {}
    WinError EnablePrivilege(const std::string& name) override;
    WinError Reboot() override;

    WinError privilegeError = 0;
    bool rebootRequested = false;

  private:
    Journal& journal_;
};

}  // namespace qexinstall
