// Layout's Parent in Place option: a re-parented item keeps where it is in the
// world at the current time.
#pragma once

#include <string>

#include "scene.h"

namespace headless {

// Re-parents `id` under `parent` (0: none) as Scene::set_parent does, then
// gives the item the local position and rotation that keep its world pivot
// position and world axes at the scene's current time: as keys at that time
// on channels that have keys, as static values on those that have none.
// Returns an empty string, or why the parent was refused (nothing changes).
std::string set_parent_in_place(Scene &scene, ItemIdValue id, ItemIdValue parent);

}  // namespace headless
