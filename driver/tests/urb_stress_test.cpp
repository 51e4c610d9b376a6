// Races for ThreadSanitizer on the filtered stream: a playback stream with its starts and
// stops, capture transfers, pipe aborts, the host's mute requests, control requests and the
// device's held and released requests, all at once, with an orderly removal of the device in
// the middle. The verifier stays in its default mode: any rule broken ends the run.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "ampfx_driver.h"
#include "filtered_machine.h"
#include "host/audio_stream.h"
#include "host/usb_headset.h"

namespace ampfx_test {
namespace {

namespace kernel = host::kernel;
using host::AudioStream;
using host::UsbHeadset;

constexpr uint32_t kChunkBytes = 1920;

void Sleep(int64_t milliseconds) {
    LARGE_INTEGER due;
    due.QuadPart = -10000 * milliseconds;
    KeDelayExecutionThread(KernelMode, FALSE, &due);
}

// Loud and silent stretches in turn, so that the gate keeps switching the mute.
std::vector<uint8_t> Chunk(int index) {
    std::vector<uint8_t> pcm(kChunkBytes, 0);
    if (index % 3 != 0) {
        for (size_t i = 0; i < pcm.size(); i += 2) {
            pcm[i + 1] = static_cast<uint8_t>((i / 2 + index) % 64 * 3);
        }
    }
    return pcm;
}

TEST(UrbStressTest, StreamsControlsAbortsAndHeldRequestsRaceARemoval) {
    FilteredMachine machine;
    machine.registry().CreateKey(kSettingsKey);
    machine.registry().SetDword(kSettingsKey, "EnableNoiseClean", 1);
    machine.registry().SetDword(kSettingsKey, "SoundFieldType", 1);
    auto headset = std::make_shared<UsbHeadset>(0x0F1E, 0x160D);
    host::DevNode* node = machine.Plug(0x160D, true, headset);
    ASSERT_TRUE(node->Started());
    auto stream = std::make_unique<AudioStream>(node);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);

    constexpr int kRounds = 150;
    std::atomic<int> working{0};
    std::atomic<int> progress{0};
    std::atomic<bool> removed{false};
    std::atomic<int> played{0};
    std::vector<kernel::Thread> threads;
    auto worker = [&](const char* name, std::function<void(int)> body) {
        ++working;
        threads.emplace_back(name, [&, body] {
            for (int round = 0; round < kRounds; ++round) {
                body(round);
                ++progress;
            }
            --working;
        });
    };

    // One pin's stream: its starts, stops and transfers follow each other, as the class
    // driver serialises them; everything else races it.
    worker("playback", [&](int round) {
        if (round % 5 == 0) {
            stream->Stop();
            stream->Start();
        }
        const std::vector<uint8_t> pcm = Chunk(round);
        if (NT_SUCCESS(stream->WriteOut(pcm.data(), kChunkBytes)))
            ++played;
    });
    worker("capture", [&](int round) {
        std::vector<uint8_t> captured;
        stream->ReadIn(480, &captured);
        const std::vector<uint8_t> pcm = Chunk(round + 1);
        stream->WriteOut(pcm.data(), kChunkBytes,
                         USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK, PASSIVE_LEVEL);
    });
    worker("aborts", [&](int round) {
        if (round % 7 == 0) {
            stream->AbortPipe();
        }
        Sleep(1);
    });
    worker("host-mute", [&](int round) {
        stream->SetCurMute(round % 2);
        uint8_t mute = 0;
        stream->GetCurMute(&mute);
    });
    worker("controls", [&](int round) {
        AmpfxValueRequest noiseClean{0, static_cast<uint32_t>(round % 2)};
        SendControl(IOCTL_AMPFX_NOISE_CLEAN, &noiseClean, 8, 8);
        AmpfxBandRequest band{0, static_cast<uint16_t>(round % 10), 0.5f + (round % 4) * 0.5f};
        SendControl(IOCTL_AMPFX_EQ_BAND, &band, 8, 8);
        if (round % 10 == 0) {
            AmpfxValueRequest field{0, static_cast<uint32_t>(1 + round / 10 % 4)};
            SendControl(IOCTL_AMPFX_SOUND_FIELD, &field, 8, 8);
        }
        AmpfxValueRequest drc{0, static_cast<uint32_t>(round / 3 % 2)};
        SendControl(IOCTL_AMPFX_DRC_ENABLE, &drc, 8, 8);
    });
    // The device: now answering at once, now holding requests until this thread lets them go.
    kernel::Thread device("device", [&] {
        int tick = 0;
        while (working.load() > 0 || !removed.load()) {
            headset->SetTiming(++tick % 4 < 2 ? UsbHeadset::Timing::Held
                                              : UsbHeadset::Timing::Immediate);
            Sleep(1);
            headset->ReleaseHeld();
        }
        headset->SetTiming(UsbHeadset::Timing::Immediate);
        headset->ReleaseHeld();
    });

    // The removal comes in the middle of it all.
    while (progress.load() < kRounds * 2) {
        Sleep(1);
    }
    EXPECT_EQ(machine.pnp().Stop(node), STATUS_SUCCESS);
    removed = true;
    for (kernel::Thread& thread : threads) {
        thread.Join();
    }
    device.Join();
    EXPECT_FALSE(node->Started());
    EXPECT_GT(played.load(), 0) << "the stream never got through";
    EXPECT_FALSE(headset->MuteLog().empty());
    EXPECT_EQ(headset->HeldCount(), 0u);
    EXPECT_EQ(stream->WriteOut(Chunk(1).data(), kChunkBytes), STATUS_DELETE_PENDING);

    // The device starts again and plays.
    ASSERT_TRUE(machine.pnp().Start(node));
    stream->Reopen();
    headset->ClearPlayed();
    const std::vector<uint8_t> pcm = Chunk(2);
    ASSERT_EQ(stream->Play(pcm, kChunkBytes), STATUS_SUCCESS);
    EXPECT_EQ(headset->Played().size(), pcm.size());
}

}  // namespace
}  // namespace ampfx_test
