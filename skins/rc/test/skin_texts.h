// A skin that is not one of ours: the English texts under its own name.
#pragma once
#include "../en/skin_texts.h"
#undef TXT_NAME
#define TXT_NAME "Ampfx Test Skin"
