// The simulated machine's user session, brought up over a host::Machine and a
// host::UserSystem: the interactive desktop, named objects, the shell with the user's token,
// files and profile strings, SetupAPI, the audio devices with their microphones (Core Audio
// and the mixer) and DirectSound, which mixes as the desktop's clock moves. Created after
// both and destroyed before them. Programs' host ports call its parts as they would call Windows;
// scenarios and tests use the same parts' scenario side (clicks, answers, the clock, the default
// device).
#pragma once

#include <stdint.h>

#include <memory>

#include "host/audio_devices.h"
#include "host/core_audio.h"
#include "host/desktop.h"
#include "host/direct_sound.h"
#include "host/files_api.h"
#include "host/mixer.h"
#include "host/named_objects.h"
#include "host/os_version.h"
#include "host/setup_api.h"
#include "host/shell.h"

namespace host {
class Machine;
class UserSystem;
}  // namespace host

namespace host::user {

class UserSession {
  public:
    struct Options {
        OsVersion version;
        bool userAccountControl = true;
        // The programs' pointer size, which fixes SetupAPI's record sizes: the shipped panel
        // is a 32-bit program.
        Bitness bitness = Bitness::k32;
    };

    UserSession(Machine& machine, UserSystem& system, Options options);
    UserSession(Machine& machine, UserSystem& system);
    ~UserSession();
    UserSession(const UserSession&) = delete;
    UserSession& operator=(const UserSession&) = delete;

    Desktop& desktop() { return *desktop_; }
    NamedObjects& objects() { return objects_; }
    Shell& shell() { return shell_; }
    Files& files() { return files_; }
    SetupApi& setup() { return setup_; }
    AudioDevices& audio() { return audio_; }
    DirectSound& directSound() { return *directSound_; }
    CoreAudio& coreAudio() { return coreAudio_; }
    Mixers& mixers() { return mixers_; }
    const Options& options() const { return options_; }

  private:
    Options options_;
    std::unique_ptr<Desktop> desktop_;
    NamedObjects objects_;
    Shell shell_;
    Files files_;
    SetupApi setup_;
    AudioDevices audio_;
    CoreAudio coreAudio_;
    Mixers mixers_;
    std::unique_ptr<DirectSound> directSound_;
};

}  // namespace host::user
