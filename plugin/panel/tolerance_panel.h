// The "wPosTolerance" panel: sets how closely KR_setParent_wPos and
// KR_unParent_wPos hold an item's world motion between its keys when they run
// without arguments (session_tolerance): a distance, an angle and a share of
// the world scale in percent.
#pragma once

#include <cstdint>

#include "interface/host_api.h"
#include "plugin/support/module_state.h"

// One per panel run; the open hook finds it through the services record.
struct TolerancePanel {
    PanelControl *distance;
    PanelControl *degrees;
    PanelControl *scale;
    PanelControl *on;
    int32_t pos_x;
    int32_t pos_y;
};

int tolerance_panel_activate(int32_t version, GlobalLookupFn global, void *local, void *server_data);

// Runs the modal panel showing `shown`. Non-zero when the user confirmed;
// `entered` then holds what the panel showed at OK, not yet checked.
int32_t run_tolerance_panel(PanelFuncs *services, GlobalLookupFn global, const MotionTolerance &shown,
                            MotionTolerance *entered);
