// The two entry points of a skin library. The library has no C runtime: an entry point that
// only says yes, and user32's LoadStringW for the name.
#include <windows.h>

#include "skin_name.h"

#ifndef AMPFX_SKIN_IS_DEFAULT
#error "AMPFX_SKIN_IS_DEFAULT (1 for our own skins, 0 for a foreign one) must be defined"
#endif

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

// The panel keeps the pointer after the call returns, so the name lives in static storage.
wchar_t g_name[skin::kNameCapacity];

}  // namespace

extern "C" BOOL WINAPI SkinDllEntry(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

extern "C" const wchar_t* GetResourceName() {
    // LoadStringW leaves the buffer alone when the string is missing: clear it first, so a
    // skin without a name reads as empty rather than as a name it had before.
    g_name[0] = 0;
    LoadStringW(reinterpret_cast<HINSTANCE>(&__ImageBase), skin::kNameStringId, g_name,
                skin::kNameCapacity);
    return g_name;
}

extern "C" int IsQEXDefaultSkin() {
    return AMPFX_SKIN_IS_DEFAULT;
}
