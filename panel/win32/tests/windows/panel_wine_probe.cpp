// What the Wine test does to a running panel from outside, as Explorer and the installer
// would: find its window, double-click its tray icon, read and answer the message box that
// follows, and send the registered exit message.
//   panel_wine_probe window            prints window=shown|hidden; exit 1 when there is none
//   panel_wine_probe tray-dblclick     prints messagebox text="..." for the box that follows
//   panel_wine_probe exit              posts "WM_QEX4410APP_EXIT" to the window
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kTitle[] = L"QEX USB Ampfx Suite";

void PrintUtf8(const char* prefix, const std::wstring& text, const char* suffix) {
    char bytes[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes, sizeof bytes - 1, nullptr, nullptr);
    std::printf("%s%s%s\n", prefix, bytes, suffix);
    std::fflush(stdout);
}

// A message box belonging to the panel's process: a dialog window of the same process as the
// panel's window, other than the panel itself.
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
        std::wcscmp(className, L"#32770") == 0 && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

int AnswerMessageBox(HWND panel) {
    BoxSearch search{0, panel, nullptr};
    GetWindowThreadProcessId(panel, &search.process);
    for (int tries = 0; tries < 100 && search.found == nullptr; ++tries) {
        Sleep(100);
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
    }
    if (search.found == nullptr) {
        std::printf("messagebox none\n");
        return 1;
    }
    wchar_t text[512] = {};
    GetDlgItemTextW(search.found, 0xFFFF, text, 512);  // the box's static text
    PrintUtf8("messagebox text=\"", text, "\"");
    SendMessageW(search.found, WM_COMMAND, IDOK, 0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return 2;
    const std::wstring command = argv[1];
    HWND panel = FindWindowW(nullptr, kTitle);
    if (panel == nullptr) {
        std::printf("window=none\n");
        return 1;
    }
    if (command == L"window") {
        std::printf("window=%s\n", IsWindowVisible(panel) ? "shown" : "hidden");
        return 0;
    }
    if (command == L"tray-dblclick") {
        // Explorer's callback for a double-click: the icon's message, lParam the mouse message.
        PostMessageW(panel, 0x410, 0, WM_LBUTTONDBLCLK);
        return AnswerMessageBox(panel);
    }
    if (command == L"exit") {
        PostMessageW(panel, RegisterWindowMessageA("WM_QEX4410APP_EXIT"), 0, 0);
        return 0;
    }
    return 2;
}
