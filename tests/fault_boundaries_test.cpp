// Faults that a sampled mutation run (scripts/mutants.sh) found no other test
// catching: each test sits on the boundary or the branch its fault moves, and
// goes through the loaded plug-in and the tool's statements.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

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

// A null of a scene file; channels without keys given hold 0, or 1 for scale.
std::string null_item(const std::string &id_and_name, std::vector<std::pair<int, Keys>> keyed, const char *parent,
                      const std::string &extra = "") {
    std::string text = "AddNullObject " + id_and_name + "\nObjectMotion\nNumChannels 9\n";
    for (int c = 0; c < 9; ++c) {
        Keys keys = {{0.0, c >= 6 ? 1.0 : 0.0}};
        for (const auto &k : keyed)
            if (k.first == c) keys = k.second;
        text += "Channel " + std::to_string(c) + "\n" + envelope(keys);
    }
    if (parent) text += std::string("ParentItem ") + parent + "\n";
    return text + extra + "\n";
}

std::string scene_text(int last_frame, const std::string &items) {
    return "LWSC\n5\n\nFirstFrame 0\nLastFrame " + std::to_string(last_frame) + "\nFramesPerSecond 30\n\n" + items;
}

class FaultTest : public PluginTest {
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
    // Re-parents `item` under `parent` keeping its world motion; the report.
    std::string reparent(const std::string &item, const std::string &parent) {
        out.str("");
        EXPECT_EQ(run("select " + parent), "");
        EXPECT_EQ(run("run KR_memItem"), "");
        EXPECT_EQ(run("select " + item), "");
        run("run KR_setParent_wPos");
        return out.str();
    }

    std::ostringstream out;
    std::unique_ptr<ScriptRunner> runner;
    const std::string path = ::testing::TempDir() + "fault_boundaries.lws";
};

// An ancestor on both chains is named by both of its places: moving Mover
// from under Arm to under Root makes Root its old ancestor and new parent,
// and moving it back makes Root its old parent and new ancestor.
TEST_F(FaultTest, ReportNamesADriverOnBothChainsByBothPlaces) {
    const std::string modifier = "Plugin ItemMotionHandler 1 Wobble\nEndPlugin\n";
    load(scene_text(30, null_item("10000000 Root", {}, nullptr, modifier) +
                            null_item("10000001 Arm", {{3, {{0, 0.4}}}}, "10000000") +
                            null_item("10000002 Mover", {{0, {{0, 1}, {1, 2}}}}, "10000001")));
    const std::string there = reparent("Mover", "Root");
    EXPECT_NE(there.find("    old ancestor and new parent Root [10000000]: motion modifier Wobble\n"),
              std::string::npos)
        << there;
    const std::string back = reparent("Mover", "Arm");
    EXPECT_NE(back.find("    old parent and new ancestor Root [10000000]: motion modifier Wobble\n"),
              std::string::npos)
        << back;
    // Named once, not again as an ancestor of the new chain alone.
    for (const std::string &report : {there, back})
        EXPECT_EQ(report.find("Root [10000000]: motion modifier"), report.rfind("Root [10000000]: motion modifier"))
            << report;
}

// The report calls a new parent chain uneven from a millionth on: a parent
// stretched by three millionths across the item's axes is warned about, one
// stretched by three ten-millionths is not.
TEST_F(FaultTest, ReportWarnsOfAnUnevenNewParentFromAMillionthOn) {
    for (const double stretch : {1 + 3e-6, 1 + 3e-7}) {
        load(scene_text(30, null_item("10000000 Stretch", {{3, {{0, 0.5}}}, {6, {{0, stretch}}}}, nullptr) +
                                null_item("10000001 Mover", {{0, {{0, 1}, {1, 3}}}, {3, {{0, 0.8}}}}, nullptr)));
        const std::string report = reparent("Mover", "Stretch");
        const bool warned = report.find("warning: Mover [10000001]: the new parent chain scales unevenly") != std::string::npos;
        EXPECT_EQ(warned, stretch > 1 + 1e-6) << "stretched by " << stretch - 1 << ":\n" << report;
    }
}

// The report checks every frame up to the last key's frame. A key a
// thousandth of a frame or nearer below frame 41 is on it; two thousandths
// below, it is still in frame 40 (a scene file keeps times to about eight
// digits, so a hair must forgive that, and no more).
TEST_F(FaultTest, ReportCountsAKeyWithinAThousandthOfAFrameToThatFrameAndNoFurther) {
    for (const double off : {0.0009, 0.002}) {
        load(scene_text(30, null_item("10000000 Carrier", {{0, {{0, 0}, {1, 4}}}}, nullptr) +
                                null_item("10000001 Cup", {{1, {{0, 1}, {(41 - off) / 30, 2}}}}, "10000000")));
        out.str("");
        ASSERT_EQ(run("select Cup"), "");
        run("run KR_unParent_wPos");
        const std::string span = off < 1e-3 ? "every frame 0 to 41: " : "every frame 0 to 40: ";
        EXPECT_NE(out.str().find(span), std::string::npos) << off << " of a frame below 41:\n" << out.str();
    }
}

// Frames keyed only in scale get a scale key on each axis, the channel's own
// where it has one in that frame: Cup's width is keyed at frame 10 and its
// height a fifth of a frame later, so only its depth gets a key there (at the
// later time), besides a key on each axis at frame 20, keyed in position.
TEST_F(FaultTest, AFrameKeyedOnlyInScaleGetsOneKeyPerScaleAxis) {
    load(scene_text(30, null_item("10000000 Grower", {{6, {{0, 1}, {1, 2}}}, {7, {{0, 1}, {1, 2}}}, {8, {{0, 1}, {1, 2}}}},
                                  nullptr) +
                            null_item("10000001 Cup", {{0, {{0, 0}, {20 / 30.0, 3}}}, {6, {{0, 1}, {10 / 30.0, 1.5}}},
                                                       {7, {{0, 1}, {10.2 / 30, 1.2}}}},
                                      nullptr)));
    const std::string report = reparent("Cup", "Grower");
    const Item *cup = host.scene().find(0x10000001u);
    const std::vector<double> expected[3] = {{0, 10, 20}, {0, 10.2, 20}, {0, 10.2, 20}};
    for (int axis = 0; axis < 3; ++axis) {
        std::vector<double> frames;
        for (const auto &key : cup->channel(static_cast<MotionChannel>(kScaleX + axis)).envelope.keys())
            frames.push_back(std::round(key->time * 300) / 10);
        EXPECT_EQ(frames, expected[axis]) << "scale axis " << axis << "\n" << report;
    }
}

// Un-parented from a parent that swings, tips and rolls, Gimbal keeps its place and
// only its rotation drifts between its keys: the keys added must hold that
// rotation to the degrees asked, as the report judges it.
TEST_F(FaultTest, RotationAloneIsHeldToTheDegreesAsked) {
    load(scene_text(30, null_item("10000000 Swing", {{3, {{0, 0}, {1, 12}}}, {4, {{0, 0}, {1, 2}}}, {5, {{0, 0}, {1, 5}}}}, nullptr) +
                            null_item("10000001 Gimbal", {{4, {{0, 0.7}, {1, 0.7}}}}, "10000000")));
    out.str("");
    ASSERT_EQ(run("select Gimbal"), "");
    EXPECT_EQ(run("run KR_unParent_wPos 0.001 0.05"), "") << out.str();
    EXPECT_EQ(out.str().find("beyond the tolerance"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("world position moved at most 0,"), std::string::npos) << out.str();
}

// A frame is judged at the time of a key that lies on it within a hair, as a
// scene file keeps it, not at the frame's own time: Carrier steps to 10 units
// at its key a ten-millionth of a second after frame 31, and Cup, keyed at
// every frame and there, keeps that step exactly; at the frame's own time,
// before the step, it would seem to have moved 10 units.
TEST_F(FaultTest, ReportJudgesAFrameAtTheTimeOfItsKeyAHairOff) {
    const double step = 1.0333334;
    char carrier[160];
    std::snprintf(carrier, sizeof carrier, "{ Envelope\n  2\n  Key 0 0 4 0 0 0 0 0 0\n  Key 10 %.8g 4 0 0 0 0 0 0\n"
                                           "  Behaviors 1 1\n}\n", step);
    std::string text = null_item("10000000 Carrier", {}, nullptr);
    const size_t x = text.find("Channel 0\n") + 10;
    text.replace(x, text.find("}\n", x) + 2 - x, carrier);
    Keys cup_keys;
    for (int frame = 0; frame <= 30; ++frame) cup_keys.push_back({frame / 30.0, 0.0});
    cup_keys.push_back({step, 0.0});
    load(scene_text(31, text + null_item("10000001 Cup", {{0, cup_keys}}, "10000000")));
    out.str("");
    ASSERT_EQ(run("select Cup"), "");
    run("run KR_unParent_wPos");
    const std::string figure = "every frame 0 to 31: world position moved at most ";
    const size_t at = out.str().find(figure);
    ASSERT_NE(at, std::string::npos) << out.str();
    EXPECT_LT(std::strtod(out.str().c_str() + at + figure.size(), nullptr), 1e-6) << out.str();
}

// The writer keeps a key line's own spacing, however long: a line of a
// hand-edited file with twenty thousand blanks after "Key", larger than the
// writer's stack buffer, is saved with its blanks and its new value.
TEST_F(FaultTest, AKeyLineLongerThanTheWritersBufferIsSavedWhole) {
    std::string cup = null_item("10000001 Cup", {{0, {{0, 1}, {1, 3}}}}, nullptr);
    const std::string blanks(20000, ' ');
    const size_t key = cup.find("Key 1 0 ");
    ASSERT_NE(key, std::string::npos);
    cup.insert(key + 3, blanks);
    load(scene_text(30, null_item("10000000 Carrier", {{0, {{0, 5}, {1, 5}}}}, nullptr) + cup));
    reparent("Cup", "Carrier");
    const std::string saved = path + ".saved";
    ASSERT_EQ(run("save --force " + saved), "");
    std::ifstream in(saved, std::ios::binary);
    std::stringstream written;
    written << in.rdbuf();
    std::remove(saved.c_str());
    EXPECT_NE(written.str().find("  Key" + blanks + " -4 0 "), std::string::npos) << written.str().size() << " bytes";
}

// The oldest format stores frame numbers: a key moved three millionths of a
// frame off frame 25 is refused on saving, and one moved three ten-millionths
// off, within what a time read back from a file may be off, is saved on it.
TEST_F(FaultTest, OldestFormatRefusesAKeyMillionthsOffItsFrameAndSavesOneNearer) {
    for (const double off : {3e-6, 3e-7}) {
        load("LWSC\n1\n\nFramesPerSecond 25.000000\n\nAddNullObject Holder\nObjectMotion (unnamed)\n  9\n  2\n"
             "  0.0 0.0 0.0 0.0 0.0 0.0 1.0 1.0 1.0\n  0 0 0.0 0.0 0.0\n"
             "  2.0 0.0 0.0 0.0 0.0 0.0 1.0 1.0 1.0\n  25 0 0.0 0.0 0.0\nEndBehavior 1\n\n");
        Envelope &x = host.scene().find(0x10000000u)->channel(kPositionX).envelope;
        ASSERT_EQ(x.key_count(), 2u);
        ASSERT_TRUE(x.set_key_time(x.keys()[1].get(), (25 + off) / 25.0));
        const std::string saved = path + ".saved";
        std::remove(saved.c_str());
        const std::string error = run("save " + saved);
        std::ifstream in(saved, std::ios::binary);
        std::stringstream written;
        written << in.rdbuf();
        std::remove(saved.c_str());
        if (off > 1e-6) {
            EXPECT_NE(error.find("is between frames; this scene format keeps keys on whole frames"), std::string::npos)
                << error;
        } else {
            EXPECT_EQ(error, "");
            EXPECT_NE(written.str().find("\n  25 0 "), std::string::npos) << written.str();
        }
    }
}

// A new IK goal is saved as the file's version names it: by object number up
// to LWSC 3, by item id from LWSC 4 on.
TEST_F(FaultTest, AGoalIsSavedByObjectNumberUpToLwsc3AndByItemIdFromLwsc4) {
    for (const int version : {3, 4}) {
        const std::string ids[2] = {version <= 3 ? "" : "10000000 ", version <= 3 ? "" : "10000001 "};
        load("LWSC\n" + std::to_string(version) + "\n\nFramesPerSecond 30\n\n" + null_item(ids[0] + "Hand", {}, nullptr) +
             null_item(ids[1] + "Target", {}, nullptr));
        ASSERT_EQ(run("select Target"), "");
        ASSERT_EQ(run("run KR_memItem"), "");
        ASSERT_EQ(run("select Hand"), "");
        ASSERT_EQ(run("run KR_setGoal"), "");
        const std::string saved = path + ".saved";
        ASSERT_EQ(run("save --force " + saved), "");
        std::ifstream in(saved, std::ios::binary);
        std::stringstream written;
        written << in.rdbuf();
        std::remove(saved.c_str());
        EXPECT_NE(written.str().find(version <= 3 ? "\nGoalObject 2\n" : "\nGoalObject 10000001\n"), std::string::npos)
            << "LWSC " << version << ":\n" << written.str();
    }
}

// In the oldest format a key line holds every channel: where a command
// changes some keys of an item, the others keep their lines as the file had
// them, digits and all.
TEST_F(FaultTest, OldestFormatKeepsTheLinesOfTheKeysACommandLeftAlone) {
    load("LWSC\n1\n\nFramesPerSecond 25.000000\n\n"
         "AddNullObject Holder\nObjectMotion (unnamed)\n  9\n  2\n"
         "  0.0 0.0 0.0 0.0 0.0 0.0 1.0 1.0 1.0\n  0 0 0.0 0.0 0.0\n"
         "  0.0 0.0 0.0 0.0 0.0 0.0 1.0 1.0 1.0\n  25 0 0.0 0.0 0.0\nEndBehavior 1\n\n"
         "AddNullObject Child\nObjectMotion (unnamed)\n  9\n  2\n"
         "  1.50 0.0 0.0 0.0 0.0 0.0 1.0 1.0 1.0\n  0 0 0.0 0.0 0.0\n"
         "  2.50 0.0 0.0 0.0 0.0 0.0 1.0 1.0 1.0\n  50 0 0.0 0.0 0.0\nEndBehavior 1\nParentObject 1\n\n");
    // Holder's key at frame 25 moved 4 units: leaving it changes Child's key
    // at frame 50, not the one at frame 0.
    Envelope &x = host.scene().find(0x10000000u)->channel(kPositionX).envelope;
    ASSERT_EQ(x.key_count(), 2u);
    x.keys()[1]->value = 4.0;
    ASSERT_EQ(run("select Child"), "");
    run("run KR_unParent_wPos");
    const std::string saved = path + ".saved";
    ASSERT_EQ(run("save --force " + saved), "");
    std::ifstream in(saved, std::ios::binary);
    std::stringstream written;
    written << in.rdbuf();
    std::remove(saved.c_str());
    const std::string child = written.str().substr(written.str().find("AddNullObject Child"));
    EXPECT_NE(child.find("  1.50 0.0 0.0 0.0 0.0 0.0 1.0 1.0 1.0\n  0 0 0.0 0.0 0.0\n"), std::string::npos) << child;
    EXPECT_EQ(child.find("  2.50 "), std::string::npos) << child;
}

// The scale is held to the percentage asked and no closer: a parent that
// swells by 0.3 % between Cup's keys and shrinks back leaves Cup's scale within
// half a percent, and the hold adds no key for it.
TEST_F(FaultTest, ScaleWithinThePercentageAskedTakesNoKeys) {
    Keys swell = {{0, 1}, {0.5, 1.003}, {1, 1}};
    load(scene_text(30, null_item("10000000 Swell", {{6, swell}, {7, swell}, {8, swell}}, nullptr) +
                            null_item("10000001 Cup", {{1, {{0, 0}, {1, 0}}}}, "10000000")));
    out.str("");
    ASSERT_EQ(run("select Cup"), "");
    run("run KR_unParent_wPos 1 180 0.5");
    // Only the keys of frame 30 on the channels not keyed there; the drift stays.
    EXPECT_NE(out.str().find("keys created 5, scale keys given new values 0, created 3\n"), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("at most 0 units, 0 deg, 0.3 % scale\n"), std::string::npos) << out.str();
}

}  // namespace
}  // namespace headless
