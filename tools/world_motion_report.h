// What a world-position re-parent did to the selected items: their parents,
// their position and rotation keys, and how far their world motion, world
// scale and descendants moved, measured with the host's own evaluation.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "../host/core/scene.h"
#include "../host/core/world_transform.h"

namespace headless {

// The frames a check of world motion covers for these items (a caller passes
// an item together with its ancestors): every frame from the earlier of the
// render range's first frame and the first frame holding a key of the items,
// to the later of the range's last frame and the last frame holding one.
// When that span is too long to sample, the render range and the frames that
// hold keys. In order; empty without a usable frame rate.
std::vector<int> checked_frames(const Scene &scene, const std::vector<ItemIdValue> &items);

// How reports print a number (three significant digits) and an item (name and id).
std::string report_number(double value);
std::string report_label(const Scene &scene, ItemIdValue id);
// The same over the keys of these envelopes (those of items as they were
// before a command, say).
std::vector<int> checked_frames(const Scene &scene, const std::vector<const Envelope *> &envelopes);

struct KeySample {
    const EnvelopeKey *key;  // the command keeps the keys it finds, so an address seen before is that key
    double time;
    double value;
};

struct ItemMotionBefore {
    ItemIdValue id;
    ItemIdValue parent;
    std::vector<KeySample> keys[6];  // position X, Y, Z, heading, pitch, bank
    size_t key_group;                // its entry in WorldMotionBefore::key_groups
};

// Selected items keyed at the same times, posed together at those times.
// A time that a frame is sampled at is read from that frame's poses.
struct KeyTimeGroup {
    std::vector<double> times;
    std::vector<size_t> members;       // indices into WorldMotionBefore::items
    std::vector<size_t> on_frames;     // the frame rows that serve some of the times
    std::vector<double> off_frames;    // the other times, posed here:
    std::vector<WorldPose> poses;      // poses[t * members.size() + m] for off_frames[t]
};

struct WorldMotionBefore {
    bool unparenting = false;  // the command takes the items out of their parents
    std::vector<ItemMotionBefore> items;
    std::vector<KeyTimeGroup> key_groups;
    std::vector<ItemIdValue> old_ancestors;
    // The selected items and their descendants, posed at each of `frames`:
    // per_frame[f * watched.size() + w].
    // A frame that holds a key of the selected items is sampled at that key's
    // time, so one evaluation serves the frame and the key.
    std::vector<ItemIdValue> watched;
    std::vector<int> frames;
    std::vector<double> frame_times;
    std::vector<WorldPose> per_frame;
    bool too_many_frames = false;  // the frames were left out as too many to hold
};

// Records the selected items before the command runs, at every frame that
// may be checked whatever their new parent turns out to be.
WorldMotionBefore record_world_motion(const Scene &scene, bool unparenting);

// Prints, for every recorded item, its parent change, the keys rewritten and
// created, the largest change of world position (scene units) and world
// rotation (degrees) at its key times and at the checked frames, the largest
// change of its world scale and the largest world move of its descendants.
// Warns when an un-parented item had no parent, when an item's world scale
// changed and when a new parent chain scales unevenly. Returns the number of
// warnings printed.
int print_world_motion_report(std::ostream &out, const Scene &scene, const WorldMotionBefore &before);

}  // namespace headless
