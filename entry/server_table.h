// The servers this module offers, in table order, as the host lists them.
#pragma once

#include "../module/host_api.h"

constexpr int kServerCount = 20;

extern const ServerRecord kServerTable[kServerCount + 1];
