// The panel's request rules over a link that records calls and answers as scripted.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "ampfx_ioctl.h"
#include "driver_requests.h"

namespace {

class ScriptedLink : public DriverLink {
  public:
    struct Answer {
        bool ok = true;
        std::vector<uint8_t> bytes;  // copied to the output buffer, bytesReturned = size
    };

    Handle OpenA(const char* path) override {
        log.push_back(std::string("openA ") + path);
        return openFails ? kInvalidHandle : ++lastHandle;
    }
    Handle OpenW(const char16_t* path) override {
        log.push_back("openW " +
                      std::string(path, path + std::char_traits<char16_t>::length(path)));
        return openFails ? kInvalidHandle : ++lastHandle;
    }
    bool DeviceIoControl(Handle handle, uint32_t code, const void* input, uint32_t inputLength,
                         void* output, uint32_t outputLength, uint32_t* bytesReturned) override {
        log.push_back("ioctl " + std::to_string(handle) + " " + std::to_string(code) + " " +
                      std::to_string(inputLength) + "/" + std::to_string(outputLength));
        lastInput.assign(static_cast<const uint8_t*>(input),
                         static_cast<const uint8_t*>(input) + inputLength);
        Answer answer;
        if (!answers.empty()) {
            answer = answers.front();
            answers.pop_front();
        }
        *bytesReturned = 0;
        if (answer.ok && !answer.bytes.empty() && output != nullptr) {
            std::memcpy(output, answer.bytes.data(), answer.bytes.size());
            *bytesReturned = static_cast<uint32_t>(answer.bytes.size());
        }
        return answer.ok;
    }
    uint32_t LastOpenError() const override { return 2; }
    uint32_t NtDeviceIoControl(Handle, uint32_t, const void*, uint32_t, void*, uint32_t,
                               uint32_t* bytesReturned) override {
        // The panel sends through DeviceIoControl only.
        log.push_back("nt-ioctl");
        *bytesReturned = 0;
        return 0xC0000001;
    }
    void Close(Handle handle) override { log.push_back("close " + std::to_string(handle)); }

    bool openFails = false;
    Handle lastHandle = 100;
    std::deque<Answer> answers;
    std::vector<std::string> log;
    std::vector<uint8_t> lastInput;
};

template <typename Block>
std::vector<uint8_t> Bytes(const Block& block) {
    std::vector<uint8_t> bytes(sizeof block);
    std::memcpy(bytes.data(), &block, sizeof block);
    return bytes;
}

class DriverRequestsTest : public ::testing::Test {
  protected:
    ScriptedLink link;
    DriverLink::Handle handle = DriverLink::kInvalidHandle;
    DriverRequests requests{link, handle};
};

TEST_F(DriverRequestsTest, CachedHandleOpensOnceAndStaysOpen) {
    EXPECT_EQ(requests.SetBandGain(3, 2.0f), 1);
    EXPECT_EQ(requests.SetSoundField(2), 1);
    EXPECT_EQ(link.log, (std::vector<std::string>{
                            "openA \\\\.\\Class#UsbAmpfxSuite&0F1E&00",
                            "ioctl 101 " + std::to_string(IOCTL_AMPFX_EQ_BAND) + " 8/0",
                            "ioctl 101 " + std::to_string(IOCTL_AMPFX_SOUND_FIELD) + " 8/8"}));
    EXPECT_EQ(handle, 101);
}

TEST_F(DriverRequestsTest, FailedCallDropsTheHandleAndTheNextCallReopens) {
    link.answers.push_back({false, {}});
    EXPECT_EQ(requests.SetSoundField(5), 0);
    EXPECT_EQ(handle, DriverLink::kInvalidHandle);
    EXPECT_EQ(link.log.back(), "close 101");
    EXPECT_EQ(requests.NoiseCleanOff(), 1);
    EXPECT_EQ(handle, 102);
}

TEST_F(DriverRequestsTest, FailedOpenReturnsZeroWithoutSending) {
    link.openFails = true;
    uint32_t type = 7;
    EXPECT_EQ(requests.GetSoundField(&type), 0);
    EXPECT_EQ(type, 7u);
    EXPECT_EQ(link.log.size(), 1u);
}

TEST_F(DriverRequestsTest, BandGainGetNeedsAnAnswer) {
    float gain = 0.5f;
    link.answers.push_back({true, {}});  // a driver without a started device answers nothing
    EXPECT_EQ(requests.GetBandGain(4, &gain), 0);
    EXPECT_EQ(gain, 0.5f);
    EXPECT_EQ(handle, 101) << "a successful call keeps the handle";

    link.answers.push_back({true, Bytes(AmpfxBandRequest{1, 4, 1.25f})});
    EXPECT_EQ(requests.GetBandGain(4, &gain), 1);
    EXPECT_EQ(gain, 1.25f);
    AmpfxBandRequest sent;
    std::memcpy(&sent, link.lastInput.data(), sizeof sent);
    EXPECT_EQ(sent.Selector, 1);
    EXPECT_EQ(sent.Band, 4);
    EXPECT_EQ(sent.Gain, 0.5f) << "the caller's current value goes out with the get";
}

TEST_F(DriverRequestsTest, EqualizerFlagGetKeepsTheValueWhenNothingCameBack) {
    uint32_t value = 1;
    link.answers.push_back({true, {}});
    EXPECT_EQ(requests.EqualizerFlag(1, &value), 1);
    EXPECT_EQ(value, 1u);
    link.answers.push_back({true, Bytes(AmpfxValueRequest{1, 0})});
    EXPECT_EQ(requests.EqualizerFlag(1, &value), 1);
    EXPECT_EQ(value, 0u);
    value = 1;
    EXPECT_EQ(requests.EqualizerFlag(0, &value), 1);
    AmpfxValueRequest sent;
    std::memcpy(&sent, link.lastInput.data(), sizeof sent);
    EXPECT_EQ(sent.Selector, 0u);
    EXPECT_EQ(sent.Value, 1u);
}

TEST_F(DriverRequestsTest, Virtual71BlockUsesAHandleOfItsOwn) {
    const float distances[8] = {0, 0.25f, 0.5f, 0.75f, 1, 1.25f, 1.5f, 1.7f};
    const float angles[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    link.answers.push_back({false, {}});
    EXPECT_EQ(requests.SendVirtual71(1, distances, angles), 0);
    EXPECT_EQ(requests.SendVirtual71(0, distances, angles), 1);
    EXPECT_EQ(link.log,
              (std::vector<std::string>{
                  "openW \\\\.\\Class#UsbAmpfxSuite&0F1E&00",
                  "ioctl 101 " + std::to_string(IOCTL_AMPFX_VIRTUAL_71) + " 72/0", "close 101",
                  "openW \\\\.\\Class#UsbAmpfxSuite&0F1E&00",
                  "ioctl 102 " + std::to_string(IOCTL_AMPFX_VIRTUAL_71) + " 72/0", "close 102"}));
    EXPECT_EQ(handle, DriverLink::kInvalidHandle) << "the cached handle is not involved";
    AmpfxVirtual71Request sent;
    std::memcpy(&sent, link.lastInput.data(), sizeof sent);
    EXPECT_EQ(sent.Selector, 0u);
    EXPECT_EQ(sent.EnableVirtual7ch1, 0u);
    EXPECT_EQ(sent.Virtual7ch1Distance[7], 1.7f);
    EXPECT_EQ(sent.Virtual7ch1Radian[0], 1.0f);
}

}  // namespace
