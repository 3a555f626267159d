// What a world-position re-parent did to the selected items: their parents,
// their position and rotation keys, and how far their world motion, world
// scale and descendants moved, measured with the host's own evaluation.
// Three steps around the command: record the items before it, measure them
// after it against that record, print the measure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "host/core/scene.h"

namespace headless {

// The frame that holds a key at `time`, by the frame rule the module shares
// (interface/frame_rule.h), kept within a billion frames either way.
int64_t frame_holding(double time, double fps);

struct RecordedMotion;  // world_motion_recorded.h
struct WorldMotionMeasure;

// The selected items as they were before a command: their keys, and their
// world motion at every frame that may be checked, held compactly.
// Default-made, it holds no item.
class WorldMotionBefore {
public:
    WorldMotionBefore();
    WorldMotionBefore(WorldMotionBefore &&) noexcept;
    WorldMotionBefore &operator=(WorldMotionBefore &&) noexcept;
    ~WorldMotionBefore();

private:
    friend WorldMotionBefore record_world_motion(const Scene &scene, bool unparenting);
    friend WorldMotionMeasure measure_world_motion(const Scene &scene, const WorldMotionBefore &before);
    std::unique_ptr<RecordedMotion> recorded_;
};

// Records the selected items before the command runs, at every frame that
// may be checked whatever their new parent turns out to be.
WorldMotionBefore record_world_motion(const Scene &scene, bool unparenting);

// An item as it is named after the command.
struct NamedItem {
    ItemIdValue id = 0;    // 0 none
    std::string name;
    bool present = false;  // still in the scene
};

// The largest change of an item's world motion over some samples.
struct MotionChange {
    double position = 0.0;  // scene units
    double degrees = 0.0;   // world rotation
    bool finite = true;     // false when a sample was not a number
};

// An item that Layout moves by more than its keys, which this host does not
// evaluate, and what moves it, as its scene file says.
struct MotionDriver {
    // How it stands to the measured item: the item itself, an ancestor on its
    // old or new parent chain (places from 0, the parent; -1 not on that
    // chain), or a descendant.
    enum Relation { kItself, kAncestor, kDescendant };
    Relation relation = kItself;
    int old_place = -1;
    int new_place = -1;
    NamedItem item;
    std::array<int, 3> controllers = {0, 0, 0};           // heading, pitch, bank; 0 keys alone
    std::array<int, 3> position_controllers = {0, 0, 0};  // X, Y, Z
    NamedItem goal, target, pole, position_item, rotation_item, scale_item;
    std::vector<MotionPlugin> plugins;  // the enabled ones
};

// One recorded item after the command.
struct ItemMotionMeasure {
    NamedItem item;  // not present: nothing else is measured
    bool nothing_to_unparent = false;  // un-parented without a parent
    bool changed = false;  // its parent or its keys; nothing below is measured otherwise
    NamedItem parent_before, parent_after;
    size_t keys_rewritten = 0;  // position and rotation keys given new values
    size_t keys_created = 0;
    size_t key_times = 0;  // the times it was keyed at before
    MotionChange at_keys;  // at those times
    MotionChange at_frames;  // at the checked frames
    bool scale_changed = false;  // its world scale, at its key times or the checked frames
    double scale_factor = 1.0;   // the largest change of it, as a factor
    size_t descendants = 0;
    double descendants_moved = 0.0;  // the largest world move of one of them
    NamedItem most_moved;            // that one
    bool shears = false;  // re-parented under a chain that scales unevenly
    int shears_from = 0;  // the first checked frame where it does
    std::vector<MotionDriver> drivers;  // the item and its chains first, then descendants

    bool reparented() const { return parent_after.id != parent_before.id; }
    // Whether the figures of its own motion, and those of its descendants, rest
    // only on what the host evaluates.
    bool verified() const;
    bool descendants_verified() const { return drivers.empty(); }
};

// The frames checked, every one from `first` to `last` or the render range
// and the keyed frames among them.
struct CheckedFrames {
    bool too_many = false;  // too many to hold: none checked
    size_t count = 0;       // 0 without a usable frame range
    int first = 0;
    int last = 0;
};

struct WorldMotionMeasure {
    std::vector<ItemMotionMeasure> items;  // as recorded; none when nothing was selected
    CheckedFrames frames;
    // Warned about: an un-parent with nothing to do, a changed world scale, a
    // new parent chain that shears, motion the host does not evaluate.
    int warnings() const;
};

// Measures, for every recorded item, its parent change, the keys rewritten
// and created, the largest change of world position and world rotation at
// its key times and at the checked frames (the render range widened to every
// frame holding a key of the items or of their old or new ancestors), the
// largest change of its world scale, the largest world move of its
// descendants, whether its new parent chain scales unevenly, and what moves
// it, an ancestor on its old or new chain or a descendant by more than keys
// (controllers, IK, targets, item links, motion plug-ins).
WorldMotionMeasure measure_world_motion(const Scene &scene, const WorldMotionBefore &before);

// The measure as the tool reports it: one block an item, with its warnings
// and the figures that rest on what the host does not evaluate marked.
void print_world_motion(std::ostream &out, const WorldMotionMeasure &measure);

}  // namespace headless
