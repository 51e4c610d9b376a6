#include <gtest/gtest.h>

#include <cstring>

#include "ampfx_ioctl.h"
#include "ampfxctl.h"
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

// A link that records what ampfxctl does with it.
class FakeLink : public DriverLink {
  public:
    Handle OpenA(const char* path) override {
        openedPath = path;
        if (!present)
            return kInvalidHandle;
        ++open;
        return 8;
    }
    Handle OpenW(const char16_t*) override { return kInvalidHandle; }
    uint32_t LastOpenError() const override { return 2; }
    bool DeviceIoControl(Handle, uint32_t, const void*, uint32_t, void*, uint32_t,
                         uint32_t* bytes) override {
        win32Calls++;
        *bytes = 0;
        return false;
    }
    uint32_t NtDeviceIoControl(Handle handle, uint32_t code, const void* input,
                               uint32_t inputLength, void* output, uint32_t outputLength,
                               uint32_t* bytes) override {
        EXPECT_EQ(handle, 8);
        lastCode = code;
        lastInput.assign(static_cast<const uint8_t*>(input),
                         static_cast<const uint8_t*>(input) + inputLength);
        lastOutputLength = outputLength;
        *bytes = 0;
        if (status == 0 && outputLength >= 4) {
            std::memset(output, 0xAB, 4);
            *bytes = 4;
        }
        return status;
    }
    void Close(Handle handle) override {
        EXPECT_EQ(handle, 8);
        --open;
    }
    bool present = true;
    uint32_t status = 0;
    int open = 0;
    int win32Calls = 0;
    std::string openedPath;
    uint32_t lastCode = 0;
    uint32_t lastOutputLength = 0;
    std::vector<uint8_t> lastInput;
};

TEST(AmpfxctlTest, ExitStatusFollowsTheDriverAndTheUsage) {
    struct Case {
        std::vector<std::string> words;
        bool present;
        uint32_t status;
        int exitStatus;
        const char* out;
        const char* err;  // a part of it
    } cases[] = {
        {{"raw", "1", "0301", "4"}, true, 0, 0, "status=0x00000000 bytes=4\ndata=abababab\n", ""},
        {{"sound-field", "set", "5"}, true, 0xC000009A, 1, "status=0xC000009A bytes=0\n", ""},
        {{"sound-field", "sideways"}, true, 0, 2, "", "Usage: ampfxctl"},
        {{"drc", "get"},
         false,
         0,
         2,
         "",
         "ampfxctl: cannot open the Ampfx control device (error 2)"},
    };
    for (const Case& c : cases) {
        FakeLink link;
        link.present = c.present;
        link.status = c.status;
        std::string out, err;
        EXPECT_EQ(RunAmpfxctl(link, c.words, &out, &err), c.exitStatus) << c.words[0];
        EXPECT_EQ(out, c.out) << c.words[0];
        EXPECT_NE(err.find(c.err), std::string::npos) << c.words[0] << ": " << err;
        EXPECT_EQ(link.open, 0) << c.words[0] << ": the handle is closed again";
        EXPECT_EQ(link.win32Calls, 0) << "the driver's own status, not a Win32 error";
    }
    FakeLink link;
    std::string out, err;
    ASSERT_EQ(RunAmpfxctl(link, {"convert", "set", "771"}, &out, &err), 0);
    EXPECT_EQ(link.openedPath, AMPFX_CONTROL_DEVICE_PATH_A);
    EXPECT_EQ(link.lastCode, IOCTL_AMPFX_CONVERT);
    EXPECT_EQ(link.lastInput, (std::vector<uint8_t>{0, 0, 0, 0, 3, 3, 0, 0}));
}

}  // namespace
