// The only values that outlive an activation. All are 0 (off) when the module
// is loaded and are never saved with a scene.
#pragma once

#include <cstdint>

// The item the link commands link to; 0 when nothing is memorized.
extern uint64_t memorized_item;

// The links last confirmed in the link panel.
extern uint32_t panel_link_choice;

// The share of an item's world scale, in percent, held when no other is given.
constexpr double kDefaultScaleTolerancePercent = 0.1;

// How closely the world-position re-parents hold an item's world motion
// between its keys when they are run without arguments. Set by the tolerance
// panel; lasts while the module stays loaded.
struct MotionTolerance {
    bool on;
    double distance;  // scene units, positive and finite when on
    double degrees;   // positive and finite when on
    // How far the lengths of its world axes may stray, in percent of them;
    // positive and finite when on.
    double scale_percent = kDefaultScaleTolerancePercent;
};

// What a tolerance's distance or angle may be: a positive finite number.
inline bool usable_tolerance_value(double value) { return value > 0.0 && value <= 1.7976931348623157e308; }

// The angle held when only a distance is given.
constexpr double kDefaultToleranceDegrees = 0.01;

extern MotionTolerance session_tolerance;
