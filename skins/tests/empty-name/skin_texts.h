// A skin whose name is empty: the tray menu leaves it out.
#pragma once
#include "../../rc/en/skin_texts.h"
#undef TXT_NAME
#define TXT_NAME ""
