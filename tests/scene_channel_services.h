// Channel and envelope services over the headless scene's motion channels, for
// tests that run before the host hands out its own: handles are the scene's
// ChannelGroup, Channel, Envelope and EnvelopeKey addresses.
#pragma once

#include "host/host.h"
#include "host/services.h"

namespace headless {
namespace scene_channels {

inline HostId channel_group(HostId item) {
    Item *found = Host::current()->scene().find(from_handle(item));
    return found ? found->motion.get() : nullptr;
}

inline HostId next_channel(HostId group, HostId previous) {
    auto *g = static_cast<ChannelGroup *>(group);
    if (!previous) return g->channels.empty() ? nullptr : g->channels.front().get();
    for (size_t i = 0; i + 1 < g->channels.size(); ++i)
        if (g->channels[i].get() == previous) return g->channels[i + 1].get();
    return nullptr;
}

inline HostId channel_envelope(HostId channel) { return &static_cast<Channel *>(channel)->envelope; }

inline Envelope *env(HostId envelope) { return static_cast<Envelope *>(envelope); }
inline EnvelopeKey *key(HostId k) { return static_cast<EnvelopeKey *>(k); }

inline HostId create_key(HostId envelope, double time, double value) { return env(envelope)->create_key(time, value); }
inline HostId next_key(HostId envelope, HostId k) { return env(envelope)->next_key(key(k)); }
inline HostId prev_key(HostId envelope, HostId k) { return env(envelope)->prev_key(key(k)); }

inline int key_set(HostId, HostId k, int tag, void *value) {
    if (tag != host_abi::kKeyTagValue) return 0;
    key(k)->value = *static_cast<double *>(value);
    return 1;
}

inline int key_get(HostId, HostId k, int tag, void *value) {
    if (tag == host_abi::kKeyTagValue) *static_cast<double *>(value) = key(k)->value;
    else if (tag == host_abi::kKeyTagTime) *static_cast<double *>(value) = key(k)->time;
    else return 0;
    return 1;
}

inline int env_get(HostId envelope, HostId, int tag, void *value) {
    if (tag != host_abi::kEnvTagKeyCount) return 0;
    *static_cast<int32_t *>(value) = static_cast<int32_t>(env(envelope)->key_count());
    return 1;
}

struct Services {
    ItemInfo item_info;
    ChannelInfo channel_info;
    EnvelopeFuncs envelopes;
};

inline Services make() {
    Services s{item_info_service(), channel_info_service(), envelope_service()};
    s.item_info.channel_group = channel_group;
    s.channel_info.next_channel = next_channel;
    s.channel_info.channel_envelope = channel_envelope;
    s.envelopes.create_key = create_key;
    s.envelopes.next_key = next_key;
    s.envelopes.prev_key = prev_key;
    s.envelopes.key_set = key_set;
    s.envelopes.key_get = key_get;
    s.envelopes.env_get = env_get;
    return s;
}

}  // namespace scene_channels
}  // namespace headless
