// panel_ports_probe.exe: the panel's Win32 ports against the system they run on (Wine in the
// tests): the registry as the preset dialog uses it, the preset dialog itself on the stand-in
// skin's template driven by a second thread as a user would, the COM objects that carry the
// microphone callbacks, Core Audio, the mixer and wave-in. Every check prints one line; the
// exit code is the number of failed checks.
//   panel_ports_probe.exe SKIN_DLL
#include "win32_api.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "audio_control_dlg.h"
#include "core_audio_win32.h"
#include "eq_operator_dlg.h"
#include "mixer_win32.h"
#include "modal_dialogs_win32.h"
#include "panel_registry_win32.h"
#include "panel_shell_win32.h"
#include "panel_system_win32.h"
#include "wave_in_win32.h"
#include "windows_volume.h"

namespace {

int failures = 0;

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok)
        ++failures;
}

void Note(const std::string& what) {
    std::printf("note %s\n", what.c_str());
    std::fflush(stdout);
}

// --- the registry ----------------------------------------------------------------------------

constexpr char16_t kScratch[] = u"Software\\AmpfxPortsProbe";

void RegistryChecks() {
    Win32PanelRegistry registry;
    PanelRegistry::Key missing = 0;
    Check(registry.OpenUserKey(u"Software\\AmpfxPortsProbe\\none", &missing) ==
                  ERROR_FILE_NOT_FOUND &&
              missing == 0,
          "registry: a missing key does not open");

    PanelRegistry::Key root = 0;
    Check(registry.CreateUserKey(kScratch, &root) == 0 && root != 0, "registry: create user key");
    PanelRegistry::Key again = 0;
    Check(registry.OpenUserKey(kScratch, &again) == 0, "registry: the created key opens");
    registry.CloseKey(again);

    // Values of every shape the registry holds; only a four-byte REG_DWORD reads back.
    HKEY raw = reinterpret_cast<HKEY>(root);
    const DWORD dword = 311;
    const uint64_t qword = 311;
    const wchar_t text[] = L"311";
    const WORD half = 311;
    struct Shape {
        const char* what;
        const wchar_t* name;
        DWORD type;
        const void* data;
        DWORD size;
        bool readable;
    } shapes[] = {
        {"REG_DWORD", L"dword", REG_DWORD, &dword, 4, true},
        {"REG_BINARY of four bytes", L"binary", REG_BINARY, &dword, 4, false},
        {"REG_SZ", L"string", REG_SZ, text, sizeof text, false},
        {"REG_QWORD", L"qword", REG_QWORD, &qword, 8, false},
        {"REG_DWORD of two bytes", L"short", REG_DWORD, &half, 2, false},
    };
    for (const Shape& shape : shapes) {
        RegSetValueExW(raw, shape.name, 0, shape.type, static_cast<const BYTE*>(shape.data),
                       shape.size);
        uint32_t value = 7;
        const long status = registry.QueryDword(root, FromWide(shape.name), &value);
        Check(shape.readable ? status == 0 && value == 311 : status != 0 && value == 7,
              std::string("registry: ") + shape.what +
                  (shape.readable ? " reads back" : " is refused, output untouched"));
    }
    uint32_t value = 7;
    Check(registry.QueryDword(root, u"absent", &value) == ERROR_FILE_NOT_FOUND && value == 7,
          "registry: a missing value is not found");
    Check(registry.SetDword(root, u"5", 0xFFFFFFFFu) == 0 &&
              registry.QueryDword(root, u"5", &value) == 0 && value == 0xFFFFFFFFu,
          "registry: SetDword keeps all 32 bits");

    // Subkeys: plain names, the longest name a key can have, a backslash as a path.
    const std::u16string longest(255, u'n');
    const std::vector<std::u16string> names = {u"beta", u"alpha", longest, u"x\\y"};
    for (const std::u16string& name : names) {
        PanelRegistry::Key sub = 0;
        Check(registry.CreateSubKey(root, name, &sub) == 0,
              "registry: create subkey of " + std::to_string(name.size()) + " characters");
        registry.CloseKey(sub);
    }
    // Longer than Windows allows: refused there, and wherever it is taken, listed whole.
    const std::u16string longer(256, u'm');
    PanelRegistry::Key tooLong = 0;
    const bool longerTaken = registry.CreateSubKey(root, longer, &tooLong) == 0;
    registry.CloseKey(tooLong);
    Note(std::string("registry: a 256-character name is ") + (longerTaken ? "taken" : "refused"));
    std::vector<std::u16string> listed;
    std::u16string name;
    long status = 0;
    for (uint32_t index = 0; (status = registry.EnumSubKey(root, index, &name)) == 0; ++index)
        listed.push_back(name);
    std::string sizes;
    for (const std::u16string& entry : listed)
        sizes += " " + std::to_string(entry.size());
    Note("registry: " + std::to_string(listed.size()) + " subkeys listed, status " +
         std::to_string(status) + ", lengths" + sizes);
    auto has = [&](const std::u16string& wanted) {
        for (const std::u16string& entry : listed)
            if (entry == wanted)
                return true;
        return false;
    };
    Check(status == ERROR_NO_MORE_ITEMS && listed.size() == (longerTaken ? 5u : 4u) &&
              has(u"alpha") && has(u"beta") && has(longest) && has(u"x") &&
              (!longerTaken || has(longer)),
          "registry: enumeration lists each subkey once, the longest name whole, the path's "
          "first part");
    PanelRegistry::Key nested = 0;
    Check(registry.OpenSubKey(root, u"x\\y", &nested) == 0, "registry: the nested key opens");
    registry.CloseKey(nested);

    Check(registry.DeleteSubKey(root, u"alpha") == 0, "registry: delete a subkey");
    PanelRegistry::Key gone = 0;
    Check(registry.OpenSubKey(root, u"alpha", &gone) == ERROR_FILE_NOT_FOUND,
          "registry: a deleted subkey no longer opens");
    Check(registry.DeleteSubKey(root, u"alpha") != 0, "registry: deleting it again fails");

    for (const char16_t* leftover : {u"x\\y", u"x", u"beta"})
        registry.DeleteSubKey(root, leftover);
    registry.DeleteSubKey(root, longest);
    registry.DeleteSubKey(root, longer);
    registry.CloseKey(root);
    RegDeleteKeyW(HKEY_CURRENT_USER, Wide(kScratch));
    registry.CloseKey(0);  // closing nothing is harmless
}

// --- the preset dialog -----------------------------------------------------------------------

// Waits for the dialog titled `title` of this process and runs `act` on it from this thread,
// as another program acting on the window would.
struct Actor {
    std::wstring title;
    std::function<void(HWND)> act;
    bool found = false;
};

DWORD WINAPI ActorThread(LPVOID context) {
    auto* actor = static_cast<Actor*>(context);
    HWND dialog = nullptr;
    for (int tries = 0; tries < 100 && dialog == nullptr; ++tries) {
        dialog = FindWindowW(L"#32770", actor->title.c_str());
        if (dialog == nullptr)
            Sleep(50);
    }
    actor->found = dialog != nullptr;
    // The title can show before WM_INITDIALOG has returned; a sent message is handled only
    // once the dialog's thread is back in its message loop.
    if (dialog != nullptr)
        SendMessageW(dialog, WM_NULL, 0, 0);
    if (dialog != nullptr)
        actor->act(dialog);
    return 0;
}

int RunWithActor(const std::wstring& title, const std::function<int()>& run,
                 const std::function<void(HWND)>& act) {
    Actor actor{title, act};
    HANDLE thread = CreateThread(nullptr, 0, ActorThread, &actor, 0, nullptr);
    const int result = run();
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    Check(actor.found, "dialog: '" + std::string(title.begin(), title.end()) + "' appeared");
    return result;
}

void Command(HWND dialog, int id, int code) {
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, code),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

std::wstring TextOf(HWND window) {
    wchar_t buffer[256] = {};
    GetWindowTextW(window, buffer, 256);
    return buffer;
}

void DialogChecks(Win32PanelSystem& system, Win32PanelShell& shell, ResourceModule& skin) {
    Win32ModalDialogs dialogs(shell);
    ModalDialogHost::Handlers none;
    Check(dialogs.RunModal(skin, 999, none) == -1, "dialog: a missing template does not run");
    Check(dialogs.RunModal(system.OwnModule(), 1074, none) == -1,
          "dialog: a module without the template does not run");

    // The controls as the handlers reach them.
    struct Seen {
        int emptySelection = 0;
        std::vector<std::u16string> commands;
        int oks = 0;
    } seen;
    ModalDialogHost::Handlers handlers;
    handlers.onInit = [&](DialogControls& c) {
        c.ListAdd(1000, u"beta");
        c.ListAdd(1000, u"alpha");
        seen.emptySelection = c.ListSelection(1000);
        c.SetTitle(u"Probe one");
        c.SetItemText(IDOK, u"Take");
        c.EnableItem(IDOK, false);
        c.ShowItem(1001, true);
        c.MoveTo(100, 120);
    };
    handlers.onCommand = [&](DialogControls& c, int id, int code) {
        if (id == 1000)
            seen.commands.push_back(u"list " + c.ListText(1000, c.ListSelection(1000)) + u" " +
                                    c.ListText(1000, 5));
        else
            seen.commands.push_back(u"edit " + c.ItemText(1001) + u" " +
                                    std::u16string(1, static_cast<char16_t>(u'0' + code / 0x100)));
    };
    handlers.onOk = [&](DialogControls&) { return ++seen.oks == 2; };
    struct Shown {
        RECT frame{};
        bool okEnabled = true, editShown = false, stillOpen = false;
        std::wstring okText, first;
    } shown;
    const int result = RunWithActor(
        L"Probe one", [&] { return dialogs.RunModal(skin, 1074, handlers); },
        [&](HWND dialog) {
            GetWindowRect(dialog, &shown.frame);
            shown.okEnabled = IsWindowEnabled(GetDlgItem(dialog, IDOK)) != FALSE;
            // The dialog itself may not be shown yet: the edit's own style tells.
            shown.editShown =
                (GetWindowLongW(GetDlgItem(dialog, 1001), GWL_STYLE) & WS_VISIBLE) != 0;
            shown.okText = TextOf(GetDlgItem(dialog, IDOK));
            HWND list = GetDlgItem(dialog, 1000);
            wchar_t first[32] = {};
            SendMessageW(list, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(first));
            shown.first = first;
            SendMessageW(list, LB_SETCURSEL, 1, 0);
            Command(dialog, 1000, LBN_SELCHANGE);
            Command(dialog, 1000, LBN_DBLCLK);                  // not a change the handlers follow
            SetWindowTextW(GetDlgItem(dialog, 1001), L"mine");  // the edit reports EN_CHANGE
            Command(dialog, 1002, EN_CHANGE);                   // not one of the two controls
            Command(dialog, IDOK, BN_CLICKED);                  // refused by the handler
            shown.stillOpen = IsWindow(dialog) != FALSE;
            Command(dialog, IDOK, BN_CLICKED);
        });
    Check(result == IDOK && seen.oks == 2, "dialog: OK ends the dialog once the handler agrees");
    Check(shown.stillOpen, "dialog: OK refused by the handler leaves the dialog open");
    Check(seen.emptySelection == -1, "dialog: no selection reads as -1");
    Check(shown.frame.left == 100 && shown.frame.top == 120, "dialog: MoveTo places the window");
    Check(!shown.okEnabled, "dialog: EnableItem disables the button");
    Check(shown.okText == L"Take", "dialog: SetItemText reaches the button");
    Check(shown.editShown, "dialog: ShowItem shows the edit field");
    Check(shown.first == L"alpha", "dialog: the list keeps its entries sorted");
    Check(seen.commands.size() == 2 && seen.commands[0] == u"list beta " &&
              seen.commands[1] == u"edit mine 3",
          "dialog: selection and edit changes reach the handler, nothing else does (got " +
              std::to_string(seen.commands.size()) + ")");

    ModalDialogHost::Handlers cancelled;
    int cancelOks = 0;
    cancelled.onInit = [](DialogControls& c) { c.SetTitle(u"Probe two"); };
    cancelled.onOk = [&](DialogControls&) { return ++cancelOks > 0; };
    const int cancelResult = RunWithActor(
        L"Probe two", [&] { return dialogs.RunModal(skin, 1074, cancelled); },
        [](HWND dialog) { Command(dialog, IDCANCEL, BN_CLICKED); });
    Check(cancelResult == IDCANCEL && cancelOks == 0, "dialog: Cancel ends it without OK");
}

// The preset dialog of the panel over the Win32 registry and dialog: save, load, delete.
void PresetChecks(Win32PanelShell& shell, ResourceModule& skin) {
    Win32PanelRegistry registry;
    Win32ModalDialogs dialogs(shell);
    CQEXEQOperatorDlg presets(registry, shell, dialogs);
    KnobCorner knobs[10];
    KnobCorner* pointers[10];
    for (int band = 0; band < 10; ++band) {
        knobs[band] = {0, 234 + band * 17};
        pointers[band] = &knobs[band];
    }
    bool okBefore = true, okAfter = false;
    const int saved = RunWithActor(
        L"Save", [&] { return presets.Run(skin, CQEXEQOperatorDlg::Save, 50, 60, pointers); },
        [&](HWND dialog) {
            okBefore = IsWindowEnabled(GetDlgItem(dialog, IDOK)) != FALSE;
            SetWindowTextW(GetDlgItem(dialog, 1001), L"Probe Rock");
            okAfter = IsWindowEnabled(GetDlgItem(dialog, IDOK)) != FALSE;
            Command(dialog, IDOK, BN_CLICKED);
        });
    Check(saved == IDOK && !okBefore && okAfter, "presets: typing a name enables OK; saved");
    HKEY key = nullptr;
    DWORD stored = 0, size = sizeof stored, type = 0;
    const bool readable =
        RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\QEXAudioEQ\\Probe Rock", 0, KEY_READ, &key) ==
            ERROR_SUCCESS &&
        RegQueryValueExW(key, L"9", nullptr, &type, reinterpret_cast<BYTE*>(&stored), &size) ==
            ERROR_SUCCESS;
    if (key != nullptr)
        RegCloseKey(key);
    Check(readable && type == REG_DWORD && stored == 234 + 9 * 17,
          "presets: the knob tops are in the registry as REG_DWORD");

    for (KnobCorner& knob : knobs)
        knob.y = 0;
    const int loaded = RunWithActor(
        L"Load", [&] { return presets.Run(skin, CQEXEQOperatorDlg::Load, 50, 60, pointers); },
        [&](HWND dialog) {
            HWND list = GetDlgItem(dialog, 1000);
            const LRESULT index = SendMessageW(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                               reinterpret_cast<LPARAM>(L"Probe Rock"));
            SendMessageW(list, LB_SETCURSEL, index, 0);
            Command(dialog, 1000, LBN_SELCHANGE);
            Command(dialog, IDOK, BN_CLICKED);
        });
    bool back = true;
    for (int band = 0; band < 10; ++band)
        back = back && knobs[band].y == 234 + band * 17;
    Check(loaded == IDOK && back, "presets: loading the saved preset restores every knob");

    const int deleted = RunWithActor(
        L"Delete", [&] { return presets.Run(skin, CQEXEQOperatorDlg::Delete, 50, 60, pointers); },
        [&](HWND dialog) {
            HWND list = GetDlgItem(dialog, 1000);
            const LRESULT index = SendMessageW(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                               reinterpret_cast<LPARAM>(L"Probe Rock"));
            SendMessageW(list, LB_SETCURSEL, index, 0);
            Command(dialog, 1000, LBN_SELCHANGE);
            Command(dialog, IDOK, BN_CLICKED);
        });
    HKEY goneKey = nullptr;
    Check(deleted == IDOK && RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\QEXAudioEQ\\Probe Rock",
                                           0, KEY_READ, &goneKey) == ERROR_FILE_NOT_FOUND,
          "presets: the deleted preset is gone from the registry");
}

// --- the microphone's COM objects, Core Audio and the mixer --------------------------------

class CountingCallback : public MicChangeCallback {
  public:
    int32_t OnNotify(bool hasData) override {
        ++calls;
        lastHadData = hasData;
        return 0;
    }
    int calls = 0;
    bool lastHadData = false;
};

void SinkChecks() {
    Win32CoreAudio coreAudio;
    Win32Mixer mixer;
    WindowsVolume volume(coreAudio, mixer);
    int volumeCalls = 0, partCalls = 0;
    volume.SetNotifyHandlers([&] { ++volumeCalls; }, [&] { ++partCalls; });

    MicNotifyObject& object = volume.VolumeCallback();
    IAudioEndpointVolumeCallback* sink = coreAudio.VolumeSinkFor(&object);
    Check(sink != nullptr && sink == coreAudio.VolumeSinkFor(&object),
          "sinks: one COM object per callback");
    void* out = nullptr;
    Check(sink->QueryInterface(__uuidof(IAudioEndpointVolumeCallback), &out) == S_OK &&
              out == sink && object.References() == 2,
          "sinks: the callback interface answers with the sink, counted on the panel's object");
    Check(sink->Release() == 1 && object.References() == 1, "sinks: Release forwards");
    out = nullptr;
    Check(sink->QueryInterface(__uuidof(IUnknown), &out) == S_OK && out == sink,
          "sinks: IUnknown answers with the sink");
    sink->Release();
    out = sink;
    Check(sink->QueryInterface(__uuidof(IControlChangeNotify), &out) == E_NOINTERFACE &&
              out == nullptr && object.References() == 1,
          "sinks: another interface is refused with an empty result");
    Check(sink->QueryInterface(__uuidof(IUnknown), nullptr) == E_POINTER,
          "sinks: no place for the answer is refused");
    Check(sink->AddRef() == 2 && sink->Release() == 1, "sinks: AddRef forwards");
    Check(sink->OnNotify(nullptr) == E_INVALIDARG && volumeCalls == 0,
          "sinks: a notification without data is refused");
    AUDIO_VOLUME_NOTIFICATION_DATA data = {};
    Check(sink->OnNotify(&data) == S_OK && volumeCalls == 1,
          "sinks: a volume notification reaches the panel");

    IControlChangeNotify* partSink = coreAudio.PartSinkFor(&volume.PartCallback());
    out = nullptr;
    Check(partSink->QueryInterface(__uuidof(IControlChangeNotify), &out) == S_OK && out == partSink,
          "sinks: the part sink answers its own interface");
    partSink->Release();
    Check(partSink->OnNotify(0, nullptr) == S_OK && partCalls == 1 && volumeCalls == 1,
          "sinks: a control change reaches the panel's other handler");

    // A callback that is not one of the panel's objects still gets a proper COM object.
    CountingCallback plain;
    IAudioEndpointVolumeCallback* plainSink = coreAudio.VolumeSinkFor(&plain);
    Check(plainSink != sink && plainSink->AddRef() == 2 && plainSink->Release() == 1,
          "sinks: a plain callback has a count of its own");
    Check(plainSink->OnNotify(nullptr) == S_OK && plain.calls == 1 && !plain.lastHadData,
          "sinks: a plain callback sees a notification without data as such");
    Check(coreAudio.RegisterVolumeCallback(0, nullptr) == E_POINTER &&
              coreAudio.RegisterPartCallback(0, nullptr) == E_POINTER,
          "sinks: registering no callback is refused");
}

void CoreAudioChecks() {
    Win32CoreAudio coreAudio;
    Win32Mixer mixer;
    WindowsVolume volume(coreAudio, mixer);
    const std::u16string nobody = u"No such microphone \x263A";
    uint32_t value = 9;
    const int results[] = {
        volume.GetMicVolume(nobody, &value), volume.SetMicVolume(nobody, 50),
        volume.GetMicMute(nobody, &value),   volume.SetMicMute(nobody, 1),
        volume.GetMicBoost(nobody, &value),  volume.SetMicBoost(nobody, 1),
        volume.RegisterMicCallbacks(nobody), volume.UnregisterMicCallbacks(nobody)};
    bool allOne = true;
    for (int result : results)
        allOne = allOne && result == 1;
    Check(allOne && value == 9, "core audio: a microphone that is not there gives 1 everywhere");

    const int32_t com = coreAudio.InitializeCom();
    CoreAudioPorts::Object enumerator = 0;
    const int32_t created = coreAudio.CreateEnumerator(&enumerator);
    Check(created >= 0 && enumerator != 0, "core audio: the device enumerator exists");
    std::vector<CoreAudioPorts::Object> endpoints;
    if (enumerator != 0)
        Check(coreAudio.ActiveCaptureEndpoints(enumerator, &endpoints) >= 0,
              "core audio: the capture endpoints enumerate");
    std::vector<std::u16string> names;
    for (CoreAudioPorts::Object endpoint : endpoints) {
        std::u16string name;
        const bool named = coreAudio.FriendlyName(endpoint, &name) >= 0 && !name.empty();
        Check(named, "core audio: endpoint '" + Narrow(name) + "' has a friendly name");
        names.push_back(name);
        coreAudio.Release(endpoint);
    }
    coreAudio.Release(enumerator);
    if (com >= 0)
        coreAudio.UninitializeCom();
    if (names.empty())
        Note("core audio: no capture endpoint on this system");
    for (const std::u16string& name : names) {
        uint32_t percent = 0, mute = 0, boost = 0;
        const int got = volume.GetMicVolume(name, &percent);
        Check(got != 1, "core audio: '" + Narrow(name) + "' is found by its own name");
        if (got == 0)
            Check(percent <= 100, "core audio: the volume is a percentage");
        const int gotMute = volume.GetMicMute(name, &mute);
        const int gotBoost = volume.GetMicBoost(name, &boost);
        const int registered = volume.RegisterMicCallbacks(name);
        const int unregistered = volume.UnregisterMicCallbacks(name);
        Note("core audio: '" + Narrow(name) + "' volume " + std::to_string(got) + "/" +
             std::to_string(percent) + ", mute " + std::to_string(gotMute) + "/" +
             std::to_string(mute) + ", boost " + std::to_string(gotBoost) + "/" +
             std::to_string(boost) + ", register " + std::to_string(registered) + ", unregister " +
             std::to_string(unregistered));
        Check(!volume.HoldsEndpointVolume(), "core audio: nothing stays held after unregistering");
    }
}

void MixerChecks() {
    Win32Mixer mixer;
    const uint32_t count = mixer.DeviceCount();
    MixerPorts::Mixer none = 0;
    Check(!mixer.Open(count, &none), "mixer: a mixer past the last does not open");
    int lines = 0;
    for (uint32_t index = 0; index < count; ++index) {
        MixerPorts::Mixer handle = 0;
        if (!mixer.Open(index, &handle)) {
            Note("mixer " + std::to_string(index) + " does not open");
            continue;
        }
        MixerPorts::Line destination;
        if (mixer.DestinationByType(handle, 7, &destination)) {
            ++lines;
            Check(destination.componentType == 7, "mixer " + std::to_string(index) +
                                                      ": the wave-in destination, target '" +
                                                      Narrow(destination.targetName) + "'");
            std::vector<MixerPorts::Control> controls;
            const bool listed = mixer.AllControls(handle, destination, &controls);
            Check(listed, "mixer: its controls (" + std::to_string(controls.size()) + ")");
            for (const MixerPorts::Control& control : controls) {
                MixerPorts::Control byType;
                Check(mixer.ControlByType(handle, destination, control.type, &byType) &&
                          byType.type == control.type,
                      "mixer: control type " + std::to_string(control.type) +
                          " is found by its type");
                if (control.type != 0x50030001 && control.type != 0x20010002 &&
                    control.type != 0x20010001)
                    continue;
                uint32_t value = 0;
                const bool read = mixer.GetValue(handle, byType, &value);
                Check(read && mixer.SetValue(handle, byType, value),
                      "mixer: control type " + std::to_string(control.type) +
                          " reads and writes back " + std::to_string(value));
            }
            for (uint32_t s = 0; s < destination.sourceCount; ++s) {
                MixerPorts::Line source;
                const bool found = mixer.Source(handle, destination, s, &source);
                Check(found && source.destination == destination.destination,
                      "mixer: source " + std::to_string(s) + " of the destination, type " +
                          std::to_string(source.componentType));
            }
        }
        mixer.Close(handle);
    }
    if (lines == 0)
        Note("mixer: no wave-in destination on this system");
}

void WaveInChecks(Win32PanelShell& shell) {
    Win32WaveIn waveIn(shell);
    uint8_t buffer[16] = {};
    // Without the main window there is nowhere for wave-in to report to.
    Check(!waveIn.Open(WaveInPorts::kWaveMapper, 8000, 8, 1), "wave-in: no window, no device");
    Check(!waveIn.Queue(0, buffer, sizeof buffer) && !waveIn.Start(),
          "wave-in: nothing queues or starts while closed");
    waveIn.ResetAndClose();
    waveIn.Unprepare(0);
    waveIn.Unprepare(-1);
    const uint32_t devices = waveIn.DeviceCount();
    std::u16string name;
    Check(!waveIn.ProductName(devices, &name), "wave-in: no name past the last device");
    for (uint32_t i = 0; i < devices; ++i) {
        const bool named = waveIn.ProductName(i, &name) && !name.empty();
        Check(named, "wave-in: device " + std::to_string(i) + " is '" + Narrow(name) + "'");
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Win32PanelSystem system;
    Win32PanelShell shell(system);
    ResourceModule* skin = argc > 1 ? system.LoadLibrary(FromWide(argv[argc - 1])) : nullptr;
    Check(skin != nullptr, "the stand-in skin loads");

    RegistryChecks();
    if (skin != nullptr) {
        DialogChecks(system, shell, *skin);
        PresetChecks(shell, *skin);
    }
    SinkChecks();
    CoreAudioChecks();
    MixerChecks();
    WaveInChecks(shell);
    std::printf("%d failed\n", failures);
    return failures;
}
