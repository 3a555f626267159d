// The motion room's own: how the world-motion report holds the selected
// items before a command. Kept small, as a whole take held at every frame
// would take the memory of many scenes: numbers mostly as runs along lists
// held once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "host/core/scene.h"
#include "host/core/world_transform.h"
#include "world_motion_report.h"

namespace headless {

// The frames a check of world motion covers for these items (a caller passes
// an item together with its ancestors): every frame from the earlier of the
// render range's first frame and the first frame holding a key of the items,
// to the later of the range's last frame and the last frame holding one.
// When that span is too long to sample, the render range and the frames that
// hold keys. In order; empty without a usable frame rate.
std::vector<int> checked_frames(const Scene &scene, const std::vector<ItemIdValue> &items);

// The same over the keys of these envelopes (those of items as they were
// before a command, say).
std::vector<int> checked_frames(const Scene &scene, const std::vector<const Envelope *> &envelopes);

// A sequence of numbers, exact to the bit, kept in runs: a run steps along a
// list held elsewhere, holds its own numbers, or repeats one. Small when the
// numbers are mostly a stretch of that list, as a channel's values at its
// keyed frames are its keys' values, or mostly one number. The same list is
// passed each time.
class NumberRuns {
public:
    // Appends `value`, taken from list[candidate] when that holds the same
    // bits (any candidate may be given; one past the list means none).
    void append(double value, const std::vector<double> &list, size_t candidate) {
        // Mostly the run at the end goes on: checked here, in line.
        if (!runs_.empty()) {
            const Run &last = runs_.back();
            const double *same = nullptr;
            if (last.kind == kFollows && candidate == last.from + (size_ - last.begin) && candidate < list.size())
                same = &list[candidate];
            else if (last.kind == kRepeated)
                same = &own_[last.from];
            if (same && std::memcmp(same, &value, sizeof value) == 0) {
                ++size_;
                return;
            }
        }
        append_new(value, list, candidate);
    }
    // Appends list[from], list[from + 1], ... count of them.
    void append_along(const std::vector<double> &list, size_t from, size_t count) {
        if (count == 0) return;
        append(list[from], list, from);
        size_ += count - 1;  // the run just made or gone on with takes the rest
    }
    // Appends `count` elements that are never read, as one run.
    void append_unread(size_t count) {
        if (count == 0) return;
        if (runs_.empty() || runs_.back().kind != kRepeated) {
            runs_.push_back(Run{size_, own_.size(), kRepeated});
            own_.push_back(0.0);
        }
        size_ += count;
    }
    // Appends `value` count times.
    void append_repeated(double value, size_t count) {
        if (count == 0) return;
        const std::vector<double> none;
        append(value, none, 0);
        if (runs_.back().kind == kRepeated)
            size_ += count - 1;
        else
            for (size_t i = 1; i < count; ++i) append(value, none, 0);
    }
    size_t size() const { return size_; }
    // Elements indices[0..count), ascending, to `out`. `cursor` (0 at first)
    // remembers the run reached, so a forward walk finds its runs at once.
    void read(const size_t *indices, size_t count, const std::vector<double> &list, size_t *cursor,
              double *out) const;
    // All the elements.
    void expand(const std::vector<double> &list, std::vector<double> *out) const;

private:
    enum Kind : uint32_t { kFollows, kOwn, kRepeated };
    struct Run {
        size_t begin;  // its first element
        size_t from;   // index in the list or in own_ of that element's number
        Kind kind;
    };
    // Appends a number that does not go on with the run at the end.
    void append_new(double value, const std::vector<double> &list, size_t candidate);

    std::vector<Run> runs_;
    std::vector<double> own_;
    size_t size_ = 0;
};

// One channel's keys as they were: their values, and their times, which run
// along the item's key times (its KeyTimeGroup's), so mostly only the values
// take room for each key. The keys after the command are matched with these
// by time.
struct KeysBefore {
    std::vector<double> values;
    NumberRuns times;
    size_t size() const { return values.size(); }
};

struct ItemMotionBefore {
    ItemIdValue id;
    ItemIdValue parent;
    std::vector<ItemIdValue> old_chain;  // its ancestors from the parent up
    KeysBefore keys[6];  // position X, Y, Z, heading, pitch, bank
    KeysBefore scale_keys[3];  // X, Y, Z: counted, not grouped by time
    size_t key_group;    // its entry in RecordedMotion::key_groups
    // For each of RecordedMotion::half_frames, whether it was recorded for
    // the item: not where whole frames on both sides hold its keys.
    std::vector<bool> half_recorded;
};

// Selected items keyed at the same times, posed together at those times.
// A time that a frame is sampled at is read from that frame's poses.
struct KeyTimeGroup {
    std::vector<double> times;
    std::vector<size_t> members;       // indices into RecordedMotion::items
    std::vector<size_t> on_frames;     // the frame rows that serve some of the times
    std::vector<double> off_frames;    // the other times, posed here:
    std::vector<WorldPose> poses;      // poses[t * members.size() + m] for off_frames[t]
};

// What a watched item was posed from at the frames: its motion values at each
// frame row (a selected item's mostly its keys' values, kept once in
// ItemMotionBefore) and what it hung from. The report poses it again from
// these by the host's own step, to the bit as it was posed then, instead of
// holding fifteen numbers an item a frame through the command.
struct WatchedBefore {
    NumberRuns values[kMotionChannelCount];  // at each frame row
    int parent = -1;  // a watched item's index; -1 none; -2 - e the parent outside them numbered e
    bool pivot_turned = false;
    Matrix pivot_turn{};  // its pivot rotation
    Vec3 parent_pivot{};  // its parent's pivot point
};

struct RecordedMotion {
    bool unparenting = false;  // the command takes the items out of their parents
    std::vector<ItemMotionBefore> items;
    std::vector<KeyTimeGroup> key_groups;
    std::vector<ItemIdValue> old_ancestors;
    // The selected items and their descendants at each of `frames`: posed
    // from `how`, parents first in `order`, under the parents outside them
    // posed in outside_poses[f * outside_count + e].
    // A frame that holds a key of the selected items is sampled at that key's
    // time, so one evaluation serves the frame and the key.
    std::vector<ItemIdValue> watched;
    std::vector<WatchedBefore> how;
    std::vector<size_t> order;
    size_t outside_count = 0;
    std::vector<WorldPose> outside_poses;
    std::vector<int> frames;
    // The times of the frame rows: frames[i] for row i, then with a
    // tolerance the half frames after half_frames[j] for row frames.size() + j.
    std::vector<double> frame_times;
    JudgedTolerance tolerance;
    // A frame of `frames` whose next is one too, where a selected item may be
    // judged; a watched item's values there are recorded only where one it
    // poses is (else never read).
    std::vector<int> half_frames;
    bool too_many_frames = false;  // the frames were left out as too many to hold
};

}  // namespace headless
