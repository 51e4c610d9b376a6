// Loads a skin library the way the panel does and prints what the panel would take from it:
// the name and answer of its entry points, the size of a page, a wave's length, the tray
// menu's commands and the icons. The Wine test compares the lines with the skin's.
//   skin_probe.exe SKIN.dll
#include <windows.h>

#include <stdio.h>

#include <initializer_list>

namespace {

void PrintUtf8(const char* label, const wchar_t* text) {
    char utf8[512];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    printf("%s %s\n", label, n > 0 ? utf8 : "?");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: skin_probe SKIN.dll\n");
        return 2;
    }
    HMODULE skin = LoadLibraryW(argv[1]);
    if (!skin) {
        printf("load failed %lu\n", GetLastError());
        return 1;
    }
    using NameFn = const wchar_t* (*)();
    using DefaultFn = int (*)();
    auto name =
        reinterpret_cast<NameFn>(reinterpret_cast<void*>(GetProcAddress(skin, "GetResourceName")));
    auto isDefault = reinterpret_cast<DefaultFn>(
        reinterpret_cast<void*>(GetProcAddress(skin, "IsQEXDefaultSkin")));
    if (!name || !isDefault) {
        printf("entry points missing\n");
        return 1;
    }
    const wchar_t* text = name();
    PrintUtf8("name", text);
    printf("same buffer %s\n", name() == text ? "yes" : "no");
    printf("default %d\n", isDefault());

    HBITMAP page = static_cast<HBITMAP>(
        LoadImageW(skin, MAKEINTRESOURCEW(1042), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    BITMAP info = {};
    if (page && GetObjectW(page, sizeof info, &info)) {
        printf("bitmap 1042 %ldx%ld %d bpp\n", info.bmWidth, info.bmHeight, info.bmBitsPixel);
    } else {
        printf("bitmap 1042 missing\n");
    }
    for (int id : {1071, 1072}) {
        HRSRC wave = FindResourceW(skin, MAKEINTRESOURCEW(id), L"WAVE");
        printf("wave %d %lu bytes\n", id, wave ? SizeofResource(skin, wave) : 0ul);
    }
    HMENU menu = LoadMenuW(skin, MAKEINTRESOURCEW(1073));
    HMENU tray = menu ? GetSubMenu(menu, 0) : nullptr;
    HMENU skins = tray ? GetSubMenu(tray, 0) : nullptr;
    printf("menu %d %d\n", skins ? static_cast<int>(GetMenuItemID(skins, 0)) : -1,
           tray ? static_cast<int>(GetMenuItemID(tray, 2)) : -1);
    printf("icon 1088 %s\n", LoadIconW(skin, MAKEINTRESOURCEW(1088)) ? "loaded" : "missing");
    printf("icon 1091 %s\n", LoadIconW(skin, MAKEINTRESOURCEW(1091)) ? "loaded" : "missing");
    printf("icon 1066 %s\n", LoadIconW(skin, MAKEINTRESOURCEW(1066)) ? "present" : "absent");
    return 0;
}
