// The panel's ports over the simulated machine's user session: the process and its files,
// the desktop with the panel's window, the tray and menus, SetupAPI with the hubs, the audio
// devices, the user's registry hive and the loader of libraries. QX_AudioControl.exe runs
// over these exactly as it runs over Win32 on Windows.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/desktop.h"
#include "host/modules.h"
#include "host/user_session.h"
#include "host/wave_in.h"
#include "panel_ports.h"
#include "windows_volume_ports.h"

namespace host {
class Processes;
}

namespace panelhost {

class HostResourceModule : public ResourceModule {
  public:
    HostResourceModule(host::Modules& modules, host::HMODULE module, std::u16string path)
        : modules_(modules), module_(module), path_(std::move(path)) {}
    const std::u16string& Path() const override { return path_; }
    bool FindResource(ResourceType type, uint16_t id, std::vector<uint8_t>* bytes) override;
    bool CallIsQEXDefaultSkin(int* result) override;
    bool CallGetResourceName(std::u16string* name) override;
    host::HMODULE Handle() const { return module_; }

  private:
    host::Modules& modules_;
    host::HMODULE module_;
    std::u16string path_;
};

class HostPanelSystem : public PanelSystem {
  public:
    HostPanelSystem(host::user::UserSession& session, host::Modules& modules,
                    host::Processes& processes, ResourceModule& own);
    uint32_t OsMajorVersion() override;
    std::u16string CommandLine() override;
    std::u16string CommandLineTail() override;
    std::u16string ModuleFileName() override;
    void ShellExecuteRunas(const std::u16string& file, const std::u16string& params) override;
    bool CreateNamedMutex(const std::u16string& name, bool* alreadyExisted) override;
    std::u16string SystemDirectory() override;
    std::u16string TempPath() override;
    std::u16string ReadProfileString(const std::u16string& section, const std::u16string& key,
                                     const std::u16string& fallback,
                                     const std::u16string& file) override;
    bool WriteProfileString(const std::u16string& section, const std::u16string& key,
                            const std::u16string& value, const std::u16string& file) override;
    std::vector<std::u16string> FindFiles(const std::u16string& pattern) override;
    ResourceModule* LoadLibrary(const std::u16string& path) override;
    void FreeLibrary(ResourceModule* module) override;
    ResourceModule& OwnModule() override { return own_; }
    bool WriteWholeFile(const std::u16string& path, const std::vector<uint8_t>& bytes) override;
    std::unique_ptr<PanelFile> OpenFile(const std::u16string& path, FileOpen mode) override;
    bool CommonAppDataFolder(std::u16string* folder) override;
    uint32_t TickCount() override;
    uint32_t RegisterWindowMessage(const char* name) override;

  private:
    host::user::UserSession& session_;
    host::Modules& modules_;
    host::Processes& processes_;
    ResourceModule& own_;
    std::vector<std::unique_ptr<HostResourceModule>> libraries_;
};

// The main dialog's window and the shell around it.
class HostPanelShell : public PanelShell {
  public:
    using WindowProc = host::user::WindowProc;
    HostPanelShell(host::user::Desktop& desktop, WindowProc dialogProc);
    host::user::Hwnd Window() const { return hwnd_; }
    // Set when the program asks its message loop to end.
    void SetQuitFlag(std::atomic<bool>* flag) { quitFlag_ = flag; }

    bool CreateMainDialog(ResourceModule& skin, uint16_t templateId) override;
    int MessageBox(const std::u16string& text, const char16_t* caption, uint32_t type) override;
    void ShowWindow(bool show) override;
    bool IsWindowVisible() override;
    void CenterWindow() override;
    void PlaceWindow(int x, int y, int width, int height) override;
    void WindowOrigin(int* x, int* y) override;
    void SetTitle(const std::u16string& title) override;
    void SetWindowIcon(ResourceModule& module, uint16_t iconId) override;
    void SetColorKeyShape(const Rgb& key) override;
    void Present(const Raster& picture, int x, int y, int w, int h) override;
    bool HasUpdateRegion() override;
    bool RegisterAudioInterfaceNotifications() override;
    bool NotifyIcon(TrayAction action, ResourceModule& skin, uint16_t iconId,
                    const std::u16string& tip, uint32_t callbackMessage) override;
    void TrackPopupMenu(const PopupMenuItem& menu) override;
    void SetHandCursor() override;
    void CursorPos(int* x, int* y) override;
    void SetTimer(uint32_t id, uint32_t periodMs) override;
    void KillTimer(uint32_t id) override;
    void PostQuit(int code) override;
    void PostPanelNotification(uint32_t code) override;

  private:
    host::user::Desktop& desktop_;
    WindowProc dialogProc_;
    host::user::Hwnd hwnd_ = 0;
    std::atomic<bool>* quitFlag_ = nullptr;
};

class HostDiscovery : public DiscoveryPorts {
  public:
    explicit HostDiscovery(host::user::UserSession& session) : session_(session) {}
    bool OpenHubInterfaces() override;
    int HubInterfacePath(uint32_t index, std::u16string* path) override;
    void CloseHubInterfaces() override;
    Handle OpenHub(const std::u16string& path) override;
    bool HubRequest(Handle hub, uint32_t code, uint8_t* buffer, uint32_t size) override;
    void CloseHub(Handle hub) override;
    void EnumerateSoundDevices(bool capture,
                               const std::function<void(const SoundDevice*)>& callback) override;
    bool WaveOutName(std::u16string* name) override;
    bool WaveInName(std::u16string* name) override;

  private:
    host::user::UserSession& session_;
    host::user::Handle set_ = host::user::kInvalidHandle;
};

// HKEY_CURRENT_USER of the machine's registry, keys as handles to their paths.
class HostPanelRegistry : public PanelRegistry {
  public:
    long OpenUserKey(const std::u16string& path, Key* key) override;
    long CreateUserKey(const std::u16string& path, Key* key) override;
    long OpenSubKey(Key parent, const std::u16string& name, Key* key) override;
    long CreateSubKey(Key parent, const std::u16string& name, Key* key) override;
    long EnumSubKey(Key key, uint32_t index, std::u16string* name) override;
    long QueryDword(Key key, const std::u16string& name, uint32_t* value) override;
    long SetDword(Key key, const std::u16string& name, uint32_t value) override;
    long DeleteSubKey(Key parent, const std::u16string& name) override;
    void CloseKey(Key key) override;

  private:
    long Open(const std::string& path, bool create, Key* key);
    // The registry path an open key stands for; false for a key that is not open.
    bool PathOf(Key key, std::string* path);
    std::mutex mutex_;
    std::map<Key, std::string> keys_;
    Key next_ = 0x80;
};

// A modal dialog from a skin template, answered from a queue the scenario fills before the
// click that opens it: "select NAME", "type TEXT", "ok", "cancel". What the dialog showed is
// kept for the scenario to print.
class HostModalDialogs : public ModalDialogHost {
  public:
    struct Shown {
        std::u16string title;
        std::vector<std::u16string> list;
        bool okEnabled = false;
        int result = 0;
    };
    void QueueAnswer(const std::string& answer);
    std::vector<Shown> TakeShown();
    int RunModal(ResourceModule& skin, uint16_t templateId, const Handlers& handlers) override;

  private:
    std::mutex mutex_;
    std::deque<std::string> answers_;
    std::vector<Shown> shown_;
};

// Wave-in over the machine's recording devices (host/wave_in.h), reporting to the main
// dialog's window as winmm does with CALLBACK_WINDOW.
class HostWaveIn : public WaveInPorts {
  public:
    HostWaveIn(host::user::UserSession& session, HostPanelShell& shell)
        : session_(session), shell_(shell) {}
    ~HostWaveIn() override;
    uint32_t DeviceCount() override;
    bool ProductName(uint32_t device, std::u16string* name) override;
    bool Open(uint32_t device, uint32_t samplesPerSecond, uint16_t bitsPerSample,
              uint16_t channels) override;
    bool Queue(int index, uint8_t* data, uint32_t size) override;
    bool Start() override;
    void ResetAndClose() override;
    void Unprepare(int index) override;
    void Beep() override {}

  private:
    static constexpr int kBuffers = 2;
    host::user::UserSession& session_;
    HostPanelShell& shell_;
    std::unique_ptr<host::user::WaveIn> device_;
    // The headers the device holds while a buffer is queued; MM_WIM_DATA points to them.
    host::user::WaveHeader headers_[kBuffers] = {};
    bool prepared_[kBuffers] = {};
};

}  // namespace panelhost
