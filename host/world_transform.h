// Where items sit in the world, worked out by the host from the scene's
// hierarchy with its own matrix code. Plug-ins evaluate the same chains
// themselves through the item info; this is the answer they are held to.
//
// Conventions: row vectors (v' = v x M, A x B applies A first); a rotation of
// heading, pitch and bank applies bank, then pitch, then heading. Each
// ancestor maps a point p of its child's space to
// ((p - pivot) x scale x rotation x pivot rotation) + position,
// where cameras contribute no scaling and an item's own position is where its
// pivot point lands in its parent's space.
#pragma once

#include "scene.h"

namespace headless {

struct WorldAxes {
    Vec3 right;    // the item's +x in the world
    Vec3 up;       // +y
    Vec3 forward;  // +z
};

// The world position of the item's pivot point at `time`.
Vec3 world_position(const Scene &scene, ItemIdValue id, double time);

// The world directions of the item's own axes at `time`, each of unit length.
// Its ancestors' scaling bends them; its own scaling does not enter.
WorldAxes world_axes(const Scene &scene, ItemIdValue id, double time);

// The ancestors of an item from its parent up to the root. A parent that is
// missing ends the chain, and so does one met before, so a damaged hierarchy
// that loops cannot hang the walk.
std::vector<const Item *> ancestors_of(const Scene &scene, const Item &item);

}  // namespace headless
