#include "host/user_session.h"

#include "host/machine.h"
#include "host/user_system.h"

namespace host::user {

UserSession::UserSession(Machine& machine, UserSystem& system)
    : UserSession(machine, system, Options()) {}

UserSession::UserSession(Machine& machine, UserSystem& system, Options options)
    : options_(options),
      desktop_(std::make_unique<Desktop>(&machine.pnp(), &system.processes())),
      objects_(&system.processes()),
      shell_(system.processes(), system.files(),
             Shell::Options{options.version, options.userAccountControl, u"User"}),
      files_(system.files()),
      setup_(options.bitness),
      audio_(&machine.pnp(), options.version.major),
      coreAudio_(audio_, &machine.pnp(), options.version.major),
      mixers_(coreAudio_, options.version.major),
      directSound_(std::make_unique<DirectSound>(audio_, *desktop_, options.version.major)) {
    desktop_->SetClockListener([this](int64_t now) { directSound_->MixUntil(now); });
}

UserSession::~UserSession() {
    desktop_->SetClockListener(nullptr);
}

}  // namespace host::user
