// Re-parenting that keeps the selected items' motion in the world, as a plan
// the link commands carry out step by step. The plan sends no command: it
// reads the scene through the host's services, solves each item's keys and
// writes them; the caller selects each item and sends its parent command in
// between, and gives the selection back at the end.
//
//   KeyedReparent *plan = keyed_reparent_plan(context, selected, new_parent, allocator);
//   ReparentStep step;
//   while (keyed_reparent_next(plan, &step)) {
//       // send "SelectItem <step.item>", then "ParentItem <step.parent>"
//       keyed_reparent_write_keys(plan);
//   }
//   HostId walk_end;
//   int32_t walked = keyed_reparent_finish(plan, &walk_end);
//   // give the selection back: select walk_end unless null, add the others
//
// An item's keys are solved on the scene as the steps before it left it, but
// for the motion it had before any of them, so the steps cannot be planned
// all at once.
#pragma once

#include <cstdint>

#include "interface/host_api.h"
#include "plugin/support/host_context.h"

struct KeyFrameAllocator;
struct KeyedReparent;

// One item to re-parent: select it alone and send the parent command for
// `parent` (0: none) to it, then write its keys.
struct ReparentStep {
    HostId item;
    uint64_t parent;
};

// Starts the plan for the items of `selected_items` (ended by a null id)
// going under `new_parent` (0: no parent). `allocator` gives the frame
// table's memory (platform_key_frame_allocator() for the platform's). Null
// when a service the plan needs is missing or memory could not be had;
// nothing has changed then. The context and the list must outlive the plan.
KeyedReparent *keyed_reparent_plan(const HostContext *context, const HostId *selected_items, uint64_t new_parent,
                                   const KeyFrameAllocator *allocator);

// Solves the next item that moves and says what to send for it. False when
// no item is left or the plan has to end (see keyed_reparent_finish).
bool keyed_reparent_next(KeyedReparent *plan, ReparentStep *step);

// After the step's commands: writes the item's keys when the host took the
// new parent (a parent refused leaves the item as it was) and holds its
// motion between keys where a tolerance is set. Once a step; the next call
// of keyed_reparent_next does it when the caller has not.
void keyed_reparent_write_keys(KeyedReparent *plan);

// Whether the user stopped the plan with the progress window's Abort button
// (context->progress): between items, or in an item's hold. `done`: the
// selected items dealt with by then. Before keyed_reparent_finish.
bool keyed_reparent_stopped(const KeyedReparent *plan, int32_t *done);

// Ends the plan and frees it, saying once, through the message service,
// which items' motion the keys could not hold between them. Returns the
// number of entries of the selected list, or -1 when the plan ended early
// (out of memory, or keys it could not read). The selection is given back
// from there by adding every entry but the last to it, so the walk has to end
// on the last entry: `walk_end` is that entry when the steps ended elsewhere
// (it was skipped, or had no keys), else null.
int32_t keyed_reparent_finish(KeyedReparent *plan, HostId *walk_end);
