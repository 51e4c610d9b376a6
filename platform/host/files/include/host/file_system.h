// Drive C: of the simulated machine, kept in a directory of the host so that programs write,
// read and delete real files. Win32 paths ("C:\Windows\system32\drivers\Ampfx.sys", "/" also
// accepted as a separator) map below the root; names compare without regard to ASCII letter
// case, as NTFS compares them, and keep the case they were created with. Every operation
// answers with a Win32 error code (host/win32_error.h), as the file functions do.
#pragma once

#include <stdint.h>

#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class FileSystem {
  public:
    // What GetSystemDirectory returns.
    static constexpr const char* kSystemDirectory = "C:\\Windows\\system32";

    // Uses `hostRoot` as the drive (created if missing) and creates the folders every Windows
    // machine has: Windows, Windows\system32 and Windows\system32\drivers.
    explicit FileSystem(std::string hostRoot);
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    const std::string& HostRoot() const { return root_; }

    // The host path a Win32 path names: existing components are matched without regard to
    // case, the rest are taken as written. Empty for a path that is not absolute on C:, or
    // that climbs above the root with "..".
    std::string HostPath(std::string_view win32Path) const;

    bool FileExists(std::string_view win32Path) const;
    bool DirectoryExists(std::string_view win32Path) const;

    // CreateFile(CREATE_ALWAYS) and WriteFile: kErrorPathNotFound when the folder is missing,
    // kErrorAccessDenied for a folder or a file in use.
    uint32_t WriteFile(std::string_view win32Path, const std::vector<uint8_t>& data);
    // The whole file: kErrorFileNotFound / kErrorPathNotFound when it is not there.
    uint32_t ReadFile(std::string_view win32Path, std::vector<uint8_t>* data) const;
    // DeleteFile: kErrorFileNotFound for a missing file, kErrorPathNotFound for a missing
    // folder, kErrorAccessDenied for a folder or a file in use (a running program's image).
    uint32_t DeleteFile(std::string_view win32Path);
    // CreateDirectory of one level: kErrorAlreadyExists, kErrorPathNotFound.
    uint32_t CreateDirectory(std::string_view win32Path);

    // A file that is in use (mapped as a running program's image) refuses deletion and
    // replacement until it is released; uses are counted.
    void AcquireInUse(std::string_view win32Path);
    void ReleaseInUse(std::string_view win32Path);
    bool IsInUse(std::string_view win32Path) const;

    // FILE_ATTRIBUTE_READONLY: writing or deleting the file is refused (kErrorAccessDenied).
    void SetReadOnly(std::string_view win32Path, bool readOnly);
    bool IsReadOnly(std::string_view win32Path) const;

    // --- WOW64 ------------------------------------------------------------------------------
    // A 64-bit machine has "C:\Windows\SysWOW64" beside system32. A thread of a 32-bit
    // process there (marked by Wow64Thread) sees "system32" as SysWOW64, except the folders
    // Windows exempts, and "C:\Windows\Sysnative" as the real system32, until it turns
    // redirection off for itself; every other thread sees the drive as it is.
    static constexpr const char* kWow64Directory = "C:\\Windows\\SysWOW64";
    void SetSixtyFourBit(bool sixtyFourBit);
    bool SixtyFourBit() const { return sixtyFourBit_; }
    // The path the calling thread really names on this drive.
    std::string ViewPath(std::string_view win32Path) const;
    // Marks the calling thread as one of a 32-bit process (or not) while it lives.
    class Wow64Thread {
      public:
        explicit Wow64Thread(bool wow64);
        ~Wow64Thread();
        Wow64Thread(const Wow64Thread&) = delete;
        Wow64Thread& operator=(const Wow64Thread&) = delete;

      private:
        bool previousWow64_;
        bool previousDisabled_;
    };
    static bool ThreadIsWow64();
    // Wow64DisableWow64FsRedirection / Wow64RevertWow64FsRedirection for the calling thread.
    static void SetThreadRedirectionDisabled(bool disabled);
    static bool ThreadRedirectionDisabled();

  private:
    bool InUse(const std::string& hostPath) const;
    bool ReadOnly(const std::string& hostPath) const;

    std::string root_;
    mutable std::mutex mutex_;
    std::multiset<std::string> inUse_;  // host paths
    std::set<std::string> readOnly_;    // host paths
    bool sixtyFourBit_ = false;
};

}  // namespace host
