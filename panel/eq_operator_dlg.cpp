#include "eq_operator_dlg.h"

#include <string>

#include "audio_control_dlg.h"
#include "resource_strings.h"

namespace {

constexpr char16_t kPresetRoot[] = u"Software\\QEXAudioEQ";
constexpr char16_t kTextOpenError[] = u"Open Error!!";
constexpr char16_t kTextInputName[] = u"Please input the name!";
constexpr char16_t kTextErrorName[] = u"Error name!!";
constexpr char16_t kTextSaveError[] = u"Save Error!!";
constexpr size_t kNameLimit = 260;
constexpr int kMissingValueTop = 300;

std::u16string BandName(int band) {
    return std::u16string(1, static_cast<char16_t>(u'0' + band));
}

}  // namespace

int CQEXEQOperatorDlg::Run(ResourceModule& skin, int mode, int anchorX, int anchorY,
                           KnobCorner* const* knobs) {
    skin_ = &skin;
    mode_ = mode;
    anchorX_ = anchorX;
    anchorY_ = anchorY;
    knobs_ = knobs;
    ModalDialogHost::Handlers handlers;
    handlers.onInit = [this](DialogControls& c) { OnInitDialog(c); };
    handlers.onCommand = [this](DialogControls& c, int id, int code) { OnCommand(c, id, code); };
    handlers.onOk = [this](DialogControls& c) {
        OnOK(c);
        return true;
    };
    return host_.RunModal(skin, 1074, handlers);
}

void CQEXEQOperatorDlg::OnInitDialog(DialogControls& controls) {
    PanelRegistry::Key root = 0;
    if (registry_.OpenUserKey(kPresetRoot, &root) == 0) {
        std::u16string name;
        for (uint32_t index = 0; registry_.EnumSubKey(root, index, &name) == 0; ++index)
            controls.ListAdd(kList, name);
        registry_.CloseKey(root);
    }
    std::u16string text;
    if (skin_ != nullptr &&
        LoadResourceString(*skin_, static_cast<uint16_t>(1075 + mode_), &text)) {
        controls.SetTitle(text);
        controls.SetItemText(kOk, text);
    }
    controls.EnableItem(kOk, false);
    if (mode_ == Save)
        controls.ShowItem(kEdit, true);
    controls.MoveTo(anchorX_, anchorY_);
}

void CQEXEQOperatorDlg::OnCommand(DialogControls& controls, int id, int notification) {
    if (id == kList && notification == kNotifySelectionChange && mode_ != Save)
        controls.EnableItem(kOk, true);
    else if (id == kEdit && notification == kNotifyEditChange)
        controls.EnableItem(kOk, mode_ == Save && !controls.ItemText(kEdit).empty());
}

void CQEXEQOperatorDlg::OnOK(DialogControls& controls) {
    if (mode_ == Load)
        LoadPreset(controls);
    else if (mode_ == Save)
        SavePreset(controls);
    else if (mode_ == Delete)
        DeletePreset(controls);
}

void CQEXEQOperatorDlg::LoadPreset(DialogControls& controls) {
    const int selected = controls.ListSelection(kList);
    if (selected < 0)
        return;
    const std::u16string wanted = controls.ListText(kList, selected);
    PanelRegistry::Key root = 0;
    if (registry_.OpenUserKey(kPresetRoot, &root) != 0)
        return;
    // The sorted list and the registry's order agree for most names; walking on from the
    // list position finds the key without a full scan.
    std::u16string name;
    bool found = false;
    for (uint32_t index = static_cast<uint32_t>(selected);
         registry_.EnumSubKey(root, index, &name) == 0; ++index)
        if (name == wanted) {
            found = true;
            break;
        }
    if (!found) {
        shell_.MessageBox(kTextOpenError, nullptr, 0);
        registry_.CloseKey(root);
        return;
    }
    PanelRegistry::Key preset = 0;
    if (registry_.OpenSubKey(root, name, &preset) == 0) {
        for (int band = 0; band < 10; ++band) {
            uint32_t top = 0;
            int y = kMissingValueTop;
            // A stored position outside the knob's track would leave the knob where it can
            // never be drawn or grabbed again; such a value counts as unreadable.
            if (registry_.QueryDword(preset, BandName(band), &top) == 0 && top >= 234 && top <= 388)
                y = static_cast<int>(top);
            knobs_[band]->y = y;
        }
        registry_.CloseKey(preset);
    }
    registry_.CloseKey(root);
}

void CQEXEQOperatorDlg::SavePreset(DialogControls& controls) {
    PanelRegistry::Key root = 0;
    if (registry_.OpenUserKey(kPresetRoot, &root) != 0 &&
        registry_.CreateUserKey(kPresetRoot, &root) != 0)
        return;
    const std::u16string name = controls.ItemText(kEdit).substr(0, kNameLimit);
    if (name.empty()) {
        shell_.MessageBox(kTextInputName, nullptr, 0);
        registry_.CloseKey(root);
        return;
    }
    PanelRegistry::Key preset = 0;
    if (registry_.CreateSubKey(root, name, &preset) != 0) {
        shell_.MessageBox(kTextErrorName, nullptr, 0);
        registry_.CloseKey(root);
        return;
    }
    for (int band = 0; band < 10; ++band)
        if (registry_.SetDword(preset, BandName(band), static_cast<uint32_t>(knobs_[band]->y)) !=
            0) {
            shell_.MessageBox(kTextSaveError, nullptr, 0);
            break;
        }
    registry_.CloseKey(preset);
    registry_.CloseKey(root);
}

void CQEXEQOperatorDlg::DeletePreset(DialogControls& controls) {
    PanelRegistry::Key root = 0;
    if (registry_.OpenUserKey(kPresetRoot, &root) != 0 &&
        registry_.CreateUserKey(kPresetRoot, &root) != 0)
        return;
    const int selected = controls.ListSelection(kList);
    const std::u16string name = selected >= 0 ? controls.ListText(kList, selected) : u"";
    if (name.empty())
        shell_.MessageBox(kTextInputName, nullptr, 0);
    else
        registry_.DeleteSubKey(root, name);
    registry_.CloseKey(root);
}
