// Animation envelopes of the headless host: keys in time order and their
// evaluation between and beyond the keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace headless {

enum class KeyShape : int { Tcb = 0, Hermite = 1, Bezier = 2, Linear = 3, Stepped = 4, Bezier2D = 5 };

// What the envelope does before its first and after its last key.
enum class EnvelopeBehavior : int { Reset = 0, Constant = 1, Repeat = 2, Oscillate = 3, OffsetRepeat = 4, Linear = 5 };

// The settings most keys leave at zero, kept apart from the key so that the
// usual key (TCB without tension, continuity or bias; linear; stepped) is
// its time and its value alone.
struct alignas(8) KeySettings {
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

// What a key without a settings record holds.
inline constexpr KeySettings kNoKeySettings{};

// A key: its time and its value, 16 bytes, so that a take keyed on every
// frame costs little beyond its text. Its shape and settings are its
// envelope's to keep (Envelope::details()), in a table beside the keys of a
// block that is made only when a key there has any: the usual key (TCB
// without tension, continuity or bias) has none.
struct EnvelopeKey {
    double time = 0.0;  // seconds
    double value = 0.0;
};

// A key's shape and settings as its envelope holds them: a read-only view,
// valid until they are changed or the key is destroyed. The settings are a
// record of the key's own, made when one of them is set to anything but +0
// and freed when all are +0 again; a key without one reads them as zero.
class KeyDetails {
public:
    KeyDetails() = default;
    // `bits`: a settings record's address (8-aligned, or null) | the shape.
    explicit KeyDetails(uintptr_t bits) : bits_(bits) {}
    KeyShape shape() const { return static_cast<KeyShape>(bits_ & kShapeMask); }
    // Null while every setting is +0.
    const KeySettings *settings() const { return reinterpret_cast<const KeySettings *>(bits_ & ~kShapeMask); }
    const KeySettings &settings_or_zero() const { return settings() ? *settings() : kNoKeySettings; }
    double tension() const { return settings_or_zero().tension; }
    double continuity() const { return settings_or_zero().continuity; }
    double bias() const { return settings_or_zero().bias; }
    double param(int i) const { return settings_or_zero().params[i]; }  // i in 0..3
    double bezier_extra(int i) const { return settings_or_zero().bezier_extra[i]; }  // i in 0..1

    static constexpr uintptr_t kShapeMask = 7;
    static_assert(alignof(KeySettings) > kShapeMask, "the shape needs the record's low address bits");

private:
    uintptr_t bits_ = 0;
};

// A key apart from any envelope, with all it holds: what a file's key line
// says, or a key as it was loaded.
struct KeyRecord {
    double time = 0.0;
    double value = 0.0;
    KeyShape shape = KeyShape::Tcb;
    KeySettings settings;
    KeyDetails details() const {
        return KeyDetails(reinterpret_cast<uintptr_t>(&settings) | static_cast<uintptr_t>(shape));
    }
};

// A key as an envelope lists it: reads like a pointer that owns the key
// (`->`, `*`, `get()`), though the envelope does the owning.
class KeyRef {
public:
    KeyRef() = default;
    explicit KeyRef(EnvelopeKey *key) : key_(key) {}
    EnvelopeKey *get() const { return key_; }
    EnvelopeKey &operator*() const { return *key_; }
    EnvelopeKey *operator->() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }

private:
    EnvelopeKey *key_ = nullptr;
};

class Envelope;

// An envelope's keys in time order, as a list to index or walk: valid until
// the envelope gains or loses a key or a key changes its time. Either the
// envelope's own list of keys, or (when the keys lie in time order in one
// block, as a reader leaves them) that block itself, which takes no list.
class KeyList {
public:
    class iterator {
    public:
        // Walked forward once, a key at a time, as range-for does.
        using iterator_category = std::input_iterator_tag;
        using value_type = KeyRef;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = KeyRef;
        iterator(const KeyList *list, size_t at) : list_(list), at_(at) {}
        KeyRef operator*() const { return (*list_)[at_]; }
        iterator &operator++() { return ++at_, *this; }
        bool operator==(const iterator &other) const { return at_ == other.at_; }
        bool operator!=(const iterator &other) const { return at_ != other.at_; }

    private:
        const KeyList *list_;
        size_t at_;
    };

    KeyList(const Envelope *owner, const KeyRef *listed, EnvelopeKey *in_place, size_t size)
        : owner_(owner), listed_(listed), in_place_(in_place), size_(size) {}
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    KeyRef operator[](size_t i) const { return KeyRef(listed_ ? listed_[i].get() : in_place_ + i); }
    KeyRef front() const { return (*this)[0]; }
    KeyRef back() const { return (*this)[size_ - 1]; }
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, size_); }
    // How many keys lie at or before `time` (all of them for NaN), by halving.
    size_t count_up_to(double time) const;
    // The shape and settings of key `i`, as its envelope holds them now.
    KeyDetails details(size_t i) const;

private:
    const Envelope *owner_;
    const KeyRef *listed_;   // the envelope's list, or null
    EnvelopeKey *in_place_;  // else the block holding the keys in order
    size_t size_;
};

// Look-ups remember where they stood (walks and frame-by-frame evaluation
// then need no search), so one envelope is used from one thread at a time.
class Envelope {
public:
    Envelope() = default;
    Envelope(Envelope &&other) noexcept;
    Envelope &operator=(Envelope &&other) noexcept;
    ~Envelope();

    // Keys in time order. A key's address is its handle: it stays valid
    // until that key is destroyed, whatever else changes.
    KeyList keys() const {
        return listed_ ? KeyList(this, order_.data(), nullptr, order_.size())
                       : KeyList(this, nullptr, blocks_.empty() ? nullptr : blocks_[0].slots(), in_place_count());
    }
    size_t key_count() const { return listed_ ? order_.size() : in_place_count(); }
    // Room for this many keys in all, so a reader that knows the count
    // stores them without slack.
    void reserve(size_t count);

    // Adds a key in time order; an existing key at exactly that time takes
    // the value instead. Returns the key, or null for a time that is not finite.
    EnvelopeKey *create_key(double time, double value);
    // Adds a key after those at or before `time`, even one at the same time
    // (a key moved onto another's time leaves two, and files keep both).
    EnvelopeKey *append_key(double time, double value);
    bool destroy_key(const EnvelopeKey *key);
    EnvelopeKey *find_key(double time) const;
    // From null: the first (next) or last (previous) key; null past the ends.
    // Walks through a plug-in's key services come here key after key: keys
    // in their block take one subtraction, inline.
    EnvelopeKey *next_key(const EnvelopeKey *key) const {
        if (listed_ || !key) return next_listed(key);
        const size_t i = in_place_index(key);
        return i < in_place_count() && i + 1 < in_place_count() ? blocks_[0].slots() + i + 1 : nullptr;
    }
    EnvelopeKey *prev_key(const EnvelopeKey *key) const;
    // True for a live key of this envelope. Any address may be asked about:
    // it is compared with the envelope's storage, never read.
    bool owns(const EnvelopeKey *key) const {
        return listed_ ? owns_listed(key) : in_place_index(key) < in_place_count();
    }
    // Moves a key in time, keeping the order; refuses a time that is not finite.
    bool set_key_time(EnvelopeKey *key, double time);

    // A key's shape and settings: TCB, all zero, for a key that has none set
    // and for an address that is no key of this envelope.
    KeyDetails details(const EnvelopeKey *key) const {
        if (!has_details_) return KeyDetails();
        const size_t i = in_place_index(key);
        if (i < in_place_count()) return KeyDetails(blocks_[0].details ? blocks_[0].details[i] : 0);
        return details_elsewhere(key);
    }
    // Set a live key's shape and settings. A setting goes into the key's
    // record, which is made for anything but +0 and freed when all are +0.
    void set_shape(EnvelopeKey *key, KeyShape shape);
    void set_settings(EnvelopeKey *key, const KeySettings &settings);
    void set_tension(EnvelopeKey *key, double v);
    void set_continuity(EnvelopeKey *key, double v);
    void set_bias(EnvelopeKey *key, double v);
    void set_param(EnvelopeKey *key, int i, double v);         // i in 0..3
    void set_bezier_extra(EnvelopeKey *key, int i, double v);  // i in 0..1
    // The key with all it holds, and a new key at `record`'s time made so.
    KeyRecord record(const EnvelopeKey *key) const;
    EnvelopeKey *append_record(const KeyRecord &record);

    // No key: default_value. One key: its value at every time. Otherwise the
    // curve through the keys, the shape of the span being that of the key
    // that ends it, and the behaviours beyond the ends. A NaN time gives the
    // first key's value; an infinite one the end key's value under the
    // repeating behaviours.
    double evaluate(double time) const;
    // The value at each of `count` times, as evaluate(time) gives it, times
    // mostly in order (frames) found a span or so at a time. Reads the
    // envelope only: threads may share it.
    void evaluate(const double *times, size_t count, double *out) const;

    EnvelopeBehavior pre_behavior = EnvelopeBehavior::Constant;
    EnvelopeBehavior post_behavior = EnvelopeBehavior::Constant;
    // The value of an envelope without keys.
    double default_value = 0.0;

private:
    // Keys are stored in blocks that never move, many keys to an allocation,
    // so a key's address is a handle that survives any number of other keys
    // being made or destroyed. Each slot is marked live or free; a live slot
    // holds a constructed key (its settings record to be freed), a free one
    // raw memory.
    struct Block {
        // The slots, then one bit a slot: set while the slot holds a key.
        std::unique_ptr<unsigned char[]> memory;
        // A slot's KeyDetails bits (null while all are zero): a settings
        // record the envelope frees with its key, and the shape.
        std::unique_ptr<uintptr_t[]> details;
        uint32_t capacity = 0;
        uint32_t used = 0;  // slots handed out so far, live or freed since
        EnvelopeKey *slots() const { return reinterpret_cast<EnvelopeKey *>(memory.get()); }
        uint64_t *live() const { return reinterpret_cast<uint64_t *>(memory.get() + capacity * sizeof(EnvelopeKey)); }
        bool holds(uint32_t slot) const { return (live()[slot / 64] >> (slot % 64)) & 1u; }
    };
    struct BlockStart {
        uintptr_t begin;
        uint32_t block;
    };

    size_t in_place_count() const { return blocks_.empty() ? 0 : blocks_[0].used; }
    // The slot `key` has in the first block, or SIZE_MAX for an address that
    // is none (compared as a number, never followed).
    size_t in_place_index(const EnvelopeKey *key) const {
        if (blocks_.empty()) return SIZE_MAX;
        const uintptr_t offset = reinterpret_cast<uintptr_t>(key) - reinterpret_cast<uintptr_t>(blocks_[0].slots());
        const size_t index = offset / sizeof(EnvelopeKey);
        return index * sizeof(EnvelopeKey) == offset ? index : SIZE_MAX;
    }
    bool owns_listed(const EnvelopeKey *key) const;
    EnvelopeKey *next_listed(const EnvelopeKey *key) const;
    // From here on the keys are listed in order_ (a key to be placed among
    // the others, a key destroyed, a second block).
    void list_keys();
    size_t index_of(const EnvelopeKey *key) const;  // key_count() when not ours
    EnvelopeKey *new_slot();
    // The block and slot `key` would occupy, or false for an address that is
    // no slot of this envelope's blocks.
    bool locate(const EnvelopeKey *key, uint32_t *block, uint32_t *slot) const;
    void set_live(const EnvelopeKey *key, bool live);
    KeyDetails details_elsewhere(const EnvelopeKey *key) const;
    // The details word of a live key, its block's table made when `make`
    // (null otherwise, and for no key of ours).
    uintptr_t *details_word(const EnvelopeKey *key, bool make);
    void destroy_all();  // every live key, then the storage
    void take(Envelope *other);  // into an envelope without storage

    // While false, the keys are the first block's used slots, all live and in
    // time order, and order_ is empty: a take read from a file needs no
    // list beside its keys. Once true, order_ lists the keys in time order.
    bool listed_ = false;
    // Set once any key is given a shape or a setting: until then every key's
    // details are read without a look.
    bool has_details_ = false;
    std::vector<KeyRef> order_;
    std::vector<Block> blocks_;
    std::vector<BlockStart> starts_;  // blocks_ by address, for locate()
    std::vector<EnvelopeKey *> free_;  // destroyed keys' slots, to be reused
    size_t capacity_ = 0;
    size_t reserved_ = 0;
    // Where the last look-up by key found it: walks step through neighbours.
    mutable size_t hint_ = 0;
    // The span the last evaluation fell in: frame after frame, the next one.
    mutable size_t span_hint_ = 0;
};

inline KeyDetails KeyList::details(size_t i) const { return owner_->details((*this)[i].get()); }

// Steps along an envelope's keys (in time order) with times that mostly
// come in order, as frames do, a key or so at a time; a time out of order is
// searched for. Reads the keys only: envelopes on other threads are safe.
class KeyCursor {
public:
    explicit KeyCursor(const Envelope &envelope) : keys_(envelope.keys()) {}
    // How many keys lie at or before `time` (for NaN, no more than all).
    size_t keys_up_to(double time) {
        const size_t count = keys_.size();
        if (up_to_ < count && keys_[up_to_]->time <= time) ++up_to_;
        if ((up_to_ < count && keys_[up_to_]->time <= time) || (up_to_ > 0 && !(keys_[up_to_ - 1]->time <= time)))
            up_to_ = keys_.count_up_to(time);
        return up_to_;
    }

private:
    const KeyList keys_;
    size_t up_to_ = 0;
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
