#include "world_motion_report.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace headless {
namespace {

// Three significant digits.
std::string report_number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

// A tolerance as typed, mostly.
std::string tolerance_number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// "frame 12" or "frame 12.5".
std::string sample_label(const SampleFrame &sample) {
    if (!sample.half) return "frame " + std::to_string(sample.frame);
    const int64_t after = static_cast<int64_t>(sample.frame) + 1;  // -2.5 lies after frame -3
    return "frame " + (after <= 0 ? "-" + std::to_string(-after) : std::to_string(sample.frame)) + ".5";
}

// Name and id.
std::string report_label(const NamedItem &item) {
    if (!item.id) return "(none)";
    return (item.present ? item.name : std::string("<gone>")) + " [" + item_id_text(item.id) + "]";
}

// Said of figures the host worked out from keys where Layout moves by more.
const char kNotVerified[] = " (not verified by this host)";

void print_change(std::ostream &out, const std::string &where, const MotionChange &change, bool verified) {
    out << "    " << where << ": world position moved at most " << report_number(change.position)
        << ", world rotation turned at most " << report_number(change.degrees) << " deg";
    if (!change.finite) out << " (some samples are not numbers)";
    if (!verified) out << kNotVerified;
    out << "\n";
}

std::string frames_label(const CheckedFrames &frames) {
    const std::string span = std::to_string(frames.first) + " to " + std::to_string(frames.last);
    if (static_cast<size_t>(static_cast<int64_t>(frames.last) - frames.first + 1) == frames.count)
        return "every frame " + span;
    return std::to_string(frames.count) + " frames from " + span + " (the render range and the keyed frames)";
}

}  // namespace

// How a driver stands to the item: an ancestor by its places on the old and
// the new parent chain (0 the parent, -1 not on it).
std::string driver_relation(const MotionDriver &driver) {
    if (driver.relation == MotionDriver::kItself) return "item";
    if (driver.relation == MotionDriver::kDescendant) return "descendant";
    const int old_at = driver.old_place, new_at = driver.new_place;
    if (old_at < 0) return new_at == 0 ? "new parent" : "new ancestor";
    const std::string old_role = old_at == 0 ? "old parent" : "old ancestor";
    if (new_at < 0) return old_role;
    if ((old_at == 0) == (new_at == 0)) return old_at == 0 ? "parent" : "ancestor";
    return old_role + (new_at == 0 ? " and new parent" : " and new ancestor");
}

namespace {

std::string listing(const std::vector<std::string> &words) {
    std::string text;
    for (size_t i = 0; i < words.size(); ++i)
        text += (i == 0 ? "" : i + 1 == words.size() ? " and " : ", ") + words[i];
    return text;
}

std::string controller_name(int mode) {
    switch (mode) {
    case 1: return "point-at-target";
    case 2:
    case 4: return "align-to-path";
    case 3: return "IK";
    case 5: return "IK pole";
    case 6: return "same-item";
    case 7: return "spline";
    case -1: return "unreadable";
    default: return "mode " + std::to_string(mode);
    }
}

// "IK controllers on heading, pitch and bank", one clause per mode.
void describe_controllers(const std::array<int, 3> &modes, const char *const axes[3], std::vector<std::string> *out) {
    for (int axis = 0; axis < 3; ++axis) {
        const int mode = modes[static_cast<size_t>(axis)];
        bool first = mode != 0;
        for (int before = 0; before < axis; ++before) first = first && modes[static_cast<size_t>(before)] != mode;
        if (!first) continue;
        std::vector<std::string> on;
        for (int same = axis; same < 3; ++same)
            if (modes[static_cast<size_t>(same)] == mode) on.push_back(axes[same]);
        out->push_back(controller_name(mode) + (on.size() == 1 ? " controller on " : " controllers on ") + listing(on));
    }
}

}  // namespace

// What moves the item besides its keys, in the words of the scene file.
std::string driver_motion(const MotionDriver &driver) {
    static const char *const kRotation[3] = {"heading", "pitch", "bank"};
    static const char *const kPosition[3] = {"position X", "position Y", "position Z"};
    static const char *const kChannels[kMotionChannelCount] = {"position X", "position Y", "position Z",
                                                              "heading",    "pitch",      "bank",
                                                              "scale X",    "scale Y",    "scale Z"};
    std::vector<std::string> clauses;
    describe_controllers(driver.controllers, kRotation, &clauses);
    describe_controllers(driver.position_controllers, kPosition, &clauses);
    if (driver.goal.id) clauses.push_back("IK goal " + report_label(driver.goal));
    if (driver.target.id) clauses.push_back("target " + report_label(driver.target));
    if (driver.pole.id) clauses.push_back("IK pole " + report_label(driver.pole));
    const ItemIdValue position = driver.position_item.id;
    if (position && position == driver.rotation_item.id && position == driver.scale_item.id) {
        clauses.push_back("follows " + report_label(driver.position_item) + " (position, rotation and scale item)");
    } else {
        if (position) clauses.push_back("position item " + report_label(driver.position_item));
        if (driver.rotation_item.id) clauses.push_back("rotation item " + report_label(driver.rotation_item));
        if (driver.scale_item.id) clauses.push_back("scale item " + report_label(driver.scale_item));
    }
    for (const MotionPlugin &plugin : driver.plugins) {
        std::string lower = plugin.server;
        for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string clause = lower.find("expression") != std::string::npos ? "expression "
                             : plugin.handler_class == "ItemMotionHandler" ? "motion modifier "
                                                                           : "channel modifier ";
        clause += plugin.server.empty() ? "(unnamed)" : plugin.server;
        if (plugin.channel >= 0 && plugin.channel < kMotionChannelCount)
            clause += " on " + std::string(kChannels[plugin.channel]);
        clauses.push_back(clause);
    }
    std::string text;
    for (const std::string &clause : clauses) text += (text.empty() ? "" : "; ") + clause;
    return text;
}

std::vector<std::string> item_warnings(const WorldMotionMeasure &measure, const ItemMotionMeasure &item) {
    std::vector<std::string> warnings;
    const std::string name = report_label(item.item);
    if (!item.item.present) return warnings;
    if (item.nothing_to_unparent) warnings.push_back(name + " has no parent: nothing to un-parent");
    if (!item.changed) return warnings;
    const JudgedTolerance &tolerance = measure.tolerance;
    const ToleranceJudgement &judgement = item.judgement;
    if (item.scale_changed)
        warnings.push_back(name + ": its world scale changed by a factor of up to " +
                           report_number(item.scale_factor) +
                           "; re-parenting keeps it at the item's keys unless the chains shear it, the item is a camera "
                           "(which takes no scale) or its scale cannot be keyed");
    if (judgement.motion_beyond)
        warnings.push_back(name + ": world motion beyond the tolerance (" + tolerance_number(tolerance.distance) +
                           " units, " + tolerance_number(tolerance.degrees) + " deg) at " +
                           sample_label(judgement.motion_worst) + ": " +
                           report_number(judgement.motion_there.position) + " units, " +
                           report_number(judgement.motion_there.degrees) + " deg" +
                           (judgement.motion_there.finite ? "" : " (not a number)"));
    if (judgement.scale_beyond)
        warnings.push_back(name + ": world scale beyond the tolerance (" + tolerance_number(tolerance.percent) +
                           " %) at " + sample_label(judgement.scale_worst) + ": " +
                           report_number(judgement.scale_there) + " %");
    if (item.shears)
        warnings.push_back(name + ": the new parent chain scales unevenly (from frame " +
                           std::to_string(item.shears_from) +
                           "), so the item's world axes cannot be kept: its rotation keys cannot express the shear");
    if (!item.descendants_verified())
        warnings.push_back(name + (item.verified() ? ": Layout moves its descendants" : ": Layout moves it") +
                           " by more than keys, which this host does not evaluate; figures not verified by this host:");
    return warnings;
}

void print_world_motion(std::ostream &out, const WorldMotionMeasure &measure) {
    out << "world motion report:\n";
    if (measure.items.empty()) {
        out << "  no item was selected\n";
        return;
    }
    const JudgedTolerance &tolerance = measure.tolerance;
    if (tolerance.on)
        out << "  tolerance: " << tolerance_number(tolerance.distance) << " units, "
            << tolerance_number(tolerance.degrees) << " deg, " << tolerance_number(tolerance.percent)
            << " % scale (judged at " << tolerance_number(kJudgedSlack) << " times)\n";
    for (const ItemMotionMeasure &item : measure.items) {
        const std::string name = report_label(item.item);
        if (!item.item.present) {
            out << "  " << name << ": no longer in the scene\n";
            continue;
        }
        const std::vector<std::string> warnings = item_warnings(measure, item);
        size_t next_warning = 0;
        if (item.nothing_to_unparent) out << "  warning: " << warnings[next_warning++] << "\n";
        if (!item.changed) {
            if (!item.nothing_to_unparent) out << "  " << name << ": unchanged\n";
            continue;
        }
        const bool verified = item.verified();
        const bool descendants_verified = item.descendants_verified();

        out << "  " << (item.reparented() ? "re-parented " : "re-keyed ") << name << ": "
            << report_label(item.parent_before) << " -> " << report_label(item.parent_after)
            << "; keys given new values " << item.keys_rewritten << ", keys created " << item.keys_created;
        if (item.scale_keys_rewritten > 0 || item.scale_keys_created > 0)
            out << ", scale keys given new values " << item.scale_keys_rewritten << ", created "
                << item.scale_keys_created;
        out << "\n";
        print_change(out, "at " + std::to_string(item.key_times) + (item.key_times == 1 ? " key time" : " key times"),
                     item.at_keys, verified);
        if (measure.frames.too_many)
            out << "    frames: not checked (too many frames to hold for these items)\n";
        else if (measure.frames.count == 0)
            out << "    frames: not sampled (no usable frame range)\n";
        else
            print_change(out, frames_label(measure.frames), item.at_frames, verified);

        out << "    world scale: "
            << (item.scale_changed ? "changed by a factor of at most " + report_number(item.scale_factor) : "kept")
            << (verified ? "" : kNotVerified) << "\n";
        const ToleranceJudgement &judgement = item.judgement;
        if (judgement.judged)
            out << "    tolerance: judged at " << judgement.frames << (judgement.frames == 1 ? " frame" : " frames")
                << " and " << judgement.half_frames << (judgement.half_frames == 1 ? " half frame" : " half frames")
                << ": at most " << report_number(judgement.largest.position) << " units, "
                << report_number(judgement.largest.degrees) << " deg, " << report_number(judgement.scale_percent)
                << " % scale" << (judgement.largest.finite ? "" : " (some samples are not numbers)") << "\n";
        if (item.descendants == 0)
            out << "    descendants: none\n";
        else
            out << "    descendants: " << item.descendants << ", moved at most "
                << report_number(item.descendants_moved) << " (most: " << report_label(item.most_moved) << ")"
                << (descendants_verified ? "" : kNotVerified) << "\n";

        for (; next_warning < warnings.size(); ++next_warning) out << "  warning: " << warnings[next_warning] << "\n";
        if (!descendants_verified)
            for (const MotionDriver &driver : item.drivers)
                out << "    " << driver_relation(driver) << " " << report_label(driver.item) << ": "
                    << driver_motion(driver) << "\n";
    }
}

}  // namespace headless
