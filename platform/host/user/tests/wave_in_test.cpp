// Wave-in over a headset's microphone: the format checks of the open, buffers coming back in
// order on the machine's clock, what the resampler lets through, and reset and close.
#include <math.h>
#include <string.h>

#include <gtest/gtest.h>

#include "host/wave_in.h"
#include "session_fixture.h"
// clang-format off
#include "host/usb_headset.h"
// clang-format on

namespace host::user::testing {
namespace {

WaveFormat Pcm(uint32_t rate, uint16_t bits, uint16_t channels) {
    WaveFormat format;
    format.channels = channels;
    format.samplesPerSec = rate;
    format.bitsPerSample = bits;
    format.blockAlign = static_cast<uint16_t>(channels * bits / 8);
    format.avgBytesPerSec = rate * format.blockAlign;
    return format;
}

// `seconds` of a sine at 48 kHz, 16-bit mono, as the headset's capture endpoint returns it.
std::vector<uint8_t> Sine(double hz, double amplitude) {
    std::vector<uint8_t> pcm(48000 * 2);
    for (size_t k = 0; k < 48000; ++k) {
        const int16_t v = static_cast<int16_t>(lround(amplitude * sin(2 * M_PI * hz * k / 48000)));
        memcpy(&pcm[k * 2], &v, 2);
    }
    return pcm;
}

class WaveInTest : public SessionTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        headset_ = std::make_shared<UsbHeadset>(0x0F1E, 0x1607);
        UsbDeviceIdentity identity;
        identity.vendorId = 0x0F1E;
        identity.productId = 0x1607;
        identity.description = AudioDevices::HeadsetDescription(0x1607);
        ASSERT_NE(machine_->pnp().PlugIn(identity, headset_), nullptr);
        ui_ = std::make_unique<UiThread>(desktop(), Popup(u"monitor"));
    }
    void TearDown() override {
        wave_.reset();
        ui_.reset();
        SessionTest::TearDown();
    }

    // Device 0 is the headset: it became the default recording device when it arrived.
    void Open(const WaveFormat& format) {
        ASSERT_EQ(WaveIn::Open(desktop(), session_->audio(), 0, format, ui_->hwnd(), &wave_),
                  MMSYSERR_NOERROR);
    }
    void Queue(WaveHeader* header, std::vector<uint8_t>* buffer) {
        header->data = buffer->data();
        header->bufferLength = static_cast<uint32_t>(buffer->size());
        ASSERT_EQ(wave_->PrepareHeader(header), MMSYSERR_NOERROR);
        ASSERT_EQ(wave_->AddBuffer(header), MMSYSERR_NOERROR);
    }
    // The headers MM_WIM_DATA returned so far, in order.
    std::vector<const WaveHeader*> Returned() {
        desktop().WaitIdle();
        std::vector<const WaveHeader*> out;
        for (const Logged& entry : ui_->Of(MM_WIM_DATA)) {
            EXPECT_EQ(entry.wParam, wave_->Handle());
            out.push_back(
                reinterpret_cast<const WaveHeader*>(static_cast<uintptr_t>(entry.lParam)));
        }
        return out;
    }

    std::shared_ptr<UsbHeadset> headset_;
    std::unique_ptr<UiThread> ui_;
    std::unique_ptr<WaveIn> wave_;
};

TEST_F(WaveInTest, OpenRefusesWhatNoDeviceRecords) {
    struct Case {
        const char* what;
        uint32_t device;
        WaveFormat format;
        uint32_t error;
    };
    WaveFormat inconsistent = Pcm(8000, 8, 1);
    inconsistent.avgBytesPerSec = 16000;
    WaveFormat compressed = Pcm(8000, 8, 1);
    compressed.formatTag = 2;
    const Case cases[] = {
        {"24-bit samples", 0, Pcm(8000, 24, 1), WAVERR_BADFORMAT},
        {"three channels", 0, Pcm(8000, 16, 3), WAVERR_BADFORMAT},
        {"a rate of 500", 0, Pcm(500, 16, 1), WAVERR_BADFORMAT},
        {"a byte rate that does not fit", 0, inconsistent, WAVERR_BADFORMAT},
        {"not PCM", 0, compressed, WAVERR_BADFORMAT},
        {"a device past the count", 2, Pcm(8000, 8, 1), MMSYSERR_BADDEVICEID},
    };
    for (const Case& c : cases) {
        std::unique_ptr<WaveIn> wave;
        EXPECT_EQ(
            WaveIn::Open(desktop(), session_->audio(), c.device, c.format, ui_->hwnd(), &wave),
            c.error)
            << c.what;
        EXPECT_EQ(wave, nullptr) << c.what;
    }
    desktop().WaitIdle();
    EXPECT_TRUE(ui_->Of(MM_WIM_OPEN).empty());
}

TEST_F(WaveInTest, BuffersComeBackInOrderAsTheClockFillsThem) {
    headset_->SetCaptureData({});
    Open(Pcm(8000, 8, 1));
    std::vector<uint8_t> first(400, 0xAA), second(400, 0xAA);
    WaveHeader a, b;
    a.user = 0;
    b.user = 1;
    Queue(&a, &first);
    Queue(&b, &second);
    ASSERT_EQ(wave_->Start(), MMSYSERR_NOERROR);

    desktop().RunForMs(49);
    EXPECT_TRUE(Returned().empty());  // 400 samples at 8 kHz take 50 ms
    desktop().RunForMs(1);
    ASSERT_EQ(Returned(), (std::vector<const WaveHeader*>{&a}));
    EXPECT_EQ(a.bytesRecorded, 400u);
    EXPECT_EQ(a.flags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    EXPECT_EQ(first, std::vector<uint8_t>(400, 128));  // silence is the 8-bit midpoint
    desktop().RunForMs(50);
    ASSERT_EQ(Returned(), (std::vector<const WaveHeader*>{&a, &b}));

    // Queued again, the first buffer takes the next 50 ms; a reset returns it unfilled.
    ASSERT_EQ(wave_->AddBuffer(&a), MMSYSERR_NOERROR);
    EXPECT_EQ(wave_->UnprepareHeader(&a), WAVERR_STILLPLAYING);
    EXPECT_EQ(wave_->Close(), WAVERR_STILLPLAYING);
    ASSERT_EQ(wave_->Reset(), MMSYSERR_NOERROR);
    EXPECT_EQ(Returned().size(), 3u);
    EXPECT_EQ(a.bytesRecorded, 0u);
    desktop().RunForMs(200);
    EXPECT_EQ(Returned().size(), 3u);  // stopped: nothing more comes

    EXPECT_EQ(wave_->UnprepareHeader(&a), MMSYSERR_NOERROR);
    ASSERT_EQ(wave_->Close(), MMSYSERR_NOERROR);
    EXPECT_EQ(wave_->Start(), MMSYSERR_INVALHANDLE);
    desktop().WaitIdle();
    EXPECT_EQ(ui_->Messages(MM_WIM_OPEN).size() + ui_->Messages(MM_WIM_CLOSE).size(), 2u);
    const std::vector<Logged> log = ui_->Log();
    std::vector<uint32_t> wave;
    for (const Logged& entry : log)
        if (entry.message >= MM_WIM_OPEN && entry.message <= MM_WIM_DATA)
            wave.push_back(entry.message);
    EXPECT_EQ(wave, (std::vector<uint32_t>{MM_WIM_OPEN, MM_WIM_DATA, MM_WIM_DATA, MM_WIM_DATA,
                                           MM_WIM_CLOSE}));
}

// While no buffer waits the microphone's samples are lost: a buffer queued after a gap holds
// what came after it, so it takes its whole 50 ms.
TEST_F(WaveInTest, SamplesWithoutABufferAreLost) {
    headset_->SetCaptureData(Sine(1000, 8000));
    Open(Pcm(8000, 8, 1));
    std::vector<uint8_t> buffer(400);
    WaveHeader header;
    Queue(&header, &buffer);
    ASSERT_EQ(wave_->Start(), MMSYSERR_NOERROR);
    desktop().RunForMs(50);
    ASSERT_EQ(Returned().size(), 1u);
    desktop().RunForMs(100);
    ASSERT_EQ(wave_->AddBuffer(&header), MMSYSERR_NOERROR);
    desktop().RunForMs(49);
    EXPECT_EQ(Returned().size(), 1u);
    desktop().RunForMs(1);
    EXPECT_EQ(Returned().size(), 2u);
    EXPECT_EQ(header.bytesRecorded, 400u);
}

// The headset records 48 kHz; at 8 kHz what lies above 4 kHz must not come back folded into
// the band, and what lies within it keeps its level.
TEST_F(WaveInTest, ResamplingKeepsTheBandAndDropsWhatWouldAlias) {
    struct Case {
        double hz;
        double minRms, maxRms;  // relative to the tone's own RMS
    };
    const Case cases[] = {
        {1000, 0.97, 1.03}, {2000, 0.97, 1.03},
        {3000, 0.90, 1.03},  // the low-pass begins to roll off
        {5000, 0.0, 0.02},   // would fold to 3 kHz
        {6000, 0.0, 0.02},   // would fold to 2 kHz
    };
    for (const Case& c : cases) {
        headset_->SetCaptureData(Sine(c.hz, 16000));
        Open(Pcm(8000, 16, 1));
        std::vector<uint8_t> warmup(800), measured(1600);
        WaveHeader a, b;
        Queue(&a, &warmup);
        Queue(&b, &measured);
        ASSERT_EQ(wave_->Start(), MMSYSERR_NOERROR);
        desktop().RunForMs(150);
        ASSERT_EQ(b.bytesRecorded, 1600u) << c.hz;
        double sum = 0;
        for (size_t k = 0; k < 800; ++k) {
            int16_t v;
            memcpy(&v, &measured[k * 2], 2);
            sum += static_cast<double>(v) * v;
        }
        const double rms = sqrt(sum / 800) / (16000 / sqrt(2.0));
        EXPECT_GE(rms, c.minRms) << c.hz;
        EXPECT_LE(rms, c.maxRms) << c.hz;
        ASSERT_EQ(wave_->Reset(), MMSYSERR_NOERROR);
        wave_->UnprepareHeader(&a);
        wave_->UnprepareHeader(&b);
        ASSERT_EQ(wave_->Close(), MMSYSERR_NOERROR);
        wave_.reset();
    }
}

}  // namespace
}  // namespace host::user::testing
