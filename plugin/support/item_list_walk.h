// Walks one of the host's item lists (items of a kind, or an object's bones).
// A sound host ends every list; one that comes back to the list's first item
// has started over and ends there, and no list runs past kMaxListedItems, so
// a broken list can neither hang the host nor overflow a count.
#pragma once

#include <cstdint>

#include "interface/host_api.h"

constexpr int32_t kMaxListedItems = 1 << 20;

struct ItemListWalk {
    const ItemInfo *items;
    HostId first;
    int32_t walked;
};

inline HostId item_list_begin(ItemListWalk *walk, const ItemInfo *items, int kind_index, HostId owner) {
    walk->items = items;
    walk->first = items->first(kind_index, owner);
    walk->walked = walk->first ? 1 : 0;
    return walk->first;
}

inline HostId item_list_next(ItemListWalk *walk, HostId item) {
    if (walk->walked >= kMaxListedItems) return nullptr;
    const HostId next = walk->items->next(item);
    if (next == walk->first) return nullptr;
    ++walk->walked;
    return next;
}
