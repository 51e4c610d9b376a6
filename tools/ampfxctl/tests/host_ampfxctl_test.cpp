// ampfxctl on the host end to end: a machine booted per run, the real driver answering.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/machine.h"
#include "host_ampfxctl.h"
#include "ampfxctl.h"
#include "driver_link_host.h"

namespace {

struct CtlRun {
    int status = 0;
    std::string out, err;
};

CtlRun Ampfxctl(const std::vector<std::string>& args) {
    CtlRun run;
    run.status = RunHostAmpfxctl(args, &run.out, &run.err);
    return run;
}

std::string ReadFile(const std::string& name) {
    std::ifstream file(name, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class HostAmpfxctlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registryFile = ::testing::TempDir() + "ampfxctl_registry_" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
        std::remove(registryFile.c_str());
    }
    void TearDown() override { std::remove(registryFile.c_str()); }

    std::string registryFile;
};

TEST_F(HostAmpfxctlTest, SettingsReachTheNextRunThroughTheRegistryFile) {
    CtlRun set = Ampfxctl({"--registry", registryFile, "eq-band", "set", "3", "2.5"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "status=0x00000000 bytes=0\n");
    EXPECT_NE(ReadFile(registryFile).find("\"AmpfxEQGain\"="), std::string::npos)
        << "the driver saved its settings when the headset went away";

    CtlRun get = Ampfxctl({"--registry", registryFile, "eq-band", "get", "3"});
    ASSERT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(get.out, "status=0x00000000 bytes=8\nselector=1\nband=3\ngain=2.5\n");

    CtlRun fresh = Ampfxctl({"eq-band", "get", "3"});
    EXPECT_NE(fresh.out.find("gain=1\n"), std::string::npos) << "no file, no memory: " << fresh.out;
}

TEST_F(HostAmpfxctlTest, DriverFailureShowsItsOwnStatusAndExitsOne) {
    CtlRun run = Ampfxctl({"sound-field", "set", "5"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.rfind("status=0xC000009A ", 0), 0u) << run.out;
}

TEST_F(HostAmpfxctlTest, UnlistedHeadsetLeavesTheDriverSilent) {
    CtlRun run = Ampfxctl({"--pid", "0x1234", "eq-enable", "get"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "status=0x00000000 bytes=0\n");

    CtlRun listed = Ampfxctl({"--pid", "5645", "eq-enable", "get"});  // 0x160D
    EXPECT_EQ(listed.out.rfind("status=0x00000000 bytes=8\n", 0), 0u) << listed.out;
}

TEST_F(HostAmpfxctlTest, BrokenRegistryFileIsRefusedAndLeftAlone) {
    const std::string broken = "AmpfxRegistry 1\n\"value before any key\"=dword:00000001\n";
    std::ofstream(registryFile, std::ios::binary) << broken;
    CtlRun run = Ampfxctl({"--registry", registryFile, "eq-enable", "set", "1"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(registryFile), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(ReadFile(registryFile), broken);

    // Names that are no registry file at all: refused by what they are, nothing thrown.
    const std::string folder = registryFile + ".d";
    std::filesystem::create_directory(folder);
    const struct {
        std::string name;
        std::string reason;
    } cases[] = {
        {folder, "is a folder, not a registry file"},
        {"/dev/zero", "larger than a registry file may be"},
    };
    for (const auto& c : cases) {
        CtlRun other = Ampfxctl({"--registry", c.name, "eq-enable", "get"});
        EXPECT_EQ(other.status, 2) << c.name;
        EXPECT_NE(other.err.find(c.reason), std::string::npos) << other.err;
        EXPECT_EQ(other.out, "");
    }
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    std::filesystem::remove(folder);
}

TEST_F(HostAmpfxctlTest, BadHostOptionsAreUsageErrors) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--pid"},
                                               {"--pid", "0x10000", "eq-enable", "get"},
                                               {"--pid", "-1", "eq-enable", "get"},
                                               {"--pid", "16x", "eq-enable", "get"},
                                               {"--registry", "", "eq-enable", "get"},
                                               {"--pid", "0x1607"},
                                               {"--pid", "0x1607", "eq-enable", "peek"}}) {
        CtlRun run = Ampfxctl(args);
        EXPECT_EQ(run.status, 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err, "");
    }
    CtlRun words = Ampfxctl({"--registry", registryFile, "eq-band", "set", "11"});
    EXPECT_EQ(words.status, 2);
    EXPECT_FALSE(std::ifstream(registryFile).good()) << "no machine booted, no file written";

    CtlRun help = Ampfxctl({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--registry FILE"), std::string::npos);
}

TEST(HostDriverLinkTest, ARequestWithoutAFilteredHeadsetFailsAtOpen) {
    host::Machine machine;
    HostDriverLink link;
    ControlRequestText request;
    std::string error;
    ASSERT_TRUE(ParseControlRequest({"drc", "get"}, &request, &error));
    uint32_t status = 0;
    std::string answer;
    EXPECT_FALSE(SendControlRequest(link, request, &status, &answer, &error));
    EXPECT_NE(error.find("error 2"), std::string::npos) << error;  // ERROR_FILE_NOT_FOUND
    EXPECT_EQ(answer, "");
}

}  // namespace
