#include "link_panel.h"

#include "../module/host_context.h"

// The panel is not built yet: the server checks the host services and shows
// nothing.
int tandrel_activate(int32_t, GlobalLookupFn global, void *, void *) {
    HostContext context{};
    return open_host_context(global, &context);
}
