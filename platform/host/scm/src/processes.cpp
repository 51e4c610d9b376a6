#include "host/processes.h"

#include <chrono>

#include "host/file_system.h"
#include "host/kernel_threads.h"
#include "host/text.h"
#include "host/win32_error.h"

namespace host {
namespace {

constexpr uint32_t kErrorBadExeFormat = 193;

thread_local ProcessId t_currentProcess = 0;

// The processes that run under WOW64, for the threads that adopt one.
std::mutex g_wow64Mutex;
std::set<ProcessId> g_wow64Processes;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The program's path and the arguments after it, as CreateProcess splits a command line whose
// program path is either quoted or free of blanks.
void SplitCommandLine(const std::string& commandLine, std::string* program,
                      std::string* arguments) {
    size_t start = 0;
    while (start < commandLine.size() && IsBlank(commandLine[start])) {
        ++start;
    }
    size_t end;
    if (start < commandLine.size() && commandLine[start] == '"') {
        const size_t close = commandLine.find('"', start + 1);
        *program = commandLine.substr(
            start + 1, close == std::string::npos ? std::string::npos : close - start - 1);
        end = close == std::string::npos ? commandLine.size() : close + 1;
    } else {
        end = start;
        while (end < commandLine.size() && !IsBlank(commandLine[end])) {
            ++end;
        }
        *program = commandLine.substr(start, end - start);
    }
    while (end < commandLine.size() && IsBlank(commandLine[end])) {
        ++end;
    }
    *arguments = commandLine.substr(end);
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Processes::Processes(FileSystem* files) : files_(files) {}

Processes::~Processes() {
    for (ProcessId id : RunningProcesses()) {
        Terminate(id, 1);
    }
    std::vector<std::shared_ptr<Process>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : processes_) {
            all.push_back(entry.second);
        }
    }
    UserModeWait wait;
    for (const std::shared_ptr<Process>& process : all) {
        if (process->thread.joinable()) {
            process->thread.join();
        }
    }
    // Process ids start again with the next machine.
    std::lock_guard<std::mutex> lock(g_wow64Mutex);
    for (const std::shared_ptr<Process>& process : all) {
        g_wow64Processes.erase(process->id);
    }
}

void Processes::RegisterProgram(std::string_view imageName, ProgramMain main, bool thirtyTwoBit) {
    std::lock_guard<std::mutex> lock(mutex_);
    programs_[FoldCase(imageName)] = std::move(main);
    if (thirtyTwoBit) {
        thirtyTwoBit_.insert(FoldCase(imageName));
    } else {
        thirtyTwoBit_.erase(FoldCase(imageName));
    }
}

void Processes::UnregisterProgram(std::string_view imageName) {
    std::lock_guard<std::mutex> lock(mutex_);
    programs_.erase(FoldCase(imageName));
}

uint32_t Processes::Create(const std::string& commandLine, ProcessId* id,
                           std::function<void(int exitCode)> onExit) {
    std::string imagePath;
    std::string arguments;
    SplitCommandLine(commandLine, &imagePath, &arguments);
    if (imagePath.empty()) {
        return kErrorPathNotFound;
    }
    // A bare name is found in the system directory, which is on every search path.
    if (imagePath.find_first_of("\\/:") == std::string::npos) {
        imagePath = std::string(FileSystem::kSystemDirectory) + "\\" + imagePath;
    }
    if (files_ != nullptr) {
        imagePath = files_->ViewPath(imagePath);
    }
    if (files_ != nullptr && !files_->FileExists(imagePath)) {
        const std::string folder = imagePath.substr(0, imagePath.find_last_of("\\/"));
        return files_->DirectoryExists(folder) ? kErrorFileNotFound : kErrorPathNotFound;
    }

    std::vector<std::shared_ptr<Process>> finished;
    std::shared_ptr<Process> process = std::make_shared<Process>();
    ProgramMain main;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto program = programs_.find(FoldCase(FileNameOf(imagePath)));
        if (program == programs_.end()) {
            return files_ != nullptr ? kErrorBadExeFormat : kErrorFileNotFound;
        }
        main = program->second;
        if (files_ != nullptr && files_->SixtyFourBit() &&
            thirtyTwoBit_.count(FoldCase(FileNameOf(imagePath))) != 0) {
            std::lock_guard<std::mutex> wow64Lock(g_wow64Mutex);
            g_wow64Processes.insert(nextId_);
        }
        for (auto& entry : processes_) {
            if (entry.second->ended && entry.second->thread.joinable()) {
                finished.push_back(entry.second);
            }
        }
        process->id = nextId_;
        nextId_ += 4;  // Windows hands out process ids in steps of four
        process->imagePath = imagePath;
        process->commandLine = commandLine;
        processes_[process->id] = process;
    }
    for (const std::shared_ptr<Process>& done : finished) {
        done->thread.join();  // it has ended: the join only waits for its last instructions
    }
    if (files_ != nullptr) {
        files_->AcquireInUse(imagePath);
    }
    *id = process->id;
    process->thread = std::thread([this, process, main, arguments, onExit] {
        int exitCode;
        {
            ThreadScope scope(process->id);
            exitCode = main(arguments);
        }
        if (files_ != nullptr) {
            files_->ReleaseInUse(process->imagePath);
        }
        std::unique_lock<std::mutex> lock(mutex_);
        const std::vector<std::function<void(ProcessId)>> listeners = exitListeners_;
        lock.unlock();
        for (const std::function<void(ProcessId)>& listener : listeners) {
            listener(process->id);
        }
        lock.lock();
        if (process->terminated) {
            exitCode = process->exitCode;
        }
        lock.unlock();
        if (onExit) {
            onExit(exitCode);
        }
        lock.lock();
        process->exitCode = exitCode;
        process->ended = true;
        changed_.notify_all();
    });
    return kErrorSuccess;
}

uint32_t Processes::Wait(ProcessId id, uint32_t timeoutMs, int* exitCode) {
    std::shared_ptr<Process> process = Find(id);
    if (!process) {
        return kErrorInvalidHandle;
    }
    UserModeWait wait;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return process->ended; })) {
        return kErrorWaitTimeout;
    }
    if (exitCode != nullptr) {
        *exitCode = process->exitCode;
    }
    return kErrorSuccess;
}

bool Processes::Running(ProcessId id) {
    std::shared_ptr<Process> process = Find(id);
    std::lock_guard<std::mutex> lock(mutex_);
    return process && !process->ended;
}

void Processes::Terminate(ProcessId id, int exitCode) {
    std::vector<std::function<void()>> handlers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = processes_.find(id);
        if (it == processes_.end() || it->second->ended || it->second->terminated) {
            return;
        }
        it->second->terminated = true;
        it->second->exitCode = exitCode;
        handlers = it->second->terminateHandlers;
    }
    for (const std::function<void()>& handler : handlers) {
        handler();
    }
}

std::vector<ProcessId> Processes::RunningProcesses() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ProcessId> running;
    for (const auto& entry : processes_) {
        if (!entry.second->ended) {
            running.push_back(entry.first);
        }
    }
    return running;
}

std::string Processes::ImagePath(ProcessId id) {
    std::shared_ptr<Process> process = Find(id);
    return process ? process->imagePath : std::string();
}

std::string Processes::CommandLine(ProcessId id) {
    std::shared_ptr<Process> process = Find(id);
    return process ? process->commandLine : std::string();
}

ProcessId Processes::Current() {
    return t_currentProcess;
}

bool Processes::IsWow64(ProcessId id) {
    std::lock_guard<std::mutex> lock(g_wow64Mutex);
    return g_wow64Processes.count(id) != 0;
}

void Processes::AddExitListener(std::function<void(ProcessId)> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    exitListeners_.push_back(std::move(listener));
}

void Processes::OnTerminate(ProcessId id, std::function<void()> handler) {
    bool alreadyTerminated = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = processes_.find(id);
        if (it == processes_.end()) {
            return;
        }
        it->second->terminateHandlers.push_back(handler);
        alreadyTerminated = it->second->terminated;
    }
    // A process terminated before it could register is told at once.
    if (alreadyTerminated) {
        handler();
    }
}

std::shared_ptr<Processes::Process> Processes::Find(ProcessId id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = processes_.find(id);
    return it == processes_.end() ? nullptr : it->second;
}

Processes::ThreadScope::ThreadScope(ProcessId id)
    : previous_(t_currentProcess), view_(IsWow64(id)) {
    t_currentProcess = id;
}

Processes::ThreadScope::~ThreadScope() {
    t_currentProcess = previous_;
}

}  // namespace host
