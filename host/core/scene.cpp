#include "scene.h"

#include <algorithm>
#include <cstdio>

namespace headless {

namespace {

ItemIdValue id_of(ItemIdValue id) { return id; }
template <class Entry>
ItemIdValue id_of(const Entry &entry) { return entry.id; }

// Walks ask for the item after the one they were just given: a remembered
// position makes each step constant time, so walking a list is linear.
// The hint is checked against the list, never trusted. Otherwise the search
// starts at the end, where a scene being read adds the bones' objects.
template <class List>
size_t position_in(const List &list, ItemIdValue id, size_t *hint) {
    if (*hint < list.size() && id_of(list[*hint]) == id) return *hint;
    for (size_t i = list.size(); i-- > 0;)
        if (id_of(list[i]) == id) return *hint = i;
    return list.size();
}

// The entry after `id` in `list`, or 0; leaves the hint on the returned entry.
template <class List>
ItemIdValue entry_after(const List &list, ItemIdValue id, size_t *hint) {
    const size_t at = position_in(list, id, hint);
    if (at + 1 >= list.size()) return 0;
    *hint = at + 1;
    return id_of(list[at + 1]);
}

}  // namespace

const char *item_kind_name(ItemKind kind) {
    switch (kind) {
    case ItemKind::Object: return "object";
    case ItemKind::Light: return "light";
    case ItemKind::Camera: return "camera";
    case ItemKind::Bone: return "bone";
    }
    return "unknown";
}

Vec3 Item::motion_at(MotionChannel first, double at) const {
    Vec3 out;
    for (int i = 0; i < 3; ++i) out[i] = motion->channels[first + i]->envelope.evaluate(at);
    return out;
}

void Item::set_static(MotionChannel first, const Vec3 &value) {
    for (int i = 0; i < 3; ++i) motion->channels[first + i]->envelope.default_value = value[i];
}

std::string item_id_text(ItemIdValue id) {
    char buffer[12];
    std::snprintf(buffer, sizeof buffer, "%08X", id);
    return buffer;
}

Scene::Scene() = default;

ItemIdValue Scene::add_item(ItemKind kind, ItemIdValue id, const std::string &item_name) {
    auto item = std::make_unique<Item>();
    item->id = id;
    item->kind = kind;
    item->name = item_name;
    item->motion = make_motion_group(item_name);
    register_motion(*item);
    items_[id] = std::move(item);
    return id;
}

ItemIdValue Scene::add_object(const std::string &item_name) {
    if (next_object_serial_ > host_numbering::kObjectSerialMask) return 0;  // a bone id has 16 bits for its object
    const ItemIdValue id = host_numbering::item_id(host_abi::kIdKindObject, next_object_serial_++);
    objects_.push_back(ObjectEntry{id, {}, 0});
    return add_item(ItemKind::Object, id, item_name);
}

ItemIdValue Scene::add_light(const std::string &item_name) {
    if (next_light_serial_ > host_numbering::kSerialMask) return 0;
    const ItemIdValue id = host_numbering::item_id(host_abi::kIdKindLight, next_light_serial_++);
    lights_.push_back(id);
    return add_item(ItemKind::Light, id, item_name);
}

ItemIdValue Scene::add_camera(const std::string &item_name) {
    if (next_camera_serial_ > host_numbering::kSerialMask) return 0;
    const ItemIdValue id = host_numbering::item_id(host_abi::kIdKindCamera, next_camera_serial_++);
    cameras_.push_back(id);
    return add_item(ItemKind::Camera, id, item_name);
}

const Scene::ObjectEntry *Scene::object_entry(ItemIdValue object) const {
    const size_t at = position_in(objects_, object, &owner_hint_);
    return at < objects_.size() ? &objects_[at] : nullptr;
}

Scene::ObjectEntry *Scene::object_entry(ItemIdValue object) {
    return const_cast<ObjectEntry *>(static_cast<const Scene *>(this)->object_entry(object));
}

ItemIdValue Scene::add_bone(ItemIdValue object, const std::string &item_name) {
    ObjectEntry *entry = object_entry(object);
    if (!entry || entry->next_bone_serial > host_numbering::kBoneSerialMax) return 0;
    const ItemIdValue id = host_numbering::bone_id(object, entry->next_bone_serial++);
    entry->bones.push_back(id);
    add_item(ItemKind::Bone, id, item_name);
    Item &bone = *items_[id];
    bone.parent = object;
    items_[object]->children.push_back(id);
    return id;
}

ItemIdValue Scene::add_with_id(ItemIdValue id, const std::string &item_name) {
    if (find(id)) return 0;
    const uint32_t number = id & host_numbering::kSerialMask;
    switch (kind_of(id)) {
    case ItemKind::Object:
        if (number > host_numbering::kObjectSerialMask) return 0;
        next_object_serial_ = std::max(next_object_serial_, number + 1);
        objects_.push_back(ObjectEntry{id, {}, 0});
        return add_item(ItemKind::Object, id, item_name);
    case ItemKind::Light:
        next_light_serial_ = std::max(next_light_serial_, number + 1);
        lights_.push_back(id);
        return add_item(ItemKind::Light, id, item_name);
    case ItemKind::Camera:
        next_camera_serial_ = std::max(next_camera_serial_, number + 1);
        cameras_.push_back(id);
        return add_item(ItemKind::Camera, id, item_name);
    case ItemKind::Bone: {
        const ItemIdValue object = bone_owner(id);
        ObjectEntry *entry = object_entry(object);
        if (!entry) return 0;
        const uint32_t serial = (id >> host_numbering::kBoneSerialShift) & host_numbering::kBoneSerialMax;
        entry->next_bone_serial = std::max(entry->next_bone_serial, serial + 1);
        entry->bones.push_back(id);
        add_item(ItemKind::Bone, id, item_name);
        items_[id]->parent = object;
        items_[object]->children.push_back(id);
        return id;
    }
    }
    return 0;
}

Item *Scene::find(ItemIdValue id) {
    auto it = items_.find(id);
    return it == items_.end() ? nullptr : it->second.get();
}

const Item *Scene::find(ItemIdValue id) const {
    auto it = items_.find(id);
    return it == items_.end() ? nullptr : it->second.get();
}

const Item *Scene::find_by_name(const std::string &item_name) const {
    for (ItemIdValue id : all_items()) {
        const Item *item = find(id);
        if (item->name == item_name) return item;
    }
    return nullptr;
}

const std::vector<ItemIdValue> *Scene::list_of(ItemIdValue id) const {
    switch (kind_of(id)) {
    case ItemKind::Light: return &lights_;
    case ItemKind::Camera: return &cameras_;
    case ItemKind::Bone: {
        const ObjectEntry *owner = object_entry(bone_owner(id));
        return owner ? &owner->bones : nullptr;
    }
    case ItemKind::Object: return nullptr;
    }
    return nullptr;
}

ItemIdValue Scene::first(int kind_index, ItemIdValue bone_owner_id) const {
    switch (kind_index) {
    case 0: return objects_.empty() ? 0 : objects_.front().id;
    case 1: return lights_.empty() ? 0 : lights_.front();
    case 2: return cameras_.empty() ? 0 : cameras_.front();
    case 3: {
        const ObjectEntry *owner = object_entry(bone_owner_id);
        return owner && !owner->bones.empty() ? owner->bones.front() : 0;
    }
    default: return 0;
    }
}

ItemIdValue Scene::next(ItemIdValue id) const {
    if (!find(id)) return 0;
    // Objects keep their own place: a walk through an object's bones
    // between two objects leaves it where it was.
    if (kind_of(id) == ItemKind::Object) return entry_after(objects_, id, &owner_hint_);
    const std::vector<ItemIdValue> *list = list_of(id);
    return list ? entry_after(*list, id, &list_hint_) : 0;
}

ItemIdValue Scene::first_child(ItemIdValue parent) const {
    const Item *item = find(parent);
    return item && !item->children.empty() ? item->children.front() : 0;
}

ItemIdValue Scene::next_child(ItemIdValue parent, ItemIdValue previous) const {
    const Item *item = find(parent);
    return item ? entry_after(item->children, previous, &child_hint_) : 0;
}

std::vector<ItemIdValue> Scene::all_items() const {
    std::vector<ItemIdValue> out;
    out.reserve(items_.size());
    for (const ObjectEntry &e : objects_) {
        out.push_back(e.id);
        out.insert(out.end(), e.bones.begin(), e.bones.end());
    }
    out.insert(out.end(), lights_.begin(), lights_.end());
    out.insert(out.end(), cameras_.begin(), cameras_.end());
    return out;
}

bool Scene::is_ancestor(ItemIdValue ancestor, ItemIdValue id) const {
    const Item *item = find(id);
    // The hierarchy is kept free of cycles, but bound the walk all the same.
    for (size_t steps = 0; item && item->parent && steps <= items_.size(); ++steps) {
        if (item->parent == ancestor) return true;
        item = find(item->parent);
    }
    return false;
}

void Scene::detach_from_parent(Item &item) {
    if (!item.parent) return;
    if (Item *old_parent = find(item.parent)) {
        auto &siblings = old_parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), item.id), siblings.end());
    }
    item.parent = 0;
}

std::string Scene::set_parent(ItemIdValue id, ItemIdValue parent) {
    Item *item = find(id);
    if (!item) return "no such item";
    if (item->kind == ItemKind::Bone && parent == 0) parent = bone_owner(id);
    if (parent != 0) {
        if (!find(parent)) return "no such parent item";
        if (parent == id) return "an item cannot be its own parent";
        if (is_ancestor(id, parent)) return "the new parent lies below the item in the hierarchy";
        if (item->kind == ItemKind::Bone &&
            !(parent == bone_owner(id) || (kind_of(parent) == ItemKind::Bone && bone_owner(parent) == bone_owner(id))))
            return "a bone can only be parented within its own object";
    }
    if (item->parent == parent) return "";
    detach_from_parent(*item);
    item->parent = parent;
    if (parent) find(parent)->children.push_back(id);
    return "";
}

bool Scene::remove_item(ItemIdValue id) {
    Item *item = find(id);
    if (!item) return false;
    std::vector<ItemIdValue> doomed{id};
    if (const ObjectEntry *entry = item->kind == ItemKind::Object ? object_entry(id) : nullptr)
        doomed.insert(doomed.end(), entry->bones.begin(), entry->bones.end());
    for (ItemIdValue gone : doomed) {
        Item *g = find(gone);
        if (!g) continue;
        detach_from_parent(*g);
        for (ItemIdValue child : std::vector<ItemIdValue>(g->children)) {
            Item *c = find(child);
            if (!c || std::find(doomed.begin(), doomed.end(), child) != doomed.end()) continue;
            c->parent = 0;
            if (c->kind == ItemKind::Bone) {
                c->parent = bone_owner(child);
                if (Item *owner = find(c->parent)) owner->children.push_back(child);
            }
        }
        g->children.clear();
    }
    for (ItemIdValue gone : doomed) {
        if (const Item *g = find(gone)) forget_motion(*g);
        items_.erase(gone);
    }
    for (auto &entry : items_) {
        Item &other = *entry.second;
        for (ItemIdValue *link : {&other.target, &other.goal, &other.pole, &other.position_item,
                                  &other.rotation_item, &other.scale_item})
            if (std::find(doomed.begin(), doomed.end(), *link) != doomed.end()) *link = 0;
    }
    switch (kind_of(id)) {
    case ItemKind::Object:
        objects_.erase(std::remove_if(objects_.begin(), objects_.end(), [&](const ObjectEntry &e) { return e.id == id; }),
                       objects_.end());
        break;
    case ItemKind::Light: lights_.erase(std::remove(lights_.begin(), lights_.end(), id), lights_.end()); break;
    case ItemKind::Camera: cameras_.erase(std::remove(cameras_.begin(), cameras_.end(), id), cameras_.end()); break;
    case ItemKind::Bone:
        if (ObjectEntry *owner = object_entry(bone_owner(id)))
            owner->bones.erase(std::remove(owner->bones.begin(), owner->bones.end(), id), owner->bones.end());
        break;
    }
    selection.erase(std::remove_if(selection.begin(), selection.end(),
                                   [&](ItemIdValue s) { return std::find(doomed.begin(), doomed.end(), s) != doomed.end(); }),
                    selection.end());
    return true;
}

}  // namespace headless
