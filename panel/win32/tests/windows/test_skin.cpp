// The stand-in skin's two entry points. It is not one of the maker's skins, so the panel
// draws its own logo over every page.
#include <windows.h>

extern "C" __declspec(dllexport) int IsQEXDefaultSkin() {
    return 0;
}

extern "C" __declspec(dllexport) const wchar_t* GetResourceName() {
    static const wchar_t kName[] = L"Wine Test Skin";
    return kName;
}
