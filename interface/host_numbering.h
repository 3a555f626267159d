// How the host numbers items and builds, read the same way on both sides: an
// item's kind (host_abi::kIdKind*) in bits 28 to 31 and a serial below it. A
// bone's id holds its own serial in bits 16 to 27 and its object's serial in
// bits 0 to 15, so a scene holds at most 65,536 objects and 4,096 bones an
// object.
#pragma once

#include <cstdint>

#include "host_api.h"

namespace host_numbering {

constexpr uint32_t kKindShift = 28;
constexpr uint32_t kSerialMask = 0x0FFFFFFFu;
constexpr uint32_t kObjectSerialMask = 0xFFFFu;
constexpr uint32_t kBoneSerialShift = 16;
constexpr uint32_t kBoneSerialMax = 0xFFFu;

constexpr uint32_t item_kind(uint32_t id) { return id >> kKindShift; }
constexpr uint32_t item_id(uint32_t kind, uint32_t serial) { return kind << kKindShift | serial; }
constexpr uint32_t bone_id(uint32_t object, uint32_t serial) {
    return item_id(host_abi::kIdKindBone, serial << kBoneSerialShift | (object & kObjectSerialMask));
}
// The object that owns a bone.
constexpr uint32_t bone_owner(uint32_t bone) { return item_id(host_abi::kIdKindObject, bone & kObjectSerialMask); }

// "Product Info" packs the host's build number into bits 4 to 15.
constexpr uint32_t kBuildShift = 4;
constexpr uint32_t kBuildMask = 0xFFFu;
constexpr uint32_t build_of_product_info(uint32_t info) { return (info >> kBuildShift) & kBuildMask; }
constexpr uint32_t product_info_with_build(uint32_t info, uint32_t build) {
    return (info & ~(kBuildMask << kBuildShift)) | ((build & kBuildMask) << kBuildShift);
}

}  // namespace host_numbering
