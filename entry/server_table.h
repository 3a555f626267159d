// The servers this module offers, in table order, as the host lists them.
#pragma once

#include "../module/host_api.h"
#include "../module/server_names.h"

extern const ServerRecord kServerTable[kServerCount + 1];
