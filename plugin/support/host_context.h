// The per-activation view of the host: its services, its build number and the
// Parent in Place confirmation texts in the encoding that build reads.
#pragma once

#include <cstdint>

#include "interface/host_api.h"
#include "interface/host_builds.h"
#include "module_state.h"
#include "progress.h"

struct HostContext {
    const LayoutGeneric *generic_local;
    const MessageFuncs *messages;
    const ItemInfo *item_info;
    const InterfaceInfo *interface_info;
    const ChannelInfo *channel_info;
    const EnvelopeFuncs *envelopes;
    const SceneInfo *scene_info;
    uint32_t build;
    const char *confirm_line1;
    const char *confirm_line2;
    // What the world-position re-parents hold between keys; off unless the
    // command's arguments or the session ask for it.
    MotionTolerance tolerance;
    // The world-position re-parents' progress window: the host's monitor
    // (null: it has none), the command's name for its title, and the window
    // while one is open (null where the command shows none).
    const MonitorFuncs *monitor_funcs;
    const char *command_name;
    CommandProgress *progress;
};

// Fills the services, the build number and the confirmation texts. Returns 0,
// or 2 when one of the services is missing (nothing is shown then).
int32_t open_host_context(GlobalLookupFn global, HostContext *context);

// Bits 4 to 15 of the host's "Product Info" value.
uint32_t build_from_product_info(uint32_t product_info);

// The host's selected items, ended by a null id. A host that hands over no
// list at all has nothing selected.
const HostId *selected_items(const HostContext *context);

extern const char kConfirmLine1Utf8[];
extern const char kConfirmLine2Utf8[];
extern const char kConfirmLine1ShiftJis[];
extern const char kConfirmLine2ShiftJis[];
