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

// Products with one factor of an item's chain, made as matrix4_multiply makes
// them (its sums, in its order) so that every bit is the same, but without
// building the factor or the rows nobody reads. A factor is its linear part
// `f` (row-major 3×3) and its translation `t`.
// The products are small and their factors often constants (the identity of
// a translation): inlined, the multiplications by one drop out.
#if defined(__GNUC__)
#define KR_INLINE inline __attribute__((always_inline))
#else
#define KR_INLINE inline
#endif

constexpr double kIdentity[9] = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
constexpr double kNoTranslation[3] = {0.0, 0.0, 0.0};

KR_INLINE void row_times(double *row, const double *f) {
    const double x = row[0];
    const double y = row[1];
    const double z = row[2];
    row[0] = x * f[0] + y * f[3] + z * f[6];
    row[1] = x * f[1] + y * f[4] + z * f[7];
    row[2] = x * f[2] + y * f[5] + z * f[8];
}

KR_INLINE void point_times(double *point, const double *f, const double *t) {
    row_times(point, f);
    point[0] = point[0] + t[0];
    point[1] = point[1] + t[1];
    point[2] = point[2] + t[2];
}

// A whole transform: every row.
KR_INLINE void times(Affine *acc, const double *f, const double *t) {
    row_times(acc->m, f);
    row_times(acc->m + 3, f);
    row_times(acc->m + 6, f);
    point_times(acc->m + 9, f, t);
}

// A position alone: row 3 of the transform, which the other rows never reach.
KR_INLINE void times(Vector3 *acc, const double *f, const double *t) {
    double point[3] = {acc->x, acc->y, acc->z};
    point_times(point, f, t);
    *acc = Vector3{point[0], point[1], point[2]};
}

void affine_identity(Affine *out) {
    *out = Affine{{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0}};
}

// Multiplies one rotation (a pivot rotation with `pivot` 1) into the world
// rotation and into the position's transform, each when given.
template <typename Carried>
void apply_rotation(Vector3 angles, int pivot, Matrix3 *rotation, Carried *world) {
    Matrix3 factor;
    hpb_round_single(&angles, pivot);
    hpb_to_matrix3(&factor, &angles);
    if (rotation) matrix3_multiply(rotation, rotation, &factor);
    if (world) times(world, factor.m, kNoTranslation);
}

void add_turns(double turns[3], const Vector3 &angles) {
    if (!turns) return;
    turns[0] += angles.x;
    turns[1] += angles.y;
    turns[2] += angles.z;
}

// One item's rotation and pivot rotation, each only when it takes part. Its
// rotation angles go to `turns` and `more_turns`, each when given.
template <typename Carried>
void append_rotations(ItemParamFn param, HostId item, double time, Matrix3 *rotation, Carried *world,
                      double turns[3], double more_turns[3] = nullptr) {
    const Vector3 angles = query_param(param, item, host_abi::kParamRotation, time);
    add_turns(turns, angles);
    add_turns(more_turns, angles);
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
        append_rotations<Vector3>(param, current, time, out, nullptr, nullptr);
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

// A whole transform and a position carried through the same factors.
struct ChainAndPoint {
    Affine *chain;
    Vector3 *point;
};

KR_INLINE void times(ChainAndPoint *acc, const double *f, const double *t) {
    times(acc->chain, f, t);
    times(acc->point, f, t);
}

// What an item adds to the chain of a descendant, as item_world_position
// multiplies it into `transform` (the whole transform, or the position it
// carries, or both) and chain_world_rotation into `rotation` (when given);
// `turns` and `more_turns` (each when given) add up its rotation angles.
// Returns its position, as read for the chain.
template <typename Carried>
Vector3 append_ancestor(ItemParamFn param, HostId ancestor, double time, Carried *transform, Matrix3 *rotation,
                        double turns[3], double more_turns[3] = nullptr, int32_t *scales = nullptr) {
    const Vector3 pivot = query_param(param, ancestor, host_abi::kParamPivot, time);
    const double to_pivot[3] = {-pivot.x, -pivot.y, -pivot.z};
    times(transform, kIdentity, to_pivot);
    if (!is_camera(ancestor)) {
        const Vector3 scale = query_param(param, ancestor, host_abi::kParamScaling, time);
        if (scales && !(scale.x == 1.0 && scale.y == 1.0 && scale.z == 1.0)) *scales = 1;
        const double factor[9] = {scale.x, 0.0, 0.0, 0.0, scale.y, 0.0, 0.0, 0.0, scale.z};
        times(transform, factor, kNoTranslation);
    }
    append_rotations(param, ancestor, time, rotation, transform, turns, more_turns);
    const Vector3 position = query_param(param, ancestor, host_abi::kParamPosition, time);
    const double to_position[3] = {position.x, position.y, position.z};
    times(transform, kIdentity, to_position);
    return position;
}

// The kept transform `above` multiplied in after `transform`.
void times_kept(Affine *transform, const Affine &above) { times(transform, above.m, above.m + 9); }
void times_kept(Vector3 *position, const Affine &above) { times(position, above.m, above.m + 9); }
void times_kept(ChainAndPoint *both, const Affine &above) {
    times_kept(both->chain, above);
    times_kept(both->point, above);
}

// Appends the ancestors from `ancestor` up, stopping below `stop` and taking
// the rest from `above` when both are given. `rotation`, `turns` and
// `scales` as append_ancestor takes them.
template <typename Carried>
void append_ancestors(const ItemInfo *item_info, HostId ancestor, double time, HostId stop, const ChainPose *above,
                      int length, Carried *transform, Matrix3 *rotation, double turns[3], double more_turns[3],
                      int32_t *scales) {
    for (; ancestor != nullptr && length < kMaxChainLength; ++length) {
        if (above && ancestor == stop) {
            times_kept(transform, above->transform);
            matrix3_multiply(rotation, rotation, &above->rotation);
            for (int a = 0; a < 3; ++a) turns[a] += above->turns[a];
            if (more_turns)
                for (int a = 0; a < 3; ++a) more_turns[a] += above->turns[a];
            if (scales && above->scales) *scales = 1;
            return;
        }
        append_ancestor(item_info->param, ancestor, time, transform, rotation, turns, more_turns, scales);
        ancestor = length + 1 < kMaxChainLength ? item_info->parent(ancestor) : nullptr;
    }
}

bool usable(const ItemInfo *item_info) {
    return item_info != nullptr && item_info->parent != nullptr && item_info->param != nullptr;
}

}  // namespace

void item_world_pose(const ItemInfo *item_info, HostId item, double time, HostId stop, const ChainPose *above,
                     Matrix3 *rotation, Vector3 *position, double own_turns[3], double ancestor_turns[3],
                     int32_t *ancestors_scale) {
    matrix3_identity(rotation);
    *position = Vector3{0.0, 0.0, 0.0};
    for (int a = 0; a < 3; ++a) own_turns[a] = ancestor_turns[a] = 0.0;
    if (ancestors_scale) *ancestors_scale = 0;
    if (item == nullptr || !usable(item_info)) return;
    const ItemParamFn param = item_info->param;
    append_rotations<Vector3>(param, item, time, rotation, nullptr, own_turns);
    // The item's own translation is where its position's row starts.
    *position = query_param(param, item, host_abi::kParamPosition, time);
    append_ancestors(item_info, item_info->parent(item), time, stop, above, 1, position, rotation, ancestor_turns,
                     nullptr, ancestors_scale);
}

void item_chain_pose(const ItemInfo *item_info, HostId item, double time, HostId stop, const ChainPose *above,
                     ChainPose *out) {
    affine_identity(&out->transform);
    matrix3_identity(&out->rotation);
    out->turns[0] = out->turns[1] = out->turns[2] = 0.0;
    out->scales = out->unused = 0;
    if (item == nullptr || !usable(item_info)) return;
    append_ancestor(item_info->param, item, time, &out->transform, &out->rotation, out->turns, nullptr, &out->scales);
    append_ancestors(item_info, item_info->parent(item), time, stop, above, 1, &out->transform, &out->rotation,
                     out->turns, nullptr, &out->scales);
}

void item_chain_and_world_pose(const ItemInfo *item_info, HostId item, double time, HostId stop,
                               const ChainPose *above, ChainPose *out, Matrix3 *rotation, Vector3 *position,
                               double own_turns[3], double ancestor_turns[3], int32_t *ancestors_scale) {
    affine_identity(&out->transform);
    matrix3_identity(&out->rotation);
    for (int a = 0; a < 3; ++a) out->turns[a] = own_turns[a] = ancestor_turns[a] = 0.0;
    out->scales = out->unused = 0;
    matrix3_identity(rotation);
    *position = Vector3{0.0, 0.0, 0.0};
    int32_t ancestors = 0;
    if (ancestors_scale) *ancestors_scale = 0;
    if (item == nullptr || !usable(item_info)) return;
    // The item's own factors as item_chain_pose takes them. Its rotation and
    // turns so far are item_world_pose's own (the same products of the same
    // angles), and its position starts that one's row.
    *position = append_ancestor(item_info->param, item, time, &out->transform, &out->rotation, out->turns, own_turns,
                                &out->scales);
    // Its ancestors once for both.
    ChainAndPoint both{&out->transform, position};
    append_ancestors(item_info, item_info->parent(item), time, stop, above, 1, &both, &out->rotation, out->turns,
                     ancestor_turns, &ancestors);
    *rotation = out->rotation;
    if (ancestors) out->scales = 1;
    if (ancestors_scale) *ancestors_scale = ancestors;
}

void item_world_position(const ItemInfo *item_info, HostId item, double time, Vector3 *out) {
    *out = Vector3{0.0, 0.0, 0.0};
    if (item == nullptr || !usable(item_info)) return;
    *out = query_param(item_info->param, item, host_abi::kParamPosition, time);
    HostId ancestor = item_info->parent(item);
    for (int length = 1; ancestor != nullptr && length < kMaxChainLength; ++length) {
        append_ancestor<Vector3>(item_info->param, ancestor, time, out, nullptr, nullptr);
        ancestor = length + 1 < kMaxChainLength ? item_info->parent(ancestor) : nullptr;
    }
}

namespace {

// The sum of rotation angles from `item` up, as the host gives them.
void turns_up_chain(const ItemInfo *item_info, HostId item, double time, double out[3]) {
    out[0] = out[1] = out[2] = 0.0;
    int length = 0;
    for (HostId walked = item; walked && length < kMaxChainLength; walked = item_info->parent(walked), ++length)
        add_turns(out, query_param(item_info->param, walked, host_abi::kParamRotation, time));
}

int32_t scale_flags(const Vector3 &scale) {
    if (scale.x == 1.0 && scale.y == 1.0 && scale.z == 1.0) return 0;
    return kChainScales | (scale.x == 0.0 || scale.y == 0.0 || scale.z == 0.0 ? kChainZeroScale : 0);
}

// parent_chain_at's `scales` for a chain too long to read in one walk.
int32_t scales_up_chain(const ItemInfo *item_info, HostId item, double time) {
    int32_t flags = 0;
    int length = 0;
    for (HostId walked = item; walked && length < kMaxChainLength; walked = item_info->parent(walked), ++length)
        if (!is_camera(walked)) flags |= scale_flags(query_param(item_info->param, walked, host_abi::kParamScaling, time));
    return flags;
}

// One item of the chain as parent_chain_at reads it.
struct ChainLevel {
    HostId item;
    Vector3 pivot;
    Vector3 scale;
    Vector3 position;
    // The settled angles, when they take part.
    bool rotates;
    bool pivot_rotates;
    Vector3 rotation;
    Vector3 pivot_rotation;
};

}  // namespace

void parent_chain_at(const ItemInfo *item_info, HostId item, double time, ParentChain *out) {
    matrix3_identity(&out->inverse_rotation);
    matrix3_identity(&out->inverse_rotation_scale);
    out->position = Vector3{0.0, 0.0, 0.0};
    out->turns[0] = out->turns[1] = out->turns[2] = 0.0;
    out->scales = 0;
    if (item == nullptr || !usable(item_info)) return;
    HostId chain[kMostWalkedTogether];
    int length = 0;
    HostId current = item;
    for (; current != nullptr && length < kMostWalkedTogether; ++length) {
        chain[length] = current;
        current = item_info->parent(current);
    }
    if (current != nullptr) {
        chain_inverse_rotation(item_info, item, time, &out->inverse_rotation);
        chain_inverse_rotation_scale(item_info, item, time, &out->inverse_rotation_scale);
        item_world_position(item_info, item, time, &out->position);
        turns_up_chain(item_info, item, time, out->turns);
        out->scales = scales_up_chain(item_info, item, time);
        return;
    }
    const ItemParamFn param = item_info->param;
    ChainLevel levels[kMostWalkedTogether];
    for (int i = 0; i < length; ++i) {
        ChainLevel &level = levels[i];
        level.item = chain[i];
        const bool camera = is_camera(level.item);
        level.pivot = i > 0 ? query_param(param, level.item, host_abi::kParamPivot, time) : Vector3{0.0, 0.0, 0.0};
        level.scale = camera ? Vector3{1.0, 1.0, 1.0} : query_param(param, level.item, host_abi::kParamScaling, time);
        out->scales |= scale_flags(level.scale);
        level.rotation = query_param(param, level.item, host_abi::kParamRotation, time);
        add_turns(out->turns, level.rotation);
        level.pivot_rotation = query_param(param, level.item, host_abi::kParamPivotRotation, time);
        level.position = query_param(param, level.item, host_abi::kParamPosition, time);
        level.rotates = vec3_nonzero_mask(&level.rotation) != 0;
        level.pivot_rotates = vec3_exact_nonzero_mask(&level.pivot_rotation) != 0;
        if (level.rotates) hpb_round_single(&level.rotation, 0);
        if (level.pivot_rotates) hpb_round_single(&level.pivot_rotation, 1);
    }
    // The inverses from the root down, as chain_inverse builds them.
    for (int i = length - 1; i >= 0; --i) {
        const ChainLevel &level = levels[i];
        Matrix3 factor;
        if (level.pivot_rotates) {
            const Vector3 negated{-level.pivot_rotation.x, -level.pivot_rotation.y, -level.pivot_rotation.z};
            hpb_to_matrix3_reverse(&factor, &negated);
            matrix3_multiply(&out->inverse_rotation, &out->inverse_rotation, &factor);
            matrix3_multiply(&out->inverse_rotation_scale, &out->inverse_rotation_scale, &factor);
        }
        if (level.rotates) {
            const Vector3 negated{-level.rotation.x, -level.rotation.y, -level.rotation.z};
            hpb_to_matrix3_reverse(&factor, &negated);
            matrix3_multiply(&out->inverse_rotation, &out->inverse_rotation, &factor);
            matrix3_multiply(&out->inverse_rotation_scale, &out->inverse_rotation_scale, &factor);
        }
        if (!is_camera(level.item)) {
            matrix3_identity(&factor);
            factor.m[0] = reciprocal_or_one(level.scale.x);
            factor.m[4] = reciprocal_or_one(level.scale.y);
            factor.m[8] = reciprocal_or_one(level.scale.z);
            matrix3_multiply(&out->inverse_rotation_scale, &out->inverse_rotation_scale, &factor);
        }
    }
    // The position from the item up, as item_world_position carries it.
    out->position = levels[0].position;
    for (int i = 1; i < length; ++i) {
        const ChainLevel &level = levels[i];
        const double to_pivot[3] = {-level.pivot.x, -level.pivot.y, -level.pivot.z};
        times(&out->position, kIdentity, to_pivot);
        if (!is_camera(level.item)) {
            const double factor[9] = {level.scale.x, 0.0, 0.0, 0.0, level.scale.y, 0.0, 0.0, 0.0, level.scale.z};
            times(&out->position, factor, kNoTranslation);
        }
        Matrix3 factor;
        if (level.rotates) {
            hpb_to_matrix3(&factor, &level.rotation);
            times(&out->position, factor.m, kNoTranslation);
        }
        if (level.pivot_rotates) {
            hpb_to_matrix3(&factor, &level.pivot_rotation);
            times(&out->position, factor.m, kNoTranslation);
        }
        const double to_position[3] = {level.position.x, level.position.y, level.position.z};
        times(&out->position, kIdentity, to_position);
    }
}
