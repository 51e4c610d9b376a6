// Event log, debug output, message boxes and system files on the simulated machine.
#include <stdio.h>

#include "host/event_log.h"
#include "host/file_system.h"
#include "host/processes.h"
#include "host_ports.h"

namespace dovrel {

void HostEventLog::Report(const std::string& source, EventType type, const std::string& text) {
    host::EventSourceHandle handle = 0;
    if (log_.RegisterEventSource(source, &handle) != kErrorSuccess)
        return;
    log_.ReportEvent(handle, static_cast<uint16_t>(type), 0, 0, {text});
    log_.DeregisterEventSource(handle);
}

void CapturedDebugOutput::Write(const std::string& text) {
    if (echo_)
        fputs(text.c_str(), stderr);
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.push_back(text);
}

std::vector<std::string> CapturedDebugOutput::Writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

void RecordedMessageBoxes::Show(const std::string& text, const std::string& caption) {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_.push_back(Box{text, caption});
}

std::vector<RecordedMessageBoxes::Box> RecordedMessageBoxes::Shown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
}

HostSystemFiles::HostSystemFiles(host::FileSystem& files, std::string modulePath,
                                 host::Processes* processes)
    : files_(files), modulePath_(std::move(modulePath)), processes_(processes) {}

WinError HostSystemFiles::SystemDirectory(std::string* path) {
    *path = host::FileSystem::kSystemDirectory;
    return kErrorSuccess;
}

WinError HostSystemFiles::ModulePath(std::string* path) {
    const std::string image =
        processes_ != nullptr ? processes_->ImagePath(host::Processes::Current()) : std::string();
    *path = image.empty() ? modulePath_ : image;
    return kErrorSuccess;
}

WinError HostSystemFiles::RemoveFile(const std::string& path) {
    const WinError error = files_.DeleteFile(path);
    std::lock_guard<std::mutex> lock(mutex_);
    removals_.push_back(Removal{path, error});
    return error;
}

std::vector<HostSystemFiles::Removal> HostSystemFiles::Removals() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return removals_;
}

}  // namespace dovrel
