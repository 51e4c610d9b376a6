// In-memory stand-ins for the panel's ports, so the panel's logic can be driven as Windows
// would drive it and its answers read back: a driver with real request semantics, a skin
// built from pictures made here, a machine's files and devices, and a shell that records.
#pragma once

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
    int UnregisterMicCallbacks() override { return endpoint ? (registered = 0, 0) : 1; }
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

}  // namespace panel_test
