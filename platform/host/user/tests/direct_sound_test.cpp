// The session's DirectSound: what it refuses as DirectSound does, how buffers are lost and
// restored, and what its mixer sends to a headset for a placed source.
#include <gtest/gtest.h>

#include "host/direct_sound.h"
#include "host/kernel_threads.h"
#include "session_fixture.h"
// The kernel's headers last.
#include "host/audio_stream.h"
#include "host/usb_headset.h"

namespace host::user::testing {
namespace {

DsFormat Pcm(uint16_t channels, uint32_t rate, uint16_t bits) {
    const uint16_t block = static_cast<uint16_t>(channels * bits / 8);
    return DsFormat{1, channels, rate, rate * block, block, bits, {}};
}

class DirectSoundTest : public SessionTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        window_ = std::make_unique<UiThread>(desktop(), Popup(u"player"));
    }
    void TearDown() override {
        window_.reset();
        stream_.reset();
        SessionTest::TearDown();
    }

    // A headset as the default playback device, its class-driver stream given to the mixer.
    void PlugHeadset() {
        UsbDeviceIdentity identity;
        identity.vendorId = 0x0F1E;
        identity.productId = 0x1607;
        identity.description = AudioDevices::HeadsetDescription(0x1607);
        headset_ = std::make_shared<UsbHeadset>(0x0F1E, 0x1607);
        DevNode* node = machine_->pnp().PlugIn(identity, headset_);
        ASSERT_TRUE(node->Started());
        stream_ = std::make_unique<AudioStream>(node);
        session_->directSound().SetStreamProvider(
            [this](const std::string&) { return stream_.get(); });
    }

    std::unique_ptr<DsDevice> Device(uint32_t level = DSSCL_PRIORITY) {
        std::unique_ptr<DsDevice> device;
        EXPECT_EQ(session_->directSound().Create(nullptr, &device), kDsOk);
        EXPECT_EQ(device->SetCooperativeLevel(window_->hwnd(), level), kDsOk);
        return device;
    }

    // A 16-bit mono 3D buffer at 48 kHz whose every sample is `value`.
    std::unique_ptr<DsBuffer> Constant(DsDevice& device, int16_t value, uint32_t frames,
                                       uint32_t flags = DSBCAPS_CTRL3D | DSBCAPS_GLOBALFOCUS) {
        const DsFormat format = Pcm(1, 48000, 16);
        DsBufferDescription d;
        d.flags = flags;
        d.bufferBytes = frames * 2;
        d.format = &format;
        std::unique_ptr<DsBuffer> buffer;
        EXPECT_EQ(device.CreateSoundBuffer(d, &buffer), kDsOk);
        uint8_t* data = nullptr;
        uint32_t size = 0;
        EXPECT_EQ(buffer->Lock(&data, &size), kDsOk);
        for (uint32_t i = 0; i + 1 < size; i += 2) {
            data[i] = static_cast<uint8_t>(value & 0xFF);
            data[i + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
        }
        EXPECT_EQ(buffer->Unlock(size), kDsOk);
        return buffer;
    }

    // Moves the clock on and lets the mixer catch up, as the desktop's RunUntil does.
    void RunMs(int64_t ms) {
        kernel::AdvanceTimeMs(ms);
        session_->directSound().MixUntil(kernel::Now());
    }

    // Left and right sample of stereo frame `frame` of what the headset played.
    std::pair<int, int> PlayedFrame(size_t frame) {
        const std::vector<uint8_t> played = headset_->Played();
        const uint8_t* p = &played.at(frame * 4);
        return {static_cast<int16_t>(p[0] | (p[1] << 8)), static_cast<int16_t>(p[2] | (p[3] << 8))};
    }

    std::unique_ptr<UiThread> window_;
    std::shared_ptr<UsbHeadset> headset_;
    std::unique_ptr<AudioStream> stream_;
};

TEST_F(DirectSoundTest, BufferDescriptionsAreCheckedAsDirectSoundChecksThem) {
    auto device = Device();
    const DsFormat mono16 = Pcm(1, 22050, 16), stereo16 = Pcm(2, 44100, 16);
    DsFormat floatFormat = mono16;
    floatFormat.formatTag = 3;
    DsFormat badBlock = mono16;
    badBlock.blockAlign = 4;
    struct Case {
        const char* what;
        uint32_t flags, bytes;
        const DsFormat* format;
        Guid algorithm;
        DsResult expected;
    } cases[] = {
        {"primary", DSBCAPS_PRIMARYBUFFER | DSBCAPS_CTRL3D, 0, nullptr, {}, kDsOk},
        {"primary with a size", DSBCAPS_PRIMARYBUFFER, 4096, nullptr, {}, kDsErrInvalidParam},
        {"primary with a format", DSBCAPS_PRIMARYBUFFER, 0, &mono16, {}, kDsErrInvalidParam},
        {"3D mono", DSBCAPS_CTRL3D, 4096, &mono16, kDs3dAlgNoVirtualization, kDsOk},
        {"3D stereo", DSBCAPS_CTRL3D, 4096, &stereo16, {}, kDsErrInvalidParam},
        {"plain stereo", 0, 4096, &stereo16, {}, kDsOk},
        {"algorithm without 3D", 0, 4096, &mono16, kDs3dAlgNoVirtualization, kDsErrInvalidParam},
        {"head-related on Windows 7", DSBCAPS_CTRL3D, 4096, &mono16, kDs3dAlgHrtfFull,
         kDsNoVirtualization},
        {"unknown algorithm", DSBCAPS_CTRL3D, 4096, &mono16, Guid{1, 2, 3, {}}, kDsErrInvalidParam},
        {"too small", 0, 2, &mono16, {}, kDsErrInvalidParam},
        {"no format", 0, 4096, nullptr, {}, kDsErrInvalidParam},
        {"not PCM", 0, 4096, &floatFormat, {}, kDsErrBadFormat},
        {"inconsistent block", 0, 4096, &badBlock, {}, kDsErrInvalidParam},
    };
    for (const Case& c : cases) {
        DsBufferDescription d;
        d.flags = c.flags;
        d.bufferBytes = c.bytes;
        d.format = c.format;
        d.algorithm = c.algorithm;
        std::unique_ptr<DsBuffer> buffer;
        EXPECT_EQ(device->CreateSoundBuffer(d, &buffer), c.expected) << c.what;
        EXPECT_EQ(buffer != nullptr, c.expected >= 0) << c.what;
    }
}

TEST_F(DirectSoundTest, OnlyAPriorityLevelSetsThePrimaryFormatAndOnlyA3DPrimaryHasAListener) {
    for (uint32_t level : {DSSCL_NORMAL, DSSCL_PRIORITY}) {
        auto device = Device(level);
        DsBufferDescription d;
        d.flags = DSBCAPS_PRIMARYBUFFER;
        std::unique_ptr<DsBuffer> primary;
        ASSERT_EQ(device->CreateSoundBuffer(d, &primary), kDsOk);
        EXPECT_EQ(primary->SetFormat(Pcm(2, 44100, 16)),
                  level == DSSCL_NORMAL ? kDsErrPrioLevelNeeded : kDsOk);
        std::unique_ptr<Ds3DListener> listener;
        EXPECT_EQ(primary->QueryListener(&listener), kDsErrNoInterface);
    }
    std::unique_ptr<DsDevice> device;
    ASSERT_EQ(session_->directSound().Create(nullptr, &device), kDsOk);
    EXPECT_EQ(device->SetCooperativeLevel(0, DSSCL_PRIORITY), kDsErrInvalidParam);
    EXPECT_EQ(device->SetCooperativeLevel(window_->hwnd(), 9), kDsErrInvalidParam);
}

TEST_F(DirectSoundTest, WithoutAPlaybackDeviceThereIsNoDriver) {
    session_->audio().SetBuiltInPresent(false);
    std::unique_ptr<DsDevice> device;
    EXPECT_EQ(session_->directSound().Create(nullptr, &device), kDsErrNoDriver);
    EXPECT_EQ(device, nullptr);
}

TEST_F(DirectSoundTest, BuffersStayLostWhileAnotherProgramWritesThePrimary) {
    auto device = Device();
    auto buffer = Constant(*device, 1000, 480);
    session_->directSound().SetWritePrimaryElsewhere(true);
    uint32_t status = 0;
    ASSERT_EQ(buffer->GetStatus(&status), kDsOk);
    EXPECT_EQ(status, DSBSTATUS_BUFFERLOST);
    EXPECT_EQ(buffer->Play(DSBPLAY_LOOPING), kDsErrBufferLost);
    uint8_t* data = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(buffer->Lock(&data, &size), kDsErrBufferLost);
    EXPECT_EQ(buffer->Restore(), kDsErrBufferLost);

    session_->directSound().SetWritePrimaryElsewhere(false);
    EXPECT_EQ(buffer->Restore(), kDsOk);
    // Restored memory must be filled again.
    ASSERT_EQ(buffer->Lock(&data, &size), kDsOk);
    EXPECT_EQ(std::count(data, data + size, 0), static_cast<long>(size));
    EXPECT_EQ(buffer->Unlock(0), kDsOk);
    EXPECT_EQ(buffer->Play(DSBPLAY_LOOPING), kDsOk);
    ASSERT_EQ(buffer->GetStatus(&status), kDsOk);
    EXPECT_EQ(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
}

TEST_F(DirectSoundTest, TheMixerPansAHeadRelativeSourceByItsDirection) {
    PlugHeadset();
    auto device = Device();
    auto buffer = Constant(*device, 16384, 4800);
    std::unique_ptr<Ds3DBuffer> source;
    ASSERT_EQ(buffer->Query3DBuffer(&source), kDsOk);
    ASSERT_EQ(source->SetMode(DS3DMODE_HEADRELATIVE), kDsOk);
    ASSERT_EQ(source->SetMinDistance(0.01f), kDsOk);
    ASSERT_EQ(source->SetMaxDistance(0.01f), kDsOk);
    struct Case {
        DsVector position;
        int left, right;
    } cases[] = {
        {{0, 0, 0}, 16384, 16384},  // on the listener: both sides
        {{0, 0, 4}, 16384, 16384},  // straight ahead
        {{4, 0, 0}, 0, 16384},      // right: the left side is silent
        {{-4, 0, 0}, 16384, 0},     // left
        {{3, 0, 3}, 4799, 16384},   // half right: left scaled by 1 - 0.7071
        {{0, 4, 0}, 16384, 16384},  // above
    };
    ASSERT_EQ(buffer->Play(DSBPLAY_LOOPING), kDsOk);
    size_t frame = 0;
    for (const Case& c : cases) {
        ASSERT_EQ(source->SetPosition(c.position), kDsOk);
        RunMs(10);
        const auto [left, right] = PlayedFrame(frame);
        EXPECT_EQ(left, c.left) << c.position.x << "," << c.position.z;
        EXPECT_EQ(right, c.right) << c.position.x << "," << c.position.z;
        frame += 480;
    }
    EXPECT_EQ(session_->directSound().FramesMixed(session_->audio().DefaultKey(Flow::Playback)),
              frame);
}

TEST_F(DirectSoundTest, AOneShotBufferStopsAtItsEndAndTheRestIsSilence) {
    PlugHeadset();
    auto device = Device();
    auto buffer = Constant(*device, 8000, 240, DSBCAPS_GLOBALFOCUS);  // 5 ms
    ASSERT_EQ(buffer->Play(0), kDsOk);
    RunMs(10);
    uint32_t status = 1;
    ASSERT_EQ(buffer->GetStatus(&status), kDsOk);
    EXPECT_EQ(status, 0u);
    ASSERT_EQ(headset_->Played().size(), 10u * 48 * 4);
    EXPECT_EQ(PlayedFrame(0), std::make_pair(8000, 8000));
    EXPECT_EQ(PlayedFrame(239), std::make_pair(8000, 8000));
    EXPECT_EQ(PlayedFrame(240), std::make_pair(0, 0));
    uint32_t position = 1;
    ASSERT_EQ(buffer->GetCurrentPosition(&position), kDsOk);
    EXPECT_EQ(position, 0u);
    // Nothing plays: nothing is sent.
    RunMs(20);
    EXPECT_EQ(headset_->Played().size(), 10u * 48 * 4);
}

TEST_F(DirectSoundTest, WithoutGlobalFocusABufferIsSilentWhileItsWindowIsInTheBackground) {
    PlugHeadset();
    auto device = Device();
    auto buffer = Constant(*device, 8000, 4800, 0);
    UiThread other(desktop(), Popup(u"other"));
    for (Hwnd foreground : {other.hwnd(), window_->hwnd()}) {
        desktop().SetForegroundWindow(foreground);
        headset_->ClearPlayed();
        ASSERT_EQ(buffer->Play(DSBPLAY_LOOPING), kDsOk);
        RunMs(10);
        const int expected = foreground == window_->hwnd() ? 8000 : 0;
        EXPECT_EQ(PlayedFrame(100), std::make_pair(expected, expected));
    }
}

}  // namespace
}  // namespace host::user::testing
