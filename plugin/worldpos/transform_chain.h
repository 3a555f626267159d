// How an item sits in the world at one time, evaluated through its parent chain
// from the host's parent and parameter queries. Nothing is cached: every call
// reads the scene as the host has it now.
#pragma once

#include "interface/host_api.h"
#include "transform_math.h"

typedef HostId (*ItemParentFn)(HostId item);
typedef void (*ItemParamFn)(HostId item, int code, double time, double *out3);

// The longest parent chain evaluated, the item itself included. A host that
// reports a cyclic (or absurdly deep) chain gets its items beyond this treated
// as absent, so the walks always end.
constexpr int kMaxChainLength = 4096;

// World rotation of the item: a direction in the item's own axes times it gives
// the world direction. Identity for item 0.
void chain_world_rotation(ItemParentFn parent, ItemParamFn param, HostId item, double time, Matrix3 *out);

// The inverse (transpose) of chain_world_rotation, built from the root down.
void chain_inverse_rotation(const ItemInfo *item_info, HostId item, double time, Matrix3 *out);

// The inverse of the item's world rotation-and-scale: a world offset times it is
// the offset in the item's own space. Cameras bring no scaling; a zero scaling
// component is taken as 1.
void chain_inverse_rotation_scale(const ItemInfo *item_info, HostId item, double time, Matrix3 *out);

// World position of the item's pivot point.
void item_world_position(const ItemInfo *item_info, HostId item, double time, Vector3 *out);

// An affine transform kept without the constant column of a Matrix4: rows 0
// to 2 (the linear part) at 3r + c, the translation at 9 to 11.
struct Affine {
    double m[12];
};

// What an item and its ancestors do to the items below it at one time: the
// product of their factors as item_world_position multiplies them in (from
// the item's pivot up to the root), the same for chain_world_rotation, and the
// sum of their rotation angles as the host gives them. Kept for every time
// of a take, so it holds no more than it needs.
struct ChainPose {
    Affine transform;
    Matrix3 rotation;
    double turns[3];
    // Non-zero when a scale of the chain (the item's own included) is not 1:
    // only then does the transform's linear part stretch anything.
    int32_t scales;
    int32_t unused;  // 0: the record has no padding, so poses compare by their bytes
};

// The item's world rotation (as chain_world_rotation) and world position (as
// item_world_position) from one walk up its chain, each parameter read once;
// `own_turns` gets the item's rotation angles as the host gives them and
// `ancestor_turns` those of its ancestors added up. When `above` is given,
// the walk stops at the ancestor `stop` and takes that one's ChainPose from
// `above` instead, as it was when `above` was made. `ancestors_scale`, when
// given, is set non-zero when an ancestor's scale is not 1 (the kept pose's
// counted too): only then can the item's world scale differ from its own.
void item_world_pose(const ItemInfo *item_info, HostId item, double time, HostId stop, const ChainPose *above,
                     Matrix3 *rotation, Vector3 *position, double own_turns[3], double ancestor_turns[3],
                     int32_t *ancestors_scale = nullptr);

// The item's ChainPose at `time`, cut at `stop` in the same way.
void item_chain_pose(const ItemInfo *item_info, HostId item, double time, HostId stop, const ChainPose *above,
                     ChainPose *out);

// item_chain_pose and item_world_pose at one time from one walk, each
// parameter read once, to the same bits as each alone.
void item_chain_and_world_pose(const ItemInfo *item_info, HostId item, double time, HostId stop,
                               const ChainPose *above, ChainPose *out, Matrix3 *rotation, Vector3 *position,
                               double own_turns[3], double ancestor_turns[3], int32_t *ancestors_scale = nullptr);

// What a new parent's chain does at one time: chain_inverse_rotation,
// chain_inverse_rotation_scale and item_world_position of the parent, and
// its and its ancestors' rotation angles added up as the host gives them
// (how far it has turned in the world, exactly so when the turns share an
// axis: a wheel and its hub).
struct ParentChain {
    Matrix3 inverse_rotation;
    Matrix3 inverse_rotation_scale;
    Vector3 position;
    double turns[3];
    int32_t scales;  // kChainScales, kChainZeroScale
};

// A scale of the chain is not 1; one is 0 (taken as 1 in the inverse).
constexpr int32_t kChainScales = 1;
constexpr int32_t kChainZeroScale = 2;

// The chains a one-walk ParentChain is read for; longer ones are read by
// each function apart.
constexpr int kMostWalkedTogether = 32;

// The ParentChain of `item` (null: none) at `time`, from one walk up the
// chain, each parameter read once, to the same bits as each part alone.
void parent_chain_at(const ItemInfo *item_info, HostId item, double time, ParentChain *out);
