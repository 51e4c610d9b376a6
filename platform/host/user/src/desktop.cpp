#include "host/desktop.h"

#include <string.h>

#include <algorithm>
#include <chrono>

#include "host/kernel_threads.h"
#include "host/pnp.h"
#include "host/processes.h"
#include "host/text.h"
#include "host/usbaudio_class_driver.h"
#include "host/win32_error.h"
#include "menu_model.h"

namespace host::user {
namespace {

constexpr Hwnd kFirstWindow = 0x000200A4;
constexpr Hwnd kWindowStep = 0x10;
constexpr HCursor kCursorBase = 0x00010000;
constexpr uint32_t kFirstRegisteredMessage = 0xC0A0;
constexpr Handle kFirstNotification = 0x00A40000;

struct SystemCursor {
    uint32_t id;
    const char* name;
};
constexpr SystemCursor kCursors[] = {{IDC_ARROW, "IDC_ARROW"},     {IDC_IBEAM, "IDC_IBEAM"},
                                     {IDC_WAIT, "IDC_WAIT"},       {IDC_CROSS, "IDC_CROSS"},
                                     {IDC_SIZEALL, "IDC_SIZEALL"}, {IDC_NO, "IDC_NO"},
                                     {IDC_HAND, "IDC_HAND"}};

uint32_t NowMs() {
    return static_cast<uint32_t>(kernel::Now() / 10000);
}

std::u16string Fold(const std::u16string& text) {
    std::u16string out = text;
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return out;
}

Guid FromKernelGuid(const GUID& guid) {
    Guid out;
    out.data1 = guid.Data1;
    out.data2 = guid.Data2;
    out.data3 = guid.Data3;
    memcpy(out.data4, guid.Data4, 8);
    return out;
}

GUID ToKernelGuid(const Guid& guid) {
    GUID out;
    out.Data1 = guid.data1;
    out.Data2 = guid.data2;
    out.Data3 = guid.data3;
    memcpy(out.Data4, guid.data4, 8);
    return out;
}

// The buttons of a message box type, in order.
std::vector<int> Buttons(uint32_t type) {
    switch (type & 0xF) {
        case MB_OKCANCEL:
            return {IDOK, IDCANCEL};
        case MB_ABORTRETRYIGNORE:
            return {IDABORT, IDRETRY, IDIGNORE};
        case MB_YESNOCANCEL:
            return {IDYES, IDNO, IDCANCEL};
        case MB_YESNO:
            return {IDYES, IDNO};
        case MB_RETRYCANCEL:
            return {IDRETRY, IDCANCEL};
        default:
            return {IDOK};
    }
}

}  // namespace

// One thread's message queue. It may outlive the desktop (a thread ending after it), so it
// keeps the desktop's lock alive with it.
struct ThreadQueue {
    struct Posted {
        Msg msg;
        std::shared_ptr<std::vector<uint8_t>> payload;
    };
    struct Sent {
        Hwnd hwnd;
        uint32_t message;
        WParam wParam;
        LParam lParam;
        LResult result = 0;
        bool done = false;
    };
    struct Input {
        MouseAction action;
        Point screen;
        Hwnd target;
        uint32_t time;
        WParam keys;  // the buttons down once this input happened
    };

    std::shared_ptr<std::mutex> mutex;
    std::shared_ptr<std::condition_variable> changed;
    std::thread::id thread;
    uint32_t process = 0;
    std::deque<Posted> posted;
    std::deque<std::shared_ptr<Sent>> sent;
    std::deque<Input> input;
    bool quit = false;
    int quitCode = 0;
    bool waiting = false;
    bool inMenu = false;
    bool ended = false;
    std::shared_ptr<std::vector<uint8_t>> lastPayload;
    // Double-click detection.
    Hwnd lastDownWindow = 0;
    uint32_t lastDownMessage = 0;
    uint32_t lastDownTime = 0;
    Point lastDownPoint;
    bool lastDownWasDouble = false;
    // The caption drag DefWindowProc starts.
    Hwnd moving = 0;
    Point grab;
};

namespace {

// Marks the thread's queues ended when the thread exits, as Windows tears down a thread's
// queue and windows with it.
struct QueueGuard {
    std::vector<std::shared_ptr<ThreadQueue>> queues;
    ~QueueGuard() {
        for (const std::shared_ptr<ThreadQueue>& queue : queues) {
            std::lock_guard<std::mutex> lock(*queue->mutex);
            queue->ended = true;
            queue->changed->notify_all();
        }
    }
};
thread_local QueueGuard t_queues;

}  // namespace

struct Desktop::Impl {
    // Told each time RunUntil moves the clock.
    std::function<void(int64_t)> clockListener;
    struct Timer {
        uint32_t elapseMs;
        int64_t due;
    };
    struct Window {
        Hwnd hwnd = 0;
        WindowCreation creation;
        std::shared_ptr<ThreadQueue> queue;
        Rect rect;
        bool visible = false;
        bool minimized = false;
        bool destroyed = false;
        bool updatePending = false;
        bool erasePending = false;
        Rect update;
        bool layeredSet = false;
        LayeredAttributes layered;
        Picture picture;
        std::map<uintptr_t, Timer> timers;
    };
    struct Notification {
        Hwnd recipient;
        Guid interfaceClass;
        bool allClasses;
    };

    PnpManager* pnp;
    Processes* processes;
    // Set by the destructor: every wait gives up, GetMessage answers WM_QUIT.
    bool closing = false;
    int blocked = 0;
    std::shared_ptr<std::mutex> mutexPtr = std::make_shared<std::mutex>();
    std::shared_ptr<std::condition_variable> changedPtr =
        std::make_shared<std::condition_variable>();
    std::mutex& mutex = *mutexPtr;
    std::condition_variable& changed = *changedPtr;

    std::map<std::thread::id, std::shared_ptr<ThreadQueue>> queues;
    std::map<Hwnd, std::shared_ptr<Window>> windows;
    std::vector<Hwnd> zOrder;  // top first
    Hwnd nextWindow = kFirstWindow;
    Hwnd foreground = 0;
    Hwnd capture = 0;
    std::map<std::u16string, uint32_t> registeredMessages;
    uint32_t nextMessage = kFirstRegisteredMessage;
    HCursor cursor = kCursorBase + IDC_ARROW;
    Point cursorPos{Desktop::kScreenWidth / 2, Desktop::kScreenHeight / 2};
    bool leftDown = false;
    bool rightDown = false;
    std::vector<TrayIcon> tray;
    MenuTable menus;
    std::optional<ShownMenu> openMenu;
    std::shared_ptr<ThreadQueue> menuQueue;
    std::optional<ShownMenu> lastMenu;
    bool menuChosen = false;
    bool menuDone = false;
    uint32_t menuChoice = 0;
    std::deque<int> answers;
    std::vector<MessageBoxRecord> boxes;
    std::map<Handle, Notification> notifications;
    Handle nextNotification = kFirstNotification;
    std::map<std::string, int> listeners;  // interface class text -> listener id

    // --- lookups (mutex held) ---------------------------------------------------------------
    Window* Find(Hwnd hwnd) {
        auto it = windows.find(hwnd);
        if (it == windows.end() || it->second->destroyed || it->second->queue->ended) {
            return nullptr;
        }
        return it->second.get();
    }

    Window* FindOrFail(Hwnd hwnd) {
        Window* window = Find(hwnd);
        if (window == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        }
        return window;
    }

    std::shared_ptr<ThreadQueue> CurrentQueue() {
        const std::thread::id self = std::this_thread::get_id();
        auto it = queues.find(self);
        if (it != queues.end() && !it->second->ended) {
            return it->second;
        }
        auto queue = std::make_shared<ThreadQueue>();
        queue->mutex = mutexPtr;
        queue->changed = changedPtr;
        queue->thread = self;
        queue->process = Processes::Current();
        queues[self] = queue;
        t_queues.queues.push_back(queue);
        return queue;
    }

    bool OnOwnThread(const Window& window) {
        return window.queue->thread == std::this_thread::get_id();
    }

    static bool Matches(const Msg& msg, Hwnd filter, uint32_t low, uint32_t high) {
        if (filter != 0 && msg.hwnd != filter) {
            return false;
        }
        return (low == 0 && high == 0) || (msg.message >= low && msg.message <= high);
    }

    bool HasPaint(const ThreadQueue& queue) {
        for (const auto& entry : windows) {
            const Window& w = *entry.second;
            if (w.queue.get() == &queue && !w.destroyed && w.visible && w.updatePending) {
                return true;
            }
        }
        return false;
    }

    bool HasDueTimer(const ThreadQueue& queue) {
        const int64_t now = kernel::Now();
        for (const auto& entry : windows) {
            const Window& w = *entry.second;
            if (w.queue.get() != &queue || w.destroyed) {
                continue;
            }
            for (const auto& timer : w.timers) {
                if (timer.second.due <= now) {
                    return true;
                }
            }
        }
        return false;
    }

    bool HasWork(const ThreadQueue& queue) {
        if (!queue.sent.empty()) {
            return true;
        }
        if (queue.inMenu) {
            return false;
        }
        return !queue.posted.empty() || queue.quit || !queue.input.empty() || HasPaint(queue) ||
               HasDueTimer(queue);
    }

    bool Idle(const ThreadQueue& queue) {
        return queue.ended || ((queue.waiting || queue.inMenu) && !HasWork(queue));
    }

    bool AllIdle() {
        for (const auto& entry : queues) {
            if (!Idle(*entry.second)) {
                return false;
            }
        }
        return true;
    }

    void Raise(Hwnd hwnd) {
        zOrder.erase(std::remove(zOrder.begin(), zOrder.end(), hwnd), zOrder.end());
        zOrder.insert(zOrder.begin(), hwnd);
    }

    void Post(Window& window, uint32_t message, WParam wParam, LParam lParam,
              std::shared_ptr<std::vector<uint8_t>> payload = nullptr) {
        ThreadQueue::Posted posted;
        posted.msg = Msg{window.hwnd, message, wParam, lParam, NowMs(), cursorPos};
        posted.payload = std::move(payload);
        if (posted.payload) {
            posted.msg.lParam =
                static_cast<LParam>(reinterpret_cast<uintptr_t>(posted.payload->data()));
        }
        window.queue->posted.push_back(std::move(posted));
        changed.notify_all();
    }

    // Waits on the desktop's condition; a kernel thread waiting here lets the clock move. The
    // clock moves without telling the desktop, so a waiter looks again now and then for
    // timers that fell due.
    void Wait(std::unique_lock<std::mutex>& lock) {
        UserModeWait wait;
        ++blocked;
        changed.wait_for(lock, std::chrono::milliseconds(20));
        --blocked;
        if (closing) {
            changed.notify_all();
        }
    }

    // Calls a window procedure on its own thread, without the lock.
    LResult Call(std::unique_lock<std::mutex>& lock, Hwnd hwnd, uint32_t message, WParam wParam,
                 LParam lParam) {
        Window* window = Find(hwnd);
        if (window == nullptr) {
            return 0;
        }
        WindowProc proc = window->creation.proc;
        lock.unlock();
        const LResult result = proc ? proc(hwnd, message, wParam, lParam) : 0;
        lock.lock();
        return result;
    }

    // Takes one message sent to this thread and runs it. False when none waits.
    bool RunSent(std::unique_lock<std::mutex>& lock, ThreadQueue& queue) {
        if (queue.sent.empty()) {
            return false;
        }
        std::shared_ptr<ThreadQueue::Sent> sent = queue.sent.front();
        queue.sent.pop_front();
        sent->result = Call(lock, sent->hwnd, sent->message, sent->wParam, sent->lParam);
        sent->done = true;
        changed.notify_all();
        return true;
    }

    LResult Send(std::unique_lock<std::mutex>& lock, Hwnd hwnd, uint32_t message, WParam wParam,
                 LParam lParam) {
        Window* window = Find(hwnd);
        if (window == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (OnOwnThread(*window)) {
            return Call(lock, hwnd, message, wParam, lParam);
        }
        std::shared_ptr<ThreadQueue> target = window->queue;
        auto sent = std::make_shared<ThreadQueue::Sent>();
        sent->hwnd = hwnd;
        sent->message = message;
        sent->wParam = wParam;
        sent->lParam = lParam;
        target->sent.push_back(sent);
        changed.notify_all();
        // While it waits, the sender takes messages sent to itself, as Windows lets it.
        auto own = queues.find(std::this_thread::get_id());
        while (!sent->done && !target->ended && !closing) {
            if (own != queues.end() && RunSent(lock, *own->second)) {
                continue;
            }
            Wait(lock);
        }
        return sent->result;
    }

    void SetRect(Window& window, int x, int y, int width, int height) {
        window.rect = Rect{x, y, x + width, y + height};
        if (window.picture.width != width || window.picture.height != height) {
            Picture resized;
            resized.width = std::max(width, 0);
            resized.height = std::max(height, 0);
            resized.rgb.assign(static_cast<size_t>(resized.width) * resized.height * 3, 0);
            for (int row = 0; row < std::min(resized.height, window.picture.height); ++row) {
                const int columns = std::min(resized.width, window.picture.width);
                memcpy(&resized.rgb[static_cast<size_t>(row) * resized.width * 3],
                       &window.picture.rgb[static_cast<size_t>(row) * window.picture.width * 3],
                       static_cast<size_t>(columns) * 3);
            }
            window.picture = std::move(resized);
        }
    }

    void InvalidateAll(Window& window, bool erase) {
        window.updatePending = true;
        window.erasePending = window.erasePending || erase;
        window.update = Rect{0, 0, window.rect.Width(), window.rect.Height()};
        changed.notify_all();
    }

    bool Show(std::unique_lock<std::mutex>& lock, Hwnd hwnd, int command) {
        Window* window = FindOrFail(hwnd);
        if (window == nullptr) {
            return false;
        }
        const bool wasVisible = window->visible;
        const bool show = command != SW_HIDE;
        if (command == SW_MINIMIZE || command == SW_SHOWMINIMIZED) {
            window->minimized = true;
        } else if (command == SW_RESTORE || command == SW_SHOWNORMAL) {
            window->minimized = false;
        }
        if (show != wasVisible) {
            Send(lock, hwnd, WM_SHOWWINDOW, show ? 1 : 0, 0);
            window = Find(hwnd);
            if (window == nullptr) {
                return wasVisible;
            }
            window->visible = show;
            if (show) {
                InvalidateAll(*window, true);
                const bool activate = command != SW_SHOWNA && command != SW_SHOWNOACTIVATE &&
                                      command != SW_SHOWMINIMIZED && command != SW_MINIMIZE;
                if (activate) {
                    foreground = hwnd;
                }
                Raise(hwnd);
            } else {
                window->updatePending = false;
                window->erasePending = false;
                if (foreground == hwnd) {
                    foreground = 0;
                }
            }
            changed.notify_all();
        }
        return wasVisible;
    }

    bool Position(std::unique_lock<std::mutex>& lock, Hwnd hwnd, int x, int y, int width,
                  int height, uint32_t flags) {
        Window* window = FindOrFail(hwnd);
        if (window == nullptr) {
            return false;
        }
        const Rect old = window->rect;
        const int newX = (flags & SWP_NOMOVE) != 0 ? old.left : x;
        const int newY = (flags & SWP_NOMOVE) != 0 ? old.top : y;
        const int newWidth = (flags & SWP_NOSIZE) != 0 ? old.Width() : std::max(width, 0);
        const int newHeight = (flags & SWP_NOSIZE) != 0 ? old.Height() : std::max(height, 0);
        SetRect(*window, newX, newY, newWidth, newHeight);
        const bool moved = newX != old.left || newY != old.top;
        const bool sized = newWidth != old.Width() || newHeight != old.Height();
        if ((flags & SWP_SHOWWINDOW) != 0 && !window->visible) {
            window->visible = true;
            InvalidateAll(*window, true);
        } else if ((flags & SWP_HIDEWINDOW) != 0 && window->visible) {
            window->visible = false;
            window->updatePending = false;
        }
        if (sized && window->visible) {
            InvalidateAll(*window, true);
        }
        if ((flags & SWP_NOZORDER) == 0) {
            Raise(hwnd);
        }
        if (moved) {
            Send(lock, hwnd, WM_MOVE, 0, MakeLParam(newX, newY));
        }
        if (sized) {
            Send(lock, hwnd, WM_SIZE, 0, MakeLParam(newWidth, newHeight));
        }
        return true;
    }

    bool Destroy(std::unique_lock<std::mutex>& lock, Hwnd hwnd) {
        Window* window = FindOrFail(hwnd);
        if (window == nullptr) {
            return false;
        }
        if (!OnOwnThread(*window)) {
            SetLastError(kErrorAccessDenied);
            return false;
        }
        // Owned windows go first.
        std::vector<Hwnd> owned;
        for (const auto& entry : windows) {
            if (!entry.second->destroyed && entry.second->creation.owner == hwnd) {
                owned.push_back(entry.first);
            }
        }
        for (Hwnd child : owned) {
            Destroy(lock, child);
        }
        window = Find(hwnd);
        if (window == nullptr) {
            return true;
        }
        if (window->visible) {
            window->visible = false;
        }
        Call(lock, hwnd, WM_DESTROY, 0, 0);
        Call(lock, hwnd, WM_NCDESTROY, 0, 0);
        window = Find(hwnd);
        if (window != nullptr) {
            window->destroyed = true;
            window->timers.clear();
        }
        zOrder.erase(std::remove(zOrder.begin(), zOrder.end(), hwnd), zOrder.end());
        if (foreground == hwnd) {
            foreground = 0;
        }
        if (capture == hwnd) {
            capture = 0;
        }
        changed.notify_all();
        return true;
    }

    Hwnd FromPoint(Point screen) {
        for (Hwnd hwnd : zOrder) {
            Window* window = Find(hwnd);
            if (window == nullptr || !window->visible || window->minimized ||
                !window->rect.Contains(screen)) {
                continue;
            }
            if ((window->creation.exStyle & WS_EX_LAYERED) != 0) {
                // A layered window shows nothing until its attributes are set.
                if (!window->layeredSet) {
                    continue;
                }
                if ((window->layered.flags & LWA_COLORKEY) != 0 && window->picture.width > 0) {
                    const int px = screen.x - window->rect.left;
                    const int py = screen.y - window->rect.top;
                    const uint8_t* pixel =
                        &window->picture
                             .rgb[(static_cast<size_t>(py) * window->picture.width + px) * 3];
                    const uint32_t color = pixel[0] | (pixel[1] << 8) | (pixel[2] << 16);
                    if (color == (window->layered.colorKey & 0xFFFFFF)) {
                        continue;
                    }
                }
            }
            return hwnd;
        }
        return 0;
    }

    // Turns one piece of raw input into the message the window gets, as GetMessage does when
    // it reads the input queue: hit test, cursor, double-click, client or non-client message.
    std::optional<Msg> TakeInput(std::unique_lock<std::mutex>& lock, ThreadQueue& queue) {
        while (!queue.input.empty()) {
            const ThreadQueue::Input input = queue.input.front();
            queue.input.pop_front();
            if (queue.moving != 0) {
                if (input.action == MouseAction::Move) {
                    Position(lock, queue.moving, input.screen.x - queue.grab.x,
                             input.screen.y - queue.grab.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
                } else if (input.action == MouseAction::LeftUp) {
                    queue.moving = 0;
                }
                continue;
            }
            Window* window = Find(input.target);
            if (window == nullptr) {
                continue;
            }
            uint32_t message = WM_MOUSEMOVE;
            switch (input.action) {
                case MouseAction::Move:
                    message = WM_MOUSEMOVE;
                    break;
                case MouseAction::LeftDown:
                    message = WM_LBUTTONDOWN;
                    break;
                case MouseAction::LeftUp:
                    message = WM_LBUTTONUP;
                    break;
                case MouseAction::RightDown:
                    message = WM_RBUTTONDOWN;
                    break;
                case MouseAction::RightUp:
                    message = WM_RBUTTONUP;
                    break;
            }
            const bool captured = capture == input.target;
            LResult hit = HTCLIENT;
            if (!captured) {
                hit = Call(lock, input.target, WM_NCHITTEST, 0,
                           MakeLParam(input.screen.x, input.screen.y));
                Call(lock, input.target, WM_SETCURSOR, input.target,
                     MakeLParam(static_cast<int>(hit), static_cast<int>(message)));
                window = Find(input.target);
                if (window == nullptr) {
                    continue;
                }
            }
            if (message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN) {
                const bool dbl = (window->creation.classStyle & CS_DBLCLKS) != 0 &&
                                 queue.lastDownWindow == input.target &&
                                 queue.lastDownMessage == message && !queue.lastDownWasDouble &&
                                 input.time - queue.lastDownTime <= kDoubleClickTimeMs &&
                                 std::abs(input.screen.x - queue.lastDownPoint.x) <= 2 &&
                                 std::abs(input.screen.y - queue.lastDownPoint.y) <= 2;
                queue.lastDownWindow = input.target;
                queue.lastDownMessage = message;
                queue.lastDownTime = input.time;
                queue.lastDownPoint = input.screen;
                queue.lastDownWasDouble = dbl;
                if (dbl) {
                    message = message == WM_LBUTTONDOWN ? WM_LBUTTONDBLCLK : WM_RBUTTONDBLCLK;
                }
            }
            Msg msg;
            msg.hwnd = input.target;
            msg.time = input.time;
            msg.pt = input.screen;
            if (hit == HTCLIENT) {
                msg.message = message;
                msg.wParam = input.keys;
                msg.lParam = MakeLParam(input.screen.x - window->rect.left,
                                        input.screen.y - window->rect.top);
            } else {
                msg.message = message - WM_MOUSEMOVE + WM_NCMOUSEMOVE;
                msg.wParam = static_cast<WParam>(hit);
                msg.lParam = MakeLParam(input.screen.x, input.screen.y);
            }
            return msg;
        }
        return std::nullopt;
    }

    // The next message for this thread in Windows' order (sent messages are run, not
    // returned). The caller holds the lock.
    std::optional<Msg> Next(std::unique_lock<std::mutex>& lock, ThreadQueue& queue, Hwnd filter,
                            uint32_t low, uint32_t high, bool remove) {
        while (RunSent(lock, queue)) {
        }
        for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
            if (Matches(it->msg, filter, low, high)) {
                Msg msg = it->msg;
                if (remove) {
                    queue.lastPayload = it->payload;
                    queue.posted.erase(it);
                }
                return msg;
            }
        }
        if (queue.quit) {
            Msg msg;
            msg.message = WM_QUIT;
            msg.wParam = static_cast<WParam>(queue.quitCode);
            msg.time = NowMs();
            msg.pt = cursorPos;
            if (remove) {
                queue.quit = false;
            }
            return msg;
        }
        if (!queue.input.empty() && remove) {
            if (std::optional<Msg> msg = TakeInput(lock, queue)) {
                return msg;
            }
        }
        for (Hwnd hwnd : ZOrderedWindowsOf(queue)) {
            Window* window = Find(hwnd);
            if (window != nullptr && window->visible && window->updatePending) {
                Msg msg{hwnd, WM_PAINT, 0, 0, NowMs(), cursorPos};
                if (Matches(msg, filter, low, high)) {
                    return msg;
                }
            }
        }
        const int64_t now = kernel::Now();
        for (auto& entry : windows) {
            Window& window = *entry.second;
            if (window.queue.get() != &queue || window.destroyed) {
                continue;
            }
            for (auto& timer : window.timers) {
                if (timer.second.due <= now) {
                    Msg msg{window.hwnd, WM_TIMER, timer.first, 0, NowMs(), cursorPos};
                    if (!Matches(msg, filter, low, high)) {
                        continue;
                    }
                    if (remove) {
                        // One message however many periods passed; the next falls due a
                        // whole period after the last expiry.
                        const int64_t period = int64_t{timer.second.elapseMs} * 10000;
                        while (timer.second.due <= now) {
                            timer.second.due += period;
                        }
                    }
                    return msg;
                }
            }
        }
        return std::nullopt;
    }

    std::vector<Hwnd> ZOrderedWindowsOf(const ThreadQueue& queue) {
        std::vector<Hwnd> result;
        for (const auto& entry : windows) {
            if (entry.second->queue.get() == &queue && !entry.second->destroyed) {
                result.push_back(entry.first);
            }
        }
        return result;
    }

    MenuSnapshot Snapshot(HMenu menu, int depth = 0) {
        MenuSnapshot snapshot;
        const MenuTable::Menu* data = menus.Find(menu);
        if (data == nullptr || depth > 16) {
            return snapshot;
        }
        for (const MenuItem& item : data->items) {
            MenuSnapshot::Entry entry;
            entry.item = item;
            if ((item.flags & MF_POPUP) != 0) {
                entry.submenu = Snapshot(item.submenu, depth + 1).items;
            }
            snapshot.items.push_back(std::move(entry));
        }
        return snapshot;
    }

    void OnInterfaceChange(const DeviceInterfaceChange& change) {
        std::lock_guard<std::mutex> lock(mutex);
        const Guid cls = FromKernelGuid(change.interfaceClass);
        // "\??\USB#..." is "\\?\USB#..." to user mode.
        std::string name = change.symbolicLink;
        if (name.compare(0, 4, "\\??\\") == 0) {
            name = "\\\\?\\" + name.substr(4);
        }
        const std::u16string wide = Utf8ToUtf16(name);
        for (const auto& entry : notifications) {
            const Notification& n = entry.second;
            if (!n.allClasses && n.interfaceClass != cls) {
                continue;
            }
            Window* window = Find(n.recipient);
            if (window == nullptr) {
                continue;
            }
            const uint32_t size =
                kDevBroadcastNameOffset + static_cast<uint32_t>((wide.size() + 1) * 2);
            auto payload = std::make_shared<std::vector<uint8_t>>(size, 0);
            uint8_t* p = payload->data();
            const uint32_t type = DBT_DEVTYP_DEVICEINTERFACE;
            memcpy(p, &size, 4);
            memcpy(p + 4, &type, 4);
            const GUID raw = change.interfaceClass;
            memcpy(p + 12, &raw, 16);
            memcpy(p + kDevBroadcastNameOffset, wide.data(), wide.size() * 2);
            Post(*window, WM_DEVICECHANGE,
                 change.arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE, 0, payload);
        }
    }

    void Listen(const Guid& interfaceClass) {
        if (pnp == nullptr) {
            return;
        }
        const std::string key = interfaceClass.Text();
        if (listeners.count(key) != 0) {
            return;
        }
        listeners[key] = pnp->AddInterfaceListener(
            ToKernelGuid(interfaceClass),
            [this](const DeviceInterfaceChange& change) { OnInterfaceChange(change); });
    }
};

Desktop::Desktop(PnpManager* pnp, Processes* processes) : impl_(std::make_unique<Impl>()) {
    impl_->pnp = pnp;
    impl_->processes = processes;
}

Desktop::~Desktop() {
    if (impl_->pnp != nullptr) {
        for (const auto& listener : impl_->listeners) {
            impl_->pnp->RemoveInterfaceListener(listener.second);
        }
    }
    // Threads still waiting in the desktop (a program whose loop outlives the session) are
    // let go before the desktop goes.
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->closing = true;
    impl_->changed.notify_all();
    impl_->changed.wait_for(lock, std::chrono::seconds(5), [this] { return impl_->blocked == 0; });
    for (auto& queue : impl_->queues) {
        queue.second->ended = true;
    }
    impl_->changed.notify_all();
}

// --- windows ----------------------------------------------------------------------------------

Hwnd Desktop::CreateWindowEx(const WindowCreation& creation) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    if (!creation.proc) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    if (creation.owner != 0 && impl_->FindOrFail(creation.owner) == nullptr) {
        return 0;
    }
    auto window = std::make_shared<Impl::Window>();
    window->hwnd = impl_->nextWindow;
    impl_->nextWindow += kWindowStep;
    window->creation = creation;
    window->creation.style &= ~WS_VISIBLE;
    window->queue = impl_->CurrentQueue();
    impl_->SetRect(*window, creation.x, creation.y, creation.width, creation.height);
    const Hwnd hwnd = window->hwnd;
    impl_->windows[hwnd] = window;
    impl_->zOrder.insert(impl_->zOrder.begin(), hwnd);
    if (impl_->Call(lock, hwnd, WM_CREATE, 0, 0) == -1) {
        impl_->Destroy(lock, hwnd);
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    if (creation.dialog && impl_->Find(hwnd) != nullptr) {
        impl_->Call(lock, hwnd, WM_INITDIALOG, 0, 0);
    }
    if ((creation.style & WS_VISIBLE) != 0 && impl_->Find(hwnd) != nullptr) {
        impl_->Find(hwnd)->creation.style |= WS_VISIBLE;
        impl_->Show(lock, hwnd, SW_SHOW);
    }
    return impl_->Find(hwnd) != nullptr ? hwnd : 0;
}

bool Desktop::DestroyWindow(Hwnd hwnd) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->Destroy(lock, hwnd);
}

bool Desktop::IsWindow(Hwnd hwnd) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->Find(hwnd) != nullptr;
}

bool Desktop::IsWindowVisible(Hwnd hwnd) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->Find(hwnd);
    return window != nullptr && window->visible;
}

bool Desktop::IsIconic(Hwnd hwnd) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->Find(hwnd);
    return window != nullptr && window->minimized;
}

Hwnd Desktop::FindWindow(const std::u16string& className, const std::u16string& title) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto it = impl_->windows.rbegin(); it != impl_->windows.rend(); ++it) {
        Impl::Window* window = impl_->Find(it->first);
        if (window == nullptr) {
            continue;
        }
        if (!className.empty() && Fold(className) != Fold(window->creation.className)) {
            continue;
        }
        if (!title.empty() && Fold(title) != Fold(window->creation.title)) {
            continue;
        }
        return window->hwnd;
    }
    return 0;
}

bool Desktop::SetWindowText(Hwnd hwnd, const std::u16string& text) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return false;
    }
    window->creation.title = text;
    return true;
}

std::u16string Desktop::GetWindowText(Hwnd hwnd) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    return window == nullptr ? std::u16string() : window->creation.title;
}

Hwnd Desktop::GetWindowOwner(Hwnd hwnd) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    return window == nullptr ? 0 : window->creation.owner;
}

bool Desktop::ShowWindow(Hwnd hwnd, int command) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->Show(lock, hwnd, command);
}

bool Desktop::SetWindowPos(Hwnd hwnd, int x, int y, int width, int height, uint32_t flags) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->Position(lock, hwnd, x, y, width, height, flags);
}

bool Desktop::MoveWindow(Hwnd hwnd, int x, int y, int width, int height) {
    return SetWindowPos(hwnd, x, y, width, height, SWP_NOZORDER);
}

bool Desktop::GetWindowRect(Hwnd hwnd, Rect* rect) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return false;
    }
    *rect = window->rect;
    return true;
}

bool Desktop::GetClientRect(Hwnd hwnd, Rect* rect) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return false;
    }
    *rect = Rect{0, 0, window->rect.Width(), window->rect.Height()};
    return true;
}

bool Desktop::CenterWindow(Hwnd hwnd) {
    Rect rect;
    if (!GetWindowRect(hwnd, &rect)) {
        return false;
    }
    const Rect area = WorkArea();
    const int x = area.left + (area.Width() - rect.Width()) / 2;
    const int y = area.top + (area.Height() - rect.Height()) / 2;
    return SetWindowPos(hwnd, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool Desktop::SetForegroundWindow(Hwnd hwnd) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->FindOrFail(hwnd) == nullptr) {
        return false;
    }
    impl_->foreground = hwnd;
    impl_->Raise(hwnd);
    return true;
}

Hwnd Desktop::GetForegroundWindow() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->Find(impl_->foreground) != nullptr ? impl_->foreground : 0;
}

int32_t Desktop::GetWindowLong(Hwnd hwnd, int index) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return 0;
    }
    uint32_t style = window->creation.style & ~WS_VISIBLE;
    if (window->visible) {
        style |= WS_VISIBLE;
    }
    if (index == GWL_STYLE) {
        return static_cast<int32_t>(style);
    }
    if (index == GWL_EXSTYLE) {
        return static_cast<int32_t>(window->creation.exStyle);
    }
    SetLastError(kErrorInvalidParameter);
    return 0;
}

int32_t Desktop::SetWindowLong(Hwnd hwnd, int index, int32_t value) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return 0;
    }
    if (index == GWL_EXSTYLE) {
        const uint32_t old = window->creation.exStyle;
        window->creation.exStyle = static_cast<uint32_t>(value);
        if ((old & WS_EX_LAYERED) != 0 && (window->creation.exStyle & WS_EX_LAYERED) == 0) {
            window->layeredSet = false;  // leaving the layered style drops its attributes
        }
        SetLastError(kErrorSuccess);
        return static_cast<int32_t>(old);
    }
    if (index == GWL_STYLE) {
        const uint32_t old = window->creation.style;
        window->creation.style = static_cast<uint32_t>(value) & ~WS_VISIBLE;
        SetLastError(kErrorSuccess);
        return static_cast<int32_t>(old);
    }
    SetLastError(kErrorInvalidParameter);
    return 0;
}

bool Desktop::SetLayeredWindowAttributes(Hwnd hwnd, uint32_t colorKey, uint8_t alpha,
                                         uint32_t flags) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return false;
    }
    if ((window->creation.exStyle & WS_EX_LAYERED) == 0) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    window->layered = LayeredAttributes{colorKey, alpha, flags};
    window->layeredSet = true;
    return true;
}

bool Desktop::GetLayeredWindowAttributes(Hwnd hwnd, LayeredAttributes* attributes) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return false;
    }
    if ((window->creation.exStyle & WS_EX_LAYERED) == 0 || !window->layeredSet) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    *attributes = window->layered;
    return true;
}

Hwnd Desktop::WindowFromPoint(Point screen) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->FromPoint(screen);
}

int Desktop::GetSystemMetrics(int index) {
    switch (index) {
        case SM_CXSCREEN:
            return kScreenWidth;
        case SM_CYSCREEN:
            return kScreenHeight;
        case SM_CXDOUBLECLK:
        case SM_CYDOUBLECLK:
            return 4;
        default:
            return 0;
    }
}

Rect Desktop::WorkArea() const {
    return Rect{0, 0, kScreenWidth, kScreenHeight - kTaskbarHeight};
}

bool Desktop::InvalidateRect(Hwnd hwnd, const Rect* rect, bool erase) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return false;
    }
    if (!window->visible) {
        return true;  // a hidden window has nothing to update; showing it repaints it whole
    }
    const Rect client{0, 0, window->rect.Width(), window->rect.Height()};
    Rect add = rect == nullptr ? client : *rect;
    add.left = std::max(add.left, 0);
    add.top = std::max(add.top, 0);
    add.right = std::min(add.right, client.right);
    add.bottom = std::min(add.bottom, client.bottom);
    if (add.Empty()) {
        return true;
    }
    if (window->updatePending) {
        Rect& u = window->update;
        u = Rect{std::min(u.left, add.left), std::min(u.top, add.top), std::max(u.right, add.right),
                 std::max(u.bottom, add.bottom)};
    } else {
        window->update = add;
        window->updatePending = true;
    }
    window->erasePending = window->erasePending || erase;
    impl_->changed.notify_all();
    return true;
}

bool Desktop::ValidateRect(Hwnd hwnd, const Rect* rect) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return false;
    }
    // The update region is kept as one rectangle: validating a part that covers it clears it.
    const Rect& u = window->update;
    if (rect == nullptr || (rect->left <= u.left && rect->top <= u.top && rect->right >= u.right &&
                            rect->bottom >= u.bottom)) {
        window->updatePending = false;
        window->erasePending = false;
    }
    return true;
}

bool Desktop::GetUpdateRect(Hwnd hwnd, Rect* rect, bool erase) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return false;
    }
    if (!window->updatePending) {
        if (rect != nullptr) {
            *rect = Rect{};
        }
        return false;
    }
    if (rect != nullptr) {
        *rect = window->update;
    }
    if (erase && window->erasePending) {
        window->erasePending = false;
        impl_->Send(lock, hwnd, WM_ERASEBKGND, 0, 0);
    }
    return true;
}

Rect Desktop::BeginPaint(Hwnd hwnd) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return Rect{};
    }
    const Rect update = window->updatePending ? window->update : Rect{};
    const bool erase = window->erasePending;
    window->updatePending = false;
    window->erasePending = false;
    if (erase) {
        impl_->Send(lock, hwnd, WM_ERASEBKGND, 0, 0);
    }
    return update;
}

void Desktop::EndPaint(Hwnd hwnd) {
    (void)hwnd;
}

bool Desktop::PresentPicture(Hwnd hwnd, int x, int y, int width, int height, const uint8_t* rgb,
                             size_t strideBytes) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr || rgb == nullptr || width < 0 || height < 0 ||
        strideBytes < static_cast<size_t>(width) * 3) {
        if (window != nullptr) {
            SetLastError(kErrorInvalidParameter);
        }
        return false;
    }
    Picture& picture = window->picture;
    for (int row = 0; row < height; ++row) {
        const int ty = y + row;
        if (ty < 0 || ty >= picture.height) {
            continue;
        }
        for (int column = 0; column < width; ++column) {
            const int tx = x + column;
            if (tx < 0 || tx >= picture.width) {
                continue;
            }
            memcpy(&picture.rgb[(static_cast<size_t>(ty) * picture.width + tx) * 3],
                   rgb + row * strideBytes + column * 3, 3);
        }
    }
    return true;
}

Picture Desktop::WindowPicture(Hwnd hwnd) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->Find(hwnd);
    return window == nullptr ? Picture{} : window->picture;
}

// --- messages ---------------------------------------------------------------------------------

LResult Desktop::SendMessage(Hwnd hwnd, uint32_t message, WParam wParam, LParam lParam) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    if (hwnd == kHwndBroadcast) {
        std::vector<Hwnd> all = impl_->zOrder;
        for (Hwnd target : all) {
            if (impl_->Find(target) != nullptr) {
                impl_->Send(lock, target, message, wParam, lParam);
            }
        }
        return 0;
    }
    return impl_->Send(lock, hwnd, message, wParam, lParam);
}

bool Desktop::PostMessage(Hwnd hwnd, uint32_t message, WParam wParam, LParam lParam) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (hwnd == kHwndBroadcast) {
        for (Hwnd target : impl_->zOrder) {
            if (Impl::Window* window = impl_->Find(target)) {
                impl_->Post(*window, message, wParam, lParam);
            }
        }
        return true;
    }
    if (hwnd == 0) {
        // A null window posts to the calling thread's queue, as PostThreadMessage does.
        auto queue = impl_->CurrentQueue();
        queue->posted.push_back(ThreadQueue::Posted{
            Msg{0, message, wParam, lParam, NowMs(), impl_->cursorPos}, nullptr});
        impl_->changed.notify_all();
        return true;
    }
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return false;
    }
    impl_->Post(*window, message, wParam, lParam);
    return true;
}

bool Desktop::PostThreadMessage(std::thread::id thread, uint32_t message, WParam wParam,
                                LParam lParam) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = impl_->queues.find(thread);
    if (it == impl_->queues.end() || it->second->ended) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return false;
    }
    it->second->posted.push_back(
        ThreadQueue::Posted{Msg{0, message, wParam, lParam, NowMs(), impl_->cursorPos}, nullptr});
    impl_->changed.notify_all();
    return true;
}

void Desktop::PostQuitMessage(int exitCode) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto queue = impl_->CurrentQueue();
    queue->quit = true;
    queue->quitCode = exitCode;
    impl_->changed.notify_all();
}

int Desktop::GetMessage(Msg* msg, Hwnd filter, uint32_t filterMin, uint32_t filterMax) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    if (filter != 0 && impl_->FindOrFail(filter) == nullptr) {
        return -1;
    }
    std::shared_ptr<ThreadQueue> queue = impl_->CurrentQueue();
    queue->lastPayload.reset();
    while (true) {
        if (impl_->closing) {
            *msg = Msg{};
            msg->message = WM_QUIT;
            return 0;
        }
        if (std::optional<Msg> next =
                impl_->Next(lock, *queue, filter, filterMin, filterMax, true)) {
            *msg = *next;
            return next->message == WM_QUIT ? 0 : 1;
        }
        queue->waiting = true;
        impl_->changed.notify_all();
        impl_->Wait(lock);
        queue->waiting = false;
    }
}

bool Desktop::PeekMessage(Msg* msg, Hwnd filter, uint32_t filterMin, uint32_t filterMax,
                          uint32_t removeFlags) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    std::shared_ptr<ThreadQueue> queue = impl_->CurrentQueue();
    const bool remove = (removeFlags & PM_REMOVE) != 0;
    if (remove) {
        queue->lastPayload.reset();
    }
    std::optional<Msg> next = impl_->Next(lock, *queue, filter, filterMin, filterMax, remove);
    if (!next) {
        return false;
    }
    *msg = *next;
    return true;
}

LResult Desktop::DispatchMessage(const Msg& msg) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    if (msg.hwnd == 0) {
        return 0;
    }
    Impl::Window* window = impl_->Find(msg.hwnd);
    if (window == nullptr || !impl_->OnOwnThread(*window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return impl_->Call(lock, msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

LResult Desktop::DefWindowProc(Hwnd hwnd, uint32_t message, WParam wParam, LParam lParam) {
    switch (message) {
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_PAINT:
            BeginPaint(hwnd);
            EndPaint(hwnd);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_NCHITTEST: {
            Rect rect;
            if (!GetWindowRect(hwnd, &rect)) {
                return HTNOWHERE;
            }
            return rect.Contains(Point{LowWordSigned(lParam), HighWordSigned(lParam)}) ? HTCLIENT
                                                                                       : HTNOWHERE;
        }
        case WM_SETCURSOR:
            if ((lParam & 0xFFFF) == HTCLIENT || (lParam & 0xFFFF) == HTCAPTION) {
                SetCursor(LoadCursor(IDC_ARROW));  // the class cursor of every window here
            }
            return 0;
        case WM_NCLBUTTONDOWN:
            if (wParam == static_cast<WParam>(HTCAPTION)) {
                // The caption drag: the window follows the mouse until the button comes up.
                std::lock_guard<std::mutex> lock(impl_->mutex);
                Impl::Window* window = impl_->Find(hwnd);
                if (window != nullptr && impl_->OnOwnThread(*window)) {
                    window->queue->moving = hwnd;
                    window->queue->grab = Point{LowWordSigned(lParam) - window->rect.left,
                                                HighWordSigned(lParam) - window->rect.top};
                }
            }
            return 0;
        default:
            return 0;
    }
}

uint32_t Desktop::RegisterWindowMessage(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (name.empty() || name.size() > 255) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    const std::u16string key = Fold(name);
    auto it = impl_->registeredMessages.find(key);
    if (it != impl_->registeredMessages.end()) {
        return it->second;
    }
    const uint32_t number = impl_->nextMessage++;
    impl_->registeredMessages[key] = number;
    return number;
}

// --- timers -----------------------------------------------------------------------------------

uintptr_t Desktop::SetTimer(Hwnd hwnd, uintptr_t id, uint32_t elapseMs) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return 0;
    }
    if (!impl_->OnOwnThread(*window)) {
        SetLastError(kErrorAccessDenied);
        return 0;
    }
    const uint32_t elapse = std::min<uint32_t>(std::max(elapseMs, kTimerMinimumMs), 0x7FFFFFFF);
    window->timers[id] = Impl::Timer{elapse, kernel::Now() + int64_t{elapse} * 10000};
    impl_->changed.notify_all();
    return id == 0 ? 1 : id;
}

bool Desktop::KillTimer(Hwnd hwnd, uintptr_t id) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Window* window = impl_->FindOrFail(hwnd);
    if (window == nullptr) {
        return false;
    }
    if (window->timers.erase(id) == 0) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    return true;
}

uint32_t Desktop::GetTickCount() {
    return NowMs();
}

// --- cursor -----------------------------------------------------------------------------------

HCursor Desktop::LoadCursor(uint32_t id) {
    for (const SystemCursor& cursor : kCursors) {
        if (cursor.id == id) {
            return kCursorBase + id;
        }
    }
    SetLastError(ERROR_INVALID_CURSOR_HANDLE);
    return 0;
}

HCursor Desktop::SetCursor(HCursor cursor) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const HCursor previous = impl_->cursor;
    impl_->cursor = cursor;
    return previous;
}

HCursor Desktop::GetCursor() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->cursor;
}

bool Desktop::GetCursorPos(Point* point) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    *point = impl_->cursorPos;
    return true;
}

bool Desktop::SetCursorPos(int x, int y) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->cursorPos =
        Point{std::clamp(x, 0, kScreenWidth - 1), std::clamp(y, 0, kScreenHeight - 1)};
    return true;
}

Hwnd Desktop::SetCapture(Hwnd hwnd) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const Hwnd previous = impl_->Find(impl_->capture) != nullptr ? impl_->capture : 0;
    if (impl_->FindOrFail(hwnd) != nullptr) {
        impl_->capture = hwnd;
    }
    return previous;
}

bool Desktop::ReleaseCapture() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->capture = 0;
    return true;
}

Hwnd Desktop::GetCapture() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->Find(impl_->capture) != nullptr ? impl_->capture : 0;
}

std::string Desktop::CursorName(HCursor cursor) {
    for (const SystemCursor& entry : kCursors) {
        if (cursor == kCursorBase + entry.id) {
            return entry.name;
        }
    }
    return std::string();
}

// --- notification area ------------------------------------------------------------------------

bool Desktop::ShellNotifyIcon(uint32_t message, const NotifyIconData& data) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = std::find_if(impl_->tray.begin(), impl_->tray.end(), [&](const TrayIcon& icon) {
        return icon.data.hwnd == data.hwnd && icon.data.id == data.id;
    });
    auto apply = [&data](NotifyIconData& target) {
        if ((data.flags & NIF_MESSAGE) != 0) {
            target.callbackMessage = data.callbackMessage;
        }
        if ((data.flags & NIF_ICON) != 0) {
            target.icon = data.icon;
        }
        if ((data.flags & NIF_TIP) != 0) {
            target.tip = data.tip.substr(0, 127);
        }
        target.flags |= data.flags & (NIF_MESSAGE | NIF_ICON | NIF_TIP);
    };
    switch (message) {
        case NIM_ADD: {
            if (it != impl_->tray.end() || impl_->Find(data.hwnd) == nullptr) {
                return false;
            }
            TrayIcon icon;
            icon.data.hwnd = data.hwnd;
            icon.data.id = data.id;
            apply(icon.data);
            impl_->tray.push_back(icon);
            break;
        }
        case NIM_MODIFY:
            if (it == impl_->tray.end()) {
                return false;
            }
            apply(it->data);
            break;
        case NIM_DELETE:
            if (it == impl_->tray.end()) {
                return false;
            }
            impl_->tray.erase(it);
            break;
        default:
            return false;
    }
    // Icons line up from the clock leftwards, the first added nearest to it.
    for (size_t i = 0; i < impl_->tray.size(); ++i) {
        impl_->tray[i].position =
            Point{kScreenWidth - 80 - 24 * static_cast<int>(i), kScreenHeight - kTaskbarHeight / 2};
    }
    return true;
}

// --- menus ------------------------------------------------------------------------------------

HMenu Desktop::CreatePopupMenu() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->menus.Create(true);
}

HMenu Desktop::CreateMenu() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->menus.Create(false);
}

bool Desktop::DestroyMenu(HMenu menu) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->menus.Destroy(menu);
}

bool Desktop::AppendMenu(HMenu menu, uint32_t flags, uint64_t idOrSubmenu,
                         const std::u16string& text) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->menus.Insert(menu, -1, flags, idOrSubmenu, text);
}

bool Desktop::InsertMenu(HMenu menu, uint32_t position, uint32_t flags, uint64_t idOrSubmenu,
                         const std::u16string& text) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->menus.InsertAt(menu, position, flags, idOrSubmenu, text);
}

bool Desktop::ModifyMenu(HMenu menu, uint32_t position, uint32_t flags, uint64_t idOrSubmenu,
                         const std::u16string& text) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->menus.Modify(menu, position, flags, idOrSubmenu, text);
}

bool Desktop::DeleteMenu(HMenu menu, uint32_t position, uint32_t flags) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->menus.Delete(menu, position, flags);
}

int32_t Desktop::CheckMenuItem(HMenu menu, uint32_t item, uint32_t flags) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->menus.SetState(menu, item, flags, MF_CHECKED);
}

int32_t Desktop::EnableMenuItem(HMenu menu, uint32_t item, uint32_t flags) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->menus.SetState(menu, item, flags, MF_GRAYED | MF_DISABLED);
}

HMenu Desktop::GetSubMenu(HMenu menu, int position) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const MenuTable::Menu* data = impl_->menus.Find(menu);
    if (data == nullptr || position < 0 || position >= static_cast<int>(data->items.size())) {
        return 0;
    }
    const MenuItem& item = data->items[static_cast<size_t>(position)];
    return (item.flags & MF_POPUP) != 0 ? item.submenu : 0;
}

int Desktop::GetMenuItemCount(HMenu menu) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const MenuTable::Menu* data = impl_->menus.Find(menu);
    if (data == nullptr) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return -1;
    }
    return static_cast<int>(data->items.size());
}

uint32_t Desktop::GetMenuItemID(HMenu menu, int position) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const MenuTable::Menu* data = impl_->menus.Find(menu);
    if (data == nullptr || position < 0 || position >= static_cast<int>(data->items.size())) {
        return 0xFFFFFFFFu;
    }
    const MenuItem& item = data->items[static_cast<size_t>(position)];
    return (item.flags & MF_POPUP) != 0 ? 0xFFFFFFFFu : item.id;
}

std::optional<MenuItem> Desktop::GetMenuItem(HMenu menu, uint32_t item, uint32_t flags) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const MenuItem* found = impl_->menus.Locate(menu, item, flags);
    if (found == nullptr) {
        return std::nullopt;
    }
    return *found;
}

HMenu Desktop::LoadMenuIndirect(const void* bytes, size_t size) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->menus.FromTemplate(static_cast<const uint8_t*>(bytes), size);
}

uint32_t Desktop::TrackPopupMenu(HMenu menu, uint32_t flags, int x, int y, Hwnd owner) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    if (impl_->menus.Find(menu) == nullptr) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return 0;
    }
    if (impl_->FindOrFail(owner) == nullptr) {
        return 0;
    }
    if (impl_->openMenu) {
        SetLastError(ERROR_POPUP_ALREADY_ACTIVE);
        return 0;
    }
    ShownMenu shown;
    shown.owner = owner;
    shown.at = Point{x, y};
    shown.flags = flags;
    shown.menu = impl_->Snapshot(menu);
    impl_->openMenu = shown;
    impl_->lastMenu = shown;
    impl_->menuDone = false;
    impl_->menuChosen = false;
    std::shared_ptr<ThreadQueue> queue = impl_->CurrentQueue();
    queue->inMenu = true;
    impl_->menuQueue = queue;
    impl_->changed.notify_all();
    while (!impl_->menuDone && !queue->ended && !impl_->closing) {
        if (impl_->RunSent(lock, *queue)) {
            continue;
        }
        impl_->Wait(lock);
    }
    queue->inMenu = false;
    impl_->openMenu.reset();
    impl_->menuQueue.reset();
    const bool chosen = impl_->menuChosen;
    const uint32_t choice = impl_->menuChoice;
    impl_->changed.notify_all();
    if ((flags & TPM_RETURNCMD) != 0) {
        return chosen ? choice : 0;
    }
    if (chosen && (flags & TPM_NONOTIFY) == 0) {
        if (Impl::Window* window = impl_->Find(owner)) {
            impl_->Post(*window, WM_COMMAND, choice, 0);
        }
    }
    return 1;
}

// --- message boxes ----------------------------------------------------------------------------

int Desktop::MessageBox(Hwnd owner, const std::u16string& text, const std::u16string& caption,
                        uint32_t type) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (owner != 0 && impl_->FindOrFail(owner) == nullptr) {
        return 0;
    }
    const std::vector<int> buttons = Buttons(type);
    const size_t defaultIndex = (type >> 8) & 0xF;
    int answer = buttons[defaultIndex < buttons.size() ? defaultIndex : 0];
    if (!impl_->answers.empty()) {
        const int queued = impl_->answers.front();
        impl_->answers.pop_front();
        if (std::find(buttons.begin(), buttons.end(), queued) != buttons.end()) {
            answer = queued;
        }
    }
    impl_->boxes.push_back(MessageBoxRecord{owner, text, caption, type, answer});
    return answer;
}

// --- device notifications ---------------------------------------------------------------------

Handle Desktop::RegisterDeviceNotification(Hwnd recipient, const Guid& interfaceClass,
                                           uint32_t flags) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if ((flags & ~DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != DEVICE_NOTIFY_WINDOW_HANDLE) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    if (impl_->FindOrFail(recipient) == nullptr) {
        return 0;
    }
    const bool all = (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
    const Handle handle = impl_->nextNotification++;
    impl_->notifications[handle] = Impl::Notification{recipient, interfaceClass, all};
    if (all) {
        impl_->Listen(kKsCategoryAudioGuid);
        impl_->Listen(FromKernelGuid(kKsCategoryRender));
        impl_->Listen(FromKernelGuid(kKsCategoryCapture));
        impl_->Listen(kUsbHubGuid);
    } else {
        impl_->Listen(interfaceClass);
    }
    return handle;
}

bool Desktop::UnregisterDeviceNotification(Handle notification) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->notifications.erase(notification) == 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

// --- the scenario's side ----------------------------------------------------------------------

void Desktop::Mouse(MouseAction action, Point screen) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->cursorPos = Point{std::clamp(screen.x, 0, kScreenWidth - 1),
                             std::clamp(screen.y, 0, kScreenHeight - 1)};
    if (action == MouseAction::LeftDown || action == MouseAction::LeftUp) {
        impl_->leftDown = action == MouseAction::LeftDown;
    } else if (action == MouseAction::RightDown || action == MouseAction::RightUp) {
        impl_->rightDown = action == MouseAction::RightDown;
    }
    // A button's own down message counts it as down, its up message no longer.
    const WParam keys = (impl_->leftDown ? MK_LBUTTON : 0) | (impl_->rightDown ? MK_RBUTTON : 0);
    // A caption drag in progress takes every mouse event of its thread.
    for (auto& entry : impl_->queues) {
        if (entry.second->moving != 0 && !entry.second->ended) {
            entry.second->input.push_back(
                ThreadQueue::Input{action, impl_->cursorPos, entry.second->moving, NowMs(), keys});
            impl_->changed.notify_all();
            return;
        }
    }
    Hwnd target = impl_->Find(impl_->capture) != nullptr ? impl_->capture
                                                         : impl_->FromPoint(impl_->cursorPos);
    Impl::Window* window = impl_->Find(target);
    if (window == nullptr) {
        return;  // the desktop itself
    }
    window->queue->input.push_back(
        ThreadQueue::Input{action, impl_->cursorPos, target, NowMs(), keys});
    impl_->changed.notify_all();
}

void Desktop::Click(Point screen) {
    Mouse(MouseAction::LeftDown, screen);
    Mouse(MouseAction::LeftUp, screen);
}

void Desktop::DoubleClick(Point screen) {
    Click(screen);
    Click(screen);
}

std::vector<TrayIcon> Desktop::TrayIcons() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->tray;
}

std::optional<TrayIcon> Desktop::FindTrayIcon(Hwnd hwnd, uint32_t id) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (const TrayIcon& icon : impl_->tray) {
        if (icon.data.hwnd == hwnd && icon.data.id == id) {
            return icon;
        }
    }
    return std::nullopt;
}

bool Desktop::ClickTrayIcon(Hwnd hwnd, uint32_t id, TrayClick click) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = std::find_if(impl_->tray.begin(), impl_->tray.end(), [&](const TrayIcon& icon) {
        return icon.data.hwnd == hwnd && icon.data.id == id;
    });
    if (it == impl_->tray.end()) {
        return false;
    }
    Impl::Window* window = impl_->Find(hwnd);
    if (window == nullptr) {
        impl_->tray.erase(it);
        return false;
    }
    impl_->cursorPos = it->position;
    const TrayIcon icon = *it;
    if ((icon.data.flags & NIF_MESSAGE) == 0) {
        return true;
    }
    std::vector<uint32_t> sequence;
    switch (click) {
        case TrayClick::Click:
            sequence = {WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP};
            break;
        case TrayClick::DoubleClick:
            sequence = {WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP};
            break;
        case TrayClick::RightClick:
            sequence = {WM_MOUSEMOVE, WM_RBUTTONDOWN, WM_RBUTTONUP};
            break;
    }
    for (uint32_t mouse : sequence) {
        impl_->Post(*window, icon.data.callbackMessage, icon.data.id, mouse);
    }
    return true;
}

std::optional<ShownMenu> Desktop::OpenMenu() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->openMenu;
}

std::optional<ShownMenu> Desktop::LastShownMenu() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->lastMenu;
}

namespace {

const MenuSnapshot::Entry* FindEntry(const std::vector<MenuSnapshot::Entry>& entries, uint32_t id) {
    for (const MenuSnapshot::Entry& entry : entries) {
        if ((entry.item.flags & MF_POPUP) != 0) {
            if (const MenuSnapshot::Entry* found = FindEntry(entry.submenu, id)) {
                return found;
            }
        } else if ((entry.item.flags & MF_SEPARATOR) == 0 && entry.item.id == id) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

bool Desktop::ChooseMenuItem(uint32_t id) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->openMenu || impl_->menuDone) {
        return false;
    }
    const MenuSnapshot::Entry* entry = FindEntry(impl_->openMenu->menu.items, id);
    if (entry == nullptr || (entry->item.flags & (MF_GRAYED | MF_DISABLED)) != 0) {
        return false;
    }
    impl_->menuChosen = true;
    impl_->menuChoice = id;
    impl_->menuDone = true;
    impl_->changed.notify_all();
    return true;
}

bool Desktop::DismissMenu() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->openMenu || impl_->menuDone) {
        return false;
    }
    impl_->menuChosen = false;
    impl_->menuDone = true;
    impl_->changed.notify_all();
    return true;
}

void Desktop::QueueMessageBoxAnswer(int answer) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->answers.push_back(answer);
}

std::vector<MessageBoxRecord> Desktop::MessageBoxes() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->boxes;
}

void Desktop::ClearMessageBoxes() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->boxes.clear();
}

bool Desktop::WaitIdle(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->changed.notify_all();  // the clock may have moved: let the pumps look at it
    UserModeWait wait;
    return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [this] { return impl_->AllIdle(); });
}

uint32_t Desktop::WaitForInputIdle(uint32_t processId, uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(impl_->mutex);
    UserModeWait wait;
    while (true) {
        for (const auto& entry : impl_->queues) {
            const ThreadQueue& queue = *entry.second;
            if (queue.process == processId && !queue.ended && impl_->Idle(queue)) {
                return 0;
            }
        }
        if (impl_->processes != nullptr && !impl_->processes->Running(processId)) {
            return 0xFFFFFFFFu;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return kErrorWaitTimeout;
        }
        // A process's end does not signal the desktop, so look again now and then.
        impl_->changed.wait_for(lock, std::chrono::milliseconds(5));
    }
}

void Desktop::RunUntil(int64_t time) {
    if (!WaitIdle()) {
        return;
    }
    while (true) {
        int64_t next = time;
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            const int64_t now = kernel::Now();
            for (const auto& entry : impl_->windows) {
                const Impl::Window& window = *entry.second;
                if (window.destroyed || window.queue->ended) {
                    continue;
                }
                for (const auto& timer : window.timers) {
                    if (timer.second.due > now && timer.second.due < next) {
                        next = timer.second.due;
                    }
                }
            }
        }
        const int64_t now = kernel::Now();
        if (next > now) {
            kernel::AdvanceTime(next - now);
        }
        std::function<void(int64_t)> listener;
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            listener = impl_->clockListener;
        }
        if (listener) {
            listener(kernel::Now());
        }
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            impl_->changed.notify_all();
        }
        if (!WaitIdle() || kernel::Now() >= time) {
            return;
        }
    }
}

void Desktop::SetClockListener(std::function<void(int64_t now)> listener) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->clockListener = std::move(listener);
}

void Desktop::RunForMs(uint32_t milliseconds) {
    RunUntil(kernel::Now() + int64_t{milliseconds} * 10000);
}

}  // namespace host::user
