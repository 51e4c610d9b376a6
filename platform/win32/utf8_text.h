// UTF-8 and UTF-16 for the Windows programs: their logic speaks UTF-8, the W functions take
// UTF-16. One definition for every program that needs it.
#pragma once

#include <windows.h>

#include <string>

namespace win32text {

inline std::wstring Widen(const std::string& utf8) {
    if (utf8.empty())
        return std::wstring();
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
    return wide;
}

inline std::string Narrow(const std::wstring& utf16) {
    if (utf16.empty())
        return std::string();
    const int length = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), &narrow[0],
                        length, nullptr, nullptr);
    return narrow;
}

}  // namespace win32text
