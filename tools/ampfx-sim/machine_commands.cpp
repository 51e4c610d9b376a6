// The machine itself: which Windows it is, the passing of time, and the files of its drive as
// the user's programs see them.
// The user session's headers come before the kernel's, whose macros would rename their
// constants.
#include "host/desktop.h"
#include "host/user_session.h"
// clang-format off
#include <cstdio>

#include "host/text.h"
#include "tool_text.h"
#include "host/kernel_threads.h"
#include "host/machine.h"
#include "scenario_context.h"
// clang-format on

namespace {

host::kernel::WindowsVersion WindowsVersionOf(uint32_t major, uint32_t minor) {
    using V = host::kernel::WindowsVersion;
    if (major >= 6)
        return V::WindowsVista;  // every later version reports the same driver model
    if (major == 5 && minor <= 2)
        return minor == 0 ? V::Windows2000 : minor == 1 ? V::WindowsXP : V::WindowsServer2003;
    if (major == 4 && minor == 10)
        return V::Windows98;
    if (major == 4 && minor == 90)
        return V::WindowsMe;
    Fail("no driver model known for Windows " + std::to_string(major) + "." +
         std::to_string(minor) + " (4.10, 4.90, 5.0-5.2, 6.0 and later)");
}

void WindowsVersion(ScenarioContext& c, const Words& w) {
    Arity(w, 3, 3, "windows-version MAJOR MINOR");
    const host::kernel::WindowsVersion version =
        WindowsVersionOf(ParseNumber(w[1], "major version"), ParseNumber(w[2], "minor version"));
    if (c.MachineIsUp())
        Fail("windows-version must come before the first command that uses the machine");
    c.windows = version;
    c.windowsMajor = ParseNumber(w[1], "major version");
    c.windowsMinor = ParseNumber(w[2], "minor version");
}

// Virtual time passes only while every kernel thread waits; a scenario moves it itself.
void Wait(ScenarioContext& c, const Words& w) {
    Arity(w, 2, 2, "wait MILLISECONDS");
    const uint32_t ms = ParseNumber(w[1], "milliseconds", 3600 * 1000);
    c.Machine();
    // With a desktop, the clock stops at every window timer that falls due on the way, so
    // the programs see their ticks in order.
    if (c.SessionIsUp())
        c.Session().desktop().RunForMs(ms);
    else
        host::kernel::AdvanceTimeMs(ms);
    host::kernel::Settle();
}

}  // namespace

// Files through the user session's CreateFile, ReadFile and WriteFile, so a file reads as the
// panel reads it (and fails as it would: a missing one, a folder, one in use).
bool RunMachineFileCommand(ScenarioContext& c, const Words& w) {
    if (w.size() < 2 || (w[1] != "dump" && w[1] != "write"))
        return false;
    const char* usage = "usage: file dump PATH | file write PATH HEX";
    if (w.size() < 3)
        Fail(usage);
    host::user::Files& files = c.Session().files();
    const std::u16string path = host::Utf8ToUtf16(w[2]);
    if (w[1] == "dump" && w.size() == 3) {
        const host::user::Handle file =
            files.CreateFile(path, host::user::kGenericRead, host::user::OPEN_EXISTING);
        if (file == host::user::kInvalidHandle) {
            c.out << "error=" << host::user::GetLastError() << "\n";
            return true;
        }
        std::vector<uint8_t> bytes;
        uint8_t block[4096];
        uint32_t read = 0;
        while (files.ReadFile(file, block, sizeof block, &read) && read > 0)
            bytes.insert(bytes.end(), block, block + read);
        files.CloseHandle(file);
        c.out << "size=" << bytes.size() << "\n";
        // Sixteen bytes a line in groups of four, the width of the panel's settings slots.
        for (size_t at = 0; at < bytes.size(); at += 16) {
            char offset[24];
            std::snprintf(offset, sizeof offset, "%04zx:", at);
            c.out << offset;
            for (size_t group = at; group < at + 16 && group < bytes.size(); group += 4) {
                const size_t end = std::min(group + 4, bytes.size());
                c.out << " "
                      << HexText(std::vector<uint8_t>(bytes.begin() + static_cast<long>(group),
                                                      bytes.begin() + static_cast<long>(end)));
            }
            c.out << "\n";
        }
    } else if (w[1] == "write" && w.size() == 4) {
        std::vector<uint8_t> bytes;
        std::string reason;
        if (!ParseHexBytesText(w[3], &bytes, &reason))
            Fail(reason);
        const host::user::Handle file =
            files.CreateFile(path, host::user::kGenericWrite, host::user::CREATE_ALWAYS);
        if (file == host::user::kInvalidHandle) {
            c.out << "error=" << host::user::GetLastError() << "\n";
            return true;
        }
        uint32_t written = 0;
        const bool ok =
            bytes.empty() ||
            files.WriteFile(file, bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
        const uint32_t error = ok ? 0 : host::user::GetLastError();
        files.CloseHandle(file);
        c.out << "error=" << error << " bytes=" << written << "\n";
    } else {
        Fail(usage);
    }
    return true;
}

namespace {

const ScenarioCommandArea kMachineCommands = {
    {"windows-version", WindowsVersion},
    {"wait", Wait},
};

}  // namespace
