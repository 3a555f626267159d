// Holding a re-parented item's world motion between its keys: after its keys
// are rewritten, keys are added on whole frames, with tangents of their own,
// until its world position and rotation at every frame and half frame of the
// checked range are within a tolerance of where they were before.
#pragma once

#include <cstdint>

#include "interface/host_api.h"
#include "plugin/support/host_context.h"
#include "plugin/support/module_state.h"
#include "key_frame_table.h"
#include "key_writes.h"

// Why an item's motion was not held, in order of how much the animator should
// hear of it.
enum HoldOutcome : int32_t {
    kHoldMet,             // within the tolerance everywhere
    kHoldNextToKeys,      // out only at half frames between two frames keyed already
    kHoldNotHeld,         // out where keys could have gone; the budget or the host stopped it
    kHoldSheared,         // the new parent chain scales its axes unevenly; nothing added
    kHoldRefused,         // the host refused a key
    kHoldNotNumbers,      // the host gave motion values that are not numbers
    kHoldNoMemory,
    kHoldRangeTooLong,
    kHoldStopped,         // the user pressed Abort: the gaps fitted by then are keyed
};

struct HoldResult {
    HoldOutcome outcome;
    double distance;  // the largest error left: scene units
    double degrees;   // and degrees
    double worst_frame;  // where the error is worst for the tolerance: a frame or half frame
    double scale_percent;  // the largest change of a world axis's length; negative where scale is not held
};

// The frames to check for `item` when it goes under `new_parent` (null: no
// parent): the render range widened to every frame that holds a key of the
// item, of its present ancestors and of its new ones. `item_first`/`item_last`
// are the item's own key frames. False when the range does not fit.
bool checked_frame_range(const HostContext *context, HostId item, HostId new_parent, int32_t item_first,
                         int32_t item_last, int32_t *first, int32_t *last);

// The most frames an item's check may cover: samples cost memory and time.
constexpr int32_t kMostCheckedFrames = 100000;

// Adds the sample-only writes of the frames and half frames `first` to `last`.
// A frame that holds one of the item's keys (`records`, from frame
// `records_first`, `record_count` of them) is sampled at that key's time,
// which is solved for the key anyway.
bool add_sample_writes(KeyWriteList *writes, int32_t first, int32_t last, double frames_per_second,
                       const KeyFrameRecord *records, int32_t records_first, int32_t record_count);

// Holds `item`'s motion, its keys already rewritten from `writes` (grouped and
// solved, with the sample-only writes of `first` to `last`). `envelopes` are
// its position and rotation channels' envelopes (null where it has none),
// then its scale channels' where its scale is rewritten too (else null).
void hold_world_motion(const HostContext *context, HostId item, const HostId envelopes[kKeyedChannels], const KeyWriteList *writes,
                       int32_t first, int32_t last, const MotionTolerance &tolerance, HoldResult *result);
