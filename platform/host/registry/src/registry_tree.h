// The in-memory tree behind host::Registry, shared by the key operations and the file reader
// and writer. Callers hold the registry's mutex.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/registry.h"

namespace host {

struct Registry::Key {
    std::string name;
    // Hive roots and the keys above them cannot be deleted, as on Windows.
    bool permanent = false;
    // In creation order, which is Windows' enumeration order; found by folded name through
    // the index, so that a key with many values loads in linear time.
    std::vector<RegistryValue> values;
    std::unordered_map<std::string, size_t> valueIndex;
    // Keyed by the folded name, so iteration gives Windows' enumeration order.
    std::map<std::string, std::unique_ptr<Key>> subkeys;

    Key* Find(std::string_view child) const;
    Key* Add(std::string_view child);
    RegistryValue* FindValue(std::string_view valueName);
    const RegistryValue* FindValue(std::string_view valueName) const;
    // A new value of that name (which the key must not have yet), at the end of the order.
    RegistryValue* AddValue(std::string_view valueName);
    bool EraseValue(std::string_view valueName);
};

namespace registry_detail {

constexpr size_t kMaxKeyNameUnits = 255;
constexpr size_t kMaxValueNameUnits = 16383;
// What a registry file may hold. Far above anything a machine of ours writes, and low enough
// that a hostile file is refused before it costs the machine its memory.
constexpr size_t kMaxFileBytes = 64u << 20;
constexpr size_t kMaxKeys = 1u << 20;
constexpr size_t kMaxValuesPerKey = 1u << 16;
constexpr size_t kMaxValues = 1u << 20;

// The components below "\REGISTRY" that `path` names, or an error code.
uint32_t SplitPath(std::string_view path, std::vector<std::string>* components);
bool IsValidKeyName(std::string_view name);
bool IsValidValueName(std::string_view name);
std::unique_ptr<Registry::Key> MakeBaseTree();
Registry::Key* Walk(Registry::Key* root, const std::vector<std::string>& components);
// Creates the missing keys along `components`; reports whether the last one was new, and
// adds the number of keys created to `*added`.
Registry::Key* WalkCreate(Registry::Key* root, const std::vector<std::string>& components,
                          bool* created, size_t* added = nullptr);
void SetValueIn(Registry::Key* key, std::string_view name, uint32_t type, const uint8_t* data,
                size_t size);

// The file format (registry_file.cpp).
std::string WriteTree(const Registry::Key& key, const std::string& path);
RegistryLoadResult ReadInto(Registry::Key* root, std::string_view text);

}  // namespace registry_detail
}  // namespace host
