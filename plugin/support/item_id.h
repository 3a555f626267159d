// Item ids as the module handles them: the host's numbering (host_numbering.h)
// in the low 32 bits of a handle.
#pragma once

#include <cstdint>

#include "interface/host_api.h"
#include "interface/host_numbering.h"

inline uint64_t item_id_value(HostId item) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(item)); }
inline HostId item_id_handle(uint64_t id) { return reinterpret_cast<HostId>(static_cast<uintptr_t>(id)); }

inline uint32_t item_id_kind(uint64_t id) { return host_numbering::item_kind(static_cast<uint32_t>(id)); }

// The object that owns a bone.
inline uint64_t bone_owner_object(uint64_t bone) { return host_numbering::bone_owner(static_cast<uint32_t>(bone)); }

// Writes the low 32 bits as exactly eight upper-case hex digits and a NUL;
// `out` must hold at least nine bytes. The host's selection and parent
// commands take ids in this form.
void write_item_id_hex(uint32_t value, char *out);
