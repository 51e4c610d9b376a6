// A machine with a drive C:, a user session and a program-like UI thread, for the session's
// tests.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/machine.h"
#include "host/user_session.h"
#include "host/user_system.h"

namespace host::user::testing {

constexpr uint32_t kRunOnUiThread = WM_USER + 0x77;

class TempRoot {
  public:
    TempRoot() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ampfx-user-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~TempRoot() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

struct Logged {
    Hwnd hwnd;
    uint32_t message;
    WParam wParam;
    LParam lParam;
    std::thread::id thread;
};

// One window on a thread of its own that pumps messages until WM_QUIT, as a program's user
// interface thread does. Every message the window gets is logged; unhandled ones go to
// DefWindowProc, and `handler` may answer first.
class UiThread {
  public:
    using Handler = std::function<bool(Hwnd, uint32_t, WParam, LParam, LResult*)>;

    UiThread(Desktop& desktop, WindowCreation creation, Handler handler = nullptr)
        : desktop_(desktop), handler_(std::move(handler)) {
        std::atomic<bool> created{false};
        thread_ = std::thread([this, creation, &created]() mutable {
            creation.proc = [this](Hwnd hwnd, uint32_t message, WParam w, LParam l) {
                return Proc(hwnd, message, w, l);
            };
            hwnd_ = desktop_.CreateWindowEx(creation);
            created = true;
            Msg msg;
            while (desktop_.GetMessage(&msg) > 0) {
                desktop_.TranslateMessage(msg);
                desktop_.DispatchMessage(msg);
            }
            quitCode_ = static_cast<int>(msg.wParam);
        });
        while (!created) {
            std::this_thread::yield();
        }
    }
    ~UiThread() { Stop(); }

    void Stop() {
        if (thread_.joinable()) {
            desktop_.PostThreadMessage(thread_.get_id(), WM_QUIT, 7, 0);
            thread_.join();
        }
    }

    // Waits for a loop that ends by itself.
    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    // Runs `body` on the UI thread, through a message sent to its window.
    void Run(std::function<void()> body) {
        desktop_.SendMessage(hwnd_, kRunOnUiThread, 0,
                             static_cast<LParam>(reinterpret_cast<uintptr_t>(&body)));
    }

    Hwnd hwnd() const { return hwnd_; }
    std::thread::id id() const { return thread_.get_id(); }
    int quitCode() const { return quitCode_; }

    std::vector<Logged> Log() {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    std::vector<uint32_t> Messages(uint32_t only = 0) {
        std::vector<uint32_t> out;
        for (const Logged& entry : Log()) {
            if (only == 0 || entry.message == only) {
                out.push_back(entry.message);
            }
        }
        return out;
    }
    std::vector<Logged> Of(uint32_t message) {
        std::vector<Logged> out;
        for (const Logged& entry : Log()) {
            if (entry.message == message) {
                out.push_back(entry);
            }
        }
        return out;
    }
    void ClearLog() {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.clear();
    }

  private:
    LResult Proc(Hwnd hwnd, uint32_t message, WParam w, LParam l) {
        if (message == kRunOnUiThread) {
            (*reinterpret_cast<std::function<void()>*>(static_cast<uintptr_t>(l)))();
            return 0;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            log_.push_back(Logged{hwnd, message, w, l, std::this_thread::get_id()});
        }
        LResult result = 0;
        if (handler_ && handler_(hwnd, message, w, l, &result)) {
            return result;
        }
        return desktop_.DefWindowProc(hwnd, message, w, l);
    }

    Desktop& desktop_;
    Handler handler_;
    std::thread thread_;
    std::atomic<Hwnd> hwnd_{0};
    int quitCode_ = -1;
    std::mutex mutex_;
    std::vector<Logged> log_;
};

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override { Boot(UserSession::Options()); }
    void TearDown() override {
        session_.reset();
        system_.reset();
        machine_.reset();
    }

    void Boot(UserSession::Options options) {
        session_.reset();
        system_.reset();
        machine_.reset();
        machine_ = std::make_unique<Machine>();
        system_ = std::make_unique<UserSystem>(root_.path());
        session_ = std::make_unique<UserSession>(*machine_, *system_, options);
    }

    Desktop& desktop() { return session_->desktop(); }

    static WindowCreation Popup(const std::u16string& title, int x = 100, int y = 100,
                                int width = 640, int height = 480) {
        WindowCreation creation;
        creation.className = u"#32770";
        creation.title = title;
        creation.style = WS_POPUP;
        creation.classStyle = CS_DBLCLKS;
        creation.x = x;
        creation.y = y;
        creation.width = width;
        creation.height = height;
        return creation;
    }

    TempRoot root_;
    std::unique_ptr<Machine> machine_;
    std::unique_ptr<UserSystem> system_;
    std::unique_ptr<UserSession> session_;
};

}  // namespace host::user::testing
