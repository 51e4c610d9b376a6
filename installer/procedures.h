// The install (or repair) procedure and the uninstall procedure, step by step over the
// ports. Both run on the wizard's worker thread and report progress as percentages; a
// failure of the install stops it with one message box, steps done are not undone.
#pragma once

#include <stdint.h>

#include <string>

#include "ports.h"

namespace qexinstall {

// Every way the install can stop. Bit 0x40000000 marks a file that could not be opened for
// writing, which in practice means an old installation is still running.
enum InstallErrorCode : uint32_t {
    kInstallOk = 0,
    kPayloadNotFound = 0x80000001,
    kPayloadLoadFailed = 0x80000002,
    kNoSystemDirectory = 0x80000004,
    kFileOpenFailed = 0x40000001,
    kServiceWrittenShort = 0x80000010,
    kServiceRegistrationFailed = 0x80000011,
    kRunKeyFailed = 0x80000022,
    kSkinNotFound = 0x80000017,
    kSkinLoadFailed = 0x80000018,
    kSkinOpenFailed = 0x40000010,
    kSkinWrittenShort = 0x80000021,
    kDriverNotFound = 0x80000027,
    kDriverLoadFailed = 0x80000028,
    kDriverOpenFailed = 0x40000030,
    kDriverWrittenShort = 0x80000041,
};
constexpr uint32_t kFileOpenBit = 0x40000000;

// Where the percentages go: the wizard's progress page (a synchronous message there).
class ProgressSink {
  public:
    virtual ~ProgressSink() = default;
    virtual void Report(uint32_t percent) = 0;
};

// What one install run did, for the wizard's caller and the tests; the user sees only the
// message box.
struct InstallOutcome {
    uint32_t code = kInstallOk;
    WinError lastError = 0;
};

// The message box text of a failed install.
std::string FormatInstallFailure(uint32_t code, WinError lastError);

// Language index of the wizard (0 English, 1 Chinese (Simplified), 2 Chinese (Traditional))
// to the default skin's resource id; 0 for an index the wizard never offers.
uint16_t SkinResourceForLanguage(int language);

// Start (0), stop (1) or send a user-defined control to the service; failures are silent.
void ControlService(InstallPorts& ports, uint32_t command);

// Creates (true) or deletes (false) the start-menu shortcut to the panel.
void UpdateShortcut(InstallPorts& ports, const std::string& panelPath, bool create);

// Writes this product's entry in Windows' list of installed programs.
void WriteUninstallRegistration(InstallPorts& ports, const std::string& uninstallerPath);

// The install procedure. `owner` owns the failure's message box.
InstallOutcome RunInstall(InstallPorts& ports, int language, ProgressSink& progress,
                          WindowHandle owner);

// The uninstall procedure.
void RunUninstall(InstallPorts& ports, ProgressSink& progress, WindowHandle owner);

// Whether this product is registered as installed (the wizard then offers repair and
// uninstall).
bool ProductInstalled(Registry& registry);

}  // namespace qexinstall
