// The one entry of the eighteen link commands.
#pragma once

#include <cstdint>

#include "../module/host_api.h"

// Sets or clears the links in `link_flags` from the selected items to the
// memorized item. Returns 0, or 2 when a host service is missing.
int32_t run_link_command(GlobalLookupFn global, const LayoutGeneric *generic, uint32_t link_flags);
