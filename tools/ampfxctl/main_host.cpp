// ampfxctl on the host: one request to the driver on a freshly booted simulated machine.
#include <cstdio>

#include "host_ampfxctl.h"

int main(int argc, char** argv) {
    std::string out, err;
    const int status = RunHostAmpfxctl(std::vector<std::string>(argv + 1, argv + argc), &out, &err);
    std::fputs(out.c_str(), stdout);
    std::fputs(err.c_str(), stderr);
    return status;
}
