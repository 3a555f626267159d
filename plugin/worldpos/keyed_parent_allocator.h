// The keyed re-parent with its frame table's memory supplied by the caller,
// so running out of memory can be shown to be handled.
#pragma once

#include "key_frame_table.h"
#include "keyed_parent.h"

int32_t parent_with_world_position_using(const HostContext *context, const HostId *selected_items,
                                         uint64_t new_parent, const KeyFrameAllocator *allocator);
