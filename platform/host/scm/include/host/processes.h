// Programs and processes of the simulated machine. A program is code linked into the host
// process, registered under its image file name ("Dovrel.exe") the way driver images are; a
// process runs the program's main on a thread of its own, with the command line after the
// program's path, as wWinMain receives it.
//
// A thread cannot be killed from outside, so termination is cooperative: a process that is
// terminated has its terminate handlers called (a program's host wiring registers one that ends
// its message loop) and is waited for.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/file_system.h"
#include "host/kernel_threads.h"

namespace host {

// Marks a wait of the calling thread outside the kernel, for as long as it lives, when the
// thread is a kernel thread (the machine's own): virtual time may then move while it waits.
// Any other thread (a process's) is left alone, so that it never becomes a kernel thread that
// would hold the clock while it runs user-mode code.
class UserModeWait {
  public:
    UserModeWait() {
        if (kernel::IsCurrentThreadAttached()) {
            wait_.emplace();
        }
    }

  private:
    std::optional<kernel::ExternalWait> wait_;
};

class FileSystem;

using ProcessId = uint32_t;
// A program's main: takes the command line after the program's path (leading blanks skipped)
// and returns the exit code.
using ProgramMain = std::function<int(const std::string& arguments)>;

class Processes {
  public:
    // With a file system, a program's image file must exist on it to start, and is in use
    // (cannot be deleted or replaced) while the process runs.
    explicit Processes(FileSystem* files = nullptr);
    // Terminates every process still running and waits for them.
    ~Processes();
    Processes(const Processes&) = delete;
    Processes& operator=(const Processes&) = delete;

    // Makes a program startable under its image file name; names compare without regard to
    // case. Registering a name again replaces the program for later starts. A 32-bit program
    // on a 64-bit drive runs under WOW64: its threads see the file system redirected.
    void RegisterProgram(std::string_view imageName, ProgramMain main, bool thirtyTwoBit = false);
    // Later starts of the image fail as for a file that holds no program.
    void UnregisterProgram(std::string_view imageName);

    // CreateProcess(nullptr, commandLine, ...): the first token (in quotes, or up to the first
    // blank) is the program's path, and its file name picks the registered program. Fails
    // with kErrorFileNotFound when the image file is missing (or, without a file system, no
    // such program is registered) and with kErrorBadExeFormat (193) when the file exists but
    // no program is registered under its name. `onExit` runs on the process's thread once
    // the program returned, with its exit code. The image path is the file the creating
    // thread's view of the drive names (a 32-bit caller's "system32" is SysWOW64).
    uint32_t Create(const std::string& commandLine, ProcessId* id,
                    std::function<void(int exitCode)> onExit = nullptr);

    // WaitForSingleObject on the process and GetExitCodeProcess: kErrorSuccess with the exit
    // code once it ended, kErrorWaitTimeout (258) when it still runs after `timeoutMs`
    // (real time). A wait from a kernel thread counts as a wait outside the kernel.
    uint32_t Wait(ProcessId id, uint32_t timeoutMs, int* exitCode = nullptr);
    bool Running(ProcessId id);
    // Asks a running process to end: calls its terminate handlers (on this thread). The
    // process's exit code becomes `exitCode`. Does not wait.
    void Terminate(ProcessId id, int exitCode);
    // The processes that have not ended yet.
    std::vector<ProcessId> RunningProcesses();
    // A process's image path as it was started ("C:\Windows\system32\Dovrel.exe") and its
    // whole command line, as GetModuleFileName and GetCommandLine give them to it; empty for
    // an id that never was a process.
    std::string ImagePath(ProcessId id);
    std::string CommandLine(ProcessId id);

    // Inside a process (its main thread or a thread that adopted it): the process's id, 0
    // elsewhere.
    static ProcessId Current();
    // IsWow64Process: whether the process is a 32-bit program on a 64-bit drive.
    static bool IsWow64(ProcessId id);
    // Adds a handler that Terminate calls; a process already terminated calls it at once.
    void OnTerminate(ProcessId id, std::function<void()> handler);
    // Runs `listener` on each process's thread once its program has returned, before anyone
    // waiting for the process learns that it ended (what Windows releases of a process: the
    // libraries it mapped).
    void AddExitListener(std::function<void(ProcessId)> listener);

    // Makes the calling thread belong to a process while the object lives (threads a program
    // or the service control manager starts on a process's behalf).
    class ThreadScope {
      public:
        explicit ThreadScope(ProcessId id);
        ~ThreadScope();
        ThreadScope(const ThreadScope&) = delete;
        ThreadScope& operator=(const ThreadScope&) = delete;

      private:
        ProcessId previous_;
        FileSystem::Wow64Thread view_;
    };

  private:
    struct Process {
        ProcessId id = 0;
        std::string imagePath;
        std::string commandLine;
        std::thread thread;
        bool ended = false;
        bool terminated = false;
        int exitCode = 0;
        std::vector<std::function<void()>> terminateHandlers;
    };

    std::shared_ptr<Process> Find(ProcessId id);

    FileSystem* files_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, ProgramMain> programs_;  // by folded image name
    std::set<std::string> thirtyTwoBit_;           // folded image names
    std::vector<std::function<void(ProcessId)>> exitListeners_;
    std::map<ProcessId, std::shared_ptr<Process>> processes_;
    ProcessId nextId_ = 4;
};

}  // namespace host
