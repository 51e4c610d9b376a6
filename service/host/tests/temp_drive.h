// A host directory for a test's drive C:, removed with everything in it when the test ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace dovrel {

class TempDrive {
  public:
    TempDrive() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ampfx-drive-XXXXXX").string();
        const char* made = mkdtemp(pattern.data());
        path_ = made != nullptr ? made : std::string();
    }
    ~TempDrive() {
        std::error_code error;
        if (!path_.empty())
            std::filesystem::remove_all(path_, error);
    }
    TempDrive(const TempDrive&) = delete;
    TempDrive& operator=(const TempDrive&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace dovrel
