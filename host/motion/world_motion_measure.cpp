#include "world_motion_recorded.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "host/core/both_cores.h"
#include "interface/frame_rule.h"

namespace headless {
namespace {

constexpr int kMotionChannels = 6;
// A span of frames longer than this is not sampled whole.
constexpr int64_t kMostFramesSampled = 1000000;
// Poses held for the comparison; beyond this the frames are left out rather
// than taking the memory of many scenes.
constexpr size_t kMostPosesHeld = 8000000;
// Key times this far from zero, in frames, are beyond any frame worth sampling.
constexpr double kFarthestFrame = 1e9;
// Times evaluated together: enough to keep each envelope's keys in the cache,
// few enough that the poses of a large hierarchy stay small.
constexpr size_t kTimesPerBlock = 256;
// Frame rows the report compares at a time: few enough that their poses
// before and now stay in the cache.
constexpr size_t kRowsPerRound = 64;
// A world scale changed by less than this part is taken as kept (rounding).
constexpr double kScaleTolerance = 1e-6;
constexpr double kDegreesPerRadian = 57.29577951308232;

bool has_motion(const Item &item) { return item.motion && item.motion->channels.size() >= kMotionChannels; }

double squared(const Vec3 &v) { return v[0] * v[0] + v[1] * v[1] + v[2] * v[2]; }

// The largest changes between two poses of one item, kept squared (position,
// chord between unit axes, scale factor) until the measure is made, and the
// frames of the first two (the earliest of equals, so shares joined in any
// order agree; NaN before a sample).
struct Change {
    double position2 = 0.0;
    double chord2 = 0.0;
    double scale2 = 1.0;
    bool finite = true;  // false when a sample was not a number
    double position_at = std::numeric_limits<double>::quiet_NaN();
    double chord_at = std::numeric_limits<double>::quiet_NaN();

    // A single sample's change: it was taken at `frame`.
    Change &at(double frame) {
        position_at = chord_at = frame;
        return *this;
    }

    void add(const WorldPose &was, const WorldPose &now) {
        const double moved = squared({now.position[0] - was.position[0], now.position[1] - was.position[1],
                                      now.position[2] - was.position[2]});
        keep(moved, &position2);
        for (int r = 0; r < 3; ++r) {
            const double a = squared(was.axes[r]), b = squared(now.axes[r]);
            // A flattened axis has no direction; the scale shows it.
            if (a > 0.0 && b > 0.0) {
                const double ra = 1.0 / std::sqrt(a), rb = 1.0 / std::sqrt(b);
                keep(squared({now.axes[r][0] * rb - was.axes[r][0] * ra, now.axes[r][1] * rb - was.axes[r][1] * ra,
                              now.axes[r][2] * rb - was.axes[r][2] * ra}),
                     &chord2);
            }
            const double length_was = was.scale[r] * was.scale[r] * a;
            const double length_now = now.scale[r] * now.scale[r] * b;
            double factor = 1.0;
            if (length_was != length_now)
                factor = length_was > 0.0 && length_now > 0.0
                             ? std::max(length_now / length_was, length_was / length_now)
                             : HUGE_VAL;
            keep(factor, &scale2);
        }
    }
    void add(const Change &other) {
        keep_where(other.position2, other.position_at, &position2, &position_at);
        keep_where(other.chord2, other.chord_at, &chord2, &chord_at);
        keep(other.scale2, &scale2);
        finite = finite && other.finite;
    }
    void keep_where(double value, double where, double *largest, double *largest_at) {
        if (std::isnan(where)) {  // no sample there
            keep(value, largest);
            return;
        }
        if (std::isnan(value)) finite = false;
        if (value > *largest || (value == *largest && !(where >= *largest_at))) {
            *largest = value;
            *largest_at = where;
        }
    }
    void keep(double value, double *largest) {
        if (std::isnan(value)) finite = false;
        if (value > *largest) *largest = value;
    }

    double position() const { return std::sqrt(position2); }
    double degrees() const { return 2.0 * std::asin(std::min(1.0, std::sqrt(chord2) / 2.0)) * kDegreesPerRadian; }
    double scale_factor() const { return std::sqrt(scale2); }
    MotionChange largest() const { return MotionChange{position(), degrees(), finite, position_at, chord_at}; }
    bool scale_changed() const { return !(scale2 <= 1.0 + kScaleTolerance); }
};

// Whether Layout moves the item by more than its keys: a controller, an IK
// goal, a target, a pole, a position, rotation or scale item, or a motion or
// channel plug-in. The host evaluates keys alone.
bool moved_beyond_keys(const Item &item) {
    for (int axis = 0; axis < 3; ++axis)
        if (item.controllers[axis] != 0 || item.position_controllers[axis] != 0) return true;
    if (item.goal || item.target || item.pole || item.position_item || item.rotation_item || item.scale_item)
        return true;
    for (const MotionPlugin &plugin : item.motion_plugins)
        if (plugin.enabled) return true;
    return false;
}

ptrdiff_t place_in(const std::vector<ItemIdValue> &chain, ItemIdValue id) {
    const auto at = std::find(chain.begin(), chain.end(), id);
    return at == chain.end() ? -1 : at - chain.begin();
}

// Samples each frame at the time of a key of the selected items that lies on
// it within a hair, the first such time when several do, else at the frame.
std::vector<double> frame_times(const std::vector<int> &frames, const std::vector<KeyTimeGroup> &groups,
                                double fps) {
    std::vector<double> times;
    times.reserve(frames.size());
    for (int frame : frames) times.push_back(frame / fps);
    if (frames.empty()) return times;
    std::vector<double> keyed;
    for (const KeyTimeGroup &group : groups) keyed.insert(keyed.end(), group.times.begin(), group.times.end());
    std::sort(keyed.begin(), keyed.end());
    keyed.erase(std::unique(keyed.begin(), keyed.end()), keyed.end());
    std::vector<char> taken(frames.size(), 0);
    for (double time : keyed) {
        const int64_t frame = frame_holding(time, fps);
        if (!on_frame(time * fps, static_cast<double>(frame))) continue;
        const auto at = std::lower_bound(frames.begin(), frames.end(), frame);
        if (at == frames.end() || *at != frame) continue;
        const size_t row = static_cast<size_t>(at - frames.begin());
        if (taken[row]) continue;
        taken[row] = 1;
        times[row] = time;
    }
    return times;
}

// Evaluates the sampler at `times` in blocks and hands each block's poses on.
template <typename Use>
void evaluate_in_blocks(const HierarchySampler &sampler, const std::vector<double> &times,
                        const std::vector<char> *mask, Use use) {
    std::vector<WorldPose> poses(std::min(times.size(), kTimesPerBlock) * sampler.size());
    for (size_t first = 0; first < times.size(); first += kTimesPerBlock) {
        const size_t count = std::min(kTimesPerBlock, times.size() - first);
        sampler.evaluate(&times[first], count, mask, poses.data());
        use(first, count, poses.data());
    }
}

// The run of `runs` (each with a `begin`, in order) that holds element i,
// trying the one at `cursor` and the next before searching.
template <class Run>
size_t run_holding(const std::vector<Run> &runs, size_t i, size_t *cursor) {
    size_t r = *cursor;
    auto holds = [&](size_t at) {
        return at < runs.size() && runs[at].begin <= i && (at + 1 == runs.size() || runs[at + 1].begin > i);
    };
    if (!holds(r)) {
        if (holds(r + 1)) {
            ++r;
        } else {
            const auto after = std::upper_bound(runs.begin(), runs.end(), i,
                                                [](size_t value, const Run &run) { return value < run.begin; });
            r = static_cast<size_t>(after - runs.begin()) - 1;
        }
    }
    *cursor = r;
    return r;
}

// The keys given new values and the keys created: each key now in a channel
// is matched with the one recorded at the same time, the n-th of several at
// one time with the n-th (the command keeps their order). Not by address: a
// key destroyed leaves its slot to the next key made, which would be taken
// for it.
void count_key_changes(const KeysBefore &was, const std::vector<double> &group_times, const Envelope &now,
                       size_t *rewritten, size_t *created) {
    const size_t size = was.size();
    size_t time_run = 0, next = 0;  // the cursor for the walk, the next recorded key
    double next_time = 0.0;
    auto step = [&]() {
        if (next < size) was.times.read(&next, 1, group_times, &time_run, &next_time);
    };
    step();
    size_t new_values = 0, new_keys = 0;
    const KeyList keys = now.keys();
    const size_t count = now.key_count();
    for (size_t k = 0; k < count; ++k) {
        const KeyRef key = keys[k];
        // Keys recorded before this one's time are gone.
        while (next < size && next_time < key->time) {
            ++next;
            step();
        }
        if (next < size && next_time == key->time) {
            if (was.values[next] != key->value) ++new_values;
            ++next;
            step();
        } else {
            ++new_keys;
        }
    }
    *rewritten += new_values;
    *created += new_keys;
}

bool same_bits(double a, double b) {
    uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

}  // namespace

void NumberRuns::append_new(double value, const std::vector<double> &list, size_t candidate) {
    const bool follows = candidate < list.size() && same_bits(list[candidate], value);
    if (!runs_.empty()) {
        Run &last = runs_.back();
        const size_t length = size_ - last.begin;
        if (last.kind == kFollows) {
            if (follows && candidate == last.from + length) {
                ++size_;
                return;
            }
            // A single element along the list costs more as a run than as a
            // number: it joins the numbers held before it, if any.
            if (length == 1) {
                own_.push_back(list[last.from]);
                last.kind = kOwn;
                last.from = own_.size() - 1;
                if (runs_.size() >= 2 && runs_[runs_.size() - 2].kind == kOwn) runs_.pop_back();
            }
        } else if (last.kind == kRepeated) {
            if (same_bits(own_[last.from], value)) {
                ++size_;
                return;
            }
            if (length == 1) last.kind = kOwn;  // its number is the last one held
        }
    }
    if (follows)
        runs_.push_back(Run{size_, candidate, kFollows});
    else if (!runs_.empty() && runs_.back().kind == kOwn)
        own_.push_back(value);
    else {
        runs_.push_back(Run{size_, own_.size(), kRepeated});
        own_.push_back(value);
    }
    ++size_;
}

void NumberRuns::read(const size_t *indices, size_t count, const std::vector<double> &list, size_t *cursor,
                      double *out) const {
    size_t begin = 1, end = 0, step = 0;  // the run at hand: elements [begin, end) from base
    const double *base = nullptr;
    for (size_t t = 0; t < count; ++t) {
        const size_t i = indices[t];
        if (i < begin || i >= end) {
            const Run &run = runs_[run_holding(runs_, i, cursor)];
            begin = run.begin;
            end = *cursor + 1 < runs_.size() ? runs_[*cursor + 1].begin : size_;
            base = run.kind == kFollows ? &list[run.from] : &own_[run.from];
            step = run.kind == kRepeated ? 0 : 1;
        }
        out[t] = base[(i - begin) * step];
    }
}

void NumberRuns::expand(const std::vector<double> &list, std::vector<double> *out) const {
    out->resize(size_);
    for (size_t r = 0; r < runs_.size(); ++r) {
        const Run &run = runs_[r];
        const size_t end = r + 1 < runs_.size() ? runs_[r + 1].begin : size_;
        for (size_t i = run.begin; i < end; ++i)
            (*out)[i] = run.kind == kFollows ? list[run.from + (i - run.begin)]
                        : run.kind == kOwn   ? own_[run.from + (i - run.begin)]
                                             : own_[run.from];
    }
}

JudgedTolerance read_judged_tolerance(const std::string &text) {
    // Past this the plug-in reads nothing.
    constexpr size_t kMostCharacters = 256;
    JudgedTolerance tolerance;
    if (text.size() > kMostCharacters) return tolerance;
    std::vector<std::string> words;
    for (size_t at = 0; at < text.size();) {
        const size_t begin = text.find_first_not_of(" \t\r\n", at);
        if (begin == std::string::npos) break;
        const size_t end = std::min(text.find_first_of(" \t\r\n", begin), text.size());
        words.push_back(text.substr(begin, end - begin));
        at = end;
    }
    if (words.empty() || words.size() > 3) return tolerance;
    double values[3] = {0.0, 0.01, 0.1};  // the plug-in's defaults
    for (size_t i = 0; i < words.size(); ++i) {
        char *end = nullptr;
        values[i] = std::strtod(words[i].c_str(), &end);
        // "off" in any case is no number either.
        if (end == words[i].c_str() || *end != '\0' || !std::isfinite(values[i]) || !(values[i] > 0.0))
            return tolerance;
    }
    tolerance.on = true;
    tolerance.distance = values[0];
    tolerance.degrees = values[1];
    tolerance.percent = values[2];
    return tolerance;
}

int64_t frame_holding(double time, double fps) {
    return static_cast<int64_t>(frame_of(std::max(-kFarthestFrame, std::min(kFarthestFrame, time * fps))));
}

std::vector<int> checked_frames(const Scene &scene, const std::vector<const Envelope *> &envelopes) {
    const double fps = scene.frames_per_second;
    if (!std::isfinite(fps) || !(fps > 0.0)) return {};
    const int64_t range_length = static_cast<int64_t>(scene.frame_end) - scene.frame_start + 1;
    const bool range_usable = range_length > 0 && range_length <= kMostFramesSampled;
    int64_t low = range_usable ? scene.frame_start : INT64_MAX;
    int64_t high = range_usable ? scene.frame_end : INT64_MIN;
    std::vector<const Envelope *> keyed;
    for (const Envelope *envelope : envelopes) {
        const auto &keys = envelope->keys();
        if (keys.empty()) continue;
        keyed.push_back(envelope);
        low = std::min(low, frame_holding(keys.front()->time, fps));
        high = std::max(high, frame_holding(keys.back()->time, fps));
    }
    if (low > high) return {};
    std::vector<int> frames;
    if (high - low + 1 <= kMostFramesSampled) {
        for (int64_t frame = low; frame <= high; ++frame) frames.push_back(static_cast<int>(frame));
        return frames;
    }
    if (range_usable)
        for (int frame = scene.frame_start; frame <= scene.frame_end; ++frame) frames.push_back(frame);
    for (const Envelope *envelope : keyed)
        for (const auto &key : envelope->keys()) frames.push_back(static_cast<int>(frame_holding(key->time, fps)));
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    return frames;
}

std::vector<int> checked_frames(const Scene &scene, const std::vector<ItemIdValue> &items) {
    std::vector<const Envelope *> envelopes;
    for (ItemIdValue id : items) {
        const Item *item = scene.find(id);
        if (!item || !item->motion) continue;
        for (const auto &channel : item->motion->channels) envelopes.push_back(&channel->envelope);
    }
    return checked_frames(scene, envelopes);
}

namespace {

// A channel's key values, its key times to `times`.
void keep_keys(const Envelope &envelope, KeysBefore *kept, std::vector<double> *times) {
    const auto &keys = envelope.keys();
    kept->values.reserve(keys.size());
    times->clear();
    for (const auto &key : keys) {
        times->push_back(key->time);
        kept->values.push_back(key->value);
    }
}

// Times of one channel's keys as a walk along the item's key times where
// they meet them.
void keep_times_along(const std::vector<double> &channel_times, const std::vector<double> &times, NumberRuns *kept) {
    size_t at = 0;
    for (double time : channel_times) {
        while (at < times.size() && times[at] < time) ++at;
        kept->append(time, times, at);
    }
}

// The item's motion keys kept in its record, each channel's times to
// channel_times[c]; returns all their times, merged.
std::vector<double> keep_motion_keys(const Item &item, ItemMotionBefore *record, std::vector<double> *channel_times) {
    std::vector<double> key_times;
    for (int c = 0; c < kMotionChannels; ++c) {
        keep_keys(item.channel(MotionChannel(c)).envelope, &record->keys[c], &channel_times[c]);
        const size_t sorted = key_times.size();
        // Each channel's keys are in time order already; channels keyed
        // at the same times, as they mostly are, add none.
        if (std::equal(channel_times[c].begin(), channel_times[c].end(), key_times.begin(), key_times.end()))
            continue;
        key_times.insert(key_times.end(), channel_times[c].begin(), channel_times[c].end());
        std::inplace_merge(key_times.begin(), key_times.begin() + static_cast<std::ptrdiff_t>(sorted),
                           key_times.end());
        key_times.erase(std::unique(key_times.begin(), key_times.end()), key_times.end());
    }
    return key_times;
}

// One selected item as it is: its keys, its chain, and its key times in the
// group of items keyed at the same times (made when first met).
ItemMotionBefore record_item(const Scene &scene, ItemIdValue id, const Item &item,
                             std::map<std::vector<double>, size_t> *group_of_times, std::vector<double> *channel_times,
                             RecordedMotion *before) {
    ItemMotionBefore record;
    record.id = id;
    record.parent = item.parent;
    for (const Item *ancestor : ancestors_of(scene, item)) record.old_chain.push_back(ancestor->id);
    const auto group = group_of_times->emplace(keep_motion_keys(item, &record, channel_times), before->key_groups.size());
    if (group.second) before->key_groups.push_back(KeyTimeGroup{group.first->first, {}, {}, {}, {}});
    record.key_group = group.first->second;
    // The key times, mostly as a walk along the item's times.
    const std::vector<double> &times = before->key_groups[record.key_group].times;
    for (int c = 0; c < kMotionChannels; ++c) {
        if (channel_times[c].size() == times.size() &&
            (times.empty() || std::memcmp(channel_times[c].data(), times.data(), times.size() * sizeof(double)) == 0))
            record.keys[c].times.append_along(times, 0, times.size());
        else
            keep_times_along(channel_times[c], times, &record.keys[c].times);
    }
    // Scale keys, to count those the command rewrites.
    for (int s = 0; s < 3 && kScaleX + s < static_cast<int>(item.motion->channels.size()); ++s) {
        std::vector<double> scale_times;
        keep_keys(item.channel(MotionChannel(kScaleX + s)).envelope, &record.scale_keys[s], &scale_times);
        keep_times_along(scale_times, times, &record.scale_keys[s].times);
    }
    return record;
}

// Each selected item with motion, once.
void record_selected_items(const Scene &scene, RecordedMotion *before) {
    std::unordered_set<ItemIdValue> chosen;
    std::map<std::vector<double>, size_t> group_of_times;
    std::vector<double> channel_times[kMotionChannels];
    for (ItemIdValue id : scene.selection) {
        const Item *item = scene.find(id);
        if (!item || !has_motion(*item) || !chosen.insert(id).second) continue;
        ItemMotionBefore record = record_item(scene, id, *item, &group_of_times, channel_times, before);
        before->key_groups[record.key_group].members.push_back(before->items.size());
        before->items.push_back(std::move(record));
    }
}

// The selected items and everything below them, each once, and the items'
// old ancestors. Returns each watched item's index among them.
std::unordered_map<ItemIdValue, size_t> gather_watched(const Scene &scene, RecordedMotion *before) {
    std::unordered_map<ItemIdValue, size_t> watched;
    for (const ItemMotionBefore &record : before->items) {
        watched.emplace(record.id, before->watched.size());
        before->watched.push_back(record.id);
    }
    for (size_t i = 0; i < before->watched.size(); ++i)
        for (ItemIdValue child : scene.find(before->watched[i])->children)
            if (scene.find(child) && watched.emplace(child, before->watched.size()).second)
                before->watched.push_back(child);
    std::unordered_set<ItemIdValue> old_ancestors;
    for (const ItemMotionBefore &record : before->items)
        for (ItemIdValue ancestor : record.old_chain)
            if (old_ancestors.insert(ancestor).second) before->old_ancestors.push_back(ancestor);
    return watched;
}

// How each watched item hangs: from a watched item, from one outside them
// (whose poses are kept) or from nothing, as the sampler places it; and the
// order that poses parents first. Returns the items outside (sampler indices).
std::vector<int> record_how_watched_hang(const HierarchySampler &sampler,
                                         const std::unordered_map<ItemIdValue, size_t> &watched,
                                         RecordedMotion *before) {
    const size_t width = before->watched.size();
    before->how.resize(width);
    std::vector<int> outside;
    std::unordered_map<int, size_t> outside_number;
    std::vector<std::pair<int, size_t>> placed;
    for (size_t w = 0; w < width; ++w) {
        WatchedBefore &how = before->how[w];
        const int at = sampler.index_of(before->watched[w]);
        placed.emplace_back(at, w);
        const Item &item = sampler.item(static_cast<size_t>(at));
        how.pivot_turned = item.pivot_rotation != Vec3{0, 0, 0};
        how.pivot_turn = rotation(item.pivot_rotation);
        const int parent = sampler.parent(static_cast<size_t>(at));
        if (parent < 0) continue;
        const Item &above = sampler.item(static_cast<size_t>(parent));
        how.parent_pivot = above.pivot;
        const auto found = watched.find(above.id);
        if (found != watched.end()) {
            how.parent = static_cast<int>(found->second);
        } else {
            const auto known = outside_number.emplace(parent, outside.size());
            if (known.second) outside.push_back(parent);
            how.parent = -2 - static_cast<int>(known.first->second);
        }
    }
    std::sort(placed.begin(), placed.end());
    for (const auto &one : placed) before->order.push_back(one.second);
    return outside;
}

// The frames recorded, and with a tolerance the half frames between them;
// none when they are too many to hold.
void choose_frames(const Scene &scene, RecordedMotion *before) {
    // The new parent is not known yet and may be any item, so every item's
    // keys are taken into the frames; the report checks those that matter.
    before->frames = checked_frames(scene, scene.all_items());
    // A tolerance is held at the half frames between checked frames too.
    if (before->tolerance.on)
        for (size_t f = 0; f + 1 < before->frames.size(); ++f)
            if (before->frames[f + 1] == before->frames[f] + 1) before->half_frames.push_back(before->frames[f]);
    const size_t width = before->watched.size();
    if (before->frames.size() + before->half_frames.size() > kMostPosesHeld / std::max<size_t>(1, width)) {
        before->frames.clear();
        before->half_frames.clear();
        before->too_many_frames = true;
    }
}

// The whole frames holding keys of the item's motion channels on them, in order.
std::vector<int> frames_keyed_on(const Item &item, double fps) {
    std::vector<int> keyed;
    for (int c = 0; c < kMotionChannels; ++c)
        for (const auto &key : item.channel(MotionChannel(c)).envelope.keys()) {
            const int64_t frame = frame_holding(key->time, fps);
            if (on_frame(key->time * fps, static_cast<double>(frame))) keyed.push_back(static_cast<int>(frame));
        }
    std::sort(keyed.begin(), keyed.end());
    keyed.erase(std::unique(keyed.begin(), keyed.end()), keyed.end());
    return keyed;
}

// Whether a half frame after `frame` lies between two whole frames holding keys.
bool between_keyed_frames(const std::vector<int> &keyed, int frame) {
    return std::binary_search(keyed.begin(), keyed.end(), frame) &&
           std::binary_search(keyed.begin(), keyed.end(), frame + 1);
}

// A half frame between two whole frames that hold keys of an item is not
// judged for it: keys on whole frames can do no more there, and the command
// keeps its keys' times. Nor is it recorded, for it or for the watched items
// that pose it, nor at all where no item is judged (a take keyed on every
// frame holds none). Keeps the half frames judged for some item, and returns
// for each watched item those of them it is recorded at.
std::vector<std::vector<char>> choose_half_frames(const Scene &scene, RecordedMotion *before) {
    const size_t width = before->watched.size(), items = before->items.size();
    std::vector<std::vector<char>> half_used(width);
    if (!before->half_frames.empty()) {
        const size_t halves = before->half_frames.size();
        std::vector<char> any(halves, 0);
        std::vector<std::vector<char>> needed(items, std::vector<char>(halves, 0));
        for (size_t k = 0; k < items; ++k) {
            const std::vector<int> keyed = frames_keyed_on(*scene.find(before->items[k].id), scene.frames_per_second);
            for (size_t j = 0; j < halves; ++j) {
                if (between_keyed_frames(keyed, before->half_frames[j])) continue;
                needed[k][j] = 1;
                any[j] = 1;
            }
        }
        std::vector<int> kept;
        for (size_t j = 0; j < halves; ++j)
            if (any[j]) kept.push_back(before->half_frames[j]);
        for (size_t k = 0; k < items; ++k) {
            std::vector<bool> &recorded = before->items[k].half_recorded;
            for (size_t j = 0; j < halves; ++j)
                if (any[j]) recorded.push_back(needed[k][j] != 0);
        }
        before->half_frames = std::move(kept);
        for (size_t k = 0; k < items; ++k)
            for (int w = static_cast<int>(k); w >= 0; w = before->how[static_cast<size_t>(w)].parent) {
                std::vector<char> &used = half_used[static_cast<size_t>(w)];
                used.resize(before->half_frames.size(), 0);
                for (size_t j = 0; j < before->half_frames.size(); ++j)
                    if (before->items[k].half_recorded[j]) used[j] = 1;
            }
    }
    for (std::vector<char> &used : half_used) used.resize(before->half_frames.size(), 0);
    return half_used;
}

// A selected item's keyed channel at the frame rows: its values at frames
// are mostly its keys' there, held once in its record, so frames on keys one
// after another are kept as that stretch of them.
void keep_keyed_values(const Envelope &envelope, const std::vector<double> &list, const std::vector<double> &times,
                       size_t whole_rows, NumberRuns *kept) {
    const auto &keys = envelope.keys();
    KeyCursor cursor(envelope);
    for (size_t t = 0; t < whole_rows;) {
        const size_t up_to = cursor.keys_up_to(times[t]);
        if (up_to == 0 || keys[up_to - 1]->time != times[t]) {
            kept->append(envelope.evaluate(times[t]), list, up_to);
            ++t;
            continue;
        }
        // The keys that frames t, t + 1, ... take their values from.
        size_t stretch = 1;
        while (t + stretch < whole_rows && up_to + stretch <= keys.size() &&
               keys[up_to - 1 + stretch]->time == times[t + stretch] &&
               (up_to + stretch == keys.size() || keys[up_to + stretch]->time != times[t + stretch]))
            ++stretch;
        kept->append_along(list, up_to - 1, stretch);
        t += stretch;
    }
}

// One channel's values at the half frame rows (mostly between keys, so
// their own), kept where `used` marks them.
void keep_half_values(const Item &item, int channel, const std::vector<double> &times, size_t whole_rows,
                      const std::vector<double> &list, const std::vector<char> &used, std::vector<double> *values,
                      NumberRuns *kept) {
    if (times.size() <= whole_rows) return;
    values->resize(times.size() - whole_rows);
    motion_values(item, channel, &times[whole_rows], values->size(), values->data());
    for (size_t j = 0; j < values->size(); ++j)
        if (used[j])
            kept->append((*values)[j], list, list.size());
        else
            kept->append_unread(1);
}

// One channel's values at every frame row, evaluated a block at a time and
// held as they come.
void keep_sampled_values(const Item &item, int channel, const std::vector<double> &times, size_t whole_rows,
                         const std::vector<char> &used, std::vector<double> *values, NumberRuns *kept) {
    const std::vector<double> none;
    values->resize(std::min(times.size(), kTimesPerBlock));
    for (size_t first = 0; first < times.size(); first += kTimesPerBlock) {
        const size_t count = std::min(kTimesPerBlock, times.size() - first);
        motion_values(item, channel, &times[first], count, values->data());
        for (size_t t = 0; t < count; ++t)
            if (first + t < whole_rows || used[first + t - whole_rows])
                kept->append((*values)[t], none, 0);
            else
                kept->append_unread(1);
    }
}

// Each watched item's motion values at the frame rows, one item to a thread:
// its envelopes are its own.
void record_watched_values(const HierarchySampler &sampler, const std::vector<std::vector<char>> &half_used,
                           RecordedMotion *before) {
    const size_t whole_rows = before->frames.size();
    const std::vector<double> &times = before->frame_times;
    run_in_parts(before->watched.size(), [&](size_t w) {
        const Item &item = sampler.item(static_cast<size_t>(sampler.index_of(before->watched[w])));
        std::vector<double> values;
        for (int c = 0; c < kMotionChannelCount; ++c) {
            NumberRuns &kept = before->how[w].values[c];
            if (times.empty()) continue;
            if (motion_constant(item, c)) {
                double value;
                motion_values(item, c, &times[0], 1, &value);
                kept.append_repeated(value, times.size());
            } else if (w < before->items.size() && c < kMotionChannels) {
                const std::vector<double> &list = before->items[w].keys[c].values;
                keep_keyed_values(item.channel(MotionChannel(c)).envelope, list, times, whole_rows, &kept);
                keep_half_values(item, c, times, whole_rows, list, half_used[w], &values, &kept);
            } else {
                keep_sampled_values(item, c, times, whole_rows, half_used[w], &values, &kept);
            }
        }
    });
}

// The poses of the items the watched ones hang from outside them, at every frame row.
void record_outside_poses(const HierarchySampler &sampler, const std::vector<int> &outside, RecordedMotion *before) {
    const std::vector<double> &times = before->frame_times;
    before->outside_count = outside.size();
    if (outside.empty()) return;
    const std::vector<char> mask = sampler.with_ancestors(outside);
    before->outside_poses.resize(times.size() * outside.size());
    evaluate_in_blocks(sampler, times, &mask, [&](size_t first, size_t count, const WorldPose *poses) {
        for (size_t t = 0; t < count; ++t)
            for (size_t e = 0; e < outside.size(); ++e)
                before->outside_poses[(first + t) * outside.size() + e] =
                    poses[t * sampler.size() + static_cast<size_t>(outside[e])];
    });
}

// Each key time group's times: those a frame row is sampled at are read from
// its poses, the others posed here for the group's members.
void pose_key_groups(const Scene &scene, const HierarchySampler &sampler, RecordedMotion *before) {
    for (KeyTimeGroup &group : before->key_groups) {
        for (double time : group.times) {
            const int64_t frame = frame_holding(time, scene.frames_per_second);
            const auto at = std::lower_bound(before->frames.begin(), before->frames.end(), frame);
            const size_t row = static_cast<size_t>(at - before->frames.begin());
            if (at != before->frames.end() && *at == frame && before->frame_times[row] == time)
                group.on_frames.push_back(row);
            else
                group.off_frames.push_back(time);
        }
        std::vector<int> members;
        for (size_t m : group.members) members.push_back(sampler.index_of(before->items[m].id));
        const std::vector<char> mask = sampler.with_ancestors(members);
        group.poses.resize(group.off_frames.size() * members.size());
        evaluate_in_blocks(sampler, group.off_frames, &mask, [&](size_t first, size_t count, const WorldPose *poses) {
            for (size_t t = 0; t < count; ++t)
                for (size_t m = 0; m < members.size(); ++m)
                    group.poses[(first + t) * members.size() + m] =
                        poses[t * sampler.size() + static_cast<size_t>(members[m])];
        });
    }
}

}  // namespace

WorldMotionBefore record_world_motion(const Scene &scene, bool unparenting, const JudgedTolerance &tolerance) {
    auto recorded = std::make_unique<RecordedMotion>();
    RecordedMotion &before = *recorded;
    before.unparenting = unparenting;
    before.tolerance = tolerance;
    record_selected_items(scene, &before);
    const std::unordered_map<ItemIdValue, size_t> watched = gather_watched(scene, &before);
    const HierarchySampler sampler(scene, before.watched);
    const std::vector<int> outside = record_how_watched_hang(sampler, watched, &before);
    choose_frames(scene, &before);
    const std::vector<std::vector<char>> half_used = choose_half_frames(scene, &before);
    before.frame_times = frame_times(before.frames, before.key_groups, scene.frames_per_second);
    for (int frame : before.half_frames) before.frame_times.push_back((frame + 0.5) / scene.frames_per_second);
    record_watched_values(sampler, half_used, &before);
    record_outside_poses(sampler, outside, &before);
    pose_key_groups(scene, sampler, &before);
    WorldMotionBefore handle;
    handle.recorded_ = std::move(recorded);
    return handle;
}

WorldMotionBefore::WorldMotionBefore() = default;
WorldMotionBefore::WorldMotionBefore(WorldMotionBefore &&) noexcept = default;
WorldMotionBefore &WorldMotionBefore::operator=(WorldMotionBefore &&) noexcept = default;
WorldMotionBefore::~WorldMotionBefore() = default;

bool ItemMotionMeasure::verified() const {
    for (const MotionDriver &driver : drivers)
        if (driver.relation != MotionDriver::kDescendant) return false;
    return true;
}

int WorldMotionMeasure::warnings() const {
    int count = 0;
    for (const ItemMotionMeasure &item : items) {
        count += item.nothing_to_unparent;
        if (!item.item.present || !item.changed) continue;
        count += item.scale_changed;
        count += item.judgement.motion_beyond;
        count += item.judgement.scale_beyond;
        count += item.shears;
        count += !item.descendants_verified();
    }
    return count;
}

namespace {

// An item's samples judged against the tolerance, in one share of the rows.
struct Judging {
    size_t frames = 0, half_frames = 0;
    Change largest;
    Change half;  // over the half frames alone
    double motion = -1.0;  // the furthest beyond, as a squared part of the tolerance
    size_t motion_row = 0;
    Change motion_there;
    double scale = 0.0;  // the largest squared factor
    size_t scale_row = 0;

    void add(const Change &change, size_t row, double distance2, double chord2) {
        largest.add(change);
        const double part = change.finite ? std::max(change.position2 / distance2, change.chord2 / chord2) : HUGE_VAL;
        if (part > motion) {
            motion = part;
            motion_row = row;
            motion_there = change;
        }
        if (change.scale2 > scale) {
            scale = change.scale2;
            scale_row = row;
        }
    }
    void add(const Judging &other) {
        frames += other.frames;
        half_frames += other.half_frames;
        largest.add(other.largest);
        half.add(other.half);
        if (other.motion > motion) {
            motion = other.motion;
            motion_row = other.motion_row;
            motion_there = other.motion_there;
        }
        if (other.scale > scale) {
            scale = other.scale;
            scale_row = other.scale_row;
        }
    }
};

// What one thread gathers over its share of the rows.
struct Share {
    std::vector<Judging> judging;  // with a tolerance
    std::vector<Change> per_frame, at_keys;
    // Over the share's checked rows, for each item's new parent: the
    // largest unevenness, the first frame it has, and the first frame
    // that shears (0 none).
    std::vector<double> uneven;
    std::vector<int> uneven_at, shears_at;
};
constexpr size_t kShares = 2;

// How a frame row evaluated is used.
enum RowUse : char { kKeysOnly, kCheckedFrame, kJudgedHalf };

// The keys the command gave new values or made, for each selected item.
struct KeyCounts {
    std::vector<size_t> rewritten, created, scale_rewritten, scale_created;
};

// What a measure works from: the items as recorded, the same items posed now
// under their new parents, and the frame rows to evaluate.
struct Measuring {
    const Scene &scene;
    const RecordedMotion &before;
    const JudgedTolerance &tolerance;
    const HierarchySampler sampler;
    const size_t width, items;
    std::vector<int> watched_at, item_at;  // in the sampler; -1 gone
    std::vector<std::vector<size_t>> groups_served;  // by frame row: the key groups it serves
    std::vector<int> frames;    // the frames checked
    std::vector<size_t> rows;   // the frame rows evaluated
    std::vector<char> checked;  // for each of those, its RowUse
    std::vector<double> times;  // and its time
    std::vector<char> group_whole;  // all a key group's members still in the scene
    std::vector<std::vector<int>> keyed_frames;  // with a tolerance: each item's frames holding a key on them
    double distance2 = 0.0, chord2 = 0.0, scale2 = 0.0;  // the tolerance's limits, as Change keeps them

    Measuring(const Scene &scene, const RecordedMotion &before);

    // A half frame between two frames holding keys of the item: keys on whole
    // frames can do no more there.
    bool between_keys(size_t k, int frame) const { return between_keyed_frames(keyed_frames[k], frame); }
    // The sample of a frame row.
    SampleFrame sample_of(size_t row) const {
        const size_t whole = before.frames.size();
        return row < whole ? SampleFrame{before.frames[row], false} : SampleFrame{before.half_frames[row - whole], true};
    }
    // A key time in frames: the frame it lies on within a hair, else as it is.
    double key_frame(double time) const {
        const double fps = scene.frames_per_second;
        const int64_t frame = frame_holding(time, fps);
        return on_frame(time * fps, static_cast<double>(frame)) ? static_cast<double>(frame) : time * fps;
    }

private:
    static std::vector<ItemIdValue> present(const Scene &scene, const RecordedMotion &before);
    void choose_rows();
    void choose_judged_rows();
};

std::vector<ItemIdValue> Measuring::present(const Scene &scene, const RecordedMotion &before) {
    std::vector<ItemIdValue> items;
    for (ItemIdValue id : before.watched)
        if (scene.find(id)) items.push_back(id);
    return items;
}

Measuring::Measuring(const Scene &scene_now, const RecordedMotion &recorded)
    : scene(scene_now),
      before(recorded),
      tolerance(recorded.tolerance),
      sampler(scene_now, present(scene_now, recorded)),
      width(recorded.watched.size()),
      items(recorded.items.size()),
      watched_at(width),
      item_at(items),
      keyed_frames(items) {
    for (size_t w = 0; w < width; ++w) watched_at[w] = sampler.index_of(before.watched[w]);
    for (size_t k = 0; k < items; ++k) item_at[k] = sampler.index_of(before.items[k].id);
    choose_rows();
    if (tolerance.on) choose_judged_rows();
    for (size_t row : rows) times.push_back(before.frame_times[row]);
    group_whole.assign(before.key_groups.size(), 1);
    for (size_t g = 0; g < before.key_groups.size(); ++g)
        for (size_t m : before.key_groups[g].members)
            if (item_at[m] < 0) group_whole[g] = 0;
}

// The frames to check: the render range and every frame holding a key of the
// items or of their old or new ancestors. The frame rows that serve key
// times are evaluated whether checked or not.
void Measuring::choose_rows() {
    std::vector<ItemIdValue> keyed(before.old_ancestors);
    for (size_t k = 0; k < items; ++k)
        for (int at = item_at[k]; at >= 0; at = sampler.parent(static_cast<size_t>(at)))
            keyed.push_back(sampler.item(static_cast<size_t>(at)).id);
    const std::vector<int> wanted = checked_frames(scene, keyed);
    groups_served.resize(before.frames.size());
    for (size_t g = 0; g < before.key_groups.size(); ++g)
        for (size_t row : before.key_groups[g].on_frames) groups_served[row].push_back(g);
    for (size_t f = 0; f < before.frames.size(); ++f) {
        const bool wanted_frame = std::binary_search(wanted.begin(), wanted.end(), before.frames[f]);
        if (wanted_frame) frames.push_back(before.frames[f]);
        if (wanted_frame || !groups_served[f].empty()) {
            rows.push_back(f);
            checked.push_back(wanted_frame ? kCheckedFrame : kKeysOnly);
        }
    }
}

// With a tolerance, the half frames between checked frames are judged, and
// the checked frames by it, for the items whose figures the host can verify
// (their drivers are found after the rows).
void Measuring::choose_judged_rows() {
    for (size_t j = 0; j < before.half_frames.size(); ++j) {
        const int frame = before.half_frames[j];
        if (std::binary_search(frames.begin(), frames.end(), frame) &&
            std::binary_search(frames.begin(), frames.end(), frame + 1)) {
            rows.push_back(before.frames.size() + j);
            checked.push_back(kJudgedHalf);
        }
    }
    for (size_t k = 0; k < items; ++k) {
        const Item *item = scene.find(before.items[k].id);
        if (item && has_motion(*item)) keyed_frames[k] = frames_keyed_on(*item, scene.frames_per_second);
    }
    const double distance = tolerance.distance * kJudgedSlack;
    const double radians = std::min(tolerance.degrees * kJudgedSlack / kDegreesPerRadian, 3.141592653589793);
    const double chord = 2.0 * std::sin(radians / 2.0);
    const double scale = 1.0 + tolerance.percent / 100.0 * kJudgedSlack;
    distance2 = distance * distance;
    chord2 = chord * chord;
    scale2 = scale * scale;
}

// The keys of items [begin, end) matched with those recorded (the keys are
// read, never searched or evaluated).
void count_keys(const Measuring &m, size_t begin, size_t end, KeyCounts *counts) {
    for (size_t k = begin; k < end; ++k) {
        const ItemMotionBefore &was = m.before.items[k];
        const std::vector<double> &group_times = m.before.key_groups[was.key_group].times;
        const Item *item = m.scene.find(was.id);
        for (int c = 0; item && has_motion(*item) && c < kMotionChannels; ++c)
            count_key_changes(was.keys[c], group_times, item->channel(MotionChannel(c)).envelope,
                              &counts->rewritten[k], &counts->created[k]);
        for (int c = kScaleX;
             item && item->motion && c < static_cast<int>(item->motion->channels.size()) && c < kMotionChannelCount; ++c)
            count_key_changes(was.scale_keys[c - kScaleX], group_times, item->channel(MotionChannel(c)).envelope,
                              &counts->scale_rewritten[k], &counts->scale_created[k]);
    }
}

// The watched items' poses before at `count` rows from rows[first], made again
// from what was recorded by the host's own step, parents first:
// was_block[t * width + w].
void pose_before(const Measuring &m, size_t first, size_t count, std::vector<size_t> *cursors,
                 std::vector<double> *values, WorldPose *was_block) {
    const RecordedMotion &before = m.before;
    const std::vector<double> none;
    values->resize(count * kMotionChannelCount);
    for (size_t w : before.order) {
        const WatchedBefore &how = before.how[w];
        for (int c = 0; c < kMotionChannelCount; ++c) {
            const std::vector<double> &list = w < m.items && c < kMotionChannels ? before.items[w].keys[c].values : none;
            size_t *cursor = &(*cursors)[w * kMotionChannelCount + static_cast<size_t>(c)];
            how.values[c].read(&m.rows[first], count, list, cursor, &(*values)[static_cast<size_t>(c) * count]);
        }
        for (size_t t = 0; t < count; ++t) {
            const WorldPose *above = nullptr;
            if (how.parent >= 0)
                above = &was_block[t * m.width + static_cast<size_t>(how.parent)];
            else if (how.parent <= -2)
                above = &before.outside_poses[m.rows[first + t] * before.outside_count +
                                              static_cast<size_t>(-2 - how.parent)];
            place(&(*values)[t], count, how.pivot_turned ? &how.pivot_turn : nullptr, above, how.parent_pivot,
                  &was_block[t * m.width + w]);
        }
    }
}

// A half frame row judged against the tolerance, for the items judged there.
void judge_half_row(const Measuring &m, size_t row, const WorldPose *was, const WorldPose *now, Share *share) {
    const size_t half = row - m.before.frames.size();
    const int frame = m.before.half_frames[half];
    for (size_t k = 0; k < m.items; ++k)
        if (m.item_at[k] >= 0 && !m.between_keys(k, frame) && m.before.items[k].half_recorded[half]) {
            Change change;
            change.add(was[k], now[static_cast<size_t>(m.item_at[k])]);
            change.at(frame + 0.5);
            share->judging[k].add(change, row, m.distance2, m.chord2);
            share->judging[k].half.add(change);
            ++share->judging[k].half_frames;
        }
}

// How uneven each item's new parent is at a checked frame row, and where it
// first shears.
void note_unevenness(const Measuring &m, size_t row, const WorldPose *now, std::vector<char> *sheared, Share *share) {
    for (size_t k = 0; k < m.items; ++k) {
        const int parent = m.item_at[k] >= 0 ? m.sampler.parent(static_cast<size_t>(m.item_at[k])) : -1;
        if (parent < 0) continue;
        // Uneven scale bends the item only where it stretches across the
        // item's axes: along them its scale keys keep it.
        const double uneven = std::min(unevenness(now[parent]), skew(now[static_cast<size_t>(m.item_at[k])]));
        if (uneven > share->uneven[k]) {
            share->uneven[k] = uneven;
            share->uneven_at[k] = m.before.frames[row];
        }
        if (shears(uneven) && !(*sheared)[k]) {
            (*sheared)[k] = 1;
            share->shears_at[k] = m.before.frames[row];
        }
    }
}

// One whole frame row: the changes at a checked frame, judged with a
// tolerance, and those at the key times it serves (a checked frame's changes
// serve them too).
void compare_frame_row(const Measuring &m, size_t row, bool checked_frame, const WorldPose *was, const WorldPose *now,
                       std::vector<Change> *at_row, std::vector<char> *sheared, Share *share) {
    const double frame = m.before.frames[row];
    if (checked_frame)
        for (size_t w = 0; w < m.width; ++w)
            if (m.watched_at[w] >= 0) {
                (*at_row)[w] = Change();
                (*at_row)[w].add(was[w], now[m.watched_at[w]]);
                (*at_row)[w].at(frame);
                share->per_frame[w].add((*at_row)[w]);
            }
    if (checked_frame && m.tolerance.on)
        for (size_t k = 0; k < m.items; ++k)
            if (m.item_at[k] >= 0) {
                share->judging[k].add((*at_row)[k], row, m.distance2, m.chord2);
                ++share->judging[k].frames;
            }
    for (size_t g : m.groups_served[row])
        if (m.group_whole[g])
            for (size_t k : m.before.key_groups[g].members) {
                if (checked_frame) {
                    share->at_keys[k].add((*at_row)[k]);
                } else {
                    Change change;
                    change.add(was[k], now[static_cast<size_t>(m.item_at[k])]);
                    share->at_keys[k].add(change.at(frame));
                }
            }
    if (checked_frame) note_unevenness(m, row, now, sheared, share);
}

// One share of the rows, taken block by block: the poses before made again
// from what was recorded, the poses now (envelopes evaluated read-only, so
// threads may share them), and their changes.
void measure_share(const Measuring &m, size_t part, Share *share) {
    share->per_frame.resize(m.width);
    share->at_keys.resize(m.items);
    share->uneven.assign(m.items, 0.0);
    share->uneven_at.assign(m.items, 0);
    share->shears_at.assign(m.items, 0);
    if (m.tolerance.on) share->judging.resize(m.items);
    std::vector<Change> at_row(m.width);
    std::vector<double> values;
    std::vector<size_t> cursors(m.width * kMotionChannelCount, 0);
    std::vector<char> sheared(m.items, 0);
    const size_t block_rows = std::min(m.times.size(), kRowsPerRound);
    std::vector<WorldPose> poses(block_rows * m.sampler.size()), was_block(block_rows * m.width);
    const size_t end = m.times.size() * (part + 1) / kShares;
    for (size_t first = m.times.size() * part / kShares; first < end; first += kRowsPerRound) {
        const size_t count = std::min(kRowsPerRound, end - first);
        m.sampler.evaluate(&m.times[first], count, nullptr, poses.data());
        pose_before(m, first, count, &cursors, &values, was_block.data());
        for (size_t t = 0; t < count; ++t) {
            const size_t row = m.rows[first + t];
            const WorldPose *now = &poses[t * m.sampler.size()];
            const WorldPose *was = &was_block[t * m.width];
            if (m.checked[first + t] == kJudgedHalf)
                judge_half_row(m, row, was, now, share);
            else
                compare_frame_row(m, row, m.checked[first + t] == kCheckedFrame, was, now, &at_row, &sheared, share);
        }
    }
}

// The shares joined in row order.
struct Totals {
    std::vector<Change> per_frame, at_keys;
    std::vector<Judging> judging;
    std::vector<double> parent_unevenness;
    std::vector<int> uneven_frame;
};

Totals join_shares(const Measuring &m, const Share *shares) {
    Totals totals;
    totals.per_frame.resize(m.width);
    totals.at_keys.resize(m.items);
    totals.judging.resize(m.tolerance.on ? m.items : 0);
    totals.parent_unevenness.assign(m.items, 0.0);
    totals.uneven_frame.assign(m.items, 0);
    for (size_t s = 0; s < kShares; ++s) {
        const Share &share = shares[s];
        if (share.per_frame.empty()) continue;  // no row was its
        for (size_t w = 0; w < m.width; ++w) totals.per_frame[w].add(share.per_frame[w]);
        for (size_t k = 0; k < m.items; ++k) {
            totals.at_keys[k].add(share.at_keys[k]);
            if (m.tolerance.on) totals.judging[k].add(share.judging[k]);
            // As a walk over all rows in order would find them: the frame of
            // the first rise above shearing, else of the largest unevenness.
            double &parent_unevenness = totals.parent_unevenness[k];
            if (share.uneven[k] > parent_unevenness) {
                if (!shears(parent_unevenness))
                    totals.uneven_frame[k] = shears(share.uneven[k]) ? share.shears_at[k] : share.uneven_at[k];
                parent_unevenness = share.uneven[k];
            }
        }
    }
    return totals;
}

// The changes at the key times that no frame row serves, posed now for each
// group whose members are all still there.
void measure_off_frame_keys(const Measuring &m, std::vector<Change> *at_keys) {
    for (size_t g = 0; g < m.before.key_groups.size(); ++g) {
        const KeyTimeGroup &group = m.before.key_groups[g];
        if (!m.group_whole[g]) continue;  // an item has gone; it is reported so
        std::vector<int> members;
        for (size_t k : group.members) members.push_back(m.item_at[k]);
        const std::vector<char> mask = m.sampler.with_ancestors(members);
        evaluate_in_blocks(m.sampler, group.off_frames, &mask, [&](size_t first, size_t count, const WorldPose *poses) {
            for (size_t t = 0; t < count; ++t)
                for (size_t i = 0; i < members.size(); ++i) {
                    Change change;
                    change.add(group.poses[(first + t) * members.size() + i],
                               poses[t * m.sampler.size() + static_cast<size_t>(members[i])]);
                    (*at_keys)[group.members[i]].add(change.at(m.key_frame(group.off_frames[first + t])));
                }
        });
    }
}

// Each sampled item's descendants now, worst first, and which items Layout
// moves by more than their keys, and which have such below them.
struct Descendants {
    std::vector<double> below;  // the largest squared move below each item
    std::vector<int> worst;     // the item that moved so; -1 none
    std::vector<size_t> count;
    std::vector<char> beyond_keys, beyond_below;
    std::vector<std::vector<size_t>> children;  // made when first needed
};

Descendants gather_descendants(const Measuring &m, const std::vector<Change> &per_frame) {
    const HierarchySampler &sampler = m.sampler;
    std::vector<double> moved(sampler.size(), 0.0);
    for (size_t w = 0; w < m.width; ++w)
        if (m.watched_at[w] >= 0) moved[static_cast<size_t>(m.watched_at[w])] = per_frame[w].position2;
    Descendants d;
    d.below.assign(sampler.size(), 0.0);
    d.worst.assign(sampler.size(), -1);
    d.count.assign(sampler.size(), 0);
    d.beyond_keys.resize(sampler.size());
    d.beyond_below.assign(sampler.size(), 0);
    for (size_t i = 0; i < sampler.size(); ++i) d.beyond_keys[i] = moved_beyond_keys(sampler.item(i));
    // Children come after their parents in the sampler, so one pass from the
    // end gathers every subtree.
    for (size_t i = sampler.size(); i-- > 0;) {
        const int parent = sampler.parent(i);
        if (parent < 0) continue;
        const size_t p = static_cast<size_t>(parent);
        d.count[p] += 1 + d.count[i];
        if (d.beyond_keys[i] || d.beyond_below[i]) d.beyond_below[p] = 1;
        const bool own = moved[i] >= d.below[i];
        const double largest = own ? moved[i] : d.below[i];
        if (d.worst[p] < 0 || largest > d.below[p]) {
            d.below[p] = largest;
            d.worst[p] = own ? static_cast<int>(i) : d.worst[i];
        }
    }
    return d;
}

NamedItem named(const Scene &scene, ItemIdValue id) {
    NamedItem one;
    one.id = id;
    if (const Item *item = id ? scene.find(id) : nullptr) {
        one.name = item->name;
        one.present = true;
    }
    return one;
}

MotionDriver driver(const Scene &scene, MotionDriver::Relation relation, ptrdiff_t old_place, ptrdiff_t new_place,
                    const Item &item) {
    MotionDriver one;
    one.relation = relation;
    one.old_place = static_cast<int>(old_place);
    one.new_place = static_cast<int>(new_place);
    one.item = named(scene, item.id);
    one.controllers = item.controllers;
    one.position_controllers = item.position_controllers;
    one.goal = named(scene, item.goal);
    one.target = named(scene, item.target);
    one.pole = named(scene, item.pole);
    one.position_item = named(scene, item.position_item);
    one.rotation_item = named(scene, item.rotation_item);
    one.scale_item = named(scene, item.scale_item);
    for (const MotionPlugin &plugin : item.motion_plugins)
        if (plugin.enabled) one.plugins.push_back(plugin);
    return one;
}

// Everything whose motion an item's figures rest on, and what moves it beyond
// its keys: the item (at sampler index `at`), its old and new ancestors, and
// its descendants.
std::vector<MotionDriver> item_drivers(const Measuring &m, const ItemMotionBefore &was, const Item &item, size_t at,
                                       Descendants *d) {
    const Scene &scene = m.scene;
    const HierarchySampler &sampler = m.sampler;
    std::vector<MotionDriver> drivers;
    if (d->beyond_keys[at]) drivers.push_back(driver(scene, MotionDriver::kItself, -1, -1, item));
    std::vector<ItemIdValue> new_chain;
    for (int up = sampler.parent(at); up >= 0; up = sampler.parent(static_cast<size_t>(up)))
        new_chain.push_back(sampler.item(static_cast<size_t>(up)).id);
    for (size_t i = 0; i < was.old_chain.size(); ++i) {
        const Item *ancestor = scene.find(was.old_chain[i]);
        if (ancestor && moved_beyond_keys(*ancestor))
            drivers.push_back(driver(scene, MotionDriver::kAncestor, static_cast<ptrdiff_t>(i),
                                     place_in(new_chain, ancestor->id), *ancestor));
    }
    size_t j = 0;
    for (int up = sampler.parent(at); up >= 0; up = sampler.parent(static_cast<size_t>(up)), ++j)
        if (d->beyond_keys[static_cast<size_t>(up)] && place_in(was.old_chain, new_chain[j]) < 0)
            drivers.push_back(driver(scene, MotionDriver::kAncestor, -1, static_cast<ptrdiff_t>(j),
                                     sampler.item(static_cast<size_t>(up))));
    if (d->beyond_below[at]) {
        std::vector<std::vector<size_t>> &children = d->children;
        if (children.empty()) {
            children.resize(sampler.size());
            for (size_t i = 0; i < sampler.size(); ++i)
                if (sampler.parent(i) >= 0) children[static_cast<size_t>(sampler.parent(i))].push_back(i);
        }
        std::vector<size_t> stack(children[at].rbegin(), children[at].rend());
        while (!stack.empty()) {
            const size_t i = stack.back();
            stack.pop_back();
            if (d->beyond_keys[i]) drivers.push_back(driver(scene, MotionDriver::kDescendant, -1, -1, sampler.item(i)));
            stack.insert(stack.end(), children[i].rbegin(), children[i].rend());
        }
    }
    return drivers;
}

// An item's samples held to the tolerance, as the report gives them.
ToleranceJudgement judgement_of(const Measuring &m, const Judging &judged) {
    ToleranceJudgement judgement;
    judgement.judged = true;
    judgement.frames = judged.frames;
    judgement.half_frames = judged.half_frames;
    judgement.largest = judged.largest.largest();
    // Below rounding the scale is kept, as the report says of it.
    judgement.scale_percent = judged.largest.scale_changed() ? (judged.largest.scale_factor() - 1.0) * 100.0 : 0.0;
    judgement.motion_beyond = judged.frames + judged.half_frames > 0 && !(judged.motion <= 1.0);
    judgement.motion_worst = m.sample_of(judged.motion_row);
    judgement.motion_there = judged.motion_there.largest();
    judgement.scale_beyond = !(judged.scale <= m.scale2);
    judgement.scale_worst = m.sample_of(judged.scale_row);
    judgement.scale_there = (std::sqrt(judged.scale) - 1.0) * 100.0;
    return judgement;
}

// The figures of a selected item the command changed (at sampler index `at`).
void measure_item(const Measuring &m, size_t k, const Totals &totals, size_t at, Descendants *d,
                  ItemMotionMeasure *result) {
    const ItemMotionBefore &was = m.before.items[k];
    result->key_times = m.before.key_groups[was.key_group].times.size();
    result->at_keys = totals.at_keys[k].largest();
    result->at_frames = totals.per_frame[k].largest();
    if (m.tolerance.on) {
        result->half_frames = totals.judging[k].half_frames;
        result->at_half_frames = totals.judging[k].half.largest();
    }
    Change all = totals.at_keys[k];
    all.add(totals.per_frame[k]);
    // A tolerance judges the world scale at the frames; the key times are
    // held to rounding all the same.
    result->scale_changed = m.tolerance.on ? totals.at_keys[k].scale_changed() : all.scale_changed();
    result->scale_factor = all.scale_factor();
    if (m.tolerance.on && result->verified()) result->judgement = judgement_of(m, totals.judging[k]);
    result->descendants = d->count[at];
    if (d->count[at] > 0) {
        result->descendants_moved = std::sqrt(d->below[at]);
        result->most_moved = named(m.scene, m.sampler.item(static_cast<size_t>(d->worst[at])).id);
    }
}

// Each selected item's entry in the measure: unchanged, or how it changed.
void measure_items(const Measuring &m, const KeyCounts &counts, const Totals &totals, Descendants *d,
                   WorldMotionMeasure *measure) {
    measure->items.resize(m.items);
    for (size_t k = 0; k < m.items; ++k) {
        const ItemMotionBefore &was = m.before.items[k];
        ItemMotionMeasure &result = measure->items[k];
        result.item = named(m.scene, was.id);
        const Item *item = m.scene.find(was.id);
        if (!item) continue;
        result.nothing_to_unparent = m.before.unparenting && was.parent == 0;
        if (item->parent == was.parent && counts.rewritten[k] == 0 && counts.created[k] == 0 &&
            counts.scale_rewritten[k] == 0 && counts.scale_created[k] == 0)
            continue;
        result.changed = true;
        result.parent_before = named(m.scene, was.parent);
        result.parent_after = named(m.scene, item->parent);
        result.keys_rewritten = counts.rewritten[k];
        result.keys_created = counts.created[k];
        result.scale_keys_rewritten = counts.scale_rewritten[k];
        result.scale_keys_created = counts.scale_created[k];
        const size_t at = static_cast<size_t>(m.item_at[k]);
        result.drivers = item_drivers(m, was, *item, at, d);
        measure_item(m, k, totals, at, d, &result);
        result.shears = item->parent != was.parent && shears(totals.parent_unevenness[k]);
        result.shears_from = totals.uneven_frame[k];
    }
}

}  // namespace

WorldMotionMeasure measure_world_motion(const Scene &scene, const WorldMotionBefore &handle) {
    WorldMotionMeasure measure;
    if (!handle.recorded_ || handle.recorded_->items.empty()) return measure;
    const Measuring m(scene, *handle.recorded_);
    // The rows are shared out in two runs, each taken by one thread, whose
    // changes are gathered apart and joined in row order; each also counts
    // its part of the items' keys.
    Share shares[kShares];
    KeyCounts counts;
    for (std::vector<size_t> *count : {&counts.rewritten, &counts.created, &counts.scale_rewritten, &counts.scale_created})
        count->assign(m.items, 0);
    run_in_parts(kShares, [&](size_t part) {
        count_keys(m, m.items * part / kShares, m.items * (part + 1) / kShares, &counts);
        measure_share(m, part, &shares[part]);
    });
    Totals totals = join_shares(m, shares);
    measure_off_frame_keys(m, &totals.at_keys);
    Descendants descendants = gather_descendants(m, totals.per_frame);
    measure.frames.too_many = m.before.too_many_frames;
    measure.tolerance = m.tolerance;
    measure.frames.count = m.frames.size();
    if (!m.frames.empty()) {
        measure.frames.first = m.frames.front();
        measure.frames.last = m.frames.back();
    }
    measure_items(m, counts, totals, &descendants, &measure);
    return measure;
}

}  // namespace headless
