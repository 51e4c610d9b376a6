#include "host/file_system.h"

#include <fstream>
#include <iterator>
#include <system_error>
#include <filesystem>

#include "host/text.h"
#include "host/win32_error.h"

namespace host {
namespace {

namespace fs = std::filesystem;

// The components of an absolute path on drive C:, or nothing for any other path.
std::optional<std::vector<std::string>> Components(std::string_view path) {
    if (path.substr(0, 4) == "\\\\?\\") {
        path.remove_prefix(4);
    }
    if (path.size() < 2 || FoldCase(path[0]) != 'C' || path[1] != ':') {
        return std::nullopt;
    }
    path.remove_prefix(2);
    if (!path.empty() && path[0] != '\\' && path[0] != '/') {
        return std::nullopt;  // "C:relative" names a path relative to the drive's directory
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("\\/", start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view part = path.substr(start, end - start);
        if (part == "..") {
            if (parts.empty()) {
                return std::nullopt;
            }
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.emplace_back(part);
        }
        start = end + 1;
    }
    return parts;
}

thread_local bool t_wow64 = false;
thread_local bool t_redirectionDisabled = false;

// Folders below system32 that a 32-bit program sees as they are, as Windows exempts them.
bool ExemptFromRedirection(const std::vector<std::string>& parts) {
    if (parts.size() < 3) {
        return false;
    }
    for (const char* exempt : {"catroot", "catroot2", "driverstore", "logfiles", "spool"}) {
        if (EqualsIgnoreCase(parts[2], exempt)) {
            return true;
        }
    }
    return parts.size() >= 4 && EqualsIgnoreCase(parts[2], "drivers") &&
           EqualsIgnoreCase(parts[3], "etc");
}

}  // namespace

FileSystem::Wow64Thread::Wow64Thread(bool wow64)
    : previousWow64_(t_wow64), previousDisabled_(t_redirectionDisabled) {
    t_wow64 = wow64;
    t_redirectionDisabled = false;
}

FileSystem::Wow64Thread::~Wow64Thread() {
    t_wow64 = previousWow64_;
    t_redirectionDisabled = previousDisabled_;
}

bool FileSystem::ThreadIsWow64() {
    return t_wow64;
}

void FileSystem::SetThreadRedirectionDisabled(bool disabled) {
    t_redirectionDisabled = disabled;
}

bool FileSystem::ThreadRedirectionDisabled() {
    return t_redirectionDisabled;
}

void FileSystem::SetSixtyFourBit(bool sixtyFourBit) {
    sixtyFourBit_ = sixtyFourBit;
    if (sixtyFourBit) {
        std::error_code error;
        fs::create_directories(fs::path(root_) / "Windows" / "SysWOW64" / "drivers", error);
    }
}

std::string FileSystem::ViewPath(std::string_view win32Path) const {
    if (!sixtyFourBit_ || !t_wow64 || t_redirectionDisabled) {
        return std::string(win32Path);
    }
    std::optional<std::vector<std::string>> parts = Components(win32Path);
    if (!parts || parts->size() < 2 || !EqualsIgnoreCase((*parts)[0], "Windows")) {
        return std::string(win32Path);
    }
    std::string& folder = (*parts)[1];
    if (EqualsIgnoreCase(folder, "system32") && !ExemptFromRedirection(*parts)) {
        folder = "SysWOW64";
    } else if (EqualsIgnoreCase(folder, "Sysnative")) {
        folder = "system32";
    } else {
        return std::string(win32Path);
    }
    std::string path = "C:";
    for (const std::string& part : *parts) {
        path += "\\" + part;
    }
    return path;
}

FileSystem::FileSystem(std::string hostRoot) : root_(std::move(hostRoot)) {
    std::error_code error;
    fs::create_directories(fs::path(root_) / "Windows" / "system32" / "drivers", error);
}

std::string FileSystem::HostPath(std::string_view win32Path) const {
    const std::optional<std::vector<std::string>> parts = Components(ViewPath(win32Path));
    if (!parts) {
        return std::string();
    }
    fs::path current(root_);
    for (const std::string& part : *parts) {
        fs::path next = current / part;
        std::error_code error;
        if (!fs::exists(next, error) && fs::is_directory(current, error)) {
            for (const fs::directory_entry& entry : fs::directory_iterator(current, error)) {
                if (EqualsIgnoreCase(entry.path().filename().string(), part)) {
                    next = entry.path();
                    break;
                }
            }
        }
        current = next;
    }
    return current.string();
}

bool FileSystem::FileExists(std::string_view win32Path) const {
    const std::string path = HostPath(win32Path);
    std::error_code error;
    return !path.empty() && fs::is_regular_file(path, error);
}

bool FileSystem::DirectoryExists(std::string_view win32Path) const {
    const std::string path = HostPath(win32Path);
    std::error_code error;
    return !path.empty() && fs::is_directory(path, error);
}

uint32_t FileSystem::WriteFile(std::string_view win32Path, const std::vector<uint8_t>& data) {
    const std::string path = HostPath(win32Path);
    if (path.empty()) {
        return kErrorPathNotFound;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::error_code error;
    if (!fs::is_directory(fs::path(path).parent_path(), error)) {
        return kErrorPathNotFound;
    }
    if (fs::is_directory(path, error) || ReadOnly(path)) {
        return kErrorAccessDenied;
    }
    // A running program's image is open without write sharing.
    if (InUse(path)) {
        return kErrorSharingViolation;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        return kErrorAccessDenied;
    }
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return out ? kErrorSuccess : kErrorGenFailure;
}

uint32_t FileSystem::ReadFile(std::string_view win32Path, std::vector<uint8_t>* data) const {
    const std::string path = HostPath(win32Path);
    std::error_code error;
    if (path.empty() || !fs::is_directory(fs::path(path).parent_path(), error)) {
        return kErrorPathNotFound;
    }
    if (!fs::is_regular_file(path, error)) {
        return fs::is_directory(path, error) ? kErrorAccessDenied : kErrorFileNotFound;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return kErrorAccessDenied;
    }
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return kErrorSuccess;
}

uint32_t FileSystem::DeleteFile(std::string_view win32Path) {
    const std::string path = HostPath(win32Path);
    std::error_code error;
    if (path.empty() || !fs::is_directory(fs::path(path).parent_path(), error)) {
        return kErrorPathNotFound;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (fs::is_directory(path, error) || InUse(path) || ReadOnly(path)) {
        return kErrorAccessDenied;
    }
    if (!fs::is_regular_file(path, error)) {
        return kErrorFileNotFound;
    }
    return fs::remove(path, error) ? kErrorSuccess : kErrorAccessDenied;
}

uint32_t FileSystem::CreateDirectory(std::string_view win32Path) {
    const std::string path = HostPath(win32Path);
    std::error_code error;
    if (path.empty() || !fs::is_directory(fs::path(path).parent_path(), error)) {
        return kErrorPathNotFound;
    }
    if (fs::exists(path, error)) {
        return kErrorAlreadyExists;
    }
    return fs::create_directory(path, error) ? kErrorSuccess : kErrorAccessDenied;
}

void FileSystem::AcquireInUse(std::string_view win32Path) {
    const std::string path = HostPath(win32Path);
    std::lock_guard<std::mutex> lock(mutex_);
    inUse_.insert(path);
}

void FileSystem::ReleaseInUse(std::string_view win32Path) {
    const std::string path = HostPath(win32Path);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = inUse_.find(path);
    if (it != inUse_.end()) {
        inUse_.erase(it);
    }
}

bool FileSystem::IsInUse(std::string_view win32Path) const {
    const std::string path = HostPath(win32Path);
    std::lock_guard<std::mutex> lock(mutex_);
    return InUse(path);
}

void FileSystem::SetReadOnly(std::string_view win32Path, bool readOnly) {
    const std::string path = HostPath(win32Path);
    std::lock_guard<std::mutex> lock(mutex_);
    if (readOnly) {
        readOnly_.insert(path);
    } else {
        readOnly_.erase(path);
    }
}

bool FileSystem::IsReadOnly(std::string_view win32Path) const {
    const std::string path = HostPath(win32Path);
    std::lock_guard<std::mutex> lock(mutex_);
    return ReadOnly(path);
}

bool FileSystem::InUse(const std::string& hostPath) const {
    return inUse_.count(hostPath) != 0;
}

bool FileSystem::ReadOnly(const std::string& hostPath) const {
    return readOnly_.count(hostPath) != 0;
}

}  // namespace host
