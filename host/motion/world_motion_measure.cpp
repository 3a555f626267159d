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

// The keys given new values and the keys created, matching each key now in a
// channel with the one recorded at its address. The command keeps the order
// of the keys it finds, so the next recorded key is tried first; an address
// out of that order is looked up among all of them.
void count_key_changes(const KeysBefore &was, const std::vector<double> &group_times, const Envelope &now,
                       size_t *rewritten, size_t *created) {
    const size_t size = was.size();
    const uintptr_t *scattered = was.scattered.empty() ? nullptr : was.scattered.data();
    size_t address_run = 0, time_run = 0;  // cursors for the walk
    size_t run_begin = 1, run_end = 0;       // the keys of the address run at hand
    uintptr_t run_first = 0;
    auto address_of = [&](size_t i) -> uintptr_t {
        if (scattered) return scattered[i];
        if (i < run_begin || i >= run_end) {
            const KeysBefore::AddressRun &run = was.addresses[run_holding(was.addresses, i, &address_run)];
            run_begin = run.begin;
            run_end = address_run + 1 < was.addresses.size() ? was.addresses[address_run + 1].begin : size;
            run_first = run.first;
        }
        return run_first + (i - run_begin) * sizeof(EnvelopeKey);
    };
    // Whether the key recorded at `index` has a new value or time now.
    auto rewritten_at = [&](size_t index, const EnvelopeKey &key) {
        if (was.values[index] != key.value) return true;
        double time;
        was.times.read(&index, 1, group_times, &time_run, &time);
        return time != key.time;
    };
    // Addresses as numbers, which order them all (raw pointers to different
    // keys have no order of their own).
    std::vector<std::pair<uintptr_t, size_t>> by_address;
    size_t next = 0, new_values = 0, new_keys = 0;
    const KeyList keys = now.keys();
    const size_t count = now.key_count();
    for (size_t k = 0; k < count; ++k) {
        // Mostly the keys are where they were, side by side: walked in line.
        if (!scattered && next >= run_begin && next < run_end) {
            const EnvelopeKey *expected = reinterpret_cast<const EnvelopeKey *>(address_of(next));
            const size_t stop = std::min(count - k, run_end - next);
            size_t along = 0;
            for (; along < stop && keys[k + along].get() == expected + along; ++along)
                if (rewritten_at(next + along, *keys[k + along])) ++new_values;
            next += along;
            k += along;
            if (k == count) break;
        }
        const KeyRef key = keys[k];
        const uintptr_t address = reinterpret_cast<uintptr_t>(key.get());
        size_t match = size;
        if (next < size && address_of(next) == address) {
            match = next++;
        } else {
            if (by_address.empty()) {
                for (size_t i = 0; i < size; ++i) by_address.emplace_back(address_of(i), i);
                std::sort(by_address.begin(), by_address.end());
            }
            const auto found =
                std::lower_bound(by_address.begin(), by_address.end(), std::make_pair(address, size_t{0}));
            if (found != by_address.end() && found->first == address) {
                match = found->second;
                next = found->second + 1;
            }
        }
        if (match == size)
            ++new_keys;
        else if (rewritten_at(match, *key))
            ++new_values;
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

WorldMotionBefore record_world_motion(const Scene &scene, bool unparenting, const JudgedTolerance &tolerance) {
    auto recorded = std::make_unique<RecordedMotion>();
    RecordedMotion &before = *recorded;
    before.unparenting = unparenting;
    before.tolerance = tolerance;
    std::unordered_set<ItemIdValue> chosen;
    std::map<std::vector<double>, size_t> group_of_times;
    std::vector<double> channel_times[kMotionChannels];
    for (ItemIdValue id : scene.selection) {
        const Item *item = scene.find(id);
        if (!item || !has_motion(*item) || !chosen.insert(id).second) continue;
        ItemMotionBefore record;
        record.id = id;
        record.parent = item->parent;
        for (const Item *ancestor : ancestors_of(scene, *item)) record.old_chain.push_back(ancestor->id);
        std::vector<double> key_times;
        // A channel's key values and addresses, its times to `times`.
        auto keep_keys = [](const Envelope &envelope, KeysBefore *kept, std::vector<double> *times) {
            const auto &keys = envelope.keys();
            kept->values.reserve(keys.size());
            times->clear();
            for (const auto &key : keys) {
                times->push_back(key->time);
                const uintptr_t address = reinterpret_cast<uintptr_t>(key.get());
                const size_t index = kept->values.size();
                if (kept->addresses.empty() ||
                    kept->addresses.back().first + (index - kept->addresses.back().begin) * sizeof(EnvelopeKey) !=
                        address)
                    kept->addresses.push_back(KeysBefore::AddressRun{address, index});
                kept->values.push_back(key->value);
            }
            if (kept->addresses.size() > kept->values.size() / 2) {
                for (const auto &key : keys) kept->scattered.push_back(reinterpret_cast<uintptr_t>(key.get()));
                std::vector<KeysBefore::AddressRun>().swap(kept->addresses);
            }
        };
        for (int c = 0; c < kMotionChannels; ++c) {
            keep_keys(item->channel(MotionChannel(c)).envelope, &record.keys[c], &channel_times[c]);
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
        const auto group = group_of_times.emplace(std::move(key_times), before.key_groups.size());
        if (group.second) before.key_groups.push_back(KeyTimeGroup{group.first->first, {}, {}, {}, {}});
        record.key_group = group.first->second;
        // The key times, mostly as a walk along the item's times.
        const std::vector<double> &times = before.key_groups[record.key_group].times;
        for (int c = 0; c < kMotionChannels; ++c) {
            if (channel_times[c].size() == times.size() &&
                (times.empty() ||
                 std::memcmp(channel_times[c].data(), times.data(), times.size() * sizeof(double)) == 0)) {
                record.keys[c].times.append_along(times, 0, times.size());
                continue;
            }
            size_t at = 0;
            for (double time : channel_times[c]) {
                while (at < times.size() && times[at] < time) ++at;
                record.keys[c].times.append(time, times, at);
            }
        }
        // Scale keys, to count those the command rewrites; their times as a
        // walk along the item's times where they meet them.
        for (int s = 0; s < 3 && kScaleX + s < static_cast<int>(item->motion->channels.size()); ++s) {
            std::vector<double> scale_times;
            keep_keys(item->channel(MotionChannel(kScaleX + s)).envelope, &record.scale_keys[s], &scale_times);
            size_t at = 0;
            for (double time : scale_times) {
                while (at < times.size() && times[at] < time) ++at;
                record.scale_keys[s].times.append(time, times, at);
            }
        }
        before.key_groups[record.key_group].members.push_back(before.items.size());
        before.items.push_back(std::move(record));
    }

    // The selected items and everything below them, each once.
    std::unordered_map<ItemIdValue, size_t> watched;
    for (const ItemMotionBefore &record : before.items) {
        watched.emplace(record.id, before.watched.size());
        before.watched.push_back(record.id);
    }
    for (size_t i = 0; i < before.watched.size(); ++i)
        for (ItemIdValue child : scene.find(before.watched[i])->children)
            if (scene.find(child) && watched.emplace(child, before.watched.size()).second)
                before.watched.push_back(child);
    std::unordered_set<ItemIdValue> old_ancestors;
    for (const ItemMotionBefore &record : before.items)
        for (ItemIdValue ancestor : record.old_chain)
            if (old_ancestors.insert(ancestor).second) before.old_ancestors.push_back(ancestor);

    // How each watched item hangs: from a watched item, from one outside
    // them (whose poses are kept) or from nothing, as the sampler places it.
    const HierarchySampler sampler(scene, before.watched);
    const size_t width = before.watched.size();
    before.how.resize(width);
    std::vector<int> outside;  // sampler indices
    std::unordered_map<int, size_t> outside_number;
    std::vector<std::pair<int, size_t>> placed;
    for (size_t w = 0; w < width; ++w) {
        WatchedBefore &how = before.how[w];
        const int at = sampler.index_of(before.watched[w]);
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
    for (const auto &one : placed) before.order.push_back(one.second);

    // The new parent is not known yet and may be any item, so every item's
    // keys are taken into the frames; the report checks those that matter.
    before.frames = checked_frames(scene, scene.all_items());
    // A tolerance is held at the half frames between checked frames too.
    if (tolerance.on)
        for (size_t f = 0; f + 1 < before.frames.size(); ++f)
            if (before.frames[f + 1] == before.frames[f] + 1) before.half_frames.push_back(before.frames[f]);
    if (before.frames.size() + before.half_frames.size() > kMostPosesHeld / std::max<size_t>(1, width)) {
        before.frames.clear();
        before.half_frames.clear();
        before.too_many_frames = true;
    }
    // A half frame between two whole frames that hold keys of an item is not
    // judged for it: keys on whole frames can do no more there, and the
    // command keeps its keys' times. Nor is it recorded, for it or for the
    // watched items that pose it, nor at all where no item is judged (a take
    // keyed on every frame holds none).
    const size_t items = before.items.size();
    std::vector<std::vector<char>> half_used(width);  // by watched item, for each half frame kept
    if (!before.half_frames.empty()) {
        const double fps = scene.frames_per_second;
        std::vector<char> any(before.half_frames.size(), 0);
        std::vector<std::vector<char>> needed(items, std::vector<char>(before.half_frames.size(), 0));
        for (size_t k = 0; k < items; ++k) {
            const Item &item = *scene.find(before.items[k].id);
            std::vector<int> keyed;
            for (int c = 0; c < kMotionChannels; ++c)
                for (const auto &key : item.channel(MotionChannel(c)).envelope.keys()) {
                    const int64_t frame = frame_holding(key->time, fps);
                    if (on_frame(key->time * fps, static_cast<double>(frame))) keyed.push_back(static_cast<int>(frame));
                }
            std::sort(keyed.begin(), keyed.end());
            for (size_t j = 0; j < before.half_frames.size(); ++j) {
                const int frame = before.half_frames[j];
                if (std::binary_search(keyed.begin(), keyed.end(), frame) &&
                    std::binary_search(keyed.begin(), keyed.end(), frame + 1))
                    continue;
                needed[k][j] = 1;
                any[j] = 1;
            }
        }
        std::vector<int> kept;
        for (size_t j = 0; j < before.half_frames.size(); ++j)
            if (any[j]) kept.push_back(before.half_frames[j]);
        for (size_t k = 0; k < items; ++k) {
            std::vector<bool> &recorded = before.items[k].half_recorded;
            for (size_t j = 0; j < before.half_frames.size(); ++j)
                if (any[j]) recorded.push_back(needed[k][j] != 0);
        }
        before.half_frames = std::move(kept);
        for (size_t k = 0; k < items; ++k)
            for (int w = static_cast<int>(k); w >= 0; w = before.how[static_cast<size_t>(w)].parent) {
                std::vector<char> &used = half_used[static_cast<size_t>(w)];
                used.resize(before.half_frames.size(), 0);
                for (size_t j = 0; j < before.half_frames.size(); ++j)
                    if (before.items[k].half_recorded[j]) used[j] = 1;
            }
    }
    for (std::vector<char> &used : half_used) used.resize(before.half_frames.size(), 0);
    before.frame_times = frame_times(before.frames, before.key_groups, scene.frames_per_second);
    for (int frame : before.half_frames) before.frame_times.push_back((frame + 0.5) / scene.frames_per_second);
    const size_t whole_rows = before.frames.size();
    const std::vector<double> &times = before.frame_times;
    // Each watched item's values on one thread: its envelopes are its own.
    run_in_parts(width, [&](size_t w) {
        const Item &item = sampler.item(static_cast<size_t>(sampler.index_of(before.watched[w])));
        std::vector<double> values;
        for (int c = 0; c < kMotionChannelCount; ++c) {
            NumberRuns &kept = before.how[w].values[c];
            if (times.empty()) continue;
            if (motion_constant(item, c)) {
                double value;
                motion_values(item, c, &times[0], 1, &value);
                kept.append_repeated(value, times.size());
            } else if (w < before.items.size() && c < kMotionChannels) {
                // A selected item's values at frames are mostly its keys'
                // there, held once in its record: frames on keys one after
                // another are kept as that stretch of them.
                const std::vector<double> &list = before.items[w].keys[c].values;
                const Envelope &envelope = item.channel(MotionChannel(c)).envelope;
                const auto &keys = envelope.keys();
                KeyCursor cursor(envelope);
                for (size_t t = 0; t < whole_rows;) {
                    const size_t up_to = cursor.keys_up_to(times[t]);
                    if (up_to == 0 || keys[up_to - 1]->time != times[t]) {
                        kept.append(envelope.evaluate(times[t]), list, up_to);
                        ++t;
                        continue;
                    }
                    // The keys that frames t, t + 1, ... take their values from.
                    size_t stretch = 1;
                    while (t + stretch < whole_rows && up_to + stretch <= keys.size() &&
                           keys[up_to - 1 + stretch]->time == times[t + stretch] &&
                           (up_to + stretch == keys.size() || keys[up_to + stretch]->time != times[t + stretch]))
                        ++stretch;
                    kept.append_along(list, up_to - 1, stretch);
                    t += stretch;
                }
                // Half frames mostly lie between keys: their values are their own.
                if (times.size() > whole_rows) {
                    values.resize(times.size() - whole_rows);
                    motion_values(item, c, &times[whole_rows], values.size(), values.data());
                    for (size_t j = 0; j < values.size(); ++j)
                        if (half_used[w][j])
                            kept.append(values[j], list, list.size());
                        else
                            kept.append_unread(1);
                }
            } else {
                const std::vector<double> none;
                values.resize(std::min(times.size(), kTimesPerBlock));
                for (size_t first = 0; first < times.size(); first += kTimesPerBlock) {
                    const size_t count = std::min(kTimesPerBlock, times.size() - first);
                    motion_values(item, c, &times[first], count, values.data());
                    for (size_t t = 0; t < count; ++t)
                        if (first + t < whole_rows || half_used[w][first + t - whole_rows])
                            kept.append(values[t], none, 0);
                        else
                            kept.append_unread(1);
                }
            }
        }
    });
    before.outside_count = outside.size();
    if (!outside.empty()) {
        const std::vector<char> mask = sampler.with_ancestors(outside);
        before.outside_poses.resize(times.size() * outside.size());
        evaluate_in_blocks(sampler, times, &mask, [&](size_t first, size_t count, const WorldPose *poses) {
            for (size_t t = 0; t < count; ++t)
                for (size_t e = 0; e < outside.size(); ++e)
                    before.outside_poses[(first + t) * outside.size() + e] =
                        poses[t * sampler.size() + static_cast<size_t>(outside[e])];
        });
    }

    for (KeyTimeGroup &group : before.key_groups) {
        for (double time : group.times) {
            const int64_t frame = frame_holding(time, scene.frames_per_second);
            const auto at = std::lower_bound(before.frames.begin(), before.frames.end(), frame);
            const size_t row = static_cast<size_t>(at - before.frames.begin());
            if (at != before.frames.end() && *at == frame && before.frame_times[row] == time)
                group.on_frames.push_back(row);
            else
                group.off_frames.push_back(time);
        }
        std::vector<int> members;
        for (size_t m : group.members) members.push_back(sampler.index_of(before.items[m].id));
        const std::vector<char> mask = sampler.with_ancestors(members);
        group.poses.resize(group.off_frames.size() * members.size());
        evaluate_in_blocks(sampler, group.off_frames, &mask, [&](size_t first, size_t count, const WorldPose *poses) {
            for (size_t t = 0; t < count; ++t)
                for (size_t m = 0; m < members.size(); ++m)
                    group.poses[(first + t) * members.size() + m] =
                        poses[t * sampler.size() + static_cast<size_t>(members[m])];
        });
    }
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

WorldMotionMeasure measure_world_motion(const Scene &scene, const WorldMotionBefore &handle) {
    WorldMotionMeasure measure;
    if (!handle.recorded_ || handle.recorded_->items.empty()) return measure;
    const RecordedMotion &before = *handle.recorded_;

    // The same items posed now, under their new parents.
    std::vector<ItemIdValue> present;
    for (ItemIdValue id : before.watched)
        if (scene.find(id)) present.push_back(id);
    const HierarchySampler sampler(scene, present);
    const size_t width = before.watched.size();
    std::vector<int> watched_at(width);
    for (size_t w = 0; w < width; ++w) watched_at[w] = sampler.index_of(before.watched[w]);
    std::vector<int> item_at(before.items.size());
    for (size_t k = 0; k < before.items.size(); ++k) item_at[k] = sampler.index_of(before.items[k].id);

    // The frames to check: the render range and every frame holding a key of
    // the items or of their old or new ancestors.
    std::vector<ItemIdValue> keyed(before.old_ancestors);
    for (size_t k = 0; k < before.items.size(); ++k)
        for (int at = item_at[k]; at >= 0; at = sampler.parent(static_cast<size_t>(at)))
            keyed.push_back(sampler.item(static_cast<size_t>(at)).id);
    const std::vector<int> wanted = checked_frames(scene, keyed);
    // The frame rows that serve key times are evaluated whether checked or not.
    std::vector<std::vector<size_t>> groups_served(before.frames.size());
    for (size_t g = 0; g < before.key_groups.size(); ++g)
        for (size_t row : before.key_groups[g].on_frames) groups_served[row].push_back(g);
    std::vector<int> frames;          // the frames checked
    std::vector<size_t> rows;         // the frame rows evaluated
    enum RowUse : char { kKeysOnly, kCheckedFrame, kJudgedHalf };
    std::vector<char> checked;        // for each of those, what it serves
    for (size_t f = 0; f < before.frames.size(); ++f) {
        const bool wanted_frame = std::binary_search(wanted.begin(), wanted.end(), before.frames[f]);
        if (wanted_frame) frames.push_back(before.frames[f]);
        if (wanted_frame || !groups_served[f].empty()) {
            rows.push_back(f);
            checked.push_back(wanted_frame ? kCheckedFrame : kKeysOnly);
        }
    }
    // With a tolerance, the half frames between checked frames are judged,
    // and the checked frames by it, for the items whose figures the host can
    // verify (their drivers are found below, after the rows).
    const JudgedTolerance &tolerance = before.tolerance;
    const size_t items = before.items.size();
    std::vector<std::vector<int>> keyed_frames(items);  // each item's frames holding a key on them
    double distance2 = 0.0, chord2 = 0.0, scale2 = 0.0;  // the limits, as Change keeps them
    if (tolerance.on) {
        for (size_t j = 0; j < before.half_frames.size(); ++j) {
            const int frame = before.half_frames[j];
            if (std::binary_search(frames.begin(), frames.end(), frame) &&
                std::binary_search(frames.begin(), frames.end(), frame + 1)) {
                rows.push_back(before.frames.size() + j);
                checked.push_back(kJudgedHalf);
            }
        }
        const double fps = scene.frames_per_second;
        for (size_t k = 0; k < items; ++k) {
            const Item *item = scene.find(before.items[k].id);
            for (int c = 0; item && has_motion(*item) && c < kMotionChannels; ++c)
                for (const auto &key : item->channel(MotionChannel(c)).envelope.keys()) {
                    const int64_t frame = frame_holding(key->time, fps);
                    if (on_frame(key->time * fps, static_cast<double>(frame)))
                        keyed_frames[k].push_back(static_cast<int>(frame));
                }
            std::sort(keyed_frames[k].begin(), keyed_frames[k].end());
            keyed_frames[k].erase(std::unique(keyed_frames[k].begin(), keyed_frames[k].end()), keyed_frames[k].end());
        }
        const double distance = tolerance.distance * kJudgedSlack;
        const double radians = std::min(tolerance.degrees * kJudgedSlack / kDegreesPerRadian, 3.141592653589793);
        const double chord = 2.0 * std::sin(radians / 2.0);
        const double scale = 1.0 + tolerance.percent / 100.0 * kJudgedSlack;
        distance2 = distance * distance;
        chord2 = chord * chord;
        scale2 = scale * scale;
    }
    // A half frame between two frames holding keys of the item: keys on whole
    // frames can do no more there.
    auto between_keys = [&](size_t k, int frame) {
        const std::vector<int> &keyed = keyed_frames[k];
        return std::binary_search(keyed.begin(), keyed.end(), frame) &&
               std::binary_search(keyed.begin(), keyed.end(), frame + 1);
    };
    // The sample of a frame row.
    auto sample_of = [&](size_t row) {
        const size_t whole = before.frames.size();
        return row < whole ? SampleFrame{before.frames[row], false} : SampleFrame{before.half_frames[row - whole], true};
    };
    // A key time in frames: the frame it lies on within a hair, else as it is.
    auto key_frame = [&](double time) {
        const double fps = scene.frames_per_second;
        const int64_t frame = frame_holding(time, fps);
        return on_frame(time * fps, static_cast<double>(frame)) ? static_cast<double>(frame) : time * fps;
    };
    std::vector<double> times;
    for (size_t row : rows) times.push_back(before.frame_times[row]);
    std::vector<char> group_whole(before.key_groups.size(), 1);  // all members still in the scene
    for (size_t g = 0; g < before.key_groups.size(); ++g)
        for (size_t m : before.key_groups[g].members)
            if (item_at[m] < 0) group_whole[g] = 0;

    // The rows are shared out in two runs, each taken by one thread block by
    // block: the poses before made again from what was recorded, the poses
    // now (envelopes evaluated read-only, so both threads may share them),
    // and their changes, gathered apart and joined in row order.
    const std::vector<double> none;
    // An item's samples judged against the tolerance, in one share.
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
            const double part =
                change.finite ? std::max(change.position2 / distance2, change.chord2 / chord2) : HUGE_VAL;
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
    Share shares[kShares];
    std::vector<size_t> keys_rewritten(items, 0), keys_created(items, 0);
    std::vector<size_t> scale_keys_rewritten(items, 0), scale_keys_created(items, 0);
    run_in_parts(kShares, [&](size_t part) {
        // Its items' keys, matched with those recorded (the keys are read,
        // never searched or evaluated).
        for (size_t k = items * part / kShares; k < items * (part + 1) / kShares; ++k) {
            const ItemMotionBefore &was = before.items[k];
            const Item *item = scene.find(was.id);
            for (int c = 0; item && has_motion(*item) && c < kMotionChannels; ++c)
                count_key_changes(was.keys[c], before.key_groups[was.key_group].times,
                                  item->channel(MotionChannel(c)).envelope, &keys_rewritten[k], &keys_created[k]);
            for (int c = kScaleX; item && item->motion && c < static_cast<int>(item->motion->channels.size()) &&
                                  c < kMotionChannelCount;
                 ++c)
                count_key_changes(was.scale_keys[c - kScaleX], before.key_groups[was.key_group].times,
                                  item->channel(MotionChannel(c)).envelope, &scale_keys_rewritten[k],
                                  &scale_keys_created[k]);
        }
        Share &share = shares[part];
        share.per_frame.resize(width);
        share.at_keys.resize(items);
        share.uneven.assign(items, 0.0);
        share.uneven_at.assign(items, 0);
        share.shears_at.assign(items, 0);
        if (tolerance.on) share.judging.resize(items);
        std::vector<Change> at_row(width);
        std::vector<double> values;
        std::vector<size_t> cursors(width * kMotionChannelCount, 0);
        std::vector<char> sheared(items, 0);
        const size_t block_rows = std::min(times.size(), kRowsPerRound);
        std::vector<WorldPose> poses(block_rows * sampler.size()), was_block(block_rows * width);
        const size_t end = times.size() * (part + 1) / kShares;
        for (size_t first = times.size() * part / kShares; first < end; first += kRowsPerRound) {
            const size_t count = std::min(kRowsPerRound, end - first);
            sampler.evaluate(&times[first], count, nullptr, poses.data());
            values.resize(count * kMotionChannelCount);
            for (size_t w : before.order) {
                const WatchedBefore &how = before.how[w];
                for (int c = 0; c < kMotionChannelCount; ++c) {
                    const std::vector<double> &list =
                        w < items && c < kMotionChannels ? before.items[w].keys[c].values : none;
                    size_t *cursor = &cursors[w * kMotionChannelCount + static_cast<size_t>(c)];
                    how.values[c].read(&rows[first], count, list, cursor, &values[static_cast<size_t>(c) * count]);
                }
                for (size_t t = 0; t < count; ++t) {
                    const WorldPose *above = nullptr;
                    if (how.parent >= 0)
                        above = &was_block[t * width + static_cast<size_t>(how.parent)];
                    else if (how.parent <= -2)
                        above = &before.outside_poses[rows[first + t] * before.outside_count +
                                                      static_cast<size_t>(-2 - how.parent)];
                    place(&values[t], count, how.pivot_turned ? &how.pivot_turn : nullptr, above, how.parent_pivot,
                          &was_block[t * width + w]);
                }
            }
            for (size_t t = 0; t < count; ++t) {
                const size_t row = rows[first + t];
                const WorldPose *now = &poses[t * sampler.size()];
                const WorldPose *was = &was_block[t * width];
                if (checked[first + t] == kJudgedHalf) {
                    const int frame = before.half_frames[row - before.frames.size()];
                    const size_t half = row - before.frames.size();
                    for (size_t k = 0; k < items; ++k)
                        if (item_at[k] >= 0 && !between_keys(k, frame) && before.items[k].half_recorded[half]) {
                            Change change;
                            change.add(was[k], now[static_cast<size_t>(item_at[k])]);
                            change.at(frame + 0.5);
                            share.judging[k].add(change, row, distance2, chord2);
                            share.judging[k].half.add(change);
                            ++share.judging[k].half_frames;
                        }
                    continue;
                }
                // A checked frame's changes serve its key times too.
                const bool checked_frame = checked[first + t] == kCheckedFrame;
                const double frame = before.frames[row];
                if (checked_frame)
                    for (size_t w = 0; w < width; ++w)
                        if (watched_at[w] >= 0) {
                            at_row[w] = Change();
                            at_row[w].add(was[w], now[watched_at[w]]);
                            at_row[w].at(frame);
                            share.per_frame[w].add(at_row[w]);
                        }
                if (checked_frame && tolerance.on)
                    for (size_t k = 0; k < items; ++k)
                        if (item_at[k] >= 0) {
                            share.judging[k].add(at_row[k], row, distance2, chord2);
                            ++share.judging[k].frames;
                        }
                for (size_t g : groups_served[row])
                    if (group_whole[g])
                        for (size_t k : before.key_groups[g].members) {
                            if (checked_frame) {
                                share.at_keys[k].add(at_row[k]);
                            } else {
                                Change change;
                                change.add(was[k], now[static_cast<size_t>(item_at[k])]);
                                share.at_keys[k].add(change.at(frame));
                            }
                        }
                if (!checked_frame) continue;
                for (size_t k = 0; k < items; ++k) {
                    const int parent = item_at[k] >= 0 ? sampler.parent(static_cast<size_t>(item_at[k])) : -1;
                    if (parent < 0) continue;
                    // Uneven scale bends the item only where it stretches
                    // across the item's axes: along them its scale keys keep it.
                    const double uneven =
                        std::min(unevenness(now[parent]), skew(now[static_cast<size_t>(item_at[k])]));
                    if (uneven > share.uneven[k]) {
                        share.uneven[k] = uneven;
                        share.uneven_at[k] = before.frames[row];
                    }
                    if (shears(uneven) && !sheared[k]) {
                        sheared[k] = 1;
                        share.shears_at[k] = before.frames[row];
                    }
                }
            }
        }
    });
    std::vector<Change> per_frame(width);
    std::vector<Change> at_keys(items);
    std::vector<Judging> judging(tolerance.on ? items : 0);
    std::vector<double> parent_unevenness(items, 0.0);
    std::vector<int> uneven_frame(items, 0);
    for (const Share &share : shares) {
        if (share.per_frame.empty()) continue;  // no row was its
        for (size_t w = 0; w < width; ++w) per_frame[w].add(share.per_frame[w]);
        for (size_t k = 0; k < items; ++k) {
            at_keys[k].add(share.at_keys[k]);
            if (tolerance.on) judging[k].add(share.judging[k]);
            // As a walk over all rows in order would find them: the frame of
            // the first rise above shearing, else of the largest unevenness.
            if (share.uneven[k] > parent_unevenness[k]) {
                if (!shears(parent_unevenness[k]))
                    uneven_frame[k] = shears(share.uneven[k]) ? share.shears_at[k] : share.uneven_at[k];
                parent_unevenness[k] = share.uneven[k];
            }
        }
    }

    for (size_t g = 0; g < before.key_groups.size(); ++g) {
        const KeyTimeGroup &group = before.key_groups[g];
        if (!group_whole[g]) continue;  // an item has gone; it is reported so
        std::vector<int> members;
        for (size_t m : group.members) members.push_back(item_at[m]);
        const std::vector<char> mask = sampler.with_ancestors(members);
        evaluate_in_blocks(sampler, group.off_frames, &mask, [&](size_t first, size_t count, const WorldPose *poses) {
            for (size_t t = 0; t < count; ++t)
                for (size_t m = 0; m < members.size(); ++m) {
                    Change change;
                    change.add(group.poses[(first + t) * members.size() + m],
                               poses[t * sampler.size() + static_cast<size_t>(members[m])]);
                    at_keys[group.members[m]].add(change.at(key_frame(group.off_frames[first + t])));
                }
        });
    }

    // Each item's descendants now, worst first: children come after their
    // parents in the sampler, so one pass from the end gathers every subtree.
    std::vector<double> moved(sampler.size(), 0.0);
    for (size_t w = 0; w < width; ++w)
        if (watched_at[w] >= 0) moved[static_cast<size_t>(watched_at[w])] = per_frame[w].position2;
    std::vector<double> below(sampler.size(), 0.0);
    std::vector<int> worst(sampler.size(), -1);
    std::vector<size_t> count_below(sampler.size(), 0);
    // Which items Layout moves by more than their keys, and which have such below them.
    std::vector<char> beyond_keys(sampler.size()), beyond_below(sampler.size(), 0);
    for (size_t i = 0; i < sampler.size(); ++i) beyond_keys[i] = moved_beyond_keys(sampler.item(i));
    for (size_t i = sampler.size(); i-- > 0;) {
        const int parent = sampler.parent(i);
        if (parent < 0) continue;
        const size_t p = static_cast<size_t>(parent);
        count_below[p] += 1 + count_below[i];
        if (beyond_keys[i] || beyond_below[i]) beyond_below[p] = 1;
        const bool own = moved[i] >= below[i];
        const double largest = own ? moved[i] : below[i];
        if (worst[p] < 0 || largest > below[p]) {
            below[p] = largest;
            worst[p] = own ? static_cast<int>(i) : worst[i];
        }
    }

    auto named = [&](ItemIdValue id) {
        NamedItem one;
        one.id = id;
        if (const Item *item = id ? scene.find(id) : nullptr) {
            one.name = item->name;
            one.present = true;
        }
        return one;
    };
    auto driver = [&](MotionDriver::Relation relation, ptrdiff_t old_place, ptrdiff_t new_place, const Item &item) {
        MotionDriver one;
        one.relation = relation;
        one.old_place = static_cast<int>(old_place);
        one.new_place = static_cast<int>(new_place);
        one.item = named(item.id);
        one.controllers = item.controllers;
        one.position_controllers = item.position_controllers;
        one.goal = named(item.goal);
        one.target = named(item.target);
        one.pole = named(item.pole);
        one.position_item = named(item.position_item);
        one.rotation_item = named(item.rotation_item);
        one.scale_item = named(item.scale_item);
        for (const MotionPlugin &plugin : item.motion_plugins)
            if (plugin.enabled) one.plugins.push_back(plugin);
        return one;
    };

    measure.frames.too_many = before.too_many_frames;
    measure.tolerance = tolerance;
    measure.frames.count = frames.size();
    if (!frames.empty()) {
        measure.frames.first = frames.front();
        measure.frames.last = frames.back();
    }
    measure.items.resize(before.items.size());
    std::vector<std::vector<size_t>> children;  // in the sampler, made when first needed
    for (size_t k = 0; k < before.items.size(); ++k) {
        const ItemMotionBefore &was = before.items[k];
        ItemMotionMeasure &result = measure.items[k];
        result.item = named(was.id);
        const Item *item = scene.find(was.id);
        if (!item) continue;
        const size_t rewritten = keys_rewritten[k], created = keys_created[k];
        const size_t scale_rewritten = scale_keys_rewritten[k], scale_created = scale_keys_created[k];
        result.nothing_to_unparent = before.unparenting && was.parent == 0;
        if (item->parent == was.parent && rewritten == 0 && created == 0 && scale_rewritten == 0 &&
            scale_created == 0)
            continue;
        result.changed = true;
        result.parent_before = named(was.parent);
        result.parent_after = named(item->parent);
        result.keys_rewritten = rewritten;
        result.keys_created = created;
        result.scale_keys_rewritten = scale_rewritten;
        result.scale_keys_created = scale_created;
        const bool reparented = item->parent != was.parent;
        const size_t at = static_cast<size_t>(item_at[k]);
        // Everything whose motion these figures rest on, and what moves it beyond its keys.
        if (beyond_keys[at]) result.drivers.push_back(driver(MotionDriver::kItself, -1, -1, *item));
        std::vector<ItemIdValue> new_chain;
        for (int up = sampler.parent(at); up >= 0; up = sampler.parent(static_cast<size_t>(up)))
            new_chain.push_back(sampler.item(static_cast<size_t>(up)).id);
        for (size_t i = 0; i < was.old_chain.size(); ++i) {
            const Item *ancestor = scene.find(was.old_chain[i]);
            if (ancestor && moved_beyond_keys(*ancestor))
                result.drivers.push_back(driver(MotionDriver::kAncestor, static_cast<ptrdiff_t>(i),
                                                place_in(new_chain, ancestor->id), *ancestor));
        }
        size_t j = 0;
        for (int up = sampler.parent(at); up >= 0; up = sampler.parent(static_cast<size_t>(up)), ++j)
            if (beyond_keys[static_cast<size_t>(up)] && place_in(was.old_chain, new_chain[j]) < 0)
                result.drivers.push_back(driver(MotionDriver::kAncestor, -1, static_cast<ptrdiff_t>(j),
                                                sampler.item(static_cast<size_t>(up))));
        if (beyond_below[at]) {
            if (children.empty()) {
                children.resize(sampler.size());
                for (size_t i = 0; i < sampler.size(); ++i)
                    if (sampler.parent(i) >= 0) children[static_cast<size_t>(sampler.parent(i))].push_back(i);
            }
            std::vector<size_t> stack(children[at].rbegin(), children[at].rend());
            while (!stack.empty()) {
                const size_t i = stack.back();
                stack.pop_back();
                if (beyond_keys[i])
                    result.drivers.push_back(driver(MotionDriver::kDescendant, -1, -1, sampler.item(i)));
                stack.insert(stack.end(), children[i].rbegin(), children[i].rend());
            }
        }

        result.key_times = before.key_groups[was.key_group].times.size();
        result.at_keys = at_keys[k].largest();
        result.at_frames = per_frame[k].largest();
        if (tolerance.on) {
            result.half_frames = judging[k].half_frames;
            result.at_half_frames = judging[k].half.largest();
        }
        Change all = at_keys[k];
        all.add(per_frame[k]);
        // A tolerance judges the world scale at the frames; the key times
        // are held to rounding all the same.
        result.scale_changed = tolerance.on ? at_keys[k].scale_changed() : all.scale_changed();
        result.scale_factor = all.scale_factor();
        if (tolerance.on && result.verified()) {
            const Judging &judged = judging[k];
            ToleranceJudgement &judgement = result.judgement;
            judgement.judged = true;
            judgement.frames = judged.frames;
            judgement.half_frames = judged.half_frames;
            judgement.largest = judged.largest.largest();
            // Below rounding the scale is kept, as the report says of it.
            judgement.scale_percent =
                judged.largest.scale_changed() ? (judged.largest.scale_factor() - 1.0) * 100.0 : 0.0;
            judgement.motion_beyond = judged.frames + judged.half_frames > 0 && !(judged.motion <= 1.0);
            judgement.motion_worst = sample_of(judged.motion_row);
            judgement.motion_there = judged.motion_there.largest();
            judgement.scale_beyond = !(judged.scale <= scale2);
            judgement.scale_worst = sample_of(judged.scale_row);
            judgement.scale_there = (std::sqrt(judged.scale) - 1.0) * 100.0;
        }
        result.descendants = count_below[at];
        if (count_below[at] > 0) {
            result.descendants_moved = std::sqrt(below[at]);
            result.most_moved = named(sampler.item(static_cast<size_t>(worst[at])).id);
        }
        result.shears = reparented && shears(parent_unevenness[k]);
        result.shears_from = uneven_frame[k];
    }
    return measure;
}

}  // namespace headless
