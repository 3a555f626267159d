// Turns a link item and a link flag word into the host's command texts.
#pragma once

#include <cstdint>

#include "../module/host_api.h"
#include "../module/host_context.h"

// Build 1292 and later: one command per link for the whole selection.
void emit_link_commands(const HostContext *context, uint64_t link_item, uint32_t link_flags);
// Older builds: some links item by item, with the selection restored.
void emit_link_commands_legacy(const HostContext *context, uint64_t link_item, uint32_t link_flags, uint32_t build);
