// DirectSound of the user's session as a scenario sees it: every buffer a program made, with
// its playing state and 3D parameters, every endpoint's listener, and another program taking
// the device's write-primary level (which loses every buffer) and giving it back, and what the
// mixer sent a headset before the driver stack processed it.
// The user session's headers come before the kernel's, whose macros would rename their
// constants.
#include "host/direct_sound.h"
#include "host/user_session.h"
// clang-format off
#include <cstdio>

#include "host/pnp.h"
#include "host/text.h"
#include "scenario_context.h"
// clang-format on

namespace {

namespace user = host::user;

std::string Real(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string Vector(const user::DsVector& v) {
    return Real(v.x) + "," + Real(v.y) + "," + Real(v.z);
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// "builtin", or the scenario's number of the headset the endpoint belongs to.
std::string DeviceName(ScenarioContext& c, const std::string& key) {
    if (key == "builtin")
        return key;
    for (size_t i = 0; i < c.devices.size(); ++i)
        if (c.devices[i].node != nullptr &&
            host::EqualsIgnoreCase(c.devices[i].node->InstancePath(), key))
            return std::to_string(i + 1);
    return "?";
}

void State(ScenarioContext& c) {
    user::DirectSound& ds = c.Session().directSound();
    for (const user::DirectSound::ListenerInfo& l : ds.Listeners())
        c.out << "listener device=" << DeviceName(c, l.endpoint)
              << " position=" << Vector(l.params.position)
              << " rolloff=" << Real(l.params.rolloffFactor)
              << " doppler=" << Real(l.params.dopplerFactor) << "\n";
    const std::vector<user::DirectSound::BufferInfo> buffers = ds.Buffers();
    if (buffers.empty())
        c.out << "buffers=none\n";
    for (size_t i = 0; i < buffers.size(); ++i) {
        const user::DirectSound::BufferInfo& b = buffers[i];
        c.out << "buffer=" << i << " device=" << DeviceName(c, b.endpoint)
              << " kind=" << (b.primary ? "primary" : "secondary") << " flags=" << Hex(b.flags)
              << " format=" << b.format.channels << "ch," << b.format.samplesPerSec << "Hz,"
              << b.format.bitsPerSample << "bit";
        if (!b.primary)
            c.out << " bytes=" << b.bytes << " playing=" << (b.playing ? "yes" : "no")
                  << " looping=" << (b.playing && b.looping ? "yes" : "no")
                  << " lost=" << (b.lost ? "yes" : "no") << " position=" << b.position;
        if (b.has3D)
            c.out << " mode=" << b.params.mode << " min=" << Real(b.params.minDistance)
                  << " max=" << Real(b.params.maxDistance)
                  << " source=" << Vector(b.params.position)
                  << " velocity=" << Vector(b.params.velocity) << " gain=" << Real(b.panLeft) << ","
                  << Real(b.panRight);
        c.out << "\n";
    }
}

void DsoundCommand(ScenarioContext& c, const Words& w) {
    if (w.size() == 2 && w[1] == "state") {
        State(c);
    } else if (w.size() == 3 && w[1] == "write-primary" && (w[2] == "taken" || w[2] == "free")) {
        c.Session().directSound().SetWritePrimaryElsewhere(w[2] == "taken");
        c.out << "write-primary=" << w[2] << "\n";
    } else if (w.size() == 4 && w[1] == "save-mixed") {
        ScenarioContext::Device& device = c.DeviceAt(w[2]);
        StereoPcm audio;
        audio.sampleRate = 48000;  // the mixer's rate
        audio.bytes = c.Session().directSound().Sent(device.node->InstancePath());
        c.WriteAudio(w[3], audio);
        c.out << "bytes=" << audio.bytes.size() << "\n";
    } else {
        Fail(
            "usage: dsound state | dsound write-primary taken|free | dsound save-mixed N FILE.wav");
    }
}

const ScenarioCommandArea kDsoundCommands = {
    {"dsound", DsoundCommand},
};

}  // namespace
