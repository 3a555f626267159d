#include "transform_chain.h"

#include "plugin/support/item_id.h"

namespace {

// The host may leave the vector alone for an item it does not know; read that as zeros.
Vector3 query_param(ItemParamFn param, HostId item, int code, double time) {
    double values[3] = {0.0, 0.0, 0.0};
    param(item, code, time, values);
    return Vector3{values[0], values[1], values[2]};
}

bool is_camera(HostId item) { return item_id_kind(item_id_value(item)) == host_abi::kIdKindCamera; }

// Right-multiplies acc by the inverse of the item's pivot rotation and then of its
// rotation, each only when it takes part.
void append_inverse_rotations(ItemParamFn param, HostId item, double time, Matrix3 *acc) {
    Matrix3 factor;
    Vector3 pivot_rotation = query_param(param, item, host_abi::kParamPivotRotation, time);
    if (vec3_exact_nonzero_mask(&pivot_rotation) != 0) {
        hpb_round_single(&pivot_rotation, 1);
        const Vector3 negated{-pivot_rotation.x, -pivot_rotation.y, -pivot_rotation.z};
        hpb_to_matrix3_reverse(&factor, &negated);
        matrix3_multiply(acc, acc, &factor);
    }
    Vector3 rotation = query_param(param, item, host_abi::kParamRotation, time);
    if (vec3_nonzero_mask(&rotation) != 0) {
        hpb_round_single(&rotation, 0);
        const Vector3 negated{-rotation.x, -rotation.y, -rotation.z};
        hpb_to_matrix3_reverse(&factor, &negated);
        matrix3_multiply(acc, acc, &factor);
    }
}

double reciprocal_or_one(double scale) { return scale == 0.0 ? 1.0 : 1.0 / scale; }

void append_inverse_scale(ItemParamFn param, HostId item, double time, Matrix3 *acc) {
    const Vector3 scale = query_param(param, item, host_abi::kParamScaling, time);
    Matrix3 factor;
    matrix3_identity(&factor);
    factor.m[0] = reciprocal_or_one(scale.x);
    factor.m[4] = reciprocal_or_one(scale.y);
    factor.m[8] = reciprocal_or_one(scale.z);
    matrix3_multiply(acc, acc, &factor);
}

// The inverse chains work from the root down. The chain is gathered first
// (parent queries from the item upwards, as a recursion would make them), so a
// cyclic chain costs a bounded array instead of an unbounded stack.
void chain_inverse(const ItemInfo *item_info, HostId item, double time, bool with_scale, Matrix3 *out) {
    matrix3_identity(out);
    if (item_info == nullptr || item_info->parent == nullptr || item_info->param == nullptr) return;
    HostId chain[kMaxChainLength];
    int length = 0;
    for (HostId current = item; current != nullptr && length < kMaxChainLength; ++length) {
        chain[length] = current;
        if (length + 1 < kMaxChainLength) current = item_info->parent(current);
    }
    for (int i = length - 1; i >= 0; --i) {
        append_inverse_rotations(item_info->param, chain[i], time, out);
        if (with_scale && !is_camera(chain[i])) append_inverse_scale(item_info->param, chain[i], time, out);
    }
}

void set_translation(Matrix4 *m, double x, double y, double z) {
    matrix4_identity(m);
    m->m[12] = x;
    m->m[13] = y;
    m->m[14] = z;
}

// Multiplies one rotation (a pivot rotation with `pivot` 1) into the world
// rotation and into the position's transform, each when given.
void apply_rotation(Vector3 angles, int pivot, Matrix3 *rotation, Matrix4 *world) {
    Matrix3 factor;
    hpb_round_single(&angles, pivot);
    hpb_to_matrix3(&factor, &angles);
    if (rotation) matrix3_multiply(rotation, rotation, &factor);
    if (world) {
        Matrix4 factor4;
        matrix3_to_matrix4(&factor4, &factor);
        matrix4_multiply(world, world, &factor4);
    }
}

// One item's rotation and pivot rotation, each only when it takes part.
void append_rotations(ItemParamFn param, HostId item, double time, Matrix3 *rotation, Matrix4 *world,
                      double turns[3]) {
    const Vector3 angles = query_param(param, item, host_abi::kParamRotation, time);
    if (turns) {
        turns[0] += angles.x;
        turns[1] += angles.y;
        turns[2] += angles.z;
    }
    if (vec3_nonzero_mask(&angles) != 0) apply_rotation(angles, 0, rotation, world);
    const Vector3 pivot_rotation = query_param(param, item, host_abi::kParamPivotRotation, time);
    if (vec3_exact_nonzero_mask(&pivot_rotation) != 0) apply_rotation(pivot_rotation, 1, rotation, world);
}

}  // namespace

void chain_world_rotation(ItemParentFn parent, ItemParamFn param, HostId item, double time, Matrix3 *out) {
    matrix3_identity(out);
    if (parent == nullptr || param == nullptr) return;
    HostId current = item;
    for (int length = 0; current != nullptr && length < kMaxChainLength; ++length) {
        append_rotations(param, current, time, out, nullptr, nullptr);
        if (length + 1 < kMaxChainLength) current = parent(current);
    }
}

void chain_inverse_rotation(const ItemInfo *item_info, HostId item, double time, Matrix3 *out) {
    chain_inverse(item_info, item, time, false, out);
}

void chain_inverse_rotation_scale(const ItemInfo *item_info, HostId item, double time, Matrix3 *out) {
    chain_inverse(item_info, item, time, true, out);
}

namespace {

// What an item adds to the chain of a descendant, as item_world_position
// multiplies it into `transform` and chain_world_rotation into `rotation`
// (when given); `turns` (when given) adds up its rotation angles.
void append_ancestor(ItemParamFn param, HostId ancestor, double time, Matrix4 *transform, Matrix3 *rotation,
                     double turns[3]) {
    Matrix4 factor;
    const Vector3 pivot = query_param(param, ancestor, host_abi::kParamPivot, time);
    set_translation(&factor, -pivot.x, -pivot.y, -pivot.z);
    matrix4_multiply(transform, transform, &factor);
    if (!is_camera(ancestor)) {
        const Vector3 scale = query_param(param, ancestor, host_abi::kParamScaling, time);
        matrix4_identity(&factor);
        factor.m[0] = scale.x;
        factor.m[5] = scale.y;
        factor.m[10] = scale.z;
        matrix4_multiply(transform, transform, &factor);
    }
    append_rotations(param, ancestor, time, rotation, transform, turns);
    const Vector3 position = query_param(param, ancestor, host_abi::kParamPosition, time);
    set_translation(&factor, position.x, position.y, position.z);
    matrix4_multiply(transform, transform, &factor);
}

// Appends the ancestors from `ancestor` up, stopping below `stop` and taking
// the rest from `above` when both are given.
void append_ancestors(const ItemInfo *item_info, HostId ancestor, double time, HostId stop, const ChainPose *above,
                      int length, ChainPose *chain) {
    for (; ancestor != nullptr && length < kMaxChainLength; ++length) {
        if (above && ancestor == stop) {
            matrix4_multiply(&chain->transform, &chain->transform, &above->transform);
            matrix3_multiply(&chain->rotation, &chain->rotation, &above->rotation);
            for (int a = 0; a < 3; ++a) chain->turns[a] += above->turns[a];
            return;
        }
        append_ancestor(item_info->param, ancestor, time, &chain->transform, &chain->rotation, chain->turns);
        ancestor = length + 1 < kMaxChainLength ? item_info->parent(ancestor) : nullptr;
    }
}

bool usable(const ItemInfo *item_info) {
    return item_info != nullptr && item_info->parent != nullptr && item_info->param != nullptr;
}

}  // namespace

void item_world_pose(const ItemInfo *item_info, HostId item, double time, HostId stop, const ChainPose *above,
                     Matrix3 *rotation, Vector3 *position, double own_turns[3], double ancestor_turns[3]) {
    matrix3_identity(rotation);
    *position = Vector3{0.0, 0.0, 0.0};
    for (int a = 0; a < 3; ++a) own_turns[a] = ancestor_turns[a] = 0.0;
    if (item == nullptr || !usable(item_info)) return;
    const ItemParamFn param = item_info->param;
    append_rotations(param, item, time, rotation, nullptr, own_turns);
    ChainPose chain;
    const Vector3 own_position = query_param(param, item, host_abi::kParamPosition, time);
    set_translation(&chain.transform, own_position.x, own_position.y, own_position.z);
    chain.rotation = *rotation;
    chain.turns[0] = chain.turns[1] = chain.turns[2] = 0.0;
    append_ancestors(item_info, item_info->parent(item), time, stop, above, 1, &chain);
    *rotation = chain.rotation;
    for (int a = 0; a < 3; ++a) ancestor_turns[a] = chain.turns[a];
    position->x = chain.transform.m[12];
    position->y = chain.transform.m[13];
    position->z = chain.transform.m[14];
}

void item_chain_pose(const ItemInfo *item_info, HostId item, double time, HostId stop, const ChainPose *above,
                     ChainPose *out) {
    matrix4_identity(&out->transform);
    matrix3_identity(&out->rotation);
    out->turns[0] = out->turns[1] = out->turns[2] = 0.0;
    if (item == nullptr || !usable(item_info)) return;
    append_ancestor(item_info->param, item, time, &out->transform, &out->rotation, out->turns);
    append_ancestors(item_info, item_info->parent(item), time, stop, above, 1, out);
}

void item_world_position(const ItemInfo *item_info, HostId item, double time, Vector3 *out) {
    *out = Vector3{0.0, 0.0, 0.0};
    if (item == nullptr || !usable(item_info)) return;
    Matrix4 world;
    const Vector3 position = query_param(item_info->param, item, host_abi::kParamPosition, time);
    set_translation(&world, position.x, position.y, position.z);
    HostId ancestor = item_info->parent(item);
    for (int length = 1; ancestor != nullptr && length < kMaxChainLength; ++length) {
        append_ancestor(item_info->param, ancestor, time, &world, nullptr, nullptr);
        ancestor = length + 1 < kMaxChainLength ? item_info->parent(ancestor) : nullptr;
    }
    out->x = world.m[12];
    out->y = world.m[13];
    out->z = world.m[14];
}
