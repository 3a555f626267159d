// The only values that outlive an activation. Both are 0 when the module is
// loaded and are never saved with a scene.
#pragma once

#include <cstdint>

// The item the link commands link to; 0 when nothing is memorized.
extern uint64_t memorized_item;

// The links last confirmed in the link panel.
extern uint32_t panel_link_choice;
