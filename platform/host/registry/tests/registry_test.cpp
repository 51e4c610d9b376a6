#include <gtest/gtest.h>

#include "host/registry.h"

namespace host {
namespace {

constexpr const char* kAmpfx = "\\Registry\\Machine\\SOFTWARE\\Ampfx";

TEST(RegistryTest, NamesMatchWithoutCaseAndKeepTheirOwn) {
    Registry registry;
    ASSERT_EQ(registry.CreateKey("HKLM\\SOFTWARE\\Ampfx"), kErrorSuccess);
    ASSERT_EQ(registry.SetDword("\\REGISTRY\\MACHINE\\software\\AMPFX", "EnableAmpfxEQ", 1),
              kErrorSuccess);
    // Writing the value again under another spelling keeps the first spelling.
    ASSERT_EQ(registry.SetDword(kAmpfx, "ENABLEAMPFXEQ", 0), kErrorSuccess);

    EXPECT_EQ(registry.GetDword("hkey_local_machine\\Software\\ampfx", "enableampfxeq"), 0u);
    std::vector<RegistryValue> values;
    ASSERT_EQ(registry.EnumValues(kAmpfx, &values), kErrorSuccess);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "EnableAmpfxEQ");
    EXPECT_EQ(registry.CanonicalPath("hklm\\software\\AMPFX"),
              "\\REGISTRY\\MACHINE\\SOFTWARE\\Ampfx");
}

TEST(RegistryTest, Win32RootsAreViewsOfTheKernelTree) {
    Registry registry;
    ASSERT_EQ(registry.CreateKey("HKCR\\AppID\\{Example}"), kErrorSuccess);
    EXPECT_TRUE(registry.KeyExists("\\Registry\\Machine\\SOFTWARE\\Classes\\AppID\\{Example}"));

    ASSERT_EQ(registry.CreateKey("HKEY_CURRENT_USER\\Software\\QEXAudioEQ"), kErrorSuccess);
    EXPECT_TRUE(registry.KeyExists(std::string("\\Registry\\User\\") + Registry::kCurrentUserSid +
                                   "\\Software\\QEXAudioEQ"));
    EXPECT_TRUE(registry.KeyExists(std::string("HKU\\") + Registry::kCurrentUserSid +
                                   "\\Software\\QEXAudioEQ"));
}

TEST(RegistryTest, QueryValueFollowsRegQueryValueEx) {
    Registry registry;
    ASSERT_EQ(registry.CreateKey(kAmpfx), kErrorSuccess);
    ASSERT_EQ(registry.SetString(kAmpfx, "Name", "abc"), kErrorSuccess);

    uint32_t type = 0;
    uint32_t size = 0;
    EXPECT_EQ(registry.QueryValue(kAmpfx, "Name", &type, nullptr, &size), kErrorSuccess);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(size, 8u);  // three UTF-16 units and the terminating null

    uint8_t small[4] = {};
    size = sizeof(small);
    EXPECT_EQ(registry.QueryValue(kAmpfx, "Name", &type, small, &size), kErrorMoreData);
    EXPECT_EQ(size, 8u);

    uint8_t exact[8] = {};
    size = sizeof(exact);
    EXPECT_EQ(registry.QueryValue(kAmpfx, "Name", &type, exact, &size), kErrorSuccess);
    EXPECT_EQ(exact[0], 'a');
    EXPECT_EQ(exact[6], 0);

    EXPECT_EQ(registry.QueryValue(kAmpfx, "Missing", &type, nullptr, &size), kErrorFileNotFound);
    EXPECT_EQ(registry.QueryValue("HKLM\\SOFTWARE\\Missing", "Name", &type, nullptr, &size),
              kErrorFileNotFound);
}

TEST(RegistryTest, DeletingFollowsRegDeleteKeyAndRegDeleteTree) {
    Registry registry;
    ASSERT_EQ(registry.CreateKey("HKLM\\SOFTWARE\\Ampfx\\Child\\Grandchild"), kErrorSuccess);

    EXPECT_EQ(registry.DeleteKey(kAmpfx), kErrorAccessDenied);
    EXPECT_EQ(registry.DeleteTree(kAmpfx), kErrorSuccess);
    EXPECT_FALSE(registry.KeyExists("HKLM\\SOFTWARE\\Ampfx\\Child"));
    EXPECT_EQ(registry.DeleteTree(kAmpfx), kErrorFileNotFound);

    // Hive roots stay.
    EXPECT_EQ(registry.DeleteTree("HKLM\\SOFTWARE"), kErrorAccessDenied);
    EXPECT_EQ(registry.DeleteTree("HKCU"), kErrorAccessDenied);
    EXPECT_EQ(registry.DeleteKey("\\Registry\\Machine\\SAM"), kErrorAccessDenied);
}

TEST(RegistryTest, LeafCreationNeedsItsParentLikeTheKernel) {
    Registry registry;
    EXPECT_EQ(registry.CreateLeafKey("\\Registry\\Machine\\SOFTWARE\\A\\B"), kErrorFileNotFound);
    bool created = false;
    EXPECT_EQ(registry.CreateLeafKey("\\Registry\\Machine\\SOFTWARE\\A", &created), kErrorSuccess);
    EXPECT_TRUE(created);
    EXPECT_EQ(registry.CreateLeafKey("\\Registry\\Machine\\SOFTWARE\\A", &created), kErrorSuccess);
    EXPECT_FALSE(created);
    EXPECT_EQ(registry.CreateKey("\\Registry\\NewHive\\X"), kErrorAccessDenied);
}

TEST(RegistryTest, EnumerationOrder) {
    Registry registry;
    for (const char* name : {"beta", "Alpha", "gamma", "ALPHA2"}) {
        ASSERT_EQ(registry.CreateKey(std::string(kAmpfx) + "\\" + name), kErrorSuccess);
    }
    for (const char* name : {"z", "a", "m"}) {
        ASSERT_EQ(registry.SetDword(kAmpfx, name, 0), kErrorSuccess);
    }
    std::vector<std::string> keys;
    ASSERT_EQ(registry.EnumKeys(kAmpfx, &keys), kErrorSuccess);
    EXPECT_EQ(keys, (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "gamma"}));
    std::vector<RegistryValue> values;
    ASSERT_EQ(registry.EnumValues(kAmpfx, &values), kErrorSuccess);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].name, "z");
    EXPECT_EQ(values[2].name, "m");
}

TEST(RegistryTest, BadPathsAreRefused) {
    Registry registry;
    struct Case {
        const char* path;
        uint32_t error;
    } cases[] = {
        {"", kErrorInvalidParameter},
        {"HKEY_NOWHERE\\X", kErrorInvalidHandle},
        {"HKLM\\SOFTWARE\\\\X", kErrorInvalidParameter},
        {"HKLM\\SOFTWARE\\Bad\x01Name", kErrorInvalidParameter},
        {"HKLM\\SOFTWARE\\Trailing\\", kErrorSuccess},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(registry.CreateKey(c.path), c.error) << c.path;
    }
    EXPECT_EQ(registry.CreateKey("HKLM\\SOFTWARE\\" + std::string(256, 'k')),
              kErrorInvalidParameter);
}

TEST(RegistryTest, TypedGettersCheckTypeAndShape) {
    Registry registry;
    ASSERT_EQ(registry.CreateKey(kAmpfx), kErrorSuccess);
    const uint8_t threeBytes[3] = {1, 2, 3};
    ASSERT_EQ(registry.SetValue(kAmpfx, "Short", kRegDword, threeBytes, 3), kErrorSuccess);
    ASSERT_EQ(registry.SetBinary(kAmpfx, "Binary", {1, 0, 0, 0}), kErrorSuccess);
    ASSERT_EQ(registry.SetMultiString(kAmpfx, "Filters", {"Ampfx", "other"}), kErrorSuccess);
    ASSERT_EQ(registry.SetMultiString(kAmpfx, "None", {}), kErrorSuccess);
    ASSERT_EQ(registry.SetString(kAmpfx, "Path", "C:\\Windows", kRegExpandSz), kErrorSuccess);

    EXPECT_FALSE(registry.GetDword(kAmpfx, "Short"));
    EXPECT_FALSE(registry.GetDword(kAmpfx, "Binary"));
    EXPECT_EQ(registry.GetMultiString(kAmpfx, "Filters"),
              (std::vector<std::string>{"Ampfx", "other"}));
    EXPECT_EQ(registry.GetMultiString(kAmpfx, "None"), std::vector<std::string>{});
    EXPECT_EQ(registry.GetValue(kAmpfx, "None")->data.size(), 2u);
    EXPECT_EQ(registry.GetString(kAmpfx, "Path"), "C:\\Windows");
    EXPECT_FALSE(registry.GetString(kAmpfx, "Filters"));
    EXPECT_EQ(registry.SetDword("HKLM\\SOFTWARE\\Missing", "x", 1), kErrorFileNotFound);
}

}  // namespace
}  // namespace host
