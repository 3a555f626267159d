// Resolving the motion handles a plug-in passes back to the host.
#include "scene.h"

namespace headless {

ChannelGroup *Scene::find_group(const void *handle) const {
    if (!handle) return nullptr;
    for (const auto &entry : items_)
        if (entry.second->motion.get() == handle) return entry.second->motion.get();
    return nullptr;
}

Channel *Scene::find_channel(const void *handle) const {
    if (!handle) return nullptr;
    for (const auto &entry : items_)
        for (const auto &channel : entry.second->motion->channels)
            if (channel.get() == handle) return channel.get();
    return nullptr;
}

Envelope *Scene::find_envelope(const void *handle) const {
    if (!handle) return nullptr;
    for (const auto &entry : items_)
        for (const auto &channel : entry.second->motion->channels)
            if (&channel->envelope == handle) return &channel->envelope;
    return nullptr;
}

}  // namespace headless
