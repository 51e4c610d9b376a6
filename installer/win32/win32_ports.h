// The installer's ports over Win32. Only the Windows builds compile this folder.
#pragma once

#include <windows.h>

#include <string>

#include "ports.h"
#include "utf8_text.h"
#include "wizard.h"

namespace qexinstall {

using win32text::Narrow;
using win32text::Widen;

class Win32Registry : public Registry {
  public:
    WinError CreateKey(const std::string& path, const std::string& keyClass, uint32_t access,
                       std::unique_ptr<RegistryKey>* key) override;
    WinError OpenKey(const std::string& path, uint32_t access,
                     std::unique_ptr<RegistryKey>* key) override;
    WinError DeleteKey(const std::string& path) override;
};

class Win32FileSystem : public FileSystem {
  public:
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
};

// Redirection is per thread; the procedure that turns it off turns it back on from the same
// (worker) thread, so one saved value is enough.
class Win32Wow64 : public Wow64 {
  public:
    bool IsWow64() override;
    bool Is64BitProcess() override { return sizeof(void*) == 8; }
    WinError DisableFsRedirection() override;
    WinError RevertFsRedirection() override;
    WinError SystemWow64Directory(std::string* path) override;

  private:
    void* saved_ = nullptr;
};

class Win32Resources : public Resources {
  public:
    WinError Find(const std::string& type, uint16_t id) override;
    WinError Load(const std::string& type, uint16_t id, Payload* payload) override;
};

class Win32Shell : public Shell {
  public:
    WinError CommonProgramsFolder(std::string* path) override;
    WinError CommonAppDataFolder(bool create, std::string* path) override;
    WinError SaveShellLink(const std::string& target, const std::string& linkPath) override;
    WinError QuerySkinName(const std::string& libraryPath, std::string* name) override;
};

class Win32ServiceManager : public ServiceManager {
  public:
    WinError Open(uint32_t access, std::unique_ptr<ServiceDatabase>* database) override;
};

class Win32Processes : public Processes {
  public:
    WinError Start(const std::string& commandLine, bool inheritHandles, uint32_t priorityClass,
                   std::unique_ptr<Process>* process) override;
};

class Win32Windows : public Windows {
  public:
    WindowHandle FindTopLevel(const std::string& title) override;
    uint32_t RegisterMessage(const std::string& name) override;
    void Send(WindowHandle window, uint32_t message, uint64_t wParam, int64_t lParam) override;
    void Broadcast(uint32_t message, uint64_t wParam, int64_t lParam) override;
};

class Win32MessageBoxes : public MessageBoxes {
  public:
    BoxAnswer Show(WindowHandle owner, const std::string& text, const std::string& caption,
                   BoxIcon icon, BoxButtons buttons) override;
};

class Win32Clock : public Clock {
  public:
    void Sleep(uint32_t milliseconds) override;
    void Beep(uint32_t frequencyHz, uint32_t milliseconds) override;
};

class Win32Shutdown : public Shutdown {
  public:
    WinError EnablePrivilege(const std::string& name) override;
    WinError Reboot() override;
};

// All the ports of one program run, wired together.
struct Win32Machine {
    Win32Registry registry;
    Win32FileSystem files;
    Win32Wow64 wow64;
    Win32Resources resources;
    Win32Shell shell;
    Win32ServiceManager services;
    Win32Processes processes;
    Win32Windows windows;
    Win32MessageBoxes messageBoxes;
    Win32Clock clock;
    InstallPorts ports{registry, files,     wow64,   resources,    shell,
                       services, processes, windows, messageBoxes, clock};
};

// Runs the wizard (dialog 102) modally; returns when it has closed.
void RunWizard(HINSTANCE instance, InstallPorts& ports, Shutdown& shutdown);

}  // namespace qexinstall
