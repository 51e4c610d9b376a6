#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "host/registry.h"

namespace host {
namespace {

constexpr const char* kKey = "\\Registry\\Machine\\SOFTWARE\\Ampfx";

// A tree with every value type, including data that does not have the shape of its type.
void Populate(Registry& registry) {
    ASSERT_EQ(registry.CreateKey(kKey), kErrorSuccess);
    ASSERT_EQ(registry.CreateKey(std::string(kKey) + "\\Empty [key] \xC3\xA9"), kErrorSuccess);
    ASSERT_EQ(registry.SetDword(kKey, "SoundFieldType", 3), kErrorSuccess);
    ASSERT_EQ(registry.SetQword(kKey, "Big", 0x0123456789ABCDEFull), kErrorSuccess);
    ASSERT_EQ(registry.SetBinary(kKey, "AmpfxEQGain", {0x00, 0x00, 0x80, 0x3f}), kErrorSuccess);
    ASSERT_EQ(registry.SetBinary(kKey, "NoBytes", {}), kErrorSuccess);
    ASSERT_EQ(registry.SetString(kKey, "ImagePath", "System32\\DRIVERS\\Ampfx.sys", kRegExpandSz),
              kErrorSuccess);
    ASSERT_EQ(registry.SetString(kKey, "", "default \"quoted\" caf\xC3\xA9\tx"), kErrorSuccess);
    ASSERT_EQ(registry.SetMultiString(kKey, "LowerFilters", {"Ampfx", "other, filter"}),
              kErrorSuccess);
    ASSERT_EQ(registry.SetString(kKey, "Name \"with\" \\ and \x01", "x"), kErrorSuccess);
    const uint8_t threeBytes[3] = {1, 2, 3};
    ASSERT_EQ(registry.SetValue(kKey, "ShortDword", kRegDword, threeBytes, 3), kErrorSuccess);
    const uint8_t unterminated[4] = {'a', 0, 'b', 0};
    ASSERT_EQ(registry.SetValue(kKey, "Unterminated", kRegSz, unterminated, 4), kErrorSuccess);
    const uint8_t odd[3] = {'a', 0, 0};
    ASSERT_EQ(registry.SetValue(kKey, "Odd", kRegSz, odd, 3), kErrorSuccess);
    const uint8_t embedded[8] = {'a', 0, 0, 0, 'b', 0, 0, 0};
    ASSERT_EQ(registry.SetValue(kKey, "Embedded", kRegSz, embedded, 8), kErrorSuccess);
    const uint8_t loneSurrogate[4] = {0x00, 0xD8, 0, 0};
    ASSERT_EQ(registry.SetValue(kKey, "Surrogate", kRegSz, loneSurrogate, 4), kErrorSuccess);
    const uint8_t badMulti[6] = {'a', 0, 0, 0, 0, 0};
    ASSERT_EQ(registry.SetValue(kKey, "BadMulti", kRegMultiSz, badMulti, 6), kErrorSuccess);
    const uint8_t custom[2] = {9, 9};
    ASSERT_EQ(registry.SetValue(kKey, "Custom", 0x1234, custom, 2), kErrorSuccess);
    ASSERT_EQ(registry.SetValue(kKey, "Nothing", kRegNone, nullptr, 0), kErrorSuccess);
}

std::string TempFile() {
    char name[] = "/tmp/ampfx-registry-XXXXXX";
    const int fd = mkstemp(name);
    close(fd);
    return name;
}

TEST(RegistryFileTest, EveryValueSurvivesASaveAndLoad) {
    Registry original;
    Populate(original);
    const std::string file = TempFile();
    std::string error;
    ASSERT_TRUE(original.SaveFile(file, &error)) << error;

    Registry loaded;
    const RegistryLoadResult result = loaded.LoadFile(file);
    unlink(file.c_str());
    ASSERT_TRUE(result.ok) << result.error;

    std::vector<RegistryValue> before;
    std::vector<RegistryValue> after;
    ASSERT_EQ(original.EnumValues(kKey, &before), kErrorSuccess);
    ASSERT_EQ(loaded.EnumValues(kKey, &after), kErrorSuccess);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(after[i].name, before[i].name);
        EXPECT_EQ(after[i].type, before[i].type) << before[i].name;
        EXPECT_EQ(after[i].data, before[i].data) << before[i].name;
    }
    EXPECT_TRUE(loaded.KeyExists(std::string(kKey) + "\\Empty [key] \xC3\xA9"));
    EXPECT_EQ(loaded.Export(), original.Export());
}

TEST(RegistryFileTest, TheFileIsReadable) {
    Registry registry;
    ASSERT_EQ(registry.CreateKey(kKey), kErrorSuccess);
    ASSERT_EQ(registry.SetDword(kKey, "EnableAmpfxEQ", 1), kErrorSuccess);
    ASSERT_EQ(registry.SetBinary(kKey, "AmpfxEQGain", {0x00, 0x00, 0x80, 0x3f}), kErrorSuccess);
    ASSERT_EQ(registry.SetString(kKey, "ImagePath", "System32\\DRIVERS\\Ampfx.sys", kRegExpandSz),
              kErrorSuccess);
    ASSERT_EQ(registry.SetMultiString(kKey, "LowerFilters", {"Ampfx", "other"}), kErrorSuccess);
    ASSERT_EQ(registry.SetString(kKey, "", "text"), kErrorSuccess);
    EXPECT_EQ(registry.Export(kKey),
              "AmpfxRegistry 1\n"
              "\n"
              "[\\REGISTRY\\MACHINE\\SOFTWARE\\Ampfx]\n"
              "\"EnableAmpfxEQ\"=dword:00000001\n"
              "\"AmpfxEQGain\"=hex:00,00,80,3f\n"
              "\"ImagePath\"=expand_sz:\"System32\\\\DRIVERS\\\\Ampfx.sys\"\n"
              "\"LowerFilters\"=multi_sz:\"Ampfx\",\"other\"\n"
              "@=sz:\"text\"\n"
              "\n");
}

TEST(RegistryFileTest, HostileFilesAreRefusedWithTheirLineAndChangeNothing) {
    struct Case {
        std::string text;
        size_t line;
    } cases[] = {
        {"", 0},
        {"\n\n", 0},
        {"regedit4\n", 1},
        {"AmpfxRegistry 2\n", 1},
        {"AmpfxRegistry 1\n\"x\"=dword:1\n", 2},
        {"AmpfxRegistry 1\n[\\REGISTRY\\MACHINE\\X\n", 2},
        {"AmpfxRegistry 1\n[\\REGISTRY\\NEWHIVE]\n", 2},
        {"AmpfxRegistry 1\n[HKLM\\A\\\\B]\n", 2},
        {"AmpfxRegistry 1\n[HKLM\\A]\n\"x\"=sz:\"abc\n", 3},
        {"AmpfxRegistry 1\n[HKLM\\A]\n\"x\"=sz:\"a\\q\"\n", 3},
        {"AmpfxRegistry 1\n[HKLM\\A]\n\"x\"=sz:\"a\\u12\"\n", 3},
        {"AmpfxRegistry 1\n[HKLM\\A]\n\"x\"=hex:0g\n", 3},
        {"AmpfxRegistry 1\n[HKLM\\A]\n\"x\"=hex:00,\n", 3},
        {"AmpfxRegistry 1\n[HKLM\\A]\n\"x\"=dword:123456789\n", 3},
        {"AmpfxRegistry 1\n[HKLM\\A]\n\"x\"=float:1.0\n", 3},
        {"AmpfxRegistry 1\n[HKLM\\A]\n\"x\"=dword:1 trailing\n", 3},
        {"AmpfxRegistry 1\n[HKLM\\A]\n\"x\"=multi_sz:\"a\",\"\"\n", 3},
        {"AmpfxRegistry 1\n[HKLM\\A]\n\"\"=sz:\"x\"\n", 3},
        {"AmpfxRegistry 1\n[HKLM\\A]\n\"x\" sz:\"x\"\n", 3},
        {"AmpfxRegistry 1\n[HKLM\\A]\n\"x\"=hex(:00\n", 3},
        {"AmpfxRegistry 1\n[HKLM\\A]\ngarbage\n", 3},
        {std::string("AmpfxRegistry 1\n\x00\xff\xfe", 19), 2},
    };
    for (const Case& c : cases) {
        Registry registry;
        ASSERT_EQ(registry.CreateKey("HKLM\\SOFTWARE\\Kept"), kErrorSuccess);
        const std::string before = registry.Export();
        const RegistryLoadResult result = registry.Load(c.text);
        EXPECT_FALSE(result.ok) << c.text;
        EXPECT_EQ(result.line, c.line) << c.text << " -> " << result.error;
        EXPECT_FALSE(result.error.empty());
        EXPECT_EQ(registry.Export(), before) << c.text;
    }
}

TEST(RegistryFileTest, EveryTruncationLoadsOrIsRefused) {
    Registry original;
    Populate(original);
    const std::string text = original.Export();
    size_t refused = 0;
    for (size_t length = 0; length < text.size(); ++length) {
        Registry registry;
        const RegistryLoadResult result = registry.Load(text.substr(0, length));
        if (!result.ok) {
            ++refused;
            EXPECT_FALSE(result.error.empty());
        }
    }
    // Cuts inside a string or a byte list cannot load; cuts at line ends can.
    EXPECT_GT(refused, text.size() / 4);
}

TEST(RegistryFileTest, MergeAddsToTheTree) {
    Registry registry;
    ASSERT_EQ(registry.CreateKey(kKey), kErrorSuccess);
    ASSERT_EQ(registry.SetDword(kKey, "Kept", 7), kErrorSuccess);
    ASSERT_EQ(registry.SetDword(kKey, "Replaced", 1), kErrorSuccess);
    const RegistryLoadResult result = registry.Merge(
        "AmpfxRegistry 1\r\n[HKLM\\SOFTWARE\\Ampfx]\r\n\"Replaced\"=dword:2\r\n"
        "[HKLM\\SOFTWARE\\Ampfx\\New]\r\n");
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(registry.GetDword(kKey, "Kept"), 7u);
    EXPECT_EQ(registry.GetDword(kKey, "Replaced"), 2u);
    EXPECT_TRUE(registry.KeyExists(std::string(kKey) + "\\New"));
}

TEST(RegistryFileTest, MissingFileIsAnError) {
    Registry registry;
    const RegistryLoadResult result = registry.LoadFile("/nonexistent/registry.txt");
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("cannot open"), std::string::npos);
}

// A file of one key with `values` values of the shape the driver writes.
std::string OneKeyWithValues(size_t values) {
    std::string text = "AmpfxRegistry 1\n[HKLM\\SOFTWARE\\Many]\n";
    for (size_t i = 0; i < values; ++i) {
        text += "\"Value" + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\n";
    }
    return text;
}

TEST(RegistryFileTest, FilesBeyondTheLimitsAreRefusedWithAClearErrorAndChangeNothing) {
    const std::string folder = TempFile() + ".d";
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    struct Case {
        const char* what;
        std::function<RegistryLoadResult(Registry&)> load;
        const char* error;
    } cases[] = {
        {"a device that never ends", [](Registry& r) { return r.LoadFile("/dev/zero"); },
         "larger than a registry file may be (64 MiB)"},
        {"a folder", [&](Registry& r) { return r.LoadFile(folder); },
         "is a folder, not a registry file"},
        {"text over the size limit",
         [](Registry& r) { return r.Load(std::string(64u << 20, '\n') + "\n"); },
         "larger than a registry file may be (64 MiB)"},
        {"one value too many in a key",
         [](Registry& r) { return r.Load(OneKeyWithValues((1u << 16) + 1)); },
         "line 65539: more than 65536 values in one key"},
    };
    for (const Case& c : cases) {
        Registry registry;
        ASSERT_EQ(registry.CreateKey("HKLM\\SOFTWARE\\Kept"), kErrorSuccess);
        const std::string before = registry.Export();
        const RegistryLoadResult result = c.load(registry);
        EXPECT_FALSE(result.ok) << c.what;
        EXPECT_NE(result.error.find(c.error), std::string::npos) << c.what << ": " << result.error;
        EXPECT_EQ(registry.Export(), before) << c.what;
    }
    std::filesystem::remove(folder);

    // At the limit the key loads, every value in its place.
    Registry registry;
    const RegistryLoadResult result = registry.Load(OneKeyWithValues(1u << 16));
    ASSERT_TRUE(result.ok) << result.error;
    std::vector<RegistryValue> values;
    ASSERT_EQ(registry.EnumValues("HKLM\\SOFTWARE\\Many", &values), kErrorSuccess);
    ASSERT_EQ(values.size(), 1u << 16);
    EXPECT_EQ(values[12345].name, "Value12345");
    EXPECT_EQ(registry.GetDword("HKLM\\SOFTWARE\\Many", "VALUE65535"), 5u);
}

TEST(RegistryFileTest, ValuesAreFoundByNameAndKeepTheirOrderAcrossDeletions) {
    Registry registry;
    const char* key = "HKLM\\SOFTWARE\\Order";
    ASSERT_EQ(registry.CreateKey(key), kErrorSuccess);
    for (const char* name : {"A", "b", "C", "d", "E"}) {
        ASSERT_EQ(registry.SetDword(key, name, 1), kErrorSuccess);
    }
    EXPECT_EQ(registry.DeleteValue(key, "B"), kErrorSuccess);
    EXPECT_EQ(registry.DeleteValue(key, "b"), kErrorFileNotFound);
    ASSERT_EQ(registry.SetDword(key, "c", 3), kErrorSuccess);  // replaces C in its place
    ASSERT_EQ(registry.SetDword(key, "B", 2), kErrorSuccess);  // new, at the end
    EXPECT_EQ(registry.DeleteValue(key, "a"), kErrorSuccess);
    struct Expected {
        const char* name;
        uint32_t value;
    } expected[] = {{"C", 3}, {"d", 1}, {"E", 1}, {"B", 2}};
    std::vector<RegistryValue> values;
    ASSERT_EQ(registry.EnumValues(key, &values), kErrorSuccess);
    ASSERT_EQ(values.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(values[i].name, expected[i].name);
        EXPECT_EQ(registry.GetDword(key, expected[i].name), expected[i].value) << i;
    }
    // The loaded copy indexes its values as well.
    Registry copy;
    ASSERT_TRUE(copy.Load(registry.Export()).ok);
    EXPECT_EQ(copy.DeleteValue(key, "e"), kErrorSuccess);
    EXPECT_EQ(copy.GetDword(key, "b"), 2u);
    EXPECT_FALSE(copy.GetDword(key, "E").has_value());
}

// Writes beyond `bytes` fail with EFBIG, as on a disk that is full, while the object lives.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, oldHandler_);
    }

  private:
    rlimit saved_{};
    void (*oldHandler_)(int) = nullptr;
};

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(RegistryFileTest, AFailedSaveLeavesTheFileThatWasThere) {
    const std::string folder = TempFile() + ".d";
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    const std::string file = folder + "/registry.txt";
    Registry small;
    Populate(small);
    std::string error;
    ASSERT_TRUE(small.SaveFile(file, &error)) << error;
    const std::string saved = Contents(file);

    Registry large;
    ASSERT_TRUE(large.Load(OneKeyWithValues(20000)).ok);
    {
        FileSizeLimit full(saved.size() + 100);
        EXPECT_FALSE(large.SaveFile(file, &error));
    }
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    EXPECT_EQ(Contents(file), saved);
    Registry reloaded;
    EXPECT_TRUE(reloaded.LoadFile(file).ok);
    // Nothing of the failed attempt is left beside it.
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1u);

    ASSERT_TRUE(large.SaveFile(file, &error)) << error;
    EXPECT_TRUE(reloaded.LoadFile(file).ok);
    EXPECT_EQ(reloaded.Export(), large.Export());
    EXPECT_FALSE(large.SaveFile(folder + "/missing/registry.txt", &error));
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace host
