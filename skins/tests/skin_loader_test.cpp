// The simulated LoadLibraryW with the skins: their entry points run and answer as the shipped
// code does, broken skins fail the way the panel must notice, and the loader fails as
// Windows' does.
#include <gtest/gtest.h>

#include <string>

#include "skin_test_support.h"

namespace {

using host::HMODULE;
using host::Modules;
using skin_test::BrokenDll;
using skin_test::SkinDll;
using skin_test::SkinMachine;

std::u16string CallName(Modules& modules, HMODULE module) {
    host::FarProc proc = modules.GetProcAddress(module, "GetResourceName");
    if (!proc) {
        return u"<no export>";
    }
    return reinterpret_cast<const char16_t*>(proc());
}

struct SkinCase {
    const char* dll;
    const char16_t* name;
    intptr_t isDefault;
};

TEST(SkinLoaderTest, EachSkinsEntryPointsAnswerItsNameAndWhetherItIsOurs) {
    const SkinCase cases[] = {
        {"en", u"English", 1},
        {"zh-hans", u"\u7b80\u4f53\u4e2d\u6587", 1},
        {"zh-hant", u"\u7e41\u9ad4\u4e2d\u6587", 1},
        {"test", u"Ampfx Test Skin", 0},
    };
    for (const SkinCase& c : cases) {
        SCOPED_TRACE(c.dll);
        SkinMachine machine;
        std::string file = std::string(c.dll) == "test" ? AMPFX_TEST_SKIN_DLL : SkinDll(c.dll);
        HMODULE module = machine.modules.LoadLibraryW(machine.Install(file, "skin.dll"));
        ASSERT_NE(module, nullptr) << Modules::GetLastError();
        EXPECT_EQ(CallName(machine.modules, module), c.name);
        host::FarProc isDefault = machine.modules.GetProcAddress(module, "IsQEXDefaultSkin");
        ASSERT_TRUE(isDefault);
        EXPECT_EQ(isDefault(), c.isDefault);
        EXPECT_FALSE(machine.modules.GetProcAddress(module, "DllMain"));
        EXPECT_EQ(Modules::GetLastError(), host::kErrorProcNotFound);
    }
}

TEST(SkinLoaderTest, TheNameStaysReadableAfterTheCallAndEachLoadedSkinHasItsOwn) {
    SkinMachine machine;
    HMODULE en = machine.modules.LoadLibraryW(machine.Install(SkinDll("en"), "a.dll"));
    HMODULE hant = machine.modules.LoadLibraryW(machine.Install(SkinDll("zh-hant"), "b.dll"));
    ASSERT_NE(en, nullptr);
    ASSERT_NE(hant, nullptr);
    auto name = [&](HMODULE m) {
        return reinterpret_cast<const char16_t*>(
            machine.modules.GetProcAddress(m, "GetResourceName")());
    };
    const char16_t* first = name(en);
    const char16_t* second = name(hant);
    EXPECT_NE(first, second);
    EXPECT_EQ(std::u16string(first), u"English");  // not overwritten by the other skin
    EXPECT_EQ(name(en), first);                    // one static buffer per library
}

TEST(SkinLoaderTest, BrokenSkinsFailWhereThePanelLooks) {
    SkinMachine machine;
    // No IsQEXDefaultSkin: the panel refuses the skin.
    HMODULE noDefault = machine.modules.LoadLibraryW(
        machine.Install(BrokenDll("NoDefaultExport.dll"), "NoDefault.dll"));
    ASSERT_NE(noDefault, nullptr);
    EXPECT_FALSE(machine.modules.GetProcAddress(noDefault, "IsQEXDefaultSkin"));
    EXPECT_EQ(Modules::GetLastError(), host::kErrorProcNotFound);
    EXPECT_EQ(CallName(machine.modules, noDefault), u"English");

    // An empty name: the tray menu leaves it out; the pointer is still valid.
    HMODULE empty =
        machine.modules.LoadLibraryW(machine.Install(BrokenDll("EmptyName.dll"), "EmptyName.dll"));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(CallName(machine.modules, empty), u"");

    // A missing bitmap: that lookup fails, the others work.
    HMODULE missing = machine.modules.LoadLibraryW(
        machine.Install(BrokenDll("MissingBitmap.dll"), "MissingBitmap.dll"));
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(machine.modules.FindResourceW(missing, 1042, host::kRtBitmap), nullptr);
    EXPECT_EQ(Modules::GetLastError(), host::kErrorResourceNameNotFound);
    EXPECT_NE(machine.modules.FindResourceW(missing, 1062, host::kRtBitmap), nullptr);
}

TEST(SkinLoaderTest, LoadFailuresGiveWindowsErrors) {
    SkinMachine machine;
    std::vector<uint8_t> image = skin_test::ReadHostFile(SkinDll("en"));
    ASSERT_GT(image.size(), 0x200u);
    std::vector<uint8_t> amd64 = image;
    uint32_t pe = amd64[0x3C] | amd64[0x3D] << 8;
    amd64[pe + 4] = 0x64;  // machine field: x86_64
    amd64[pe + 5] = 0x86;
    std::string folder = SkinMachine::kFolder;
    machine.files.WriteFile(folder + "\\amd64.dll", amd64);
    machine.files.WriteFile(folder + "\\text.dll", {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i'});

    struct Case {
        const char16_t* path;
        uint32_t error;
    } cases[] = {
        {u"C:\\Windows\\system32\\QX_AudioControlRec\\absent.dll", host::kErrorModNotFound},
        {u"C:\\Nowhere\\skin.dll", host::kErrorModNotFound},
        {u"relative\\skin.dll", host::kErrorModNotFound},
        {u"C:\\Windows\\system32\\QX_AudioControlRec\\text.dll", host::kErrorBadExeFormat},
        {u"C:\\Windows\\system32\\QX_AudioControlRec\\amd64.dll", host::kErrorBadExeFormat},
        {u"C:\\Windows\\system32\\QX_AudioControlRec", host::kErrorModNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path, c.path + std::char_traits<char16_t>::length(c.path)));
        EXPECT_EQ(machine.modules.LoadLibraryW(c.path), nullptr);
        EXPECT_EQ(Modules::GetLastError(), c.error);
    }
}

TEST(SkinLoaderTest, ALibraryWithCodeTheHostHasNoBuildOfDoesNotLoad) {
    skin_test::TempRoot root;
    host::FileSystem files(root.path());
    Modules modules(files);  // no skin code registered
    files.WriteFile("C:\\Windows\\system32\\skin.dll", skin_test::ReadHostFile(SkinDll("en")));
    EXPECT_EQ(modules.LoadLibraryW(u"skin.dll"), nullptr);
    EXPECT_EQ(Modules::GetLastError(), host::kErrorBadExeFormat);
}

TEST(SkinLoaderTest, LoadsAreCountedAndALoadedFileIsInUse) {
    SkinMachine machine;
    std::u16string path = machine.Install(SkinDll("en"), "skin.dll");
    std::string win32Path(path.begin(), path.end());
    HMODULE first = machine.modules.LoadLibraryW(path);
    ASSERT_NE(first, nullptr);
    // The same file under another spelling is the same module.
    HMODULE second =
        machine.modules.LoadLibraryW(u"c:\\windows\\SYSTEM32\\qx_audiocontrolrec\\SKIN.DLL");
    EXPECT_EQ(first, second);
    EXPECT_EQ(machine.modules.GetModuleFileNameW(first), path);
    EXPECT_EQ(machine.files.DeleteFile(win32Path), host::kErrorAccessDenied);

    EXPECT_TRUE(machine.modules.FreeLibrary(first));
    EXPECT_EQ(machine.files.DeleteFile(win32Path), host::kErrorAccessDenied);  // one load left
    EXPECT_TRUE(machine.modules.FreeLibrary(second));
    EXPECT_FALSE(machine.modules.FreeLibrary(second));
    EXPECT_EQ(Modules::GetLastError(), host::kErrorInvalidHandle);
    EXPECT_FALSE(machine.modules.GetProcAddress(first, "GetResourceName"));
    EXPECT_EQ(machine.files.DeleteFile(win32Path), host::kErrorSuccess);
}

// A process that ends leaves its libraries, however often it loaded them and without
// freeing them; another process's load keeps the library and its file.
TEST(SkinLoaderTest, AnEndedProcessLeavesTheLibrariesItLoaded) {
    SkinMachine machine;
    std::u16string path = machine.Install(SkinDll("en"), "skin.dll");
    std::string win32Path(path.begin(), path.end());
    uint32_t process = 8;
    machine.modules.SetCurrentProcess([&process] { return process; });
    HMODULE module = machine.modules.LoadLibraryW(path);
    ASSERT_NE(module, nullptr);
    ASSERT_EQ(machine.modules.LoadLibraryW(path), module);
    process = 12;
    ASSERT_EQ(machine.modules.LoadLibraryW(path), module);

    machine.modules.ReleaseProcess(8);
    EXPECT_TRUE(machine.modules.GetProcAddress(module, "GetResourceName"));
    EXPECT_EQ(machine.files.DeleteFile(win32Path), host::kErrorAccessDenied);
    machine.modules.ReleaseProcess(16);  // loaded nothing
    machine.modules.ReleaseProcess(12);
    EXPECT_FALSE(machine.modules.GetProcAddress(module, "GetResourceName"));
    EXPECT_EQ(machine.files.DeleteFile(win32Path), host::kErrorSuccess);
}

TEST(SkinLoaderTest, ABareNameIsLookedForInTheSystemDirectory) {
    SkinMachine machine;
    machine.files.WriteFile("C:\\Windows\\system32\\QX_AudioControlRec.dll",
                            skin_test::ReadHostFile(SkinDll("en")));
    HMODULE module = machine.modules.LoadLibraryW(u"qx_audiocontrolrec.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(machine.modules.LoadLibraryW(u"C:\\Windows\\system32\\QX_AudioControlRec.dll"),
              module);
}

}  // namespace

namespace {

// The panel's own logo: bitmap 133 of the program's resources, language-neutral, 150 by 36 at
// 24 bits, on a ground of pure green with a hard edge (a pixel that is merely greenish would
// survive the colour key as a green fringe).
TEST(PanelResourcesTest, TheLogoIsAHardEdgedBadgeOnPureGreen) {
    SkinMachine machine;
    HMODULE module = machine.modules.LoadLibraryW(
        machine.Install(AMPFX_PANEL_RESOURCES_DLL, "QX_AudioControl.resources.dll"));
    ASSERT_NE(module, nullptr) << Modules::GetLastError();
    host::HRSRC logo = machine.modules.FindResourceW(module, 133, host::kRtBitmap);
    ASSERT_NE(logo, nullptr);
    auto dib = static_cast<const uint8_t*>(machine.modules.LoadResource(module, logo));
    uint32_t size = machine.modules.SizeofResource(module, logo);
    std::vector<uint8_t> file = skin_test::ReadHostFile(AMPFX_PANEL_LOGO_BMP);
    ASSERT_EQ(size + 14, file.size());
    EXPECT_TRUE(std::equal(dib, dib + size, file.begin() + 14));
    auto u32 = [&](size_t at) {
        return dib[at] | dib[at + 1] << 8 | dib[at + 2] << 16 | dib[at + 3] << 24;
    };
    ASSERT_EQ(u32(4), 150u);
    ASSERT_EQ(u32(8), 36u);
    ASSERT_EQ(dib[14], 24);
    const uint8_t* pixels = dib + 40;
    const size_t stride = (150 * 3 + 3) & ~3u;
    int green = 0, badge = 0, fringe = 0;
    for (int y = 0; y < 36; ++y) {
        for (int x = 0; x < 150; ++x) {
            const uint8_t* p = pixels + y * stride + x * 3;  // blue, green, red
            if (p[0] == 0 && p[1] == 255 && p[2] == 0) {
                ++green;
            } else if (p[1] > p[0] + 80 && p[1] > p[2] + 80) {
                ++fringe;
            } else {
                ++badge;
            }
        }
    }
    EXPECT_GT(green, 0) << "the corners are cut away";
    EXPECT_GT(badge, 150 * 36 / 2);
    EXPECT_EQ(fringe, 0);
    const uint8_t* corner = pixels;  // bottom-left pixel of the bottom-up picture
    EXPECT_EQ(corner[1], 255);
}

}  // namespace
