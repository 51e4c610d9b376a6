// ampfx-render end to end: files in, files out, exit statuses.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine_session.h"
#include "eq_preset_table.h"
#include "music_clip.h"
#include "pcm_file.h"
#include "render_options.h"

namespace {

namespace fs = std::filesystem;

class RenderToolTest : public ::testing::Test {
  protected:
    RenderToolTest() {
        dir = fs::temp_directory_path() /
              ("ampfx-render-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    ~RenderToolTest() override { fs::remove_all(dir); }

    std::string Path(const std::string& name) const { return (dir / name).string(); }

    // Runs the tool; returns its exit status, with stderr in `stderrText`.
    int Run(const std::string& args) {
        const std::string errPath = Path("stderr.txt");
        const std::string command = std::string(AMPFX_RENDER_PATH) + " " + args + " 2>" + errPath;
        const int status = std::system(command.c_str());
        stderrText.clear();
        if (FILE* f = std::fopen(errPath.c_str(), "r")) {
            char buf[4096];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
                stderrText.append(buf, n);
            std::fclose(f);
        }
        return WEXITSTATUS(status);
    }

    // Writes a file of `channels` channels in the given libsndfile format.
    void WriteFile(const std::string& path, int channels, int format,
                   const std::vector<int16_t>& samples) {
        SF_INFO info{};
        info.channels = channels;
        info.samplerate = 44100;
        info.format = format;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
        sf_writef_short(file, samples.data(), samples.size() / channels);
        sf_close(file);
    }

    std::vector<int16_t> RandomSamples(size_t count) {
        std::mt19937 rng(static_cast<uint32_t>(count));
        std::vector<int16_t> samples(count);
        for (auto& s : samples)
            s = static_cast<int16_t>(rng());
        return samples;
    }

    std::string ReadBytes(const std::string& path) const {
        std::string bytes;
        if (FILE* f = std::fopen(path.c_str(), "rb")) {
            char buf[4096];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
                bytes.append(buf, n);
            std::fclose(f);
        }
        return bytes;
    }

    fs::path dir;
    std::string stderrText;
};

const char* kAllOff = "--eq off --virtual71 off --sound-field 0 --drc off --noise-clean off";

TEST_F(RenderToolTest, EveryStageOffReturnsTheInputByteForByte) {
    const std::vector<int16_t> samples = RandomSamples(2 * 12345);
    WriteFile(Path("in.wav"), 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, samples);
    StereoPcm in;
    std::string error;
    ASSERT_TRUE(ReadStereoPcm(Path("in.wav"), &in, &error)) << error;
    for (const char* chunk : {"1", "3", "4", "7", "1920", "4097", "100000"}) {
        ASSERT_EQ(Run(Path("in.wav") + " " + Path("out.wav") + " " + kAllOff + " --chunk " + chunk),
                  0)
            << stderrText;
        StereoPcm out;
        ASSERT_TRUE(ReadStereoPcm(Path("out.wav"), &out, &error)) << error;
        EXPECT_EQ(out.sampleRate, 44100);
        EXPECT_EQ(out.bytes, in.bytes) << "chunk " << chunk;
        EXPECT_NE(stderrText.find("mute-requests: 0 unmute-requests: 0"), std::string::npos);
    }
}

TEST_F(RenderToolTest, AFileLongerThanOnePieceComesOutAsTheWholeFileCutIntoTransfers) {
    // The tool streams the file in pieces of whole transfers; with every stage on, the
    // result must equal the whole file cut into transfers in one go.
    StereoPcm music;
    music.bytes = GenerateMusicClip(7.0, 48000);
    std::string error;
    ASSERT_TRUE(WriteStereoPcm(Path("music.wav"), music, &error)) << error;
    EngineSettings settings;
    settings.soundField = 3;
    settings.drc = true;
    settings.noiseClean = true;
    for (uint32_t chunk : {7u, 1920u, 70000u}) {
        ASSERT_EQ(
            Run(Path("music.wav") + " " + Path("out.wav") +
                " --sound-field 3 --drc on --noise-clean on --chunk " + std::to_string(chunk)),
            0)
            << stderrText;
        EngineSession session(settings);
        std::vector<uint8_t> expected = music.bytes;
        session.ProcessInChunks(expected, chunk);
        StereoPcm out;
        ASSERT_TRUE(ReadStereoPcm(Path("out.wav"), &out, &error)) << error;
        EXPECT_EQ(out.bytes, expected) << "chunk " << chunk;
    }
}

TEST_F(RenderToolTest, ARenderRefusesItsOwnInputAndLeavesNoScratchFile) {
    const std::vector<int16_t> samples = RandomSamples(2 * 5000);
    WriteFile(Path("a.wav"), 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, samples);
    StereoPcm before, a, c;
    std::string error;
    ASSERT_TRUE(ReadStereoPcm(Path("a.wav"), &before, &error)) << error;
    EXPECT_EQ(Run(Path("a.wav") + " " + Path("a.wav")), 2);
    ASSERT_EQ(Run(Path("a.wav") + " " + Path("c.wav")), 0) << stderrText;
    ASSERT_TRUE(ReadStereoPcm(Path("a.wav"), &a, &error)) << error;
    ASSERT_TRUE(ReadStereoPcm(Path("c.wav"), &c, &error)) << error;
    EXPECT_EQ(a.bytes, before.bytes) << "the input is left as it was";
    EXPECT_NE(c.bytes, a.bytes);
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos)
            << entry.path();

    // A render over an earlier output keeps that file's permission bits.
    fs::permissions(Path("c.wav"), fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(Run(Path("a.wav") + " " + Path("c.wav")), 0) << stderrText;
    EXPECT_EQ(fs::status(Path("c.wav")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // A render that cannot finish leaves an earlier output as it was.
    WriteFile(Path("quad.wav"), 4, SF_FORMAT_WAV | SF_FORMAT_PCM_16, std::vector<int16_t>(40, 1));
    EXPECT_EQ(Run(Path("quad.wav") + " " + Path("c.wav")), 2);
    StereoPcm still;
    ASSERT_TRUE(ReadStereoPcm(Path("c.wav"), &still, &error)) << error;
    EXPECT_EQ(still.bytes, c.bytes);
}

TEST_F(RenderToolTest, EqualizerDelaysTheStreamAndItsGainsScaleIt) {
    // A 1 kHz tone of amplitude 3000 at 48 kHz. Flat gains give the tone back 3840 frames
    // late at about -1 dB; gains of 2 double that; --eq off gives the input untouched.
    std::vector<int16_t> tone(2 * 48000);
    for (size_t t = 0; t < tone.size() / 2; ++t)
        tone[2 * t] = tone[2 * t + 1] = static_cast<int16_t>(
            std::lround(3000 * std::sin(2 * 3.14159265358979323846 * 1000.0 * t / 48000)));
    WriteFile(Path("in.wav"), 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, tone);
    const std::string onlyEq = " --virtual71 off --sound-field 0 --drc off --noise-clean off";

    struct Case {
        const char* options;
        double scale;
    };
    for (const Case& c :
         {Case{"--eq on", 0.891251}, Case{"--eq-gains 2,2,2,2,2,2,2,2,2,2", 1.782502},
          Case{"--eq off --eq-gains 2,2,2,2,2,2,2,2,2,2", 0.0}}) {
        ASSERT_EQ(Run(Path("in.wav") + " " + Path("out.wav") + onlyEq + " " + c.options), 0)
            << stderrText;
        StereoPcm out;
        std::string error;
        ASSERT_TRUE(ReadStereoPcm(Path("out.wav"), &out, &error)) << error;
        std::vector<int16_t> samples(out.bytes.size() / 2);
        std::memcpy(samples.data(), out.bytes.data(), out.bytes.size());
        ASSERT_EQ(samples.size(), tone.size());
        if (c.scale == 0.0) {
            EXPECT_EQ(samples, tone) << c.options;
            continue;
        }
        for (size_t i = 0; i < 2 * 3840; ++i)
            ASSERT_EQ(samples[i], 0) << c.options << " sample " << i;
        // From the second hop on, the window pair sums to within 0.08% of 1.
        for (size_t t = 3840 + 1024; t < tone.size() / 2; ++t) {
            const double expected = c.scale * tone[2 * (t - 3840)];
            ASSERT_NEAR(samples[2 * t], expected, 3.0 + 0.001 * std::fabs(expected))
                << c.options << " frame " << t;
            ASSERT_EQ(samples[2 * t + 1], samples[2 * t]);
        }
    }
}

TEST_F(RenderToolTest, EveryTransferSizeRendersAndLongTransfersMatchShortOnes) {
    // Transfers from one frame to more than the equalizer's ring. With the equalizer alone,
    // every size that carries whole frames must give the stream that 1920-byte transfers
    // give; with every stage on, each size must at least render cleanly (this runs under
    // the sanitizers in the host-asan build).
    WriteFile(Path("in.wav"), 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, RandomSamples(2 * 150000));
    const std::string onlyEq =
        " --eq on --virtual71 off --sound-field 0 --drc off --noise-clean off";
    const std::string everything =
        " --eq on --virtual71 on --sound-field 2 --drc on --noise-clean on";
    ASSERT_EQ(Run(Path("in.wav") + " " + Path("ref.wav") + onlyEq + " --chunk 1920"), 0)
        << stderrText;
    StereoPcm reference;
    std::string error;
    ASSERT_TRUE(ReadStereoPcm(Path("ref.wav"), &reference, &error)) << error;

    for (const char* chunk : {"4", "7", "192", "1920", "3840", "4096", "5000", "40000"}) {
        ASSERT_EQ(Run(Path("in.wav") + " " + Path("all.wav") + everything + " --chunk " + chunk), 0)
            << "chunk " << chunk << ": " << stderrText;
        ASSERT_EQ(Run(Path("in.wav") + " " + Path("eq.wav") + onlyEq + " --chunk " + chunk), 0)
            << "chunk " << chunk << ": " << stderrText;
        StereoPcm out;
        ASSERT_TRUE(ReadStereoPcm(Path("eq.wav"), &out, &error)) << error;
        ASSERT_EQ(out.bytes.size(), reference.bytes.size());
        if (std::string(chunk) != "7") {
            EXPECT_EQ(out.bytes, reference.bytes) << "chunk " << chunk;
        }
    }
}

TEST_F(RenderToolTest, MonoIsPlayedOnBothChannelsAndFloatBecomesSixteenBits) {
    WriteFile(Path("mono.wav"), 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, {100, -200, 300});
    ASSERT_EQ(Run(Path("mono.wav") + " " + Path("out.wav") + " " + kAllOff), 0) << stderrText;
    StereoPcm out;
    std::string error;
    ASSERT_TRUE(ReadStereoPcm(Path("out.wav"), &out, &error));
    std::vector<int16_t> samples(out.bytes.size() / 2);
    std::memcpy(samples.data(), out.bytes.data(), out.bytes.size());
    EXPECT_EQ(samples, (std::vector<int16_t>{100, 100, -200, -200, 300, 300}));

    // Float material at its real level, as editors write it: full scale is 1.0.
    {
        SF_INFO floatInfo{};
        floatInfo.channels = 2;
        floatInfo.samplerate = 44100;
        floatInfo.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* floatFile = sf_open(Path("float.wav").c_str(), SFM_WRITE, &floatInfo);
        ASSERT_NE(floatFile, nullptr);
        const float half[2] = {0.5f, -0.5f};
        sf_writef_float(floatFile, half, 1);
        sf_close(floatFile);
    }
    ASSERT_EQ(Run(Path("float.wav") + " " + Path("out2.wav") + " " + kAllOff), 0) << stderrText;
    SF_INFO info{};
    SNDFILE* file = sf_open(Path("out2.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    short back[2];
    EXPECT_EQ(sf_readf_short(file, back, 1), 1);
    sf_close(file);
    EXPECT_EQ(back[0], 16384);
    EXPECT_EQ(back[1], -16384);
}

TEST_F(RenderToolTest, GateRequestsAreReported) {
    // One second of silence: the gate mutes once.
    WriteFile(Path("quiet.wav"), 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
              std::vector<int16_t>(2 * 44100, 0));
    ASSERT_EQ(Run(Path("quiet.wav") + " " + Path("out.wav") + " --noise-clean on"), 0);
    EXPECT_NE(stderrText.find("mute-requests: 1 unmute-requests: 0"), std::string::npos)
        << stderrText;
    ASSERT_EQ(Run(Path("quiet.wav") + " " + Path("out.wav") + " --noise-clean on --host-mute 1"),
              0);
    EXPECT_NE(stderrText.find("mute-requests: 0 unmute-requests: 0"), std::string::npos);
}

TEST_F(RenderToolTest, BadInputsExitWithStatusTwo) {
    WriteFile(Path("quad.wav"), 4, SF_FORMAT_WAV | SF_FORMAT_PCM_16, std::vector<int16_t>(40, 1));
    EXPECT_EQ(Run(Path("quad.wav") + " " + Path("out.wav")), 2);
    EXPECT_NE(stderrText.find("4 channels"), std::string::npos) << stderrText;

    EXPECT_EQ(Run(Path("missing.wav") + " " + Path("out.wav")), 2);
    EXPECT_NE(stderrText.find("cannot read"), std::string::npos);

    {
        FILE* f = std::fopen(Path("junk.wav").c_str(), "wb");
        std::fputs("RIFF\x10\0\0\0WAVEjunk", f);
        std::fclose(f);
    }
    EXPECT_EQ(Run(Path("junk.wav") + " " + Path("out.wav")), 2);

    WriteFile(Path("in.wav"), 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, {1, 2});
    EXPECT_EQ(Run(Path("in.wav") + " " + Path("no-such-dir/out.wav")), 2);
    EXPECT_NE(stderrText.find("cannot write"), std::string::npos);
    // The same file as input and output, however it is named, is refused and left alone.
    const std::string before = ReadBytes(Path("in.wav"));
    fs::create_hard_link(Path("in.wav"), Path("link.wav"));
    for (const std::string& output :
         {Path("in.wav"), (dir / "." / "in.wav").string(), Path("link.wav")}) {
        EXPECT_EQ(Run(Path("in.wav") + " " + output + " " + kAllOff), 2) << output;
        EXPECT_NE(stderrText.find("is the input"), std::string::npos) << stderrText;
        EXPECT_EQ(ReadBytes(Path("in.wav")), before);
    }
    EXPECT_EQ(Run(Path("in.wav") + " " + Path("out.wav") + " --chunk 0"), 2);
    EXPECT_EQ(Run(Path("in.wav") + " " + Path("out.wav") + " --eq maybe"), 2);
    EXPECT_EQ(Run(Path("in.wav")), 2);
    EXPECT_EQ(Run("--help"), 0);
}

TEST(RenderOptionsTest, ParsesEveryOption) {
    RenderOptions options;
    std::string error;
    ASSERT_TRUE(ParseRenderOptions({"a.wav",
                                    "--chunk",
                                    "7",
                                    "b.wav",
                                    "--eq",
                                    "off",
                                    "--eq-gains",
                                    "1,2,3,4,5,6,7,8,9,0.5",
                                    "--virtual71",
                                    "off",
                                    "--distances",
                                    "0,1,0,1,0,1,0,1.5",
                                    "--angles",
                                    "0,1,2,3,4,5,6,7",
                                    "--sound-field",
                                    "3",
                                    "--drc",
                                    "on",
                                    "--noise-clean",
                                    "on",
                                    "--host-mute",
                                    "255",
                                    "--restart-countdown",
                                    "30"},
                                   &options, &error))
        << error;
    EXPECT_EQ(options.input, "a.wav");
    EXPECT_EQ(options.output, "b.wav");
    EXPECT_EQ(options.chunkBytes, 7u);
    EXPECT_FALSE(options.engine.equalizer);
    EXPECT_EQ(options.engine.eqGains[9], 0.5f);
    EXPECT_FALSE(options.engine.virtual71);
    EXPECT_EQ(options.engine.distances[7], 1.5f);
    EXPECT_EQ(options.engine.angles[7], 7.0f);
    EXPECT_EQ(options.engine.soundField, 3u);
    EXPECT_TRUE(options.engine.drc);
    EXPECT_TRUE(options.engine.noiseClean);
    EXPECT_EQ(options.engine.hostMute, 255);
    EXPECT_EQ(options.engine.restartCountdown, 30);
}

TEST(RenderOptionsTest, RejectsMalformedValues) {
    const std::vector<std::vector<std::string>> bad = {
        {"a", "b", "--eq-gains", "1,2,3"},
        {"a", "b", "--eq-gains", "1,2,3,4,5,6,7,8,9,10,11"},
        {"a", "b", "--eq-gains", "1,2,3,4,5,6,7,8,9,"},
        {"a", "b", "--eq-gains", "1,2,3,4,5,6,7,8,9,nan"},
        {"a", "b", "--distances", "1,1,1,1,1,1,1,x"},
        {"a", "b", "--host-mute", "256"},
        {"a", "b", "--host-mute", "-1"},
        {"a", "b", "--chunk", "12abc"},
        {"a", "b", "--restart-countdown", "99999999999"},
        {"a", "b", "--preset", "disco"},
        {"a", "b", "--frobnicate", "1"},
        {"a", "b", "--drc"},
        {"a", "b", "c"},
    };
    for (const auto& args : bad) {
        RenderOptions options;
        std::string error;
        EXPECT_FALSE(ParseRenderOptions(args, &options, &error)) << args[2];
        EXPECT_FALSE(error.empty());
    }
}

// Each of these options changes what the headset would hear, and the tool's file is
// exactly what the engine gives for those settings, transfer by transfer.
TEST_F(RenderToolTest, EveryEffectOptionActsAndTheFileIsWhatTheEngineGives) {
    StereoPcm music;
    music.sampleRate = 48000;
    music.bytes = GenerateMusicClip(1.5, music.sampleRate);
    std::string error;
    ASSERT_TRUE(WriteStereoPcm(Path("music.wav"), music, &error)) << error;

    const std::string base = "--eq off --virtual71 off --sound-field 0";
    ASSERT_EQ(Run(Path("music.wav") + " " + Path("base.wav") + " " + base), 0) << stderrText;
    StereoPcm baseline;
    ASSERT_TRUE(ReadStereoPcm(Path("base.wav"), &baseline, &error));
    EXPECT_EQ(baseline.bytes, music.bytes);

    const struct {
        const char* options;
        void (*apply)(EngineSettings*);
    } cases[] = {
        {"--sound-field 1", [](EngineSettings* s) { s->soundField = 1; }},
        {"--sound-field 2", [](EngineSettings* s) { s->soundField = 2; }},
        {"--sound-field 3", [](EngineSettings* s) { s->soundField = 3; }},
        {"--sound-field 4", [](EngineSettings* s) { s->soundField = 4; }},
        {"--virtual71 on", [](EngineSettings* s) { s->virtual71 = true; }},
        {"--virtual71 on --distances 1.7,0,0.5,0.2,1,1,0,0",
         [](EngineSettings* s) {
             s->virtual71 = true;
             const float d[kSpeakerCount] = {1.7f, 0, 0.5f, 0.2f, 1, 1, 0, 0};
             std::copy(d, d + kSpeakerCount, s->distances);
         }},
        {"--virtual71 on --angles 0,1,2,3,4,5,6,7",
         [](EngineSettings* s) {
             s->virtual71 = true;
             for (uint32_t i = 0; i < kSpeakerCount; ++i)
                 s->angles[i] = static_cast<float>(i);
         }},
        {"--sound-field 3 --virtual71 on --drc on",
         [](EngineSettings* s) {
             s->soundField = 3;
             s->virtual71 = true;
             s->drc = true;
         }},
    };
    std::vector<std::vector<uint8_t>> outputs;
    for (const auto& c : cases) {
        ASSERT_EQ(Run(Path("music.wav") + " " + Path("out.wav") + " " + base + " " + c.options), 0)
            << stderrText;
        StereoPcm out;
        ASSERT_TRUE(ReadStereoPcm(Path("out.wav"), &out, &error));
        EXPECT_NE(out.bytes, music.bytes) << c.options;

        EngineSettings settings;
        settings.equalizer = false;
        settings.virtual71 = false;
        c.apply(&settings);
        EngineSession session(settings);
        std::vector<uint8_t> expected = music.bytes;
        session.ProcessInChunks(expected, 1920);
        EXPECT_EQ(out.bytes, expected) << c.options;
        outputs.push_back(out.bytes);
    }
    // And no two settings sound alike.
    for (size_t i = 0; i < outputs.size(); ++i)
        for (size_t j = i + 1; j < outputs.size(); ++j)
            EXPECT_NE(outputs[i], outputs[j]) << cases[i].options << " / " << cases[j].options;
}

TEST(RenderOptionsTest, PresetsCarryThePanelsDecibelTable) {
    const struct {
        const char* name;
        int db[kEqBandCount];
    } table[] = {
        {"tbass", {6, 5, 4, 0, -2, -4, -6, -7, -8, -8}},
        {"classic", {0, 0, 0, 0, 0, -3, -3, -3, -3, -3}},
        {"pop", {-2, 1, 2, 3, 2, -2, -3, -3, -3, -3}},
        {"jazz", {0, -1, 3, 4, -3, 5, 4, 4, 1, 1}},
        {"rock", {3, 2, -1, -4, -1, 2, 5, 6, 6, 6}},
    };
    for (const auto& row : table) {
        RenderOptions options;
        std::string error;
        ASSERT_TRUE(ParseRenderOptions({"a", "b", "--preset", row.name}, &options, &error));
        for (uint32_t band = 0; band < kEqBandCount; ++band) {
            // The float nearest 10^(dB/20), from a wider computation than the tool's.
            const float exact = static_cast<float>(std::pow(10.0L, row.db[band] / 20.0L));
            EXPECT_EQ(options.engine.eqGains[band], exact) << row.name << " band " << band;
        }
    }
    // The knob positions of the panel buttons: the table's centres minus 8.
    EXPECT_EQ(FindEqPreset("TBass")->knobTopY[0], 237);
    EXPECT_EQ(FindEqPreset("classic")->knobTopY[9], 326);
    EXPECT_EQ(FindEqPreset("Jazz")->knobTopY[5], 249);
    EXPECT_EQ(FindEqPreset("rock")->knobTopY[3], 334);
}

}  // namespace
