// The one entry of the eighteen link commands.
#pragma once

#include <cstdint>

#include "interface/host_api.h"
#include "plugin/support/host_context.h"

// Sets or clears the links in `link_flags` from the selected items to the
// memorized item. `version` is the generic record's: from version 6 on, the
// world-position re-parents read a tolerance from the command's arguments.
// Returns 0, or 2 when a host service is missing.
int32_t run_link_command(GlobalLookupFn global, const LayoutGeneric *generic, uint32_t link_flags,
                         int32_t version = 0);

// Sets or clears the links in `link_flags` from the selected items to
// `link_item`, as the context's build takes them. A plain parent change that
// Parent in Place would turn into a move asks first, and only a plain yes goes
// on. `context->generic_local` must be set. Shared by the commands and the panel.
void apply_links(const HostContext *context, uint64_t link_item, uint32_t link_flags);
