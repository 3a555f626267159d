// The host's Parent in Place option on a plain ParentItem command, and the
// hierarchy rule of the parent command.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "host/core/command_interpreter.h"
#include "host/core/host.h"
#include "host/core/world_transform.h"

namespace headless {
namespace {

class HostParentInPlace : public ::testing::Test {
protected:
    void SetUp() override {
        Scene &s = host.scene();
        base = s.add_object("Base");
        s.find(base)->set_static(kPositionX, {1, -2, 3});
        s.find(base)->set_static(kHeading, {0.7, -0.4, 0.2});
        s.find(base)->set_static(kScaleX, {1.5, 1.5, 1.5});
        s.find(base)->pivot = {0.2, 0.1, -0.3};
        s.find(base)->pivot_rotation = {0.1, 0.2, 0.3};
        mover = s.add_object("Mover");
        Item &m = *s.find(mover);
        m.channel(kPositionX).envelope.create_key(0.0, 1.0);
        m.channel(kPositionX).envelope.create_key(1.0, 4.0);
        m.set_static(kHeading, {0.3, 0.1, -0.2});
        m.pivot_rotation = {-0.2, 0.1, 0.4};
        s.time = 0.5;
        s.selection = {mover};
    }

    std::string apply(const std::string &text) { return apply_command_text(host.scene(), text); }

    Host host;
    ItemIdValue base = 0, mover = 0;
};

void expect_same_place(const WorldAxes &a, const WorldAxes &b, double tolerance) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(a.right[i], b.right[i], tolerance);
        EXPECT_NEAR(a.up[i], b.up[i], tolerance);
        EXPECT_NEAR(a.forward[i], b.forward[i], tolerance);
    }
}

TEST_F(HostParentInPlace, KeepsTheWorldTransformAtTheCurrentTime) {
    Scene &s = host.scene();
    const Vec3 position = world_position(s, mover, 0.5);
    const WorldAxes axes = world_axes(s, mover, 0.5);
    s.general_flags |= host_abi::kGeneralFlagParentInPlace;

    EXPECT_EQ(apply("ParentItem 10000000"), "");
    EXPECT_EQ(s.find(mover)->parent, base);
    const Vec3 now = world_position(s, mover, 0.5);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(now[i], position[i], 1e-9);
    expect_same_place(world_axes(s, mover, 0.5), axes, 1e-9);
    // Keyed channel: a key at the current time; unkeyed ones: static values.
    EXPECT_EQ(s.find(mover)->channel(kPositionX).envelope.key_count(), 3u);
    EXPECT_NE(s.find(mover)->channel(kPositionX).envelope.find_key(0.5), nullptr);
    EXPECT_EQ(s.find(mover)->channel(kHeading).envelope.key_count(), 0u);

    // And back out to the root, still in place.
    EXPECT_EQ(apply("ParentItem 00000000"), "");
    EXPECT_EQ(s.find(mover)->parent, 0u);
    const Vec3 back = world_position(s, mover, 0.5);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], position[i], 1e-9);
    expect_same_place(world_axes(s, mover, 0.5), axes, 1e-9);
}

TEST_F(HostParentInPlace, OffTheItemKeepsItsLocalValuesAndMoves) {
    Scene &s = host.scene();
    const Vec3 position = world_position(s, mover, 0.5);
    EXPECT_EQ(apply("ParentItem 10000000"), "");
    EXPECT_EQ(s.find(mover)->channel(kPositionX).envelope.key_count(), 2u);
    EXPECT_GT(std::fabs(world_position(s, mover, 0.5)[0] - position[0]), 0.1);
}

TEST_F(HostParentInPlace, AParentBelowTheItemIsRefusedAndNothingChanges) {
    Scene &s = host.scene();
    ASSERT_EQ(s.set_parent(base, mover), "");
    s.general_flags |= host_abi::kGeneralFlagParentInPlace;
    EXPECT_NE(apply("ParentItem 10000000"), "");
    EXPECT_EQ(s.find(mover)->parent, 0u);
    EXPECT_EQ(s.find(mover)->channel(kPositionX).envelope.key_count(), 2u);
    EXPECT_EQ(apply("ParentInPlace"), "");
    EXPECT_FALSE(s.general_flags & host_abi::kGeneralFlagParentInPlace);
}

TEST_F(HostParentInPlace, SelectAndAddToSelectionTakeEightDigits) {
    Scene &s = host.scene();
    EXPECT_EQ(apply("SelectItem 10000000"), "");
    EXPECT_EQ(s.selection, std::vector<ItemIdValue>{base});
    EXPECT_EQ(apply("AddToSelection 10000001"), "");
    EXPECT_EQ(s.selection, (std::vector<ItemIdValue>{base, mover}));
    EXPECT_NE(apply("SelectItem 1FFFFFFF"), "");
    EXPECT_EQ(s.selection, (std::vector<ItemIdValue>{base, mover}));
}

}  // namespace
}  // namespace headless
