#include "audio_control_app.h"

#include "panel_texts.h"

namespace {
constexpr size_t kPathLimit = 260;

std::u16string WithBackslash(std::u16string path) {
    if (path.empty() || path.back() != u'\\')
        path.push_back(u'\\');
    return path;
}
}  // namespace

bool CQEXAudioControlApp::InitInstance() {
    const std::u16string tail = system_.CommandLineTail();
    if (system_.OsMajorVersion() == 6 && tail.find(kSwitchElevated) == std::u16string::npos) {
        std::u16string params = tail + u" " + kSwitchElevated;
        if (params.size() > kPathLimit - 1)
            params.resize(kPathLimit - 1);
        system_.ShellExecuteRunas(system_.ModuleFileName(), params);
        return false;
    }

    bool existed = false;
    system_.CreateNamedMutex(kMutexName, &existed);
    if (existed) {
        shell_.PostQuit(0);
        return false;
    }

    const std::u16string ini =
        WithBackslash(WithBackslash(system_.SystemDirectory()) + kSkinFolderName) +
        kSkinDescriptionFile;
    const std::u16string skinPath =
        system_.ReadProfileString(kSkinSection, kSkinPathKey, u"", ini).substr(0, kPathLimit - 1);
    ResourceModule* library = skinPath.empty() ? nullptr : system_.LoadLibrary(skinPath);
    int isDefault = 0;
    if (library == nullptr || !library->CallIsQEXDefaultSkin(&isDefault)) {
        shell_.MessageBox(kTextNoResourceDirectory, kApplicationName, kMbOk);
        shell_.PostQuit(0);
        return false;
    }
    skin_ = library;
    dialog_.IsDefaultSkin = isDefault;
    dialog_.SetResourceModule(library);
    return shell_.CreateMainDialog(*library, 1064);
}

int CQEXAudioControlApp::ExitInstance(int quitCode) {
    if (skin_ != nullptr) {
        system_.FreeLibrary(skin_);
        skin_ = nullptr;
    }
    return quitCode;
}
