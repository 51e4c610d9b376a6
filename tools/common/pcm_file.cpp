#include "pcm_file.h"

#include <sndfile.h>

#include <strings.h>

#include <cstring>
#include <memory>

namespace {

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

// The major format whose usual extension matches `path`'s, or WAV.
int MajorFormatForPath(const std::string& path) {
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos)
        return SF_FORMAT_WAV;
    const std::string extension = path.substr(dot + 1);
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info{};
        info.format = i;
        sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info);
        if (info.extension && strcasecmp(info.extension, extension.c_str()) == 0) {
            SF_INFO probe{};
            probe.channels = 2;
            probe.samplerate = 48000;
            probe.format = info.format | SF_FORMAT_PCM_16;
            if (sf_format_check(&probe))
                return info.format;
        }
    }
    return SF_FORMAT_WAV;
}

}  // namespace

bool ReadStereoPcm(const std::string& path, StereoPcm* audio, std::string* error) {
    SF_INFO info{};
    SndfilePtr file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        *error = "cannot read '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.channels > 2) {
        *error = "'" + path + "' has " + std::to_string(info.channels) +
                 " channels; only mono and stereo files can be played";
        return false;
    }
    // Float sources are clipped, not wrapped, when they exceed full scale.
    sf_command(file.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);

    std::vector<int16_t> samples(static_cast<size_t>(info.frames) * info.channels);
    const sf_count_t got = sf_readf_short(file.get(), samples.data(), info.frames);
    if (got != info.frames) {
        *error = "'" + path + "' is truncated or unreadable after frame " + std::to_string(got);
        return false;
    }
    audio->sampleRate = info.samplerate;
    audio->bytes.assign(static_cast<size_t>(info.frames) * 4, 0);
    for (sf_count_t frame = 0; frame < info.frames; ++frame) {
        const int16_t left = samples[frame * info.channels];
        const int16_t right = info.channels == 2 ? samples[frame * 2 + 1] : left;
        std::memcpy(&audio->bytes[frame * 4], &left, 2);
        std::memcpy(&audio->bytes[frame * 4 + 2], &right, 2);
    }
    return true;
}

bool WriteStereoPcm(const std::string& path, const StereoPcm& audio, std::string* error) {
    SF_INFO info{};
    info.channels = 2;
    info.samplerate = audio.sampleRate;
    info.format = MajorFormatForPath(path) | SF_FORMAT_PCM_16;
    SndfilePtr file(sf_open(path.c_str(), SFM_WRITE, &info));
    if (!file) {
        *error = "cannot write '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    const sf_count_t frames = static_cast<sf_count_t>(audio.bytes.size() / 4);
    std::vector<int16_t> samples(static_cast<size_t>(frames) * 2);
    if (!samples.empty())  // an empty vector's data() may be null, even for a copy of 0 bytes
        std::memcpy(samples.data(), audio.bytes.data(), samples.size() * 2);
    if (sf_writef_short(file.get(), samples.data(), frames) != frames) {
        *error = "cannot write '" + path + "': " + sf_strerror(file.get());
        return false;
    }
    return true;
}
