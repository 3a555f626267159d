// Turns a link item and a link flag word into the host's own command texts.
#pragma once

#include <cstdint>

#include "interface/host_api.h"
#include "plugin/support/host_context.h"

struct KeyFrameAllocator;

typedef int (*CommandEvaluateFn)(void *data, const char *command_text);

// Builds 1292 and later: every command acts on the host's whole selection.
void emit_link_commands(const HostContext *context, uint64_t link_item, uint32_t link_flags);

// Older builds: some links are set item by item, each item selected alone,
// and the selection is restored afterwards.
void emit_link_commands_legacy(const HostContext *context, uint64_t link_item, uint32_t link_flags, uint32_t build);

// Gives the selection back after the first `walked` of the `entries` of
// `selected_items` were selected one at a time: selects `walk_end` when the
// walk did not end on the last of them (null when it did), then adds the
// others back, second-last first. A walk longer than the list counts as the
// whole list.
void restore_selection(void *data, CommandEvaluateFn evaluate, const HostId *selected_items, int32_t walked,
                       int32_t entries, HostId walk_end);

// Re-parents the selected items under `parent` keeping their world motion,
// carrying out the keyed re-parent's plan step by step, with the host's
// Parent in Place off meanwhile, and gives the selection back. False when it
// could not run or ended early; the caller reports that.
bool reparent_keeping_world_motion(const HostContext *context, const HostId *selected_items, uint64_t parent,
                                   const KeyFrameAllocator *allocator);
