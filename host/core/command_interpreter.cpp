#include "command_interpreter.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

#include "interface/command_verbs.h"
#include "interface/host_api.h"
#include "parent_in_place.h"

namespace headless {
namespace {

enum class Argument { None, ItemId, Mode };

using ApplyFn = std::string (*)(Scene &scene, uint32_t value);

struct KnownCommand {
    const char *name;
    Argument argument;
    ApplyFn apply;
};

// Hex ids as the host takes them: one to eight digits of either case.
bool parse_hex_id(const std::string &word, uint32_t *out) {
    if (word.empty() || word.size() > 8) return false;
    uint32_t value = 0;
    for (char c : word) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    *out = value;
    return true;
}

// Controller modes are small decimal numbers.
bool parse_mode(const std::string &word, uint32_t *out) {
    if (word.empty() || word.size() > 2) return false;
    uint32_t value = 0;
    for (char c : word) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    *out = value;
    return true;
}

std::string require_selection(const Scene &scene) { return scene.selection.empty() ? "no item is selected" : ""; }

// Links to item 0 clear; any other id must name an item of the scene.
std::string require_link_item(const Scene &scene, uint32_t id) {
    if (id != 0 && !scene.find(id)) return "no item " + item_id_text(id) + " in the scene";
    return require_selection(scene);
}

template <ItemIdValue ItemLinks::*Link>
std::string set_link(Scene &scene, uint32_t id) {
    const std::string refused = require_link_item(scene, id);
    if (!refused.empty()) return refused;
    for (ItemIdValue selected : scene.selection)
        if (Item *item = scene.find(selected)) item->*Link = id;
    return "";
}

std::string set_parent(Scene &scene, uint32_t id) {
    std::string refused = require_link_item(scene, id);
    if (!refused.empty()) return refused;
    // Each item on its own: one refusal does not stop the others.
    for (ItemIdValue selected : scene.selection) {
        const bool in_place = scene.general_flags & host_abi::kGeneralFlagParentInPlace;
        const std::string why = in_place ? set_parent_in_place(scene, selected, id) : scene.set_parent(selected, id);
        if (why.empty()) continue;
        const Item *item = scene.find(selected);
        refused += (refused.empty() ? "" : "; ") + (item ? item->name : item_id_text(selected)) + ": " + why;
    }
    return refused;
}

template <int Channel>
std::string set_controller(Scene &scene, uint32_t mode) {
    const std::string refused = require_selection(scene);
    if (!refused.empty()) return refused;
    for (ItemIdValue selected : scene.selection)
        if (Item *item = scene.find(selected)) item->controllers[Channel] = static_cast<int>(mode);
    return "";
}

std::string toggle_full_time_ik(Scene &scene, uint32_t) {
    const std::string refused = require_selection(scene);
    if (!refused.empty()) return refused;
    for (ItemIdValue selected : scene.selection)
        if (Item *item = scene.find(selected)) item->flags ^= host_abi::kItemFlagFullTimeIk;
    return "";
}

std::string select_item(Scene &scene, uint32_t id) {
    if (!scene.find(id)) return "no item " + item_id_text(id) + " in the scene";
    scene.selection.assign(1, id);
    return "";
}

std::string add_to_selection(Scene &scene, uint32_t id) {
    if (!scene.find(id)) return "no item " + item_id_text(id) + " in the scene";
    if (std::find(scene.selection.begin(), scene.selection.end(), id) == scene.selection.end())
        scene.selection.push_back(id);
    return "";
}

std::string toggle_parent_in_place(Scene &scene, uint32_t) {
    scene.general_flags ^= host_abi::kGeneralFlagParentInPlace;
    return "";
}

// While Parent in Place is on, Layout keeps a re-parented item where it is in
// the world at the current time (parent_in_place.h).
const KnownCommand kCommands[] = {
    {host_verbs::kParentItem, Argument::ItemId, set_parent},
    {host_verbs::kTargetItem, Argument::ItemId, set_link<&Item::target>},
    {host_verbs::kGoalItem, Argument::ItemId, set_link<&Item::goal>},
    {host_verbs::kPoleItem, Argument::ItemId, set_link<&Item::pole>},
    {host_verbs::kPositionItem, Argument::ItemId, set_link<&Item::position_item>},
    {host_verbs::kRotationItem, Argument::ItemId, set_link<&Item::rotation_item>},
    {host_verbs::kScaleItem, Argument::ItemId, set_link<&Item::scale_item>},
    {host_verbs::kHController, Argument::Mode, set_controller<0>},
    {host_verbs::kPController, Argument::Mode, set_controller<1>},
    {host_verbs::kBController, Argument::Mode, set_controller<2>},
    {host_verbs::kFullTimeIK, Argument::None, toggle_full_time_ik},
    {host_verbs::kSelectItem, Argument::ItemId, select_item},
    {host_verbs::kAddToSelection, Argument::ItemId, add_to_selection},
    {host_verbs::kParentInPlace, Argument::None, toggle_parent_in_place},
};

}  // namespace

std::string apply_command_text(Scene &scene, const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty()) return "empty command text";

    const KnownCommand *known = nullptr;
    for (const KnownCommand &candidate : kCommands)
        if (words[0] == candidate.name) known = &candidate;
    if (!known) return "unknown command '" + words[0] + "'";

    const size_t expected_words = known->argument == Argument::None ? 1 : 2;
    if (words.size() < expected_words) return words[0] + " needs an argument";
    if (words.size() > expected_words) return words[0] + ": unexpected '" + words[expected_words] + "'";

    uint32_t value = 0;
    if (known->argument == Argument::ItemId && !parse_hex_id(words[1], &value))
        return words[0] + ": '" + words[1] + "' is not a hexadecimal item id";
    if (known->argument == Argument::Mode && !parse_mode(words[1], &value))
        return words[0] + ": '" + words[1] + "' is not a controller mode";
    return known->apply(scene, value);
}

}  // namespace headless
