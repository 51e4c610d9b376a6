// The file functions of the user session over drive C: (host/file_system.h): handles for plain
// files (CreateFile, ReadFile, WriteFile, CloseHandle), the directory search (FindFirstFile,
// FindNextFile, FindClose) and the profile-string functions over .ini files, each with
// Windows' rules and last errors.
#pragma once

#include <stdint.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/user_types.h"

namespace host {
class FileSystem;
}

namespace host::user {

// GENERIC_READ and GENERIC_WRITE (named apart from the kernel headers' macros of the same value).
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t CREATE_NEW = 1;
constexpr uint32_t CREATE_ALWAYS = 2;
constexpr uint32_t OPEN_EXISTING = 3;
constexpr uint32_t OPEN_ALWAYS = 4;
constexpr uint32_t TRUNCATE_EXISTING = 5;
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr uint32_t ERROR_FILE_EXISTS = 80;

// WIN32_FIND_DATAW, the fields this model fills.
struct FindData {
    uint32_t attributes = 0;
    uint64_t size = 0;
    std::u16string fileName;
};

class Files {
  public:
    explicit Files(FileSystem& files);

    // --- plain files ----------------------------------------------------------------------
    // kInvalidHandle with the error: ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND,
    // ERROR_FILE_EXISTS (CREATE_NEW), ERROR_ACCESS_DENIED (a folder, a file in use, writing
    // without kGenericWrite). With OPEN_ALWAYS and CREATE_ALWAYS on an existing file the
    // last error is ERROR_ALREADY_EXISTS.
    Handle CreateFile(const std::u16string& path, uint32_t access, uint32_t creation);
    bool WriteFile(Handle file, const void* data, uint32_t size, uint32_t* written);
    bool ReadFile(Handle file, void* data, uint32_t size, uint32_t* read);
    bool CloseHandle(Handle file);
    // SetFilePointer from the file's start (FILE_BEGIN); a position past the end is allowed,
    // and a later write fills the gap with zeros.
    bool SetFilePointer(Handle file, uint64_t position);
    uint32_t GetFileAttributes(const std::u16string& path);
    bool DeleteFile(const std::u16string& path);
    bool CreateDirectory(const std::u16string& path);

    // --- directory search -----------------------------------------------------------------
    // `pattern` is a folder and a name with the wildcards * and ? ("C:\...\*.dll"); names
    // match without regard to case. Entries come in the order NTFS keeps them: "." and ".."
    // first (not on the drive's root), then by name compared in upper case.
    Handle FindFirstFile(const std::u16string& pattern, FindData* data);
    bool FindNextFile(Handle find, FindData* data);  // ERROR_NO_MORE_FILES at the end
    bool FindClose(Handle find);

    // --- profile strings ------------------------------------------------------------------
    // A bare file name lies in the Windows folder. Null section: the section names; null key:
    // the keys of the section; both as NUL-separated lists. `out` receives what the buffer
    // holds up to the returned count.
    uint32_t GetPrivateProfileString(const std::u16string* section, const std::u16string* key,
                                     const std::u16string& defaultValue, uint32_t size,
                                     std::u16string* out, const std::u16string& fileName);
    // Null key deletes the section, null value the key. The file is created (ANSI) when
    // missing; a missing folder fails with ERROR_PATH_NOT_FOUND.
    bool WritePrivateProfileString(const std::u16string* section, const std::u16string* key,
                                   const std::u16string* value, const std::u16string& fileName);

  private:
    struct OpenFile {
        std::string path;  // Win32 path, UTF-8
        bool read = false;
        bool write = false;
        uint64_t position = 0;
    };
    struct Search {
        std::vector<FindData> entries;
        size_t next = 0;
    };

    std::string ProfilePath(const std::u16string& fileName) const;

    FileSystem& files_;
    std::mutex mutex_;
    std::map<Handle, OpenFile> open_;
    std::map<Handle, Search> searches_;
    Handle next_ = 0x1A4;
};

// DOS wildcard match (* and ?), without regard to ASCII case. "*.*" matches every name.
bool MatchesWildcard(const std::u16string& name, const std::u16string& pattern);

}  // namespace host::user
