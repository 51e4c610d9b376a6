// The speaker-test page: the test sound as DirectSound sees it, the source's motions and
// drags, and the virtual 7.1 window with what it sends to the driver.
#include <gtest/gtest.h>

#include <cmath>

#include "audio_control_dlg.h"
#include "panel_fakes.h"
#include "panel_texts.h"
#include "test_sound_fakes.h"

namespace panel_test {
namespace {

constexpr int kVirtual71X = 420, kVirtual71Y = 100;
constexpr int kPlayX = 60, kPlayY = 410, kPauseX = 350, kPauseY = 410;
constexpr int kTrackX = 410;
constexpr int kTrackY[5] = {265, 282, 300, 318, 336};
constexpr int kBeeY = 205;

struct Page {
    // The sound and the 7.1 window outlive the dialog that uses them.
    FakeMachine machine;
    FakeSystem& system = machine.system;
    FakeShell& shell = machine.shell;
    FakeDiscovery& discovery = machine.discovery;
    FakeDriver& driver = machine.driver;
    FakeMicrophone& mic = machine.mic;
    FakeTestSoundPorts sound;
    FakeVirtual71Window window;
    CQEXAudioControlDlg dlg{machine.Ports()};

    explicit Page(bool enter = true) {
        dlg.SetResourceModule(&system.InstallSkin(u"English.dll"));
        dlg.IsDefaultSkin = 1;
        discovery.PlugHeadset();
        dlg.SetTestSoundPorts(&sound, &window);
        window.onCreate = [this] { dlg.Virtual71Window.OnInitDialog(); };
        dlg.OnInitDialog();
        const auto mono = WaveBuilder()
                              .Chunk("fmt ", WaveBuilder::Format(1, 1, 16))
                              .Chunk("data", Ramp(4410))
                              .Build();
        system.files[dlg.MusicFilePath] = mono;
        system.files[dlg.BeeFilePath] = mono;
        if (enter)
            Click(590, 40);
    }
    void Click(int x, int y) {
        dlg.OnLButtonDown(x, y);
        dlg.OnLButtonUp(x, y);
    }
    void ClickV71(int x, int y) {
        dlg.Virtual71Window.OnLButtonDown(x, y);
        dlg.Virtual71Window.OnLButtonUp(x, y);
    }
    void Drag(int x0, int y0, int x1, int y1) {
        dlg.OnLButtonDown(x0, y0);
        dlg.OnMouseMove(x1, y1);
        dlg.OnLButtonUp(x1, y1);
    }
    IconCorner Corner(int i) {
        return SpeakerIconCorner(dlg.SpeakerLayout[i].angle, dlg.SpeakerLayout[i].distance);
    }
    std::vector<std::u16string> Texts() {
        std::vector<std::u16string> out;
        for (const auto& b : shell.boxes)
            out.push_back(b.text);
        return out;
    }
};

TEST(TestSound, EnteringThePageSetsUpDirectSound) {
    Page p;
    EXPECT_TRUE(p.shell.boxes.empty());
    EXPECT_EQ(p.sound.world.devices, 1);
    EXPECT_EQ(p.sound.world.cooperativeLevel, kDsCoopPriority);
    ASSERT_EQ(p.sound.world.buffers.size(), 2u);
    EXPECT_EQ(p.sound.world.buffers[0]->description.flags, kDsbCapsPrimaryBuffer);
    const SoundFormat& f = p.sound.world.buffers[0]->primaryFormat;
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.samplesPerSec, 44100u);
    EXPECT_EQ(f.bitsPerSample, 16);
    EXPECT_EQ(f.blockAlign, 4);
    EXPECT_EQ(f.avgBytesPerSec, 176400u);
    EXPECT_EQ(p.sound.world.buffers[1]->description.flags, kDsbCapsPrimaryBuffer | kDsbCapsCtrl3D);
    EXPECT_NE(p.dlg.Listener, nullptr);

    p.Click(440, 40);  // leaving for the equalizer releases everything
    EXPECT_EQ(p.sound.world.devices, 0);
    EXPECT_EQ(p.sound.world.listener->released, 1);
}

TEST(TestSound, DirectSoundFailuresShowTheirStatus) {
    struct Case {
        SoundStatus device, cooperative;
        bool listener;
        const char16_t* text;
    };
    for (const Case c :
         {Case{kDsErrNoDriver, kDsOk, true, u"Error initializing DirectSound.(0x88780078)"},
          Case{kDsOk, kDsErrInvalidParam, true, u"Error initializing DirectSound.(0x80070057)"},
          Case{kDsOk, kDsOk, false, u"Error initializing DirectSound.(0x80070057)"}}) {
        Page p(false);
        p.sound.world.createDevice = c.device;
        p.sound.world.cooperative = c.cooperative;
        p.sound.world.listenerAvailable = c.listener;
        p.Click(590, 40);
        ASSERT_EQ(p.shell.boxes.size(), 2u);
        EXPECT_EQ(p.shell.boxes[0].text, c.text);
        EXPECT_EQ(p.shell.boxes[0].caption, u"QEX Ampfx Suite");
        EXPECT_EQ(p.shell.boxes[0].type, kMbIconError);
        EXPECT_EQ(p.shell.boxes[1].text, u"There is a Error!");
        EXPECT_EQ(p.dlg.CurrentPage, SpeakerTestPage) << "the page shows anyway";
        EXPECT_EQ(p.sound.world.devices, 0) << "nothing half-made is kept";
    }
}

TEST(TestSound, PlayMakesAHeadRelativeLoopingSourceAndStartsTheMotion) {
    Page p;
    p.Click(kPlayX, kPlayY);
    FakeBufferState* b = p.sound.world.Secondary();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->description.flags, 0x8010u);
    EXPECT_TRUE(b->description.algorithm == kDs3dAlgNoVirtualization);
    EXPECT_EQ(b->memory.size(), 4410u);
    EXPECT_EQ(b->memory, Ramp(4410));
    EXPECT_TRUE(b->playing);
    EXPECT_EQ(b->playFlags, kDsbPlayLooping);
    EXPECT_EQ(b->params.mode, kDs3dModeHeadRelative);
    EXPECT_EQ(b->params.minDistance, 0.01f);
    EXPECT_EQ(b->params.maxDistance, 0.01f);
    EXPECT_EQ(p.sound.world.listener->params.rolloffFactor, 1.0f);
    EXPECT_EQ(p.sound.world.listener->params.dopplerFactor, 1.0f);
    EXPECT_EQ(p.dlg.TestPlaying, 1);
    EXPECT_EQ(p.shell.timers.count(1), 1u);
    EXPECT_EQ(p.shell.timers[1], 0u);

    p.sound.world.timeMs = 1570;  // t = 1.57 s: a quarter turn
    p.dlg.OnTimer(1);
    EXPECT_NEAR(b->params.position.x, 4 * std::sin(1.57f), 1e-6);
    EXPECT_EQ(b->params.position.y, 0.0f);
    EXPECT_NEAR(b->params.position.z, 4 * std::cos(1.57f), 1e-6);
    EXPECT_NEAR(b->params.velocity.x, 4 * std::sin(1.62f), 1e-5);
    p.Click(kTrackX, kTrackY[1]);
    p.dlg.OnTimer(1);
    EXPECT_EQ(b->params.position.z, 0.0f) << "the vertical circle";
    EXPECT_NEAR(b->params.position.y, 4 * std::cos(1.57f), 1e-6);

    p.Click(kPauseX, kPauseY);
    EXPECT_FALSE(b->playing);
    EXPECT_EQ(b->position, 0u);
    EXPECT_EQ(p.dlg.TestPlaying, 0);
    EXPECT_EQ(p.shell.timers.count(1), 0u);
}

TEST(TestSound, UnplayableFilesAreRefusedWithTheirMessage) {
    struct Case {
        std::vector<uint8_t> file;
        const char16_t* text;
    };
    const auto data = Ramp(100);
    for (const Case& c : {Case{WaveBuilder()
                                   .Chunk("fmt ", WaveBuilder::Format(1, 2, 16))
                                   .Chunk("data", data)
                                   .Build(),
                               u"Wave file must be mono for 3D control."},
                          Case{WaveBuilder()
                                   .Chunk("fmt ", WaveBuilder::Format(3, 1, 32))
                                   .Chunk("data", data)
                                   .Build(),
                               u"Wave file must be PCM for 3D control."},
                          Case{std::vector<uint8_t>(44, 0x11), u"Invalid wave file format."},
                          Case{{}, u"Invalid wave file format."}}) {
        Page p;
        p.system.files[p.dlg.MusicFilePath] = c.file;
        p.Click(kPlayX, kPlayY);
        EXPECT_EQ(p.Texts(), std::vector<std::u16string>{c.text});
        EXPECT_EQ(p.sound.world.Secondary(), nullptr) << "nothing plays";
        EXPECT_EQ(p.dlg.TestPlaying, 0);
    }
    Page gone;
    gone.system.files.erase(gone.dlg.MusicFilePath);
    gone.Click(kPlayX, kPlayY);
    EXPECT_EQ(gone.Texts(), std::vector<std::u16string>{u"Invalid wave file format."});
}

TEST(TestSound, BufferTroublesAreReportedAndLeaveItStopped) {
    {
        Page p;
        p.sound.world.secondary = kDsNoVirtualization;
        p.Click(kPlayX, kPlayY);
        ASSERT_EQ(p.shell.boxes.size(), 1u);
        EXPECT_EQ(p.shell.boxes[0].caption, u"DirectSound Sample");
        EXPECT_EQ(p.shell.boxes[0].text.rfind(u"The 3D virtualization algorithm requested", 0), 0u);
        EXPECT_EQ(p.dlg.TestPlaying, 0);
    }
    {
        Page p;
        p.sound.world.secondary = kDsErrOutOfMemory;
        p.Click(kPlayX, kPlayY);
        EXPECT_TRUE(p.shell.boxes.empty()) << "other creation failures are silent";
    }
    {
        Page p;
        p.sound.world.play = kDsErrInvalidParam;
        p.Click(kPlayX, kPlayY);
        ASSERT_EQ(p.shell.boxes.size(), 1u);
        EXPECT_EQ(p.shell.boxes[0].text, u"Error playing DirectSound buffer.Sample will now exit.");
        EXPECT_EQ(p.shell.boxes[0].type, kMbIconError);
        EXPECT_EQ(p.dlg.TestPlaying, 0);
        EXPECT_TRUE(p.shell.quits.empty()) << "the panel goes on";
    }
}

TEST(TestSound, ChoosingTheBeeWhilePlayingRestartsWithTheBeeFile) {
    Page p;
    p.system.files[p.dlg.BeeFilePath] =
        WaveBuilder().Chunk("fmt ", WaveBuilder::Format(1, 1, 16)).Chunk("data", Ramp(300)).Build();
    p.Click(kPlayX, kPlayY);
    FakeBufferState* music = p.sound.world.Secondary();
    p.Click(kTrackX, kBeeY);
    FakeBufferState* bee = p.sound.world.Secondary();
    EXPECT_NE(bee, music);
    EXPECT_FALSE(music->playing);
    EXPECT_EQ(bee->memory.size(), 300u);
    EXPECT_TRUE(bee->playing);
    EXPECT_EQ(p.dlg.SourceIcon, 1021);
}

TEST(TestSound, ManualTrackCentresTheSourceAndBackToACircleRestartsTheTimer) {
    Page p;
    p.Click(kPlayX, kPlayY);
    FakeBufferState* b = p.sound.world.Secondary();
    p.sound.world.timeMs = 1000;
    p.dlg.OnTimer(1);
    ASSERT_FALSE(b->params.position == (SoundVector{0, 0, 0}));

    p.Click(kTrackX, kTrackY[3]);
    EXPECT_EQ(p.dlg.TestTrack, 3);
    EXPECT_EQ(p.shell.timers.count(1), 0u);
    EXPECT_EQ(b->params.position, (SoundVector{0, 0, 0}));
    EXPECT_EQ(b->params.velocity, (SoundVector{0, 0, 0}));
    // The icon (35 by 35) sits in the middle of the field.
    EXPECT_EQ(p.dlg.SourceIconPosX, 57 + 302 / 2 - 17);
    EXPECT_EQ(p.dlg.SourceIconPosY, 99 + 295 / 2 - 17);

    // Dragging it to the field's right edge in the middle: X = +5 on the horizontal plane.
    p.dlg.FieldBitmap = 1026;
    const int grabX = p.dlg.SourceIconPosX + 5, grabY = p.dlg.SourceIconPosY + 5;
    p.dlg.OnLButtonDown(grabX, grabY);
    ASSERT_EQ(p.dlg.Dragging, 1);
    p.dlg.OnMouseMove(57 + 298 - 17 + 5, 99 + 295 / 2 - 17 + 5);
    EXPECT_NEAR(b->params.position.x, 5.0f, 0.04f);
    EXPECT_EQ(b->params.position.y, 0.0f);
    EXPECT_NEAR(b->params.position.z, 0.0f, 0.04f);
    EXPECT_EQ(b->params.velocity, b->params.position);
    p.dlg.OnLButtonUp(0, 0);

    p.Click(kTrackX, kTrackY[0]);
    EXPECT_EQ(p.shell.timers.count(1), 1u);
}

TEST(TestSound, RandomWalkStaysInsideItsSquareAndTurnsAtTheEdges) {
    Page p;
    p.Click(kTrackX, kTrackY[2]);
    p.Click(kPlayX, kPlayY);
    FakeBufferState* b = p.sound.world.Secondary();
    int minX = 1000, maxX = -1, minY = 1000, maxY = -1;
    p.shell.updatePending = true;  // no drawing: only the walk is of interest here
    for (uint32_t seed : {1u, 12345u}) {
        p.dlg.SeedRandom(seed);
        for (int tick = 0; tick < 3000; ++tick) {
            const int oldX = p.dlg.WalkX, oldY = p.dlg.WalkY;
            p.dlg.OnTimer(1);
            const int x = p.dlg.WalkX, y = p.dlg.WalkY;
            ASSERT_TRUE(x >= 8 && x <= 269 && y >= 8 && y <= 264) << x << "," << y;
            ASSERT_LE(std::abs(x - oldX), 1);
            ASSERT_LE(std::abs(y - oldY), 1);
            ASSERT_TRUE(x != oldX || y != oldY) << "every tick moves";
            minX = std::min(minX, x), maxX = std::max(maxX, x);
            minY = std::min(minY, y), maxY = std::max(maxY, y);
        }
    }
    EXPECT_TRUE(minX == 8 || minY == 8 || maxX == 269 || maxY == 264) << "it reached an edge";
    p.shell.updatePending = false;
    p.dlg.OnTimer(1);
    EXPECT_FLOAT_EQ(b->params.position.x, (2.0f * p.dlg.WalkX / 302 - 1) * 5);
    EXPECT_FLOAT_EQ(b->params.position.y, (2.0f * p.dlg.WalkY / 302 - 1) * 5);
    EXPECT_EQ(p.dlg.SourceIconPosX, p.dlg.WalkX + 57);

    // The release on the page reseeds the generator from the tick count.
    p.Click(10, 10);
    EXPECT_EQ(p.dlg.RandomState, 12345u);
}

TEST(TestSound, TheWalkDrawsLikeTheCRuntime) {
    Page p(false);
    p.dlg.SeedRandom(1);
    EXPECT_EQ(p.dlg.Random(), 41);
    EXPECT_EQ(p.dlg.Random(), 18467);
    EXPECT_EQ(p.dlg.Random(), 6334);
}

TEST(TestSound, LostBufferIsRestoredAndRefilledBeforePlaying) {
    Page p;
    p.sound.world.newBuffersLost = true;
    p.sound.world.restoresLost = 2;
    p.Click(kPlayX, kPlayY);
    FakeBufferState* b = p.sound.world.Secondary();
    EXPECT_TRUE(b->playing);
    EXPECT_EQ(b->restores, 3);
    EXPECT_EQ(p.sound.world.sleeps, (std::vector<uint32_t>{10, 10}));
    EXPECT_EQ(b->memory, Ramp(4410));
    EXPECT_TRUE(p.shell.boxes.empty());
}

// The virtual 7.1 window.

struct Open71 : Page {
    Open71() {
        shell.originX = 100, shell.originY = 50;
        Click(kVirtual71X, kVirtual71Y);
    }
};

TEST(Virtual71, OpeningPlacesItsBarsAndSwitchesTheEffectOn) {
    Open71 p;
    ASSERT_TRUE(p.dlg.Virtual71WindowExists());
    EXPECT_EQ(p.window.templateId, 1110);
    EXPECT_EQ(p.window.placeX, 480);
    EXPECT_EQ(p.window.placeY, 175);
    EXPECT_EQ(p.window.placeW, 239);
    EXPECT_EQ(p.window.placeH, 136);
    EXPECT_EQ(p.window.fontFace, u"Arial");
    EXPECT_EQ(p.window.fontTenths, 90);
    const uint16_t ids[8] = {1003, 1005, 1004, 1006, 1008, 1010, 1007, 1009};
    for (int i = 0; i < 8; ++i) {
        const auto& bar = p.window.bars[ids[i]];
        EXPECT_EQ(bar.x, 5 + (i % 4) * 58) << i;
        EXPECT_EQ(bar.y, i < 4 ? 76 : 106) << i;
        EXPECT_EQ(bar.w, 53);
        EXPECT_EQ(bar.h, 10);
        EXPECT_EQ(bar.high, 160);
        EXPECT_EQ(bar.pos, 70) << "-3 dB is 0.7079";
    }
    EXPECT_EQ(p.driver.virtual71, 1u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_FLOAT_EQ(p.driver.levels[i], SpeakerLevel(63));
        EXPECT_EQ(p.driver.angles[i], kDefaultSpeakerLayout[i].angle);
    }
}

TEST(Virtual71, PlusAndMinusMoveEverySpeakerAndStopAtTheEnds) {
    struct Step {
        int x;
        int presses;
        int distance;
    };
    Open71 p;
    for (const Step s : {Step{60, 4, 27}, Step{60, 3, 0}, Step{60, 2, 0}}) {
        for (int i = 0; i < s.presses; ++i)
            p.ClickV71(s.x, 15);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(p.dlg.SpeakerLayout[i].distance, s.distance);
    }
    EXPECT_EQ(p.dlg.Virtual71Window.Virtual71Mode, 0);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(p.Corner(i).x, 193);
        EXPECT_EQ(p.Corner(i).y, 234);
    }
    EXPECT_NEAR(p.driver.levels[0], 1.5849f, 1e-4);

    Open71 m;
    for (int i = 0; i < 9; ++i)
        m.ClickV71(40, 15);
    EXPECT_EQ(m.dlg.SpeakerLayout[3].distance, 144);
    m.ClickV71(40, 15);
    EXPECT_EQ(m.dlg.SpeakerLayout[3].distance, 144);
    EXPECT_NEAR(m.driver.levels[3], 0.2512f, 1e-4);
    EXPECT_EQ(m.window.bars[1006].pos, 25);
}

TEST(Virtual71, ResetRestoresTheLayoutAndMoveOneMode) {
    Open71 p;
    p.ClickV71(40, 15);
    p.ClickV71(130, 15);  // mode 2: turning
    EXPECT_EQ(p.dlg.Virtual71Window.Virtual71Mode, 2);
    EXPECT_EQ(p.shell.timers[3], 50u);
    p.dlg.OnTimer(3);
    p.ClickV71(10, 40);
    EXPECT_EQ(p.dlg.Virtual71Window.Virtual71Mode, 4);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(p.dlg.SpeakerLayout[i].angle, kDefaultSpeakerLayout[i].angle);
        EXPECT_EQ(p.dlg.SpeakerLayout[i].distance, 63);
    }
    EXPECT_FLOAT_EQ(p.driver.levels[5], SpeakerLevel(63));
    p.dlg.OnTimer(3);
    EXPECT_EQ(p.shell.timers.count(3), 0u) << "the timer stops itself outside modes 1 and 2";
}

TEST(Virtual71, ModeTwoTurnsOnceAroundIn180Ticks) {
    for (int mode : {1, 2}) {
        Open71 p;
        p.ClickV71(mode == 1 ? 100 : 130, 15);
        for (int tick = 0; tick < 180; ++tick) {
            p.dlg.OnTimer(3);
            for (const SpeakerPlace& s : p.dlg.SpeakerLayout)
                ASSERT_TRUE(s.angle >= 0 && s.angle <= 6.28318f) << s.angle;
        }
        for (int i = 0; i < 8; ++i) {
            float d = std::fabs(p.dlg.SpeakerLayout[i].angle - kDefaultSpeakerLayout[i].angle);
            d = std::min(d, std::fabs(d - 6.28318f));
            EXPECT_LT(d, 2e-3f) << "mode " << mode << " speaker " << i;
        }
        EXPECT_EQ(p.driver.angles[2], p.dlg.SpeakerLayout[2].angle);
    }
}

TEST(Virtual71, LabelsShowTheBarsInWholeDecibels) {
    EXPECT_EQ(CVirtual71Control::LabelText(0, 70), "L:  -3dB");
    EXPECT_EQ(CVirtual71Control::LabelText(2, 100), "C:  0dB");
    EXPECT_EQ(CVirtual71Control::LabelText(3, 158), "Sub:3dB");
    EXPECT_EQ(CVirtual71Control::LabelText(5, 25), "Rs: -12dB");
    EXPECT_EQ(CVirtual71Control::LabelText(7, 0), "Rb: -40dB") << "no logarithm of zero";

    Open71 p;
    p.window.bars[1004].pos = 100;
    p.window.bars[1003].pos = 158;
    p.dlg.Virtual71Window.OnPaint();
    ASSERT_EQ(p.window.texts.size(), 8u);
    EXPECT_EQ(p.window.texts[0], "L:  3dB");
    EXPECT_EQ(p.window.texts[2], "C:  0dB");
    // The label sits on the bar's top edge at its left edge.
    const WindowRect r = p.dlg.Virtual71Window.LabelRects[0];
    EXPECT_EQ(r.left, 5);
    EXPECT_EQ(r.bottom, 76);
    EXPECT_EQ(r.top, 76 - 13);
    EXPECT_EQ(p.window.shown.At(6, 70), FakeVirtual71Window::kInk);
    EXPECT_EQ(p.window.shown.At(200, 130), ColorOf(1113));
    // Mode 4 shows its picture.
    EXPECT_EQ(p.window.shown.At(210, 15), ColorOf(1115));
}

TEST(Virtual71, DraggingASpeakerInModeFourMovesItAndClampsAtTheField) {
    Open71 p;
    const IconCorner c = p.Corner(0);
    p.Drag(c.x + 3, c.y + 4, 0, 0);
    EXPECT_EQ(p.dlg.SelectedSpeaker, 0);
    const SpeakerPlace expected = SpeakerFromCorner(58, 100);
    EXPECT_EQ(p.dlg.SpeakerLayout[0].distance, expected.distance);
    EXPECT_EQ(p.dlg.SpeakerLayout[0].angle, expected.angle);
    EXPECT_EQ(p.Corner(0).x, 60);
    EXPECT_EQ(p.Corner(0).y, 99);
    EXPECT_FLOAT_EQ(p.driver.levels[0], SpeakerLevel(expected.distance));
    EXPECT_EQ(p.driver.angles[0], expected.angle);
    EXPECT_EQ(p.driver.virtual71, 1u);
    for (int i = 1; i < 8; ++i)
        EXPECT_EQ(p.dlg.SpeakerLayout[i].distance, 63) << "the others stay";

    struct Clamp {
        int x, y, cx, cy;
    };
    for (const Clamp k :
         {Clamp{400, 400, 328, 367}, Clamp{57, 200, 57, 200}, Clamp{329, 200, 329, 200},
          Clamp{200, 99, 200, 99}, Clamp{200, 368, 200, 368}, Clamp{330, 369, 328, 367}}) {
        const IconCorner now = p.Corner(1);
        p.Drag(now.x, now.y, k.x, k.y);
        EXPECT_EQ(p.dlg.SelectedSpeaker, 1);
        const SpeakerPlace want = SpeakerFromCorner(k.cx, k.cy);
        EXPECT_EQ(p.dlg.SpeakerLayout[1].distance, want.distance) << k.x;
        EXPECT_EQ(p.dlg.SpeakerLayout[1].angle, want.angle) << k.x;
    }
}

TEST(Virtual71, DraggingInModeThreeTurnsAllByTheSameAngle) {
    Open71 p;
    p.ClickV71(170, 15);
    ASSERT_EQ(p.dlg.Virtual71Window.Virtual71Mode, 3);
    const IconCorner c = p.Corner(3);                              // Sub, at angle 0
    const SpeakerPlace target = SpeakerFromCorner(193, 234 - 63);  // straight up
    p.Drag(c.x + 1, c.y + 1, 193 + 1, 234 - 63 + 1);
    const float delta = target.angle - 0.0f;
    for (int i = 0; i < 8; ++i) {
        float want = kDefaultSpeakerLayout[i].angle + delta;
        if (want > 6.28318f)
            want -= 6.28318f;
        EXPECT_FLOAT_EQ(p.dlg.SpeakerLayout[i].angle, want) << i;
        EXPECT_EQ(p.dlg.SpeakerLayout[i].distance, 63) << i;
    }
    // Mode 1 and 2 do not drag.
    Open71 q;
    q.ClickV71(100, 15);
    const IconCorner d = q.Corner(3);
    q.Drag(d.x + 1, d.y + 1, 100, 300);
    EXPECT_EQ(q.dlg.SpeakerLayout[3].angle, 0.0f);
}

TEST(Virtual71, EveryWayOutSwitchesTheEffectOff) {
    struct Way {
        const char* name;
        std::function<void(Page&)> leave;
        float level0;  // what the closing block carries
    };
    const float on = SpeakerLevel(63);
    for (const Way& w : {
             Way{"the button again", [](Page& p) { p.Click(kVirtual71X, kVirtual71Y); }, on},
             Way{"WM_CLOSE", [](Page& p) { p.dlg.Virtual71Window.OnClose(); }, on},
             Way{"equalizer tab", [](Page& p) { p.Click(440, 40); }, 0.0f},
             Way{"sound-field tab", [](Page& p) { p.Click(490, 40); }, 0.0f},
             Way{"microphone tab", [](Page& p) { p.Click(540, 40); }, 0.0f},
             Way{"EXIT", [](Page& p) { p.Click(560, 440); }, 0.0f},
             Way{"device removal",
                 [](Page& p) {
                     p.driver.present = false;
                     p.dlg.OnDeviceChange(kDbtDeviceRemoveComplete);
                 },
                 0.0f},
         }) {
        Open71 p;
        ASSERT_EQ(p.driver.virtual71, 1u) << w.name;
        const int sends = p.driver.virtual71Sends;
        w.leave(p);
        EXPECT_FALSE(p.dlg.Virtual71WindowExists()) << w.name;
        EXPECT_FALSE(p.window.exists) << w.name;
        if (p.driver.present) {
            EXPECT_GT(p.driver.virtual71Sends, sends) << w.name;
            EXPECT_EQ(p.driver.virtual71, 0u) << w.name;
            EXPECT_FLOAT_EQ(p.driver.levels[0], w.level0) << w.name;
        }
    }
}

TEST(Virtual71, OpeningStopsTheTestSoundAndTheWindowFollowsTheMainWindow) {
    Page p;
    p.Click(kPlayX, kPlayY);
    ASSERT_EQ(p.dlg.TestPlaying, 1);
    p.Click(kVirtual71X, kVirtual71Y);
    EXPECT_EQ(p.dlg.TestPlaying, 0);
    EXPECT_FALSE(p.sound.world.Secondary()->playing);
    // Clicks on the page's buttons do nothing while the window is open.
    p.Click(kPlayX, kPlayY);
    EXPECT_EQ(p.dlg.TestPlaying, 0);

    p.shell.originX = 10, p.shell.originY = 20;
    p.dlg.OnMove();
    EXPECT_EQ(p.window.placeX, 390);
    EXPECT_EQ(p.window.placeY, 145);
    EXPECT_EQ(p.window.placeW, 239);
    EXPECT_EQ(p.window.placeH, 136);
}

TEST(Virtual71, HitSpeakerTakesTheFirstIconWhoseBoxHoldsThePoint) {
    Open71 p;
    for (SpeakerPlace& s : p.dlg.SpeakerLayout)
        s.distance = 0;  // all eight on one spot
    const IconCorner c = p.Corner(0);
    p.dlg.SelectedSpeaker = 5;
    EXPECT_FALSE(p.dlg.Virtual71Window.HitSpeaker(c.x + 26, c.y, true)) << "right edge outside";
    EXPECT_FALSE(p.dlg.Virtual71Window.HitSpeaker(c.x, c.y - 1, true));
    EXPECT_EQ(p.dlg.SelectedSpeaker, 5);
    EXPECT_TRUE(p.dlg.Virtual71Window.HitSpeaker(c.x + 25, c.y + 25, false));
    EXPECT_EQ(p.dlg.SelectedSpeaker, 5) << "without the flag nothing is selected";
    EXPECT_TRUE(p.dlg.Virtual71Window.HitSpeaker(c.x, c.y, true));
    EXPECT_EQ(p.dlg.SelectedSpeaker, 0);
}

TEST(Virtual71, HandCursorOnlyOverTheToolbar) {
    Open71 p;
    const int before = p.shell.handCursors;
    p.dlg.Virtual71Window.OnMouseMove(60, 10);
    p.dlg.Virtual71Window.OnMouseMove(233, 25);
    p.dlg.Virtual71Window.OnMouseMove(5, 40);
    EXPECT_EQ(p.shell.handCursors, before + 3);
    p.dlg.Virtual71Window.OnMouseMove(234, 25);
    p.dlg.Virtual71Window.OnMouseMove(37, 40);
    p.dlg.Virtual71Window.OnMouseMove(100, 100);
    EXPECT_EQ(p.shell.handCursors, before + 3);
}

}  // namespace
}  // namespace panel_test
