#include "link_command.h"

#include "interface/server_names.h"
#include "plugin/support/host_context.h"
#include "plugin/support/item_id.h"
#include "plugin/support/item_list_walk.h"
#include "plugin/support/link_flags.h"
#include "plugin/support/module_state.h"
#include "link_emission.h"
#include "tolerance_arguments.h"

namespace {

// Pole, position, rotation, scale and follow need kBuildAllLinks.
constexpr uint32_t kLinksNeedingNewerBuild = LINK_POLE | LINK_POSITION | LINK_ROTATION | LINK_SCALE | LINK_FOLLOW;

// Walks the memorized item's own list: bones among their object's bones,
// other items among all items of their kind.
bool item_still_exists(const HostContext *context, uint64_t item) {
    const uint32_t kind = item_id_kind(item);
    // An id of no kind the host knows names nothing; its list index would
    // reach the host out of range.
    if (kind < host_abi::kIdKindObject || kind > host_abi::kIdKindBone) return false;
    const int kind_index = static_cast<int>(kind) - 1;
    const HostId owner = kind == host_abi::kIdKindBone ? item_id_handle(bone_owner_object(item)) : nullptr;
    ItemListWalk walk;
    for (HostId walked = item_list_begin(&walk, context->item_info, kind_index, owner); walked;
         walked = item_list_next(&walk, walked))
        if (item_id_value(walked) == item) return true;
    return false;
}

// A parent change without world position moves the item in the world when
// Parent in Place is on and the scene is not at its first frame.
bool parent_change_confirmed(const HostContext *context, uint32_t link_flags) {
    if ((link_flags & (LINK_PARENT | LINK_WORLD_POSITION)) != LINK_PARENT) return true;
    if (!(context->interface_info->general_flags & host_abi::kGeneralFlagParentInPlace)) return true;
    // A NaN time is not frame 0 either, so it asks.
    if (context->interface_info->current_time == 0.0) return true;
    // Only a plain yes moves items: an answer that is neither yes nor no
    // (a closed or failed dialog) changes nothing.
    return context->messages->yes_no("Parent", context->confirm_line1, context->confirm_line2) == 1;
}

}  // namespace

void apply_links(const HostContext *context, uint64_t link_item, uint32_t link_flags) {
    if (!parent_change_confirmed(context, link_flags)) return;
    if (context->build >= kBuildCurrentEmission)
        emit_link_commands(context, link_item, link_flags);
    else
        emit_link_commands_legacy(context, link_item, link_flags, context->build);
}

namespace {

// What the world-position re-parents hold between keys: the command's own
// arguments where the host passes them, else the session's setting. Words it
// cannot read get a message, and the command runs as without a tolerance.
MotionTolerance tolerance_for(const HostContext &context, const LayoutGeneric *generic, int32_t version) {
    const char *text = nullptr;
    if (version >= kGenericVersionWithArguments && generic->command_arguments)
        text = generic->command_arguments(generic->data);
    MotionTolerance tolerance = session_tolerance;
    switch (read_tolerance_arguments(text, &tolerance)) {
    case ToleranceArguments::kNone: return session_tolerance;
    case ToleranceArguments::kSet: return tolerance;
    case ToleranceArguments::kOff: break;
    case ToleranceArguments::kNotUnderstood:
        context.messages->error("wPos tolerance not understood", "expected DISTANCE [DEGREES [PERCENT]] or off");
        break;
    }
    return MotionTolerance{false, 0.0, 0.0};
}

}  // namespace

int32_t run_link_command(GlobalLookupFn global, const LayoutGeneric *generic, uint32_t link_flags, int32_t version) {
    HostContext context{};
    CommandProgress progress{};
    if (link_flags & LINK_WORLD_POSITION) {
        context.scene_info = static_cast<const SceneInfo *>(global(host_abi::kServiceSceneInfo, host_abi::kLookupTransient));
        if (!context.scene_info) return host_abi::kResultBadGlobal;
        // Optional: a host without the monitor re-parents without a window.
        context.monitor_funcs =
            static_cast<const MonitorFuncs *>(global(host_abi::kServiceMonitor, host_abi::kLookupTransient));
        context.command_name =
            kServerNames[(link_flags & LINK_CLEAR) ? kServerUnParentWPos : kServerSetParentWPos].name;
        context.progress = &progress;
    }
    if (open_host_context(global, &context) != host_abi::kResultOk) return host_abi::kResultBadGlobal;
    if (!selected_items(&context)[0]) return host_abi::kResultOk;

    // Without the command-evaluation operation nothing could be sent: treat it
    // as a missing service rather than calling through a null pointer.
    if (!generic || !generic->evaluate) return host_abi::kResultBadGlobal;
    context.generic_local = generic;
    if (link_flags & LINK_WORLD_POSITION) context.tolerance = tolerance_for(context, generic, version);

    const uint32_t build = context.build;
    if (build < kBuildAllLinks && (link_flags & kLinksNeedingNewerBuild)) {
        context.messages->warning("require 9.5 or later", nullptr);
        return host_abi::kResultOk;
    }

    uint64_t link_item = 0;
    if (!(link_flags & LINK_ANY_CLEAR)) {
        link_item = memorized_item;
        if (!link_item || !item_still_exists(&context, link_item)) {
            memorized_item = 0;
            context.messages->warning("require memorized Item", nullptr);
            return host_abi::kResultOk;
        }
    }

    apply_links(&context, link_item, link_flags);
    return host_abi::kResultOk;
}
