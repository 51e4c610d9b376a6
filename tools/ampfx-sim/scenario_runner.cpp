#include "scenario_runner.h"

#include <stdlib.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "ampfx_driver.h"
#include "ampfx_ioctl.h"
#include "control_request_text.h"
#include "dovrel_host.h"
#include "eq_preset_table.h"
#include "host/audio_stream.h"
#include "host/kernel_threads.h"
#include "host/machine.h"
#include "host/registry.h"
#include "host/usb_headset.h"
#include "host/user_system.h"
#include "host_control_channel.h"
#include "music_clip.h"
#include "pcm_file.h"
#include "scenario_text.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

namespace fs = std::filesystem;

using Words = std::vector<std::string>;

constexpr uint32_t kDefaultChunkBytes = 1920;  // ampfx-render's default transfer
constexpr int kGeneratedRate = 48000;
constexpr const char* kOutPrefix = "$OUT/";
constexpr const char* kDriverFile = "C:\\Windows\\system32\\drivers\\Ampfx.sys";

// A scenario error: the command could not be understood or carried out.
struct Failure {
    std::string reason;
};

[[noreturn]] void Fail(const std::string& reason) {
    throw Failure{reason};
}

uint32_t ParseNumber(const std::string& text, const char* what, uint64_t max = UINT32_MAX) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        Fail(std::string("bad ") + what + " '" + text + "'");
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value > max)
        Fail(std::string("bad ") + what + " '" + text + "'");
    return static_cast<uint32_t>(value);
}

double ParseReal(const std::string& text, const char* what) {
    errno = 0;
    char* end = nullptr;
    const double value = text.empty() ? 0 : std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value))
        Fail(std::string("bad ") + what + " '" + text + "'");
    return value;
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    if (text.empty())
        return items;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

std::vector<uint8_t> ParseHexBytes(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == ':' || c == ' ' || c == ',')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            Fail("bad hex bytes '" + text + "'");
        digits += c;
    }
    if (digits.size() % 2 != 0)
        Fail("bad hex bytes '" + text + "' (odd number of digits)");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::string Status(uint32_t status) {
    char text[32];
    std::snprintf(text, sizeof text, "status=0x%08X", status);
    return text;
}

template <typename T>
std::string JoinNumbers(const T* values, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (i != 0)
            text += ',';
        if constexpr (std::is_floating_point_v<T>)
            text += FormatFloat(values[i]);
        else
            text += std::to_string(values[i]);
    }
    return text;
}

std::string Join(const std::vector<std::string>& items, const char* empty = "") {
    if (items.empty())
        return empty;
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ",") + item;
    return text;
}

const char* RegTypeName(uint32_t type) {
    switch (type) {
        case host::kRegNone:
            return "REG_NONE";
        case host::kRegSz:
            return "REG_SZ";
        case host::kRegExpandSz:
            return "REG_EXPAND_SZ";
        case host::kRegBinary:
            return "REG_BINARY";
        case host::kRegDword:
            return "REG_DWORD";
        case host::kRegDwordBigEndian:
            return "REG_DWORD_BIG_ENDIAN";
        case host::kRegLink:
            return "REG_LINK";
        case host::kRegMultiSz:
            return "REG_MULTI_SZ";
        case host::kRegQword:
            return "REG_QWORD";
        default:
            return nullptr;
    }
}

std::string RegValueText(const host::RegistryValue& value) {
    switch (value.type) {
        case host::kRegSz:
        case host::kRegExpandSz:
        case host::kRegLink:
            return host::RegStringFromData(value.data);
        case host::kRegMultiSz:
            return Join(host::RegMultiStringFromData(value.data));
        case host::kRegDword:
            if (value.data.size() == 4) {
                uint32_t number;
                std::memcpy(&number, value.data.data(), 4);
                return std::to_string(number);
            }
            break;
        case host::kRegQword:
            if (value.data.size() == 8) {
                uint64_t number;
                std::memcpy(&number, value.data.data(), 8);
                return std::to_string(number);
            }
            break;
        default:
            break;
    }
    return Hex(value.data);  // binary, and any value whose size does not fit its type
}

const char* ServiceStateName(uint32_t state) {
    static const char* const kNames[] = {"none",          "stopped", "start-pending",
                                         "stop-pending",  "running", "continue-pending",
                                         "pause-pending", "paused"};
    return state < 8 ? kNames[state] : "unknown";
}

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

// A host directory for drive C:, removed with everything in it at the end of the run.
class TempDrive {
  public:
    TempDrive() {
        std::string pattern = (fs::temp_directory_path() / "ampfx-sim-drive-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            Fail("cannot create a temporary folder for drive C:");
        path_ = pattern;
    }
    ~TempDrive() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    TempDrive(const TempDrive&) = delete;
    TempDrive& operator=(const TempDrive&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace

struct ScenarioRunner::Impl {
    struct Device {
        host::DevNode* node = nullptr;
        std::shared_ptr<host::UsbHeadset> headset;
        // The class driver's stream; dropped whenever the device may have been restarted, so
        // that the next one configures the device it finds.
        std::unique_ptr<host::AudioStream> stream;
        int sampleRate = kGeneratedRate;  // of the last file played, for saving what it played
        // What the headset keeps pending: class requests, isochronous transfers.
        bool holdsControl = false;
        bool holdsTransfers = false;
    };

    ScenarioPaths paths;
    std::ostream& out;
    host::kernel::WindowsVersion windows = host::kernel::WindowsVersion::WindowsVista;

    // Torn down in reverse: the service before the user system before the machine.
    std::unique_ptr<host::Machine> machine;
    std::unique_ptr<TempDrive> drive;
    std::unique_ptr<host::UserSystem> system;
    std::unique_ptr<dovrel::DovrelHost> dovrel;
    std::vector<Device> devices;

    Impl(const ScenarioPaths& p, std::ostream& o) : paths(p), out(o) {}

    ~Impl() {
        dovrel.reset();
        system.reset();
        for (Device& device : devices)
            device.stream.reset();
        machine.reset();
    }

    // --- machine and devices --------------------------------------------------------------

    host::Machine& Machine() {
        if (!machine) {
            // The machine comes up as installed: the driver's image and its service key, as
            // the installer leaves them; the attachment service is installed by command.
            machine = std::make_unique<host::Machine>(host::Machine::Options{windows, {}});
            machine->InstallDriver("Ampfx", "Ampfx.sys", DriverEntry);
        }
        return *machine;
    }

    dovrel::DovrelHost& Service() {
        host::Machine& m = Machine();
        if (!dovrel) {
            drive = std::make_unique<TempDrive>();
            system = std::make_unique<host::UserSystem>(drive->path());
            const std::string image = "MZ Ampfx.sys";
            system->files().WriteFile(kDriverFile,
                                      std::vector<uint8_t>(image.begin(), image.end()));
            dovrel = std::make_unique<dovrel::DovrelHost>(m.pnp(), *system);
        }
        return *dovrel;
    }

    Device& DeviceAt(const std::string& word) {
        const uint32_t number = ParseNumber(word, "device number");
        if (number == 0 || number > devices.size())
            Fail("no device " + word + " (" + std::to_string(devices.size()) + " plugged so far)");
        return devices[number - 1];
    }

    // Whatever restarted devices leaves the class driver with new function devices.
    void DropStreams() {
        for (Device& device : devices)
            device.stream.reset();
    }

    host::AudioStream* Stream(Device& device, bool classRequest = false) {
        // The class driver waits for each of its own requests; one the headset holds would
        // never come back.
        if (device.holdsTransfers || (classRequest && device.holdsControl))
            Fail("the headset holds its requests: switch it to immediate timing first");
        if (!device.stream)
            device.stream = std::make_unique<host::AudioStream>(device.node);
        if (!device.stream->Ready()) {
            out << "ready=no\n";
            return nullptr;
        }
        return device.stream.get();
    }

    void PrintDevice(size_t index) {
        const host::DevNode& node = *devices[index].node;
        out << "device=" << index + 1 << " present=" << (node.Present() ? "yes" : "no")
            << " started=" << (node.Started() ? "yes" : "no") << " problem=" << node.Problem()
            << " stack=" << (node.Stack().empty() ? "-" : Join(node.Services(), "-")) << "\n";
    }

    void PrintDevices() {
        for (size_t i = 0; i < devices.size(); ++i)
            PrintDevice(i);
    }

    // --- files ----------------------------------------------------------------------------

    std::string InputPath(const std::string& name) const {
        if (name.rfind(kOutPrefix, 0) == 0)
            return (fs::path(paths.outputFolder) / name.substr(std::strlen(kOutPrefix))).string();
        if (fs::path(name).is_absolute())
            return name;
        return (fs::path(paths.inputFolder) / name).string();
    }

    std::string OutputPath(const std::string& name) const {
        const std::string relative =
            name.rfind(kOutPrefix, 0) == 0 ? name.substr(std::strlen(kOutPrefix)) : name;
        if (fs::path(relative).is_absolute())
            return relative;
        return (fs::path(paths.outputFolder) / relative).string();
    }

    StereoPcm ReadAudio(const std::string& name) const {
        StereoPcm audio;
        std::string error;
        if (!ReadStereoPcm(InputPath(name), &audio, &error))
            Fail(error);
        return audio;
    }

    void WriteAudio(const std::string& name, const StereoPcm& audio) const {
        const std::string path = OutputPath(name);
        std::error_code ec;
        fs::create_directories(fs::path(path).parent_path(), ec);
        std::string error;
        if (!WriteStereoPcm(path, audio, &error))
            Fail(error);
    }

    // --- commands -------------------------------------------------------------------------

    static void Arity(const Words& w, size_t least, size_t most, const char* usage) {
        if (w.size() < least || w.size() > most)
            Fail(std::string("usage: ") + usage);
    }

    void WindowsVersion(const Words& w) {
        Arity(w, 3, 3, "windows-version MAJOR MINOR");
        const host::kernel::WindowsVersion version = WindowsVersionOf(
            ParseNumber(w[1], "major version"), ParseNumber(w[2], "minor version"));
        if (machine)
            Fail("windows-version must come before the first command that uses the machine");
        windows = version;
    }

    void Reg(const Words& w) {
        if (w.size() < 2)
            Fail("usage: reg set|delete|dump KEY ...");
        host::Registry& registry = Machine().registry();
        if (w[1] == "set") {
            Arity(w, 6, 6, "reg set KEY NAME dword|sz|expand-sz|multi-sz|binary|f32 VALUE");
            const std::string& key = w[2];
            const std::string& name = w[3];
            const std::string& type = w[4];
            const std::string& text = w[5];
            std::vector<uint8_t> data;
            uint32_t regType = 0;
            if (type == "dword") {
                const uint32_t value = ParseNumber(text, "dword");
                data.resize(4);
                std::memcpy(data.data(), &value, 4);
                regType = host::kRegDword;
            } else if (type == "sz" || type == "expand-sz") {
                data = host::RegStringData(text);
                regType = type == "sz" ? host::kRegSz : host::kRegExpandSz;
            } else if (type == "multi-sz") {
                data = host::RegMultiStringData(SplitList(text));
                regType = host::kRegMultiSz;
            } else if (type == "binary") {
                data = ParseHexBytes(text);
                regType = host::kRegBinary;
            } else if (type == "f32") {
                for (const std::string& item : SplitList(text)) {
                    const float value = static_cast<float>(ParseReal(item, "float"));
                    uint8_t bytes[4];
                    std::memcpy(bytes, &value, 4);  // the host is little-endian, as Windows
                    data.insert(data.end(), bytes, bytes + 4);
                }
                regType = host::kRegBinary;
            } else {
                Fail("unknown value type '" + type +
                     "' (dword, sz, expand-sz, multi-sz, binary, f32)");
            }
            uint32_t error = registry.CreateKey(key);
            if (error == 0)
                error = registry.SetValue(key, name, regType, data.data(), data.size());
            out << "error=" << error << "\n";
        } else if (w[1] == "delete") {
            Arity(w, 3, 4, "reg delete KEY [NAME]");
            const uint32_t error =
                w.size() == 4 ? registry.DeleteValue(w[2], w[3]) : registry.DeleteTree(w[2]);
            out << "error=" << error << "\n";
        } else if (w[1] == "dump") {
            Arity(w, 3, 3, "reg dump KEY");
            std::vector<host::RegistryValue> values;
            const uint32_t error = registry.EnumValues(w[2], &values);
            if (error != 0) {
                out << "error=" << error << "\n";
                return;
            }
            for (const host::RegistryValue& value : values) {
                const char* type = RegTypeName(value.type);
                std::string line = (value.name.empty() ? "(default)" : value.name) + " " +
                                   (type ? type : "REG_" + std::to_string(value.type)) + " " +
                                   RegValueText(value);
                while (!line.empty() && line.back() == ' ')
                    line.pop_back();
                out << line << "\n";
            }
        } else {
            Fail("unknown reg operation '" + w[1] + "' (set, delete, dump)");
        }
    }

    void Plug(const Words& w) {
        if (w.size() != 2 && !(w.size() == 4 && w[2] == "--vid"))
            Fail("usage: plug PID [--vid VID]");
        const uint16_t productId = static_cast<uint16_t>(ParseNumber(w[1], "product id", 0xFFFF));
        const uint16_t vendorId =
            w.size() == 4 ? static_cast<uint16_t>(ParseNumber(w[3], "vendor id", 0xFFFF)) : 0x0F1E;
        host::UsbDeviceIdentity identity;
        identity.vendorId = vendorId;
        identity.productId = productId;
        Device device;
        device.headset = std::make_shared<host::UsbHeadset>(vendorId, productId);
        device.node = Machine().pnp().PlugIn(identity, device.headset);
        // A device plugged again into its port is the node it was; it gets a new number all
        // the same, and its old number now speaks to the new headset too.
        for (Device& earlier : devices) {
            if (earlier.node == device.node) {
                earlier.headset = device.headset;
                earlier.stream.reset();
            }
        }
        devices.push_back(std::move(device));
        PrintDevice(devices.size() - 1);
    }

    void Filter(const Words& w) {
        Arity(w, 3, 3, "filter N on|off");
        if (w[2] != "on" && w[2] != "off")
            Fail("usage: filter N on|off");
        Device& device = DeviceAt(w[1]);
        if (!device.node->Present())
            Fail("device " + w[1] + " is not plugged in");
        host::Registry& registry = Machine().registry();
        if (w[2] == "on")
            registry.SetMultiString(device.node->EnumKey(), "LowerFilters", {"Ampfx"});
        else
            registry.DeleteValue(device.node->EnumKey(), "LowerFilters");
        DropStreams();
        Machine().pnp().Restart(device.node);
        PrintDevice(&device - devices.data());
    }

    void Unplug(const Words& w) {
        if (w.size() != 2 && !(w.size() == 3 && w[2] == "--surprise"))
            Fail("usage: unplug N [--surprise]");
        Device& device = DeviceAt(w[1]);
        if (!device.node->Present())
            Fail("device " + w[1] + " is not plugged in");
        DropStreams();
        host::PnpManager& pnp = Machine().pnp();
        if (w.size() == 2) {
            // Safely removed first: query-remove and remove while the device is still there.
            const NTSTATUS status = pnp.Stop(device.node);
            if (!NT_SUCCESS(status))
                out << "stop " << Status(status) << "\n";
        }
        pnp.Unplug(device.node);
        PrintDevice(&device - devices.data());
    }

    void Ioctl(const Words& w) {
        ControlRequestText request;
        std::string error;
        if (!ParseControlRequest(Words(w.begin() + 1, w.end()), &request, &error))
            Fail(error);
        Machine();
        SendControl(request);
    }

    void SendControl(const ControlRequestText& request) {
        HostControlChannel channel;
        std::string error;
        if (!channel.Open(&error)) {
            out << "open-failed " << error << "\n";
            return;
        }
        std::vector<uint8_t> output(request.outputLength);
        uint32_t bytes = 0;
        const uint32_t status = channel.Call(request.code, request.input, &output, &bytes);
        out << FormatControlAnswer(request, status, output, bytes);
    }

    void EqPreset(const Words& w) {
        Arity(w, 2, 2, "eq-preset NAME");
        const ::EqPreset* preset = FindEqPreset(w[1].c_str());
        if (preset == nullptr)
            Fail("unknown equalizer preset '" + w[1] + "'");
        Machine();
        // As the panel applies a preset: one band request per band, band 0 first.
        for (uint16_t band = 0; band < kEqBandCount; ++band) {
            ControlRequestText request;
            std::string error;
            const std::string gain = FormatFloat(DecibelsToLinearGain(preset->gainDb[band]));
            ParseControlRequest({"eq-band", "set", std::to_string(band), gain}, &request, &error);
            out << "band=" << band << " gain=" << gain << " ";
            SendControl(request);
        }
    }

    void Play(const Words& w) {
        if (w.size() != 3 && !(w.size() == 5 && w[3] == "--chunk"))
            Fail("usage: play N IN.wav [--chunk BYTES]");
        Device& device = DeviceAt(w[1]);
        const uint32_t chunk = w.size() == 5 ? ParseNumber(w[4], "chunk size") : kDefaultChunkBytes;
        if (chunk == 0)
            Fail("the chunk size must be at least 1 byte");
        const StereoPcm audio = ReadAudio(w[2]);
        host::AudioStream* stream = Stream(device);
        if (stream == nullptr)
            return;
        device.sampleRate = audio.sampleRate;
        const NTSTATUS status = stream->Play(audio.bytes, chunk);
        const uint32_t transfers = static_cast<uint32_t>((audio.bytes.size() + chunk - 1) / chunk);
        out << Status(status) << " bytes=" << audio.bytes.size() << " transfers=" << transfers
            << "\n";
    }

    void SavePlayed(const Words& w) {
        Arity(w, 3, 3, "save-played N OUT.wav");
        Device& device = DeviceAt(w[1]);
        StereoPcm audio;
        audio.sampleRate = device.sampleRate;
        audio.bytes = device.headset->Played();
        audio.bytes.resize(audio.bytes.size() / 4 * 4);  // a file holds whole frames only
        WriteAudio(w[2], audio);
        out << "bytes=" << audio.bytes.size() << "\n";
    }

    void ComparePlayed(const Words& w) {
        Arity(w, 3, 3, "compare-played N FILE.wav");
        Device& device = DeviceAt(w[1]);
        const std::vector<uint8_t> played = device.headset->Played();
        const StereoPcm file = ReadAudio(w[2]);
        out << "played-bytes=" << played.size() << " file-bytes=" << file.bytes.size()
            << " equal=" << (played == file.bytes ? "yes" : "no");
        if (played != file.bytes) {
            size_t at = 0;
            while (at < played.size() && at < file.bytes.size() && played[at] == file.bytes[at])
                ++at;
            out << " first-difference=" << at;
        }
        out << "\n";
    }

    void Urb(const Words& w) {
        if (w.size() < 3)
            Fail("usage: urb N abort-pipe|select-interface IF ALT|set-cur-mute V|get-cur-mute");
        Device& device = DeviceAt(w[1]);
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
        host::AudioStream* stream =
            Stream(device, what == "set-cur-mute" || what == "get-cur-mute");
        if (stream == nullptr)
            return;
        const NTSTATUS status = send(*stream);
        out << Status(status);
        if (what == "get-cur-mute" && NT_SUCCESS(status))
            out << " value=" << static_cast<unsigned>(value);
        out << "\n";
    }

    void Headset(const Words& w) {
        if (w.size() < 3)
            Fail(
                "usage: headset N timing immediate|held|held-control | headset N release | headset "
                "N clear");
        Device& device = DeviceAt(w[1]);
        if (w[2] == "timing" && w.size() == 4 &&
            (w[3] == "immediate" || w[3] == "held" || w[3] == "held-control")) {
            device.holdsControl = w[3] != "immediate";
            device.holdsTransfers = w[3] == "held";
            device.headset->SetHeldRequests(device.holdsControl, device.holdsTransfers);
            device.headset->SetTiming(device.holdsControl ? host::UsbHeadset::Timing::Held
                                                          : host::UsbHeadset::Timing::Immediate);
        } else if (w[2] == "release" && w.size() == 3) {
            out << "released=" << device.headset->ReleaseHeld() << "\n";
        } else if (w[2] == "clear" && w.size() == 3) {
            device.headset->ClearPlayed();
        } else {
            Fail(
                "usage: headset N timing immediate|held|held-control | headset N release | headset "
                "N clear");
        }
    }

    void MuteLog(const Words& w) {
        Arity(w, 2, 2, "mute-log N");
        Device& device = DeviceAt(w[1]);
        const std::vector<uint8_t> log = device.headset->MuteLog();
        out << "mute-log=" << JoinNumbers(log.data(), log.size())
            << " mute=" << static_cast<unsigned>(device.headset->Mute()) << "\n";
    }

    template <typename T>
    static std::vector<std::string> Items(const T* values, size_t count) {
        std::vector<std::string> items;
        for (size_t i = 0; i < count; ++i) {
            if constexpr (std::is_floating_point_v<T>)
                items.push_back(FormatFloat(values[i]));
            else
                items.push_back(std::to_string(values[i]));
        }
        return items;
    }

    template <typename T>
    static std::vector<std::string> Item(const T& value) {
        return Items(&value, 1);
    }

    static std::vector<std::string> Presence(const void* buffer) {
        return {buffer != nullptr ? "present" : "absent"};
    }

    void State(const Words& w) {
        Machine();
        const EffectState& s = g_EffectState;
        const std::vector<std::pair<std::string, std::vector<std::string>>> fields = {
            {"SoundFieldType", Item(s.SoundFieldType)},
            {"EnableNoiseClean", Item(s.EnableNoiseClean)},
            {"EnableSoundDRC", Item(s.EnableSoundDRC)},
            {"EnableAmpfxEQ", Item(s.EnableAmpfxEQ)},
            {"AmpfxEQGain", Items(s.AmpfxEQGain, kEqBandCount)},
            {"EqGainCurve", Items(s.EqGainCurve, kEqCurveBins)},
            {"EnableVirtual7ch1", Item(s.EnableVirtual7ch1)},
            {"Virtual7ch1Distance", Items(s.Virtual7ch1Distance, kSpeakerCount)},
            {"Virtual7ch1Radian", Items(s.Virtual7ch1Radian, kSpeakerCount)},
            {"SpeakerMixLeft", Items(s.SpeakerMixLeft, kSpeakerCount)},
            {"SpeakerMixRight", Items(s.SpeakerMixRight, kSpeakerCount)},
            {"EnableHRTF", Item(s.EnableHRTF)},
            {"LeftChOffset", Item(s.LeftChOffset)},
            {"RightChOffset", Item(s.RightChOffset)},
            {"Ampfx5Ch1Power", Items(s.Ampfx5Ch1Power, kSpeaker51PowerCount)},
            {"EnableConvert", Item(s.EnableConvert)},
            {"HostMuteState", Item(static_cast<unsigned>(s.HostMuteState))},
            {"NoiseGateMuted", Item(s.NoiseGateMuted)},
            {"NoiseGateCount", Item(s.NoiseGateCount)},
            {"LfeState", Item(static_cast<int>(s.LfeState))},
            {"DrcPowerLeft", Item(s.DrcPowerLeft)},
            {"DrcPowerRight", Item(s.DrcPowerRight)},
            {"DrcGain", Item(s.DrcGain)},
            {"SoundFieldBusy", Item(s.SoundFieldBusy)},
            {"SoundFieldUsers", Item(s.SoundFieldUsers)},
            {"SoundFieldPreset", Item(s.SoundFieldPreset)},
            {"SoundFieldClearPending", Item(s.SoundFieldClearPending)},
            {"SoundFieldWork", Presence(s.SoundFieldWork)},
            {"SoundFieldPositions", Presence(s.SoundFieldPositions)},
            {"SoundFieldParams", Presence(s.SoundFieldParams)},
            {"DeviceSupported", Item(DeviceSupported)},
            {"DeviceUnlisted", Item(DeviceUnlisted)},
        };
        if (w.size() == 1) {
            for (const auto& field : fields)
                out << field.first << "=" << Join(field.second) << "\n";
            return;
        }
        // A field by name, or a part of an array as NAME[FIRST:LAST] (both entries included).
        std::string text;
        for (size_t i = 1; i < w.size(); ++i) {
            const std::string& word = w[i];
            const size_t bracket = word.find('[');
            const std::string name = word.substr(0, bracket);
            const std::vector<std::string>* items = nullptr;
            for (const auto& field : fields)
                if (field.first == name)
                    items = &field.second;
            if (items == nullptr)
                Fail("no state field '" + name + "'");
            size_t first = 0;
            size_t last = items->size() - 1;
            if (bracket != std::string::npos) {
                const size_t colon = word.find(':', bracket);
                if (colon == std::string::npos || word.back() != ']')
                    Fail("usage: state NAME[FIRST:LAST]");
                first = ParseNumber(word.substr(bracket + 1, colon - bracket - 1), "index");
                last = ParseNumber(word.substr(colon + 1, word.size() - colon - 2), "index");
                if (first > last || last >= items->size())
                    Fail("'" + word + "' is outside " + name + " (0 to " +
                         std::to_string(items->size() - 1) + ")");
            }
            text +=
                word + "=" +
                Join(std::vector<std::string>(items->begin() + first, items->begin() + last + 1)) +
                "\n";
        }
        out << text;
    }

    void ServiceCommand(const Words& w) {
        if (w.size() < 2)
            Fail("usage: service install|start|stop|control CODE|uninstall|scan");
        const std::string& what = w[1];
        if (what == "control")
            Arity(w, 3, 3, "service control CODE");
        else
            Arity(w, 2, 2, "service install|start|stop|control CODE|uninstall|scan");
        if (what != "install" && what != "start" && what != "stop" && what != "control" &&
            what != "uninstall" && what != "scan")
            Fail("unknown service operation '" + what + "'");
        const uint32_t code = what == "control" ? ParseNumber(w[2], "control code") : 0;
        dovrel::DovrelHost& service = Service();
        DropStreams();
        if (what == "install") {
            out << "exit=" << service.Install();
        } else if (what == "uninstall") {
            out << "exit=" << service.Uninstall();
        } else if (what == "start") {
            out << "error=" << service.Start();
        } else if (what == "stop") {
            out << "error=" << service.Stop();
        } else if (what == "control") {
            out << "error=" << service.Control(code);
        } else {
            out << "scanned=" << (service.Scan() ? "yes" : "no");
        }
        out << " state=" << ServiceStateName(service.State()) << "\n";
        if (what == "scan" || what == "control")
            PrintDevices();
    }

    void Generate(const Words& w) {
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
                const int16_t sample =
                    static_cast<int16_t>(std::lround(amplitude * std::sin(phase)));
                std::memcpy(&audio.bytes[k * 4], &sample, 2);
                std::memcpy(&audio.bytes[k * 4 + 2], &sample, 2);
            }
            file = w[5];
        } else {
            Fail(
                "usage: generate music SECONDS OUT.wav | generate tone HZ AMPLITUDE SECONDS "
                "OUT.wav");
        }
        WriteAudio(file, audio);
        out << "bytes=" << audio.bytes.size() << "\n";
    }

    void Run(const Words& w) {
        static const std::map<std::string, void (Impl::*)(const Words&)> kCommands = {
            {"windows-version", &Impl::WindowsVersion},
            {"reg", &Impl::Reg},
            {"plug", &Impl::Plug},
            {"filter", &Impl::Filter},
            {"unplug", &Impl::Unplug},
            {"devices", &Impl::Devices},
            {"wait", &Impl::Wait},
            {"ioctl", &Impl::Ioctl},
            {"eq-preset", &Impl::EqPreset},
            {"play", &Impl::Play},
            {"save-played", &Impl::SavePlayed},
            {"compare-played", &Impl::ComparePlayed},
            {"urb", &Impl::Urb},
            {"headset", &Impl::Headset},
            {"mute-log", &Impl::MuteLog},
            {"state", &Impl::State},
            {"service", &Impl::ServiceCommand},
            {"generate", &Impl::Generate},
        };
        const auto command = kCommands.find(w[0]);
        if (command == kCommands.end())
            Fail("unknown command '" + w[0] + "'");
        (this->*command->second)(w);
    }

    // Virtual time passes only while every kernel thread waits; a scenario moves it itself.
    void Wait(const Words& w) {
        Arity(w, 2, 2, "wait MILLISECONDS");
        const uint32_t ms = ParseNumber(w[1], "milliseconds", 3600 * 1000);
        Machine();
        host::kernel::AdvanceTimeMs(ms);
        host::kernel::Settle();
    }

    void Devices(const Words& w) {
        Arity(w, 1, 1, "devices");
        PrintDevices();
    }
};

ScenarioRunner::ScenarioRunner(const ScenarioPaths& paths, std::ostream& out)
    : impl_(std::make_unique<Impl>(paths, out)) {}

ScenarioRunner::~ScenarioRunner() = default;

bool ScenarioRunner::Execute(const std::vector<std::string>& words, std::string* error) {
    if (words.empty())
        return true;
    std::string echo = ">";
    for (const std::string& word : words)
        echo += " " + (word.find_first_of(" \t#") == std::string::npos || word.empty()
                           ? word
                           : "\"" + word + "\"");
    impl_->out << echo << "\n";
    try {
        impl_->Run(words);
    } catch (const Failure& failure) {
        *error = failure.reason;
        impl_->out.flush();
        return false;
    }
    impl_->out.flush();
    return true;
}

int RunScenario(std::string_view text, const std::string& name, const ScenarioPaths& paths,
                std::ostream& out, std::ostream& err) {
    std::vector<ScenarioCommand> commands;
    ScenarioTextError textError;
    if (!SplitScenario(text, &commands, &textError)) {
        err << name << ":" << textError.line << ": " << textError.reason << "\n";
        return 2;
    }
    ScenarioRunner runner(paths, out);
    for (const ScenarioCommand& command : commands) {
        std::string error;
        if (!runner.Execute(command.words, &error)) {
            err << name << ":" << command.line << ": " << error << "\n";
            return 2;
        }
    }
    return 0;
}
