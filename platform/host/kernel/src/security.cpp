// Object security, as much of it as device objects need: a driver opens a kernel handle to its
// device object (ObOpenObjectByPointer) and gives it a discretionary ACL (ZwSetSecurityObject);
// opens from user mode are then checked against the caller's token. The ACL is kept as its
// allowed entries (SID and access mask); deny entries and inheritance are not simulated.
#include <string.h>

#include <string>
#include <vector>

#include "internal.h"

namespace host::kernel::detail {
namespace {

constexpr USHORT kSelfRelative = 0x8000;
constexpr USHORT kDaclPresent = 0x0004;
constexpr UCHAR kAccessAllowedAceType = 0;

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<HANDLE, DEVICE_OBJECT*> handles;
    uintptr_t next = 0x80000004;
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable();
    return *table;
}

struct SecurityTable {
    std::mutex mutex;
    // Device objects with a DACL: their allowed entries. A device not listed has none (every
    // caller may open it), as a device object created without a security descriptor.
    std::unordered_map<DEVICE_OBJECT*, std::vector<AllowedAce>> dacls;
};

SecurityTable& Security() {
    static SecurityTable* table = new SecurityTable();
    return *table;
}

std::atomic<UserToken> g_userToken{UserToken::ElevatedAdministrator};

// "S-1-5-32-544" from a SID in its binary form, or empty when it is malformed.
std::string SidText(const uint8_t* sid, size_t available) {
    if (available < 8 || sid[0] != 1 || available < 8u + 4u * sid[1]) {
        return std::string();
    }
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) {
        authority = (authority << 8) | sid[i];
    }
    std::string text = "S-1-" + std::to_string(authority);
    for (int i = 0; i < sid[1]; ++i) {
        uint32_t sub;
        memcpy(&sub, sid + 8 + 4 * i, sizeof sub);
        text += "-" + std::to_string(sub);
    }
    return text;
}

// The allowed entries of an ACL in its binary form; false when it is malformed.
bool ParseAcl(const uint8_t* acl, size_t available, std::vector<AllowedAce>* entries) {
    if (available < 8) {
        return false;
    }
    USHORT size;
    USHORT count;
    memcpy(&size, acl + 2, sizeof size);
    memcpy(&count, acl + 4, sizeof count);
    if (size > available || size < 8) {
        return false;
    }
    size_t at = 8;
    for (USHORT i = 0; i < count; ++i) {
        if (at + 8 > size) {
            return false;
        }
        const UCHAR type = acl[at];
        USHORT aceSize;
        memcpy(&aceSize, acl + at + 2, sizeof aceSize);
        if (aceSize < 8 || at + aceSize > size) {
            return false;
        }
        if (type == kAccessAllowedAceType) {
            AllowedAce entry;
            memcpy(&entry.mask, acl + at + 4, sizeof entry.mask);
            entry.sid = SidText(acl + at + 8, aceSize - 8u);
            if (entry.sid.empty()) {
                return false;
            }
            entries->push_back(entry);
        }
        at += aceSize;
    }
    return true;
}

std::vector<std::string> TokenSids(UserToken token) {
    switch (token) {
        case UserToken::LocalSystem:
            return {"S-1-5-18", "S-1-5-32-544", "S-1-1-0", "S-1-5-11"};
        case UserToken::ElevatedAdministrator:
            return {"S-1-5-21-1004336348-1177238915-682003330-1001",
                    "S-1-5-32-544",
                    "S-1-5-32-545",
                    "S-1-1-0",
                    "S-1-5-11",
                    "S-1-5-4"};
        case UserToken::StandardUser:
        default:
            // A filtered administrator token has Administrators for deny only, which grants
            // nothing: as a standard user's.
            return {"S-1-5-21-1004336348-1177238915-682003330-1001", "S-1-5-32-545", "S-1-1-0",
                    "S-1-5-11", "S-1-5-4"};
    }
}

}  // namespace

void SecurityReset() {
    {
        std::lock_guard<std::mutex> lock(Handles().mutex);
        Handles().handles.clear();
    }
    {
        std::lock_guard<std::mutex> lock(Security().mutex);
        Security().dacls.clear();
    }
    g_userToken = UserToken::ElevatedAdministrator;
}

void ForgetDeviceSecurity(DEVICE_OBJECT* device) {
    std::lock_guard<std::mutex> lock(Security().mutex);
    Security().dacls.erase(device);
}

bool CallerMayOpen(DEVICE_OBJECT* device, ACCESS_MASK desired) {
    std::vector<AllowedAce> dacl;
    {
        std::lock_guard<std::mutex> lock(Security().mutex);
        auto found = Security().dacls.find(device);
        if (found == Security().dacls.end()) {
            return true;
        }
        dacl = found->second;
    }
    // Generic rights map to all of a device's specific rights, so an entry granting
    // GENERIC_ALL grants whatever is asked for; otherwise every requested bit must be granted.
    ACCESS_MASK granted = 0;
    for (const std::string& sid : TokenSids(g_userToken.load())) {
        for (const AllowedAce& entry : dacl) {
            if (entry.sid == sid) {
                granted |= entry.mask;
            }
        }
    }
    if ((granted & GENERIC_ALL) != 0) {
        return true;
    }
    return (granted & desired) == desired && desired != 0;
}

std::vector<AllowedAce> DeviceDacl(DEVICE_OBJECT* device, bool* present) {
    std::lock_guard<std::mutex> lock(Security().mutex);
    auto found = Security().dacls.find(device);
    *present = found != Security().dacls.end();
    return *present ? found->second : std::vector<AllowedAce>();
}

}  // namespace host::kernel::detail

namespace host::kernel {

void SetUserToken(UserToken token) {
    detail::g_userToken = token;
}

std::optional<std::vector<std::string>> DeviceAllowedSids(PDEVICE_OBJECT device) {
    bool present = false;
    const std::vector<detail::AllowedAce> dacl = detail::DeviceDacl(device, &present);
    if (!present) {
        return std::nullopt;
    }
    std::vector<std::string> sids;
    for (const detail::AllowedAce& entry : dacl) {
        sids.push_back(entry.sid);
    }
    return sids;
}

}  // namespace host::kernel

using namespace host::kernel::detail;

extern "C" {

NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PVOID PassedAccessState,
                                     ACCESS_MASK DesiredAccess, PVOID ObjectType,
                                     KPROCESSOR_MODE AccessMode, PHANDLE Handle) {
    UNREFERENCED_PARAMETER(HandleAttributes);
    UNREFERENCED_PARAMETER(PassedAccessState);
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectType);
    UNREFERENCED_PARAMETER(AccessMode);
    CheckIrql(PASSIVE_LEVEL, "ObOpenObjectByPointer");
    auto* device = static_cast<DEVICE_OBJECT*>(Object);
    {
        ObjectManager& om = ObjectManager::Get();
        std::lock_guard<std::recursive_mutex> lock(om.mutex);
        DeviceInfo* info = om.FindDevice(device);
        if (info == nullptr || info->deleted) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
    }
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    HANDLE handle = reinterpret_cast<HANDLE>(table.next);
    table.next += 4;
    table.handles[handle] = device;
    *Handle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, ULONG SecurityInformation,
                                   PVOID SecurityDescriptor) {
    CheckIrql(PASSIVE_LEVEL, "ZwSetSecurityObject");
    DEVICE_OBJECT* device = nullptr;
    {
        HandleTable& table = Handles();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto found = table.handles.find(Handle);
        if (found == table.handles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        device = found->second;
    }
    constexpr ULONG kDaclSecurityInformation = 0x00000004;
    if ((SecurityInformation & kDaclSecurityInformation) == 0) {
        return STATUS_SUCCESS;
    }
    // A self-relative descriptor: revision, padding, control, then four offsets.
    const auto* sd = static_cast<const uint8_t*>(SecurityDescriptor);
    if (sd == nullptr || sd[0] != 1) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    USHORT control;
    memcpy(&control, sd + 2, sizeof control);
    if ((control & kSelfRelative) == 0 || (control & kDaclPresent) == 0) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    ULONG daclOffset;
    memcpy(&daclOffset, sd + 16, sizeof daclOffset);
    std::vector<AllowedAce> entries;
    // The descriptor's length is not passed; an ACL states its own size, bounded here by the
    // largest a descriptor may be.
    if (daclOffset < 20 || !ParseAcl(sd + daclOffset, 0xFFFF, &entries)) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    std::lock_guard<std::mutex> lock(Security().mutex);
    Security().dacls[device] = entries;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.handles.erase(Handle) != 0 ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

}  // extern "C"
