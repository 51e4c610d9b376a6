// String resources as Windows stores them: blocks of sixteen counted UTF-16 strings, block
// n + 1 holding ids 16n to 16n + 15.
#pragma once

#include <stdint.h>

#include <string>

#include "panel_ports.h"

// LoadStringW: false when the block is missing, truncated or the string is empty.
bool LoadResourceString(ResourceModule& module, uint16_t id, std::u16string* text);
