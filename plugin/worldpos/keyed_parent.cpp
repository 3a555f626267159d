#include "keyed_parent.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "plugin/support/item_id.h"
#include "growing_block.h"
#include "key_frame_table.h"
#include "key_writes.h"
#include "motion_hold.h"
#include "portable_trig.h"
#include "transform_chain.h"
#include "transform_math.h"

namespace {

constexpr int32_t kFailed = -1;
// Rows of a chain's inverse that differ in length or angle by more than this
// share of their length: the chain shears.
constexpr double kShearTolerance = 1e-9;
// A world scale that would change by less than this share is what a file's
// single precision makes of a scale of 1 (1.0000001, 0.99999988): the
// item's scale keys are left as they are rather than rewritten with noise.
// The same share of an axis's length between where the item's new scale
// puts it and where it was: its world axes are not kept.
constexpr double kScaleChangeTolerance = 1e-6;

struct ChannelSlot {
    HostId envelope;
    int32_t key_count;
    HostId first_key;  // null: the channel takes no part in the frame range or the marking
    double first_time;
    double last_time;
};

struct FrameRange {
    int32_t first;
    int32_t count;
};

// A scale key to write: an existing one given a value, or one created.
struct ScaleWrite {
    double time;
    HostId key;  // null: created at `time`
    double value;
    int32_t channel;  // kFirstScaleChannel to kKeyedChannels - 1
};

// Why an item's world scale was not kept, for the message at the end.
constexpr int32_t kScaleUnkeptSheared = 1;
constexpr int32_t kScaleUnkeptZero = 2;
constexpr int32_t kScaleUnkeptNoChannel = 4;
constexpr int32_t kScaleUnkeptRefused = 8;
constexpr int32_t kScaleUnkeptCamera = 16;

struct KeyedParentRun {
    const HostContext *context;
    uint64_t new_parent;
    KeyFrameTable table;
    KeyWriteList writes;
    // The frames the table holds for the item in hand.
    int32_t range_first;
    int32_t range_count;
    ScaleWrite *scale_writes;
    int32_t scale_write_count;
    int32_t scale_write_capacity;
    // The item's scale keys, and its solves at times of theirs it is not
    // solved at otherwise, while its scale writes are planned.
    struct ScaleKey {
        double time;
        HostId key;
        double value;
        int32_t frame;
    } *scale_keys;
    int32_t scale_key_count;
    int32_t scale_key_capacity;
    KeySolve *extra_solves;
    int32_t extra_solve_count;
    int32_t extra_solve_capacity;
    struct ScaleUnkept {
        HostId item;
        int32_t reasons;
    } *scale_unkept;
    int32_t scale_unkept_count;
    int32_t scale_unkept_capacity;
    HostId last_selected;  // the item of the last step, or null
    // Holding the motion between keys: the frames checked for the item in
    // hand, and the items whose motion was not held, for the message at the end.
    bool holding;
    int32_t checked_first;
    int32_t checked_last;
    struct Unheld {
        HostId item;
        HoldResult result;
    } *unheld;
    int32_t unheld_count;
    int32_t unheld_capacity;
    // The user pressed Abort and an item or a hold was left for it.
    bool stopped;
};

double key_time(const HostContext *context, HostId envelope, HostId key) {
    double time = 0.0;
    context->envelopes->key_get(envelope, key, host_abi::kKeyTagTime, &time);
    return time;
}

// The item's first nine channels. A group that ends early, or a channel
// without an envelope or keys, leaves the slot unkeyed. Returns whether any
// position or rotation channel has keys.
bool read_channel_slots(const HostContext *context, HostId item, ChannelSlot slots[kKeyedChannels]) {
    const HostId group = context->item_info->channel_group(item);
    HostId channel = nullptr;
    bool any_keyed = false;
    for (int i = 0; i < kKeyedChannels; ++i) {
        ChannelSlot &slot = slots[i];
        slot = ChannelSlot{nullptr, 0, nullptr, 0.0, 0.0};
        // Asking again from null would start over at the first channel.
        if (!group || (i > 0 && !channel)) continue;
        channel = context->channel_info->next_channel(group, channel);
        if (!channel) continue;
        slot.envelope = context->channel_info->channel_envelope(channel);
        if (!slot.envelope) continue;
        int32_t key_count = 0;
        context->envelopes->env_get(slot.envelope, group, host_abi::kEnvTagKeyCount, &key_count);
        slot.key_count = key_count;
        if (key_count == 0) continue;
        const HostId first_key = context->envelopes->next_key(slot.envelope, nullptr);
        const HostId last_key = context->envelopes->prev_key(slot.envelope, nullptr);
        if (!first_key || !last_key) continue;
        slot.first_key = first_key;
        slot.first_time = key_time(context, slot.envelope, first_key);
        slot.last_time = key_time(context, slot.envelope, last_key);
        any_keyed = any_keyed || i < kMotionChannels;
    }
    return any_keyed;
}

bool frame_range(const ChannelSlot slots[kMotionChannels], double frames_per_second, FrameRange *range) {
    int64_t first = 0;
    int64_t last = 0;
    bool seen = false;
    for (int i = 0; i < kMotionChannels; ++i) {
        if (!slots[i].first_key) continue;
        int32_t first_frame = 0;
        int32_t last_frame = 0;
        if (!frame_number(slots[i].first_time, frames_per_second, &first_frame) ||
            !frame_number(slots[i].last_time, frames_per_second, &last_frame))
            return false;
        if (!seen || first_frame < first) first = first_frame;
        if (!seen || last_frame > last) last = last_frame;
        seen = true;
    }
    const int64_t count = last - first + 1;
    if (!seen || count < 1 || count > INT32_MAX) return false;
    range->first = static_cast<int32_t>(first);
    range->count = static_cast<int32_t>(count);
    return true;
}

// Walks the keys of a keyed channel (none for one without keys), giving
// `visit` each key, its time and its frame's index in `range`. False when a
// key lies outside the range (a time that is not a number), keys do not run
// in time order, the channel's keys never end, or `visit` says so.
template <typename Visit>
bool walk_keys(const HostContext *context, const ChannelSlot &slot, double frames_per_second, const FrameRange &range,
               Visit visit) {
    if (!slot.first_key) return true;
    // The host's count bounds the walk; one that says more than it has
    // still ends where its list ends.
    const int32_t most = slot.key_count > 0 && slot.key_count < kMostKeysPerChannel ? slot.key_count
                                                                                     : kMostKeysPerChannel;
    int32_t walked = 0;
    double previous_time = -HUGE_VAL;
    for (HostId key = slot.first_key; key; key = context->envelopes->next_key(slot.envelope, key)) {
        if (++walked > most) return false;
        const double time = key_time(context, slot.envelope, key);
        int32_t frame = 0;
        if (!frame_number(time, frames_per_second, &frame) || time < previous_time) return false;
        previous_time = time;
        const int64_t index = static_cast<int64_t>(frame) - range.first;
        if (index < 0 || index >= range.count || !visit(key, time, static_cast<int32_t>(index))) return false;
    }
    return true;
}

// Marks every key of the keyed channels into the record of its frame, channel
// 0 to 5 and keys in time order, so a record keeps the last key marked into it,
// and lists each key to be written at its own time. False when a key lies
// outside the range (a time that is not a number), keys do not run in time
// order, a channel's keys never end, or the list could not grow.
bool mark_keys(const HostContext *context, const ChannelSlot slots[kMotionChannels], double frames_per_second,
               const FrameRange &range, KeyFrameRecord *records, KeyWriteList *writes) {
    for (int32_t i = 0; i < range.count; ++i) records[i].keyed_channels = 0;
    key_write_list_clear(writes);
    // Room for as many as the host says the channels hold, at most one a
    // frame, so that the list is not grown by doubling. Only a hint: a host
    // that says too few has the list grow, and one that says too many does
    // not have it fail.
    int64_t keys = 0;
    for (int k = 0; k < kMotionChannels; ++k)
        if (slots[k].first_key) keys += std::min(std::max(slots[k].key_count, 0), range.count);
    key_write_list_reserve(writes, keys);
    for (int k = 0; k < kMotionChannels; ++k) {
        const auto mark = [&](HostId key, double time, int32_t index) {
            KeyFrameRecord &record = records[index];
            record.keyed_channels |= 1u << k;
            record.time = time;
            return key_write_list_add(writes, time, key, k);
        };
        if (!walk_keys(context, slots[k], frames_per_second, range, mark)) return false;
    }
    // A channel without a key in a marked frame gets one at the record's time.
    int64_t created = 0;
    for (int32_t i = 0; i < range.count; ++i) {
        if (!records[i].keyed_channels) continue;
        for (int l = 0; l < kMotionChannels; ++l)
            if (slots[l].envelope && !(records[i].keyed_channels & (1u << l))) ++created;
    }
    key_write_list_reserve(writes, created);
    for (int32_t i = 0; i < range.count; ++i) {
        if (!records[i].keyed_channels) continue;
        for (int l = 0; l < kMotionChannels; ++l)
            if (slots[l].envelope && !(records[i].keyed_channels & (1u << l)) &&
                !key_write_list_add(writes, records[i].time, nullptr, l))
                return false;
    }
    return true;
}

// The inverse of the item's pivot rotation, built as the chain's inverse
// builds each pivot-rotation factor. False when the item has none.
bool inverse_pivot_rotation(const HostContext *context, HostId item, Matrix3 *out) {
    Vector3 angles{0.0, 0.0, 0.0};
    context->item_info->param(item, host_abi::kParamPivotRotation, 0.0, &angles.x);
    if (vec3_exact_nonzero_mask(&angles) == 0) return false;
    hpb_round_single(&angles, 1);
    const Vector3 negated{-angles.x, -angles.y, -angles.z};
    hpb_to_matrix3_reverse(out, &negated);
    return true;
}

// A ChainPose as it is kept, for every time of a take: its rotation is the
// linear part of its transform, bit for bit, wherever no scaling, pivot or
// signed zero comes between them, and then is not kept twice.
struct KeptPose {
    Affine transform;
    double turns[3];
    int32_t rotation;  // in the node's `rotations`, or -1: the transform's linear part
    int32_t scales;    // ChainPose::scales
};

// A selected item and where it stands among the other selected items.
struct SelectionNode {
    HostId item;
    int32_t up;           // the nearest selected ancestor, -1 for none
    int32_t first_child;  // the selected items it is nearest above, in selection order
    int32_t next_sibling;
    int32_t children_left;  // of those, the ones not yet done
    bool done;
    // The times the selected items anywhere below it are solved at, sorted,
    // and the item's ChainPose at each, made just before it is re-parented
    // and kept until the selected items nearest below it are done (those
    // then keep their own for the items below them): its new keys hold its
    // old motion only at its own keys, so theirs is read from here instead.
    double *times;
    int32_t time_count;
    // Items keyed alike gather the same times: one list serves them all.
    // `times_owner`: the node that frees it once its `times_users` are
    // done, or -1 for a list of the node's own.
    int32_t times_owner;
    int32_t times_users;
    double *times_block;
    KeptPose *poses;
    Matrix3 *rotations;
    int32_t rotation_count;
    int32_t rotation_capacity;
};

// The kept ChainPose of `node` at `time`, or null.
// `*cursor` (0 at first) is where the look-up before ended: times asked in
// order are found in one pass.
// The pose is put together in `pose`.
const ChainPose *kept_pose(const SelectionNode *node, double time, int32_t *cursor, ChainPose *pose) {
    if (!node || !node->poses) return nullptr;
    const double *times = node->times;
    int32_t at = *cursor;
    if (at > 0 && !(times[at - 1] < time))
        at = static_cast<int32_t>(std::lower_bound(times, times + at, time) - times);
    while (at < node->time_count && times[at] < time) ++at;
    *cursor = at;
    if (!(at < node->time_count && times[at] == time)) return nullptr;
    const KeptPose &kept = node->poses[at];
    pose->transform = kept.transform;
    pose->scales = kept.scales;
    pose->unused = 0;
    for (int a = 0; a < 3; ++a) pose->turns[a] = kept.turns[a];
    if (kept.rotation >= 0)
        pose->rotation = node->rotations[kept.rotation];
    else
        std::memcpy(pose->rotation.m, kept.transform.m, sizeof pose->rotation.m);
    return pose;
}

struct ItemSolve {
    HostId item;
    HostId parent;  // null: no new parent
    bool camera;    // takes no scale of its own
    // Its scale channels hold at most one key each: its own scale, read
    // once, is `own_scale` at every time.
    bool own_scale_constant;
    double own_scale[3];
    bool has_pivot_rotation;
    Matrix3 inverse_pivot_rotation;
    Vector3 parent_pivot;
    const SelectionNode *above;  // its nearest selected ancestor already re-parented, or null
};

// How far a chain whose inverse rotation-and-scale is `inverse` stretches a
// step, and whether it shears: a chain that scales evenly inverts to rows of
// one length at right angles.
void stretch_of(const Matrix3 &inverse, double *scale, int32_t *sheared) {
    const double *m = inverse.m;
    double lengths[3];
    for (int r = 0; r < 3; ++r) lengths[r] = std::sqrt(m[3 * r] * m[3 * r] + m[3 * r + 1] * m[3 * r + 1] + m[3 * r + 2] * m[3 * r + 2]);
    const double largest = std::fmax(lengths[0], std::fmax(lengths[1], lengths[2]));
    *scale = largest > 0.0 ? 1.0 / largest : 1.0;
    *sheared = 0;
    for (int r = 0; r < 3; ++r) {
        const int n = (r + 1) % 3;
        const double dot = m[3 * r] * m[3 * n] + m[3 * r + 1] * m[3 * n + 1] + m[3 * r + 2] * m[3 * n + 2];
        if (std::fabs(lengths[r] - largest) > kShearTolerance * largest || std::fabs(dot) > kShearTolerance * largest * largest)
            *sheared = 1;
    }
}

// The world pose a solve starts from, kept with it.
void keep_world_pose(KeySolve *record, const Matrix3 &rotation, const Vector3 &position) {
    record->world_position[0] = position.x;
    record->world_position[1] = position.y;
    record->world_position[2] = position.z;
    for (int i = 0; i < 9; ++i) record->world_rotation[i] = rotation.m[i];
}

// The item's own scale at `time` as the host gives it (1 for a camera).
void own_scale_at(const HostContext *context, const ItemSolve &solve, double time, double out[3]) {
    if (solve.camera || solve.own_scale_constant) {
        for (int k = 0; k < 3; ++k) out[k] = solve.own_scale[k];
        return;
    }
    out[0] = out[1] = out[2] = 0.0;  // as the chain reads a scale the host leaves alone
    context->item_info->param(solve.item, host_abi::kParamScaling, time, out);
}

// The item's own scale at the record's time that keeps the lengths of its
// world axes, the rows of its old world linear map L (its scale, rotation
// and pivot rotation, then its old ancestors'): s_k = |row k of L| /
// |row k of R C|, R the solved rotation (`turned`) and C its pivot rotation
// times the new chain's linear map, whose inverse is `inverse_chain_scale`
// (the identity for no parent). Each is signed as row k of L C^-1 lies along
// row k of R: a mirrored old chain gives a negative scale. Where S R C is
// not L the chains shear the item, and no scale of its own gives back its
// world axes: the lengths are still kept, and the record says so. A zero
// scale on the new chain leaves the item's own scale.
void solve_scale(const HostContext *context, const ItemSolve &solve, KeySolve *record, const Matrix3 &turned,
                 const Matrix3 &inverse_chain_scale, int32_t *kept_cursor) {
    ChainPose kept;
    const ChainPose *above = kept_pose(solve.above, record->time, kept_cursor, &kept);
    ChainPose pose;
    item_chain_pose(context->item_info, solve.item, record->time, above ? solve.above->item : nullptr, above, &pose);
    Matrix3 world;
    for (int i = 0; i < 9; ++i) world.m[i] = pose.transform.m[i];
    Matrix3 inverse_chain = inverse_chain_scale;
    if (solve.has_pivot_rotation) matrix3_multiply(&inverse_chain, &inverse_chain, &solve.inverse_pivot_rotation);
    Matrix3 chain;
    const bool keeps = !(record->scaling & kNewChainZeroScale) && matrix3_inverse(&chain, &inverse_chain);
    Matrix3 wanted;  // L C^-1: S R, were there no shear
    Matrix3 placed;  // R C
    matrix3_multiply(&wanted, &world, &inverse_chain);
    if (keeps) matrix3_multiply(&placed, &turned, &chain);
    double *const scale = record->values + kFirstScaleChannel;
    for (int k = 0; k < 3; ++k) {
        record->world_lengths[k] = matrix3_row_length(&world, k);
        scale[k] = record->own_scale[k];
        const double placed_length = keeps ? matrix3_row_length(&placed, k) : 0.0;
        if (!(placed_length > 0.0)) continue;
        scale[k] = record->world_lengths[k] / placed_length;
        const double *w = wanted.m + 3 * k;
        const double *r = turned.m + 3 * k;
        if (w[0] * r[0] + w[1] * r[1] + w[2] * r[2] < 0.0) scale[k] = -scale[k];
        const double *p = placed.m + 3 * k;
        const double *l = world.m + 3 * k;
        const double dx = scale[k] * p[0] - l[0], dy = scale[k] * p[1] - l[1], dz = scale[k] * p[2] - l[2];
        if (!(std::sqrt(dx * dx + dy * dy + dz * dz) <= kScaleChangeTolerance * record->world_lengths[k]))
            record->scaling |= kScaleSheared;
    }
}

// The item's local position and rotation at `time` that give its current world
// position and rotation under the new parent, and its scale that gives its
// world scale (see solve_scale). False when position or rotation are not finite.
bool solve_record(const HostContext *context, const ItemSolve &solve, KeySolve *record, int32_t *kept_cursor) {
    const ItemInfo *info = context->item_info;
    const double time = record->time;
    double *const values = record->values;
    Matrix3 rotation;
    Vector3 position;
    if (record->posed) {
        position = Vector3{record->world_position[0], record->world_position[1], record->world_position[2]};
        for (int i = 0; i < 9; ++i) rotation.m[i] = record->world_rotation[i];
        record->scaling &= kOldChainScales;  // as keep_poses found it
    } else {
        ChainPose kept;
        const ChainPose *above = kept_pose(solve.above, time, kept_cursor, &kept);
        int32_t ancestors_scale = 0;
        item_world_pose(info, solve.item, time, above ? solve.above->item : nullptr, above, &rotation, &position,
                        record->own_turns, record->ancestor_turns, &ancestors_scale);
        keep_world_pose(record, rotation, position);
        record->scaling = ancestors_scale ? kOldChainScales : 0;
    }
    Matrix3 inverse_chain_scale;
    matrix3_identity(&inverse_chain_scale);
    record->parent_scale = 1.0;
    record->sheared = 0;
    for (int a = 0; a < 3; ++a) record->new_ancestor_turns[a] = 0.0;

    if (!solve.parent) {
        // Without a parent the world values are the local ones, once the item's
        // own pivot rotation, which applies on top of them, is taken out.
        if (solve.has_pivot_rotation) {
            matrix3_multiply(&rotation, &rotation, &solve.inverse_pivot_rotation);
            matrix3_normalize_rows(&rotation);
        }
    } else {
        ParentChain chain;
        parent_chain_at(info, solve.parent, time, &chain);
        for (int a = 0; a < 3; ++a) record->new_ancestor_turns[a] = chain.turns[a];
        if (chain.scales & kChainScales) record->scaling |= kNewChainScales;
        if (chain.scales & kChainZeroScale) record->scaling |= kNewChainZeroScale;
        inverse_chain_scale = chain.inverse_rotation_scale;
        Matrix3 compensation = chain.inverse_rotation;
        if (solve.has_pivot_rotation) matrix3_multiply(&compensation, &compensation, &solve.inverse_pivot_rotation);
        const Matrix3 &inverse_rotation_scale = chain.inverse_rotation_scale;
        stretch_of(inverse_rotation_scale, &record->parent_scale, &record->sheared);
        const Vector3 parent_position = chain.position;

        Vector3 offset{position.x - parent_position.x, position.y - parent_position.y,
                       position.z - parent_position.z};
        vec3_times_matrix3(&offset, &offset, &inverse_rotation_scale);
        position = Vector3{offset.x + solve.parent_pivot.x, offset.y + solve.parent_pivot.y,
                           offset.z + solve.parent_pivot.z};
        matrix3_multiply(&rotation, &rotation, &compensation);
        matrix3_normalize_rows(&rotation);
    }
    own_scale_at(context, solve, time, record->own_scale);
    if (record->scaling & (kOldChainScales | kNewChainScales)) {
        solve_scale(context, solve, record, rotation, inverse_chain_scale, kept_cursor);
    } else {
        // Nothing scales on either chain: the world lengths are the item's own.
        for (int k = 0; k < 3; ++k) {
            values[kFirstScaleChannel + k] = record->own_scale[k];
            record->world_lengths[k] = std::fabs(record->own_scale[k]);
        }
    }
    Vector3 angles;
    matrix3_to_hpb(&angles, &rotation);
    values[0] = position.x;
    values[1] = position.y;
    values[2] = position.z;
    values[3] = angles.x;
    values[4] = angles.y;
    values[5] = angles.z;
    for (int i = 0; i < kMotionChannels; ++i)
        if (!std::isfinite(values[i])) return false;
    return true;
}

constexpr double kHalfTurn = 3.141592653589793;
constexpr double kTurn = 6.283185307179586;

// `angle` moved by the whole turns that bring it nearest to `wanted`. A host
// that answers with no number, or a number of turns beyond any animation,
// leaves the angle as it is.
double nearest_turns(double angle, double wanted) {
    const double apart = wanted - angle;
    // Less than half a turn apart (the usual case) rounds to a zero of the
    // difference's sign, without the division.
    const double turns = std::fabs(apart) < 3.0 ? std::copysign(0.0, apart) : nearest_whole(apart / kTurn);
    return std::fabs(turns) < 0x1p31 ? angle + turns * kTurn : angle;
}

// How far `angles`, each given its nearest whole turns, lie from `wanted`.
double spelling_distance(const double angles[3], const double wanted[3], double out[3]) {
    double sum = 0.0;
    for (int a = 0; a < 3; ++a) {
        out[a] = nearest_turns(angles[a], wanted[a]);
        sum += (out[a] - wanted[a]) * (out[a] - wanted[a]);
    }
    return sum;
}

// The same rotation spelled the other way round: heading and bank half a turn
// on, pitch mirrored about a quarter turn.
void mirrored_spelling(const double angles[3], double out[3]) {
    out[0] = angles[0] + kHalfTurn;
    out[1] = kHalfTurn - angles[1];
    out[2] = angles[2] + kHalfTurn;
}

// Rewrites `angles` as the spelling of the same rotation, with whole turns,
// nearest to `wanted`: the plain one unless the mirrored one is nearer.
void nearest_spelling(double angles[3], const double wanted[3]) {
    double mirrored[3];
    mirrored_spelling(angles, mirrored);
    double plain_near[3];
    double mirrored_near[3];
    const double plain_distance = spelling_distance(angles, wanted, plain_near);
    const double mirrored_distance = spelling_distance(mirrored, wanted, mirrored_near);
    const double *chosen = mirrored_distance < plain_distance ? mirrored_near : plain_near;
    for (int a = 0; a < 3; ++a) angles[a] = chosen[a];
}

// Solved angles come back from a matrix, pitch within a quarter turn and the
// others within half a turn of zero. Written as they come, turns the animator
// keyed (a wheel keyed ten turns apart, a heading keyed through 180 degrees)
// would be lost, and where the pitch passes a quarter turn heading and bank
// would flip by half a turn from one key to the next: the host interpolates
// the long way round between them. So each solve takes the spelling and whole
// turns nearest to the angles the item should have there: those of the
// previous solve plus the change of angle the item should make under its new
// parent since then (its own change plus its old ancestors', less its new
// ancestors'). The first starts from the item's own angles. At the solved
// times the rotation is the same whichever spelling is written.
void keep_angles_continuous(KeySolve *solves, int32_t count) {
    bool have_previous = false;
    bool previous_mirrored = false;  // the written angles follow the estimate's mirrored spelling
    double previous_estimate[3] = {0.0, 0.0, 0.0};
    double previous_written[3] = {0.0, 0.0, 0.0};
    for (int32_t i = 0; i < count; ++i) {
        const double *own = solves[i].own_turns;
        const double *old_ancestors = solves[i].ancestor_turns;
        const double *new_ancestors = solves[i].new_ancestor_turns;
        double estimate[3];
        double wanted[3];
        for (int a = 0; a < 3; ++a) {
            estimate[a] = own[a] + old_ancestors[a] - new_ancestors[a];
            // In the mirrored spelling pitch runs the other way.
            const double change = estimate[a] - previous_estimate[a];
            wanted[a] = !have_previous ? own[a]
                        : previous_mirrored && a == 1 ? previous_written[a] - change
                                                      : previous_written[a] + change;
        }
        double *angles = solves[i].values + 3;
        nearest_spelling(angles, wanted);

        double mirrored_estimate[3];
        mirrored_spelling(estimate, mirrored_estimate);
        double unused[3];
        previous_mirrored =
            spelling_distance(mirrored_estimate, angles, unused) < spelling_distance(estimate, angles, unused);
        for (int a = 0; a < 3; ++a) {
            previous_estimate[a] = estimate[a];
            previous_written[a] = angles[a];
        }
        have_previous = true;
    }
}

void write_key(const HostContext *context, const ChannelSlot slots[kMotionChannels], const KeyWriteList &list,
               const KeyWrite &write) {
    if (write.channel == kSampleOnly) return;
    const HostId envelope = slots[write.channel].envelope;
    double value = list.solves[write.solve].values[write.channel];
    if (write.key)
        context->envelopes->key_set(envelope, write.key, host_abi::kKeyTagValue, &value);
    else
        context->envelopes->create_key(envelope, write.time, value);
}

// The parent an item is solved for: a bone cannot leave its object, so
// cleared it goes under the object itself.
HostId parent_for(const KeyedParentRun &run, HostId item) {
    const uint64_t item_id = item_id_value(item);
    return item_id_handle(run.new_parent == 0 && item_id_kind(item_id) == host_abi::kIdKindBone
                              ? bone_owner_object(item_id)
                              : run.new_parent);
}

// Ready: keys to write; Sampled: and the frames to hold the motion at between them.
enum class Prepared { Skip, Ready, Sampled, Failed };

// Reads the item's channels and the frames its keys span. Skip: nothing to
// do for it; Failed: its key times make no frame range; Ready otherwise.
Prepared read_item_channels(const KeyedParentRun &run, HostId item, ChannelSlot slots[kKeyedChannels],
                            FrameRange *range) {
    const HostContext *context = run.context;
    // Already under the new parent (un-parenting an item without one): its
    // keys would come back as they are, give or take rounding.
    if (context->item_info->parent(item) == parent_for(run, item)) return Prepared::Skip;
    if (!read_channel_slots(context, item, slots)) return Prepared::Skip;  // unkeyed: left as it is
    return frame_range(slots, context->scene_info->frames_per_second, range) ? Prepared::Ready : Prepared::Failed;
}

// Reads the item's channels and marks its keys into the run's table and
// write list. Skip: nothing to do for it.
Prepared prepare_item(KeyedParentRun &run, HostId item, ChannelSlot slots[kKeyedChannels]) {
    const HostContext *context = run.context;
    const double frames_per_second = context->scene_info->frames_per_second;
    FrameRange range;
    const Prepared read = read_item_channels(run, item, slots, &range);
    if (read != Prepared::Ready) return read;
    if (!key_frame_table_reserve(&run.table, range.count) ||
        !mark_keys(context, slots, frames_per_second, range, run.table.records, &run.writes))
        return Prepared::Failed;
    run.range_first = range.first;
    run.range_count = range.count;
    run.checked_first = run.checked_last = 0;
    const bool sampled =
        run.holding && checked_frame_range(context, item, parent_for(run, item), range.first,
                                           range.first + range.count - 1, &run.checked_first, &run.checked_last);
    if (sampled) {
        // The samples' count is known: room for them at once (a hint, as in mark_keys).
        key_write_list_reserve(&run.writes, 2 * (static_cast<int64_t>(run.checked_last) - run.checked_first) + 1);
        if (!add_sample_writes(&run.writes, run.checked_first, run.checked_last, frames_per_second, run.table.records,
                               range.first, range.count))
            return Prepared::Failed;
    }
    if (!key_write_list_group(&run.writes)) return Prepared::Failed;
    return sampled ? Prepared::Sampled : Prepared::Ready;
}

// Notes an item whose motion was not held between keys, for the message at
// the end. An item is never lost for want of memory here: the note is.
void note_unheld(KeyedParentRun &run, HostId item, const HoldResult &result) {
    if (grow_block(&run.unheld, &run.unheld_capacity, static_cast<int64_t>(run.unheld_count) + 1))
        run.unheld[run.unheld_count++] = KeyedParentRun::Unheld{item, result};
}

// Notes an item whose world scale was not kept, for the message at the end.
void note_scale_unkept(KeyedParentRun &run, HostId item, int32_t reasons) {
    if (grow_block(&run.scale_unkept, &run.scale_unkept_capacity, static_cast<int64_t>(run.scale_unkept_count) + 1))
        run.scale_unkept[run.scale_unkept_count++] = KeyedParentRun::ScaleUnkept{item, reasons};
}

bool solve_all(const HostContext *context, const ItemSolve &solve, KeyWriteList &writes) {
    int32_t kept_cursor = 0;
    for (int32_t i = 0; i < writes.solve_count; ++i)
        if (!solve_record(context, solve, &writes.solves[i], &kept_cursor)) return false;
    keep_angles_continuous(writes.solves, writes.solve_count);
    return true;
}

// The item in hand between its solve and its key writes.
struct ItemInHand {
    ChannelSlot slots[kKeyedChannels];
    ItemSolve solve;
    Prepared prepared;
    HoldResult held;
    bool rewrite_scale;      // its scale keys are in the run's scale writes
    int32_t scale_unkept;    // kScaleUnkept*
};

// The solve at exactly `time`, or -1.
int32_t solve_at(const KeyWriteList &writes, double time) {
    const KeySolve *const begin = writes.solves;
    const KeySolve *const end = begin + writes.solve_count;
    const KeySolve *found =
        std::lower_bound(begin, end, time, [](const KeySolve &solve, double t) { return solve.time < t; });
    return found != end && found->time == time ? static_cast<int32_t>(found - begin) : -1;
}

bool add_scale_write(KeyedParentRun &run, double time, HostId key, double value, int32_t channel) {
    if (!grow_block(&run.scale_writes, &run.scale_write_capacity, static_cast<int64_t>(run.scale_write_count) + 1))
        return false;
    run.scale_writes[run.scale_write_count++] = ScaleWrite{time, key, value, channel};
    return true;
}

// What a solve says of the item's world scale: kept or not, and whether its
// scale has to change to keep it.
bool judge_scale(const KeySolve &solve, int32_t *unkept) {
    if (!(solve.scaling & (kOldChainScales | kNewChainScales))) return false;
    if (solve.scaling & kScaleSheared) *unkept |= kScaleUnkeptSheared;
    if (solve.scaling & kNewChainZeroScale) *unkept |= kScaleUnkeptZero;
    bool changes = false;
    for (int k = 0; k < 3; ++k) {
        const double was = solve.own_scale[k];
        const double now = solve.values[kFirstScaleChannel + k];
        changes = changes || std::fabs(now - was) > kScaleChangeTolerance * std::fmax(std::fabs(was), std::fabs(now));
    }
    return changes;
}

// The item's solve at `time`: one of the run's, or one made for a scale key
// off them (`extra`, in time order). Null when there is none (its values
// were not numbers).
const KeySolve *scale_solve_at(const KeyedParentRun &run, double time) {
    const int32_t at = solve_at(run.writes, time);
    if (at >= 0) return &run.writes.solves[at];
    const KeySolve *const begin = run.extra_solves;
    const KeySolve *const end = begin + run.extra_solve_count;
    const KeySolve *found =
        std::lower_bound(begin, end, time, [](const KeySolve &solve, double t) { return solve.time < t; });
    return found != end && found->time == time ? found : nullptr;
}

// Whether scale channel `k` has a key in `frame`. A channel's keys come in
// time order, so their frames rise.
bool has_frame(const KeyedParentRun &run, const int32_t channel_begin[], int k, int32_t frame) {
    const KeyedParentRun::ScaleKey *const begin = run.scale_keys + channel_begin[k];
    const KeyedParentRun::ScaleKey *const end = run.scale_keys + channel_begin[k + 1];
    const KeyedParentRun::ScaleKey *found = std::lower_bound(
        begin, end, frame, [](const KeyedParentRun::ScaleKey &key, int32_t f) { return key.frame < f; });
    return found != end && found->frame == frame;
}

// Where the item's world scale would change, the scale keys that keep it,
// planned before the item leaves its old parent. A frame keyed in position
// or rotation gets a key on each scale channel, as mark_keys keys those
// channels: the channel's own key in that frame where it has one, else one
// created at the frame's time. So does a frame where only a scale channel is
// keyed, at the time of its last key there: the scale is then kept on all
// three axes wherever one is keyed. Every existing scale key is given its
// value times the change of scale at its own time, so that the curve does not
// jump between keys. The times off the item's solves are solved here, once
// each; under a selected ancestor re-parented before the item they are
// solved from that ancestor's kept poses, gathered for them too. False when
// the memory could not be had.
bool plan_scale_writes(KeyedParentRun &run, ItemInHand &hand) {
    using ScaleKey = KeyedParentRun::ScaleKey;
    run.scale_write_count = 0;
    run.scale_key_count = 0;
    run.extra_solve_count = 0;
    hand.rewrite_scale = false;
    hand.scale_unkept = 0;
    const KeyWriteList &writes = run.writes;
    bool changes = false;
    for (int32_t i = 0; i < writes.solve_count; ++i) changes = judge_scale(writes.solves[i], &hand.scale_unkept) || changes;
    if (!changes) return true;
    if (hand.solve.camera) {
        hand.scale_unkept |= kScaleUnkeptCamera;
        return true;
    }
    hand.rewrite_scale = true;
    const HostContext *context = run.context;
    const double frames_per_second = context->scene_info->frames_per_second;
    KeyFrameRecord *const records = run.table.records;
    constexpr uint32_t kMotionBits = (1u << kMotionChannels) - 1;
    const auto motion_frame = [&](int32_t frame) {
        const int64_t index = static_cast<int64_t>(frame) - run.range_first;
        return index >= 0 && index < run.range_count && (records[index].keyed_channels & kMotionBits);
    };
    // Each channel's keys, in its order; where each channel's start.
    int32_t channel_begin[kScaleChannels + 1];
    for (int k = 0; k < kScaleChannels; ++k) {
        channel_begin[k] = run.scale_key_count;
        const ChannelSlot &slot = hand.slots[kFirstScaleChannel + k];
        if (!slot.envelope) {
            hand.scale_unkept |= kScaleUnkeptNoChannel;
            continue;
        }
        const int32_t most = slot.key_count > 0 && slot.key_count < kMostKeysPerChannel ? slot.key_count
                                                                                         : kMostKeysPerChannel;
        int32_t walked = 0;
        for (HostId key = slot.first_key; key && ++walked <= most; key = context->envelopes->next_key(slot.envelope, key)) {
            ScaleKey entry{key_time(context, slot.envelope, key), key, 0.0, 0};
            context->envelopes->key_get(slot.envelope, key, host_abi::kKeyTagValue, &entry.value);
            if (!frame_number(entry.time, frames_per_second, &entry.frame)) continue;  // no time to solve at
            if (!grow_block(&run.scale_keys, &run.scale_key_capacity, static_cast<int64_t>(run.scale_key_count) + 1))
                return false;
            run.scale_keys[run.scale_key_count++] = entry;
        }
    }
    channel_begin[kScaleChannels] = run.scale_key_count;
    // The times off the solves, each solved once, in order.
    for (int32_t i = 0; i < run.scale_key_count; ++i) {
        const double time = run.scale_keys[i].time;
        if (solve_at(writes, time) >= 0) continue;
        if (!grow_block(&run.extra_solves, &run.extra_solve_capacity, static_cast<int64_t>(run.extra_solve_count) + 1))
            return false;
        run.extra_solves[run.extra_solve_count++].time = time;
    }
    KeySolve *const extra = run.extra_solves;
    std::sort(extra, extra + run.extra_solve_count, [](const KeySolve &a, const KeySolve &b) { return a.time < b.time; });
    int32_t distinct = 0;
    int32_t kept_cursor = 0;
    for (int32_t i = 0; i < run.extra_solve_count; ++i) {
        if (distinct > 0 && extra[distinct - 1].time == extra[i].time) continue;
        KeySolve &solve = extra[distinct];
        solve.time = extra[i].time;
        solve.posed = 0;
        solve.scaling = 0;
        if (!solve_record(context, hand.solve, &solve, &kept_cursor)) continue;  // no numbers there: its keys stay
        judge_scale(solve, &hand.scale_unkept);
        ++distinct;
    }
    run.extra_solve_count = distinct;

    for (int k = 0; k < kScaleChannels; ++k) {
        const int32_t channel = kFirstScaleChannel + k;
        for (int32_t i = channel_begin[k]; i < channel_begin[k + 1]; ++i) {
            const ScaleKey &entry = run.scale_keys[i];
            const KeySolve *solved = scale_solve_at(run, entry.time);
            if (!solved) continue;
            const double own = solved->own_scale[k];
            const double wanted = solved->values[channel];
            // Two keys at one time (a jump) keep their proportion.
            const double written = entry.value == own || own == 0.0 ? wanted : entry.value * (wanted / own);
            if (std::isfinite(written) && !add_scale_write(run, entry.time, entry.key, written, channel)) return false;
            const int64_t index = static_cast<int64_t>(entry.frame) - run.range_first;
            if (index >= 0 && index < run.range_count) records[index].keyed_channels |= 1u << channel;
        }
    }
    // Created keys: in the frames keyed in position or rotation, then in
    // those keyed only in scale, at the time of the last key marked there.
    for (int k = 0; k < kScaleChannels; ++k) {
        const int32_t channel = kFirstScaleChannel + k;
        if (!hand.slots[channel].envelope) continue;
        for (int32_t i = 0; i < run.range_count; ++i) {
            const KeyFrameRecord &record = records[i];
            if (!(record.keyed_channels & kMotionBits) || (record.keyed_channels & (1u << channel))) continue;
            const KeySolve *solved = scale_solve_at(run, record.time);
            if (solved && std::isfinite(solved->values[channel]) &&
                !add_scale_write(run, record.time, nullptr, solved->values[channel], channel))
                return false;
        }
        for (int m = 0; m < kScaleChannels; ++m) {
            for (int32_t i = channel_begin[m]; i < channel_begin[m + 1]; ++i) {
                const ScaleKey &entry = run.scale_keys[i];
                if (motion_frame(entry.frame) || has_frame(run, channel_begin, k, entry.frame)) continue;
                // Only the last key marked in its frame, channels in order.
                if (i + 1 < channel_begin[m + 1] && run.scale_keys[i + 1].frame == entry.frame) continue;
                bool later = false;
                for (int n = m + 1; n < kScaleChannels && !later; ++n) later = has_frame(run, channel_begin, n, entry.frame);
                if (later) continue;
                const KeySolve *solved = scale_solve_at(run, entry.time);
                if (solved && std::isfinite(solved->values[channel]) &&
                    !add_scale_write(run, entry.time, nullptr, solved->values[channel], channel))
                    return false;
            }
        }
    }
    return true;
}

// Writes the planned scale keys, once the item is under its new parent.
void write_scale_keys(KeyedParentRun &run, ItemInHand &hand) {
    const EnvelopeFuncs *envelopes = run.context->envelopes;
    for (int32_t i = 0; i < run.scale_write_count; ++i) {
        const ScaleWrite &write = run.scale_writes[i];
        const HostId envelope = hand.slots[write.channel].envelope;
        double value = write.value;
        const bool written = write.key ? envelopes->key_set(envelope, write.key, host_abi::kKeyTagValue, &value) != 0
                                       : envelopes->create_key(envelope, write.time, value) != nullptr;
        if (!written) hand.scale_unkept |= kScaleUnkeptRefused;
    }
}

// Solves one item, its keys read by prepare_item into `hand` (`prepared`
// Ready or Sampled). Ready or Sampled: it has keys to write once it is under
// its new parent; Failed: the operation has to end, nothing has changed for
// the item.
Prepared solve_item(KeyedParentRun &run, HostId item, const SelectionNode *above, Prepared prepared,
                    ItemInHand &hand) {
    const HostContext *context = run.context;
    ChannelSlot *slots = hand.slots;
    HoldResult &held = hand.held;
    held = HoldResult{kHoldMet, 0.0, 0.0, 0.0, -1.0};
    if (run.holding && prepared == Prepared::Ready) held.outcome = kHoldRangeTooLong;

    ItemSolve &solve = hand.solve;
    solve.item = item;
    solve.parent = parent_for(run, item);
    solve.camera = item_id_kind(item_id_value(item)) == host_abi::kIdKindCamera;
    solve.own_scale_constant = true;
    for (int k = 0; k < 3; ++k) {
        solve.own_scale[k] = 1.0;
        solve.own_scale_constant = solve.own_scale_constant && slots[kFirstScaleChannel + k].key_count <= 1;
    }
    if (!solve.camera && solve.own_scale_constant) {
        for (double &s : solve.own_scale) s = 0.0;
        context->item_info->param(item, host_abi::kParamScaling, 0.0, solve.own_scale);
    }
    solve.has_pivot_rotation = inverse_pivot_rotation(context, item, &solve.inverse_pivot_rotation);
    solve.parent_pivot = Vector3{0.0, 0.0, 0.0};
    if (solve.parent) context->item_info->param(solve.parent, host_abi::kParamPivot, 0.0, &solve.parent_pivot.x);
    solve.above = above;
    KeyWriteList &writes = run.writes;
    if (!solve_all(context, solve, writes)) {
        if (prepared != Prepared::Sampled) return Prepared::Failed;
        // Between keys the host gave values that are not numbers: the keys
        // alone are solved, as without a tolerance, and the item is named.
        const bool holding = run.holding;
        run.holding = false;
        prepared = prepare_item(run, item, slots);
        run.holding = holding;
        if (prepared != Prepared::Ready || !solve_all(context, solve, writes)) return Prepared::Failed;
        held.outcome = kHoldNotNumbers;
    }
    hand.prepared = prepared;
    if (!plan_scale_writes(run, hand)) return Prepared::Failed;
    return prepared;
}

// Writes the solved item's keys and holds its motion between them, once it
// has been given its new parent.
void write_item(KeyedParentRun &run, ItemInHand &hand) {
    const HostContext *context = run.context;
    const HostId item = hand.solve.item;
    // A parent the host refused (one below the item, a bone's parent outside
    // its object) leaves the item where it was: keys solved for a parent it
    // does not have would move it.
    const unsigned phases = run.holding ? 2u : 1u;
    if (context->item_info->parent(item) != hand.solve.parent) {
        progress_step(context->progress, phases, nullptr);
        return;
    }
    const KeyWriteList &writes = run.writes;
    for (int32_t i = 0; i < writes.count; ++i) write_key(context, hand.slots, writes, writes.writes[i]);
    if (hand.rewrite_scale) write_scale_keys(run, hand);
    // Its keys are whole now: an Abort answered here is honoured in its hold.
    progress_step(context->progress, hand.prepared == Prepared::Sampled ? 1u : phases, nullptr);
    if (hand.prepared == Prepared::Sampled) {
        // The scale envelopes only where the scale is rewritten: the hold
        // keeps the world scale there.
        HostId envelopes[kKeyedChannels];
        for (int i = 0; i < kKeyedChannels; ++i)
            envelopes[i] = i < kMotionChannels || hand.rewrite_scale ? hand.slots[i].envelope : nullptr;
        hold_world_motion(context, item, envelopes, &writes, run.checked_first, run.checked_last,
                          context->tolerance, &hand.held);
        if (hand.held.outcome == kHoldStopped) run.stopped = true;
        progress_step(context->progress, 1, nullptr);
    }
    if (hand.held.outcome != kHoldMet) note_unheld(run, item, hand.held);
    if (hand.scale_unkept) note_scale_unkept(run, item, hand.scale_unkept);
}

// Links each entry to its nearest selected ancestor within the chain the
// transforms are evaluated through, and writes into `order` every entry after
// the selected items above it. An entry caught in a hierarchy that loops is
// taken as having nothing selected above it. False when the memory could not
// be had.
bool order_selection(const ItemInfo *info, SelectionNode *nodes, int32_t count, int32_t *order) {
    struct Entry {
        uintptr_t item;  // handles are only ever compared, as numbers
        int32_t index;
    };
    Entry *sorted = static_cast<Entry *>(std::malloc(sizeof(Entry) * static_cast<size_t>(count)));
    int32_t *stack = static_cast<int32_t *>(std::malloc(sizeof(int32_t) * static_cast<size_t>(count)));
    char *placed = static_cast<char *>(std::calloc(static_cast<size_t>(count), 1));
    if (!sorted || !stack || !placed) {
        std::free(sorted);
        std::free(stack);
        std::free(placed);
        return false;
    }
    for (int32_t i = 0; i < count; ++i) sorted[i] = Entry{reinterpret_cast<uintptr_t>(nodes[i].item), i};
    const auto by_item = [](const Entry &a, const Entry &b) { return a.item < b.item || (a.item == b.item && a.index < b.index); };
    std::sort(sorted, sorted + count, by_item);
    for (int32_t i = count - 1; i >= 0; --i) {
        HostId above = info->parent(nodes[i].item);
        for (int32_t length = 1; above && length < kMaxChainLength; ++length, above = info->parent(above)) {
            const Entry wanted{reinterpret_cast<uintptr_t>(above), -1};
            const Entry *found = std::lower_bound(sorted, sorted + count, wanted, by_item);
            if (found != sorted + count && found->item == wanted.item) {
                nodes[i].up = found->index;
                nodes[i].next_sibling = nodes[found->index].first_child;
                nodes[found->index].first_child = i;
                break;
            }
        }
    }
    std::free(sorted);
    int32_t written = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (int32_t top = 0; top < count; ++top) {
            if (placed[top] || (pass == 0 && nodes[top].up >= 0)) continue;
            nodes[top].up = -1;
            int32_t depth = 0;
            stack[depth++] = top;
            placed[top] = 1;
            while (depth > 0) {
                const int32_t at = stack[--depth];
                order[written++] = at;
                // Pushed last to first, so the first child comes out first.
                int32_t children = 0;
                for (int32_t child = nodes[at].first_child; child >= 0; child = nodes[child].next_sibling)
                    if (!placed[child]) ++children;
                int32_t slot = depth + children;
                for (int32_t child = nodes[at].first_child; child >= 0; child = nodes[child].next_sibling)
                    if (!placed[child]) {
                        placed[child] = 1;
                        nodes[child].up = at;
                        stack[--slot] = child;
                    }
                depth += children;
            }
        }
    }
    std::free(stack);
    std::free(placed);
    for (int32_t i = 0; i < count; ++i)
        if (nodes[i].up >= 0) ++nodes[nodes[i].up].children_left;
    return true;
}

// `*into` becomes the sorted union of itself and `other`. False when the
// memory could not be had.
bool merge_times(double **into, int32_t *into_count, const double *other, int32_t other_count) {
    if (other_count == 0) return true;
    double *merged = static_cast<double *>(std::malloc(sizeof(double) * (static_cast<size_t>(*into_count) + other_count)));
    if (!merged) return false;
    double *end = std::set_union(*into, *into + *into_count, other, other + other_count, merged);
    std::free(*into);
    *into = merged;
    *into_count = static_cast<int32_t>(end - merged);
    return true;
}

// Growable lists of times, reused from item to item.
struct TimeLists {
    double *lists[4];  // the last for the times of scale keys
    int32_t capacities[4];
};

// The times prepare_item would have the item solved at without holding its
// motion between keys, found without its frame table or write list: each key
// time of its keyed channels once, in order (of equal times the one of the
// earlier channel, as the grouping keeps it). Skip and Failed as prepare_item
// says them; Ready: the `*count` times are at `*times`, in `lists`' memory.
Prepared key_times(KeyedParentRun &run, HostId item, TimeLists &lists, const double **times, int32_t *count,
                   ChannelSlot slots[kKeyedChannels]) {
    *count = 0;
    const HostContext *context = run.context;
    const double frames_per_second = context->scene_info->frames_per_second;
    FrameRange range;
    const Prepared read = read_item_channels(run, item, slots, &range);
    if (read != Prepared::Ready) return read;
    // The times so far, the channel in hand, and their union.
    int so_far = 0, channel = 1, joined = 2;
    int32_t so_far_count = 0;
    for (int c = 0; c < kMotionChannels; ++c) {
        const ChannelSlot &slot = slots[c];
        if (!slot.first_key) continue;
        int32_t walked = 0;
        const bool read = walk_keys(context, slot, frames_per_second, range, [&](HostId, double time, int32_t) {
            if (!grow_block(&lists.lists[channel], &lists.capacities[channel], walked + 1)) return false;
            lists.lists[channel][walked++] = time;
            return true;
        });
        if (!read) return Prepared::Failed;
        double *const begin = lists.lists[channel];
        double *const distinct = std::unique(begin, begin + walked);
        if (!grow_block(&lists.lists[joined], &lists.capacities[joined],
                        static_cast<int64_t>(so_far_count) + (distinct - begin)))
            return Prepared::Failed;
        // Of equal times std::set_union keeps the first range's: the earlier channel's.
        const double *const from = lists.lists[so_far];
        so_far_count = static_cast<int32_t>(
            std::set_union(from, from + so_far_count, begin, distinct, lists.lists[joined]) - lists.lists[joined]);
        std::swap(so_far, joined);
    }
    *times = lists.lists[so_far];
    *count = so_far_count;
    return Prepared::Ready;
}

// Adds to `*into` the times of the item's scale keys not there yet: where
// its world scale has to be kept, those keys are solved at their own times.
bool merge_scale_key_times(const HostContext *context, const ChannelSlot slots[kKeyedChannels], TimeLists &lists,
                           double **into, int32_t *into_count) {
    int32_t missing = 0;
    double *&extra = lists.lists[3];
    for (int c = kFirstScaleChannel; c < kKeyedChannels; ++c) {
        const ChannelSlot &slot = slots[c];
        const int32_t most = slot.key_count > 0 && slot.key_count < kMostKeysPerChannel ? slot.key_count
                                                                                         : kMostKeysPerChannel;
        int32_t walked = 0;
        for (HostId key = slot.first_key; key && ++walked <= most; key = context->envelopes->next_key(slot.envelope, key)) {
            const double time = key_time(context, slot.envelope, key);
            if (std::binary_search(*into, *into + *into_count, time)) continue;
            if (!grow_block(&extra, &lists.capacities[3], static_cast<int64_t>(missing) + 1)) return false;
            extra[missing++] = time;
        }
    }
    if (missing == 0) return true;
    std::sort(extra, extra + missing);
    return merge_times(into, into_count, extra, static_cast<int32_t>(std::unique(extra, extra + missing) - extra));
}

// For every selected item with selected items below it, the times those are
// solved at: each item's own solve times go to its nearest selected
// ancestor, with the times already gathered for the item itself.
bool gather_times(KeyedParentRun &run, SelectionNode *nodes, const int32_t *order, int32_t count) {
    TimeLists lists{{nullptr, nullptr, nullptr, nullptr}, {0, 0, 0, 0}};
    bool failed = false;
    for (int32_t k = count - 1; k >= 0 && !failed; --k) {
        SelectionNode &node = nodes[order[k]];
        if (node.up < 0) continue;
        SelectionNode &up = nodes[node.up];
        failed = !merge_times(&up.times, &up.time_count, node.times, node.time_count);
        if (failed || item_id_value(node.item) == run.new_parent) continue;
        const double *own = nullptr;
        int32_t own_count = 0;
        ChannelSlot slots[kKeyedChannels];
        if (!run.holding) {
            // Only the times are wanted here: found without the frame table and write list.
            if (key_times(run, node.item, lists, &own, &own_count, slots) != Prepared::Ready) continue;
        } else {
            const Prepared prepared = prepare_item(run, node.item, slots);
            if (prepared != Prepared::Ready && prepared != Prepared::Sampled) continue;
            // The solves are in time order, one a time.
            own_count = run.writes.solve_count;
            if (!grow_block(&lists.lists[0], &lists.capacities[0], own_count)) {
                failed = true;
                continue;
            }
            for (int32_t i = 0; i < own_count; ++i) lists.lists[0][i] = run.writes.solves[i].time;
            own = lists.lists[0];
        }
        failed = !merge_times(&up.times, &up.time_count, own, own_count) ||
                 !merge_scale_key_times(run.context, slots, lists, &up.times, &up.time_count);
    }
    for (double *list : lists.lists) std::free(list);
    return !failed;
}

// Lets nodes whose gathered times are the same share one list. The lists
// compared with are the last few kept, in selection order: alike items sit
// together.
void share_times(SelectionNode *nodes, int32_t count) {
    constexpr int kCompared = 8;
    int32_t recent[kCompared];
    int recent_count = 0;
    for (int32_t i = 0; i < count; ++i) {
        SelectionNode &node = nodes[i];
        if (node.time_count == 0) continue;
        int32_t same = -1;
        for (int r = 0; r < recent_count && same < 0; ++r) {
            const SelectionNode &other = nodes[recent[r]];
            if (other.time_count == node.time_count &&
                std::memcmp(other.times, node.times, sizeof(double) * static_cast<size_t>(node.time_count)) == 0)
                same = recent[r];
        }
        if (same >= 0) {
            std::free(node.times);
            node.times = nodes[same].times;
            ++nodes[same].times_users;
        } else {
            same = i;
            node.times_block = node.times;
            node.times_users = 1;
            recent[recent_count < kCompared ? recent_count++ : i % kCompared] = i;
        }
        node.times_owner = same;
    }
}

// The item's old ChainPose at every time the selected items below it need it.
// `kept`: its nearest selected ancestor already done, or null. Where the item
// is solved at the same time too (`solves`, in time order, or null), its
// world pose for the solve comes from the same walk.
bool keep_poses(const HostContext *context, SelectionNode &node, const SelectionNode *kept, KeyWriteList *solves) {
    if (node.time_count == 0) return true;
    node.poses = static_cast<KeptPose *>(std::malloc(sizeof(KeptPose) * static_cast<size_t>(node.time_count)));
    if (!node.poses) return false;
    int32_t next_solve = 0;
    int32_t kept_cursor = 0;
    const int32_t solve_count = solves ? solves->solve_count : 0;
    for (int32_t i = 0; i < node.time_count; ++i) {
        const double time = node.times[i];
        ChainPose kept_above_pose;
        const ChainPose *above = kept_pose(kept, time, &kept_cursor, &kept_above_pose);
        const HostId stop = above ? kept->item : nullptr;
        while (next_solve < solve_count && solves->solves[next_solve].time < time) ++next_solve;
        KeySolve *solve = next_solve < solve_count ? &solves->solves[next_solve] : nullptr;
        ChainPose pose;
        // The very same time, not -0 for +0: the host is asked at the solve's own.
        if (!solve || !(solve->time == time && std::signbit(solve->time) == std::signbit(time))) {
            item_chain_pose(context->item_info, node.item, time, stop, above, &pose);
        } else {
            Matrix3 rotation;
            Vector3 position;
            int32_t ancestors_scale = 0;
            item_chain_and_world_pose(context->item_info, node.item, time, stop, above, &pose, &rotation, &position,
                                      solve->own_turns, solve->ancestor_turns, &ancestors_scale);
            keep_world_pose(solve, rotation, position);
            solve->posed = 1;
            solve->scaling = ancestors_scale ? kOldChainScales : 0;
        }
        KeptPose &keep = node.poses[i];
        keep.transform = pose.transform;
        for (int a = 0; a < 3; ++a) keep.turns[a] = pose.turns[a];
        keep.rotation = -1;
        keep.scales = pose.scales;
        if (std::memcmp(pose.rotation.m, pose.transform.m, sizeof pose.rotation.m) != 0) {
            if (!grow_block(&node.rotations, &node.rotation_capacity, static_cast<int64_t>(node.rotation_count) + 1))
                return false;
            keep.rotation = node.rotation_count;
            node.rotations[node.rotation_count++] = pose.rotation;
        }
    }
    return true;
}

void forget_poses(SelectionNode *nodes, SelectionNode &node) {
    if (node.times_owner < 0) {
        std::free(node.times);
    } else {
        SelectionNode &owner = nodes[node.times_owner];
        if (--owner.times_users == 0) {
            std::free(owner.times_block);
            owner.times_block = nullptr;
        }
    }
    node.times_owner = -1;
    std::free(node.poses);
    std::free(node.rotations);
    node.times = nullptr;
    node.poses = nullptr;
    node.rotations = nullptr;
    node.time_count = node.rotation_count = node.rotation_capacity = 0;
}

// A held item's working memory (its solves, its hold's lists, kept poses
// done with) is megabytes on a long take, freed while the host's key storage
// grows around it: glibc keeps such holes resident, where they add to the
// peak, the host's own after the command included. Handed back to the
// system after each held item and at the end.
void give_back_freed_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// Why an item was not held, as the message says it.
const char *reason_text(HoldOutcome outcome) {
    switch (outcome) {
    case kHoldNextToKeys: return "half frames between frames keyed already";
    case kHoldSheared: return "the parent chains shear it, no keys added";
    case kHoldRefused: return "the host refused a key";
    case kHoldNotNumbers: return "motion values are not numbers";
    case kHoldNoMemory: return "out of memory";
    case kHoldRangeTooLong: return "too many frames to check";
    case kHoldStopped: return "stopped by Abort, held only in part";
    default: return "keys would not hold it";
    }
}

// Appends one item's line to a closing message's text; where it would not
// fit, says how many items (`left`, this one included) are not listed and
// returns false.
bool append_listed(char *text, size_t size, size_t *used, const char *line, int32_t left) {
    const size_t length = std::strlen(line);
    if (*used + length + 24 >= size) {
        std::snprintf(text + *used, size - *used, "; and %d more", static_cast<int>(left));
        return false;
    }
    std::memcpy(text + *used, line, length + 1);
    *used += length;
    return true;
}

// One message for the whole command, not one per item: a warning naming the
// items still out of the tolerance, or, when only half frames between keyed
// frames are, a note of those. Each item with the largest error left.
void report_unheld(const HostContext *context, const KeyedParentRun::Unheld *unheld, int32_t count) {
    if (count == 0) return;
    bool warn = false;
    for (int32_t i = 0; i < count; ++i) warn = warn || unheld[i].result.outcome != kHoldNextToKeys;
    char text[1024];
    size_t used = 0;
    int32_t listed = 0;
    for (int32_t i = 0; i < count; ++i) {
        const HoldResult &r = unheld[i].result;
        if (warn && r.outcome == kHoldNextToKeys) continue;
        const char *name = context->item_info->name(unheld[i].item);
        char line[256];
        const bool measured = r.outcome != kHoldNotNumbers && r.outcome != kHoldNoMemory &&
                              r.outcome != kHoldRangeTooLong && r.outcome != kHoldStopped;
        char scale[48] = "";
        if (r.scale_percent >= 0.0) std::snprintf(scale, sizeof scale, ", %.3g %% scale", r.scale_percent);
        if (measured)
            std::snprintf(line, sizeof line, "%s%.64s: %.3g units, %.3g deg%s, worst at frame %.10g (%s)",
                          listed ? "; " : "", name ? name : "?", r.distance, r.degrees, scale, r.worst_frame,
                          reason_text(r.outcome));
        else
            std::snprintf(line, sizeof line, "%s%.64s: %s", listed ? "; " : "", name ? name : "?", reason_text(r.outcome));
        if (!append_listed(text, sizeof text, &used, line, count - i)) break;
        ++listed;
    }
    if (warn)
        context->messages->warning("wPos tolerance not held", text);
    else
        context->messages->info("wPos tolerance held at every frame", text);
}

// Why an item's world scale was not kept, as the message says it.
void scale_reasons_text(int32_t reasons, char *out, size_t size) {
    static const struct {
        int32_t reason;
        const char *text;
    } kReasons[] = {
        {kScaleUnkeptSheared, "the parent chains shear it; its axis lengths are kept"},
        {kScaleUnkeptZero, "a scale of 0 on the new parent chain"},
        {kScaleUnkeptNoChannel, "no scale channel"},
        {kScaleUnkeptRefused, "the host refused a scale key"},
        {kScaleUnkeptCamera, "a camera takes no scale"},
    };
    size_t used = 0;
    out[0] = '\0';
    for (const auto &entry : kReasons) {
        if (!(reasons & entry.reason)) continue;
        const int written = std::snprintf(out + used, size - used, "%s%s", used ? ", " : "", entry.text);
        if (written < 0 || static_cast<size_t>(written) >= size - used) break;
        used += static_cast<size_t>(written);
    }
}

// One warning for the whole command naming each item whose world scale was
// not kept, and why; each keeps what was written.
void report_scale_unkept(const HostContext *context, const KeyedParentRun::ScaleUnkept *unkept, int32_t count) {
    if (count == 0) return;
    char text[1024];
    size_t used = 0;
    for (int32_t i = 0; i < count; ++i) {
        const char *name = context->item_info->name(unkept[i].item);
        char reasons[200];
        scale_reasons_text(unkept[i].reasons, reasons, sizeof reasons);
        char line[300];
        std::snprintf(line, sizeof line, "%s%.64s: %s", i ? "; " : "", name ? name : "?", reasons);
        if (!append_listed(text, sizeof text, &used, line, count - i)) break;
    }
    context->messages->warning("wPos world scale not kept", text);
}

bool services_present(const HostContext *context) {
    return context && context->item_info && context->interface_info && context->channel_info && context->envelopes &&
           context->scene_info;
}

}  // namespace

struct KeyedReparent {
    KeyedParentRun run;
    SelectionNode *nodes;
    int32_t *order;
    int32_t count;
    HostId last_entry;
    // Where the walk over the selection stands: the first pass leaves the
    // bones that wait for their object, the second takes them.
    int pass;
    int32_t next_index;
    int32_t in_hand;  // the node whose step was given and whose keys are not written yet, or -1
    bool failed;
    ItemInHand hand;
};

namespace {

// The nearest selected ancestor of `node` already done, or null: the chain
// above it is read up to there, and from there as that one kept it.
const SelectionNode *kept_above(const KeyedReparent &plan, const SelectionNode &node) {
    int32_t above = node.up;
    while (above >= 0 && !plan.nodes[above].done) above = plan.nodes[above].up;
    return above >= 0 ? &plan.nodes[above] : nullptr;
}

// Names the item about to be worked on in the progress window. True when the
// user has pressed Abort.
bool name_in_progress(const HostContext *context, HostId item) {
    if (!context->progress || !context->progress->id) return false;
    const char *name = context->item_info->name(item);
    char text[80];
    std::snprintf(text, sizeof text, "%.64s", name ? name : "?");
    return progress_step(context->progress, 0, text);
}

// Once the node is solved its nearest selected ancestor's kept poses have
// served it: the last child solved frees them, before its keys are written
// and its motion held (when memory peaks), not after.
void release_above(KeyedReparent &plan, const SelectionNode &node) {
    if (node.up >= 0 && --plan.nodes[node.up].children_left == 0) forget_poses(plan.nodes, plan.nodes[node.up]);
}

// A bone cleared goes under its own object; when that object is selected
// too, the bone waits for it, so that it is solved under the object's new
// motion rather than under the old one the object is about to lose.
bool waits_for_its_object(const KeyedReparent &plan, const SelectionNode &node) {
    const uint64_t id = item_id_value(node.item);
    if (plan.run.new_parent != 0 || item_id_kind(id) != host_abi::kIdKindBone) return false;
    const HostId object = item_id_handle(bone_owner_object(id));
    for (int32_t up = node.up; up >= 0; up = plan.nodes[up].up)
        if (plan.nodes[up].item == object) return !plan.nodes[up].done;
    return false;
}

}  // namespace

KeyedReparent *keyed_reparent_plan(const HostContext *context, const HostId *selected_items, uint64_t new_parent,
                                   const KeyFrameAllocator *allocator) {
    if (!services_present(context)) return nullptr;
    KeyedReparent *plan = static_cast<KeyedReparent *>(std::malloc(sizeof(KeyedReparent)));
    if (!plan) return nullptr;
    KeyedParentRun &run = plan->run;
    run = KeyedParentRun{};  // every list empty, every count 0
    run.context = context;
    run.new_parent = new_parent;
    key_frame_table_init(&run.table, allocator);
    key_write_list_init(&run.writes);
    run.holding = context->tolerance.on;

    int32_t count = 0;
    while (selected_items && count < INT32_MAX && selected_items[count]) ++count;
    plan->count = count;
    plan->last_entry = count > 0 ? selected_items[count - 1] : nullptr;
    plan->pass = 0;
    plan->next_index = 0;
    plan->in_hand = -1;
    plan->nodes =
        count > 0 ? static_cast<SelectionNode *>(std::malloc(sizeof(SelectionNode) * static_cast<size_t>(count))) : nullptr;
    plan->order = count > 0 ? static_cast<int32_t *>(std::malloc(sizeof(int32_t) * static_cast<size_t>(count))) : nullptr;
    for (int32_t i = 0; plan->nodes && i < count; ++i)
        plan->nodes[i] =
            SelectionNode{selected_items[i], -1, -1, -1, 0, false, nullptr, 0, -1, 0, nullptr, nullptr, nullptr, 0, 0};
    plan->failed = count > 0 && (!plan->nodes || !plan->order ||
                                 !order_selection(context->item_info, plan->nodes, count, plan->order) ||
                                 !gather_times(run, plan->nodes, plan->order, count));
    if (!plan->failed) share_times(plan->nodes, count);
    return plan;
}

// In list order, each item on the scene as the earlier ones left it, but
// solved for the motion it had before any of them changed.
bool keyed_reparent_next(KeyedReparent *plan, ReparentStep *step) {
    keyed_reparent_write_keys(plan);
    while (!plan->failed && plan->pass < 2) {
        if (plan->next_index >= plan->count) {
            ++plan->pass;
            plan->next_index = 0;
            continue;
        }
        const int32_t index = plan->next_index++;
        SelectionNode &node = plan->nodes[index];
        if (plan->pass == 0 ? waits_for_its_object(*plan, node) : node.done) continue;
        // Between items the user may stop the command: this one and those
        // after it keep their parent and keys.
        if (name_in_progress(plan->run.context, node.item)) {
            plan->run.stopped = true;
            break;
        }
        const SelectionNode *kept = kept_above(*plan, node);
        // Its keys are read first, so that the walks that keep its poses
        // also find where it is at the times it is solved at.
        Prepared solved = item_id_value(node.item) == plan->run.new_parent
                              ? Prepared::Skip
                              : prepare_item(plan->run, node.item, plan->hand.slots);
        const bool keyed = solved == Prepared::Ready || solved == Prepared::Sampled;
        if (solved != Prepared::Failed && node.children_left > 0 &&
            !keep_poses(plan->run.context, node, kept, keyed ? &plan->run.writes : nullptr)) {
            plan->failed = true;
            break;
        }
        if (keyed) solved = solve_item(plan->run, node.item, kept, solved, plan->hand);
        if (solved == Prepared::Failed) {
            plan->failed = true;
            break;
        }
        release_above(*plan, node);
        if (solved == Prepared::Skip) {
            node.done = true;
            progress_step(plan->run.context->progress, plan->run.holding ? 2u : 1u, nullptr);
            continue;
        }
        plan->in_hand = index;
        plan->run.last_selected = node.item;
        *step = ReparentStep{node.item, plan->run.new_parent};
        return true;
    }
    return false;
}

bool keyed_reparent_stopped(const KeyedReparent *plan, int32_t *done) {
    *done = 0;
    for (int32_t i = 0; plan->nodes && i < plan->count; ++i) *done += plan->nodes[i].done ? 1 : 0;
    return plan->run.stopped;
}

void keyed_reparent_write_keys(KeyedReparent *plan) {
    if (plan->in_hand < 0) return;
    SelectionNode &node = plan->nodes[plan->in_hand];
    plan->in_hand = -1;
    write_item(plan->run, plan->hand);
    node.done = true;
    // Only a hold works through megabytes an item.
    if (plan->hand.prepared == Prepared::Sampled) give_back_freed_memory();
}

int32_t keyed_reparent_finish(KeyedReparent *plan, HostId *walk_end) {
    keyed_reparent_write_keys(plan);
    KeyedParentRun &run = plan->run;
    const bool failed = plan->failed;
    *walk_end = !failed && run.last_selected && run.last_selected != plan->last_entry ? plan->last_entry : nullptr;
    for (int32_t i = 0; plan->nodes && i < plan->count; ++i) forget_poses(plan->nodes, plan->nodes[i]);
    std::free(plan->nodes);
    std::free(plan->order);
    key_frame_table_free(&run.table);
    key_write_list_free(&run.writes);
    if (!failed) report_unheld(run.context, run.unheld, run.unheld_count);
    if (!failed) report_scale_unkept(run.context, run.scale_unkept, run.scale_unkept_count);
    std::free(run.unheld);
    std::free(run.scale_writes);
    std::free(run.scale_keys);
    std::free(run.extra_solves);
    std::free(run.scale_unkept);
    const int32_t count = plan->count;
    std::free(plan);
    give_back_freed_memory();
    return failed ? kFailed : count;
}
