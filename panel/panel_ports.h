// What the control panel needs from Windows, as small interfaces. The panel's logic calls
// only these; panel/win32 implements them over Win32 and panel/host over the simulated
// machine. Strings are UTF-16, as the Windows wide-character functions take them.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include <memory>

class Raster;
struct Rgb;

// An open file; closed when destroyed.
class PanelFile {
  public:
    virtual ~PanelFile() = default;
    // Reads up to `size` bytes; `got` is what came back (0 at the end of the file).
    virtual bool Read(void* buffer, uint32_t size, uint32_t* got) = 0;
    virtual bool Write(const void* buffer, uint32_t size) = 0;
    virtual bool Seek(uint32_t offset) = 0;
};

enum class FileOpen {
    Read,           // an existing file, for reading
    WriteExisting,  // an existing file, for writing, not truncated
    Create,         // created or truncated, for writing
};

// A resource type as FindResource takes it: an integer type or a named one ("WAVE").
struct ResourceType {
    uint16_t id;
    const char16_t* name;
};
constexpr ResourceType kResourceBitmap{2, nullptr};
constexpr ResourceType kResourceMenu{4, nullptr};
constexpr ResourceType kResourceDialog{5, nullptr};
constexpr ResourceType kResourceString{6, nullptr};
constexpr ResourceType kResourceGroupIcon{14, nullptr};
constexpr ResourceType kResourceWave{0, u"WAVE"};

// A library mapped into the process: a skin, or the program's own module. The panel never
// unloads a library, so a pointer to one stays valid for the whole run.
class ResourceModule {
  public:
    virtual ~ResourceModule() = default;
    virtual const std::u16string& Path() const = 0;
    // The bytes of a resource, looked up by type and integer id in any language.
    virtual bool FindResource(ResourceType type, uint16_t id, std::vector<uint8_t>* bytes) = 0;
    // The two skin entry points; false when the library does not export the function.
    virtual bool CallIsQEXDefaultSkin(int* result) = 0;
    virtual bool CallGetResourceName(std::u16string* name) = 0;
};

// The process and the machine: version, command line, elevation, the single-instance
// mutex, folders, profile strings, files and libraries.
class PanelSystem {
  public:
    virtual ~PanelSystem() = default;
    virtual uint32_t OsMajorVersion() = 0;
    virtual std::u16string CommandLine() = 0;      // the whole command line
    virtual std::u16string CommandLineTail() = 0;  // the arguments only
    virtual std::u16string ModuleFileName() = 0;   // full path of the program
    // ShellExecuteEx with the verb "runas", no directory, no owner, show command 0 and mask
    // 0x440; the result is not examined by the caller.
    virtual void ShellExecuteRunas(const std::u16string& file, const std::u16string& params) = 0;
    // CreateMutexW(no security, not owned, name). The handle stays open for the process's
    // life. False when the mutex could not be created at all.
    virtual bool CreateNamedMutex(const std::u16string& name, bool* alreadyExisted) = 0;
    virtual std::u16string SystemDirectory() = 0;
    virtual std::u16string TempPath() = 0;
    virtual std::u16string ReadProfileString(const std::u16string& section,
                                             const std::u16string& key,
                                             const std::u16string& fallback,
                                             const std::u16string& file) = 0;
    virtual bool WriteProfileString(const std::u16string& section, const std::u16string& key,
                                    const std::u16string& value, const std::u16string& file) = 0;
    // The names FindFirstFileW / FindNextFileW return for `pattern`, in their order ("." and
    // ".." included when the finder returns them).
    virtual std::vector<std::u16string> FindFiles(const std::u16string& pattern) = 0;
    // LoadLibraryW; null when the library cannot be mapped.
    virtual ResourceModule* LoadLibrary(const std::u16string& path) = 0;
    // FreeLibrary, at the program's exit only.
    virtual void FreeLibrary(ResourceModule* module) = 0;
    virtual ResourceModule& OwnModule() = 0;
    // Create or truncate, write, close.
    virtual bool WriteWholeFile(const std::u16string& path, const std::vector<uint8_t>& bytes) = 0;
    virtual std::unique_ptr<PanelFile> OpenFile(const std::u16string& path, FileOpen mode) = 0;
    // The all-users application-data folder, created when missing; false when there is none.
    virtual bool CommonAppDataFolder(std::u16string* folder) = 0;
    virtual uint32_t TickCount() = 0;
    // RegisterWindowMessageA.
    virtual uint32_t RegisterWindowMessage(const char* name) = 0;
};

// The headset's microphone as Windows holds it. The Core Audio operations return 0 on
// success and an error code otherwise (1 when the device has no capture endpoint); the
// mixer operation returns 1 on success and 0 on failure. `captureDescription` names the
// headset's capture device as discovery found it.
class MicrophonePorts {
  public:
    virtual ~MicrophonePorts() = default;
    virtual int GetMicVolume(const std::u16string& captureDescription, uint32_t* percent) = 0;
    virtual int SetMicVolume(const std::u16string& captureDescription, uint32_t percent) = 0;
    virtual int GetMicMute(const std::u16string& captureDescription, uint32_t* mute) = 0;
    virtual int SetMicMute(const std::u16string& captureDescription, uint32_t mute) = 0;
    virtual int GetMicBoost(const std::u16string& captureDescription, uint32_t* boost) = 0;
    virtual int SetMicBoost(const std::u16string& captureDescription, uint32_t boost) = 0;
    virtual int RegisterMicCallbacks(const std::u16string& captureDescription) = 0;
    virtual int UnregisterMicCallbacks(const std::u16string& captureDescription) = 0;
    // Operation 0 reads volume, minimum and maximum; 1 sets the volume; 2/3 get and set
    // mute; 4/5 get and set boost.
    virtual int MixerMicControl(int operation, uint32_t* value, uint32_t* minimum,
                                uint32_t* maximum) = 0;
};

// The popup menu the panel shows from the tray: the skin's menu with its skin list.
struct PopupMenuItem {
    uint32_t id = 0;  // command id; 0 for separators and submenus
    std::u16string text;
    bool separator = false;
    bool checked = false;
    bool grayed = false;
    std::vector<PopupMenuItem> children;  // a submenu when not empty or `popup`
    bool popup = false;
};

// The main window and the shell around it.
class PanelShell {
  public:
    virtual ~PanelShell() = default;

    // Creates the main dialog as a modeless window from `templateId` of `skin`, without a
    // parent; the platform then calls its OnInitDialog. False when creation failed.
    virtual bool CreateMainDialog(ResourceModule& skin, uint16_t templateId) = 0;

    // MessageBoxW owned by the main dialog (no owner before it exists); a null caption lets the
    // framework put the application's name there. Returns the button chosen.
    virtual int MessageBox(const std::u16string& text, const char16_t* caption, uint32_t type) = 0;

    virtual void ShowWindow(bool show) = 0;
    virtual bool IsWindowVisible() = 0;
    virtual void CenterWindow() = 0;
    // SetWindowPos without changing the z order.
    virtual void PlaceWindow(int x, int y, int width, int height) = 0;
    // Screen position of the window's top-left corner.
    virtual void WindowOrigin(int* x, int* y) = 0;
    virtual void SetTitle(const std::u16string& title) = 0;
    // Big and small window icon from `module` (none when the module has no such icon).
    virtual void SetWindowIcon(ResourceModule& module, uint16_t iconId) = 0;
    // WS_EX_LAYERED toggled on, colour key with alpha 255: pixels of `key` are cut out.
    virtual void SetColorKeyShape(const Rgb& key) = 0;
    // Copies the w by h part of `picture` at (x, y) to the window at (x, y).
    virtual void Present(const Raster& picture, int x, int y, int w, int h) = 0;
    // GetUpdateRect: whether part of the window waits to be repainted.
    virtual bool HasUpdateRegion() = 0;
    // RegisterDeviceNotification for audio device interfaces, window handle recipient.
    virtual bool RegisterAudioInterfaceNotifications() = 0;

    // Shell_NotifyIcon NIM_ADD, NIM_MODIFY, NIM_DELETE of the panel's one icon.
    enum class TrayAction { Add, Modify, Delete };
    virtual bool NotifyIcon(TrayAction action, ResourceModule& skin, uint16_t iconId,
                            const std::u16string& tip, uint32_t callbackMessage) = 0;
    // Foreground, then TrackPopupMenu at the cursor with the left button; the chosen item
    // comes back later as a command to the dialog.
    virtual void TrackPopupMenu(const PopupMenuItem& menu) = 0;

    virtual void SetHandCursor() = 0;
    virtual void CursorPos(int* x, int* y) = 0;
    virtual void SetTimer(uint32_t id, uint32_t periodMs) = 0;
    virtual void KillTimer(uint32_t id) = 0;
    virtual void PostQuit(int code) = 0;
    // Posts a message to the main dialog's own queue (WM_APP + 1 with `code`), which the
    // platform hands to CQEXAudioControlDlg::OnPanelNotification on the interface thread.
    // Safe to call from any thread.
    virtual void PostPanelNotification(uint32_t code) = 0;
};

// Wave-in as the microphone monitor uses it: one device open at a time, reporting through
// the main dialog's window (CALLBACK_WINDOW), so MM_WIM_OPEN, MM_WIM_DATA and MM_WIM_CLOSE
// reach the dialog's handlers on the interface thread.
class WaveInPorts {
  public:
    static constexpr uint32_t kWaveMapper = 0xFFFFFFFF;
    virtual ~WaveInPorts() = default;
    virtual uint32_t DeviceCount() = 0;
    virtual bool ProductName(uint32_t device, std::u16string* name) = 0;
    // PCM of the given shape, callback to the main dialog's window.
    virtual bool Open(uint32_t device, uint32_t samplesPerSecond, uint16_t bitsPerSample,
                      uint16_t channels) = 0;
    // Prepares (the first time) and queues buffer `index` of `size` bytes at `data`; the
    // recorded buffer comes back as MM_WIM_DATA with that index.
    virtual bool Queue(int index, uint8_t* data, uint32_t size) = 0;
    virtual bool Start() = 0;
    // waveInReset (the queued buffers come back) and waveInClose (MM_WIM_CLOSE follows).
    virtual void ResetAndClose() = 0;
    virtual void Unprepare(int index) = 0;
    // MessageBeep with the exclamation sound.
    virtual void Beep() = 0;
};

// Device discovery: SetupDi over the USB hub interface class, the hubs' own requests,
// DirectSound's device lists and the wave devices' names.
class DiscoveryPorts {
  public:
    virtual ~DiscoveryPorts() = default;
    // SetupDiGetClassDevs for present USB hub interfaces; false when no set can be made.
    virtual bool OpenHubInterfaces() = 0;
    // The device path of hub interface `index`: 1 found, 0 its details could not be read,
    // -1 no interface at that index (the enumeration ends).
    virtual int HubInterfacePath(uint32_t index, std::u16string* path) = 0;
    virtual void CloseHubInterfaces() = 0;

    using Handle = intptr_t;
    static constexpr Handle kInvalidHandle = -1;
    virtual Handle OpenHub(const std::u16string& path) = 0;
    // DeviceIoControl with one buffer for input and output.
    virtual bool HubRequest(Handle hub, uint32_t code, uint8_t* buffer, uint32_t size) = 0;
    virtual void CloseHub(Handle hub) = 0;

    // One DirectSound device as its enumeration reports it; null for the default-device
    // entry that comes first.
    struct SoundDevice {
        std::u16string description;
        std::u16string interfacePath;
    };
    virtual void EnumerateSoundDevices(bool capture,
                                       const std::function<void(const SoundDevice*)>& callback) = 0;
    // waveOutGetDevCaps / waveInGetDevCaps of device 0; false when the call fails.
    virtual bool WaveOutName(std::u16string* name) = 0;
    virtual bool WaveInName(std::u16string* name) = 0;
};

// The registry as the preset dialog uses it, under HKEY_CURRENT_USER. Results are Windows
// error codes (0 success).
class PanelRegistry {
  public:
    using Key = intptr_t;
    virtual ~PanelRegistry() = default;
    virtual long OpenUserKey(const std::u16string& path, Key* key) = 0;
    virtual long CreateUserKey(const std::u16string& path, Key* key) = 0;
    virtual long OpenSubKey(Key parent, const std::u16string& name, Key* key) = 0;
    virtual long CreateSubKey(Key parent, const std::u16string& name, Key* key) = 0;
    virtual long EnumSubKey(Key key, uint32_t index, std::u16string* name) = 0;
    // Succeeds only for a REG_DWORD of four bytes.
    virtual long QueryDword(Key key, const std::u16string& name, uint32_t* value) = 0;
    virtual long SetDword(Key key, const std::u16string& name, uint32_t value) = 0;
    virtual long DeleteSubKey(Key parent, const std::u16string& name) = 0;
    virtual void CloseKey(Key key) = 0;
};

// The controls of a modal dialog built from a skin template, as its handlers reach them.
class DialogControls {
  public:
    virtual ~DialogControls() = default;
    virtual void SetTitle(const std::u16string& text) = 0;
    virtual void SetItemText(int id, const std::u16string& text) = 0;
    virtual std::u16string ItemText(int id) = 0;
    virtual void EnableItem(int id, bool enable) = 0;
    virtual void ShowItem(int id, bool show) = 0;
    // A sorted list box: entries are kept in order, the selection is an index or -1.
    virtual void ListAdd(int id, const std::u16string& text) = 0;
    virtual int ListSelection(int id) = 0;
    virtual std::u16string ListText(int id, int index) = 0;
    virtual void MoveTo(int screenX, int screenY) = 0;
};

// Runs one modal dialog of the current skin; the platform calls the dialog's handlers and
// returns the code the dialog ended with (IDOK 1, IDCANCEL 2; 0 or -1 when it could not run).
class ModalDialogHost {
  public:
    virtual ~ModalDialogHost() = default;
    struct Handlers {
        std::function<void(DialogControls&)> onInit;
        std::function<void(DialogControls&, int controlId, int notification)> onCommand;
        std::function<bool(DialogControls&)> onOk;  // true ends the dialog with IDOK
    };
    virtual int RunModal(ResourceModule& skin, uint16_t templateId, const Handlers& handlers) = 0;
};
