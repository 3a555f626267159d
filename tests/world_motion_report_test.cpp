// The tool's report after a re-parent that keeps world motion: it must see
// everything the command changed, measured against the host's own world
// evaluation before and after, and warn where the motion cannot be kept.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "host/core/world_transform.h"
#include "plugin_harness.h"
#include "tools/script_runner.h"

namespace headless {
namespace {

using Keys = std::vector<std::pair<double, double>>;  // (time in seconds, value)

std::string envelope(const Keys &keys) {
    std::string text = "{ Envelope\n  " + std::to_string(keys.size()) + "\n";
    char line[96];
    for (const auto &key : keys) {
        std::snprintf(line, sizeof line, "  Key %.17g %.17g 0 0 0 0 0 0 0\n", key.second, key.first);
        text += line;
    }
    return text + "  Behaviors 1 1\n}\n";
}

// An item of a scene file: `add` is its first line, channels without keys
// given hold 0 (position, rotation) or 1 (scale).
std::string item(const std::string &add, int channels, std::vector<std::pair<int, Keys>> keyed, const char *parent) {
    std::string text = add + "\n" + (channels == 6 ? "CameraMotion" : "ObjectMotion") + "\nNumChannels " +
                       std::to_string(channels) + "\n";
    for (int c = 0; c < channels; ++c) {
        Keys keys = {{0.0, c >= 6 ? 1.0 : 0.0}};
        for (const auto &k : keyed)
            if (k.first == c) keys = k.second;
        text += "Channel " + std::to_string(c) + "\n" + envelope(keys);
    }
    if (parent) text += std::string("ParentItem ") + parent + "\n";
    return text + "\n";
}

std::string scene_text(int last_frame, const std::string &items) {
    return "LWSC\n5\n\nFirstFrame 0\nLastFrame " + std::to_string(last_frame) + "\nFramesPerSecond 30\n\n" + items;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

class ReportTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        if (plugin) runner = std::make_unique<ScriptRunner>(host, *plugin, out);
    }
    void TearDown() override {
        std::remove(path.c_str());
        PluginTest::TearDown();
    }
    void load(const std::string &text) {
        std::ofstream(path, std::ios::binary) << text;
        ASSERT_EQ(run("load " + path), "");
    }
    // Runs one statement; its error or its last fault, or "" when it succeeded.
    std::string run(const std::string &statement) {
        std::string error;
        const size_t faults = runner->faults().size();
        if (!runner->run_statement(statement, &error)) return error.empty() ? "(no reason)" : error;
        return runner->faults().size() > faults ? runner->faults().back() : "";
    }
    // The world position of `id` at every frame up to `last`, by the host.
    std::vector<Vec3> track(ItemIdValue id, int last) {
        std::vector<Vec3> out;
        for (int frame = 0; frame <= last; ++frame) out.push_back(world_position(host.scene(), id, frame / 30.0));
        return out;
    }
    static double largest_move(const std::vector<Vec3> &was, const std::vector<Vec3> &now, size_t frames) {
        double largest = 0.0;
        for (size_t f = 0; f < frames; ++f)
            largest = std::max(largest, std::hypot(now[f][0] - was[f][0], now[f][1] - was[f][1], now[f][2] - was[f][2]));
        return largest;
    }

    std::ostringstream out;
    std::unique_ptr<ScriptRunner> runner;
    const std::string path = ::testing::TempDir() + "world_motion_report.lws";
};

// A crane swings out and back long after the render range ends; the camera on
// it, keyed at the far end, is un-parented. The motion it loses out there
// must be in the report, not only what changed within the range.
TEST_F(ReportTest, ChecksEveryFrameKeyedBeyondTheRenderRange) {
    const double far = 842 / 30.0;
    load(scene_text(60, item("AddNullObject 10000000 Crane", 9,
                             {{0, {{0, 0}, {300 / 30.0, 40}, {far, 0}}}, {3, {{0, 0}, {far, 1.5}}}}, nullptr) +
                            item("AddCamera 30000000\nCameraName Cam", 6, {{2, {{0, 5}, {far, 8}}}}, "10000000")));
    const ItemIdValue cam = 0x30000000u;
    const std::vector<Vec3> was = track(cam, 842);
    ASSERT_EQ(run("select Cam"), "");
    ASSERT_EQ(run("run KR_unParent_wPos"), "") << out.str();
    const std::vector<Vec3> now = track(cam, 842);
    const double whole = largest_move(was, now, 843);
    ASSERT_GT(whole, 2 * largest_move(was, now, 61) + 1.0) << "the case must move the camera most beyond frame 60";
    EXPECT_NE(out.str().find("every frame 0 to 842: world position moved at most " + number(whole) + ","),
              std::string::npos)
        << out.str();
}

// Un-parenting a camera, which takes no scale of its own, from a parent scaled
// 0.015 keeps its world position but makes its world axes 66.7 times longer;
// its child and grandchild, each 10 units out in its parent's space, were 0.15
// and 0.3 units away from it and are now 10 and 20.
TEST_F(ReportTest, ReportsAndWarnsAboutAChangedWorldScaleAndTheDescendantsItMoves) {
    const Keys tiny = {{0, 0.015}};
    load(scene_text(30, item("AddNullObject 10000000 Tiny", 9, {{6, tiny}, {7, tiny}, {8, tiny}}, nullptr) +
                            item("AddCamera 30000000\nCameraName Item", 6, {{0, {{0, 100}, {1, 200}}}}, "10000000") +
                            item("AddNullObject 10000001 Child", 9, {{0, {{0, 10}}}, {4, {{0, 0.3}}}}, "30000000") +
                            item("AddNullObject 10000002 Grandchild", 9, {{0, {{0, 10}}}}, "10000001")));
    const ItemIdValue grandchild = 0x10000002u;
    const std::vector<Vec3> was = track(grandchild, 30);
    ASSERT_EQ(run("select Item"), "");
    const std::string error = run("run KR_unParent_wPos");
    const double moved = largest_move(was, track(grandchild, 30), 31);
    ASSERT_GT(moved, 19.0);
    const std::string report = out.str();
    EXPECT_NE(report.find("world scale: changed by a factor of at most 66.7\n"), std::string::npos) << report;
    EXPECT_NE(report.find("descendants: 2, moved at most " + number(moved) + " (most: Grandchild [10000002])"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("warning: Item [30000000]: its world scale changed by a factor of up to 66.7"),
              std::string::npos)
        << report;
    EXPECT_NE(error.find("1 warning"), std::string::npos) << error;
}

// A parent stretched across the axes of an item turned under it cannot carry
// its world axes: neither its rotation keys nor its scale can shear. Un-parenting an item that has
// no parent does nothing and says so. Both are faults of the run.
TEST_F(ReportTest, WarnsAboutAnUnevenNewParentAndAnUnParentWithNothingToDo) {
    load(scene_text(30, item("AddNullObject 10000000 Stretch", 9, {{3, {{0, 0.5}}}, {6, {{0, 2}}}}, nullptr) +
                            item("AddNullObject 10000001 Mover", 9, {{0, {{0, 1}, {1, 3}}}, {3, {{0, 0.8}}}}, nullptr)));
    ASSERT_EQ(run("select Stretch"), "");
    ASSERT_EQ(run("run KR_memItem"), "");
    ASSERT_EQ(run("select Mover"), "");
    EXPECT_NE(run("run KR_setParent_wPos").find("warning"), std::string::npos);
    EXPECT_NE(out.str().find("warning: Mover [10000001]: the new parent chain scales unevenly (from frame 0)"),
              std::string::npos)
        << out.str();

    out.str("");
    ASSERT_EQ(run("select Stretch"), "");
    EXPECT_NE(run("run KR_unParent_wPos").find("1 warning"), std::string::npos);
    EXPECT_NE(out.str().find("  warning: Stretch [10000000] has no parent: nothing to un-parent\n"), std::string::npos)
        << out.str();
}

// Statements added to an item made by item(): `extra` after its links, and
// `in_channel` inside the envelope of channel `channel`.
std::string with(std::string item_text, const std::string &extra, int channel = -1, const std::string &in_channel = "") {
    if (channel >= 0) {
        const size_t block = item_text.find("Channel " + std::to_string(channel) + "\n");
        const size_t close = item_text.find("}\n", block);
        item_text.insert(close, in_channel);
    }
    return item_text.insert(item_text.size() - 1, extra);
}

// Layout moves items by more than keys in ways this host does not evaluate.
// Mover goes from under OldArm to under NewBase; one of each such way sits on
// it, its old and new ancestors and its descendants, and every one must be
// named, Mover's figures marked and one warning counted. Un-parenting Plain,
// which only a disabled motion modifier and a drawing plug-in touch, gives
// the report as before.
TEST_F(ReportTest, NamesEverythingThatMovesAnItemBeyondItsKeysAndMarksItsFigures) {
    const std::string modifier = "Plugin ItemMotionHandler 1 Wobble\nEndPlugin\n";
    load(scene_text(
        30,
        with(item("AddNullObject 10000000 OldRoot", 9, {}, nullptr), modifier) +
            with(item("AddNullObject 10000001 OldArm", 9, {{3, {{0, 0.2}, {1, 0.9}}}}, "10000000"),
                 "HController 3\nGoalObject 10000009\n") +
            with(item("AddNullObject 10000002 Mover", 9, {{0, {{0, 1}, {1, 2}}}}, "10000001"),
                 "TargetItem 10000009\n") +
            with(item("AddNullObject 10000003 NewRoot", 9, {}, nullptr), "", 3,
                 "  Plugin ChannelHandler 1 GraphExpression\n  EndPlugin\n") +
            with(item("AddNullObject 10000004 NewBase", 9, {{1, {{0, 0}, {1, 3}}}}, "10000003"), "XController 2\n",
                 4, "  Plugin ChannelHandler 1 Noise\n  EndPlugin\n") +
            with(item("AddNullObject 10000005 Follower", 9, {}, "10000002"),
                 "PositionItem 10000009\nRotationItem 10000009\nScaleItem 10000009\n") +
            with(item("AddNullObject 10000006 Leaf", 9, {}, "10000005"),
                 "PoleItem 10000009\nRotationItem 10000000\n") +
            item("AddNullObject 10000007 PlainRoot", 9, {{3, {{0, 0.3}}}}, nullptr) +
            with(item("AddNullObject 10000008 Plain", 9, {{0, {{0, 1}}}}, "10000007"),
                 "Plugin CustomObjHandler 1 Shape\nEndPlugin\n") +
            with(item("AddNullObject 10000009 Goal", 9, {}, "10000008"), modifier + "PluginEnabled 0\n")));
    ASSERT_EQ(run("select NewBase"), "");
    ASSERT_EQ(run("run KR_memItem"), "");
    ASSERT_EQ(run("select Mover"), "");
    EXPECT_NE(run("run KR_setParent_wPos").find("gave 1 warning"), std::string::npos) << out.str();
    const std::string mover_block = out.str();
    const std::string unverified = " (not verified by this host)\n";
    EXPECT_NE(mover_block.find("deg" + unverified), std::string::npos) << mover_block;
    EXPECT_NE(mover_block.find("world scale: kept" + unverified), std::string::npos) << mover_block;
    EXPECT_NE(mover_block.find("(most: Follower [10000005])" + unverified), std::string::npos) << mover_block;
    EXPECT_NE(mover_block.find(
                  "  warning: Mover [10000002]: Layout moves it by more than keys, which this host does not evaluate; "
                  "figures not verified by this host:\n"
                  "    item Mover [10000002]: target Goal [10000009]\n"
                  "    old parent OldArm [10000001]: IK controller on heading; IK goal Goal [10000009]\n"
                  "    old ancestor OldRoot [10000000]: motion modifier Wobble\n"
                  "    new parent NewBase [10000004]: align-to-path controller on position X; channel modifier Noise on pitch\n"
                  "    new ancestor NewRoot [10000003]: expression GraphExpression on heading\n"
                  "    descendant Follower [10000005]: follows Goal [10000009] (position, rotation and scale item)\n"
                  "    descendant Leaf [10000006]: IK pole Goal [10000009]; rotation item OldRoot [10000000]\n"),
              std::string::npos)
        << mover_block;

    out.str("");
    ASSERT_EQ(run("select Plain"), "");
    EXPECT_EQ(run("run KR_unParent_wPos"), "") << out.str();
    EXPECT_EQ(out.str().find("not verified"), std::string::npos) << out.str();
}

void set_threads(const char *count) {
#ifdef _WIN32
    _putenv_s("LWHEADLESS_THREADS", count);
#else
    if (*count)
        setenv("LWHEADLESS_THREADS", count, 1);
    else
        unsetenv("LWHEADLESS_THREADS");
#endif
}

// The report is made on both cores, items and blocks of frames shared out:
// one thread and two must print it to the bit alike, over a take of several
// blocks, a chain of selected items and a watched child left in place.
TEST_F(ReportTest, PrintsTheSameReportOnOneThreadAndOnTwo) {
    auto wave = [](double amplitude, double phase) {
        Keys keys;
        for (int frame = 0; frame <= 700; ++frame)
            keys.push_back({frame / 30.0, amplitude * std::sin(0.05 * frame + phase)});
        return keys;
    };
    std::string items = item("AddNullObject 10000000 Root", 9, {{3, wave(0.5, 0)}}, nullptr);
    const char *const ids[] = {"10000000", "10000001", "10000002", "10000003", "10000004"};
    for (int i = 1; i < 5; ++i)
        items += item("AddNullObject " + std::string(ids[i]) + " Link" + std::to_string(i), 9,
                      {{0, wave(1.0, i)}, {4, wave(0.4, 2 * i)}, {7, {{0, 1.0 + 0.2 * i}}}}, ids[i - 1]);
    const ItemIdValue last = 0x10000003u;
    std::string reports[2];
    double moved = 0.0;
    for (const char *threads : {"1", "2"}) {
        set_threads(threads);
        load(scene_text(700, items));
        const std::vector<Vec3> was = track(last, 700);
        ASSERT_EQ(run("select Link1 Link2 Link3"), "");
        run("run KR_unParent_wPos");
        moved = largest_move(was, track(last, 700), 701);
        reports[threads[0] - '1'] = out.str();
        out.str("");
    }
    set_threads("");
    const std::string figure = "every frame 0 to 700: world position moved at most " + number(moved) + ",";
    EXPECT_NE(reports[0].find("Link3 [10000003]: Link2 [10000002] -> (none)"), std::string::npos) << reports[0];
    EXPECT_NE(reports[0].find(figure), std::string::npos) << reports[0];
    EXPECT_EQ(reports[0], reports[1]);
}

// A new parent that starts to stretch late in a long take: the first frame
// that shears is the one reported, however the frames were shared out.
TEST_F(ReportTest, FindsTheFirstFrameThatShearsLateInALongTake) {
    const Keys stretch = {{399 / 30.0, 1}, {400 / 30.0, 1.1}, {700 / 30.0, 2}};
    load(scene_text(700, item("AddNullObject 10000000 Stretch", 9, {{3, {{0, 0.5}}}, {6, stretch}}, nullptr) +
                             item("AddNullObject 10000001 Mover", 9, {{0, {{0, 1}, {700 / 30.0, 3}}}}, nullptr)));
    ASSERT_EQ(run("select Stretch"), "");
    ASSERT_EQ(run("run KR_memItem"), "");
    ASSERT_EQ(run("select Mover"), "");
    EXPECT_NE(run("run KR_setParent_wPos").find("warning"), std::string::npos);
    EXPECT_NE(out.str().find("Mover [10000001]: the new parent chain scales unevenly (from frame 400)"),
              std::string::npos)
        << out.str();
}

}  // namespace
}  // namespace headless
