#include "link_command.h"

#include "../module/host_context.h"

// The link commands are not wired to the emission yet: they check the host
// services and leave the scene alone.
int32_t run_link_command(GlobalLookupFn global, const LayoutGeneric *, uint32_t) {
    HostContext context{};
    return open_host_context(global, &context);
}
