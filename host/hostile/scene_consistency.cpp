#include "scene_consistency.h"

#include <algorithm>
#include <set>

namespace headless {
namespace {

std::string hierarchy_fault(const Scene &scene, const Item &item, size_t item_count) {
    const std::string who = "item " + item_id_text(item.id);
    if (item.parent) {
        const Item *parent = scene.find(item.parent);
        if (!parent) return who + " has parent " + item_id_text(item.parent) + ", which is not an item";
        if (std::count(parent->children.begin(), parent->children.end(), item.id) != 1)
            return who + " is not listed once among its parent's children";
        if (item.kind == ItemKind::Bone && parent->id != bone_owner(item.id) &&
            !(parent->kind == ItemKind::Bone && bone_owner(parent->id) == bone_owner(item.id)))
            return who + " is a bone parented outside its object";
    } else if (item.kind == ItemKind::Bone) {
        return who + " is a bone without a parent";
    }
    for (ItemIdValue child : item.children) {
        const Item *c = scene.find(child);
        if (!c) return who + " lists child " + item_id_text(child) + ", which is not an item";
        if (c->parent != item.id) return who + " lists child " + item_id_text(child) + ", whose parent is another";
    }
    const Item *walk = &item;
    for (size_t steps = 0; walk && walk->parent; ++steps) {
        if (steps > item_count) return who + " lies on a cycle of parents";
        walk = scene.find(walk->parent);
    }
    return "";
}

}  // namespace

std::string scene_consistency_fault(const Scene &scene) {
    const std::vector<ItemIdValue> items = scene.all_items();
    std::set<ItemIdValue> seen;
    for (ItemIdValue id : items) {
        if (!seen.insert(id).second) return "item " + item_id_text(id) + " is listed twice";
        const Item *item = scene.find(id);
        if (!item) return "listed item " + item_id_text(id) + " is not in the scene";
        if (item->id != id || kind_of(id) != item->kind) return "item " + item_id_text(id) + " has a wrong id or kind";
    }
    for (ItemIdValue id : items) {
        const Item &item = *scene.find(id);
        const std::string fault = hierarchy_fault(scene, item, items.size());
        if (!fault.empty()) return fault;
        for (ItemIdValue link : {item.target, item.goal, item.pole, item.position_item, item.rotation_item,
                                 item.scale_item})
            if (link && !scene.find(link)) return "item " + item_id_text(id) + " links to " + item_id_text(link) + ", not an item";
    }
    for (ItemIdValue selected : scene.selection)
        if (!seen.count(selected)) return "selected " + item_id_text(selected) + " is not an item";
    return "";
}

}  // namespace headless
