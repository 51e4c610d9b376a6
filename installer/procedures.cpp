#include "procedures.h"

#include <stdio.h>

#include "names.h"

namespace qexinstall {

namespace {

std::string WithSeparator(std::string directory) {
    if (directory.empty() || directory.back() != '\\')
        directory += '\\';
    return directory;
}

// Thrown inside the install procedure only, to leave it at its first failing step; it never
// crosses the procedure's interface.
struct InstallStop {
    uint32_t code;
    WinError lastError;
};

[[noreturn]] void Stop(uint32_t code, WinError lastError) {
    throw InstallStop{code, lastError};
}

enum class WriteResult { Done, OpenFailed, Short };

// Writes a payload byte for byte; `lastError` gets the failing call's error.
WriteResult WritePayload(FileSystem& files, const std::string& path, const Payload& payload,
                         WinError* lastError) {
    std::unique_ptr<OutputFile> file;
    if (WinError error = files.CreateForWriting(path, &file)) {
        *lastError = error;
        return WriteResult::OpenFailed;
    }
    uint32_t written = 0;
    const WinError error = file->Write(payload.data, payload.size, &written);
    if (error != kErrorSuccess || written != payload.size) {
        *lastError = error;
        return WriteResult::Short;
    }
    return WriteResult::Done;
}

Payload LoadPayload(Resources& resources, const char* type, uint16_t id, uint32_t notFound,
                    uint32_t loadFailed) {
    if (WinError error = resources.Find(type, id))
        Stop(notFound, error);
    Payload payload;
    if (WinError error = resources.Load(type, id, &payload))
        Stop(loadFailed, error);
    return payload;
}

std::string SystemDirectoryOrStop(FileSystem& files) {
    std::string directory;
    if (WinError error = files.SystemDirectory(&directory))
        Stop(kNoSystemDirectory, error);
    return WithSeparator(directory);
}

// The system folder as every other program must name it to find what this process wrote there.
// Under WOW64 the writes land in SysWOW64, while the shell that runs the Run value at logon,
// the list of installed programs and a shortcut's 64-bit reader look in the real system32.
std::string SharedSystemDirectory(InstallPorts& ports, const std::string& system) {
    std::string wow64;
    if (ports.wow64.IsWow64() && ports.wow64.SystemWow64Directory(&wow64) == kErrorSuccess &&
        !wow64.empty())
        return WithSeparator(wow64);
    return system;
}

bool Is64BitSystem(Wow64& wow64) {
    return wow64.IsWow64() || wow64.Is64BitProcess();
}

void WriteDriverServiceKey(Registry& registry) {
    std::unique_ptr<RegistryKey> key;
    if (registry.CreateKey(kDriverServiceKey, kDriverKeyClass, kKeyAllAccess, &key))
        return;
    key->SetDword("ErrorControl", 1);
    key->SetDword("Start", 3);
    key->SetDword("Type", 1);
    key->SetString("ImagePath", RegistryType::ExpandSz, kDriverImagePath, StringWidth::Narrow);
    key->Flush();
}

// The first library of the "Custom Skin" folder next to the installer that names itself
// wins; it is copied into the skin folder. Leaves name and path alone when none does.
void ChooseCustomSkin(InstallPorts& ports, const std::string& skinFolder, std::string* skinName,
                      std::string* skinPath) {
    std::string current;
    if (ports.files.CurrentDirectory(&current))
        return;
    const std::string customFolder = WithSeparator(current) + kCustomSkinFolder;
    std::vector<std::string> names;
    if (ports.files.FindFiles(WithSeparator(current) + kCustomSkinPattern, &names))
        return;
    for (const std::string& file : names) {
        if (file == "." || file == "..")
            continue;
        std::string name;
        if (ports.shell.QuerySkinName(customFolder + file, &name) || name.empty())
            continue;
        const std::string copy = skinFolder + file;
        ports.files.CopyOver(customFolder + file, copy);
        *skinName = name;
        *skinPath = copy;
        return;
    }
}

void InstallSteps(InstallPorts& ports, int language, ProgressSink& progress) {
    WriteDriverServiceKey(ports.registry);
    progress.Report(1);

    // Service.
    const uint16_t serviceId = Is64BitSystem(ports.wow64) ? kResService64 : kResService32;
    const Payload service =
        LoadPayload(ports.resources, kTypeService, serviceId, kPayloadNotFound, kPayloadLoadFailed);
    const std::string system = SystemDirectoryOrStop(ports.files);
    ControlService(ports, kServiceCommandStop);
    progress.Report(10);
    ports.clock.Sleep(1000);
    progress.Report(20);
    if (WindowHandle panel = ports.windows.FindTopLevel(kPanelWindowTitle))
        ports.windows.Send(panel, ports.windows.RegisterMessage(kAppExitMessage), 0, 0);
    ports.clock.Sleep(1000);
    progress.Report(30);

    const std::string servicePath = system + kServiceFile;
    WinError lastError = 0;
    switch (WritePayload(ports.files, servicePath, service, &lastError)) {
        case WriteResult::OpenFailed:
            Stop(kFileOpenFailed, lastError);
        case WriteResult::Short:
            Stop(kServiceWrittenShort, lastError);
        case WriteResult::Done:
            break;
    }
    progress.Report(40);

    std::unique_ptr<Process> registration;
    if (WinError error = ports.processes.Start(servicePath + kServiceRegistrationArgs, true,
                                               kHighPriorityClass, &registration))
        Stop(kServiceRegistrationFailed, error);
    if (!registration->WaitForThread(kRegistrationTimeoutMs))
        Stop(kServiceRegistrationFailed, kErrorTimeout);
    ports.clock.Sleep(500);
    progress.Report(50);
    ports.clock.Sleep(100);
    progress.Report(60);
    ControlService(ports, kServiceCommandStart);

    // Panel, its autostart and its shortcut.
    const Payload panel =
        LoadPayload(ports.resources, kTypeApp, kResPanel, kPayloadNotFound, kPayloadLoadFailed);
    const std::string panelSystem = SystemDirectoryOrStop(ports.files);
    ports.clock.Sleep(1000);
    const std::string panelPath = panelSystem + kPanelFile;
    if (WritePayload(ports.files, panelPath, panel, &lastError) == WriteResult::OpenFailed)
        Stop(kFileOpenFailed, lastError);

    std::unique_ptr<RegistryKey> run;
    if (WinError error =
            ports.registry.CreateKey(kRunKey, "", kKeyRead | kKeyCreateSubKey | kKeySetValue, &run))
        Stop(kRunKeyFailed, error);
    const std::string panelShared = SharedSystemDirectory(ports, panelSystem) + kPanelFile;
    run->SetString(kRunValue, RegistryType::Sz, panelShared + kPanelNoUiSwitch, StringWidth::Wide);
    run.reset();
    UpdateShortcut(ports, panelShared, true);

    // Uninstaller.
    const Payload uninstaller = LoadPayload(ports.resources, kTypeUninstall, kResUninstaller,
                                            kPayloadNotFound, kPayloadLoadFailed);
    const std::string uninstallerSystem = SystemDirectoryOrStop(ports.files);
    const std::string uninstallerPath = uninstallerSystem + kUninstallerFile;
    if (WritePayload(ports.files, uninstallerPath, uninstaller, &lastError) ==
        WriteResult::OpenFailed)
        Stop(kFileOpenFailed, lastError);
    WriteUninstallRegistration(ports,
                               SharedSystemDirectory(ports, uninstallerSystem) + kUninstallerFile);

    // Skin.
    const uint16_t skinId = SkinResourceForLanguage(language);
    if (skinId == 0)
        Stop(kSkinNotFound, kErrorResourceNameNotFound);
    const Payload skin =
        LoadPayload(ports.resources, kTypeSkin, skinId, kSkinNotFound, kSkinLoadFailed);
    const std::string skinFolder = system + kSkinFolder + "\\";
    ports.files.MakeDirectory(system + kSkinFolder);
    const std::string skinInfo = skinFolder + kSkinInfoFile;
    ports.files.FlushProfileCache(skinInfo);
    std::string skinPath = skinFolder + kSkinFile;
    switch (WritePayload(ports.files, skinPath, skin, &lastError)) {
        case WriteResult::OpenFailed:
            Stop(kSkinOpenFailed, lastError);
        case WriteResult::Short:
            Stop(kSkinWrittenShort, lastError);
        case WriteResult::Done:
            break;
    }
    std::string skinName = kDefaultSkinName;
    ChooseCustomSkin(ports, skinFolder, &skinName, &skinPath);
    ports.files.WriteIniString(kSkinSection, kSkinNameKey, skinName, skinInfo);
    ports.files.WriteIniString(kSkinSection, kSkinPathKey, skinPath, skinInfo);
    progress.Report(70);

    // Driver: a 32-bit installer must write past the redirection, or the driver would land
    // in SysWOW64 where Plug and Play never looks. Redirection is restored whatever happens.
    const bool wow64 = ports.wow64.IsWow64();
    if (wow64)
        ports.wow64.DisableFsRedirection();
    struct RestoreRedirection {
        Wow64& wow64;
        bool active;
        ~RestoreRedirection() {
            if (active)
                wow64.RevertFsRedirection();
        }
    } restore{ports.wow64, wow64};
    const uint16_t driverId = (wow64 || ports.wow64.Is64BitProcess()) ? kResDriver64 : kResDriver32;
    const Payload driver =
        LoadPayload(ports.resources, kTypeDriver, driverId, kDriverNotFound, kDriverLoadFailed);
    switch (WritePayload(ports.files, system + kDriverFile, driver, &lastError)) {
        case WriteResult::OpenFailed:
            Stop(kDriverOpenFailed, lastError);
        case WriteResult::Short:
            Stop(kDriverWrittenShort, lastError);
        case WriteResult::Done:
            break;
    }
}

bool KeyExists(Registry& registry, const char* path) {
    std::unique_ptr<RegistryKey> key;
    return registry.OpenKey(path, kKeyRead, &key) == kErrorSuccess;
}

bool SiblingInstalled(Registry& registry) {
    for (const char* key : kSiblingUninstallKeys) {
        if (KeyExists(registry, key))
            return true;
    }
    return false;
}

std::string StartMenuFolder(Shell& shell) {
    std::string programs;
    if (shell.CommonProgramsFolder(&programs))
        return std::string();
    return programs + kStartMenuFolder;
}

}  // namespace

std::string FormatInstallFailure(uint32_t code, WinError lastError) {
    char text[256];
    if (code & kFileOpenBit)
        snprintf(text, sizeof text, kInstalledBeforeFormat, code, lastError);
    else
        snprintf(text, sizeof text, kInstallFailsFormat, code, lastError);
    return text;
}

uint16_t SkinResourceForLanguage(int language) {
    switch (language) {
        case 0:
            return kResSkinEnglish;
        case 1:
            return kResSkinSimplified;
        case 2:
            return kResSkinTraditional;
        default:
            return 0;
    }
}

void ControlService(InstallPorts& ports, uint32_t command) {
    std::unique_ptr<ServiceDatabase> database;
    if (ports.services.Open(kScManagerAllAccess, &database))
        return;
    std::unique_ptr<ServiceHandle> service;
    if (database->OpenByName(kServiceName, kServiceAllAccess, &service))
        return;
    if (command != kServiceCommandStart && command != kServiceCommandStop) {
        service->Control(command);
        return;
    }
    const uint32_t wanted = command == kServiceCommandStart ? kServiceRunning : kServiceStopped;
    uint32_t state = 0;
    if (service->QueryState(&state))
        return;
    if (state == wanted)
        return;
    const WinError error =
        command == kServiceCommandStart ? service->Start() : service->Control(kServiceControlStop);
    if (error != kErrorSuccess && error != kErrorServiceAlreadyRunning &&
        error != kErrorServiceNotActive)
        return;
    for (uint32_t poll = 0; poll < kServicePollCount; ++poll) {
        if (service->QueryState(&state) || state == wanted)
            return;
        ports.clock.Sleep(kServicePollMs);
    }
}

void UpdateShortcut(InstallPorts& ports, const std::string& panelPath, bool create) {
    const std::string folder = StartMenuFolder(ports.shell);
    if (folder.empty())
        return;
    const std::string link = folder + kShortcutFile;
    if (create) {
        ports.files.MakeDirectory(folder);
        ports.shell.SaveShellLink(panelPath, link);
    } else {
        ports.files.RemoveFile(link);
    }
}

void WriteUninstallRegistration(InstallPorts& ports, const std::string& uninstallerPath) {
    std::unique_ptr<RegistryKey> key;
    if (ports.registry.CreateKey(kUninstallKey, "", kKeyAllAccess, &key))
        return;
    key->SetString("DisplayName", RegistryType::Sz, kDisplayName, StringWidth::Wide);
    key->SetString("UninstallString", RegistryType::Sz, uninstallerPath, StringWidth::Wide);
    key->SetString("DisplayIcon", RegistryType::Sz, uninstallerPath, StringWidth::Wide);
    key->SetString("DisplayVersion", RegistryType::Sz, kDisplayVersion, StringWidth::Wide);
}

InstallOutcome RunInstall(InstallPorts& ports, int language, ProgressSink& progress,
                          WindowHandle owner) {
    InstallOutcome outcome;
    try {
        InstallSteps(ports, language, progress);
    } catch (const InstallStop& stop) {
        outcome.code = stop.code;
        outcome.lastError = stop.lastError;
        ports.messageBoxes.Show(owner, FormatInstallFailure(stop.code, stop.lastError),
                                kInstallCaption, BoxIcon::Error, BoxButtons::Ok);
    }
    if (outcome.code == kInstallOk)
        progress.Report(80);
    progress.Report(100);
    ports.clock.Beep(kInstallBeepHz, kBeepMs);
    return outcome;
}

void RunUninstall(InstallPorts& ports, ProgressSink& progress, WindowHandle owner) {
    std::string system;
    const bool haveSystem = ports.files.SystemDirectory(&system) == kErrorSuccess;
    system = WithSeparator(system);
    const bool sibling = SiblingInstalled(ports.registry);
    const uint32_t appExit = ports.windows.RegisterMessage(kAppExitMessage);

    if (haveSystem && !sibling) {
        ControlService(ports, kServiceCommandStart);
        ControlService(ports, kServiceCommandRemoveFilter);
        ControlService(ports, kServiceCommandStop);
        progress.Report(1);
        ports.clock.Sleep(1000);
        progress.Report(10);
        ports.clock.Sleep(100);
        progress.Report(20);
        ports.clock.Sleep(100);
        progress.Report(30);
        ports.windows.Broadcast(ports.windows.RegisterMessage(kCplExitMessage), 0, kCplExitLParam);
        ports.windows.Broadcast(appExit, 0, 0);
        ports.clock.Sleep(1000);
        progress.Report(40);
        ports.files.RemoveFile(system + kServiceFile);
    }

    ports.windows.Broadcast(appExit, 0, 0);
    UpdateShortcut(ports, system + kPanelFile, false);
    if (!sibling) {
        const std::string folder = StartMenuFolder(ports.shell);
        if (!folder.empty())
            ports.files.RemoveEmptyDirectory(folder);
    }
    // Without a system directory the file names below would be taken relative to wherever
    // the uninstaller runs from, so the file steps are skipped.
    if (haveSystem)
        ports.files.RemoveFile(system + kPanelFile);
    progress.Report(60);
    progress.Report(50);
    if (haveSystem)
        ports.files.RemoveTree(system + kSkinFolder);
    if (haveSystem)
        ports.files.RemoveFile(system + kUninstallerFile);
    progress.Report(70);

    {
        std::unique_ptr<RegistryKey> key;
        if (ports.registry.OpenKey(kUninstallKey, kKeyAllAccess, &key) == kErrorSuccess) {
            for (const char* value :
                 {"DisplayName", "UninstallString", "DisplayIcon", "DisplayVersion"})
                key->DeleteValue(value);
            key.reset();
            ports.registry.DeleteKey(kUninstallKey);
        }
    }

    std::string appData;
    if (ports.shell.CommonAppDataFolder(true, &appData))
        return;
    ports.files.RemoveFile(WithSeparator(appData) + kPanelSettingsFile);

    std::unique_ptr<RegistryKey> run;
    if (WinError error = ports.registry.OpenKey(kRunKey, kKeyWrite, &run)) {
        char text[128];
        snprintf(text, sizeof text, kUninstallFailsFormat, kRunKeyUninstallCode, error);
        ports.messageBoxes.Show(owner, text, kUninstallCaption, BoxIcon::Error, BoxButtons::Ok);
    } else {
        run->DeleteValue(kRunValue);
        progress.Report(80);
    }
    progress.Report(100);
    ports.clock.Beep(kUninstallBeepHz, kBeepMs);
}

bool ProductInstalled(Registry& registry) {
    return KeyExists(registry, kUninstallKey);
}

}  // namespace qexinstall
