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
// The test sound's own messages, with their captions.
inline constexpr char16_t kTextDirectSoundInit[] = u"Error initializing DirectSound.(0x%x)";
inline constexpr char16_t kCaptionSuite[] = u"QEX Ampfx Suite";
inline constexpr char16_t kTextInvalidWave[] = u"Invalid wave file format.";
inline constexpr char16_t kTextWaveNotMono[] = u"Wave file must be mono for 3D control.";
inline constexpr char16_t kTextWaveNotPcm[] = u"Wave file must be PCM for 3D control.";
inline constexpr char16_t kTextNoVirtualization[] =
    u"The 3D virtualization algorithm requested is not supported under this operating system.  "
    u"It is available only on Windows xp, Windows 2000, Windows ME, and Windows 98 with WDM "
    u"drivers and beyond.  Creating buffer with no virtualization.";
inline constexpr char16_t kCaptionDirectSoundSample[] = u"DirectSound Sample";
inline constexpr char16_t kTextNo3DBuffer[] = u"Could not get 3D buffer.";
inline constexpr char16_t kTextPlayFailed[] =
    u"Error playing DirectSound buffer.Sample will now exit.";
inline constexpr uint32_t kMbIconError = 0x10;

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
