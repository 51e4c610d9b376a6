// Menus of the simulated desktop: handles, items, the lookups by command and by position that
// the menu functions share, and menus built from RT_MENU templates. Not thread-safe: the
// desktop holds its lock around every call.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "host/desktop.h"

namespace host::user {

class MenuTable {
  public:
    struct Menu {
        bool popup = true;
        std::vector<MenuItem> items;
    };

    HMenu Create(bool popup);
    // Destroys the menu and its submenus; ERROR_INVALID_MENU_HANDLE for one that is not.
    bool Destroy(HMenu menu);
    const Menu* Find(HMenu menu) const;
    // At `position` (-1 appends).
    bool Insert(HMenu menu, int position, uint32_t flags, uint64_t idOrSubmenu,
                const std::u16string& text);
    // `item` by command (searching submenus) or by position (MF_BYPOSITION); inserts before it.
    bool InsertAt(HMenu menu, uint32_t item, uint32_t flags, uint64_t idOrSubmenu,
                  const std::u16string& text);
    bool Modify(HMenu menu, uint32_t item, uint32_t flags, uint64_t idOrSubmenu,
                const std::u16string& text);
    bool Delete(HMenu menu, uint32_t item, uint32_t flags);
    // Sets or clears `mask` bits of an item from `flags`; returns the previous bits, -1 when
    // the item does not exist.
    int32_t SetState(HMenu menu, uint32_t item, uint32_t flags, uint32_t mask);
    const MenuItem* Locate(HMenu menu, uint32_t item, uint32_t flags);
    // Parses a standard menu template (MENUHEADER version 0, then the items, MF_END closing
    // each level). Returns 0 with ERROR_INVALID_DATA for malformed bytes.
    HMenu FromTemplate(const uint8_t* bytes, size_t size);

  private:
    // The menu and index of an item; false when not found.
    bool Resolve(HMenu menu, uint32_t item, uint32_t flags, HMenu* owner, size_t* index,
                 int depth = 0);
    bool MakeItem(uint32_t flags, uint64_t idOrSubmenu, const std::u16string& text, MenuItem* item);
    bool ParseLevel(const uint8_t* bytes, size_t size, size_t* at, HMenu menu, int depth);

    std::map<HMenu, Menu> menus_;
    HMenu next_ = 0x000300B6;
};

}  // namespace host::user
