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
#include <limits>
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

// The tolerance a re-parent that keeps world motion was asked to hold between
// keys, read from the arguments it was given as the plug-in reads them.
struct JudgedTolerance {
    bool on = false;
    double distance = 0.0;  // scene units
    double degrees = 0.0;
    double percent = 0.0;   // world scale, relative
};
// Scene files keep numbers to about eight digits, so a motion held exactly
// may read back a little beyond: it is judged at this many times the tolerance.
constexpr double kJudgedSlack = 1.5;

// "DISTANCE [DEGREES [PERCENT]]" (0.01 degrees and 0.1 percent when left
// out), or none for "off" in any case, nothing, or words the plug-in would
// not take (it refuses them and holds nothing).
JudgedTolerance read_judged_tolerance(const std::string &text);

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
    friend WorldMotionBefore record_world_motion(const Scene &scene, bool unparenting,
                                                 const JudgedTolerance &tolerance);
    friend WorldMotionMeasure measure_world_motion(const Scene &scene, const WorldMotionBefore &before);
    std::unique_ptr<RecordedMotion> recorded_;
};

// Records the selected items before the command runs, at every frame that
// may be checked whatever their new parent turns out to be, and with a
// tolerance at the half frames between them too.
WorldMotionBefore record_world_motion(const Scene &scene, bool unparenting,
                                      const JudgedTolerance &tolerance = JudgedTolerance());

// An item as it is named after the command.
struct NamedItem {
    ItemIdValue id = 0;    // 0 none
    std::string name;
    bool present = false;  // still in the scene
};

// The largest change of an item's world motion over some samples, and the
// frame of each (a half frame as N.5, a key between frames as its time in
// frames; the earliest where several tie; NaN without a sample).
struct MotionChange {
    double position = 0.0;  // scene units
    double degrees = 0.0;   // world rotation
    bool finite = true;     // false when a sample was not a number
    double position_frame = std::numeric_limits<double>::quiet_NaN();
    double degrees_frame = std::numeric_limits<double>::quiet_NaN();
};

// A whole frame, or the half frame after it.
struct SampleFrame {
    int frame = 0;
    bool half = false;
};

// An item's motion judged against the tolerance at every checked frame and
// every half frame between them that a key on a whole frame could still
// hold (not one between two frames that hold keys of the item).
struct ToleranceJudgement {
    bool judged = false;
    size_t frames = 0, half_frames = 0;  // the samples judged
    MotionChange largest;                // over them
    double scale_percent = 0.0;          // the largest relative change of world scale
    bool motion_beyond = false;
    SampleFrame motion_worst;  // the sample furthest beyond, in parts of the tolerance
    MotionChange motion_there;
    bool scale_beyond = false;
    SampleFrame scale_worst;
    double scale_there = 0.0;  // percent
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
    size_t scale_keys_rewritten = 0, scale_keys_created = 0;
    size_t key_times = 0;  // the times it was keyed at before
    MotionChange at_keys;  // at those times
    MotionChange at_frames;  // at the checked frames
    // With a tolerance, at the half frames judged (whether or not its figures
    // are verified).
    size_t half_frames = 0;
    MotionChange at_half_frames;
    // Its world scale, at its key times or the checked frames; at its key
    // times alone when a tolerance judges the frames.
    bool scale_changed = false;
    double scale_factor = 1.0;   // the largest change of it, as a factor
    size_t descendants = 0;
    double descendants_moved = 0.0;  // the largest world move of one of them
    NamedItem most_moved;            // that one
    bool shears = false;  // re-parented under a chain that scales unevenly
    int shears_from = 0;  // the first checked frame where it does
    std::vector<MotionDriver> drivers;  // the item and its chains first, then descendants
    ToleranceJudgement judgement;  // with a tolerance, when its own figures are verified

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
    JudgedTolerance tolerance;
    // Warned about: an un-parent with nothing to do, a changed world scale, a
    // new parent chain that shears, motion the host does not evaluate, world
    // motion or scale beyond the tolerance.
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

// The warnings the report prints for an item, in order, without "warning: ";
// the last, when its figures rest on what the host does not evaluate, is
// followed in print by its drivers.
std::vector<std::string> item_warnings(const WorldMotionMeasure &measure, const ItemMotionMeasure &item);
// A driver as the report names it: how it stands to the item ("old parent",
// "descendant", ...) and what moves it ("IK controllers on heading; ...").
std::string driver_relation(const MotionDriver &driver);
std::string driver_motion(const MotionDriver &driver);

// What a run was, for its report in JSON.
struct RunFacts {
    std::string command, arguments;
    std::string scene_file;  // empty when none was loaded
    int result = 0;          // the server's result code
};
// The run and its measure as one line of JSON (no line end): numbers as
// numbers, null for none and for what is not a number, names as valid UTF-8.
std::string world_motion_json(const RunFacts &run, const WorldMotionMeasure &measure);

}  // namespace headless
