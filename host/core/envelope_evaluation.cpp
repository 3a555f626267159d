// The host's evaluation of an envelope: the curve between keys (TCB, Hermite,
// Bezier, linear, stepped and 2D Bezier spans) and the behaviours before the
// first and after the last key.
#include <algorithm>
#include <cmath>

#include "envelope.h"

namespace headless {
namespace {

using Keys = KeyList;

// A 2D Bezier handle shorter than this in time is taken as this steep.
constexpr double kShortHandle = 1e-5;
constexpr double kShortHandleSlope = 1e5;
constexpr int kBisectionSteps = 64;

// The length of the span before (after) key i, or 0 when there is no such
// span. A span of zero length counts as none: it carries no slope.
double span_before(const Keys &keys, size_t i) {
    if (i == 0) return 0.0;
    const double length = keys[i]->time - keys[i - 1]->time;
    return length > 0.0 ? length : 0.0;
}

double span_after(const Keys &keys, size_t i) {
    if (i + 1 >= keys.size()) return 0.0;
    const double length = keys[i + 1]->time - keys[i]->time;
    return length > 0.0 ? length : 0.0;
}

double handle_slope(double value_offset, double time_offset, double span) {
    if (std::fabs(time_offset) <= kShortHandle) return value_offset * span * kShortHandleSlope;
    return value_offset * span / time_offset;
}

// Tangents are the value change across the whole span (the derivative with
// respect to the span's own parameter from 0 to 1).

// The spans on either side of key i and the value change across each.
struct Neighbourhood {
    double before, after;            // span lengths (0 for none)
    double rise_before, rise_after;  // value changes (0 for none)
};

Neighbourhood neighbourhood_of(const Keys &keys, size_t i) {
    const double value = keys[i]->value;
    return {span_before(keys, i), span_after(keys, i), i > 0 ? value - keys[i - 1]->value : 0.0,
            i + 1 < keys.size() ? keys[i + 1]->value - value : 0.0};
}

// Outgoing tangent of key i towards key i + 1, by key i's own shape. A TCB
// key without settings has the linear key's tangents: (1 - 0) (1 + 0) (1 + 0)
// is exactly 1, so the same numbers come out without reading the settings.
double outgoing_tangent(const Keys &keys, size_t i) {
    const KeyDetails details = keys.details(i);
    const KeyShape shape = details.shape();
    if (shape == KeyShape::Stepped) return 0.0;
    const KeySettings *settings = details.settings();
    const auto [before, after, rise_before, rise_after] = neighbourhood_of(keys, i);
    if (shape == KeyShape::Linear || (shape == KeyShape::Tcb && !settings)) {
        if (before == 0.0 || after == 0.0) return rise_after;
        return after / (before + after) * (rise_before + rise_after);
    }
    const KeySettings &s = settings ? *settings : kNoKeySettings;
    switch (shape) {
    case KeyShape::Tcb: {
        const double from_before = (1 - s.tension) * (1 + s.continuity) * (1 + s.bias);
        const double from_after = (1 - s.tension) * (1 - s.continuity) * (1 - s.bias);
        if (before == 0.0 || after == 0.0) return from_after * rise_after;
        return after / (before + after) * (from_before * rise_before + from_after * rise_after);
    }
    case KeyShape::Hermite:
    case KeyShape::Bezier: return s.params[1];
    case KeyShape::Bezier2D: return handle_slope(s.params[3], s.params[2], after);
    case KeyShape::Linear:
    case KeyShape::Stepped: break;
    }
    return 0.0;
}

// Incoming tangent of key i from key i - 1, by key i's own shape.
double incoming_tangent(const Keys &keys, size_t i) {
    const KeyDetails details = keys.details(i);
    const KeyShape shape = details.shape();
    if (shape == KeyShape::Stepped) return 0.0;
    const KeySettings *settings = details.settings();
    const auto [before, after, rise_before, rise_after] = neighbourhood_of(keys, i);
    if (shape == KeyShape::Linear || (shape == KeyShape::Tcb && !settings)) {
        if (before == 0.0 || after == 0.0) return rise_before;
        return before / (before + after) * (rise_before + rise_after);
    }
    const KeySettings &s = settings ? *settings : kNoKeySettings;
    switch (shape) {
    case KeyShape::Tcb: {
        const double from_before = (1 - s.tension) * (1 - s.continuity) * (1 + s.bias);
        const double from_after = (1 - s.tension) * (1 + s.continuity) * (1 - s.bias);
        if (before == 0.0 || after == 0.0) return from_before * rise_before;
        return before / (before + after) * (from_before * rise_before + from_after * rise_after);
    }
    case KeyShape::Hermite:
    case KeyShape::Bezier: return s.params[0];
    case KeyShape::Bezier2D: return handle_slope(s.params[1], s.params[0], before);
    case KeyShape::Linear:
    case KeyShape::Stepped: break;
    }
    return 0.0;
}

double cubic_bezier(double p0, double p1, double p2, double p3, double u) {
    const double w = 1.0 - u;
    return w * w * w * p0 + 3.0 * w * w * u * p1 + 3.0 * w * u * u * p2 + u * u * u * p3;
}

// The span from key i to key i + 1 drawn as a curve in (time, value): find
// the curve parameter at `time` by bisection, then read the value there.
double bezier2d_span(const Keys &keys, size_t i, double time) {
    const EnvelopeKey &k0 = *keys[i];
    const EnvelopeKey &k1 = *keys[i + 1];
    const double span = k1.time - k0.time;
    double out_time, out_value;
    const KeyDetails d0 = keys.details(i), d1 = keys.details(i + 1);
    if (d0.shape() == KeyShape::Bezier2D) {
        out_time = k0.time + d0.param(2);
        out_value = k0.value + d0.param(3);
    } else {
        out_time = k0.time + span / 3.0;
        out_value = k0.value + outgoing_tangent(keys, i) / 3.0;
    }
    const double in_time = k1.time + d1.param(0);
    const double in_value = k1.value + d1.param(1);

    double low = 0.0, high = 1.0;
    for (int step = 0; step < kBisectionSteps; ++step) {
        const double middle = 0.5 * (low + high);
        const double at = cubic_bezier(k0.time, out_time, in_time, k1.time, middle);
        if (at == time) {
            low = high = middle;
            break;
        }
        if (at < time)
            low = middle;
        else
            high = middle;
    }
    return cubic_bezier(k0.value, out_value, in_value, k1.value, 0.5 * (low + high));
}

// The key that starts the span holding `time` (the last key at or before
// it), for a time not before the first key. Frame-by-frame evaluation asks
// for the span of the last call or the one after it: tried first.
size_t span_at(const Keys &keys, double time, size_t *hint) {
    const size_t n = keys.size();
    for (size_t i : {*hint, *hint + 1})
        if (i + 1 < n && keys[i]->time <= time && time < keys[i + 1]->time) return *hint = i;
    const size_t up_to = keys.count_up_to(time);
    const size_t i = up_to == 0 ? 0 : up_to - 1;
    if (i + 1 < n) *hint = i;
    return i;
}

// Value at a time within [first key, last key].
double value_within(const Keys &keys, double time, size_t *hint) {
    if (!(time >= keys.front()->time)) return keys.front()->value;
    const size_t i = span_at(keys, time, hint);
    if (i + 1 >= keys.size()) return keys.back()->value;
    const EnvelopeKey &k0 = *keys[i];
    const EnvelopeKey &k1 = *keys[i + 1];
    // At a key's time (the last of several keys sharing it) that key's value.
    if (!(time > k0.time)) return k0.value;
    const double span = k1.time - k0.time;
    const double s = (time - k0.time) / span;
    switch (keys.details(i + 1).shape()) {
    case KeyShape::Linear: return k0.value + s * (k1.value - k0.value);
    case KeyShape::Stepped: return k0.value;
    case KeyShape::Bezier2D: return bezier2d_span(keys, i, time);
    case KeyShape::Tcb:
    case KeyShape::Hermite:
    case KeyShape::Bezier: break;
    }
    const double s2 = s * s, s3 = s2 * s;
    const double h1 = 2 * s3 - 3 * s2 + 1;
    const double h2 = -2 * s3 + 3 * s2;
    const double h3 = s3 - 2 * s2 + s;
    const double h4 = s3 - s2;
    return h1 * k0.value + h2 * k1.value + h3 * outgoing_tangent(keys, i) + h4 * incoming_tangent(keys, i + 1);
}

// Value before the first key (`before`) or after the last one.
double value_beyond(const Keys &keys, double time, EnvelopeBehavior behavior, bool before, size_t *hint) {
    const EnvelopeKey &first = *keys.front();
    const EnvelopeKey &last = *keys.back();
    const double end_value = before ? first.value : last.value;
    const double length = last.time - first.time;
    // Keys that all share one time leave nothing to repeat or extrapolate.
    if (!(length > 0.0) && behavior != EnvelopeBehavior::Reset) return end_value;

    switch (behavior) {
    case EnvelopeBehavior::Reset: return 0.0;
    case EnvelopeBehavior::Constant: return end_value;
    case EnvelopeBehavior::Linear: {
        const size_t n = keys.size();
        const double span = before ? span_after(keys, 0) : span_before(keys, n - 1);
        const double tangent = before ? outgoing_tangent(keys, 0) : incoming_tangent(keys, n - 1);
        const double slope = span > 0.0 ? tangent / span : 0.0;
        if (slope == 0.0) return end_value;
        return end_value + slope * (time - (before ? first.time : last.time));
    }
    case EnvelopeBehavior::Repeat:
    case EnvelopeBehavior::Oscillate:
    case EnvelopeBehavior::OffsetRepeat: break;
    }

    // Cycles counted from the first key; n < 0 before it.
    const double offset = time - first.time;
    const double cycle = std::floor(offset / length);
    if (!std::isfinite(cycle)) return end_value;  // an infinite time has no place in a cycle
    const double within = std::min(std::max(offset - cycle * length, 0.0), length);
    double local = first.time + within;
    if (behavior == EnvelopeBehavior::Oscillate && std::fmod(cycle, 2.0) != 0.0) local = last.time - within;
    const double value = value_within(keys, local, hint);
    if (behavior == EnvelopeBehavior::OffsetRepeat) return value + cycle * (last.value - first.value);
    return value;
}

// The value at `time` of two keys or more, the span search starting at *hint.
double value_at(const Keys &keys, double time, EnvelopeBehavior pre, EnvelopeBehavior post, size_t *hint) {
    if (std::isnan(time)) return keys.front()->value;
    if (time < keys.front()->time) return value_beyond(keys, time, pre, true, hint);
    if (time > keys.back()->time) return value_beyond(keys, time, post, false, hint);
    return value_within(keys, time, hint);
}

}  // namespace

double Envelope::evaluate(double time) const {
    const Keys keys = this->keys();
    if (keys.empty()) return default_value;
    if (keys.size() == 1) return keys.front()->value;
    return value_at(keys, time, pre_behavior, post_behavior, &span_hint_);
}

void Envelope::evaluate(const double *times, size_t count, double *out) const {
    const Keys keys = this->keys();
    if (keys.size() <= 1) {
        std::fill(out, out + count, keys.empty() ? default_value : keys.front()->value);
        return;
    }
    // Its own cursor and hint, not the envelope's: nothing is written. At a
    // key's time the value is that key's (the last of those there), so a
    // take keyed on its frames is read from its keys.
    KeyCursor cursor(*this);
    size_t hint = 0;
    for (size_t t = 0; t < count; ++t) {
        const size_t up_to = cursor.keys_up_to(times[t]);
        out[t] = up_to > 0 && keys[up_to - 1]->time == times[t]
                     ? keys[up_to - 1]->value
                     : value_at(keys, times[t], pre_behavior, post_behavior, &hint);
    }
}

}  // namespace headless
