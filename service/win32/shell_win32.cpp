// Event log, debug output and message boxes.
#include "win32_ports.h"

namespace dovrel {

void Win32EventLog::Report(const std::string& source, EventType type, const std::string& text) {
    const HANDLE log = RegisterEventSourceW(nullptr, Widen(source).c_str());
    if (log == nullptr)
        return;
    const std::wstring wide = Widen(text);
    LPCWSTR strings[] = {wide.c_str()};
    ReportEventW(log, static_cast<WORD>(type), 0, 0, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(log);
}

void Win32DebugOutput::Write(const std::string& text) {
    OutputDebugStringW(Widen(text).c_str());
}

void Win32MessageBoxes::Show(const std::string& text, const std::string& caption) {
    MessageBoxW(nullptr, Widen(text).c_str(), Widen(caption).c_str(), MB_OK);
}

}  // namespace dovrel
