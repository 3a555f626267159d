// Re-parenting that keeps the selected items' motion in the world.
#pragma once

#include <cstdint>

#include "interface/host_api.h"
#include "plugin/support/host_context.h"

// Re-parents the items of `selected_items` (ended by a null id) under
// `new_parent` (0: no parent) and rewrites their keys so their world motion
// stays as it was. Returns the number of non-zero entries of the list, or -1
// when it ran out of memory.
int32_t parent_with_world_position(const HostContext *context, const HostId *selected_items, uint64_t new_parent);
