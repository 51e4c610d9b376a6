#include "render_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "eq_preset_table.h"

namespace {

bool ParseOnOff(const std::string& text, bool* value) {
    if (text == "on") {
        *value = true;
        return true;
    }
    if (text == "off") {
        *value = false;
        return true;
    }
    return false;
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || parsed > max)
        return false;
    *value = parsed;
    return true;
}

bool ParseFloat(const std::string& text, float* value) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const float parsed = std::strtof(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(parsed))
        return false;
    *value = parsed;
    return true;
}

// Exactly `count` comma-separated finite floats.
bool ParseFloatList(const std::string& text, size_t count, float* values) {
    std::stringstream stream(text);
    std::string item;
    size_t index = 0;
    while (std::getline(stream, item, ',')) {
        if (index == count || !ParseFloat(item, &values[index]))
            return false;
        ++index;
    }
    return index == count && !text.empty() && text.back() != ',';
}

}  // namespace

const char* RenderUsage() {
    return R"(Usage: ampfx-render IN OUT [options]

Plays the audio file IN through the Ampfx effects engine exactly as the driver would
process it on its way to the headset, and writes the result to OUT as 16-bit stereo PCM
(same rate and length; a mono input is played on both channels). Any format libsndfile
reads is taken at its level: integer samples of every width, and float or double samples
whose full scale (1.0) is 16-bit full scale, louder float samples clipped. The container
of OUT follows its extension (WAV when unknown). OUT is replaced only once it is written
whole, and may not be IN itself.

Every effect field starts at the value the driver holds after loading its settings; the
options below change them before the first transfer.

Options (defaults in brackets):
  --chunk BYTES             size of each USB transfer handed to the engine [1920]; the
                            last transfer of the file may be shorter
  --eq on|off               ten-band equalizer [on]
  --eq-gains g0,...,g9      linear band gains [1 each], clamped to [0.25, 4.0] as the
                            driver's settings load does, then the curve is rebuilt
  --preset NAME             band gains of a panel preset: tbass, classic, pop, jazz, rock
                            (a later --eq-gains or --preset replaces it)
  --virtual71 on|off        virtual 7.1 fold-down [on]
  --distances d0,...,d7     level factor per virtual speaker [0.7 each]
  --angles a0,...,a7        angle per virtual speaker in radians, 0 = right, pi/2 = front
                            [3pi/4, pi/4, pi/2, pi/2, pi, 0, 5pi/4, 7pi/4]
                            (speakers: front L, front R, centre, LFE, side L, side R,
                            back L, back R); the speaker mix is recomputed from both
  --sound-field N           reverberation preset 1-4, 0 = off [0]; set up once before
                            streaming; a failed set-up leaves it off
  --drc on|off              automatic level control [off]
  --noise-clean on|off      idle mute gate [off]
  --host-mute N             mute byte the host last sent to the headset (0-255) [0];
                            non-zero stops the gate
  --restart-countdown N     transfers that skip the sound field, as after a pipe abort [0]
  --help                    this text

At the end the gate's device requests are printed to stderr as
  mute-requests: N unmute-requests: M

Exit status: 0 on success, 2 for a bad option, an unreadable, unwritable or
more-than-two-channel file, or OUT the same file as IN (OUT is then left as it was).
)";
}

bool ParseRenderOptions(const std::vector<std::string>& args, RenderOptions* options,
                        std::string* error) {
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options->help = true;
            return true;
        }
        if (arg.rfind("--", 0) != 0) {
            files.push_back(arg);
            continue;
        }
        if (i + 1 >= args.size()) {
            *error = "option " + arg + " needs a value";
            return false;
        }
        const std::string& value = args[++i];
        EngineSettings& engine = options->engine;
        bool ok = true;
        uint64_t number = 0;
        if (arg == "--chunk") {
            ok = ParseUnsigned(value, UINT32_MAX, &number) && number > 0;
            options->chunkBytes = static_cast<uint32_t>(number);
        } else if (arg == "--eq") {
            ok = ParseOnOff(value, &engine.equalizer);
        } else if (arg == "--eq-gains") {
            ok = ParseFloatList(value, kEqBandCount, engine.eqGains);
        } else if (arg == "--preset") {
            const EqPreset* preset = FindEqPreset(value.c_str());
            ok = preset != nullptr;
            for (uint32_t band = 0; ok && band < kEqBandCount; ++band)
                engine.eqGains[band] = DecibelsToLinearGain(preset->gainDb[band]);
        } else if (arg == "--virtual71") {
            ok = ParseOnOff(value, &engine.virtual71);
        } else if (arg == "--distances") {
            ok = ParseFloatList(value, kSpeakerCount, engine.distances);
        } else if (arg == "--angles") {
            ok = ParseFloatList(value, kSpeakerCount, engine.angles);
        } else if (arg == "--sound-field") {
            ok = ParseUnsigned(value, UINT32_MAX, &number);
            engine.soundField = static_cast<uint32_t>(number);
        } else if (arg == "--drc") {
            ok = ParseOnOff(value, &engine.drc);
        } else if (arg == "--noise-clean") {
            ok = ParseOnOff(value, &engine.noiseClean);
        } else if (arg == "--host-mute") {
            ok = ParseUnsigned(value, 255, &number);
            engine.hostMute = static_cast<uint8_t>(number);
        } else if (arg == "--restart-countdown") {
            ok = ParseUnsigned(value, INT32_MAX, &number);
            engine.restartCountdown = static_cast<int32_t>(number);
        } else {
            *error = "unknown option " + arg + " (see --help)";
            return false;
        }
        if (!ok) {
            *error = "bad value '" + value + "' for " + arg + " (see --help)";
            return false;
        }
    }
    if (files.size() != 2) {
        *error = "expected an input and an output file (see --help)";
        return false;
    }
    options->input = files[0];
    options->output = files[1];
    return true;
}
