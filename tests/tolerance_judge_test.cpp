// The world motion report judges the tolerance a re-parent was asked to hold,
// whatever the plug-in says: at every checked frame, and at every half frame
// a key on a whole frame could still hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "plugin_harness.h"
#include "tools/script_runner.h"

namespace headless {
namespace {

// An envelope of keys at (frame, value) pairs, 30 fps, all of one shape.
std::string envelope(const std::vector<std::pair<double, double>> &keys, int shape) {
    std::ostringstream text;
    text.precision(17);
    text << "{ Envelope\n  " << keys.size() << "\n";
    for (const auto &key : keys) text << "  Key " << key.second << " " << key.first / 30.0 << " " << shape << " 0 0 0 0 0 0\n";
    return text.str() + "  Behaviors 1 1\n}\n";
}

// Holder's x and uniform scale are keyed linearly; Child stands still at the
// origin, keyed at `child_frames`. Re-parented under Holder with no key
// added, Child's world motion is Holder's.
std::string scene(std::initializer_list<std::pair<double, double>> x,
                  std::initializer_list<std::pair<double, double>> scale,
                  std::initializer_list<std::pair<double, double>> child_keys) {
    std::string text = "LWSC\n3\n\nFirstFrame 0\nLastFrame 20\nFrameStep 1\nFramesPerSecond 30\n\n";
    for (const char *name : {"Holder", "Child"}) {
        text += std::string("AddNullObject ") + name + "\nObjectMotion\nNumChannels 9\n";
        const bool holder = name[0] == 'H';
        for (int c = 0; c < 9; ++c) {
            std::string keys = envelope({{0, c >= 6 ? 1.0 : 0.0}}, 0);
            if (holder && c == 0) keys = envelope(x, 3);
            if (holder && c >= 6) keys = envelope(scale, 3);
            if (!holder && c == 0) keys = envelope(child_keys, 0);
            text += "Channel " + std::to_string(c) + "\n" + keys;
        }
        text += "\n";
    }
    return text;
}

class JudgeTest : public PluginTest {
protected:
    // The tool's output for the statements, after loading `text` if any.
    std::string play(const std::string &text, std::initializer_list<std::string> statements) {
        const std::string path = ::testing::TempDir() + "tolerance_judge.lws";
        runner = std::make_unique<ScriptRunner>(host, *plugin, out);
        std::string error;
        if (!text.empty()) {
            std::ofstream(path, std::ios::binary) << text;
            EXPECT_TRUE(runner->run_statement("load " + path, &error)) << error;
        }
        for (const std::string &statement : statements)
            EXPECT_TRUE(runner->run_statement(statement, &error)) << statement << ": " << error;
        std::remove(path.c_str());
        return out.str();
    }
    std::ostringstream out;
    std::unique_ptr<ScriptRunner> runner;
};

// A host too old to pass arguments leaves the plug-in without the tolerance
// the user typed: nothing is held, Holder's bumps at frame 5 (0.5 units) and
// 10.5 (3 units) and its swelling at frame 15 (2 %) stay, and the tool says so
// and fails. Child's key at 10.4 lies between frames: frame 10.5 is judged.
TEST_F(JudgeTest, MotionAndScaleNotHeldAreWarnedAtTheWorstFrameAndFail) {
    const std::string report =
        play(scene({{0, 0}, {5, 0.5}, {10.4, 0}, {10.5, 3}, {11, 0}, {20, 0}}, {{0, 1}, {11, 1}, {15, 1.02}, {20, 1}},
                   {{0, 0}, {10.4, 0}, {11, 0}, {20, 0}}),
             {"generic-version 5", "select Holder", "run KR_memItem", "select Child", "run KR_setParent_wPos 0.001 0.05"});
    EXPECT_NE(report.find("  tolerance: 0.001 units, 0.05 deg, 0.1 % scale (judged at 1.5 times)\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("warning: Child [10000001]: world motion beyond the tolerance (0.001 units, 0.05 deg) at "
                          "frame 10.5: 3 units, 0 deg\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("warning: Child [10000001]: world scale beyond the tolerance (0.1 %) at frame 15: 2 %\n"),
              std::string::npos)
        << report;
    ASSERT_EQ(runner->faults().size(), 1u) << report;
    EXPECT_NE(runner->faults()[0].find("the world motion report gave 2 warning(s)"), std::string::npos);
}

// The plug-in holds the cup on its cart within the tolerance: judged at every
// frame and half frame, it passes.
TEST_F(JudgeTest, MotionHeldIsNotWarned) {
    const std::string report = play("", {"load " KR_EXAMPLES_DIR "/carried_cup.lws", "tolerance 0.001 0.05",
                                         "select Cart", "run KR_memItem", "select Cup", "run KR_setParent_wPos"});
    EXPECT_NE(report.find("    tolerance: judged at 301 frames and 300 half frames: at most 0.000"), std::string::npos)
        << report;
    EXPECT_TRUE(runner->faults().empty()) << runner->faults().front();
    std::string error;
    EXPECT_FALSE(runner->run_statement("tolerance 0.001 0.05 -1", &error));
    EXPECT_NE(error.find("'-1' is not a positive number; usage: tolerance DISTANCE [DEGREES [PERCENT]]"),
              std::string::npos)
        << error;
}

// Holder leaps between frames 10 and 11, where Child is keyed: no key on a
// whole frame can hold frame 10.5, which is not judged; the others are held.
TEST_F(JudgeTest, HalfFrameBetweenKeyedFramesIsNotJudged) {
    const std::string report =
        play(scene({{0, 0}, {10, 0}, {10.5, 3}, {11, 0}, {20, 0}}, {{0, 1}}, {{0, 0}, {10, 0}, {11, 0}, {20, 0}}),
             {"generic-version 5", "select Holder", "run KR_memItem", "select Child", "run KR_setParent_wPos 0.001"});
    EXPECT_NE(report.find("  tolerance: 0.001 units, 0.01 deg, 0.1 % scale"), std::string::npos) << report;
    EXPECT_NE(report.find("    tolerance: judged at 21 frames and 19 half frames: at most 0 units, 0 deg"),
              std::string::npos)
        << report;
    EXPECT_TRUE(runner->faults().empty()) << runner->faults().front();
}

// Root and Holder above Child are keyed on every frame, so no half frame is
// judged for Root, but Child is keyed at 0 and 20 only and is judged at every
// half frame, posed there under them as they were: un-parented with nothing
// held, its x keeps Root's straight line from 0 to 2 where Root's curve
// (0.005 f^2, linear between frames) was, 0.5 off at frame 10, 0.4975 at 9.5.
TEST_F(JudgeTest, HalfFramesPoseAnItemUnderAncestorsKeyedOnEveryFrame) {
    std::string text = "LWSC\n3\n\nFirstFrame 0\nLastFrame 20\nFrameStep 1\nFramesPerSecond 30\n\n";
    const char *const names[] = {"Top", "Root", "Holder", "Child"};
    for (int i = 0; i < 4; ++i) {
        text += std::string("AddNullObject ") + names[i] + "\nObjectMotion\nNumChannels 9\n";
        for (int c = 0; c < 9; ++c) {
            std::string keys = envelope({{0, c >= 6 ? 1.0 : 0.0}}, 0);
            if ((i == 1 && c == 0) || (i == 2 && c == 1)) {
                std::vector<std::pair<double, double>> every;
                for (int f = 0; f <= 20; ++f) every.emplace_back(f, i == 1 ? 0.005 * f * f : 0.2 * f);
                keys = envelope(every, 3);
            }
            if (i == 3 && c == 2) keys = envelope({{0, 0}, {20, 1}}, 3);
            text += "Channel " + std::to_string(c) + "\n" + keys;
        }
        if (i > 0) text += "ParentItem 1000000" + std::to_string(i - 1) + "\n";
        text += "\n";
    }
    const std::string report =
        play(text, {"generic-version 5", "select Root Child", "run KR_unParent_wPos 0.001"});
    EXPECT_NE(report.find("judged at 21 frames and 0 half frames"), std::string::npos) << report;
    EXPECT_NE(report.find("    tolerance: judged at 21 frames and 20 half frames: at most 0.5 units, 0 deg"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("beyond the tolerance (0.001 units, 0.01 deg) at frame 10: 0.5 units"), std::string::npos)
        << report;
}

}  // namespace
}  // namespace headless
