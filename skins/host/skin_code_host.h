// The host builds of the skin libraries' code, for the simulated LoadLibraryW: our own skins
// (export directory name "QX_AudioControlRec.dll") and the foreign test skin
// ("AmpfxTestSkin.dll"), which differ only in what IsQEXDefaultSkin answers.
#pragma once

#include "host/modules.h"

namespace skin {

constexpr const char* kDefaultSkinLibraryName = "QX_AudioControlRec.dll";
constexpr const char* kTestSkinLibraryName = "AmpfxTestSkin.dll";

void RegisterSkinCode(host::Modules& modules);

}  // namespace skin
