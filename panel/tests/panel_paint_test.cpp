// What the pages look like: the painters' pictures read back pixel by pixel, and the raster,
// bitmap and menu readers they rest on.
#include <gtest/gtest.h>

#include "audio_control_dlg.h"
#include "eq_knob_scale.h"
#include "menu_template.h"
#include "panel_fakes.h"
#include "speaker_layout.h"

namespace panel_test {
namespace {

constexpr Rgb kCurve{100, 100, 100};

struct Painted : FakePanel {
    FakeModule* skin;

    Painted() {
        skin = &system.InstallSkin(u"English.dll");
        dlg.SetResourceModule(skin);
        dlg.IsDefaultSkin = 1;
    }
    Rgb At(int x, int y) const { return shell.screen.At(x, y); }
};

TEST(PanelPaint, EqualizerPageShowsKnobsEnableCurveAndPresets) {
    Painted p;
    p.dlg.EqKnobTop[3].y = 234;  // +6 dB
    p.dlg.EqPreset = 5;
    p.dlg.PaintEqualizerPage();
    EXPECT_EQ(p.At(0, 0), ColorOf(1042));
    EXPECT_EQ(p.At(279 + 8, 311 + 8), ColorOf(1036));
    EXPECT_EQ(p.At(375 + 8, 234 + 8), ColorOf(1036));
    EXPECT_EQ(p.At(273 + 40, 84 + 14), ColorOf(1044)) << "the equalizer is on";
    EXPECT_EQ(p.At(69 + 20, 357 + 20), ColorOf(1049)) << "Rock lit";
    EXPECT_EQ(p.At(69 + 20, 130 + 20), ColorOf(1042)) << "other presets unlit";
    // The curve: flat at the zero line, band 3's point 34 pixels above it.
    EXPECT_EQ(p.At(286, 173), kCurve);
    EXPECT_EQ(p.At(574, 173), kCurve);
    EXPECT_EQ(p.At(286 + 32 * 3, 173 - 34), kCurve);
    EXPECT_NE(p.At(286, 173 - 10), kCurve);
    EXPECT_EQ(p.At(40, 440), ColorOf(1042)) << "no logo over a default skin";

    p.driver.eqEnabled = 0;
    p.dlg.EqPressedButton = 1033;
    p.dlg.PaintEqualizerPage();
    EXPECT_EQ(p.dlg.EqDisabled, 1);
    EXPECT_EQ(p.At(273 + 40, 84 + 14), ColorOf(1042)) << "Enable unlit";
    EXPECT_EQ(p.At(445 + 40, 83 + 15), ColorOf(1033)) << "Save pressed";
    for (uint16_t id : {1035, 1038, 1047, 1041, 1050}) {
        const int y = id == 1035   ? 130
                      : id == 1038 ? 187
                      : id == 1047 ? 242
                      : id == 1041 ? 299
                                   : 357;
        EXPECT_EQ(p.At(69 + 25, y + 25), ColorOf(id)) << "greyed preset " << id;
    }

    // The device gone: the flag cannot be read and the last known state stays.
    p.driver.present = false;
    p.dlg.PaintEqualizerPage();
    EXPECT_EQ(p.dlg.EqDisabled, 1);
}

TEST(PanelPaint, CurveSegmentsAreJoinedParabolas) {
    Raster target(640, 480, {255, 255, 255});
    Painted p;
    p.dlg.DrawEqCurveSegment(0, 34, -34, target);
    // Zero slope at both band points; the first arc covers a quarter of the fall (its
    // constant is over 33 squared), and the second joins it from there.
    EXPECT_EQ(target.At(286, 173 - 34), kCurve);
    EXPECT_EQ(target.At(287, 173 - 34), kCurve);
    EXPECT_EQ(target.At(318, 173 + 34), kCurve);
    EXPECT_EQ(target.At(302, 173 - 18), kCurve);
    EXPECT_EQ(target.At(303, 173 - 11), kCurve);
    EXPECT_EQ(target.At(330, 173), (Rgb{255, 255, 255})) << "nothing past the segment";
    int lowest = 0;
    for (int y = 0; y < 480; ++y)
        if (target.At(318, y) == kCurve)
            lowest = y;
    EXPECT_EQ(lowest, 173 + 34 + 1) << "three pixels wide";
}

TEST(PanelPaint, SoundFieldBackgroundFollowsTheTypeAndLogoMarksForeignSkins) {
    const uint16_t expected[] = {1081, 1079, 1078, 1080, 1082, 1081, 1081};
    const int types[] = {0, 1, 2, 3, 4, 5, -1};
    for (int i = 0; i < 7; ++i) {
        Painted p;
        p.dlg.SoundFieldType = types[i];
        p.dlg.PaintSoundFieldPage();
        EXPECT_EQ(p.At(300, 300), ColorOf(expected[i])) << types[i];
    }
    Painted foreign;
    foreign.mic.endpoint = true;
    foreign.dlg.CoreAudioAvailable = 1;
    foreign.dlg.IsDefaultSkin = 0;
    for (int page = 0; page < 4; ++page) {
        foreign.dlg.CurrentPage = page;
        foreign.dlg.RepaintCurrentPage();
        EXPECT_EQ(foreign.At(31 + 50, 429 + 15), (Rgb{250, 200, 10})) << "logo on page " << page;
        EXPECT_EQ(foreign.At(31 + 2, 429 + 2), foreign.At(20, 420))
            << "the logo's green ground is transparent";
    }
    foreign.dlg.Virtual71Open = true;
    foreign.dlg.PaintSpeakerTestPage();
    EXPECT_EQ(foreign.At(31 + 50, 429 + 15), ColorOf(1125)) << "no logo with the 7.1 window open";
}

TEST(PanelPaint, SpeakerTestPageShowsMarkersFieldAndButtons) {
    Painted p;
    p.dlg.TestSource = 1;
    p.dlg.TestTrack = 2;
    p.dlg.PaintSpeakerTestPage();
    EXPECT_EQ(p.At(404 + 7, 197 + 7), ColorOf(1022));
    EXPECT_EQ(p.At(404 + 7, 180 + 7), ColorOf(1023));
    EXPECT_EQ(p.At(404 + 7, 293 + 7), ColorOf(1022));
    EXPECT_EQ(p.At(57 + 150, 99 + 150), ColorOf(1027));
    EXPECT_EQ(p.At(38 + 20, 394 + 15), ColorOf(1029));

    p.dlg.TestTrack = 3;
    p.dlg.SourceIconPosX = 100;
    p.dlg.SourceIconPosY = 150;
    p.dlg.TestPlaying = 1;
    p.dlg.PaintSpeakerTestPage();
    EXPECT_EQ(p.dlg.FieldBitmap, 1026);
    EXPECT_EQ(p.At(57 + 250, 99 + 250), ColorOf(1026));
    EXPECT_EQ(p.At(100 + 17, 150 + 17), ColorOf(1018)) << "the source icon inside the field";
    EXPECT_EQ(p.At(100 + 17, 150), ColorOf(1026)) << "its black border is transparent";
    EXPECT_EQ(p.At(327 + 20, 394 + 15), ColorOf(1017));

    p.dlg.Virtual71Open = true;
    p.dlg.PaintSpeakerTestPage();
    EXPECT_EQ(p.At(397 + 50, 85 + 20), ColorOf(1109));
    for (int i = 0; i < kSpeakerCount; ++i) {
        const IconCorner c = SpeakerIconCorner(p.dlg.SpeakerLayout[i].angle, 63);
        EXPECT_EQ(p.At(c.x + 12, c.y + 12), ColorOf(static_cast<uint16_t>(1117 + i))) << i;
    }
}

TEST(PanelPaint, SourceInFieldIsClampedShrunkAndRecorded) {
    Painted p;
    p.dlg.PaintSpeakerTestPage();
    p.dlg.DrawSourceInField(-5.0f, -5.0f, 0.0f, 1027, 1018);
    EXPECT_EQ(p.dlg.SourceIconPosX, 57);
    EXPECT_EQ(p.dlg.SourceIconPosY, 99);
    p.dlg.DrawSourceInField(5.0f, 5.0f, 0.0f, 1027, 1018);
    EXPECT_EQ(p.dlg.SourceIconPosX, 57 + 302 - 35);
    EXPECT_EQ(p.dlg.SourceIconPosY, 99 + 295 - 35);
    p.dlg.DrawSourceInField(0.0f, 0.0f, 5.0f, 1027, 1018);
    EXPECT_EQ(p.dlg.SourceIconPosX, 57 + 151 - 17);
    EXPECT_EQ(p.At(57 + 80 + 70, 99 + 110 + 80), ColorOf(1025)) << "the head over a shrunk source";

    p.shell.updatePending = true;
    p.dlg.DrawSourceInField(-5.0f, -5.0f, 0.0f, 1027, 1018);
    EXPECT_EQ(p.dlg.SourceIconPosX, 57 + 151 - 17) << "nothing while an update is pending";
}

TEST(PanelPaint, LevelMeterMeasuresTheBufferAndDrawsItsSegments) {
    Painted p;
    p.dlg.CoreAudioAvailable = 1;
    p.dlg.PaintMicrophonePage();
    EXPECT_EQ(p.At(300, 300), (Rgb{0, 0, 0})) << "mute unreadable: nothing reaches the window";
    p.mic.endpoint = true;
    p.dlg.PaintMicrophonePage();
    std::vector<uint8_t> buffer(400, 128);
    p.dlg.UpdateMicLevelMeter(buffer.data(), 400);
    EXPECT_EQ(p.dlg.MicLevel, 0);
    EXPECT_EQ(p.At(124 + 10, 319 + 6), ColorOf(1057));
    for (size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = i % 2 ? 255 : 0;  // a full-scale square wave: 127.5 on average
    p.dlg.UpdateMicLevelMeter(buffer.data(), 400);
    EXPECT_EQ(p.dlg.MicLevel, 95);
    std::fill(buffer.begin(), buffer.end(), 0);
    p.dlg.UpdateMicLevelMeter(buffer.data(), 400);
    EXPECT_EQ(p.dlg.MicLevel, 96);
    EXPECT_EQ(p.At(124 + 10, 319 + 6), ColorOf(1058));
    EXPECT_EQ(p.At(124 + 199, 319 + 6), ColorOf(1058));
    EXPECT_EQ(p.At(124 + 200, 319 + 6), ColorOf(1057)) << "the track holds 48 segments";

    p.dlg.MicMonitorStopping = 1;
    std::fill(buffer.begin(), buffer.end(), 128);
    p.dlg.UpdateMicLevelMeter(buffer.data(), 400);
    EXPECT_EQ(p.dlg.MicLevel, 96) << "a stopping monitor's buffers are not measured";
}

TEST(PanelScale, KnobPositionsAndGainsMapBothWays) {
    EXPECT_FLOAT_EQ(EqKnobGain(234), 1.9952623f);
    EXPECT_FLOAT_EQ(EqKnobGain(311), 1.0f);
    EXPECT_FLOAT_EQ(EqKnobGain(388), 0.25118864f);
    EXPECT_EQ(EqKnobTopForGain(1.0f), 311);
    EXPECT_EQ(EqKnobTopForGain(1.0592537f), 307) << "0.5 dB takes the lower slope";
    EXPECT_EQ(EqKnobTopForGain(1.9952623f), 234);
    EXPECT_EQ(EqKnobTopForGain(0.25118864f), 388);
    EXPECT_GT(EqKnobTopForGain(0.0f), 388) << "a zero gain stays defined";
}

TEST(PanelScale, SpeakerMappings) {
    EXPECT_EQ(SpeakerIconCorner(0.0f, 0).x, 193);
    EXPECT_EQ(SpeakerIconCorner(0.0f, 0).y, 234);
    const IconCorner corner = SpeakerIconCorner(2.35619259f, 200);
    EXPECT_EQ(corner.x, 60);
    EXPECT_EQ(corner.y, 99) << "the top clamp lands at 99";
    const SpeakerPlace place = SpeakerFromCorner(193 - 63, 234);
    EXPECT_EQ(place.distance, 63);
    EXPECT_NEAR(place.angle, 3.14159f, 1e-5);
    EXPECT_GE(SpeakerFromCorner(193, 300).angle, 0.0f);
    EXPECT_NEAR(SpeakerLevel(0), 1.5849f, 1e-4);
    EXPECT_NEAR(SpeakerLevel(63), 0.7079f, 1e-4);
    EXPECT_NEAR(SpeakerLevel(144), 0.2512f, 1e-4);
    EXPECT_EQ(SpeakerBarPosition(SpeakerLevel(0)), 158);
    EXPECT_EQ(SpeakerBarPosition(SpeakerLevel(63)), 70);
}

TEST(PanelRaster, DibReaderTakesEveryDepthAndRefusesWhatDoesNotFit) {
    Raster picture(3, 2);
    picture.Set(0, 0, {1, 2, 3});
    picture.Set(2, 1, {200, 100, 50});
    std::vector<uint8_t> dib = EncodeDib24(picture);
    Raster back;
    ASSERT_TRUE(DecodeDib(dib.data(), dib.size(), &back));
    EXPECT_EQ(back.At(0, 0), (Rgb{1, 2, 3}));
    EXPECT_EQ(back.At(2, 1), (Rgb{200, 100, 50}));

    // An 8-bit top-down picture with a two-colour table.
    std::vector<uint8_t> indexed(40 + 8 + 8, 0);
    indexed[0] = 40;
    indexed[4] = 2;
    indexed[8] = 0xFE, indexed[9] = 0xFF, indexed[10] = 0xFF, indexed[11] = 0xFF;  // height -2
    indexed[12] = 1;
    indexed[14] = 8;
    indexed[32] = 2;
    indexed[40 + 4 + 2] = 255;  // colour 1: red
    indexed[48 + 1] = 1;        // first row: colour 0, colour 1
    ASSERT_TRUE(DecodeDib(indexed.data(), indexed.size(), &back));
    EXPECT_EQ(back.At(1, 0), (Rgb{255, 0, 0}));
    EXPECT_EQ(back.At(0, 0), (Rgb{0, 0, 0}));

    for (size_t cut = 0; cut < dib.size(); ++cut)
        EXPECT_FALSE(DecodeDib(dib.data(), cut, &back)) << cut;
    std::vector<uint8_t> hostile = dib;
    hostile[4] = 0xFF, hostile[5] = 0xFF, hostile[6] = 0xFF, hostile[7] = 0x7F;  // huge width
    EXPECT_FALSE(DecodeDib(hostile.data(), hostile.size(), &back));
    hostile = dib;
    hostile[16] = 1;  // run-length compressed
    EXPECT_FALSE(DecodeDib(hostile.data(), hostile.size(), &back));
}

TEST(PanelMenu, TemplateReaderBuildsTheTreeAndRefusesBrokenOnes) {
    std::vector<uint8_t> bytes;
    auto skin = MakeSkin(u"x");
    ASSERT_TRUE(skin->FindResource(kResourceMenu, 1073, &bytes));
    PopupMenuItem bar;
    ASSERT_TRUE(ParseMenuTemplate(bytes.data(), bytes.size(), &bar));
    ASSERT_EQ(bar.children.size(), 1u);
    ASSERT_EQ(bar.children[0].children.size(), 3u);
    EXPECT_EQ(bar.children[0].children[0].children[0].id, 32900u);
    EXPECT_TRUE(bar.children[0].children[1].separator);
    for (size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_FALSE(ParseMenuTemplate(bytes.data(), cut, &bar)) << cut;
    // Popups nested past any sensible depth are refused rather than followed.
    std::vector<uint8_t> deep = {0, 0, 0, 0};
    for (int i = 0; i < 100; ++i)
        deep.insert(deep.end(), {0x10, 0, 'a', 0, 0, 0});
    EXPECT_FALSE(ParseMenuTemplate(deep.data(), deep.size(), &bar));
}

}  // namespace
}  // namespace panel_test
