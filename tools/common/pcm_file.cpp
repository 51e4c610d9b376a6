#include "pcm_file.h"

#include <sndfile.h>

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "host/host_file.h"

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

// A sample read at its level relative to full scale (libsndfile's normalised doubles, which
// for 8- and 16-bit files are exact) as a 16-bit sample: rounded, and clipped rather than
// wrapped when a float source goes beyond full scale.
int16_t SixteenBits(double sample) {
    if (!(sample == sample))
        return 0;  // NaN in a float file: silence rather than undefined behaviour
    const double scaled = sample * 32768.0;
    if (scaled >= 32767.0)
        return 32767;
    if (scaled <= -32768.0)
        return -32768;
    return static_cast<int16_t>(std::lround(scaled));
}

}  // namespace

bool ReadStereoPcm(const std::string& path, StereoPcm* audio, std::string* error) {
    StereoPcmReader reader;
    if (!reader.Open(path, error))
        return false;
    constexpr size_t kPieceFrames = 16384;
    std::vector<uint8_t> bytes;
    while (true) {
        const size_t at = bytes.size();
        bytes.resize(at + kPieceFrames * 4);
        size_t got = 0;
        if (!reader.Read(bytes.data() + at, kPieceFrames, &got, error))
            return false;
        bytes.resize(at + got * 4);
        if (got == 0)
            break;
    }
    audio->sampleRate = reader.sampleRate();
    audio->bytes = std::move(bytes);
    return true;
}

bool WriteStereoPcm(const std::string& path, const StereoPcm& audio, std::string* error) {
    SF_INFO info{};
    info.channels = 2;
    info.samplerate = audio.sampleRate;
    info.format = MajorFormatForPath(path) | SF_FORMAT_PCM_16;
    // Written beside the file and renamed over it once complete: a refused or failed write
    // leaves the file that was there, which may be one the user still needs.
    host::FileReplacement replacement(path);
    if (!replacement.Open(error))
        return false;
    SndfilePtr file(sf_open(replacement.TemporaryPath().c_str(), SFM_WRITE, &info));
    if (!file) {
        *error = "cannot write '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    const sf_count_t frames = static_cast<sf_count_t>(audio.bytes.size() / 4);
    std::vector<int16_t> samples(static_cast<size_t>(frames) * 2);
    if (!samples.empty())  // an empty vector's data() may be null, even for a copy of 0 bytes
        std::memcpy(samples.data(), audio.bytes.data(), samples.size() * 2);
    if (sf_writef_short(file.get(), samples.data(), frames) != frames ||
        sf_error(file.get()) != SF_ERR_NO_ERROR) {
        *error = "cannot write '" + path + "': " + sf_strerror(file.get());
        return false;
    }
    // Closing writes the header; a full disk may show only now.
    if (sf_close(file.release()) != 0) {
        *error = "cannot write '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    return replacement.Commit(error);
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
    sampleRate_ = info.samplerate;
    channels_ = info.channels;
    frames_ = info.frames;
    // libsndfile hands 16-bit samples over as they are and 8-bit ones shifted up by 8 bits,
    // which is what the normalised doubles give rounded to 16 bits, without the conversion.
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    shorts_ =
        subtype == SF_FORMAT_PCM_16 || subtype == SF_FORMAT_PCM_S8 || subtype == SF_FORMAT_PCM_U8;
    return true;
}

// Read as normalised doubles unless the file holds 16 or fewer bits: libsndfile reads a float
// file as 16-bit integers without scaling unless asked to, which turns float material at its
// real level into silence, and its scaling when asked follows the file's peak rather than
// full scale.
bool StereoPcmReader::Read(uint8_t* bytes, size_t frames, size_t* got, std::string* error) {
    *got = 0;
    while (*got < frames && done_ < frames_) {
        const sf_count_t want = std::min<sf_count_t>(
            {kChunkFrames, static_cast<sf_count_t>(frames - *got), frames_ - done_});
        uint8_t* target = bytes + *got * 4;
        sf_count_t read;
        if (shorts_) {
            shortSamples_.resize(static_cast<size_t>(kChunkFrames) * channels_);
            read = sf_readf_short(file_, shortSamples_.data(), want);
            if (channels_ == 2) {
                if (read > 0)
                    std::memcpy(target, shortSamples_.data(), static_cast<size_t>(read) * 4);
            } else {
                for (sf_count_t frame = 0; frame < read; ++frame) {
                    std::memcpy(target + frame * 4, &shortSamples_[frame], 2);
                    std::memcpy(target + frame * 4 + 2, &shortSamples_[frame], 2);
                }
            }
        } else {
            samples_.resize(static_cast<size_t>(kChunkFrames) * channels_);
            read = sf_readf_double(file_, samples_.data(), want);
            for (sf_count_t frame = 0; frame < read; ++frame) {
                const int16_t left = SixteenBits(samples_[frame * channels_]);
                const int16_t right = channels_ == 2 ? SixteenBits(samples_[frame * 2 + 1]) : left;
                std::memcpy(target + frame * 4, &left, 2);
                std::memcpy(target + frame * 4 + 2, &right, 2);
            }
        }
        if (read != want) {
            *error = "'" + path_ + "' is truncated or unreadable after frame " +
                     std::to_string(done_ + (read > 0 ? read : 0));
            return false;
        }
        *got += static_cast<size_t>(read);
        done_ += read;
    }
    return true;
}

StereoPcmWriter::StereoPcmWriter() = default;

// The replacement's own destructor removes a scratch file that was never committed.
StereoPcmWriter::~StereoPcmWriter() {
    if (file_ != nullptr)
        sf_close(file_);
}

bool StereoPcmWriter::Open(const std::string& path, int sampleRate, std::string* error) {
    SF_INFO info{};
    info.channels = 2;
    info.samplerate = sampleRate;
    info.format = MajorFormatForPath(path) | SF_FORMAT_PCM_16;
    path_ = path;
    // The same replacement as a whole-file write: a scratch name of its own, flushed to disk
    // before the rename, the replaced file's permission bits kept.
    replacement_ = std::make_unique<host::FileReplacement>(path);
    if (!replacement_->Open(error))
        return false;
    file_ = sf_open(replacement_->TemporaryPath().c_str(), SFM_WRITE, &info);
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
    // Closing writes the header; a full disk may show only now.
    const int closed = sf_close(file_);
    file_ = nullptr;
    if (closed != 0) {
        *error = "cannot write '" + path_ + "': " + sf_strerror(nullptr);
        return false;
    }
    return replacement_->Commit(error);
}
