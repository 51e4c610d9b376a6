// Libraries of the simulated machine: LoadLibraryW, GetProcAddress, FreeLibrary and the
// resource functions (FindResourceW, FindResourceExW, LoadResource, LockResource,
// SizeofResource, LoadStringW), with Windows' results and last-error codes.
//
// A library is a real PE file on drive C:. The loader reads its headers, export directory and
// resource tree (host/pe_image.h); resource lookups answer with the file's own bytes, which
// stay valid while the library is loaded. The host cannot run the image's machine code, so
// a library's exports run host builds of the same code, registered under the name its linker
// wrote into the export directory (RegisterCode), the way programs are registered under their
// image names. A library with exports and no registered code cannot be loaded.
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/pe_image.h"

namespace host {

class FileSystem;

constexpr uint32_t kErrorModNotFound = 126;
constexpr uint32_t kErrorProcNotFound = 127;
constexpr uint32_t kErrorBadExeFormat = 193;
constexpr uint32_t kErrorResourceDataNotFound = 1812;
constexpr uint32_t kErrorResourceTypeNotFound = 1813;
constexpr uint32_t kErrorResourceNameNotFound = 1814;
constexpr uint32_t kErrorResourceLangNotFound = 1815;

// Resource types of winuser.h.
constexpr uint16_t kRtIcon = 3;
constexpr uint16_t kRtBitmap = 2;
constexpr uint16_t kRtMenu = 4;
constexpr uint16_t kRtDialog = 5;
constexpr uint16_t kRtString = 6;
constexpr uint16_t kRtGroupIcon = 14;

struct LoadedModule;
struct LoadedResource;
using HMODULE = LoadedModule*;
using HRSRC = const LoadedResource*;
using HGLOBAL = const void*;

// FARPROC: an exported function, called without arguments, its result as a pointer-sized
// integer (a pointer or an int, as the export's signature says).
using FarProc = std::function<intptr_t()>;

// The host build of one loaded library's code. One object per load, so its static data (a
// name buffer, say) lives exactly as long as the library stays loaded, as in Windows.
class ModuleCode {
  public:
    virtual ~ModuleCode() = default;
    // The export's host code, or an empty function when the code has no such entry point.
    virtual FarProc Export(std::string_view name) = 0;
};
class Modules;
using ModuleCodeFactory =
    std::function<std::unique_ptr<ModuleCode>(Modules& modules, HMODULE self)>;

// MAKEINTRESOURCE or a string: the type or name argument of the resource functions. A string
// "#123" means the integer 123, as in Windows.
class ResourceId {
  public:
    ResourceId(uint16_t id) : isId_(true), id_(id) {}  // NOLINT: MAKEINTRESOURCE reads so
    ResourceId(std::u16string_view name);
    ResourceId(const char* name);

    bool Matches(const PeResourceKey& key) const;

  private:
    bool isId_;
    uint16_t id_ = 0;
    std::u16string upper_;
};

class Modules {
  public:
    // `machine` is the simulated process's (kImageFileMachineI386 for the 32-bit panel):
    // images built for another machine do not load. `uiLanguage` is the user's language,
    // one of the fallbacks of a language-neutral lookup.
    explicit Modules(FileSystem& files, uint16_t machine = kImageFileMachineI386,
                     uint16_t uiLanguage = 0x0409);
    ~Modules();
    Modules(const Modules&) = delete;
    Modules& operator=(const Modules&) = delete;

    // Makes libraries whose export directory carries `exportName` (compared without regard to
    // case) run `factory`'s code. Registering again replaces the code for later loads.
    void RegisterCode(std::string_view exportName, ModuleCodeFactory factory);

    // GetLastError of the calling thread, set by every call below that fails.
    static uint32_t GetLastError();

    // A full path on C:, or a bare file name, looked for in the system directory. Loading a
    // library again hands out the same module and counts the load. kErrorModNotFound for a
    // missing file, kErrorBadExeFormat for a file that is no image, is built for another
    // machine, or has exports without registered code. A loaded library's file is in use.
    HMODULE LoadLibraryW(std::u16string_view path);
    // Undoes one load; the last one unloads the library and destroys its code.
    bool FreeLibrary(HMODULE module);

    // Loads are counted per process when the loader knows the calling thread's process
    // (host::Processes::Current); a process that ends leaves its libraries as Windows unmaps
    // them: ReleaseProcess undoes every load it made.
    void SetCurrentProcess(std::function<uint32_t()> currentProcess);
    void ReleaseProcess(uint32_t process);
    // kErrorProcNotFound unless the image exports the name and its code provides it.
    FarProc GetProcAddress(HMODULE module, std::string_view name);
    std::u16string GetModuleFileNameW(HMODULE module);

    // Language-neutral lookup, in Windows' order of fallbacks: neutral, the user's language,
    // neutral-default, system-default, US English, and then the first language present.
    HRSRC FindResourceW(HMODULE module, ResourceId name, ResourceId type);
    // One language exactly; kErrorResourceLangNotFound otherwise.
    HRSRC FindResourceExW(HMODULE module, ResourceId type, ResourceId name, uint16_t language);
    HGLOBAL LoadResource(HMODULE module, HRSRC resource);
    static const void* LockResource(HGLOBAL data) { return data; }
    uint32_t SizeofResource(HMODULE module, HRSRC resource);
    // String `id` (language-neutral lookup): copies at most `capacity` - 1 characters and a
    // NUL, and returns the characters copied. When the block of sixteen strings holding `id`
    // is missing, returns 0 and leaves the buffer alone, as Windows does; an empty slot of a
    // present block writes just the NUL.
    int LoadStringW(HMODULE module, uint32_t id, char16_t* buffer, int capacity);

    // The parsed image of a loaded module, for tools that list what a library holds.
    const PeImage* Image(HMODULE module);

  private:
    LoadedModule* Find(HMODULE module);
    HRSRC Lookup(LoadedModule& module, const ResourceId& type, const ResourceId& name,
                 const uint16_t* language);

    FileSystem& files_;
    uint16_t machine_;
    uint16_t uiLanguage_;
    std::recursive_mutex mutex_;
    std::map<std::string, ModuleCodeFactory> code_;  // upper-case export names
    std::vector<std::unique_ptr<LoadedModule>> loaded_;
    std::function<uint32_t()> currentProcess_;
};

}  // namespace host
