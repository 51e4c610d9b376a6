#include "panel_fakes.h"

namespace panel_test {

namespace {

struct BitmapShape {
    uint16_t id;
    int width, height;
};

// Every bitmap the main dialog draws, at the size the shipped skins have.
const BitmapShape kBitmaps[] = {
    {1042, 640, 480}, {1036, 16, 16},   {1044, 81, 29},   {1045, 82, 31},   {1048, 80, 30},
    {1033, 81, 30},   {1039, 81, 31},   {1034, 48, 48},   {1037, 48, 48},   {1046, 48, 48},
    {1040, 48, 48},   {1049, 48, 48},   {1035, 51, 51},   {1038, 51, 51},   {1047, 51, 51},
    {1041, 51, 51},   {1050, 51, 51},   {1081, 640, 480}, {1079, 640, 480}, {1078, 640, 480},
    {1080, 640, 480}, {1082, 640, 480}, {1062, 640, 480}, {1061, 16, 16},   {1059, 116, 37},
    {1063, 109, 43},  {1057, 213, 19},  {1058, 2, 12},    {1023, 640, 480}, {1125, 640, 480},
    {1109, 100, 39},  {1108, 298, 295}, {1022, 15, 15},   {1026, 298, 295}, {1027, 302, 295},
    {1018, 35, 35},   {1021, 40, 46},   {1025, 141, 159}, {1029, 51, 30},   {1017, 55, 30},
    {1113, 239, 153}, {1114, 40, 18},   {1115, 150, 24},  {1116, 37, 25},   {1117, 25, 25},
    {1118, 25, 25},   {1119, 25, 25},   {1120, 25, 25},   {1121, 25, 25},   {1122, 25, 25},
    {1123, 25, 25},   {1124, 25, 25},
};

void Word(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
void Text(std::vector<uint8_t>& out, const std::u16string& text) {
    for (char16_t c : text)
        Word(out, static_cast<uint16_t>(c));
    Word(out, 0);
}

class MemoryFile : public PanelFile {
  public:
    explicit MemoryFile(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool Read(void* buffer, uint32_t size, uint32_t* got) override {
        const size_t left = at_ < bytes_.size() ? bytes_.size() - at_ : 0;
        *got = static_cast<uint32_t>(size < left ? size : left);
        if (*got > 0)
            std::memcpy(buffer, bytes_.data() + at_, *got);
        at_ += *got;
        return true;
    }
    bool Write(const void* buffer, uint32_t size) override {
        if (bytes_.size() < at_ + size)
            bytes_.resize(at_ + size);
        if (size > 0)
            std::memcpy(bytes_.data() + at_, buffer, size);
        at_ += size;
        return true;
    }
    bool Seek(uint32_t offset) override {
        at_ = offset;
        return true;
    }

  private:
    std::vector<uint8_t>& bytes_;
    size_t at_ = 0;
};

}  // namespace

Rgb ColorOf(uint16_t id) {
    return {static_cast<uint8_t>(16 + (id * 37) % 200), static_cast<uint8_t>(20 + (id * 11) % 90),
            static_cast<uint8_t>(30 + (id * 53) % 200)};
}

std::unique_ptr<FakeModule> MakeSkin(const std::u16string& path) {
    auto skin = std::make_unique<FakeModule>(path);
    for (const BitmapShape& shape : kBitmaps) {
        Raster picture(shape.width, shape.height, ColorOf(shape.id));
        // Icons keep a black border: their transparent colour.
        if ((shape.id >= 1117 && shape.id <= 1124) || shape.id == 1018 || shape.id == 1021 ||
            shape.id == 1025)
            for (int x = 0; x < shape.width; ++x) {
                picture.Set(x, 0, kBlackKey);
                picture.Set(x, shape.height - 1, kBlackKey);
            }
        skin->AddBitmap(shape.id, picture);
    }
    std::vector<uint8_t> menu;
    Word(menu, 0);
    Word(menu, 0);
    Word(menu, 0x90);  // the tray popup, last top-level item
    Text(menu, u"Tray");
    Word(menu, 0x10);  // "Change Skin" submenu
    Text(menu, u"Change Skin");
    Word(menu, 0x80);
    Word(menu, 32900);
    Text(menu, u"Skin");
    Word(menu, 0);  // separator
    Word(menu, 0);
    Text(menu, u"");
    Word(menu, 0x80);
    Word(menu, 32771);
    Text(menu, u"Close");
    skin->Add(kResourceMenu, 1073, menu);
    // String block 68 holds ids 1072 to 1087: "Open", "Save", "Delete" at 1075 to 1077.
    std::vector<uint8_t> strings;
    const std::u16string texts[16] = {u"", u"", u"", u"Open", u"Save", u"Delete", u"English"};
    for (const std::u16string& text : texts) {
        Word(strings, static_cast<uint16_t>(text.size()));
        for (char16_t c : text)
            Word(strings, static_cast<uint16_t>(c));
    }
    skin->Add(kResourceString, 68, strings);
    skin->Add(kResourceWave, 1071, std::vector<uint8_t>(44, 0x11));
    skin->Add(kResourceWave, 1072, std::vector<uint8_t>(46, 0x22));
    return skin;
}

std::unique_ptr<FakeModule> MakeOwnModule() {
    auto own = std::make_unique<FakeModule>(u"C:\\Windows\\system32\\QX_AudioControl.exe");
    Raster logo(150, 36, kGreenKey);
    for (int y = 8; y < 28; ++y)
        for (int x = 10; x < 140; ++x)
            logo.Set(x, y, {250, 200, 10});
    own->AddBitmap(133, logo);
    return own;
}

std::unique_ptr<PanelFile> FakeSystem::OpenFile(const std::u16string& path, FileOpen mode) {
    auto it = files.find(path);
    if (mode == FileOpen::Create) {
        files[path].clear();
        return std::make_unique<MemoryFile>(files[path]);
    }
    if (it == files.end())
        return nullptr;
    return std::make_unique<MemoryFile>(it->second);
}

FakeModule& FakeSystem::InstallSkin(const std::u16string& name, bool makeCurrent) {
    const std::u16string path = SkinFolder() + name;
    modules[path] = MakeSkin(path);
    skinFolderListing.push_back(name);
    if (makeCurrent)
        profile[IniPath() + u"|DEFAULT|Skin Path"] = path;
    return *modules[path];
}

bool FakeDiscovery::HubRequest(Handle hub, uint32_t code, uint8_t* buffer, uint32_t size) {
    const Hub& h = hubs[static_cast<size_t>(hub)];
    if (code == 0x220408 && size >= 76) {
        buffer[6] = static_cast<uint8_t>(h.ports.size());
        return true;
    }
    if (code == 0x22040C && size >= 35) {
        uint32_t port = buffer[0] | (buffer[1] << 8) | (buffer[2] << 16) | (buffer[3] << 24);
        if (port == 0 || port > h.ports.size())
            return false;
        const Port& p = h.ports[port - 1];
        buffer[12] = static_cast<uint8_t>(p.vendor),
        buffer[13] = static_cast<uint8_t>(p.vendor >> 8);
        buffer[14] = static_cast<uint8_t>(p.product),
        buffer[15] = static_cast<uint8_t>(p.product >> 8);
        buffer[25] = static_cast<uint8_t>(p.address), buffer[26] = 0;
        for (int i = 0; i < 4; ++i)
            buffer[31 + i] = static_cast<uint8_t>(p.status >> (8 * i));
        return true;
    }
    return false;
}

void FakeDiscovery::PlugHeadset(uint16_t product) {
    if (hubs.empty())
        hubs.push_back({});
    hubs[0].ports.push_back({0x0F1E, product});
    static const char16_t kHex[] = u"0123456789abcdef";
    std::u16string pid;
    for (int shift = 12; shift >= 0; shift -= 4)
        pid.push_back(kHex[(product >> shift) & 0xF]);
    const std::u16string path =
        u"\\\\?\\usb#vid_0f1e&pid_" + pid + u"&mi_00#7&1a2b3c&0&0000#{guid}";
    playback.push_back({u"Speakers (USB Audio Device)", path});
    capture.push_back({u"Microphone (USB Audio Device)", path});
    waveOut = u"Speakers (USB Audio Device)";
    waveIn = u"Microphone (USB Audio Device)";
}

}  // namespace panel_test
