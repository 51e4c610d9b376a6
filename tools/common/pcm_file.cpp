#include "pcm_file.h"

#include <sndfile.h>

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr sf_count_t kChunkFrames = 16384;

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

    // The file is moved through a small buffer that stays in the cache: whole-file copies
    // cost more in page faults than the effects cost in arithmetic.
    audio->sampleRate = info.samplerate;
    audio->bytes.resize(static_cast<size_t>(info.frames) * 4);
    std::vector<int16_t> samples(static_cast<size_t>(kChunkFrames) * info.channels);
    sf_count_t done = 0;
    while (done < info.frames) {
        const sf_count_t want = std::min<sf_count_t>(kChunkFrames, info.frames - done);
        const sf_count_t got = sf_readf_short(file.get(), samples.data(), want);
        if (got != want) {
            *error = "'" + path + "' is truncated or unreadable after frame " +
                     std::to_string(done + (got > 0 ? got : 0));
            return false;
        }
        uint8_t* target = &audio->bytes[static_cast<size_t>(done) * 4];
        if (info.channels == 2) {
            std::memcpy(target, samples.data(), static_cast<size_t>(got) * 4);
        } else {
            for (sf_count_t frame = 0; frame < got; ++frame) {
                std::memcpy(target + frame * 4, &samples[frame], 2);
                std::memcpy(target + frame * 4 + 2, &samples[frame], 2);
            }
        }
        done += got;
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
    std::vector<int16_t> samples(static_cast<size_t>(kChunkFrames) * 2);
    for (sf_count_t done = 0; done < frames;) {
        const sf_count_t count = std::min<sf_count_t>(kChunkFrames, frames - done);
        std::memcpy(samples.data(), &audio.bytes[static_cast<size_t>(done) * 4],
                    static_cast<size_t>(count) * 4);
        if (sf_writef_short(file.get(), samples.data(), count) != count) {
            *error = "cannot write '" + path + "': " + sf_strerror(file.get());
            return false;
        }
        done += count;
    }
    return true;
}

StereoPcmReader::~StereoPcmReader() {
    if (file_ != nullptr)
        sf_close(file_);
}

bool StereoPcmReader::Open(const std::string& path, std::string* error) {
    SF_INFO info{};
    path_ = path;
    file_ = sf_open(path.c_str(), SFM_READ, &info);
    if (file_ == nullptr) {
        *error = "cannot read '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.channels > 2) {
        *error = "'" + path + "' has " + std::to_string(info.channels) +
                 " channels; only mono and stereo files can be played";
        return false;
    }
    sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    sampleRate_ = info.samplerate;
    channels_ = info.channels;
    frames_ = info.frames;
    return true;
}

bool StereoPcmReader::Read(uint8_t* bytes, size_t frames, size_t* got, std::string* error) {
    *got = 0;
    while (*got < frames && done_ < frames_) {
        const sf_count_t want = std::min<sf_count_t>(
            {kChunkFrames, static_cast<sf_count_t>(frames - *got), frames_ - done_});
        samples_.resize(static_cast<size_t>(kChunkFrames) * channels_);
        const sf_count_t read = sf_readf_short(file_, samples_.data(), want);
        if (read != want) {
            *error = "'" + path_ + "' is truncated or unreadable after frame " +
                     std::to_string(done_ + (read > 0 ? read : 0));
            return false;
        }
        uint8_t* target = bytes + *got * 4;
        if (channels_ == 2) {
            std::memcpy(target, samples_.data(), static_cast<size_t>(read) * 4);
        } else {
            for (sf_count_t frame = 0; frame < read; ++frame) {
                std::memcpy(target + frame * 4, &samples_[frame], 2);
                std::memcpy(target + frame * 4 + 2, &samples_[frame], 2);
            }
        }
        *got += static_cast<size_t>(read);
        done_ += read;
    }
    return true;
}

StereoPcmWriter::~StereoPcmWriter() {
    if (file_ != nullptr) {
        sf_close(file_);
        std::remove(scratchPath_.c_str());
    }
}

bool StereoPcmWriter::Open(const std::string& path, int sampleRate, std::string* error) {
    SF_INFO info{};
    info.channels = 2;
    info.samplerate = sampleRate;
    info.format = MajorFormatForPath(path) | SF_FORMAT_PCM_16;
    path_ = path;
    scratchPath_ = path + ".partial";
    file_ = sf_open(scratchPath_.c_str(), SFM_WRITE, &info);
    if (file_ == nullptr) {
        *error = "cannot write '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    return true;
}

bool StereoPcmWriter::Write(const uint8_t* bytes, size_t frames, std::string* error) {
    samples_.resize(frames * 2);
    if (frames == 0)
        return true;
    std::memcpy(samples_.data(), bytes, frames * 4);
    const sf_count_t count = static_cast<sf_count_t>(frames);
    if (sf_writef_short(file_, samples_.data(), count) != count) {
        *error = "cannot write '" + path_ + "': " + sf_strerror(file_);
        return false;
    }
    return true;
}

bool StereoPcmWriter::Commit(std::string* error) {
    const int closed = sf_close(file_);
    file_ = nullptr;
    if (closed != 0 || std::rename(scratchPath_.c_str(), path_.c_str()) != 0) {
        std::remove(scratchPath_.c_str());
        *error = "cannot write '" + path_ + "'";
        return false;
    }
    return true;
}
