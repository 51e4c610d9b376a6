// The texts the control panel shows or registers, exactly as users and other programs see
// them, in one place.
#pragma once

#include <stdint.h>

// Message boxes of the main dialog.
inline constexpr char16_t kTextNoResourceDirectory[] = u"Can not find the Resource Directory";
inline constexpr char16_t kTextDeviceNotDetected[] =
    u"Device not detected or The system default audio device is not QEX4410/4420";
inline constexpr char16_t kTextTwoDevices[] =
    u"Two devices are detected at the same time; please remove one device and re-try!";
inline constexpr char16_t kTextCannotLoadSkin[] = u"Can not load the Resource you chose!";
inline constexpr char16_t kTextSkinInvalid[] = u"The Skin is invalid!";
inline constexpr char16_t kTextTestSoundError[] = u"There is a Error!";

// A message box without a caption of its own shows the application's name, which the
// framework takes from the program's file name.
inline constexpr char16_t kApplicationName[] = u"QX_AudioControl";
inline constexpr const char16_t* kCaptionFramework = nullptr;
inline constexpr uint32_t kMbOk = 0;

// Names other programs rely on.
inline constexpr char16_t kWindowTitle[] = u"QEX USB Ampfx Suite";
inline constexpr char kExitMessageName[] = "WM_QEX4410APP_EXIT";
inline constexpr char16_t kMutexName[] = u"QEX4410 AUDIO MANAGE";
inline constexpr char16_t kSwitchNoUi[] = u"-QEXNOUI";
inline constexpr char16_t kSwitchElevated[] = u"-QEXUAC";
inline constexpr char16_t kTrayTip[] = u"USB audio manager";
inline constexpr char16_t kSkinFolderName[] = u"QX_AudioControlRec";
inline constexpr char16_t kSkinDescriptionFile[] = u"ResourceInfo.ini";
inline constexpr char16_t kSkinSection[] = u"DEFAULT";
inline constexpr char16_t kSkinPathKey[] = u"Skin Path";
inline constexpr char16_t kBeeFileName[] = u"Bee4410.wav";
inline constexpr char16_t kMusicFileName[] = u"Music4410.wav";
