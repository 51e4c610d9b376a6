// Text helpers of the simulated machine. Windows keeps names and string values as UTF-16 and
// compares object, registry and device names without regard to letter case; the host side
// of the simulator speaks UTF-8.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

namespace host {

// UTF-8 to UTF-16. Malformed input bytes become U+FFFD, never an error.
std::u16string Utf8ToUtf16(std::string_view text);
// UTF-16 to UTF-8. A lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// The UTF-16 text of `count` code units at `units`, which need not be aligned.
std::u16string Utf16FromBytes(const void* units, size_t count);

// Windows folds names to upper case before comparing them; the simulator folds the ASCII
// letters and leaves every other character as it is.
char FoldCase(char c);
std::string FoldCase(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);
// Negative, zero or positive as `a` sorts before, with or after `b` once folded.
int CompareIgnoreCase(std::string_view a, std::string_view b);

}  // namespace host
