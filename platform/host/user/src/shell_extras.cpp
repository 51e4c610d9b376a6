#include "host/shell_extras.h"

#include "host/file_system.h"
#include "host/text.h"
#include "host/win32_error.h"

namespace host::user {
namespace {

constexpr char kLinkHeader[] = "[ShellLink]\r\n";

}  // namespace

uint32_t SaveShellLink(FileSystem& files, const std::string& linkPath, const ShellLink& link) {
    const std::string text =
        kLinkHeader + ("Target=" + link.target) + "\r\nArguments=" + link.arguments + "\r\n";
    return files.WriteFile(linkPath, std::vector<uint8_t>(text.begin(), text.end()));
}

bool ReadShellLink(FileSystem& files, const std::string& linkPath, ShellLink* link) {
    std::vector<uint8_t> bytes;
    if (files.ReadFile(linkPath, &bytes) != kErrorSuccess)
        return false;
    const std::string text(bytes.begin(), bytes.end());
    if (text.rfind(kLinkHeader, 0) != 0)
        return false;
    auto field = [&text](const std::string& name, std::string* value) {
        const size_t at = text.find("\r\n" + name + "=");
        if (at == std::string::npos)
            return false;
        const size_t start = at + 3 + name.size();
        *value = text.substr(start, text.find("\r\n", start) - start);
        return true;
    };
    return field("Target", &link->target) && field("Arguments", &link->arguments);
}

uint32_t SystemShutdown::EnablePrivilege(uint32_t process, const std::string& name) {
    if (!EqualsIgnoreCase(name, kShutdownPrivilegeName))
        return ERROR_NO_SUCH_PRIVILEGE;
    std::lock_guard<std::mutex> lock(mutex_);
    privileged_.insert(process);
    return kErrorSuccess;
}

uint32_t SystemShutdown::ExitWindowsEx(uint32_t process, uint32_t flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool granted = privileged_.count(process) != 0;
    requests_.push_back(Request{process, flags, granted});
    return granted ? kErrorSuccess : ERROR_PRIVILEGE_NOT_HELD;
}

std::vector<SystemShutdown::Request> SystemShutdown::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

}  // namespace host::user
