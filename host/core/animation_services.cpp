// "Channel Info 2" and "Animation Envelopes" over the items' motion channels.
// Handles are the addresses of the host's records (group, channel, envelope,
// key); each one coming back from a plug-in is looked up in the current scene
// before it is used, so a stale or forged handle gets null or 0. Look-ups take
// constant or logarithmic time: a command may make millions of calls.
#include <cmath>

#include "host.h"
#include "services.h"

namespace headless {
namespace {

using host_abi::kEnvTagPostBehavior;
using host_abi::kEnvTagPreBehavior;
using host_abi::kKeyTagBias;
using host_abi::kKeyTagContinuity;
using host_abi::kKeyTagTension;
constexpr int kKeyTagParamFirst = host_abi::kKeyTagParam0;
constexpr int kKeyTagParamLast = host_abi::kKeyTagParam3;
// The scene's shapes and behaviours are numbered as the interface numbers them.
static_assert(static_cast<int>(KeyShape::Tcb) == host_abi::kKeyShapeTcb &&
                  static_cast<int>(KeyShape::Hermite) == host_abi::kKeyShapeHermite &&
                  static_cast<int>(KeyShape::Bezier) == host_abi::kKeyShapeBezier &&
                  static_cast<int>(KeyShape::Linear) == host_abi::kKeyShapeLinear &&
                  static_cast<int>(KeyShape::Stepped) == host_abi::kKeyShapeStepped &&
                  static_cast<int>(KeyShape::Bezier2D) == host_abi::kKeyShapeBezier2D,
              "key shapes");

constexpr int kDone = 1;
constexpr int kRefused = 0;

Scene *scene() {
    Host *host = Host::current();
    return host ? &host->scene() : nullptr;
}

ChannelGroup *group_of(HostId handle) {
    Scene *s = scene();
    return s ? s->find_group(handle) : nullptr;
}

Channel *channel_of(HostId handle) {
    Scene *s = scene();
    return s ? s->find_channel(handle) : nullptr;
}

Envelope *envelope_of(HostId handle) {
    Scene *s = scene();
    return s ? s->find_envelope(handle) : nullptr;
}

// A key of this envelope, or null.
EnvelopeKey *key_of(Envelope *envelope, HostId handle) {
    EnvelopeKey *key = static_cast<EnvelopeKey *>(handle);
    return envelope && envelope->owns(key) ? key : nullptr;
}

// ---- Channel Info ----

// Every item's motion group sits at the root, in the host's item order; the
// groups have no subgroups.
HostId next_group(HostId parent, HostId previous) {
    Scene *s = scene();
    if (!s || parent) return nullptr;
    ItemIdValue after = 0;
    if (previous && !(after = s->group_owner(previous))) return nullptr;
    const Item *item = s->find(s->next_in_order(after));
    return item ? item->motion.get() : nullptr;
}

HostId next_channel(HostId group_handle, HostId previous) {
    const ChannelGroup *group = group_of(group_handle);
    if (!group || group->channels.empty()) return nullptr;
    if (!previous) return group->channels.front().get();
    for (size_t i = 0; i < group->channels.size(); ++i)
        if (group->channels[i].get() == previous)
            return i + 1 < group->channels.size() ? group->channels[i + 1].get() : nullptr;
    return nullptr;
}

const char *group_name(HostId handle) {
    const ChannelGroup *group = group_of(handle);
    return group ? group->name.c_str() : nullptr;
}

const char *channel_name(HostId handle) {
    const Channel *channel = channel_of(handle);
    return channel ? channel->name.c_str() : nullptr;
}

HostId group_parent(HostId) { return nullptr; }

HostId channel_parent(HostId handle) {
    const Channel *channel = channel_of(handle);
    return channel ? channel->group : nullptr;
}

int channel_type(HostId handle) {
    const Channel *channel = channel_of(handle);
    return channel ? channel->type : 0;
}

double channel_evaluate(HostId handle, double time) {
    const Channel *channel = channel_of(handle);
    return channel ? channel->envelope.evaluate(time) : 0.0;
}

HostId channel_envelope(HostId handle) {
    Channel *channel = channel_of(handle);
    return channel ? &channel->envelope : nullptr;
}

int no_event(HostId, void *, void *) { return 0; }
const char *no_server(HostId, const char *, int) { return nullptr; }
unsigned no_server_flags(HostId, const char *, int) { return 0; }
void *no_instance(HostId, const char *, int) { return nullptr; }
int no_apply(HostId, const char *, const char *, int) { return 0; }
void no_remove(HostId, const char *, const char *, void *) {}

const ChannelInfo kChannelInfo = {
    next_group,       next_channel, group_name, channel_name,    group_parent, channel_parent,
    channel_type,     channel_evaluate, channel_envelope, no_event, no_server, no_server_flags,
    no_instance,      no_apply,     no_remove,
};

// ---- Animation Envelopes ----

// The items' motion envelopes are the only ones; plug-ins cannot add their own.
HostId env_create(HostId, const char *, int) { return nullptr; }
void env_destroy(HostId) {}
HostId env_create_group(HostId, const char *) { return nullptr; }
void env_destroy_group(HostId) {}
const char *env_copy(HostId, HostId) { return "envelopes cannot be copied in this host"; }
const char *env_load(HostId, const void *) { return "envelopes cannot be loaded in this host"; }
const char *env_save(HostId, const void *) { return "envelopes cannot be saved in this host"; }
int env_edit(HostId, HostId, int, void *) { return 0; }
int env_age(HostId) { return 0; }

double env_evaluate(HostId handle, double time) {
    const Envelope *envelope = envelope_of(handle);
    return envelope ? envelope->evaluate(time) : 0.0;
}

HostId create_key(HostId handle, double time, double value) {
    Envelope *envelope = envelope_of(handle);
    if (!envelope || !std::isfinite(value)) return nullptr;
    return envelope->create_key(time, value);
}

void destroy_key(HostId handle, HostId key) {
    Envelope *envelope = envelope_of(handle);
    if (EnvelopeKey *own = key_of(envelope, key)) envelope->destroy_key(own);
}

HostId find_key(HostId handle, double time) {
    const Envelope *envelope = envelope_of(handle);
    return envelope ? envelope->find_key(time) : nullptr;
}

HostId next_key(HostId handle, HostId key) {
    Envelope *envelope = envelope_of(handle);
    if (!envelope || (key && !key_of(envelope, key))) return nullptr;
    return envelope->next_key(static_cast<EnvelopeKey *>(key));
}

HostId prev_key(HostId handle, HostId key) {
    Envelope *envelope = envelope_of(handle);
    if (!envelope || (key && !key_of(envelope, key))) return nullptr;
    return envelope->prev_key(static_cast<EnvelopeKey *>(key));
}

// The key's number for a tag; false for a tag that is not a number.
bool read_number(const Envelope &envelope, const EnvelopeKey &key, int tag, double *out) {
    if (tag == host_abi::kKeyTagValue) {
        *out = key.value;
        return true;
    }
    const KeyDetails details = envelope.details(&key);
    switch (tag) {
    case kKeyTagTension: *out = details.tension(); return true;
    case kKeyTagContinuity: *out = details.continuity(); return true;
    case kKeyTagBias: *out = details.bias(); return true;
    default: break;
    }
    if (tag < kKeyTagParamFirst || tag > kKeyTagParamLast) return false;
    *out = details.param(tag - kKeyTagParamFirst);
    return true;
}

bool write_number(Envelope &envelope, EnvelopeKey &key, int tag, double number) {
    switch (tag) {
    case host_abi::kKeyTagValue: key.value = number; return true;
    case kKeyTagTension: envelope.set_tension(&key, number); return true;
    case kKeyTagContinuity: envelope.set_continuity(&key, number); return true;
    case kKeyTagBias: envelope.set_bias(&key, number); return true;
    default: break;
    }
    if (tag < kKeyTagParamFirst || tag > kKeyTagParamLast) return false;
    envelope.set_param(&key, tag - kKeyTagParamFirst, number);
    return true;
}

int key_set(HostId handle, HostId key_handle, int tag, void *value) {
    Envelope *envelope = envelope_of(handle);
    EnvelopeKey *key = key_of(envelope, key_handle);
    if (!key || !value) return kRefused;
    if (tag == host_abi::kKeyTagShape) {
        const int shape = *static_cast<const int *>(value);
        if (shape < host_abi::kKeyShapeTcb || shape > host_abi::kKeyShapeBezier2D) return kRefused;
        // A shape the scene's file cannot keep would be refused at saving.
        const Host *host = Host::current();
        if (host && !(host->scene().key_shapes & (1u << shape))) return kRefused;
        envelope->set_shape(key, static_cast<KeyShape>(shape));
        return kDone;
    }
    const double number = *static_cast<const double *>(value);
    // A NaN or infinity would poison every evaluation near the key.
    if (!std::isfinite(number)) return kRefused;
    if (tag == host_abi::kKeyTagTime) return envelope->set_key_time(key, number) ? kDone : kRefused;
    return write_number(*envelope, *key, tag, number) ? kDone : kRefused;
}

int key_get(HostId handle, HostId key_handle, int tag, void *value) {
    Envelope *envelope = envelope_of(handle);
    EnvelopeKey *key = key_of(envelope, key_handle);
    if (!key || !value) return kRefused;
    if (tag == host_abi::kKeyTagShape) {
        *static_cast<int *>(value) = static_cast<int>(envelope->details(key).shape());
        return kDone;
    }
    if (tag == host_abi::kKeyTagTime) {
        *static_cast<double *>(value) = key->time;
        return kDone;
    }
    double number = 0.0;
    if (!read_number(*envelope, *key, tag, &number)) return kRefused;
    *static_cast<double *>(value) = number;
    return kDone;
}

int env_set(HostId handle, HostId, int tag, void *value) {
    Envelope *envelope = envelope_of(handle);
    if (!envelope || !value || (tag != kEnvTagPreBehavior && tag != kEnvTagPostBehavior)) return kRefused;
    const int behavior = *static_cast<const int *>(value);
    if (behavior < static_cast<int>(EnvelopeBehavior::Reset) || behavior > static_cast<int>(EnvelopeBehavior::Linear))
        return kRefused;
    (tag == kEnvTagPreBehavior ? envelope->pre_behavior : envelope->post_behavior) =
        static_cast<EnvelopeBehavior>(behavior);
    return kDone;
}

int env_get(HostId handle, HostId, int tag, void *value) {
    const Envelope *envelope = envelope_of(handle);
    if (!envelope || !value) return kRefused;
    int *out = static_cast<int *>(value);
    switch (tag) {
    case kEnvTagPreBehavior: *out = static_cast<int>(envelope->pre_behavior); return kDone;
    case kEnvTagPostBehavior: *out = static_cast<int>(envelope->post_behavior); return kDone;
    case host_abi::kEnvTagKeyCount: *out = static_cast<int>(envelope->key_count()); return kDone;
    default: return kRefused;
    }
}

const EnvelopeFuncs kEnvelopes = {
    env_create, env_destroy, env_create_group, env_destroy_group, env_copy, env_load,  env_save,
    env_evaluate, env_edit,  env_age,          create_key,        destroy_key, find_key, next_key,
    prev_key,   key_set,     key_get,          no_event,          env_set,     env_get,
};

}  // namespace

const ChannelInfo &channel_info_service() { return kChannelInfo; }
const EnvelopeFuncs &envelope_service() { return kEnvelopes; }

}  // namespace headless
