// What every fuzz target checks after each step: a fault stops the run with
// a message libFuzzer keeps beside the crashing input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/hostile/scene_consistency.h"

namespace fuzz {

inline void require(bool condition, const std::string &what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::abort();
}

inline void require_consistent(const headless::Scene &scene, const char *after) {
    const std::string fault = headless::scene_consistency_fault(scene);
    require(fault.empty(), std::string("scene inconsistent after ") + after + ": " + fault);
}

}  // namespace fuzz
