// Two things of the shell that installers use: Shell Links (.lnk files, here a small text
// record of the link's target and arguments, written and read by IShellLink/IPersistFile's
// host counterparts) and system shutdown (ExitWindowsEx, which Windows grants only to a
// process that enabled SeShutdownPrivilege in its token; the request is recorded, the
// simulated machine keeps running).
#pragma once

#include <stdint.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace host {
class FileSystem;
}

namespace host::user {

struct ShellLink {
    std::string target;
    std::string arguments;
};

// IShellLink::SetPath/SetArguments and IPersistFile::Save: the folder must exist.
uint32_t SaveShellLink(FileSystem& files, const std::string& linkPath, const ShellLink& link);
// False for a file that is missing or holds no link record.
bool ReadShellLink(FileSystem& files, const std::string& linkPath, ShellLink* link);

constexpr uint32_t EWX_REBOOT = 0x2;
constexpr uint32_t ERROR_PRIVILEGE_NOT_HELD = 1314;
constexpr uint32_t ERROR_NO_SUCH_PRIVILEGE = 1313;
inline constexpr char kShutdownPrivilegeName[] = "SeShutdownPrivilege";

class SystemShutdown {
  public:
    struct Request {
        uint32_t process = 0;
        uint32_t flags = 0;
        bool granted = false;
    };

    // AdjustTokenPrivileges(SE_PRIVILEGE_ENABLED) for the process: every user holds the
    // shutdown privilege; an unknown name fails with ERROR_NO_SUCH_PRIVILEGE.
    uint32_t EnablePrivilege(uint32_t process, const std::string& name);
    // ExitWindowsEx: ERROR_PRIVILEGE_NOT_HELD unless the process enabled the privilege; every
    // call is recorded.
    uint32_t ExitWindowsEx(uint32_t process, uint32_t flags);
    std::vector<Request> Requests() const;

  private:
    mutable std::mutex mutex_;
    std::set<uint32_t> privileged_;
    std::vector<Request> requests_;
};

}  // namespace host::user
