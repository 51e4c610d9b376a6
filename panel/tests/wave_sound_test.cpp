// The wave reader on files as other programs write them, and the buffer it fills.
#include <gtest/gtest.h>

#include "panel_fakes.h"
#include "test_sound_fakes.h"
#include "wave_sound.h"

namespace panel_test {
namespace {

const std::vector<uint8_t> kPcmMono16 = WaveBuilder::Format(1, 1, 16);

struct Opened {
    FakeSystem system;
    WaveReader reader;
    bool ok = false;
    explicit Opened(const std::vector<uint8_t>& bytes) {
        system.files[u"x.wav"] = bytes;
        ok = reader.Open(system.OpenFile(u"x.wav", FileOpen::Read));
    }
    std::vector<uint8_t> ReadAll(uint32_t chunk = 1000) {
        std::vector<uint8_t> out, part(chunk);
        for (uint32_t got; (got = reader.Read(part.data(), chunk)) > 0;)
            out.insert(out.end(), part.begin(), part.begin() + got);
        return out;
    }
};

struct ReaderCase {
    const char* name;
    std::vector<uint8_t> file;
    bool opens;
    uint32_t size;  // sound bytes the reader offers
    uint16_t tag, channels, extraSize;
};

std::vector<ReaderCase> Cases() {
    const auto data = Ramp(1000);
    const auto list =
        std::vector<uint8_t>{'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 3, 0, 0, 0, 'a', 'b', 0};
    std::vector<uint8_t> extensible(24, 0);
    extensible[0] = 22;  // extra size, then 22 bytes
    auto plain = WaveBuilder().Chunk("fmt ", kPcmMono16).Chunk("data", data).Build();
    auto cutHeader = plain;
    cutHeader.resize(30);
    auto cutData = plain;
    cutData.resize(plain.size() - 400);
    std::vector<uint8_t> shortFmt(kPcmMono16.begin(), kPcmMono16.begin() + 14);
    std::vector<uint8_t> badExtra(20, 0);
    badExtra[0] = 40;  // claims more than the chunk holds
    std::vector<uint8_t> rifx = plain;
    rifx[3] = 'X';
    return {
        {"plain", plain, true, 1000, 1, 1, 0},
        {"list and fact before the format, cue after the data",
         WaveBuilder()
             .Chunk("LIST", list)
             .Chunk("fact", {0, 1, 0, 0})
             .Chunk("fmt ", kPcmMono16)
             .Chunk("data", data)
             .Chunk("cue ", std::vector<uint8_t>(28, 9))
             .Build(),
         true, 1000, 1, 1, 0},
        {"odd-sized chunk before data is padded",
         WaveBuilder()
             .Chunk("fmt ", kPcmMono16)
             .Chunk("junk", {1, 2, 3})
             .Chunk("data", data)
             .Build(),
         true, 1000, 1, 1, 0},
        {"format record of 18 bytes for PCM",
         WaveBuilder()
             .Chunk("fmt ", WaveBuilder::Format(1, 1, 16, {5, 0}))
             .Chunk("data", data)
             .Build(),
         true, 1000, 1, 1, 0},
        {"extensible keeps its extra bytes",
         WaveBuilder()
             .Chunk("fmt ", WaveBuilder::Format(0xFFFE, 1, 16, extensible))
             .Chunk("data", data)
             .Build(),
         true, 1000, 0xFFFE, 1, 22},
        {"non-PCM record of 16 bytes has no extra",
         WaveBuilder().Chunk("fmt ", WaveBuilder::Format(3, 1, 32)).Chunk("data", data).Build(),
         true, 1000, 3, 1, 0},
        {"stereo opens; the page refuses it",
         WaveBuilder().Chunk("fmt ", WaveBuilder::Format(1, 2, 16)).Chunk("data", data).Build(),
         true, 1000, 1, 2, 0},
        {"data cut short", cutData, true, 600, 1, 1, 0},
        {"data size beyond the file",
         WaveBuilder().Chunk("fmt ", kPcmMono16).Chunk("data", data, 0xFFFFFFFF).Build(), true,
         1000, 1, 1, 0},
        {"riff size too large",
         WaveBuilder().Chunk("fmt ", kPcmMono16).Chunk("data", data).Build(0xFFFFFFF0), true, 1000,
         1, 1, 0},
        {"header cut short", cutHeader, false, 0, 0, 0, 0},
        {"not RIFF", rifx, false, 0, 0, 0, 0},
        {"format chunk too small",
         WaveBuilder().Chunk("fmt ", shortFmt).Chunk("data", data).Build(), false, 0, 0, 0, 0},
        {"extra size beyond its chunk",
         WaveBuilder()
             .Chunk("fmt ", WaveBuilder::Format(2, 1, 4, badExtra))
             .Chunk("data", data)
             .Build(),
         false, 0, 0, 0, 0},
        {"no data chunk", WaveBuilder().Chunk("fmt ", kPcmMono16).Build(), false, 0, 0, 0, 0},
        {"data before format still found",
         WaveBuilder().Chunk("data", data).Chunk("fmt ", kPcmMono16).Build(), true, 1000, 1, 1, 0},
        {"riff size hides the data chunk",
         WaveBuilder().Chunk("fmt ", kPcmMono16).Chunk("data", data).Build(4 + 24), false, 0, 0, 0,
         0},
        {"empty file", {}, false, 0, 0, 0, 0},
    };
}

TEST(WaveReader, OpensWhatItCanAndOffersOnlyTheBytesThere) {
    for (const ReaderCase& c : Cases()) {
        Opened o(c.file);
        EXPECT_EQ(o.ok, c.opens) << c.name;
        if (!o.ok || !c.opens)
            continue;
        EXPECT_EQ(o.reader.Size(), c.size) << c.name;
        EXPECT_EQ(o.reader.Format().formatTag, c.tag) << c.name;
        EXPECT_EQ(o.reader.Format().channels, c.channels) << c.name;
        EXPECT_EQ(o.reader.Format().extraSize, c.extraSize) << c.name;
        EXPECT_EQ(o.reader.Format().extra.size(), c.extraSize) << c.name;
        const std::vector<uint8_t> sound = o.ReadAll(333);
        const std::vector<uint8_t> ramp = Ramp(1000);
        ASSERT_EQ(sound.size(), c.size) << c.name;
        EXPECT_TRUE(std::equal(sound.begin(), sound.end(), ramp.begin())) << c.name;
    }
}

TEST(WaveReader, MissingFileIsRefused) {
    FakeSystem system;
    WaveReader reader;
    EXPECT_FALSE(reader.Open(system.OpenFile(u"none.wav", FileOpen::Read)));
    uint8_t byte;
    EXPECT_EQ(reader.Read(&byte, 1), 0u);
}

TEST(WaveReader, ReadsAcrossItsIoBufferAndRewinds) {
    const auto big = Ramp(20000);
    Opened o(
        WaveBuilder().Chunk("fmt ", kPcmMono16).Chunk("data", big).Chunk("LIST", Ramp(99)).Build());
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.ReadAll(4097), big) << "never past the data chunk into the LIST after it";
    ASSERT_TRUE(o.reader.Rewind());
    EXPECT_EQ(o.ReadAll(20000), big);
}

TEST(CSound, FillsTheWholeBufferAndPadsWithTheFormatsSilence) {
    struct Case {
        uint16_t bits;
        uint8_t silence;
    };
    for (const Case c : {Case{8, 128}, Case{16, 0}}) {
        FakeSystem system;
        system.files[u"x.wav"] = WaveBuilder()
                                     .Chunk("fmt ", WaveBuilder::Format(1, 1, c.bits))
                                     .Chunk("data", Ramp(10))
                                     .Build();
        auto reader = std::make_unique<WaveReader>();
        ASSERT_TRUE(reader->Open(system.OpenFile(u"x.wav", FileOpen::Read)));
        FakeSoundWorld world;
        auto state = std::make_shared<FakeBufferState>();
        state->memory.assign(16, 0xEE);
        CSound sound(std::make_unique<FakeBuffer>(world, state), std::move(reader),
                     kDsbCapsCtrl3D | kDsbCapsGlobalFocus);
        EXPECT_EQ(sound.CreationFlags(), 0x8010u);
        ASSERT_EQ(sound.FillBuffer(), kDsOk);
        EXPECT_EQ(state->written, 16u);
        const auto ramp = Ramp(10);
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(state->memory[i], i < 10 ? ramp[i] : c.silence)
                << c.bits << " bit, byte " << i;
        // A second fill starts again at the first byte of sound.
        state->memory.assign(16, 0xEE);
        sound.FillBuffer();
        EXPECT_EQ(state->memory[0], ramp[0]);
    }
}

TEST(CSound, RestoresALostBufferWaitingWhileItStaysLost) {
    FakeSystem system;
    system.files[u"x.wav"] = WaveBuilder().Chunk("fmt ", kPcmMono16).Chunk("data", Ramp(8)).Build();
    auto reader = std::make_unique<WaveReader>();
    ASSERT_TRUE(reader->Open(system.OpenFile(u"x.wav", FileOpen::Read)));
    FakeTestSoundPorts ports;
    auto state = std::make_shared<FakeBufferState>();
    state->memory.assign(8, 0);
    state->lost = true;
    state->restoresLost = 3;
    CSound sound(std::make_unique<FakeBuffer>(ports.world, state), std::move(reader), 0x8010);
    EXPECT_EQ(sound.RestoreBuffer(ports, 10, 200), kDsOk);
    EXPECT_EQ(state->restores, 4);
    EXPECT_EQ(ports.world.sleeps, (std::vector<uint32_t>{10, 10, 10}));
    EXPECT_EQ(state->memory, Ramp(8)) << "refilled after the restore";

    state->lost = true;
    state->restoresLost = 1000;
    EXPECT_EQ(sound.RestoreBuffer(ports, 10, 5), kDsErrBufferLost) << "gives up instead of hanging";
}

}  // namespace
}  // namespace panel_test
