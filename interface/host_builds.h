// The host builds at which the module changes what it does. Each is the first
// build with the new behaviour; builds are compared unsigned, as read from
// bits 4 to 15 of "Product Info" (build_from_product_info).
#pragma once

#include <cstdint>

// One TargetItem text serves the whole selection; older builds are sent one
// per item, each item selected alone.
constexpr uint32_t kBuildWholeSelectionTarget = 599;
// The panel's tree event reads the services with a text value (an integer before).
constexpr uint32_t kBuildPanfunAsText = 801;
// The panel opens with the memorized item's node chosen (nothing chosen before).
constexpr uint32_t kBuildInitialTreeChoice = 999;
// The tree's value is read as a pointer value (as a text before).
constexpr uint32_t kBuildPointerValue = 1165;
// One command per link over the whole selection; the panel loads, resets and
// stores all seven link ticks. Older builds take the item-by-item emission.
constexpr uint32_t kBuildCurrentEmission = 1292;
// Pole, position, rotation, scale and follow links exist; before, the link
// commands refuse them and the panel ghosts their buttons.
constexpr uint32_t kBuildAllLinks = 1447;
// The Parent in Place confirmation is sent in UTF-8 (Shift-JIS before).
constexpr uint32_t kBuildUtf8Texts = 1540;
