// The service thread's message loop, with a timer the simulator drives.
#include <chrono>
#include <thread>

#include "host/processes.h"
#include "host_ports.h"

namespace dovrel {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

HostMessageLoop::HostMessageLoop(Options options) : options_(std::move(options)) {}

WinError HostMessageLoop::Run(uint32_t periodMs, const std::function<void()>& onTick) {
    std::unique_lock<std::mutex> lock(mutex_);
    running_ = true;
    periodMs_ = periodMs;
    changed_.notify_all();
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(periodMs);
    for (;;) {
        const auto ready = [&] {
            return !posted_.empty() || ticksRequested_ > ticksServed_ ||
                   (options_.realTime && Clock::now() >= due);
        };
        if (options_.realTime)
            changed_.wait_until(lock, due, ready);
        else
            changed_.wait(lock, ready);

        if (!posted_.empty()) {
            std::function<void()> work = std::move(posted_.front());
            posted_.pop_front();
            if (!work)
                break;  // the quit message
            lock.unlock();
            work();
            lock.lock();
            continue;
        }
        const bool requested = ticksRequested_ > ticksServed_;
        if (!requested && !(options_.realTime && Clock::now() >= due))
            continue;
        lock.unlock();
        onTick();
        lock.lock();
        ++ticksRun_;
        if (requested)
            ++ticksServed_;
        // Elapsed periods coalesce into one timer message, as WM_TIMER does.
        due = Clock::now() + std::chrono::milliseconds(periodMs);
        changed_.notify_all();
    }
    running_ = false;
    ended_ = true;
    changed_.notify_all();
    return kErrorSuccess;
}

void HostMessageLoop::Post(std::function<void()> work) {
    if (!work)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(std::move(work));
    changed_.notify_all();
}

void HostMessageLoop::PostQuit() {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.push_back(nullptr);
    changed_.notify_all();
}

void HostMessageLoop::Sleep(uint32_t milliseconds) {
    if (options_.sleep)
        options_.sleep(milliseconds);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool HostMessageLoop::WaitForRunLocked(std::unique_lock<std::mutex>& lock, uint32_t timeoutMs) {
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return running_ || ended_; });
    return running_;
}

bool HostMessageLoop::Tick(uint32_t timeoutMs) {
    host::UserModeWait wait;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!WaitForRunLocked(lock, timeoutMs))
        return false;
    const uint64_t ticket = ++ticksRequested_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return ticksServed_ >= ticket || ended_; });
    return ticksServed_ >= ticket;
}

bool HostMessageLoop::Flush(uint32_t timeoutMs) {
    host::UserModeWait wait;
    auto done = std::make_shared<bool>(false);
    std::unique_lock<std::mutex> lock(mutex_);
    if (ended_)
        return false;
    posted_.push_back([this, done] {
        std::lock_guard<std::mutex> doneLock(mutex_);
        *done = true;
        changed_.notify_all();
    });
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return *done || ended_; });
    return *done;
}

uint32_t HostMessageLoop::PeriodMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return periodMs_;
}

uint64_t HostMessageLoop::TicksRun() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ticksRun_;
}

}  // namespace dovrel
