#include "lws_writer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "interface/host_api.h"
#include "host/core/both_cores.h"
#include "file_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace headless {
namespace {

// Replaces the bytes from `begin` to `end` with `text`, or with the block of
// `envelope` when set: those are written straight into the result, the
// largest part of a scene whose motion changed.
struct Edit {
    size_t begin;
    size_t end;
    std::string text;
    const Envelope *envelope = nullptr;
    const LwsEnvelopeRecord *record = nullptr;
    bool values_only = false;  // the envelope's keys kept their times, shapes and settings
};

const char *const kControllers[3] = {"HController", "PController", "BController"};

// Older files name objects by their 1-based place in the file, which is the
// id's object number plus one.
std::string object_number(ItemIdValue object) { return std::to_string((object & 0x0FFFFFFFu) + 1); }

// A bone with no parent statement of its own hangs under its object; that
// stays unwritten.
bool implicit_bone_parent(const LwsItemRecord &record, const Item &item) {
    return item.kind == ItemKind::Bone && item.parent == bone_owner(item.id) && !record.slots[kSlotParent].present;
}

bool same_key(const KeyRecord &a, const KeyRecord &b) {
    const KeySettings &x = a.settings, &y = b.settings;
    if (a.time != b.time || a.value != b.value || a.shape != b.shape || x.tension != y.tension ||
        x.continuity != y.continuity || x.bias != y.bias)
        return false;
    for (int i = 0; i < 4; ++i)
        if (x.params[i] != y.params[i]) return false;
    return x.bezier_extra[0] == y.bezier_extra[0] && x.bezier_extra[1] == y.bezier_extra[1];
}

// A channel without keys holds one value, which the file can only carry in a key.
bool holds_unkeyed_value(const Envelope &envelope, double loaded) {
    return envelope.key_count() == 0 && envelope.default_value != loaded;
}

double neutral_value(int channel) { return channel >= kScaleX ? 1.0 : 0.0; }

// Whether the host left an envelope as it was loaded. A 64-bit digest stands
// for the keys, so that a large scene keeps no copy of them besides its text.
bool same_envelope(const Envelope &envelope, const LwsEnvelopeRecord &record, uint64_t fingerprint) {
    return envelope.pre_behavior == record.loaded_pre && envelope.post_behavior == record.loaded_post &&
           envelope.key_count() == record.loaded_key_count && !holds_unkeyed_value(envelope, record.loaded_default) &&
           fingerprint == record.loaded_fingerprint;
}

// A block's `Behaviors` line, written from the envelope rather than kept.
bool behaviors_line(std::string_view content) { return content.substr(0, content.find_first_of(" \t")) == "Behaviors"; }

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// A key as a `{ Envelope }` block holds it: its numbers, their text and its line.
struct FileKey {
    double numbers[9];
    std::string_view words[9];
    TextSpan line;
};

// Offsets of a key line: where it begins, where its value word begins and
// ends, where the line ends; and the value word's number.
struct KeyLine {
    size_t begin;
    size_t value_begin;
    size_t value_end;
    size_t end;
    double was;
    bool read;  // `was` holds the number
};

// Where the new text goes: into one string, or on to a file in pieces of
// about a megabyte, so that saving a large scene never holds its new text whole.
class Output {
public:
    explicit Output(std::string *whole) : text_(whole) {}
    explicit Output(const WriteBytes &write) : text_(&piece_), write_(&write) { piece_.reserve(kPiece + kPiece / 4); }

    // Appends go here; call spill() now and then.
    std::string &text() { return *text_; }
    void spill() {
        if (write_ && piece_.size() >= kPiece) flush();
    }
    // Bytes handed on without a copy when there are many: a stretch of the
    // original text, or a block made apart.
    void copy(std::string_view bytes) {
        if (!write_ || bytes.size() < kPiece / 16) {
            text_->append(bytes);
            spill();
            return;
        }
        flush();
        ok_ = ok_ && (*write_)(bytes.data(), bytes.size());
    }
    // False once a write failed; what follows is then not worth making.
    bool ok() const { return ok_; }
    bool finish() {
        flush();
        return ok_;
    }

private:
    static constexpr size_t kPiece = size_t(1) << 20;
    void flush() {
        if (write_ && !piece_.empty()) ok_ = ok_ && (*write_)(piece_.data(), piece_.size());
        piece_.clear();
    }

    std::string piece_;
    std::string *text_;
    const WriteBytes *write_ = nullptr;
    bool ok_ = true;
};

class Renderer {
public:
    Renderer(const LwsDocument &doc, const Scene &scene) : doc_(doc), scene_(scene) {}

    // What changed, or false with `error` for a change the file cannot take;
    // then emit() writes the new text.
    bool plan(std::string *error);
    bool emit(Output &out);

private:
    std::string raw(const TextSpan &span) const { return doc_.text.substr(span.begin, span.end - span.begin); }
    std::string_view view(const TextSpan &span) const {
        return std::string_view(doc_.text).substr(span.begin, span.end - span.begin);
    }
    // The ending of the line in `span`, or the document's when it has none.
    std::string ending_of(const TextSpan &span) const {
        if (span.end > span.begin && doc_.text[span.end - 1] == '\n')
            return span.end - span.begin >= 2 && doc_.text[span.end - 2] == '\r' ? "\r\n" : "\n";
        if (span.end > span.begin && doc_.text[span.end - 1] == '\r' && doc_.line_ending == "\r") return "\r";
        return doc_.line_ending;
    }
    // Whether text inserted at `at` starts a line of its own.
    bool at_line_start(size_t at) const { return at == 0 || doc_.text[at - 1] == doc_.line_ending.back(); }
    std::string number(double value) const { return format_lws_number(value, doc_.version); }

    // Appends the envelope's `{ Envelope }` block as it is now, keeping the
    // text of what did not change. `scratch` holds its key lines meanwhile:
    // room the caller keeps, to serve block after block.
    void append_envelope_block(Output &output, const Envelope &envelope, const LwsEnvelopeRecord &record,
                               bool values_only, std::vector<KeyLine> *scratch) const;
    // The keys of a block whose keys kept all but their values: each key line
    // as it was, its value word replaced when the value changed. False, with
    // nothing written, when the block's key lines do not match the keys.
    bool append_values_in_place(Output &output, const Envelope &envelope, const LwsEnvelopeRecord &record,
                                std::vector<TextSpan> *other_lines, std::vector<KeyLine> *scratch) const;
    // The `Behaviors` line and the closing one.
    void append_block_end(std::string *out, const Envelope &envelope, const LwsEnvelopeRecord &record,
                          const std::string &eol) const;
    std::string new_channel(const Envelope &envelope, int channel) const;
    void add_channels(const LwsItemRecord &record, const Item &item, int count);
    std::string key_line(const KeyRecord &key, const std::string &indent, const std::string &eol) const {
        std::string line;
        append_key_line(&line, key, indent, eol, nullptr);
        return line;
    }
    void append_key_line(std::string *out, const KeyRecord &key, const std::string &indent, const std::string &eol,
                         const FileKey *was) const {
        double now[9];
        lws_key_numbers(key, now);
        append_key_line(out, now, indent, eol, was);
    }
    // The same from the key's numbers in file order (lws_key_numbers()).
    void append_key_line(std::string *out, const double now[9], const std::string &indent, const std::string &eol,
                         const FileKey *was) const;
    bool link_edits(const LwsItemRecord &record, const Item &item, std::string *error);
    bool old_link_edits(const LwsItemRecord &record, const Item &item, std::string *error);
    bool old_motion_edits(const LwsItemRecord &record, const Item &item, std::string *error);
    bool shared_keys_text(const LwsItemRecord &record, const Item &item, int channels, std::string *out,
                          std::string *error) const;
    bool channel_lists_text(const LwsItemRecord &record, const Item &item, int channels, std::string *out,
                            std::string *error) const;
    std::string old_value(double value, int channel) const;
    std::string kept_head(const LwsItemRecord &record) const {
        return record.old_motion_head.end > record.old_motion_head.begin ? raw(record.old_motion_head) : "";
    }
    std::string refusal(const Item &item, const std::string &what) const {
        return doc_.path + ": " + item.name + ": " + what + " (LWSC " + std::to_string(doc_.version) + " scene)";
    }
    void set_statement(const LwsItemRecord &record, LwsLinkSlot slot, const std::string &statement);

    const LwsDocument &doc_;
    const Scene &scene_;
    std::vector<Edit> edits_;
};

// A key's line. Numbers the key shares with the line it had (`was`) keep
// that line's text, so a diff shows only what changed; the others are written
// in the shortest text that reads back the same.
void Renderer::append_key_line(std::string *out, const double now[9], const std::string &indent,
                               const std::string &eol, const FileKey *was) const {
    // The line is put together on the stack and appended at once: a large
    // scene writes a million of them.
    char line[9 * 32 + 8];
    char *at = line;
    std::memcpy(at, "Key", 3);
    at += 3;
    bool started = false;  // the indent and part of the line already appended
    for (int i = 0; i < 9; ++i) {
        *at++ = ' ';
        if (was && was->numbers[i] == now[i]) {
            const std::string_view word = was->words[i];
            if (word.size() > 31) {  // kept text longer than any number this writes
                if (!started) out->append(indent);
                started = true;
                out->append(line, static_cast<size_t>(at - line)).append(word);
                at = line;
                continue;
            }
            std::memcpy(at, word.data(), word.size());
            at += word.size();
        } else {
            at = write_lws_shortest(at, now[i]);
        }
    }
    if (!started) out->append(indent);
    out->append(line, static_cast<size_t>(at - line)).append(eol);
}

bool Renderer::append_values_in_place(Output &output, const Envelope &envelope, const LwsEnvelopeRecord &record,
                                      std::vector<TextSpan> *other_lines, std::vector<KeyLine> *scratch) const {
    std::vector<KeyLine> &key_lines = *scratch;
    key_lines.clear();
    key_lines.reserve(envelope.key_count());
    std::vector<TextSpan> others;
    // A million key lines pass here: scanned with pointers, as
    // lws_line_end() and trimmed() would scan them.
    const char *const text = doc_.text.data();
    const char ending = doc_.line_ending == "\r" ? '\r' : '\n';
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    const size_t close = record.close_line.begin;
    for (size_t at = lws_line_end(doc_.text, record.open_line.end, doc_.line_ending); at < close;) {
        const char *found = static_cast<const char *>(std::memchr(text + at, ending, doc_.text.size() - at));
        const TextSpan line = {at, found ? static_cast<size_t>(found - text) + 1 : doc_.text.size()};
        at = line.end;
        const char *first = text + line.begin, *last = text + line.end;
        while (first < last && blank(*first)) ++first;
        while (last > first && (blank(last[-1]) || last[-1] == '\r' || last[-1] == '\n')) --last;
        if (!(last - first > 3 && first[0] == 'K' && first[1] == 'e' && first[2] == 'y' && blank(first[3]))) {
            if (!behaviors_line(std::string_view(first, static_cast<size_t>(last - first)))) others.push_back(line);
            continue;
        }
        const char *value = first + 3;
        while (value < last && blank(*value)) ++value;
        double was = 0.0;
        const char *value_end = value < last ? read_lws_number(value, last, &was) : nullptr;
        const bool read = value_end != nullptr;
        if (!read)
            for (value_end = value; value_end < last && !blank(*value_end);) ++value_end;
        key_lines.push_back({line.begin, static_cast<size_t>(value - text), static_cast<size_t>(value_end - text),
                             line.end, was, read});
    }
    if (key_lines.size() != envelope.key_count()) return false;
    // The lines are put together on the stack and appended some kilobytes at
    // a time: a large scene writes a million of them.
    std::string *const out = &output.text();
    char buffer[16384];
    size_t used = 0;
    const auto put = [&](const char *bytes, size_t size) {
        if (used + size > sizeof buffer) {
            out->append(buffer, used);
            output.spill();
            used = 0;
            if (size > sizeof buffer) return void(out->append(bytes, size));
        }
        std::memcpy(buffer + used, bytes, size);
        used += size;
    };
    const auto &keys = envelope.keys();
    for (size_t k = 0; k < key_lines.size(); ++k) {
        const KeyLine &key = key_lines[k];
        const double value = keys[k]->value;
        if (key.read && key.was == value) {
            put(text + key.begin, key.end - key.begin);
        } else {
            char number[32];
            const char *const number_end = write_lws_shortest(number, value);
            put(text + key.begin, key.value_begin - key.begin);
            put(number, static_cast<size_t>(number_end - number));
            put(text + key.value_end, key.end - key.value_end);
        }
    }
    out->append(buffer, used);
    output.spill();
    other_lines->insert(other_lines->end(), others.begin(), others.end());
    return true;
}

void Renderer::append_envelope_block(Output &output, const Envelope &envelope, const LwsEnvelopeRecord &record,
                                     bool values_only, std::vector<KeyLine> *scratch) const {
    std::string *const out = &output.text();
    const std::string eol = ending_of(record.open_line);
    // The block as loaded is read again, a line at a time alongside the
    // envelope's keys, so no copy of its keys is ever held. Lines that are
    // neither keys nor `Behaviors` go after the keys, as they came.
    std::vector<TextSpan> other_lines;
    size_t at = lws_line_end(doc_.text, record.open_line.end, doc_.line_ending);
    FileKey loaded;
    bool have_loaded = false;
    auto next_loaded = [&] {
        have_loaded = false;
        while (at < record.close_line.begin) {
            const TextSpan line = {at, lws_line_end(doc_.text, at, doc_.line_ending)};
            at = line.end;
            const std::string_view content = trimmed(view(line));
            if (parse_lws_key_line(content, loaded.numbers, loaded.words)) {
                loaded.line = line;
                have_loaded = true;
                return;
            }
            if (!behaviors_line(content)) other_lines.push_back(line);
        }
    };
    *out += view(record.open_line);
    if (holds_unkeyed_value(envelope, record.loaded_default)) {
        KeyRecord held;
        held.value = envelope.default_value;
        *out += record.indent;
        *out += '1';
        *out += eol;
        append_key_line(out, held, record.indent, eol, nullptr);
    } else {
        *out += record.indent;
        char count[24];
        *out += std::string_view(count, static_cast<size_t>(std::to_chars(count, count + sizeof count, envelope.key_count()).ptr - count));
        *out += eol;
    }
    if (values_only && append_values_in_place(output, envelope, record, &other_lines, scratch)) {
        for (const TextSpan &other : other_lines) *out += view(other);
        append_block_end(out, envelope, record, eol);
        return;
    }
    next_loaded();
    // Keys the host left alone keep their text. Keys are compared by the
    // numbers the file holds of them: a key equal in those is written the
    // same, whatever else it holds.
    const KeyList keys = envelope.keys();
    for (size_t k = 0; k < keys.size(); ++k) {
        double now[9];
        lws_key_numbers(*keys[k], keys.details(k), now);
        while (have_loaded && loaded.numbers[1] < now[1]) next_loaded();
        if (have_loaded && std::equal(now, now + 9, loaded.numbers)) {
            *out += view(loaded.line);
            next_loaded();  // the next key may share its time
        } else {
            append_key_line(out, now, record.indent, eol, have_loaded && loaded.numbers[1] == now[1] ? &loaded : nullptr);
        }
        output.spill();
    }
    while (have_loaded) next_loaded();
    for (const TextSpan &other : other_lines) *out += view(other);
    append_block_end(out, envelope, record, eol);
}

void Renderer::append_block_end(std::string *out, const Envelope &envelope, const LwsEnvelopeRecord &record,
                                const std::string &eol) const {
    if (record.behaviors_line.end > record.behaviors_line.begin && envelope.pre_behavior == record.loaded_pre &&
        envelope.post_behavior == record.loaded_post)
        *out += view(record.behaviors_line);
    else
        *out += record.indent + "Behaviors " + std::to_string(static_cast<int>(envelope.pre_behavior)) + " " +
                std::to_string(static_cast<int>(envelope.post_behavior)) + eol;
    *out += view(record.close_line);
}

// A channel the file did not have, as Layout writes one: every channel has at
// least one key, a channel without keys one at time 0 holding its value.
std::string Renderer::new_channel(const Envelope &envelope, int channel) const {
    const std::string &eol = doc_.line_ending;
    std::string block = "Channel " + std::to_string(channel) + eol + "{ Envelope" + eol;
    if (envelope.key_count() == 0) {
        KeyRecord held;
        held.value = envelope.default_value;
        block += "  1" + eol + key_line(held, "  ", eol);
    } else {
        block += "  " + std::to_string(envelope.key_count()) + eol;
        for (const auto &key : envelope.keys()) block += key_line(envelope.record(key.get()), "  ", eol);
    }
    return block + "  Behaviors " + std::to_string(static_cast<int>(envelope.pre_behavior)) + " " +
           std::to_string(static_cast<int>(envelope.post_behavior)) + eol + "}" + eol;
}

// Channels from the item's channel count up to `count`, in its motion block
// or in a new one.
void Renderer::add_channels(const LwsItemRecord &record, const Item &item, int count) {
    const std::string &eol = doc_.line_ending;
    std::string channels;
    const int first = record.envelopes.empty() ? 0 : record.channel_count;
    for (int c = first; c < count; ++c) channels += new_channel(item.channel(static_cast<MotionChannel>(c)).envelope, c);
    if (!record.envelopes.empty()) {
        edits_.push_back({record.channel_count_line.begin, record.channel_count_line.end,
                          "NumChannels " + std::to_string(count) + ending_of(record.channel_count_line)});
        edits_.push_back({record.motion_end, record.motion_end, channels});
        return;
    }
    static const char *const kMotion[] = {"", "ObjectMotion", "LightMotion", "CameraMotion", "BoneMotion"};
    std::string text = std::string(kMotion[static_cast<int>(item.kind)]) + eol + "NumChannels " +
                       std::to_string(count) + eol + channels + eol;
    const size_t at = record.motion_insert_at;
    if (!at_line_start(at)) text = eol + text;  // after a last line without ending
    edits_.push_back({at, at, text});
}

// Replaces, removes (empty `statement`) or adds one link statement, keeping
// the place and line ending of the one it replaces; a new one goes next to its
// neighbours in the order Layout writes them.
void Renderer::set_statement(const LwsItemRecord &record, LwsLinkSlot slot, const std::string &statement) {
    const LwsStatementPlace &place = record.slots[slot];
    if (place.present) {
        const std::string eol = ending_of(place.line);
        if (place.statement_begin > place.line.begin) {
            // Glued behind another statement: that one keeps its line.
            edits_.push_back({place.statement_begin, place.line.end, eol + (statement.empty() ? "" : statement + eol)});
        } else {
            edits_.push_back({place.line.begin, place.line.end, statement.empty() ? "" : statement + eol});
        }
        return;
    }
    if (statement.empty()) return;
    size_t at = record.insert_at;
    bool found = false;
    for (int s = slot - 1; s >= 0 && !found; --s)
        if (record.slots[s].present) at = record.slots[s].line.end, found = true;
    for (int s = slot + 1; s < kSlotCount && !found; ++s)
        if (record.slots[s].present) at = record.slots[s].line.begin, found = true;
    std::string text = statement + doc_.line_ending;
    if (!at_line_start(at)) text = doc_.line_ending + text;  // after a last line without ending
    edits_.push_back({at, at, text});
}

bool Renderer::link_edits(const LwsItemRecord &record, const Item &item, std::string *error) {
    if (doc_.version <= 2) return old_link_edits(record, item, error);
    const LwsLinkState &was = record.loaded;
    auto id_statement = [&](const char *keyword, ItemIdValue id) {
        return id ? std::string(keyword) + " " + format_lws_id(id) : std::string();
    };
    if (item.parent != was.parent && !implicit_bone_parent(record, item))
        set_statement(record, kSlotParent, id_statement("ParentItem", item.parent));
    if (item.target != was.target) set_statement(record, kSlotTarget, id_statement("TargetItem", item.target));
    for (int axis = 0; axis < 3; ++axis)
        if (item.controllers[axis] != was.controllers[axis])
            set_statement(record, static_cast<LwsLinkSlot>(kSlotHController + axis),
                          item.controllers[axis] ? std::string(kControllers[axis]) + " " +
                                                       std::to_string(item.controllers[axis])
                                                 : std::string());
    if (item.goal != was.goal) {
        std::string statement;
        if (item.goal && doc_.version < 4) {
            if (kind_of(item.goal) != ItemKind::Object) {
                *error = doc_.path + ": " + item.name + ": this scene format can only keep an object as IK goal";
                return false;
            }
            statement = "GoalObject " + object_number(item.goal);
        } else if (item.goal) {
            statement = "GoalObject " + format_lws_id(item.goal);
        }
        set_statement(record, kSlotGoal, statement);
    }
    const bool full_time = (item.flags & host_abi::kItemFlagFullTimeIk) != 0;
    if (full_time != was.full_time_ik) set_statement(record, kSlotFullTimeIk, full_time ? "FullTimeIK 1" : "");
    if (item.pole != was.pole) set_statement(record, kSlotPole, id_statement("PoleItem", item.pole));
    if (item.position_item != was.position_item)
        set_statement(record, kSlotPositionItem, id_statement("PositionItem", item.position_item));
    if (item.rotation_item != was.rotation_item)
        set_statement(record, kSlotRotationItem, id_statement("RotationItem", item.rotation_item));
    if (item.scale_item != was.scale_item)
        set_statement(record, kSlotScaleItem, id_statement("ScaleItem", item.scale_item));
    return true;
}

bool Renderer::plan(std::string *error) {
    // Whether each envelope changed: a pass over all keys of the scene, taken
    // an item at a time on every core first.
    struct Digest {
        uint64_t keys = 0, layout = 0;
    };
    std::vector<size_t> first_digest(doc_.items.size() + 1, 0);
    for (size_t r = 0; r < doc_.items.size(); ++r)
        first_digest[r + 1] = first_digest[r] + (doc_.version <= 2 ? 0 : doc_.items[r].envelopes.size());
    std::vector<Digest> digests(first_digest.back());
    run_in_parts(doc_.items.size(), [&](size_t r) {
        const LwsItemRecord &record = doc_.items[r];
        const Item *item = scene_.find(record.id);
        for (size_t e = 0; item && e < first_digest[r + 1] - first_digest[r]; ++e) {
            Digest &digest = digests[first_digest[r] + e];
            digest.keys = lws_envelope_fingerprint(
                item->channel(static_cast<MotionChannel>(record.envelopes[e].channel)).envelope, &digest.layout);
        }
    });
    for (size_t r = 0; r < doc_.items.size(); ++r) {
        const LwsItemRecord &record = doc_.items[r];
        const Item *item = scene_.find(record.id);
        if (!item) {
            *error = doc_.path + ":" + std::to_string(record.line) + ": the item " + format_lws_id(record.id) +
                     " was removed from the scene; removing items cannot be written into the file";
            return false;
        }
        if (doc_.version <= 2) {
            if (!old_motion_edits(record, *item, error) || !link_edits(record, *item, error)) return false;
            continue;
        }
        bool recorded[kMotionChannelCount] = {};
        for (size_t e = 0; e < record.envelopes.size(); ++e) {
            const LwsEnvelopeRecord &env = record.envelopes[e];
            const Digest &digest = digests[first_digest[r] + e];
            recorded[env.channel] = true;
            const Envelope &envelope = item->channel(static_cast<MotionChannel>(env.channel)).envelope;
            if (!same_envelope(envelope, env, digest.keys))
                edits_.push_back({env.block.begin, env.block.end, {}, &envelope, &env,
                                  digest.layout == env.loaded_layout && envelope.key_count() == env.loaded_key_count &&
                                      !holds_unkeyed_value(envelope, env.loaded_default)});
        }
        // Channels the file lacks are written once they hold anything but the
        // neutral value (an item given a position in place, say). Cameras have six.
        int needed = 0;
        for (int c = 0; c < kMotionChannelCount; ++c) {
            const Envelope &envelope = item->channel(static_cast<MotionChannel>(c)).envelope;
            if (!recorded[c] && (envelope.key_count() > 0 || envelope.default_value != neutral_value(c))) needed = c + 1;
        }
        if (needed > 0)
            add_channels(record, *item,
                         std::max(needed, record.envelopes.empty()
                                              ? (item->kind == ItemKind::Camera ? kScaleX : kMotionChannelCount)
                                              : record.channel_count));
        if (!link_edits(record, *item, error)) return false;
    }
    std::unordered_set<ItemIdValue> in_file;
    in_file.reserve(doc_.items.size());
    for (const LwsItemRecord &record : doc_.items) in_file.insert(record.id);
    for (ItemIdValue id : scene_.all_items())
        if (!in_file.count(id)) {
            *error = doc_.path + ": the item '" + scene_.find(id)->name +
                     "' was added after loading; new items cannot be written into the file";
            return false;
        }

    // Insertions at a place come before a replacement starting there.
    std::stable_sort(edits_.begin(), edits_.end(), [](const Edit &a, const Edit &b) {
        return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
    });
    size_t at = 0;
    for (const Edit &edit : edits_) {
        if (edit.begin < at) {
            *error = doc_.path + ": internal error: overlapping changes";
            return false;
        }
        at = edit.end;
    }
    return true;
}

bool Renderer::emit(Output &out) {
    // Changed blocks are independent (one envelope each): a second thread
    // makes them a few ahead, each into a text of its own, while this one
    // writes the file in order. The writer never waits for it: a block not
    // made by its turn the writer makes itself, straight into the file (any
    // copy the other thread finishes later is dropped), so a thread held up
    // elsewhere costs no more than going without it. Large blocks are left to
    // the writer, so no text is held whole.
    constexpr size_t kAhead = 8;                         // blocks made ahead at most
    constexpr size_t kLargest = size_t(1) << 20;         // bytes of a loaded block made ahead
    enum : unsigned char { kFree, kTaken, kMade };
    std::vector<size_t> blocks;  // the envelope edits, in order
    for (size_t e = 0; e < edits_.size(); ++e)
        if (edits_[e].envelope) blocks.push_back(e);
    std::unique_ptr<std::atomic<unsigned char>[]> state(new std::atomic<unsigned char>[blocks.size()]);
    for (size_t b = 0; b < blocks.size(); ++b) state[b].store(kFree, std::memory_order_relaxed);
    std::string made[kAhead];
    std::mutex lock;
    std::condition_variable moved;
    size_t written = 0;     // blocks the writer is done with; under `lock`
    bool finished = false;  // under `lock`

    const auto make_ahead = [&] {
        std::vector<KeyLine> scratch;
        for (size_t b = 0;; ++b) {
            {
                std::unique_lock<std::mutex> hold(lock);
                moved.wait(hold, [&] { return finished || b < written + kAhead; });
                if (finished) return;
                b = std::max(b, written);
            }
            if (b >= blocks.size()) return;
            const Edit &edit = edits_[blocks[b]];
            unsigned char free = kFree;
            if (edit.end - edit.begin > kLargest || !state[b].compare_exchange_strong(free, kTaken)) continue;
            try {
                std::string &text = made[b % kAhead];
                text.clear();
                Output block(&text);
                append_envelope_block(block, *edit.envelope, *edit.record, edit.values_only, &scratch);
            } catch (...) {
                return;  // out of memory, say: the writer makes the rest
            }
            state[b].store(kMade, std::memory_order_release);
        }
    };
    const auto write_in_order = [&] {
        // However this ends, the other thread stops waiting.
        struct Finish {
            std::mutex &lock;
            std::condition_variable &moved;
            bool &finished;
            ~Finish() {
                {
                    std::lock_guard<std::mutex> hold(lock);
                    finished = true;
                }
                moved.notify_all();
            }
        } finish{lock, moved, finished};
        std::vector<KeyLine> scratch;
        const std::string_view text = doc_.text;
        size_t at = 0, b = 0;
        for (Edit &edit : edits_) {
            if (!out.ok()) return;
            out.copy(text.substr(at, edit.begin - at));
            if (!edit.envelope) {
                out.text() += edit.text;
                std::string().swap(edit.text);
            } else {
                unsigned char expected = kFree;
                if (!state[b].compare_exchange_strong(expected, kTaken, std::memory_order_acquire) &&
                    expected == kMade)
                    out.copy(made[b % kAhead]);
                else
                    append_envelope_block(out, *edit.envelope, *edit.record, edit.values_only, &scratch);
                {
                    std::lock_guard<std::mutex> hold(lock);
                    written = ++b;
                }
                moved.notify_one();
            }
            out.spill();
            at = edit.end;
        }
        out.copy(text.substr(at));
    };
    run_in_parts(blocks.size() > 1 ? 2 : 1, [&](size_t part) {
        if (part == 0)
            write_in_order();
        else
            make_ahead();
    });
    return out.finish();
}

// LWSC 1 and 2 link objects by their number in file order, which is the
// object number in the id, and know no poles or same-item links.
bool Renderer::old_link_edits(const LwsItemRecord &record, const Item &item, std::string *error) {
    const LwsLinkState &was = record.loaded;
    auto object_statement = [&](const char *keyword, const char *link, ItemIdValue id, std::string *out) {
        if (!id) return true;
        if (kind_of(id) != ItemKind::Object) {
            const Item *other = scene_.find(id);
            *error = refusal(item, std::string("the scene format can only keep an object as ") + link + ", not the " +
                                       item_kind_name(kind_of(id)) + " " + (other ? other->name : format_lws_id(id)));
            return false;
        }
        *out = std::string(keyword) + " " + object_number(id);
        return true;
    };
    std::string parent, target, goal;
    const bool implicit_parent = implicit_bone_parent(record, item);
    if (item.parent != was.parent && !implicit_parent &&
        !object_statement("ParentObject", "parent", item.parent, &parent))
        return false;
    if (item.target != was.target && !object_statement("TargetObject", "target", item.target, &target)) return false;
    if (item.goal != was.goal && !object_statement("GoalObject", "IK goal", item.goal, &goal)) return false;
    const struct {
        ItemIdValue now, was;
        const char *what;
    } unkept[] = {{item.pole, was.pole, "an IK pole"},
                  {item.position_item, was.position_item, "a position item"},
                  {item.rotation_item, was.rotation_item, "a rotation item"},
                  {item.scale_item, was.scale_item, "a scale item"}};
    for (const auto &link : unkept)
        if (link.now != link.was && link.now != 0) {
            *error = refusal(item, std::string("the scene format cannot keep ") + link.what);
            return false;
        }
    // Checked in full above, so a refusal leaves no half-made edits.
    if (item.parent != was.parent && !implicit_parent) set_statement(record, kSlotParent, parent);
    if (item.target != was.target) set_statement(record, kSlotTarget, target);
    if (item.goal != was.goal) set_statement(record, kSlotGoal, goal);
    for (int axis = 0; axis < 3; ++axis) {
        const LwsLinkSlot slot = static_cast<LwsLinkSlot>(kSlotHController + axis);
        // In LWSC 1 a target alone makes heading and pitch point at it.
        const int implied = doc_.version == 1 && item.target && axis < 2 ? 1 : 0;
        const std::string statement = std::string(kControllers[axis]) + " " + std::to_string(item.controllers[axis]);
        if (record.slots[slot].present || doc_.version > 1) {
            if (item.controllers[axis] != was.controllers[axis])
                set_statement(record, slot, item.controllers[axis] ? statement : std::string());
        } else if (item.controllers[axis] != implied) {
            set_statement(record, slot, statement);
        }
    }
    const bool full_time = (item.flags & host_abi::kItemFlagFullTimeIk) != 0;
    if (full_time != was.full_time_ik) set_statement(record, kSlotFullTimeIk, full_time ? "FullTimeIK 1" : "");
    // Links the file held in keywords of its own are cleared by removing them.
    if (item.pole != was.pole) set_statement(record, kSlotPole, "");
    if (item.position_item != was.position_item) set_statement(record, kSlotPositionItem, "");
    if (item.rotation_item != was.rotation_item) set_statement(record, kSlotRotationItem, "");
    if (item.scale_item != was.scale_item) set_statement(record, kSlotScaleItem, "");
    return true;
}

// Angles are kept in degrees in these files.
std::string Renderer::old_value(double value, int channel) const {
    constexpr double kDegrees = 180.0 / 3.14159265358979323846;
    return number(channel >= kHeading && channel <= kBank ? value * kDegrees : value);
}

// The item's motion in the LWSC 1 or 2 layout, rewritten whole when any
// channel changed; keys left alone keep their text.
bool Renderer::old_motion_edits(const LwsItemRecord &record, const Item &item, std::string *error) {
    bool changed = false;
    for (const LwsEnvelopeRecord &env : record.envelopes) {
        const Envelope &envelope = item.channel(static_cast<MotionChannel>(env.channel)).envelope;
        changed = changed || !same_envelope(envelope, env, lws_envelope_fingerprint(envelope));
    }
    const int kept = static_cast<int>(record.envelopes.size());
    int channels = kept;
    for (int c = kept; c < kMotionChannelCount; ++c) {
        const Envelope &envelope = item.channel(static_cast<MotionChannel>(c)).envelope;
        if (envelope.key_count() == 0 && envelope.default_value == neutral_value(c)) continue;
        if (kept > 0) {
            *error = refusal(item, "the motion in the file has " + std::to_string(kept) + " channels and cannot take " +
                                       item.channel(static_cast<MotionChannel>(c)).name);
            return false;
        }
        changed = true;
        channels = doc_.version == 2 && item.kind == ItemKind::Camera ? kScaleX : kMotionChannelCount;
    }
    if (!changed) return true;
    std::string text;
    if (!(doc_.version == 1 ? shared_keys_text(record, item, channels, &text, error)
                            : channel_lists_text(record, item, channels, &text, error)))
        return false;
    if (kept > 0) {
        edits_.push_back({record.old_motion.begin, record.old_motion.end, text});
        return true;
    }
    static const char *const kMotion[] = {"", "ObjectMotion", "LightMotion", "CameraMotion", "BoneMotion"};
    text = std::string(kMotion[static_cast<int>(item.kind)]) + " (unnamed)" + doc_.line_ending + "  " +
           std::to_string(channels) + doc_.line_ending + text;
    const size_t at = record.motion_insert_at;
    if (!at_line_start(at)) text = doc_.line_ending + text;  // after a last line without ending
    edits_.push_back({at, at, text});
    return true;
}

// A channel that holds one value throughout, whatever its keys' splines.
bool holds_one_value(const Envelope &envelope) {
    for (const auto &key : envelope.keys())
        if (key->value != envelope.keys()[0]->value) return false;
    return true;
}

// LWSC 1: every key holds all channels at one frame with one spline setting,
// and one EndBehavior covers them all. Channels holding one value throughout
// take it at every key frame; the channels that move must share their frames,
// splines and behaviours, else the motion cannot be written.
bool Renderer::shared_keys_text(const LwsItemRecord &record, const Item &item, int channels, std::string *out,
                                std::string *error) const {
    auto envelope_of = [&](int c) -> const Envelope & { return item.channel(static_cast<MotionChannel>(c)).envelope; };
    // The frames come from the first moving channel, else the first with the most keys.
    const Envelope *lead = nullptr;
    for (int c = 0; c < channels && !lead; ++c)
        if (!holds_one_value(envelope_of(c))) lead = &envelope_of(c);
    for (int c = 0; c < channels && !lead; ++c)
        if (envelope_of(c).key_count() > 0 && (!lead || envelope_of(c).key_count() > lead->key_count()))
            lead = &envelope_of(c);
    const size_t keys = lead ? lead->key_count() : 1;
    std::vector<long long> frames(keys, 0);
    for (size_t k = 0; lead && k < keys; ++k) {
        const double frame = lead->keys()[k]->time * scene_.frames_per_second;
        // Stricter than interface/frame_rule.h: this format stores frame numbers, so a key must lie on one.
        if (!(std::fabs(frame) < 1e15) || std::fabs(frame - std::nearbyint(frame)) > 1e-6) {
            *error = refusal(item, "a key at " + format_lws_number(lead->keys()[k]->time, 3) +
                                       " s is between frames; this scene format keeps keys on whole frames");
            return false;
        }
        frames[k] = static_cast<long long>(std::nearbyint(frame));
    }
    EnvelopeBehavior post = lead ? lead->post_behavior : EnvelopeBehavior::Constant;
    // Channels holding one value only need it held; moving ones are checked below.
    if (static_cast<int>(post) > static_cast<int>(EnvelopeBehavior::Repeat)) post = EnvelopeBehavior::Constant;
    for (int c = 0; c < channels; ++c) {
        const Envelope &envelope = envelope_of(c);
        const std::string name = item.channel(static_cast<MotionChannel>(c)).name;
        if (holds_one_value(envelope)) continue;
        if (envelope.key_count() != keys) {
            *error = refusal(item, name + " has keys on other frames than the item's other channels; this scene "
                                          "format keeps one set of key frames for all channels");
            return false;
        }
        if (envelope.pre_behavior != EnvelopeBehavior::Constant || envelope.post_behavior != post ||
            static_cast<int>(post) > static_cast<int>(EnvelopeBehavior::Repeat)) {
            *error = refusal(item, name + ": this scene format keeps only one end behavior for all channels "
                                          "(reset, hold or repeat) and holds the value before the first key");
            return false;
        }
        for (size_t k = 0; k < keys; ++k) {
            const KeyRecord key = envelope.record(envelope.keys()[k].get());
            const KeyRecord settings = lead->record(lead->keys()[k].get());
            if (std::fabs(key.time * scene_.frames_per_second - static_cast<double>(frames[k])) > 1e-6 ||
                (key.shape != KeyShape::Tcb && key.shape != KeyShape::Linear) || key.shape != settings.shape ||
                key.settings.tension != settings.settings.tension ||
                key.settings.continuity != settings.settings.continuity || key.settings.bias != settings.settings.bias) {
                *error = refusal(item, name + ": the key at frame " + std::to_string(frames[k]) +
                                           " differs in frame or spline from the other channels' key there, or is "
                                           "not a TCB or linear key; this scene format keeps one per frame");
                return false;
            }
        }
    }
    const std::string indent = record.envelopes.empty() ? "  " : record.envelopes[0].indent;
    const std::string eol = record.envelopes.empty() ? doc_.line_ending : ending_of(record.envelopes[0].open_line);
    std::string text = kept_head(record);
    text += indent + std::to_string(keys) + eol;
    for (size_t k = 0; k < keys; ++k) {
        const double time = lead ? lead->keys()[k]->time : 0.0;
        // The loaded key at the same place, when every channel still has it.
        bool same = !record.envelopes.empty() && k < record.envelopes[0].key_lines.size();
        std::string values;
        for (int c = 0; c < channels; ++c) {
            const Envelope &envelope = envelope_of(c);
            KeyRecord written;
            written.value = envelope.default_value;
            if (envelope.key_count() > 0) {
                const EnvelopeKey *at = envelope.find_key(time);
                written = envelope.record(at ? at : envelope.keys()[0].get());
            }
            written.time = time;
            if (same && c < static_cast<int>(record.envelopes.size()))
                same = k < record.envelopes[c].loaded_keys.size() && same_key(record.envelopes[c].loaded_keys[k], written);
            values += (c ? " " : "") + old_value(written.value, c);
        }
        if (same) {
            text += raw(record.envelopes[0].key_lines[k]);
            continue;
        }
        const KeyRecord spline = lead ? lead->record(lead->keys()[k].get()) : KeyRecord{};
        text += indent + values + eol + indent + std::to_string(frames[k]) + " " +
                (spline.shape == KeyShape::Linear ? "1" : "0") + " " + number(spline.settings.tension) + " " +
                number(spline.settings.continuity) + " " + number(spline.settings.bias) + eol;
    }
    const bool behavior_kept = !record.envelopes.empty() && record.envelopes[0].loaded_post == post;
    if (record.old_behaviors_line.end > record.old_behaviors_line.begin && behavior_kept)
        text += raw(record.old_behaviors_line);
    else if (!behavior_kept)
        text += "EndBehavior " + std::to_string(static_cast<int>(post)) + eol;
    *out = std::move(text);
    return true;
}

// LWSC 2: per channel its keys as TCB splines, then one behaviour line.
bool Renderer::channel_lists_text(const LwsItemRecord &record, const Item &item, int channels, std::string *out,
                                  std::string *error) const {
    const std::string eol = record.envelopes.empty() ? doc_.line_ending : ending_of(record.envelopes[0].open_line);
    std::string text = kept_head(record), behaviors = "Pre/PostBehavior";
    bool behaviors_kept = record.old_behaviors_line.end > record.old_behaviors_line.begin;
    for (int c = 0; c < channels; ++c) {
        const Envelope &envelope = item.channel(static_cast<MotionChannel>(c)).envelope;
        const LwsEnvelopeRecord *env = c < static_cast<int>(record.envelopes.size()) ? &record.envelopes[c] : nullptr;
        const std::vector<std::string> *flags =
            c < static_cast<int>(record.old_key_flags.size()) ? &record.old_key_flags[c] : nullptr;
        const std::string indent = env ? env->indent : "  ";
        std::vector<KeyRecord> keys;
        for (const auto &key : envelope.keys()) keys.push_back(envelope.record(key.get()));
        if (keys.empty() && (!env || holds_unkeyed_value(envelope, env->loaded_default))) {
            keys.emplace_back();
            keys.back().value = envelope.default_value;
        }
        text += indent + std::to_string(keys.size()) + eol;
        size_t old = 0;
        for (const KeyRecord &key : keys) {
            if (key.shape != KeyShape::Tcb) {
                *error = refusal(item, item.channel(static_cast<MotionChannel>(c)).name +
                                           ": this scene format keeps only TCB spline keys");
                return false;
            }
            while (env && old < env->loaded_keys.size() && env->loaded_keys[old].time < key.time) ++old;
            if (env && old < env->loaded_keys.size() && old < env->key_lines.size() && same_key(env->loaded_keys[old], key)) {
                text += raw(env->key_lines[old++]);
                continue;
            }
            const std::string flag = flags && old < flags->size() ? (*flags)[old]
                                     : flags && !flags->empty()   ? flags->front()
                                                                  : "2";
            text += indent + old_value(key.value, c) + " " + format_lws_time(key.time, doc_.version) + " " + flag +
                    " " + number(key.settings.tension) + " " + number(key.settings.continuity) + " " +
                    number(key.settings.bias) + eol;
        }
        behaviors_kept = behaviors_kept && env && envelope.pre_behavior == env->loaded_pre &&
                         envelope.post_behavior == env->loaded_post;
        behaviors += " " + std::to_string(static_cast<int>(envelope.pre_behavior)) + " " +
                     std::to_string(static_cast<int>(envelope.post_behavior));
    }
    text += behaviors_kept ? raw(record.old_behaviors_line) : behaviors + eol;
    *out = std::move(text);
    return true;
}

}  // namespace

bool render_lws(const LwsDocument &document, const Scene &scene, std::string *out, std::string *error) {
    Renderer renderer(document, scene);
    if (!renderer.plan(error)) return false;
    std::string text;
    // A rewritten key may grow by two numbers written in full: room for that
    // spares copying the whole text when it does (room never written takes
    // no memory).
    text.reserve(document.text.size() + document.text.size() / 2);
    Output output(&text);
    renderer.emit(output);
    *out = std::move(text);
    return true;
}

bool write_lws_file(const LwsDocument &document, const Scene &scene, const std::string &path, bool overwrite,
                    std::string *error) {
    if (!overwrite && file_exists(path)) {
        *error = path + ": the file exists; not replacing it (save --force replaces it)";
        return false;
    }
    Renderer renderer(document, scene);
    if (!renderer.plan(error)) return false;
    return write_file_safely(
        path,
        [&](const WriteBytes &write) {
            Output output(write);
            return renderer.emit(output);
        },
        overwrite, error);
}

}  // namespace headless
