#include "host/modules.h"

#include <algorithm>

#include "host/file_system.h"
#include "host/text.h"
#include "host/win32_error.h"

namespace host {

struct LoadedResource {
    const PeResource* entry;
};

struct LoadedModule {
    std::string win32Path;
    std::string viewPath;  // the file the loading thread's view named, for its in-use mark
    std::string hostPath;
    std::vector<uint8_t> bytes;
    PeImage image;
    std::vector<LoadedResource> resources;  // one per leaf of image.resources
    std::unique_ptr<ModuleCode> code;
    int loads = 0;
    std::map<uint32_t, int> loadsByProcess;
};

namespace {

thread_local uint32_t t_lastError = kErrorSuccess;

void SetLastError(uint32_t error) {
    t_lastError = error;
}

std::string UpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

std::u16string UpperAscii(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return out;
}

bool IsBareName(std::string_view path) {
    return path.find('\\') == std::string_view::npos && path.find('/') == std::string_view::npos &&
           path.find(':') == std::string_view::npos;
}

}  // namespace

ResourceId::ResourceId(std::u16string_view name) : isId_(false) {
    if (name.size() > 1 && name[0] == u'#') {
        uint32_t value = 0;
        bool digits = true;
        for (char16_t c : name.substr(1)) {
            digits = digits && c >= u'0' && c <= u'9';
            value = value * 10 + (c - u'0');
            if (value > 0xFFFF) {
                digits = false;
                break;
            }
        }
        if (digits) {
            isId_ = true;
            id_ = static_cast<uint16_t>(value);
            return;
        }
    }
    // Resource compilers store names in upper case and FindResource compares that way.
    upper_ = UpperAscii(name);
}

ResourceId::ResourceId(const char* name) : ResourceId(std::u16string_view(Utf8ToUtf16(name))) {}

bool ResourceId::Matches(const PeResourceKey& key) const {
    if (isId_ || key.isId) {
        return isId_ && key.isId && key.id == id_;
    }
    return UpperAscii(key.name) == upper_;
}

Modules::Modules(FileSystem& files, uint16_t machine, uint16_t uiLanguage)
    : files_(files), machine_(machine), uiLanguage_(uiLanguage) {}

Modules::~Modules() {
    for (auto& module : loaded_) {
        module->code.reset();
        files_.ReleaseInUse(module->win32Path);
    }
}

void Modules::RegisterCode(std::string_view exportName, ModuleCodeFactory factory) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    code_[UpperAscii(exportName)] = std::move(factory);
}

uint32_t Modules::GetLastError() {
    return t_lastError;
}

LoadedModule* Modules::Find(HMODULE module) {
    for (auto& loaded : loaded_) {
        if (loaded.get() == module) {
            return loaded.get();
        }
    }
    SetLastError(kErrorInvalidHandle);
    return nullptr;
}

HMODULE Modules::LoadLibraryW(std::u16string_view path) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::string win32Path = Utf16ToUtf8(path);
    if (IsBareName(win32Path)) {
        win32Path = std::string(FileSystem::kSystemDirectory) + "\\" + win32Path;
    }
    std::string hostPath = files_.HostPath(win32Path);
    if (hostPath.empty() || !files_.FileExists(win32Path)) {
        SetLastError(kErrorModNotFound);
        return nullptr;
    }
    const uint32_t process = currentProcess_ ? currentProcess_() : 0;
    for (auto& loaded : loaded_) {
        if (loaded->hostPath == hostPath) {
            ++loaded->loads;
            ++loaded->loadsByProcess[process];
            return loaded.get();
        }
    }
    auto module = std::make_unique<LoadedModule>();
    if (files_.ReadFile(win32Path, &module->bytes) != kErrorSuccess) {
        SetLastError(kErrorModNotFound);
        return nullptr;
    }
    std::optional<PeImage> image = ParsePeImage(module->bytes.data(), module->bytes.size());
    if (!image || image->machine != machine_) {
        SetLastError(kErrorBadExeFormat);
        return nullptr;
    }
    module->image = std::move(*image);
    module->win32Path = win32Path;
    module->viewPath = files_.ViewPath(win32Path);
    module->hostPath = hostPath;
    module->loads = 1;
    module->loadsByProcess[process] = 1;
    for (const PeResource& entry : module->image.resources) {
        module->resources.push_back(LoadedResource{&entry});
    }
    if (!module->image.exports.empty()) {
        auto factory = code_.find(UpperAscii(module->image.exportName));
        if (factory == code_.end()) {
            SetLastError(kErrorBadExeFormat);
            return nullptr;
        }
        module->code = factory->second(*this, module.get());
    }
    files_.AcquireInUse(module->viewPath);
    loaded_.push_back(std::move(module));
    return loaded_.back().get();
}

bool Modules::FreeLibrary(HMODULE handle) {
    std::unique_ptr<LoadedModule> unloaded;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        LoadedModule* module = Find(handle);
        if (!module) {
            return false;
        }
        const uint32_t process = currentProcess_ ? currentProcess_() : 0;
        auto own = module->loadsByProcess.find(process);
        if (own != module->loadsByProcess.end() && --own->second == 0) {
            module->loadsByProcess.erase(own);
        }
        if (--module->loads > 0) {
            return true;
        }
        auto it = std::find_if(loaded_.begin(), loaded_.end(),
                               [&](const auto& m) { return m.get() == module; });
        unloaded = std::move(*it);
        loaded_.erase(it);
        files_.ReleaseInUse(unloaded->viewPath);
    }
    unloaded->code.reset();
    return true;
}

void Modules::SetCurrentProcess(std::function<uint32_t()> currentProcess) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    currentProcess_ = std::move(currentProcess);
}

void Modules::ReleaseProcess(uint32_t process) {
    std::vector<std::unique_ptr<LoadedModule>> unloaded;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        for (auto it = loaded_.begin(); it != loaded_.end();) {
            LoadedModule& module = **it;
            auto own = module.loadsByProcess.find(process);
            if (own == module.loadsByProcess.end()) {
                ++it;
                continue;
            }
            module.loads -= own->second;
            module.loadsByProcess.erase(own);
            if (module.loads > 0) {
                ++it;
                continue;
            }
            files_.ReleaseInUse(module.viewPath);
            unloaded.push_back(std::move(*it));
            it = loaded_.erase(it);
        }
    }
    // The libraries' code goes outside the lock, as FreeLibrary lets it go.
    for (auto& module : unloaded) {
        module->code.reset();
    }
}

FarProc Modules::GetProcAddress(HMODULE handle, std::string_view name) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    LoadedModule* module = Find(handle);
    if (!module) {
        return nullptr;
    }
    const auto& exports = module->image.exports;
    if (!module->code || std::find(exports.begin(), exports.end(), name) == exports.end()) {
        SetLastError(kErrorProcNotFound);
        return nullptr;
    }
    FarProc proc = module->code->Export(name);
    if (!proc) {
        SetLastError(kErrorProcNotFound);
    }
    return proc;
}

std::u16string Modules::GetModuleFileNameW(HMODULE handle) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    LoadedModule* module = Find(handle);
    return module ? Utf8ToUtf16(module->win32Path) : std::u16string();
}

const PeImage* Modules::Image(HMODULE handle) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    LoadedModule* module = Find(handle);
    return module ? &module->image : nullptr;
}

HRSRC Modules::Lookup(LoadedModule& module, const ResourceId& type, const ResourceId& name,
                      const uint16_t* language) {
    if (module.resources.empty()) {
        SetLastError(kErrorResourceDataNotFound);
        return nullptr;
    }
    std::vector<const LoadedResource*> candidates;
    bool typeFound = false;
    for (const LoadedResource& resource : module.resources) {
        if (type.Matches(resource.entry->type)) {
            typeFound = true;
            if (name.Matches(resource.entry->name)) {
                candidates.push_back(&resource);
            }
        }
    }
    if (!typeFound) {
        SetLastError(kErrorResourceTypeNotFound);
        return nullptr;
    }
    if (candidates.empty()) {
        SetLastError(kErrorResourceNameNotFound);
        return nullptr;
    }
    auto withLanguage = [&](uint16_t wanted) -> HRSRC {
        for (const LoadedResource* candidate : candidates) {
            if (candidate->entry->language == wanted) {
                return candidate;
            }
        }
        return nullptr;
    };
    if (language) {
        if (HRSRC found = withLanguage(*language)) {
            return found;
        }
        SetLastError(kErrorResourceLangNotFound);
        return nullptr;
    }
    for (uint16_t wanted :
         {uint16_t{0x0000}, uiLanguage_, uint16_t{0x0400}, uint16_t{0x0800}, uint16_t{0x0409}}) {
        if (HRSRC found = withLanguage(wanted)) {
            return found;
        }
    }
    return candidates.front();
}

HRSRC Modules::FindResourceW(HMODULE handle, ResourceId name, ResourceId type) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    LoadedModule* module = Find(handle);
    return module ? Lookup(*module, type, name, nullptr) : nullptr;
}

HRSRC Modules::FindResourceExW(HMODULE handle, ResourceId type, ResourceId name,
                               uint16_t language) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    LoadedModule* module = Find(handle);
    return module ? Lookup(*module, type, name, &language) : nullptr;
}

namespace {

bool Owns(const LoadedModule& module, HRSRC resource) {
    return !module.resources.empty() && resource >= module.resources.data() &&
           resource < module.resources.data() + module.resources.size();
}

}  // namespace

HGLOBAL Modules::LoadResource(HMODULE handle, HRSRC resource) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    LoadedModule* module = Find(handle);
    if (!module) {
        return nullptr;
    }
    if (!Owns(*module, resource)) {
        SetLastError(kErrorResourceDataNotFound);
        return nullptr;
    }
    return module->bytes.data() + resource->entry->fileOffset;
}

uint32_t Modules::SizeofResource(HMODULE handle, HRSRC resource) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    LoadedModule* module = Find(handle);
    if (!module) {
        return 0;
    }
    if (!Owns(*module, resource)) {
        SetLastError(kErrorResourceDataNotFound);
        return 0;
    }
    return resource->entry->size;
}

int Modules::LoadStringW(HMODULE handle, uint32_t id, char16_t* buffer, int capacity) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (!buffer || capacity <= 0 || id > 0xFFFF) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    LoadedModule* module = Find(handle);
    if (!module) {
        return 0;
    }
    // Strings live sixteen to a block; block n holds ids 16 (n - 1) to 16 n - 1, each a
    // count of UTF-16 units followed by the units.
    HRSRC block = Lookup(*module, kRtString, static_cast<uint16_t>(id / 16 + 1), nullptr);
    if (!block) {
        return 0;
    }
    const uint8_t* data = module->bytes.data() + block->entry->fileOffset;
    size_t size = block->entry->size;
    size_t at = 0;
    for (uint32_t index = 0;; ++index) {
        if (at + 2 > size) {
            SetLastError(kErrorResourceNameNotFound);
            return 0;
        }
        size_t length = data[at] | data[at + 1] << 8;
        at += 2;
        if (2 * length > size - at) {
            SetLastError(kErrorResourceNameNotFound);
            return 0;
        }
        if (index == id % 16) {
            size_t copied = std::min(length, static_cast<size_t>(capacity - 1));
            for (size_t i = 0; i < copied; ++i) {
                buffer[i] = static_cast<char16_t>(data[at + 2 * i] | data[at + 2 * i + 1] << 8);
            }
            buffer[copied] = 0;
            return static_cast<int>(copied);
        }
        at += 2 * length;
    }
}

}  // namespace host
