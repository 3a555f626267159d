#include "motion_hold.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "growing_block.h"
#include "key_frame_table.h"
#include "portable_trig.h"
#include "transform_chain.h"
#include "transform_math.h"

namespace {

constexpr double kDegreesPerRadian = 57.295779513082323;
// The fit aims this far inside the tolerance, so that the host's own
// evaluation, which judges the result, does not find a sample just over it.
constexpr double kFitMargin = 0.9;
// Passes that add keys where the host's evaluation still finds the motion out
// after the fit (shapes of neighbouring keys the fit cannot steer, a host that
// interpolates differently): each pass keys the frames next to what is out.
constexpr int kRepairPasses = 8;

template <typename T>
T *allocate(int64_t count) {
    if (count <= 0) count = 1;
    return static_cast<T *>(std::malloc(static_cast<size_t>(count) * sizeof(T)));
}

// How far apart two rotations are, as the distance of their matrices:
// 2 sqrt(2) sin(angle / 2), exact for small angles and free of the library's
// inverse sine, so both platforms decide alike.
double chord_between(const double *a, const double *b) {
    double sum = 0.0;
    for (int i = 0; i < 9; ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(sum);
}

double chord_of_degrees(double degrees) {
    const double half = degrees * (3.141592653589793 / 360.0);
    return 2.0 * std::sqrt(2.0) * (half < 1.5707963267948966 ? portable_sin(half) : 1.0);
}

// For what is said only.
double degrees_of_chord(double chord) {
    if (!std::isfinite(chord)) return HUGE_VAL;
    const double half_sine = chord / (2.0 * std::sqrt(2.0));
    return half_sine >= 1.0 ? 180.0 : 2.0 * std::asin(half_sine) * kDegreesPerRadian;
}

void rotation_of_angles(const double *angles, double *out) {
    const Vector3 hpb{angles[0], angles[1], angles[2]};
    Matrix3 m;
    hpb_to_matrix3(&m, &hpb);
    std::memcpy(out, m.m, sizeof m.m);
}

// What a frame holds, in the order keys are placed.
constexpr uint8_t kFree = 0;
constexpr uint8_t kKeyed = 1;
constexpr uint8_t kPicked = 2;  // to be keyed in this pass


struct Error {
    double distance;
    double chord;  // of the rotations, see chord_between
    double scale;  // the largest relative change of a world axis's length
};

struct Sample {
    double time;
    int32_t solve;
    Error error;
};

// A managed key: one whose tangents this code sets, by slope per second on
// either side; they are turned into the value's change across each span
// whenever keys are added next to it.
struct HeldKey {
    HostId key;
    double time;  // keys keep their times here
    double slope_in;
    double slope_out;
    int32_t channel;
    bool own;    // added here, rather than one of the animator's keys
    bool dirty;  // its tangents or spans changed since they were last set
};

// How one of the item's keys, in one channel, leaves toward the next: a key
// whose shape runs on tangents takes the one it is given; a linear key's
// follows from its neighbours, a stepped key's is flat, and a 2D Bezier
// key's is its handle's.
struct KeyEnd {
    double previous_time;  // the channel's key before it, if any
    double previous_value;
    double slope_out;  // as the host evaluates it now
    int32_t shape;     // -1: no key at this time in the channel
    bool has_previous;
};

// A point of the fit: a key's time with the value and slope the motion has there.
struct Node {
    int32_t key;  // one of the item's keys, or -1 for a frame to key
    double time;
    int32_t frame;   // the whole frame of an added key; unused for keys already there
    int32_t solve;   // the solve giving its values
    int32_t after;   // the first sample after it
    int32_t before;  // the last sample before it
    double slope_in[kKeyedChannels];
    double slope_out[kKeyedChannels];
};

// The slope per second with which an envelope leaves `time` on the side
// `sign` (+1 after, -1 before), as the host evaluates it: from a parabola
// through points a thousandth and two thousandths of `span` away.
double envelope_slope(const EnvelopeFuncs *env, HostId envelope, double time, double span, double sign) {
    const double e = 1e-3 * span * sign;
    const double v0 = env->evaluate(envelope, time), v1 = env->evaluate(envelope, time + e),
                 v2 = env->evaluate(envelope, time + 2 * e);
    return (4 * (v1 - v0) - (v2 - v0)) / (2 * e);
}

int compare_frames(const void *a, const void *b) {
    const int32_t x = *static_cast<const int32_t *>(a), y = *static_cast<const int32_t *>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

class Holder {
public:
    Holder(const HostContext *context, HostId item, const HostId envelopes[kKeyedChannels], const KeyWriteList *writes,
           int32_t first, int32_t last, const MotionTolerance &tolerance)
        : context_(context), item_(item), envelopes_(envelopes), writes_(writes), first_(first), last_(last),
          tolerance_(tolerance), fps_(context->scene_info->frames_per_second),
          chord_limit_(chord_of_degrees(tolerance.degrees)), fit_chord_limit_(chord_of_degrees(kFitMargin * tolerance.degrees)),
          scale_limit_(tolerance.scale_percent / 100.0),
          channels_(envelopes[kFirstScaleChannel] || envelopes[kFirstScaleChannel + 1] || envelopes[kFirstScaleChannel + 2]
                        ? kKeyedChannels
                        : kMotionChannels) {}

    ~Holder() {
        std::free(samples_);
        std::free(key_solves_);
        std::free(keyed_);
        std::free(targets_);
        std::free(held_);
        std::free(nodes_);
        std::free(reach_);
        std::free(steps_);
        std::free(frames_);
        std::free(channel_keys_);
        std::free(channel_times_);
        std::free(channel_held_);
        std::free(gap_out_);
        std::free(key_ends_);
        std::free(steered_gaps_);
    }

    void run(HoldResult *result) {
        *result = HoldResult{kHoldMet, 0.0, 0.0, 0.0, -1.0};
        // Abort pressed once the keys were written: they stay, nothing is added.
        if (progress_aborted(context_->progress)) return finish(result, kHoldStopped);
        if (!gather()) return finish(result, kHoldNoMemory);
        for (int32_t i = 0; i < writes_->solve_count; ++i)
            if (!solve_finite(writes_->solves[i])) return finish(result, kHoldNotNumbers);
        measure_all();
        if (all_within()) return finish(result);
        for (int32_t j = 0; j < sample_count_; ++j)
            if (sheared(writes_->solves[samples_[j].solve])) return finish(result, kHoldSheared);
        if (!prepare_targets()) return finish(result, kHoldNoMemory);
        frame_count_ = 0;
        gap_out_ = allocate<bool>(static_cast<int64_t>(key_count_) + 1);
        key_ends_ = allocate<KeyEnd>(static_cast<int64_t>(key_count_) * channels_);
        if (!gap_out_ || !key_ends_) return finish(result, kHoldNoMemory);
        for (int32_t gap = 0; gap <= key_count_; ++gap) gap_out_[gap] = gap_is_out(gap);
        read_key_ends();
        for (int32_t gap = 0; gap <= key_count_ && !stopped_; ++gap)
            if (gap_out_[gap] && !fit_gap(gap)) return finish(result, kHoldNoMemory);
        HoldOutcome stop = kHoldMet;
        for (int pass = 0; pass <= kRepairPasses && (frame_count_ > 0 || steered_count_ > 0); ++pass) {
            // The gaps fitted before an Abort are keyed all the same.
            if (!add_keys(&stop)) return finish(result, kHoldNoMemory);
            if (stopped_) break;
            measure_all();
            if (stop != kHoldMet || all_within()) break;
            stopped_ = ask_to_go_on(-1);
            if (stopped_) break;
            if (!frames_next_to_what_is_out()) return finish(result, kHoldNoMemory);
        }
        finish(result, stopped_ && stop == kHoldMet ? kHoldStopped : stop);
    }

private:
    // ------------------------------------------------------------ samples ---
    bool gather() {
        const int64_t expected = 2 * (static_cast<int64_t>(last_) - first_) + 1;
        samples_ = allocate<Sample>(expected);
        key_solves_ = allocate<int32_t>(writes_->solve_count);
        keyed_ = static_cast<uint8_t *>(std::calloc(static_cast<size_t>(last_ - first_ + 1), 1));
        if (!samples_ || !key_solves_ || !keyed_) return false;
        for (int32_t i = 0; i < writes_->count; ++i) {
            const KeyWrite &write = writes_->writes[i];
            if (write.channel == kSampleOnly) {
                if (sample_count_ < expected) samples_[sample_count_++] = Sample{write.time, write.solve, {0.0, 0.0, 0.0}};
                continue;
            }
            if (key_count_ == 0 || key_solves_[key_count_ - 1] != write.solve) key_solves_[key_count_++] = write.solve;
            // A key between frames leaves the whole frame before it free: that
            // frame is sampled and may take a key of its own.
            int32_t frame = 0;
            if (key_on_whole_frame(write.time, fps_, &frame) && frame >= first_ && frame <= last_)
                keyed_[frame - first_] = kKeyed;
        }
        return sample_count_ == expected;
    }

    // Whether no keys of the item can give back its world axes at the
    // solve's time. Where its scale is held too, a chain that scales
    // unevenly along the item's own axes is kept by its scale keys.
    bool sheared(const KeySolve &solve) const {
        if (channels_ == kKeyedChannels) return (solve.scaling & kScaleSheared) != 0;
        return solve.sheared != 0;
    }

    static bool solve_finite(const KeySolve &solve) {
        for (double v : solve.values)
            if (!std::isfinite(v)) return false;
        for (double v : solve.world_position)
            if (!std::isfinite(v)) return false;
        for (double v : solve.world_rotation)
            if (!std::isfinite(v)) return false;
        for (double v : solve.world_lengths)
            if (!std::isfinite(v)) return false;
        return std::isfinite(solve.parent_scale);
    }

    // How far the item now is, as the host evaluates it, from where it was.
    Error error_at(double time, const KeySolve &was) const {
        Matrix3 rotation;
        Vector3 position;
        double own[3], ancestors[3];
        double scale = 0.0;
        if (channels_ == kMotionChannels) {
            item_world_pose(context_->item_info, item_, time, nullptr, nullptr, &rotation, &position, own, ancestors);
        } else {
            // The world axes' lengths too, from the same walk.
            ChainPose chain;
            item_chain_and_world_pose(context_->item_info, item_, time, nullptr, nullptr, &chain, &rotation, &position,
                                      own, ancestors);
            for (int r = 0; r < 3; ++r) {
                const double *row = chain.transform.m + 3 * r;
                const double length = std::sqrt(row[0] * row[0] + row[1] * row[1] + row[2] * row[2]);
                const double change = length == was.world_lengths[r] ? 0.0
                                      : was.world_lengths[r] != 0.0 ? std::fabs(length / was.world_lengths[r] - 1.0)
                                                                    : HUGE_VAL;
                if (!(change <= scale)) scale = change;
            }
        }
        const double dx = position.x - was.world_position[0], dy = position.y - was.world_position[1],
                     dz = position.z - was.world_position[2];
        Error error{std::sqrt(dx * dx + dy * dy + dz * dz), chord_between(rotation.m, was.world_rotation), scale};
        if (!std::isfinite(error.distance)) error.distance = HUGE_VAL;
        if (!std::isfinite(error.chord)) error.chord = HUGE_VAL;
        if (!std::isfinite(error.scale)) error.scale = HUGE_VAL;
        return error;
    }

    void measure_all() {
        for (int32_t j = 0; j < sample_count_; ++j)
            samples_[j].error = error_at(samples_[j].time, writes_->solves[samples_[j].solve]);
    }

    bool out(const Error &e) const {
        return !(e.distance <= tolerance_.distance && e.chord <= chord_limit_ && e.scale <= scale_limit_);
    }

    bool all_within() const {
        for (int32_t j = 0; j < sample_count_; ++j)
            if (out(samples_[j].error)) return false;
        return true;
    }

    int32_t frame_of_sample(int32_t j) const { return first_ + j / 2; }

    // ------------------------------------------------------------ targets ---
    // The local values the item should have at every sample, and their
    // rotation, so that a curve through them can be judged without the host.
    bool prepare_targets() {
        targets_ = allocate<double>(static_cast<int64_t>(sample_count_) * 9);
        if (!targets_) return false;
        for (int32_t j = 0; j < sample_count_; ++j)
            rotation_of_angles(writes_->solves[samples_[j].solve].values + 3, targets_ + 9 * static_cast<int64_t>(j));
        return true;
    }

    const double *values_of(int32_t solve) const { return writes_->solves[solve].values; }

    // The slopes per second of the wanted local values just before and just
    // after `time`, each from a parabola through the value there and the two
    // samples on that side: the motion may turn a corner at a key of an
    // ancestor, and a Hermite key has a tangent for either side.
    void slopes_at(double time, int32_t solve, double in[kKeyedChannels], double out[kKeyedChannels]) const {
        int32_t after = first_sample_after(time), before = last_sample_before(time);
        // A sample a hair from `time` (a key a hair off its frame) would turn
        // the rounding of the values into the slope.
        const double hair = 0.125 / fps_;
        if (after < sample_count_ && samples_[after].time - time < hair) ++after;
        if (before >= 0 && time - samples_[before].time < hair) --before;
        one_side(time, solve, before, before - 1, in);
        one_side(time, solve, after, after + 1, out);
        const bool has_in = before >= 0, has_out = after < sample_count_;
        for (int c = 0; c < channels_; ++c) {
            if (!has_in) in[c] = out[c];
            if (!has_out) out[c] = in[c];
        }
    }

    // The derivative at `time` of the parabola through the value at `time` and
    // samples `near` and `far` (the line through the first two when `far`
    // lies outside); zero when `near` does.
    void one_side(double time, int32_t solve, int32_t near, int32_t far, double out[kKeyedChannels]) const {
        const double *y0 = values_of(solve);
        if (near < 0 || near >= sample_count_) {
            for (int c = 0; c < channels_; ++c) out[c] = 0.0;
            return;
        }
        const double x1 = samples_[near].time - time;
        const double *y1 = values_of(samples_[near].solve);
        if (far < 0 || far >= sample_count_) {
            for (int c = 0; c < channels_; ++c) out[c] = (y1[c] - y0[c]) / x1;
            return;
        }
        const double x2 = samples_[far].time - time;
        const double *y2 = values_of(samples_[far].solve);
        const double w0 = -(x1 + x2) / (x1 * x2), w1 = x2 / (x1 * (x2 - x1)), w2 = -x1 / (x2 * (x2 - x1));
        for (int c = 0; c < channels_; ++c) out[c] = w0 * y0[c] + w1 * y1[c] + w2 * y2[c];
    }

    // ---------------------------------------------------------------- fit ---
    double gap_start(int32_t gap) const { return gap == 0 ? -HUGE_VAL : writes_->solves[key_solves_[gap - 1]].time; }
    double gap_end(int32_t gap) const { return gap == key_count_ ? HUGE_VAL : writes_->solves[key_solves_[gap]].time; }

    int32_t first_sample_after(double time) const {
        const auto at = std::upper_bound(samples_, samples_ + sample_count_, time,
                                         [](double t, const Sample &s) { return t < s.time; });
        return static_cast<int32_t>(at - samples_);
    }
    int32_t last_sample_before(double time) const {
        const auto at = std::lower_bound(samples_, samples_ + sample_count_, time,
                                         [](const Sample &s, double t) { return s.time < t; });
        return static_cast<int32_t>(at - samples_) - 1;
    }

    // The index of the channel's first key at or after `time`.
    int32_t channel_key_from(double time) const {
        return static_cast<int32_t>(std::lower_bound(channel_times_, channel_times_ + channel_key_count_, time) -
                                    channel_times_);
    }

    bool gap_is_out(int32_t gap) const {
        const int32_t from = first_sample_after(gap_start(gap)), to = last_sample_before(gap_end(gap));
        for (int32_t j = from; j <= to; ++j)
            if (out(samples_[j].error)) return true;
        return false;
    }

    Node node_at_key(int32_t key) const {
        const int32_t solve = key_solves_[key];
        const double time = writes_->solves[solve].time;
        Node node{key, time, 0, solve, first_sample_after(time), last_sample_before(time), {}, {}};
        slopes_at(time, solve, node.slope_in, node.slope_out);
        return node;
    }

    Node node_at_sample(int32_t j) const {
        Node node{-1, samples_[j].time, frame_of_sample(j), samples_[j].solve, j + 1, j - 1, {}, {}};
        slopes_at(node.time, node.solve, node.slope_in, node.slope_out);
        return node;
    }

    // Whether one Hermite span from `a` to `b`, each with its value and
    // slope, keeps every sample between them inside the tolerance.
    bool span_holds(const Node &a, const Node &b) const {
        const double span = b.time - a.time;
        const double *va = values_of(a.solve), *vb = values_of(b.solve);
        double leaving[kKeyedChannels];
        for (int c = 0; c < channels_; ++c)
            leaving[c] = a.key >= 0 ? slope_leaving(a.key, c, b.time, vb[c]) : a.slope_out[c];
        for (int32_t j = a.after; j <= b.before; ++j) {
            const double s = (samples_[j].time - a.time) / span;
            const double s2 = s * s, s3 = s2 * s;
            const double h1 = 2 * s3 - 3 * s2 + 1, h2 = -2 * s3 + 3 * s2, h3 = s3 - 2 * s2 + s, h4 = s3 - s2;
            double curve[kKeyedChannels];
            for (int c = 0; c < channels_; ++c)
                curve[c] = h1 * va[c] + h2 * vb[c] + (h3 * leaving[c] + h4 * b.slope_in[c]) * span;
            const KeySolve &want = writes_->solves[samples_[j].solve];
            const double dx = curve[0] - want.values[0], dy = curve[1] - want.values[1],
                         dz = curve[2] - want.values[2];
            const double distance = want.parent_scale * std::sqrt(dx * dx + dy * dy + dz * dz);
            if (!(distance <= kFitMargin * tolerance_.distance)) return false;
            double rotation[9];
            rotation_of_angles(curve + 3, rotation);
            if (!(chord_between(rotation, targets_ + 9 * static_cast<int64_t>(j)) <= fit_chord_limit_))
                return false;
            // A scale factor off by a share is the world axis off by that share.
            for (int c = kFirstScaleChannel; c < channels_; ++c)
                if (!(std::fabs(curve[c] - want.values[c]) <= kFitMargin * scale_limit_ * std::fabs(want.values[c])))
                    return false;
        }
        return true;
    }

    // Whether this code may give key `key`'s channel `c` the tangent it wants
    // toward the next key: shapes that run on tangents, and linear or
    // stepped keys that become Hermite keys because the span before them is
    // fitted too (which keeps the span after them as it was).
    bool steerable(int32_t key, int c) const {
        const int shape = key_ends_[static_cast<int64_t>(key) * channels_ + c].shape;
        if (shape < 0 || shape == host_abi::kKeyShapeTcb || shape == host_abi::kKeyShapeHermite ||
            shape == host_abi::kKeyShapeBezier)
            return true;
        return (shape == host_abi::kKeyShapeLinear || shape == host_abi::kKeyShapeStepped) && gap_out_[key];
    }

    // The slope per second at which key `key`'s channel `c` leaves toward a
    // next key at `time` with `value`.
    double slope_leaving(int32_t key, int c, double time, double value) const {
        const KeyEnd &end = key_ends_[static_cast<int64_t>(key) * channels_ + c];
        if (steerable(key, c)) return nodes_slope_out(key, c);
        if (end.shape == host_abi::kKeyShapeLinear) {
            const double here = writes_->solves[key_solves_[key]].time;
            const double from_time = end.has_previous ? end.previous_time : here;
            const double from_value = end.has_previous ? end.previous_value : values_of(key_solves_[key])[c];
            return time > from_time ? (value - from_value) / (time - from_time) : 0.0;
        }
        return end.shape == host_abi::kKeyShapeStepped ? 0.0 : end.slope_out;
    }

    double nodes_slope_out(int32_t key, int c) const {
        double in[kKeyedChannels], out[kKeyedChannels];
        const int32_t solve = key_solves_[key];
        slopes_at(writes_->solves[solve].time, solve, in, out);
        return out[c];
    }

    // Each key's shape per channel, its channel's key before it, and its
    // slope after it, read before any key is added.
    void read_key_ends() {
        const EnvelopeFuncs *env = context_->envelopes;
        for (int32_t k = 0; k < key_count_; ++k) {
            const double time = writes_->solves[key_solves_[k]].time;
            // Only the keys around a gap to fit are asked about.
            const bool needed = gap_out_[k] || gap_out_[k + 1];
            for (int c = 0; c < channels_; ++c) {
                KeyEnd &end = key_ends_[static_cast<int64_t>(k) * channels_ + c];
                end = KeyEnd{0.0, 0.0, 0.0, -1, false};
                const HostId envelope = needed ? envelopes_[c] : nullptr;
                const HostId key = envelope ? env->find_key(envelope, time) : nullptr;
                if (!key) continue;
                end.shape = shape_of(c, key);
                if (const HostId previous = env->prev_key(envelope, key)) {
                    env->key_get(envelope, previous, host_abi::kKeyTagTime, &end.previous_time);
                    env->key_get(envelope, previous, host_abi::kKeyTagValue, &end.previous_value);
                    end.has_previous = true;
                }
                double after = 0.0;
                if (const HostId next = env->next_key(envelope, key)) {
                    env->key_get(envelope, next, host_abi::kKeyTagTime, &after);
                    after -= time;
                }
                if (after > 0.0) end.slope_out = envelope_slope(env, envelope, time, after, 1.0);
            }
        }
    }

    // The fewest added keys over the gap between two of the item's keys (or
    // before the first, or after the last): a shortest path over the frames
    // that can take a key, a step allowed when one span holds every sample
    // inside it. How far a step reaches is found by doubling, then halving.
    bool fit_gap(int32_t gap) {
        const double start = gap_start(gap), end = gap_end(gap);
        int32_t count = 0;
        const int32_t from = first_sample_after(start), to = last_sample_before(end);
        // The gap's own frames and its two keys: gaps between keys on every
        // frame are short, the whole range need not be held for each.
        const int64_t most = (to >= from ? (static_cast<int64_t>(to) - from) / 2 + 1 : 0) + 2;
        if (!grow_block(&nodes_, &node_capacity_, most)) return false;
        if (gap > 0) nodes_[count++] = node_at_key(gap - 1);
        for (int32_t j = from + (from % 2); j <= to; j += 2)
            if (keyed_[j / 2] == kFree) nodes_[count++] = node_at_sample(j);
        if (gap < key_count_) nodes_[count++] = node_at_key(gap);
        // Before the first key or after the last with no frame free to key.
        if (count < 2) return true;
        // Between gaps the user may stop the hold; the gaps before stay fitted.
        stopped_ = ask_to_go_on(gap);
        if (stopped_) return true;
        if (!grow_block(&reach_, &reach_capacity_, count) || !grow_block(&steps_, &steps_capacity_, count * 2)) return false;
        int32_t *dist = steps_;
        int32_t *previous = steps_ + count;
        for (int32_t a = 0; a + 1 < count; ++a) {
            int32_t good = a + 1, bad = count;
            for (int32_t step = 2; a + step < count; step *= 2) {
                if (!span_holds(nodes_[a], nodes_[a + step])) {
                    bad = a + step;
                    break;
                }
                good = a + step;
            }
            while (bad - good > 1) {
                const int32_t mid = good + (bad - good) / 2;
                if (span_holds(nodes_[a], nodes_[mid])) good = mid; else bad = mid;
            }
            reach_[a] = good;
        }
        for (int32_t i = 0; i < count; ++i) dist[i] = INT32_MAX, previous[i] = -1;
        dist[0] = 0;
        for (int32_t a = 0; a + 1 < count; ++a) {
            if (dist[a] == INT32_MAX) continue;
            for (int32_t b = a + 1; b <= reach_[a]; ++b)
                if (dist[a] + 1 < dist[b]) dist[b] = dist[a] + 1, previous[b] = a;
        }
        // Every node on the path that is not one of the item's keys becomes
        // one. A path straight from key to key still needs their tangents.
        const bool first_is_key = gap > 0, last_is_key = gap < key_count_;
        if (first_is_key && last_is_key && previous[count - 1] == 0) return push_steered_gap(gap);
        for (int32_t at = count - 1; at >= 0; at = previous[at]) {
            const bool is_key = (at == 0 && first_is_key) || (at == count - 1 && last_is_key);
            if (!is_key && !push_frame(nodes_[at].frame)) return false;
            if (at == 0) break;
        }
        return true;
    }

    // One step of the progress window naming the item and the gap (-1: a
    // repair pass). True when the user has pressed Abort.
    bool ask_to_go_on(int32_t gap) {
        CommandProgress *progress = context_->progress;
        if (!progress || !progress->id) return false;
        const char *name = context_->item_info->name(item_);
        char text[120];
        if (gap >= 0)
            std::snprintf(text, sizeof text, "%.64s: holding, gap %d of %d", name ? name : "?", static_cast<int>(gap + 1),
                          static_cast<int>(key_count_ + 1));
        else
            std::snprintf(text, sizeof text, "%.64s: holding, checking again", name ? name : "?");
        return progress_step(progress, 0, text);
    }

    bool push_steered_gap(int32_t gap) {
        if (!grow_block(&steered_gaps_, &steered_capacity_, static_cast<int64_t>(steered_count_) + 1)) return false;
        steered_gaps_[steered_count_++] = gap;
        return true;
    }

    // The index of the channel's key at `time` exactly, or -1.
    int32_t channel_key_at(double time) const {
        const int32_t at = channel_key_from(time);
        return at < channel_key_count_ && channel_times_[at] == time ? at : -1;
    }

    bool push_frame(int32_t frame) {
        if (!grow_block(&frames_, &frame_capacity_, static_cast<int64_t>(frame_count_) + 1)) return false;
        frames_[frame_count_++] = frame;
        return true;
    }

    // After a pass, the frames next to samples still out: a whole frame keys
    // itself, a half frame the worse of its two frames not keyed yet, unless
    // one of them is being keyed already.
    bool frames_next_to_what_is_out() {
        frame_count_ = 0;
        for (int32_t j = 0; j < sample_count_; ++j) {
            if (!out(samples_[j].error)) continue;
            int32_t pick = -1;
            if (j % 2 == 0) {
                if (keyed_[j / 2] == kFree) pick = j;
            } else {
                const uint8_t left = keyed_[j / 2], right = j + 1 < sample_count_ ? keyed_[(j + 1) / 2] : kKeyed;
                if (left == kPicked || right == kPicked) continue;
                if (left == kFree && right == kFree) {
                    pick = score(samples_[j - 1].error) >= score(samples_[j + 1].error) ? j - 1 : j + 1;
                } else if (left == kFree || right == kFree) {
                    pick = left == kFree ? j - 1 : j + 1;
                }
            }
            if (pick < 0) continue;
            if (!push_frame(frame_of_sample(pick))) return false;
            keyed_[pick / 2] = kPicked;
        }
        for (int32_t i = 0; i < frame_count_; ++i) keyed_[frames_[i] - first_] = kFree;
        return true;
    }

    double score(const Error &e) const {
        const double a = e.distance / tolerance_.distance, b = e.chord / chord_limit_, c = e.scale / scale_limit_;
        return std::fmax(std::fmax(a, b), c);
    }

    // ----------------------------------------------------------- the keys ---
    // The channel's keys as the host has them now, with the managed key each
    // one is (or -1).
    bool read_channel(int c) {
        channel_key_count_ = 0;
        const HostId envelope = envelopes_[c];
        int32_t walked = 0;
        for (HostId key = context_->envelopes->next_key(envelope, nullptr); key;
             key = context_->envelopes->next_key(envelope, key)) {
            if (++walked > kMostKeysPerChannel) break;
            if (!grow_block(&channel_keys_, &channel_keys_capacity_, channel_key_count_ + 1) ||
                !grow_block(&channel_times_, &channel_times_capacity_, channel_key_count_ + 1) ||
                !grow_block(&channel_held_, &channel_held_capacity_, channel_key_count_ + 1))
                return false;
            double time = 0.0;
            context_->envelopes->key_get(envelope, key, host_abi::kKeyTagTime, &time);
            channel_keys_[channel_key_count_] = key;
            channel_times_[channel_key_count_] = time;
            channel_held_[channel_key_count_] = -1;
            ++channel_key_count_;
        }
        for (int32_t h = 0; h < held_count_; ++h) {
            if (held_[h].channel != c) continue;
            // By its time, give or take what a host that keeps times in
            // single precision makes of it.
            const double time = held_[h].time, hair = 1e-6 * (1.0 + std::fabs(time));
            for (int32_t k = channel_key_from(time - hair); k < channel_key_count_ && channel_times_[k] <= time + hair; ++k)
                if (channel_keys_[k] == held_[h].key) {
                    channel_held_[k] = h;
                    break;
                }
        }
        return true;
    }

    // The slope per second of the channel's curve just before and after the
    // key at `index`, as the host evaluates it.
    void measure_slopes(int c, int32_t index, double *in, double *out) const {
        const HostId envelope = envelopes_[c];
        const double t = channel_times_[index];
        const double before = index > 0 ? t - channel_times_[index - 1] : 0.0;
        const double after = index + 1 < channel_key_count_ ? channel_times_[index + 1] - t : 0.0;
        const EnvelopeFuncs *env = context_->envelopes;
        *out = after > 0.0 ? envelope_slope(env, envelope, t, after, 1.0) : 0.0;
        *in = before > 0.0 ? envelope_slope(env, envelope, t, before, -1.0) : *out;
        if (!(after > 0.0)) *out = *in;
    }

    int shape_of(int c, HostId key) const {
        int shape = host_abi::kKeyShapeTcb;
        context_->envelopes->key_get(envelopes_[c], key, host_abi::kKeyTagShape, &shape);
        return shape;
    }

    // One of the animator's keys next to an added one: its tangent toward the
    // added key takes the motion's slope, the other side keeps the curve it
    // had. 2D Bezier keys, and linear or stepped keys before the added one,
    // are left as they are, for the check to judge.
    bool steer_neighbour(int c, int32_t index, bool facing_after) {
        if (index < 0 || index >= channel_key_count_) return true;
        int32_t h = channel_held_[index];
        if (h < 0) {
            const int shape = shape_of(c, channel_keys_[index]);
            const bool tangents = shape == host_abi::kKeyShapeTcb || shape == host_abi::kKeyShapeHermite ||
                                  shape == host_abi::kKeyShapeBezier;
            // A linear or stepped key ends the span before it by its shape;
            // as a Hermite key it keeps the span after it and lets the span
            // before it take the motion's tangent.
            const bool turnable = !facing_after && (shape == host_abi::kKeyShapeLinear || shape == host_abi::kKeyShapeStepped);
            if (!tangents && !turnable) return true;
            if (!grow_block(&held_, &held_capacity_, static_cast<int64_t>(held_count_) + 1)) return false;
            HeldKey held{channel_keys_[index], channel_times_[index], 0.0, 0.0, c, false, true};
            measure_slopes(c, index, &held.slope_in, &held.slope_out);
            h = held_count_;
            held_[held_count_++] = held;
            channel_held_[index] = h;
        }
        held_[h].dirty = true;  // a key is added next to it
        if (held_[h].own) return true;
        double in[kKeyedChannels], out[kKeyedChannels];
        slopes_at(channel_times_[index], solve_near(channel_times_[index]), in, out);
        if (facing_after) held_[h].slope_out = out[c]; else held_[h].slope_in = in[c];
        return true;
    }

    // The solve of the item's key nearest to `time`.
    int32_t solve_near(double time) const {
        const int32_t lo = static_cast<int32_t>(
            std::lower_bound(key_solves_, key_solves_ + key_count_, time,
                             [this](int32_t solve, double t) { return writes_->solves[solve].time < t; }) -
            key_solves_);
        if (lo == key_count_) return key_solves_[key_count_ - 1];
        if (lo > 0 && time - writes_->solves[key_solves_[lo - 1]].time < writes_->solves[key_solves_[lo]].time - time)
            return key_solves_[lo - 1];
        return key_solves_[lo];
    }

    // Keys the frames of `frames_` in every channel, with the motion's value
    // and slope, and sets every managed key's tangents for its spans now.
    bool add_keys(HoldOutcome *stop) {
        // Frames in time order, once each.
        // (A pass may only steer tangents: then there is nothing to sort.)
        if (frame_count_ > 0) std::qsort(frames_, static_cast<size_t>(frame_count_), sizeof(int32_t), compare_frames);
        int32_t unique = 0;
        for (int32_t i = 0; i < frame_count_; ++i)
            if ((unique == 0 || frames_[unique - 1] != frames_[i]) && keyed_[frames_[i] - first_] == kFree)
                frames_[unique++] = frames_[i];
        frame_count_ = unique;
        for (int c = 0; c < channels_; ++c) {
            if (!envelopes_[c]) continue;
            if (!read_channel(c)) return false;
            for (int32_t i = 0; i < frame_count_; ++i) {
                const int32_t lo = channel_key_from(frame_time(frames_[i]));
                if (!steer_neighbour(c, lo - 1, true) || !steer_neighbour(c, lo, false)) return false;
            }
            for (int32_t i = 0; i < steered_count_; ++i) {
                const int32_t gap = steered_gaps_[i];
                const int32_t left = channel_key_at(writes_->solves[key_solves_[gap - 1]].time);
                const int32_t right = channel_key_at(writes_->solves[key_solves_[gap]].time);
                if (left < 0 || right != left + 1) continue;
                if (!steer_neighbour(c, left, true) || !steer_neighbour(c, right, false)) return false;
            }
        }
        int32_t added = 0;
        for (int32_t i = 0; i < frame_count_ && *stop == kHoldMet; ++i) {
            const int32_t j = 2 * (frames_[i] - first_);
            const double time = frame_time(frames_[i]);
            double in[kKeyedChannels], out[kKeyedChannels];
            slopes_at(time, samples_[j].solve, in, out);
            const double *values = values_of(samples_[j].solve);
            for (int c = 0; c < channels_; ++c) {
                if (!envelopes_[c]) continue;
                const HostId key = context_->envelopes->create_key(envelopes_[c], time, values[c]);
                if (!key) {
                    *stop = kHoldRefused;
                    break;
                }
                int shape = host_abi::kKeyShapeHermite;
                context_->envelopes->key_set(envelopes_[c], key, host_abi::kKeyTagShape, &shape);
                if (!grow_block(&held_, &held_capacity_, static_cast<int64_t>(held_count_) + 1)) return false;
                held_[held_count_++] = HeldKey{key, time, in[c], out[c], c, true, true};
            }
            keyed_[frames_[i] - first_] = kKeyed;
            ++added;
        }
        frame_count_ = added;
        steered_count_ = 0;
        set_tangents();
        return true;
    }

    double frame_time(int32_t frame) const { return static_cast<double>(frame) / fps_; }

    void set_tangents() {
        const EnvelopeFuncs *env = context_->envelopes;
        for (int32_t h = 0; h < held_count_; ++h) {
            if (!held_[h].dirty) continue;
            held_[h].dirty = false;
            const HeldKey &held = held_[h];
            const HostId envelope = envelopes_[held.channel];
            double time = 0.0, before = 0.0, after = 0.0;
            env->key_get(envelope, held.key, host_abi::kKeyTagTime, &time);
            if (const HostId prev = env->prev_key(envelope, held.key)) {
                env->key_get(envelope, prev, host_abi::kKeyTagTime, &before);
                before = time - before;
            }
            if (const HostId next = env->next_key(envelope, held.key)) {
                env->key_get(envelope, next, host_abi::kKeyTagTime, &after);
                after -= time;
            }
            const int shape = held.own ? host_abi::kKeyShapeHermite : shape_of(held.channel, held.key);
            if (shape != host_abi::kKeyShapeHermite && shape != host_abi::kKeyShapeBezier) {
                int shape = host_abi::kKeyShapeHermite;
                env->key_set(envelope, held.key, host_abi::kKeyTagShape, &shape);
            }
            double in = held.slope_in * (before > 0.0 ? before : after);
            double out = held.slope_out * (after > 0.0 ? after : before);
            env->key_set(envelope, held.key, host_abi::kKeyTagParam0, &in);
            env->key_set(envelope, held.key, host_abi::kKeyTagParam1, &out);
        }
    }

    // ------------------------------------------------------------- result ---
    void finish(HoldResult *result, HoldOutcome stop = kHoldMet) {
        double distance = 0.0, chord = 0.0, scale = 0.0, worst = -1.0;
        int32_t worst_sample = -1;
        bool out_where_a_key_could_go = false, any_out = false;
        for (int32_t j = 0; j < sample_count_; ++j) {
            const Error &e = samples_[j].error;
            if (e.distance > distance) distance = e.distance;
            if (e.chord > chord) chord = e.chord;
            if (e.scale > scale) scale = e.scale;
            if (!(score(e) <= worst)) worst = score(e), worst_sample = j;
            if (!out(e)) continue;
            any_out = true;
            // A whole frame can always be keyed, so one still out is never
            // taken as held; a half frame cannot be helped when keys sit on
            // both frames around it.
            const bool frames_keyed = j % 2 == 1 && keyed_ && keyed_[j / 2] && j + 1 < sample_count_ && keyed_[(j + 1) / 2];
            if (!frames_keyed) out_where_a_key_could_go = true;
        }
        result->distance = distance;
        result->degrees = degrees_of_chord(chord);
        result->scale_percent = channels_ == kKeyedChannels ? 100.0 * scale : -1.0;
        result->worst_frame = worst_sample >= 0 ? first_ + 0.5 * worst_sample : 0.0;
        if (stop != kHoldMet) result->outcome = stop;
        else if (!any_out) result->outcome = kHoldMet;
        else result->outcome = out_where_a_key_could_go ? kHoldNotHeld : kHoldNextToKeys;
    }

    const HostContext *context_;
    HostId item_;
    const HostId *envelopes_;
    const KeyWriteList *writes_;
    int32_t first_, last_;
    MotionTolerance tolerance_;
    double fps_;
    double chord_limit_, fit_chord_limit_;  // the tolerance's angle, and the fit's
    double scale_limit_;                    // relative
    int channels_;                          // kKeyedChannels where scale is held too
    bool stopped_ = false;                  // the user pressed Abort during the hold

    Sample *samples_ = nullptr;
    int32_t sample_count_ = 0;
    int32_t *key_solves_ = nullptr;  // the solves of the item's keys, in time order
    int32_t key_count_ = 0;
    bool *gap_out_ = nullptr;  // by gap between keys (0: before the first): a sample in it is out
    KeyEnd *key_ends_ = nullptr;  // by key, then channel (channels_ of them)
    uint8_t *keyed_ = nullptr;  // by frame: kFree, kKeyed or kPicked
    double *targets_ = nullptr;
    HeldKey *held_ = nullptr;
    int32_t held_count_ = 0, held_capacity_ = 0;
    Node *nodes_ = nullptr;
    int32_t node_capacity_ = 0;
    int32_t *reach_ = nullptr;
    int32_t reach_capacity_ = 0;
    int32_t *steps_ = nullptr;
    int32_t steps_capacity_ = 0;
    int32_t *steered_gaps_ = nullptr;  // gaps held by their keys' tangents alone
    int32_t steered_count_ = 0, steered_capacity_ = 0;
    int32_t *frames_ = nullptr;
    int32_t frame_count_ = 0, frame_capacity_ = 0;
    HostId *channel_keys_ = nullptr;
    double *channel_times_ = nullptr;
    int32_t *channel_held_ = nullptr;
    int32_t channel_key_count_ = 0, channel_keys_capacity_ = 0, channel_times_capacity_ = 0,
            channel_held_capacity_ = 0;
};

// The first and last frame holding a key of any channel of the item.
void widen_by_keys(const HostContext *context, HostId item, double fps, int64_t *first, int64_t *last) {
    const HostId group = context->item_info->channel_group(item);
    if (!group) return;
    HostId channel = nullptr;
    for (int walked = 0; walked < 64; ++walked) {
        channel = context->channel_info->next_channel(group, channel);
        if (!channel) break;
        const HostId envelope = context->channel_info->channel_envelope(channel);
        if (!envelope) continue;
        const HostId ends[2] = {context->envelopes->next_key(envelope, nullptr),
                                context->envelopes->prev_key(envelope, nullptr)};
        for (HostId key : ends) {
            if (!key) continue;
            double time = 0.0;
            context->envelopes->key_get(envelope, key, host_abi::kKeyTagTime, &time);
            int32_t frame = 0;
            if (!frame_number(time, fps, &frame)) continue;
            if (frame < *first) *first = frame;
            if (frame > *last) *last = frame;
        }
    }
}

}  // namespace

bool checked_frame_range(const HostContext *context, HostId item, HostId new_parent, int32_t item_first,
                         int32_t item_last, int32_t *first, int32_t *last) {
    const double fps = context->scene_info->frames_per_second;
    int64_t lo = item_first, hi = item_last;
    const int32_t render_first = context->scene_info->frame_start, render_last = context->scene_info->frame_end;
    if (render_first <= render_last) {
        if (render_first < lo) lo = render_first;
        if (render_last > hi) hi = render_last;
    }
    const HostId chains[2] = {context->item_info->parent(item), new_parent};
    for (HostId ancestor : chains) {
        for (int length = 0; ancestor && length < kMaxChainLength; ++length, ancestor = context->item_info->parent(ancestor))
            widen_by_keys(context, ancestor, fps, &lo, &hi);
    }
    if (hi - lo + 1 > kMostCheckedFrames) return false;
    *first = static_cast<int32_t>(lo);
    *last = static_cast<int32_t>(hi);
    return true;
}

bool add_sample_writes(KeyWriteList *writes, int32_t first, int32_t last, double frames_per_second,
                       const KeyFrameRecord *records, int32_t records_first, int32_t record_count) {
    for (int64_t half = 2 * static_cast<int64_t>(first); half <= 2 * static_cast<int64_t>(last); ++half) {
        double time = static_cast<double>(half) * 0.5 / frames_per_second;
        const int64_t record = half / 2 - records_first;
        // A frame keyed on the frame is sampled at its key's own time, which
        // is solved anyway; one keyed only between frames, at the frame.
        int32_t on = 0;
        if (half % 2 == 0 && record >= 0 && record < record_count && records[record].keyed_channels &&
            key_on_whole_frame(records[record].time, frames_per_second, &on))
            time = records[record].time;
        if (!key_write_list_add(writes, time, nullptr, kSampleOnly)) return false;
    }
    return true;
}

void hold_world_motion(const HostContext *context, HostId item, const HostId envelopes[kKeyedChannels], const KeyWriteList *writes,
                       int32_t first, int32_t last, const MotionTolerance &tolerance, HoldResult *result) {
    Holder holder(context, item, envelopes, writes, first, last, tolerance);
    holder.run(result);
}
