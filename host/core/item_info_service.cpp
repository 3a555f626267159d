// "LW Item Info 3" over the headless scene.
#include "host.h"
#include "services.h"
#include "host/core/world_transform.h"

namespace headless {
namespace {

Scene *scene() {
    Host *host = Host::current();
    return host ? &host->scene() : nullptr;
}

const Item *item_of(HostId handle) {
    Scene *s = scene();
    return s ? s->find(from_handle(handle)) : nullptr;
}

HostId first(int kind_index, HostId bone_owner_handle) {
    Scene *s = scene();
    return s ? to_handle(s->first(kind_index, from_handle(bone_owner_handle))) : nullptr;
}

HostId next(HostId item) {
    Scene *s = scene();
    return s ? to_handle(s->next(from_handle(item))) : nullptr;
}

HostId first_child(HostId parent) {
    Scene *s = scene();
    return s ? to_handle(s->first_child(from_handle(parent))) : nullptr;
}

HostId next_child(HostId parent, HostId previous) {
    Scene *s = scene();
    return s ? to_handle(s->next_child(from_handle(parent), from_handle(previous))) : nullptr;
}

HostId parent(HostId handle) {
    const Item *item = item_of(handle);
    return item ? to_handle(item->parent) : nullptr;
}

HostId target(HostId handle) {
    const Item *item = item_of(handle);
    return item ? to_handle(item->target) : nullptr;
}

HostId goal(HostId handle) {
    const Item *item = item_of(handle);
    return item ? to_handle(item->goal) : nullptr;
}

int type(HostId handle) {
    const Item *item = item_of(handle);
    return item ? static_cast<int>(item->kind) - 1 : -1;
}

const char *name(HostId handle) {
    const Item *item = item_of(handle);
    return item ? item->name.c_str() : nullptr;
}

void param(HostId handle, int code, double time, double *out) {
    if (!out) return;
    out[0] = out[1] = out[2] = 0.0;
    const Item *item = item_of(handle);
    if (!item) return;
    Vec3 value;
    switch (code) {
    case host_abi::kParamPosition: value = item->motion_at(kPositionX, time); break;
    case host_abi::kParamRotation: value = item->motion_at(kHeading, time); break;
    case host_abi::kParamScaling: value = item->motion_at(kScaleX, time); break;
    case host_abi::kParamPivot: value = item->pivot; break;
    case host_abi::kParamPivotRotation: value = item->pivot_rotation; break;
    case host_abi::kParamWorldPosition: value = world_position(*scene(), item->id, time); break;
    case host_abi::kParamWorldRight: value = world_axes(*scene(), item->id, time).right; break;
    case host_abi::kParamWorldUp: value = world_axes(*scene(), item->id, time).up; break;
    case host_abi::kParamWorldForward: value = world_axes(*scene(), item->id, time).forward; break;
    default: return;
    }
    for (int i = 0; i < 3; ++i) out[i] = value[i];
}

unsigned limits(HostId, int, double *, double *) { return 0; }
const char *get_tag(HostId, int) { return nullptr; }
void set_tag(HostId, int, const char *) {}
HostId channel_group(HostId handle) {
    const Item *item = item_of(handle);
    return item ? item->motion.get() : nullptr;
}
const char *server(HostId, const char *, int) { return nullptr; }
unsigned server_flags(HostId, const char *, int) { return 0; }

void controller(HostId handle, int, int out[3]) {
    if (!out) return;
    const Item *item = item_of(handle);
    for (int i = 0; i < 3; ++i) out[i] = item ? item->controllers[i] : 0;
}

unsigned flags(HostId handle) {
    const Item *item = item_of(handle);
    return item ? item->flags : 0;
}

double look_ahead(HostId) { return 0.0; }
double goal_strength(HostId) { return 1.0; }

void stiffness(HostId, int, double *out) {
    if (out) out[0] = out[1] = out[2] = 0.0;
}

const ItemInfo kItemInfo = {
    first,   next,          first_child, next_child, parent,       target,     goal,
    type,    name,          param,       limits,     get_tag,      set_tag,    channel_group,
    server,  server_flags,  controller,  flags,      look_ahead,   goal_strength, stiffness,
};

}  // namespace

const ItemInfo &item_info_service() { return kItemInfo; }

}  // namespace headless
