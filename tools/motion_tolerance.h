// Holding a re-parented item's world motion between its keys: after a keyed
// re-parent has rewritten the item's own keys, keys are added where the new
// parent's motion pulls the item away from where it was, worst frame first,
// until every frame and half frame is within the asked distance and angle.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "../host/core/scene.h"

namespace headless {

struct ToleranceSettings {
    bool on = false;
    double distance = 0.0;  // scene units
    double degrees = 0.0;
};

// The angle held when `tolerance DISTANCE` gives none: well below what an eye
// sees on a turning item, well above the rounding of a scene file's angles.
constexpr double kDefaultToleranceDegrees = 0.01;

// `tolerance DISTANCE [DEGREES]` or `tolerance off`; words[0] is "tolerance".
bool parse_tolerance(const std::vector<std::string> &words, ToleranceSettings *settings, std::string *error);

// What the scene file being worked on can store, so added keys can be saved.
struct KeyConventions {
    bool whole_frames = false;  // keys only on whole frames
    bool shared_frames = false;  // every moving channel of an item keyed at the same frames
    bool tcb_only = false;       // TCB spline keys only
    bool tcb_or_linear = false;  // TCB or linear keys only
};

// The conventions of a scene file of this format version (0: no file).
KeyConventions key_conventions_of_version(int version);

// The items' world motion before a command, kept as copies of their motion
// and that of their ancestors, so it can be evaluated at any time afterwards.
struct MotionSnapshot;
struct MotionSnapshotDeleter {
    void operator()(MotionSnapshot *snapshot) const;
};
using MotionSnapshotPtr = std::unique_ptr<MotionSnapshot, MotionSnapshotDeleter>;

MotionSnapshotPtr snapshot_motion(const Scene &scene, const std::vector<ItemIdValue> &items);

// Adds keys to every snapshot item whose parent changed until its world motion
// is within the tolerance at every frame and half frame of the checked range,
// or a limit is reached; prints what it did. Returns false when the tolerance
// was not met for some item.
bool hold_world_motion(Scene &scene, const MotionSnapshot &before, const ToleranceSettings &settings,
                       const KeyConventions &conventions, std::ostream &out);

}  // namespace headless
