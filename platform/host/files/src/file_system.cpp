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

}  // namespace

FileSystem::FileSystem(std::string hostRoot) : root_(std::move(hostRoot)) {
    std::error_code error;
    fs::create_directories(fs::path(root_) / "Windows" / "system32" / "drivers", error);
}

std::string FileSystem::HostPath(std::string_view win32Path) const {
    const std::optional<std::vector<std::string>> parts = Components(win32Path);
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
    if (fs::is_directory(path, error) || InUse(path)) {
        return kErrorAccessDenied;
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
    if (fs::is_directory(path, error) || InUse(path)) {
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

bool FileSystem::InUse(const std::string& hostPath) const {
    return inUse_.count(hostPath) != 0;
}

}  // namespace host
