#include "win32_ports.h"

namespace dovrel {

namespace {

// A thread message (no window) that wakes the loop for posted work.
constexpr UINT kWorkMessage = WM_APP + 1;

}  // namespace

Win32MessageLoop* Win32MessageLoop::running_ = nullptr;

Win32MessageLoop::Win32MessageLoop() {
    InitializeCriticalSection(&lock_);
}

Win32MessageLoop::~Win32MessageLoop() {
    DeleteCriticalSection(&lock_);
}

WinError Win32MessageLoop::Run(uint32_t periodMs, const std::function<void()>& onTick) {
    MSG msg;
    // Gives the thread its message queue before other threads may post to it.
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    const DWORD self = GetCurrentThreadId();
    EnterCriticalSection(&lock_);
    threadId_ = self;
    const bool workWaiting = !work_.empty();
    const bool quitWaiting = quitBeforeRun_;
    quitBeforeRun_ = false;
    LeaveCriticalSection(&lock_);
    if (workWaiting)
        PostThreadMessageW(self, kWorkMessage, 0, 0);
    if (quitWaiting)
        PostThreadMessageW(self, WM_QUIT, 0, 0);

    running_ = this;
    onTick_ = &onTick;
    WinError error = kErrorSuccess;
    const UINT_PTR timer = SetTimer(nullptr, 0, periodMs, &TimerProc);
    if (timer == 0) {
        error = GetLastError();
    } else {
        BOOL got;
        while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
            if (got == -1) {
                error = GetLastError();
                break;
            }
            if (msg.hwnd == nullptr && msg.message == kWorkMessage) {
                RunPostedWork();
                continue;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        KillTimer(nullptr, timer);
    }
    running_ = nullptr;
    onTick_ = nullptr;

    EnterCriticalSection(&lock_);
    threadId_ = 0;
    LeaveCriticalSection(&lock_);
    return error;
}

void Win32MessageLoop::Post(std::function<void()> work) {
    if (!work)
        return;
    EnterCriticalSection(&lock_);
    work_.push_back(std::move(work));
    const DWORD thread = threadId_;
    LeaveCriticalSection(&lock_);
    if (thread != 0)
        PostThreadMessageW(thread, kWorkMessage, 0, 0);
}

void Win32MessageLoop::PostQuit() {
    EnterCriticalSection(&lock_);
    const DWORD thread = threadId_;
    if (thread == 0)
        quitBeforeRun_ = true;
    LeaveCriticalSection(&lock_);
    if (thread != 0)
        PostThreadMessageW(thread, WM_QUIT, 0, 0);
}

void Win32MessageLoop::Sleep(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

// Called by DispatchMessage for the thread timer's WM_TIMER, on the loop's thread.
void CALLBACK Win32MessageLoop::TimerProc(HWND, UINT, UINT_PTR, DWORD) {
    Win32MessageLoop* loop = running_;
    if (loop != nullptr && loop->onTick_ != nullptr)
        (*loop->onTick_)();
}

void Win32MessageLoop::RunPostedWork() {
    for (;;) {
        std::function<void()> next;
        EnterCriticalSection(&lock_);
        if (!work_.empty()) {
            next = std::move(work_.front());
            work_.pop_front();
        }
        LeaveCriticalSection(&lock_);
        if (!next)
            return;
        next();
    }
}

}  // namespace dovrel
