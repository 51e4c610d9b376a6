#include "menu_template.h"

namespace {

constexpr uint16_t kMfGrayed = 0x0001;
constexpr uint16_t kMfChecked = 0x0008;
constexpr uint16_t kMfPopup = 0x0010;
constexpr uint16_t kMfEnd = 0x0080;
constexpr uint16_t kMfSeparator = 0x0800;
constexpr int kDepthLimit = 8;

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Word(uint16_t* value) {
        if (size_ - at_ < 2)
            return false;
        *value = static_cast<uint16_t>(data_[at_] | (data_[at_ + 1] << 8));
        at_ += 2;
        return true;
    }
    bool Text(std::u16string* text) {
        text->clear();
        for (;;) {
            uint16_t unit = 0;
            if (!Word(&unit))
                return false;
            if (unit == 0)
                return true;
            text->push_back(static_cast<char16_t>(unit));
        }
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

bool ParseLevel(Reader& reader, PopupMenuItem* parent, int depth) {
    if (depth > kDepthLimit)
        return false;
    for (;;) {
        uint16_t flags = 0;
        if (!reader.Word(&flags))
            return false;
        PopupMenuItem item;
        if (!(flags & kMfPopup)) {
            uint16_t id = 0;
            if (!reader.Word(&id))
                return false;
            item.id = id;
        }
        if (!reader.Text(&item.text))
            return false;
        item.grayed = (flags & kMfGrayed) != 0;
        item.checked = (flags & kMfChecked) != 0;
        // A separator is written either with its own flag or as an empty item with id 0.
        item.separator = (flags & kMfSeparator) != 0 ||
                         (!(flags & kMfPopup) && item.id == 0 && item.text.empty());
        if (flags & kMfPopup) {
            item.popup = true;
            if (!ParseLevel(reader, &item, depth + 1))
                return false;
        }
        parent->children.push_back(std::move(item));
        if (flags & kMfEnd)
            return true;
    }
}

}  // namespace

bool ParseMenuTemplate(const uint8_t* data, size_t size, PopupMenuItem* menu) {
    if (data == nullptr)
        return false;
    Reader reader(data, size);
    uint16_t version = 0, offset = 0;
    if (!reader.Word(&version) || !reader.Word(&offset) || version != 0 || offset != 0)
        return false;
    PopupMenuItem bar;
    bar.popup = true;
    if (!ParseLevel(reader, &bar, 0))
        return false;
    *menu = std::move(bar);
    return true;
}
