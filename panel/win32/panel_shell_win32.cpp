// The panel's window over Win32. The dialog procedure only translates messages into the
// dialog's handlers; every page is composed by the panel's own painters and arrives here as
// one picture, which goes to the window's device context through a DIB section unchanged.
#include "panel_shell_win32.h"

#include <dbt.h>
#include <mmsystem.h>
#include <shellapi.h>
#include <windowsx.h>

#include <cstddef>
#include <cstring>

#include "audio_control_dlg.h"
#include "panel_system_win32.h"
#include "panel_texts.h"
#include "raster.h"
#include "win32_layout.h"

namespace {

// What another thread posts for the dialog to handle on the interface thread.
constexpr UINT kPanelNotificationMessage = WM_APP + 1;

// KSCATEGORY_AUDIO, whose interfaces come and go with every sound device.
constexpr GUID kAudioCategory = {
    0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

HMODULE ModuleOf(ResourceModule& module) {
    auto* win32 = dynamic_cast<Win32ResourceModule*>(&module);
    return win32 != nullptr ? win32->Handle() : nullptr;
}

HICON LoadIconSized(ResourceModule& module, uint16_t id, int size) {
    HMODULE handle = ModuleOf(module);
    if (handle == nullptr)
        return nullptr;
    return static_cast<HICON>(
        LoadImageW(handle, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

HMENU BuildMenu(const PopupMenuItem& level) {
    HMENU menu = CreatePopupMenu();
    for (const PopupMenuItem& item : level.children) {
        if (item.separator) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        } else if (item.popup || !item.children.empty()) {
            AppendMenuW(menu, MF_POPUP | MF_STRING | (item.grayed ? MF_GRAYED : 0),
                        reinterpret_cast<UINT_PTR>(BuildMenu(item)), Wide(item.text));
        } else {
            AppendMenuW(menu,
                        MF_STRING | (item.checked ? MF_CHECKED : 0) | (item.grayed ? MF_GRAYED : 0),
                        item.id, Wide(item.text));
        }
    }
    return menu;
}

}  // namespace

Win32PanelShell::~Win32PanelShell() {
    if (dib_ != nullptr)
        DeleteObject(dib_);
    for (HICON icon : {bigIcon_, smallIcon_, trayIcon_})
        if (icon != nullptr)
            DestroyIcon(icon);
}

bool Win32PanelShell::CreateMainDialog(ResourceModule& skin, uint16_t templateId) {
    auto* win32 = dynamic_cast<Win32ResourceModule*>(&skin);
    if (win32 == nullptr || dialog_ == nullptr)
        return false;
    DWORD size = 0;
    const void* dialogTemplate = win32->Locate(kResourceDialog, templateId, &size);
    if (dialogTemplate == nullptr)
        return false;
    HWND window =
        CreateDialogIndirectParamW(win32->Handle(), static_cast<LPCDLGTEMPLATEW>(dialogTemplate),
                                   nullptr, DialogProcedure, reinterpret_cast<LPARAM>(this));
    return window != nullptr;
}

INT_PTR CALLBACK Win32PanelShell::DialogProcedure(HWND window, UINT message, WPARAM wParam,
                                                  LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* shell = reinterpret_cast<Win32PanelShell*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        shell->window_ = window;
        return shell->dialog_->OnInitDialog() ? TRUE : FALSE;
    }
    auto* shell = reinterpret_cast<Win32PanelShell*>(GetWindowLongPtrW(window, DWLP_USER));
    if (shell == nullptr || shell->dialog_ == nullptr)
        return FALSE;
    return shell->Handle(message, wParam, lParam);
}

INT_PTR Win32PanelShell::Answer(LRESULT result) {
    SetWindowLongPtrW(window_, DWLP_MSGRESULT, result);
    return TRUE;
}

INT_PTR Win32PanelShell::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    CQEXAudioControlDlg& dialog = *dialog_;
    switch (message) {
        case WM_ERASEBKGND:
            dialog.OnEraseBackground();
            return Answer(TRUE);
        case WM_PAINT:
            if (IsIconic(window_)) {
                PAINTSTRUCT paint;
                HDC dc = BeginPaint(window_, &paint);
                SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
                RECT client;
                GetClientRect(window_, &client);
                const int x = (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2;
                const int y = (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2;
                if (bigIcon_ != nullptr)
                    DrawIcon(dc, x, y, bigIcon_);
                EndPaint(window_, &paint);
                return TRUE;
            }
            return FALSE;  // the default validates and paints nothing
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(bigIcon_);
        case WM_LBUTTONDOWN:
            dialog.OnLButtonDown(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
            return TRUE;
        case WM_LBUTTONUP:
            dialog.OnLButtonUp(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
            return TRUE;
        case WM_LBUTTONDBLCLK:
            dialog.OnLButtonDblClk(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
            return TRUE;
        case WM_MOUSEMOVE:
            dialog.OnMouseMove(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
            return TRUE;
        case WM_NCHITTEST: {
            const LRESULT standard = DefWindowProcW(window_, message, wParam, lParam);
            RECT frame;
            GetWindowRect(window_, &frame);
            return Answer(dialog.OnNcHitTest(GET_X_LPARAM(lParam) - frame.left,
                                             GET_Y_LPARAM(lParam) - frame.top,
                                             static_cast<int>(standard)));
        }
        case WM_MOVE:
            dialog.OnMove();
            return FALSE;
        case WM_COMMAND:
            return dialog.OnCommand(LOWORD(wParam)) ? TRUE : FALSE;
        case kTrayCallbackMessage:
            dialog.OnTrayCallback(static_cast<uint32_t>(lParam));
            return TRUE;
        case WM_DEVICECHANGE:
            dialog.OnDeviceChange(static_cast<uint32_t>(wParam));
            return Answer(TRUE);
        case WM_TIMER:
            dialog.OnTimer(static_cast<uint32_t>(wParam));
            return TRUE;
        case kPanelNotificationMessage:
            dialog.OnPanelNotification(static_cast<uint32_t>(wParam));
            return TRUE;
        case MM_WIM_OPEN:
            dialog.OnWaveInOpen();
            return TRUE;
        case MM_WIM_DATA: {
            const auto* header = reinterpret_cast<const WAVEHDR*>(lParam);
            if (header != nullptr)
                dialog.OnWaveInData(static_cast<int>(header->dwUser), header->dwBytesRecorded);
            return TRUE;
        }
        case MM_WIM_CLOSE:
            dialog.OnWaveInClose();
            return TRUE;
        case WM_CLOSE:
            dialog.OnClose();
            return FALSE;  // then the dialog manager's own handling, which closes nothing
        default:
            if (message >= 0xC000 && dialog.OnRegisteredMessage(message))
                return TRUE;
            return FALSE;
    }
}

int Win32PanelShell::MessageBox(const std::u16string& text, const char16_t* caption,
                                uint32_t type) {
    return MessageBoxW(
        window_, Wide(text),
        reinterpret_cast<const wchar_t*>(caption != nullptr ? caption : kApplicationName), type);
}

void Win32PanelShell::ShowWindow(bool show) {
    ::ShowWindow(window_, show ? SW_SHOW : SW_HIDE);
}

bool Win32PanelShell::IsWindowVisible() {
    return ::IsWindowVisible(window_) != FALSE;
}

void Win32PanelShell::CenterWindow() {
    RECT frame, work;
    GetWindowRect(window_, &frame);
    if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0))
        work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    int x = 0, y = 0;
    CentredOrigin(work.left, work.top, work.right, work.bottom, frame.right - frame.left,
                  frame.bottom - frame.top, &x, &y);
    SetWindowPos(window_, nullptr, x, y, 0, 0, SWP_NOZORDER | SWP_NOSIZE | SWP_NOACTIVATE);
}

void Win32PanelShell::PlaceWindow(int x, int y, int width, int height) {
    SetWindowPos(window_, nullptr, x, y, width, height, SWP_NOZORDER);
}

void Win32PanelShell::WindowOrigin(int* x, int* y) {
    RECT frame = {};
    GetWindowRect(window_, &frame);
    *x = frame.left;
    *y = frame.top;
}

void Win32PanelShell::SetTitle(const std::u16string& title) {
    SetWindowTextW(window_, Wide(title));
}

void Win32PanelShell::SetWindowIcon(ResourceModule& module, uint16_t iconId) {
    HICON big = LoadIconSized(module, iconId, GetSystemMetrics(SM_CXICON));
    HICON small = LoadIconSized(module, iconId, GetSystemMetrics(SM_CXSMICON));
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    for (HICON old : {bigIcon_, smallIcon_})
        if (old != nullptr)
            DestroyIcon(old);
    bigIcon_ = big;
    smallIcon_ = small;
}

void Win32PanelShell::SetColorKeyShape(const Rgb& key) {
    const LONG style = GetWindowLongW(window_, GWL_EXSTYLE);
    SetWindowLongW(window_, GWL_EXSTYLE, style ^ WS_EX_LAYERED);
    SetLayeredWindowAttributes(window_, RGB(key.r, key.g, key.b), 255, LWA_COLORKEY);
}

void Win32PanelShell::Present(const Raster& picture, int x, int y, int w, int h) {
    if (window_ == nullptr || picture.empty())
        return;
    HDC windowDc = GetWindowDC(window_);
    if (windowDc == nullptr)
        return;
    if (dib_ == nullptr || dibWidth_ != picture.width() || dibHeight_ != picture.height()) {
        if (dib_ != nullptr)
            DeleteObject(dib_);
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = picture.width();
        info.bmiHeader.biHeight = -picture.height();  // top-down, as the raster's rows
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        info.bmiHeader.biCompression = BI_RGB;
        dibBits_ = nullptr;
        dib_ = CreateDIBSection(windowDc, &info, DIB_RGB_COLORS, &dibBits_, nullptr, 0);
        dibWidth_ = dib_ != nullptr ? picture.width() : 0;
        dibHeight_ = dib_ != nullptr ? picture.height() : 0;
    }
    if (dib_ != nullptr && dibBits_ != nullptr) {
        GdiFlush();
        CopyToDibRows(picture, static_cast<uint8_t*>(dibBits_), DibStride(picture.width()));
        HDC memory = CreateCompatibleDC(windowDc);
        HGDIOBJ old = SelectObject(memory, dib_);
        BitBlt(windowDc, x, y, w, h, memory, x, y, SRCCOPY);
        SelectObject(memory, old);
        DeleteDC(memory);
    }
    ReleaseDC(window_, windowDc);
}

bool Win32PanelShell::HasUpdateRegion() {
    return GetUpdateRect(window_, nullptr, FALSE) != FALSE;
}

bool Win32PanelShell::RegisterAudioInterfaceNotifications() {
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kAudioCategory;
    return RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE) != nullptr;
}

bool Win32PanelShell::NotifyIcon(TrayAction action, ResourceModule& skin, uint16_t iconId,
                                 const std::u16string& tip, uint32_t callbackMessage) {
    HICON icon = nullptr;
    if (action != TrayAction::Delete)
        icon = LoadIconSized(skin, iconId, GetSystemMetrics(SM_CXSMICON));
    NOTIFYICONDATAW data = {};
    data.hWnd = window_;
    data.uID = 0;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = callbackMessage;
    data.hIcon = icon;
    const size_t tipLength = tip.size() < 127 ? tip.size() : 127;
    std::memcpy(data.szTip, tip.data(), tipLength * sizeof(wchar_t));
    // The record as the shell of the running system knows it: the balloon-icon layout from
    // major version 6 on (the field stays empty), the one before it on older systems.
    alignas(8) uint8_t record[1024] = {};
    constexpr size_t kBeforeBalloonIcon = offsetof(NOTIFYICONDATAW, guidItem) + sizeof(GUID);
    static_assert(kBeforeBalloonIcon == (sizeof(void*) == 8 ? 968 : 952), "tray record layout");
    std::memcpy(record, &data, kBeforeBalloonIcon);
    const DWORD size = TrayRecordSize(sizeof(void*) == 8, system_.OsMajorVersion());
    std::memcpy(record, &size, sizeof size);
    const DWORD verb = action == TrayAction::Add      ? NIM_ADD
                       : action == TrayAction::Modify ? NIM_MODIFY
                                                      : NIM_DELETE;
    const bool ok = Shell_NotifyIconW(verb, reinterpret_cast<NOTIFYICONDATAW*>(record)) != FALSE;
    // The shell keeps its own copy of the icon; the old handle can go once it has the new.
    if (trayIcon_ != nullptr)
        DestroyIcon(trayIcon_);
    trayIcon_ = icon;
    return ok;
}

void Win32PanelShell::TrackPopupMenu(const PopupMenuItem& menu) {
    HMENU popup = BuildMenu(menu);
    POINT cursor = {};
    GetCursorPos(&cursor);
    SetForegroundWindow(window_);
    ::TrackPopupMenu(popup, TPM_LEFTBUTTON, cursor.x, cursor.y, 0, window_, nullptr);
    // Without a message after it, a menu tracked from the tray would not close on the next
    // click elsewhere.
    PostMessageW(window_, WM_NULL, 0, 0);
    DestroyMenu(popup);
}

void Win32PanelShell::SetHandCursor() {
    SetCursor(LoadCursorW(nullptr, IDC_HAND));
}

void Win32PanelShell::CursorPos(int* x, int* y) {
    POINT cursor = {};
    GetCursorPos(&cursor);
    *x = cursor.x;
    *y = cursor.y;
}

void Win32PanelShell::SetTimer(uint32_t id, uint32_t periodMs) {
    ::SetTimer(window_, id, periodMs, nullptr);
}

void Win32PanelShell::KillTimer(uint32_t id) {
    ::KillTimer(window_, id);
}

void Win32PanelShell::PostQuit(int code) {
    PostQuitMessage(code);
}

void Win32PanelShell::PostPanelNotification(uint32_t code) {
    // PostMessageW may be called from any thread; the window handle is set once, at creation.
    // Without a window the message would go to the calling thread's own queue instead, where
    // nothing handles it.
    if (window_ != nullptr)
        PostMessageW(window_, kPanelNotificationMessage, code, 0);
}
