#include <vector>

#include "win32_ports.h"

namespace dovrel {

WinError Win32SystemFiles::SystemDirectory(std::string* path) {
    wchar_t buffer[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryW(buffer, MAX_PATH + 1);
    if (length == 0)
        return GetLastError();
    if (length > MAX_PATH)
        return ERROR_INSUFFICIENT_BUFFER;
    *path = Narrow(std::wstring(buffer, length));
    return kErrorSuccess;
}

WinError Win32SystemFiles::ModulePath(std::string* path) {
    // Grows the buffer until the whole path fits (GetModuleFileName truncates silently).
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return GetLastError();
        if (length < buffer.size()) {
            *path = Narrow(std::wstring(buffer.data(), length));
            return kErrorSuccess;
        }
        if (buffer.size() >= 32768)
            return ERROR_INSUFFICIENT_BUFFER;
        buffer.resize(buffer.size() * 2);
    }
}

WinError Win32SystemFiles::RemoveFile(const std::string& path) {
    return DeleteFileW(Widen(path).c_str()) ? kErrorSuccess : GetLastError();
}

}  // namespace dovrel
