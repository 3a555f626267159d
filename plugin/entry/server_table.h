// The servers this module offers, in table order, as the host lists them.
#pragma once

#include "interface/host_api.h"
#include "interface/server_names.h"

extern const ServerRecord kServerTable[kServerCount + 1];
