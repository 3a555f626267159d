#include "world_motion_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <string>

namespace headless {
namespace {

constexpr int kMotionChannels = 6;
// Sampling more frames than this would make the report the slow part of a run.
constexpr long kMostFramesSampled = 1000000;
constexpr double kDegreesPerRadian = 57.29577951308232;

WorldSample sample(const Scene &scene, ItemIdValue id, double time) {
    return WorldSample{time, world_position(scene, id, time), world_axes(scene, id, time)};
}

double distance(const Vec3 &a, const Vec3 &b) {
    return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

// Angle between two unit vectors, well conditioned near 0 as acos is not.
double angle_between(const Vec3 &a, const Vec3 &b) {
    const Vec3 cross = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    const double dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    return std::atan2(std::sqrt(cross[0] * cross[0] + cross[1] * cross[1] + cross[2] * cross[2]), dot);
}

// The largest turn of any of the item's axes, in degrees.
double rotation_change(const WorldAxes &a, const WorldAxes &b) {
    return kDegreesPerRadian *
           std::max({angle_between(a.right, b.right), angle_between(a.up, b.up), angle_between(a.forward, b.forward)});
}

struct LargestChange {
    double position = 0.0;
    double rotation = 0.0;
    bool finite = true;  // false when a sample was not a number
};

LargestChange compare(const Scene &scene, ItemIdValue id, const std::vector<WorldSample> &before) {
    LargestChange largest;
    for (const WorldSample &was : before) {
        const WorldSample now = sample(scene, id, was.time);
        const double position = distance(now.position, was.position);
        const double rotation = rotation_change(now.axes, was.axes);
        if (!std::isfinite(position) || !std::isfinite(rotation)) largest.finite = false;
        if (position > largest.position) largest.position = position;
        if (rotation > largest.rotation) largest.rotation = rotation;
    }
    return largest;
}

std::string format_number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

std::string label(const Scene &scene, ItemIdValue id) {
    if (!id) return "(none)";
    const Item *item = scene.find(id);
    return (item ? item->name : std::string("<gone>")) + " [" + item_id_text(id) + "]";
}

void print_change(std::ostream &out, const char *where, const LargestChange &change) {
    out << "    " << where << ": world position moved at most " << format_number(change.position)
        << ", world rotation turned at most " << format_number(change.rotation) << " deg";
    if (!change.finite) out << " (some samples are not numbers)";
    out << "\n";
}

}  // namespace

WorldMotionBefore record_world_motion(const Scene &scene) {
    WorldMotionBefore before;
    before.first_frame = scene.frame_start;
    before.last_frame = scene.frame_end;
    const double fps = scene.frames_per_second;
    const long frames = static_cast<long>(scene.frame_end) - scene.frame_start + 1;
    const bool sample_frames = std::isfinite(fps) && fps > 0.0 && frames > 0 && frames <= kMostFramesSampled;
    if (!sample_frames) before.last_frame = before.first_frame - 1;

    for (ItemIdValue id : scene.selection) {
        const Item *item = scene.find(id);
        if (!item || !item->motion || item->motion->channels.size() < kMotionChannels) continue;
        ItemMotionBefore record;
        record.id = id;
        record.parent = item->parent;
        std::vector<double> key_times;
        for (int c = 0; c < kMotionChannels; ++c)
            for (const auto &key : item->channel(MotionChannel(c)).envelope.keys()) {
                record.keys[c].push_back(KeySample{key.get(), key->time, key->value});
                key_times.push_back(key->time);
            }
        std::sort(key_times.begin(), key_times.end());
        key_times.erase(std::unique(key_times.begin(), key_times.end()), key_times.end());
        for (double time : key_times) record.at_keys.push_back(sample(scene, id, time));
        if (sample_frames)
            for (int frame = scene.frame_start; frame <= scene.frame_end; ++frame)
                record.per_frame.push_back(sample(scene, id, frame / fps));
        before.items.push_back(std::move(record));
    }
    return before;
}

void print_world_motion_report(std::ostream &out, const Scene &scene, const WorldMotionBefore &before) {
    out << "world motion report:\n";
    if (before.items.empty()) out << "  no item was selected\n";
    for (const ItemMotionBefore &was : before.items) {
        const Item *item = scene.find(was.id);
        if (!item) {
            out << "  " << label(scene, was.id) << ": no longer in the scene\n";
            continue;
        }
        size_t rewritten = 0;
        size_t created = 0;
        for (int c = 0; c < kMotionChannels; ++c) {
            for (const auto &key : item->channel(MotionChannel(c)).envelope.keys()) {
                const auto found = std::find_if(was.keys[c].begin(), was.keys[c].end(),
                                                [&](const KeySample &k) { return k.key == key.get(); });
                if (found == was.keys[c].end())
                    ++created;
                else if (found->value != key->value || found->time != key->time)
                    ++rewritten;
            }
        }
        if (item->parent == was.parent && rewritten == 0 && created == 0) {
            out << "  " << label(scene, was.id) << ": unchanged\n";
            continue;
        }
        out << "  " << (item->parent != was.parent ? "re-parented " : "re-keyed ") << label(scene, was.id) << ": "
            << label(scene, was.parent) << " -> " << label(scene, item->parent) << "; keys given new values "
            << rewritten << ", keys created " << created << "\n";
        print_change(out, ("at " + std::to_string(was.at_keys.size()) + " key times").c_str(),
                     compare(scene, was.id, was.at_keys));
        if (was.per_frame.empty())
            out << "    frames: not sampled (no usable frame range)\n";
        else
            print_change(out,
                         ("every frame " + std::to_string(before.first_frame) + " to " +
                          std::to_string(before.last_frame))
                             .c_str(),
                         compare(scene, was.id, was.per_frame));
    }
}

}  // namespace headless
