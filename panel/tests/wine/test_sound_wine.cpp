// The test sound over real DirectSound 3D (Wine's, on a null sound device): the speaker-test
// page's logic with its Windows ports, the rest of the machine in memory. Prints one line per
// check and exits 1 when any failed.
#include <windows.h>

#include <cmath>
#include <cstdio>

#include "audio_control_dlg.h"
#include "panel_fakes.h"
#include "test_sound_fakes.h"
#include "test_sound_win32.h"

using namespace panel_test;

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what);
    if (!ok)
        ++failures;
}

bool Near(float a, float b) {
    return std::fabs(a - b) < 1e-4f;
}

}  // namespace

int main() {
    const HWND window = CreateWindowExW(0, L"STATIC", L"speaker test", 0, 0, 0, 1, 1, HWND_MESSAGE,
                                        nullptr, nullptr, nullptr);
    Check(window != nullptr, "a window for the cooperative level");

    FakeMachine machine;
    FakeSystem& system = machine.system;
    FakeShell& shell = machine.shell;
    FakeDiscovery& discovery = machine.discovery;
    Win32TestSoundPorts sound(window);
    CQEXAudioControlDlg dlg(machine.Ports());
    dlg.SetResourceModule(&system.InstallSkin(u"English.dll"));
    dlg.IsDefaultSkin = 1;
    discovery.PlugHeadset();
    dlg.SetTestSoundPorts(&sound, nullptr);
    dlg.OnInitDialog();
    system.files[dlg.MusicFilePath] = WaveBuilder()
                                          .Chunk("LIST", Ramp(17))
                                          .Chunk("fmt ", WaveBuilder::Format(1, 1, 16))
                                          .Chunk("data", Ramp(44100))
                                          .Build();

    dlg.OnLButtonDown(590, 40);
    dlg.OnLButtonUp(590, 40);
    Check(shell.boxes.empty(), "DirectSound, its primary format and listener are set up");
    for (const auto& box : shell.boxes)
        std::printf("  message: %ls\n", reinterpret_cast<const wchar_t*>(box.text.c_str()));
    Check(dlg.Listener != nullptr, "the listener exists");

    dlg.OnLButtonDown(60, 410);
    dlg.OnLButtonUp(60, 410);
    Check(dlg.TestPlaying == 1, "play starts the test sound");
    Check(dlg.Sound != nullptr && dlg.Source3D != nullptr, "one 3D secondary buffer");
    if (dlg.Sound == nullptr || dlg.Source3D == nullptr)
        return 1;

    uint32_t status = 0;
    dlg.Sound->Buffer().GetStatus(&status);
    Check((status & kDsbStatusPlaying) != 0, "the buffer is playing");
    Check((status & 0x4) != 0, "and looping");
    BufferCaps caps;
    dlg.Sound->Buffer().GetCaps(&caps);
    Check(caps.bufferBytes == 44100, "the buffer holds the data chunk");
    Check((caps.flags & (kDsbCapsCtrl3D | kDsbCapsGlobalFocus)) ==
              (kDsbCapsCtrl3D | kDsbCapsGlobalFocus),
          "with 3D control and global focus");

    Buffer3DParameters p;
    dlg.Source3D->GetAllParameters(&p);
    Check(p.mode == kDs3dModeHeadRelative, "head-relative");
    Check(Near(p.minDistance, 0.01f) && Near(p.maxDistance, 0.01f), "distances 0.01");
    ListenerParameters l;
    dlg.Listener->GetAllParameters(&l);
    Check(Near(l.rolloffFactor, 1.0f) && Near(l.dopplerFactor, 1.0f), "rolloff and Doppler 1.0");

    dlg.OnTimer(1);
    dlg.Source3D->GetAllParameters(&p);
    const float r = std::sqrt(p.position.x * p.position.x + p.position.z * p.position.z);
    Check(Near(r, 4.0f) && p.position.y == 0.0f, "timer 1 puts the source on the circle");

    dlg.OnLButtonDown(410, 318);
    dlg.OnLButtonUp(410, 318);
    dlg.Source3D->GetAllParameters(&p);
    Check(p.position == (SoundVector{0, 0, 0}), "the manual track centres the source");

    dlg.OnLButtonDown(350, 410);
    dlg.OnLButtonUp(350, 410);
    dlg.Sound->Buffer().GetStatus(&status);
    Check((status & kDsbStatusPlaying) == 0 && dlg.TestPlaying == 0, "pause stops it");

    dlg.OnLButtonDown(440, 40);
    dlg.OnLButtonUp(440, 40);
    Check(dlg.Sound == nullptr && dlg.DirectSound == nullptr, "leaving the page releases all");

    DestroyWindow(window);
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
