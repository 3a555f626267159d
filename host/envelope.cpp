#include "envelope.h"

#include <algorithm>
#include <cmath>

namespace headless {

size_t Envelope::index_of(const EnvelopeKey *key) const {
    for (size_t i = 0; i < keys_.size(); ++i)
        if (keys_[i].get() == key) return i;
    return keys_.size();
}

bool Envelope::owns(const EnvelopeKey *key) const { return key && index_of(key) < keys_.size(); }

EnvelopeKey *Envelope::create_key(double time, double value) {
    // A key off the time line could not be placed in order.
    if (!std::isfinite(time)) return nullptr;
    if (EnvelopeKey *existing = find_key(time)) {
        existing->value = value;
        return existing;
    }
    auto key = std::make_unique<EnvelopeKey>();
    key->time = time;
    key->value = value;
    auto at = std::upper_bound(keys_.begin(), keys_.end(), time,
                               [](double t, const std::unique_ptr<EnvelopeKey> &k) { return t < k->time; });
    return keys_.insert(at, std::move(key))->get();
}

bool Envelope::destroy_key(const EnvelopeKey *key) {
    const size_t i = index_of(key);
    if (i == keys_.size()) return false;
    keys_.erase(keys_.begin() + static_cast<long>(i));
    return true;
}

EnvelopeKey *Envelope::find_key(double time) const {
    for (const auto &key : keys_)
        if (key->time == time) return key.get();
    return nullptr;
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
    auto at = std::upper_bound(keys_.begin(), keys_.end(), time,
                               [](double t, const std::unique_ptr<EnvelopeKey> &k) { return t < k->time; });
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
