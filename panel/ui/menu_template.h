// Menu resources (RT_MENU) as Windows stores them: a four-byte header, then items, each a
// 16-bit flag word, a command id unless the item opens a submenu, and its NUL-terminated
// UTF-16 text; MF_END closes a level.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "panel_ports.h"

// `menu` receives the menu bar: its children are the top-level items. False for a template
// that is truncated, nested too deeply or not of the standard format.
bool ParseMenuTemplate(const uint8_t* data, size_t size, PopupMenuItem* menu);
