// panel_pages.exe: the panel with every real Win32 port except discovery and the driver link,
// which are scripted with one headset present, so that its four pages can be seen where no
// headset can ever be (Wine). A conductor thread clicks the tabs as a user would and for each
// page writes the picture the painters composed (page-N.bmp) and the window's place on the
// screen (page-N.txt), then waits for the screenshot (shot-N.done) before it goes on; on the 3D
// page it opens the virtual 7.1 window for its screenshot too. Then it opens the tray menu and
// writes down its items, chooses the skin from it, and sends the exit message. On the equalizer
// page it clicks the Rock preset and writes down the driver's gains and the settings file the
// release saved; started again with --settings it writes down the gains the start-up loaded
// from that file into the driver and the knobs, and ends.
//   panel_pages.exe -QEXUAC [--settings] OUTPUT_FOLDER
#include "win32_api.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "audio_control_app.h"
#include "microphone_win32.h"
#include "modal_dialogs_win32.h"
#include "panel_fakes.h"
#include "panel_shell_win32.h"
#include "panel_registry_win32.h"
#include "panel_system_win32.h"
#include "raster.h"
#include "test_sound_win32.h"
#include "virtual71_window_win32.h"
#include "wave_in_win32.h"

namespace {

constexpr wchar_t kTitle[] = L"QEX USB Ampfx Suite";

// The real shell, keeping a copy of every whole picture it puts on the screen.
class RecordingShell : public Win32PanelShell {
  public:
    explicit RecordingShell(PanelSystem& system) : Win32PanelShell(system) {
        InitializeCriticalSection(&lock_);
    }
    ~RecordingShell() override { DeleteCriticalSection(&lock_); }
    void Present(const Raster& picture, int x, int y, int w, int h) override {
        Win32PanelShell::Present(picture, x, y, w, h);
        if (x == 0 && y == 0 && w == picture.width() && h == picture.height()) {
            EnterCriticalSection(&lock_);
            last_ = picture;
            ++wholePictures_;
            LeaveCriticalSection(&lock_);
        }
    }
    Raster Last() {
        EnterCriticalSection(&lock_);
        Raster copy = last_;
        LeaveCriticalSection(&lock_);
        return copy;
    }

    int WholePictures() {
        EnterCriticalSection(&lock_);
        const int count = wholePictures_;
        LeaveCriticalSection(&lock_);
        return count;
    }

  private:
    CRITICAL_SECTION lock_;
    Raster last_;
    int wholePictures_ = 0;
};

bool WriteBytes(const std::wstring& path, const void* data, size_t size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
    return ok && written == size;
}

bool WriteBmp(const std::wstring& path, const Raster& picture) {
    const std::vector<uint8_t> dib = EncodeDib24(picture);
    std::vector<uint8_t> file(14, 0);
    const uint32_t total = static_cast<uint32_t>(14 + dib.size()), offset = 14 + 40;
    file[0] = 'B';
    file[1] = 'M';
    for (int i = 0; i < 4; ++i) {
        file[2 + i] = static_cast<uint8_t>(total >> (8 * i));
        file[10 + i] = static_cast<uint8_t>(offset >> (8 * i));
    }
    file.insert(file.end(), dib.begin(), dib.end());
    return WriteBytes(path, file.data(), file.size());
}

struct BoxSearch {
    DWORD process;
    HWND panel;
    HWND found;
};

BOOL CALLBACK FindBox(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<BoxSearch*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (window != search->panel && process == search->process &&
        std::wstring(className) == L"#32770" && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Answers the panel's message box when one comes within `ms`; returns its text.
std::wstring AnswerBox(HWND panel, int ms) {
    BoxSearch search{GetCurrentProcessId(), panel, nullptr};
    for (int waited = 0; waited < ms && search.found == nullptr; waited += 100) {
        Sleep(100);
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    }
    if (search.found == nullptr)
        return L"";
    wchar_t text[512] = {};
    GetDlgItemTextW(search.found, 0xFFFF, text, 512);
    SendMessageW(search.found, WM_COMMAND, IDOK, 0);
    return text;
}

std::string Narrow(const std::wstring& text) {
    char bytes[512] = {};
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes, 511, nullptr, nullptr);
    return bytes;
}

// The tray menu as Windows holds it, one line per item: "menu DEPTH text [id] checked".
void DescribeMenu(HMENU menu, int depth, std::vector<std::string>* lines) {
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[128] = {};
        MENUITEMINFOW item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_ID | MIIM_STATE | MIIM_SUBMENU | MIIM_FTYPE | MIIM_STRING;
        item.dwTypeData = text;
        item.cch = 127;
        if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &item))
            continue;
        std::string line = "menu " + std::to_string(depth) + " ";
        if (item.fType & MFT_SEPARATOR)
            line += "separator";
        else if (item.hSubMenu != nullptr)
            line += Narrow(text) + " >";
        else
            line += Narrow(text) + " [" + std::to_string(item.wID) + "]" +
                    ((item.fState & MFS_CHECKED) ? " checked" : "");
        lines->push_back(line);
        if (item.hSubMenu != nullptr)
            DescribeMenu(item.hSubMenu, depth + 1, lines);
    }
}

struct MenuSearch {
    DWORD process;
    HWND found;
};

BOOL CALLBACK FindMenuWindow(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<MenuSearch*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (process == search->process && std::wstring(className) == L"#32768" &&
        IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

void Log(const std::wstring& folder, const std::string& line) {
    static std::string all;
    all += line + "\n";
    WriteBytes(folder + L"\\pages.log", all.data(), all.size());
}

// What the interface thread takes out of its queue: the panel's notification to its window.
volatile LONG notificationsSeen = 0;

LRESULT CALLBACK WatchQueue(int code, WPARAM removed, LPARAM lParam) {
    const auto* message = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && removed == PM_REMOVE && message->message == WM_APP + 1 &&
        message->wParam == kNotifyControlChange && message->hwnd == FindWindowW(nullptr, kTitle))
        InterlockedIncrement(&notificationsSeen);
    return CallNextHookEx(nullptr, code, removed, lParam);
}

struct Conductor {
    std::wstring folder;
    RecordingShell* shell;
    panel_test::FakeDriver* driver;
    CQEXAudioControlDlg* dialog;
    bool settingsOnly;
};

std::string Gains(const float* gains) {
    std::string line;
    for (int band = 0; band < 10; ++band) {
        char value[32];
        std::snprintf(value, sizeof value, "%s%.9g", band == 0 ? "" : " ",
                      static_cast<double>(gains[band]));
        line += value;
    }
    return line;
}

// The settings file as the panel's release left it, read with nothing of the panel's code.
void LogSettingsFile(const std::wstring& folder) {
    wchar_t data[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, data) != S_OK) {
        Log(folder, "settings file none");
        return;
    }
    const std::wstring path = std::wstring(data) + L"\\QEXAudioEQAndMicData.dat";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Log(folder, "settings file none");
        return;
    }
    unsigned char bytes[128] = {};
    DWORD got = 0;
    ReadFile(file, bytes, sizeof bytes, &got, nullptr);
    CloseHandle(file);
    float gains[10] = {};
    if (got >= 40)
        std::memcpy(gains, bytes, 40);
    Log(folder, "settings file bytes=" + std::to_string(got) + " gains=" + Gains(gains));
}

void LogKnobs(const std::wstring& folder, const std::string& tag, CQEXAudioControlDlg* dialog) {
    std::string line = tag + " knobs=";
    for (int band = 0; band < 10; ++band)
        line += (band == 0 ? "" : " ") + std::to_string(dialog->KnobPointers[band]->y);
    Log(folder, line);
}

// What the start-up took from the settings file: the driver's gains and the knobs.
void ConductSettingsCheck(const Conductor& conductor) {
    HWND panel = nullptr;
    for (int tries = 0; tries < 300 && panel == nullptr; ++tries) {
        Sleep(100);
        panel = FindWindowW(nullptr, kTitle);
    }
    if (panel != nullptr) {
        SendMessageW(panel, WM_NULL, 0, 0);
        Log(conductor.folder, "loaded driver gains=" + Gains(conductor.driver->gains));
        LogKnobs(conductor.folder, "loaded", conductor.dialog);
        PostMessageW(panel, RegisterWindowMessageA("WM_QEX4410APP_EXIT"), 0, 0);
    } else {
        Log(conductor.folder, "no window");
    }
}

void LogTrayMenu(const std::wstring& folder, HWND panel, const std::string& tag) {
    PostMessageW(panel, 0x410, 0, WM_RBUTTONDOWN);
    MenuSearch search{GetCurrentProcessId(), nullptr};
    for (int waited = 0; waited < 10000 && search.found == nullptr; waited += 100) {
        Sleep(100);
        EnumWindows(FindMenuWindow, reinterpret_cast<LPARAM>(&search));
    }
    if (search.found == nullptr) {
        Log(folder, tag + " menu none");
        return;
    }
    const auto menu = reinterpret_cast<HMENU>(SendMessageW(search.found, MN_GETHMENU, 0, 0));
    std::vector<std::string> lines;
    if (menu != nullptr)
        DescribeMenu(menu, 0, &lines);
    for (const std::string& line : lines)
        Log(folder, tag + " " + line);
    SendMessageW(panel, WM_CANCELMODE, 0, 0);
    // The menu has gone when its window has.
    for (int waited = 0; waited < 5000 && IsWindowVisible(search.found); waited += 100)
        Sleep(100);
}

// The virtual 7.1 window, opened by its button on the 3D page as a user clicks it: its place
// (v71.txt) for the screenshot (v71.done), what the driver was sent, then the button again
// closes it and the effect goes off.
void ShowVirtual71(const Conductor& conductor, HWND panel) {
    const std::wstring& folder = conductor.folder;
    const LPARAM button = MAKELPARAM(447, 104);
    SendMessageW(panel, WM_LBUTTONDOWN, MK_LBUTTON, button);
    SendMessageW(panel, WM_LBUTTONUP, 0, button);
    BoxSearch search{GetCurrentProcessId(), panel, nullptr};
    for (int waited = 0; waited < 5000 && search.found == nullptr; waited += 100) {
        Sleep(100);
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    }
    if (search.found == nullptr) {
        Log(folder, "virtual71 window=none");
        return;
    }
    SendMessageW(panel, WM_NULL, 0, 0);
    Sleep(1500);  // the bars and labels drawn, the X server settled
    RECT frame = {};
    GetWindowRect(search.found, &frame);
    char place[96];
    const int length = std::snprintf(place, sizeof place, "%ld %ld %ld %ld\n", frame.left,
                                     frame.top, frame.right - frame.left, frame.bottom - frame.top);
    WriteBytes(folder + L"\\v71.txt", place, static_cast<size_t>(length));
    Log(folder, "virtual71 window=shown size=" + std::to_string(frame.right - frame.left) + "x" +
                    std::to_string(frame.bottom - frame.top) +
                    " driver=" + std::to_string(conductor.driver->virtual71) +
                    " sends=" + std::to_string(conductor.driver->virtual71Sends));
    const std::wstring done = folder + L"\\v71.done";
    for (int waited = 0; waited < 60000; waited += 100) {
        if (GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(100);
    }
    SendMessageW(panel, WM_LBUTTONDOWN, MK_LBUTTON, button);
    SendMessageW(panel, WM_LBUTTONUP, 0, button);
    SendMessageW(panel, WM_NULL, 0, 0);
    Log(folder, std::string("virtual71 closed window=") +
                    (IsWindow(search.found) && IsWindowVisible(search.found) ? "shown" : "gone") +
                    " driver=" + std::to_string(conductor.driver->virtual71));
}

void Conduct(const Conductor& conductor) {
    const std::wstring& folder = conductor.folder;
    RecordingShell* shell = conductor.shell;
    HWND panel = nullptr;
    for (int tries = 0; tries < 300 && (panel == nullptr || !IsWindowVisible(panel)); ++tries) {
        Sleep(100);
        panel = FindWindowW(nullptr, kTitle);
    }
    if (panel == nullptr) {
        Log(folder, "no window");
        return;
    }
    struct Tab {
        int x, y;
        bool expectBox;
    };
    // EQ is the page the panel opens on; then EFFT, MIC and 3D by their tabs. The 3D page's
    // test sound plays through Wine's DirectSound on the null sound device, so no page
    // expects a message box; one that comes anyway is written down and answered.
    const Tab tabs[4] = {{0, 0, false}, {491, 46, false}, {542, 46, false}, {592, 46, true}};
    for (int page = 0; page < 4; ++page) {
        if (page > 0) {
            const LPARAM at = MAKELPARAM(tabs[page].x, tabs[page].y);
            PostMessageW(panel, WM_LBUTTONDOWN, MK_LBUTTON, at);
            PostMessageW(panel, WM_LBUTTONUP, 0, at);
        }
        // DirectSound's own failure would come first, then the page's.
        for (int box = 0; tabs[page].expectBox && box < 2; ++box) {
            const std::wstring text = AnswerBox(panel, 2000);
            if (text.empty())
                break;
            Log(folder, "messagebox text=\"" + Narrow(text) + "\"");
        }
        SendMessageW(panel, WM_NULL, 0, 0);
        Sleep(1500);  // the screen settles: the box's area repainted, the X server drawn
        SendMessageW(panel, WM_NULL, 0, 0);
        const std::wstring stem = folder + L"\\page-" + std::to_wstring(page);
        WriteBmp(stem + L".bmp", shell->Last());
        RECT frame = {};
        GetWindowRect(panel, &frame);
        char place[96];
        const int length =
            std::snprintf(place, sizeof place, "%ld %ld %ld %ld\n", frame.left, frame.top,
                          frame.right - frame.left, frame.bottom - frame.top);
        WriteBytes(stem + L".txt", place, static_cast<size_t>(length));
        Log(folder, "page " + std::to_string(page) + " ready");
        const std::wstring done = folder + L"\\shot-" + std::to_wstring(page) + L".done";
        for (int waited = 0; waited < 60000; waited += 100) {
            if (GetFileAttributesW(done.c_str()) != INVALID_FILE_ATTRIBUTES)
                break;
            Sleep(100);
        }
        if (page == 0) {
            // The Rock preset, pressed and released as a user clicks it: the release sends
            // its gains and saves the settings.
            const LPARAM rock = MAKELPARAM(93, 381);
            // Sent, not posted: a sent message overtakes posted ones, so a posted click could
            // still be waiting when the file is read.
            SendMessageW(panel, WM_LBUTTONDOWN, MK_LBUTTON, rock);
            SendMessageW(panel, WM_LBUTTONUP, 0, rock);
            Log(folder, "rock driver gains=" + Gains(conductor.driver->gains));
            LogKnobs(folder, "rock", conductor.dialog);
            LogSettingsFile(folder);
        }
        if (page == 3)
            ShowVirtual71(conductor, panel);
        if (page == 2) {
            // The microphone monitor records through wave-in, whose buffers come back to the
            // window and redraw the page's level.
            const int quietStart = shell->WholePictures();
            Sleep(1000);
            Log(folder, std::string("microphone monitor redraws=") +
                            (shell->WholePictures() > quietStart ? "yes" : "no"));
            // A change Windows reports on another thread: posted from this one, it must come
            // out of the window's queue on the interface thread.
            HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, WatchQueue, nullptr,
                                           GetWindowThreadProcessId(panel, nullptr));
            notificationsSeen = 0;
            shell->PostPanelNotification(kNotifyControlChange);
            for (int waited = 0; waited < 5000 && notificationsSeen == 0; waited += 100)
                Sleep(100);
            if (hook != nullptr)
                UnhookWindowsHookEx(hook);
            Log(folder,
                std::string("notification delivered=") + (notificationsSeen > 0 ? "yes" : "no"));
        }
    }
    // The tray menu, as a right click on the icon opens it, before and after the skin is
    // chosen from it.
    LogTrayMenu(folder, panel, "before");
    PostMessageW(panel, WM_COMMAND, 32900, 0);
    SendMessageW(panel, WM_NULL, 0, 0);
    Sleep(500);
    Log(folder, std::string("after the skin switch window=") +
                    (IsWindowVisible(panel) ? "shown" : "hidden"));
    LogTrayMenu(folder, panel, "after");
    PostMessageW(panel, RegisterWindowMessageA("WM_QEX4410APP_EXIT"), 0, 0);
}

DWORD WINAPI ConductorThread(LPVOID context) {
    auto* conductor = static_cast<Conductor*>(context);
    if (conductor->settingsOnly)
        ConductSettingsCheck(*conductor);
    else
        Conduct(*conductor);
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const std::wstring folder = argc > 1 ? argv[argc - 1] : L".";
    bool settingsOnly = false;
    for (int i = 1; i < argc - 1; ++i)
        settingsOnly = settingsOnly || std::wstring(argv[i]) == L"--settings";

    Win32PanelSystem system;
    RecordingShell shell(system);
    panel_test::FakeDiscovery discovery;
    discovery.PlugHeadset();
    panel_test::FakeDriver driver;
    Win32Microphone microphone(shell);
    Win32PanelRegistry registry;
    Win32ModalDialogs dialogs(shell);
    Win32WaveIn waveIn(shell);
    CQEXAudioControlDlg dialog(PanelPorts{system, shell, discovery, driver, microphone.Ports(),
                                          registry, dialogs, waveIn});
    shell.AttachDialog(&dialog);
    CQEXAudioControlApp app(system, shell, dialog);

    INITCOMMONCONTROLSEX controls = {sizeof controls, 0xFF};
    InitCommonControlsEx(&controls);
    if (!app.InitInstance())
        return app.ExitInstance(0);
    // As in the program: the test sound and the 7.1 window belong to the main window.
    Win32TestSoundPorts sound(shell.Window());
    Win32Virtual71Window virtual71(shell.Window(), dialog.Virtual71Window);
    dialog.SetTestSoundPorts(&sound, &virtual71);

    Conductor conductor{folder, &shell, &driver, &dialog, settingsOnly};
    HANDLE thread = CreateThread(nullptr, 0, ConductorThread, &conductor, 0, nullptr);
    MSG message;
    int quitCode = 0;
    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) {
            quitCode = static_cast<int>(message.wParam);
            break;
        }
        if (got == -1)
            break;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    return app.ExitInstance(quitCode);
}
