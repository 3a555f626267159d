#include "lws_writer.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>

#include "../module/host_api.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace headless {
namespace {

struct Edit {
    size_t begin;
    size_t end;
    std::string text;
};

bool same_key(const EnvelopeKey &a, const EnvelopeKey &b) {
    if (a.time != b.time || a.value != b.value || a.shape != b.shape || a.tension != b.tension ||
        a.continuity != b.continuity || a.bias != b.bias)
        return false;
    for (int i = 0; i < 4; ++i)
        if (a.params[i] != b.params[i]) return false;
    return true;
}

bool same_envelope(const Envelope &envelope, const LwsEnvelopeRecord &record) {
    if (envelope.pre_behavior != record.loaded_pre || envelope.post_behavior != record.loaded_post ||
        envelope.key_count() != record.loaded_keys.size())
        return false;
    for (size_t i = 0; i < record.loaded_keys.size(); ++i)
        if (!same_key(*envelope.keys()[i], record.loaded_keys[i])) return false;
    return true;
}

class Renderer {
public:
    Renderer(const LwsDocument &doc, const Scene &scene) : doc_(doc), scene_(scene) {}

    bool render(std::string *out, std::string *error);

private:
    std::string raw(const TextSpan &span) const { return doc_.text.substr(span.begin, span.end - span.begin); }
    // The ending of the line in `span`, or the document's when it has none.
    std::string ending_of(const TextSpan &span) const {
        if (span.end > span.begin && doc_.text[span.end - 1] == '\n')
            return span.end - span.begin >= 2 && doc_.text[span.end - 2] == '\r' ? "\r\n" : "\n";
        return doc_.line_ending;
    }
    std::string number(double value) const { return format_lws_number(value, doc_.version); }

    std::string envelope_block(const Envelope &envelope, const LwsEnvelopeRecord &record) const;
    std::string key_line(const EnvelopeKey &key, const std::string &indent, const std::string &eol) const;
    bool link_edits(const LwsItemRecord &record, const Item &item, std::string *error);
    void set_statement(const LwsItemRecord &record, LwsLinkSlot slot, const std::string &statement);

    const LwsDocument &doc_;
    const Scene &scene_;
    std::vector<Edit> edits_;
};

std::string Renderer::key_line(const EnvelopeKey &key, const std::string &indent, const std::string &eol) const {
    double p[6] = {key.tension, key.continuity, key.bias, key.params[0], key.params[1], key.params[2]};
    if (key.shape == KeyShape::Bezier2D) {
        // Handles take the first four places; the rest hold nothing the curve uses.
        p[0] = key.params[0], p[1] = key.params[1], p[2] = key.params[2], p[3] = key.params[3];
        p[4] = p[5] = 0.0;
    }
    std::string line = indent + "Key " + number(key.value) + " " + format_lws_time(key.time, doc_.version) + " " +
                       std::to_string(static_cast<int>(key.shape));
    for (double v : p) line += " " + number(v);
    return line + eol;
}

std::string Renderer::envelope_block(const Envelope &envelope, const LwsEnvelopeRecord &record) const {
    const std::string eol = ending_of(record.open_line);
    std::string block = raw(record.open_line);
    block += record.indent + std::to_string(envelope.key_count()) + eol;
    // Keys the host left alone keep their text.
    size_t old = 0;
    for (const auto &key : envelope.keys()) {
        while (old < record.loaded_keys.size() && record.loaded_keys[old].time < key->time) ++old;
        if (old < record.loaded_keys.size() && old < record.key_lines.size() && same_key(record.loaded_keys[old], *key))
            block += raw(record.key_lines[old]);
        else
            block += key_line(*key, record.indent, eol);
    }
    for (const TextSpan &other : record.other_lines) block += raw(other);
    if (record.behaviors_line.end > record.behaviors_line.begin && envelope.pre_behavior == record.loaded_pre &&
        envelope.post_behavior == record.loaded_post)
        block += raw(record.behaviors_line);
    else
        block += record.indent + "Behaviors " + std::to_string(static_cast<int>(envelope.pre_behavior)) + " " +
                 std::to_string(static_cast<int>(envelope.post_behavior)) + eol;
    return block + raw(record.close_line);
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
    if (at > 0 && doc_.text[at - 1] != '\n') text = doc_.line_ending + text;  // after a last line without ending
    edits_.push_back({at, at, text});
}

bool Renderer::link_edits(const LwsItemRecord &record, const Item &item, std::string *error) {
    const LwsLinkState &was = record.loaded;
    auto id_statement = [&](const char *keyword, ItemIdValue id) {
        return id ? std::string(keyword) + " " + format_lws_id(id) : std::string();
    };
    if (item.parent != was.parent) {
        // A bone with no parent of its own hangs under its object.
        const bool implicit = item.kind == ItemKind::Bone && item.parent == bone_owner(item.id) &&
                              !record.slots[kSlotParent].present;
        if (!implicit) set_statement(record, kSlotParent, id_statement("ParentItem", item.parent));
    }
    if (item.target != was.target) set_statement(record, kSlotTarget, id_statement("TargetItem", item.target));
    static const char *const kControllers[3] = {"HController", "PController", "BController"};
    for (int axis = 0; axis < 3; ++axis)
        if (item.controllers[axis] != was.controllers[axis])
            set_statement(record, static_cast<LwsLinkSlot>(kSlotHController + axis),
                          item.controllers[axis] ? std::string(kControllers[axis]) + " " +
                                                       std::to_string(item.controllers[axis])
                                                 : std::string());
    if (item.goal != was.goal) {
        std::string statement;
        if (item.goal && doc_.version < 4) {
            // Older files number goal objects from 1 in file order, which is the id's object number.
            if (kind_of(item.goal) != ItemKind::Object) {
                *error = doc_.path + ": " + item.name + ": this scene format can only keep an object as IK goal";
                return false;
            }
            statement = "GoalObject " + std::to_string((item.goal & 0x0FFFFFFFu) + 1);
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

bool Renderer::render(std::string *out, std::string *error) {
    for (const LwsItemRecord &record : doc_.items) {
        const Item *item = scene_.find(record.id);
        if (!item) {
            *error = doc_.path + ":" + std::to_string(record.line) + ": the item " + format_lws_id(record.id) +
                     " was removed from the scene; removing items cannot be written into the file";
            return false;
        }
        bool recorded[kMotionChannelCount] = {};
        for (const LwsEnvelopeRecord &env : record.envelopes) {
            recorded[env.channel] = true;
            const Envelope &envelope = item->channel(static_cast<MotionChannel>(env.channel)).envelope;
            if (!same_envelope(envelope, env)) edits_.push_back({env.block.begin, env.block.end, envelope_block(envelope, env)});
        }
        for (int c = 0; c < kMotionChannelCount; ++c)
            if (!recorded[c] && item->channel(static_cast<MotionChannel>(c)).envelope.key_count() > 0) {
                *error = doc_.path + ": " + item->name + ": channel " + item->channel(static_cast<MotionChannel>(c)).name +
                         " has keys but the file has no such channel for this item";
                return false;
            }
        if (!link_edits(record, *item, error)) return false;
    }
    for (ItemIdValue id : scene_.all_items())
        if (!doc_.record_of(id)) {
            *error = doc_.path + ": the item '" + scene_.find(id)->name +
                     "' was added after loading; new items cannot be written into the file";
            return false;
        }

    // Insertions at a place come before a replacement starting there.
    std::stable_sort(edits_.begin(), edits_.end(), [](const Edit &a, const Edit &b) {
        return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
    });
    std::string result;
    result.reserve(doc_.text.size() + 1024);
    size_t at = 0;
    for (const Edit &edit : edits_) {
        if (edit.begin < at) {
            *error = doc_.path + ": internal error: overlapping changes";
            return false;
        }
        result.append(doc_.text, at, edit.begin - at);
        result += edit.text;
        at = edit.end;
    }
    result.append(doc_.text, at, std::string::npos);
    *out = std::move(result);
    return true;
}

bool file_exists(const std::string &path) {
#ifdef _WIN32
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
#endif
}

bool replace_file(const std::string &from, const std::string &to) {
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

bool render_lws(const LwsDocument &document, const Scene &scene, std::string *out, std::string *error) {
    return Renderer(document, scene).render(out, error);
}

bool write_lws_file(const LwsDocument &document, const Scene &scene, const std::string &path, bool overwrite,
                    std::string *error) {
    if (!overwrite && file_exists(path)) {
        *error = path + ": the file exists; not replacing it (save --force replaces it)";
        return false;
    }
    std::string text;
    if (!render_lws(document, scene, &text, error)) return false;

    const size_t slash = path.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::random_device entropy;
    const std::string temporary = folder + "." + base + "." + std::to_string(entropy() % 1000000u) + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            *error = path + ": cannot create a file in that folder";
            return false;
        }
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            *error = path + ": writing failed (disk full?); nothing was replaced";
            return false;
        }
    }
    if (!replace_file(temporary, path)) {
        std::remove(temporary.c_str());
        *error = path + ": cannot move the written file into place; nothing was replaced";
        return false;
    }
    return true;
}

}  // namespace headless
