// ampfxctl on the host. There is no standing machine to talk to, so each run boots one: the
// driver installed, one headset plugged in with the filter attached, then the request, then
// the headset unplugged (which is when the driver saves its settings) and the machine shut
// down.
#pragma once

#include <string>
#include <vector>

// `[--pid PID] [--registry FILE] REQUEST...`: PID is the headset's product id (default
// 0x1607); FILE is the machine's registry, loaded before the boot (a missing file starts an
// empty registry) and written back after the shutdown. Exit status as RunAmpfxctl; a
// registry file that cannot be read or written is 2.
int RunHostAmpfxctl(const std::vector<std::string>& args, std::string* out, std::string* err);
