#include "memorize.h"

#include "plugin/support/host_context.h"
#include "plugin/support/item_id.h"
#include "plugin/support/module_state.h"

int memorize_activate(int32_t, GlobalLookupFn global, void *, void *) {
    HostContext context{};
    if (open_host_context(global, &context) != host_abi::kResultOk) return host_abi::kResultBadGlobal;

    const HostId first = selected_items(&context)[0];
    if (!first) return host_abi::kResultOk;

    memorized_item = item_id_value(first);
    context.messages->info("memorize done", context.item_info->name(first));
    return host_abi::kResultOk;
}
