// "Channel Info 2" and "Animation Envelopes". Items carry no animation
// channels yet, so every query answers as for an item without channels.
#include "host.h"
#include "services.h"

namespace headless {
namespace {

HostId no_id2(HostId, HostId) { return nullptr; }
HostId no_id1(HostId) { return nullptr; }
const char *no_name(HostId) { return nullptr; }
int no_type(HostId) { return 0; }
double no_value(HostId, double) { return 0.0; }
int no_event(HostId, void *, void *) { return 0; }
const char *no_server(HostId, const char *, int) { return nullptr; }
unsigned no_server_flags(HostId, const char *, int) { return 0; }
void *no_instance(HostId, const char *, int) { return nullptr; }
int no_apply(HostId, const char *, const char *, int) { return 0; }
void no_remove(HostId, const char *, const char *, void *) {}

const ChannelInfo kChannelInfo = {
    no_id2,    no_id2, no_name,         no_name,     no_id1,   no_id1,   no_type,   no_value,
    no_id1,    no_event, no_server,     no_server_flags, no_instance, no_apply, no_remove,
};

HostId env_create(HostId, const char *, int) { return nullptr; }
void env_destroy(HostId) {}
HostId env_create_group(HostId, const char *) { return nullptr; }
void env_destroy_group(HostId) {}
const char *env_copy(HostId, HostId) { return "no envelopes"; }
const char *env_load(HostId, const void *) { return "no envelopes"; }
const char *env_save(HostId, const void *) { return "no envelopes"; }
int env_edit(HostId, HostId, int, void *) { return 0; }
int env_age(HostId) { return 0; }
HostId create_key(HostId, double, double) { return nullptr; }
void destroy_key(HostId, HostId) {}
HostId find_key(HostId, double) { return nullptr; }
int key_access(HostId, HostId, int, void *) { return 0; }
int env_access(HostId, HostId, int, void *) { return 0; }

const EnvelopeFuncs kEnvelopes = {
    env_create, env_destroy, env_create_group, env_destroy_group, env_copy, env_load, env_save,
    no_value,   env_edit,    env_age,          create_key,        destroy_key, find_key, no_id2,
    no_id2,     key_access,  key_access,       no_event,          env_access,  env_access,
};

}  // namespace

const ChannelInfo &channel_info_service() { return kChannelInfo; }
const EnvelopeFuncs &envelope_service() { return kEnvelopes; }

}  // namespace headless
