// Every key the keyed re-parent writes for the item in hand, the existing ones
// and those it creates, grouped by time so that each time is solved once and
// every key gets the value solved at its own time.
#pragma once

#include <cstdint>

#include "interface/host_api.h"
#include "key_frame_table.h"

// Position and rotation (kMotionChannels, 0 to 5), then scale X, Y, Z.
constexpr int kFirstScaleChannel = kMotionChannels;
constexpr int kScaleChannels = 3;
constexpr int kKeyedChannels = kMotionChannels + kScaleChannels;

struct KeyWrite {
    double time;      // the existing key's own time, or where the key is created
    HostId key;       // null: a key is created at `time`
    int32_t channel;  // 0 to 5, or kSampleOnly
    int32_t solve;    // index of the solve at `time`, once grouped
};

// KeySolve::scaling: what the solve found of scale. A chain that scales is
// the item's old ancestors (or the kept poses standing for them) or its new
// parent chain; only then can its world scale differ from its own.
constexpr int32_t kOldChainScales = 1;
constexpr int32_t kNewChainScales = 2;
constexpr int32_t kNewChainZeroScale = 4;  // a scale of 0 on the new chain: nothing can restore the axis
constexpr int32_t kScaleSheared = 8;       // no scale of the item's own gives back its old world axes

// A write that writes nothing: a time the motion is only solved at, so that
// it can be held between keys.
constexpr int32_t kSampleOnly = -1;

struct KeySolve {
    double time;
    // The item's new local values at `time`: position, rotation and scale.
    // Its scale is its own where no chain scales or its scale is not kept.
    double values[kKeyedChannels];
    // The row lengths of its old world linear map at `time`: how long its own
    // axes were in the world, and its own scale at `time` as the host gave it
    // (cameras: 1, they take none).
    double world_lengths[3];
    double own_scale[3];
    // The item's rotation angles at `time` as the host gives them, and the
    // sum of its old ancestors' (the turns its angles are kept near).
    double own_turns[3];
    double ancestor_turns[3];
    double new_ancestor_turns[3];  // the same for the new parent and its ancestors
    // Where the item was in the world at `time`, before the command, and how
    // far the new parent chain stretches a step of the item's own position.
    // `sheared`: that chain scales its axes unevenly, so no rotation of the
    // item keeps its world axes.
    double world_position[3];
    double world_rotation[9];
    double parent_scale;
    int32_t sheared;
    int32_t scaling;  // kOldChainScales, ...
    // The turns and where the item was are read already (with its kept
    // poses), not to be read again.
    int32_t posed;
};

// Grows as keys are added and is reused from item to item; its memory is the
// process heap's, taken without exceptions.
struct KeyWriteList {
    KeyWrite *writes;
    int32_t count;
    int32_t capacity;
    KeySolve *solves;
    int32_t solve_count;
    int32_t solve_capacity;
    // Where the writes are put in order, then swapped in; freed once they
    // are, being as large as the writes.
    KeyWrite *spare;
    int32_t spare_capacity;
};

void key_write_list_init(KeyWriteList *list);
// Forgets the writes and solves of the previous item; keeps the memory.
void key_write_list_clear(KeyWriteList *list);
// Makes room for one more write. False when the memory could not be had.
bool key_write_list_grow(KeyWriteList *list);
// Makes room for `more` writes beyond those there, exactly: for counts known
// up front. False when the memory could not be had; the list is as it was.
bool key_write_list_reserve(KeyWriteList *list, int64_t more);
// False when the memory could not be had; the list is as it was.
inline bool key_write_list_add(KeyWriteList *list, double time, HostId key, int32_t channel) {
    if (list->count == list->capacity && !key_write_list_grow(list)) return false;
    list->writes[list->count++] = KeyWrite{time, key, channel, -1};
    return true;
}
// Orders the writes by time and gives every distinct time one solve, in time
// order. False when the memory could not be had.
bool key_write_list_group(KeyWriteList *list);
void key_write_list_free(KeyWriteList *list);
