// Audio files in and out: every sample format at its level, and writes that fail without
// costing the file that was there.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pcm_file.h"

namespace {

namespace fs = std::filesystem;

class PcmFileTest : public ::testing::Test {
  protected:
    PcmFileTest() {
        std::string pattern = (fs::temp_directory_path() / "ampfx-pcm-test-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
    }
    ~PcmFileTest() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // A sine of `level` (1.0 is full scale) written through libsndfile's normalised doubles,
    // as an editor writes its material.
    void WriteSine(const std::string& path, int format, int channels, double level) {
        SF_INFO info{};
        info.channels = channels;
        info.samplerate = 48000;
        info.format = format;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
        std::vector<double> samples(4800 * channels);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = level * std::sin(2 * M_PI * 1000.0 * (i / channels) / 48000.0);
        ASSERT_EQ(sf_writef_double(file, samples.data(), 4800), 4800);
        sf_close(file);
    }

    size_t FileCount() const {
        size_t count = 0;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            (void)entry;
            ++count;
        }
        return count;
    }

    fs::path dir_;
};

std::vector<int16_t> Samples(const StereoPcm& audio) {
    std::vector<int16_t> samples(audio.bytes.size() / 2);
    std::memcpy(samples.data(), audio.bytes.data(), audio.bytes.size());
    return samples;
}

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(PcmFileTest, EverySampleFormatIsReadAtItsLevel) {
    struct Case {
        const char* name;
        int format;
        int channels;
        int tolerance;  // in 16-bit steps: an 8-bit file has steps of 256
    } cases[] = {
        {"u8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 2, 256},
        {"s8.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_S8, 2, 256},
        {"s16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 2},
        {"s24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 2},
        {"s32.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 2, 2},
        {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 2},
        {"double.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 2, 2},
        {"float.aiff", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 2, 2},
        {"mono-float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 2},
        {"mono-s16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 2},
    };
    for (const Case& c : cases) {
        WriteSine(Path(c.name), c.format, c.channels, 0.5);
        StereoPcm audio;
        std::string error;
        ASSERT_TRUE(ReadStereoPcm(Path(c.name), &audio, &error)) << c.name << ": " << error;
        EXPECT_EQ(audio.sampleRate, 48000) << c.name;
        const std::vector<int16_t> samples = Samples(audio);
        ASSERT_EQ(samples.size(), 2u * 4800) << c.name;
        int peak = 0;
        for (size_t i = 0; i < samples.size(); i += 2) {
            peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
            EXPECT_EQ(samples[i], samples[i + 1]) << c.name << " frame " << i / 2;
        }
        EXPECT_NEAR(peak, 16384, c.tolerance) << c.name;
    }
}

TEST_F(PcmFileTest, FloatBeyondFullScaleIsClippedAndNanIsSilence) {
    SF_INFO info{};
    info.channels = 2;
    info.samplerate = 44100;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(Path("loud.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    const float samples[] = {1.5f, -1.5f, 1.0f, -1.0f, 0.25f, -0.25f, NAN, 0.0f};
    ASSERT_EQ(sf_writef_float(file, samples, 4), 4);
    sf_close(file);
    StereoPcm audio;
    std::string error;
    ASSERT_TRUE(ReadStereoPcm(Path("loud.wav"), &audio, &error)) << error;
    EXPECT_EQ(Samples(audio),
              (std::vector<int16_t>{32767, -32768, 32767, -32768, 8192, -8192, 0, 0}));
}

// 16- and 8-bit files are read as integers rather than normalised doubles: every value,
// the extremes included, must come back as it was stored, in files of several pieces and
// with a mono file's samples in both channels.
TEST_F(PcmFileTest, IntegerSamplesComeBackExactly) {
    constexpr sf_count_t kFrames = 40000;  // more than one piece of the reader
    std::vector<int16_t> stereo(kFrames * 2);
    for (size_t i = 0; i < stereo.size(); ++i)
        stereo[i] = static_cast<int16_t>((i * 7919) % 65536 - 32768);
    stereo[0] = -32768;
    stereo[1] = 32767;
    struct Case {
        const char* name;
        int format;
        int channels;
        int step;  // what one step of the file's samples is in 16 bits
    } cases[] = {
        {"s16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, 1},
        {"mono-s16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 1},
        {"u8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 2, 256},
        {"mono-s8.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_S8, 1, 256},
    };
    for (const Case& c : cases) {
        std::vector<int16_t> stored(kFrames * c.channels);
        for (size_t i = 0; i < stored.size(); ++i)
            stored[i] = static_cast<int16_t>(stereo[i] / c.step * c.step);
        SF_INFO info{};
        info.channels = c.channels;
        info.samplerate = 48000;
        info.format = c.format;
        SNDFILE* file = sf_open(Path(c.name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr) << c.name;
        ASSERT_EQ(sf_writef_short(file, stored.data(), kFrames), kFrames) << c.name;
        sf_close(file);

        StereoPcm audio;
        std::string error;
        ASSERT_TRUE(ReadStereoPcm(Path(c.name), &audio, &error)) << c.name << ": " << error;
        const std::vector<int16_t> samples = Samples(audio);
        ASSERT_EQ(samples.size(), 2u * kFrames) << c.name;
        for (sf_count_t frame = 0; frame < kFrames; ++frame) {
            const int16_t left = stored[frame * c.channels];
            const int16_t right = stored[frame * c.channels + c.channels - 1];
            ASSERT_EQ(samples[2 * frame], left) << c.name << " frame " << frame;
            ASSERT_EQ(samples[2 * frame + 1], right) << c.name << " frame " << frame;
        }
    }
}

// Writes beyond `bytes` fail with EFBIG, as on a disk that is full, while the object lives.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, oldHandler_);
    }

  private:
    rlimit saved_{};
    void (*oldHandler_)(int) = nullptr;
};

TEST_F(PcmFileTest, AFailedWriteLeavesTheFileThatWasThere) {
    StereoPcm original;
    original.bytes = {1, 0, 2, 0, 3, 0, 4, 0};
    StereoPcm large;
    large.bytes.assign(1 << 20, 7);
    struct Case {
        const char* what;
        std::string name;
        StereoPcm audio;
        rlim_t sizeLimit;  // 0: none
    } cases[] = {
        {"a rate the FLAC encoder refuses", "kept.flac", StereoPcm{1000000, large.bytes}, 0},
        {"a disk that fills up", "kept.wav", large, 64 << 10},
    };
    for (const Case& c : cases) {
        std::string error;
        ASSERT_TRUE(WriteStereoPcm(Path(c.name), original, &error)) << error;
        const std::string before = Contents(Path(c.name));
        const size_t files = FileCount();
        bool written = true;
        {
            std::unique_ptr<FileSizeLimit> full;
            if (c.sizeLimit != 0)
                full = std::make_unique<FileSizeLimit>(c.sizeLimit);
            written = WriteStereoPcm(Path(c.name), c.audio, &error);
        }
        EXPECT_FALSE(written) << c.what;
        EXPECT_NE(error.find("cannot write '" + Path(c.name) + "'"), std::string::npos)
            << c.what << ": " << error;
        EXPECT_EQ(Contents(Path(c.name)), before) << c.what;
        EXPECT_EQ(FileCount(), files) << c.what << ": a partial file was left behind";
    }

    // A write that succeeds replaces the file.
    std::string error;
    ASSERT_TRUE(WriteStereoPcm(Path("kept.wav"), large, &error)) << error;
    StereoPcm back;
    ASSERT_TRUE(ReadStereoPcm(Path("kept.wav"), &back, &error)) << error;
    EXPECT_EQ(back.bytes, large.bytes);
    EXPECT_FALSE(WriteStereoPcm(Path("missing/out.wav"), large, &error));
    EXPECT_FALSE(fs::exists(Path("missing")));
}

}  // namespace
