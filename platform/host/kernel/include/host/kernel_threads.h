// Time and threads of the simulated kernel.
//
// The kernel runs on a virtual clock (100-ns units since boot, what KeQueryInterruptTime
// returns). It never moves while any kernel thread is running; when every kernel thread is
// blocked and at least one of them waits with a deadline (a timeout, a KeDelayExecutionThread,
// a set timer), the clock jumps to the earliest deadline at once. A 2.5-second timeout thus
// costs no real time, and what happens "before" a timer fires is decided by the program, not by
// the host's scheduler. Tests may also move the clock themselves (AdvanceTime).
//
// A kernel thread is any thread that has called into the kernel (it is registered on its first
// call and leaves at exit), plus the kernel's own DPC and worker threads. A registered thread
// that blocks outside the kernel (joining another thread, waiting on a std::condition_variable)
// must say so with ExternalWait, or the clock cannot move while it waits; a thread that will
// signal kernel objects must be registered before anything depends on it (start it with
// host::kernel::Thread, or call AttachCurrentThread first).
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace host::kernel {

// The virtual interrupt time in 100-ns units.
int64_t Now();
// Moves the clock forward by `units` (100 ns each), firing every timer that falls due on the
// way in order, and returns once their DPCs and the work they queued have run. Called from a
// running thread (typically the test's).
void AdvanceTime(int64_t units);
inline void AdvanceTimeMs(int64_t milliseconds) {
    AdvanceTime(milliseconds * 10000);
}
// Whether the clock jumps when every kernel thread is blocked (on by default). With it off,
// only AdvanceTime moves the clock.
void SetAutoAdvance(bool enabled);
// Waits until no DPC and no work item is queued or running (timers set for later stay set).
void Settle();

// Registers the calling thread with the kernel now (it would be at its first kernel call).
void AttachCurrentThread(const std::string& name = std::string());
// Unregisters the calling thread until its next kernel call.
void DetachCurrentThread();

// Whether the calling thread is registered with the kernel.
bool IsCurrentThreadAttached();

// A user-mode thread entering the kernel (a system call): registered for the object's
// lifetime if it was not registered already. User-mode threads thus hold the clock only while
// they are inside the kernel; the user-mode I/O entry and the Plug and Play manager's entry
// points use it.
class KernelEntry {
  public:
    KernelEntry();
    ~KernelEntry();
    KernelEntry(const KernelEntry&) = delete;
    KernelEntry& operator=(const KernelEntry&) = delete;

  private:
    bool attached_;
};

// Marks the calling thread as blocked outside the kernel while the object lives.
class ExternalWait {
  public:
    ExternalWait();
    ~ExternalWait();
    ExternalWait(const ExternalWait&) = delete;
    ExternalWait& operator=(const ExternalWait&) = delete;
};

// A std::thread that is registered with the kernel before its constructor returns, and
// whose Join counts as an external wait.
class Thread {
  public:
    Thread() = default;
    Thread(std::string name, std::function<void()> body);
    ~Thread();
    Thread(Thread&&) noexcept;
    Thread& operator=(Thread&&) noexcept;

    void Join();
    bool Joinable() const { return thread_.joinable(); }

  private:
    std::thread thread_;
};

// A mutex whose waiters block in the kernel's dispatcher, so holding it across driver calls
// does not stop the clock for everyone else (the Plug and Play manager serialises with one).
class DispatcherMutex {
  public:
    DispatcherMutex() = default;
    DispatcherMutex(const DispatcherMutex&) = delete;
    DispatcherMutex& operator=(const DispatcherMutex&) = delete;

    void lock();
    void unlock();

  private:
    const void* owner_ = nullptr;
    int depth_ = 0;
};

}  // namespace host::kernel
