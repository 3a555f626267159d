#include "motion_tolerance.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <ostream>
#include <set>

#include "../host/core/world_transform.h"
#include "world_motion_report.h"

namespace headless {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegreesPerRadian = 180.0 / kPi;
constexpr int kMotionChannels = 6;  // position X, Y, Z, heading, pitch, bank
// A key time this close below a whole frame belongs to that frame (times kept
// in single precision land a hair short of it).
constexpr double kFrameSlack = 1e-3;
// Checking more frames than this would make the tool the slow part of a run.
constexpr long kMostFramesChecked = 200000;
// A frame that stays out of the tolerance after this many keys aimed at it
// cannot be held by keys (shear, a key already there, a flattened parent).
constexpr int kTriesPerSample = 3;
// Keys aimed at frames that then stayed out, before an item whose new parent
// chain shears is given up.
constexpr int kShearTries = 8;

Matrix identity() { return Matrix{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }

Matrix transposed(const Matrix &a) {
    Matrix out{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out.m[r][c] = a.m[c][r];
    return out;
}

double determinant(const Matrix &a) {
    const auto &m = a.m;
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

bool inverse(const Matrix &a, Matrix *out) {
    const double det = determinant(a);
    if (!(std::fabs(det) > 1e-300) || !std::isfinite(det)) return false;
    const auto &m = a.m;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            out->m[r][c] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
        }
    return true;
}

double length(const Vec3 &v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

Vec3 row(const Matrix &m, int r) { return {m.m[r][0], m.m[r][1], m.m[r][2]}; }

// The nearest rotation (polar factor), by Newton's iteration; exact rotations
// come back as they are.
Matrix nearest_rotation(Matrix a) {
    for (int step = 0; step < 30; ++step) {
        Matrix inv;
        if (!inverse(a, &inv)) return a;
        const Matrix inv_t = transposed(inv);
        double change = 0.0;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) {
                const double next = 0.5 * (a.m[r][c] + inv_t.m[r][c]);
                change = std::max(change, std::fabs(next - a.m[r][c]));
                a.m[r][c] = next;
            }
        if (change < 1e-15) break;
    }
    return a;
}

// Heading, pitch and bank of a rotation; at pitch +-90 degrees, where only
// heading minus (plus) bank is fixed, the heading stays `heading_hint`.
Vec3 angles_of(const Matrix &r, double heading_hint) {
    const double cp = std::hypot(r.m[0][1], r.m[1][1]);
    const double p = std::atan2(-r.m[2][1], cp);
    if (cp > 1e-9) return {std::atan2(r.m[2][0], r.m[2][2]), p, std::atan2(r.m[0][1], r.m[1][1])};
    const double h = heading_hint;
    if (r.m[2][1] < 0.0) return {h, p, h - std::atan2(r.m[1][0], r.m[0][0])};
    return {h, p, std::atan2(-r.m[1][0], r.m[0][0]) - h};
}

double nearest_turn(double angle, double reference) {
    return angle + 2.0 * kPi * std::nearbyint((reference - angle) / (2.0 * kPi));
}

// Of the two spellings of a rotation and their whole turns, the one nearest
// to `reference`.
Vec3 continuous_angles(const Vec3 &hpb, const Vec3 &reference) {
    const Vec3 spellings[2] = {hpb, {hpb[0] + kPi, kPi - hpb[1], hpb[2] + kPi}};
    Vec3 best = hpb;
    double best_distance = std::numeric_limits<double>::infinity();
    for (const Vec3 &spelling : spellings) {
        Vec3 turned;
        double distance = 0.0;
        for (int i = 0; i < 3; ++i) {
            turned[i] = nearest_turn(spelling[i], reference[i]);
            distance += (turned[i] - reference[i]) * (turned[i] - reference[i]);
        }
        if (distance < best_distance) best = turned, best_distance = distance;
    }
    return best;
}

void copy_envelope(const Envelope &from, Envelope *to) {
    for (const auto &key : from.keys()) {
        EnvelopeKey *copy = to->append_key(key->time, key->value);
        if (copy) *copy = *key;
    }
    to->pre_behavior = from.pre_behavior;
    to->post_behavior = from.post_behavior;
    to->default_value = from.default_value;
}

// An item's motion as it stood, evaluated the way the host evaluates items.
struct KeptItem {
    ItemKind kind = ItemKind::Object;
    Vec3 pivot{};
    Vec3 pivot_rotation{};
    Envelope channels[kMotionChannelCount];

    Vec3 motion_at(MotionChannel first, double time) const {
        return {channels[first].evaluate(time), channels[first + 1].evaluate(time), channels[first + 2].evaluate(time)};
    }
};

// Where a chain of ancestors takes a point of its child's space: p x M + t.
struct Placement {
    Matrix linear = identity();
    Vec3 offset{};
};

// Parent first, as world_transform composes them.
template <class ItemLike>
Placement placement_of(const std::vector<const ItemLike *> &ancestors, double time) {
    Placement placed;
    for (const ItemLike *ancestor : ancestors) {
        const Matrix step = diagonal(scaling(*ancestor, time)) * orientation(*ancestor, time);
        const Vec3 position = ancestor->motion_at(kPositionX, time);
        Vec3 shifted = placed.offset;
        for (int i = 0; i < 3; ++i) shifted[i] -= ancestor->pivot[i];
        placed.offset = shifted * step;
        for (int i = 0; i < 3; ++i) placed.offset[i] += position[i];
        placed.linear = placed.linear * step;
    }
    return placed;
}

// World position and unit world axes (rows) of an item under a placement,
// a zero scaling leaving the axis its rotation's direction as the host does.
struct WorldPose {
    Vec3 position;
    Matrix axes;
};

template <class ItemLike>
WorldPose pose_of(const ItemLike &item, const std::vector<const ItemLike *> &ancestors, double time) {
    const Placement placed = placement_of(ancestors, time);
    WorldPose pose;
    pose.position = item.motion_at(kPositionX, time) * placed.linear;
    for (int i = 0; i < 3; ++i) pose.position[i] += placed.offset[i];
    Matrix turned = orientation(item, time);
    for (const ItemLike *ancestor : ancestors) turned = turned * orientation(*ancestor, time);
    const Matrix scaled = orientation(item, time) * placed.linear;
    for (int r = 0; r < 3; ++r) {
        const Vec3 v = row(scaled, r);
        const double l = length(v);
        const bool usable = l > 0.0 && std::isfinite(l);
        for (int c = 0; c < 3; ++c) pose.axes.m[r][c] = usable ? v[c] / l : turned.m[r][c];
    }
    return pose;
}

double angle_between(const Vec3 &a, const Vec3 &b) {
    const Vec3 cross = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    const double dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    return std::atan2(length(cross), dot);
}

struct Error {
    double position = 0.0;
    double degrees = 0.0;
};

Error error_between(const WorldPose &now, const WorldPose &was) {
    Error e;
    e.position = length({now.position[0] - was.position[0], now.position[1] - was.position[1],
                         now.position[2] - was.position[2]});
    for (int r = 0; r < 3; ++r)
        e.degrees = std::max(e.degrees, kDegreesPerRadian * angle_between(row(now.axes, r), row(was.axes, r)));
    if (!std::isfinite(e.position)) e.position = std::numeric_limits<double>::infinity();
    if (!std::isfinite(e.degrees)) e.degrees = std::numeric_limits<double>::infinity();
    return e;
}

// A chain that scales its axes differently bends right angles: no rotation
// of the child keeps all three of its world axes.
bool shears(const Matrix &m) {
    double lengths[3];
    for (int r = 0; r < 3; ++r) lengths[r] = length(row(m, r));
    const double largest = std::max({lengths[0], lengths[1], lengths[2]});
    if (!(largest > 0.0)) return false;
    for (int r = 0; r < 3; ++r) {
        if (std::fabs(lengths[r] - largest) > 1e-9 * largest) return true;
        const Vec3 a = row(m, r), b = row(m, (r + 1) % 3);
        if (std::fabs(a[0] * b[0] + a[1] * b[1] + a[2] * b[2]) > 1e-9 * largest * largest) return true;
    }
    return false;
}


}  // namespace

struct MotionSnapshot {
    struct Entry {
        ItemIdValue id;
        ItemIdValue parent;
        std::vector<std::unique_ptr<KeptItem>> chain;  // the item, then its ancestors, parent first
    };
    std::vector<Entry> entries;
};

void MotionSnapshotDeleter::operator()(MotionSnapshot *snapshot) const { delete snapshot; }

bool parse_tolerance(const std::vector<std::string> &words, ToleranceSettings *settings, std::string *error) {
    static const char kUsage[] = "usage: tolerance DISTANCE [DEGREES] | tolerance off";
    if (words.size() == 2 && words[1] == "off") {
        *settings = ToleranceSettings{};
        return true;
    }
    double values[2] = {0.0, kDefaultToleranceDegrees};
    if (words.size() < 2 || words.size() > 3) {
        *error = kUsage;
        return false;
    }
    for (size_t i = 1; i < words.size(); ++i) {
        char *end = nullptr;
        values[i - 1] = std::strtod(words[i].c_str(), &end);
        if (words[i].empty() || *end != '\0' || !std::isfinite(values[i - 1]) || !(values[i - 1] > 0.0)) {
            *error = "tolerance: '" + words[i] + "' is not a positive number; " + kUsage;
            return false;
        }
    }
    *settings = ToleranceSettings{true, values[0], values[1]};
    return true;
}

KeyConventions key_conventions_of_version(int version) {
    KeyConventions c;
    if (version == 1) {
        c.whole_frames = c.shared_frames = c.tcb_or_linear = true;
    } else if (version == 2) {
        c.tcb_only = true;
    }
    return c;
}

namespace {

struct FrameRange {
    long first;
    long last;
};

// The frames the report checks for these envelopes (the render range joined
// with every frame holding a key of the item or its old or new ancestors), as
// one span; an empty
// span when there is no usable range, and a span of more frames than listed
// when the report would check only some of them.
FrameRange checked_span(const Scene &scene, const std::vector<const Envelope *> &envelopes) {
    const std::vector<int> frames = checked_frames(scene, envelopes);
    if (frames.empty()) return FrameRange{0, -1};
    FrameRange range{frames.front(), frames.back()};
    if (static_cast<size_t>(range.last - range.first + 1) != frames.size()) range.last = range.first + kMostFramesChecked;
    return range;
}

}  // namespace

MotionSnapshotPtr snapshot_motion(const Scene &scene, const std::vector<ItemIdValue> &items) {
    MotionSnapshotPtr snapshot(new MotionSnapshot);
    for (ItemIdValue id : items) {
        const Item *item = scene.find(id);
        if (!item || !item->motion || item->motion->channels.size() < kMotionChannelCount) continue;
        MotionSnapshot::Entry entry{id, item->parent, {}};
        std::vector<const Item *> chain = ancestors_of(scene, *item);
        chain.insert(chain.begin(), item);
        for (const Item *link : chain) {
            auto kept = std::make_unique<KeptItem>();
            kept->kind = link->kind;
            kept->pivot = link->pivot;
            kept->pivot_rotation = link->pivot_rotation;
            if (link->motion && link->motion->channels.size() >= kMotionChannelCount)
                for (int c = 0; c < kMotionChannelCount; ++c)
                    copy_envelope(link->channel(MotionChannel(c)).envelope, &kept->channels[c]);
            else
                for (int c = kScaleX; c < kMotionChannelCount; ++c) kept->channels[c].default_value = 1.0;
            entry.chain.push_back(std::move(kept));
        }
        snapshot->entries.push_back(std::move(entry));
    }
    return snapshot;
}

namespace {

// One item's keys being added.
class Holder {
public:
    Holder(Scene &scene, Item &item, const MotionSnapshot::Entry &was, const ToleranceSettings &settings,
           const KeyConventions &conventions)
        : scene_(scene), item_(item), was_(was), settings_(settings), conventions_(conventions) {
        for (size_t i = 1; i < was.chain.size(); ++i) old_ancestors_.push_back(was.chain[i].get());
    }

    WorldPose old_pose(double time) const { return pose_of(*was_.chain[0], old_ancestors_, time); }
    WorldPose new_pose(double time) const {
        return WorldPose{world_position(scene_, item_.id, time), axes_now(time)};
    }
    Error error_at(double time) const { return error_between(new_pose(time), old_pose(time)); }
    // How far out of the tolerance, 1 at its edge; once the rotation is
    // known to be out of reach, the position alone.
    double score(const Error &e) const {
        const double position = e.position / settings_.distance;
        return position_only_ ? position : std::max(position, e.degrees / settings_.degrees);
    }
    void hold_position_only() { position_only_ = true; }
    bool position_only() const { return position_only_; }

    // The local position and angles that put the item where it was at `time`.
    bool target(double time, Vec3 *position, Vec3 *angles, bool *sheared) const {
        const std::vector<const Item *> ancestors = ancestors_of(scene_, item_);
        const Placement placed = placement_of(ancestors, time);
        *sheared = shears(placed.linear);
        Matrix undo;
        if (!inverse(placed.linear, &undo)) return false;
        const WorldPose was = old_pose(time);
        Vec3 p = was.position;
        for (int i = 0; i < 3; ++i) p[i] -= placed.offset[i];
        *position = p * undo;
        // The parent chain's axes without their lengths: the item's own
        // orientation times these must give the world axes it had.
        Matrix unit = placed.linear;
        for (int r = 0; r < 3; ++r) {
            const double l = length(row(unit, r));
            for (int c = 0; c < 3; ++c) unit.m[r][c] /= l;
        }
        Matrix undo_unit, undo_pivot;
        if (!inverse(unit, &undo_unit)) return false;
        undo_pivot = transposed(rotation(item_.pivot_rotation));
        const Matrix own = nearest_rotation(was.axes * undo_unit * undo_pivot);
        const Vec3 now = item_.motion_at(kHeading, time);
        *angles = continuous_angles(angles_of(own, now[0]), now);
        for (int i = 0; i < 3; ++i)
            if (!std::isfinite((*position)[i]) || !std::isfinite((*angles)[i])) return false;
        return true;
    }

    // Adds keys at `time` to the channels that need them; returns how many.
    int add_keys(double time, bool position, bool rotation, bool *sheared) {
        Vec3 values[2];
        if (!target(time, &values[0], &values[1], sheared)) return 0;
        // Slopes of the target, so keys with tangents of their own lie along it.
        const double step = 0.25 / scene_.frames_per_second;
        Vec3 around[2][2];
        bool ignored = false;
        const bool slopes = target(time - step, &around[0][0], &around[0][1], &ignored) &&
                            target(time + step, &around[1][0], &around[1][1], &ignored);
        bool wanted[kMotionChannelCount] = {position, position, position, rotation, rotation, rotation};
        if (conventions_.shared_frames) {
            // The file keeps one set of key frames for the channels that move.
            bool any = false;
            for (int c = 0; c < kMotionChannelCount; ++c) any = any || wanted[c];
            for (int c = 0; c < kMotionChannelCount && any; ++c)
                if (item_.channel(MotionChannel(c)).envelope.key_count() > 0) wanted[c] = true;
        }
        int added = 0;
        for (int c = 0; c < kMotionChannelCount; ++c) {
            Envelope &envelope = item_.channel(MotionChannel(c)).envelope;
            if (!wanted[c] || has_key_near(envelope, time)) continue;
            // Channels keyed only because the file keys all channels together
            // (scale, or position when only the rotation is out) keep their curve's value.
            const bool aimed = c < kScaleX && (c < kHeading ? position : rotation);
            const double value = !aimed          ? envelope.evaluate(time)
                                 : c < kHeading ? values[0][c]
                                                : values[1][c - kHeading];
            double slope = 0.0;
            if (!aimed) {
                slope = (envelope.evaluate(time + step) - envelope.evaluate(time - step)) / (2 * step);
            } else if (slopes) {
                const int i = c < kHeading ? 0 : 1, j = c % 3;
                const double before = around[0][i][j], after = around[1][i][j];
                slope = (c < kHeading ? after - before
                                      : nearest_turn(after, value) - nearest_turn(before, value)) / (2 * step);
            }
            insert_key(envelope, time, value, slope);
            ++added;
            added_[{time, c}] = slope;
            refit_around(c, time);
        }
        return added;
    }

    // The times whose values a key at `time` can change: a key moves the
    // tangents of its neighbours, so the curve up to two keys away on either
    // side; past the end keys the behaviours carry the change on.
    std::pair<double, double> reach_of(double time) const {
        const double inf = std::numeric_limits<double>::infinity();
        std::pair<double, double> reach{time, time};
        for (int c = 0; c < kMotionChannels; ++c) {
            const auto &keys = item_.channel(MotionChannel(c)).envelope.keys();
            const auto before = [](const KeyRef &k, double t) { return k->time < t; };
            const auto at = std::lower_bound(keys.begin(), keys.end(), time, before);
            if (at == keys.end() || (*at)->time != time) continue;
            const long i = at - keys.begin(), n = static_cast<long>(keys.size());
            reach.first = std::min(reach.first, i >= 2 ? keys[static_cast<size_t>(i - 2)]->time : -inf);
            reach.second = std::max(reach.second, i + 2 < n ? keys[static_cast<size_t>(i + 2)]->time : inf);
        }
        return reach;
    }

    // Takes out the added keys at `time` when every sample `fits` without
    // them; puts them back otherwise. Keys whose neighbours carry tangents
    // of their own stay, as taking them out would not give those back.
    template <class Fits>
    bool try_without(double time, Fits fits) {
        std::vector<std::pair<int, EnvelopeKey>> taken;
        const auto first = added_.lower_bound({time, 0}), last = added_.lower_bound({time, kMotionChannelCount});
        for (auto added = first; added != last; ++added) {
            Envelope &envelope = item_.channel(MotionChannel(added->first.second)).envelope;
            const EnvelopeKey *key = envelope.find_key(time);
            if (!key) continue;
            const EnvelopeKey *const around[] = {key, envelope.prev_key(key), envelope.next_key(key)};
            for (const EnvelopeKey *k : around) {
                const KeyShape shape = k ? k->shape() : KeyShape::Tcb;
                if (shape != KeyShape::Tcb && shape != KeyShape::Linear && shape != KeyShape::Stepped) return false;
            }
        }
        for (auto added = first; added != last; ++added) {
            const int channel = added->first.second;
            Envelope &envelope = item_.channel(MotionChannel(channel)).envelope;
            if (const EnvelopeKey *key = envelope.find_key(time)) {
                taken.emplace_back(channel, *key);
                const EnvelopeKey *prev = envelope.prev_key(key), *next = envelope.next_key(key);
                const double around[2] = {prev ? prev->time : time, next ? next->time : time};
                envelope.destroy_key(key);
                for (double t : around) refit(channel, t);
            }
        }
        if (taken.empty()) return false;
        if (fits()) {
            added_.erase(first, last);
            return true;
        }
        for (const auto &back : taken) {
            EnvelopeKey *key = item_.channel(MotionChannel(back.first)).envelope.create_key(time, back.second.value);
            if (key) *key = back.second;
            refit_around(back.first, time);
        }
        return false;
    }

    size_t added_channel_keys() const { return added_.size(); }

private:
    // A key a hair off this time (a time read back in single precision)
    // already holds the frame; a second key there would make two in one frame.
    // The hair is the plug-in's: 1/1000 frame, or twice a single-precision
    // time's error far into a take.
    bool has_key_near(const Envelope &envelope, double time) const {
        const double frame = time * scene_.frames_per_second;
        const double slack = std::max(kFrameSlack, std::ldexp(std::fabs(frame), -23)) / scene_.frames_per_second;
        const auto &keys = envelope.keys();
        const auto before = [](const KeyRef &k, double t) { return k->time < t; };
        const auto at = std::lower_bound(keys.begin(), keys.end(), time - slack, before);
        return at != keys.end() && (*at)->time <= time + slack;
    }

    // A TCB key's slope follows from its neighbours, which is only a rough
    // guess where they lie at uneven distances; the bias of an added key
    // turns its slope to the target's, within the bias the interface offers.
    void refit(int channel, double time) {
        const auto added = added_.find({time, channel});
        if (added == added_.end() || conventions_.shared_frames) return;
        Envelope &envelope = item_.channel(MotionChannel(channel)).envelope;
        EnvelopeKey *key = envelope.find_key(time);
        if (!key || key->shape() != KeyShape::Tcb || key->continuity() != 0.0 || !(key->tension() < 1.0)) return;
        const EnvelopeKey *prev = envelope.prev_key(key), *next = envelope.next_key(key);
        if (!prev || !next) return;
        const double before = time - prev->time, after = next->time - time;
        const double rise_before = key->value - prev->value, rise_after = next->value - key->value;
        if (!(before > 0.0) || !(after > 0.0) || !(std::fabs(rise_before - rise_after) > 1e-12)) return;
        const double bias =
            (added->second * (before + after) / (1.0 - key->tension()) - rise_before - rise_after) /
            (rise_before - rise_after);
        if (std::isfinite(bias)) key->set_bias(std::min(1.0, std::max(-1.0, bias)));
    }

    void refit_around(int channel, double time) {
        Envelope &envelope = item_.channel(MotionChannel(channel)).envelope;
        const EnvelopeKey *key = envelope.find_key(time);
        const EnvelopeKey *prev = key ? envelope.prev_key(key) : nullptr;
        const EnvelopeKey *next = key ? envelope.next_key(key) : nullptr;
        refit(channel, time);
        if (prev) refit(channel, prev->time);
        if (next) refit(channel, next->time);
    }

    // The keys added, by time and channel, with the target's slope there.
    std::map<std::pair<double, int>, double> added_;
    bool position_only_ = false;

    Matrix axes_now(double time) const {
        const WorldAxes a = world_axes(scene_, item_.id, time);
        Matrix m;
        for (int c = 0; c < 3; ++c) m.m[0][c] = a.right[c], m.m[1][c] = a.up[c], m.m[2][c] = a.forward[c];
        return m;
    }

    // A key of the neighbours' shape; neighbours whose tangents are measured
    // across their span keep their slopes as the span shortens.
    void insert_key(Envelope &envelope, double time, double value, double slope) {
        const size_t count = envelope.key_count();
        EnvelopeKey *key = envelope.create_key(time, value);
        if (!key) return;
        EnvelopeKey *prev = envelope.prev_key(key);
        EnvelopeKey *next = envelope.next_key(key);
        const EnvelopeKey *model = prev ? prev : next;
        if (model && count > 0) {
            key->set_shape(model->shape());
            key->set_tension(model->tension());
            key->set_continuity(model->continuity());
            key->set_bias(model->bias());
            key->set_bezier_extra(0, 0.0);
            key->set_bezier_extra(1, 0.0);
        }
        if (conventions_.tcb_only && key->shape() != KeyShape::Tcb) key->set_shape(KeyShape::Tcb);
        if (conventions_.tcb_or_linear && key->shape() != KeyShape::Tcb && key->shape() != KeyShape::Linear)
            key->set_shape(KeyShape::Tcb);
        const double before = prev ? time - prev->time : 0.0;
        const double after = next ? next->time - time : 0.0;
        const double old_span = prev && next ? next->time - prev->time : 0.0;
        switch (key->shape()) {
        case KeyShape::Hermite:
        case KeyShape::Bezier:
            key->set_param(0, slope * before);
            key->set_param(1, slope * after);
            break;
        case KeyShape::Bezier2D:
            key->set_param(0, -before / 3.0);
            key->set_param(1, slope * key->param(0));
            key->set_param(2, after / 3.0);
            key->set_param(3, slope * key->param(2));
            break;
        default: break;
        }
        if (old_span > 0.0) {
            if (prev && (prev->shape() == KeyShape::Hermite || prev->shape() == KeyShape::Bezier))
                prev->set_param(1, prev->param(1) * (before / old_span));
            if (next && (next->shape() == KeyShape::Hermite || next->shape() == KeyShape::Bezier))
                next->set_param(0, next->param(0) * (after / old_span));
        }
        // 2D handles reaching past the new key would fold the curve back.
        if (prev && prev->shape() == KeyShape::Bezier2D && prev->param(2) > before / 3.0 && prev->param(2) > 0.0) {
            const double shrink = before / 3.0 / prev->param(2);
            prev->set_param(2, prev->param(2) * shrink);
            prev->set_param(3, prev->param(3) * shrink);
        }
        if (next && next->shape() == KeyShape::Bezier2D && -next->param(0) > after / 3.0 && next->param(0) < 0.0) {
            const double shrink = after / 3.0 / -next->param(0);
            next->set_param(0, next->param(0) * shrink);
            next->set_param(1, next->param(1) * shrink);
        }
    }

    Scene &scene_;
    Item &item_;
    const MotionSnapshot::Entry &was_;
    const ToleranceSettings &settings_;
    const KeyConventions &conventions_;
    std::vector<const KeptItem *> old_ancestors_;
};

struct Sample {
    double time;
    long frame;
    bool half;
    Error error;
    int tries = 0;
    bool given_up = false;
};

struct Largest {
    Error error;
    bool any = false;
    void take(const Error &e) {
        error.position = std::max(error.position, e.position);
        error.degrees = std::max(error.degrees, e.degrees);
        any = true;
    }
    std::string text() const {
        if (!any) return "none";
        return report_number(error.position) + " units, " + report_number(error.degrees) + " deg";
    }
};

}  // namespace

bool hold_world_motion(Scene &scene, const MotionSnapshot &before, const ToleranceSettings &settings,
                       const KeyConventions &conventions, std::ostream &out) {
    out << "tolerance " << report_number(settings.distance) << " units, " << report_number(settings.degrees)
        << " deg:\n";
    const double fps = scene.frames_per_second;
    // Parents before their children: a child's world motion rides on keys
    // added to its ancestors.
    std::vector<const MotionSnapshot::Entry *> order;
    for (const auto &entry : before.entries) order.push_back(&entry);
    auto depth = [&](const MotionSnapshot::Entry *e) {
        const Item *item = scene.find(e->id);
        return item ? ancestors_of(scene, *item).size() : 0;
    };
    std::stable_sort(order.begin(), order.end(), [&](auto *a, auto *b) { return depth(a) < depth(b); });

    bool all_met = true;
    for (const MotionSnapshot::Entry *was : order) {
        Item *item = scene.find(was->id);
        const std::string name = report_label(scene, was->id);
        if (!item || !item->motion || item->motion->channels.size() < kMotionChannelCount) {
            out << "  " << name << ": no longer in the scene\n";
            continue;
        }
        if (item->parent == was->parent) {
            out << "  " << name << ": not re-parented, no keys added\n";
            continue;
        }
        std::vector<const Envelope *> envelopes;
        for (int c = 0; c < kMotionChannelCount; ++c) envelopes.push_back(&item->channel(MotionChannel(c)).envelope);
        for (size_t i = 1; i < was->chain.size(); ++i)
            for (const Envelope &e : was->chain[i]->channels) envelopes.push_back(&e);
        for (const Item *ancestor : ancestors_of(scene, *item))
            for (int c = 0; c < kMotionChannelCount && ancestor->motion &&
                            ancestor->motion->channels.size() >= kMotionChannelCount;
                 ++c)
                envelopes.push_back(&ancestor->channel(MotionChannel(c)).envelope);
        const FrameRange range = checked_span(scene, envelopes);
        const long frames = range.last - range.first + 1;
        if (frames <= 0 || frames > kMostFramesChecked) {
            out << "  " << name << ": NOT held: "
                << (frames <= 0 ? "no usable frame range" : "the range has too many frames")
                << " (frames " << range.first << " to " << range.last << ")\n";
            all_met = false;
            continue;
        }

        Holder holder(scene, *item, *was, settings, conventions);
        std::vector<Sample> samples;
        for (long f = range.first; f <= range.last; ++f) {
            samples.push_back(Sample{static_cast<double>(f) / fps, f, false, {}});
            if (f < range.last) samples.push_back(Sample{(static_cast<double>(f) + 0.5) / fps, f, true, {}});
        }
        // Worst first; a sample's entry is replaced whenever it is measured again.
        std::set<std::pair<double, size_t>> worst;
        auto measure = [&](size_t i) {
            Sample &s = samples[i];
            worst.erase({holder.score(s.error), i});
            s.error = holder.error_at(s.time);
            if (!s.given_up) worst.insert({holder.score(s.error), i});
        };
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i].error = holder.error_at(samples[i].time);
            worst.insert({holder.score(samples[i].error), i});
        }
        auto index_of_frame = [&](long frame) { return static_cast<size_t>(2 * (frame - range.first)); };

        std::vector<Error> at_start;
        for (const Sample &s : samples) at_start.push_back(s.error);
        long added_times = 0;
        std::vector<double> added_at;
        int missed = 0;
        bool sheared = false;
        std::string stopped;
        while (!worst.empty()) {
            const auto top = *worst.rbegin();
            if (!(top.first > 1.0)) break;
            if (added_times >= frames) {
                stopped += (stopped.empty() ? "" : "; ") + std::string("the budget of ") + std::to_string(frames) +
                           " keys (one per frame) is spent";
                break;
            }
            if (sheared && missed >= kShearTries && !holder.position_only()) {
                // The position can still be held; the rotation cannot.
                stopped = "the new parent chain scales its axes unevenly (shear): rotation keys cannot keep the "
                          "world axes; gave up on the rotation after " + std::to_string(missed) +
                          " tries and held the position alone";
                holder.hold_position_only();
                worst.clear();
                for (size_t i = 0; i < samples.size(); ++i)
                    if (!samples[i].given_up) worst.insert({holder.score(samples[i].error), i});
                continue;
            }
            Sample &aimed = samples[top.second];
            if (aimed.tries >= kTriesPerSample) {
                aimed.given_up = true;
                worst.erase(top);
                continue;
            }
            ++aimed.tries;
            // A half frame is first held by a key on its worse neighbouring
            // frame, where animators expect keys; then by one of its own.
            size_t at = top.second;
            if (aimed.half && (aimed.tries < 3 || conventions.whole_frames)) {
                const size_t left = index_of_frame(aimed.frame), right = left + 2;
                at = holder.score(samples[left].error) >= holder.score(samples[right].error) ? left : right;
                if (aimed.tries == 2) at = at == left ? right : left;
            }
            const Error e = samples[at].error;
            const bool position = e.position > settings.distance || aimed.error.position > settings.distance;
            const bool rotation = e.degrees > settings.degrees || aimed.error.degrees > settings.degrees;
            bool shear_here = false;
            const int keys = holder.add_keys(samples[at].time, position, rotation, &shear_here);
            sheared = sheared || shear_here;
            if (keys > 0) {
                const auto reach = holder.reach_of(samples[at].time);
                auto remeasure = [&] {
                    for (size_t i = 0; i < samples.size(); ++i)
                        if (samples[i].time >= reach.first && samples[i].time <= reach.second) measure(i);
                };
                remeasure();
                // Keys that leave the frame they aimed at as bad as it was (a
                // shearing chain) come out again.
                if (!(holder.score(samples[top.second].error) < top.first) &&
                    holder.try_without(samples[at].time, [] { return true; })) {
                    remeasure();
                    ++missed;
                    continue;
                }
                ++added_times;
                added_at.push_back(samples[at].time);
            }
            if (holder.score(samples[top.second].error) > 1.0 && at == top.second) ++missed;
        }

        // Keys that end no better than the command left the item would only
        // bury its own keys: they all come out again.
        double worst_left = 0.0, worst_at_start = 0.0;
        for (size_t i = 0; i < samples.size(); ++i) {
            worst_left = std::max(worst_left, holder.score(samples[i].error));
            worst_at_start = std::max(worst_at_start, holder.score(at_start[i]));
        }
        if (worst_left > worst_at_start && !added_at.empty()) {
            for (double t : added_at)
                if (holder.try_without(t, [] { return true; })) --added_times;
            for (size_t i = 0; i < samples.size(); ++i) measure(i);
            stopped += "; the keys it took left the motion worse than none, so none were kept";
        }

        // Worst first puts keys where the error peaked before later keys
        // flattened it; some of them the later keys make unnecessary.
        bool met = !holder.position_only();
        for (const Sample &s : samples) met = met && holder.score(s.error) <= 1.0;
        if (met) {
            for (bool pruned = true; pruned;) {
              pruned = false;
              for (auto t = added_at.begin(); t != added_at.end(); ++t) {
                const auto reach = holder.reach_of(*t);
                auto fits = [&] {
                    for (Sample &s : samples)
                        if (s.time >= reach.first && s.time <= reach.second &&
                            holder.score(holder.error_at(s.time)) > 1.0)
                            return false;
                    return true;
                };
                if (holder.try_without(*t, fits)) {
                    --added_times;
                    pruned = true;
                }
                for (size_t i = 0; i < samples.size(); ++i)
                    if (samples[i].time >= reach.first && samples[i].time <= reach.second) measure(i);
              }
            }
        }
        const size_t added_keys = holder.added_channel_keys();

        Largest at_frames, at_halves, at_keys;
        for (const Sample &s : samples) (s.half ? at_halves : at_frames).take(s.error);
        std::vector<double> key_times;
        for (int c = 0; c < kMotionChannelCount; ++c)
            for (const auto &key : item->channel(MotionChannel(c)).envelope.keys()) key_times.push_back(key->time);
        std::sort(key_times.begin(), key_times.end());
        key_times.erase(std::unique(key_times.begin(), key_times.end()), key_times.end());
        for (double t : key_times) at_keys.take(holder.error_at(t));
        met = !holder.position_only();
        for (const Sample &s : samples) met = met && holder.score(s.error) <= 1.0;
        if (!met && stopped.empty())
            stopped = conventions.whole_frames
                          ? "some half frames cannot be held: this scene format keeps keys on whole frames only"
                          : "some frames cannot be held by adding keys (keys already there)";
        out << "  " << name << ": keys added at " << added_times << " of " << frames << " frames (" << added_keys
            << " channel keys; baking every frame keys all " << frames << "), checked frames " << range.first
            << " to " << range.last << " and their half frames\n";
        out << "    largest error left: frames " << at_frames.text() << "; half frames " << at_halves.text()
            << "; keys " << at_keys.text() << "\n";
        if (met) {
            out << "    tolerance met\n";
        } else {
            out << "    tolerance NOT met: " << stopped << "\n";
            all_met = false;
        }
    }
    return all_met;
}

}  // namespace headless
