// The panel's main window: a captionless 640 by 480 dialog whose every pixel comes from the
// skin. This class holds its state and handles its messages; the platform's window
// procedure (panel/win32) or the simulated machine (panel/host) calls the handlers and the
// painters' composed pictures reach the screen through PanelShell::Present.
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device_discovery.h"
#include "driver_link.h"
#include "driver_requests.h"
#include "eq_operator_dlg.h"
#include "panel_ports.h"
#include "raster.h"
#include "speaker_layout.h"
#include "test_sound_ports.h"
#include "virtual71_control.h"
#include "wave_sound.h"

enum PanelPage { EqualizerPage = 0, SoundFieldPage = 1, MicrophonePage = 2, SpeakerTestPage = 3 };

// Window messages and codes the dialog understands, as Windows numbers them.
constexpr uint32_t kTrayCallbackMessage = 0x410;
constexpr uint32_t kWmLButtonDown = 0x201;
constexpr uint32_t kWmLButtonDblClk = 0x203;
constexpr uint32_t kWmRButtonDown = 0x204;
constexpr uint32_t kDbtDeviceArrival = 0x8000;
constexpr uint32_t kDbtDeviceRemoveComplete = 0x8004;
constexpr uint32_t kCommandClose = 32771;
constexpr uint32_t kCommandFirstSkin = 32900;
constexpr int kHitClient = 1;
constexpr int kHitCaption = 2;

struct KnobCorner {
    int x, y;
};

// Everything of Windows the main dialog reaches, wired once by the platform's entry code.
struct PanelPorts {
    PanelSystem& system;
    PanelShell& shell;
    DiscoveryPorts& discovery;
    DriverLink& driver;
    MicrophonePorts& microphone;
    PanelRegistry& registry;
    ModalDialogHost& dialogs;
    WaveInPorts& waveIn;
};

// What PanelShell::PostPanelNotification carries: a change Windows reported on its own
// notification thread, handled on the interface thread.
constexpr uint32_t kNotifyEndpointVolume = 1;
constexpr uint32_t kNotifyControlChange = 2;

class CQEXAudioControlDlg {
  public:
    explicit CQEXAudioControlDlg(const PanelPorts& ports);

    // The resource module every lookup goes to (the current skin).
    void SetResourceModule(ResourceModule* skin) { skin_ = skin; }
    ResourceModule* ResourceModuleInUse() const { return skin_; }

    // Message handlers.
    bool OnInitDialog();
    bool OnEraseBackground();  // repaints the current page, erases nothing
    void OnLButtonDown(int x, int y);
    void OnLButtonUp(int x, int y);
    void OnMouseMove(int x, int y);
    void OnLButtonDblClk(int x, int y);
    int OnNcHitTest(int x, int y, int defaultHit);  // x, y relative to the window
    void OnMove();
    // WM_COMMAND; false when the command goes on to the default window procedure.
    bool OnCommand(uint32_t id);
    void OnTrayCallback(uint32_t mouseMessage);
    void OnDeviceChange(uint32_t code);
    void OnTimer(uint32_t id);
    void OnClose();
    void OnPanelNotification(uint32_t code);
    // MM_WIM_OPEN, MM_WIM_DATA (buffer `index`, `bytes` recorded), MM_WIM_CLOSE.
    void OnWaveInOpen();
    void OnWaveInData(int index, uint32_t bytes);
    void OnWaveInClose();
    // Any registered message; true when it was the exit message.
    bool OnRegisteredMessage(uint32_t message);

    // Painting.
    void RepaintCurrentPage();
    void PaintEqualizerPage();
    void PaintSoundFieldPage();
    void PaintMicrophonePage();
    void PaintSpeakerTestPage();
    void DrawSkinBitmap(Raster& target, int x, int y, uint16_t id, bool transparent);
    void DrawLogoOverlay(Raster& target);
    void DrawEqCurveSegment(int band, int height, int nextHeight, Raster& target);
    void DrawSourceInField(float x, float y, float z, uint16_t fieldId, uint16_t iconId);
    void DrawSourceInFieldAt(float z, uint16_t fieldId, uint16_t iconId);
    void UpdateMicLevelMeter(const uint8_t* buffer, uint32_t size);

    void SwitchSkin(uint32_t commandId, bool* toDefaultProcedure);
    // The tray menu as it is about to be shown (skin list filled in).
    PopupMenuItem BuildTrayMenu();
    // The skin folder's libraries that load and carry a name, in the folder's order, until
    // `visit` answers false: the tray menu's skin entries, the first one's id 32900.
    void ForEachNamedSkin(
        const std::function<bool(const std::u16string& path, ResourceModule* library,
                                 const std::u16string& display)>& visit);

    // Operations other parts of the panel provide; these are the lifecycle's calls.
    void LoadPanelSettings();
    void SavePanelSettings();
    void EnterMicrophonePage();
    void StartMicMonitor();
    void StopMicMonitor();
    void UnregisterMicCallbacks();
    int CreateTestSound();
    void StopTestSound();
    void ReleaseTestSound();
    bool Virtual71WindowExists() const { return Virtual71Open; }
    void DestroyVirtual71Window();
    // The virtual 7.1 block with the speaker levels and angles when the 7.1 window exists,
    // zeros otherwise.
    int SendVirtual71Block(uint32_t enable);
    void ResetSpeakerLayout();

    // The speaker-test page: the moving test sound and the virtual 7.1 window.
    // Without ports (a platform that has no DirectSound) the test sound cannot be created.
    void SetTestSoundPorts(TestSoundPorts* sound, Virtual71WindowPort* window);
    int PlayTestSound();
    void SelectTestTrack(int track);
    void MoveTestSource();  // timer 1
    // The C runtime's generator, which the random walk draws from.
    int Random();
    void SeedRandom(uint32_t seed) { RandomState = seed; }
    int Source3DActive = 1;
    int WalkX = 100, WalkY = 100, WalkDirection = 0, WalkStepsLeft = 10;
    uint32_t RandomState = 1;
    std::unique_ptr<SoundDevice> DirectSound;
    std::unique_ptr<SoundListener> Listener;
    ListenerParameters ListenerParams;
    std::unique_ptr<CSound> Sound;
    std::unique_ptr<Sound3DBuffer> Source3D;
    Buffer3DParameters SourceParams;
    BufferCaps SoundCaps;
    CVirtual71Control Virtual71Window{*this};

    // The state, named as the panel's documents name it.
    ResourceModule* skin_ = nullptr;
    int IsDefaultSkin = 0;
    int CurrentPage = EqualizerPage;
    int DevicePresent = 0;
    int CoreAudioAvailable = 0;
    KnobCorner EqKnobTop[10];
    KnobCorner* KnobPointers[10];
    int GrabOffsetY = 0;
    DriverLink::Handle DriverHandle = DriverLink::kInvalidHandle;
    int EqPressedButton = 0;
    int EqEnableLit = 1044;
    int EqDisabled = 0;
    int EqPreset = 0;
    CQEXEQOperatorDlg PresetDialog;
    int PresetDialogMode = 0;
    int PresetDialogAnchorX = 0, PresetDialogAnchorY = 0;
    uint32_t ExitMessage = 0;
    int GrabbedKnob = -1;
    int SoundFieldType = 0;
    int TestSource = 0;
    int TestTrack = 0;
    std::u16string BeeFilePath, MusicFilePath;
    int TestPlaying = 0;
    int FieldBitmap = 1027;
    int SourceIcon = 1018;
    int SourceIconPosX = 0, SourceIconPosY = 0;
    int SourceGrabX = 0, SourceGrabY = 0;
    int Dragging = 0;
    bool Virtual71Open = false;
    int Virtual71AnchorX = 0, Virtual71AnchorY = 0;
    SpeakerPlace SpeakerLayout[kSpeakerCount];
    int SelectedSpeaker = 0;
    int MicKnobPosX = 584, MicKnobPosY = 328;
    int MicMute = 0, MicBoost = 0;
    int BoostAvailable = 1;
    int MicMonitorRunning = 0, MicMonitorStopping = 0;
    bool MicMonitorOpen = false;
    int MicNotifyEnabled = 1;
    int MicLevel = 0;
    // Where the motion code keeps the source icon's corner inside the field.
    int FieldOffsetX = 0, FieldOffsetY = 0;
    std::u16string RenderDescription, CaptureDescription;
    DiscoveredDevice Device;

    // The picture last composed by a painter, as the window shows it.
    const Raster& Picture() const { return picture_; }

  private:
    bool LoadSkinBitmap(uint16_t id, Raster* out);
    bool BitmapSize(uint16_t id, int* width, int* height);
    void Present(const Raster& picture);
    bool DriverProbe();
    bool DeviceReady();  // probe, discovery, default-device match, in that order
    void SetTrayIcon(PanelShell::TrayAction action);
    void LeaveCurrentPage();
    void ReleaseOnEqualizerPage(int x, int y);
    int RunPresetDialog(int mode);
    void ReleaseOnSoundFieldPage(int x, int y);
    void PressOnMicrophonePage(int x, int y);
    void MoveOnMicrophonePage(int x, int y);
    void ReleaseOnMicrophonePage(int x, int y, bool* stop);
    void PlaceMicKnob(uint32_t percent);
    void ReleaseCommon(int x, int y, bool* stop);
    void PressOnSpeakerTestPage(int x, int y);
    void MoveOnSpeakerTestPage(int x, int y);
    void ReleaseOnSpeakerTestPage(int x, int y);
    void WalkOneStep();
    friend class CVirtual71Control;
    TestSoundPorts* soundPorts_ = nullptr;
    bool OverAnyArea(int x, int y);
    std::u16string SkinFolder();
    std::u16string SkinDescriptionPath();

    PanelSystem& system_;
    PanelShell& shell_;
    DiscoveryPorts& discovery_;
    DriverLink& link_;
    MicrophonePorts& microphone_;
    WaveInPorts& waveIn_;
    uint8_t micBuffers_[2][400] = {};
    DriverRequests driver_;
    Raster picture_;
    int windowWidth_ = 640, windowHeight_ = 480;
    // Libraries loaded only to read their names stay loaded, as Windows would keep them.
    std::vector<ResourceModule*> listed_;
};
