// A simulated drive C: with skin libraries copied onto it, for the tests of the skins.
#pragma once

#include <stdint.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/file_system.h"
#include "host/modules.h"
#include "host/win32_error.h"
#include "skin_code_host.h"

namespace skin_test {

inline std::vector<uint8_t> ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::string SkinDll(const std::string& lang) {
    return std::string(AMPFX_SKIN_DLL_DIR) + "/" + lang + "/QX_AudioControlRec.dll";
}

inline std::string BrokenDll(const std::string& name) {
    return std::string(AMPFX_BROKEN_SKIN_DIR) + "/" + name;
}

class TempRoot {
  public:
    TempRoot() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ampfx-skins-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~TempRoot() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// The skins folder of an installed machine, with the skins' code registered.
class SkinMachine {
  public:
    static constexpr const char* kFolder = "C:\\Windows\\system32\\QX_AudioControlRec";

    SkinMachine() {
        files.CreateDirectory(kFolder);
        skin::RegisterSkinCode(modules);
    }

    // Copies a host file into the skins folder; returns its Win32 path.
    std::u16string Install(const std::string& hostFile, const std::string& name) {
        std::string path = std::string(kFolder) + "\\" + name;
        files.WriteFile(path, ReadHostFile(hostFile));
        return std::u16string(path.begin(), path.end());
    }

    TempRoot root;
    host::FileSystem files{root.path()};
    host::Modules modules{files};  // destroyed before the drive
};

}  // namespace skin_test
