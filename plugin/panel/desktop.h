// The size of the desktop's client area, which places the panel. Windows asks
// the desktop window; elsewhere the headless host offers it as a service.
#pragma once

#include "interface/host_api.h"
#include "interface/panel_input.h"

// Falls back to 1920 x 1080 when the size cannot be had.
void desktop_client_size(GlobalLookupFn global, int *width, int *height);
