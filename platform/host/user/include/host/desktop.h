// The interactive desktop of the simulated machine's user session: windows, per-thread message
// queues, timers on the machine's clock, mouse input and the cursor, notification-area icons,
// popup menus, message boxes and device-interface notifications. Each call behaves as its
// Win32 namesake does, failures included, and reports through the calling thread's last error
// (host/user_types.h).
//
// The screen is 1280 by 1024 pixels; the taskbar takes the bottom 40 rows, so the work area is
// (0, 0)-(1280, 984), and the notification area sits at its right end.
//
// Threads: a window belongs to the thread that created it, and its procedure runs only on that
// thread: SendMessage from another thread waits until the owner takes the message in
// GetMessage, PeekMessage or a SendMessage of its own. Posted messages, input, paint requests
// and timers are delivered by GetMessage/PeekMessage in Windows' order: sent, posted, quit,
// input, paint, timer.
//
// The scenario's side (no Win32 counterpart) clicks, drags, double-clicks, opens tray menus,
// chooses menu items, answers message boxes, and moves the clock with RunUntil, which delivers
// every timer that falls due on the way to the threads pumping messages.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/user_types.h"

namespace host {
class PnpManager;
class Processes;
}  // namespace host

namespace host::user {

using WindowProc = std::function<LResult(Hwnd, uint32_t message, WParam, LParam)>;

// CreateWindowEx's arguments. Windows have no frame in this model: the client area is the
// whole window, so client and window coordinates coincide.
struct WindowCreation {
    std::u16string className;  // "#32770" for dialogs
    std::u16string title;
    uint32_t style = 0;
    uint32_t exStyle = 0;
    uint32_t classStyle = 0;  // CS_DBLCLKS turns a second click into a double-click message
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    Hwnd owner = 0;
    WindowProc proc;  // required
    // A dialog gets WM_INITDIALOG after WM_CREATE and is shown only then (WS_VISIBLE), as
    // CreateDialog does.
    bool dialog = false;
};

// The picture a window shows: 24-bit RGB rows, top-down, `width` x `height`.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

struct LayeredAttributes {
    uint32_t colorKey = 0;  // COLORREF: 0x00BBGGRR
    uint8_t alpha = 255;
    uint32_t flags = 0;  // LWA_COLORKEY, LWA_ALPHA
};

struct MenuItem {
    uint32_t id = 0;  // command id; 0 for separators and popups
    std::u16string text;
    uint32_t flags = 0;  // MF_GRAYED, MF_DISABLED, MF_CHECKED, MF_POPUP, MF_SEPARATOR
    HMenu submenu = 0;
};

// A menu as the user saw it: items with their submenus, resolved.
struct MenuSnapshot {
    struct Entry {
        MenuItem item;
        std::vector<Entry> submenu;
    };
    std::vector<Entry> items;
};

struct ShownMenu {
    Hwnd owner = 0;
    Point at;
    uint32_t flags = 0;
    MenuSnapshot menu;
};

struct MessageBoxRecord {
    Hwnd owner = 0;
    std::u16string text;
    std::u16string caption;
    uint32_t type = 0;
    int answer = 0;
};

// NOTIFYICONDATA, the fields this model keeps. The tip holds at most 127 characters (the
// record of shell version 5 and later).
struct NotifyIconData {
    Hwnd hwnd = 0;
    uint32_t id = 0;
    uint32_t flags = 0;  // NIF_MESSAGE, NIF_ICON, NIF_TIP: which fields count
    uint32_t callbackMessage = 0;
    HIcon icon = 0;
    std::u16string tip;
};

struct TrayIcon {
    NotifyIconData data;  // with every field as last set
    Point position;       // its place in the notification area, screen coordinates
};

enum class MouseAction { Move, LeftDown, LeftUp, RightDown, RightUp };
enum class TrayClick { Click, DoubleClick, RightClick };

class Desktop {
  public:
    static constexpr int kScreenWidth = 1280;
    static constexpr int kScreenHeight = 1024;
    static constexpr int kTaskbarHeight = 40;
    static constexpr uint32_t kDoubleClickTimeMs = 500;
    static constexpr uint32_t kTimerMinimumMs = 10;  // USER_TIMER_MINIMUM

    // `pnp` (optional) delivers device-interface notifications; `processes` (optional)
    // lets WaitForInputIdle tell a process that ended.
    explicit Desktop(PnpManager* pnp = nullptr, Processes* processes = nullptr);
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    // --- windows --------------------------------------------------------------------------
    // Sends WM_CREATE (a result of -1 destroys the window and fails the call), and for a
    // dialog WM_INITDIALOG; then shows the window when WS_VISIBLE is in the style.
    Hwnd CreateWindowEx(const WindowCreation& creation);
    // Only the owning thread may destroy a window (ERROR_ACCESS_DENIED otherwise). Windows it
    // owns go first; WM_DESTROY and WM_NCDESTROY are sent; its timers die with it.
    bool DestroyWindow(Hwnd hwnd);
    bool IsWindow(Hwnd hwnd);
    bool IsWindowVisible(Hwnd hwnd);
    bool IsIconic(Hwnd hwnd);
    // Class and title compare without regard to case; an empty one matches any. Top-level
    // windows, the most recently created first.
    Hwnd FindWindow(const std::u16string& className, const std::u16string& title);
    bool SetWindowText(Hwnd hwnd, const std::u16string& text);
    std::u16string GetWindowText(Hwnd hwnd);
    Hwnd GetWindowOwner(Hwnd hwnd);
    // Returns whether the window was visible before. Showing sends WM_SHOWWINDOW and marks the
    // whole window for painting (with erase); hiding sends WM_SHOWWINDOW(FALSE).
    bool ShowWindow(Hwnd hwnd, int command);
    bool SetWindowPos(Hwnd hwnd, int x, int y, int width, int height, uint32_t flags);
    bool MoveWindow(Hwnd hwnd, int x, int y, int width, int height);
    bool GetWindowRect(Hwnd hwnd, Rect* rect);
    bool GetClientRect(Hwnd hwnd, Rect* rect);
    // What MFC's CenterWindow does for a window without owner: centred in the work area.
    bool CenterWindow(Hwnd hwnd);
    bool SetForegroundWindow(Hwnd hwnd);
    Hwnd GetForegroundWindow();
    int32_t GetWindowLong(Hwnd hwnd, int index);                 // GWL_STYLE, GWL_EXSTYLE
    int32_t SetWindowLong(Hwnd hwnd, int index, int32_t value);  // returns the old value
    // Fails with ERROR_INVALID_PARAMETER unless the window has WS_EX_LAYERED.
    bool SetLayeredWindowAttributes(Hwnd hwnd, uint32_t colorKey, uint8_t alpha, uint32_t flags);
    bool GetLayeredWindowAttributes(Hwnd hwnd, LayeredAttributes* attributes);
    // The topmost visible window at a screen point; a layered window's colour-key pixels let
    // the point through to the windows below.
    Hwnd WindowFromPoint(Point screen);
    int GetSystemMetrics(int index);
    Rect WorkArea() const;
    static Rect Screen() { return Rect{0, 0, kScreenWidth, kScreenHeight}; }

    // Update region (kept as its bounding rectangle). A null rect means the whole window.
    bool InvalidateRect(Hwnd hwnd, const Rect* rect, bool erase);
    bool ValidateRect(Hwnd hwnd, const Rect* rect);
    // Non-zero when an update is pending; the rectangle in client coordinates.
    bool GetUpdateRect(Hwnd hwnd, Rect* rect, bool erase);
    // Sends WM_ERASEBKGND when an erase is pending, validates, returns the update rectangle.
    Rect BeginPaint(Hwnd hwnd);
    void EndPaint(Hwnd hwnd);

    // What the screen shows of the window: the program hands over composed pixels (its
    // client rectangle at client (x, y)); the picture is as large as the window.
    bool PresentPicture(Hwnd hwnd, int x, int y, int width, int height, const uint8_t* rgb,
                        size_t strideBytes);
    Picture WindowPicture(Hwnd hwnd);

    // --- messages -------------------------------------------------------------------------
    LResult SendMessage(Hwnd hwnd, uint32_t message, WParam wParam, LParam lParam);
    bool PostMessage(Hwnd hwnd, uint32_t message, WParam wParam, LParam lParam);
    // To a thread's queue (ERROR_INVALID_THREAD_ID, 1444, for a thread without one).
    bool PostThreadMessage(std::thread::id thread, uint32_t message, WParam wParam, LParam lParam);
    void PostQuitMessage(int exitCode);
    // 1 for a message, 0 for WM_QUIT, -1 for an invalid window filter.
    int GetMessage(Msg* msg, Hwnd filter = 0, uint32_t filterMin = 0, uint32_t filterMax = 0);
    bool PeekMessage(Msg* msg, Hwnd filter, uint32_t filterMin, uint32_t filterMax,
                     uint32_t removeFlags);
    // No keyboard in this model, so nothing to translate into character messages.
    bool TranslateMessage(const Msg&) { return false; }
    LResult DispatchMessage(const Msg& msg);
    LResult DefWindowProc(Hwnd hwnd, uint32_t message, WParam wParam, LParam lParam);
    // Same name, same number, from 0xC000 up; names compare without regard to case.
    uint32_t RegisterWindowMessage(const std::u16string& name);

    // --- timers on the machine's clock ----------------------------------------------------
    // Periods below 10 ms become 10 ms. Setting an existing timer again restarts it.
    uintptr_t SetTimer(Hwnd hwnd, uintptr_t id, uint32_t elapseMs);
    bool KillTimer(Hwnd hwnd, uintptr_t id);
    // The machine's clock in milliseconds, as GetTickCount counts it.
    uint32_t GetTickCount();

    // --- cursor ---------------------------------------------------------------------------
    // A system cursor's identity (IDC_ARROW, IDC_HAND, ...); 0 and ERROR_INVALID_CURSOR_HANDLE
    // (as Windows reports a missing resource there) for other ids.
    HCursor LoadCursor(uint32_t id);
    HCursor SetCursor(HCursor cursor);  // returns the previous one
    HCursor GetCursor();
    bool GetCursorPos(Point* point);
    bool SetCursorPos(int x, int y);
    Hwnd SetCapture(Hwnd hwnd);
    bool ReleaseCapture();
    Hwnd GetCapture();
    // The name of a system cursor ("IDC_HAND"), empty for others.
    static std::string CursorName(HCursor cursor);

    // --- notification area (Shell_NotifyIcon) --------------------------------------------
    bool ShellNotifyIcon(uint32_t message, const NotifyIconData& data);

    // --- menus ----------------------------------------------------------------------------
    HMenu CreatePopupMenu();
    HMenu CreateMenu();
    bool DestroyMenu(HMenu menu);  // and its submenus
    bool AppendMenu(HMenu menu, uint32_t flags, uint64_t idOrSubmenu, const std::u16string& text);
    bool InsertMenu(HMenu menu, uint32_t position, uint32_t flags, uint64_t idOrSubmenu,
                    const std::u16string& text);
    bool ModifyMenu(HMenu menu, uint32_t position, uint32_t flags, uint64_t idOrSubmenu,
                    const std::u16string& text);
    bool DeleteMenu(HMenu menu, uint32_t position, uint32_t flags);
    // Previous check state (MF_CHECKED or MF_UNCHECKED), -1 for an item that does not exist.
    int32_t CheckMenuItem(HMenu menu, uint32_t item, uint32_t flags);
    int32_t EnableMenuItem(HMenu menu, uint32_t item, uint32_t flags);
    HMenu GetSubMenu(HMenu menu, int position);
    int GetMenuItemCount(HMenu menu);
    uint32_t GetMenuItemID(HMenu menu, int position);  // 0xFFFFFFFF for a popup or none
    std::optional<MenuItem> GetMenuItem(HMenu menu, uint32_t item, uint32_t flags);
    // A menu from RT_MENU resource bytes (the standard template, version 0). Malformed bytes
    // fail with ERROR_INVALID_DATA.
    HMenu LoadMenuIndirect(const void* bytes, size_t size);
    // Modal: the menu stays open, the calling thread waiting in it (still taking sent
    // messages), until the scenario chooses an item or dismisses it. A chosen item's command
    // is posted to `owner` as WM_COMMAND, or with TPM_RETURNCMD returned.
    uint32_t TrackPopupMenu(HMenu menu, uint32_t flags, int x, int y, Hwnd owner);

    // --- message boxes --------------------------------------------------------------------
    // Recorded and answered from the scenario's queue, or by the default button.
    int MessageBox(Hwnd owner, const std::u16string& text, const std::u16string& caption,
                   uint32_t type);

    // --- device-interface notifications ---------------------------------------------------
    // For a window recipient and a DEV_BROADCAST_DEVICEINTERFACE filter of `interfaceClass`
    // (or every class with DEVICE_NOTIFY_ALL_INTERFACE_CLASSES). Arrivals and removals are
    // posted as WM_DEVICECHANGE with DBT_DEVICEARRIVAL / DBT_DEVICEREMOVECOMPLETE; lParam
    // points to the DEV_BROADCAST_DEVICEINTERFACE_W record, valid until the receiving thread
    // asks for its next message.
    Handle RegisterDeviceNotification(Hwnd recipient, const Guid& interfaceClass, uint32_t flags);
    bool UnregisterDeviceNotification(Handle notification);

    // --- the scenario's side --------------------------------------------------------------
    // Mouse input at a screen point, to the window under it (or the one with capture).
    void Mouse(MouseAction action, Point screen);
    void Click(Point screen);        // left down and up
    void DoubleClick(Point screen);  // two clicks
    std::vector<TrayIcon> TrayIcons();
    std::optional<TrayIcon> FindTrayIcon(Hwnd hwnd, uint32_t id);
    // Posts the icon's callback message as Explorer does (wParam the icon id, lParam the mouse
    // message), with the cursor on the icon. An icon whose window is gone is removed instead,
    // as Explorer removes it when the mouse passes; returns false then.
    bool ClickTrayIcon(Hwnd hwnd, uint32_t id, TrayClick click);
    // The open popup menu, and the last one shown.
    std::optional<ShownMenu> OpenMenu();
    std::optional<ShownMenu> LastShownMenu();
    // Chooses an enabled command item of the open menu or its submenus; false (and the menu
    // stays open) for a greyed, disabled, separator or unknown item.
    bool ChooseMenuItem(uint32_t id);
    bool DismissMenu();
    void QueueMessageBoxAnswer(int answer);
    std::vector<MessageBoxRecord> MessageBoxes();
    void ClearMessageBoxes();

    // Waits (real time) until every thread with a message queue waits for messages with none
    // it could take, sits in a popup menu, or has ended. False on timeout.
    bool WaitIdle(uint32_t timeoutMs = 10000);
    // WaitForInputIdle: until the process's thread that owns windows or a queue waits idle;
    // 0, or 258 (WAIT_TIMEOUT), or 0xFFFFFFFF when the process ended first.
    uint32_t WaitForInputIdle(uint32_t processId, uint32_t timeoutMs);
    // Moves the machine's clock to `time` (100-ns units, kernel::Now's), stopping at every
    // due window timer and waiting for the pumping threads to take it. Call from the machine's
    // thread.
    void RunUntil(int64_t time);
    void RunForMs(uint32_t milliseconds);
    // Called on the machine's thread each time RunUntil has moved the clock, before the
    // programs take the timers that fell due: what plays in the background (DirectSound's
    // mixer) catches up with the time that passed.
    void SetClockListener(std::function<void(int64_t now)> listener);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace host::user
