#include "world_transform.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace headless {

// Bank, then pitch, then heading: Rz(b) x Rx(p) x Ry(h) written out.
Matrix rotation(const Vec3 &hpb) {
    const double sh = std::sin(hpb[0]), ch = std::cos(hpb[0]);
    const double sp = std::sin(hpb[1]), cp = std::cos(hpb[1]);
    const double sb = std::sin(hpb[2]), cb = std::cos(hpb[2]);
    return Matrix{{{ch * cb + sh * sp * sb, cp * sb, ch * sp * sb - sh * cb},
                   {sh * sp * cb - ch * sb, cp * cb, sh * sb + ch * sp * cb},
                   {sh * cp, -sp, ch * cp}}};
}

Matrix operator*(const Matrix &a, const Matrix &b) {
    Matrix out{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out.m[r][c] = a.m[r][0] * b.m[0][c] + a.m[r][1] * b.m[1][c] + a.m[r][2] * b.m[2][c];
    return out;
}

Vec3 operator*(const Vec3 &v, const Matrix &m) {
    Vec3 out;
    for (int c = 0; c < 3; ++c) out[c] = v[0] * m.m[0][c] + v[1] * m.m[1][c] + v[2] * m.m[2][c];
    return out;
}


std::vector<const Item *> ancestors_of(const Scene &scene, const Item &item) {
    // Short chains are searched in place; a long one keeps a set, so a deep
    // hierarchy costs its depth and not its depth squared.
    constexpr size_t kSearchedInPlace = 32;
    std::vector<const Item *> chain;
    std::unordered_set<const Item *> seen;
    const Item *current = &item;
    while (current->parent) {
        const Item *parent = scene.find(current->parent);
        if (!parent || parent == &item) break;
        if (chain.size() < kSearchedInPlace) {
            if (std::find(chain.begin(), chain.end(), parent) != chain.end()) break;
        } else {
            if (seen.empty()) seen.insert(chain.begin(), chain.end());
            if (!seen.insert(parent).second) break;
        }
        chain.push_back(parent);
        current = parent;
    }
    return chain;
}

namespace {

// The item's pose at `time`, each of its chain placed by place() from the
// top down; `unscaled` leaves every scaling out.
WorldPose pose_of(const Scene &scene, const Item &item, double time, bool unscaled) {
    std::vector<const Item *> chain = ancestors_of(scene, item);
    std::reverse(chain.begin(), chain.end());
    chain.push_back(&item);
    WorldPose above{}, pose{};
    const Item *parent = nullptr;
    for (const Item *one : chain) {
        double values[kMotionChannelCount];
        for (int c = 0; c < kMotionChannelCount; ++c)
            if (unscaled && c >= kScaleX)
                values[c] = 1.0;
            else
                motion_values(*one, c, &time, 1, &values[c]);
        const Matrix turn = rotation(one->pivot_rotation);
        const bool turned = one->pivot_rotation != Vec3{0, 0, 0};
        place(values, 1, turned ? &turn : nullptr, parent ? &above : nullptr, parent ? parent->pivot : Vec3{0, 0, 0},
              &pose);
        above = pose;
        parent = one;
    }
    return pose;
}

double length_of(const Vec3 &v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

}  // namespace

Vec3 world_position(const Scene &scene, ItemIdValue id, double time) {
    const Item *item = scene.find(id);
    if (!item) return {0, 0, 0};
    return pose_of(scene, *item, time, false).position;
}

WorldAxes world_axes(const Scene &scene, ItemIdValue id, double time) {
    const Item *item = scene.find(id);
    if (!item) return WorldAxes{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    std::array<Vec3, 3> axes = pose_of(scene, *item, time, false).axes;
    for (int r = 0; r < 3; ++r) {
        const double length = length_of(axes[r]);
        if (length > 0.0 && std::isfinite(length)) {
            for (double &c : axes[r]) c /= length;
        } else {
            // A zero scaling flattens the axis; its direction is then the rotation's.
            axes[r] = pose_of(scene, *item, time, true).axes[r];
        }
    }
    return WorldAxes{axes[0], axes[1], axes[2]};
}

HierarchySampler::HierarchySampler(const Scene &scene, const std::vector<ItemIdValue> &items) {
    // Each chain is walked up to the first item already placed, then placed
    // from the top down; -2 marks the items of the walk under way, so a loop
    // ends the walk where it closes.
    constexpr int kOnThisWalk = -2;
    std::vector<const Item *> walk;
    for (ItemIdValue id : items) {
        walk.clear();
        const Item *current = scene.find(id);
        while (current && index_.find(current->id) == index_.end()) {
            index_.emplace(current->id, kOnThisWalk);
            walk.push_back(current);
            current = current->parent ? scene.find(current->parent) : nullptr;
        }
        int parent = current ? index_.at(current->id) : -1;
        if (parent == kOnThisWalk) parent = -1;
        for (auto it = walk.rbegin(); it != walk.rend(); ++it) {
            const Item &item = **it;
            const Matrix turn = rotation(item.pivot_rotation);
            items_.push_back(&item);
            parents_.push_back(parent);
            pivot_turns_.push_back({Vec3{turn.m[0][0], turn.m[0][1], turn.m[0][2]},
                                    Vec3{turn.m[1][0], turn.m[1][1], turn.m[1][2]},
                                    Vec3{turn.m[2][0], turn.m[2][1], turn.m[2][2]}});
            pivot_turned_.push_back(item.pivot_rotation != Vec3{0, 0, 0});
            parent = static_cast<int>(items_.size()) - 1;
            index_[item.id] = parent;
        }
    }
}

int HierarchySampler::index_of(ItemIdValue id) const {
    const auto found = index_.find(id);
    return found == index_.end() ? -1 : found->second;
}

std::vector<char> HierarchySampler::with_ancestors(const std::vector<int> &indices) const {
    std::vector<char> mask(size(), 0);
    for (int i : indices)
        for (int at = i; at >= 0 && !mask[static_cast<size_t>(at)]; at = parents_[static_cast<size_t>(at)])
            mask[static_cast<size_t>(at)] = 1;
    return mask;
}

double unevenness(const WorldPose &pose) {
    Vec3 rows[3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) rows[r][c] = pose.scale[r] * pose.axes[r][c];
    const auto dot = [](const Vec3 &a, const Vec3 &b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
    const double mean = (dot(rows[0], rows[0]) + dot(rows[1], rows[1]) + dot(rows[2], rows[2])) / 3.0;
    if (!(mean > 0.0) || !std::isfinite(mean)) return 0.0;  // collapsed or broken: the scale check speaks
    double largest = 0.0;
    for (int r = 0; r < 3; ++r)
        for (int c = r; c < 3; ++c)
            largest = std::max(largest, std::fabs(dot(rows[r], rows[c]) - (r == c ? mean : 0.0)) / mean);
    return largest;
}

double skew(const WorldPose &pose) {
    const auto dot = [](const Vec3 &a, const Vec3 &b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
    double largest = 0.0;
    for (int r = 0; r < 3; ++r)
        for (int c = r + 1; c < 3; ++c) {
            const double lengths = std::sqrt(dot(pose.axes[r], pose.axes[r]) * dot(pose.axes[c], pose.axes[c]));
            if (lengths > 0.0 && std::isfinite(lengths))
                largest = std::max(largest, std::fabs(dot(pose.axes[r], pose.axes[c])) / lengths);
        }
    return largest;
}

namespace {

// The channel's envelope, or null when motion_values gives it a value of its own.
const Envelope *motion_envelope(const Item &item, int channel) {
    const bool unscaled = channel >= kScaleX && item.kind == ItemKind::Camera;
    const bool present = item.motion && static_cast<size_t>(channel) < item.motion->channels.size();
    return unscaled || !present ? nullptr : &item.channel(MotionChannel(channel)).envelope;
}

}  // namespace

bool motion_constant(const Item &item, int channel) {
    const Envelope *envelope = motion_envelope(item, channel);
    return !envelope || envelope->key_count() <= 1;
}

void motion_values(const Item &item, int channel, const double *times, size_t count, double *out) {
    if (const Envelope *envelope = motion_envelope(item, channel))
        envelope->evaluate(times, count, out);
    else
        std::fill(out, out + count, channel >= kScaleX ? 1.0 : 0.0);
}

void place(const double *values, size_t stride, const Matrix *pivot_turn, const WorldPose *above,
           const Vec3 &above_pivot, WorldPose *pose) {
    auto value = [&](int channel) { return values[static_cast<size_t>(channel) * stride]; };
    Matrix turned = rotation({value(kHeading), value(kPitch), value(kBank)});
    if (pivot_turn) turned = turned * *pivot_turn;
    pose->scale = {value(kScaleX), value(kScaleY), value(kScaleZ)};
    const Vec3 local = {value(kPositionX), value(kPositionY), value(kPositionZ)};
    if (!above) {
        pose->position = local;
    } else {
        Matrix linear;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) linear.m[r][c] = above->scale[r] * above->axes[r][c];
        turned = turned * linear;
        pose->position =
            Vec3{local[0] - above_pivot[0], local[1] - above_pivot[1], local[2] - above_pivot[2]} * linear;
        for (int c = 0; c < 3; ++c) pose->position[c] += above->position[c];
    }
    for (int r = 0; r < 3; ++r) pose->axes[r] = {turned.m[r][0], turned.m[r][1], turned.m[r][2]};
}

void HierarchySampler::evaluate(const double *times, size_t count, const std::vector<char> *mask,
                                WorldPose *out) const {
    if (count == 0) return;
    // One channel at a run of times keeps its keys in the cache.
    std::vector<double> values(static_cast<size_t>(kMotionChannelCount) * count);
    const size_t n = size();
    for (size_t i = 0; i < n; ++i) {
        if (mask && !(*mask)[i]) continue;
        for (int c = 0; c < kMotionChannelCount; ++c)
            motion_values(*items_[i], c, times, count, &values[static_cast<size_t>(c) * count]);
        const int parent = parents_[i];
        const Vec3 pivot = parent >= 0 ? items_[static_cast<size_t>(parent)]->pivot : Vec3{0, 0, 0};
        Matrix pivot_turn;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) pivot_turn.m[r][c] = pivot_turns_[i][r][c];
        for (size_t t = 0; t < count; ++t)
            place(&values[t], count, pivot_turned_[i] ? &pivot_turn : nullptr,
                  parent >= 0 ? &out[t * n + static_cast<size_t>(parent)] : nullptr, pivot, &out[t * n + i]);
    }
}

}  // namespace headless
