// Drives a window of another program the way a user's click would: finds the top-level
// window by its title, then the visible, enabled control with the given id among its
// descendants (the wizard's buttons, or a control on the page that shows), and clicks it with
// BM_CLICK. It refuses disabled controls, as a mouse click would do nothing there.
//   wizard_driver.exe click TITLE ID      exit 0 clicked, 2 disabled, 1 not found
//   wizard_driver.exe enabled TITLE       prints the enabled wizard buttons (Back Next Finish
//   Cancel) wizard_driver.exe text TITLE          prints the texts of the window's visible statics
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

namespace {

struct Search {
    int id;
    HWND found;
};

BOOL CALLBACK FindVisibleChild(HWND child, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    if (GetDlgCtrlID(child) == search->id && IsWindowVisible(child)) {
        search->found = child;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK PrintStatic(HWND child, LPARAM) {
    wchar_t className[64];
    wchar_t text[256];
    GetClassNameW(child, className, 64);
    if (IsWindowVisible(child) && _wcsicmp(className, L"Static") == 0 &&
        GetWindowTextW(child, text, 256) > 0)
        wprintf(L"%ls\n", text);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3)
        return 64;
    HWND window = FindWindowW(nullptr, argv[2]);
    if (!window)
        return 1;
    if (wcscmp(argv[1], L"click") == 0 && argc == 4) {
        Search search{_wtoi(argv[3]), nullptr};
        EnumChildWindows(window, FindVisibleChild, reinterpret_cast<LPARAM>(&search));
        if (!search.found)
            return 1;
        if (!IsWindowEnabled(search.found))
            return 2;
        // Posted, not sent: the click may open a modal box, which would block a sent message.
        PostMessageW(search.found, BM_CLICK, 0, 0);
        return 0;
    }
    if (wcscmp(argv[1], L"enabled") == 0) {
        const struct {
            int id;
            const wchar_t* name;
        } buttons[] = {{1000, L"Back"}, {1001, L"Next"}, {1, L"Finish"}, {2, L"Cancel"}};
        for (const auto& button : buttons) {
            HWND control = GetDlgItem(window, button.id);
            if (control && IsWindowEnabled(control))
                wprintf(L"%ls ", button.name);
        }
        wprintf(L"\n");
        return 0;
    }
    if (wcscmp(argv[1], L"text") == 0) {
        EnumChildWindows(window, PrintStatic, 0);
        return 0;
    }
    return 64;
}
