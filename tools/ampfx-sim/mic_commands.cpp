// The headsets' microphones as Windows holds them (volume, mute, automatic gain control) and
// the changes a user makes to them elsewhere in Windows, in the Sound control panel: they go
// through the same state the panel's Core Audio and mixer calls use, and are reported to the
// callbacks registered for them on the session's notification thread.
// The user session's headers come before the kernel's, whose macros would rename their
// constants.
#include "host/core_audio.h"
#include "host/desktop.h"
#include "host/user_session.h"
// clang-format off
#include <cstdio>

#include "host/pnp.h"
#include "scenario_context.h"
// clang-format on

namespace {

namespace user = host::user;

const char* PlacementName(user::BoostPlacement placement) {
    switch (placement) {
        case user::BoostPlacement::Destination:
            return "destination";
        case user::BoostPlacement::Source:
            return "source";
        default:
            return "none";
    }
}

std::string KeyOf(ScenarioContext& c, const std::string& word) {
    ScenarioContext::Device& device = c.DeviceAt(word);
    return device.node->InstancePath();
}

void PrintState(ScenarioContext& c, const std::string& number, const std::string& key) {
    user::MicrophoneState state;
    if (!c.Session().coreAudio().State(key, &state)) {
        c.out << "mic " << number << ": no recording device\n";
        return;
    }
    char volume[16];
    std::snprintf(volume, sizeof volume, "%.3f", static_cast<double>(state.Scalar()));
    c.out << "mic " << number << ": volume=" << volume << " (step " << state.step << "/"
          << state.stepCount - 1 << ") mute=" << (state.mute ? 1 : 0) << " boost="
          << (state.boost == user::BoostPlacement::None ? "unsupported" : (state.agc ? "1" : "0"))
          << "\n";
}

// Delivers what the change caused and lets a running panel take it.
void Settle(ScenarioContext& c) {
    c.Session().coreAudio().Flush();
    if (!c.Session().desktop().WaitIdle(20000))
        Fail("the panel did not come back to its message loop");
}

void MicCommand(ScenarioContext& c, const Words& w) {
    // What the headset's microphone hears belongs to the headset's commands.
    if (RunMicSignalCommand(c, w))
        return;
    if (w.size() < 2)
        Fail(
            "usage: mic state N | mic set N volume|mute|boost V | mic boost-control N "
            "none|destination|source | mic signal N silence|square AMPLITUDE|sine HZ "
            "AMPLITUDE|FILE.wav");
    const std::string& what = w[1];
    if (what == "state") {
        Arity(w, 3, 3, "mic state N");
        PrintState(c, w[2], KeyOf(c, w[2]));
    } else if (what == "set") {
        Arity(w, 5, 5, "mic set N volume|mute|boost V");
        const std::string key = KeyOf(c, w[2]);
        user::CoreAudio& audio = c.Session().coreAudio();
        // A change made in the Sound control panel carries a context of its own.
        user::Guid elsewhere;
        elsewhere.data1 = 0x50C1D0A1;
        user::HResult status;
        if (w[3] == "volume") {
            const double level = ParseReal(w[4], "volume");
            if (level < 0 || level > 1)
                Fail("volume '" + w[4] + "' is not within 0 to 1");
            status = audio.SetScalar(key, static_cast<float>(level), &elsewhere);
        } else if (w[3] == "mute" || w[3] == "boost") {
            const uint32_t on = ParseNumber(w[4], w[3].c_str(), 1);
            status = w[3] == "mute" ? audio.SetMute(key, on != 0, &elsewhere)
                                    : audio.SetAgc(key, on != 0, &elsewhere);
        } else {
            Fail("usage: mic set N volume|mute|boost V");
        }
        if (status != user::kHrOk) {
            c.out << "mic " << w[2] << ": " << Status(static_cast<uint32_t>(status)) << "\n";
            return;
        }
        Settle(c);
        PrintState(c, w[2], key);
    } else if (what == "boost-control") {
        Arity(w, 4, 4, "mic boost-control N none|destination|source");
        const std::string key = KeyOf(c, w[2]);
        user::BoostPlacement placement;
        if (w[3] == "none")
            placement = user::BoostPlacement::None;
        else if (w[3] == "destination")
            placement = user::BoostPlacement::Destination;
        else if (w[3] == "source")
            placement = user::BoostPlacement::Source;
        else
            Fail("usage: mic boost-control N none|destination|source");
        c.Session().coreAudio().SetBoostPlacement(key, placement);
        c.out << "mic " << w[2] << ": boost-control=" << PlacementName(placement) << "\n";
    } else {
        Fail(
            "usage: mic state N | mic set N volume|mute|boost V | mic boost-control N "
            "none|destination|source");
    }
}

const ScenarioCommandArea kMicCommands = {
    // Word 3 of `mic signal N FILE.wav` is a file the scenario reads.
    {"mic", MicCommand, 3},
};

}  // namespace
