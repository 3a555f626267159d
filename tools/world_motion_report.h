// What a world-position re-parent did to the selected items: their parents,
// their position and rotation keys, and how far their world motion moved at
// their keys and frame by frame, measured with the host's own evaluation.
#pragma once

#include <iosfwd>
#include <vector>

#include "../host/scene.h"
#include "../host/world_transform.h"

namespace headless {

struct KeySample {
    const EnvelopeKey *key;  // the command keeps the keys it finds, so an address seen before is that key
    double time;
    double value;
};

struct WorldSample {
    double time;
    Vec3 position;
    WorldAxes axes;
};

struct ItemMotionBefore {
    ItemIdValue id;
    ItemIdValue parent;
    std::vector<KeySample> keys[6];  // position X, Y, Z, heading, pitch, bank
    std::vector<WorldSample> at_keys;
    std::vector<WorldSample> per_frame;
};

struct WorldMotionBefore {
    std::vector<ItemMotionBefore> items;
    int first_frame;
    int last_frame;
};

// Records the selected items before the command runs.
WorldMotionBefore record_world_motion(const Scene &scene);

// Prints, for every recorded item, its parent change, the keys rewritten and
// created, and the largest change of world position (scene units) and world
// rotation (degrees) at its key times and at every frame of the scene's range.
void print_world_motion_report(std::ostream &out, const Scene &scene, const WorldMotionBefore &before);

}  // namespace headless
