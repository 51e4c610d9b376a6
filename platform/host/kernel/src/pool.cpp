// Non-paged pool: every block remembers its tag and the driver whose code allocated it, so an
// unloading driver's leftovers can be named; freeing checks the block and its tag; the fault
// injector fails chosen allocations.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <mutex>

#include "internal.h"

namespace host::kernel::detail {
namespace {

struct PoolBlock {
    size_t size;
    ULONG tag;
    DRIVER_OBJECT* owner;
};

struct ActiveFault {
    PoolFault fault;
    uint64_t counted = 0;
};

struct PoolState {
    std::mutex mutex;
    std::unordered_map<void*, PoolBlock> blocks;
    std::vector<ActiveFault> faults;
    uint64_t allocations = 0;
    uint64_t triggered = 0;
};

PoolState& State() {
    static PoolState* state = new PoolState();
    return *state;
}

// Pool tags read in memory order, as pool tools show them.
std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0x7F);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

std::string Hex(const void* pointer) {
    char text[32];
    snprintf(text, sizeof(text), "%p", pointer);
    return text;
}

constexpr ULONG kProtectedPoolBit = 0x80000000u;
constexpr unsigned char kFreshPoolFill = 0xA5;

}  // namespace

bool PoolShouldFail(ULONG tag, bool kernelObject) {
    PoolState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    bool fail = false;
    for (ActiveFault& active : state.faults) {
        if (kernelObject && !active.fault.kernelObjects) {
            continue;
        }
        if (active.fault.tag != 0 && active.fault.tag != tag) {
            continue;
        }
        ++active.counted;
        if (active.counted == active.fault.nth ||
            (active.fault.sticky && active.counted > active.fault.nth)) {
            fail = true;
        }
    }
    state.faults.erase(std::remove_if(state.faults.begin(), state.faults.end(),
                                      [](const ActiveFault& active) {
                                          return !active.fault.sticky &&
                                                 active.counted >= active.fault.nth;
                                      }),
                       state.faults.end());
    if (fail) {
        ++state.triggered;
    }
    return fail;
}

void* PoolAllocate(POOL_TYPE type, size_t size, ULONG tag, bool kernelObject, DRIVER_OBJECT* owner,
                   const char* api) {
    (void)type;
    (void)api;
    if (PoolShouldFail(tag, kernelObject)) {
        return nullptr;
    }
    // Windows hands out pool in 16-byte units on x64.
    const size_t rounded = (std::max<size_t>(size, 1) + 15) & ~static_cast<size_t>(15);
    void* block = aligned_alloc(16, rounded);
    if (block == nullptr) {
        return nullptr;
    }
    // Fresh pool is not zeroed on Windows; a pattern makes code that assumes zeroes fail here.
    memset(block, kernelObject ? 0 : kFreshPoolFill, rounded);
    PoolState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.blocks[block] = PoolBlock{size, tag, owner};
    ++state.allocations;
    return block;
}

bool PoolFree(void* block, const ULONG* tag, const char* api) {
    if (block == nullptr) {
        Report(Violation::PoolMisuse, std::string(api) + " of a null pointer");
        return false;
    }
    PoolState& state = State();
    std::unique_lock<std::mutex> lock(state.mutex);
    auto it = state.blocks.find(block);
    if (it == state.blocks.end()) {
        lock.unlock();
        Report(Violation::PoolMisuse, std::string(api) + " of " + Hex(block) +
                                          ", which is not an allocated pool block (freed "
                                          "before, or never allocated from pool)");
        return false;
    }
    const ULONG blockTag = it->second.tag;
    state.blocks.erase(it);
    lock.unlock();
    free(block);
    if (tag != nullptr && ((*tag ^ blockTag) & ~kProtectedPoolBit) != 0) {
        Report(Violation::PoolMisuse, std::string(api) + " of a block tagged '" +
                                          TagText(blockTag) + "' with the tag '" + TagText(*tag) +
                                          "'");
    }
    return true;
}

void PoolReleaseDriver(DRIVER_OBJECT* driver) {
    PoolState& state = State();
    std::vector<std::pair<void*, PoolBlock>> leaked;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        for (auto it = state.blocks.begin(); it != state.blocks.end();) {
            if (it->second.owner == driver) {
                leaked.emplace_back(it->first, it->second);
                it = state.blocks.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (leaked.empty()) {
        return;
    }
    size_t bytes = 0;
    std::string detail;
    for (const auto& entry : leaked) {
        bytes += entry.second.size;
        if (detail.size() < 400) {
            detail += (detail.empty() ? "" : ", ") + std::string("'") + TagText(entry.second.tag) +
                      "' " + std::to_string(entry.second.size) + " bytes";
        }
        free(entry.first);
    }
    Report(Violation::PoolLeakAtUnload,
           DescribeDriver(driver) + " unloaded with " + std::to_string(leaked.size()) +
               " pool block(s) (" + std::to_string(bytes) + " bytes) still allocated: " + detail);
}

void PoolReset() {
    PoolState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (auto& entry : state.blocks) {
        free(entry.first);
    }
    state.blocks.clear();
    state.faults.clear();
    state.triggered = 0;
}

}  // namespace host::kernel::detail

namespace host::kernel {

using namespace detail;

PoolUsage DriverPoolUsage(PDRIVER_OBJECT driver) {
    PoolState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    PoolUsage usage;
    for (const auto& entry : state.blocks) {
        if (entry.second.owner == driver) {
            ++usage.blocks;
            usage.bytes += entry.second.size;
        }
    }
    return usage;
}

PoolUsage PoolUsageByTag(ULONG tag) {
    PoolState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    PoolUsage usage;
    for (const auto& entry : state.blocks) {
        if (entry.second.tag == tag) {
            ++usage.blocks;
            usage.bytes += entry.second.size;
        }
    }
    return usage;
}

uint64_t PoolAllocationCount() {
    PoolState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.allocations;
}

void InjectPoolFault(const PoolFault& fault) {
    PoolState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.faults.push_back(ActiveFault{fault, 0});
}

void ClearPoolFaults() {
    PoolState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.faults.clear();
}

uint64_t PoolFaultsTriggered() {
    PoolState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.triggered;
}

}  // namespace host::kernel

using namespace host::kernel::detail;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    const bool paged = (PoolType & 1) != 0;
    CheckIrql(paged ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");
    return PoolAllocate(PoolType, NumberOfBytes, Tag, false, CurrentDriver(),
                        "ExAllocatePoolWithTag");
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E);  // 'None'
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    CheckIrql(DISPATCH_LEVEL, "ExFreePoolWithTag");
    PoolFree(P, &Tag, "ExFreePoolWithTag");
}

VOID NTAPI ExFreePool(PVOID P) {
    CheckIrql(DISPATCH_LEVEL, "ExFreePool");
    PoolFree(P, nullptr, "ExFreePool");
}

}  // extern "C"
