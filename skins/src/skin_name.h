// What the skin's two entry points share on every platform: where the display name lives.
#pragma once

namespace skin {

// String resource holding the display name of the skin in the tray menu.
constexpr unsigned kNameStringId = 1078;
// Characters of the static name buffer, terminating NUL included; longer names are cut.
constexpr int kNameCapacity = 128;

}  // namespace skin
