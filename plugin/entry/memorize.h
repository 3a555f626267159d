#pragma once

#include "interface/host_api.h"

// Memorizes the first selected item as the link item and confirms it.
int memorize_activate(int32_t version, GlobalLookupFn global, void *local, void *server_data);
