// The "Tandrel" link panel server.
#pragma once

#include "../module/host_api.h"

int tandrel_activate(int32_t version, GlobalLookupFn global, void *local, void *server_data);
