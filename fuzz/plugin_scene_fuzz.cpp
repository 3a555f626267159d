// The loaded plug-in against a scene decoded from the input: items and their
// hierarchy, selection, memorized item, host build, time, Parent in Place,
// answers to questions, and a hostile view of it all; then a run of servers
// picked by the input. Every activation must return 0 or 2, break none of the
// host's rules, and leave the scene consistent.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "host/core/host.h"
#include "host/hostile/hostile_host.h"
#include "host/panel_toolkit/panel_toolkit.h"
#include "host/core/plugin_library.h"

namespace {

headless::PluginLibrary *g_plugin = nullptr;

double pick_number(FuzzedDataProvider &in) {
    static const double kSpecial[] = {0.0, 1.0, -1.0, 0.5, 1e308, -1e308, 1e-310,
                                      std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity()};
    if (in.ConsumeBool()) return in.PickValueInArray(kSpecial);
    return in.ConsumeFloatingPoint<double>();
}

std::vector<headless::ItemIdValue> build_scene(FuzzedDataProvider &in, headless::Scene &scene) {
    std::vector<headless::ItemIdValue> items;
    const int objects = in.ConsumeIntegralInRange(0, 6);
    for (int o = 0; o < objects; ++o) {
        const headless::ItemIdValue object = scene.add_object(in.ConsumeRandomLengthString(24));
        items.push_back(object);
        const int bones = in.ConsumeIntegralInRange(0, 4);
        for (int b = 0; b < bones; ++b) items.push_back(scene.add_bone(object, in.ConsumeRandomLengthString(24)));
    }
    const int lights = in.ConsumeIntegralInRange(0, 2);
    for (int l = 0; l < lights; ++l) items.push_back(scene.add_light(in.ConsumeRandomLengthString(24)));
    const int cameras = in.ConsumeIntegralInRange(0, 2);
    for (int c = 0; c < cameras; ++c) items.push_back(scene.add_camera(in.ConsumeRandomLengthString(24)));
    if (items.empty()) return items;

    // The host refuses what would break its hierarchy; what it accepts stays.
    const int parent_changes = in.ConsumeIntegralInRange(0, 12);
    for (int p = 0; p < parent_changes; ++p) {
        const headless::ItemIdValue item = items[in.ConsumeIntegralInRange<size_t>(0, items.size() - 1)];
        const headless::ItemIdValue parent =
            in.ConsumeBool() ? 0 : items[in.ConsumeIntegralInRange<size_t>(0, items.size() - 1)];
        scene.set_parent(item, parent);
    }
    for (headless::ItemIdValue id : items) {
        headless::Item &item = *scene.find(id);
        item.flags = in.ConsumeIntegral<uint32_t>();
        item.color = in.ConsumeIntegral<int>();
        for (int channel = 0; channel < headless::kMotionChannelCount; ++channel) {
            headless::Envelope &envelope = item.motion->channels[channel]->envelope;
            envelope.default_value = pick_number(in);
            const int keys = in.ConsumeIntegralInRange(0, 3);
            for (int k = 0; k < keys; ++k) envelope.create_key(pick_number(in), pick_number(in));
        }
    }
    return items;
}

void pick_selection(FuzzedDataProvider &in, headless::Scene &scene, const std::vector<headless::ItemIdValue> &items) {
    scene.selection.clear();
    if (items.empty()) return;
    const int count = in.ConsumeIntegralInRange(0, 5);
    for (int s = 0; s < count; ++s) {
        const headless::ItemIdValue id = items[in.ConsumeIntegralInRange<size_t>(0, items.size() - 1)];
        if (std::find(scene.selection.begin(), scene.selection.end(), id) == scene.selection.end())
            scene.selection.push_back(id);
    }
}

headless::HostileOptions pick_hostility(FuzzedDataProvider &in) {
    headless::HostileOptions o;
    if (!in.ConsumeBool()) return o;
    o.distort_params = in.ConsumeBool();
    o.param_value = pick_number(in);
    o.distort_time = in.ConsumeBool();
    o.time = pick_number(in);
    o.distort_frames_per_second = in.ConsumeBool();
    o.frames_per_second = pick_number(in);
    o.no_channel_groups = in.ConsumeBool();
    o.empty_channel_groups = in.ConsumeBool();
    o.channels_per_group = in.ConsumeIntegralInRange(-1, 9);
    o.no_envelopes = in.ConsumeBool();
    o.keys_out_of_order = in.ConsumeBool();
    o.distort_key_times = in.ConsumeBool();
    o.key_time = pick_number(in);
    o.distort_key_count = in.ConsumeBool();
    o.key_count = in.ConsumeIntegral<int>();
    o.extra_children = in.ConsumeIntegralInRange(0, 40);
    o.endless_children = in.ConsumeBool();
    o.unknown_kinds_in_lists = in.ConsumeBool();
    o.unknown_kinds_selected = in.ConsumeBool();
    o.selection_changes = in.ConsumeBool();
    o.name_length = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 70000) : 0;
    o.null_names = in.ConsumeBool();
    o.colour_all_bits = in.ConsumeBool();
    o.flags_all_bits = in.ConsumeBool();
    o.monitor_refused = in.ConsumeBool();
    o.monitor_aborts_at_once = in.ConsumeBool();
    return o;
}

// What the user does in the link panel or the tolerance panel, should the step open one.
std::deque<headless::PanelAction> pick_panel_actions(FuzzedDataProvider &in, const headless::Scene &scene,
                                                     const std::vector<headless::ItemIdValue> &items) {
    using A = headless::PanelAction;
    static const char *const kToggles[] = {"Parent", "Target", "Goal", "Pole", "Position", "Rotation", "Scale",
                                           "null ID", "Tolerance"};
    static const char *const kFields[] = {"Distance", "Degrees"};
    static const char *const kButtons[] = {"Expand", "Descend", "Collaspe", "Reset"};
    static const int kQualifiers[] = {0, host_abi::kQualifierCtrl, host_abi::kQualifierShift, host_abi::kQualifierAlt,
                                      host_abi::kQualifierCtrl | host_abi::kQualifierShift};
    std::deque<A> actions;
    for (int a = in.ConsumeIntegralInRange(0, 8); a > 0; --a) {
        switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0: actions.push_back(A::toggle(in.PickValueInArray(kToggles))); break;
        case 1: actions.push_back(A::button(in.PickValueInArray(kButtons))); break;
        case 2: actions.push_back(A::press(in.ConsumeIntegral<unsigned short>())); break;
        case 3: actions.push_back(A::set_number(in.PickValueInArray(kFields), pick_number(in))); break;
        default:
            if (!items.empty()) {
                const headless::Item *item = scene.find(items[in.ConsumeIntegralInRange<size_t>(0, items.size() - 1)]);
                if (item) actions.push_back(A::click(item->name, in.PickValueInArray(kQualifiers)));
            }
            break;
        }
    }
    actions.push_back(in.ConsumeBool() ? A::ok() : A::cancel());
    return actions;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string error;
    static std::unique_ptr<headless::PluginLibrary> plugin = headless::PluginLibrary::open(KR_PLUGIN_PATH, &error);
    fuzz::require(plugin != nullptr, "cannot load the plug-in: " + error);
    g_plugin = plugin.get();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    headless::Host host;
    host.set_product_info(in.ConsumeIntegral<uint32_t>());
    host.scene().general_flags = in.ConsumeIntegral<uint32_t>();
    host.scene().time = pick_number(in);
    host.scene().frames_per_second = pick_number(in);
    host.default_yes_no = in.ConsumeIntegral<int>();
    for (int a = in.ConsumeIntegralInRange(0, 3); a > 0; --a) host.yes_no_answers.push_back(in.ConsumeIntegral<int>());
    const std::vector<headless::ItemIdValue> items = build_scene(in, host.scene());
    fuzz::require_consistent(host.scene(), "building");

    const std::vector<headless::ServerInfo> &servers = g_plugin->servers();
    const headless::ServerInfo *memorize = g_plugin->find("KR_memItem");
    fuzz::require(memorize != nullptr, "no memorize server");
    // The memorized item outlives activations: set it first, so each input
    // starts from what it says.
    pick_selection(in, host.scene(), items);
    host.activate(*memorize->record);

    headless::HostileOptions hostility = pick_hostility(in);
    headless::HostileHost hostile(host, hostility);
    for (int step = in.ConsumeIntegralInRange(1, 6); step > 0 && in.remaining_bytes() > 0; --step) {
        if (in.ConsumeBool()) pick_selection(in, host.scene(), items);
        if (in.ConsumeBool()) host.scene().general_flags ^= host_abi::kGeneralFlagParentInPlace;
        host.panels().script = pick_panel_actions(in, host.scene(), items);
        const headless::ServerInfo &server = servers[in.ConsumeIntegralInRange<size_t>(0, servers.size() - 1)];
        const int result = host.activate(*server.record);
        fuzz::require(result == 0 || result == 2, server.name + " returned " + std::to_string(result));
        fuzz::require_consistent(host.scene(), server.name.c_str());
        fuzz::require(host.violations.empty(), server.name + ": " + (host.violations.empty() ? "" : host.violations[0].text));
    }
    return 0;
}
