// The user's side of the desktop: skins in the skins folder, the control panel started as a
// program, and everything a user does to it (clicks, drags, the tray icon and its menu), the
// default audio devices, and what the panel shows (its state, its window as a picture).
// The user session's headers come before the kernel's, whose macros would rename their
// constants.
#include "host/desktop.h"
#include "host/user_session.h"
// clang-format off
#include <chrono>
#include <cstdio>
#include <thread>
#include <fstream>
#include <iterator>

#include "audio_control_dlg.h"
#include "host/file_system.h"
#include "host/processes.h"
#include "host/text.h"
#include "host/user_system.h"
#include "panel_program_host.h"
#include "png_file.h"
#include "scenario_context.h"
#include "test_sound_host.h"
// clang-format on

namespace {

namespace user = host::user;
using host::Utf16ToUtf8;
using host::Utf8ToUtf16;

constexpr char kSkinFolder[] = "C:\\Windows\\system32\\QX_AudioControlRec";
constexpr char kPanelImage[] = "C:\\Windows\\system32\\QX_AudioControl.exe";

// --- skins -----------------------------------------------------------------------------------

void SkinsCommand(ScenarioContext& c, const Words& w) {
    Arity(w, 3, 3, "skins install english|schinese|tchinese | skins add FILE");
    if (w[1] == "install") {
        if (c.bareMachine)
            Fail(
                "skins install writes what the installer writes: on a bare machine, installer run");
        const char* folder = w[2] == "english"    ? "en"
                             : w[2] == "schinese" ? "zh-hans"
                             : w[2] == "tchinese" ? "zh-hant"
                                                  : nullptr;
        if (folder == nullptr)
            Fail("unknown skin '" + w[2] + "' (english, schinese, tchinese)");
        const std::string dll = std::string(kSkinFolder) + "\\QX_AudioControlRec.dll";
        PutOnDrive(c, dll,
                   ReadHostFile(std::string(AMPFX_SKIN_BUILD_DIR) + "/" + folder +
                                "/QX_AudioControlRec.dll"));
        user::Files& files = c.Session().files();
        const std::u16string ini = Utf8ToUtf16(std::string(kSkinFolder) + "\\ResourceInfo.ini");
        const std::u16string section = u"DEFAULT", nameKey = u"Skin Name", pathKey = u"Skin Path";
        const std::u16string name = u"System Default", path = Utf8ToUtf16(dll);
        files.WritePrivateProfileString(&section, &nameKey, &name, ini);
        files.WritePrivateProfileString(&section, &pathKey, &path, ini);
        c.out << "skin=" << w[2] << " path=" << dll << "\n";
    } else if (w[1] == "add") {
        // "test-skin" is the foreign skin the build makes, "broken:NAME" one of its broken
        // skins (NoDefaultExport, EmptyName, MissingBitmap); anything else is a library file.
        const std::string source =
            w[2] == "test-skin" ? std::string(AMPFX_TEST_SKIN_DLL)
            : w[2].rfind("broken:", 0) == 0
                ? std::string(AMPFX_BROKEN_SKIN_DIR) + "/" + w[2].substr(7) + ".dll"
                : c.InputPath(w[2]);
        const std::string base = source.substr(source.find_last_of("/\\") + 1);
        const std::string target = std::string(kSkinFolder) + "\\" + base;
        PutOnDrive(c, target, ReadHostFile(source));
        c.out << "added=" << target << "\n";
    } else {
        Fail("usage: skins install english|schinese|tchinese | skins add FILE");
    }
}

// --- the panel -------------------------------------------------------------------------------

panelhost::RunningPanel& Running(ScenarioContext& c) {
    panelhost::RunningPanel* panel = c.Panels().Current();
    if (panel == nullptr || panel->shell == nullptr || panel->shell->Window() == 0)
        Fail("no panel is running (panel start first)");
    return *panel;
}

void Settle(ScenarioContext& c) {
    if (!c.Session().desktop().WaitIdle(20000))
        Fail("the panel did not come back to its message loop");
    // What the panel changed in Windows comes back to it from the notification thread; it
    // takes those reports before the scenario goes on.
    c.Session().coreAudio().Flush();
    if (!c.Session().desktop().WaitIdle(20000))
        Fail("the panel did not come back to its message loop");
    // A panel that posted its quit message is on its way out: let it end.
    panelhost::RunningPanel* panel = c.Panels().Current();
    if (panel != nullptr && panel->quitPosted)
        c.System().processes().Wait(panel->process, 20000);
}

std::string Quoted(const std::u16string& text) {
    std::string out = "\"";
    for (char ch : Utf16ToUtf8(text))
        out += ch == '"' ? std::string("\\\"") : std::string(1, ch);
    return out + "\"";
}

void PrintMessageBoxes(ScenarioContext& c) {
    const std::vector<user::MessageBoxRecord> boxes = c.Session().desktop().MessageBoxes();
    for (size_t i = c.messageBoxesPrinted; i < boxes.size(); ++i)
        c.out << "messagebox text=" << Quoted(boxes[i].text) << "\n";
    c.messageBoxesPrinted = boxes.size();
}

std::string TrayText(ScenarioContext& c, user::Hwnd hwnd) {
    const std::optional<user::TrayIcon> icon = c.Session().desktop().FindTrayIcon(hwnd, 0);
    if (!icon)
        return "none";
    return icon->data.icon != 0 ? std::to_string(icon->data.icon) : "no-icon";
}

void PrintPanelLine(ScenarioContext& c) {
    panelhost::RunningPanel* panel = c.Panels().Current();
    if (panel == nullptr || panel->shell == nullptr) {
        c.out << "panel=ended window=hidden tray=none\n";
        return;
    }
    const user::Hwnd hwnd = panel->shell->Window();
    c.out << "panel=running window="
          << (hwnd != 0 && c.Session().desktop().IsWindowVisible(hwnd) ? "shown" : "hidden")
          << " tray=" << (hwnd != 0 ? TrayText(c, hwnd) : "none") << "\n";
}

void PanelStart(ScenarioContext& c, const Words& w) {
    c.Panels();
    // On a bare machine the panel is there only once the installer wrote it; a 32-bit
    // program written to system32 on a 64-bit machine lies in SysWOW64.
    const std::string image =
        c.sixtyFourBit ? "C:\\Windows\\SysWOW64\\QX_AudioControl.exe" : kPanelImage;
    if (!c.bareMachine && !c.System().files().FileExists(image))
        PutOnDrive(c, image, ReadHostFile(AMPFX_PANEL_RESOURCES_HOST_DLL));
    std::string line = std::string("\"") + image + "\"";
    for (size_t i = 2; i < w.size(); ++i)
        line += " " + w[i];
    if (const uint32_t error = StartPanelProgram(c, line); error != 0)
        Fail("the panel did not start (error " + std::to_string(error) + ")");
}

}  // namespace

uint32_t StartPanelProgram(ScenarioContext& c, const std::string& line) {
    c.Panels();
    user::ProcessId id = 0;
    if (const uint32_t error = c.Session().shell().CreateProcess(Utf8ToUtf16(line), &id))
        return error;
    // The first start may hand over to an elevated one and end: wait until it sits idle or
    // has ended, then the same for every panel it started.
    user::Desktop& desktop = c.Session().desktop();
    host::Processes& processes = c.System().processes();
    desktop.WaitForInputIdle(id, 20000);
    for (int round = 0; round < 4; ++round) {
        bool waited = false;
        for (host::ProcessId other : processes.RunningProcesses())
            if (other != id &&
                processes.ImagePath(other).find(panelhost::kPanelImageName) != std::string::npos) {
                desktop.WaitForInputIdle(other, 20000);
                waited = true;
            }
        Settle(c);
        if (!waited)
            break;
    }
    PrintMessageBoxes(c);
    PrintPanelLine(c);
    return 0;
}

namespace {

std::string SpeakerTestValue(const CQEXAudioControlDlg& d, const std::string& field, bool* known);
std::string BarsText(panelhost::RunningPanel& panel);
std::string LabelsText(panelhost::RunningPanel& panel);

std::string Value(const CQEXAudioControlDlg& d, const std::string& field, bool* known) {
    *known = true;
    auto pair = [](int a, int b) { return std::to_string(a) + "," + std::to_string(b); };
    if (field == "IsDefaultSkin")
        return std::to_string(d.IsDefaultSkin);
    if (field == "CurrentPage")
        return std::to_string(d.CurrentPage);
    if (field == "DevicePresent")
        return std::to_string(d.DevicePresent);
    if (field == "CoreAudioAvailable")
        return std::to_string(d.CoreAudioAvailable);
    if (field == "EqKnobTop") {
        std::string text;
        for (const KnobCorner& k : d.EqKnobTop)
            text += (text.empty() ? "" : ",") + std::to_string(k.y);
        return text;
    }
    if (field == "GrabOffsetY")
        return std::to_string(d.GrabOffsetY);
    if (field == "DriverHandle")
        return d.DriverHandle == DriverLink::kInvalidHandle ? "invalid" : "open";
    if (field == "EqPressedButton")
        return std::to_string(d.EqPressedButton);
    if (field == "EqEnableLit")
        return std::to_string(d.EqEnableLit);
    if (field == "EqDisabled")
        return std::to_string(d.EqDisabled);
    if (field == "EqPreset")
        return std::to_string(d.EqPreset);
    if (field == "GrabbedKnob")
        return std::to_string(d.GrabbedKnob);
    if (field == "SoundFieldType")
        return std::to_string(d.SoundFieldType);
    if (field == "TestSource")
        return std::to_string(d.TestSource);
    if (field == "TestTrack")
        return std::to_string(d.TestTrack);
    if (field == "TestPlaying")
        return std::to_string(d.TestPlaying);
    if (field == "FieldBitmap")
        return std::to_string(d.FieldBitmap);
    if (field == "SourceIcon")
        return std::to_string(d.SourceIcon);
    if (field == "SourceIconPos")
        return pair(d.SourceIconPosX, d.SourceIconPosY);
    if (field == "Dragging")
        return std::to_string(d.Dragging);
    if (field == "SelectedSpeaker")
        return std::to_string(d.SelectedSpeaker);
    if (field == "MicKnobPos")
        return pair(d.MicKnobPosX, d.MicKnobPosY);
    if (field == "MicMute")
        return std::to_string(d.MicMute);
    if (field == "MicBoost")
        return std::to_string(d.MicBoost);
    if (field == "MicLevel")
        return std::to_string(d.MicLevel);
    return SpeakerTestValue(d, field, known);
}

const char* const kStateFields[] = {
    "IsDefaultSkin",   "CurrentPage",   "DevicePresent",   "CoreAudioAvailable", "EqKnobTop",
    "GrabOffsetY",     "DriverHandle",  "EqPressedButton", "EqEnableLit",        "EqDisabled",
    "EqPreset",        "GrabbedKnob",   "SoundFieldType",  "TestSource",         "TestTrack",
    "TestPlaying",     "FieldBitmap",   "SourceIcon",      "SourceIconPos",      "Dragging",
    "SelectedSpeaker", "MicKnobPos",    "MicMute",         "MicBoost",           "MicLevel",
    "Window",          "Tray",          "SpeakerLayout",   "SpeakerIcons",       "Virtual71",
    "Virtual71Mode",   "Virtual71Bars", "Virtual71Labels"};

void PanelState(ScenarioContext& c, const Words& w) {
    panelhost::RunningPanel& panel = Running(c);
    Settle(c);
    std::vector<std::string> fields(w.begin() + 2, w.end());
    if (fields.empty())
        fields.assign(std::begin(kStateFields), std::end(kStateFields));
    const user::Hwnd hwnd = panel.shell->Window();
    for (const std::string& field : fields) {
        std::string value;
        bool known = true;
        if (field == "Window")
            value = c.Session().desktop().IsWindowVisible(hwnd) ? "shown" : "hidden";
        else if (field == "Tray")
            value = TrayText(c, hwnd);
        else if (field == "Virtual71Bars")
            value = BarsText(panel);
        else if (field == "Virtual71Labels")
            value = LabelsText(panel);
        else
            value = Value(*panel.dialog, field, &known);
        if (!known)
            Fail("unknown panel field '" + field + "'");
        c.out << field << "=" << value << "\n";
    }
}

user::Point ScreenPoint(ScenarioContext& c, panelhost::RunningPanel& panel, const std::string& x,
                        const std::string& y) {
    user::Rect rect;
    c.Session().desktop().GetWindowRect(panel.shell->Window(), &rect);
    return {rect.left + static_cast<int>(ParseNumber(x, "x", 10000)),
            rect.top + static_cast<int>(ParseNumber(y, "y", 10000))};
}

void PanelMouse(ScenarioContext& c, const Words& w) {
    panelhost::RunningPanel& panel = Running(c);
    user::Desktop& desktop = c.Session().desktop();
    const std::string& what = w[1];
    if (what == "drag") {
        Arity(w, 6, 7, "panel drag X1 Y1 X2 Y2 [STEPS]");
        const user::Point from = ScreenPoint(c, panel, w[2], w[3]);
        const user::Point to = ScreenPoint(c, panel, w[4], w[5]);
        const int steps = w.size() == 7 ? static_cast<int>(ParseNumber(w[6], "steps", 1000)) : 10;
        desktop.Mouse(user::MouseAction::Move, from);
        desktop.Mouse(user::MouseAction::LeftDown, from);
        Settle(c);
        for (int s = 1; s <= steps; ++s) {
            desktop.Mouse(user::MouseAction::Move,
                          {from.x + (to.x - from.x) * s / std::max(steps, 1),
                           from.y + (to.y - from.y) * s / std::max(steps, 1)});
            Settle(c);
        }
        desktop.Mouse(user::MouseAction::LeftUp, to);
    } else {
        Arity(w, 4, 4, "panel press|release|move|click|dblclick X Y");
        const user::Point at = ScreenPoint(c, panel, w[2], w[3]);
        if (what == "press") {
            desktop.Mouse(user::MouseAction::Move, at);
            desktop.Mouse(user::MouseAction::LeftDown, at);
        } else if (what == "release") {
            desktop.Mouse(user::MouseAction::LeftUp, at);
        } else if (what == "move") {
            desktop.Mouse(user::MouseAction::Move, at);
        } else if (what == "click") {
            desktop.Mouse(user::MouseAction::Move, at);
            desktop.Click(at);
        } else {
            desktop.Mouse(user::MouseAction::Move, at);
            desktop.DoubleClick(at);
        }
    }
    Settle(c);
    PrintMessageBoxes(c);
}

void PrintMenu(ScenarioContext& c, const std::vector<user::MenuSnapshot::Entry>& items,
               const std::string& indent) {
    for (const user::MenuSnapshot::Entry& entry : items) {
        const user::MenuItem& item = entry.item;
        if (item.flags & user::MF_SEPARATOR) {
            c.out << indent << "separator\n";
            continue;
        }
        c.out << indent << "item id=" << item.id << " text=" << Quoted(item.text)
              << " checked=" << ((item.flags & user::MF_CHECKED) ? "yes" : "no")
              << ((item.flags & user::MF_GRAYED) ? " grayed=yes" : "") << "\n";
        if (!entry.submenu.empty())
            PrintMenu(c, entry.submenu, indent + "  ");
    }
}

void PanelTray(ScenarioContext& c, const Words& w) {
    Arity(w, 3, 3, "panel tray dblclick|menu");
    panelhost::RunningPanel& panel = Running(c);
    user::Desktop& desktop = c.Session().desktop();
    if (w[2] == "dblclick") {
        if (!desktop.ClickTrayIcon(panel.shell->Window(), 0, user::TrayClick::DoubleClick))
            Fail("the panel has no tray icon");
        Settle(c);
        PrintMessageBoxes(c);
        PrintPanelLine(c);
    } else if (w[2] == "menu") {
        if (!desktop.ClickTrayIcon(panel.shell->Window(), 0, user::TrayClick::RightClick))
            Fail("the panel has no tray icon");
        Settle(c);
        PrintMessageBoxes(c);
        const std::optional<user::ShownMenu> menu = desktop.OpenMenu();
        if (!menu)
            Fail("no menu opened");
        PrintMenu(c, menu->menu.items, "");
    } else {
        Fail("usage: panel tray dblclick|menu");
    }
}

void PanelCommandId(ScenarioContext& c, const Words& w) {
    Arity(w, 3, 3, "panel command ID");
    panelhost::RunningPanel& panel = Running(c);
    user::Desktop& desktop = c.Session().desktop();
    const uint32_t id = ParseNumber(w[2], "command id", 0xFFFF);
    // With the tray menu open the command is chosen in it, as a user clicks the item.
    if (desktop.OpenMenu()) {
        if (!desktop.ChooseMenuItem(id))
            Fail("the open menu has no enabled item " + w[2]);
        // The panel's thread leaves the menu before it takes the command.
        for (int tries = 0; tries < 2000 && desktop.OpenMenu(); ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else {
        desktop.PostMessage(panel.shell->Window(), user::WM_COMMAND, id, 0);
    }
    Settle(c);
    PrintMessageBoxes(c);
    PrintPanelLine(c);
}

void WaitForPanelEnd(ScenarioContext& c, uint32_t process) {
    host::Processes& processes = c.System().processes();
    int exitCode = 0;
    if (processes.Wait(process, 10000, &exitCode) == 0)
        c.out << "panel=ended exit=" << exitCode << "\n";
    else
        PrintPanelLine(c);
}

void PanelMessage(ScenarioContext& c, const Words& w) {
    Arity(w, 3, 3, "panel message exit");
    if (w[2] != "exit")
        Fail("usage: panel message exit");
    user::Desktop& desktop = c.Session().desktop();
    // As the installer does it: the window found by its title, the registered message.
    const user::Hwnd hwnd = desktop.FindWindow(u"", u"QEX USB Ampfx Suite");
    if (hwnd == 0)
        Fail("no window titled \"QEX USB Ampfx Suite\"");
    panelhost::RunningPanel* panel = c.Panels().Current();
    const uint32_t process = panel != nullptr ? panel->process : 0;
    desktop.PostMessage(hwnd, desktop.RegisterWindowMessage(u"WM_QEX4410APP_EXIT"), 0, 0);
    Settle(c);
    PrintMessageBoxes(c);
    WaitForPanelEnd(c, process);
}

void PanelDialog(ScenarioContext& c, const Words& w) {
    if (w.size() < 3)
        Fail("usage: panel dialog select NAME|type TEXT|ok|cancel");
    if (w[2] == "ok" || w[2] == "cancel") {
        Arity(w, 3, 3, "panel dialog ok|cancel");
        c.Panels().QueueDialogAnswer(w[2]);
    } else if (w[2] == "select" || w[2] == "type") {
        Arity(w, 4, 4, "panel dialog select NAME|type TEXT");
        c.Panels().QueueDialogAnswer(w[2] + " " + w[3]);
    } else {
        Fail("usage: panel dialog select NAME|type TEXT|ok|cancel");
    }
}

void PrintDialogsShown(ScenarioContext& c) {
    for (const panelhost::HostModalDialogs::Shown& shown : c.Panels().TakeDialogsShown()) {
        std::vector<std::string> names;
        for (const std::u16string& name : shown.list)
            names.push_back(Utf16ToUtf8(name));
        c.out << "dialog title=" << Quoted(shown.title) << " list=" << Join(names, "-")
              << " ok=" << (shown.okEnabled ? "enabled" : "disabled")
              << " result=" << (shown.result == 1 ? "ok" : "cancel") << "\n";
    }
}

void WritePng(const std::string& path, const user::Picture& picture, bool keyed, uint32_t key) {
    std::vector<uint8_t> rgba(static_cast<size_t>(picture.width) * picture.height * 4);
    for (size_t i = 0; i < rgba.size() / 4; ++i) {
        const uint8_t* p = &picture.rgb[i * 3];
        const uint32_t colorRef = p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16);
        rgba[4 * i] = p[0];
        rgba[4 * i + 1] = p[1];
        rgba[4 * i + 2] = p[2];
        // The colour key is cut out of the window: the screen shows what lies beneath.
        rgba[4 * i + 3] = keyed && colorRef == key ? 0 : 255;
    }
    std::string error;
    if (!WritePngFile(path, picture.width, picture.height, 4, rgba.data(), &error))
        Fail(error);
}

void PanelScreenshot(ScenarioContext& c, const Words& w) {
    Arity(w, 3, 3, "panel screenshot FILE.png");
    panelhost::RunningPanel& panel = Running(c);
    Settle(c);
    user::Desktop& desktop = c.Session().desktop();
    const user::Hwnd hwnd = panel.shell->Window();
    const user::Picture picture = desktop.WindowPicture(hwnd);
    if (picture.width == 0)
        Fail("the panel's window shows nothing yet");
    user::LayeredAttributes layered;
    const bool keyed = (static_cast<uint32_t>(desktop.GetWindowLong(hwnd, user::GWL_EXSTYLE)) &
                        user::WS_EX_LAYERED) != 0 &&
                       desktop.GetLayeredWindowAttributes(hwnd, &layered) &&
                       (layered.flags & user::LWA_COLORKEY) != 0;
    const std::string path = c.WritablePath(w[2]);
    WritePng(path, picture, keyed, layered.colorKey);
    c.out << "screenshot=" << w[2] << " size=" << picture.width << "x" << picture.height
          << " window=" << (desktop.IsWindowVisible(hwnd) ? "shown" : "hidden") << "\n";
}

// --- the virtual 7.1 window ----------------------------------------------------------------

std::string Real(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string SpeakerTestValue(const CQEXAudioControlDlg& d, const std::string& field, bool* known) {
    *known = true;
    std::vector<std::string> items;
    if (field == "SpeakerLayout") {
        for (const SpeakerPlace& s : d.SpeakerLayout)
            items.push_back(Real(s.angle) + ":" + std::to_string(s.distance));
        return Join(items);
    }
    if (field == "SpeakerIcons") {
        for (const SpeakerPlace& s : d.SpeakerLayout) {
            const IconCorner corner = SpeakerIconCorner(s.angle, s.distance);
            items.push_back(std::to_string(corner.x) + ":" + std::to_string(corner.y));
        }
        return Join(items);
    }
    if (field == "Virtual71")
        return d.Virtual71WindowExists() ? "open" : "closed";
    if (field == "Virtual71Mode")
        return std::to_string(d.Virtual71Window.Virtual71Mode);
    *known = false;
    return "";
}

// The window's bars in speaker order, as the screen shows them; "none" without the window.
std::string BarsText(panelhost::RunningPanel& panel) {
    if (panel.virtual71 == nullptr || panel.virtual71->Window() == 0)
        return "none";
    std::vector<std::string> items;
    for (uint16_t id : CVirtual71Control::kBarIds)
        items.push_back(std::to_string(panel.virtual71->BarPosition(id)));
    return Join(items);
}

// The label each bar shows for the position it holds, in speaker order.
std::string LabelsText(panelhost::RunningPanel& panel) {
    if (panel.virtual71 == nullptr || panel.virtual71->Window() == 0)
        return "none";
    std::vector<std::string> items;
    for (int i = 0; i < kSpeakerCount; ++i)
        items.push_back("\"" +
                        CVirtual71Control::LabelText(
                            i, panel.virtual71->BarPosition(CVirtual71Control::kBarIds[i])) +
                        "\"");
    return Join(items);
}

panelhost::HostVirtual71Window& Virtual71Of(panelhost::RunningPanel& panel) {
    if (panel.virtual71 == nullptr || panel.virtual71->Window() == 0)
        Fail("the virtual 7.1 window is not open");
    return *panel.virtual71;
}

void PanelVirtual71Mouse(ScenarioContext& c, const Words& w) {
    Arity(w, 5, 5, "panel v71 press|release|click X Y");
    panelhost::RunningPanel& panel = Running(c);
    Settle(c);
    user::Desktop& desktop = c.Session().desktop();
    user::Rect rect;
    desktop.GetWindowRect(Virtual71Of(panel).Window(), &rect);
    const user::Point at = {rect.left + static_cast<int>(ParseNumber(w[3], "x", 10000)),
                            rect.top + static_cast<int>(ParseNumber(w[4], "y", 10000))};
    if (w[2] == "press") {
        desktop.Mouse(user::MouseAction::Move, at);
        desktop.Mouse(user::MouseAction::LeftDown, at);
    } else if (w[2] == "release") {
        desktop.Mouse(user::MouseAction::LeftUp, at);
    } else if (w[2] == "click") {
        desktop.Mouse(user::MouseAction::Move, at);
        desktop.Click(at);
    } else {
        Fail("usage: panel v71 press|release|click X Y");
    }
    Settle(c);
    PrintMessageBoxes(c);
}

void PanelVirtual71Screenshot(ScenarioContext& c, const Words& w) {
    Arity(w, 3, 3, "panel screenshot-v71 FILE.png");
    panelhost::RunningPanel& panel = Running(c);
    Settle(c);
    user::Desktop& desktop = c.Session().desktop();
    const user::Hwnd hwnd = Virtual71Of(panel).Window();
    const user::Picture picture = desktop.WindowPicture(hwnd);
    if (picture.width == 0)
        Fail("the virtual 7.1 window shows nothing yet");
    user::Rect rect;
    desktop.GetWindowRect(hwnd, &rect);
    WritePng(c.WritablePath(w[2]), picture, false, 0);
    c.out << "screenshot=" << w[2] << " size=" << picture.width << "x" << picture.height
          << " at=" << rect.left << "," << rect.top << "\n";
}

void PanelCommand(ScenarioContext& c, const Words& w) {
    if (w.size() < 2)
        Fail(
            "usage: panel start|state|press|release|move|click|dblclick|drag|tray|command|"
            "message|dialog|screenshot|v71|screenshot-v71 ...");
    const std::string& what = w[1];
    if (what == "start")
        PanelStart(c, w);
    else if (what == "state")
        PanelState(c, w);
    else if (what == "press" || what == "release" || what == "move" || what == "click" ||
             what == "dblclick" || what == "drag") {
        PanelMouse(c, w);
        PrintDialogsShown(c);
    } else if (what == "tray")
        PanelTray(c, w);
    else if (what == "command")
        PanelCommandId(c, w);
    else if (what == "message")
        PanelMessage(c, w);
    else if (what == "dialog")
        PanelDialog(c, w);
    else if (what == "screenshot")
        PanelScreenshot(c, w);
    else if (what == "v71")
        PanelVirtual71Mouse(c, w);
    else if (what == "screenshot-v71")
        PanelVirtual71Screenshot(c, w);
    else
        Fail("unknown panel operation '" + what + "'");
}

void AudioCommand(ScenarioContext& c, const Words& w) {
    Arity(w, 4, 4, "audio default playback|recording N|builtin");
    if (w[1] != "default" || (w[2] != "playback" && w[2] != "recording"))
        Fail("usage: audio default playback|recording N|builtin");
    const user::Flow flow = w[2] == "playback" ? user::Flow::Playback : user::Flow::Recording;
    const int index =
        w[3] == "builtin" ? 0 : static_cast<int>(ParseNumber(w[3], "device number", 64));
    if (index == 0 && w[3] != "builtin")
        Fail("device numbers start at 1; the built-in card is 'builtin'");
    if (!c.Session().audio().SetDefault(flow, index))
        Fail("no audio device " + w[3]);
    c.out << "default " << w[2] << "=" << c.Session().audio().DefaultKey(flow) << "\n";
}

const ScenarioCommandArea kPanelCommands = {
    {"skins", SkinsCommand, 0},
    {"panel", PanelCommand},
    {"audio", AudioCommand},
};

}  // namespace
