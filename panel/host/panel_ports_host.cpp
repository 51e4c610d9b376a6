#include "panel_ports_host.h"

#include <cstring>

#include "driver_link.h"
#include "host/files_api.h"
#include "host/processes.h"
#include "host/registry.h"
#include "host/text.h"
#include "host/user_io.h"
#include "host/win32_error.h"
#include "raster.h"

namespace panelhost {

using host::Utf16ToUtf8;
using host::Utf8ToUtf16;
namespace user = host::user;

namespace {

host::ResourceId TypeOf(ResourceType type) {
    if (type.name != nullptr)
        return host::ResourceId(std::u16string_view(type.name));
    return host::ResourceId(type.id);
}

constexpr uint32_t kErrorAlreadyExists = 183;

}  // namespace

// --- libraries -------------------------------------------------------------------------------

bool HostResourceModule::FindResource(ResourceType type, uint16_t id, std::vector<uint8_t>* bytes) {
    host::HRSRC resource = modules_.FindResourceW(module_, host::ResourceId(id), TypeOf(type));
    if (resource == nullptr)
        return false;
    host::HGLOBAL data = modules_.LoadResource(module_, resource);
    const uint32_t size = modules_.SizeofResource(module_, resource);
    if (data == nullptr)
        return false;
    const uint8_t* begin = static_cast<const uint8_t*>(host::Modules::LockResource(data));
    bytes->assign(begin, begin + size);
    return true;
}

bool HostResourceModule::CallIsQEXDefaultSkin(int* result) {
    host::FarProc function = modules_.GetProcAddress(module_, "IsQEXDefaultSkin");
    if (!function)
        return false;
    *result = static_cast<int>(function());
    return true;
}

bool HostResourceModule::CallGetResourceName(std::u16string* name) {
    host::FarProc function = modules_.GetProcAddress(module_, "GetResourceName");
    if (!function)
        return false;
    const char16_t* text = reinterpret_cast<const char16_t*>(function());
    name->clear();
    if (text != nullptr)
        for (; *text != u'\0'; ++text)
            name->push_back(*text);
    return true;
}

// --- the process -----------------------------------------------------------------------------

HostPanelSystem::HostPanelSystem(user::UserSession& session, host::Modules& modules,
                                 host::Processes& processes, ResourceModule& own)
    : session_(session), modules_(modules), processes_(processes), own_(own) {}

uint32_t HostPanelSystem::OsMajorVersion() {
    user::OsVersionInfo info;
    info.size = user::kOsVersionInfoSize;
    return session_.shell().GetVersionEx(&info) ? info.major : 0;
}

std::u16string HostPanelSystem::CommandLine() {
    return session_.shell().GetCommandLine();
}

std::u16string HostPanelSystem::CommandLineTail() {
    // What follows the program's own path, as the framework hands it to the program.
    const std::u16string line = CommandLine();
    size_t at = 0;
    if (!line.empty() && line[0] == u'"') {
        const size_t close = line.find(u'"', 1);
        at = close == std::u16string::npos ? line.size() : close + 1;
    } else {
        at = line.find(u' ');
        if (at == std::u16string::npos)
            at = line.size();
    }
    while (at < line.size() && line[at] == u' ')
        ++at;
    return line.substr(at);
}

std::u16string HostPanelSystem::ModuleFileName() {
    std::u16string path;
    session_.shell().GetModuleFileName(260, &path);
    return path;
}

void HostPanelSystem::ShellExecuteRunas(const std::u16string& file, const std::u16string& params) {
    user::ShellExecuteInfo info;
    info.mask = 0x440;
    info.verb = u"runas";
    info.file = file;
    info.parameters = params;
    info.show = 0;
    session_.shell().ShellExecuteEx(&info);
}

bool HostPanelSystem::CreateNamedMutex(const std::u16string& name, bool* alreadyExisted) {
    // The handle stays open for the process's life: the process model closes it at exit.
    const user::Handle handle = session_.objects().CreateMutex(false, name);
    *alreadyExisted = handle != 0 && user::GetLastError() == kErrorAlreadyExists;
    return handle != 0;
}

std::u16string HostPanelSystem::SystemDirectory() {
    std::u16string path;
    session_.shell().GetSystemDirectory(260, &path);
    return path;
}

std::u16string HostPanelSystem::TempPath() {
    std::u16string path;
    session_.shell().GetTempPath(261, &path);
    return path;
}

std::u16string HostPanelSystem::ReadProfileString(const std::u16string& section,
                                                  const std::u16string& key,
                                                  const std::u16string& fallback,
                                                  const std::u16string& file) {
    std::u16string out;
    session_.files().GetPrivateProfileString(&section, &key, fallback, 261, &out, file);
    return out;
}

bool HostPanelSystem::WriteProfileString(const std::u16string& section, const std::u16string& key,
                                         const std::u16string& value, const std::u16string& file) {
    return session_.files().WritePrivateProfileString(&section, &key, &value, file);
}

std::vector<std::u16string> HostPanelSystem::FindFiles(const std::u16string& pattern) {
    std::vector<std::u16string> names;
    user::FindData data;
    const user::Handle find = session_.files().FindFirstFile(pattern, &data);
    if (find == user::kInvalidHandle)
        return names;
    do
        names.push_back(data.fileName);
    while (session_.files().FindNextFile(find, &data));
    session_.files().FindClose(find);
    return names;
}

ResourceModule* HostPanelSystem::LoadLibrary(const std::u16string& path) {
    host::HMODULE module = modules_.LoadLibraryW(path);
    if (module == nullptr)
        return nullptr;
    for (const auto& library : libraries_)
        if (library->Handle() == module)
            return library.get();
    libraries_.push_back(std::make_unique<HostResourceModule>(modules_, module,
                                                              modules_.GetModuleFileNameW(module)));
    return libraries_.back().get();
}

void HostPanelSystem::FreeLibrary(ResourceModule* module) {
    for (const auto& library : libraries_)
        if (library.get() == module)
            modules_.FreeLibrary(library->Handle());
}

bool HostPanelSystem::WriteWholeFile(const std::u16string& path,
                                     const std::vector<uint8_t>& bytes) {
    user::Files& files = session_.files();
    const user::Handle file = files.CreateFile(path, user::kGenericWrite, user::CREATE_ALWAYS);
    if (file == user::kInvalidHandle)
        return false;
    uint32_t written = 0;
    const bool ok =
        files.WriteFile(file, bytes.data(), static_cast<uint32_t>(bytes.size()), &written) &&
        written == bytes.size();
    files.CloseHandle(file);
    return ok;
}

namespace {

class HostFile : public PanelFile {
  public:
    HostFile(user::Files& files, user::Handle handle) : files_(files), handle_(handle) {}
    ~HostFile() override { files_.CloseHandle(handle_); }
    bool Read(void* buffer, uint32_t size, uint32_t* got) override {
        return files_.ReadFile(handle_, buffer, size, got);
    }
    bool Write(const void* buffer, uint32_t size) override {
        uint32_t written = 0;
        return files_.WriteFile(handle_, buffer, size, &written) && written == size;
    }
    bool Seek(uint32_t offset) override { return files_.SetFilePointer(handle_, offset); }

  private:
    user::Files& files_;
    user::Handle handle_;
};

}  // namespace

std::unique_ptr<PanelFile> HostPanelSystem::OpenFile(const std::u16string& path, FileOpen mode) {
    user::Files& files = session_.files();
    const uint32_t access = mode == FileOpen::Read ? user::kGenericRead : user::kGenericWrite;
    const uint32_t creation = mode == FileOpen::Create ? user::CREATE_ALWAYS : user::OPEN_EXISTING;
    const user::Handle handle = files.CreateFile(path, access, creation);
    if (handle == user::kInvalidHandle)
        return nullptr;
    return std::make_unique<HostFile>(files, handle);
}

bool HostPanelSystem::CommonAppDataFolder(std::u16string* folder) {
    // CSIDL_COMMON_APPDATA with CSIDL_FLAG_CREATE: Vista's "ProgramData", and the all-users
    // profile's "Application Data" before it.
    *folder = OsMajorVersion() >= 6 ? u"C:\\ProgramData"
                                    : u"C:\\Documents and Settings\\All Users\\Application Data";
    const uint32_t attributes = session_.files().GetFileAttributes(*folder);
    if (attributes == user::INVALID_FILE_ATTRIBUTES)
        return session_.files().CreateDirectory(*folder);
    return (attributes & user::FILE_ATTRIBUTE_DIRECTORY) != 0;
}

uint32_t HostPanelSystem::TickCount() {
    return session_.desktop().GetTickCount();
}

uint32_t HostPanelSystem::RegisterWindowMessage(const char* name) {
    return session_.desktop().RegisterWindowMessage(Utf8ToUtf16(name));
}

// --- the window ------------------------------------------------------------------------------

HostPanelShell::HostPanelShell(user::Desktop& desktop, WindowProc dialogProc)
    : desktop_(desktop), dialogProc_(std::move(dialogProc)) {}

namespace {

// The style a dialog template asks for (DLGTEMPLATE or DLGTEMPLATEEX).
bool TemplateStyle(const std::vector<uint8_t>& bytes, uint32_t* style, uint32_t* exStyle) {
    auto read32 = [&](size_t at) {
        return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
               (static_cast<uint32_t>(bytes[at + 3]) << 24);
    };
    if (bytes.size() >= 16 && bytes[0] == 1 && bytes[1] == 0 && bytes[2] == 0xFF &&
        bytes[3] == 0xFF) {
        *exStyle = read32(8);
        *style = read32(12);
        return true;
    }
    if (bytes.size() >= 18) {
        *style = read32(0);
        *exStyle = read32(4);
        return true;
    }
    return false;
}

}  // namespace

bool HostPanelShell::CreateMainDialog(ResourceModule& skin, uint16_t templateId) {
    std::vector<uint8_t> bytes;
    uint32_t style = 0, exStyle = 0;
    if (!skin.FindResource(kResourceDialog, templateId, &bytes) ||
        !TemplateStyle(bytes, &style, &exStyle))
        return false;
    user::WindowCreation creation;
    creation.className = u"#32770";
    creation.style = style;
    creation.exStyle = exStyle;
    creation.classStyle = user::CS_DBLCLKS;
    creation.width = 640;
    creation.height = 480;
    creation.dialog = true;
    creation.proc = [this](user::Hwnd hwnd, uint32_t message, user::WParam w, user::LParam l) {
        if (hwnd_ == 0)
            hwnd_ = hwnd;
        return dialogProc_(hwnd, message, w, l);
    };
    const user::Hwnd hwnd = desktop_.CreateWindowEx(creation);
    if (hwnd == 0)
        return false;
    hwnd_ = hwnd;
    return true;
}

int HostPanelShell::MessageBox(const std::u16string& text, const char16_t* caption, uint32_t type) {
    return desktop_.MessageBox(hwnd_, text, caption != nullptr ? caption : u"QX_AudioControl",
                               type);
}

void HostPanelShell::ShowWindow(bool show) {
    desktop_.ShowWindow(hwnd_, show ? user::SW_SHOW : user::SW_HIDE);
}

bool HostPanelShell::IsWindowVisible() {
    return desktop_.IsWindowVisible(hwnd_);
}
void HostPanelShell::CenterWindow() {
    desktop_.CenterWindow(hwnd_);
}

void HostPanelShell::PlaceWindow(int x, int y, int width, int height) {
    desktop_.SetWindowPos(hwnd_, x, y, width, height, user::SWP_NOZORDER);
}

void HostPanelShell::WindowOrigin(int* x, int* y) {
    user::Rect rect;
    desktop_.GetWindowRect(hwnd_, &rect);
    *x = rect.left;
    *y = rect.top;
}

void HostPanelShell::SetTitle(const std::u16string& title) {
    desktop_.SetWindowText(hwnd_, title);
}

void HostPanelShell::SetWindowIcon(ResourceModule& module, uint16_t iconId) {
    // The window keeps whatever icon the module has; the shipped skins carry none.
    std::vector<uint8_t> bytes;
    module.FindResource(kResourceGroupIcon, iconId, &bytes);
}

void HostPanelShell::SetColorKeyShape(const Rgb& key) {
    const int32_t exStyle = desktop_.GetWindowLong(hwnd_, user::GWL_EXSTYLE);
    desktop_.SetWindowLong(
        hwnd_, user::GWL_EXSTYLE,
        static_cast<int32_t>(static_cast<uint32_t>(exStyle) ^ user::WS_EX_LAYERED));
    const uint32_t colorRef = key.r | (key.g << 8) | (static_cast<uint32_t>(key.b) << 16);
    desktop_.SetLayeredWindowAttributes(hwnd_, colorRef, 255, user::LWA_COLORKEY);
}

void HostPanelShell::Present(const Raster& picture, int x, int y, int w, int h) {
    if (picture.empty() || w <= 0 || h <= 0)
        return;
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col) {
            const Rgb c = picture.At(x + col, y + row);
            uint8_t* p = &rgb[(static_cast<size_t>(row) * w + col) * 3];
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    desktop_.PresentPicture(hwnd_, x, y, w, h, rgb.data(), static_cast<size_t>(w) * 3);
}

bool HostPanelShell::HasUpdateRegion() {
    user::Rect rect;
    return desktop_.GetUpdateRect(hwnd_, &rect, false);
}

bool HostPanelShell::RegisterAudioInterfaceNotifications() {
    return desktop_.RegisterDeviceNotification(hwnd_, user::kKsCategoryAudioGuid,
                                               user::DEVICE_NOTIFY_WINDOW_HANDLE) != 0;
}

bool HostPanelShell::NotifyIcon(TrayAction action, ResourceModule& skin, uint16_t iconId,
                                const std::u16string& tip, uint32_t callbackMessage) {
    user::NotifyIconData data;
    data.hwnd = hwnd_;
    data.id = 0;
    data.flags = user::NIF_MESSAGE | user::NIF_ICON | user::NIF_TIP;
    data.callbackMessage = callbackMessage;
    // The icon's identity is the resource it was loaded from, none when the skin lacks it.
    std::vector<uint8_t> bytes;
    data.icon = skin.FindResource(kResourceGroupIcon, iconId, &bytes) ? iconId : 0;
    data.tip = tip;
    const uint32_t message = action == TrayAction::Add      ? user::NIM_ADD
                             : action == TrayAction::Modify ? user::NIM_MODIFY
                                                            : user::NIM_DELETE;
    return desktop_.ShellNotifyIcon(message, data);
}

namespace {

void AppendItems(user::Desktop& desktop, user::HMenu menu, const PopupMenuItem& parent) {
    for (const PopupMenuItem& item : parent.children) {
        if (item.separator) {
            desktop.AppendMenu(menu, user::MF_SEPARATOR, 0, u"");
        } else if (item.popup) {
            const user::HMenu sub = desktop.CreatePopupMenu();
            AppendItems(desktop, sub, item);
            desktop.AppendMenu(menu, user::MF_POPUP | (item.grayed ? user::MF_GRAYED : 0), sub,
                               item.text);
        } else {
            desktop.AppendMenu(menu,
                               user::MF_STRING | (item.checked ? user::MF_CHECKED : 0) |
                                   (item.grayed ? user::MF_GRAYED : 0),
                               item.id, item.text);
        }
    }
}

}  // namespace

void HostPanelShell::TrackPopupMenu(const PopupMenuItem& menu) {
    const user::HMenu popup = desktop_.CreatePopupMenu();
    AppendItems(desktop_, popup, menu);
    desktop_.SetForegroundWindow(hwnd_);
    user::Point cursor;
    desktop_.GetCursorPos(&cursor);
    desktop_.TrackPopupMenu(popup, user::TPM_LEFTBUTTON, cursor.x, cursor.y, hwnd_);
    desktop_.DestroyMenu(popup);
}

void HostPanelShell::SetHandCursor() {
    desktop_.SetCursor(desktop_.LoadCursor(user::IDC_HAND));
}

void HostPanelShell::CursorPos(int* x, int* y) {
    user::Point point;
    desktop_.GetCursorPos(&point);
    *x = point.x;
    *y = point.y;
}

void HostPanelShell::SetTimer(uint32_t id, uint32_t periodMs) {
    desktop_.SetTimer(hwnd_, id, periodMs);
}
void HostPanelShell::KillTimer(uint32_t id) {
    desktop_.KillTimer(hwnd_, id);
}
void HostPanelShell::PostQuit(int code) {
    desktop_.PostQuitMessage(code);
}

void HostPanelShell::PostPanelNotification(uint32_t code) {
    desktop_.PostMessage(hwnd_, 0x8000 + 1, code, 0);  // WM_APP + 1
}

// --- discovery -------------------------------------------------------------------------------

bool HostDiscovery::OpenHubInterfaces() {
    set_ = session_.setup().SetupDiGetClassDevs(&user::kUsbHubGuid,
                                                user::DIGCF_PRESENT | user::DIGCF_DEVICEINTERFACE);
    return set_ != user::kInvalidHandle;
}

int HostDiscovery::HubInterfacePath(uint32_t index, std::u16string* path) {
    user::SetupApi& setup = session_.setup();
    user::DeviceInterfaceData data;
    data.cbSize = setup.InterfaceDataSize();
    if (!setup.SetupDiEnumDeviceInterfaces(set_, user::kUsbHubGuid, index, &data))
        return -1;
    uint32_t required = 0;
    setup.SetupDiGetDeviceInterfaceDetail(set_, data, nullptr, 0, &required);
    // The detail buffer is sized from the required size (the panel's own is 256 bytes).
    if (required < 6)
        return 0;
    std::vector<uint8_t> detail(required, 0);
    const uint32_t cbSize = setup.DetailDataSize();
    std::memcpy(detail.data(), &cbSize, 4);
    if (!setup.SetupDiGetDeviceInterfaceDetail(set_, data, detail.data(), required, nullptr))
        return 0;
    path->clear();
    for (size_t at = 4; at + 1 < detail.size(); at += 2) {
        const char16_t c = static_cast<char16_t>(detail[at] | (detail[at + 1] << 8));
        if (c == u'\0')
            break;
        path->push_back(c);
    }
    return 1;
}

void HostDiscovery::CloseHubInterfaces() {
    if (set_ != user::kInvalidHandle)
        session_.setup().SetupDiDestroyDeviceInfoList(set_);
    set_ = user::kInvalidHandle;
}

DiscoveryPorts::Handle HostDiscovery::OpenHub(const std::u16string& path) {
    host::UserHandle handle = host::kInvalidUserHandle;
    if (host::UserCreateFile(Utf16ToUtf8(path), &handle) != host::kErrorSuccess)
        return kInvalidHandle;
    return static_cast<Handle>(handle);
}

bool HostDiscovery::HubRequest(Handle hub, uint32_t code, uint8_t* buffer, uint32_t size) {
    uint32_t returned = 0;
    return host::UserDeviceIoControl(static_cast<host::UserHandle>(hub), code, buffer, size, buffer,
                                     size, &returned) == host::kErrorSuccess;
}

void HostDiscovery::CloseHub(Handle hub) {
    host::UserCloseHandle(static_cast<host::UserHandle>(hub));
}

void HostDiscovery::EnumerateSoundDevices(bool capture,
                                          const std::function<void(const SoundDevice*)>& callback) {
    session_.audio().DirectSoundEnumerate(
        capture ? user::Flow::Recording : user::Flow::Playback,
        [&](const user::DirectSoundDeviceRecord* record, const std::u16string& description,
            const std::u16string&) {
            if (record == nullptr) {
                callback(nullptr);
            } else {
                SoundDevice device{description, record->interfacePath};
                callback(&device);
            }
            return true;
        });
}

bool HostDiscovery::WaveOutName(std::u16string* name) {
    user::WaveCaps caps;
    if (session_.audio().GetDevCaps(user::Flow::Playback, 0, &caps) != user::MMSYSERR_NOERROR)
        return false;
    *name = caps.name;
    return true;
}

bool HostDiscovery::WaveInName(std::u16string* name) {
    user::WaveCaps caps;
    if (session_.audio().GetDevCaps(user::Flow::Recording, 0, &caps) != user::MMSYSERR_NOERROR)
        return false;
    *name = caps.name;
    return true;
}

// --- the user's registry ---------------------------------------------------------------------

long HostPanelRegistry::Open(const std::string& path, bool create, Key* key) {
    host::Registry& registry = host::Registry::Machine();
    if (create) {
        const uint32_t error = registry.CreateKey(path);
        if (error != host::kErrorSuccess)
            return static_cast<long>(error);
    } else if (!registry.KeyExists(path)) {
        return static_cast<long>(host::kErrorFileNotFound);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    *key = ++next_;
    keys_[*key] = path;
    return 0;
}

bool HostPanelRegistry::PathOf(Key key, std::string* path) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = keys_.find(key);
    if (it == keys_.end())
        return false;
    *path = it->second;
    return true;
}

long HostPanelRegistry::OpenUserKey(const std::u16string& path, Key* key) {
    return Open("HKCU\\" + Utf16ToUtf8(path), false, key);
}

long HostPanelRegistry::CreateUserKey(const std::u16string& path, Key* key) {
    return Open("HKCU\\" + Utf16ToUtf8(path), true, key);
}

long HostPanelRegistry::OpenSubKey(Key parent, const std::u16string& name, Key* key) {
    std::string base;
    if (!PathOf(parent, &base))
        return static_cast<long>(host::kErrorInvalidHandle);
    return Open(base + "\\" + Utf16ToUtf8(name), false, key);
}

long HostPanelRegistry::CreateSubKey(Key parent, const std::u16string& name, Key* key) {
    std::string base;
    if (!PathOf(parent, &base))
        return static_cast<long>(host::kErrorInvalidHandle);
    return Open(base + "\\" + Utf16ToUtf8(name), true, key);
}

long HostPanelRegistry::EnumSubKey(Key key, uint32_t index, std::u16string* name) {
    std::string path;
    if (!PathOf(key, &path))
        return static_cast<long>(host::kErrorInvalidHandle);
    std::vector<std::string> names;
    const uint32_t error = host::Registry::Machine().EnumKeys(path, &names);
    if (error != host::kErrorSuccess)
        return static_cast<long>(error);
    if (index >= names.size())
        return 259;  // ERROR_NO_MORE_ITEMS
    *name = Utf8ToUtf16(names[index]);
    return 0;
}

long HostPanelRegistry::QueryDword(Key key, const std::u16string& name, uint32_t* value) {
    std::string path;
    if (!PathOf(key, &path))
        return static_cast<long>(host::kErrorInvalidHandle);
    uint32_t type = 0;
    uint32_t size = 4;
    uint32_t data = 0;
    const uint32_t error =
        host::Registry::Machine().QueryValue(path, Utf16ToUtf8(name), &type, &data, &size);
    if (error != host::kErrorSuccess)
        return static_cast<long>(error);
    if (type != 4 || size != 4)  // REG_DWORD
        return 13;               // ERROR_INVALID_DATA
    *value = data;
    return 0;
}

long HostPanelRegistry::SetDword(Key key, const std::u16string& name, uint32_t value) {
    std::string path;
    if (!PathOf(key, &path))
        return static_cast<long>(host::kErrorInvalidHandle);
    return static_cast<long>(host::Registry::Machine().SetDword(path, Utf16ToUtf8(name), value));
}

long HostPanelRegistry::DeleteSubKey(Key parent, const std::u16string& name) {
    std::string base;
    if (!PathOf(parent, &base))
        return static_cast<long>(host::kErrorInvalidHandle);
    return static_cast<long>(host::Registry::Machine().DeleteKey(base + "\\" + Utf16ToUtf8(name)));
}

void HostPanelRegistry::CloseKey(Key key) {
    std::lock_guard<std::mutex> lock(mutex_);
    keys_.erase(key);
}

// --- modal dialogs ---------------------------------------------------------------------------

void HostModalDialogs::QueueAnswer(const std::string& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(answer);
}

std::vector<HostModalDialogs::Shown> HostModalDialogs::TakeShown() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Shown> shown;
    shown.swap(shown_);
    return shown;
}

namespace {

// The controls a modal dialog of the template has, as the handlers reach them.
class TemplateDialog : public DialogControls {
  public:
    std::u16string title;
    std::map<int, std::u16string> texts;
    std::map<int, bool> enabled;
    std::vector<std::u16string> list;
    int selection = -1;

    void SetTitle(const std::u16string& text) override { title = text; }
    void SetItemText(int id, const std::u16string& text) override { texts[id] = text; }
    std::u16string ItemText(int id) override { return texts[id]; }
    void EnableItem(int id, bool enable) override { enabled[id] = enable; }
    void ShowItem(int, bool) override {}
    void ListAdd(int, const std::u16string& text) override {
        auto at = list.begin();
        while (at != list.end() &&
               host::CompareIgnoreCase(Utf16ToUtf8(*at), Utf16ToUtf8(text)) <= 0)
            ++at;
        list.insert(at, text);
    }
    int ListSelection(int) override { return selection; }
    std::u16string ListText(int, int index) override {
        return index >= 0 && index < static_cast<int>(list.size()) ? list[index] : u"";
    }
    void MoveTo(int, int) override {}
};

}  // namespace

int HostModalDialogs::RunModal(ResourceModule& skin, uint16_t templateId,
                               const Handlers& handlers) {
    std::vector<uint8_t> bytes;
    if (!skin.FindResource(kResourceDialog, templateId, &bytes))
        return -1;
    TemplateDialog dialog;
    dialog.enabled[1] = true;
    handlers.onInit(dialog);
    Shown shown;
    shown.title = dialog.title;
    shown.list = dialog.list;
    shown.okEnabled = dialog.enabled[1];
    int result = 2;  // a dialog left without answers is cancelled, as Escape would
    for (;;) {
        std::string answer;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (answers_.empty())
                break;
            answer = answers_.front();
            answers_.pop_front();
        }
        if (answer == "cancel")
            break;
        if (answer == "ok") {
            if (!dialog.enabled[1])
                continue;  // a greyed button takes no click
            handlers.onOk(dialog);
            result = 1;
            break;
        }
        if (answer.rfind("select ", 0) == 0) {
            const std::u16string name = Utf8ToUtf16(answer.substr(7));
            for (size_t i = 0; i < dialog.list.size(); ++i)
                if (dialog.list[i] == name)
                    dialog.selection = static_cast<int>(i);
            handlers.onCommand(dialog, 1000, 1);
        } else if (answer.rfind("type ", 0) == 0) {
            dialog.texts[1001] = Utf8ToUtf16(answer.substr(5));
            handlers.onCommand(dialog, 1001, 0x300);
        }
    }
    shown.result = result;
    std::lock_guard<std::mutex> lock(mutex_);
    shown_.push_back(shown);
    return result;
}

// --- wave-in ---------------------------------------------------------------------------------

uint32_t HostWaveIn::DeviceCount() {
    return session_.audio().GetNumDevs(user::Flow::Recording);
}

bool HostWaveIn::ProductName(uint32_t device, std::u16string* name) {
    user::WaveCaps caps;
    if (session_.audio().GetDevCaps(user::Flow::Recording, device, &caps) != user::MMSYSERR_NOERROR)
        return false;
    *name = caps.name;
    return true;
}

HostWaveIn::~HostWaveIn() {
    ResetAndClose();
}

bool HostWaveIn::Open(uint32_t device, uint32_t samplesPerSecond, uint16_t bitsPerSample,
                      uint16_t channels) {
    if (device_ != nullptr || shell_.Window() == 0)
        return false;
    user::WaveFormat format;
    format.channels = channels;
    format.samplesPerSec = samplesPerSecond;
    format.bitsPerSample = bitsPerSample;
    format.blockAlign = static_cast<uint16_t>(channels * bitsPerSample / 8);
    format.avgBytesPerSec = samplesPerSecond * format.blockAlign;
    return user::WaveIn::Open(session_.desktop(), session_.audio(), device, format, shell_.Window(),
                              &device_) == user::MMSYSERR_NOERROR;
}

bool HostWaveIn::Queue(int index, uint8_t* data, uint32_t size) {
    if (device_ == nullptr || index < 0 || index >= kBuffers)
        return false;
    user::WaveHeader& header = headers_[index];
    if (prepared_[index] && (header.data != data || header.bufferLength != size)) {
        // Another buffer in this slot: the old one goes back first.
        device_->UnprepareHeader(&header);
        prepared_[index] = false;
    }
    if (!prepared_[index]) {
        header = {};
        header.data = data;
        header.bufferLength = size;
        header.user = static_cast<uintptr_t>(index);
        if (device_->PrepareHeader(&header) != user::MMSYSERR_NOERROR)
            return false;
        prepared_[index] = true;
    }
    return device_->AddBuffer(&header) == user::MMSYSERR_NOERROR;
}

bool HostWaveIn::Start() {
    return device_ != nullptr && device_->Start() == user::MMSYSERR_NOERROR;
}

void HostWaveIn::ResetAndClose() {
    if (device_ == nullptr)
        return;
    device_->Reset();
    // As over winmm: the headers can be unprepared only through an open device, and the
    // dialog asks for it after the close has been reported.
    for (int i = 0; i < kBuffers; ++i)
        Unprepare(i);
    device_->Close();
    device_.reset();
    for (bool& prepared : prepared_)
        prepared = false;
}

void HostWaveIn::Unprepare(int index) {
    if (index < 0 || index >= kBuffers || !prepared_[index] || device_ == nullptr)
        return;
    if (device_->UnprepareHeader(&headers_[index]) == user::MMSYSERR_NOERROR)
        prepared_[index] = false;
}

}  // namespace panelhost
