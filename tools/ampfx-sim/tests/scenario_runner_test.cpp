// The runner in-process: scenario errors, registry values, device numbers and file names.
// What the driver does under the commands is shown by the example scenarios (examples/).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <sndfile.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "scenario_context.h"
#include "pcm_file.h"
#include "scenario_runner.h"

namespace {

namespace fs = std::filesystem;

class ScenarioRunnerTest : public ::testing::Test {
  protected:
    ScenarioRunnerTest() {
        std::string pattern = (fs::temp_directory_path() / "ampfx-sim-test-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        paths_.inputFolder = (root_ / "in").string();
        paths_.outputFolder = (root_ / "out").string();
        fs::create_directories(paths_.inputFolder);
        fs::create_directories(paths_.outputFolder);
    }
    ~ScenarioRunnerTest() override { fs::remove_all(root_); }

    int Run(const std::string& text) {
        out_.str("");
        err_.str("");
        return RunScenario(text, "t.scn", paths_, out_, err_);
    }

    fs::path root_;
    ScenarioPaths paths_;
    std::ostringstream out_;
    std::ostringstream err_;
};

TEST_F(ScenarioRunnerTest, AScenarioErrorNamesItsLineAndEndsTheRun) {
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"plug 0x1607\n\nplgu 0x1607\nstate\n", "t.scn:3: unknown command 'plgu'\n"},
        {"filter 1 on\n", "t.scn:1: no device 1 (0 plugged so far)\n"},
        {"plug 0x1607\nfilter 1 maybe\n", "t.scn:2: usage: filter N on|off\n"},
        {"plug 0x10000\n", "t.scn:1: bad product id '0x10000'\n"},
        {"state\nwindows-version 5 1\n",
         "t.scn:2: windows-version must come before the first command that uses the machine\n"},
        {"windows-version 3 1\n",
         "t.scn:1: no driver model known for Windows 3.1 (4.10, 4.90, "
         "5.0-5.2, 6.0 and later)\n"},
        {"state NoSuchField\n", "t.scn:1: no state field 'NoSuchField'\n"},
        {"state AmpfxEQGain[3:10]\n",
         "t.scn:1: 'AmpfxEQGain[3:10]' is outside AmpfxEQGain (0 to 9)\n"},
        {"state AmpfxEQGain[3]\n", "t.scn:1: usage: state NAME[FIRST:LAST]\n"},
        {"ioctl eq-band set 1\n", "t.scn:1: bad arguments for 'eq-band'\n"},
        {"reg set HKLM\\SOFTWARE\\Ampfx X qword 1\n",
         "t.scn:1: unknown value type 'qword' (dword, sz, expand-sz, multi-sz, binary, f32)\n"},
        {"plug 0x1607\nunplug 1\nunplug 1\n", "t.scn:3: device 1 is not plugged in\n"},
        {"reg dump \"HKLM\n", "t.scn:1: unterminated quote\n"},
        {"plug 0x1607\nmic set 1 volume 1.5\n", "t.scn:2: volume '1.5' is not within 0 to 1\n"},
        {"plug 0x1607\nmic set 1 gain 1\n", "t.scn:2: usage: mic set N volume|mute|boost V\n"},
        {"plug 0x1607\nmic boost-control 1 left\n",
         "t.scn:2: usage: mic boost-control N none|destination|source\n"},
        {"plug 0x160D\nheadset 1 timing held\nurb 1 abort-pipe\n",
         "t.scn:3: the headset holds its requests: switch it to immediate timing first\n"},
        {"plug 0x1607\nmic signal 1 square 2\n",
         "t.scn:2: the amplitude is a fraction of full scale, 0 to 1\n"},
        {"plug 0x1607\nmic signal 1 sine 30000 0.5\n", "t.scn:2: a sine needs 0 < HZ < 24000\n"},
        {"plug 0x1607\nmic signal 1 square\n",
         "t.scn:2: usage: mic signal N silence|square AMPLITUDE|sine HZ AMPLITUDE|FILE.wav\n"},
        {"mic signal 1 silence\n", "t.scn:1: no device 1 (0 plugged so far)\n"},
        {"file write C:\\x.dat 0g\n", "t.scn:1: bad hex bytes '0g'\n"},
        {"file dump\n", "t.scn:1: usage: file dump PATH | file write PATH HEX\n"},
        {"file copy a b\n",
         "t.scn:1: usage: file list DIR | file dump PATH | file write PATH HEX\n"},
        {"state AmpfxEQGain[5:2]\n",
         "t.scn:1: 'AmpfxEQGain[5:2]' runs backwards: FIRST must not be after LAST\n"},
        {"plug 0x1607\nsave-played 1 ../escaped.wav\n",
         "t.scn:2: '../escaped.wav' leads out of the output folder\n"},
        {"plug 0x1607\nsave-played 1 $OUT/sub/../../escaped.wav\n",
         "t.scn:2: '$OUT/sub/../../escaped.wav' leads out of the output folder\n"},
        {"generate tone 1000 1000 0.01 /tmp/ampfx-sim-escaped.wav\n",
         "t.scn:1: '/tmp/ampfx-sim-escaped.wav' is not a name inside the output folder\n"},
        {"plug 0x1607\nsave-played 1 \"\"\n",
         "t.scn:2: '' is not a name inside the output folder\n"},
        // A bare machine has nothing of the suite, and the commands that stood in for the
        // installer do not put it there.
        {"state\nmachine bare\n",
         "t.scn:2: machine bare must come before the first command that uses the machine\n"},
        {"machine bare 16-bit\n", "t.scn:1: unknown machine '16-bit' (32-bit, 64-bit)\n"},
        {"machine bare\ninstaller run --language klingon\n",
         "t.scn:2: unknown language 'klingon' (english, schinese, tchinese)\n"},
        {"machine bare\ninstaller run --reboot\n",
         "t.scn:2: usage: installer run [--language english|schinese|tchinese] [--operation "
         "repair|uninstall] [--reboot now|later] [--custom-skin DIR]...\n"},
        {"machine bare\nservice install\n",
         "t.scn:2: Dovrel.exe is not on this machine (installer run puts it there)\n"},
        {"machine bare\nskins install english\n",
         "t.scn:2: skins install writes what the installer writes: on a bare machine, installer "
         "run\n"},
        {"machine bare\npanel start -QEXNOUI\n", "t.scn:2: the panel did not start (error 2)\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.text), 2) << c.text;
        EXPECT_EQ(err_.str(), c.error) << c.text;
    }
    // Through a link inside the output folder: refused before anything is created beyond it.
    fs::create_directory_symlink(root_, fs::path(paths_.outputFolder) / "up");
    EXPECT_EQ(Run("plug 0x1607\nsave-played 1 up/new/escaped.wav\n"), 2);
    EXPECT_EQ(err_.str(), "t.scn:2: 'up/new/escaped.wav' leads out of the output folder\n");
    EXPECT_FALSE(fs::exists(root_ / "new"));
    EXPECT_FALSE(fs::exists(root_ / "escaped.wav"));
    EXPECT_FALSE(fs::exists("/tmp/ampfx-sim-escaped.wav"));
    // Commands before the error ran and were echoed; none after it.
    Run("plug 0x1607\nplgu\nstate\n");
    EXPECT_EQ(out_.str(),
              "> plug 0x1607\n"
              "device=1 present=yes started=yes problem=0 stack=usbaudio\n"
              "> plgu\n");
}

TEST_F(ScenarioRunnerTest, RegistryValuesOfEveryTypeAreWrittenAsWindowsStoresThem) {
    ASSERT_EQ(Run("reg set HKLM\\SOFTWARE\\Test D dword 0xFFFFFFFF\n"
                  "reg set HKLM\\SOFTWARE\\Test S sz \"two words\"\n"
                  "reg set HKLM\\SOFTWARE\\Test E expand-sz %SystemRoot%\\x\n"
                  "reg set HKLM\\SOFTWARE\\Test M multi-sz Ampfx,Other\n"
                  "reg set HKLM\\SOFTWARE\\Test B binary 01:ff:7E\n"
                  "reg set HKLM\\SOFTWARE\\Test F f32 1.5,-2,0.25\n"
                  "reg set HKLM\\SOFTWARE\\Test \"\" sz default\n"
                  "reg delete HKLM\\SOFTWARE\\Test S\n"
                  "reg delete HKLM\\SOFTWARE\\Test S\n"
                  "reg dump HKLM\\SOFTWARE\\Test\n"
                  "reg delete HKLM\\SOFTWARE\\Test\n"
                  "reg dump HKLM\\SOFTWARE\\Test\n"),
              0)
        << err_.str();
    const std::string text = out_.str();
    const std::string dump = text.substr(text.find("> reg dump"));
    EXPECT_EQ(dump,
              "> reg dump HKLM\\SOFTWARE\\Test\n"
              "D REG_DWORD 4294967295\n"
              "E REG_EXPAND_SZ %SystemRoot%\\x\n"
              "M REG_MULTI_SZ Ampfx,Other\n"
              "B REG_BINARY 01ff7e\n"
              "F REG_BINARY 0000c03f000000c00000803e\n"
              "(default) REG_SZ default\n"
              "> reg delete HKLM\\SOFTWARE\\Test\n"
              "error=0\n"
              "> reg dump HKLM\\SOFTWARE\\Test\n"
              "error=2\n");
    // The second deletion of S found nothing.
    EXPECT_NE(text.find("> reg delete HKLM\\SOFTWARE\\Test S\nerror=0\n"
                        "> reg delete HKLM\\SOFTWARE\\Test S\nerror=2\n"),
              std::string::npos);
}

TEST_F(ScenarioRunnerTest, InputsResolveNextToTheScenarioAndOutputsInTheOutputFolder) {
    ASSERT_EQ(Run("generate tone 1000 1000 0.01 tone.wav\n"), 0) << err_.str();
    EXPECT_TRUE(fs::exists(fs::path(paths_.outputFolder) / "tone.wav"));
    EXPECT_FALSE(fs::exists(fs::path(paths_.inputFolder) / "tone.wav"));

    // Read by its plain name it is looked for next to the scenario, and is not there.
    EXPECT_EQ(Run("plug 0x1607\nplay 1 tone.wav\n"), 2);
    EXPECT_NE(err_.str().find("t.scn:2: "), std::string::npos);
    EXPECT_NE(err_.str().find((fs::path(paths_.inputFolder) / "tone.wav").string()),
              std::string::npos)
        << err_.str();

    fs::copy_file(fs::path(paths_.outputFolder) / "tone.wav",
                  fs::path(paths_.inputFolder) / "input.wav");
    EXPECT_EQ(Run("plug 0x1607\n"
                  "compare-played 1 input.wav\n"
                  "compare-played 1 $OUT/tone.wav\n"
                  "save-played 1 sub/none.wav\n"),
              0)
        << err_.str();
    EXPECT_NE(out_.str().find("played-bytes=0 file-bytes=1920 equal=no first-difference=0\n"),
              std::string::npos)
        << out_.str();
    EXPECT_TRUE(fs::exists(fs::path(paths_.outputFolder) / "sub" / "none.wav"));
}

TEST_F(ScenarioRunnerTest, DeviceNumbersCountEveryPlugAndAReturningHeadsetSpeaksThroughBoth) {
    ASSERT_EQ(Run("plug 0x1607\n"
                  "plug 0x160D --vid 0x0F1E\n"
                  "unplug 1 --surprise\n"
                  "plug 0x1607\n"
                  "devices\n"),
              0)
        << err_.str();
    const std::string text = out_.str();
    EXPECT_EQ(text.substr(text.find("> devices")),
              "> devices\n"
              "device=1 present=yes started=yes problem=0 stack=usbaudio\n"
              "device=2 present=yes started=yes problem=0 stack=usbaudio\n"
              "device=3 present=yes started=yes problem=0 stack=usbaudio\n");
}

}  // namespace

TEST_F(ScenarioRunnerTest, AScenarioNeverWritesOverWhatItReads) {
    // The output folder is the scenario's own, as when a scenario is run from its folder.
    paths_.outputFolder = paths_.inputFolder;
    paths_.scenarioFile = (fs::path(paths_.inputFolder) / "t.scn").string();
    const std::string scenario = "plug 0x1607\nsave-played 1 t.scn\n";
    std::ofstream(paths_.scenarioFile) << scenario;
    ASSERT_EQ(Run("generate tone 1000 1000 0.01 input.wav\n"), 0) << err_.str();
    const fs::path input = fs::path(paths_.inputFolder) / "input.wav";
    const auto inputSize = fs::file_size(input);

    struct Case {
        std::string text;
        std::string error;
    } cases[] = {
        {scenario, "t.scn:2: 't.scn' is a file this scenario reads; write to another name\n"},
        {"plug 0x1607\nplay 1 input.wav\nsave-played 1 input.wav\n",
         "t.scn:3: 'input.wav' is a file this scenario reads; write to another name\n"},
        // Read later in the run, or through the output prefix: the same file.
        {"plug 0x1607\nsave-played 1 $OUT/input.wav\ncompare-played 1 input.wav\n",
         "t.scn:2: '$OUT/input.wav' is a file this scenario reads; write to another name\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.text), 2) << c.text;
        EXPECT_EQ(err_.str(), c.error) << c.text;
    }
    EXPECT_EQ(fs::file_size(input), inputSize);
    std::ifstream back(paths_.scenarioFile);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(back), {}), scenario);

    // A file the scenario writes before it reads it back is its own result, not an input.
    EXPECT_EQ(Run("generate tone 500 100 0.01 fresh.wav\nplug 0x1607\n"
                  "play 1 $OUT/fresh.wav\ncompare-played 1 fresh.wav\n"),
              0)
        << err_.str();
    EXPECT_NE(out_.str().find("equal=yes"), std::string::npos) << out_.str();
}

TEST_F(ScenarioRunnerTest, FloatAudioPlaysAtItsLevelAndIsNotEqualToSilence) {
    // Half of full scale in 32-bit float, as editors write it.
    ASSERT_EQ(Run("generate tone 1000 16384 0.02 tone16.wav\n"), 0) << err_.str();
    StereoPcm tone;
    std::string error;
    ASSERT_TRUE(
        ReadStereoPcm((fs::path(paths_.outputFolder) / "tone16.wav").string(), &tone, &error));
    SF_INFO info{};
    info.channels = 2;
    info.samplerate = 48000;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    const std::string floatPath = (fs::path(paths_.inputFolder) / "tone.wav").string();
    SNDFILE* file = sf_open(floatPath.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    std::vector<float> samples(tone.bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        int16_t sample;
        std::memcpy(&sample, &tone.bytes[i * 2], 2);
        samples[i] = sample / 32768.0f;
    }
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size() / 2));
    sf_close(file);

    ASSERT_EQ(Run("plug 0x1607\n"
                  "compare-played 1 tone.wav\n"
                  "play 1 tone.wav\n"
                  "compare-played 1 $OUT/tone16.wav\n"),
              0)
        << err_.str();
    const std::string text = out_.str();
    // Silence is not the file; what played (through the class driver alone) is the file at its
    // level.
    EXPECT_NE(text.find("played-bytes=0 file-bytes=3840 equal=no first-difference=0\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("played-bytes=3840 file-bytes=3840 equal=yes\n"), std::string::npos)
        << text;
}

TEST_F(ScenarioRunnerTest, TheEchoKeepsEveryWordAsWritten) {
    ASSERT_EQ(Run("reg set \"HKLM\\SOFTWARE\\My Key\" \"\" sz \"\"\n"), 0) << err_.str();
    EXPECT_EQ(out_.str(), "> reg set \"HKLM\\SOFTWARE\\My Key\" \"\" sz \"\"\nerror=0\n");
}

TEST_F(ScenarioRunnerTest, ScenarioFilesThatAreNoScenarioAreRefused) {
    std::string text;
    std::string error;
    EXPECT_FALSE(ReadScenarioFile(paths_.inputFolder, &text, &error));
    EXPECT_NE(error.find("is a folder, not a scenario"), std::string::npos) << error;
    EXPECT_FALSE(ReadScenarioFile("/dev/zero", &text, &error));
    EXPECT_NE(error.find("larger than a scenario may be"), std::string::npos) << error;
    EXPECT_FALSE(ReadScenarioFile(paths_.inputFolder + "/missing.scn", &text, &error));
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

// Each command area registers itself from its own file; an area the link dropped, or one that
// lost a command, would leave documented commands unknown.
TEST(ScenarioCommandTableTest, EveryDocumentedCommandIsRegistered) {
    const std::vector<std::string> documented = {"audio",
                                                 "compare-played",
                                                 "devices",
                                                 "dsound",
                                                 "eq-preset",
                                                 "file",
                                                 "filter",
                                                 "generate",
                                                 "headset",
                                                 "hub",
                                                 "installer",
                                                 "ioctl",
                                                 "logon",
                                                 "machine",
                                                 "mic",
                                                 "mute-log",
                                                 "panel",
                                                 "play",
                                                 "plug",
                                                 "reg",
                                                 "save-played",
                                                 "service",
                                                 "skins",
                                                 "state",
                                                 "uninstaller",
                                                 "unplug",
                                                 "urb",
                                                 "wait",
                                                 "windows-version"};
    EXPECT_EQ(ScenarioCommandNames(), documented);
}
