// The plug-in's transform chains held against the headless host's own,
// independent evaluation of the same animated hierarchies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

#include "host/core/host.h"
#include "host/core/services.h"
#include "plugin/support/item_id.h"
#include "plugin/worldpos/transform_chain.h"

namespace headless {
namespace {

struct RandomScene {
    std::vector<ItemIdValue> chain;  // root first
};

double pick_angle(std::mt19937_64 &rng) {
    std::uniform_real_distribution<double> angle(-3.1, 3.1);
    std::uniform_real_distribution<double> near(-1e-6, 1e-6);
    // One angle in eight sits at a quarter turn, where conversions are weakest.
    return rng() % 8 == 0 ? 1.5707963267948966 + near(rng) : angle(rng);
}

// A chain of up to eight items of mixed kinds, each keyed at two times, with
// pivots and pivot rotations. Uniform positive scales keep the world axes
// orthogonal when `uniform_scale` is set; otherwise scales are non-uniform and
// may be negative.
RandomScene make_chain(Scene &scene, std::mt19937_64 &rng, bool uniform_scale) {
    std::uniform_real_distribution<double> coord(-5.0, 5.0);
    std::uniform_real_distribution<double> factor(0.5, 2.0);
    RandomScene out;
    const int depth = 1 + static_cast<int>(rng() % 8);
    ItemIdValue object = 0;
    for (int level = 0; level < depth; ++level) {
        ItemIdValue id = 0;
        const int kind = static_cast<int>(rng() % 4);
        const ItemIdValue previous = out.chain.empty() ? 0 : out.chain.back();
        // A bone hangs only under its own object or another of its bones.
        const bool bone_fits = object && (previous == object || (kind_of(previous) == ItemKind::Bone &&
                                                                 bone_owner(previous) == object));
        if (kind == 1 && bone_fits) {
            id = scene.add_bone(object, "bone" + std::to_string(level));
            EXPECT_EQ(scene.set_parent(id, previous), "");
        } else {
            id = kind == 2 ? scene.add_light("light" + std::to_string(level))
                 : kind == 3 ? scene.add_camera("camera" + std::to_string(level))
                             : scene.add_object("object" + std::to_string(level));
            if (kind_of(id) == ItemKind::Object) object = id;
            if (previous) {
                EXPECT_EQ(scene.set_parent(id, previous), "");
            }
        }
        Item &item = *scene.find(id);
        for (double t : {0.0, 1.0}) {
            for (int c = kPositionX; c <= kPositionZ; ++c)
                item.channel(static_cast<MotionChannel>(c)).envelope.create_key(t, coord(rng));
            for (int c = kHeading; c <= kBank; ++c)
                item.channel(static_cast<MotionChannel>(c)).envelope.create_key(t, pick_angle(rng));
            const double uniform = factor(rng);
            for (int c = kScaleX; c <= kScaleZ; ++c) {
                double s = uniform_scale ? uniform : factor(rng) * (rng() % 5 == 0 ? -1.0 : 1.0);
                item.channel(static_cast<MotionChannel>(c)).envelope.create_key(t, s);
            }
        }
        item.pivot = {coord(rng) * 0.2, coord(rng) * 0.2, coord(rng) * 0.2};
        if (rng() % 2) item.pivot_rotation = {pick_angle(rng) * 0.3, pick_angle(rng) * 0.3, pick_angle(rng) * 0.3};
        out.chain.push_back(id);
    }
    return out;
}

// A fixed seed keeps runs repeatable; KR_PROPERTY_SEED explores others.
unsigned long long test_seed() {
    const char *fixed = std::getenv("KR_PROPERTY_SEED");
    return fixed ? std::strtoull(fixed, nullptr, 0) : 20261207u;
}

// The plug-in settles every angle through single precision before it builds a
// matrix (about 6e-8 relative per angle); the host does not. Up to eight
// rotations and scales of at most 2 per level on offsets of at most ~10 units
// keep the position difference under 1e-4 * (1 + |p|) (seen: below 1e-5); a wrong factor
// order or a missing pivot moves it by whole units.
TEST(WorldChainAgainstHost, PivotPositionsAgreeOverRandomHierarchies) {
    const unsigned long long seed = test_seed();
    SCOPED_TRACE("replay with KR_PROPERTY_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (int round = 0; round < 200; ++round) {
        Host host;
        RandomScene scene = make_chain(host.scene(), rng, false);
        const ItemInfo &info = item_info_service();
        for (double t : {0.0, 0.37, 1.0, 1.6}) {
            for (ItemIdValue id : scene.chain) {
                Vector3 plugin{};
                item_world_position(&info, to_handle(id), t, &plugin);
                double host_value[3];
                info.param(to_handle(id), host_abi::kParamWorldPosition, t, host_value);
                const double scale = 1.0 + std::fabs(host_value[0]) + std::fabs(host_value[1]) + std::fabs(host_value[2]);
                ASSERT_NEAR(plugin.x, host_value[0], 1e-4 * scale) << "round " << round << " t " << t;
                ASSERT_NEAR(plugin.y, host_value[1], 1e-4 * scale) << "round " << round << " t " << t;
                ASSERT_NEAR(plugin.z, host_value[2], 1e-4 * scale) << "round " << round << " t " << t;
            }
        }
    }
}

// With uniform positive scales the host's world axes are the rows of the
// item's world rotation; angles settle to ~1e-7, so 1e-5 per component.
TEST(WorldChainAgainstHost, WorldRotationRowsAreTheHostsWorldAxes) {
    const unsigned long long seed = test_seed();
    SCOPED_TRACE("replay with KR_PROPERTY_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (int round = 0; round < 200; ++round) {
        Host host;
        RandomScene scene = make_chain(host.scene(), rng, true);
        const ItemInfo &info = item_info_service();
        for (double t : {0.0, 0.5, 1.0}) {
            const ItemIdValue id = scene.chain.back();
            Matrix3 rotation{};
            chain_world_rotation(info.parent, info.param, to_handle(id), t, &rotation);
            const int codes[3] = {host_abi::kParamWorldRight, host_abi::kParamWorldUp, host_abi::kParamWorldForward};
            for (int row = 0; row < 3; ++row) {
                double axis[3];
                info.param(to_handle(id), codes[row], t, axis);
                for (int c = 0; c < 3; ++c)
                    ASSERT_NEAR(rotation.m[3 * row + c], axis[c], 1e-5) << "round " << round << " row " << row;
            }
        }
    }
}

}  // namespace
}  // namespace headless
