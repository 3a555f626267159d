// Re-parenting with world motion keeps an item's world scale where a parent
// chain scales: the loaded plug-in run by the tool's statements, the scene
// judged before and after with the host's own evaluation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "host/core/world_transform.h"
#include "lws_fixture.h"
#include "plugin_harness.h"
#include "tools/script_runner.h"

namespace headless {
namespace {

using Keys = std::initializer_list<std::pair<int, double>>;

// An envelope block of TCB keys at (frame, value) pairs, 30 fps.
std::string envelope(Keys keys) {
    std::ostringstream text;
    text.precision(17);
    text << "{ Envelope\n  " << keys.size() << "\n";
    for (const auto &key : keys) text << "  Key " << key.second << " " << key.first / 30.0 << " 0 0 0 0 0 0 0\n";
    text << "  Behaviors 1 1\n}\n";
    return text.str();
}

// A null whose nine channels are keyed as given (unlisted: 0, scale 1),
// under `parent` unless it is empty.
std::string null_object(const std::string &name, const std::map<int, std::string> &channels,
                        const std::string &parent = "") {
    std::string text = "AddNullObject " + name + "\nShowObject 6 3\nObjectMotion\nNumChannels 9\n";
    for (int c = 0; c < 9; ++c) {
        const auto found = channels.find(c);
        text += "Channel " + std::to_string(c) + "\n" +
                (found != channels.end() ? found->second : envelope({{0, c >= 6 ? 1.0 : 0.0}}));
    }
    if (!parent.empty()) text += "ParentItem " + parent + "\n";
    return text + "PivotPosition 0 0 0\n\n";
}

std::string scene_text(const std::string &items) {
    return "LWSC\n3\n\nFirstFrame 0\nLastFrame 30\nFrameStep 1\nFramesPerSecond 30\n\n" + items;
}

// The three channels of a scale keyed alike.
std::map<int, std::string> scaled(std::map<int, std::string> channels, Keys x, Keys y, Keys z) {
    channels[6] = envelope(x);
    channels[7] = envelope(y);
    channels[8] = envelope(z);
    return channels;
}

constexpr ItemIdValue kResizer = 0x10000000u, kItem = 0x10000001u, kTip = 0x10000002u, kOther = 0x10000003u;

struct World {
    Vec3 position;
    Vec3 lengths;  // of the item's own axes in the world
};

World world(const Scene &scene, ItemIdValue id, double time) {
    HierarchySampler sampler(scene, {id});
    std::vector<WorldPose> poses(sampler.size());
    sampler.evaluate(&time, 1, nullptr, poses.data());
    const WorldPose &pose = poses[static_cast<size_t>(sampler.index_of(id))];
    World out{pose.position, {}};
    for (int k = 0; k < 3; ++k)
        out.lengths[k] = std::hypot(pose.axes[k][0], pose.axes[k][1], pose.axes[k][2]) * std::fabs(pose.scale[k]);
    return out;
}

double largest_relative_change(const Vec3 &was, const Vec3 &now) {
    double largest = 0.0;
    for (int k = 0; k < 3; ++k) largest = std::max(largest, std::fabs(now[k] - was[k]) / std::fabs(was[k]));
    return largest;
}

double distance(const Vec3 &a, const Vec3 &b) { return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]); }

// Every time an item has a key at, on any of its nine channels.
std::vector<double> key_times(const Scene &scene, ItemIdValue id) {
    std::vector<double> times;
    for (int c = 0; c < 9; ++c)
        for (const auto &key : scene.find(id)->channel(MotionChannel(c)).envelope.keys()) times.push_back(key->time);
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    return times;
}

class WorldScaleTest : public PluginTest {
protected:
    // Writes the scene, loads it and runs the statements; returns the output.
    std::string run_on(const std::string &name, const std::string &scene, const std::vector<std::string> &statements) {
        path = folder + name + ".lws";
        std::ofstream(path, std::ios::binary) << scene;
        std::string error;
        EXPECT_TRUE(read_lws_file(path, &before, &document, &error)) << error;
        runner = std::make_unique<ScriptRunner>(host, *plugin, out);
        std::vector<std::string> all = {"load " + path};
        all.insert(all.end(), statements.begin(), statements.end());
        for (const std::string &statement : all) {
            EXPECT_TRUE(runner->run_statement(statement, &error)) << statement << ": " << error;
        }
        return out.str();
    }
    // How far the item's world scale moved at its own key times, relative.
    double scale_change_at_keys(ItemIdValue id) const {
        double largest = 0.0;
        for (double t : key_times(before, id))
            largest = std::max(largest, largest_relative_change(world(before, id, t).lengths,
                                                                world(host.scene(), id, t).lengths));
        return largest;
    }
    void TearDown() override {
        std::remove(path.c_str());
        PluginTest::TearDown();
    }
    const std::string folder = ::testing::TempDir();
    std::string path;
    Scene before;
    LwsDocument document;
    std::ostringstream out;
    std::unique_ptr<ScriptRunner> runner;
};

// Item, keyed in position and turn, with a child Tip ten units out, under
// Resizer; Other stands apart.
struct ScaledCase {
    const char *name;
    std::map<int, std::string> resizer;
    std::map<int, std::string> item_own;  // Item's channels other than those below
    std::map<int, std::string> other;
    bool reparent;  // under Other, else un-parented
    bool tolerance;
};

// By name: printed as raw bytes, its padding would be read uninitialised.
void PrintTo(const ScaledCase &scaled_case, std::ostream *out) { *out << scaled_case.name; }

class ScaledParent : public WorldScaleTest, public ::testing::WithParamInterface<ScaledCase> {};

// The item's world axis lengths stay at its key times, and its child's world
// position where it is keyed in position and rotation; nothing is said.
TEST_P(ScaledParent, ScaledChainNoLongerResizesTheItemOrMovesItsChild) {
    const ScaledCase &c = GetParam();
    std::map<int, std::string> item = {{0, envelope({{0, 10}, {15, 50}, {30, 10}})},
                                       {1, envelope({{0, 0}, {30, 1}})},
                                       {3, envelope({{0, 0}, {30, 1.2}})},
                                       {4, envelope({{0, 0.3}})}};
    for (const auto &own : c.item_own) item[own.first] = own.second;
    const std::string scene = scene_text(null_object("Resizer", c.resizer) + null_object("Item", item, "10000000") +
                                         null_object("Tip", {{0, envelope({{0, 10}})}}, "10000001") +
                                         null_object("Other", c.other));
    // With a tolerance, its three numbers as Layout's command line gives them.
    const std::string arguments = c.tolerance ? " 0.001 0.05 0.5" : "";
    std::vector<std::string> statements;
    if (c.reparent)
        statements.insert(statements.end(), {"select Other", "run KR_memItem", "select Item", "run KR_setParent_wPos" + arguments});
    else
        statements.insert(statements.end(), {"select Item", "run KR_unParent_wPos" + arguments});
    const std::string report = run_on(c.name, scene, statements);
    EXPECT_EQ(host.scene().find(kItem)->parent, c.reparent ? kOther : 0u);
    EXPECT_EQ(report.find("wPos world scale not kept"), std::string::npos) << report;
    EXPECT_EQ(report.find("not understood"), std::string::npos) << report;
    EXPECT_LE(scale_change_at_keys(kItem), 1e-6) << report;
    for (double t : {0.0, 0.5, 1.0}) {
        const Vec3 was = world(before, kTip, t).position;
        const double size = 1.0 + std::fabs(was[0]) + std::fabs(was[1]) + std::fabs(was[2]);
        EXPECT_LE(distance(world(host.scene(), kTip, t).position, was), 1e-6 * size) << "at " << t << "\n" << report;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chains, ScaledParent,
    ::testing::Values(
        ScaledCase{"StaticUniform", scaled({{3, envelope({{0, 0}, {30, 1}})}}, {{0, 0.005}}, {{0, 0.005}}, {{0, 0.005}}),
                   {}, {}, false, false},
        ScaledCase{"AnimatedUniformWithTolerance",
                   scaled({{3, envelope({{0, 0}, {30, 1}})}}, {{0, 0.5}, {30, 2}}, {{0, 0.5}, {30, 2}}, {{0, 0.5}, {30, 2}}),
                   {}, {}, false, true},
        ScaledCase{"OwnUnevenUnderUniform", scaled({{3, envelope({{0, 0}, {30, 1}})}}, {{0, 0.02}}, {{0, 0.02}}, {{0, 0.02}}),
                   scaled({}, {{0, 1.5}, {20, 2}}, {{0, 1}}, {{0, 0.8}}), {}, false, false},
        ScaledCase{"AlignedUnevenParent",
                   scaled({{3, envelope({{0, 0}, {30, 1}})}}, {{0, 2}, {30, 3}}, {{0, 0.5}}, {{0, 1}}),
                   {{3, envelope({{0, 1.5707963267948966}})}, {4, envelope({{0, 0}})}}, {}, false, false},
        ScaledCase{"ReparentedUnderAnotherScaledItem", scaled({}, {{0, 0.5}}, {{0, 0.5}}, {{0, 0.5}}), {},
                   scaled({{0, envelope({{0, 0}, {30, 4}})}, {3, envelope({{0, 0.2}, {30, -0.7}})}}, {{0, 3}, {30, 1.5}},
                          {{0, 3}, {30, 1.5}}, {{0, 3}, {30, 1.5}}),
                   true, false}),
    [](const ::testing::TestParamInfo<ScaledCase> &info) { return std::string(info.param.name); });

// Only Item's own scale is not 1, and no chain scales: its scale channels are
// saved exactly as they were read, no key added or given a value.
TEST_F(WorldScaleTest, NothingScalingLeavesTheScaleKeysAsTheyWere) {
    const std::string scale_blocks = "Channel 6\n" + envelope({{0, 1.5}, {20, 2}}) + "Channel 7\n" +
                                     envelope({{0, 1}, {7, 3}}) + "Channel 8\n" + envelope({{0, 0.8}});
    std::map<int, std::string> item = scaled({}, {{0, 1.5}, {20, 2}}, {{0, 1}, {7, 3}}, {{0, 0.8}});
    item[0] = envelope({{0, 10}, {15, 50}, {30, 10}});
    item[3] = envelope({{0, 0}, {30, 1.2}});
    const std::string scene = scene_text(
        null_object("Resizer", {{0, envelope({{0, 0}, {30, 5}})}, {3, envelope({{0, 0}, {30, 1}})}}) +
        null_object("Item", item, "10000000") + null_object("Other", {{4, envelope({{0, 0.4}, {30, -0.2}})}}));
    ASSERT_NE(scene.find(scale_blocks), std::string::npos);
    run_on("unscaled", scene, {"select Other", "run KR_memItem", "select Item", "run KR_setParent_wPos"});
    std::string error;
    ASSERT_TRUE(runner->run_statement("save --force " + path + ".saved.lws", &error)) << error;
    const std::string saved = read_all(path + ".saved.lws");
    std::remove((path + ".saved.lws").c_str());
    EXPECT_NE(saved.find(scale_blocks), std::string::npos) << saved;
    EXPECT_NE(saved, read_all(path));  // its position and rotation were rewritten
}

// A parent whose scale is 1 as a file's single precision keeps it
// (1.0000001, 0.99999988) changes the item's world scale by less than a
// millionth: its scale keys are not rewritten with noise, nor is a shear said.
TEST_F(WorldScaleTest, ScaleOneInSinglePrecisionLeavesTheScaleKeysAsTheyWere) {
    const std::string scale_blocks = "Channel 6\n" + envelope({{0, 1}}) + "Channel 7\n" + envelope({{0, 1}}) +
                                     "Channel 8\n" + envelope({{0, 1}});
    std::map<int, std::string> item = {{0, envelope({{0, 10}, {15, 50}, {30, 10}})}, {3, envelope({{0, 0.3}, {30, 1.2}})}};
    const std::string scene = scene_text(
        null_object("Resizer", scaled({{3, envelope({{0, 0}, {30, 1}})}}, {{0, 1.0000001}}, {{0, 1}}, {{0, 0.99999988}})) +
        null_object("Item", item, "10000000"));
    ASSERT_NE(scene.find(scale_blocks), std::string::npos);
    const std::string report = run_on("noise", scene, {"select Item", "run KR_unParent_wPos"});
    EXPECT_EQ(report.find("not kept"), std::string::npos) << report;
    std::string error;
    ASSERT_TRUE(runner->run_statement("save --force " + path + ".saved.lws", &error)) << error;
    const std::string saved = read_all(path + ".saved.lws");
    std::remove((path + ".saved.lws").c_str());
    EXPECT_NE(saved.find("AddNullObject Item\nShowObject 6 3\nObjectMotion\nNumChannels 9\n"), std::string::npos);
    EXPECT_NE(saved.find(scale_blocks, saved.find("AddNullObject Item")), std::string::npos) << saved;
}

// A new parent stretched along its x and turned shears the items' world axes,
// which no scale and rotation of their own give back: one warning for the
// command names both, and each keeps the lengths of its world axes.
TEST_F(WorldScaleTest, ShearIsSaidOnceNamingEveryItemAndTheLengthsAreKept) {
    std::map<int, std::string> mover = {{0, envelope({{0, 1}, {30, 3}})}, {3, envelope({{0, 0.8}})}};
    const std::string scene = scene_text(
        null_object("Stretch", scaled({{3, envelope({{0, 0.5}})}}, {{0, 2}}, {{0, 1}}, {{0, 1}})) +
        null_object("Mover", mover) + null_object("Other", {}) + null_object("Mover2", mover));
    const std::string report = run_on("sheared", scene,
                                      {"select Stretch", "run KR_memItem", "select Mover Mover2", "run KR_setParent_wPos"});
    const std::string said = "message warning: \"wPos world scale not kept\" \"Mover: the parent chains shear it; "
                             "its axis lengths are kept; Mover2: the parent chains shear it; its axis lengths are kept\"";
    EXPECT_NE(report.find(said), std::string::npos) << report;
    EXPECT_EQ(report.find("wPos world scale not kept"), report.rfind("wPos world scale not kept")) << report;
    EXPECT_LE(scale_change_at_keys(0x10000001u), 1e-6) << report;
    EXPECT_LE(scale_change_at_keys(0x10000003u), 1e-6) << report;
}

// Item and its child Tip are un-parented together from under Resizer; Item's
// scale changes between keys, and each has a scale key where it has no other.
// Tip is solved for the chain Item had before the command, its keys at their
// own times, and Item's scale key off its other keys is given the change of
// scale there rather than left as it was.
TEST_F(WorldScaleTest, ParentAndChildTogetherKeepTheOldChainsScaleAtEveryScaleKey) {
    std::map<int, std::string> item =
        scaled({}, {{0, 1}, {7, 1.2}, {30, 1}}, {{0, 1}, {7, 1.2}, {30, 1}}, {{0, 1}, {7, 1.2}, {30, 1}});
    item[0] = envelope({{0, 10}, {15, 50}, {30, 10}});
    item[3] = envelope({{0, 0}, {30, 1.2}});
    std::map<int, std::string> tip = scaled({}, {{0, 1}, {22, 2}}, {{0, 1}}, {{0, 1}});
    tip[0] = envelope({{0, 10}, {30, 12}});
    tip[4] = envelope({{0, 0}, {30, 0.5}});
    const std::string scene = scene_text(
        null_object("Resizer", scaled({{3, envelope({{0, 0}, {30, 1}})}}, {{0, 0.005}}, {{0, 0.005}}, {{0, 0.005}})) +
        null_object("Item", item, "10000000") + null_object("Tip", tip, "10000001"));
    const std::string report = run_on("together", scene, {"select Item Tip", "run KR_unParent_wPos"});
    EXPECT_EQ(host.scene().find(kTip)->parent, 0u);
    EXPECT_EQ(report.find("wPos world scale not kept"), std::string::npos) << report;
    EXPECT_LE(scale_change_at_keys(kItem), 1e-6) << report;
    EXPECT_LE(scale_change_at_keys(kTip), 1e-6) << report;
    EXPECT_NEAR(host.scene().find(kItem)->channel(kScaleX).envelope.find_key(7 / 30.0)->value, 1.2 * 0.005, 1e-12);
}

}  // namespace
}  // namespace headless
