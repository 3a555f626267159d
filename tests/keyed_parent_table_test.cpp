// The keyed re-parent called directly inside a headless host activation, for
// what only a controlled host shows: the frame table's memory, and key times
// or channel groups no real scene hands out. The services are the host's own;
// a case overrides only the one operation it needs.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "host/core/host.h"
#include "host/core/services.h"
#include "plugin/support/host_context.h"
#include "plugin/support/item_id.h"
#include "plugin/links/link_emission.h"
#include "plugin/worldpos/key_frame_table.h"

namespace headless {
namespace {

// Counts what the frame table asks for and can be told to refuse.
struct CountingAllocator {
    std::vector<size_t> grown_to;  // bytes of every successful growth
    int live_blocks = 0;
    int refuse_from_growth = -1;  // index of the first growth to refuse; -1 never
    bool misaligned = false;

    static void *resize(void *data, void *block, size_t bytes) {
        auto *self = static_cast<CountingAllocator *>(data);
        if (self->refuse_from_growth >= 0 && static_cast<int>(self->grown_to.size()) >= self->refuse_from_growth)
            return nullptr;
        void *grown = platform_key_frame_allocator()->resize(nullptr, block, bytes);
        if (grown) {
            if (!block) ++self->live_blocks;
            self->grown_to.push_back(bytes);
            if (reinterpret_cast<uintptr_t>(grown) % 16 != 0) self->misaligned = true;
        }
        return grown;
    }
    static void release(void *data, void *block) {
        --static_cast<CountingAllocator *>(data)->live_blocks;
        platform_key_frame_allocator()->release(nullptr, block);
    }
    KeyFrameAllocator table() { return KeyFrameAllocator{resize, release, this}; }
};

// What the activation hands to the operation; set by the test before it runs.
struct Call {
    std::vector<HostId> items;
    uint64_t new_parent = 0;
    const KeyFrameAllocator *allocator = nullptr;
    const ChannelInfo *channel_info = nullptr;  // a patched copy of the host's, or null
    const EnvelopeFuncs *envelopes = nullptr;   // likewise
    bool result = false;
};
Call *g_call = nullptr;

int keyed_parent_activation(int32_t, GlobalLookupFn global, void *local, void *) {
    HostContext context{};
    if (open_host_context(global, &context) != 0) return 2;
    context.generic_local = static_cast<const LayoutGeneric *>(local);
    context.scene_info = static_cast<const SceneInfo *>(global(host_abi::kServiceSceneInfo, 0));
    if (g_call->channel_info) context.channel_info = g_call->channel_info;
    if (g_call->envelopes) context.envelopes = g_call->envelopes;
    std::vector<HostId> list = g_call->items;
    list.push_back(nullptr);
    g_call->result = reparent_keeping_world_motion(&context, list.data(), g_call->new_parent, g_call->allocator);
    return 0;
}

const ServerRecord kKeyedParentServer = {"LayoutGeneric", "keyed_parent_table_test", keyed_parent_activation, nullptr};

class KeyedParentTable : public ::testing::Test {
protected:
    void SetUp() override {
        allocator = counting.table();
        call.allocator = &allocator;
        parent = scene().add_object("Base");
        item(parent).set_static(kPositionX, {0, 0, 5});
    }
    void TearDown() override { EXPECT_TRUE(host.violations.empty()) << host.violations.front(); }

    Scene &scene() { return host.scene(); }
    Item &item(ItemIdValue id) { return *scene().find(id); }
    Envelope &envelope(ItemIdValue id, MotionChannel channel) { return item(id).channel(channel).envelope; }
    EnvelopeKey *key(ItemIdValue id, MotionChannel channel, double time, double value) {
        return envelope(id, channel).create_key(time, value);
    }

    bool reparent(const std::vector<ItemIdValue> &items) {
        call.items.clear();
        for (ItemIdValue id : items) call.items.push_back(to_handle(id));
        call.new_parent = parent;
        g_call = &call;
        host.commands.clear();
        host.activate(kKeyedParentServer);
        g_call = nullptr;
        return call.result;
    }

    std::vector<std::string> command_texts() const {
        std::vector<std::string> texts;
        for (const CommandRecord &record : host.commands) texts.push_back(record.text);
        return texts;
    }

    static std::string long_id(ItemIdValue id) {
        char digits[9];
        write_item_id_hex(id, digits);
        return digits;
    }

    Host host;
    Call call;
    CountingAllocator counting;
    KeyFrameAllocator allocator{};
    ItemIdValue parent = 0;
};

// Records are sized by frames, not keys: 25 at 24 fps for keys 1 s apart, 31
// then 61 at 30 fps. A shorter item after a longer one reuses the table.
TEST_F(KeyedParentTable, GrowsToExactlyTheCountAndIsReused) {
    scene().frames_per_second = 24.0;
    const ItemIdValue first = scene().add_object("First");
    key(first, kPositionX, 0.0, 0.0);
    key(first, kHeading, 1.0, 0.0);
    EXPECT_TRUE(reparent({first}));
    EXPECT_EQ(counting.grown_to, std::vector<size_t>{25 * sizeof(KeyFrameRecord)});

    scene().frames_per_second = 30.0;
    counting.grown_to.clear();
    const ItemIdValue longer = scene().add_object("Long");
    const ItemIdValue shorter = scene().add_object("Short");
    const ItemIdValue longest = scene().add_object("Longest");
    key(longer, kPositionX, 0.0, 0.0);
    key(longer, kPositionX, 1.0, 1.0);  // 31 records
    key(shorter, kBank, 0.5, 0.0);
    key(shorter, kPitch, 0.0, 0.0);  // 16 records
    key(longest, kPositionZ, -1.0, 0.0);
    key(longest, kHeading, 1.0, 0.0);  // 61 records
    EXPECT_TRUE(reparent({longer, shorter, longest}));
    EXPECT_EQ(counting.grown_to, (std::vector<size_t>{31 * sizeof(KeyFrameRecord), 61 * sizeof(KeyFrameRecord)}));
    EXPECT_EQ(counting.live_blocks, 0);
    EXPECT_FALSE(counting.misaligned);
    EXPECT_EQ(item(shorter).parent, parent);
    EXPECT_EQ(envelope(shorter, kPositionX).key_count(), 2u);
}

// A failed growth ends the call: earlier items stay done, the item in hand and
// later ones are untouched, and Parent in Place is switched back on.
TEST_F(KeyedParentTable, FailedGrowthEndsTheCallAndRestoresParentInPlace) {
    scene().general_flags |= host_abi::kGeneralFlagParentInPlace;
    const ItemIdValue first = scene().add_object("First");
    const ItemIdValue second = scene().add_object("Second");
    const ItemIdValue third = scene().add_object("Third");
    key(first, kPositionX, 0.0, 1.0);
    key(second, kPositionX, 0.0, 1.0);
    key(second, kPositionX, 2.0, 1.0);
    key(third, kPositionX, 0.0, 1.0);

    counting.refuse_from_growth = 1;
    EXPECT_FALSE(reparent({first, second, third}));
    EXPECT_EQ(command_texts(), (std::vector<std::string>{"ParentInPlace", "SelectItem " + long_id(first),
                                                         "ParentItem " + long_id(parent), "ParentInPlace"}));
    EXPECT_EQ(item(first).parent, parent);
    EXPECT_EQ(item(second).parent, 0u);
    EXPECT_EQ(envelope(second, kPositionY).key_count(), 0u);
    EXPECT_EQ(counting.live_blocks, 0);
    EXPECT_TRUE(scene().general_flags & host_abi::kGeneralFlagParentInPlace);
}

// ------------------------------------------------------- hostile key times ---

// The host's envelopes, except that one key reports a time of the test's choosing.
const EnvelopeKey *g_hostile_key = nullptr;
double g_hostile_time = 0.0;

int hostile_key_get(HostId envelope, HostId key, int tag, void *value) {
    if (key == g_hostile_key && tag == host_abi::kKeyTagTime && value) {
        *static_cast<double *>(value) = g_hostile_time;
        return 1;
    }
    return envelope_service().key_get(envelope, key, tag, value);
}

struct HostileTime {
    const char *name;
    int key_index;  // of position X's keys at 0, 0.5 and 1 s
    double time;
};
// By name: gtest would otherwise print the record's bytes, padding included.
void PrintTo(const HostileTime &value, std::ostream *out) { *out << value.name; }

class HostileKeyTimes : public KeyedParentTable, public ::testing::WithParamInterface<HostileTime> {};

// Times that are not numbers, lie beyond any frame, or break the time order
// end the call as a failed growth does, with nothing written for the item.
TEST_P(HostileKeyTimes, EndTheCallWithNothingWrittenForTheItem) {
    scene().general_flags |= host_abi::kGeneralFlagParentInPlace;
    const ItemIdValue mover = scene().add_object("Mover");
    const EnvelopeKey *keys[] = {key(mover, kPositionX, 0.0, 1.0), key(mover, kPositionX, 0.5, 2.0),
                                 key(mover, kPositionX, 1.0, 3.0)};
    key(mover, kHeading, 0.5, 0.25);
    EnvelopeFuncs patched = envelope_service();
    patched.key_get = hostile_key_get;
    call.envelopes = &patched;
    g_hostile_key = keys[GetParam().key_index];
    g_hostile_time = GetParam().time;

    EXPECT_FALSE(reparent({mover}));
    g_hostile_key = nullptr;
    EXPECT_EQ(command_texts(), (std::vector<std::string>{"ParentInPlace", "ParentInPlace"}));
    EXPECT_EQ(item(mover).parent, 0u);
    EXPECT_EQ(envelope(mover, kPositionY).key_count(), 0u);
    EXPECT_EQ(envelope(mover, kHeading).key_count(), 1u);
    for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(keys[i]->value, 1.0 + i);
    EXPECT_EQ(counting.live_blocks, 0);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInfinity = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Times, HostileKeyTimes,
    ::testing::Values(HostileTime{"NotANumber", 0, kNaN}, HostileTime{"Infinite", 2, kInfinity},
                      HostileTime{"MinusInfinite", 0, -kInfinity}, HostileTime{"Huge", 2, 1e300},
                      HostileTime{"MiddleNotANumber", 1, kNaN}, HostileTime{"MiddleBeforeTheFirst", 1, -1.0},
                      HostileTime{"MiddleAfterTheLast", 1, 2.0}),
    [](const ::testing::TestParamInfo<HostileTime> &info) { return std::string(info.param.name); });

// ------------------------------------------------------ short channel group ---

// The host's channels, except that groups end after `g_channel_limit`
// channels and `g_channel_without_envelope` has no envelope.
size_t g_channel_limit = kMotionChannels;
const Channel *g_channel_without_envelope = nullptr;

HostId short_next_channel(HostId group, HostId previous) {
    const HostId next = channel_info_service().next_channel(group, previous);
    const auto &channels = static_cast<ChannelGroup *>(group)->channels;
    for (size_t i = g_channel_limit; i < channels.size(); ++i)
        if (channels[i].get() == next) return nullptr;
    return next;
}

HostId patchy_envelope(HostId channel) {
    return channel == g_channel_without_envelope ? nullptr : channel_info_service().channel_envelope(channel);
}

TEST_F(KeyedParentTable, ShortGroupsAndMissingEnvelopesCountAsUnkeyedChannels) {
    ChannelInfo patched = channel_info_service();
    patched.next_channel = short_next_channel;
    patched.channel_envelope = patchy_envelope;
    call.channel_info = &patched;
    const ItemIdValue mover = scene().add_object("Mover");
    g_channel_limit = 4;
    g_channel_without_envelope = &item(mover).channel(kPositionY);

    key(mover, kPositionX, 0.0, 1.0);
    key(mover, kPositionY, 0.0, 2.0);  // behind the missing envelope: not seen, not written
    key(mover, kBank, 0.5, 0.3);       // beyond the short group: not seen, not written
    EXPECT_TRUE(reparent({mover}));
    EXPECT_EQ(item(mover).parent, parent);
    ASSERT_EQ(envelope(mover, kPositionZ).key_count(), 1u);
    EXPECT_DOUBLE_EQ(envelope(mover, kPositionZ).keys()[0]->value, -5.0);
    ASSERT_EQ(envelope(mover, kPositionY).key_count(), 1u);
    EXPECT_DOUBLE_EQ(envelope(mover, kPositionY).keys()[0]->value, 2.0);
    EXPECT_EQ(envelope(mover, kBank).key_count(), 1u);
    EXPECT_EQ(envelope(mover, kPitch).key_count(), 0u);

    // Only the keyed channels count: a group of unkeyed channels leaves the item alone.
    g_channel_limit = 1;
    const ItemIdValue other = scene().add_object("Other");
    key(other, kBank, 0.0, 1.0);
    EXPECT_TRUE(reparent({other}));
    EXPECT_EQ(item(other).parent, 0u);
    g_channel_limit = kMotionChannels;
    g_channel_without_envelope = nullptr;
}

}  // namespace
}  // namespace headless
