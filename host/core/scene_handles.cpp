// Resolving the motion handles a plug-in passes back to the host.
#include "scene.h"

namespace headless {

void Scene::forget_resolved() const {
    for (ResolvedHandle &r : resolved_) r = ResolvedHandle{};
}

void Scene::register_motion(const Item &item) {
    forget_resolved();
    if (!item.motion) return;
    handles_[item.motion.get()] = {item.id, HandleKind::Group, 0};
    const auto &channels = item.motion->channels;
    for (size_t c = 0; c < channels.size() && c <= 0xFF; ++c) {
        handles_[channels[c].get()] = {item.id, HandleKind::Channel, static_cast<uint8_t>(c)};
        handles_[&channels[c]->envelope] = {item.id, HandleKind::Envelope, static_cast<uint8_t>(c)};
    }
}

void Scene::forget_motion(const Item &item) {
    forget_resolved();
    if (!item.motion) return;
    handles_.erase(item.motion.get());
    for (const auto &channel : item.motion->channels) {
        handles_.erase(channel.get());
        handles_.erase(&channel->envelope);
    }
}

void *Scene::resolve_anew(const void *handle, HandleKind kind) const {
    if (!handle) return nullptr;
    ResolvedHandle &last = resolved_slot(handle);
    const auto entry = handles_.find(handle);
    if (entry == handles_.end() || entry->second.kind != kind) return nullptr;
    const Item *item = find(entry->second.item);
    if (!item || !item->motion) return nullptr;
    ChannelGroup *group = item->motion.get();
    if (kind == HandleKind::Group) {
        if (group != handle) return nullptr;
        last = {handle, group, kind};
        return group;
    }
    const size_t c = entry->second.channel;
    if (c >= group->channels.size()) return nullptr;
    Channel *channel = group->channels[c].get();
    void *record = kind == HandleKind::Channel ? static_cast<void *>(channel) : static_cast<void *>(&channel->envelope);
    if (record != handle) return nullptr;
    last = {handle, record, kind};
    return record;
}

ItemIdValue Scene::group_owner(const void *group) const {
    return find_group(group) ? handles_.find(group)->second.item : 0;
}

ItemIdValue Scene::next_in_order(ItemIdValue id) const {
    // The first item of the lists from `kind_index` (0 objects, 1 lights, 2 cameras) on.
    const auto first_from = [this](int kind_index) -> ItemIdValue {
        for (int k = kind_index; k < 3; ++k)
            if (const ItemIdValue f = first(k, 0)) return f;
        return 0;
    };
    const auto after_object = [&](ItemIdValue object) -> ItemIdValue {
        const ItemIdValue n = next(object);
        return n ? n : first_from(1);
    };
    if (!id) return first_from(0);
    if (!find(id)) return 0;
    ItemIdValue n = 0;
    switch (kind_of(id)) {
    case ItemKind::Object: return (n = first(3, id)) ? n : after_object(id);
    case ItemKind::Bone: return (n = next(id)) ? n : after_object(bone_owner(id));
    case ItemKind::Light: return (n = next(id)) ? n : first_from(2);
    case ItemKind::Camera: return next(id);
    }
    return 0;
}

}  // namespace headless
