// Declarations of the Layout plug-in binary interface, written for this module.
//
// Every record here is read or filled by the real host on 64-bit Windows, so
// each one uses fixed-width integers where the host's own headers use `long`
// (4 bytes on Windows, 8 on Linux) and is pinned below with static asserts on
// size and offsets. The same header therefore gives the Windows x64 layout
// when it is compiled for Linux x86-64 against the headless host.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Contracts at this boundary, as both sides rely on them:
// - Threads: the host calls the module on its interface thread only, one
//   activation at a time; nothing here may be called from another thread.
// - Ownership: every record and string the host returns belongs to the host;
//   the module never frees or writes into them (out parameters excepted) and
//   keeps none past the activation that obtained it. What the module hands the
//   host (texts, control descriptions, tree callbacks' data) stays the
//   module's and must stay valid for as long as the call, or the panel that
//   uses it, lasts.
// - Scene changes: only command texts (LayoutGeneric::evaluate) and the key
//   and envelope edits of EnvelopeFuncs change the scene; every other call
//   only reads it.

// An opaque handle the host hands out: items, channel groups, channels,
// envelopes, keys, panels. Item handles carry the host's item id value and
// stay valid while the item exists; other handles while what they name exists
// (see each record). A null handle means "none".
typedef void *HostId;

// Returns the service record for `service_name` (exact, versioned names), or
// null when the host lacks it. Use mode 0: the record is valid until the
// activation returns. "Product Info" answers with a number, not a record.
typedef void *(*GlobalLookupFn)(const char *service_name, int use_mode);
// A server's entry: `local` is the class's local record (a LayoutGeneric for
// the command servers), valid during the call. Returns 0 on success, 2 when a
// service the server needs is missing.
typedef int (*ActivateFn)(int32_t version, GlobalLookupFn global, void *local, void *server_data);

// ---------------------------------------------------------------- module ---
// The module's own records: static data of the module, read by the host from
// load to unload. The table ends with a record whose names are null.

struct ServerTag {
    const char *text;
    uint32_t tag;
};

struct ServerRecord {
    const char *class_name;
    const char *server_name;
    ActivateFn activate;
    const ServerTag *tags;
};

struct ModuleDescriptor {
    uint32_t sync_word;
    uint32_t descriptor_version;
    uint32_t machine_word;
    void *(*startup)(void);
    void (*shutdown)(void *startup_value);
    const ServerRecord *servers;
};

// -------------------------------------------------------------- services ---

// The generic command's local record, valid during the activation. `evaluate`
// runs one command text as if the user had typed it; it may change the scene
// and the selection (and so republish InterfaceInfo::selected_items). Its
// result says nothing reliable about whether the change was applied: read the
// scene back to know.
struct LayoutGeneric {
    int (*save_scene)(const char *file);
    int (*load_scene)(const char *file, const char *name);
    void *data;
    int (*lookup)(void *data, const char *command_name);
    int (*execute)(void *data, int command, int argc, const void *argv, void *result);
    int (*evaluate)(void *data, const char *command_text);
    // Only in records of version 6 and later (the activation's `version`):
    // older hosts end the record above, so these must not be read there.
    // `command_arguments` gives the text typed after the command's name (""
    // when none), the host's and valid during the activation.
    // `parsed_arguments` is not used by the module.
    const char *(*command_arguments)(void *data);
    int (*parsed_arguments)(void *data, void **argv);
};

// The first LayoutGeneric version whose record holds command_arguments.
constexpr int32_t kGenericVersionWithArguments = 6;

// "LW Item Info 3": read-only queries on items. Item queries answer null when
// there is none. Returned names are the host's and valid until the next scene
// change. `param` fills three doubles (angles in radians, heading, pitch,
// bank) for the item at `time`; its codes are host_abi::kParam*.
struct ItemInfo {
    HostId (*first)(int kind_index, HostId bone_owner);
    HostId (*next)(HostId item);
    HostId (*first_child)(HostId parent);
    HostId (*next_child)(HostId parent, HostId previous_child);
    HostId (*parent)(HostId item);
    HostId (*target)(HostId item);
    HostId (*goal)(HostId item);
    int (*type)(HostId item);
    const char *(*name)(HostId item);
    void (*param)(HostId item, int code, double time, double *out3);
    unsigned (*limits)(HostId item, int code, double *min3, double *max3);
    const char *(*get_tag)(HostId item, int index);
    void (*set_tag)(HostId item, int index, const char *text);
    HostId (*channel_group)(HostId item);
    const char *(*server)(HostId item, const char *class_name, int index);
    unsigned (*server_flags)(HostId item, const char *class_name, int index);
    void (*controller)(HostId item, int code, int type[3]);
    unsigned (*flags)(HostId item);
    double (*look_ahead)(HostId item);
    double (*goal_strength)(HostId item);
    void (*stiffness)(HostId item, int code, double *out3);
};

// "LW Interface Info 3": a snapshot the host republishes after every command
// text. A `selected_items` list (ended by null) once handed out stays readable
// and unchanged until the activation returns; a command that changes the
// selection makes the host publish another list, so a module that sends
// commands while walking the selection reads it once and walks that list.
struct InterfaceInfo {
    double current_time;
    const HostId *selected_items;  // ended by a null id
    unsigned (*item_flags)(HostId item);
    int preview_start;
    int preview_end;
    int preview_step;
    int dyna_update;
    void (*schema_position)(HostId item, double *x, double *y);
    int (*item_visibility)(HostId item);
    unsigned display_flags;
    unsigned general_flags;
    int box_threshold;
    int (*item_color)(HostId item);
    int alert_level;
};

// "Info Messages 2": modal messages and questions. Texts are the caller's and
// only read during the call. The questions answer 1 for yes (or OK), 0 for no.
struct MessageFuncs {
    void (*info)(const char *text, const char *text2);
    void (*error)(const char *text, const char *text2);
    void (*warning)(const char *text, const char *text2);
    int (*ok_cancel)(const char *title, const char *text, const char *text2);
    int (*yes_no)(const char *title, const char *text, const char *text2);
    int (*yes_no_cancel)(const char *title, const char *text, const char *text2);
    int (*yes_no_all)(const char *title, const char *text, const char *text2);
};

// "Channel Info 2": read-only walks of channel groups and channels. Channel
// group, channel and envelope handles stay valid while the item that owns
// them exists, through parent commands included. `next_*` from null gives the
// first; null after the last.
struct ChannelInfo {
    HostId (*next_group)(HostId parent_group, HostId previous_group);
    HostId (*next_channel)(HostId group, HostId previous_channel);
    const char *(*group_name)(HostId group);
    const char *(*channel_name)(HostId channel);
    HostId (*group_parent)(HostId group);
    HostId (*channel_parent)(HostId channel);
    int (*channel_type)(HostId channel);
    double (*channel_evaluate)(HostId channel, double time);
    HostId (*channel_envelope)(HostId channel);
    int (*set_channel_event)(HostId channel, void *event, void *data);
    const char *(*server)(HostId channel, const char *class_name, int index);
    unsigned (*server_flags)(HostId channel, const char *class_name, int index);
    void *(*server_instance)(HostId channel, const char *class_name, int index);
    int (*server_apply)(HostId channel, const char *class_name, const char *name, int flags);
    void (*server_remove)(HostId channel, const char *class_name, const char *name, void *instance);
};

// "Animation Envelopes": envelopes and their keys. Keys run in time order from
// next_key(null) to prev_key(null). A key handle stays valid until that key is
// destroyed: through command texts, and while other keys of its envelope are
// created, moved or given values. `create_key` at the time of an existing key
// gives that key the value instead. key_set/key_get tags are host_abi::kKeyTag*,
// env_get tags host_abi::kEnvTag*; both return 1 when the tag was known.
struct EnvelopeFuncs {
    HostId (*create)(HostId group, const char *name, int type);
    void (*destroy)(HostId envelope);
    HostId (*create_group)(HostId parent, const char *name);
    void (*destroy_group)(HostId group);
    const char *(*copy)(HostId to, HostId from);
    const char *(*load)(HostId envelope, const void *load_state);
    const char *(*save)(HostId envelope, const void *save_state);
    double (*evaluate)(HostId envelope, double time);
    int (*edit)(HostId group, HostId envelope, int flags, void *data);
    int (*env_age)(HostId envelope);
    HostId (*create_key)(HostId envelope, double time, double value);
    void (*destroy_key)(HostId envelope, HostId key);
    HostId (*find_key)(HostId envelope, double time);
    HostId (*next_key)(HostId envelope, HostId key);
    HostId (*prev_key)(HostId envelope, HostId key);
    int (*key_set)(HostId envelope, HostId key, int tag, void *value);
    int (*key_get)(HostId envelope, HostId key, int tag, void *value);
    int (*set_env_event)(HostId envelope, void *event, void *data);
    int (*env_set)(HostId envelope, HostId group, int tag, void *value);
    int (*env_get)(HostId envelope, HostId group, int tag, void *value);
};

// "LW Scene Info 3": a read-only snapshot of the scene's settings, valid
// during the activation.
struct SceneInfo {
    const char *name;
    const char *filename;
    int point_count;
    int polygon_count;
    int render_type;
    int render_options;
    int frame_start;
    int frame_end;
    int frame_step;
    double frames_per_second;
    int frame_width;
    int frame_height;
    double pixel_aspect;
    int min_samples_per_pixel;
    int max_samples_per_pixel;
    int limited_region[4];
    int recursion_depth;
    HostId (*render_camera)(double time);
    int thread_count;
};

// ---------------------------------------------------------------- panels ---

// LWPanelServices. A panel and its controls belong to the host from create
// to destroy; the module must destroy every panel it creates before its
// activation returns. Tree callbacks and user data are the module's and must
// outlive the panel. Every callback runs on the interface thread, inside
// `open` of a modal panel.
typedef void *PanelId;

// A control value. The host reads and writes the whole 40 bytes whatever the
// kind, so every value handed to it must be a full record.
union PanelValue {
    struct { int kind; int value; int default_value; } intv;
    struct { int kind; void *ptr; } ptr;
    struct { int kind; char *buffer; int buffer_length; } str;
    struct { int kind; double value; double default_value; } flt;
    struct { int kind; int value[3]; int default_value; } ivec;
    struct { int kind; double value[3]; double default_value; } fvec;
    struct { int kind; int value[4]; } cust;
};

typedef int (*TreeCountFn)(void *data, void *node);
typedef void *(*TreeChildFn)(void *data, void *node, int index);
typedef char *(*TreeInfoFn)(void *data, void *node, int *node_flags);
typedef void (*TreeMoveFn)(void *data, void *node, void *new_parent, int index);

union ControlDesc {
    int kind;
    struct { int kind; int width; int height; } area;
    // Float and distance fields and check boxes: the kind alone, width 0
    // leaves the field's width to the host.
    struct { int kind; int width; } number;
    struct {
        int kind;
        int width;
        int height;
        TreeCountFn count;
        TreeChildFn child;
        TreeInfoFn info;
        TreeMoveFn move;
    } tree;
};

struct PanelControl {
    void (*draw)(PanelControl *control, int draw_mode);
    void (*get)(PanelControl *control, int tag, PanelValue *value);
    void (*set)(PanelControl *control, int tag, PanelValue *value);
    void *private_data;
};

typedef void (*PanelHookFn)(PanelId panel, void *user_data);
typedef int (*PanelKeyFn)(PanelId panel, void *user_data, unsigned short key);
typedef void (*ControlEventFn)(PanelControl *control, void *user_data);

struct PanelFuncs {
    PanelId (*create)(const char *title, void *unused);
    void (*destroy)(PanelId panel);
    int (*open)(PanelId panel, int flags);
    int (*handle)(PanelId panel, int flags);
    void (*draw)(PanelId panel, int draw_mode);
    void (*close)(PanelId panel);
    void (*get)(PanelId panel, int tag, void *value);
    void (*set)(PanelId panel, int tag, void *value);
    PanelControl *(*add_control)(PanelId panel, const char *type_name, ControlDesc *desc,
                                 const char *label);
    PanelControl *(*next_control)(PanelId panel, PanelControl *control);
    void *draw_funcs;
    void *user_data;
    GlobalLookupFn global_lookup;
};

// ------------------------------------------------------------- monitor ---

// "LWLMonFuncs": the progress window with an Abort button that long commands
// show. Use it in this order: create, setup, init, step..., done, destroy,
// all within the activation that created it. The id is opaque and valid
// from create to destroy; create answers null when no monitor can be made,
// and a host without one answers null to the lookup: work on without it.
// `step` advances by `increment` (0 only changes the message) and answers
// non-zero once the user has pressed Abort. Texts are the caller's and only
// read during the call; `history_file` may be null.
typedef void *MonitorId;

struct MonitorFuncs {
    MonitorId (*create)(void);
    void (*setup)(MonitorId monitor, const char *title, unsigned flags, const char *history_file);
    void (*set_window_position)(MonitorId monitor, int x, int y, int width, int height);
    void (*init)(MonitorId monitor, unsigned total, const char *message);
    int (*step)(MonitorId monitor, unsigned increment, const char *message);
    void (*done)(MonitorId monitor);
    void (*destroy)(MonitorId monitor);
};

}  // extern "C"

// ------------------------------------------------------------- constants ---

namespace host_abi {

constexpr uint32_t kSyncWord = 0x04121994u;
constexpr uint32_t kDescriptorVersion = 3;
constexpr uint32_t kMachineWord = 0x300;  // Windows Intel; the plug-in states it on every platform

constexpr uint32_t kTagUserName = 0x00000;
constexpr uint32_t kTagCommandGroup = 0x20000;

constexpr int kResultOk = 0;
constexpr int kResultBadGlobal = 2;

constexpr int kLookupTransient = 0;

// The services the module looks up, by the exact names the host publishes.
constexpr char kServiceItemInfo[] = "LW Item Info 3";
constexpr char kServiceInterfaceInfo[] = "LW Interface Info 3";
constexpr char kServiceMessages[] = "Info Messages 2";
constexpr char kServiceChannelInfo[] = "Channel Info 2";
constexpr char kServiceEnvelopes[] = "Animation Envelopes";
constexpr char kServiceSceneInfo[] = "LW Scene Info 3";
constexpr char kServicePanels[] = "LWPanelServices";
constexpr char kServiceMonitor[] = "LWLMonFuncs";
// Not a record: the lookup's pointer value is the product and build word.
constexpr char kServiceProductInfo[] = "Product Info";

// Item-list kind indices (first item of a kind); the item id kind is index + 1.
constexpr int kKindIndexObject = 0;
constexpr int kKindIndexLight = 1;
constexpr int kKindIndexCamera = 2;
constexpr int kKindIndexBone = 3;

// Item id kinds, bits 28 to 31 of the low 32 bits.
constexpr uint32_t kIdKindObject = 1;
constexpr uint32_t kIdKindLight = 2;
constexpr uint32_t kIdKindCamera = 3;
constexpr uint32_t kIdKindBone = 4;

constexpr int kParamPosition = 1;
constexpr int kParamRight = 2;
constexpr int kParamUp = 3;
constexpr int kParamForward = 4;
constexpr int kParamRotation = 5;
constexpr int kParamScaling = 6;
constexpr int kParamPivot = 7;
constexpr int kParamWorldPosition = 8;
constexpr int kParamWorldRight = 9;
constexpr int kParamWorldUp = 10;
constexpr int kParamWorldForward = 11;
constexpr int kParamPivotRotation = 12;

constexpr unsigned kItemFlagFullTimeIk = 1u << 2;
constexpr unsigned kGeneralFlagParentInPlace = 1u << 2;

// Key tags: value and time are doubles, the shape an int, the rest doubles.
constexpr int kKeyTagValue = 0;
constexpr int kKeyTagTime = 1;
constexpr int kKeyTagShape = 2;
constexpr int kKeyTagTension = 3;
constexpr int kKeyTagContinuity = 4;
constexpr int kKeyTagBias = 5;
// A Hermite key's tangents, as the value's change across the span before
// (PARAM_0) and after (PARAM_1) the key; PARAM_0 to PARAM_3 are tags 6 to 9.
constexpr int kKeyTagParam0 = 6;
constexpr int kKeyTagParam1 = 7;
constexpr int kKeyTagParam3 = 9;
// Key shapes: the curve of the span that ends at the key.
constexpr int kKeyShapeTcb = 0;
constexpr int kKeyShapeHermite = 1;
constexpr int kKeyShapeBezier = 2;
constexpr int kKeyShapeLinear = 3;
constexpr int kKeyShapeStepped = 4;
constexpr int kKeyShapeBezier2D = 5;
// Envelope tags (ints): the behaviours before the first and after the last
// key, and the key count (get only).
constexpr int kEnvTagPreBehavior = 1;
constexpr int kEnvTagPostBehavior = 2;
constexpr int kEnvTagKeyCount = 3;

// Panel value kinds, panel tags, control tags, draw modes.
constexpr int kValueString = 1;
constexpr int kValueInteger = 2;
constexpr int kValueFloat = 3;     // float fields; also the value kind of distance fields
constexpr int kValueDistance = 4;  // a float field shown in the scene's units
constexpr int kValueBoolean = 8;   // a check box; its value travels as an integer
constexpr int kValueArea = 19;
constexpr int kValueTree = 21;
constexpr int kValuePointer = 23;

constexpr int kPanelX = 0;
constexpr int kPanelY = 1;
constexpr int kPanelW = 2;
constexpr int kPanelH = 3;
constexpr int kPanelUserOpen = 9;
constexpr int kPanelUserData = 12;
constexpr int kPanelUserKeys = 13;
constexpr int kPanelQualifiers = 22;

constexpr int kControlX = 0;
constexpr int kControlY = 1;
constexpr int kControlValue = 4;
constexpr int kControlUserEvent = 14;
constexpr int kControlUserData = 16;
constexpr int kControlPanel = 17;
constexpr int kControlPanelFuncs = 18;

constexpr int kDrawRender = 1;
constexpr int kDrawGhost = 2;
constexpr int kDrawRefresh = 3;

constexpr int kNodeFlagExpanded = 1;

// Monitor setup flags: no Abort button, the window stays open after done
// until the user closes it, the history file is appended to, every step is
// drawn (steps are otherwise drawn at the host's pace).
constexpr unsigned kMonitorNoAbort = 1;
constexpr unsigned kMonitorReview = 2;
constexpr unsigned kMonitorHistoryAppend = 4;
constexpr unsigned kMonitorImmediateUpdate = 8;

}  // namespace host_abi

// ------------------------------------------- layout of the host's records ---
// Offsets are those of the host's 64-bit Windows build; Linux x86-64 gives the
// same once `long` is out of the picture.

#define HOST_ABI_FIELD(record, field, offset) \
    static_assert(offsetof(record, field) == (offset), #record "." #field " offset")

static_assert(sizeof(void *) == 8, "the host is a 64-bit program");

static_assert(sizeof(ServerTag) == 16, "ServerTag size");
HOST_ABI_FIELD(ServerTag, tag, 8);
static_assert(sizeof(ServerRecord) == 32, "ServerRecord size");
HOST_ABI_FIELD(ServerRecord, server_name, 8);
HOST_ABI_FIELD(ServerRecord, activate, 16);
HOST_ABI_FIELD(ServerRecord, tags, 24);
static_assert(sizeof(ModuleDescriptor) == 40, "ModuleDescriptor size");
HOST_ABI_FIELD(ModuleDescriptor, descriptor_version, 4);
HOST_ABI_FIELD(ModuleDescriptor, machine_word, 8);
HOST_ABI_FIELD(ModuleDescriptor, startup, 16);
HOST_ABI_FIELD(ModuleDescriptor, shutdown, 24);
HOST_ABI_FIELD(ModuleDescriptor, servers, 32);

HOST_ABI_FIELD(LayoutGeneric, data, 16);
HOST_ABI_FIELD(LayoutGeneric, lookup, 24);
HOST_ABI_FIELD(LayoutGeneric, execute, 32);
HOST_ABI_FIELD(LayoutGeneric, evaluate, 40);
HOST_ABI_FIELD(LayoutGeneric, command_arguments, 48);
HOST_ABI_FIELD(LayoutGeneric, parsed_arguments, 56);
static_assert(sizeof(LayoutGeneric) == 64, "LayoutGeneric size (version 6)");

HOST_ABI_FIELD(ItemInfo, next, 8);
HOST_ABI_FIELD(ItemInfo, first_child, 16);
HOST_ABI_FIELD(ItemInfo, next_child, 24);
HOST_ABI_FIELD(ItemInfo, parent, 32);
HOST_ABI_FIELD(ItemInfo, target, 40);
HOST_ABI_FIELD(ItemInfo, goal, 48);
HOST_ABI_FIELD(ItemInfo, type, 56);
HOST_ABI_FIELD(ItemInfo, name, 64);
HOST_ABI_FIELD(ItemInfo, param, 72);
HOST_ABI_FIELD(ItemInfo, limits, 80);
HOST_ABI_FIELD(ItemInfo, get_tag, 88);
HOST_ABI_FIELD(ItemInfo, set_tag, 96);
HOST_ABI_FIELD(ItemInfo, channel_group, 104);
HOST_ABI_FIELD(ItemInfo, server, 112);
HOST_ABI_FIELD(ItemInfo, server_flags, 120);
HOST_ABI_FIELD(ItemInfo, controller, 128);
HOST_ABI_FIELD(ItemInfo, flags, 136);
HOST_ABI_FIELD(ItemInfo, look_ahead, 144);
HOST_ABI_FIELD(ItemInfo, goal_strength, 152);
HOST_ABI_FIELD(ItemInfo, stiffness, 160);
static_assert(sizeof(ItemInfo) == 168, "ItemInfo size");

HOST_ABI_FIELD(InterfaceInfo, current_time, 0);
HOST_ABI_FIELD(InterfaceInfo, selected_items, 8);
HOST_ABI_FIELD(InterfaceInfo, item_flags, 16);
HOST_ABI_FIELD(InterfaceInfo, preview_start, 24);
HOST_ABI_FIELD(InterfaceInfo, preview_end, 28);
HOST_ABI_FIELD(InterfaceInfo, preview_step, 32);
HOST_ABI_FIELD(InterfaceInfo, dyna_update, 36);
HOST_ABI_FIELD(InterfaceInfo, schema_position, 40);
HOST_ABI_FIELD(InterfaceInfo, item_visibility, 48);
HOST_ABI_FIELD(InterfaceInfo, display_flags, 56);
HOST_ABI_FIELD(InterfaceInfo, general_flags, 60);
HOST_ABI_FIELD(InterfaceInfo, box_threshold, 64);
HOST_ABI_FIELD(InterfaceInfo, item_color, 72);
HOST_ABI_FIELD(InterfaceInfo, alert_level, 80);
static_assert(sizeof(InterfaceInfo) == 88, "InterfaceInfo size");

HOST_ABI_FIELD(MessageFuncs, error, 8);
HOST_ABI_FIELD(MessageFuncs, warning, 16);
HOST_ABI_FIELD(MessageFuncs, ok_cancel, 24);
HOST_ABI_FIELD(MessageFuncs, yes_no, 32);
static_assert(sizeof(MessageFuncs) == 56, "MessageFuncs size");

HOST_ABI_FIELD(ChannelInfo, next_channel, 8);
HOST_ABI_FIELD(ChannelInfo, channel_evaluate, 56);
HOST_ABI_FIELD(ChannelInfo, channel_envelope, 64);
static_assert(sizeof(ChannelInfo) == 120, "ChannelInfo size");

HOST_ABI_FIELD(EnvelopeFuncs, evaluate, 56);
HOST_ABI_FIELD(EnvelopeFuncs, create_key, 80);
HOST_ABI_FIELD(EnvelopeFuncs, destroy_key, 88);
HOST_ABI_FIELD(EnvelopeFuncs, find_key, 96);
HOST_ABI_FIELD(EnvelopeFuncs, next_key, 104);
HOST_ABI_FIELD(EnvelopeFuncs, prev_key, 112);
HOST_ABI_FIELD(EnvelopeFuncs, key_set, 120);
HOST_ABI_FIELD(EnvelopeFuncs, key_get, 128);
HOST_ABI_FIELD(EnvelopeFuncs, env_set, 144);
HOST_ABI_FIELD(EnvelopeFuncs, env_get, 152);
static_assert(sizeof(EnvelopeFuncs) == 160, "EnvelopeFuncs size");

HOST_ABI_FIELD(SceneInfo, point_count, 16);
HOST_ABI_FIELD(SceneInfo, frame_start, 32);
HOST_ABI_FIELD(SceneInfo, frame_end, 36);
HOST_ABI_FIELD(SceneInfo, frame_step, 40);
HOST_ABI_FIELD(SceneInfo, frames_per_second, 48);
HOST_ABI_FIELD(SceneInfo, frame_width, 56);
HOST_ABI_FIELD(SceneInfo, pixel_aspect, 64);
HOST_ABI_FIELD(SceneInfo, min_samples_per_pixel, 72);
HOST_ABI_FIELD(SceneInfo, limited_region, 80);
HOST_ABI_FIELD(SceneInfo, recursion_depth, 96);
HOST_ABI_FIELD(SceneInfo, render_camera, 104);
HOST_ABI_FIELD(SceneInfo, thread_count, 112);
static_assert(sizeof(SceneInfo) == 120, "SceneInfo size");

static_assert(sizeof(PanelValue) == 40 && alignof(PanelValue) == 8, "PanelValue size");
static_assert(offsetof(PanelValue, intv.value) == 4, "PanelValue int member");
static_assert(offsetof(PanelValue, ptr.ptr) == 8, "PanelValue pointer member");
static_assert(offsetof(PanelValue, str.buffer_length) == 16, "PanelValue text length");
static_assert(offsetof(PanelValue, flt.default_value) == 16, "PanelValue float default");
static_assert(offsetof(PanelValue, ivec.default_value) == 16, "PanelValue int vector default");
static_assert(offsetof(PanelValue, fvec.default_value) == 32, "PanelValue float vector default");

static_assert(sizeof(ControlDesc) == 48, "ControlDesc size");
static_assert(offsetof(ControlDesc, area.width) == 4 && offsetof(ControlDesc, area.height) == 8,
              "ControlDesc area");
static_assert(offsetof(ControlDesc, number.width) == 4, "ControlDesc number");
static_assert(offsetof(PanelValue, flt.value) == 8, "PanelValue float member");
static_assert(offsetof(ControlDesc, tree.count) == 16 && offsetof(ControlDesc, tree.child) == 24 &&
                  offsetof(ControlDesc, tree.info) == 32 && offsetof(ControlDesc, tree.move) == 40,
              "ControlDesc tree callbacks");

static_assert(sizeof(PanelControl) == 32, "PanelControl size");
HOST_ABI_FIELD(PanelControl, get, 8);
HOST_ABI_FIELD(PanelControl, set, 16);
HOST_ABI_FIELD(PanelControl, private_data, 24);

HOST_ABI_FIELD(PanelFuncs, open, 16);
HOST_ABI_FIELD(PanelFuncs, handle, 24);
HOST_ABI_FIELD(PanelFuncs, draw, 32);
HOST_ABI_FIELD(PanelFuncs, close, 40);
HOST_ABI_FIELD(PanelFuncs, get, 48);
HOST_ABI_FIELD(PanelFuncs, set, 56);
HOST_ABI_FIELD(PanelFuncs, add_control, 64);
HOST_ABI_FIELD(PanelFuncs, next_control, 72);
HOST_ABI_FIELD(PanelFuncs, draw_funcs, 80);
HOST_ABI_FIELD(PanelFuncs, user_data, 88);
HOST_ABI_FIELD(PanelFuncs, global_lookup, 96);
static_assert(sizeof(PanelFuncs) == 104, "PanelFuncs size");

HOST_ABI_FIELD(MonitorFuncs, setup, 8);
HOST_ABI_FIELD(MonitorFuncs, set_window_position, 16);
HOST_ABI_FIELD(MonitorFuncs, init, 24);
HOST_ABI_FIELD(MonitorFuncs, step, 32);
HOST_ABI_FIELD(MonitorFuncs, done, 40);
HOST_ABI_FIELD(MonitorFuncs, destroy, 48);
static_assert(sizeof(MonitorFuncs) == 56, "MonitorFuncs size");

#undef HOST_ABI_FIELD
