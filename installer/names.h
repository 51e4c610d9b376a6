// The installer's fixed names: files, keys, values, resources, messages and the texts the
// user reads. They are the system's own and must stay exactly as written here; the panel,
// the service and Windows' list of installed programs look for them.
#pragma once

#include <stdint.h>

namespace qexinstall {

// Files below the system directory.
inline constexpr char kServiceName[] = "Dovrel";
inline constexpr char kServiceFile[] = "Dovrel.exe";
inline constexpr char kPanelFile[] = "QX_AudioControl.exe";
inline constexpr char kUninstallerFile[] = "QX_AmpfxSuiteUninstall.exe";
inline constexpr char kSkinFolder[] = "QX_AudioControlRec";
inline constexpr char kSkinFile[] = "QX_AudioControlRec.dll";
inline constexpr char kSkinInfoFile[] = "ResourceInfo.ini";
inline constexpr char kDriverFile[] = "drivers\\Ampfx.sys";

// The service's registration run: its own path, then this (two spaces).
inline constexpr char kServiceRegistrationArgs[] = "  /Service";
constexpr uint32_t kRegistrationTimeoutMs = 100000;

// The driver's service key and its values.
inline constexpr char kDriverServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Ampfx";
inline constexpr char kDriverKeyClass[] = "Ampfx";
inline constexpr char kDriverImagePath[] = "System32\\DRIVERS\\Ampfx.sys";

// Autostart of the panel.
inline constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr char kRunValue[] = "QX_AudioControl";
inline constexpr char kPanelNoUiSwitch[] = " -QEXNOUI";

// Windows' list of installed programs: this product and its two siblings, which share the
// service and the start-menu folder.
inline constexpr char kUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QEX4410AudioExt";
inline constexpr char kSiblingUninstallKeys[2][72] = {
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QEX4405AudioExt",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QEX4410SpeakerExt"};
inline constexpr char kDisplayName[] = "QEXAmpfxSuite";
inline constexpr char kDisplayVersion[] = "1.0.0.1";

// Start-menu shortcut, below the common programs folder.
inline constexpr char kStartMenuFolder[] = "\\Vornel Audio";
inline constexpr char kShortcutFile[] = "\\QX_AmpfxSuite_V305.lnk";

// The skin description the panel reads.
inline constexpr char kSkinSection[] = "DEFAULT";
inline constexpr char kSkinNameKey[] = "Skin Name";
inline constexpr char kSkinPathKey[] = "Skin Path";
inline constexpr char kDefaultSkinName[] = "System Default";
inline constexpr char kCustomSkinPattern[] = "Custom Skin\\*.dll";
inline constexpr char kCustomSkinFolder[] = "Custom Skin\\";

// The panel's settings file in the common application-data folder.
inline constexpr char kPanelSettingsFile[] = "QEXAudioEQAndMicData.dat";

// Messages to running panels.
inline constexpr char kPanelWindowTitle[] = "QEX USB Ampfx Suite";
inline constexpr char kAppExitMessage[] = "WM_QEX4410APP_EXIT";
inline constexpr char kCplExitMessage[] = "WM_QEXAmpfxCPL_EXIT";
constexpr int64_t kCplExitLParam = 0x4400;

// Payload resources: custom types and ids.
inline constexpr char kTypeService[] = "SERVICE";
inline constexpr char kTypeApp[] = "APP";
inline constexpr char kTypeUninstall[] = "UNINSTALL";
inline constexpr char kTypeSkin[] = "RESDLL";
inline constexpr char kTypeDriver[] = "DRIVER";
inline constexpr char kTypeManifest[] = "MANIFEST";
constexpr uint16_t kResDriver32 = 138;
constexpr uint16_t kResDriver64 = 139;
constexpr uint16_t kResService32 = 140;
constexpr uint16_t kResManifest = 141;
constexpr uint16_t kResPanel = 142;
constexpr uint16_t kResSkinEnglish = 143;
constexpr uint16_t kResSkinSimplified = 144;
constexpr uint16_t kResUninstaller = 145;
constexpr uint16_t kResService64 = 147;
constexpr uint16_t kResSkinTraditional = 148;

// Service control routine commands (0 and 1 are the routine's own; 128 goes to the service).
constexpr uint32_t kServiceCommandStart = 0;
constexpr uint32_t kServiceCommandStop = 1;
constexpr uint32_t kServiceCommandRemoveFilter = 128;
constexpr uint32_t kServicePollMs = 300;
constexpr uint32_t kServicePollCount = 30;

// Message boxes.
inline constexpr char kInstalledBeforeFormat[] =
    "The sofware has installed before,\nplease uninstall the old version first\n..code:%x...%x";
inline constexpr char kInstallFailsFormat[] = "The installation fails with error code %02X-%08X";
inline constexpr char kUninstallFailsFormat[] =
    "The uninstallation fails with error code %02X-%08X";
inline constexpr char kInstallCaption[] = "Install";
inline constexpr char kUninstallCaption[] = "Uninstall";
constexpr uint32_t kRunKeyUninstallCode = 12;

constexpr uint32_t kInstallBeepHz = 500;
constexpr uint32_t kUninstallBeepHz = 400;
constexpr uint32_t kBeepMs = 100;

}  // namespace qexinstall
