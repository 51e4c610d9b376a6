// The filter's URB path between the class driver's stream and the simulated headset: which
// transfers are processed and how, what the filter learns from the host's requests, and the
// mute requests of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "ampfx_driver.h"
#include "engine_session.h"
#include "filtered_machine.h"
#include "host/audio_stream.h"
#include "host/usb_headset.h"
#include "music_clip.h"
#include "settings_defaults.h"
#include "shared_access.h"
#include "sound_field.h"

namespace ampfx_test {
namespace {

namespace kernel = host::kernel;
using host::AudioStream;
using host::UsbHeadset;

constexpr uint16_t kPlainHeadset = 0x160D;  // a listed chip that keeps the loaded flags
constexpr uint32_t kChunkBytes = 3840;      // 20 ms transfers of 192-byte packets

struct Settings {
    uint32_t soundField = 0;
    bool noiseClean = false;
    bool drc = false;
    bool equalizer = true;
    bool virtual71 = true;
    float eqGains[kEqBandCount] = {1.5f, 1.2f, 1, 0.8f, 1, 1, 1.3f, 2.0f, 1, 0.5f};

    EngineSettings ForEngine() const {
        EngineSettings engine;
        engine.soundField = soundField;
        engine.noiseClean = noiseClean;
        engine.drc = drc;
        engine.equalizer = equalizer;
        engine.virtual71 = virtual71;
        std::memcpy(engine.eqGains, eqGains, sizeof eqGains);
        return engine;
    }
};

// The driver's settings key, complete, so that the load reads every value from it.
void WriteSettingsKey(host::Registry& registry, const Settings& settings) {
    auto floats = [](const float* values, size_t count) {
        std::vector<uint8_t> bytes(count * 4);
        std::memcpy(bytes.data(), values, bytes.size());
        return bytes;
    };
    const std::map<std::string, uint32_t> dwords = {
        {"SoundFieldType", settings.soundField},
        {"EnableNoiseClean", settings.noiseClean},
        {"EnableSoundDRC", settings.drc},
        {"EnableAmpfxEQ", settings.equalizer},
        {"EnableVirtual7ch1", settings.virtual71},
        {"EnableHRTF", 0},
        {"LeftChOffset", 0},
        {"RightChOffset", 1},
        {"EnableConvert", 0x303},
    };
    registry.CreateKey(kSettingsKey);
    for (const auto& [name, value] : dwords)
        registry.SetDword(kSettingsKey, name, value);
    const std::vector<float> distances(kSpeakerCount, kLoadDefaultDistance);
    const std::vector<float> powers(6, kLoadDefaultPower);
    registry.SetBinary(kSettingsKey, "AmpfxEQGain", floats(settings.eqGains, kEqBandCount));
    registry.SetBinary(kSettingsKey, "Virtual7ch1Distance",
                       floats(distances.data(), kSpeakerCount));
    registry.SetBinary(kSettingsKey, "Virtual7ch1Radian",
                       floats(kLoadDefaultRadian, kSpeakerCount));
    registry.SetBinary(kSettingsKey, "Ampfx5Ch1Power", floats(powers.data(), 6));
}

std::vector<uint8_t> Music(double seconds) {
    return GenerateMusicClip(seconds, 48000);
}

// What the engine makes of `pcm` cut into transfers of `chunkBytes`.
std::vector<uint8_t> Engine(const Settings& settings, std::vector<uint8_t> pcm,
                            uint32_t chunkBytes = kChunkBytes) {
    EngineSession session(settings.ForEngine());
    session.ProcessInChunks(pcm, chunkBytes);
    return pcm;
}

// What the engine makes of `second` when it follows `first` in one unbroken stream.
std::vector<uint8_t> ContinuedAfter(const Settings& settings, std::vector<uint8_t> first,
                                    std::vector<uint8_t> second) {
    EngineSession session(settings.ForEngine());
    session.ProcessInChunks(first, kChunkBytes);
    session.ProcessInChunks(second, kChunkBytes);
    return second;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class UrbFilterTest : public ::testing::Test {
  protected:
    // Plugs a filtered headset of `productId` with the given settings in the registry.
    void Plug(uint16_t productId, const Settings& settings = Settings(),
              uint16_t vendorId = 0x0F1E) {
        WriteSettingsKey(machine.registry(), settings);
        headset = std::make_shared<UsbHeadset>(vendorId, productId);
        node = machine.Plug(productId, true, headset, vendorId);
        ASSERT_TRUE(node->Started());
        stream = std::make_unique<AudioStream>(node);
    }

    // Waits in virtual time until the headset holds `count` requests.
    void WaitHeld(size_t count) {
        LARGE_INTEGER millisecond;
        millisecond.QuadPart = -10000;
        while (headset->HeldCount() < count)
            KeDelayExecutionThread(KernelMode, FALSE, &millisecond);
    }

    FilteredMachine machine;
    std::shared_ptr<UsbHeadset> headset;
    host::DevNode* node = nullptr;
    std::unique_ptr<AudioStream> stream;
};

TEST_F(UrbFilterTest, PlaybackReachesTheHeadsetExactlyAsTheEngineProcessesIt) {
    Settings settings;
    settings.soundField = 3;
    settings.drc = true;
    Plug(kPlainHeadset, settings);
    const std::vector<uint8_t> pcm = Music(1.01);  // the last transfer is a short one
    ASSERT_NE(pcm.size() % kChunkBytes, 0u);
    ASSERT_EQ(stream->Play(pcm, kChunkBytes), STATUS_SUCCESS);
    const std::vector<uint8_t> played = headset->Played();
    ASSERT_EQ(played.size(), pcm.size());
    EXPECT_TRUE(played == Engine(settings, pcm)) << "the device got other samples";
    EXPECT_FALSE(played == pcm);
}

TEST_F(UrbFilterTest, OnlyPlainOutTransfersGoThroughTheEffects) {
    Settings settings;
    Plug(kPlainHeadset, settings);
    const std::vector<uint8_t> first = Music(0.2);
    const std::vector<uint8_t> second(first.rbegin(), first.rend());
    ASSERT_EQ(stream->Play(first, kChunkBytes), STATUS_SUCCESS);

    // An OUT transfer that may end short (flags 6) is sent as it is.
    headset->ClearPlayed();
    const std::vector<uint8_t> aside = Music(0.05);
    ASSERT_EQ(stream->WriteOut(aside.data(), static_cast<uint32_t>(aside.size()),
                               USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK),
              STATUS_SUCCESS);
    EXPECT_EQ(headset->Played(), aside);

    // So is one described only by an MDL.
    headset->ClearPlayed();
    std::vector<uint8_t> buffer(aside.begin(), aside.begin() + 1920);
    PMDL mdl = IoAllocateMdl(buffer.data(), 1920, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    std::vector<uint64_t> memory(GET_ISO_URB_SIZE(10) / 8 + 1);
    URB* urb = reinterpret_cast<URB*>(memory.data());
    urb->UrbHeader.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(10));
    urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    urb->UrbIsochronousTransfer.PipeHandle = stream->PlaybackPipe();
    urb->UrbIsochronousTransfer.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
    urb->UrbIsochronousTransfer.TransferBufferMDL = mdl;
    urb->UrbIsochronousTransfer.TransferBufferLength = 1920;
    urb->UrbIsochronousTransfer.NumberOfPackets = 10;
    for (ULONG i = 0; i < 10; ++i)
        urb->UrbIsochronousTransfer.IsoPacket[i].Offset = i * 192;
    EXPECT_EQ(stream->Submit(urb, DISPATCH_LEVEL), STATUS_SUCCESS);
    IoFreeMdl(mdl);
    EXPECT_EQ(headset->Played(), std::vector<uint8_t>(aside.begin(), aside.begin() + 1920));

    // Capture returns the microphone's data as it came, and leaves the stream's state alone:
    // the playback around it comes out as if the capture had never happened.
    headset->ClearPlayed();
    const std::vector<uint8_t> microphone = Music(0.01);
    headset->SetCaptureData(microphone);
    std::vector<uint8_t> captured;
    ASSERT_EQ(stream->ReadIn(static_cast<uint32_t>(microphone.size()), &captured), STATUS_SUCCESS);
    EXPECT_EQ(captured, microphone);
    for (size_t at = 0; at < second.size(); at += kChunkBytes) {
        const uint32_t bytes =
            static_cast<uint32_t>(std::min<size_t>(kChunkBytes, second.size() - at));
        ASSERT_EQ(stream->WriteOut(second.data() + at, bytes), STATUS_SUCCESS);
    }
    const std::vector<uint8_t> both = Engine(settings, Concat(first, second));
    EXPECT_TRUE(headset->Played() == std::vector<uint8_t>(both.begin() + first.size(), both.end()));
}

TEST_F(UrbFilterTest, TheHostsOwnMuteTakesTheGateOutOfPlay) {
    Settings settings;
    settings.noiseClean = true;
    Plug(kPlainHeadset, settings);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);

    // A request to another control, and a read of the mute, are no host mute.
    URB volume{};
    UCHAR level[2] = {1, 0};
    UsbBuildVendorRequest(&volume, URB_FUNCTION_CLASS_INTERFACE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0x01, 0x0200,
                          0x3100, level, nullptr, 2, nullptr);
    stream->Submit(&volume);
    EXPECT_EQ(g_EffectState.HostMuteState, 0);

    ASSERT_EQ(stream->SetCurMute(1), STATUS_SUCCESS);
    EXPECT_EQ(g_EffectState.HostMuteState, 1);
    uint8_t mute = 0;
    ASSERT_EQ(stream->GetCurMute(&mute), STATUS_SUCCESS);
    EXPECT_EQ(mute, 1);
    EXPECT_EQ(g_EffectState.HostMuteState, 1);

    // Silence long enough to close the gate, then a noise-clean set: neither touches the mute.
    const std::vector<uint8_t> silence(kChunkBytes * 4, 0);
    ASSERT_EQ(stream->Play(silence, kChunkBytes), STATUS_SUCCESS);
    AmpfxValueRequest on{0, 1};
    EXPECT_EQ(SendControl(IOCTL_AMPFX_NOISE_CLEAN, &on, 8, 8).error, 0u);
    EXPECT_EQ(g_EffectState.EnableNoiseClean, 1u);
    EXPECT_EQ(headset->MuteLog(), std::vector<uint8_t>{1}) << "only the host's own request";

    // The host unmutes: the gate takes over again and mutes on silence.
    ASSERT_EQ(stream->SetCurMute(0), STATUS_SUCCESS);
    EXPECT_EQ(g_EffectState.HostMuteState, 0);
    ASSERT_EQ(stream->Play(silence, kChunkBytes), STATUS_SUCCESS);
    EXPECT_EQ(headset->MuteLog(), (std::vector<uint8_t>{1, 0, 1}));
    EXPECT_EQ(headset->Mute(), 1);
}

TEST_F(UrbFilterTest, OnlyAStreamStartOnInterfaceOneResetsTheStream) {
    Settings settings;
    settings.soundField = 1;
    Plug(kPlainHeadset, settings);
    struct Case {
        uint8_t interfaceNumber;
        uint8_t alternate;
        bool resets;
    } const cases[] = {{1, 0, false}, {2, 1, false}, {2, 0, false}, {1, 1, true}};
    for (const Case& c : cases) {
        StoreShared(g_EffectState.NoiseGateCount, 100);
        ASSERT_EQ(stream->SelectInterface(c.interfaceNumber, c.alternate), STATUS_SUCCESS);
        EXPECT_EQ(g_EffectState.NoiseGateCount, c.resets ? 0 : 100)
            << "interface " << int(c.interfaceNumber) << " alternate " << int(c.alternate);
    }

    // A new start empties the equalizer ring and the reverberation's memory: what follows
    // plays as from a fresh stream, not as the continuation of the first.
    const std::vector<uint8_t> a = Music(0.3);
    const std::vector<uint8_t> b(a.rbegin(), a.rend());
    headset->ClearPlayed();
    ASSERT_EQ(stream->Play(a, kChunkBytes), STATUS_SUCCESS);
    ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(stream->SelectInterface(2, 1), STATUS_SUCCESS);
    ASSERT_EQ(stream->Play(b, kChunkBytes), STATUS_SUCCESS);  // starts interface 1 again

    EngineSession session(settings.ForEngine());
    std::vector<uint8_t> expected = a;
    session.ProcessInChunks(expected, kChunkBytes);
    std::vector<uint8_t> afterStart = b;
    const std::vector<uint8_t> unbroken = ContinuedAfter(settings, a, b);
    ResetEqStreamForStreamStart(&session.eqStream());
    ClearSoundFieldForStreamStart(&session.state());
    session.ProcessInChunks(afterStart, kChunkBytes);
    const std::vector<uint8_t> played = headset->Played();
    EXPECT_TRUE(played == Concat(expected, afterStart));
    EXPECT_FALSE(played == Concat(expected, unbroken)) << "the restart must show";
}

TEST_F(UrbFilterTest, AfterAPipeAbortThirtyBuffersPlayWithoutTheSoundField) {
    Settings settings;
    settings.soundField = 2;
    Plug(kPlainHeadset, settings);
    const std::vector<uint8_t> before = Music(0.1);  // 5 transfers
    const std::vector<uint8_t> after = Music(0.7);   // 35 transfers
    ASSERT_EQ(stream->Play(before, kChunkBytes), STATUS_SUCCESS);
    ASSERT_EQ(stream->AbortPipe(), STATUS_SUCCESS);
    for (size_t at = 0; at < after.size(); at += kChunkBytes)
        ASSERT_EQ(stream->WriteOut(after.data() + at, kChunkBytes), STATUS_SUCCESS);

    EngineSession session(settings.ForEngine());
    std::vector<uint8_t> expected = before;
    session.ProcessInChunks(expected, kChunkBytes);
    std::vector<uint8_t> tail = after;
    const std::vector<uint8_t> withoutAbort = ContinuedAfter(settings, before, after);
    session.restartCountdown() = 30;
    session.ProcessInChunks(tail, kChunkBytes);
    const std::vector<uint8_t> played = headset->Played();
    EXPECT_TRUE(played == Concat(expected, tail));
    EXPECT_FALSE(played == Concat(expected, withoutAbort)) << "the abort must show";
}

TEST(UrbFilterChipTest, The4410ChipStartsWithTheGateOffWhateverTheRegistrySays) {
    Settings settings;
    settings.noiseClean = true;
    settings.drc = true;
    const std::vector<uint8_t> silence(kChunkBytes * 2, 0);
    for (auto [product, gate] : {std::pair<uint16_t, bool>{0x1607, false}, {kPlainHeadset, true}}) {
        FilteredMachine own;
        WriteSettingsKey(own.registry(), settings);
        auto device = std::make_shared<UsbHeadset>(0x0F1E, product);
        AudioStream playback(own.Plug(product, true, device));
        ASSERT_EQ(playback.Play(silence, kChunkBytes), STATUS_SUCCESS);
        EXPECT_EQ(g_EffectState.EnableSoundDRC, gate ? 1u : 0u) << std::hex << product;
        EXPECT_EQ(device->MuteLog(), gate ? std::vector<uint8_t>{1} : std::vector<uint8_t>{})
            << std::hex << product;
    }
}

TEST_F(UrbFilterTest, AnUnlistedProductPlaysUnprocessed) {
    Plug(0x1608);
    const std::vector<uint8_t> pcm = Music(0.2);
    ASSERT_EQ(stream->Play(pcm, kChunkBytes), STATUS_SUCCESS);
    EXPECT_EQ(headset->Played(), pcm);
}

TEST_F(UrbFilterTest, TheGatesMuteFromTheStreamIsSentWithoutWaiting) {
    Settings settings;
    settings.noiseClean = true;
    Plug(kPlainHeadset, settings);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
    headset->SetTiming(UsbHeadset::Timing::Held);
    headset->SetHeldRequests(true, false);

    kernel::VerifierCapture capture;
    const std::vector<uint8_t> silence(kChunkBytes, 0);
    // The transfer completes while its mute request is still with the device: the stream
    // path at DISPATCH_LEVEL did not wait for it.
    ASSERT_EQ(
        stream->WriteOut(silence.data(), kChunkBytes, USBD_START_ISO_TRANSFER_ASAP, DISPATCH_LEVEL),
        STATUS_SUCCESS);
    EXPECT_EQ(headset->HeldCount(), 1u);
    EXPECT_TRUE(headset->MuteLog().empty());
    EXPECT_EQ(headset->ReleaseHeld(), 1u);
    EXPECT_EQ(headset->MuteLog(), std::vector<uint8_t>{1});

    headset->SetTiming(UsbHeadset::Timing::Immediate);
    const std::vector<uint8_t> loud = Music(0.05);
    ASSERT_EQ(stream->WriteOut(loud.data(), kChunkBytes), STATUS_SUCCESS);
    EXPECT_EQ(headset->MuteLog(), (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(headset->Played().size(), 2 * kChunkBytes);
    EXPECT_TRUE(capture.Empty()) << capture.Reports()[0].message;
}

// The remove path cancels the filter's own mute request that the device still holds;
// waiting for it would never end.
TEST_F(UrbFilterTest, AnOrderlyStopWhileTheGatesMuteIsHeldReturns) {
    Settings settings;
    settings.noiseClean = true;
    Plug(kPlainHeadset, settings);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
    headset->SetTiming(UsbHeadset::Timing::Held);
    headset->SetHeldRequests(true, false);
    const std::vector<uint8_t> silence(kChunkBytes, 0);
    ASSERT_EQ(stream->WriteOut(silence.data(), kChunkBytes), STATUS_SUCCESS);
    ASSERT_EQ(headset->HeldCount(), 1u);

    kernel::VerifierCapture capture;
    EXPECT_EQ(machine.pnp().Stop(node), STATUS_SUCCESS);
    EXPECT_FALSE(node->Started());
    EXPECT_EQ(headset->HeldCount(), 0u);
    EXPECT_TRUE(headset->MuteLog().empty()) << "the cancelled request never ran";
    EXPECT_TRUE(capture.Empty()) << capture.Reports()[0].message;
}

}  // namespace
}  // namespace ampfx_test
