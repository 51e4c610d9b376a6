#include "host/named_objects.h"

#include "host/processes.h"
#include "host/text.h"
#include "host/win32_error.h"

namespace host::user {

NamedObjects::NamedObjects(Processes* processes) : processes_(processes) {}

std::u16string NamedObjects::Canonical(const std::u16string& name) {
    static const std::u16string kLocal = u"Local\\";
    return name.compare(0, kLocal.size(), kLocal) == 0 ? name.substr(kLocal.size()) : name;
}

void NamedObjects::Reap() {
    if (processes_ == nullptr) {
        return;
    }
    for (auto it = handles_.begin(); it != handles_.end();) {
        auto current = it++;
        if (current->second.process != 0 && !processes_->Running(current->second.process)) {
            Drop(current);
        }
    }
}

void NamedObjects::Drop(std::map<Handle, HandleEntry>::iterator it) {
    auto object = objects_.find(it->second.name);
    handles_.erase(it);
    if (object != objects_.end() && --object->second.handles == 0) {
        objects_.erase(object);
    }
}

Handle NamedObjects::CreateMutex(bool initialOwner, const std::u16string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Reap();
    const std::u16string key = Canonical(name);
    if (key.empty()) {
        // An unnamed mutex is the process's own; it shares with nothing.
        static int unnamed = 0;
        return CreateMutexUnnamed(initialOwner, ++unnamed);
    }
    auto it = objects_.find(key);
    uint32_t error = kErrorSuccess;
    if (it != objects_.end()) {
        if (it->second.kind != "Mutant") {
            SetLastError(kErrorInvalidHandle);
            return 0;
        }
        error = kErrorAlreadyExists;
    } else {
        Object object;
        object.kind = "Mutant";
        if (initialOwner) {
            object.owner = std::this_thread::get_id();
            object.recursion = 1;
        }
        it = objects_.emplace(key, object).first;
    }
    const Handle handle = next_;
    next_ += 4;
    handles_[handle] = HandleEntry{Processes::Current(), key};
    ++it->second.handles;
    SetLastError(error);
    return handle;
}

Handle NamedObjects::CreateMutexUnnamed(bool initialOwner, int serial) {
    // The caller holds mutex_. A private name no program can spell keeps it apart.
    const std::u16string key = u"\\Unnamed\\" + Utf8ToUtf16(std::to_string(serial));
    Object object;
    object.kind = "Mutant";
    if (initialOwner) {
        object.owner = std::this_thread::get_id();
        object.recursion = 1;
    }
    object.handles = 1;
    objects_[key] = object;
    const Handle handle = next_;
    next_ += 4;
    handles_[handle] = HandleEntry{Processes::Current(), key};
    SetLastError(kErrorSuccess);
    return handle;
}

Handle NamedObjects::OpenMutex(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Reap();
    auto it = objects_.find(Canonical(name));
    if (it == objects_.end() || name.empty()) {
        SetLastError(kErrorFileNotFound);
        return 0;
    }
    const Handle handle = next_;
    next_ += 4;
    handles_[handle] = HandleEntry{Processes::Current(), it->first};
    ++it->second.handles;
    return handle;
}

bool NamedObjects::ReleaseMutex(Handle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.process != Processes::Current()) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    Object& object = objects_[it->second.name];
    if (object.recursion == 0 || object.owner != std::this_thread::get_id()) {
        SetLastError(ERROR_NOT_OWNER);
        return false;
    }
    if (--object.recursion == 0) {
        object.owner = std::thread::id();
    }
    return true;
}

bool NamedObjects::CloseHandle(Handle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.process != Processes::Current()) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    Drop(it);
    return true;
}

bool NamedObjects::Exists(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Reap();
    return objects_.count(Canonical(name)) != 0;
}

size_t NamedObjects::HandleCount(const std::u16string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Reap();
    auto it = objects_.find(Canonical(name));
    return it == objects_.end() ? 0 : it->second.handles;
}

}  // namespace host::user
