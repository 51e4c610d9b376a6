#include <gtest/gtest.h>

#include <cstring>

#include "ampfx_ioctl.h"
#include "control_channel.h"
#include "control_request_text.h"

namespace {

ControlRequestText Parse(const std::vector<std::string>& words) {
    ControlRequestText request;
    std::string error;
    EXPECT_TRUE(ParseControlRequest(words, &request, &error)) << error;
    return request;
}

TEST(ControlRequestTextTest, BuildsEachBlockAsTheDriverExpectsIt) {
    ControlRequestText band = Parse({"eq-band", "set", "4", "1.5"});
    EXPECT_EQ(band.code, IOCTL_AMPFX_EQ_BAND);
    ASSERT_EQ(band.input.size(), 8u);
    AmpfxBandRequest block;
    std::memcpy(&block, band.input.data(), 8);
    EXPECT_EQ(block.Selector, 0);
    EXPECT_EQ(block.Band, 4);
    EXPECT_EQ(block.Gain, 1.5f);

    ControlRequestText value = Parse({"sound-field", "get"});
    EXPECT_EQ(value.code, IOCTL_AMPFX_SOUND_FIELD);
    EXPECT_EQ(value.input, (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(value.outputLength, 8u);

    ControlRequestText speakers =
        Parse({"speaker51", "set", "1", "6", "0xFFFFFFFF", "1.5,-0.2,0,0,1,1"});
    AmpfxSpeaker51Request s;
    ASSERT_EQ(speakers.input.size(), sizeof s);
    std::memcpy(&s, speakers.input.data(), sizeof s);
    EXPECT_EQ(s.RightChOffset, 0xFFFFFFFFu);
    EXPECT_EQ(s.Ampfx5Ch1Power[1], -0.2f);

    ControlRequestText v71 =
        Parse({"virtual71", "set", "1", "2,0,0,0,0,0,0,-1", "10,0,0,0,0,0,0,inf"});
    EXPECT_EQ(v71.input.size(), 72u);

    ControlRequestText raw = Parse({"raw", "0x2230A0", "01000000:00000000:aabbccdd", "4"});
    EXPECT_EQ(raw.code, IOCTL_AMPFX_DRC_ENABLE);
    EXPECT_EQ(raw.input.size(), 12u);
    EXPECT_EQ(raw.outputLength, 4u);
    EXPECT_TRUE(Parse({"raw", "0x223028", "-", "0"}).input.empty());
}

TEST(ControlRequestTextTest, RejectsMalformedWords) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"eq-band"},
        {"eq-band", "peek", "1"},
        {"eq-band", "set", "1"},
        {"eq-band", "set", "70000", "1"},
        {"eq-band", "get", "1", "2"},
        {"drc", "set", "-1"},
        {"drc", "set", "yes"},
        {"virtual71", "set", "1", "1,1", "1,1"},
        {"raw", "0x223028", "abc", "8"},
        {"raw", "0x223028", "00", "99999999"},
        {"volume", "get"},
    };
    for (const auto& words : bad) {
        ControlRequestText request;
        std::string error;
        EXPECT_FALSE(ParseControlRequest(words, &request, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(ControlRequestTextTest, PrintsStatusBytesAndFields) {
    ControlRequestText request = Parse({"virtual71", "get"});
    AmpfxVirtual71Request answer{};
    answer.Selector = 1;
    answer.EnableVirtual7ch1 = 1;
    for (int i = 0; i < 8; ++i) {
        answer.Virtual7ch1Distance[i] = 0.7f;
        answer.Virtual7ch1Radian[i] = 0.1f * i;
    }
    std::vector<uint8_t> output(sizeof answer);
    std::memcpy(output.data(), &answer, sizeof answer);
    EXPECT_EQ(FormatControlAnswer(request, 0, output, 72),
              "status=0x00000000 bytes=72\nselector=1\nEnableVirtual7ch1=1\n"
              "Virtual7ch1Distance=0.699999988,0.699999988,0.699999988,0.699999988,"
              "0.699999988,0.699999988,0.699999988,0.699999988\n"
              "Virtual7ch1Radian=0,0.100000001,0.200000003,0.300000012,0.400000006,0.5,"
              "0.600000024,0.699999988\n");
    // Nothing returned: the status line alone.
    EXPECT_EQ(FormatControlAnswer(request, 0, output, 0), "status=0x00000000 bytes=0\n");
    EXPECT_EQ(
        FormatControlAnswer(Parse({"raw", "1", "-", "4"}), 0xC000009A, {0xde, 0xad, 0xbe, 0xef}, 4),
        "status=0xC000009A bytes=4\ndata=deadbeef\n");
}

class FakeChannel : public ControlChannel {
  public:
    bool Open(std::string* error) override {
        if (!present)
            *error = "no device";
        return present;
    }
    uint32_t Call(uint32_t code, const std::vector<uint8_t>& input, std::vector<uint8_t>*,
                  uint32_t* bytes) override {
        lastCode = code;
        lastInput = input;
        *bytes = 0;
        return status;
    }
    bool present = true;
    uint32_t status = 0;
    uint32_t lastCode = 0;
    std::vector<uint8_t> lastInput;
};

TEST(AmpfxctlTest, ExitStatusFollowsTheDriverAndTheUsage) {
    FakeChannel channel;
    std::string out, err;
    EXPECT_EQ(RunAmpfxctl(channel, {"convert", "set", "771"}, &out, &err), 0);
    EXPECT_EQ(channel.lastCode, IOCTL_AMPFX_CONVERT);
    EXPECT_EQ(out, "status=0x00000000 bytes=0\n");
    channel.status = 0xC000009A;
    EXPECT_EQ(RunAmpfxctl(channel, {"sound-field", "set", "5"}, &out, &err), 1);
    EXPECT_EQ(RunAmpfxctl(channel, {"sound-field", "sideways"}, &out, &err), 2);
    channel.present = false;
    err.clear();
    EXPECT_EQ(RunAmpfxctl(channel, {"drc", "get"}, &out, &err), 2);
    EXPECT_NE(err.find("no device"), std::string::npos);
}

}  // namespace
