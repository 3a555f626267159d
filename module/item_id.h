// Item ids as the host numbers them: the kind in bits 28 to 31 of the low 32
// bits, and for a bone the owning object's index in the low 16 bits.
#pragma once

#include <cstdint>

#include "host_api.h"

inline uint64_t item_id_value(HostId item) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(item)); }
inline HostId item_id_handle(uint64_t id) { return reinterpret_cast<HostId>(static_cast<uintptr_t>(id)); }

inline uint32_t item_id_kind(uint64_t id) { return static_cast<uint32_t>(id) >> 28; }

// The object that owns a bone.
inline uint64_t bone_owner_object(uint64_t bone) { return (bone & 0xFFFFu) | 0x10000000u; }

// Writes the low 32 bits as exactly eight upper-case hex digits and a NUL;
// `out` must hold at least nine bytes. The host's selection and parent
// commands take ids in this form.
void write_item_id_hex(uint32_t value, char *out);
