#include "transform_chain.h"

#include "../module/item_id.h"

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

}  // namespace

void chain_world_rotation(ItemParentFn parent, ItemParamFn param, HostId item, double time, Matrix3 *out) {
    matrix3_identity(out);
    if (parent == nullptr || param == nullptr) return;
    Matrix3 factor;
    HostId current = item;
    for (int length = 0; current != nullptr && length < kMaxChainLength; ++length) {
        Vector3 rotation = query_param(param, current, host_abi::kParamRotation, time);
        if (vec3_nonzero_mask(&rotation) != 0) {
            hpb_round_single(&rotation, 0);
            hpb_to_matrix3(&factor, &rotation);
            matrix3_multiply(out, out, &factor);
        }
        Vector3 pivot_rotation = query_param(param, current, host_abi::kParamPivotRotation, time);
        if (vec3_exact_nonzero_mask(&pivot_rotation) != 0) {
            hpb_round_single(&pivot_rotation, 1);
            hpb_to_matrix3(&factor, &pivot_rotation);
            matrix3_multiply(out, out, &factor);
        }
        if (length + 1 < kMaxChainLength) current = parent(current);
    }
}

void chain_inverse_rotation(const ItemInfo *item_info, HostId item, double time, Matrix3 *out) {
    chain_inverse(item_info, item, time, false, out);
}

void chain_inverse_rotation_scale(const ItemInfo *item_info, HostId item, double time, Matrix3 *out) {
    chain_inverse(item_info, item, time, true, out);
}

void item_world_position(const ItemInfo *item_info, HostId item, double time, Vector3 *out) {
    *out = Vector3{0.0, 0.0, 0.0};
    if (item == nullptr) return;
    if (item_info == nullptr || item_info->parent == nullptr || item_info->param == nullptr) return;
    const ItemParamFn param = item_info->param;
    Matrix4 world;
    Matrix4 factor;
    const Vector3 position = query_param(param, item, host_abi::kParamPosition, time);
    set_translation(&world, position.x, position.y, position.z);
    HostId ancestor = item_info->parent(item);
    for (int length = 1; ancestor != nullptr && length < kMaxChainLength; ++length) {
        const Vector3 pivot = query_param(param, ancestor, host_abi::kParamPivot, time);
        set_translation(&factor, -pivot.x, -pivot.y, -pivot.z);
        matrix4_multiply(&world, &world, &factor);
        if (!is_camera(ancestor)) {
            const Vector3 scale = query_param(param, ancestor, host_abi::kParamScaling, time);
            matrix4_identity(&factor);
            factor.m[0] = scale.x;
            factor.m[5] = scale.y;
            factor.m[10] = scale.z;
            matrix4_multiply(&world, &world, &factor);
        }
        Vector3 rotation = query_param(param, ancestor, host_abi::kParamRotation, time);
        if (vec3_nonzero_mask(&rotation) != 0) {
            hpb_round_single(&rotation, 0);
            hpb_to_matrix4(&factor, &rotation);
            matrix4_multiply(&world, &world, &factor);
        }
        Vector3 pivot_rotation = query_param(param, ancestor, host_abi::kParamPivotRotation, time);
        if (vec3_exact_nonzero_mask(&pivot_rotation) != 0) {
            hpb_round_single(&pivot_rotation, 1);
            hpb_to_matrix4(&factor, &pivot_rotation);
            matrix4_multiply(&world, &world, &factor);
        }
        const Vector3 ancestor_position = query_param(param, ancestor, host_abi::kParamPosition, time);
        set_translation(&factor, ancestor_position.x, ancestor_position.y, ancestor_position.z);
        matrix4_multiply(&world, &world, &factor);
        if (length + 1 < kMaxChainLength) ancestor = item_info->parent(ancestor);
        else ancestor = nullptr;
    }
    out->x = world.m[12];
    out->y = world.m[13];
    out->z = world.m[14];
}
