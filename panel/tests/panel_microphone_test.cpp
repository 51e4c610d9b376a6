// The microphone through Windows: Core Audio's endpoint and topology walk, the mixer's lines,
// the notification objects, and the microphone page that drives them.
#include <gtest/gtest.h>

#include <thread>

#include "audio_control_dlg.h"
#include "panel_fakes.h"
#include "volume_fakes.h"
#include "windows_volume.h"

namespace panel_test {
namespace {

const std::u16string kCapture = u"Microphone (USB Audio Device)";

FakeCoreAudio::Endpoint Headset(std::vector<FakeCoreAudio::Unit> subunits = {{false, 0},
                                                                             {true, 1}}) {
    FakeCoreAudio::Endpoint e;
    e.name = kCapture;
    e.subunits = std::move(subunits);
    return e;
}

TEST(WindowsVolume, CoreAudioOperationsWorkOnTheMatchingEndpoint) {
    FakeCoreAudio core;
    FakeMixer mixer;
    WindowsVolume volume(core, mixer);
    uint32_t value = 7;
    EXPECT_EQ(volume.GetMicVolume(kCapture, &value), 1) << "no endpoint";
    EXPECT_EQ(volume.SetMicMute(kCapture, 1), 1);
    EXPECT_EQ(volume.GetMicBoost(kCapture, &value), 1);
    EXPECT_EQ(value, 7u);

    core.endpoints.push_back({u"Line In (Realtek)", 10, 11, 0, {}});
    core.endpoints.push_back(Headset());
    core.endpoints.push_back(Headset());
    core.endpoints[2].step = 99;
    EXPECT_EQ(volume.GetMicVolume(kCapture, &value), 0);
    EXPECT_EQ(value, 50u) << "the first matching endpoint";
    EXPECT_EQ(volume.SetMicVolume(kCapture, 30), 0);
    EXPECT_FLOAT_EQ(core.lastScalar, 0.3f);
    EXPECT_EQ(core.endpoints[1].step, 30u);
    EXPECT_EQ(volume.SetMicMute(kCapture, 1), 0);
    EXPECT_EQ(volume.GetMicMute(kCapture, &value), 0);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(volume.GetMicBoost(kCapture, &value), 0);
    EXPECT_EQ(value, 1u) << "the second subunit carries the gain control";
    EXPECT_EQ(volume.SetMicBoost(kCapture, 0), 0);
    EXPECT_EQ(core.endpoints[1].subunits[1].enabled, 0);
    EXPECT_EQ(core.live, 0) << "every interface released";
    EXPECT_EQ(core.comDepth, 0);
}

TEST(WindowsVolume, TopologyWalkReportsTheStepThatFailed) {
    for (int step = 2; step <= 10; ++step) {
        FakeCoreAudio core;
        FakeMixer mixer;
        core.endpoints.push_back(Headset());
        core.failStep = step;
        WindowsVolume volume(core, mixer);
        uint32_t boost = 0;
        EXPECT_EQ(volume.GetMicBoost(kCapture, &boost), step);
        EXPECT_EQ(volume.SetMicBoost(kCapture, 1), 1) << step;
        EXPECT_EQ(core.live, 0) << step;
    }
    FakeCoreAudio core;
    FakeMixer mixer;
    WindowsVolume volume(core, mixer);
    core.endpoints.push_back(Headset({}));
    uint32_t boost = 5;
    EXPECT_EQ(volume.GetMicBoost(kCapture, &boost), 0) << "no subunit at all";
    EXPECT_EQ(boost, 5u);
    core.endpoints[0].subunits = {{false, 0}, {false, 0}};
    EXPECT_NE(volume.GetMicBoost(kCapture, &boost), 0) << "no automatic gain control";
    EXPECT_NE(volume.SetMicBoost(kCapture, 1), 0);
}

TEST(WindowsVolume, CallbacksRegisterOnceAndCountReferences) {
    FakeCoreAudio core;
    FakeMixer mixer;
    core.endpoints.push_back(Headset());
    WindowsVolume volume(core, mixer);
    EXPECT_EQ(volume.RegisterMicCallbacks(kCapture), 0);
    EXPECT_EQ(volume.RegisterMicCallbacks(kCapture), 0);
    EXPECT_EQ(core.volumeCallbacks.size(), 1u) << "one registration at a time";
    EXPECT_TRUE(volume.HoldsEndpointVolume());
    EXPECT_EQ(volume.UnregisterMicCallbacks(kCapture), 0);
    EXPECT_TRUE(core.volumeCallbacks.empty());
    EXPECT_FALSE(volume.HoldsEndpointVolume());
    EXPECT_EQ(core.live, 0);

    MicNotifyObject& object = volume.VolumeCallback();
    void* out = nullptr;
    EXPECT_EQ(object.QueryInterface(kIidUnknown, &out), 0);
    EXPECT_EQ(out, &object);
    EXPECT_EQ(object.QueryInterface(kIidAudioEndpointVolumeCallback, &out), 0);
    EXPECT_EQ(object.References(), 3u);
    EXPECT_EQ(object.QueryInterface(kIidControlChangeNotify, &out),
              static_cast<int32_t>(0x80004002));
    EXPECT_EQ(out, nullptr);
    object.Release();
    object.Release();
    EXPECT_EQ(object.Release(), 0u) << "the process's own object survives its count";
    EXPECT_EQ(object.OnNotify(false), static_cast<int32_t>(0x80070057));
}

TEST(WindowsVolume, MixerFindsTheHeadsetLineAndItsControls) {
    FakeCoreAudio core;
    FakeMixer mixer;
    WindowsVolume volume(core, mixer);
    uint32_t value = 0, minimum = 1, maximum = 1;
    EXPECT_EQ(volume.MixerMicControl(0, &value, &minimum, &maximum), 0) << "no mixer";

    mixer.devices.push_back({false, u"USB Audio Device", {0x50030001}, {}, {}});
    mixer.devices.push_back({true, u"Realtek HD Audio", {0x50030001}, {}, {}});
    FakeMixer::Device headset{true, u"USB Headphone Set", {0x50030001, 0x20010002}, {}, {}};
    headset.sources = {{0x1008, {0x20010001}}, {0x1003, {0x20010001}}};
    headset.values[0x50030001] = 4000;
    mixer.devices.push_back(headset);

    EXPECT_EQ(volume.MixerMicControl(0, &value, &minimum, &maximum), 1);
    EXPECT_EQ(value, 4000u);
    EXPECT_EQ(maximum, 65535u);
    value = 9;
    EXPECT_EQ(volume.MixerMicControl(3, &value, nullptr, nullptr), 1);
    EXPECT_EQ(mixer.devices[2].values[0x20010002], 1u) << "set as a Boolean";
    value = 1;
    EXPECT_EQ(volume.MixerMicControl(5, &value, nullptr, nullptr), 1)
        << "boost on the microphone source line, past a line of another type";
    EXPECT_EQ(volume.MixerMicControl(4, &value, nullptr, nullptr), 1);
    EXPECT_EQ(value, 1u);
    mixer.devices[2].sources[1].first = 0x1008;
    EXPECT_EQ(volume.MixerMicControl(4, &value, nullptr, nullptr), 0);
    EXPECT_EQ(mixer.openMixers, 0);
    EXPECT_EQ(volume.MixerMicControl(6, &value, nullptr, nullptr), 0);
}

struct MicPanel {
    FakeMachine machine;
    FakeCoreAudio core;
    FakeMixer mixer;
    WindowsVolume volume{core, mixer};
    CQEXAudioControlDlg* dlg = nullptr;
    std::unique_ptr<CQEXAudioControlDlg> owned;

    explicit MicPanel(uint32_t major) {
        machine.system.major = major;
        machine.discovery.PlugHeadset();
        machine.waveIn.devices = {u"Realtek Mic", u"Microphone (USB Audio Device)"};
        core.endpoints.push_back(Headset());
        PanelPorts ports = machine.Ports();
        owned = std::make_unique<CQEXAudioControlDlg>(
            PanelPorts{ports.system, ports.shell, ports.discovery, ports.driver, volume,
                       ports.registry, ports.dialogs, ports.waveIn});
        dlg = owned.get();
        volume.SetNotifyHandlers(
            [this] { machine.shell.PostPanelNotification(kNotifyEndpointVolume); },
            [this] { machine.shell.PostPanelNotification(kNotifyControlChange); });
        dlg->SetResourceModule(&machine.system.InstallSkin(u"English.dll"));
        dlg->IsDefaultSkin = 1;
        dlg->OnInitDialog();
    }
    void Click(int x, int y) {
        dlg->OnLButtonDown(x, y);
        dlg->OnLButtonUp(x, y);
    }
    void Drag(int x0, int y0, int y1) {
        dlg->OnLButtonDown(x0, y0);
        dlg->OnMouseMove(x0, y1);
        dlg->OnLButtonUp(x0, y1);
    }
};

TEST(MicrophonePage, EnteringStartsTheMonitorAndLeavingStopsIt) {
    MicPanel p(6);
    p.core.endpoints[0].step = 80;
    p.Click(540, 40);
    EXPECT_EQ(p.dlg->CurrentPage, MicrophonePage);
    EXPECT_EQ(p.dlg->MicKnobPosY, 328 - 80 * 171 / 100);
    EXPECT_EQ(p.dlg->MicBoost, 1);
    EXPECT_EQ(p.core.volumeCallbacks.size(), 1u);
    EXPECT_EQ(p.core.partCallbacks.size(), 1u);
    EXPECT_TRUE(p.machine.waveIn.open);
    EXPECT_EQ(p.machine.waveIn.openedDevice, 1u) << "the headset's wave-in, not the first";
    EXPECT_EQ(p.machine.waveIn.queued, 2);
    p.dlg->OnWaveInOpen();
    EXPECT_EQ(p.dlg->MicMonitorRunning, 1);

    p.Click(480, 40);  // to the sound-field page
    EXPECT_FALSE(p.machine.waveIn.open);
    EXPECT_EQ(p.dlg->MicMonitorRunning, 0);
    EXPECT_TRUE(p.core.volumeCallbacks.empty());
    EXPECT_TRUE(p.core.partCallbacks.empty());
    EXPECT_EQ(p.core.live, 0);
}

TEST(MicrophonePage, SliderMuteAndBoostOnBothPaths) {
    MicPanel core(6);
    core.Click(540, 40);
    const int knobY = core.dlg->MicKnobPosY;
    core.Drag(592, knobY + 8, 157 + 8);
    EXPECT_EQ(core.dlg->MicKnobPosY, 157);
    EXPECT_EQ(core.core.endpoints[0].step, 100u) << "through Core Audio when the mixer fails";
    core.Drag(592, 157 + 8, 400);
    EXPECT_EQ(core.dlg->MicKnobPosY, 157) << "outside the slider the knob stays";
    core.Drag(592, 157 + 8, 328 + 8);
    EXPECT_EQ(core.core.endpoints[0].step, 0u);

    core.Click(450, 320);  // Mute
    EXPECT_EQ(core.core.endpoints[0].mute, 1);
    EXPECT_EQ(core.dlg->MicMute, 1);
    core.core.endpoints[0].subunits = {{false, 0}};
    core.Click(450, 210);  // Boost, on hardware without gain control
    EXPECT_EQ(core.dlg->MicBoost, 0);
    ASSERT_FALSE(core.machine.shell.boxes.empty());
    EXPECT_EQ(core.machine.shell.boxes.back().text,
              u"QEX4430 Audio Device do not have boost function!");

    MicPanel mixer(5);
    mixer.Click(540, 40);
    mixer.Drag(592, mixer.dlg->MicKnobPosY + 8, 200);
    ASSERT_FALSE(mixer.machine.shell.boxes.empty());
    EXPECT_EQ(mixer.machine.shell.boxes.back().text, u"The USB Audio Device Not Plug-in!0");
    EXPECT_EQ(mixer.dlg->Dragging, 0);
    mixer.Click(450, 320);
    EXPECT_EQ(mixer.machine.shell.boxes.back().text, u"The USB Audio Device Not Plug-in!2");
}

TEST(MicrophonePage, ChangesMadeElsewhereReachThePageOnlyWhileItIsShown) {
    MicPanel p(6);
    p.Click(540, 40);
    p.core.endpoints[0].step = 20;
    // Windows calls from its own notification thread; the page follows on the panel's.
    std::thread windows([&] { p.core.volumeCallbacks[0]->OnNotify(true); });
    windows.join();
    ASSERT_EQ(p.machine.shell.posted, std::vector<uint32_t>{kNotifyEndpointVolume});
    p.dlg->OnPanelNotification(kNotifyEndpointVolume);
    EXPECT_EQ(p.dlg->MicKnobPosY, 328 - 20 * 171 / 100);

    p.core.endpoints[0].mute = 1;
    p.core.endpoints[0].step = 90;
    p.dlg->OnPanelNotification(kNotifyEndpointVolume);
    EXPECT_EQ(p.dlg->MicMute, 1);
    // The repaint reads the volume again, so the knob shows what Windows holds.
    EXPECT_EQ(p.dlg->MicKnobPosY, 328 - 90 * 171 / 100);

    p.core.endpoints[0].subunits[1].enabled = 0;
    p.dlg->OnPanelNotification(kNotifyControlChange);
    EXPECT_EQ(p.dlg->MicBoost, 0);

    p.Click(430, 40);
    p.core.endpoints[0].step = 60;
    p.dlg->OnPanelNotification(kNotifyEndpointVolume);
    EXPECT_EQ(p.dlg->MicKnobPosY, 328 - 90 * 171 / 100) << "another page: nothing happens";
}

}  // namespace
}  // namespace panel_test
