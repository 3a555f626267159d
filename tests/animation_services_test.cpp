// "Channel Info 2" and "Animation Envelopes" as a plug-in sees them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "host/core/host.h"
#include "host/core/services.h"

namespace headless {
namespace {

constexpr int kTagTension = 3;
constexpr int kTagParam1 = 7;
constexpr int kTagPre = 1;
constexpr int kTagPost = 2;

class AnimationServices : public ::testing::Test {
protected:
    HostId group_of(ItemIdValue id) { return items.channel_group(to_handle(id)); }
    HostId channel(ItemIdValue id, int index) {
        HostId c = channels.next_channel(group_of(id), nullptr);
        for (int i = 0; i < index; ++i) c = channels.next_channel(group_of(id), c);
        return c;
    }
    HostId envelope(ItemIdValue id, int index) { return channels.channel_envelope(channel(id, index)); }
    int key_count(HostId env) {
        int count = -1;
        EXPECT_EQ(envelopes.env_get(env, nullptr, host_abi::kEnvTagKeyCount, &count), 1);
        return count;
    }
    std::vector<double> key_times(HostId env) {
        std::vector<double> times;
        for (HostId key = envelopes.next_key(env, nullptr); key; key = envelopes.next_key(env, key)) {
            double time = 0;
            EXPECT_EQ(envelopes.key_get(env, key, host_abi::kKeyTagTime, &time), 1);
            times.push_back(time);
        }
        return times;
    }

    Host host;
    Scene &scene = host.scene();
    const ItemInfo &items = item_info_service();
    const ChannelInfo &channels = channel_info_service();
    const EnvelopeFuncs &envelopes = envelope_service();
};

TEST_F(AnimationServices, EveryItemsGroupHoldsTheMotionChannelsInTheHostsOrder) {
    const ItemIdValue a = scene.add_object("A");
    const ItemIdValue bone = scene.add_bone(a, "bone");
    const ItemIdValue camera = scene.add_camera("Cam");
    const ItemIdValue light = scene.add_light("Light");
    const ItemIdValue b = scene.add_object("B");

    const HostId group = group_of(camera);
    ASSERT_NE(group, nullptr);
    EXPECT_STREQ(channels.group_name(group), "Cam");
    EXPECT_EQ(channels.group_parent(group), nullptr);
    const char *const names[] = {"Position.X", "Position.Y", "Position.Z", "Rotation.H", "Rotation.P",
                                 "Rotation.B", "Scale.X",    "Scale.Y",    "Scale.Z"};
    const int types[] = {3, 3, 3, 5, 5, 5, 4, 4, 4};
    int index = 0;
    for (HostId c = channels.next_channel(group, nullptr); c; c = channels.next_channel(group, c), ++index) {
        ASSERT_LT(index, 9);
        EXPECT_STREQ(channels.channel_name(c), names[index]);
        EXPECT_EQ(channels.channel_type(c), types[index]);
        EXPECT_EQ(channels.channel_parent(c), group);
        EXPECT_NE(channels.channel_envelope(c), nullptr);
    }
    EXPECT_EQ(index, 9);

    // The groups at the root, in the host's item order; none below them.
    std::vector<HostId> walked;
    for (HostId g = channels.next_group(nullptr, nullptr); g; g = channels.next_group(nullptr, g)) walked.push_back(g);
    EXPECT_EQ(walked, (std::vector<HostId>{group_of(a), group_of(bone), group_of(b), group_of(light), group}));
    EXPECT_EQ(channels.next_group(group, nullptr), nullptr);
}

TEST_F(AnimationServices, ChannelsEvaluateTheirEnvelopesAsTheItemInfoDoes) {
    const ItemIdValue a = scene.add_object("A");
    const HostId heading = envelope(a, kHeading);
    envelopes.create_key(heading, 0.0, 0.0);
    envelopes.create_key(heading, 1.0, 1.0);
    envelopes.create_key(heading, 2.0, 0.0);
    EXPECT_NEAR(channels.channel_evaluate(channel(a, kHeading), 0.5), 0.625, 1e-12);
    EXPECT_NEAR(envelopes.evaluate(heading, 1.5), 0.625, 1e-12);
    double rotation[3];
    items.param(to_handle(a), host_abi::kParamRotation, 0.5, rotation);
    EXPECT_NEAR(rotation[0], 0.625, 1e-12);
    // A channel without keys holds its static value: scale 1.
    EXPECT_EQ(channels.channel_evaluate(channel(a, kScaleY), 3.0), 1.0);
}

TEST_F(AnimationServices, KeysRunInTimeOrderWhateverOrderTheyAreMadeOrMovedIn) {
    const ItemIdValue a = scene.add_object("A");
    const HostId env = envelope(a, kPositionX);
    EXPECT_EQ(key_count(env), 0);
    EXPECT_EQ(envelopes.next_key(env, nullptr), nullptr);
    EXPECT_EQ(envelopes.prev_key(env, nullptr), nullptr);

    const HostId late = envelopes.create_key(env, 2.0, 20.0);
    const HostId early = envelopes.create_key(env, 0.0, 0.0);
    const HostId middle = envelopes.create_key(env, 1.0, 10.0);
    EXPECT_EQ(key_count(env), 3);
    EXPECT_EQ(key_times(env), (std::vector<double>{0.0, 1.0, 2.0}));
    EXPECT_EQ(envelopes.next_key(env, nullptr), early);
    EXPECT_EQ(envelopes.prev_key(env, nullptr), late);
    EXPECT_EQ(envelopes.find_key(env, 1.0), middle);
    EXPECT_EQ(envelopes.find_key(env, 1.5), nullptr);

    // A key at a time already keyed takes the value.
    EXPECT_EQ(envelopes.create_key(env, 1.0, 11.0), middle);
    EXPECT_EQ(key_count(env), 3);

    // Moving a key in time keeps the order; the handle stays the key's.
    double time = 3.0;
    EXPECT_EQ(envelopes.key_set(env, early, host_abi::kKeyTagTime, &time), 1);
    EXPECT_EQ(key_times(env), (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_EQ(envelopes.prev_key(env, nullptr), early);

    double value = -4.0;
    EXPECT_EQ(envelopes.key_set(env, middle, host_abi::kKeyTagValue, &value), 1);
    EXPECT_EQ(envelopes.evaluate(env, 1.0), -4.0);

    envelopes.destroy_key(env, late);
    EXPECT_EQ(key_count(env), 2);
    EXPECT_EQ(key_times(env), (std::vector<double>{1.0, 3.0}));
}

TEST_F(AnimationServices, KeyAndEnvelopePropertiesGoBothWays) {
    const ItemIdValue a = scene.add_object("A");
    const HostId env = envelope(a, kPitch);
    const HostId key = envelopes.create_key(env, 0.5, 1.0);

    int shape = -1;
    EXPECT_EQ(envelopes.key_get(env, key, host_abi::kKeyTagShape, &shape), 1);
    EXPECT_EQ(shape, 0);  // new keys are TCB
    shape = 1;
    EXPECT_EQ(envelopes.key_set(env, key, host_abi::kKeyTagShape, &shape), 1);
    double number = 0.25;
    EXPECT_EQ(envelopes.key_set(env, key, kTagTension, &number), 1);
    number = -3.0;
    EXPECT_EQ(envelopes.key_set(env, key, kTagParam1, &number), 1);
    const Envelope &stored_in = scene.find(a)->channel(kPitch).envelope;
    const EnvelopeKey *stored = stored_in.keys().front().get();
    EXPECT_EQ(stored_in.details(stored).shape(), KeyShape::Hermite);
    EXPECT_EQ(stored_in.details(stored).tension(), 0.25);
    EXPECT_EQ(stored_in.details(stored).param(1), -3.0);
    EXPECT_EQ(envelopes.key_get(env, key, kTagParam1, &number), 1);
    EXPECT_EQ(number, -3.0);

    int behavior = 3;
    EXPECT_EQ(envelopes.env_set(env, nullptr, kTagPost, &behavior), 1);
    behavior = -1;
    EXPECT_EQ(envelopes.env_get(env, group_of(a), kTagPost, &behavior), 1);
    EXPECT_EQ(behavior, 3);
    EXPECT_EQ(envelopes.env_get(env, nullptr, kTagPre, &behavior), 1);
    EXPECT_EQ(behavior, 1);  // constant

    // What cannot be set is refused and changes nothing.
    int count = 7;
    EXPECT_EQ(envelopes.env_set(env, nullptr, host_abi::kEnvTagKeyCount, &count), 0);
    behavior = 6;
    EXPECT_EQ(envelopes.env_set(env, nullptr, kTagPre, &behavior), 0);
    shape = 9;
    EXPECT_EQ(envelopes.key_set(env, key, host_abi::kKeyTagShape, &shape), 0);
    EXPECT_EQ(envelopes.key_set(env, key, 10, &number), 0);
    EXPECT_EQ(envelopes.key_get(env, key, host_abi::kKeyTagValue, nullptr), 0);
    EXPECT_EQ(key_count(env), 1);
    EXPECT_EQ(stored_in.details(stored).shape(), KeyShape::Hermite);
}

// A key's tension and tangents live apart from it: clearing them must not
// lose its shape, and the key made in a destroyed key's place must not
// inherit them.
TEST_F(AnimationServices, ClearedSettingsKeepTheShapeAndADestroyedKeysSettingsDieWithIt) {
    const ItemIdValue a = scene.add_object("A");
    const HostId env = envelope(a, kPositionX);
    envelopes.create_key(env, 0.0, 0.0);
    envelopes.create_key(env, 2.0, 2.0);
    const HostId old_key = envelopes.create_key(env, 1.0, 5.0);
    int shape = 1;  // Hermite
    ASSERT_EQ(envelopes.key_set(env, old_key, host_abi::kKeyTagShape, &shape), 1);
    double number = 3.0;
    ASSERT_EQ(envelopes.key_set(env, old_key, kTagParam1, &number), 1);
    number = 0.0;
    ASSERT_EQ(envelopes.key_set(env, old_key, kTagParam1, &number), 1);
    shape = -1;
    EXPECT_EQ(envelopes.key_get(env, old_key, host_abi::kKeyTagShape, &shape), 1);
    EXPECT_EQ(shape, 1);

    number = 0.5;
    ASSERT_EQ(envelopes.key_set(env, old_key, kTagTension, &number), 1);
    number = 3.0;
    ASSERT_EQ(envelopes.key_set(env, old_key, kTagParam1, &number), 1);
    envelopes.destroy_key(env, old_key);
    const HostId key = envelopes.create_key(env, 1.0, 1.0);
    ASSERT_EQ(key, old_key) << "the destroyed key's place is the one at stake";
    EXPECT_EQ(envelopes.key_get(env, key, host_abi::kKeyTagShape, &shape), 1);
    EXPECT_EQ(shape, 0);
    for (int tag : {kTagTension, kTagParam1}) {
        number = -1.0;
        EXPECT_EQ(envelopes.key_get(env, key, tag, &number), 1);
        EXPECT_EQ(number, 0.0) << tag;
    }
    EXPECT_NEAR(envelopes.evaluate(env, 0.5), 0.5, 1e-12);  // plain TCB through keys on a line
}

TEST_F(AnimationServices, HostileNumbersAreRefused) {
    const ItemIdValue a = scene.add_object("A");
    const HostId env = envelope(a, kPositionY);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(envelopes.create_key(env, nan, 1.0), nullptr);
    EXPECT_EQ(envelopes.create_key(env, 1.0, inf), nullptr);
    const HostId key = envelopes.create_key(env, 1.0, 2.0);
    for (int tag : {host_abi::kKeyTagValue, host_abi::kKeyTagTime, kTagTension, kTagParam1}) {
        double bad = tag % 2 ? nan : -inf;
        EXPECT_EQ(envelopes.key_set(env, key, tag, &bad), 0) << tag;
    }
    EXPECT_EQ(key_count(env), 1);
    EXPECT_EQ(envelopes.evaluate(env, 1.0), 2.0);
    EXPECT_EQ(envelopes.evaluate(env, nan), 2.0);
}

TEST_F(AnimationServices, ForgedAndStaleHandlesFindNothing) {
    const ItemIdValue a = scene.add_object("A");
    const ItemIdValue b = scene.add_object("B");
    const HostId env_a = envelope(a, kPositionX);
    const HostId env_b = envelope(b, kPositionX);
    const HostId key_b = envelopes.create_key(env_b, 0.0, 1.0);
    double forged_storage[16] = {};
    const HostId forged = forged_storage;
    double out = 5.0;
    int count = 5;

    // Forged handles of every kind.
    EXPECT_EQ(items.channel_group(to_handle(0x10000042u)), nullptr);
    EXPECT_EQ(channels.next_channel(forged, nullptr), nullptr);
    EXPECT_EQ(channels.next_group(nullptr, forged), nullptr);
    EXPECT_EQ(channels.channel_name(forged), nullptr);
    EXPECT_EQ(channels.channel_envelope(forged), nullptr);
    EXPECT_EQ(channels.channel_parent(group_of(a)), nullptr);  // a group is not a channel
    EXPECT_EQ(channels.next_channel(group_of(a), channel(b, 0)), nullptr);
    EXPECT_EQ(envelopes.create_key(forged, 0.0, 0.0), nullptr);
    EXPECT_EQ(envelopes.create_key(channel(a, 0), 0.0, 0.0), nullptr);  // a channel is not its envelope
    EXPECT_EQ(envelopes.env_get(forged, nullptr, host_abi::kEnvTagKeyCount, &count), 0);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(envelopes.key_get(env_b, forged, host_abi::kKeyTagValue, &out), 0);
    // A key of another envelope is not this envelope's.
    EXPECT_EQ(envelopes.key_get(env_a, key_b, host_abi::kKeyTagValue, &out), 0);
    EXPECT_EQ(envelopes.next_key(env_a, key_b), nullptr);
    envelopes.destroy_key(env_a, key_b);
    EXPECT_EQ(key_count(env_b), 1);
    EXPECT_EQ(out, 5.0);

    // Handles of a removed item are stale.
    const HostId group_b = group_of(b);
    const HostId channel_b = channel(b, 0);
    ASSERT_TRUE(scene.remove_item(b));
    EXPECT_EQ(channels.group_name(group_b), nullptr);
    EXPECT_EQ(channels.channel_envelope(channel_b), nullptr);
    EXPECT_EQ(envelopes.key_get(env_b, key_b, host_abi::kKeyTagValue, &out), 0);
    envelopes.destroy_key(env_b, key_b);
    EXPECT_EQ(envelopes.evaluate(env_b, 0.0), 0.0);

    // A destroyed key is stale too.
    const HostId key_a = envelopes.create_key(env_a, 0.0, 3.0);
    const HostId kept = envelopes.create_key(env_a, 1.0, 4.0);
    envelopes.destroy_key(env_a, key_a);
    EXPECT_EQ(envelopes.key_set(env_a, key_a, host_abi::kKeyTagValue, &out), 0);
    // So is an address inside a key or just past it, though it lies among the envelope's own keys.
    for (const HostId inside : {static_cast<HostId>(static_cast<char *>(kept) + sizeof(double)),
                                static_cast<HostId>(static_cast<EnvelopeKey *>(kept) + 1)}) {
        EXPECT_EQ(envelopes.key_set(env_a, inside, host_abi::kKeyTagValue, &out), 0);
        EXPECT_EQ(envelopes.next_key(env_a, inside), nullptr);
    }
    EXPECT_EQ(key_times(env_a), (std::vector<double>{1.0}));
    EXPECT_EQ(envelopes.evaluate(env_a, 1.0), 4.0);
}

TEST_F(AnimationServices, KeyHandlesStayValidThroughAParentChangeAndNewKeys) {
    const ItemIdValue parent = scene.add_object("P");
    const ItemIdValue child = scene.add_object("C");
    const HostId env = envelope(child, kBank);
    std::vector<HostId> held;
    for (int k = 0; k < 4; ++k) held.push_back(envelopes.create_key(env, 10.0 + k, 0.5));
    ASSERT_EQ(scene.set_parent(child, parent), "");
    EXPECT_EQ(envelope(child, kBank), env);
    // Many new keys before, between and after the held ones, as a command
    // adds keys at its parents' key times while it still holds the others.
    for (int k = 0; k < 1000; ++k) {
        const double time = k % 3 == 0 ? k * 0.001 : k % 3 == 1 ? 10.5 + k * 1e-4 : 20.0 + k * 0.001;
        ASSERT_NE(envelopes.create_key(env, time, -1.0), nullptr);
    }
    for (int k = 0; k < 4; ++k) {
        double value = k;
        EXPECT_EQ(envelopes.key_set(env, held[k], host_abi::kKeyTagValue, &value), 1);
        EXPECT_EQ(envelopes.find_key(env, 10.0 + k), held[k]);
    }
    EXPECT_EQ(key_count(env), 1004);
    EXPECT_EQ(envelopes.next_key(env, held[2]), held[3]);
    EXPECT_EQ(envelopes.prev_key(env, held[3]), held[2]);
    double rotation[3];
    items.param(to_handle(child), host_abi::kParamRotation, 12.0, rotation);
    EXPECT_EQ(rotation[2], 2.0);
}

}  // namespace
}  // namespace headless
