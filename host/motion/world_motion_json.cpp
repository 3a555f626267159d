// The world-motion report for pipelines: one JSON object a run, the same
// figures the printed report rounds, in full.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "world_motion_report.h"

namespace headless {
namespace {

class Json {
public:
    std::string text;

    // A JSON string. Names come from scene files of any age and code page:
    // valid UTF-8 goes through as it is, and any other byte is taken as the
    // Latin-1 character of that number (as older scene files mean it), so
    // the line stays valid JSON whatever a name holds.
    void string(const std::string &value) {
        text += '"';
        const size_t size = value.size();
        for (size_t i = 0; i < size;) {
            const unsigned char c = static_cast<unsigned char>(value[i]);
            if (c == '"' || c == '\\') {
                text += '\\';
                text += static_cast<char>(c);
                ++i;
            } else if (c < 0x20 || c == 0x7F) {
                static const char kHex[] = "0123456789abcdef";
                text += "\\u00";
                text += kHex[c >> 4];
                text += kHex[c & 15];
                ++i;
            } else if (c < 0x80) {
                text += static_cast<char>(c);
                ++i;
            } else if (const size_t length = utf8_length(value, i)) {
                text.append(value, i, length);
                i += length;
            } else {
                text += static_cast<char>(0xC0 | (c >> 6));
                text += static_cast<char>(0x80 | (c & 0x3F));
                ++i;
            }
        }
        text += '"';
    }
    // A number as it is (the shortest digits that read back to it), null for
    // what JSON cannot hold.
    void number(double value) {
        if (!std::isfinite(value)) {
            text += "null";
            return;
        }
        char digits[40];
        for (int precision = 15; precision <= 17; ++precision) {
            std::snprintf(digits, sizeof digits, "%.*g", precision, value);
            if (std::strtod(digits, nullptr) == value) break;
        }
        text += digits;
    }
    void count(size_t value) { text += std::to_string(value); }
    void boolean(bool value) { text += value ? "true" : "false"; }
    void null() { text += "null"; }
    // `"key":`, with a comma before it unless it opens the object.
    Json &key(const char *name) {
        if (text.back() != '{' && text.back() != '[') text += ',';
        text += '"';
        text += name;
        text += "\":";
        return *this;
    }
    // An element of an array, with the comma before it.
    void element() {
        if (text.back() != '[') text += ',';
    }

private:
    // The length of the well-formed UTF-8 sequence at `at`, 0 when none:
    // no overlong forms, no surrogates, nothing past U+10FFFF.
    static size_t utf8_length(const std::string &value, size_t at) {
        const unsigned char lead = static_cast<unsigned char>(value[at]);
        size_t length;
        unsigned char low = 0x80, high = 0xBF;  // the second byte's range
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return 0;
        }
        if (value.size() - at < length) return 0;
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(value[at + k]);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
        }
        return length;
    }
};

// An item as id and name; null for none. A gone item has no name.
void item(Json &json, const NamedItem &named) {
    if (!named.id) {
        json.null();
        return;
    }
    json.text += '{';
    json.key("id").string(item_id_text(named.id));
    json.key("name");
    if (named.present)
        json.string(named.name);
    else
        json.null();
    json.text += '}';
}

void change(Json &json, const MotionChange &motion) {
    json.text += '{';
    json.key("position").number(motion.position);
    json.key("position_frame").number(motion.position_frame);
    json.key("degrees").number(motion.degrees);
    json.key("degrees_frame").number(motion.degrees_frame);
    json.key("all_numbers").boolean(motion.finite);
    json.text += '}';
}

void sample(Json &json, const SampleFrame &at) { json.number(at.frame + (at.half ? 0.5 : 0.0)); }

// How an item's samples were held to the tolerance: null where nothing was judged.
void judgement(Json &json, const ToleranceJudgement &judgement) {
    // Held: judged and within it.
    json.key("tolerance_held");
    if (judgement.judged)
        json.boolean(!judgement.motion_beyond && !judgement.scale_beyond);
    else
        json.null();
    json.key("judged");
    if (!judgement.judged) {
        json.null();
        return;
    }
    json.text += '{';
    json.key("frames").count(judgement.frames);
    json.key("half_frames").count(judgement.half_frames);
    json.key("position").number(judgement.largest.position);
    json.key("degrees").number(judgement.largest.degrees);
    json.key("scale_percent").number(judgement.scale_percent);
    json.key("all_numbers").boolean(judgement.largest.finite);
    json.key("motion_worst_frame");
    sample(json, judgement.motion_worst);
    json.key("motion_there");
    change(json, judgement.motion_there);
    json.key("scale_worst_frame");
    sample(json, judgement.scale_worst);
    json.key("scale_percent_there").number(judgement.scale_there);
    json.text += '}';
}

// The figures of an item the command changed.
void changed_item(Json &json, const WorldMotionMeasure &measure, const ItemMotionMeasure &one) {
    json.key("reparented").boolean(one.reparented());
    json.key("old_parent");
    item(json, one.parent_before);
    json.key("new_parent");
    item(json, one.parent_after);
    json.key("keys_rewritten").count(one.keys_rewritten);
    json.key("keys_created").count(one.keys_created);
    json.key("scale_keys_rewritten").count(one.scale_keys_rewritten);
    json.key("scale_keys_created").count(one.scale_keys_created);
    json.key("verified").boolean(one.verified());
    json.key("key_times").count(one.key_times);
    json.key("at_keys");
    change(json, one.at_keys);
    json.key("at_frames");
    if (measure.frames.too_many || measure.frames.count == 0)
        json.null();
    else
        change(json, one.at_frames);
    json.key("half_frames");
    if (measure.tolerance.on)
        json.count(one.half_frames);
    else
        json.null();
    json.key("at_half_frames");
    if (measure.tolerance.on && one.half_frames > 0)
        change(json, one.at_half_frames);
    else
        json.null();
    json.key("scale_changed").boolean(one.scale_changed);
    json.key("scale_factor").number(one.scale_factor);
    json.key("descendants").count(one.descendants);
    json.key("descendants_moved").number(one.descendants > 0 ? one.descendants_moved : 0.0);
    json.key("most_moved");
    item(json, one.most_moved);
    json.key("shears").boolean(one.shears);
    json.key("shears_from");
    if (one.shears)
        json.number(one.shears_from);
    else
        json.null();
    judgement(json, one.judgement);
}

// What moves the item or its chain beyond keys, where that leaves its figures unverified.
void not_verified(Json &json, const ItemMotionMeasure &one) {
    json.key("not_verified").text += '[';
    if (one.item.present && one.changed && !one.descendants_verified())
        for (const MotionDriver &driver : one.drivers) {
            json.element();
            json.text += '{';
            json.key("item");
            item(json, driver.item);
            json.key("relation").string(driver_relation(driver));
            json.key("what").string(driver_motion(driver));
            json.text += '}';
        }
    json.text += ']';
}

void item_measure(Json &json, const WorldMotionMeasure &measure, const ItemMotionMeasure &one) {
    json.text += '{';
    json.key("id").string(item_id_text(one.item.id));
    json.key("name");
    if (one.item.present)
        json.string(one.item.name);
    else
        json.null();
    json.key("present").boolean(one.item.present);
    json.key("nothing_to_unparent").boolean(one.nothing_to_unparent);
    json.key("changed").boolean(one.item.present && one.changed);
    if (one.item.present && one.changed) changed_item(json, measure, one);
    json.key("warnings").text += '[';
    for (const std::string &warning : item_warnings(measure, one)) {
        json.element();
        json.string(warning);
    }
    json.text += ']';
    not_verified(json, one);
    json.text += '}';
}

}  // namespace

std::string world_motion_json(const RunFacts &run, const WorldMotionMeasure &measure) {
    Json json;
    json.text += '{';
    json.key("command").string(run.command);
    json.key("arguments").string(run.arguments);
    json.key("result").number(run.result);
    json.key("scene");
    if (run.scene_file.empty())
        json.null();
    else
        json.string(run.scene_file);
    const JudgedTolerance &tolerance = measure.tolerance;
    json.key("tolerance");
    if (tolerance.on) {
        json.text += '{';
        json.key("distance").number(tolerance.distance);
        json.key("degrees").number(tolerance.degrees);
        json.key("scale_percent").number(tolerance.percent);
        json.key("judged_at").number(kJudgedSlack);
        json.text += '}';
    } else {
        json.null();
    }
    json.key("frames");
    if (measure.frames.too_many || measure.frames.count == 0 || measure.items.empty()) {
        json.null();
    } else {
        json.text += '{';
        json.key("first").number(measure.frames.first);
        json.key("last").number(measure.frames.last);
        json.key("count").count(measure.frames.count);
        json.text += '}';
    }
    json.key("frames_too_many").boolean(measure.frames.too_many);
    json.key("warnings").number(measure.warnings());
    json.key("items").text += '[';
    for (const ItemMotionMeasure &one : measure.items) {
        json.element();
        item_measure(json, measure, one);
    }
    json.text += "]}";
    return json.text;
}

}  // namespace headless
