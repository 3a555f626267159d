// The host's own world placement of items through their hierarchy.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "host/core/host.h"
#include "host/core/services.h"
#include "host/core/world_transform.h"

namespace headless {
namespace {

constexpr double kHalfTurn = 1.5707963267948966;  // 90 degrees
constexpr double kTight = 1e-12;

void expect_near(const Vec3 &actual, const Vec3 &expected, double tolerance = kTight) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

class WorldTransform : public ::testing::Test {
protected:
    Item &item(ItemIdValue id) { return *scene().find(id); }
    Scene &scene() { return host.scene(); }
    ItemIdValue child_of(ItemIdValue parent, const Vec3 &position) {
        const ItemIdValue id = scene().add_object("child");
        EXPECT_EQ(scene().set_parent(id, parent), "");
        item(id).set_static(kPositionX, position);
        return id;
    }
    Vec3 param(ItemIdValue id, int code, double time = 0.0) {
        Vec3 out{-1, -1, -1};
        item_info_service().param(to_handle(id), code, time, out.data());
        return out;
    }
    Host host;
};

TEST_F(WorldTransform, ParentPivotAndScaleMoveTheChildButACamerasScaleDoesNot) {
    for (bool camera : {false, true}) {
        const ItemIdValue parent = camera ? scene().add_camera("P") : scene().add_light("P");
        item(parent).set_static(kPositionX, {1, 0, 0});
        item(parent).set_static(kScaleX, {2, 2, 2});
        item(parent).pivot = {0.5, 0, 0};
        const ItemIdValue child = child_of(parent, camera ? Vec3{0.5, 2, 3} : Vec3{0.5, 1, 1.5});
        expect_near(world_position(scene(), child, 0.0), {1, 2, 3});
        expect_near(param(child, host_abi::kParamWorldPosition), {1, 2, 3});
        // The item's own scale, rotation and pivot move nothing of its pivot point.
        item(child).set_static(kScaleX, {5, 5, 5});
        item(child).set_static(kHeading, {1, 2, 3});
        item(child).pivot = {7, 7, 7};
        expect_near(world_position(scene(), child, 0.0), {1, 2, 3});
    }
}

TEST_F(WorldTransform, RotationsTurnBankThenPitchThenHeadingAndThenThePivotRotation) {
    const ItemIdValue parent = scene().add_object("P");
    const ItemIdValue along_x = child_of(parent, {1, 0, 0});
    const ItemIdValue along_y = child_of(parent, {0, 1, 0});
    const ItemIdValue along_z = child_of(parent, {0, 0, 1});

    item(parent).set_static(kHeading, {kHalfTurn, 0, 0});  // +z towards +x
    expect_near(world_position(scene(), along_z, 0.0), {1, 0, 0});
    expect_near(world_position(scene(), along_x, 0.0), {0, 0, -1});
    item(parent).set_static(kHeading, {0, kHalfTurn, 0});  // +z towards -y
    expect_near(world_position(scene(), along_z, 0.0), {0, -1, 0});
    item(parent).set_static(kHeading, {0, 0, kHalfTurn});  // +x towards +y
    expect_near(world_position(scene(), along_x, 0.0), {0, 1, 0});

    // Pitch before heading: +y goes to +z, then to +x.
    item(parent).set_static(kHeading, {kHalfTurn, kHalfTurn, 0});
    expect_near(world_position(scene(), along_y, 0.0), {1, 0, 0});

    // The pivot rotation follows the rotation: bank takes +x to +y, which a
    // heading leaves alone.
    item(parent).set_static(kHeading, {0, 0, kHalfTurn});
    item(parent).pivot_rotation = {kHalfTurn, 0, 0};
    expect_near(world_position(scene(), along_x, 0.0), {0, 1, 0});

    // Scaling comes before the rotation.
    item(parent).pivot_rotation = {0, 0, 0};
    item(parent).set_static(kHeading, {kHalfTurn, 0, 0});
    item(parent).set_static(kScaleX, {2, 1, 1});
    expect_near(world_position(scene(), along_x, 0.0), {0, 0, -2});
}

TEST_F(WorldTransform, TwoLevelsAtATimeOfTheirKeys) {
    const ItemIdValue grand = scene().add_object("G");
    item(grand).set_static(kPositionX, {10, 0, 0});
    item(grand).set_static(kHeading, {kHalfTurn, 0, 0});
    const ItemIdValue parent = child_of(grand, {0, 0, 1});
    item(parent).set_static(kHeading, {0, 0, kHalfTurn});
    item(parent).set_static(kScaleX, {1, 3, 1});
    item(parent).pivot = {1, 0, 0};
    const ItemIdValue leaf = scene().add_light("leaf");
    ASSERT_EQ(scene().set_parent(leaf, parent), "");
    item(leaf).set_static(kPositionX, {2, 0, 0});

    // Under P: (2,0,0) - pivot, scaled, banked to (0,1,0), plus (0,0,1).
    // Under G: headed to (1,1,0), plus (10,0,0).
    expect_near(world_position(scene(), leaf, 0.0), {11, 1, 0});
    expect_near(world_position(scene(), parent, 0.0), {11, 0, 0});

    // Animated grandparent: X runs from 10 to 20 over two seconds.
    Envelope &x = item(grand).channel(kPositionX).envelope;
    x.set_shape(x.create_key(0.0, 10.0), KeyShape::Linear);
    x.set_shape(x.create_key(2.0, 20.0), KeyShape::Linear);
    expect_near(param(leaf, host_abi::kParamWorldPosition, 1.0), {16, 1, 0});
    expect_near(param(leaf, host_abi::kParamPosition, 1.0), {2, 0, 0});
}

TEST_F(WorldTransform, WorldAxesAreUnitDirectionsBentByTheAncestorsScaling) {
    const ItemIdValue parent = scene().add_object("P");
    const ItemIdValue leaf = child_of(parent, {0, 0, 0});
    item(leaf).set_static(kHeading, {kHalfTurn, 0, 0});
    expect_near(param(leaf, host_abi::kParamWorldRight), {0, 0, -1});
    expect_near(param(leaf, host_abi::kParamWorldUp), {0, 1, 0});
    expect_near(param(leaf, host_abi::kParamWorldForward), {1, 0, 0});

    // Banked 45 degrees under a parent stretched along y: right leans to y.
    item(leaf).set_static(kHeading, {0, 0, kHalfTurn / 2});
    item(leaf).set_static(kScaleX, {-4, 9, 9});  // its own scale does not count
    item(parent).set_static(kScaleX, {1, 2, 1});
    const double root5 = std::sqrt(5.0);
    expect_near(param(leaf, host_abi::kParamWorldRight), {1 / root5, 2 / root5, 0});

    // A flattened axis keeps the rotation's direction.
    item(leaf).set_static(kHeading, {0, 0, 0});
    item(parent).set_static(kScaleX, {0, 1, 1});
    expect_near(param(leaf, host_abi::kParamWorldRight), {1, 0, 0});
}

TEST_F(WorldTransform, ALoopInTheHierarchyEndsTheWalk) {
    const ItemIdValue a = scene().add_object("A");
    const ItemIdValue b = child_of(a, {1, 0, 0});
    item(a).set_static(kPositionX, {0, 5, 0});
    item(a).parent = b;  // damaged behind the scene's back
    EXPECT_EQ(ancestors_of(scene(), item(b)).size(), 1u);
    expect_near(world_position(scene(), b, 0.0), {1, 5, 0});
    const Vec3 axes = param(a, host_abi::kParamWorldForward);
    EXPECT_TRUE(std::isfinite(axes[0]));

    item(b).parent = 0x10000077u;  // names no item
    EXPECT_TRUE(ancestors_of(scene(), item(b)).empty());
    expect_near(param(0x10000077u, host_abi::kParamWorldPosition), {0, 0, 0});
}

// The sampler and world_position / world_axes place items by the same step:
// on a keyed chain with pivots, pivot rotations, uneven and zero scale, a
// camera and a damaged loop they agree to the bit.
TEST_F(WorldTransform, TheSamplerPlacesEveryItemAsWorldPositionAndWorldAxesDo) {
    const ItemIdValue root = scene().add_camera("Cam");
    item(root).set_static(kScaleX, {3, 3, 3});  // a camera's scale does not count
    Envelope &heading = item(root).channel(kHeading).envelope;
    heading.create_key(0.0, 0.0);
    heading.create_key(1.0, 2.5);
    const ItemIdValue middle = child_of(root, {1, 2, 3});
    item(middle).pivot = {0.5, -1, 2};
    item(middle).pivot_rotation = {0.3, -0.2, 0.7};
    item(middle).set_static(kScaleX, {1, 2.5, 0.5});
    Envelope &bank = item(middle).channel(kBank).envelope;
    bank.create_key(0.0, -1.0);
    bank.set_shape(bank.create_key(0.5, 0.4), KeyShape::Linear);
    bank.create_key(1.0, 1.9);
    const ItemIdValue leaf = child_of(middle, {-2, 0.25, 4});
    item(leaf).pivot_rotation = {0, 1.1, 0};
    item(leaf).set_static(kHeading, {0.1, 0.2, 0.3});
    const ItemIdValue flat = child_of(leaf, {1, 1, 1});
    item(leaf).set_static(kScaleX, {0, 1, 1});  // flattens the child's right axis
    const ItemIdValue a = scene().add_object("A");
    const ItemIdValue b = child_of(a, {1, 0, 0});
    item(a).parent = b;  // damaged behind the scene's back

    // A loop is cut where the walk enters it, so only b of it is asked for.
    const std::vector<ItemIdValue> ids = {flat, leaf, middle, root, b};
    const HierarchySampler sampler(scene(), ids);
    const std::vector<double> times = {0.0, 0.25, 0.5, 0.8, 1.0, 1.7};
    std::vector<WorldPose> poses(times.size() * sampler.size());
    sampler.evaluate(times.data(), times.size(), nullptr, poses.data());
    for (size_t t = 0; t < times.size(); ++t)
        for (ItemIdValue id : ids) {
            const int i = sampler.index_of(id);
            ASSERT_GE(i, 0);
            const WorldPose &pose = poses[t * sampler.size() + static_cast<size_t>(i)];
            const Vec3 position = world_position(scene(), id, times[t]);
            const WorldAxes axes = world_axes(scene(), id, times[t]);
            const Vec3 rows[3] = {axes.right, axes.up, axes.forward};
            for (int c = 0; c < 3; ++c) EXPECT_EQ(pose.position[c], position[c]) << item(id).name << " at " << times[t];
            for (int r = 0; r < 3; ++r) {
                const double length = std::sqrt(pose.axes[r][0] * pose.axes[r][0] + pose.axes[r][1] * pose.axes[r][1] +
                                                pose.axes[r][2] * pose.axes[r][2]);
                if (!(length > 0.0)) continue;  // flattened: world_axes falls back to the rotation
                for (int c = 0; c < 3; ++c)
                    EXPECT_EQ(pose.axes[r][c] / length, rows[r][c]) << item(id).name << " axis " << r;
            }
        }
}

}  // namespace
}  // namespace headless
