#include "menu_model.h"

#include <string.h>

#include "host/win32_error.h"

namespace host::user {
namespace {

constexpr int kMaxDepth = 16;  // deeper nesting than any menu a person could use

}  // namespace

HMenu MenuTable::Create(bool popup) {
    const HMenu handle = next_;
    next_ += 0x10;
    menus_[handle].popup = popup;
    return handle;
}

bool MenuTable::Destroy(HMenu menu) {
    auto it = menus_.find(menu);
    if (it == menus_.end()) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return false;
    }
    const std::vector<MenuItem> items = it->second.items;
    menus_.erase(it);
    for (const MenuItem& item : items) {
        if ((item.flags & MF_POPUP) != 0) {
            Destroy(item.submenu);
        }
    }
    return true;
}

const MenuTable::Menu* MenuTable::Find(HMenu menu) const {
    auto it = menus_.find(menu);
    return it == menus_.end() ? nullptr : &it->second;
}

bool MenuTable::MakeItem(uint32_t flags, uint64_t idOrSubmenu, const std::u16string& text,
                         MenuItem* item) {
    item->flags = flags & (MF_GRAYED | MF_DISABLED | MF_CHECKED | MF_POPUP | MF_SEPARATOR);
    if ((flags & MF_POPUP) != 0) {
        if (menus_.count(idOrSubmenu) == 0) {
            SetLastError(ERROR_INVALID_MENU_HANDLE);
            return false;
        }
        item->submenu = idOrSubmenu;
        item->id = 0;
        item->text = text;
    } else if ((flags & MF_SEPARATOR) != 0) {
        item->id = 0;
        item->text.clear();
        item->submenu = 0;
    } else {
        item->id = static_cast<uint32_t>(idOrSubmenu & 0xFFFF);  // command ids are 16-bit
        item->text = text;
        item->submenu = 0;
    }
    return true;
}

bool MenuTable::Insert(HMenu menu, int position, uint32_t flags, uint64_t idOrSubmenu,
                       const std::u16string& text) {
    auto it = menus_.find(menu);
    if (it == menus_.end()) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return false;
    }
    MenuItem item;
    if (!MakeItem(flags, idOrSubmenu, text, &item)) {
        return false;
    }
    std::vector<MenuItem>& items = it->second.items;
    if (position < 0 || position >= static_cast<int>(items.size())) {
        items.push_back(item);
    } else {
        items.insert(items.begin() + position, item);
    }
    return true;
}

bool MenuTable::Resolve(HMenu menu, uint32_t item, uint32_t flags, HMenu* owner, size_t* index,
                        int depth) {
    auto it = menus_.find(menu);
    if (it == menus_.end() || depth > kMaxDepth) {
        return false;
    }
    std::vector<MenuItem>& items = it->second.items;
    if ((flags & MF_BYPOSITION) != 0) {
        if (item >= items.size()) {
            return false;
        }
        *owner = menu;
        *index = item;
        return true;
    }
    // By command: this level first, then into the submenus, as Windows searches.
    for (size_t i = 0; i < items.size(); ++i) {
        if ((items[i].flags & (MF_POPUP | MF_SEPARATOR)) == 0 && items[i].id == item) {
            *owner = menu;
            *index = i;
            return true;
        }
    }
    for (size_t i = 0; i < items.size(); ++i) {
        if ((items[i].flags & MF_POPUP) != 0 &&
            Resolve(items[i].submenu, item, flags, owner, index, depth + 1)) {
            return true;
        }
    }
    return false;
}

bool MenuTable::InsertAt(HMenu menu, uint32_t item, uint32_t flags, uint64_t idOrSubmenu,
                         const std::u16string& text) {
    if (menus_.count(menu) == 0) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return false;
    }
    HMenu owner = menu;
    size_t index = 0;
    if (!Resolve(menu, item, flags, &owner, &index)) {
        // An unknown position appends, as InsertMenu does; an unknown command fails.
        if ((flags & MF_BYPOSITION) != 0) {
            return Insert(menu, -1, flags, idOrSubmenu, text);
        }
        SetLastError(ERROR_MENU_ITEM_NOT_FOUND);
        return false;
    }
    return Insert(owner, static_cast<int>(index), flags, idOrSubmenu, text);
}

bool MenuTable::Modify(HMenu menu, uint32_t item, uint32_t flags, uint64_t idOrSubmenu,
                       const std::u16string& text) {
    if (menus_.count(menu) == 0) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return false;
    }
    HMenu owner = 0;
    size_t index = 0;
    if (!Resolve(menu, item, flags, &owner, &index)) {
        SetLastError(ERROR_MENU_ITEM_NOT_FOUND);
        return false;
    }
    MenuItem replacement;
    if (!MakeItem(flags, idOrSubmenu, text, &replacement)) {
        return false;
    }
    menus_[owner].items[index] = replacement;
    return true;
}

bool MenuTable::Delete(HMenu menu, uint32_t item, uint32_t flags) {
    if (menus_.count(menu) == 0) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return false;
    }
    HMenu owner = 0;
    size_t index = 0;
    if (!Resolve(menu, item, flags, &owner, &index)) {
        SetLastError(ERROR_MENU_ITEM_NOT_FOUND);
        return false;
    }
    std::vector<MenuItem>& items = menus_[owner].items;
    const MenuItem removed = items[index];
    items.erase(items.begin() + static_cast<long>(index));
    if ((removed.flags & MF_POPUP) != 0) {
        Destroy(removed.submenu);
    }
    return true;
}

int32_t MenuTable::SetState(HMenu menu, uint32_t item, uint32_t flags, uint32_t mask) {
    HMenu owner = 0;
    size_t index = 0;
    if (!Resolve(menu, item, flags, &owner, &index)) {
        return -1;
    }
    MenuItem& target = menus_[owner].items[index];
    const int32_t previous = static_cast<int32_t>(target.flags & mask);
    target.flags = (target.flags & ~mask) | (flags & mask);
    return previous;
}

const MenuItem* MenuTable::Locate(HMenu menu, uint32_t item, uint32_t flags) {
    HMenu owner = 0;
    size_t index = 0;
    if (!Resolve(menu, item, flags, &owner, &index)) {
        return nullptr;
    }
    return &menus_[owner].items[index];
}

namespace {

bool ReadWord(const uint8_t* bytes, size_t size, size_t* at, uint16_t* value) {
    if (*at + 2 > size) {
        return false;
    }
    *value = static_cast<uint16_t>(bytes[*at] | (bytes[*at + 1] << 8));
    *at += 2;
    return true;
}

bool ReadString(const uint8_t* bytes, size_t size, size_t* at, std::u16string* text) {
    text->clear();
    while (true) {
        uint16_t unit = 0;
        if (!ReadWord(bytes, size, at, &unit)) {
            return false;
        }
        if (unit == 0) {
            return true;
        }
        text->push_back(static_cast<char16_t>(unit));
    }
}

}  // namespace

bool MenuTable::ParseLevel(const uint8_t* bytes, size_t size, size_t* at, HMenu menu, int depth) {
    if (depth > kMaxDepth) {
        return false;
    }
    while (true) {
        uint16_t flags = 0;
        if (!ReadWord(bytes, size, at, &flags)) {
            return false;
        }
        MenuItem item;
        item.flags = flags & (MF_GRAYED | MF_DISABLED | MF_CHECKED | MF_POPUP | MF_SEPARATOR);
        if ((flags & MF_POPUP) != 0) {
            if (!ReadString(bytes, size, at, &item.text)) {
                return false;
            }
            item.submenu = Create(true);
            menus_[menu].items.push_back(item);
            if (!ParseLevel(bytes, size, at, item.submenu, depth + 1)) {
                return false;
            }
        } else {
            uint16_t id = 0;
            if (!ReadWord(bytes, size, at, &id) || !ReadString(bytes, size, at, &item.text)) {
                return false;
            }
            item.id = id;
            // "MENUITEM SEPARATOR" is an item with no flags, no id and no text.
            if ((item.flags & MF_SEPARATOR) != 0 || (flags == 0 && id == 0 && item.text.empty()) ||
                (flags == MF_END && id == 0 && item.text.empty())) {
                item.flags |= MF_SEPARATOR;
                item.id = 0;
            }
            menus_[menu].items.push_back(item);
        }
        if ((flags & MF_END) != 0) {
            return true;
        }
    }
}

HMenu MenuTable::FromTemplate(const uint8_t* bytes, size_t size) {
    size_t at = 0;
    uint16_t version = 0xFFFF;
    uint16_t headerSize = 0xFFFF;
    if (bytes == nullptr || !ReadWord(bytes, size, &at, &version) ||
        !ReadWord(bytes, size, &at, &headerSize) || version != 0 || headerSize > size - at) {
        SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    at += headerSize;
    const HMenu menu = Create(false);
    if (!ParseLevel(bytes, size, &at, menu, 0)) {
        Destroy(menu);
        SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    return menu;
}

}  // namespace host::user
