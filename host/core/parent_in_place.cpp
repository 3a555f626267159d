#include "parent_in_place.h"

#include <cmath>
#include <utility>

#include "host/core/world_transform.h"

namespace headless {
namespace {

using Rows = std::array<Vec3, 3>;

Rows axes_rows(const Scene &scene, ItemIdValue id, double time) {
    const WorldAxes axes = world_axes(scene, id, time);
    return Rows{axes.right, axes.up, axes.forward};
}

Vec3 minus(const Vec3 &a, const Vec3 &b) { return Vec3{a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

// v x inverse(m); false when m is singular.
bool solve_row_vector(const Vec3 &v, const Rows &m, Vec3 *out) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (!(std::fabs(det) > 1e-300)) return false;
    // Cramer's rule on x x m = v, column by column.
    for (int i = 0; i < 3; ++i) {
        Rows replaced = m;
        replaced[i] = v;
        const double d = replaced[0][0] * (replaced[1][1] * replaced[2][2] - replaced[1][2] * replaced[2][1]) -
                         replaced[0][1] * (replaced[1][0] * replaced[2][2] - replaced[1][2] * replaced[2][0]) +
                         replaced[0][2] * (replaced[1][0] * replaced[2][1] - replaced[1][1] * replaced[2][0]);
        (*out)[i] = d / det;
    }
    return true;
}

// Heading, pitch, bank of a rotation whose rows are the turned axes (bank,
// then pitch, then heading).
Vec3 angles_of(const Rows &m) {
    const double s = -m[2][1];
    const double pitch = s >= 1 ? std::asin(1.0) : s <= -1 ? -std::asin(1.0) : std::asin(s);
    return Vec3{std::atan2(m[2][0], m[2][2]), pitch, std::atan2(m[0][1], m[1][1])};
}

// Evaluates the item at `time` with a stand-in for its own motion channels:
// position `position`, no rotation.
template <typename Fn>
auto with_probe_motion(Scene &scene, Item &item, const Vec3 &position, double time, Fn fn) {
    std::unique_ptr<ChannelGroup> probe = make_motion_group(item.name);
    std::swap(item.motion, probe);
    item.set_static(kPositionX, position);
    auto result = fn(scene, item.id, time);
    std::swap(item.motion, probe);
    return result;
}

void write_channel(Item &item, MotionChannel channel, double time, double value) {
    Envelope &envelope = item.channel(channel).envelope;
    if (envelope.key_count() > 0)
        envelope.create_key(time, value);
    else
        envelope.default_value = value;
}

}  // namespace

std::string set_parent_in_place(Scene &scene, ItemIdValue id, ItemIdValue parent) {
    Item *item = scene.find(id);
    if (!item) return scene.set_parent(id, parent);
    const double time = scene.time;
    const Vec3 position = world_position(scene, id, time);
    const Rows axes = axes_rows(scene, id, time);

    const std::string refused = scene.set_parent(id, parent);
    if (!refused.empty()) return refused;

    // The item's world position is affine in its local position: find where
    // the origin and the unit axes land, then invert.
    const auto world_at = [](const Scene &s, ItemIdValue i, double t) { return world_position(s, i, t); };
    const Vec3 origin = with_probe_motion(scene, *item, {0, 0, 0}, time, world_at);
    const Rows linear = {minus(with_probe_motion(scene, *item, {1, 0, 0}, time, world_at), origin),
                         minus(with_probe_motion(scene, *item, {0, 1, 0}, time, world_at), origin),
                         minus(with_probe_motion(scene, *item, {0, 0, 1}, time, world_at), origin)};
    // With no rotation of its own the item's axes are those of its pivot
    // rotation and new parent chain; its rotation turns them into the old axes.
    const Rows base = with_probe_motion(scene, *item, {0, 0, 0}, time, axes_rows);
    Rows turn{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            turn[r][c] = axes[r][0] * base[c][0] + axes[r][1] * base[c][1] + axes[r][2] * base[c][2];

    Vec3 local{};
    if (solve_row_vector(minus(position, origin), linear, &local))
        for (int i = 0; i < 3; ++i) write_channel(*item, MotionChannel(kPositionX + i), time, local[i]);
    const Vec3 angles = angles_of(turn);
    for (int i = 0; i < 3; ++i) write_channel(*item, MotionChannel(kHeading + i), time, angles[i]);
    return "";
}

}  // namespace headless
