// The in-memory tree behind host::Registry, shared by the key operations and the file reader
// and writer. Callers hold the registry's mutex.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/registry.h"

namespace host {

struct Registry::Key {
    std::string name;
    // Hive roots and the keys above them cannot be deleted, as on Windows.
    bool permanent = false;
    std::vector<RegistryValue> values;
    // Keyed by the folded name, so iteration gives Windows' enumeration order.
    std::map<std::string, std::unique_ptr<Key>> subkeys;

    Key* Find(std::string_view child) const;
    Key* Add(std::string_view child);
    RegistryValue* FindValue(std::string_view valueName);
    const RegistryValue* FindValue(std::string_view valueName) const;
};

namespace registry_detail {

constexpr size_t kMaxKeyNameUnits = 255;
constexpr size_t kMaxValueNameUnits = 16383;

// The components below "\REGISTRY" that `path` names, or an error code.
uint32_t SplitPath(std::string_view path, std::vector<std::string>* components);
bool IsValidKeyName(std::string_view name);
bool IsValidValueName(std::string_view name);
std::unique_ptr<Registry::Key> MakeBaseTree();
Registry::Key* Walk(Registry::Key* root, const std::vector<std::string>& components);
// Creates the missing keys along `components`; reports whether the last one was new.
Registry::Key* WalkCreate(Registry::Key* root, const std::vector<std::string>& components,
                          bool* created);
void SetValueIn(Registry::Key* key, std::string_view name, uint32_t type, const uint8_t* data,
                size_t size);

// The file format (registry_file.cpp).
std::string WriteTree(const Registry::Key& key, const std::string& path);
RegistryLoadResult ReadInto(Registry::Key* root, std::string_view text);

}  // namespace registry_detail
}  // namespace host
