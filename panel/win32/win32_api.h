// <windows.h> for the panel's Win32 layer. The ports share names with some of the API's
// character-set macros; those macros go, and the layer calls the wide functions by name.
#pragma once

#include <windows.h>

#undef LoadLibrary
#undef FindResource
#undef MessageBox
#undef RegisterWindowMessage
