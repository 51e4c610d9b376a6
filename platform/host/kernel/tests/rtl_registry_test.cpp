#include <string.h>

#include <gtest/gtest.h>

#include "host/registry.h"
#include "toy_drivers.h"

namespace {

using host::Registry;

const PCWSTR kKey = reinterpret_cast<PCWSTR>(u"\\Registry\\MACHINE\\SOFTWARE\\Ampfx");
constexpr const char* kKeyUtf8 = "\\Registry\\Machine\\SOFTWARE\\Ampfx";

PWSTR Wide(const char16_t* text) {
    return reinterpret_cast<PWSTR>(const_cast<char16_t*>(text));
}

class RtlRegistryTest : public toy::KernelTest {
  protected:
    void SetUp() override {
        toy::KernelTest::SetUp();
        Registry::Machine().Clear();
        ASSERT_EQ(Registry::Machine().CreateKey(kKeyUtf8), host::kErrorSuccess);
    }
    void TearDown() override {
        Registry::Machine().Clear();
        toy::KernelTest::TearDown();
    }

    static RTL_QUERY_REGISTRY_TABLE Direct(const char16_t* name, void* context,
                                           ULONG flags = RTL_QUERY_REGISTRY_REQUIRED) {
        RTL_QUERY_REGISTRY_TABLE entry{};
        entry.Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
        entry.Name = Wide(name);
        entry.EntryContext = context;
        entry.DefaultType = REG_NONE;
        return entry;
    }
};

TEST_F(RtlRegistryTest, RequiredQueryStopsAtTheFirstMissingValueWithEarlierValuesStored) {
    Registry::Machine().SetDword(kKeyUtf8, "First", 7);
    Registry::Machine().SetDword(kKeyUtf8, "Third", 9);
    ULONG first = 0;
    ULONG second = 5;
    ULONG third = 6;
    RTL_QUERY_REGISTRY_TABLE table[4] = {
        Direct(u"First", &first), Direct(u"Second", &second), Direct(u"Third", &third), {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(first, 7u);
    EXPECT_EQ(second, 5u);
    EXPECT_EQ(third, 6u) << "nothing after the failure is read";
}

TEST_F(RtlRegistryTest, MissingKeyFailsBeforeAnyEntryUnlessOptional) {
    ULONG value = 3;
    RTL_QUERY_REGISTRY_TABLE table[2] = {Direct(u"Value", &value), {}};
    const PCWSTR missing = reinterpret_cast<PCWSTR>(u"\\Registry\\Machine\\SOFTWARE\\Missing");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, missing, table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, missing, table,
                                     nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
}

TEST_F(RtlRegistryTest, DirectNonStringDataFollowsTheBufferSizeConvention) {
    const std::vector<uint8_t> gains(40, 0x11);
    Registry::Machine().SetBinary(kKeyUtf8, "Gains", gains);
    struct Case {
        LONG header;  // the first LONG of the caller's buffer
        NTSTATUS status;
        size_t dataOffset;  // where the data lands when it fits
    } cases[] = {
        {-40, STATUS_SUCCESS, 0},          {-64, STATUS_SUCCESS, 0},
        {-39, STATUS_BUFFER_TOO_SMALL, 0}, {48, STATUS_SUCCESS, 8},
        {47, STATUS_BUFFER_TOO_SMALL, 0},  {0, STATUS_BUFFER_TOO_SMALL, 0},
    };
    for (const Case& c : cases) {
        uint8_t buffer[64];
        memset(buffer, 0xEE, sizeof(buffer));
        memcpy(buffer, &c.header, sizeof(c.header));
        RTL_QUERY_REGISTRY_TABLE table[2] = {Direct(u"Gains", buffer), {}};
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
                  c.status)
            << "header " << c.header;
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(memcmp(buffer + c.dataOffset, gains.data(), gains.size()), 0);
            EXPECT_EQ(buffer[c.dataOffset + 40], 0xEE) << "nothing past the data is written";
            if (c.dataOffset == 8) {
                ULONG length;
                ULONG type;
                memcpy(&length, buffer, 4);
                memcpy(&type, buffer + 4, 4);
                EXPECT_EQ(length, 40u);
                EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
            }
        } else {
            EXPECT_EQ(buffer[8], 0xEE) << "a value that does not fit is not stored";
        }
    }
}

TEST_F(RtlRegistryTest, DataThatDoesNotFitEndsTheQueryThere) {
    Registry::Machine().SetDword(kKeyUtf8, "Before", 1);
    Registry::Machine().SetBinary(kKeyUtf8, "Wide", std::vector<uint8_t>(8, 0));
    Registry::Machine().SetDword(kKeyUtf8, "After", 3);
    ULONG before = 0;
    ULONG wide = 0;  // a DWORD buffer holding 0: its size header is 0
    ULONG after = 0;
    RTL_QUERY_REGISTRY_TABLE table[4] = {
        Direct(u"Before", &before), Direct(u"Wide", &wide), Direct(u"After", &after), {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(before, 1u);
    EXPECT_EQ(after, 0u);
}

TEST_F(RtlRegistryTest, TypeCheckRefusesAValueOfAnotherType) {
    Registry::Machine().SetString(kKeyUtf8, "Number", "12");
    ULONG number = 4;
    RTL_QUERY_REGISTRY_TABLE table[2] = {
        Direct(u"Number", &number, RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK), {}};
    table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(number, 4u);
}

TEST_F(RtlRegistryTest, MissingOptionalValueTakesItsDefault) {
    ULONG value = 0;
    ULONG fallback = 42;
    RTL_QUERY_REGISTRY_TABLE table[2] = {Direct(u"Absent", &value, 0), {}};
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &fallback;
    table[0].DefaultLength = sizeof(fallback);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 42u);
}

TEST_F(RtlRegistryTest, DirectStringIntoAnEmptyUnicodeStringIsAllocated) {
    Registry::Machine().SetString(kKeyUtf8, "Name", "Ampfx");
    UNICODE_STRING name{};
    RTL_QUERY_REGISTRY_TABLE table[2] = {Direct(u"Name", &name), {}};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
              STATUS_SUCCESS);
    UNICODE_STRING expected;
    RtlInitUnicodeString(&expected, reinterpret_cast<PCWSTR>(u"Ampfx"));
    EXPECT_TRUE(RtlEqualUnicodeString(&name, &expected, FALSE));
    RtlFreeUnicodeString(&name);

    WCHAR small[3];
    UNICODE_STRING tooSmall{0, sizeof(small), small};
    table[0] = Direct(u"Name", &tooSmall);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
}

NTSTATUS CollectStrings(PWSTR valueName, ULONG valueType, PVOID valueData, ULONG valueLength,
                        PVOID context, PVOID entryContext) {
    UNREFERENCED_PARAMETER(valueName);
    UNREFERENCED_PARAMETER(valueLength);
    UNREFERENCED_PARAMETER(entryContext);
    auto* strings = static_cast<std::vector<std::string>*>(context);
    EXPECT_EQ(valueType, static_cast<ULONG>(REG_SZ));
    std::string text;
    for (const WCHAR* c = static_cast<const WCHAR*>(valueData); *c != 0; ++c) {
        text += static_cast<char>(*c);
    }
    strings->push_back(text);
    return STATUS_SUCCESS;
}

TEST_F(RtlRegistryTest, QueryRoutineGetsEachStringOfAMultiStringAndExpandedStrings) {
    Registry::Machine().SetMultiString(kKeyUtf8, "LowerFilters", {"Ampfx", "Other"});
    Registry::Machine().SetString(kKeyUtf8, "ImagePath", "%SystemRoot%\\x.sys", host::kRegExpandSz);
    std::vector<std::string> strings;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].QueryRoutine = CollectStrings;
    table[0].Name = Wide(u"LowerFilters");
    table[1].QueryRoutine = CollectStrings;
    table[1].Name = Wide(u"ImagePath");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, &strings, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(strings, (std::vector<std::string>{"Ampfx", "Other", "C:\\Windows\\x.sys"}));
}

TEST_F(RtlRegistryTest, KeysAreCreatedOneLevelAtATimeAndWrittenOnlyWhenTheyExist) {
    PWSTR child = Wide(u"\\Registry\\Machine\\SOFTWARE\\Ampfx\\Child");
    PWSTR grandchild = Wide(u"\\Registry\\Machine\\SOFTWARE\\Ampfx\\Child\\Grandchild");
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, child, reinterpret_cast<PCWSTR>(u"V"),
                                    REG_DWORD, &one, sizeof(one)),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, grandchild),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, child), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, child), STATUS_SUCCESS);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, child), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, child), STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, child, reinterpret_cast<PCWSTR>(u"V"),
                                    REG_DWORD, &one, sizeof(one)),
              STATUS_SUCCESS);
    EXPECT_EQ(Registry::Machine().GetDword("HKLM\\SOFTWARE\\Ampfx\\Child", "v"), 1u);
}

TEST_F(RtlRegistryTest, RegistryRoutinesBelongAtPassiveLevel) {
    host::kernel::VerifierCapture capture;
    KIRQL old = KeRaiseIrqlToDpcLevel();
    RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(kKey));
    KeLowerIrql(old);
    EXPECT_EQ(capture.Count(host::kernel::Violation::IrqlTooHigh), 1u);
}

}  // namespace
