#include "envelope.h"

#include <algorithm>
#include <cmath>

namespace headless {

namespace {

bool time_before(const std::unique_ptr<EnvelopeKey> &k, double t) { return k->time < t; }
bool time_after(double t, const std::unique_ptr<EnvelopeKey> &k) { return t < k->time; }

}  // namespace

// Keys are in time order, so a key is found among those at its own time;
// scenes keyed on every frame make a linear search quadratic.
size_t Envelope::index_of(const EnvelopeKey *key) const {
    if (!owns(key)) return keys_.size();
    auto it = std::lower_bound(keys_.begin(), keys_.end(), key->time, time_before);
    for (; it != keys_.end(); ++it)
        if (it->get() == key) return static_cast<size_t>(it - keys_.begin());
    return keys_.size();
}

bool Envelope::owns(const EnvelopeKey *key) const { return key && members_.count(key) != 0; }

EnvelopeKey *Envelope::create_key(double time, double value) {
    // A key off the time line could not be placed in order.
    if (!std::isfinite(time)) return nullptr;
    if (EnvelopeKey *existing = find_key(time)) {
        existing->value = value;
        return existing;
    }
    return append_key(time, value);
}

EnvelopeKey *Envelope::append_key(double time, double value) {
    if (!std::isfinite(time)) return nullptr;
    auto key = std::make_unique<EnvelopeKey>();
    key->time = time;
    key->value = value;
    members_.insert(key.get());
    auto at = std::upper_bound(keys_.begin(), keys_.end(), time, time_after);
    return keys_.insert(at, std::move(key))->get();
}

bool Envelope::destroy_key(const EnvelopeKey *key) {
    const size_t i = index_of(key);
    if (i == keys_.size()) return false;
    members_.erase(key);
    keys_.erase(keys_.begin() + static_cast<long>(i));
    return true;
}

EnvelopeKey *Envelope::find_key(double time) const {
    auto it = std::lower_bound(keys_.begin(), keys_.end(), time, time_before);
    return it != keys_.end() && (*it)->time == time ? it->get() : nullptr;
}

EnvelopeKey *Envelope::next_key(const EnvelopeKey *key) const {
    if (!key) return keys_.empty() ? nullptr : keys_.front().get();
    const size_t i = index_of(key);
    return i + 1 < keys_.size() ? keys_[i + 1].get() : nullptr;
}

EnvelopeKey *Envelope::prev_key(const EnvelopeKey *key) const {
    if (!key) return keys_.empty() ? nullptr : keys_.back().get();
    const size_t i = index_of(key);
    return i > 0 && i < keys_.size() ? keys_[i - 1].get() : nullptr;
}

bool Envelope::set_key_time(EnvelopeKey *key, double time) {
    const size_t i = index_of(key);
    if (i == keys_.size() || !std::isfinite(time)) return false;
    std::unique_ptr<EnvelopeKey> owned = std::move(keys_[i]);
    keys_.erase(keys_.begin() + static_cast<long>(i));
    owned->time = time;
    auto at = std::upper_bound(keys_.begin(), keys_.end(), time, time_after);
    keys_.insert(at, std::move(owned));
    return true;
}

std::unique_ptr<ChannelGroup> make_motion_group(const std::string &item_name) {
    static const char *const kNames[kMotionChannelCount] = {"Position.X", "Position.Y", "Position.Z",
                                                            "Rotation.H", "Rotation.P", "Rotation.B",
                                                            "Scale.X",    "Scale.Y",    "Scale.Z"};
    auto group = std::make_unique<ChannelGroup>();
    group->name = item_name;
    for (int i = 0; i < kMotionChannelCount; ++i) {
        auto channel = std::make_unique<Channel>();
        channel->name = kNames[i];
        channel->type = i < kHeading ? 3 : i < kScaleX ? 5 : 4;
        channel->group = group.get();
        if (i >= kScaleX) channel->envelope.default_value = 1.0;
        group->channels.push_back(std::move(channel));
    }
    return group;
}

}  // namespace headless
