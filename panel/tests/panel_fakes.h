// In-memory stand-ins for the panel's ports, so the panel's logic can be driven as Windows
// would drive it and its answers read back: a driver with real request semantics, a skin
// built from pictures made here, a machine's files and devices, and a shell that records.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ampfx_ioctl.h"
#include "driver_link.h"
#include "panel_ports.h"
#include "audio_control_dlg.h"
#include "raster.h"

namespace panel_test {

// The driver's side of the control protocol, as far as the panel uses it.
class FakeDriver : public DriverLink {
  public:
    bool present = true;
    float gains[10] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    uint32_t eqEnabled = 1, soundField = 0, noiseClean = 1, virtual71 = 0;
    float levels[8] = {}, angles[8] = {};
    int bandSets = 0, virtual71Sends = 0;
    std::set<Handle> open;

    Handle OpenA(const char*) override { return Open(); }
    Handle OpenW(const char16_t*) override { return Open(); }
    uint32_t LastOpenError() const override { return present ? 0 : 2; }
    uint32_t NtDeviceIoControl(Handle handle, uint32_t code, const void* input,
                               uint32_t inputLength, void* output, uint32_t outputLength,
                               uint32_t* bytesReturned) override {
        return DeviceIoControl(handle, code, input, inputLength, output, outputLength,
                               bytesReturned)
                   ? 0
                   : 0xC0000010;  // STATUS_INVALID_DEVICE_REQUEST
    }
    void Close(Handle handle) override { open.erase(handle); }
    bool DeviceIoControl(Handle handle, uint32_t code, const void* input, uint32_t inputLength,
                         void* output, uint32_t outputLength, uint32_t* bytesReturned) override {
        *bytesReturned = 0;
        if (!present || open.count(handle) == 0)
            return false;
        if (code == IOCTL_AMPFX_EQ_BAND && inputLength >= sizeof(AmpfxBandRequest)) {
            AmpfxBandRequest block;
            std::memcpy(&block, input, sizeof block);
            if (block.Band < 10) {
                if (block.Selector == 1) {
                    block.Gain = gains[block.Band];
                    return Answer(block, output, outputLength, bytesReturned);
                }
                gains[block.Band] = block.Gain;
                ++bandSets;
            }
            return true;
        }
        if ((code == IOCTL_AMPFX_EQ_ENABLE || code == IOCTL_AMPFX_SOUND_FIELD ||
             code == IOCTL_AMPFX_NOISE_CLEAN) &&
            inputLength >= sizeof(AmpfxValueRequest)) {
            AmpfxValueRequest block;
            std::memcpy(&block, input, sizeof block);
            uint32_t& value = code == IOCTL_AMPFX_EQ_ENABLE     ? eqEnabled
                              : code == IOCTL_AMPFX_SOUND_FIELD ? soundField
                                                                : noiseClean;
            if (block.Selector == 1)
                block.Value = value;
            else
                value = block.Value;
            return Answer(block, output, outputLength, bytesReturned);
        }
        if (code == IOCTL_AMPFX_VIRTUAL_71 && inputLength >= sizeof(AmpfxVirtual71Request)) {
            AmpfxVirtual71Request block;
            std::memcpy(&block, input, sizeof block);
            virtual71 = block.EnableVirtual7ch1;
            std::memcpy(levels, block.Virtual7ch1Distance, sizeof levels);
            std::memcpy(angles, block.Virtual7ch1Radian, sizeof angles);
            ++virtual71Sends;
            return true;
        }
        return true;
    }

  private:
    Handle Open() {
        if (!present)
            return kInvalidHandle;
        open.insert(++last_);
        return last_;
    }
    template <typename Block>
    static bool Answer(const Block& block, void* output, uint32_t outputLength, uint32_t* got) {
        if (output != nullptr && outputLength >= sizeof block) {
            std::memcpy(output, &block, sizeof block);
            *got = sizeof block;
        }
        return true;
    }
    Handle last_ = 0;
};

// A skin made of flat-coloured pictures of the shipped sizes, each colour telling its id.
class FakeModule : public ResourceModule {
  public:
    explicit FakeModule(std::u16string path) : path_(std::move(path)) {}
    const std::u16string& Path() const override { return path_; }
    bool FindResource(ResourceType type, uint16_t id, std::vector<uint8_t>* bytes) override {
        const auto it = resources.find(Key(type, id));
        if (it == resources.end())
            return false;
        *bytes = it->second;
        return true;
    }
    bool CallIsQEXDefaultSkin(int* result) override {
        if (!hasIsDefault)
            return false;
        *result = isDefault;
        return true;
    }
    bool CallGetResourceName(std::u16string* name) override {
        if (!hasName)
            return false;
        *name = displayName;
        return true;
    }

    void AddBitmap(uint16_t id, const Raster& picture) {
        resources[Key(kResourceBitmap, id)] = EncodeDib24(picture);
    }
    void Add(ResourceType type, uint16_t id, std::vector<uint8_t> bytes) {
        resources[Key(type, id)] = std::move(bytes);
    }
    void Remove(ResourceType type, uint16_t id) { resources.erase(Key(type, id)); }

    static std::string Key(ResourceType type, uint16_t id) {
        std::string key =
            type.name ? std::string(type.name, type.name + 4) : std::to_string(type.id);
        return key + "/" + std::to_string(id);
    }

    bool hasIsDefault = true, hasName = true;
    int isDefault = 1;
    std::u16string displayName = u"Test Skin";
    std::map<std::string, std::vector<uint8_t>> resources;

  private:
    std::u16string path_;
};

// The colour a test skin paints bitmap `id` in: distinct, never black or pure green.
Rgb ColorOf(uint16_t id);
// A skin with every bitmap of the contract at its shipped size, the tray menu and the waves.
std::unique_ptr<FakeModule> MakeSkin(const std::u16string& path);
// The panel's own module: the logo 133 on pure green.
std::unique_ptr<FakeModule> MakeOwnModule();

class FakeSystem : public PanelSystem {
  public:
    uint32_t major = 5;
    std::u16string commandLine = u"\"C:\\Windows\\system32\\QX_AudioControl.exe\"";
    std::u16string tail;
    std::vector<std::pair<std::u16string, std::u16string>> runas;
    std::set<std::u16string> mutexes;
    std::map<std::u16string, std::vector<uint8_t>> files;
    std::map<std::u16string, std::u16string> profile;  // "file|section|key"
    std::map<std::u16string, std::unique_ptr<FakeModule>> modules;
    std::vector<std::u16string> skinFolderListing;  // what FindFiles returns
    std::unique_ptr<FakeModule> own = MakeOwnModule();
    std::vector<ResourceModule*> freed;
    bool appDataFolder = true;

    uint32_t OsMajorVersion() override { return major; }
    std::u16string CommandLine() override { return commandLine; }
    std::u16string CommandLineTail() override { return tail; }
    std::u16string ModuleFileName() override {
        return u"C:\\Windows\\system32\\QX_AudioControl.exe";
    }
    void ShellExecuteRunas(const std::u16string& file, const std::u16string& params) override {
        runas.emplace_back(file, params);
    }
    bool CreateNamedMutex(const std::u16string& name, bool* existed) override {
        *existed = !mutexes.insert(name).second;
        return true;
    }
    std::u16string SystemDirectory() override { return u"C:\\Windows\\system32"; }
    std::u16string TempPath() override { return u"C:\\Temp\\"; }
    std::u16string ReadProfileString(const std::u16string& section, const std::u16string& key,
                                     const std::u16string& fallback,
                                     const std::u16string& file) override {
        const auto it = profile.find(file + u"|" + section + u"|" + key);
        return it == profile.end() ? fallback : it->second;
    }
    bool WriteProfileString(const std::u16string& section, const std::u16string& key,
                            const std::u16string& value, const std::u16string& file) override {
        profile[file + u"|" + section + u"|" + key] = value;
        return true;
    }
    std::vector<std::u16string> FindFiles(const std::u16string&) override {
        return skinFolderListing;
    }
    ResourceModule* LoadLibrary(const std::u16string& path) override {
        const auto it = modules.find(path);
        return it == modules.end() ? nullptr : it->second.get();
    }
    void FreeLibrary(ResourceModule* module) override { freed.push_back(module); }
    ResourceModule& OwnModule() override { return *own; }
    bool WriteWholeFile(const std::u16string& path, const std::vector<uint8_t>& bytes) override {
        files[path] = bytes;
        return true;
    }
    std::unique_ptr<PanelFile> OpenFile(const std::u16string& path, FileOpen mode) override;
    bool CommonAppDataFolder(std::u16string* folder) override {
        *folder = u"C:\\ProgramData";
        return appDataFolder;
    }
    uint32_t TickCount() override { return 12345; }
    uint32_t RegisterWindowMessage(const char*) override { return 0xC123; }

    // Installs a skin at `name` in the skins folder and points "Skin Path" at it.
    FakeModule& InstallSkin(const std::u16string& name, bool makeCurrent = true);
    static std::u16string SkinFolder() { return u"C:\\Windows\\system32\\QX_AudioControlRec\\"; }
    static std::u16string IniPath() { return SkinFolder() + u"ResourceInfo.ini"; }
    std::u16string SkinPath() { return profile[IniPath() + u"|DEFAULT|Skin Path"]; }
};

class FakeShell : public PanelShell {
  public:
    struct Box {
        std::u16string text;
        bool ownCaption;
        std::u16string caption;
        uint32_t type;
    };
    std::vector<Box> boxes;
    bool visible = false, centred = false, created = false, createFails = false;
    int placeX = -1, placeY = -1, placeW = 0, placeH = 0;
    int originX = 300, originY = 200;
    std::u16string title;
    int trayIcon = 0;  // 0 none
    std::vector<std::string> trayLog;
    std::vector<PopupMenuItem> menus;
    int handCursors = 0;
    std::map<uint32_t, uint32_t> timers;
    std::vector<int> quits;
    bool colorKey = false, notifications = false, updatePending = false;
    Raster screen{640, 480};
    std::function<void()> onCreate;  // the platform's OnInitDialog call

    bool CreateMainDialog(ResourceModule&, uint16_t templateId) override {
        if (createFails || templateId != 1064)
            return false;
        created = true;
        if (onCreate)
            onCreate();
        return true;
    }
    int MessageBox(const std::u16string& text, const char16_t* caption, uint32_t type) override {
        boxes.push_back({text, caption != nullptr, caption ? caption : u"", type});
        return 1;
    }
    void ShowWindow(bool show) override { visible = show; }
    bool IsWindowVisible() override { return visible; }
    void CenterWindow() override { centred = true; }
    void PlaceWindow(int x, int y, int w, int h) override {
        placeX = x, placeY = y, placeW = w, placeH = h;
    }
    void WindowOrigin(int* x, int* y) override { *x = originX, *y = originY; }
    void SetTitle(const std::u16string& text) override { title = text; }
    void SetWindowIcon(ResourceModule&, uint16_t) override {}
    void SetColorKeyShape(const Rgb&) override { colorKey = true; }
    void Present(const Raster& picture, int x, int y, int w, int h) override {
        screen.BlitPart(picture, x, y, x, y, w, h);
    }
    bool HasUpdateRegion() override { return updatePending; }
    bool RegisterAudioInterfaceNotifications() override { return notifications = true; }
    bool NotifyIcon(TrayAction action, ResourceModule&, uint16_t iconId, const std::u16string&,
                    uint32_t) override {
        const char* names[] = {"add", "modify", "delete"};
        trayLog.push_back(std::string(names[static_cast<int>(action)]) + " " +
                          std::to_string(iconId));
        trayIcon = action == TrayAction::Delete ? 0 : iconId;
        return true;
    }
    void TrackPopupMenu(const PopupMenuItem& menu) override { menus.push_back(menu); }
    void SetHandCursor() override { ++handCursors; }
    void CursorPos(int* x, int* y) override { *x = 700, *y = 500; }
    void SetTimer(uint32_t id, uint32_t ms) override { timers[id] = ms; }
    void KillTimer(uint32_t id) override { timers.erase(id); }
    void PostQuit(int code) override { quits.push_back(code); }
    void PostPanelNotification(uint32_t code) override { posted.push_back(code); }
    std::vector<uint32_t> posted;
};

// Wave-in devices by name; what the monitor queued and whether it is open.
class FakeWaveIn : public WaveInPorts {
  public:
    std::vector<std::u16string> devices;
    bool openFails = false;
    uint32_t openedDevice = 0;
    bool open = false, started = false;
    int queued = 0, beeps = 0, unprepared = 0;

    uint32_t DeviceCount() override { return static_cast<uint32_t>(devices.size()); }
    bool ProductName(uint32_t device, std::u16string* name) override {
        if (device >= devices.size())
            return false;
        *name = devices[device];
        return true;
    }
    bool Open(uint32_t device, uint32_t rate, uint16_t bits, uint16_t channels) override {
        if (openFails || rate != 8000 || bits != 8 || channels != 1)
            return false;
        openedDevice = device;
        return open = true;
    }
    bool Queue(int, uint8_t*, uint32_t size) override {
        queued += size == 400;
        return open;
    }
    bool Start() override { return started = open; }
    void ResetAndClose() override { open = started = false; }
    void Unprepare(int) override { ++unprepared; }
    void Beep() override { ++beeps; }
};

// USB hubs with ports, DirectSound's lists and the two default wave devices.
class FakeDiscovery : public DiscoveryPorts {
  public:
    struct Port {
        uint16_t vendor, product;
        uint32_t status = 1;
        uint16_t address = 2;
    };
    struct Hub {
        std::vector<Port> ports;
        bool opens = true;
    };
    std::vector<Hub> hubs;
    bool setAvailable = true;
    std::vector<SoundDevice> playback, capture;
    std::u16string waveOut, waveIn;
    bool waveFails = false;
    int openHubs = 0;

    bool OpenHubInterfaces() override { return setAvailable; }
    int HubInterfacePath(uint32_t index, std::u16string* path) override {
        if (index >= hubs.size())
            return -1;
        *path = u"\\\\?\\usb#root_hub#" + std::u16string(1, static_cast<char16_t>(u'0' + index));
        return 1;
    }
    void CloseHubInterfaces() override {}
    Handle OpenHub(const std::u16string& path) override {
        const size_t index = static_cast<size_t>(path.back() - u'0');
        if (index >= hubs.size() || !hubs[index].opens)
            return kInvalidHandle;
        ++openHubs;
        return static_cast<Handle>(index);
    }
    bool HubRequest(Handle hub, uint32_t code, uint8_t* buffer, uint32_t size) override;
    void CloseHub(Handle) override { --openHubs; }
    void EnumerateSoundDevices(bool isCapture,
                               const std::function<void(const SoundDevice*)>& callback) override {
        callback(nullptr);
        for (const SoundDevice& device : isCapture ? capture : playback)
            callback(&device);
    }
    bool WaveOutName(std::u16string* name) override {
        *name = waveOut;
        return !waveFails;
    }
    bool WaveInName(std::u16string* name) override {
        *name = waveIn;
        return !waveFails;
    }

    // One supported headset on the first hub, default for both directions.
    void PlugHeadset(uint16_t product = 0x1607);
};

class FakeMicrophone : public MicrophonePorts {
  public:
    bool endpoint = false;
    uint32_t volume = 50, mute = 0, boost = 0;
    int registered = 0;
    int GetMicVolume(const std::u16string&, uint32_t* v) override { return Get(volume, v); }
    int SetMicVolume(const std::u16string&, uint32_t v) override { return Set(volume, v); }
    int GetMicMute(const std::u16string&, uint32_t* v) override { return Get(mute, v); }
    int SetMicMute(const std::u16string&, uint32_t v) override { return Set(mute, v); }
    int GetMicBoost(const std::u16string&, uint32_t* v) override { return Get(boost, v); }
    int SetMicBoost(const std::u16string&, uint32_t v) override { return Set(boost, v); }
    int RegisterMicCallbacks(const std::u16string&) override {
        return endpoint ? (registered = 1, 0) : 1;
    }
    int UnregisterMicCallbacks(const std::u16string&) override {
        return endpoint ? (registered = 0, 0) : 1;
    }
    int MixerMicControl(int, uint32_t*, uint32_t*, uint32_t*) override { return 0; }

  private:
    int Get(uint32_t field, uint32_t* out) {
        if (!endpoint)
            return 1;
        *out = field;
        return 0;
    }
    int Set(uint32_t& field, uint32_t value) {
        if (!endpoint)
            return 1;
        field = value;
        return 0;
    }
};

// HKEY_CURRENT_USER as a tree of keys with DWORD (or other, unreadable) values.
class FakeRegistry : public PanelRegistry {
  public:
    struct Node {
        std::map<std::u16string, std::unique_ptr<Node>> keys;        // sorted, as enumeration is
        std::map<std::u16string, std::pair<bool, uint32_t>> values;  // (is a DWORD, value)
    };
    Node root;
    bool failWrites = false;
    int openKeys = 0;

    long OpenUserKey(const std::u16string& path, Key* key) override {
        return Walk(&root, path, false, key);
    }
    long CreateUserKey(const std::u16string& path, Key* key) override {
        return Walk(&root, path, true, key);
    }
    long OpenSubKey(Key parent, const std::u16string& name, Key* key) override {
        return Walk(reinterpret_cast<Node*>(parent), name, false, key);
    }
    long CreateSubKey(Key parent, const std::u16string& name, Key* key) override {
        if (name.empty() || name.size() > 255)
            return 161;  // ERROR_BAD_PATHNAME
        return Walk(reinterpret_cast<Node*>(parent), name, true, key);
    }
    long EnumSubKey(Key key, uint32_t index, std::u16string* name) override {
        Node* node = reinterpret_cast<Node*>(key);
        if (index >= node->keys.size())
            return 259;  // ERROR_NO_MORE_ITEMS
        auto it = node->keys.begin();
        std::advance(it, index);
        *name = it->first;
        return 0;
    }
    long QueryDword(Key key, const std::u16string& name, uint32_t* value) override {
        Node* node = reinterpret_cast<Node*>(key);
        const auto it = node->values.find(name);
        if (it == node->values.end() || !it->second.first)
            return 2;
        *value = it->second.second;
        return 0;
    }
    long SetDword(Key key, const std::u16string& name, uint32_t value) override {
        if (failWrites)
            return 5;
        reinterpret_cast<Node*>(key)->values[name] = {true, value};
        return 0;
    }
    long DeleteSubKey(Key parent, const std::u16string& name) override {
        Node* node = reinterpret_cast<Node*>(parent);
        const auto it = node->keys.find(name);
        if (it == node->keys.end() || !it->second->keys.empty())
            return 5;  // a key with subkeys is not deleted, as RegDeleteKey refuses it
        node->keys.erase(it);
        return 0;
    }
    void CloseKey(Key) override { --openKeys; }

    Node* Find(const std::u16string& path) {
        Key key = 0;
        if (Walk(&root, path, false, &key) != 0)
            return nullptr;
        --openKeys;
        return reinterpret_cast<Node*>(key);
    }

  private:
    long Walk(Node* node, const std::u16string& path, bool create, Key* key) {
        size_t start = 0;
        while (start <= path.size()) {
            const size_t end = std::min(path.find(u'\\', start), path.size());
            const std::u16string part = path.substr(start, end - start);
            if (!part.empty()) {
                auto it = node->keys.find(part);
                if (it == node->keys.end()) {
                    if (!create)
                        return 2;  // ERROR_FILE_NOT_FOUND
                    it = node->keys.emplace(part, std::make_unique<Node>()).first;
                }
                node = it->second.get();
            }
            start = end + 1;
        }
        ++openKeys;
        *key = reinterpret_cast<Key>(node);
        return 0;
    }
};

// A modal dialog with the controls of the preset template, answered by a script.
class FakeDialogs : public ModalDialogHost, public DialogControls {
  public:
    // "select NAME", "type TEXT", "ok", "cancel"
    std::deque<std::string> script;
    std::u16string title, okText;
    std::vector<std::u16string> list;
    int selection = -1;
    std::u16string edit;
    bool okEnabled = true, editShown = false;
    int moveX = 0, moveY = 0, runs = 0;
    std::vector<bool> okStates;  // OK's state whenever the script acted

    int RunModal(ResourceModule&, uint16_t templateId, const Handlers& handlers) override {
        if (templateId != 1074)
            return -1;
        ++runs;
        list.clear();
        selection = -1;
        edit.clear();
        editShown = false;
        handlers.onInit(*this);
        while (!script.empty()) {
            const std::string step = script.front();
            script.pop_front();
            okStates.push_back(okEnabled);
            if (step == "ok") {
                if (!okEnabled)
                    continue;  // a greyed button cannot be clicked
                handlers.onOk(*this);
                return 1;
            }
            if (step == "cancel")
                return 2;
            if (step.rfind("select ", 0) == 0) {
                const std::u16string name(step.begin() + 7, step.end());
                for (size_t i = 0; i < list.size(); ++i)
                    if (list[i] == name)
                        selection = static_cast<int>(i);
                handlers.onCommand(*this, 1000, 1);
            } else if (step.rfind("type ", 0) == 0) {
                edit.assign(step.begin() + 5, step.end());
                handlers.onCommand(*this, 1001, 0x300);
            }
        }
        return 2;
    }
    void SetTitle(const std::u16string& text) override { title = text; }
    void SetItemText(int id, const std::u16string& text) override {
        if (id == 1)
            okText = text;
        else if (id == 1001)
            edit = text;
    }
    std::u16string ItemText(int id) override { return id == 1001 ? edit : u""; }
    void EnableItem(int id, bool enable) override {
        if (id == 1)
            okEnabled = enable;
    }
    void ShowItem(int id, bool show) override {
        if (id == 1001)
            editShown = show;
    }
    void ListAdd(int, const std::u16string& text) override {
        list.insert(std::upper_bound(list.begin(), list.end(), text), text);
    }
    int ListSelection(int) override { return selection; }
    std::u16string ListText(int, int index) override {
        return index >= 0 && index < static_cast<int>(list.size()) ? list[index] : u"";
    }
    void MoveTo(int x, int y) override { moveX = x, moveY = y; }
};

// Every fake, wired as the panel's entry code would wire the real ports.
struct FakeMachine {
    FakeSystem system;
    FakeShell shell;
    FakeDiscovery discovery;
    FakeDriver driver;
    FakeMicrophone mic;
    FakeRegistry registry;
    FakeDialogs dialogs;
    FakeWaveIn waveIn;
    PanelPorts Ports() {
        return PanelPorts{system, shell, discovery, driver, mic, registry, dialogs, waveIn};
    }
};

// The main dialog over a fake machine, with the machine's parts at hand.
struct FakePanel {
    FakeMachine machine;
    FakeSystem& system = machine.system;
    FakeShell& shell = machine.shell;
    FakeDiscovery& discovery = machine.discovery;
    FakeDriver& driver = machine.driver;
    FakeMicrophone& mic = machine.mic;
    FakeRegistry& registry = machine.registry;
    FakeDialogs& dialogs = machine.dialogs;
    CQEXAudioControlDlg dlg{machine.Ports()};
};

}  // namespace panel_test
