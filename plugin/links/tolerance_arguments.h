// The tolerance typed after a world-position re-parent's name:
// "DISTANCE [DEGREES [PERCENT]]" or "off", PERCENT the share of the world
// scale held.
#pragma once

#include "plugin/support/module_state.h"

enum class ToleranceArguments {
    kNone,  // nothing typed: the session's setting holds
    kOff,
    kSet,
    kNotUnderstood,
};

// Reads `text` (null counts as nothing typed) into `tolerance` when kSet.
ToleranceArguments read_tolerance_arguments(const char *text, MotionTolerance *tolerance);
