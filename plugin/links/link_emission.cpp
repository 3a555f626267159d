#include "link_emission.h"

#include <cstdio>

#include "interface/command_verbs.h"
#include "plugin/support/item_id.h"
#include "plugin/support/link_flags.h"
#include "plugin/worldpos/key_frame_table.h"
#include "plugin/worldpos/keyed_parent.h"

namespace {

// Room for the longest formatted link command and its NUL.
constexpr size_t kCommandBufferSize = 40;
// "AddToSelection " with eight digits is the longest selection text.
constexpr size_t kSelectionBufferSize = 24;


struct Sender {
    void *data;
    CommandEvaluateFn evaluate;

    void send(const char *text) const { evaluate(data, text); }
};

bool open_sender(const HostContext *context, Sender *sender) {
    const LayoutGeneric *generic = context->generic_local;
    if (!generic || !generic->evaluate) return false;
    *sender = Sender{generic->data, generic->evaluate};
    return true;
}

// The host's short form: low 32 bits, lower-case, no leading zeros.
void format_link_command(char (&out)[kCommandBufferSize], const char *command, uint64_t item) {
    std::snprintf(out, sizeof out, "%s %x", command, static_cast<unsigned>(static_cast<uint32_t>(item)));
}

void send_with_item_id(const Sender &sender, const char *command, uint64_t item) {
    char text[kSelectionBufferSize];
    int length = std::snprintf(text, sizeof text, "%s ", command);
    write_item_id_hex(static_cast<uint32_t>(item), text + length);
    sender.send(text);
}

void send_with_mode(const Sender &sender, const char *command, int mode) {
    char text[kCommandBufferSize];
    std::snprintf(text, sizeof text, "%s %d", command, mode);
    sender.send(text);
}

void send_target_controllers(const Sender &sender, uint64_t link_item) {
    const int mode = link_item ? host_verbs::kControllerTarget : host_verbs::kControllerKeys;
    send_with_mode(sender, host_verbs::kHController, mode);
    send_with_mode(sender, host_verbs::kPController, mode);
}

// A bone cannot be left without a parent: clearing gives it back to the
// object that owns the first selected item when that item is a bone.
uint64_t parent_id_for(uint64_t link_item, const HostId *selected) {
    if (link_item) return link_item;
    const uint64_t first = item_id_value(selected[0]);
    return item_id_kind(first) == host_abi::kIdKindBone ? bone_owner_object(first) : 0;
}

int32_t count_entries(const HostId *selected) {
    int32_t count = 0;
    while (selected[count]) ++count;
    return count;
}

bool full_time_ik_is_off(const HostContext *context, HostId item) {
    return (context->item_info->flags(item) & host_abi::kItemFlagFullTimeIk) == 0;
}

// A re-parent keeping world motion shows the host's progress window only when
// it will take long enough to be watched: the selected items times the frames
// of the render range, times kHoldWork with a tolerance (each frame is checked
// at two samples, then again after each round of added keys), at least
// kMonitorWork. Below it a window would only flash.
constexpr double kMonitorWork = 10000.0;
constexpr double kHoldWork = 8.0;

bool worth_a_window(const HostContext *context, int32_t items) {
    const SceneInfo *scene = context->scene_info;
    const double frames = scene->frame_end >= scene->frame_start
                              ? static_cast<double>(scene->frame_end) - static_cast<double>(scene->frame_start) + 1.0
                              : 1.0;
    return static_cast<double>(items) * frames * (context->tolerance.on ? kHoldWork : 1.0) >= kMonitorWork;
}

// The window over the plan's steps: each item once for its keys, and once
// more for its hold with a tolerance.
void open_progress(const HostContext *context, int32_t items) {
    if (!context->progress || !context->monitor_funcs || !worth_a_window(context, items)) return;
    const unsigned total = static_cast<unsigned>(items) * (context->tolerance.on ? 2u : 1u);
    progress_open(context->progress, context->monitor_funcs, context->command_name ? context->command_name : "wPos",
                  total);
}

// One warning when the user stopped the command: the items before the stop
// keep what was done, the others were not touched.
void report_stopped(const HostContext *context, int32_t done, int32_t count) {
    char text[160];
    std::snprintf(text, sizeof text, "%.64s stopped after %d of %d items",
                  context->command_name ? context->command_name : "wPos", static_cast<int>(done),
                  static_cast<int>(count));
    context->messages->warning("wPos stopped", text);
}

}  // namespace

void restore_selection(void *data, CommandEvaluateFn evaluate, const HostId *selected_items, int32_t walked,
                       int32_t entries, HostId walk_end) {
    const Sender sender{data, evaluate};
    if (walk_end) send_with_item_id(sender, host_verbs::kSelectItem, item_id_value(walk_end));
    const int32_t count = walked < entries ? walked : entries;
    for (int32_t i = count - 2; i >= 0; --i)
        send_with_item_id(sender, host_verbs::kAddToSelection, item_id_value(selected_items[i]));
}

bool reparent_keeping_world_motion(const HostContext *context, const HostId *selected_items, uint64_t parent,
                                   const KeyFrameAllocator *allocator) {
    Sender sender{};
    if (!open_sender(context, &sender)) return false;
    KeyedReparent *plan = keyed_reparent_plan(context, selected_items, parent, allocator);
    if (!plan) return false;
    // The host's own Parent in Place would move the items again on top of the
    // keys written, so it stays off while they are re-parented.
    const bool parent_in_place = (context->interface_info->general_flags & host_abi::kGeneralFlagParentInPlace) != 0;
    if (parent_in_place) sender.send(host_verbs::kParentInPlace);
    open_progress(context, count_entries(selected_items));
    ReparentStep step;
    while (keyed_reparent_next(plan, &step)) {
        send_with_item_id(sender, host_verbs::kSelectItem, item_id_value(step.item));
        send_with_item_id(sender, host_verbs::kParentItem, step.parent);
        keyed_reparent_write_keys(plan);
    }
    // Closed before any message of the plan's end, on every way out of the loop.
    progress_close(context->progress);
    if (parent_in_place) sender.send(host_verbs::kParentInPlace);
    int32_t done = 0;
    const bool stopped = keyed_reparent_stopped(plan, &done);
    HostId walk_end = nullptr;
    const int32_t walked = keyed_reparent_finish(plan, &walk_end);
    if (walked < 0) return false;
    restore_selection(sender.data, sender.evaluate, selected_items, walked, walked, walk_end);
    if (stopped) report_stopped(context, done, walked);
    return true;
}

// "err" alone tells the animator nothing: the second line says what happened
// and what it left.
constexpr char kReparentFailed[] =
    "wPos not finished: an item's keys could not be read as frames, or memory ran out; items done stay "
    "done, the rest are as they were";

void emit_link_commands(const HostContext *context, uint64_t link_item, uint32_t link_flags) {
    Sender sender{};
    if (!open_sender(context, &sender)) return;
    // Read once: the host may publish a new list while the commands run.
    const HostId *selected = selected_items(context);
    char text[kCommandBufferSize];

    if (link_flags & LINK_PARENT) {
        const uint64_t parent = parent_id_for(link_item, selected);
        if (link_flags & LINK_WORLD_POSITION) {
            if (!reparent_keeping_world_motion(context, selected, parent, platform_key_frame_allocator()))
                context->messages->error("err", kReparentFailed);
            return;
        }
        format_link_command(text, host_verbs::kParentItem, parent);
        sender.send(text);
    }
    if (link_flags & LINK_TARGET) {
        format_link_command(text, host_verbs::kTargetItem, link_item);
        sender.send(text);
        send_target_controllers(sender, link_item);
    }
    if (link_flags & LINK_GOAL) {
        format_link_command(text, host_verbs::kGoalItem, link_item);
        sender.send(text);
    }
    if (link_flags & LINK_POLE) {
        format_link_command(text, host_verbs::kPoleItem, link_item);
        sender.send(text);
        send_with_mode(sender, host_verbs::kBController,
                       link_item ? host_verbs::kControllerPole : host_verbs::kControllerKeys);
    }
    static const uint32_t kChannelBits[] = {LINK_POSITION, LINK_ROTATION, LINK_SCALE};
    static const char *const kChannelCommands[] = {host_verbs::kPositionItem, host_verbs::kRotationItem,
                                                   host_verbs::kScaleItem};
    for (int i = 0; i < 3; ++i) {
        if (!(link_flags & kChannelBits[i])) continue;
        format_link_command(text, kChannelCommands[i], link_item);
        sender.send(text);
    }
    if (link_flags & LINK_FOLLOW) {
        for (const char *command : kChannelCommands) {
            format_link_command(text, command, link_item);
            sender.send(text);
        }
    }
}

void emit_link_commands_legacy(const HostContext *context, uint64_t link_item, uint32_t link_flags, uint32_t build) {
    Sender sender{};
    if (!open_sender(context, &sender)) return;
    // Read once: the walks below change the host's selection as they go, and
    // the restore must use the list as it was when the command started.
    const HostId *selected = selected_items(context);
    const int32_t entries = count_entries(selected);
    const bool several = entries >= 2;
    int32_t walked = 0;
    char text[kCommandBufferSize];

    if (link_flags & LINK_TARGET) {
        format_link_command(text, host_verbs::kTargetItem, link_item);
        if (build < kBuildWholeSelectionTarget && several) {
            for (int32_t i = 0; i < entries; ++i) {
                send_with_item_id(sender, host_verbs::kSelectItem, item_id_value(selected[i]));
                sender.send(text);
                send_target_controllers(sender, link_item);
            }
            walked = entries;
        } else {
            sender.send(text);
            send_target_controllers(sender, link_item);
        }
    }

    bool goal_pending = (link_flags & LINK_GOAL) != 0;
    if (link_flags & LINK_PARENT) {
        const uint64_t parent = parent_id_for(link_item, selected);
        if (link_flags & LINK_WORLD_POSITION) {
            // It gives the selection back itself.
            walked = 0;
            if (!reparent_keeping_world_motion(context, selected, parent, platform_key_frame_allocator())) {
                context->messages->error("err", kReparentFailed);
                return;
            }
            goal_pending = false;
        } else {
            format_link_command(text, host_verbs::kParentItem, parent);
            if (several) {
                for (int32_t i = 0; i < entries; ++i) {
                    send_with_item_id(sender, host_verbs::kSelectItem, item_id_value(selected[i]));
                    sender.send(text);
                }
                walked = entries;
            } else {
                sender.send(text);
            }
        }
    }

    if (goal_pending) {
        format_link_command(text, host_verbs::kGoalItem, link_item);
        if (several) {
            for (int32_t i = 0; i < entries; ++i) {
                send_with_item_id(sender, host_verbs::kSelectItem, item_id_value(selected[i]));
                sender.send(text);
                if (link_item && full_time_ik_is_off(context, selected[i])) sender.send(host_verbs::kFullTimeIK);
            }
            walked = entries;
        } else {
            sender.send(text);
            if (link_item && full_time_ik_is_off(context, selected[0])) sender.send(host_verbs::kFullTimeIK);
        }
    }

    // Never restore past the end of the list, whatever count came back.
    restore_selection(sender.data, sender.evaluate, selected, walked, entries, nullptr);
}
