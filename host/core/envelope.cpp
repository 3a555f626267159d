#include "envelope.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

namespace headless {

namespace {

bool time_before(const KeyRef &k, double t) { return k->time < t; }
bool time_after(double t, const KeyRef &k) { return t < k->time; }

// How many keys from the first have times `holds` is true of (it is true of
// a first stretch of them and then no more), by halving.
template <class Holds>
size_t count_while(const KeyList &keys, Holds holds) {
    size_t low = 0, high = keys.size();
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        if (holds(keys[middle]->time))
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

// The first key at or after `time`.
size_t first_not_before(const KeyList &keys, double time) {
    return count_while(keys, [time](double key_time) { return key_time < time; });
}

// A settings record's address in a key's details word.
KeySettings *settings_in(uintptr_t word) { return reinterpret_cast<KeySettings *>(word & ~KeyDetails::kShapeMask); }

}  // namespace

size_t KeyList::count_up_to(double time) const {
    return count_while(*this, [time](double key_time) { return !(time < key_time); });
}

namespace {

// Blocks after the first grow with the envelope, a quarter of what it holds,
// so slack stays under a fifth and a key is found among few blocks.
constexpr size_t kFirstBlock = 1;
constexpr size_t kSmallestBlock = 4;
constexpr size_t kLargestBlock = 1u << 24;

static_assert(sizeof(EnvelopeKey) == 16, "a key is its time and its value");
static_assert(sizeof(KeySettings) == 9 * sizeof(double), "all_plus_zero() reads the record as words");

// -0 is stored like any other number (it is what the caller set); only +0
// is what a missing record stands for.
bool plus_zero(double v) { return v == 0.0 && !std::signbit(v); }

// Nine doubles, no padding: all bits clear is all of them +0.
bool all_plus_zero(const KeySettings &settings) {
    uint64_t w[9];
    std::memcpy(w, &settings, sizeof w);
    return (w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7] | w[8]) == 0;
}

}  // namespace

KeyDetails Envelope::details_elsewhere(const EnvelopeKey *key) const {
    uint32_t block = 0, slot = 0;
    if (!locate(key, &block, &slot) || !blocks_[block].details) return KeyDetails();
    return KeyDetails(blocks_[block].details[slot]);
}

uintptr_t *Envelope::details_word(const EnvelopeKey *key, bool make) {
    uint32_t block = 0, slot = 0;
    if (!locate(key, &block, &slot) || !blocks_[block].holds(slot)) return nullptr;
    Block &b = blocks_[block];
    if (!b.details) {
        if (!make) return nullptr;
        b.details.reset(new uintptr_t[b.capacity]());
        has_details_ = true;
    }
    return &b.details[slot];
}

namespace {

// Writes `v` into the settings record a key's details word points to, through
// `field`: the record is made for anything but +0 and freed once all is +0.
template <class Field>
void write_setting(uintptr_t *word, double v, Field field) {
    KeySettings *record = settings_in(*word);
    if (!record) {
        if (plus_zero(v)) return;
        record = new KeySettings();
        *word |= reinterpret_cast<uintptr_t>(record);
    }
    field(*record) = v;
    if (plus_zero(v) && all_plus_zero(*record)) {
        delete record;
        *word &= KeyDetails::kShapeMask;
    }
}

}  // namespace

void Envelope::set_shape(EnvelopeKey *key, KeyShape shape) {
    const uintptr_t bits = static_cast<uintptr_t>(shape) & KeyDetails::kShapeMask;
    if (uintptr_t *word = details_word(key, bits != 0)) *word = (*word & ~KeyDetails::kShapeMask) | bits;
}

void Envelope::set_tension(EnvelopeKey *key, double v) {
    if (uintptr_t *word = details_word(key, !plus_zero(v)))
        write_setting(word, v, [](KeySettings &s) -> double & { return s.tension; });
}

void Envelope::set_continuity(EnvelopeKey *key, double v) {
    if (uintptr_t *word = details_word(key, !plus_zero(v)))
        write_setting(word, v, [](KeySettings &s) -> double & { return s.continuity; });
}

void Envelope::set_bias(EnvelopeKey *key, double v) {
    if (uintptr_t *word = details_word(key, !plus_zero(v)))
        write_setting(word, v, [](KeySettings &s) -> double & { return s.bias; });
}

void Envelope::set_param(EnvelopeKey *key, int i, double v) {
    if (uintptr_t *word = details_word(key, !plus_zero(v)))
        write_setting(word, v, [i](KeySettings &s) -> double & { return s.params[i]; });
}

void Envelope::set_bezier_extra(EnvelopeKey *key, int i, double v) {
    if (uintptr_t *word = details_word(key, !plus_zero(v)))
        write_setting(word, v, [i](KeySettings &s) -> double & { return s.bezier_extra[i]; });
}

void Envelope::set_settings(EnvelopeKey *key, const KeySettings &settings) {
    const bool zero = all_plus_zero(settings);
    uintptr_t *word = details_word(key, !zero);
    if (!word) return;
    KeySettings *record = settings_in(*word);
    if (zero) {
        delete record;
        *word &= KeyDetails::kShapeMask;
    } else if (record) {
        *record = settings;
    } else {
        *word |= reinterpret_cast<uintptr_t>(new KeySettings(settings));
    }
}

KeyRecord Envelope::record(const EnvelopeKey *key) const {
    const KeyDetails d = details(key);
    return KeyRecord{key->time, key->value, d.shape(), d.settings_or_zero()};
}

EnvelopeKey *Envelope::append_record(const KeyRecord &record) {
    EnvelopeKey *key = append_key(record.time, record.value);
    if (!key) return nullptr;
    // The usual key needs no look: it has no details to set.
    if (record.shape != KeyShape::Tcb) set_shape(key, record.shape);
    if (!all_plus_zero(record.settings)) set_settings(key, record.settings);
    return key;
}

Envelope::Envelope(Envelope &&other) noexcept { take(&other); }

Envelope &Envelope::operator=(Envelope &&other) noexcept {
    if (this != &other) {
        destroy_all();
        take(&other);
    }
    return *this;
}

void Envelope::take(Envelope *other) {
    pre_behavior = other->pre_behavior;
    post_behavior = other->post_behavior;
    default_value = other->default_value;
    // Ours are empty: the other is left with no keys to destroy.
    listed_ = std::exchange(other->listed_, false);
    has_details_ = std::exchange(other->has_details_, false);
    order_.swap(other->order_);
    blocks_.swap(other->blocks_);
    starts_.swap(other->starts_);
    free_.swap(other->free_);
    capacity_ = std::exchange(other->capacity_, 0);
    reserved_ = std::exchange(other->reserved_, 0);
    hint_ = std::exchange(other->hint_, 0);
    span_hint_ = std::exchange(other->span_hint_, 0);
}

Envelope::~Envelope() { destroy_all(); }

void Envelope::destroy_all() {
    // Keys hold nothing to free; their details may (a destroyed key's are zero).
    for (const Block &block : blocks_)
        if (block.details)
            for (uint32_t i = 0; i < block.used; ++i)
                delete settings_in(block.details[i]);
    listed_ = false;
    has_details_ = false;
    order_.clear();
    free_.clear();
    starts_.clear();
    blocks_.clear();
    capacity_ = reserved_ = hint_ = span_hint_ = 0;
}

void Envelope::reserve(size_t count) {
    reserved_ = std::max(reserved_, count);
    if (listed_) order_.reserve(count);
}

void Envelope::list_keys() {
    if (listed_) return;
    const size_t n = in_place_count();
    order_.reserve(std::max(n + 1, reserved_));  // before anything changes: it may throw
    for (size_t i = 0; i < n; ++i) order_.push_back(KeyRef(blocks_[0].slots() + i));
    listed_ = true;
}

bool Envelope::locate(const EnvelopeKey *key, uint32_t *block, uint32_t *slot) const {
    // Addresses as numbers: a foreign pointer may be compared, never followed.
    const uintptr_t address = reinterpret_cast<uintptr_t>(key);
    auto after = std::upper_bound(starts_.begin(), starts_.end(), address,
                                  [](uintptr_t a, const BlockStart &s) { return a < s.begin; });
    if (after == starts_.begin()) return false;
    const BlockStart &start = *(after - 1);
    const uintptr_t offset = address - start.begin;
    if (offset % sizeof(EnvelopeKey) != 0) return false;
    const uintptr_t index = offset / sizeof(EnvelopeKey);
    if (index >= blocks_[start.block].used) return false;
    *block = start.block;
    *slot = static_cast<uint32_t>(index);
    return true;
}

bool Envelope::owns_listed(const EnvelopeKey *key) const {
    // The keys listed are exactly the live ones: a walk's key is next to
    // where the last look-up stood, found without the storage search.
    const size_t n = order_.size();
    if (key && hint_ < n && order_[hint_].get() == key) return true;
    if (key && hint_ + 1 < n && order_[hint_ + 1].get() == key) {
        ++hint_;  // the next question is likely about the key after it
        return true;
    }
    uint32_t block = 0, slot = 0;
    if (!key || !locate(key, &block, &slot)) return false;
    return blocks_[block].holds(slot);
}

void Envelope::set_live(const EnvelopeKey *key, bool live) {
    uint32_t block = 0, slot = 0;
    if (!locate(key, &block, &slot)) return;
    uint64_t &word = blocks_[block].live()[slot / 64];
    const uint64_t bit = uint64_t{1} << (slot % 64);
    word = live ? word | bit : word & ~bit;
}

EnvelopeKey *Envelope::new_slot() {
    if (!free_.empty()) {
        EnvelopeKey *slot = free_.back();
        free_.pop_back();
        set_live(slot, true);
        return new (slot) EnvelopeKey();
    }
    if (blocks_.empty() || blocks_.back().used == blocks_.back().capacity) {
        size_t capacity = capacity_ == 0 ? kFirstBlock : std::max(kSmallestBlock, capacity_ / 4);
        if (reserved_ > capacity_) capacity = reserved_ - capacity_;
        capacity = std::min(capacity, kLargestBlock);
        const size_t words = (capacity + 63) / 64;
        Block block;
        block.memory.reset(new unsigned char[capacity * sizeof(EnvelopeKey) + words * sizeof(uint64_t)]);
        block.capacity = static_cast<uint32_t>(capacity);
        std::fill(block.live(), block.live() + words, uint64_t{0});
        const BlockStart start{reinterpret_cast<uintptr_t>(block.slots()), static_cast<uint32_t>(blocks_.size())};
        starts_.insert(std::upper_bound(starts_.begin(), starts_.end(), start.begin,
                                        [](uintptr_t a, const BlockStart &s) { return a < s.begin; }),
                       start);
        blocks_.push_back(std::move(block));
        capacity_ += capacity;
    }
    Block &last = blocks_.back();
    const uint32_t index = last.used++;
    last.live()[index / 64] |= uint64_t{1} << (index % 64);
    return new (last.slots() + index) EnvelopeKey();
}

// Keys are in time order, so a key is found among those at its own time;
// scenes keyed on every frame make a linear search quadratic. Walks ask for
// the neighbours of the key found last, which needs no search at all.
size_t Envelope::index_of(const EnvelopeKey *key) const {
    if (!listed_) {
        // A key's place is its slot.
        const size_t n = in_place_count(), index = in_place_index(key);
        return index < n ? (hint_ = index) : n;
    }
    const size_t n = order_.size();
    if (!key) return n;
    for (size_t near : {hint_, hint_ + 1, hint_ - 1})
        if (near < n && order_[near].get() == key) return hint_ = near;
    if (!owns(key)) return n;
    auto it = std::lower_bound(order_.begin(), order_.end(), key->time, time_before);
    for (; it != order_.end(); ++it)
        if (it->get() == key) return hint_ = static_cast<size_t>(it - order_.begin());
    return n;
}

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
    if (!listed_) {
        // In order and room in the one block: the key takes the next slot.
        const size_t n = in_place_count();
        const bool room = blocks_.empty() || n < blocks_[0].capacity;
        if (room && (n == 0 || !(time < blocks_[0].slots()[n - 1].time))) {
            EnvelopeKey *key = new_slot();
            key->time = time;
            key->value = value;
            hint_ = n;
            return key;
        }
        list_keys();
    }
    EnvelopeKey *key = new_slot();
    key->time = time;
    key->value = value;
    // Keys mostly come in time order: then the key goes last, with no search.
    if (order_.empty() || !(time < order_.back()->time)) {
        hint_ = order_.size();
        order_.push_back(KeyRef(key));
        return key;
    }
    auto at = std::upper_bound(order_.begin(), order_.end(), time, time_after);
    hint_ = static_cast<size_t>(order_.insert(at, KeyRef(key)) - order_.begin());
    return key;
}

bool Envelope::destroy_key(const EnvelopeKey *key) {
    if (index_of(key) == key_count()) return false;
    list_keys();
    const size_t i = index_of(key);
    order_.erase(order_.begin() + static_cast<long>(i));
    EnvelopeKey *slot = const_cast<EnvelopeKey *>(key);
    if (uintptr_t *word = details_word(key, false)) {
        delete settings_in(*word);
        *word = 0;  // the slot's next key starts with none
    }
    set_live(key, false);
    free_.push_back(slot);
    return true;
}

EnvelopeKey *Envelope::find_key(double time) const {
    const KeyList keys = this->keys();
    const size_t i = first_not_before(keys, time);
    return i < keys.size() && keys[i]->time == time ? keys[i].get() : nullptr;
}

EnvelopeKey *Envelope::next_listed(const EnvelopeKey *key) const {
    const KeyList keys = this->keys();
    if (!key) return keys.empty() ? nullptr : keys.front().get();
    const size_t i = index_of(key);
    return i + 1 < keys.size() ? keys[i + 1].get() : nullptr;
}

EnvelopeKey *Envelope::prev_key(const EnvelopeKey *key) const {
    const KeyList keys = this->keys();
    if (!key) return keys.empty() ? nullptr : keys.back().get();
    const size_t i = index_of(key);
    return i > 0 && i < keys.size() ? keys[i - 1].get() : nullptr;
}

bool Envelope::set_key_time(EnvelopeKey *key, double time) {
    if (!listed_) {
        const KeyList keys = this->keys();
        const size_t i = index_of(key);
        if (i == keys.size() || !std::isfinite(time)) return false;
        // Where the key would go among the others: its own place keeps the order.
        if ((i == 0 || !(time < keys[i - 1]->time)) && (i + 1 == keys.size() || time < keys[i + 1]->time)) {
            key->time = time;
            return true;
        }
        list_keys();
    }
    const size_t i = index_of(key);
    if (i == order_.size() || !std::isfinite(time)) return false;
    order_.erase(order_.begin() + static_cast<long>(i));
    key->time = time;
    auto at = std::upper_bound(order_.begin(), order_.end(), time, time_after);
    hint_ = static_cast<size_t>(order_.insert(at, KeyRef(key)) - order_.begin());
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
