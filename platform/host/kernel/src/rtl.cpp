// Run-time library routines: counted strings, memory comparison, and the registry routines
// over the machine registry (host::Registry::Machine()).
//
// RtlQueryRegistryValues follows its published description: a table of entries ended by one
// with neither a query routine nor the SUBKEY or DIRECT flag; DIRECT entries store into their
// EntryContext (a UNICODE_STRING for strings; for other data of at most four bytes the data
// itself; for longer data a buffer whose first LONG is its size, negative to receive only the
// data, positive to receive length, type and data); a missing REQUIRED value ends the query
// with STATUS_OBJECT_NAME_NOT_FOUND and data that does not fit with STATUS_BUFFER_TOO_SMALL,
// the entries before it having been stored.
#include <string.h>

#include <string>

#include "host/registry.h"
#include "host/text.h"
#include "host/win32_error.h"
#include "internal.h"

namespace host::kernel::detail {
namespace {

size_t WideLength(PCWSTR text) {
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

std::string Narrow(PCWSTR text) {
    if (text == nullptr) {
        return std::string();
    }
    return Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(text), WideLength(text)));
}

WCHAR Upcase(WCHAR c) {
    return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 32) : c;
}

// The absolute registry path for a RelativeTo and Path pair, or false.
bool ResolveRegistryPath(ULONG relativeTo, PCWSTR path, std::string* out) {
    const std::string relative = Narrow(path);
    const std::string suffix = relative.empty() ? std::string() : "\\" + relative;
    switch (relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL)) {
        case RTL_REGISTRY_ABSOLUTE:
            *out = relative;
            return !relative.empty();
        case RTL_REGISTRY_SERVICES:
            *out = "\\Registry\\Machine\\System\\CurrentControlSet\\Services" + suffix;
            return true;
        case RTL_REGISTRY_CONTROL:
            *out = "\\Registry\\Machine\\System\\CurrentControlSet\\Control" + suffix;
            return true;
        case RTL_REGISTRY_WINDOWS_NT:
            *out = "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion" + suffix;
            return true;
        case RTL_REGISTRY_DEVICEMAP:
            *out = "\\Registry\\Machine\\Hardware\\DeviceMap" + suffix;
            return true;
        case RTL_REGISTRY_USER:
            *out = std::string("\\Registry\\User\\") + Registry::kCurrentUserSid + suffix;
            return true;
        default:
            return false;  // RTL_REGISTRY_HANDLE and unknown roots
    }
}

NTSTATUS StatusFromRegistry(uint32_t error) {
    switch (error) {
        case kErrorSuccess:
            return STATUS_SUCCESS;
        case kErrorFileNotFound:
            return STATUS_OBJECT_NAME_NOT_FOUND;
        case kErrorAccessDenied:
            return STATUS_ACCESS_DENIED;
        case kErrorInvalidParameter:
        case kErrorInvalidHandle:
            return STATUS_OBJECT_NAME_INVALID;
        default:
            return STATUS_UNSUCCESSFUL;
    }
}

bool IsStringType(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// REG_EXPAND_SZ against the environment of a simulated machine without user variables.
std::vector<uint8_t> Expand(const std::vector<uint8_t>& data) {
    std::string text = RegStringFromData(data);
    static const std::pair<const char*, const char*> kVariables[] = {
        {"%SystemRoot%", "C:\\Windows"},
        {"%windir%", "C:\\Windows"},
        {"%SystemDrive%", "C:"},
        {"%ProgramFiles%", "C:\\Program Files"},
    };
    for (const auto& variable : kVariables) {
        const std::string name = variable.first;
        for (size_t at = FoldCase(text).find(FoldCase(name)); at != std::string::npos;
             at = FoldCase(text).find(FoldCase(name), at + 1)) {
            text.replace(at, name.size(), variable.second);
        }
    }
    return RegStringData(text);
}

// The default data of a table entry, with the published rule that a zero length of string
// data means "up to the terminating null (two for a multi-string)".
std::vector<uint8_t> DefaultData(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type) {
    const uint8_t* bytes = static_cast<const uint8_t*>(entry.DefaultData);
    if (bytes == nullptr) {
        return {};
    }
    size_t length = entry.DefaultLength;
    if (length == 0 && IsStringType(type)) {
        const WCHAR* text = static_cast<const WCHAR*>(entry.DefaultData);
        size_t units = 0;
        if (type == REG_MULTI_SZ) {
            while (text[units] != 0 || text[units + 1] != 0) {
                ++units;
            }
            units += 2;
        } else {
            units = WideLength(text) + 1;
        }
        length = units * sizeof(WCHAR);
    }
    return std::vector<uint8_t>(bytes, bytes + length);
}

NTSTATUS StoreDirect(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type,
                     const std::vector<uint8_t>& data) {
    if (IsStringType(type)) {
        if ((entry.Flags & RTL_QUERY_REGISTRY_NOSTRING) != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        UNICODE_STRING* target = static_cast<UNICODE_STRING*>(entry.EntryContext);
        const size_t length = data.size();
        if (length > 0xFFFE) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (target->Buffer == nullptr) {
            target->Buffer = static_cast<PWCH>(PoolAllocate(
                PagedPool, length == 0 ? sizeof(WCHAR) : length, 0x53676552 /* 'RegS' */, false,
                CurrentDriver(), "RtlQueryRegistryValues"));
            if (target->Buffer == nullptr) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            target->MaximumLength = static_cast<USHORT>(length == 0 ? sizeof(WCHAR) : length);
        } else if (target->MaximumLength < length) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (length != 0) {
            memcpy(target->Buffer, data.data(), length);
        }
        const bool terminated = length >= 2 && data[length - 1] == 0 && data[length - 2] == 0;
        target->Length = static_cast<USHORT>(terminated ? length - sizeof(WCHAR) : length);
        return STATUS_SUCCESS;
    }
    uint8_t* target = static_cast<uint8_t*>(entry.EntryContext);
    const size_t length = data.size();
    if (length <= sizeof(ULONG)) {
        if (length != 0) {
            memcpy(target, data.data(), length);
        }
        return STATUS_SUCCESS;
    }
    LONG header;
    memcpy(&header, target, sizeof(header));
    if (header < 0) {
        const int64_t size = -static_cast<int64_t>(header);
        if (static_cast<int64_t>(length) > size) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(target, data.data(), length);
        return STATUS_SUCCESS;
    }
    if (static_cast<uint64_t>(header) < length + 2 * sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const ULONG lengthField = static_cast<ULONG>(length);
    memcpy(target, &lengthField, sizeof(ULONG));
    memcpy(target + sizeof(ULONG), &type, sizeof(ULONG));
    memcpy(target + 2 * sizeof(ULONG), data.data(), length);
    return STATUS_SUCCESS;
}

// Hands one value to an entry: a direct store, or calls of its query routine (one per string
// of a multi-string, and expanded strings as REG_SZ, unless NOEXPAND).
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, const std::string& name, ULONG type,
                 std::vector<uint8_t> data, PVOID context) {
    const bool expand = (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0;
    if (type == REG_EXPAND_SZ && expand) {
        data = Expand(data);
        type = REG_SZ;
    }
    if ((entry.Flags & RTL_QUERY_REGISTRY_DIRECT) != 0) {
        return StoreDirect(entry, type, data);
    }
    std::u16string wideName = Utf8ToUtf16(name);
    PWSTR valueName = name.empty() ? nullptr : reinterpret_cast<PWSTR>(&wideName[0]);
    if (type == REG_MULTI_SZ && expand) {
        for (const std::string& one : RegMultiStringFromData(data)) {
            std::vector<uint8_t> single = RegStringData(one);
            const NTSTATUS status =
                entry.QueryRoutine(valueName, REG_SZ, single.data(),
                                   static_cast<ULONG>(single.size()), context, entry.EntryContext);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        return STATUS_SUCCESS;
    }
    return entry.QueryRoutine(valueName, type, data.empty() ? nullptr : data.data(),
                              static_cast<ULONG>(data.size()), context, entry.EntryContext);
}

}  // namespace
}  // namespace host::kernel::detail

using namespace host;
using namespace host::kernel::detail;

extern "C" {

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const uint8_t* a = static_cast<const uint8_t*>(Source1);
    const uint8_t* b = static_cast<const uint8_t*>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same]) {
        ++same;
    }
    return same;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        bytes = 0xFFFC;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    const USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                             ? SourceString->Length
                             : DestinationString->MaximumLength;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
    const size_t a = String1->Length / sizeof(WCHAR);
    const size_t b = String2->Length / sizeof(WCHAR);
    const size_t n = a < b ? a : b;
    for (size_t i = 0; i < n; ++i) {
        WCHAR x = String1->Buffer[i];
        WCHAR y = String2->Buffer[i];
        if (CaseInSensitive) {
            x = Upcase(x);
            y = Upcase(y);
        }
        if (x != y) {
            return static_cast<LONG>(x) - static_cast<LONG>(y);
        }
    }
    return static_cast<LONG>(a) - static_cast<LONG>(b);
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length &&
                   RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0
               ? TRUE
               : FALSE;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
    if (Source == nullptr || Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    const size_t total = static_cast<size_t>(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
            Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[total / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) {
        PoolFree(UnicodeString->Buffer, nullptr, "RtlFreeUnicodeString");
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    CheckIrql(PASSIVE_LEVEL, "RtlCheckRegistryKey");
    std::string path;
    if (!ResolveRegistryPath(RelativeTo, Path, &path)) {
        return STATUS_INVALID_PARAMETER;
    }
    return Registry::Machine().KeyExists(path) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    CheckIrql(PASSIVE_LEVEL, "RtlCreateRegistryKey");
    std::string path;
    if (!ResolveRegistryPath(RelativeTo, Path, &path)) {
        return STATUS_INVALID_PARAMETER;
    }
    return StatusFromRegistry(Registry::Machine().CreateLeafKey(path));
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
    CheckIrql(PASSIVE_LEVEL, "RtlWriteRegistryValue");
    std::string path;
    if (!ResolveRegistryPath(RelativeTo, Path, &path)) {
        return STATUS_INVALID_PARAMETER;
    }
    // The key is opened, not created: a writer creates it first with RtlCreateRegistryKey.
    return StatusFromRegistry(
        Registry::Machine().SetValue(path, Narrow(ValueName), ValueType, ValueData, ValueLength));
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    CheckIrql(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
    std::string path;
    if (!ResolveRegistryPath(RelativeTo, Path, &path)) {
        return STATUS_INVALID_PARAMETER;
    }
    return StatusFromRegistry(Registry::Machine().DeleteValue(path, Narrow(ValueName)));
}

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment) {
    UNREFERENCED_PARAMETER(Environment);
    CheckIrql(PASSIVE_LEVEL, "RtlQueryRegistryValues");
    std::string base;
    if (QueryTable == nullptr || !ResolveRegistryPath(RelativeTo, Path, &base)) {
        return STATUS_INVALID_PARAMETER;
    }
    Registry& registry = Registry::Machine();
    if (!registry.KeyExists(base)) {
        return (RelativeTo & RTL_REGISTRY_OPTIONAL) != 0 ? STATUS_SUCCESS
                                                         : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::string current = base;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine != nullptr ||
         (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT)) != 0;
         ++entry) {
        if ((entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) != 0) {
            current = base;
        }
        if ((entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) != 0) {
            if (entry->Name == nullptr) {
                return STATUS_INVALID_PARAMETER;
            }
            current = base + "\\" + Narrow(entry->Name);
            if (!registry.KeyExists(current) && (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            if (entry->QueryRoutine == nullptr) {
                continue;
            }
        }
        if (entry->Name == nullptr || (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) != 0) {
            if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0) {
                return STATUS_INVALID_PARAMETER;
            }
            std::vector<RegistryValue> values;
            registry.EnumValues(current, &values);
            if (values.empty() && (entry->Flags & RTL_QUERY_REGISTRY_NOVALUE) != 0) {
                const NTSTATUS status = entry->QueryRoutine(nullptr, REG_NONE, nullptr, 0, Context,
                                                            entry->EntryContext);
                if (!NT_SUCCESS(status)) {
                    return status;
                }
            }
            for (const RegistryValue& value : values) {
                const NTSTATUS status =
                    Deliver(*entry, value.name, value.type, value.data, Context);
                if (!NT_SUCCESS(status)) {
                    return status;
                }
            }
            continue;
        }
        const std::string name = Narrow(entry->Name);
        std::optional<RegistryValue> value = registry.GetValue(current, name);
        NTSTATUS status = STATUS_SUCCESS;
        if (!value) {
            if ((entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            const ULONG defaultType = entry->DefaultType & ~RTL_QUERY_REGISTRY_TYPECHECK_MASK;
            if (defaultType == REG_NONE) {
                continue;
            }
            status = Deliver(*entry, name, defaultType, DefaultData(*entry, defaultType), Context);
        } else {
            // Kernels before Vista do not know the flag and deliver whatever is stored.
            if ((entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0 && KernelKnowsQueryTypeCheck()) {
                const ULONG expected =
                    (static_cast<ULONG>(entry->DefaultType) >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) &
                    0xFF;
                if (value->type != expected) {
                    return STATUS_OBJECT_TYPE_MISMATCH;
                }
            }
            status = Deliver(*entry, name, value->type, value->data, Context);
            if (NT_SUCCESS(status) && (entry->Flags & RTL_QUERY_REGISTRY_DELETE) != 0) {
                registry.DeleteValue(current, name);
            }
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status) {
    return NtStatusToWin32Error(static_cast<uint32_t>(Status));
}

}  // extern "C"
