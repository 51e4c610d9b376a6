// ampfxctl on Windows: the control device through the driver link's NtDeviceIoControlFile,
// so that the driver's own status is shown rather than a translated Win32 error.
#include <cstdio>

#include "ampfxctl.h"
#include "driver_link_win32.h"

int main(int argc, char** argv) {
    Win32DriverLink link;
    std::string out, err;
    const int status =
        RunAmpfxctl(link, std::vector<std::string>(argv + 1, argv + argc), &out, &err);
    std::fputs(out.c_str(), stdout);
    std::fputs(err.c_str(), stderr);
    return status;
}
