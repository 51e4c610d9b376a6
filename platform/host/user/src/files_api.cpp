#include "host/files_api.h"

#include <string.h>

#include <algorithm>
#include <filesystem>

#include "host/file_system.h"
#include "host/text.h"
#include "host/win32_error.h"

namespace host::user {
namespace {

namespace fs = std::filesystem;

char16_t Upper(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

std::u16string UpperText(const std::u16string& text) {
    std::u16string out = text;
    for (char16_t& c : out) {
        c = Upper(c);
    }
    return out;
}

bool MatchFrom(const std::u16string& name, size_t n, const std::u16string& pattern, size_t p) {
    while (p < pattern.size()) {
        const char16_t c = pattern[p];
        if (c == u'*') {
            for (size_t k = n; k <= name.size(); ++k) {
                if (MatchFrom(name, k, pattern, p + 1)) {
                    return true;
                }
            }
            return false;
        }
        if (n >= name.size() || (c != u'?' && Upper(c) != Upper(name[n]))) {
            return false;
        }
        ++n;
        ++p;
    }
    return n == name.size();
}

// --- profile files ----------------------------------------------------------------------------

struct ProfileLine {
    enum Kind { Other, Section, Entry } kind = Other;
    std::u16string name;   // section or key, trimmed
    std::u16string value;  // trimmed, quotes removed
    std::u16string raw;
};

struct ProfileFile {
    bool unicode = false;
    std::vector<ProfileLine> lines;
};

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

std::u16string Trim(const std::u16string& text) {
    size_t start = 0;
    size_t end = text.size();
    while (start < end && IsBlank(text[start])) {
        ++start;
    }
    while (end > start && IsBlank(text[end - 1])) {
        --end;
    }
    return text.substr(start, end - start);
}

// The text of a profile file: UTF-16 with its byte-order mark, otherwise ANSI, read here as
// Latin-1 (the machine's ANSI code page for the characters the system writes).
ProfileFile ParseProfile(const std::vector<uint8_t>& bytes) {
    ProfileFile file;
    std::u16string text;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        file.unicode = true;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
        }
    } else {
        for (uint8_t b : bytes) {
            text.push_back(static_cast<char16_t>(b));
        }
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos) {
            end = text.size();
        }
        std::u16string raw = text.substr(start, end - start);
        if (!raw.empty() && raw.back() == u'\r') {
            raw.pop_back();
        }
        if (end == text.size() && raw.empty()) {
            break;
        }
        ProfileLine line;
        line.raw = raw;
        const std::u16string trimmed = Trim(raw);
        if (!trimmed.empty() && trimmed[0] == u'[') {
            const size_t close = trimmed.find(u']');
            line.kind = ProfileLine::Section;
            line.name = Trim(trimmed.substr(
                1, close == std::u16string::npos ? std::u16string::npos : close - 1));
        } else if (!trimmed.empty() && trimmed[0] != u';') {
            line.kind = ProfileLine::Entry;
            const size_t equals = trimmed.find(u'=');
            line.name = Trim(trimmed.substr(0, equals));
            if (equals != std::u16string::npos) {
                std::u16string value = Trim(trimmed.substr(equals + 1));
                if (value.size() >= 2 && (value[0] == u'"' || value[0] == u'\'') &&
                    value.back() == value[0]) {
                    value = value.substr(1, value.size() - 2);
                }
                line.value = value;
            }
        }
        file.lines.push_back(line);
        start = end + 1;
    }
    return file;
}

std::vector<uint8_t> SerializeProfile(const ProfileFile& file) {
    std::vector<uint8_t> bytes;
    if (file.unicode) {
        bytes = {0xFF, 0xFE};
    }
    auto put = [&](char16_t c) {
        if (file.unicode) {
            bytes.push_back(static_cast<uint8_t>(c & 0xFF));
            bytes.push_back(static_cast<uint8_t>(c >> 8));
        } else {
            bytes.push_back(c < 0x100 ? static_cast<uint8_t>(c) : static_cast<uint8_t>('?'));
        }
    };
    for (const ProfileLine& line : file.lines) {
        for (char16_t c : line.raw) {
            put(c);
        }
        put(u'\r');
        put(u'\n');
    }
    return bytes;
}

// The index of a section's header line, or -1.
long FindSection(const ProfileFile& file, const std::u16string& section) {
    const std::u16string wanted = UpperText(section);
    for (size_t i = 0; i < file.lines.size(); ++i) {
        if (file.lines[i].kind == ProfileLine::Section && UpperText(file.lines[i].name) == wanted) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// One past the section's last line.
size_t SectionEnd(const ProfileFile& file, long header) {
    size_t i = static_cast<size_t>(header) + 1;
    while (i < file.lines.size() && file.lines[i].kind != ProfileLine::Section) {
        ++i;
    }
    return i;
}

// The buffer of a NUL-separated list: what fits, and the count Windows returns.
uint32_t FillList(const std::vector<std::u16string>& items, uint32_t size, std::u16string* out) {
    std::u16string list;
    for (const std::u16string& item : items) {
        list += item;
        list.push_back(u'\0');
    }
    out->clear();
    if (size == 0) {
        return 0;
    }
    if (size == 1) {
        return 0;
    }
    if (list.size() + 1 <= size) {
        *out = list;
        return static_cast<uint32_t>(list.size());
    }
    // Truncated: the last string is cut, and the buffer's last two places hold NULs.
    *out = list.substr(0, size - 2);
    return size - 2;
}

uint32_t FillValue(const std::u16string& value, uint32_t size, std::u16string* out) {
    out->clear();
    if (size == 0) {
        return 0;
    }
    *out = value.substr(0, std::min<size_t>(value.size(), size - 1));
    return static_cast<uint32_t>(out->size());
}

}  // namespace

bool MatchesWildcard(const std::u16string& name, const std::u16string& pattern) {
    if (pattern == u"*.*" || pattern == u"*") {
        return true;
    }
    return MatchFrom(name, 0, pattern, 0);
}

Files::Files(FileSystem& files) : files_(files) {}

// --- plain files ------------------------------------------------------------------------------

Handle Files::CreateFile(const std::u16string& path, uint32_t access, uint32_t creation) {
    const std::string win32 = Utf16ToUtf8(path);
    const std::string host = files_.HostPath(win32);
    if (host.empty()) {
        SetLastError(kErrorPathNotFound);
        return kInvalidHandle;
    }
    if (creation < CREATE_NEW || creation > TRUNCATE_EXISTING) {
        SetLastError(kErrorInvalidParameter);
        return kInvalidHandle;
    }
    const std::string folder = win32.substr(0, win32.find_last_of("\\/"));
    if (!files_.DirectoryExists(folder)) {
        SetLastError(kErrorPathNotFound);
        return kInvalidHandle;
    }
    if (files_.DirectoryExists(win32)) {
        SetLastError(kErrorAccessDenied);
        return kInvalidHandle;
    }
    const bool exists = files_.FileExists(win32);
    uint32_t error = kErrorSuccess;
    bool truncate = false;
    switch (creation) {
        case CREATE_NEW:
            if (exists) {
                SetLastError(ERROR_FILE_EXISTS);
                return kInvalidHandle;
            }
            truncate = true;
            break;
        case CREATE_ALWAYS:
            error = exists ? kErrorAlreadyExists : kErrorSuccess;
            truncate = true;
            break;
        case OPEN_EXISTING:
        case TRUNCATE_EXISTING:
            if (!exists) {
                SetLastError(kErrorFileNotFound);
                return kInvalidHandle;
            }
            truncate = creation == TRUNCATE_EXISTING;
            break;
        case OPEN_ALWAYS:
            error = exists ? kErrorAlreadyExists : kErrorSuccess;
            truncate = !exists;
            break;
    }
    if (truncate && (access & kGenericWrite) == 0 && creation == TRUNCATE_EXISTING) {
        SetLastError(kErrorInvalidParameter);
        return kInvalidHandle;
    }
    if (truncate) {
        const uint32_t written = files_.WriteFile(win32, {});
        if (written != kErrorSuccess) {
            SetLastError(written);
            return kInvalidHandle;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const Handle handle = next_;
    next_ += 4;
    open_[handle] = OpenFile{win32, (access & kGenericRead) != 0, (access & kGenericWrite) != 0, 0};
    SetLastError(error);
    return handle;
}

bool Files::WriteFile(Handle file, const void* data, uint32_t size, uint32_t* written) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (written != nullptr) {
        *written = 0;
    }
    auto it = open_.find(file);
    if (it == open_.end()) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (!it->second.write) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    if (size != 0 && data == nullptr) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return false;
    }
    std::vector<uint8_t> content;
    uint32_t error = files_.ReadFile(it->second.path, &content);
    if (error != kErrorSuccess) {
        SetLastError(error);
        return false;
    }
    const uint64_t position = it->second.position;
    if (content.size() < position + size) {
        content.resize(position + size, 0);
    }
    if (size != 0) {
        memcpy(content.data() + position, data, size);
    }
    error = files_.WriteFile(it->second.path, content);
    if (error != kErrorSuccess) {
        SetLastError(error);
        return false;
    }
    it->second.position += size;
    if (written != nullptr) {
        *written = size;
    }
    return true;
}

bool Files::SetFilePointer(Handle file, uint64_t position) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = open_.find(file);
    if (it == open_.end()) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    it->second.position = position;
    return true;
}

bool Files::ReadFile(Handle file, void* data, uint32_t size, uint32_t* read) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (read != nullptr) {
        *read = 0;
    }
    auto it = open_.find(file);
    if (it == open_.end()) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (!it->second.read) {
        SetLastError(kErrorAccessDenied);
        return false;
    }
    std::vector<uint8_t> content;
    const uint32_t error = files_.ReadFile(it->second.path, &content);
    if (error != kErrorSuccess) {
        SetLastError(error);
        return false;
    }
    const uint64_t position = std::min<uint64_t>(it->second.position, content.size());
    const uint32_t count =
        static_cast<uint32_t>(std::min<uint64_t>(size, content.size() - position));
    if (count != 0) {
        if (data == nullptr) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return false;
        }
        memcpy(data, content.data() + position, count);
    }
    it->second.position = position + count;
    if (read != nullptr) {
        *read = count;
    }
    return true;
}

bool Files::CloseHandle(Handle file) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_.erase(file) == 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

uint32_t Files::GetFileAttributes(const std::u16string& path) {
    const std::string win32 = Utf16ToUtf8(path);
    if (files_.DirectoryExists(win32)) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    if (files_.FileExists(win32)) {
        return FILE_ATTRIBUTE_ARCHIVE;
    }
    const std::string folder = win32.substr(0, win32.find_last_of("\\/"));
    SetLastError(files_.DirectoryExists(folder) ? kErrorFileNotFound : kErrorPathNotFound);
    return INVALID_FILE_ATTRIBUTES;
}

bool Files::DeleteFile(const std::u16string& path) {
    const uint32_t error = files_.DeleteFile(Utf16ToUtf8(path));
    if (error != kErrorSuccess) {
        SetLastError(error);
        return false;
    }
    return true;
}

bool Files::CreateDirectory(const std::u16string& path) {
    const uint32_t error = files_.CreateDirectory(Utf16ToUtf8(path));
    if (error != kErrorSuccess) {
        SetLastError(error);
        return false;
    }
    return true;
}

// --- directory search -------------------------------------------------------------------------

Handle Files::FindFirstFile(const std::u16string& pattern, FindData* data) {
    const size_t slash = pattern.find_last_of(u"\\/");
    if (slash == std::u16string::npos) {
        SetLastError(kErrorPathNotFound);
        return kInvalidHandle;
    }
    const std::u16string folder = pattern.substr(0, slash);
    const std::u16string mask = pattern.substr(slash + 1);
    std::string win32Folder = Utf16ToUtf8(folder);
    const bool root = win32Folder.size() == 2 && win32Folder[1] == ':';
    if (root) {
        win32Folder += "\\";
    }
    if (!files_.DirectoryExists(win32Folder)) {
        SetLastError(kErrorPathNotFound);
        return kInvalidHandle;
    }
    std::vector<FindData> entries;
    std::error_code error;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(files_.HostPath(win32Folder), error)) {
        FindData found;
        found.fileName = Utf8ToUtf16(entry.path().filename().string());
        const bool directory = entry.is_directory(error);
        found.attributes = directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        found.size = directory ? 0 : static_cast<uint64_t>(entry.file_size(error));
        entries.push_back(found);
    }
    std::sort(entries.begin(), entries.end(), [](const FindData& a, const FindData& b) {
        return UpperText(a.fileName) < UpperText(b.fileName);
    });
    if (!root) {
        entries.insert(entries.begin(), {FindData{FILE_ATTRIBUTE_DIRECTORY, 0, u"."},
                                         FindData{FILE_ATTRIBUTE_DIRECTORY, 0, u".."}});
    }
    Search search;
    for (const FindData& entry : entries) {
        if (MatchesWildcard(entry.fileName, mask)) {
            search.entries.push_back(entry);
        }
    }
    if (search.entries.empty()) {
        SetLastError(kErrorFileNotFound);
        return kInvalidHandle;
    }
    *data = search.entries[0];
    search.next = 1;
    std::lock_guard<std::mutex> lock(mutex_);
    const Handle handle = next_;
    next_ += 4;
    searches_[handle] = std::move(search);
    return handle;
}

bool Files::FindNextFile(Handle find, FindData* data) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = searches_.find(find);
    if (it == searches_.end()) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    if (it->second.next >= it->second.entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return false;
    }
    *data = it->second.entries[it->second.next++];
    return true;
}

bool Files::FindClose(Handle find) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (searches_.erase(find) == 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

// --- profile strings --------------------------------------------------------------------------

std::string Files::ProfilePath(const std::u16string& fileName) const {
    const std::string name = Utf16ToUtf8(fileName);
    if (name.find_first_of("\\/") == std::string::npos) {
        return "C:\\Windows\\" + name;
    }
    return name;
}

uint32_t Files::GetPrivateProfileString(const std::u16string* section, const std::u16string* key,
                                        const std::u16string& defaultValue, uint32_t size,
                                        std::u16string* out, const std::u16string& fileName) {
    std::u16string fallback = defaultValue;
    while (!fallback.empty() && fallback.back() == u' ') {
        fallback.pop_back();
    }
    std::vector<uint8_t> bytes;
    const uint32_t error = files_.ReadFile(ProfilePath(fileName), &bytes);
    if (error != kErrorSuccess) {
        SetLastError(error == kErrorPathNotFound ? kErrorPathNotFound : kErrorFileNotFound);
        if (section == nullptr || key == nullptr) {
            return FillList({}, size, out);
        }
        return FillValue(fallback, size, out);
    }
    SetLastError(kErrorSuccess);
    const ProfileFile file = ParseProfile(bytes);
    if (section == nullptr) {
        std::vector<std::u16string> names;
        for (const ProfileLine& line : file.lines) {
            if (line.kind == ProfileLine::Section) {
                names.push_back(line.name);
            }
        }
        return FillList(names, size, out);
    }
    const long header = FindSection(file, *section);
    if (key == nullptr) {
        std::vector<std::u16string> keys;
        if (header >= 0) {
            for (size_t i = static_cast<size_t>(header) + 1; i < SectionEnd(file, header); ++i) {
                if (file.lines[i].kind == ProfileLine::Entry) {
                    keys.push_back(file.lines[i].name);
                }
            }
        }
        return FillList(keys, size, out);
    }
    if (header >= 0) {
        const std::u16string wanted = UpperText(*key);
        for (size_t i = static_cast<size_t>(header) + 1; i < SectionEnd(file, header); ++i) {
            if (file.lines[i].kind == ProfileLine::Entry &&
                UpperText(file.lines[i].name) == wanted) {
                return FillValue(file.lines[i].value, size, out);
            }
        }
    }
    SetLastError(kErrorFileNotFound);
    return FillValue(fallback, size, out);
}

bool Files::WritePrivateProfileString(const std::u16string* section, const std::u16string* key,
                                      const std::u16string* value, const std::u16string& fileName) {
    if (section == nullptr) {
        // A null section only flushes the cache, which this model does not keep.
        SetLastError(kErrorFileNotFound);
        return false;
    }
    const std::string path = ProfilePath(fileName);
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> bytes;
    const uint32_t read = files_.ReadFile(path, &bytes);
    if (read == kErrorPathNotFound) {
        SetLastError(kErrorPathNotFound);
        return false;
    }
    ProfileFile file = ParseProfile(bytes);
    long header = FindSection(file, *section);
    if (key == nullptr) {
        if (header >= 0) {
            file.lines.erase(file.lines.begin() + header,
                             file.lines.begin() + static_cast<long>(SectionEnd(file, header)));
        }
    } else {
        const std::u16string wanted = UpperText(*key);
        long found = -1;
        size_t insertAt = file.lines.size();
        if (header >= 0) {
            const size_t end = SectionEnd(file, header);
            insertAt = static_cast<size_t>(header) + 1;
            for (size_t i = static_cast<size_t>(header) + 1; i < end; ++i) {
                if (file.lines[i].kind == ProfileLine::Entry) {
                    insertAt = i + 1;
                    if (found < 0 && UpperText(file.lines[i].name) == wanted) {
                        found = static_cast<long>(i);
                    }
                }
            }
        }
        if (value == nullptr) {
            if (found >= 0) {
                file.lines.erase(file.lines.begin() + found);
            }
        } else {
            ProfileLine line;
            line.kind = ProfileLine::Entry;
            // An existing key keeps the spelling it has in the file.
            line.name = found >= 0 ? file.lines[static_cast<size_t>(found)].name : *key;
            line.value = *value;
            line.raw = line.name + u"=" + *value;
            if (found >= 0) {
                file.lines[static_cast<size_t>(found)] = line;
            } else {
                if (header < 0) {
                    ProfileLine head;
                    head.kind = ProfileLine::Section;
                    head.name = *section;
                    head.raw = u"[" + *section + u"]";
                    file.lines.push_back(head);
                    insertAt = file.lines.size();
                }
                file.lines.insert(file.lines.begin() + static_cast<long>(insertAt), line);
            }
        }
    }
    const uint32_t written = files_.WriteFile(path, SerializeProfile(file));
    if (written != kErrorSuccess) {
        SetLastError(written);
        return false;
    }
    return true;
}

}  // namespace host::user
