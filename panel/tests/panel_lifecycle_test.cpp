// The panel's life as Windows drives it: start-up, the tray, the headset coming and going,
// the readiness poll, skins and the way out.
#include <gtest/gtest.h>

#include "audio_control_app.h"
#include "device_discovery.h"
#include "panel_fakes.h"
#include "panel_texts.h"

namespace panel_test {
namespace {

struct Panel : FakePanel {
    CQEXAudioControlApp app{system, shell, dlg};

    Panel() {
        system.InstallSkin(u"English.dll");
        shell.onCreate = [this] { dlg.OnInitDialog(); };
    }
    bool Start(const std::u16string& switches = u"") {
        system.tail = switches;
        system.commandLine += u" " + switches;
        return app.InitInstance();
    }
};

std::u16string Texts(const FakeShell& shell) {
    std::u16string all;
    for (const FakeShell::Box& box : shell.boxes)
        all += box.text + u"\n";
    return all;
}

TEST(PanelStartup, ElevatesOnceOnVersionSixAndEndsTheUnelevatedProcess) {
    Panel panel;
    panel.system.major = 6;
    EXPECT_FALSE(panel.Start(u"-QEXNOUI"));
    ASSERT_EQ(panel.system.runas.size(), 1u);
    EXPECT_EQ(panel.system.runas[0].first, u"C:\\Windows\\system32\\QX_AudioControl.exe");
    EXPECT_EQ(panel.system.runas[0].second, u"-QEXNOUI -QEXUAC");
    EXPECT_FALSE(panel.shell.created);

    Panel elevated;
    elevated.system.major = 6;
    EXPECT_TRUE(elevated.Start(u"-QEXNOUI -QEXUAC"));
    EXPECT_TRUE(elevated.system.runas.empty());
    EXPECT_EQ(elevated.dlg.CoreAudioAvailable, 1);
}

TEST(PanelStartup, SecondInstanceEndsSilentlyAndAMissingSkinIsReported) {
    Panel panel;
    panel.system.mutexes.insert(kMutexName);
    EXPECT_FALSE(panel.Start());
    EXPECT_TRUE(panel.shell.boxes.empty());
    EXPECT_EQ(panel.shell.quits, std::vector<int>{0});
    EXPECT_FALSE(panel.shell.created);

    for (int variant = 0; variant < 3; ++variant) {
        Panel broken;
        if (variant == 0)
            broken.system.profile.clear();  // no "Skin Path"
        else if (variant == 1)
            broken.system.modules.clear();  // the library cannot be mapped
        else
            broken.system.modules.begin()->second->hasIsDefault = false;
        EXPECT_FALSE(broken.Start()) << variant;
        EXPECT_EQ(Texts(broken.shell), u"Can not find the Resource Directory\n") << variant;
        EXPECT_EQ(broken.shell.quits, std::vector<int>{0});
    }
}

TEST(PanelStartup, InitialisationLeavesTheDriverFlatAndTheWindowPlaced) {
    Panel panel;
    panel.discovery.PlugHeadset();
    for (float& gain : panel.driver.gains)
        gain = 1.5f;
    ASSERT_TRUE(panel.Start());
    for (float gain : panel.driver.gains)
        EXPECT_EQ(gain, 1.0f);
    for (const KnobCorner& knob : panel.dlg.EqKnobTop)
        EXPECT_EQ(knob.y, 311);
    EXPECT_EQ(panel.dlg.EqKnobTop[5].x, 438);
    EXPECT_EQ(panel.driver.virtual71, 0u);
    EXPECT_EQ(panel.driver.noiseClean, 0u);  // switched off once the device is found
    EXPECT_EQ(panel.shell.placeX, 100);
    EXPECT_EQ(panel.shell.placeW, 640);
    EXPECT_EQ(panel.shell.placeH, 480);
    EXPECT_EQ(panel.shell.title, u"QEX USB Ampfx Suite");
    EXPECT_EQ(panel.shell.timers.at(2), 500u);
    EXPECT_TRUE(panel.shell.colorKey);
    EXPECT_TRUE(panel.shell.notifications);
    EXPECT_EQ(panel.driver.open.size(), 1u) << "one cached handle, the start-up ones closed";
    EXPECT_EQ(panel.system.files.at(u"C:\\Temp\\Bee4410.wav").size(), 44u);
    EXPECT_EQ(panel.system.files.at(u"C:\\Temp\\Music4410.wav").size(), 46u);
}

TEST(PanelStartup, WindowAndTrayFollowThePresenceAndTheSwitch) {
    struct Case {
        bool headset;
        const char16_t* switches;
        bool visible;
        int icon;
    } cases[] = {
        {true, u"", true, 1091},
        {true, u"-QEXNOUI", false, 1091},
        {false, u"", false, 1088},
        {false, u"-QEXNOUI", false, 1088},
    };
    for (const Case& c : cases) {
        Panel panel;
        if (c.headset)
            panel.discovery.PlugHeadset();
        ASSERT_TRUE(panel.Start(c.switches));
        EXPECT_EQ(panel.shell.visible, c.visible);
        EXPECT_EQ(panel.shell.centred, std::u16string(c.switches).empty());
        EXPECT_EQ(panel.shell.trayIcon, c.icon);
        EXPECT_EQ(panel.dlg.DevicePresent, c.headset ? 1 : 0);
    }
}

TEST(PanelTray, DoubleClickShowsThePanelOrSaysWhyNot) {
    Panel absent;
    ASSERT_TRUE(absent.Start(u"-QEXNOUI"));
    absent.dlg.OnTrayCallback(kWmLButtonDblClk);
    EXPECT_EQ(Texts(absent.shell),
              u"Device not detected or The system default audio device is not QEX4410/4420\n");
    EXPECT_FALSE(absent.shell.visible);

    Panel present;
    present.discovery.PlugHeadset();
    ASSERT_TRUE(present.Start(u"-QEXNOUI"));
    present.dlg.CurrentPage = SoundFieldPage;
    present.dlg.OnTrayCallback(kWmLButtonDblClk);
    EXPECT_TRUE(present.shell.visible);
    EXPECT_EQ(present.dlg.CurrentPage, EqualizerPage);
    EXPECT_TRUE(present.shell.boxes.empty());
}

TEST(PanelTray, MenuListsNamedSkinsWithTheCurrentOneChecked) {
    Panel panel;
    panel.system.InstallSkin(u"Chinese.dll", false).displayName = u"简体中文";
    panel.system.InstallSkin(u"Nameless.dll", false).displayName = u"";
    panel.system.InstallSkin(u"NoExport.dll", false).hasName = false;
    panel.system.InstallSkin(u"Trad.dll", false).displayName = u"繁體中文";
    panel.system.skinFolderListing.insert(panel.system.skinFolderListing.begin(), u".");
    ASSERT_TRUE(panel.Start());
    panel.dlg.OnTrayCallback(kWmRButtonDown);
    ASSERT_EQ(panel.shell.menus.size(), 1u);
    const PopupMenuItem& tray = panel.shell.menus[0];
    ASSERT_EQ(tray.children.size(), 3u);
    EXPECT_TRUE(tray.children[1].separator);
    EXPECT_EQ(tray.children[2].id, kCommandClose);
    const PopupMenuItem& skins = tray.children[0];
    EXPECT_EQ(skins.text, u"Change Skin");
    ASSERT_EQ(skins.children.size(), 3u);
    EXPECT_EQ(skins.children[0].id, 32900u);
    EXPECT_EQ(skins.children[0].text, u"Test Skin");
    EXPECT_TRUE(skins.children[0].checked);
    EXPECT_EQ(skins.children[1].id, 32901u);
    EXPECT_EQ(skins.children[1].text, u"简体中文");
    EXPECT_FALSE(skins.children[1].checked);
    EXPECT_EQ(skins.children[2].id, 32902u);
    EXPECT_EQ(skins.children[2].text, u"繁體中文");
}

TEST(PanelSkins, AMenuEntrySwitchesToTheLibraryItNames) {
    Panel panel;
    panel.discovery.PlugHeadset();
    panel.system.InstallSkin(u"Chinese.dll", false).displayName = u"简体中文";
    panel.system.InstallSkin(u"Nameless.dll", false).displayName = u"";
    panel.system.InstallSkin(u"NoExport.dll", false).hasName = false;
    FakeModule& traditional = panel.system.InstallSkin(u"Trad.dll", false);
    traditional.displayName = u"繁體中文";
    ASSERT_TRUE(panel.Start());
    panel.dlg.OnTrayCallback(kWmRButtonDown);
    ASSERT_EQ(panel.shell.menus.size(), 1u);
    const PopupMenuItem& skins = panel.shell.menus[0].children[0];
    ASSERT_EQ(skins.children.size(), 3u);
    ASSERT_EQ(skins.children[2].text, u"繁體中文");

    EXPECT_TRUE(panel.dlg.OnCommand(skins.children[2].id));
    EXPECT_EQ(panel.dlg.ResourceModuleInUse(), &traditional);
    EXPECT_EQ(panel.system.SkinPath(), FakeSystem::SkinFolder() + u"Trad.dll");
    // Past the last listed entry nothing is switched to.
    EXPECT_TRUE(panel.dlg.OnCommand(32903));
    EXPECT_EQ(panel.dlg.ResourceModuleInUse(), &traditional);
}

TEST(PanelSkins, SwitchingLoadsRecordsAndRefusesInvalidLibraries) {
    Panel panel;
    panel.discovery.PlugHeadset();
    FakeModule& second = panel.system.InstallSkin(u"Other.dll", false);
    second.isDefault = 0;
    FakeModule& invalid = panel.system.InstallSkin(u"Invalid.dll", false);
    invalid.hasIsDefault = false;
    ASSERT_TRUE(panel.Start());
    ResourceModule* first = panel.dlg.ResourceModuleInUse();

    EXPECT_TRUE(panel.dlg.OnCommand(32901));
    EXPECT_EQ(panel.dlg.ResourceModuleInUse(), &second);
    EXPECT_EQ(panel.dlg.IsDefaultSkin, 0);
    EXPECT_TRUE(panel.shell.visible);
    EXPECT_EQ(panel.system.SkinPath(), FakeSystem::SkinFolder() + u"Other.dll");

    EXPECT_FALSE(panel.dlg.OnCommand(32902)) << "an invalid skin goes on to the default procedure";
    EXPECT_EQ(panel.dlg.ResourceModuleInUse(), &second);
    EXPECT_TRUE(panel.dlg.OnCommand(32910));
    EXPECT_EQ(Texts(panel.shell), u"The Skin is invalid!\nCan not load the Resource you chose!\n");
    EXPECT_EQ(panel.system.SkinPath(), FakeSystem::SkinFolder() + u"Other.dll");
    EXPECT_NE(first, &second);
}

TEST(PanelDevices, ArrivalRemovalAndThePollFollowTheHeadset) {
    Panel panel;
    ASSERT_TRUE(panel.Start());
    EXPECT_EQ(panel.shell.trayIcon, 1088);

    panel.discovery.PlugHeadset();
    panel.dlg.OnDeviceChange(kDbtDeviceArrival);
    EXPECT_EQ(panel.dlg.DevicePresent, 1);
    EXPECT_EQ(panel.shell.trayIcon, 1091);
    EXPECT_FALSE(panel.shell.visible) << "arrival never shows the window";

    panel.dlg.OnTrayCallback(kWmLButtonDblClk);
    ASSERT_TRUE(panel.shell.visible);

    // Another device becomes the default: the poll hides the panel; restoring it brings
    // the icon back but not the window.
    panel.discovery.waveOut = u"Realtek High Definition Audio";
    panel.dlg.OnTimer(2);
    EXPECT_FALSE(panel.shell.visible);
    EXPECT_EQ(panel.shell.trayIcon, 1088);
    panel.discovery.waveOut = u"Speakers (USB Audio Device)";
    panel.dlg.OnTimer(2);
    EXPECT_EQ(panel.shell.trayIcon, 1091);
    EXPECT_FALSE(panel.shell.visible);

    // Some other device goes away: nothing changes.
    panel.dlg.OnDeviceChange(kDbtDeviceRemoveComplete);
    EXPECT_EQ(panel.dlg.DevicePresent, 1);

    panel.discovery.hubs.clear();
    panel.driver.present = false;
    panel.dlg.OnDeviceChange(kDbtDeviceRemoveComplete);
    EXPECT_EQ(panel.dlg.DevicePresent, 0);
    EXPECT_EQ(panel.shell.trayIcon, 1088);
    EXPECT_EQ(panel.dlg.DriverHandle, DriverLink::kInvalidHandle);
}

TEST(PanelExit, ExitMessageClosesLikeTheMenu) {
    for (bool byMessage : {true, false}) {
        Panel panel;
        panel.discovery.PlugHeadset();
        ASSERT_TRUE(panel.Start());
        panel.driver.virtual71 = 1;
        if (byMessage) {
            EXPECT_FALSE(panel.dlg.OnRegisteredMessage(0xC124));
            EXPECT_TRUE(panel.dlg.OnRegisteredMessage(0xC123));
        } else {
            panel.dlg.OnCommand(kCommandClose);
        }
        EXPECT_EQ(panel.driver.virtual71, 0u);
        EXPECT_EQ(panel.shell.trayIcon, 0);
        EXPECT_EQ(panel.shell.quits, std::vector<int>{0});
        EXPECT_EQ(panel.system.files.at(u"C:\\ProgramData\\QEXAudioEQAndMicData.dat").size(), 40u)
            << "the gains are saved; without a microphone endpoint the rest is not";
        ResourceModule* skin = panel.app.SkinLibrary();
        EXPECT_EQ(panel.app.ExitInstance(0), 0);
        EXPECT_EQ(panel.system.freed, std::vector<ResourceModule*>{skin});
    }
}

TEST(PanelWindow, CaptionBandDragsAndEnterEscapeDoNothing) {
    Panel panel;
    ASSERT_TRUE(panel.Start());
    EXPECT_EQ(panel.dlg.OnNcHitTest(0, 0, kHitClient), kHitCaption);
    EXPECT_EQ(panel.dlg.OnNcHitTest(351, 69, kHitClient), kHitCaption);
    EXPECT_EQ(panel.dlg.OnNcHitTest(352, 10, kHitClient), kHitClient);
    EXPECT_EQ(panel.dlg.OnNcHitTest(10, 70, kHitClient), kHitClient);
    EXPECT_EQ(panel.dlg.OnNcHitTest(10, 10, 0), 0);
    EXPECT_TRUE(panel.dlg.OnCommand(1));
    EXPECT_TRUE(panel.dlg.OnCommand(2));
    EXPECT_TRUE(panel.shell.quits.empty());

    panel.dlg.OnMove();
    EXPECT_EQ(panel.dlg.Virtual71AnchorX, 680);
    EXPECT_EQ(panel.dlg.Virtual71AnchorY, 325);
}

TEST(PanelDiscovery, FindsExactlyOneSupportedDeviceBehindAnyHub) {
    FakeShell shell;
    struct Case {
        const char* name;
        std::vector<FakeDiscovery::Hub> hubs;
        int result;
        bool twoDevicesMessage;
    } cases[] = {
        {"none", {{{}}}, 0, false},
        {"root port", {{{{0x0F1E, 0x1607}}}}, 1, false},
        {"behind a second hub", {{{}}, {{{0x1234, 0x1607}, {0x0F1E, 0x160D}}}}, 1, false},
        {"unlisted product beside a supported one",
         {{{{0x0F1E, 0x1000}, {0x0F1E, 0x1617}}}},
         1,
         false},
        {"two products", {{{{0x0F1E, 0x1517}}}, {{{0x0F1E, 0x1616}}}}, 0, true},
        {"not connected", {{{{0x0F1E, 0x1607, 0}}}}, 0, false},
        {"no address", {{{{0x0F1E, 0x1607, 1, 0}}}}, 0, false},
        {"hub that cannot be opened", {{{{0x0F1E, 0x1607}}, false}}, 0, false},
    };
    for (const Case& c : cases) {
        FakeDiscovery discovery;
        discovery.hubs = c.hubs;
        DiscoveredDevice found;
        shell.boxes.clear();
        EXPECT_EQ(DiscoverDevice(discovery, shell, found), c.result) << c.name;
        EXPECT_EQ(!shell.boxes.empty(), c.twoDevicesMessage) << c.name;
        EXPECT_EQ(discovery.openHubs, 0) << c.name << ": every hub handle is closed";
    }

    FakeDiscovery discovery;
    discovery.hubs = {{{{0x0F1E, 0x160B}}}};
    DiscoveredDevice found;
    ASSERT_EQ(DiscoverDevice(discovery, shell, found), 1);
    EXPECT_EQ(found.DevicePathPrefix, u"\\\\?\\USB#VID_0F1E&PID_160B");
    EXPECT_EQ(found.DevicePathPrefix.size(), 25u);
    discovery.hubs.clear();
    EXPECT_EQ(DiscoverDevice(discovery, shell, found), 0);
    EXPECT_EQ(found.DevicePathPrefix, u"\\\\?\\USB#VID_0F1E&PID_160B") << "kept after a miss";
}

TEST(PanelDiscovery, DefaultWaveDevicesMustBeTheDiscoveredOnes) {
    FakeDiscovery discovery;
    discovery.PlugHeadset(0x1607);
    discovery.playback.insert(discovery.playback.begin(),
                              {u"Speakers (Realtek)", u"\\\\?\\hdaudio#func_01#{guid}"});
    DiscoveredDevice found;
    std::u16string render, capture;
    EXPECT_EQ(MatchDefaultWaveDevices(discovery, found, render, capture), 0)
        << "no discovery yet: the empty prefix matches nothing";

    found.DevicePathPrefix = u"\\\\?\\USB#VID_0F1E&PID_1607";
    EXPECT_EQ(MatchDefaultWaveDevices(discovery, found, render, capture), 1);
    EXPECT_EQ(render, u"Speakers (USB Audio Device)");

    // A long description still matches the 31-character wave name.
    discovery.playback.back().description = u"Speakers (USB Audio Device with a very long name)";
    discovery.waveOut = u"Speakers (USB Audio Device with";
    EXPECT_EQ(MatchDefaultWaveDevices(discovery, found, render, capture), 1);

    discovery.waveIn = u"Microphone (Realtek)";
    EXPECT_EQ(MatchDefaultWaveDevices(discovery, found, render, capture), 0);
    discovery.waveIn = u"MICROPHONE (usb audio device)";
    EXPECT_EQ(MatchDefaultWaveDevices(discovery, found, render, capture), 1) << "case ignored";
    discovery.waveFails = true;
    EXPECT_EQ(MatchDefaultWaveDevices(discovery, found, render, capture), 0);
}

}  // namespace
}  // namespace panel_test
