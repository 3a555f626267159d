// A hostile mode of the headless host: while a HostileHost is attached, the
// records the plug-in looks up answer as a broken or malicious host might,
// with values no sound Layout gives, so tests can show that the plug-in ends
// every command cleanly whatever it is told. The scene itself stays the
// host's own; only what the plug-in is told about it is distorted.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/core/host.h"

namespace headless {

struct HostileOptions {
    // Item parameters (position, rotation, pivots...): every component this value.
    bool distort_params = false;
    double param_value = 0.0;
    // The interface's current time.
    bool distort_time = false;
    double time = 0.0;
    // The scene's frames per second.
    bool distort_frames_per_second = false;
    double frames_per_second = 0.0;

    // Item parameters at times off whole frames (between keys on frames): not a number.
    bool nan_params_between_frames = false;
    // Creating a key fails (null), as a host out of memory or locked might.
    bool refuse_key_creation = false;

    // Channel groups and envelopes.
    bool no_channel_groups = false;     // an item has no channel group (null)
    bool empty_channel_groups = false;  // a group lists no channels
    int channels_per_group = -1;        // when >= 0, a group lists at most this many channels
    bool no_envelopes = false;          // a channel has no envelope (null)
    bool keys_out_of_order = false;     // walking the keys forward gives them latest first
    bool keys_start_over = false;       // the key after the last is the first again
    bool distort_key_times = false;     // every key's time reads as this value
    double key_time = 0.0;
    bool distort_key_count = false;     // an envelope's key count reads as this value
    int key_count = 0;

    // The hierarchy as the item lists and child lists tell it.
    int extra_children = 0;           // after an item's own children, this many more that are not its own
    bool endless_children = false;    // a child list that never ends
    bool unknown_kinds_in_lists = false;  // item lists end with ids of unknown kinds and of no item
    bool item_lists_start_over = false;   // an item list goes back to its first item instead of ending
    bool unknown_kinds_selected = false;  // the selection holds such ids too
    bool selection_changes = false;   // the selected-items list changes after every command text
    // Names of this many bytes (0: the items' own names); null names.
    size_t name_length = 0;
    bool null_names = false;
    // Interface colour and item flags with every bit set.
    bool colour_all_bits = false;
    bool flags_all_bits = false;

    // The progress monitor: none can be made (create answers null); the user
    // presses Abort at once (every step answers abort).
    bool monitor_refused = false;
    bool monitor_aborts_at_once = false;
};

// Ids of no kind the host knows, and ids that look right but name no item.
extern const uint32_t kHostileUnknownIds[];
extern const size_t kHostileUnknownIdCount;

class HostileHost {
public:
    // Attaches to `host` (one HostileHost at a time) until destroyed.
    HostileHost(Host &host, const HostileOptions &options);
    ~HostileHost();
    HostileHost(const HostileHost &) = delete;
    HostileHost &operator=(const HostileHost &) = delete;

    static HostileHost *current();

    Host &host() { return host_; }
    const HostileOptions &options() const { return options_; }

    // ---- used by the distorted records ----
    const ItemInfo &own_item_info() const { return own_item_info_; }
    const ChannelInfo &own_channel_info() const { return own_channel_info_; }
    const EnvelopeFuncs &own_envelopes() const { return own_envelopes_; }
    const InterfaceInfo &own_interface() const { return own_interface_; }
    const MonitorFuncs &own_monitors() const { return own_monitors_; }
    const char *name_of(HostId item);
    // After a command text: the interface as the host now publishes it,
    // distorted again, with another selected-items list when they change.
    void refresh_interface();
    // Extra children after `parent`'s own: position `index` of that tail.
    HostId extra_child(HostId parent, size_t index) const;

private:
    void *filter(const std::string &service_name, void *record);
    void distort_interface(bool change_selection);
    const HostId *selection_for_plugin();
    // Another selected-items list each call; kept readable until detached.
    const HostId *next_selection();

    Host &host_;
    HostileOptions options_;
    ItemInfo own_item_info_{};
    ChannelInfo own_channel_info_{};
    EnvelopeFuncs own_envelopes_{};
    InterfaceInfo own_interface_{};
    MonitorFuncs own_monitors_{};
    SceneInfo scene_info_{};
    InterfaceInfo interface_info_{};
    std::deque<std::vector<HostId>> selection_lists_;
    size_t selection_changes_ = 0;
    std::map<HostId, std::string> names_;
};

}  // namespace headless
