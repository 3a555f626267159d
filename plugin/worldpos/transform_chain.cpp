#include "transform_chain.h"

#include <cstddef>

#include "plugin/support/item_id.h"

namespace {

// The host may leave the vector alone for an item it does not know; read that as zeros.
Vector3 query_param(ItemParamFn param, HostId item, int code, double time) {
    double values[3] = {0.0, 0.0, 0.0};
    param(item, code, time, values);
    return Vector3{values[0], values[1], values[2]};
}

bool is_camera(HostId item) { return item_id_kind(item_id_value(item)) == host_abi::kIdKindCamera; }

double reciprocal_or_one(double scale) { return scale == 0.0 ? 1.0 : 1.0 / scale; }

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

// Nothing carried: a rotation alone.
KR_INLINE void times(std::nullptr_t *, const double *, const double *) {}

void affine_identity(Affine *out) {
    *out = Affine{{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0}};
}

void add_turns(double turns[3], const Vector3 &angles) {
    if (!turns) return;
    turns[0] += angles.x;
    turns[1] += angles.y;
    turns[2] += angles.z;
}

// The parts of an item a composition reads.
constexpr unsigned kReadRotations = 1;  // rotation and pivot rotation
constexpr unsigned kReadScale = 2;
constexpr unsigned kReadPivot = 4;
constexpr unsigned kReadPosition = 8;

// One item of a chain at one time, as every composition takes it: read once,
// its angles settled where they take part. Parts not read are zero (scale 1).
struct ChainLevel {
    HostId item;
    bool camera;  // brings no scale
    Vector3 pivot;
    Vector3 scale;
    Vector3 position;
    Vector3 angles;  // its rotation as the host gives it (its turns)
    bool rotates;
    bool pivot_rotates;
    Vector3 rotation;  // settled
    Vector3 pivot_rotation;
};

// The host is asked in the order the factors are taken: forward, pivot,
// scale, rotation, pivot rotation, position; backward (kReadBackward), pivot
// rotation, rotation, scale.
constexpr unsigned kReadBackward = 16;

ChainLevel read_level(ItemParamFn param, HostId item, double time, unsigned parts) {
    ChainLevel level{item, is_camera(item), {0.0, 0.0, 0.0}, {1.0, 1.0, 1.0}, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0},
                     false, false, {0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}};
    const bool backward = (parts & kReadBackward) != 0;
    const bool scaled = (parts & kReadScale) && !level.camera;
    if (parts & kReadPivot) level.pivot = query_param(param, item, host_abi::kParamPivot, time);
    if (scaled && !backward) level.scale = query_param(param, item, host_abi::kParamScaling, time);
    if (parts & kReadRotations) {
        if (backward) level.pivot_rotation = query_param(param, item, host_abi::kParamPivotRotation, time);
        level.angles = level.rotation = query_param(param, item, host_abi::kParamRotation, time);
        if (!backward) level.pivot_rotation = query_param(param, item, host_abi::kParamPivotRotation, time);
        level.rotates = vec3_nonzero_mask(&level.rotation) != 0;
        level.pivot_rotates = vec3_exact_nonzero_mask(&level.pivot_rotation) != 0;
        if (level.rotates) hpb_round_single(&level.rotation, 0);
        if (level.pivot_rotates) hpb_round_single(&level.pivot_rotation, 1);
    }
    if (scaled && backward) level.scale = query_param(param, item, host_abi::kParamScaling, time);
    if (parts & kReadPosition) level.position = query_param(param, item, host_abi::kParamPosition, time);
    return level;
}

bool scales(const ChainLevel &level) {
    return !(level.scale.x == 1.0 && level.scale.y == 1.0 && level.scale.z == 1.0);
}

// The one factor sequence every composition takes an item through. Forward,
// as a point of its child's space goes up: to its pivot, its scale, its
// rotation, its pivot rotation, then to its position. The rotations also go
// into `rotation` when given.
template <typename Carried>
KR_INLINE void rotations_forward(const ChainLevel &level, Carried *transform, Matrix3 *rotation) {
    Matrix3 factor;
    if (level.rotates) {
        hpb_to_matrix3(&factor, &level.rotation);
        if (rotation) matrix3_multiply(rotation, rotation, &factor);
        times(transform, factor.m, kNoTranslation);
    }
    if (level.pivot_rotates) {
        hpb_to_matrix3(&factor, &level.pivot_rotation);
        if (rotation) matrix3_multiply(rotation, rotation, &factor);
        times(transform, factor.m, kNoTranslation);
    }
}

template <typename Carried>
KR_INLINE void level_forward(const ChainLevel &level, Carried *transform, Matrix3 *rotation) {
    const double to_pivot[3] = {-level.pivot.x, -level.pivot.y, -level.pivot.z};
    times(transform, kIdentity, to_pivot);
    if (!level.camera) {
        const double factor[9] = {level.scale.x, 0.0, 0.0, 0.0, level.scale.y, 0.0, 0.0, 0.0, level.scale.z};
        times(transform, factor, kNoTranslation);
    }
    rotations_forward(level, transform, rotation);
    const double to_position[3] = {level.position.x, level.position.y, level.position.z};
    times(transform, kIdentity, to_position);
}

// And back, as the inverse chains take it from the root down: the inverse of
// its pivot rotation, then of its rotation, into both accumulators given;
// then of its scale into `with_scale` (a zero scale taken as 1).
void level_inverse(const ChainLevel &level, Matrix3 *rotation, Matrix3 *with_scale) {
    Matrix3 factor;
    if (level.pivot_rotates) {
        const Vector3 negated{-level.pivot_rotation.x, -level.pivot_rotation.y, -level.pivot_rotation.z};
        hpb_to_matrix3_reverse(&factor, &negated);
        if (rotation) matrix3_multiply(rotation, rotation, &factor);
        if (with_scale) matrix3_multiply(with_scale, with_scale, &factor);
    }
    if (level.rotates) {
        const Vector3 negated{-level.rotation.x, -level.rotation.y, -level.rotation.z};
        hpb_to_matrix3_reverse(&factor, &negated);
        if (rotation) matrix3_multiply(rotation, rotation, &factor);
        if (with_scale) matrix3_multiply(with_scale, with_scale, &factor);
    }
    if (with_scale && !level.camera) {
        matrix3_identity(&factor);
        factor.m[0] = reciprocal_or_one(level.scale.x);
        factor.m[4] = reciprocal_or_one(level.scale.y);
        factor.m[8] = reciprocal_or_one(level.scale.z);
        matrix3_multiply(with_scale, with_scale, &factor);
    }
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
    const unsigned parts = kReadBackward | kReadRotations | (with_scale ? kReadScale : 0u);
    for (int i = length - 1; i >= 0; --i) {
        const ChainLevel level = read_level(item_info->param, chain[i], time, parts);
        level_inverse(level, with_scale ? nullptr : out, with_scale ? out : nullptr);
    }
}

}  // namespace

void chain_world_rotation(ItemParentFn parent, ItemParamFn param, HostId item, double time, Matrix3 *out) {
    matrix3_identity(out);
    if (parent == nullptr || param == nullptr) return;
    HostId current = item;
    for (int length = 0; current != nullptr && length < kMaxChainLength; ++length) {
        rotations_forward<std::nullptr_t>(read_level(param, current, time, kReadRotations), nullptr, out);
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
                        double turns[3], double more_turns[3] = nullptr, int32_t *scales_seen = nullptr) {
    const ChainLevel level =
        read_level(param, ancestor, time, kReadPivot | kReadScale | kReadRotations | kReadPosition);
    if (scales_seen && scales(level)) *scales_seen = 1;
    add_turns(turns, level.angles);
    add_turns(more_turns, level.angles);
    level_forward(level, transform, rotation);
    return level.position;
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
    const ChainLevel level = read_level(item_info->param, item, time, kReadRotations | kReadPosition);
    add_turns(own_turns, level.angles);
    rotations_forward<std::nullptr_t>(level, nullptr, rotation);
    // The item's own translation is where its position's row starts.
    *position = level.position;
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
    ChainLevel levels[kMostWalkedTogether];
    for (int i = 0; i < length; ++i) {
        // The parent's own pivot does not place it; its ancestors' do.
        levels[i] = read_level(item_info->param, chain[i], time,
                               kReadScale | kReadRotations | kReadPosition | (i > 0 ? kReadPivot : 0u));
        out->scales |= scale_flags(levels[i].scale);
        add_turns(out->turns, levels[i].angles);
    }
    // The inverses from the root down, as chain_inverse builds them.
    for (int i = length - 1; i >= 0; --i) level_inverse(levels[i], &out->inverse_rotation, &out->inverse_rotation_scale);
    // The position from the item up, as item_world_position carries it.
    out->position = levels[0].position;
    for (int i = 1; i < length; ++i) level_forward(levels[i], &out->position, nullptr);
}
