// The mouse on the main dialog and the settings file behind it: what a click, a drag and a
// release send to the driver, which page they lead to, and what survives in the file.
#include <gtest/gtest.h>

#include <cmath>

#include "audio_control_dlg.h"
#include "eq_knob_scale.h"
#include "eq_preset_table.h"
#include "panel_fakes.h"

namespace panel_test {
namespace {

const std::u16string kSettings = u"C:\\ProgramData\\QEXAudioEQAndMicData.dat";

struct Clicks : FakePanel {
    Clicks() {
        dlg.SetResourceModule(&system.InstallSkin(u"English.dll"));
        dlg.IsDefaultSkin = 1;
        discovery.PlugHeadset();
        dlg.OnInitDialog();
    }
    void Click(int x, int y) {
        dlg.OnLButtonDown(x, y);
        dlg.OnLButtonUp(x, y);
    }
    void Drag(int x, int y0, int y1) {
        dlg.OnLButtonDown(x, y0);
        for (int y = y0; y != y1; y += y1 > y0 ? 1 : -1)
            dlg.OnMouseMove(x, y);
        dlg.OnMouseMove(x, y1);
        dlg.OnLButtonUp(x, y1);
    }
};

std::vector<uint8_t> Values(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> bytes;
    for (uint32_t v : values)
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return bytes;
}

uint32_t Bits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return bits;
}

TEST(PanelTabs, ReleasesChooseThePageAndExitHides) {
    Clicks c;
    c.shell.visible = true;
    c.Click(471, 40);  // where the EQ and EFFT tabs overlap
    EXPECT_EQ(c.dlg.CurrentPage, SoundFieldPage);
    c.Click(540, 40);
    EXPECT_EQ(c.dlg.CurrentPage, MicrophonePage);
    c.Click(590, 40);
    EXPECT_EQ(c.dlg.CurrentPage, SpeakerTestPage);
    EXPECT_EQ(c.shell.boxes.back().text, u"There is a Error!");
    c.Click(430, 40);
    EXPECT_EQ(c.dlg.CurrentPage, EqualizerPage);
    c.Click(570, 440);
    EXPECT_FALSE(c.shell.visible);
    EXPECT_EQ(c.dlg.CurrentPage, EqualizerPage) << "EXIT keeps the page";

    const int before = c.shell.handCursors;
    c.dlg.OnMouseMove(10, 10);
    EXPECT_EQ(c.shell.handCursors, before);
    c.dlg.OnMouseMove(600, 60);
    c.dlg.OnMouseMove(279 + 8, 311 + 8);
    c.dlg.OnLButtonDblClk(77, 140);
    EXPECT_EQ(c.shell.handCursors, before + 3);
}

TEST(PanelEqualizer, KnobDragSendsTheScaleGainAndStopsAtTheEnds) {
    Clicks c;
    c.Drag(375 + 8, 311 + 8, 200);
    EXPECT_EQ(c.dlg.EqKnobTop[3].y, 234);
    EXPECT_FLOAT_EQ(c.driver.gains[3], 1.9952623f);
    c.Drag(375 + 8, 234 + 8, 470);
    EXPECT_EQ(c.dlg.EqKnobTop[3].y, 388);
    EXPECT_FLOAT_EQ(c.driver.gains[3], 0.25118864f);
    EXPECT_EQ(c.dlg.Dragging, 0);
    EXPECT_EQ(c.dlg.GrabbedKnob, -1);
    // The release saved the file with the new gain in band 3's slot.
    const std::vector<uint8_t>& file = c.system.files.at(kSettings);
    ASSERT_GE(file.size(), 16u);
    uint32_t bits = 0;
    std::memcpy(&bits, file.data() + 12, 4);
    EXPECT_EQ(bits, Bits(0.25118864f));

    // A double click grabs with its first press only.
    c.dlg.OnLButtonDblClk(375 + 8, 388 + 8);
    EXPECT_EQ(c.dlg.Dragging, 0);
}

TEST(PanelEqualizer, PresetsResetAndTheDisabledState) {
    Clicks c;
    c.Click(90, 380);  // Rock
    EXPECT_EQ(c.dlg.EqPreset, 5);
    for (int band = 0; band < 10; ++band) {
        EXPECT_EQ(c.dlg.EqKnobTop[band].y, kEqPresets[4].knobTopY[band]);
        EXPECT_EQ(c.driver.gains[band], DecibelsToLinearGain(kEqPresets[4].gainDb[band]));
    }
    c.Click(400, 100);  // Reset
    EXPECT_EQ(c.dlg.EqPreset, 0);
    for (int band = 0; band < 10; ++band)
        EXPECT_EQ(c.driver.gains[band], 1.0f);

    c.Click(300, 100);  // Enable: off
    EXPECT_EQ(c.driver.eqEnabled, 0u);
    EXPECT_EQ(c.dlg.EqDisabled, 1);
    const int sets = c.driver.bandSets;
    c.Click(90, 150);           // TBass does nothing while off
    c.Drag(279 + 8, 319, 250);  // nor can a knob be grabbed
    EXPECT_EQ(c.driver.bandSets, sets);
    EXPECT_EQ(c.dlg.EqKnobTop[0].y, 311);
    c.Click(300, 100);  // Enable: on again
    EXPECT_EQ(c.driver.eqEnabled, 1u);
    EXPECT_EQ(c.dlg.EqDisabled, 0);
}

TEST(PanelPresets, SaveLoadAndDeleteThroughTheDialog) {
    Clicks c;
    c.Click(90, 380);  // Rock
    c.dialogs.script = {"select Anything", "type Mine", "ok"};
    c.Click(490, 100);  // Save
    EXPECT_EQ(c.dialogs.title, u"Save");
    EXPECT_EQ(c.dialogs.okText, u"Save");
    EXPECT_TRUE(c.dialogs.editShown);
    EXPECT_EQ(c.dialogs.okStates, (std::vector<bool>{false, false, true}))
        << "OK waits for a name; a selection does not enable it";
    EXPECT_EQ(c.dialogs.moveX, 700) << "the dialog opens at the pointer";
    FakeRegistry::Node* mine = c.registry.Find(u"Software\\QEXAudioEQ\\Mine");
    ASSERT_NE(mine, nullptr);
    for (int band = 0; band < 10; ++band)
        EXPECT_EQ(mine->values[std::u16string(1, u'0' + band)].second,
                  static_cast<uint32_t>(kEqPresets[4].knobTopY[band]));

    // A preset with a missing and a wrong-type value: those bands go to 300.
    FakeRegistry::Node* odd = c.registry.Find(u"Software\\QEXAudioEQ");
    auto& partial = odd->keys[u"Partial"];
    partial = std::make_unique<FakeRegistry::Node>();
    partial->values[u"0"] = {true, 250};
    partial->values[u"1"] = {false, 260};
    partial->values[u"2"] = {true, 9999};
    c.Click(400, 100);  // Reset
    c.dialogs.script = {"ok", "select Partial", "ok"};
    c.Click(230, 100);  // Load
    EXPECT_EQ(c.dialogs.title, u"Open");
    EXPECT_EQ(c.dialogs.list, (std::vector<std::u16string>{u"Mine", u"Partial"}));
    EXPECT_EQ(c.dialogs.okStates.back(), true);
    EXPECT_EQ(c.dlg.EqKnobTop[0].y, 250);
    EXPECT_EQ(c.dlg.EqKnobTop[1].y, 300);
    EXPECT_EQ(c.dlg.EqKnobTop[2].y, 300) << "a position off the track counts as unreadable";
    EXPECT_EQ(c.dlg.EqKnobTop[9].y, 300);
    EXPECT_FLOAT_EQ(c.driver.gains[0], EqKnobGain(250));
    EXPECT_FLOAT_EQ(c.driver.gains[9], EqKnobGain(300));

    c.dialogs.script = {"select Mine", "ok"};
    c.Click(570, 100);  // Delete
    EXPECT_EQ(c.registry.Find(u"Software\\QEXAudioEQ\\Mine"), nullptr);
    EXPECT_NE(c.registry.Find(u"Software\\QEXAudioEQ\\Partial"), nullptr);
    EXPECT_TRUE(c.shell.boxes.empty());
    EXPECT_EQ(c.registry.openKeys, 0) << "every key opened is closed again";

    // Cancel changes nothing; names with a backslash nest, and writes that fail say so.
    c.dialogs.script = {"type a\\b", "ok"};
    c.Click(490, 100);
    ASSERT_NE(c.registry.Find(u"Software\\QEXAudioEQ\\a\\b"), nullptr);
    c.dialogs.script = {"cancel"};
    c.Click(230, 100);
    EXPECT_EQ(c.dialogs.list, (std::vector<std::u16string>{u"Partial", u"a"}));
    c.registry.failWrites = true;
    c.dialogs.script = {"type Other", "ok"};
    c.Click(490, 100);
    ASSERT_FALSE(c.shell.boxes.empty());
    EXPECT_EQ(c.shell.boxes.back().text, u"Save Error!!");
    c.dialogs.script = {"ok"};
    c.Click(570, 100);  // Delete with nothing selected: OK stays grey, nothing happens
    EXPECT_EQ(c.shell.boxes.size(), 1u);
}

TEST(PanelSoundField, ButtonsSendTheirTypeOnlyWhenItChanges) {
    Clicks c;
    c.Click(480, 40);
    const struct {
        int x;
        uint32_t type;
    } buttons[] = {{90, 1}, {170, 4}, {250, 0}, {320, 3}, {400, 2}};
    for (const auto& b : buttons) {
        c.driver.soundField = 99;
        c.Click(b.x, 380);
        EXPECT_EQ(c.dlg.SoundFieldType, static_cast<int>(b.type));
        EXPECT_EQ(c.driver.soundField, b.type);
    }
    c.driver.soundField = 99;
    c.Click(400, 380);
    EXPECT_EQ(c.driver.soundField, 99u) << "the shown type is not sent again";
}

TEST(PanelSettings, LoadAppliesWhatTheFileHoldsInRangeAndInOrder) {
    Clicks c;
    c.mic.endpoint = true;
    c.dlg.CoreAudioAvailable = 1;
    std::vector<uint8_t> file;
    const float gains[10] = {0.25f, 2.0f, 1.5f, 4.0f, 0.1f, 1.0f, 1.0f, 1.0f, NAN, 0.5f};
    for (float g : gains) {
        const std::vector<uint8_t> v = Values({Bits(g)});
        file.insert(file.end(), v.begin(), v.end());
    }
    const std::vector<uint8_t> rest = Values({80, 1, 1, 3});
    file.insert(file.end(), rest.begin(), rest.end());
    c.system.files[kSettings] = file;
    c.dlg.LoadPanelSettings();
    EXPECT_EQ(c.driver.gains[0], 0.25f);
    EXPECT_EQ(c.driver.gains[1], 2.0f);
    EXPECT_EQ(c.driver.gains[2], 1.5f);
    EXPECT_EQ(c.driver.gains[3], 1.0f) << "4.0 is out of range";
    EXPECT_EQ(c.driver.gains[4], 1.0f);
    EXPECT_EQ(c.driver.gains[8], 1.0f) << "NaN is out of range";
    EXPECT_EQ(c.driver.gains[9], 0.5f);
    EXPECT_EQ(c.dlg.EqKnobTop[3].y, 311);
    EXPECT_EQ(c.mic.volume, 80u);
    EXPECT_EQ(c.dlg.MicKnobPosY, 328 - 80 * 171 / 100);
    EXPECT_EQ(c.dlg.MicMute, 1);
    EXPECT_EQ(c.dlg.MicBoost, 1);
    EXPECT_EQ(c.dlg.SoundFieldType, 3);
    EXPECT_EQ(c.driver.soundField, 3u);

    // A file of gains only: Windows untouched, the dialog shows mute and boost off.
    c.mic.volume = 40;
    c.system.files[kSettings].resize(40);
    c.dlg.LoadPanelSettings();
    EXPECT_EQ(c.mic.volume, 40u);
    EXPECT_EQ(c.dlg.MicMute, 0);
    EXPECT_EQ(c.dlg.MicBoost, 0);
    EXPECT_EQ(c.dlg.SoundFieldType, 3);

    for (size_t length = 0; length < 56; length += 3) {
        c.system.files[kSettings] = std::vector<uint8_t>(length, 0xFF);
        c.dlg.LoadPanelSettings();  // any length, any content
    }
}

TEST(PanelSettings, SaveKeepsEverySlotInPlace) {
    Clicks c;
    // Unplugged: nothing can be read, so nothing is written over the old file.
    const std::vector<uint8_t> old = Values({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    c.system.files[kSettings] = old;
    c.driver.present = false;
    c.dlg.SavePanelSettings();
    EXPECT_EQ(c.system.files[kSettings], old);

    // The driver back, the microphone still missing: the gains land in their slots, the
    // microphone and sound-field slots keep their old values.
    c.driver.present = true;
    c.driver.gains[9] = 0.5f;
    c.dlg.SavePanelSettings();
    const std::vector<uint8_t>& file = c.system.files[kSettings];
    ASSERT_EQ(file.size(), 56u);
    uint32_t v = 0;
    std::memcpy(&v, file.data() + 36, 4);
    EXPECT_EQ(v, Bits(0.5f));
    std::memcpy(&v, file.data() + 40, 4);
    EXPECT_EQ(v, 11u);
    std::memcpy(&v, file.data() + 52, 4);
    EXPECT_EQ(v, 14u);

    c.mic.endpoint = true;
    c.dlg.CoreAudioAvailable = 1;
    c.mic.volume = 66;
    c.driver.soundField = 2;
    c.dlg.SavePanelSettings();
    std::memcpy(&v, file.data() + 40, 4);
    EXPECT_EQ(v, 66u);
    std::memcpy(&v, file.data() + 52, 4);
    EXPECT_EQ(v, 2u);
}

}  // namespace
}  // namespace panel_test
