// Small text helpers shared by the service's logic: ASCII letter case (hardware ids, filter
// names and command-line switches are ASCII) and the zero-separated multi-string lists of
// the registry.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace dovrel {

bool EqualsIgnoreCase(const std::string& a, const std::string& b);

// Whether `text` begins with `prefix`, letter case ignored (both zero-terminated).
bool StartsWithIgnoreCase(const char* text, const char* prefix);

// The strings of a multi-string up to the first empty one. A last string without its zero
// ends at the end of the data, so a malformed value is never read past its size.
std::vector<std::string> SplitMultiString(const uint8_t* data, size_t size);

// Each string with its zero, then the terminating empty string.
std::vector<uint8_t> JoinMultiString(const std::vector<std::string>& strings);

}  // namespace dovrel
