// Headsets on the simulated bus and the streams the class driver plays to them: plugging,
// filtering and removing devices, playing audio files, URBs of the class driver, what the
// headsets recorded, and the generated audio a scenario can play.
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>

#include "host/audio_stream.h"
#include "host/machine.h"
#include "host/registry.h"
#include "host/usb_headset.h"
#include "music_clip.h"
#include "host/pnp.h"
#include "scenario_context.h"

namespace {

constexpr uint32_t kDefaultChunkBytes = 1920;  // ampfx-render's default transfer
// A square wave's edges are where a band-limited capture falls short of full scale; at 50 Hz
// they are few (two in 20 ms).
constexpr int kMicSquareHz = 50;

void Plug(ScenarioContext& c, const Words& w) {
    const char* usage = "usage: plug PID [--vid VID] [--hub N]";
    if (w.size() < 2 || w.size() % 2 != 0)
        Fail(usage);
    const uint16_t productId = static_cast<uint16_t>(ParseNumber(w[1], "product id", 0xFFFF));
    uint16_t vendorId = 0x0F1E;
    std::optional<host::UsbPort> at;
    for (size_t i = 2; i + 1 < w.size(); i += 2) {
        if (w[i] == "--vid") {
            vendorId = static_cast<uint16_t>(ParseNumber(w[i + 1], "vendor id", 0xFFFF));
        } else if (w[i] == "--hub") {
            // Behind an external hub: its first free port.
            const int hub = static_cast<int>(ParseNumber(w[i + 1], "hub", 127));
            host::PnpManager& pnp = c.Machine().pnp();
            const int ports = pnp.HubPorts(hub);
            if (ports == 0)
                Fail("no hub " + w[i + 1] + " (hub plug first)");
            for (int port = 1; port <= ports && !at; ++port) {
                const std::optional<host::UsbPortState> state = pnp.PortState(hub, port);
                if (state && !state->connected)
                    at = host::UsbPort{hub, port};
            }
            if (!at)
                Fail("hub " + w[i + 1] + " has no free port");
        } else {
            Fail(usage);
        }
    }
    host::UsbDeviceIdentity identity;
    identity.vendorId = vendorId;
    identity.productId = productId;
    ScenarioContext::Device device;
    device.headset = std::make_shared<host::UsbHeadset>(vendorId, productId);
    device.node = c.Machine().pnp().PlugIn(identity, device.headset, at);
    if (device.node == nullptr)
        Fail("no free port for the headset");
    // A device plugged again into its port is the node it was; it gets a new number all the
    // same, and its old number now speaks to the new headset too.
    for (ScenarioContext::Device& earlier : c.devices) {
        if (earlier.node == device.node) {
            earlier.headset = device.headset;
            earlier.stream.reset();
        }
    }
    c.devices.push_back(std::move(device));
    c.PrintDevice(c.devices.size() - 1);
}

void Filter(ScenarioContext& c, const Words& w) {
    Arity(w, 3, 3, "filter N on|off");
    if (w[2] != "on" && w[2] != "off")
        Fail("usage: filter N on|off");
    ScenarioContext::Device& device = c.DeviceAt(w[1]);
    if (!device.node->Present())
        Fail("device " + w[1] + " is not plugged in");
    host::Registry& registry = c.Machine().registry();
    if (w[2] == "on")
        registry.SetMultiString(device.node->EnumKey(), "LowerFilters", {"Ampfx"});
    else
        registry.DeleteValue(device.node->EnumKey(), "LowerFilters");
    c.DropStreams();
    c.Machine().pnp().Restart(device.node);
    c.PrintDevice(&device - c.devices.data());
}

void Unplug(ScenarioContext& c, const Words& w) {
    if (w.size() != 2 && !(w.size() == 3 && w[2] == "--surprise"))
        Fail("usage: unplug N [--surprise]");
    ScenarioContext::Device& device = c.DeviceAt(w[1]);
    if (!device.node->Present())
        Fail("device " + w[1] + " is not plugged in");
    c.DropStreams();
    host::PnpManager& pnp = c.Machine().pnp();
    if (w.size() == 2) {
        // Safely removed first: query-remove and remove while the device is still there.
        const NTSTATUS status = pnp.Stop(device.node);
        if (!NT_SUCCESS(status))
            c.out << "stop " << Status(status) << "\n";
    }
    pnp.Unplug(device.node);
    c.PrintDevice(&device - c.devices.data());
}

void Devices(ScenarioContext& c, const Words& w) {
    Arity(w, 1, 1, "devices");
    c.PrintDevices();
}

void Play(ScenarioContext& c, const Words& w) {
    if (w.size() != 3 && !(w.size() == 5 && w[3] == "--chunk"))
        Fail("usage: play N IN.wav [--chunk BYTES]");
    ScenarioContext::Device& device = c.DeviceAt(w[1]);
    const uint32_t chunk = w.size() == 5 ? ParseNumber(w[4], "chunk size") : kDefaultChunkBytes;
    if (chunk == 0)
        Fail("the chunk size must be at least 1 byte");
    const StereoPcm audio = c.ReadAudio(w[2]);
    host::AudioStream* stream = c.Stream(device);
    if (stream == nullptr)
        return;
    device.sampleRate = audio.sampleRate;
    const NTSTATUS status = stream->Play(audio.bytes, chunk);
    const uint32_t transfers = static_cast<uint32_t>((audio.bytes.size() + chunk - 1) / chunk);
    c.out << Status(status) << " bytes=" << audio.bytes.size() << " transfers=" << transfers
          << "\n";
}

void SavePlayed(ScenarioContext& c, const Words& w) {
    Arity(w, 3, 3, "save-played N OUT.wav");
    ScenarioContext::Device& device = c.DeviceAt(w[1]);
    StereoPcm audio;
    audio.sampleRate = device.sampleRate;
    audio.bytes = device.headset->Played();
    audio.bytes.resize(audio.bytes.size() / 4 * 4);  // a file holds whole frames only
    c.WriteAudio(w[2], audio);
    c.out << "bytes=" << audio.bytes.size() << "\n";
}

void ComparePlayed(ScenarioContext& c, const Words& w) {
    Arity(w, 3, 3, "compare-played N FILE.wav");
    ScenarioContext::Device& device = c.DeviceAt(w[1]);
    const std::vector<uint8_t> played = device.headset->Played();
    const StereoPcm file = c.ReadAudio(w[2]);
    c.out << "played-bytes=" << played.size() << " file-bytes=" << file.bytes.size()
          << " equal=" << (played == file.bytes ? "yes" : "no");
    if (played != file.bytes) {
        size_t at = 0;
        while (at < played.size() && at < file.bytes.size() && played[at] == file.bytes[at])
            ++at;
        c.out << " first-difference=" << at;
    }
    c.out << "\n";
}

void Urb(ScenarioContext& c, const Words& w) {
    if (w.size() < 3)
        Fail("usage: urb N abort-pipe|select-interface IF ALT|set-cur-mute V|get-cur-mute");
    ScenarioContext::Device& device = c.DeviceAt(w[1]);
    const std::string& what = w[2];
    std::function<NTSTATUS(host::AudioStream&)> send;
    uint8_t value = 0;
    if (what == "abort-pipe") {
        Arity(w, 3, 3, "urb N abort-pipe");
        send = [](host::AudioStream& s) { return s.AbortPipe(); };
    } else if (what == "select-interface") {
        Arity(w, 5, 5, "urb N select-interface IF ALT");
        const uint8_t number = static_cast<uint8_t>(ParseNumber(w[3], "interface", 0xFF));
        const uint8_t alternate = static_cast<uint8_t>(ParseNumber(w[4], "alternate", 0xFF));
        send = [=](host::AudioStream& s) { return s.SelectInterface(number, alternate); };
    } else if (what == "set-cur-mute") {
        Arity(w, 4, 4, "urb N set-cur-mute V");
        value = static_cast<uint8_t>(ParseNumber(w[3], "mute value", 0xFF));
        send = [&](host::AudioStream& s) { return s.SetCurMute(value); };
    } else if (what == "get-cur-mute") {
        Arity(w, 3, 3, "urb N get-cur-mute");
        send = [&](host::AudioStream& s) { return s.GetCurMute(&value); };
    } else {
        Fail("unknown urb '" + what +
             "' (abort-pipe, select-interface, set-cur-mute, get-cur-mute)");
    }
    host::AudioStream* stream = c.Stream(device, what == "set-cur-mute" || what == "get-cur-mute");
    if (stream == nullptr)
        return;
    const NTSTATUS status = send(*stream);
    c.out << Status(status);
    if (what == "get-cur-mute" && NT_SUCCESS(status))
        c.out << " value=" << static_cast<unsigned>(value);
    c.out << "\n";
}

void Headset(ScenarioContext& c, const Words& w) {
    const char* usage =
        "usage: headset N timing immediate|held|held-control | headset N release | headset N "
        "clear";
    if (w.size() < 3)
        Fail(usage);
    ScenarioContext::Device& device = c.DeviceAt(w[1]);
    if (w[2] == "timing" && w.size() == 4 &&
        (w[3] == "immediate" || w[3] == "held" || w[3] == "held-control")) {
        device.holdsControl = w[3] != "immediate";
        device.holdsTransfers = w[3] == "held";
        device.headset->SetHeldRequests(device.holdsControl, device.holdsTransfers);
        device.headset->SetTiming(device.holdsControl ? host::UsbHeadset::Timing::Held
                                                      : host::UsbHeadset::Timing::Immediate);
    } else if (w[2] == "release" && w.size() == 3) {
        c.out << "released=" << device.headset->ReleaseHeld() << "\n";
    } else if (w[2] == "clear" && w.size() == 3) {
        device.headset->ClearPlayed();
    } else {
        Fail(usage);
    }
}

void MuteLog(ScenarioContext& c, const Words& w) {
    Arity(w, 2, 2, "mute-log N");
    ScenarioContext::Device& device = c.DeviceAt(w[1]);
    const std::vector<uint8_t> log = device.headset->MuteLog();
    std::vector<std::string> values;
    for (uint8_t value : log)
        values.push_back(std::to_string(value));
    c.out << "mute-log=" << Join(values)
          << " mute=" << static_cast<unsigned>(device.headset->Mute()) << "\n";
}

void Generate(ScenarioContext& c, const Words& w) {
    StereoPcm audio;
    audio.sampleRate = kGeneratedRate;
    std::string file;
    if (w.size() == 4 && w[1] == "music") {
        const double seconds = ParseReal(w[2], "length in seconds");
        if (seconds <= 0 || seconds > 600)
            Fail("the music must last more than 0 and at most 600 seconds");
        audio.bytes = GenerateMusicClip(seconds, kGeneratedRate);
        file = w[3];
    } else if (w.size() == 6 && w[1] == "tone") {
        const double hz = ParseReal(w[2], "frequency");
        const double amplitude = ParseReal(w[3], "amplitude");
        const double seconds = ParseReal(w[4], "length in seconds");
        if (seconds <= 0 || seconds > 600 || amplitude < 0 || amplitude > 32767 || hz < 0)
            Fail("a tone needs 0 <= HZ, 0 <= AMPLITUDE <= 32767 and 0 < SECONDS <= 600");
        const size_t frames = static_cast<size_t>(seconds * kGeneratedRate);
        audio.bytes.resize(frames * 4);
        for (size_t k = 0; k < frames; ++k) {
            const double phase = 2.0 * M_PI * hz * static_cast<double>(k) / kGeneratedRate;
            const int16_t sample = static_cast<int16_t>(std::lround(amplitude * std::sin(phase)));
            std::memcpy(&audio.bytes[k * 4], &sample, 2);
            std::memcpy(&audio.bytes[k * 4 + 2], &sample, 2);
        }
        file = w[5];
    } else {
        Fail("usage: generate music SECONDS OUT.wav | generate tone HZ AMPLITUDE SECONDS OUT.wav");
    }
    c.WriteAudio(file, audio);
    c.out << "bytes=" << audio.bytes.size() << "\n";
}

// An external hub on the next free port of the root hub.
void Hub(ScenarioContext& c, const Words& w) {
    Arity(w, 2, 3, "hub plug [PORTS]");
    if (w[1] != "plug")
        Fail("usage: hub plug [PORTS]");
    const int ports = w.size() == 3 ? static_cast<int>(ParseNumber(w[2], "ports", 127)) : 4;
    if (ports == 0)
        Fail("a hub has at least one port");
    const int hub = c.Machine().pnp().PlugInHub(ports);
    if (hub < 0)
        Fail("no free port for the hub");
    c.out << "hub=" << hub << " ports=" << ports << "\n";
}

// The microphone's signal, 48 kHz 16-bit mono as the headset's capture endpoint returns it,
// one period of it (or the whole file) repeated for as long as the headset is read.
std::vector<uint8_t> MicSignal(ScenarioContext& c, const Words& w) {
    const char* usage = "usage: mic signal N silence|square AMPLITUDE|sine HZ AMPLITUDE|FILE.wav";
    auto amplitudeOf = [](const std::string& word) {
        const double a = ParseReal(word, "amplitude");
        if (a < 0 || a > 1)
            Fail("the amplitude is a fraction of full scale, 0 to 1");
        return a * 32767.0;
    };
    std::vector<int16_t> samples;
    const std::string& kind = w[3];
    if (kind == "silence" && w.size() == 4) {
        // An empty signal: the headset answers silence.
    } else if (kind == "square" && w.size() == 5) {
        const double a = amplitudeOf(w[4]);
        const int16_t high = static_cast<int16_t>(std::lround(a));
        samples.assign(kGeneratedRate / kMicSquareHz, high);
        std::fill(samples.begin() + samples.size() / 2, samples.end(), static_cast<int16_t>(-high));
    } else if (kind == "sine" && w.size() == 6) {
        const double hz = ParseReal(w[4], "frequency");
        if (hz <= 0 || hz >= kGeneratedRate / 2)
            Fail("a sine needs 0 < HZ < 24000");
        const double a = amplitudeOf(w[5]);
        // One second: a whole number of periods for a whole number of hertz.
        samples.resize(kGeneratedRate);
        for (size_t k = 0; k < samples.size(); ++k)
            samples[k] = static_cast<int16_t>(std::lround(
                a * std::sin(2.0 * M_PI * hz * static_cast<double>(k) / kGeneratedRate)));
    } else if (w.size() == 4 && kind != "silence" && kind != "square" && kind != "sine") {
        const StereoPcm file = c.ReadAudio(kind);
        if (file.sampleRate != kGeneratedRate)
            Fail("the microphone records 48000 samples per second; '" + kind + "' has " +
                 std::to_string(file.sampleRate));
        samples.resize(file.bytes.size() / 4);
        for (size_t k = 0; k < samples.size(); ++k) {
            int16_t left, right;
            std::memcpy(&left, &file.bytes[k * 4], 2);
            std::memcpy(&right, &file.bytes[k * 4 + 2], 2);
            samples[k] = static_cast<int16_t>((left + right) / 2);
        }
    } else {
        Fail(usage);
    }
    std::vector<uint8_t> pcm(samples.size() * 2);
    if (!samples.empty())
        std::memcpy(pcm.data(), samples.data(), pcm.size());
    return pcm;
}

}  // namespace

bool RunMicSignalCommand(ScenarioContext& c, const Words& w) {
    if (w.size() < 2 || w[1] != "signal")
        return false;
    if (w.size() < 4)
        Fail("usage: mic signal N silence|square AMPLITUDE|sine HZ AMPLITUDE|FILE.wav");
    ScenarioContext::Device& device = c.DeviceAt(w[2]);
    const std::vector<uint8_t> pcm = MicSignal(c, w);
    device.headset->SetCaptureData(pcm);
    c.out << "mic=" << w[2] << " samples=" << pcm.size() / 2 << "\n";
    return true;
}

namespace {

const ScenarioCommandArea kHeadsetCommands = {
    {"plug", Plug},
    {"hub", Hub},
    {"filter", Filter},
    {"unplug", Unplug},
    {"devices", Devices},
    {"play", Play, 2},
    {"save-played", SavePlayed},
    {"compare-played", ComparePlayed, 2},
    {"urb", Urb},
    {"headset", Headset},
    {"mute-log", MuteLog},
    {"generate", Generate},
};

}  // namespace
