#include "module_state.h"

uint64_t memorized_item = 0;
uint32_t panel_link_choice = 0;
MotionTolerance session_tolerance = {false, 0.0, 0.0};
