#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>

#include "host/host_file.h"
#include "host/registry.h"
#include "host/text.h"
#include "registry_tree.h"

namespace host {

using registry_detail::SplitPath;
using registry_detail::Walk;
using registry_detail::WalkCreate;

Registry::Key* Registry::Key::Find(std::string_view child) const {
    auto it = subkeys.find(FoldCase(child));
    return it == subkeys.end() ? nullptr : it->second.get();
}

Registry::Key* Registry::Key::Add(std::string_view child) {
    auto key = std::make_unique<Key>();
    key->name = std::string(child);
    Key* raw = key.get();
    subkeys.emplace(FoldCase(child), std::move(key));
    return raw;
}

RegistryValue* Registry::Key::FindValue(std::string_view valueName) {
    const auto it = valueIndex.find(FoldCase(valueName));
    return it == valueIndex.end() ? nullptr : &values[it->second];
}

RegistryValue* Registry::Key::AddValue(std::string_view valueName) {
    valueIndex.emplace(FoldCase(valueName), values.size());
    values.push_back(RegistryValue{std::string(valueName), kRegNone, {}});
    return &values.back();
}

bool Registry::Key::EraseValue(std::string_view valueName) {
    const auto it = valueIndex.find(FoldCase(valueName));
    if (it == valueIndex.end()) {
        return false;
    }
    const size_t erased = it->second;
    valueIndex.erase(it);
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(erased));
    // The values after it moved down by one; creation order is kept.
    for (auto& entry : valueIndex) {
        if (entry.second > erased) {
            --entry.second;
        }
    }
    return true;
}

const RegistryValue* Registry::Key::FindValue(std::string_view valueName) const {
    return const_cast<Key*>(this)->FindValue(valueName);
}

namespace registry_detail {
namespace {

size_t Utf16Units(std::string_view text) {
    return Utf8ToUtf16(text).size();
}

// The components below \REGISTRY that a Win32 root stands for.
bool RootComponents(std::string_view root, std::vector<std::string>* out) {
    if (EqualsIgnoreCase(root, "HKEY_LOCAL_MACHINE") || EqualsIgnoreCase(root, "HKLM")) {
        *out = {"MACHINE"};
    } else if (EqualsIgnoreCase(root, "HKEY_CURRENT_USER") || EqualsIgnoreCase(root, "HKCU")) {
        *out = {"USER", Registry::kCurrentUserSid};
    } else if (EqualsIgnoreCase(root, "HKEY_CLASSES_ROOT") || EqualsIgnoreCase(root, "HKCR")) {
        // The merged classes view reads and writes the machine's classes key here.
        *out = {"MACHINE", "SOFTWARE", "Classes"};
    } else if (EqualsIgnoreCase(root, "HKEY_USERS") || EqualsIgnoreCase(root, "HKU")) {
        *out = {"USER"};
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool IsValidKeyName(std::string_view name) {
    if (name.empty() || Utf16Units(name) > kMaxKeyNameUnits) {
        return false;
    }
    for (char c : name) {
        if (c == '\\' || static_cast<unsigned char>(c) < 0x20) {
            return false;
        }
    }
    return true;
}

bool IsValidValueName(std::string_view name) {
    return name.find('\0') == std::string_view::npos && Utf16Units(name) <= kMaxValueNameUnits;
}

uint32_t SplitPath(std::string_view path, std::vector<std::string>* components) {
    components->clear();
    if (path.empty()) {
        return kErrorInvalidParameter;
    }
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        const size_t slash = path.find('\\', start);
        parts.push_back(path.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos) {
            break;
        }
        start = slash + 1;
    }
    size_t first = 0;
    if (parts[0].empty()) {
        if (parts.size() < 2 || !EqualsIgnoreCase(parts[1], "REGISTRY")) {
            return kErrorFileNotFound;
        }
        first = 2;
    } else {
        if (!RootComponents(parts[0], components)) {
            return kErrorInvalidHandle;
        }
        first = 1;
    }
    // A single trailing backslash is tolerated, as RegCreateKeyEx does.
    if (parts.size() > first && parts.back().empty()) {
        parts.pop_back();
    }
    for (size_t i = first; i < parts.size(); ++i) {
        if (!IsValidKeyName(parts[i])) {
            return kErrorInvalidParameter;
        }
        components->emplace_back(parts[i]);
    }
    return kErrorSuccess;
}

std::unique_ptr<Registry::Key> MakeBaseTree() {
    auto root = std::make_unique<Registry::Key>();
    root->name = "REGISTRY";
    root->permanent = true;
    Registry::Key* machine = root->Add("MACHINE");
    machine->permanent = true;
    for (const char* hive : {"HARDWARE", "SAM", "SECURITY", "SOFTWARE", "SYSTEM"}) {
        machine->Add(hive)->permanent = true;
    }
    machine->Find("SOFTWARE")->Add("Classes");
    Registry::Key* controlSet = machine->Find("SYSTEM")->Add("CurrentControlSet");
    controlSet->Add("Control")->Add("Class");
    controlSet->Add("Enum");
    controlSet->Add("Services");
    Registry::Key* user = root->Add("USER");
    user->permanent = true;
    user->Add(".DEFAULT")->permanent = true;
    Registry::Key* currentUser = user->Add(Registry::kCurrentUserSid);
    currentUser->permanent = true;
    currentUser->Add("Software");
    return root;
}

Registry::Key* Walk(Registry::Key* root, const std::vector<std::string>& components) {
    Registry::Key* key = root;
    for (const std::string& component : components) {
        key = key->Find(component);
        if (key == nullptr) {
            return nullptr;
        }
    }
    return key;
}

Registry::Key* WalkCreate(Registry::Key* root, const std::vector<std::string>& components,
                          bool* created, size_t* added) {
    Registry::Key* key = root;
    bool made = false;
    for (size_t i = 0; i < components.size(); ++i) {
        Registry::Key* next = key->Find(components[i]);
        if (next == nullptr) {
            // New hives cannot be made below \REGISTRY itself.
            if (key == root) {
                return nullptr;
            }
            next = key->Add(components[i]);
            made = true;
            if (added != nullptr) {
                ++*added;
            }
        } else {
            made = false;
        }
        key = next;
    }
    if (created != nullptr) {
        *created = made;
    }
    return key;
}

void SetValueIn(Registry::Key* key, std::string_view name, uint32_t type, const uint8_t* data,
                size_t size) {
    RegistryValue* value = key->FindValue(name);
    if (value == nullptr) {
        value = key->AddValue(name);
    }
    value->type = type;
    value->data.assign(data, data + size);
}

}  // namespace registry_detail

Registry::Registry() : root_(registry_detail::MakeBaseTree()) {}

Registry::~Registry() = default;

Registry& Registry::Machine() {
    // Never destroyed: kernel threads may still touch it while the process exits.
    static Registry* machine = new Registry();
    return *machine;
}

uint32_t Registry::CreateKey(std::string_view path, bool* created) {
    std::vector<std::string> components;
    const uint32_t error = SplitPath(path, &components);
    if (error != kErrorSuccess) {
        return error;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (components.empty()) {
        if (created != nullptr) {
            *created = false;
        }
        return kErrorSuccess;
    }
    return WalkCreate(root_.get(), components, created) != nullptr ? kErrorSuccess
                                                                   : kErrorAccessDenied;
}

uint32_t Registry::CreateLeafKey(std::string_view path, bool* created) {
    std::vector<std::string> components;
    const uint32_t error = SplitPath(path, &components);
    if (error != kErrorSuccess) {
        return error;
    }
    if (components.empty()) {
        return kErrorAccessDenied;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string leaf = components.back();
    components.pop_back();
    Key* parent = Walk(root_.get(), components);
    if (parent == nullptr) {
        return kErrorFileNotFound;
    }
    if (parent == root_.get() && parent->Find(leaf) == nullptr) {
        return kErrorAccessDenied;
    }
    bool made = false;
    if (parent->Find(leaf) == nullptr) {
        parent->Add(leaf);
        made = true;
    }
    if (created != nullptr) {
        *created = made;
    }
    return kErrorSuccess;
}

bool Registry::KeyExists(std::string_view path) const {
    std::vector<std::string> components;
    if (SplitPath(path, &components) != kErrorSuccess) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return Walk(root_.get(), components) != nullptr;
}

uint32_t Registry::DeleteKey(std::string_view path) {
    std::vector<std::string> components;
    const uint32_t error = SplitPath(path, &components);
    if (error != kErrorSuccess) {
        return error;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Key* key = Walk(root_.get(), components);
    if (key == nullptr) {
        return kErrorFileNotFound;
    }
    if (key->permanent || !key->subkeys.empty()) {
        return kErrorAccessDenied;
    }
    const std::string leaf = components.back();
    components.pop_back();
    Walk(root_.get(), components)->subkeys.erase(FoldCase(leaf));
    return kErrorSuccess;
}

namespace {

bool HasPermanent(const Registry::Key& key) {
    if (key.permanent) {
        return true;
    }
    for (const auto& entry : key.subkeys) {
        if (HasPermanent(*entry.second)) {
            return true;
        }
    }
    return false;
}

}  // namespace

uint32_t Registry::DeleteTree(std::string_view path) {
    std::vector<std::string> components;
    const uint32_t error = SplitPath(path, &components);
    if (error != kErrorSuccess) {
        return error;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Key* key = Walk(root_.get(), components);
    if (key == nullptr) {
        return kErrorFileNotFound;
    }
    if (HasPermanent(*key)) {
        return kErrorAccessDenied;
    }
    const std::string leaf = components.back();
    components.pop_back();
    Walk(root_.get(), components)->subkeys.erase(FoldCase(leaf));
    return kErrorSuccess;
}

uint32_t Registry::EnumKeys(std::string_view path, std::vector<std::string>* names) const {
    names->clear();
    std::vector<std::string> components;
    const uint32_t error = SplitPath(path, &components);
    if (error != kErrorSuccess) {
        return error;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const Key* key = Walk(root_.get(), components);
    if (key == nullptr) {
        return kErrorFileNotFound;
    }
    for (const auto& entry : key->subkeys) {
        names->push_back(entry.second->name);
    }
    return kErrorSuccess;
}

std::optional<std::string> Registry::CanonicalPath(std::string_view path) const {
    std::vector<std::string> components;
    if (SplitPath(path, &components) != kErrorSuccess) {
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out = "\\" + root_->name;
    const Key* key = root_.get();
    for (const std::string& component : components) {
        key = key->Find(component);
        if (key == nullptr) {
            return std::nullopt;
        }
        out += "\\" + key->name;
    }
    return out;
}

uint32_t Registry::SetValue(std::string_view path, std::string_view name, uint32_t type,
                            const void* data, size_t size) {
    if (!registry_detail::IsValidValueName(name) || (data == nullptr && size != 0)) {
        return kErrorInvalidParameter;
    }
    std::vector<std::string> components;
    const uint32_t error = SplitPath(path, &components);
    if (error != kErrorSuccess) {
        return error;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Key* key = Walk(root_.get(), components);
    if (key == nullptr) {
        return kErrorFileNotFound;
    }
    registry_detail::SetValueIn(key, name, type, static_cast<const uint8_t*>(data), size);
    return kErrorSuccess;
}

uint32_t Registry::QueryValue(std::string_view path, std::string_view name, uint32_t* type,
                              void* data, uint32_t* size) const {
    if (data != nullptr && size == nullptr) {
        return kErrorInvalidParameter;
    }
    std::optional<RegistryValue> value = GetValue(path, name);
    if (!value) {
        return kErrorFileNotFound;
    }
    if (type != nullptr) {
        *type = value->type;
    }
    const uint32_t needed = static_cast<uint32_t>(value->data.size());
    if (data == nullptr) {
        if (size != nullptr) {
            *size = needed;
        }
        return kErrorSuccess;
    }
    if (*size < needed) {
        *size = needed;
        return kErrorMoreData;
    }
    if (needed != 0) {
        memcpy(data, value->data.data(), needed);
    }
    *size = needed;
    return kErrorSuccess;
}

std::optional<RegistryValue> Registry::GetValue(std::string_view path,
                                                std::string_view name) const {
    std::vector<std::string> components;
    if (SplitPath(path, &components) != kErrorSuccess) {
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const Key* key = Walk(root_.get(), components);
    if (key == nullptr) {
        return std::nullopt;
    }
    const RegistryValue* value = key->FindValue(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return *value;
}

uint32_t Registry::DeleteValue(std::string_view path, std::string_view name) {
    std::vector<std::string> components;
    const uint32_t error = SplitPath(path, &components);
    if (error != kErrorSuccess) {
        return error;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Key* key = Walk(root_.get(), components);
    if (key == nullptr) {
        return kErrorFileNotFound;
    }
    return key->EraseValue(name) ? kErrorSuccess : kErrorFileNotFound;
}

uint32_t Registry::EnumValues(std::string_view path, std::vector<RegistryValue>* values) const {
    values->clear();
    std::vector<std::string> components;
    const uint32_t error = SplitPath(path, &components);
    if (error != kErrorSuccess) {
        return error;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const Key* key = Walk(root_.get(), components);
    if (key == nullptr) {
        return kErrorFileNotFound;
    }
    *values = key->values;
    return kErrorSuccess;
}

uint32_t Registry::SetDword(std::string_view path, std::string_view name, uint32_t value) {
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return SetValue(path, name, kRegDword, bytes, sizeof(bytes));
}

uint32_t Registry::SetQword(std::string_view path, std::string_view name, uint64_t value) {
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return SetValue(path, name, kRegQword, bytes, sizeof(bytes));
}

uint32_t Registry::SetString(std::string_view path, std::string_view name, std::string_view value,
                             uint32_t type) {
    const std::vector<uint8_t> data = RegStringData(value);
    return SetValue(path, name, type, data.data(), data.size());
}

uint32_t Registry::SetMultiString(std::string_view path, std::string_view name,
                                  const std::vector<std::string>& strings) {
    const std::vector<uint8_t> data = RegMultiStringData(strings);
    return SetValue(path, name, kRegMultiSz, data.data(), data.size());
}

uint32_t Registry::SetBinary(std::string_view path, std::string_view name,
                             const std::vector<uint8_t>& bytes) {
    return SetValue(path, name, kRegBinary, bytes.data(), bytes.size());
}

std::optional<uint32_t> Registry::GetDword(std::string_view path, std::string_view name) const {
    std::optional<RegistryValue> value = GetValue(path, name);
    if (!value || value->type != kRegDword || value->data.size() != 4) {
        return std::nullopt;
    }
    uint32_t out = 0;
    for (int i = 0; i < 4; ++i) {
        out |= static_cast<uint32_t>(value->data[i]) << (8 * i);
    }
    return out;
}

std::optional<uint64_t> Registry::GetQword(std::string_view path, std::string_view name) const {
    std::optional<RegistryValue> value = GetValue(path, name);
    if (!value || value->type != kRegQword || value->data.size() != 8) {
        return std::nullopt;
    }
    uint64_t out = 0;
    for (int i = 0; i < 8; ++i) {
        out |= static_cast<uint64_t>(value->data[i]) << (8 * i);
    }
    return out;
}

std::optional<std::string> Registry::GetString(std::string_view path, std::string_view name) const {
    std::optional<RegistryValue> value = GetValue(path, name);
    if (!value || (value->type != kRegSz && value->type != kRegExpandSz)) {
        return std::nullopt;
    }
    return RegStringFromData(value->data);
}

std::optional<std::vector<std::string>> Registry::GetMultiString(std::string_view path,
                                                                 std::string_view name) const {
    std::optional<RegistryValue> value = GetValue(path, name);
    if (!value || value->type != kRegMultiSz) {
        return std::nullopt;
    }
    return RegMultiStringFromData(value->data);
}

void Registry::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    root_ = registry_detail::MakeBaseTree();
}

std::string Registry::Export(std::string_view path) const {
    std::vector<std::string> components;
    if (SplitPath(path, &components) != kErrorSuccess) {
        return std::string();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::string keyPath = "\\" + root_->name;
    const Key* key = root_.get();
    for (const std::string& component : components) {
        key = key->Find(component);
        if (key == nullptr) {
            return std::string();
        }
        keyPath += "\\" + key->name;
    }
    return registry_detail::WriteTree(*key, keyPath);
}

RegistryLoadResult Registry::Load(std::string_view text) {
    return Read(text, true);
}

RegistryLoadResult Registry::Merge(std::string_view text) {
    return Read(text, false);
}

RegistryLoadResult Registry::Read(std::string_view text, bool replace) {
    // Parse into a copy so that a bad file leaves the tree untouched.
    std::unique_ptr<Key> tree;
    if (replace) {
        tree = registry_detail::MakeBaseTree();
    } else {
        std::string current = Export("\\Registry");
        tree = registry_detail::MakeBaseTree();
        RegistryLoadResult copied = registry_detail::ReadInto(tree.get(), current);
        if (!copied.ok) {
            return copied;
        }
    }
    RegistryLoadResult result = registry_detail::ReadInto(tree.get(), text);
    if (!result.ok) {
        return result;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    root_ = std::move(tree);
    return result;
}

bool Registry::SaveFile(const std::string& fileName, std::string* error) const {
    const std::string text = Export("\\Registry");
    // Replaced whole or not at all: a file cut short by a full disk would not load again.
    std::string reason;
    if (!ReplaceFileContents(fileName, text.data(), text.size(), &reason)) {
        if (error != nullptr) {
            *error = reason;
        }
        return false;
    }
    return true;
}

RegistryLoadResult Registry::LoadFile(const std::string& fileName) {
    std::error_code code;
    if (std::filesystem::is_directory(fileName, code)) {
        return RegistryLoadResult{false, 0, fileName + " is a folder, not a registry file"};
    }
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        return RegistryLoadResult{false, 0, "cannot open " + fileName};
    }
    // Read no more than a registry file may hold, whatever the file claims to be: a device
    // such as /dev/zero never ends.
    std::string contents;
    char buffer[1 << 16];
    while (in) {
        in.read(buffer, sizeof buffer);
        contents.append(buffer, static_cast<size_t>(in.gcount()));
        if (contents.size() > registry_detail::kMaxFileBytes) {
            return RegistryLoadResult{false, 0,
                                      fileName + " is larger than a registry file may be (" +
                                          std::to_string(registry_detail::kMaxFileBytes >> 20) +
                                          " MiB)"};
        }
    }
    if (in.bad()) {
        return RegistryLoadResult{false, 0, "cannot read " + fileName};
    }
    try {
        return Load(contents);
    } catch (const std::bad_alloc&) {
        return RegistryLoadResult{false, 0, "not enough memory to load " + fileName};
    }
}

std::vector<uint8_t> RegStringData(std::string_view text) {
    const std::u16string units = Utf8ToUtf16(text);
    std::vector<uint8_t> data;
    data.reserve((units.size() + 1) * 2);
    for (char16_t unit : units) {
        data.push_back(static_cast<uint8_t>(unit & 0xFF));
        data.push_back(static_cast<uint8_t>(unit >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::vector<uint8_t> RegMultiStringData(const std::vector<std::string>& strings) {
    std::vector<uint8_t> data;
    for (const std::string& text : strings) {
        const std::vector<uint8_t> one = RegStringData(text);
        data.insert(data.end(), one.begin(), one.end());
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

namespace {

std::u16string UnitsOf(const std::vector<uint8_t>& data) {
    std::u16string units;
    units.reserve(data.size() / 2);
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    return units;
}

}  // namespace

std::string RegStringFromData(const std::vector<uint8_t>& data) {
    std::u16string units = UnitsOf(data);
    const size_t end = units.find(u'\0');
    if (end != std::u16string::npos) {
        units.resize(end);
    }
    return Utf16ToUtf8(units);
}

std::vector<std::string> RegMultiStringFromData(const std::vector<uint8_t>& data) {
    const std::u16string units = UnitsOf(data);
    std::vector<std::string> strings;
    size_t start = 0;
    while (start < units.size()) {
        size_t end = units.find(u'\0', start);
        if (end == std::u16string::npos) {
            end = units.size();
        }
        if (end == start) {
            break;  // the empty string that ends the list
        }
        strings.push_back(Utf16ToUtf8(units.substr(start, end - start)));
        start = end + 1;
    }
    return strings;
}

}  // namespace host
