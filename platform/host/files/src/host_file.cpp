#include "host/host_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace host {
namespace {

std::string Reason(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + strerror(errno);
}

// What a newly created file gets from open(): 0666 less the process's umask.
mode_t NewFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

FileReplacement::FileReplacement(std::string path) : path_(std::move(path)) {}

FileReplacement::~FileReplacement() {
    if (!temporary_.empty() && !committed_) {
        unlink(temporary_.c_str());
    }
}

bool FileReplacement::Open(std::string* error) {
    // In the target's own folder, so that the rename stays on one file system.
    std::string pattern = path_ + ".partial-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        *error = Reason("cannot write", path_);
        return false;
    }
    temporary_ = pattern;
    struct stat existing {};
    const mode_t mode =
        stat(path_.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : NewFileMode();
    fchmod(fd, mode);
    close(fd);
    return true;
}

bool FileReplacement::Commit(std::string* error) {
    const int fd = open(temporary_.c_str(), O_RDONLY);
    if (fd < 0 || fsync(fd) != 0) {
        *error = Reason("cannot write", path_);
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    close(fd);
    if (rename(temporary_.c_str(), path_.c_str()) != 0) {
        *error = Reason("cannot replace", path_);
        return false;
    }
    committed_ = true;
    return true;
}

bool ReplaceFileContents(const std::string& path, const void* data, size_t size,
                         std::string* error) {
    FileReplacement replacement(path);
    if (!replacement.Open(error)) {
        return false;
    }
    FILE* file = fopen(replacement.TemporaryPath().c_str(), "wb");
    if (file == nullptr) {
        *error = Reason("cannot write", path);
        return false;
    }
    const bool written = fwrite(data, 1, size, file) == size;
    const int writeErrno = errno;
    const bool closed = fclose(file) == 0;
    if (!written || !closed) {
        errno = written ? errno : writeErrno;
        *error = Reason("cannot write", path);
        return false;
    }
    return replacement.Commit(error);
}

bool SameHostFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) {
        return false;
    }
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

}  // namespace host
