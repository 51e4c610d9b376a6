// The main dialog's life: initialisation, the tray icon and its menu, device arrival and
// removal, the readiness poll, skin switching and the way out.
#include <algorithm>
#include <cstring>

#include "audio_control_dlg.h"
#include "eq_knob_scale.h"
#include "menu_template.h"
#include "panel_texts.h"

namespace {

constexpr int kKnobX[10] = {279, 311, 343, 375, 407, 438, 470, 502, 534, 566};
constexpr uint32_t kTimerMotion = 1;
constexpr uint32_t kTimerReadiness = 2;
constexpr uint32_t kTimerRotation = 3;
constexpr size_t kPathLimit = 260;

bool Contains(const std::u16string& text, const char16_t* word) {
    return text.find(word) != std::u16string::npos;
}

std::u16string WithBackslash(std::u16string path) {
    if (path.empty() || path.back() != u'\\')
        path.push_back(u'\\');
    return path;
}

}  // namespace

CQEXAudioControlDlg::CQEXAudioControlDlg(const PanelPorts& ports)
    : PresetDialog(ports.registry, ports.shell, ports.dialogs),
      system_(ports.system),
      shell_(ports.shell),
      discovery_(ports.discovery),
      link_(ports.driver),
      microphone_(ports.microphone),
      waveIn_(ports.waveIn),
      driver_(ports.driver, DriverHandle) {
    ExitMessage = system_.RegisterWindowMessage(kExitMessageName);
    for (int i = 0; i < 10; ++i) {
        EqKnobTop[i] = {kKnobX[i], kEqKnobTopZeroDb};
        KnobPointers[i] = &EqKnobTop[i];
    }
    for (int i = 0; i < kSpeakerCount; ++i)
        SpeakerLayout[i] = kDefaultSpeakerLayout[i];
}

std::u16string CQEXAudioControlDlg::SkinFolder() {
    return WithBackslash(WithBackslash(system_.SystemDirectory()) + kSkinFolderName);
}

std::u16string CQEXAudioControlDlg::SkinDescriptionPath() {
    return SkinFolder() + kSkinDescriptionFile;
}

bool CQEXAudioControlDlg::DriverProbe() {
    float gain = 0.0f;
    return driver_.GetBandGain(0, &gain) == 1;
}

bool CQEXAudioControlDlg::DeviceReady() {
    return DriverProbe() && DiscoverDevice(discovery_, shell_, Device) == 1 &&
           MatchDefaultWaveDevices(discovery_, Device, RenderDescription, CaptureDescription) == 1;
}

void CQEXAudioControlDlg::SetTrayIcon(PanelShell::TrayAction action) {
    if (skin_ == nullptr)
        return;
    shell_.NotifyIcon(action, *skin_, DevicePresent ? 1091 : 1088, kTrayTip, kTrayCallbackMessage);
}

bool CQEXAudioControlDlg::OnInitDialog() {
    if (skin_ != nullptr)
        shell_.SetWindowIcon(*skin_, 1066);

    CoreAudioAvailable = system_.OsMajorVersion() == 6 ? 1 : 0;
    CurrentPage = EqualizerPage;

    int width = 0, height = 0;
    if (BitmapSize(1042, &width, &height)) {
        windowWidth_ = width;
        windowHeight_ = height;
    }
    shell_.PlaceWindow(100, 100, windowWidth_, windowHeight_);

    shell_.RegisterAudioInterfaceNotifications();

    for (int i = 0; i < 10; ++i) {
        EqKnobTop[i] = {kKnobX[i], kEqKnobTopZeroDb};
        KnobPointers[i] = &EqKnobTop[i];
    }
    // Every start begins with a flat equalizer; the settings file restores the user's bands.
    for (uint16_t band = 0; band < 10; ++band) {
        driver_.SetBandGain(band, 1.0f);
        float gain = 0.0f;
        if (driver_.GetBandGain(band, &gain))
            KnobPointers[band]->y = EqKnobTopForGain(gain);
    }

    GrabOffsetY = 0;
    EqPressedButton = 0;
    EqEnableLit = 1044;
    EqDisabled = 0;
    EqPreset = 0;
    GrabbedKnob = -1;
    SoundFieldType = 0;
    TestSource = 0;
    TestTrack = 0;
    TestPlaying = 0;
    SourceIcon = 1018;
    FieldBitmap = 1027;
    Dragging = 0;

    const std::u16string temp = system_.TempPath().substr(0, kPathLimit);
    BeeFilePath = (temp + kBeeFileName).substr(0, kPathLimit - 1);
    MusicFilePath = (temp + kMusicFileName).substr(0, kPathLimit - 1);
    std::vector<uint8_t> wave;
    // A failed write is not reported; the test sound then cannot open the file.
    if (skin_ != nullptr && skin_->FindResource(kResourceWave, 1071, &wave))
        system_.WriteWholeFile(BeeFilePath, wave);
    if (skin_ != nullptr && skin_->FindResource(kResourceWave, 1072, &wave))
        system_.WriteWholeFile(MusicFilePath, wave);

    ResetSpeakerLayout();
    SendVirtual71Block(0);

    MicMute = 0;
    MicBoost = 0;
    BoostAvailable = 1;
    MicLevel = 0;
    MicMonitorRunning = 0;
    MicMonitorStopping = 0;

    shell_.SetTimer(kTimerReadiness, 500);
    shell_.SetTitle(kWindowTitle);

    if (DriverHandle != DriverLink::kInvalidHandle) {
        link_.Close(DriverHandle);
        DriverHandle = DriverLink::kInvalidHandle;
    }
    shell_.SetColorKeyShape(kGreenKey);

    DevicePresent = DeviceReady() ? 1 : 0;
    if (DevicePresent)
        driver_.NoiseCleanOff();

    SetTrayIcon(PanelShell::TrayAction::Add);
    LoadPanelSettings();
    PaintEqualizerPage();

    if (!Contains(system_.CommandLine(), kSwitchNoUi)) {
        shell_.CenterWindow();
        shell_.ShowWindow(DevicePresent != 0);
    }
    return true;
}

void CQEXAudioControlDlg::OnTrayCallback(uint32_t mouseMessage) {
    if (mouseMessage == kWmLButtonDblClk) {
        if (!DevicePresent) {
            shell_.MessageBox(kTextDeviceNotDetected, kCaptionFramework, kMbOk);
            return;
        }
        if (shell_.IsWindowVisible())
            return;
        LoadPanelSettings();
        CurrentPage = EqualizerPage;
        PaintEqualizerPage();
        shell_.ShowWindow(true);
    } else if (mouseMessage == kWmRButtonDown) {
        const PopupMenuItem menu = BuildTrayMenu();
        if (menu.popup)
            shell_.TrackPopupMenu(menu);
    }
}

PopupMenuItem CQEXAudioControlDlg::BuildTrayMenu() {
    PopupMenuItem tray;
    std::vector<uint8_t> bytes;
    PopupMenuItem bar;
    if (skin_ == nullptr || !skin_->FindResource(kResourceMenu, 1073, &bytes) ||
        !ParseMenuTemplate(bytes.data(), bytes.size(), &bar) || bar.children.empty() ||
        !bar.children[0].popup)
        return tray;
    tray = bar.children[0];

    // The skin list is the first popup inside the tray menu ("Change Skin").
    PopupMenuItem* skins = nullptr;
    for (PopupMenuItem& item : tray.children)
        if (item.popup) {
            skins = &item;
            break;
        }
    if (skins == nullptr)
        return tray;

    const std::u16string current =
        system_.ReadProfileString(kSkinSection, kSkinPathKey, u"", SkinDescriptionPath())
            .substr(0, kPathLimit - 1);
    uint32_t named = 0;
    ForEachNamedSkin(
        [&](const std::u16string& path, ResourceModule*, const std::u16string& display) {
            const uint32_t id = kCommandFirstSkin + named;
            PopupMenuItem* entry = nullptr;
            if (named == 0) {
                for (PopupMenuItem& item : skins->children)
                    if (item.id == kCommandFirstSkin)
                        entry = &item;
            }
            if (entry == nullptr) {
                skins->children.push_back(PopupMenuItem{});
                entry = &skins->children.back();
            }
            entry->id = id;
            entry->text = display;
            entry->separator = false;
            entry->checked = path == current;
            ++named;
            return true;
        });
    return tray;
}

void CQEXAudioControlDlg::ForEachNamedSkin(
    const std::function<bool(const std::u16string& path, ResourceModule* library,
                             const std::u16string& display)>& visit) {
    const std::u16string folder = SkinFolder();
    for (const std::u16string& name : system_.FindFiles(folder + u"*.dll")) {
        if (name == u"." || name == u"..")
            continue;
        const std::u16string path = folder + name;
        ResourceModule* library = system_.LoadLibrary(path);
        if (library == nullptr)
            continue;
        if (std::find(listed_.begin(), listed_.end(), library) == listed_.end())
            listed_.push_back(library);
        std::u16string display;
        if (!library->CallGetResourceName(&display) || display.empty())
            continue;
        if (!visit(path, library, display))
            return;
    }
}

bool CQEXAudioControlDlg::OnCommand(uint32_t id) {
    if (id == kCommandClose) {
        OnClose();
        return true;
    }
    if (id >= kCommandFirstSkin) {
        bool toDefault = false;
        SwitchSkin(id, &toDefault);
        return !toDefault;
    }
    // IDOK and IDCANCEL: Enter and Escape never close the panel.
    return true;
}

void CQEXAudioControlDlg::SwitchSkin(uint32_t commandId, bool* toDefaultProcedure) {
    *toDefaultProcedure = false;
    // An entry's id is its place among the libraries the menu lists, so the count skips the
    // ones it leaves out (unnamed, unloadable): counting every file would switch to the
    // library listed before the one the user chose.
    uint32_t count = 0;
    ResourceModule* library = nullptr;
    ForEachNamedSkin([&](const std::u16string&, ResourceModule* named, const std::u16string&) {
        if (count++ != commandId - kCommandFirstSkin)
            return true;
        library = named;
        return false;
    });
    if (library == nullptr) {
        shell_.MessageBox(kTextCannotLoadSkin, kCaptionFramework, kMbOk);
        return;
    }
    int isDefault = 0;
    if (!library->CallIsQEXDefaultSkin(&isDefault)) {
        shell_.MessageBox(kTextSkinInvalid, kApplicationName, kMbOk);
        *toDefaultProcedure = true;
        return;
    }
    IsDefaultSkin = isDefault;
    shell_.ShowWindow(false);
    skin_ = library;
    if (DevicePresent)
        shell_.ShowWindow(true);
    system_.WriteProfileString(kSkinSection, kSkinPathKey, library->Path(), SkinDescriptionPath());
}

void CQEXAudioControlDlg::OnDeviceChange(uint32_t code) {
    if (code == kDbtDeviceRemoveComplete) {
        if (!DriverProbe() || DiscoverDevice(discovery_, shell_, Device) == 0) {
            if (CurrentPage == SpeakerTestPage) {
                if (Virtual71WindowExists()) {
                    DestroyVirtual71Window();
                    SendVirtual71Block(0);
                }
                StopTestSound();
                ReleaseTestSound();
            }
            if (CurrentPage == MicrophonePage)
                StopMicMonitor();
            if (CoreAudioAvailable)
                UnregisterMicCallbacks();
            if (DriverHandle != DriverLink::kInvalidHandle) {
                link_.Close(DriverHandle);
                DriverHandle = DriverLink::kInvalidHandle;
            }
            DevicePresent = 0;
            shell_.ShowWindow(false);
        }
    } else if (code == kDbtDeviceArrival) {
        if (DeviceReady()) {
            LoadPanelSettings();
            CurrentPage = EqualizerPage;
            DevicePresent = 1;
            driver_.NoiseCleanOff();
        }
    }
    SetTrayIcon(PanelShell::TrayAction::Modify);
}

void CQEXAudioControlDlg::OnTimer(uint32_t id) {
    if (id == kTimerReadiness) {
        if (MatchDefaultWaveDevices(discovery_, Device, RenderDescription, CaptureDescription)) {
            DevicePresent = 1;
        } else {
            DevicePresent = 0;
            if (CurrentPage == SpeakerTestPage) {
                StopTestSound();
                ReleaseTestSound();
            }
            if (CurrentPage == MicrophonePage)
                StopMicMonitor();
            if (CoreAudioAvailable)
                UnregisterMicCallbacks();
            shell_.ShowWindow(false);
        }
        SetTrayIcon(PanelShell::TrayAction::Modify);
    } else if (id == kTimerRotation) {
        Virtual71Window.OnRotationTick();
    } else if (id == kTimerMotion) {
        MoveTestSource();
    }
}

bool CQEXAudioControlDlg::OnRegisteredMessage(uint32_t message) {
    if (message != ExitMessage || ExitMessage == 0)
        return false;
    OnClose();
    return true;
}

void CQEXAudioControlDlg::OnClose() {
    SavePanelSettings();
    SendVirtual71Block(0);
    SetTrayIcon(PanelShell::TrayAction::Delete);
    StopMicMonitor();
    shell_.PostQuit(0);
}

int CQEXAudioControlDlg::OnNcHitTest(int x, int y, int defaultHit) {
    if (defaultHit == kHitClient && x >= 0 && x < 352 && y >= 0 && y < 70)
        return kHitCaption;
    return defaultHit;
}

void CQEXAudioControlDlg::OnMove() {
    int x = 0, y = 0;
    shell_.WindowOrigin(&x, &y);
    Virtual71AnchorX = Virtual71Window.AnchorX = x + 380;
    Virtual71AnchorY = Virtual71Window.AnchorY = y + 125;
    Virtual71Window.FollowAnchor();
}
