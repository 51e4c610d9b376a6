// DbgPrint: formatted with Windows' printf rules (an x64 driver's %ld and %lu are 32-bit, %p
// prints sixteen hex digits, %ws and %S take UTF-16 strings, %wZ a UNICODE_STRING, %Z an
// ANSI_STRING) and kept in a log that tests read.
#include <stdarg.h>
#include <stdio.h>

#include <deque>
#include <mutex>

#include "host/text.h"
#include "internal.h"

namespace host::kernel::detail {
namespace {

constexpr size_t kMaxMessages = 100000;

struct DebugLog {
    std::mutex mutex;
    std::deque<std::string> messages;
    bool echo = false;
};

DebugLog& Log() {
    static DebugLog* log = new DebugLog();
    return *log;
}

std::string WideText(const WCHAR* text, long limit) {
    if (text == nullptr) {
        return "(null)";
    }
    std::u16string units;
    for (long i = 0; (limit < 0 || i < limit) && text[i] != 0; ++i) {
        units.push_back(text[i]);
    }
    return Utf16ToUtf8(units);
}

// Pads `text` to `width` the way %s does.
std::string Pad(std::string text, long width, bool left) {
    if (width > 0 && static_cast<long>(text.size()) < width) {
        const std::string padding(static_cast<size_t>(width) - text.size(), ' ');
        text = left ? text + padding : padding + text;
    }
    return text;
}

std::string Format(const char* format, va_list args) {
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        std::string flags;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
            flags += *p++;
        }
        long width = -1;
        if (*p == '*') {
            width = va_arg(args, int);
            if (width < 0) {
                flags += '-';
                width = -width;
            }
            ++p;
        } else if (*p >= '0' && *p <= '9') {
            width = strtol(p, const_cast<char**>(&p), 10);
        }
        long precision = -1;
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                precision = va_arg(args, int);
                ++p;
            } else {
                precision = strtol(p, const_cast<char**>(&p), 10);
            }
        }
        // Length: in Windows' rules `l` is 32 bits, `I`, `z` and `t` pointer-sized, `w` wide.
        int bits = 32;
        bool wide = false;
        bool shortText = false;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            bits = 64;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else if (*p == 'I' || *p == 'z' || *p == 't' || *p == 'j') {
            bits = 64;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            bits = 64;
            p += 2;
        } else if (p[0] == 'h' && p[1] == 'h') {
            bits = 8;
            p += 2;
        } else if (*p == 'l') {
            wide = true;  // %ls and %lc are wide; %ld stays 32-bit
            ++p;
        } else if (*p == 'w') {
            wide = true;
            ++p;
        } else if (*p == 'h') {
            bits = 16;
            shortText = true;
            ++p;
        } else if (*p == 'L') {
            ++p;
        }
        const char conversion = *p;
        if (conversion == '\0') {
            out.append(start);
            break;
        }
        const bool left = flags.find('-') != std::string::npos;
        std::string piece = "%" + flags;
        if (width >= 0) {
            piece += std::to_string(width);
        }
        if (precision >= 0) {
            piece += "." + std::to_string(precision);
        }
        char buffer[128];
        switch (conversion) {
            case 'd':
            case 'i': {
                long long value;
                if (bits == 64) {
                    value = va_arg(args, long long);
                } else {
                    value = va_arg(args, int);
                    value = bits == 16  ? static_cast<short>(value)
                            : bits == 8 ? static_cast<signed char>(value)
                                        : static_cast<int>(value);
                }
                snprintf(buffer, sizeof(buffer), (piece + "lld").c_str(), value);
                out += buffer;
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                unsigned long long value;
                if (bits == 64) {
                    value = va_arg(args, unsigned long long);
                } else {
                    value = va_arg(args, unsigned int);
                    value = bits == 16  ? static_cast<unsigned short>(value)
                            : bits == 8 ? static_cast<unsigned char>(value)
                                        : static_cast<unsigned int>(value);
                }
                snprintf(buffer, sizeof(buffer), (piece + "ll" + conversion).c_str(), value);
                out += buffer;
                break;
            }
            case 'p': {
                const void* value = va_arg(args, void*);
                snprintf(buffer, sizeof(buffer), "%016llX",
                         static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(value)));
                out += Pad(buffer, width, left);
                break;
            }
            case 'c':
            case 'C': {
                const int value = va_arg(args, int);
                std::string text;
                if ((conversion == 'c' && wide) || (conversion == 'C' && !shortText)) {
                    text = Utf16ToUtf8(std::u16string(1, static_cast<char16_t>(value)));
                } else {
                    text = std::string(1, static_cast<char>(value));
                }
                out += Pad(text, width, left);
                break;
            }
            case 's':
            case 'S': {
                std::string text;
                if ((conversion == 's' && wide) || (conversion == 'S' && !shortText)) {
                    text = WideText(va_arg(args, const WCHAR*), precision);
                } else {
                    const char* value = va_arg(args, const char*);
                    text = value == nullptr
                               ? "(null)"
                               : (precision >= 0
                                      ? std::string(value).substr(0, static_cast<size_t>(precision))
                                      : std::string(value));
                }
                out += Pad(text, width, left);
                break;
            }
            case 'Z': {
                std::string text;
                if (wide) {
                    const UNICODE_STRING* value = va_arg(args, const UNICODE_STRING*);
                    text = value == nullptr ? "(null)" : NarrowName(value);
                } else {
                    const ANSI_STRING* value = va_arg(args, const ANSI_STRING*);
                    text = value == nullptr || value->Buffer == nullptr
                               ? "(null)"
                               : std::string(value->Buffer, value->Length);
                }
                out += Pad(text, width, left);
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                const double value = va_arg(args, double);
                snprintf(buffer, sizeof(buffer), (piece + conversion).c_str(), value);
                out += buffer;
                break;
            }
            case 'n':
                (void)va_arg(args, void*);
                break;
            case '%':
                out += '%';
                break;
            default:
                out.append(start, p + 1);
                break;
        }
    }
    return out;
}

void Record(std::string message) {
    DebugLog& log = Log();
    std::lock_guard<std::mutex> lock(log.mutex);
    if (log.echo) {
        fputs(message.c_str(), stderr);
    }
    log.messages.push_back(std::move(message));
    if (log.messages.size() > kMaxMessages) {
        log.messages.pop_front();
    }
}

}  // namespace

void DebugReset() {
    DebugLog& log = Log();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.messages.clear();
}

}  // namespace host::kernel::detail

namespace host::kernel {

using namespace detail;

std::vector<std::string> DebugMessages() {
    DebugLog& log = Log();
    std::lock_guard<std::mutex> lock(log.mutex);
    return std::vector<std::string>(log.messages.begin(), log.messages.end());
}

std::string DebugOutput() {
    DebugLog& log = Log();
    std::lock_guard<std::mutex> lock(log.mutex);
    std::string text;
    for (const std::string& message : log.messages) {
        text += message;
    }
    return text;
}

void ClearDebugOutput() {
    DebugReset();
}

void SetDebugEcho(bool enabled) {
    DebugLog& log = Log();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.echo = enabled;
}

}  // namespace host::kernel

extern "C" {

ULONG __cdecl DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    std::string message = host::kernel::detail::Format(Format, args);
    va_end(args);
    host::kernel::detail::Record(std::move(message));
    return STATUS_SUCCESS;
}

ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    UNREFERENCED_PARAMETER(ComponentId);
    UNREFERENCED_PARAMETER(Level);
    va_list args;
    va_start(args, Format);
    std::string message = host::kernel::detail::Format(Format, args);
    va_end(args);
    host::kernel::detail::Record(std::move(message));
    return STATUS_SUCCESS;
}

}  // extern "C"
