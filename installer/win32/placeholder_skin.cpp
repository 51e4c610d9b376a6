// Stands in for the default skins inside the installer until the skins' own build is
// connected: a library with the skin's two entry points and no pictures.
extern "C" __declspec(dllexport) const wchar_t* GetResourceName() {
    return L"Placeholder";
}
extern "C" __declspec(dllexport) int IsQEXDefaultSkin() {
    return 1;
}
