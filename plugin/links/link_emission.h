// Turns a link item and a link flag word into the host's own command texts.
#pragma once

#include <cstdint>

#include "interface/host_api.h"
#include "plugin/support/host_context.h"

typedef int (*CommandEvaluateFn)(void *data, const char *command_text);

// Builds 1292 and later: every command acts on the host's whole selection.
void emit_link_commands(const HostContext *context, uint64_t link_item, uint32_t link_flags);

// Older builds: some links are set item by item, each item selected alone,
// and the selection is restored afterwards.
void emit_link_commands_legacy(const HostContext *context, uint64_t link_item, uint32_t link_flags, uint32_t build);

// After an item-by-item walk of `count` entries of `selected_items` only the
// last one is selected; adds the others back, second-last first.
void reselect_items(void *data, CommandEvaluateFn evaluate, const HostId *selected_items, int32_t count);
