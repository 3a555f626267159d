// Stands in for the host command emission until it lands: sends nothing.
#include "link_emission.h"

void emit_link_commands(const HostContext *, uint64_t, uint32_t) {}
void emit_link_commands_legacy(const HostContext *, uint64_t, uint32_t, uint32_t) {}
