// Checks the invariants every scene of the headless host must keep, whatever
// a plug-in or a command text did to it.
#pragma once

#include <string>

#include "host/core/scene.h"

namespace headless {

// Returns an empty string when the scene is sound, else the first fault:
// parents and child lists that disagree, a cycle in the hierarchy, a bone
// outside its object's hierarchy, a link or a selected item that names no
// item, an item listed twice.
std::string scene_consistency_fault(const Scene &scene);

}  // namespace headless
