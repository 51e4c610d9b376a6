// Files of the host itself (not of the simulated drive): the registry file, audio files the
// tools write. A file is replaced only once its new contents are wholly on disk, so a write
// that fails (a full disk, a format the encoder refuses) leaves the old file as it was.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace host {

// A new file beside `path`, renamed over it by Commit. Until then the file at `path` is
// untouched; a replacement that is not committed removes its temporary file.
class FileReplacement {
  public:
    explicit FileReplacement(std::string path);
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // False with the reason when no temporary file could be created in the folder.
    bool Open(std::string* error);
    // The temporary file to write (by name: it exists, empty, once Open succeeded).
    const std::string& TemporaryPath() const { return temporary_; }
    // Flushes the temporary file to disk and renames it over the target.
    bool Commit(std::string* error);

  private:
    std::string path_;
    std::string temporary_;
    bool committed_ = false;
};

// The whole file written through a FileReplacement.
bool ReplaceFileContents(const std::string& path, const void* data, size_t size,
                         std::string* error);

// Whether two names are the same existing file (hard links and different spellings too).
bool SameHostFile(const std::string& a, const std::string& b);

}  // namespace host
