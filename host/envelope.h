// Animation envelopes of the headless host: keys in time order and their
// evaluation between and beyond the keys.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace headless {

enum class KeyShape : int { Tcb = 0, Hermite = 1, Bezier = 2, Linear = 3, Stepped = 4, Bezier2D = 5 };

// What the envelope does before its first and after its last key.
enum class EnvelopeBehavior : int { Reset = 0, Constant = 1, Repeat = 2, Oscillate = 3, OffsetRepeat = 4, Linear = 5 };

struct EnvelopeKey {
    double time = 0.0;  // seconds
    double value = 0.0;
    KeyShape shape = KeyShape::Tcb;
    double tension = 0.0;
    double continuity = 0.0;
    double bias = 0.0;
    // Shape parameters. Hermite and 1D Bezier keys: incoming tangent, outgoing
    // tangent (value change across the span), unused, unused. 2D Bezier keys:
    // incoming handle time offset (<= 0), its value offset, outgoing handle
    // time offset (>= 0), its value offset, relative to the key. Unused by
    // TCB, linear and stepped keys, whose tangents follow from their neighbours.
    double params[4] = {0.0, 0.0, 0.0, 0.0};
    // 2D Bezier keys in scene files carry two more numbers the curve does not
    // use (the first is the tangent the key had before); kept to write back.
    double bezier_extra[2] = {0.0, 0.0};
};

class Envelope {
public:
    // Keys in time order. A key's address is its handle: it stays valid
    // until that key is destroyed, whatever else changes.
    const std::vector<std::unique_ptr<EnvelopeKey>> &keys() const { return keys_; }
    size_t key_count() const { return keys_.size(); }

    // Adds a key in time order; an existing key at exactly that time takes
    // the value instead. Returns the key, or null for a time that is not finite.
    EnvelopeKey *create_key(double time, double value);
    // Adds a key after those at or before `time`, even one at the same time
    // (a key moved onto another's time leaves two, and files keep both).
    EnvelopeKey *append_key(double time, double value);
    bool destroy_key(const EnvelopeKey *key);
    EnvelopeKey *find_key(double time) const;
    // From null: the first (next) or last (previous) key; null past the ends.
    EnvelopeKey *next_key(const EnvelopeKey *key) const;
    EnvelopeKey *prev_key(const EnvelopeKey *key) const;
    bool owns(const EnvelopeKey *key) const;
    // Moves a key in time, keeping the order; refuses a time that is not finite.
    bool set_key_time(EnvelopeKey *key, double time);

    // No key: default_value. One key: its value at every time. Otherwise the
    // curve through the keys, the shape of the span being that of the key
    // that ends it, and the behaviours beyond the ends. A NaN time gives the
    // first key's value; an infinite one the end key's value under the
    // repeating behaviours.
    double evaluate(double time) const;

    EnvelopeBehavior pre_behavior = EnvelopeBehavior::Constant;
    EnvelopeBehavior post_behavior = EnvelopeBehavior::Constant;
    // The value of an envelope without keys.
    double default_value = 0.0;

private:
    size_t index_of(const EnvelopeKey *key) const;  // key_count() when not ours
    std::vector<std::unique_ptr<EnvelopeKey>> keys_;
    // The keys' addresses, so a handle from outside is checked before it is read.
    std::unordered_set<const EnvelopeKey *> members_;
};

struct ChannelGroup;

struct Channel {
    std::string name;
    int type = 2;  // envelope type: 2 float, 3 distance, 4 percent, 5 angle
    Envelope envelope;
    ChannelGroup *group = nullptr;
};

struct ChannelGroup {
    std::string name;
    std::vector<std::unique_ptr<Channel>> channels;
};

// The motion channels every item's group begins with, in the host's order.
enum MotionChannel { kPositionX, kPositionY, kPositionZ, kHeading, kPitch, kBank, kScaleX, kScaleY, kScaleZ,
                     kMotionChannelCount };

std::unique_ptr<ChannelGroup> make_motion_group(const std::string &item_name);

}  // namespace headless
