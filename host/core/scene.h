// The headless host's in-memory scene: items with the host's id numbering,
// their hierarchy and links, the selection, the current time and the options.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "interface/host_numbering.h"
#include "envelope.h"

namespace headless {

using ItemIdValue = uint32_t;

enum class ItemKind : uint32_t {
    Object = host_abi::kIdKindObject,
    Light = host_abi::kIdKindLight,
    Camera = host_abi::kIdKindCamera,
    Bone = host_abi::kIdKindBone
};

const char *item_kind_name(ItemKind kind);

inline ItemKind kind_of(ItemIdValue id) { return static_cast<ItemKind>(host_numbering::item_kind(id)); }
inline ItemIdValue bone_owner(ItemIdValue bone) { return host_numbering::bone_owner(bone); }

// An id as the host's selection commands write it: eight upper-case hex digits.
std::string item_id_text(ItemIdValue id);

using Vec3 = std::array<double, 3>;

// What links an item to others, as the link commands set them; 0 is no link.
// Scene files keep a copy of it as loaded, to write back only what changed.
struct ItemLinks {
    ItemIdValue parent = 0;
    ItemIdValue target = 0;
    ItemIdValue goal = 0;
    ItemIdValue pole = 0;
    ItemIdValue position_item = 0;
    ItemIdValue rotation_item = 0;
    ItemIdValue scale_item = 0;
    // Heading, pitch and bank controllers as the host's command arguments.
    std::array<int, 3> controllers = {0, 0, 0};
};

// A plug-in that a scene file puts on an item's motion or on one of its
// motion channels, by the names the file gives.
struct MotionPlugin {
    std::string handler_class;  // e.g. "ItemMotionHandler", "ChannelHandler"
    std::string server;
    int channel = -1;  // the motion channel it is on; -1 the whole motion or not known
    bool enabled = true;
};

struct Item : ItemLinks {
    ItemIdValue id = 0;
    ItemKind kind = ItemKind::Object;
    std::string name;
    std::vector<ItemIdValue> children;  // in the host's child order

    int color = 0;       // the interface's item colour value
    uint32_t flags = 0;  // item flag word (bit 4: full-time IK)

    // Position, rotation (radians) and scale channels, in the host's order.
    std::unique_ptr<ChannelGroup> motion;
    // Static, as in the host's scenes.
    Vec3 pivot = {0, 0, 0};
    Vec3 pivot_rotation = {0, 0, 0};
    // What else moves the item, as its scene file says: this host evaluates
    // none of it, so reports can say where Layout may differ.
    std::vector<MotionPlugin> motion_plugins;
    std::array<int, 3> position_controllers = {0, 0, 0};  // X, Y, Z; 0 keys alone

    Channel &channel(MotionChannel which) const { return *motion->channels[which]; }
    // Three motion channels from `first` (kPositionX, kHeading, kScaleX) at a time.
    Vec3 motion_at(MotionChannel first, double time) const;
    // Sets the value of three channels that have no keys.
    void set_static(MotionChannel first, const Vec3 &value);
};

class Scene {
public:
    Scene();

    // Adding items assigns ids in the host's numbering. A bone belongs to an
    // object; its parent starts as that object.
    ItemIdValue add_object(const std::string &name);
    ItemIdValue add_light(const std::string &name);
    ItemIdValue add_camera(const std::string &name);
    ItemIdValue add_bone(ItemIdValue object, const std::string &name);
    // Adds an item under an id chosen elsewhere (a scene file's), at the end
    // of its kind's list; later serial ids continue above it. A bone's id must
    // name an object already in the scene. Returns 0 when the id is taken or
    // does not fit its kind.
    ItemIdValue add_with_id(ItemIdValue id, const std::string &name);

    // Removes the item and its bones; its children move to the root (bones
    // to their object). Links that pointed at it are cleared.
    bool remove_item(ItemIdValue id);

    Item *find(ItemIdValue id);
    const Item *find(ItemIdValue id) const;
    // First item with this exact name, or null.
    const Item *find_by_name(const std::string &name) const;

    // The host's item lists: kind index 0 objects, 1 lights, 2 cameras, 3
    // bones of `bone_owner`.
    ItemIdValue first(int kind_index, ItemIdValue bone_owner_id) const;
    ItemIdValue next(ItemIdValue id) const;
    ItemIdValue first_child(ItemIdValue parent) const;
    ItemIdValue next_child(ItemIdValue parent, ItemIdValue previous) const;

    // Every item in the host's list order: objects each followed by its
    // bones, then lights, then cameras.
    std::vector<ItemIdValue> all_items() const;

    // Re-parents `id`; 0 clears the parent (a bone returns to its object).
    // Refuses a parent that is the item itself or lies below it, an unknown
    // parent, and a bone under an item outside its object's hierarchy.
    // Returns an empty string on success, else why it was refused.
    std::string set_parent(ItemIdValue id, ItemIdValue parent);

    // Motion handles the plug-in holds: addresses are looked up, never
    // followed, so a stale or forged handle finds nothing. Each look-up is
    // a hash and an item search, whatever the scene's size.
    ChannelGroup *find_group(const void *handle) const {
        return static_cast<ChannelGroup *>(resolve(handle, HandleKind::Group));
    }
    Channel *find_channel(const void *handle) const { return static_cast<Channel *>(resolve(handle, HandleKind::Channel)); }
    Envelope *find_envelope(const void *handle) const {
        return static_cast<Envelope *>(resolve(handle, HandleKind::Envelope));
    }
    // The item whose motion group `group` is, or 0.
    ItemIdValue group_owner(const void *group) const;
    // The item after `id` in the order of all_items(); from 0 the first item.
    ItemIdValue next_in_order(ItemIdValue id) const;

    // True when `ancestor` lies on the parent chain of `id`.
    bool is_ancestor(ItemIdValue ancestor, ItemIdValue id) const;

    double time = 0.0;
    double frames_per_second = 30.0;
    int frame_start = 0;
    int frame_end = 60;
    int frame_step = 1;
    uint32_t general_flags = 0;
    // The key shapes a key may be given, a bit per KeyShape value: all,
    // unless the scene came from a file format that keeps fewer.
    uint32_t key_shapes = 0x3Fu;
    std::vector<ItemIdValue> selection;
    std::string name = "Untitled";
    std::string filename;

private:
    struct ObjectEntry {
        ItemIdValue id;
        std::vector<ItemIdValue> bones;
        uint32_t next_bone_serial = 0;
    };

    ItemIdValue add_item(ItemKind kind, ItemIdValue id, const std::string &name);
    // The object's entry in the object list, or null.
    const ObjectEntry *object_entry(ItemIdValue object) const;
    ObjectEntry *object_entry(ItemIdValue object);
    void detach_from_parent(Item &item);
    const std::vector<ItemIdValue> *list_of(ItemIdValue id) const;

    // What a motion handle names: the item, and which of its records.
    enum class HandleKind : uint8_t { Group, Channel, Envelope };
    struct MotionHandle {
        ItemIdValue item;
        HandleKind kind;
        uint8_t channel;
    };
    void register_motion(const Item &item);
    void forget_motion(const Item &item);
    // The record `handle` names if it is still that item's, else null. A
    // service call starts here, so the usual answer (a record found lately)
    // is given inline.
    void *resolve(const void *handle, HandleKind kind) const {
        const ResolvedHandle &last = resolved_slot(handle);
        if (handle && handle == last.handle && kind == last.kind) return last.record;
        return resolve_anew(handle, kind);
    }
    void *resolve_anew(const void *handle, HandleKind kind) const;
    // Commands ask about the same few envelopes many times over (an item's
    // six channels at each key time): records found lately, by address,
    // forgotten whenever a motion is registered or forgotten (the only ways
    // a handle's answer can change).
    struct ResolvedHandle {
        const void *handle = nullptr;
        void *record = nullptr;
        HandleKind kind = HandleKind::Group;
    };
    static constexpr size_t kResolvedSlots = 32;
    // Where `handle`'s record is kept once found.
    ResolvedHandle &resolved_slot(const void *handle) const {
        const uintptr_t address = reinterpret_cast<uintptr_t>(handle);
        return resolved_[((address >> 4) ^ (address >> 9)) % kResolvedSlots];
    }
    void forget_resolved() const;

    std::unordered_map<ItemIdValue, std::unique_ptr<Item>> items_;
    // Every item's group, channels and envelopes by address. An entry is
    // only a lead: resolve() checks it against the item as it is now.
    std::unordered_map<const void *, MotionHandle> handles_;
    std::vector<ObjectEntry> objects_;
    std::vector<ItemIdValue> lights_;
    std::vector<ItemIdValue> cameras_;
    uint32_t next_object_serial_ = 0;
    uint32_t next_light_serial_ = 0;
    uint32_t next_camera_serial_ = 0;
    // Where the last walks stood, so the next step needs no search.
    mutable size_t owner_hint_ = 0;
    mutable size_t list_hint_ = 0;
    mutable size_t child_hint_ = 0;
    mutable ResolvedHandle resolved_[kResolvedSlots];
};

}  // namespace headless
