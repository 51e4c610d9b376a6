// Named kernel objects of the user session across processes: mutexes, as CreateMutex and
// OpenMutex find them by name. Names compare case-sensitively, as the object manager compares
// them for these functions; "Local\" names the session's own namespace, which is where a bare
// name lives, and "Global\" the machine's. A handle belongs to the process that opened it and
// is closed when the process ends, and an object goes with its last handle.
#pragma once

#include <stdint.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "host/user_types.h"

namespace host {
class Processes;
}

namespace host::user {

class NamedObjects {
  public:
    explicit NamedObjects(Processes* processes = nullptr);

    // A new or the existing mutex; for an existing one the last error is
    // ERROR_ALREADY_EXISTS (183) and `initialOwner` is ignored, otherwise 0. A name that a
    // different kind of object holds: 0 with ERROR_INVALID_HANDLE.
    Handle CreateMutex(bool initialOwner, const std::u16string& name);
    // 0 with ERROR_FILE_NOT_FOUND when no such object exists.
    Handle OpenMutex(const std::u16string& name);
    // ERROR_NOT_OWNER unless the calling thread owns it.
    bool ReleaseMutex(Handle handle);
    // ERROR_INVALID_HANDLE for a handle the calling process does not hold.
    bool CloseHandle(Handle handle);

    bool Exists(const std::u16string& name);
    size_t HandleCount(const std::u16string& name);

  private:
    struct Object {
        std::string kind;
        std::thread::id owner;
        uint32_t recursion = 0;
        size_t handles = 0;
    };
    struct HandleEntry {
        uint32_t process;
        std::u16string name;
    };

    static std::u16string Canonical(const std::u16string& name);
    Handle CreateMutexUnnamed(bool initialOwner, int serial);
    // Closes the handles of processes that have ended. The caller holds mutex_.
    void Reap();
    void Drop(std::map<Handle, HandleEntry>::iterator it);

    Processes* processes_;
    std::mutex mutex_;
    std::map<std::u16string, Object> objects_;
    std::map<Handle, HandleEntry> handles_;
    Handle next_ = 0x7C;
};

}  // namespace host::user
