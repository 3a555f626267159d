#include "hostile_host.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "host/core/command_interpreter.h"

namespace headless {

const uint32_t kHostileUnknownIds[] = {
    0x00000001u,  // kind 0
    0x50000000u,  // kinds past the camera and the bone
    0x7FFFFFFFu,
    0xF0000001u,
    0xFFFFFFFFu,
    0x1000FFFFu,  // an object's id, but no object
    0x4FFF0000u,  // a bone of an object that has none
};
const size_t kHostileUnknownIdCount = sizeof kHostileUnknownIds / sizeof kHostileUnknownIds[0];

namespace {

HostileHost *g_hostile = nullptr;

HostId unknown_id(size_t index) { return to_handle(kHostileUnknownIds[index]); }

size_t unknown_index(HostId id) {
    for (size_t i = 0; i < kHostileUnknownIdCount; ++i)
        if (unknown_id(i) == id) return i;
    return kHostileUnknownIdCount;
}

// Where each parent's child list has got to in its tail of strangers.
std::map<HostId, size_t> g_child_cursor;

// ---- "LW Item Info 3" ----

HostId item_first(int kind_index, HostId owner) {
    HostileHost *h = g_hostile;
    if (!h) return nullptr;
    const HostId first = h->own_item_info().first(kind_index, owner);
    if (first || !h->options().unknown_kinds_in_lists) return first;
    return unknown_id(0);
}

HostId item_next(HostId item) {
    HostileHost *h = g_hostile;
    if (!h) return nullptr;
    const size_t unknown = unknown_index(item);
    if (h->options().unknown_kinds_in_lists && unknown < kHostileUnknownIdCount)
        return unknown + 1 < kHostileUnknownIdCount ? unknown_id(unknown + 1) : nullptr;
    const HostId next = h->own_item_info().next(item);
    if (next) return next;
    if (h->options().item_lists_start_over) {
        // Back to the first item of this item's own list; a bone's list is its object's bones.
        const ItemIdValue id = from_handle(item);
        const int kind_index = static_cast<int>(kind_of(id)) - 1;
        if (kind_index >= 0 && kind_index <= 3) {
            const HostId owner = kind_of(id) == ItemKind::Bone ? to_handle(bone_owner(id)) : nullptr;
            return h->own_item_info().first(kind_index, owner);
        }
    }
    return h->options().unknown_kinds_in_lists ? unknown_id(0) : nullptr;
}

bool has_tail(const HostileOptions &options) { return options.extra_children > 0 || options.endless_children; }

HostId item_first_child(HostId parent) {
    HostileHost *h = g_hostile;
    if (!h) return nullptr;
    g_child_cursor.erase(parent);
    const HostId first = h->own_item_info().first_child(parent);
    if (first || !has_tail(h->options())) return first;
    g_child_cursor[parent] = 0;
    return h->extra_child(parent, 0);
}

HostId item_next_child(HostId parent, HostId previous) {
    HostileHost *h = g_hostile;
    if (!h) return nullptr;
    auto cursor = g_child_cursor.find(parent);
    if (cursor != g_child_cursor.end() && h->extra_child(parent, cursor->second) == previous) {
        const size_t index = ++cursor->second;
        if (!h->options().endless_children && index >= static_cast<size_t>(h->options().extra_children))
            return nullptr;
        return h->extra_child(parent, index);
    }
    const HostId next = h->own_item_info().next_child(parent, previous);
    if (next || !has_tail(h->options())) return next;
    g_child_cursor[parent] = 0;
    return h->extra_child(parent, 0);
}

HostId item_parent(HostId item) { return g_hostile ? g_hostile->own_item_info().parent(item) : nullptr; }
HostId item_target(HostId item) { return g_hostile ? g_hostile->own_item_info().target(item) : nullptr; }
HostId item_goal(HostId item) { return g_hostile ? g_hostile->own_item_info().goal(item) : nullptr; }
int item_type(HostId item) { return g_hostile ? g_hostile->own_item_info().type(item) : -1; }
const char *item_name(HostId item) { return g_hostile ? g_hostile->name_of(item) : nullptr; }

void item_param(HostId item, int code, double time, double *out) {
    HostileHost *h = g_hostile;
    if (!h || !out) return;
    h->own_item_info().param(item, code, time, out);
    if (h->options().distort_params) out[0] = out[1] = out[2] = h->options().param_value;
    // Whole frames at 30 fps: the rigs' keys lie there.
    const double frame = time * 30.0;
    if (h->options().nan_params_between_frames && std::fabs(frame - std::nearbyint(frame)) > 1e-6)
        out[0] = out[1] = out[2] = std::numeric_limits<double>::quiet_NaN();
}

unsigned item_limits(HostId item, int code, double *min3, double *max3) {
    return g_hostile ? g_hostile->own_item_info().limits(item, code, min3, max3) : 0;
}
const char *item_get_tag(HostId item, int index) {
    return g_hostile ? g_hostile->own_item_info().get_tag(item, index) : nullptr;
}
void item_set_tag(HostId item, int index, const char *text) {
    if (g_hostile) g_hostile->own_item_info().set_tag(item, index, text);
}

HostId item_channel_group(HostId item) {
    HostileHost *h = g_hostile;
    if (!h || h->options().no_channel_groups) return nullptr;
    return h->own_item_info().channel_group(item);
}

const char *item_server(HostId item, const char *class_name, int index) {
    return g_hostile ? g_hostile->own_item_info().server(item, class_name, index) : nullptr;
}
unsigned item_server_flags(HostId item, const char *class_name, int index) {
    return g_hostile ? g_hostile->own_item_info().server_flags(item, class_name, index) : 0;
}
void item_controller(HostId item, int code, int type[3]) {
    if (g_hostile) g_hostile->own_item_info().controller(item, code, type);
}

unsigned item_flags(HostId item) {
    HostileHost *h = g_hostile;
    if (!h) return 0;
    return h->options().flags_all_bits ? ~0u : h->own_item_info().flags(item);
}

double item_look_ahead(HostId item) { return g_hostile ? g_hostile->own_item_info().look_ahead(item) : 0.0; }
double item_goal_strength(HostId item) { return g_hostile ? g_hostile->own_item_info().goal_strength(item) : 0.0; }
void item_stiffness(HostId item, int code, double *out3) {
    HostileHost *h = g_hostile;
    if (!h || !out3) return;
    h->own_item_info().stiffness(item, code, out3);
    if (h->options().distort_params) out3[0] = out3[1] = out3[2] = h->options().param_value;
}

const ItemInfo kHostileItemInfo = {
    item_first,      item_next,         item_first_child, item_next_child, item_parent,      item_target,
    item_goal,       item_type,         item_name,        item_param,      item_limits,      item_get_tag,
    item_set_tag,    item_channel_group, item_server,     item_server_flags, item_controller, item_flags,
    item_look_ahead, item_goal_strength, item_stiffness,
};

// ---- "LW Interface Info 3" functions ----

unsigned interface_item_flags(HostId item) {
    HostileHost *h = g_hostile;
    if (!h) return 0;
    return h->options().flags_all_bits ? ~0u : h->own_interface().item_flags(item);
}

int interface_item_color(HostId item) {
    HostileHost *h = g_hostile;
    if (!h) return 0;
    return h->options().colour_all_bits ? -1 : h->own_interface().item_color(item);
}

// ---- "Channel Info 2" ----

HostId channel_next(HostId group, HostId previous) {
    HostileHost *h = g_hostile;
    if (!h || h->options().empty_channel_groups) return nullptr;
    const HostId next = h->own_channel_info().next_channel(group, previous);
    if (!next || h->options().channels_per_group < 0) return next;
    int position = 0;
    for (HostId walked = h->own_channel_info().next_channel(group, nullptr); walked && walked != next;
         walked = h->own_channel_info().next_channel(group, walked))
        ++position;
    return position < h->options().channels_per_group ? next : nullptr;
}

HostId channel_envelope(HostId channel) {
    HostileHost *h = g_hostile;
    if (!h || h->options().no_envelopes) return nullptr;
    return h->own_channel_info().channel_envelope(channel);
}

// ---- "Animation Envelopes" ----

HostId envelope_next_key(HostId envelope, HostId key) {
    HostileHost *h = g_hostile;
    if (!h) return nullptr;
    const HostId next = h->options().keys_out_of_order ? h->own_envelopes().prev_key(envelope, key)
                                                       : h->own_envelopes().next_key(envelope, key);
    if (!next && key && h->options().keys_start_over) return h->own_envelopes().next_key(envelope, nullptr);
    return next;
}

HostId envelope_prev_key(HostId envelope, HostId key) {
    HostileHost *h = g_hostile;
    if (!h) return nullptr;
    return h->options().keys_out_of_order ? h->own_envelopes().next_key(envelope, key)
                                          : h->own_envelopes().prev_key(envelope, key);
}

int envelope_key_get(HostId envelope, HostId key, int tag, void *value) {
    HostileHost *h = g_hostile;
    if (!h) return 0;
    const int result = h->own_envelopes().key_get(envelope, key, tag, value);
    if (value && tag == host_abi::kKeyTagTime && h->options().distort_key_times)
        *static_cast<double *>(value) = h->options().key_time;
    return result;
}

HostId envelope_create_key(HostId envelope, double time, double value) {
    HostileHost *h = g_hostile;
    if (!h || h->options().refuse_key_creation) return nullptr;
    return h->own_envelopes().create_key(envelope, time, value);
}

int envelope_env_get(HostId envelope, HostId group, int tag, void *value) {
    HostileHost *h = g_hostile;
    if (!h) return 0;
    const int result = h->own_envelopes().env_get(envelope, group, tag, value);
    if (value && tag == host_abi::kEnvTagKeyCount && h->options().distort_key_count)
        *static_cast<int *>(value) = h->options().key_count;
    return result;
}

// ---- "LWLMonFuncs" ----

MonitorId monitor_create() {
    HostileHost *h = g_hostile;
    if (!h || h->options().monitor_refused) return nullptr;
    return h->own_monitors().create();
}

int monitor_step(MonitorId monitor, unsigned increment, const char *message) {
    HostileHost *h = g_hostile;
    if (!h) return 0;
    // The host still keeps the monitor's count and checks its use.
    const int pressed = h->own_monitors().step(monitor, increment, message);
    return h->options().monitor_aborts_at_once ? 1 : pressed;
}

// Commands still change the host's scene; the plug-in's view of the
// interface follows, distorted as before.
std::string apply_and_refresh(Host &host, const std::string &text) {
    const std::string refused = apply_command_text(host.scene(), text);
    if (HostileHost *h = g_hostile) h->refresh_interface();
    return refused;
}

}  // namespace

HostileHost::HostileHost(Host &host, const HostileOptions &options) : host_(host), options_(options) {
    if (g_hostile) host.violation(Breach::SecondHostileHost, "a second hostile host was attached");
    g_hostile = this;
    g_child_cursor.clear();
    host_.service_filter = [this](const std::string &name, void *record) { return filter(name, record); };
    host_.set_command_applier(apply_and_refresh);
}

HostileHost::~HostileHost() {
    host_.service_filter = nullptr;
    host_.set_command_applier(nullptr);
    g_child_cursor.clear();
    if (g_hostile == this) g_hostile = nullptr;
}

HostileHost *HostileHost::current() { return g_hostile; }

void *HostileHost::filter(const std::string &name, void *record) {
    if (!record) return record;
    if (name == host_abi::kServiceItemInfo) {
        own_item_info_ = *static_cast<const ItemInfo *>(record);
        return const_cast<ItemInfo *>(&kHostileItemInfo);
    }
    if (name == host_abi::kServiceChannelInfo) {
        own_channel_info_ = *static_cast<const ChannelInfo *>(record);
        static ChannelInfo channels;
        channels = own_channel_info_;
        channels.next_channel = channel_next;
        channels.channel_envelope = channel_envelope;
        return &channels;
    }
    if (name == host_abi::kServiceEnvelopes) {
        own_envelopes_ = *static_cast<const EnvelopeFuncs *>(record);
        static EnvelopeFuncs envelopes;
        envelopes = own_envelopes_;
        envelopes.next_key = envelope_next_key;
        envelopes.prev_key = envelope_prev_key;
        envelopes.key_get = envelope_key_get;
        envelopes.env_get = envelope_env_get;
        envelopes.create_key = envelope_create_key;
        return &envelopes;
    }
    if (name == host_abi::kServiceInterfaceInfo) {
        own_interface_ = *static_cast<const InterfaceInfo *>(record);
        distort_interface(false);
        return &interface_info_;
    }
    if (name == host_abi::kServiceMonitor) {
        own_monitors_ = *static_cast<const MonitorFuncs *>(record);
        static MonitorFuncs monitors;
        monitors = own_monitors_;
        monitors.create = monitor_create;
        monitors.step = monitor_step;
        return &monitors;
    }
    if (name == host_abi::kServiceSceneInfo) {
        scene_info_ = *static_cast<const SceneInfo *>(record);
        if (options_.distort_frames_per_second) scene_info_.frames_per_second = options_.frames_per_second;
        return &scene_info_;
    }
    return record;
}

void HostileHost::refresh_interface() {
    host_.publish();
    own_interface_ = host_.interface_info();
    distort_interface(options_.selection_changes);
}

void HostileHost::distort_interface(bool change_selection) {
    interface_info_ = own_interface_;
    interface_info_.item_flags = interface_item_flags;
    interface_info_.item_color = interface_item_color;
    if (options_.distort_time) interface_info_.current_time = options_.time;
    if (change_selection)
        next_selection();
    else
        interface_info_.selected_items = selection_for_plugin();
}

const HostId *HostileHost::selection_for_plugin() {
    std::vector<HostId> list;
    for (const HostId *s = own_interface_.selected_items; s && *s; ++s) list.push_back(*s);
    if (options_.unknown_kinds_selected)
        for (size_t i = 0; i < kHostileUnknownIdCount; ++i) list.push_back(unknown_id(i));
    list.push_back(nullptr);
    selection_lists_.push_back(std::move(list));
    return selection_lists_.back().data();
}

const HostId *HostileHost::next_selection() {
    // Nothing, everything backwards, strangers, then the host's own list again.
    std::vector<HostId> list;
    const std::vector<ItemIdValue> all = host_.scene().all_items();
    switch (selection_changes_++ % 4) {
    case 0: break;
    case 1:
        for (auto it = all.rbegin(); it != all.rend(); ++it) list.push_back(to_handle(*it));
        break;
    case 2:
        for (size_t i = 0; i < kHostileUnknownIdCount; ++i) list.push_back(unknown_id(i));
        break;
    default:
        for (ItemIdValue id : host_.scene().selection) list.push_back(to_handle(id));
        break;
    }
    list.push_back(nullptr);
    selection_lists_.push_back(std::move(list));
    interface_info_.selected_items = selection_lists_.back().data();
    return interface_info_.selected_items;
}

HostId HostileHost::extra_child(HostId, size_t index) const {
    // Every item of the scene, the parent and its ancestors among them, then
    // ids of no item.
    const std::vector<ItemIdValue> all = host_.scene().all_items();
    const size_t cycle = all.size() + kHostileUnknownIdCount;
    const size_t position = index % cycle;
    return position < all.size() ? to_handle(all[position]) : unknown_id(position - all.size());
}

const char *HostileHost::name_of(HostId item) {
    if (options_.null_names) return nullptr;
    const char *own = own_item_info_.name ? own_item_info_.name(item) : nullptr;
    if (options_.name_length == 0) return own;
    std::string &name = names_[item];
    if (name.size() != options_.name_length) {
        name = own ? own : "";
        name.resize(options_.name_length, 'N');
    }
    return name.c_str();
}

}  // namespace headless
