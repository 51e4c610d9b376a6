// Every resource of the three default skins, looked up through the simulated loader as the
// panel looks them up (by id, no language), is exactly what the skin was built from: the
// bitmaps and waves are the generator's files, the icons the icon files' images, the dialogs,
// menu and strings carry the controls, commands and translated texts the panel relies on.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "skin_test_support.h"

namespace {

using host::HMODULE;
using host::Modules;
using skin_test::ReadHostFile;

constexpr uint32_t kWsPopup = 0x80000000u;
constexpr uint32_t kWsVisible = 0x10000000u;
constexpr uint32_t kWsExAppWindow = 0x00040000u;
constexpr uint32_t kLbsNotify = 0x0001;
constexpr uint32_t kLbsSort = 0x0002;
constexpr uint32_t kEsAutoHScroll = 0x0080;
constexpr uint16_t kMfPopup = 0x0010;
constexpr uint16_t kMfEnd = 0x0080;

struct SkinTexts {
    const char* lang;
    const char16_t* open;
    const char16_t* save;
    const char16_t* remove;
    const char16_t* name;
    const char16_t* ok;
    const char16_t* cancel;
    const char16_t* changeSkin;
    const char16_t* close;
};

const SkinTexts kSkins[] = {
    {"en", u"Open", u"Save", u"Delete", u"English", u"OK", u"Cancel", u"Change Skin", u"Close"},
    {"zh-hans", u"打开", u"保存", u"删除", u"简体中文", u"确定", u"取消", u"更换皮肤", u"关闭"},
    {"zh-hant", u"開啟", u"儲存", u"刪除", u"繁體中文", u"確定", u"取消", u"更換外觀", u"關閉"},
};

// Little-endian reads from a resource, failing the test instead of reading past its end.
class Bytes {
  public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool ok() const { return ok_; }
    size_t at() const { return at_; }
    void Align4() { at_ = (at_ + 3) & ~size_t{3}; }
    uint16_t U16() {
        if (at_ + 2 > size_) {
            ok_ = false;
            return 0;
        }
        uint16_t v = static_cast<uint16_t>(data_[at_] | data_[at_ + 1] << 8);
        at_ += 2;
        return v;
    }
    uint32_t U32() {
        uint32_t lo = U16();
        return lo | static_cast<uint32_t>(U16()) << 16;
    }
    std::u16string Sz() {
        std::u16string out;
        for (uint16_t c = U16(); ok_ && c != 0; c = U16()) {
            out.push_back(static_cast<char16_t>(c));
        }
        return out;
    }
    // sz_Or_Ord: nothing, an ordinal (returned as "#n") or a string.
    std::u16string SzOrOrd() {
        uint16_t first = U16();
        if (first == 0) {
            return u"";
        }
        if (first == 0xFFFF) {
            std::string n = "#" + std::to_string(U16());
            return std::u16string(n.begin(), n.end());
        }
        at_ -= 2;
        return Sz();
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    bool ok_ = true;
};

struct Control {
    uint32_t style = 0;
    uint32_t id = 0;
    std::u16string windowClass;
    std::u16string text;
};

struct Dialog {
    uint32_t style = 0;
    uint32_t exStyle = 0;
    std::u16string title;
    std::vector<Control> controls;
};

// DLGTEMPLATEEX, as the resource compiler writes DIALOGEX.
bool ParseDialog(const uint8_t* data, size_t size, Dialog* dialog) {
    Bytes b(data, size);
    if (b.U16() != 1 || b.U16() != 0xFFFF) {
        return false;
    }
    b.U32();  // help id
    dialog->exStyle = b.U32();
    dialog->style = b.U32();
    uint16_t count = b.U16();
    for (int i = 0; i < 4; ++i) {
        b.U16();
    }
    b.SzOrOrd();  // menu
    b.SzOrOrd();  // class
    dialog->title = b.Sz();
    if (dialog->style & 0x40) {  // DS_SETFONT
        b.U16();
        b.U16();
        b.U16();  // italic and charset bytes
        b.Sz();
    }
    for (uint16_t i = 0; i < count && b.ok(); ++i) {
        b.Align4();
        Control c;
        b.U32();  // help id
        b.U32();  // extended style
        c.style = b.U32();
        for (int k = 0; k < 4; ++k) {
            b.U16();
        }
        c.id = b.U32();
        c.windowClass = b.SzOrOrd();
        c.text = b.SzOrOrd();
        uint16_t extra = b.U16();
        for (uint16_t k = 0; k < extra; ++k) {
            b.U16();
        }
        dialog->controls.push_back(c);
    }
    return b.ok();
}

struct MenuItem {
    uint16_t flags;
    uint16_t id;
    std::u16string text;
    std::vector<MenuItem> items;
};

void ParseMenuItems(Bytes& b, std::vector<MenuItem>* items) {
    while (b.ok()) {
        MenuItem item;
        item.flags = b.U16();
        item.id = (item.flags & kMfPopup) ? 0 : b.U16();
        item.text = b.Sz();
        if (item.flags & kMfPopup) {
            ParseMenuItems(b, &item.items);
        }
        bool last = (item.flags & kMfEnd) != 0;
        items->push_back(item);
        if (last) {
            return;
        }
    }
}

class SkinResourcesTest : public ::testing::TestWithParam<SkinTexts> {
  protected:
    void SetUp() override {
        module_ = machine_.modules.LoadLibraryW(
            machine_.Install(skin_test::SkinDll(GetParam().lang), "QX_AudioControlRec.dll"));
        ASSERT_NE(module_, nullptr) << Modules::GetLastError();
    }

    // The resource's bytes through FindResourceW / LoadResource / SizeofResource, and the
    // resource recorded as checked.
    std::vector<uint8_t> Resource(host::ResourceId name, host::ResourceId type,
                                  std::pair<int, int> key) {
        checked_.insert(key);
        host::HRSRC found = machine_.modules.FindResourceW(module_, name, type);
        if (!found) {
            ADD_FAILURE() << "resource " << key.second << " of type " << key.first
                          << " not found: " << Modules::GetLastError();
            return {};
        }
        auto data = static_cast<const uint8_t*>(
            Modules::LockResource(machine_.modules.LoadResource(module_, found)));
        return std::vector<uint8_t>(data, data + machine_.modules.SizeofResource(module_, found));
    }

    Dialog DialogResource(uint16_t id) {
        std::vector<uint8_t> bytes = Resource(id, host::kRtDialog, {host::kRtDialog, id});
        Dialog dialog;
        EXPECT_TRUE(ParseDialog(bytes.data(), bytes.size(), &dialog)) << "dialog " << id;
        return dialog;
    }

    std::u16string String(uint32_t id) {
        checked_.insert({host::kRtString, static_cast<int>(id / 16 + 1)});
        char16_t buffer[64];
        int length = machine_.modules.LoadStringW(module_, id, buffer, 64);
        return std::u16string(buffer, length);
    }

    std::string Assets() const { return std::string(AMPFX_SKIN_ASSETS); }

    skin_test::SkinMachine machine_;
    HMODULE module_ = nullptr;
    std::set<std::pair<int, int>> checked_;  // (type, id); WAVE is type -1
};

TEST_P(SkinResourcesTest, EveryResourceIsWhatTheSkinWasBuiltFrom) {
    const SkinTexts& t = GetParam();

    // Bitmaps: the BMP files without their 14-byte file header.
    std::ifstream contract(std::string(AMPFX_SKIN_ASSETS) + "/../contract/bitmaps.tsv");
    std::string line;
    int bitmaps = 0;
    while (std::getline(contract, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        int id = std::stoi(line);
        std::vector<uint8_t> file =
            ReadHostFile(Assets() + "/" + t.lang + "/" + std::to_string(id) + ".bmp");
        ASSERT_GT(file.size(), 54u) << id;
        std::vector<uint8_t> expected(file.begin() + 14, file.end());
        EXPECT_EQ(Resource(static_cast<uint16_t>(id), host::kRtBitmap, {host::kRtBitmap, id}),
                  expected)
            << "bitmap " << id;
        ++bitmaps;
    }
    EXPECT_EQ(bitmaps, 52);

    // Test sounds, whole files, under the string type "WAVE" (any case, or as "#n").
    for (int id : {1071, 1072}) {
        std::vector<uint8_t> file =
            ReadHostFile(Assets() + "/common/" + std::to_string(id) + ".wav");
        EXPECT_EQ(Resource(static_cast<uint16_t>(id), "WAVE", {-1, id}), file) << id;
        EXPECT_NE(machine_.modules.FindResourceW(module_, static_cast<uint16_t>(id), "wave"),
                  nullptr);
        EXPECT_NE(
            machine_.modules.FindResourceW(module_, ("#" + std::to_string(id)).c_str(), "WAVE"),
            nullptr);
    }

    // Icons: the group lists the icon file's images; each image is the file's, byte for byte.
    for (int id : {1088, 1091}) {
        std::vector<uint8_t> ico =
            ReadHostFile(Assets() + "/common/" + std::to_string(id) + ".ico");
        std::vector<uint8_t> group =
            Resource(static_cast<uint16_t>(id), host::kRtGroupIcon, {host::kRtGroupIcon, id});
        ASSERT_GE(group.size(), 6u);
        size_t count = group[4] | group[5] << 8;
        ASSERT_EQ(count, 2u) << "16 and 32 pixel images";
        ASSERT_EQ(group.size(), 6 + 14 * count);
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* entry = group.data() + 6 + 14 * i;
            const uint8_t* fileEntry = ico.data() + 6 + 16 * i;
            EXPECT_TRUE(std::equal(entry, entry + 12, fileEntry)) << "entry " << i;
            uint16_t iconId = static_cast<uint16_t>(entry[12] | entry[13] << 8);
            uint32_t size =
                fileEntry[8] | fileEntry[9] << 8 | fileEntry[10] << 16 | fileEntry[11] << 24;
            uint32_t offset =
                fileEntry[12] | fileEntry[13] << 8 | fileEntry[14] << 16 | fileEntry[15] << 24;
            ASSERT_LE(offset + size, ico.size());
            std::vector<uint8_t> image(ico.begin() + offset, ico.begin() + offset + size);
            EXPECT_EQ(Resource(iconId, host::kRtIcon, {host::kRtIcon, iconId}), image);
        }
    }
    EXPECT_EQ(machine_.modules.FindResourceW(module_, 1066, host::kRtGroupIcon), nullptr)
        << "the default skins carry no window icon";

    // Strings: the preset dialog's three titles and the skin's name.
    EXPECT_EQ(String(1075), t.open);
    EXPECT_EQ(String(1076), t.save);
    EXPECT_EQ(String(1077), t.remove);
    EXPECT_EQ(String(1078), t.name);

    // The main window: a popup application window without controls.
    Dialog main = DialogResource(1064);
    EXPECT_TRUE(main.style & kWsPopup);
    EXPECT_TRUE(main.exStyle & kWsExAppWindow);
    EXPECT_TRUE(main.controls.empty());

    // The preset dialog: sorted, notifying list 1000; hidden auto-scrolling edit 1001; OK and
    // Cancel with the skin's captions.
    Dialog preset = DialogResource(1074);
    ASSERT_EQ(preset.controls.size(), 4u);
    std::map<uint32_t, Control> byId;
    for (const Control& c : preset.controls) {
        byId[c.id] = c;
    }
    ASSERT_EQ(byId.count(1000) + byId.count(1001) + byId.count(1) + byId.count(2), 4u);
    EXPECT_EQ(byId[1000].windowClass, u"#131");
    EXPECT_EQ(byId[1000].style & (kLbsSort | kLbsNotify), kLbsSort | kLbsNotify);
    EXPECT_EQ(byId[1001].windowClass, u"#129");
    EXPECT_TRUE(byId[1001].style & kEsAutoHScroll);
    EXPECT_FALSE(byId[1001].style & kWsVisible);
    EXPECT_TRUE(byId[1000].style & kWsVisible);
    EXPECT_EQ(byId[1].text, t.ok);
    EXPECT_EQ(byId[2].text, t.cancel);

    // The 7.1 window: eight progress bars 1003 to 1010.
    Dialog v71 = DialogResource(1110);
    std::set<uint32_t> bars;
    for (const Control& c : v71.controls) {
        EXPECT_EQ(c.windowClass, u"MSCTLS_PROGRESS32");  // class names ignore case
        bars.insert(c.id);
    }
    EXPECT_EQ(bars, (std::set<uint32_t>{1003, 1004, 1005, 1006, 1007, 1008, 1009, 1010}));

    EXPECT_EQ(DialogResource(104).controls.size(), 6u);

    // The tray menu: a popup holding "Change Skin" (placeholder 32900), a separator, Close.
    std::vector<uint8_t> menu = Resource(1073, host::kRtMenu, {host::kRtMenu, 1073});
    Bytes b(menu.data(), menu.size());
    ASSERT_EQ(b.U32(), 0u) << "menu header";
    std::vector<MenuItem> top;
    ParseMenuItems(b, &top);
    ASSERT_TRUE(b.ok());
    ASSERT_EQ(top.size(), 1u);
    const std::vector<MenuItem>& tray = top[0].items;
    ASSERT_EQ(tray.size(), 3u);
    EXPECT_EQ(tray[0].text, t.changeSkin);
    ASSERT_EQ(tray[0].items.size(), 1u);
    EXPECT_EQ(tray[0].items[0].id, 32900);
    EXPECT_EQ(tray[1].id, 0);
    EXPECT_TRUE(tray[1].text.empty()) << "separator";
    EXPECT_EQ(tray[2].id, 32771);
    EXPECT_EQ(tray[2].text, t.close);

    // Nothing in the library went unchecked.
    const host::PeImage* image = machine_.modules.Image(module_);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->resources.size(), checked_.size());
    for (const host::PeResource& r : image->resources) {
        std::pair<int, int> key{r.type.isId ? r.type.id : -1, r.name.id};
        EXPECT_TRUE(r.name.isId);
        EXPECT_TRUE(checked_.count(key)) << "unchecked resource " << key.first << "/" << key.second;
        EXPECT_EQ(r.language, 0x0804);
    }
}

TEST_P(SkinResourcesTest, LookupsWithoutALanguageFindTheSkinsOneLanguageOnly) {
    EXPECT_NE(machine_.modules.FindResourceExW(module_, host::kRtBitmap, 1042, 0x0804), nullptr);
    EXPECT_EQ(machine_.modules.FindResourceExW(module_, host::kRtBitmap, 1042, 0x0409), nullptr);
    EXPECT_EQ(Modules::GetLastError(), host::kErrorResourceLangNotFound);
    EXPECT_EQ(machine_.modules.FindResourceW(module_, 1042, host::kRtMenu), nullptr);
    EXPECT_EQ(Modules::GetLastError(), host::kErrorResourceNameNotFound);
    EXPECT_EQ(machine_.modules.FindResourceW(module_, 1042, "PNG"), nullptr);
    EXPECT_EQ(Modules::GetLastError(), host::kErrorResourceTypeNotFound);
    char16_t buffer[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(machine_.modules.LoadStringW(module_, 2000, buffer, 4), 0);
    EXPECT_EQ(buffer[0], u'x') << "a string without its block leaves the buffer alone";
    EXPECT_EQ(machine_.modules.LoadStringW(module_, 1074, buffer, 4), 0);
    EXPECT_EQ(buffer[0], 0) << "an empty slot of a present block reads as empty";
    EXPECT_EQ(machine_.modules.LoadStringW(module_, 1078, buffer, 4), 3) << "cut to fit";
    EXPECT_EQ(buffer[3], 0);
}

INSTANTIATE_TEST_SUITE_P(DefaultSkins, SkinResourcesTest, ::testing::ValuesIn(kSkins),
                         [](const auto& info) {
                             std::string name = info.param.lang;
                             for (char& c : name) {
                                 c = c == '-' ? '_' : c;
                             }
                             return name;
                         });

}  // namespace
