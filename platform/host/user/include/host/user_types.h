// The types and numbers of the simulated machine's user session, as Windows' headers give
// them (winuser.h, shellapi.h, dbt.h, winerror.h, mmsystem.h). Text passed to and from the
// session is UTF-16, as the W functions take it; what a scenario reads back for printing is
// UTF-8.
#pragma once

#include <stdint.h>

#include <string>

namespace host::user {

using Hwnd = uint64_t;  // 0 is no window
using WParam = uint64_t;
using LParam = int64_t;
using LResult = int64_t;
using HMenu = uint64_t;    // 0 is no menu
using HCursor = uint64_t;  // 0 is no cursor
using HIcon = uint64_t;    // an icon's identity, as the program that loaded it knows it
using Handle = uint64_t;   // kernel and file objects; kInvalidHandle is INVALID_HANDLE_VALUE
constexpr Handle kInvalidHandle = ~Handle{0};
constexpr Hwnd kHwndBroadcast = 0xFFFF;

struct Point {
    int x = 0;
    int y = 0;
};

struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool Empty() const { return right <= left || bottom <= top; }
    bool Contains(Point p) const {
        return p.x >= left && p.x < right && p.y >= top && p.y < bottom;
    }
};

inline LParam MakeLParam(int low, int high) {
    return static_cast<LParam>(static_cast<uint32_t>((static_cast<uint32_t>(high) & 0xFFFF) << 16 |
                                                     (static_cast<uint32_t>(low) & 0xFFFF)));
}
inline int LowWordSigned(LParam value) {
    return static_cast<int16_t>(static_cast<uint16_t>(value & 0xFFFF));
}
inline int HighWordSigned(LParam value) {
    return static_cast<int16_t>(static_cast<uint16_t>((value >> 16) & 0xFFFF));
}

// A message as GetMessage returns it.
struct Msg {
    Hwnd hwnd = 0;
    uint32_t message = 0;
    WParam wParam = 0;
    LParam lParam = 0;
    uint32_t time = 0;  // milliseconds of the machine's clock
    Point pt;           // the cursor when the message was queued
};

// Window messages.
constexpr uint32_t WM_NULL = 0x0000;
constexpr uint32_t WM_CREATE = 0x0001;
constexpr uint32_t WM_DESTROY = 0x0002;
constexpr uint32_t WM_MOVE = 0x0003;
constexpr uint32_t WM_SIZE = 0x0005;
constexpr uint32_t WM_SETTEXT = 0x000C;
constexpr uint32_t WM_PAINT = 0x000F;
constexpr uint32_t WM_CLOSE = 0x0010;
constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_ERASEBKGND = 0x0014;
constexpr uint32_t WM_SHOWWINDOW = 0x0018;
constexpr uint32_t WM_SETCURSOR = 0x0020;
constexpr uint32_t WM_NCDESTROY = 0x0082;
constexpr uint32_t WM_NCHITTEST = 0x0084;
constexpr uint32_t WM_NCMOUSEMOVE = 0x00A0;
constexpr uint32_t WM_NCLBUTTONDOWN = 0x00A1;
constexpr uint32_t WM_NCLBUTTONUP = 0x00A2;
constexpr uint32_t WM_NCLBUTTONDBLCLK = 0x00A3;
constexpr uint32_t WM_NCRBUTTONDOWN = 0x00A4;
constexpr uint32_t WM_NCRBUTTONUP = 0x00A5;
constexpr uint32_t WM_INITDIALOG = 0x0110;
constexpr uint32_t WM_COMMAND = 0x0111;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_MOUSEMOVE = 0x0200;
constexpr uint32_t WM_LBUTTONDOWN = 0x0201;
constexpr uint32_t WM_LBUTTONUP = 0x0202;
constexpr uint32_t WM_LBUTTONDBLCLK = 0x0203;
constexpr uint32_t WM_RBUTTONDOWN = 0x0204;
constexpr uint32_t WM_RBUTTONUP = 0x0205;
constexpr uint32_t WM_RBUTTONDBLCLK = 0x0206;
constexpr uint32_t WM_DEVICECHANGE = 0x0219;
constexpr uint32_t WM_USER = 0x0400;

// Hit-test answers.
constexpr LResult HTNOWHERE = 0;
constexpr LResult HTCLIENT = 1;
constexpr LResult HTCAPTION = 2;

// Mouse-key flags in wParam of mouse messages.
constexpr WParam MK_LBUTTON = 0x0001;
constexpr WParam MK_RBUTTON = 0x0002;

// Window styles.
constexpr uint32_t WS_POPUP = 0x80000000u;
constexpr uint32_t WS_VISIBLE = 0x10000000u;
constexpr uint32_t WS_EX_LAYERED = 0x00080000u;
constexpr uint32_t WS_EX_APPWINDOW = 0x00040000u;
constexpr uint32_t CS_DBLCLKS = 0x0008;
constexpr int GWL_STYLE = -16;
constexpr int GWL_EXSTYLE = -20;
constexpr uint32_t LWA_COLORKEY = 0x1;
constexpr uint32_t LWA_ALPHA = 0x2;

// ShowWindow commands.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOWNOACTIVATE = 4;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_SHOWNA = 8;
constexpr int SW_RESTORE = 9;

// SetWindowPos flags.
constexpr uint32_t SWP_NOSIZE = 0x0001;
constexpr uint32_t SWP_NOMOVE = 0x0002;
constexpr uint32_t SWP_NOZORDER = 0x0004;
constexpr uint32_t SWP_NOACTIVATE = 0x0010;
constexpr uint32_t SWP_SHOWWINDOW = 0x0040;
constexpr uint32_t SWP_HIDEWINDOW = 0x0080;

// PeekMessage.
constexpr uint32_t PM_NOREMOVE = 0x0000;
constexpr uint32_t PM_REMOVE = 0x0001;

// GetSystemMetrics.
constexpr int SM_CXSCREEN = 0;
constexpr int SM_CYSCREEN = 1;
constexpr int SM_CXDOUBLECLK = 36;
constexpr int SM_CYDOUBLECLK = 37;

// System cursors (LoadCursor with no module).
constexpr uint32_t IDC_ARROW = 32512;
constexpr uint32_t IDC_IBEAM = 32513;
constexpr uint32_t IDC_WAIT = 32514;
constexpr uint32_t IDC_CROSS = 32515;
constexpr uint32_t IDC_SIZEALL = 32646;
constexpr uint32_t IDC_NO = 32648;
constexpr uint32_t IDC_HAND = 32649;

// Menus.
constexpr uint32_t MF_STRING = 0x0000;
constexpr uint32_t MF_BYCOMMAND = 0x0000;
constexpr uint32_t MF_UNCHECKED = 0x0000;
constexpr uint32_t MF_ENABLED = 0x0000;
constexpr uint32_t MF_GRAYED = 0x0001;
constexpr uint32_t MF_DISABLED = 0x0002;
constexpr uint32_t MF_CHECKED = 0x0008;
constexpr uint32_t MF_POPUP = 0x0010;
constexpr uint32_t MF_END = 0x0080;  // last item of a level, in menu templates only
constexpr uint32_t MF_BYPOSITION = 0x0400;
constexpr uint32_t MF_SEPARATOR = 0x0800;
constexpr uint32_t TPM_LEFTBUTTON = 0x0000;
constexpr uint32_t TPM_RIGHTBUTTON = 0x0002;
constexpr uint32_t TPM_NONOTIFY = 0x0080;
constexpr uint32_t TPM_RETURNCMD = 0x0100;

// Message boxes: button sets, default buttons and answers.
constexpr uint32_t MB_OK = 0x0;
constexpr uint32_t MB_OKCANCEL = 0x1;
constexpr uint32_t MB_ABORTRETRYIGNORE = 0x2;
constexpr uint32_t MB_YESNOCANCEL = 0x3;
constexpr uint32_t MB_YESNO = 0x4;
constexpr uint32_t MB_RETRYCANCEL = 0x5;
constexpr uint32_t MB_ICONERROR = 0x10;
constexpr uint32_t MB_ICONQUESTION = 0x20;
constexpr uint32_t MB_ICONWARNING = 0x30;
constexpr uint32_t MB_ICONINFORMATION = 0x40;
constexpr uint32_t MB_DEFBUTTON2 = 0x100;
constexpr uint32_t MB_DEFBUTTON3 = 0x200;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Notification-area icons.
constexpr uint32_t NIM_ADD = 0;
constexpr uint32_t NIM_MODIFY = 1;
constexpr uint32_t NIM_DELETE = 2;
constexpr uint32_t NIF_MESSAGE = 0x1;
constexpr uint32_t NIF_ICON = 0x2;
constexpr uint32_t NIF_TIP = 0x4;

// Device-change events and broadcast records.
constexpr WParam DBT_DEVICEARRIVAL = 0x8000;
constexpr WParam DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr uint32_t DBT_DEVTYP_DEVICEINTERFACE = 5;
constexpr uint32_t DEVICE_NOTIFY_WINDOW_HANDLE = 0x0;
constexpr uint32_t DEVICE_NOTIFY_ALL_INTERFACE_CLASSES = 0x4;
// DEV_BROADCAST_DEVICEINTERFACE_W: dbcc_size, dbcc_devicetype, dbcc_reserved (DWORDs),
// dbcc_classguid (16 bytes), then the NUL-terminated UTF-16 name at this offset.
constexpr uint32_t kDevBroadcastNameOffset = 28;

// Win32 errors the session reports besides those of host/win32_error.h.
constexpr uint32_t ERROR_NO_MORE_FILES = 18;
constexpr uint32_t ERROR_INVALID_DATA = 13;
constexpr uint32_t ERROR_NOT_OWNER = 288;
constexpr uint32_t ERROR_INVALID_FLAGS = 1004;
constexpr uint32_t ERROR_CANCELLED = 1223;
constexpr uint32_t ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr uint32_t ERROR_INVALID_MENU_HANDLE = 1401;
constexpr uint32_t ERROR_INVALID_CURSOR_HANDLE = 1402;
constexpr uint32_t ERROR_WINDOW_OF_OTHER_THREAD = 1408;
constexpr uint32_t ERROR_INVALID_THREAD_ID = 1444;
constexpr uint32_t ERROR_POPUP_ALREADY_ACTIVE = 1446;
constexpr uint32_t ERROR_MENU_ITEM_NOT_FOUND = 1456;
constexpr uint32_t ERROR_INVALID_USER_BUFFER = 1784;

// The calling thread's last error, as GetLastError and SetLastError keep it.
uint32_t GetLastError();
void SetLastError(uint32_t error);

// A GUID in the registry's text form, "{6994ad04-93ef-11d0-a3cc-00a0c9223196}".
struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
    bool operator==(const Guid& other) const;
    bool operator!=(const Guid& other) const { return !(*this == other); }
    std::string Text() const;  // lower case, in braces
};
// Known interface classes.
extern const Guid kKsCategoryAudioGuid;  // {6994AD04-93EF-11D0-A3CC-00A0C9223196}
extern const Guid kUsbHubGuid;           // {F18A0E88-C30C-11D0-8815-00A0C906BED8}

}  // namespace host::user
