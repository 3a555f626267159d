// The per-frame work table of the keyed re-parent: one record for every frame
// number from the first to the last key frame of the item in hand.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "interface/frame_rule.h"
#include "interface/host_api.h"

constexpr int kMotionChannels = 6;  // position X, Y, Z, heading, pitch, bank

// A channel's key walk that goes on past this many keys has come round again:
// far beyond any animation, yet quick to reach.
constexpr int32_t kMostKeysPerChannel = 1 << 24;

// frame_number for times past the first 2^30 frames, not finite, or of
// frame rates that are not.
bool frame_number_far(double time, double frames_per_second, int32_t *frame);

// Key time to frame number by the frame rule the host shares
// (interface/frame_rule.h). False when the time is not finite or the frame does
// not fit a 32-bit integer. Where the frame is near enough, the conversion
// truncates.
inline bool frame_number(double time, double frames_per_second, int32_t *frame) {
    const double frames = time * frames_per_second;
    if (!(std::fabs(frames) < 0x1p30)) return frame_number_far(time, frames_per_second, frame);
    const double whole = nearest_whole_frame(frames);
    *frame = static_cast<int32_t>(on_frame(frames, whole) ? whole : frames);
    return true;
}

// Whether a key at `time` lies on its whole frame `*frame` by the frame rule,
// rather than between frames: only a key on it stands for the whole frame.
// False too when the frame does not fit.
bool key_on_whole_frame(double time, double frames_per_second, int32_t *frame);

struct alignas(16) KeyFrameRecord {
    double time;              // seconds; the key marked into this record last
    uint32_t keyed_channels;  // bit k: channel k has a key in this frame
};

static_assert(sizeof(KeyFrameRecord) % 16 == 0, "records start on 16-byte boundaries");

// How the table gets its memory. `resize` turns `block` (null at first) into a
// block of `bytes` aligned to 16 and returns it, or returns null and leaves
// `block` as it was; contents need not survive. `release` frees a block.
struct KeyFrameAllocator {
    void *(*resize)(void *data, void *block, size_t bytes);
    void (*release)(void *data, void *block);
    void *data;
};

// The platform's aligned allocation.
const KeyFrameAllocator *platform_key_frame_allocator();

struct KeyFrameTable {
    KeyFrameRecord *records;
    int32_t capacity;
    const KeyFrameAllocator *allocator;
};

void key_frame_table_init(KeyFrameTable *table, const KeyFrameAllocator *allocator);

// Makes room for `count` records: when `count` exceeds the capacity the table
// grows to exactly `count` (the old records are not kept); otherwise it is
// reused as it is. False when the memory could not be had or `count` is not
// positive; the table then holds what it held before.
bool key_frame_table_reserve(KeyFrameTable *table, int32_t count);

void key_frame_table_free(KeyFrameTable *table);
