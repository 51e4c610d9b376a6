// A machine before installation, and the installer and uninstaller run on it as a user runs
// them: the wizard's pages clicked through, its progress and message boxes printed; the
// files a folder holds.
// The user session's headers come before the kernel's, whose macros would rename their
// constants.
#include "host/desktop.h"
#include "host/user_session.h"
// clang-format off
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "dovrel_host.h"
#include "host/file_system.h"
#include "host/processes.h"
#include "host/registry.h"
#include "host/registry_view.h"
#include "host/shell_extras.h"
#include "host/text.h"
#include "host/user_system.h"
#include "installer_host.h"
#include "names.h"
#include "panel_program_host.h"
#include "scenario_context.h"
// clang-format on

namespace {

namespace fs = std::filesystem;
namespace user = host::user;
using installerhost::WizardView;
using qexinstall::PageKind;

constexpr char kSetupFolder[] = "C:\\Setup";
constexpr uint32_t kBnClicked = 0;
constexpr uint32_t kCbnSelChange = 1;
constexpr uint32_t kWizardTimeoutMs = 120000;

std::vector<uint8_t> Image(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// The installer's resources: the host build's own files where the host runs the payload's
// code from a file (the panel's resources, the skins), simulated images where the machine
// knows the program or driver by its file name alone.
installerhost::PayloadTable Payloads() {
    using namespace qexinstall;
    const std::string skins = AMPFX_SKIN_BUILD_DIR;
    return {
        {{kTypeDriver, kResDriver32}, Image("MZ simulated image of Ampfx.sys, 32-bit build")},
        {{kTypeDriver, kResDriver64}, Image("MZ simulated image of Ampfx.sys, 64-bit build")},
        {{kTypeService, kResService32},
         Image("MZ simulated program image of Dovrel.exe, 32-bit build")},
        {{kTypeService, kResService64},
         Image("MZ simulated program image of Dovrel.exe, 64-bit build")},
        {{kTypeManifest, kResManifest}, ReadHostFile(AMPFX_INSTALLER_MANIFEST)},
        {{kTypeApp, kResPanel}, ReadHostFile(AMPFX_PANEL_RESOURCES_HOST_DLL)},
        {{kTypeSkin, kResSkinEnglish}, ReadHostFile(skins + "/en/QX_AudioControlRec.dll")},
        {{kTypeSkin, kResSkinSimplified}, ReadHostFile(skins + "/zh-hans/QX_AudioControlRec.dll")},
        {{kTypeSkin, kResSkinTraditional}, ReadHostFile(skins + "/zh-hant/QX_AudioControlRec.dll")},
        {{kTypeUninstall, kResUninstaller},
         Image("MZ simulated program image of QX_AmpfxSuiteUninstall.exe")},
    };
}

installerhost::InstallerPrograms& Installers(ScenarioContext& c) {
    c.Service();  // Dovrel.exe is a program the machine knows by name
    c.Panels();   // and so is QX_AudioControl.exe
    if (!c.installers) {
        c.installers = std::make_unique<installerhost::InstallerPrograms>(c.Session(), c.System(),
                                                                          c.Modules(), Payloads());
        c.installers->Register();
    }
    return *c.installers;
}

// --- machine bare ------------------------------------------------------------------------------

void MachineCommand(ScenarioContext& c, const Words& w) {
    Arity(w, 2, 3, "machine bare [32-bit|64-bit]");
    if (w[1] != "bare")
        Fail("usage: machine bare [32-bit|64-bit]");
    if (w.size() == 3 && w[2] != "32-bit" && w[2] != "64-bit")
        Fail("unknown machine '" + w[2] + "' (32-bit, 64-bit)");
    if (c.MachineIsUp())
        Fail("machine bare must come before the first command that uses the machine");
    c.bareMachine = true;
    c.sixtyFourBit = w.size() == 3 && w[2] == "64-bit";
    c.out << "machine=bare bits=" << (c.sixtyFourBit ? 64 : 32) << "\n";
}

// --- the wizard ---------------------------------------------------------------------------------

struct InstallerChoices {
    int language = 0;
    int operation = 0;
    bool rebootLater = false;
    std::vector<std::string> customSkins;  // library sources, in the order given
};

InstallerChoices ParseChoices(const Words& w) {
    const char* usage =
        "installer run [--language english|schinese|tchinese] [--operation repair|uninstall] "
        "[--reboot now|later] [--custom-skin DIR]...";
    InstallerChoices choices;
    for (size_t i = 2; i < w.size(); i += 2) {
        if (i + 1 >= w.size())
            Fail(std::string("usage: ") + usage);
        const std::string& option = w[i];
        const std::string& value = w[i + 1];
        if (option == "--language") {
            const char* names[] = {"english", "schinese", "tchinese"};
            const auto found = std::find(std::begin(names), std::end(names), value);
            if (found == std::end(names))
                Fail("unknown language '" + value + "' (english, schinese, tchinese)");
            choices.language = static_cast<int>(found - std::begin(names));
        } else if (option == "--operation") {
            if (value != "repair" && value != "uninstall")
                Fail("unknown operation '" + value + "' (repair, uninstall)");
            choices.operation = value == "uninstall" ? 1 : 0;
        } else if (option == "--reboot") {
            if (value != "now" && value != "later")
                Fail("unknown reboot choice '" + value + "' (now, later)");
            choices.rebootLater = value == "later";
        } else if (option == "--custom-skin") {
            choices.customSkins.push_back(value);
        } else {
            Fail(std::string("usage: ") + usage);
        }
    }
    return choices;
}

// A custom skin's source on the host: a folder (its *.dll files), "test-skin", "broken:NAME",
// a shipped skin by language, or a library file.
std::vector<std::string> SkinSources(ScenarioContext& c, const std::string& word) {
    if (word == "test-skin")
        return {AMPFX_TEST_SKIN_DLL};
    if (word.rfind("broken:", 0) == 0)
        return {std::string(AMPFX_BROKEN_SKIN_DIR) + "/" + word.substr(7) + ".dll"};
    for (const auto& [name, folder] : {std::pair<const char*, const char*>{"english", "en"},
                                       {"schinese", "zh-hans"},
                                       {"tchinese", "zh-hant"}})
        if (word == name)
            return {std::string(AMPFX_SKIN_BUILD_DIR) + "/" + folder + "/QX_AudioControlRec.dll"};
    const std::string path = c.InputPath(word);
    std::error_code error;
    if (!fs::is_directory(path, error))
        return {path};
    std::vector<std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(path, error))
        if (entry.path().extension() == ".dll")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// Prints what the wizard logged since the last look; consecutive progress positions share one
// line.
class WizardPrinter {
  public:
    explicit WizardPrinter(ScenarioContext& c) : c_(c) {}
    void Print(const WizardView& view) {
        for (; printed_ < view.log.size(); ++printed_) {
            const std::string& line = view.log[printed_];
            if (line.rfind("progress=", 0) == 0) {
                progress_ += (progress_.empty() ? "" : ",") + line.substr(9);
                continue;
            }
            EndProgress();
            c_.out << line << "\n";
        }
        // The desktop keeps every box; these were printed here.
        c_.messageBoxesPrinted = c_.Session().desktop().MessageBoxes().size();
    }
    void EndProgress() {
        if (!progress_.empty())
            c_.out << "progress=" << progress_ << "\n";
        progress_.clear();
    }

  private:
    ScenarioContext& c_;
    size_t printed_ = 0;
    std::string progress_;
};

WizardView Look(ScenarioContext& c) {
    c.Session().desktop().WaitIdle(20000);
    std::optional<WizardView> view = c.installers->Wizard();
    if (!view)
        Fail("the installer did not open its wizard");
    return *view;
}

void Click(ScenarioContext& c, const WizardView& view, int id, uint32_t needs = 0) {
    if (needs != 0 && (view.buttons & needs) == 0)
        Fail("the wizard's button " + std::to_string(id) + " is disabled");
    c.Session().desktop().PostMessage(view.hwnd, user::WM_COMMAND,
                                      static_cast<uint32_t>(id) | (kBnClicked << 16), 0);
}

PageKind Current(const WizardView& view) {
    return view.pages[static_cast<size_t>(view.page - 1)];
}

void InstallerRun(ScenarioContext& c, const Words& w) {
    if (w.size() < 2 || w[1] != "run")
        Fail("usage: installer run [options]");
    const InstallerChoices choices = ParseChoices(w);
    installerhost::InstallerPrograms& installers = Installers(c);

    // The downloaded installer, with a "Custom Skin" folder beside it when asked for.
    const std::string image = std::string(kSetupFolder) + "\\" + installerhost::kInstallerImageName;
    PutOnDrive(c, image, Image("MZ simulated program image of QEXAudioControlInstall.exe"));
    for (const std::string& word : choices.customSkins)
        for (const std::string& source : SkinSources(c, word))
            PutOnDrive(c,
                       std::string(kSetupFolder) + "\\Custom Skin\\" +
                           source.substr(source.find_last_of("/\\") + 1),
                       ReadHostFile(source));

    user::ProcessId id = 0;
    const uint32_t error =
        c.Session().shell().CreateProcess(host::Utf8ToUtf16("\"" + image + "\""), &id);
    if (error != 0)
        Fail("the installer did not start (error " + std::to_string(error) + ")");
    c.Session().desktop().WaitForInputIdle(id, 20000);

    WizardPrinter printer(c);
    WizardView view = Look(c);
    printer.Print(view);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kWizardTimeoutMs);
    while (view.open) {
        if (std::chrono::steady_clock::now() > deadline)
            Fail("the wizard did not finish");
        switch (Current(view)) {
            case PageKind::Operation:
                Click(c, view,
                      choices.operation == 1 ? qexinstall::kIdUninstall : qexinstall::kIdRepair);
                Click(c, view, qexinstall::kIdNext, qexinstall::kButtonNext);
                break;
            case PageKind::Language:
                if (choices.language != view.language) {
                    installers.SelectLanguage(choices.language);
                    c.Session().desktop().PostMessage(
                        view.hwnd, user::WM_COMMAND,
                        qexinstall::kIdLanguageList | (kCbnSelChange << 16), 0);
                }
                Click(c, view, qexinstall::kIdNext, qexinstall::kButtonNext);
                break;
            case PageKind::Progress:
                // The procedure runs on its own thread; the user waits for the last page.
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                break;
            case PageKind::Done:
                Click(c, view,
                      choices.rebootLater ? qexinstall::kIdRebootLater : qexinstall::kIdRebootNow);
                Click(c, view, qexinstall::kIdFinish, qexinstall::kButtonFinish);
                break;
        }
        view = Look(c);
        printer.Print(view);
    }
    printer.EndProgress();
    int exitCode = -1;
    if (c.System().processes().Wait(id, 20000, &exitCode) != 0)
        Fail("the installer did not end after its wizard closed");
    c.out << "installer exit=" << exitCode << "\n";
}

// Windows' list of installed programs starts the uninstall string; a 32-bit program's
// "system32" there is SysWOW64 on a 64-bit machine.
void UninstallerRun(ScenarioContext& c, const Words& w) {
    Arity(w, 2, 2, "uninstaller run");
    if (w[1] != "run")
        Fail("usage: uninstaller run");
    Installers(c);
    const std::string key = c.sixtyFourBit ? host::Wow64LocalMachinePath(qexinstall::kUninstallKey)
                                           : std::string(qexinstall::kUninstallKey);
    std::optional<std::string> command =
        host::Registry::Machine().GetString("HKLM\\" + key, "UninstallString");
    if (!command) {
        c.out << "uninstaller=not-registered\n";
        return;
    }
    const std::string path = *command;
    user::ProcessId id = 0;
    const uint32_t error =
        c.Session().shell().CreateProcess(host::Utf8ToUtf16("\"" + path + "\""), &id);
    if (error != 0) {
        c.out << "uninstaller=" << path << " error=" << error << "\n";
        return;
    }
    int exitCode = -1;
    if (c.System().processes().Wait(id, kWizardTimeoutMs, &exitCode) != 0)
        Fail("the uninstaller did not end");
    c.Session().desktop().WaitIdle(20000);
    const std::vector<user::MessageBoxRecord> boxes = c.Session().desktop().MessageBoxes();
    for (size_t i = c.messageBoxesPrinted; i < boxes.size(); ++i) {
        std::string text;
        for (char ch : host::Utf16ToUtf8(boxes[i].text))
            text += ch == '\n' ? std::string("\\n") : std::string(1, ch);
        c.out << "messagebox caption=\"" << host::Utf16ToUtf8(boxes[i].caption) << "\" text=\""
              << text << "\"\n";
    }
    c.messageBoxesPrinted = boxes.size();
    c.out << "uninstaller exit=" << exitCode << "\n";
}

// --- logon --------------------------------------------------------------------------------------

// What the user's logon starts: every command of the machine's Run key, in the order the key
// lists them (both registry views on a 64-bit machine), each exactly as it is written there.
void Logon(ScenarioContext& c, const Words& w) {
    Arity(w, 1, 1, "logon");
    std::vector<std::string> keys = {qexinstall::kRunKey};
    if (c.sixtyFourBit)
        keys.push_back(host::Wow64LocalMachinePath(qexinstall::kRunKey));
    size_t started = 0;
    for (const std::string& key : keys) {
        std::vector<host::RegistryValue> values;
        if (host::Registry::Machine().EnumValues("HKLM\\" + key, &values) != 0)
            continue;
        for (const host::RegistryValue& value : values) {
            std::optional<std::string> command =
                host::Registry::Machine().GetString("HKLM\\" + key, value.name);
            if (!command)
                continue;
            c.out << "logon run " << value.name << "=\"" << *command << "\"\n";
            if (const uint32_t error = StartPanelProgram(c, *command); error != 0)
                c.out << "start error=" << error << "\n";
            else
                ++started;
        }
    }
    c.out << "logon started=" << started << "\n";
}

// --- file list ----------------------------------------------------------------------------------

void FileList(ScenarioContext& c, const Words& w) {
    Arity(w, 3, SIZE_MAX, "file list DIR");
    host::FileSystem& files = c.System().files();
    // A folder's name may hold blanks ("Start Menu"): the words after "list" are the name.
    std::string folder = w[2];
    for (size_t i = 3; i < w.size(); ++i)
        folder += " " + w[i];
    const std::string hostPath = files.HostPath(folder);
    std::error_code error;
    if (hostPath.empty() || !fs::is_directory(hostPath, error)) {
        c.out << "folder=" << folder << " missing\n";
        return;
    }
    std::vector<std::pair<std::string, std::string>> entries;  // (folded name, name)
    for (const fs::directory_entry& entry : fs::directory_iterator(hostPath, error)) {
        const std::string name = entry.path().filename().string();
        std::string upper;
        for (char ch : name)
            upper += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        entries.emplace_back(upper, name);
    }
    std::sort(entries.begin(), entries.end());
    c.out << "folder=" << folder << " entries=" << entries.size() << "\n";
    for (const auto& entry : entries) {
        const std::string path = folder + "\\" + entry.second;
        if (files.DirectoryExists(path)) {
            c.out << entry.second << " folder\n";
            continue;
        }
        c.out << entry.second << " file";
        user::ShellLink link;
        if (user::ReadShellLink(files, path, &link))
            c.out << " link=" << link.target;
        std::vector<uint8_t> bytes;
        files.ReadFile(path, &bytes);
        const std::string start(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 64));
        if (start.rfind("MZ simulated", 0) == 0)
            c.out << " image=\"" << start.substr(3) << "\"";
        c.out << "\n";
    }
}

void FileCommand(ScenarioContext& c, const Words& w) {
    if (w.size() >= 2 && w[1] == "list") {
        FileList(c, w);
        return;
    }
    if (RunMachineFileCommand(c, w))
        return;
    Fail("usage: file list DIR | file dump PATH | file write PATH HEX");
}

const ScenarioCommandArea kInstallerCommands = {
    {"machine", MachineCommand},     {"installer", InstallerRun},
    {"uninstaller", UninstallerRun}, {"logon", Logon},
    {"file", FileCommand},
};

}  // namespace
