// Stands in for the control panel inside the installer until the panel's own build is
// connected; it only ends. Its file name says what it is.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return 0;
}
