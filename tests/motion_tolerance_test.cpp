// Holding world motion between keys: the loaded plug-in, given a tolerance
// by the command's arguments, adds keys until the item's world motion holds
// at every frame and half frame, measured here with the host's own
// evaluation; what it cannot hold it says.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "host/core/world_transform.h"
#include "lws_fixture.h"
#include "plugin_harness.h"
#include "tools/script_runner.h"

namespace headless {
namespace {

bool tolerance_unmet(const ScriptRunner &runner) {
    for (const std::string &fault : runner.faults())
        if (fault.find("warned: \"wPos tolerance not held\"") != std::string::npos) return true;
    return false;
}

// An envelope block of TCB keys at (frame, value) pairs, 30 fps.
std::string envelope(std::initializer_list<std::pair<int, double>> keys) {
    std::ostringstream text;
    text.precision(17);
    text << "{ Envelope\n  " << keys.size() << "\n";
    for (const auto &key : keys) text << "  Key " << key.second << " " << key.first / 30.0 << " 0 0 0 0 0 0 0\n";
    text << "  Behaviors 1 1\n}\n";
    return text.str();
}

// A null whose nine channels are keyed as given (unlisted: 0, scale 1).
std::string null_object(const std::string &name, std::map<int, std::string> channels) {
    std::string text = "AddNullObject " + name + "\nShowObject 6 3\nObjectMotion\nNumChannels 9\n";
    for (int c = 0; c < 9; ++c) {
        const auto found = channels.find(c);
        text += "Channel " + std::to_string(c) + "\n" +
                (found != channels.end() ? found->second : envelope({{0, c >= 6 ? 1.0 : 0.0}}));
    }
    return text + "PivotPosition 0 0 0\n\n";
}

std::string scene_text(int last_frame, const std::string &holder, const std::string &child) {
    return "LWSC\n3\n\nFirstFrame 0\nLastFrame " + std::to_string(last_frame) +
           "\nFrameStep 1\nFramesPerSecond 30\n\n" + holder + child;
}

struct Pose {
    Vec3 position;
    WorldAxes axes;
};

Pose pose(const Scene &scene, ItemIdValue id, double time) {
    return Pose{world_position(scene, id, time), world_axes(scene, id, time)};
}

double degrees_between(const Vec3 &a, const Vec3 &b) {
    const double dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    return std::acos(std::min(1.0, std::max(-1.0, dot))) * 180.0 / 3.14159265358979323846;
}

double distance(const Vec3 &a, const Vec3 &b) { return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]); }

constexpr ItemIdValue kHolder = 0x10000000u, kChild = 0x10000001u;

class ToleranceTest : public PluginTest {
protected:
    // Loads the scene, runs the statements, then re-parents Child under
    // Holder keeping world position; returns the tool's output.
    std::string reparent(const std::string &scene, std::initializer_list<std::string> before,
                         std::unique_ptr<ScriptRunner> *kept = nullptr, const std::string &arguments = "") {
        auto &out = *outputs.emplace_back(std::make_unique<std::ostringstream>());
        auto runner = std::make_unique<ScriptRunner>(host, *plugin, out);
        std::vector<std::string> statements = {"load " + scene};
        statements.insert(statements.end(), before.begin(), before.end());
        for (const char *s : {"select Holder", "run KR_memItem", "select Child"}) statements.push_back(s);
        statements.push_back("run KR_setParent_wPos" + (arguments.empty() ? "" : " " + arguments));
        for (const std::string &statement : statements) {
            std::string error;
            EXPECT_TRUE(runner->run_statement(statement, &error)) << statement << ": " << error;
        }
        EXPECT_EQ(host.scene().find(kChild)->parent, kHolder) << out.str();
        if (kept) *kept = std::move(runner);
        return out.str();
    }
    std::string save(ScriptRunner &runner, const std::string &path) {
        std::string error;
        EXPECT_TRUE(runner.run_statement("save --force " + path, &error)) << error;
        return read_all(path);
    }
    const std::string folder = ::testing::TempDir();
    std::vector<std::unique_ptr<std::ostringstream>> outputs;  // each runner's, as long as it lives
};

// Holder drives, turns and bobs for 90 frames; Child keeps its own path in
// the world with three keys of its own.
TEST_F(ToleranceTest, HoldsEveryFrameAndHalfFrameWithFewKeysAndKeepsThePluginsKeys) {
    const std::string path = folder + "tolerance_carried.lws";
    std::ofstream(path) << scene_text(
        90,
        null_object("Holder", {{0, envelope({{0, 0}, {30, 2}, {60, 3}, {90, 5}})},
                               {1, envelope({{0, 0}, {45, 0.3}, {90, 0}})},
                               {3, envelope({{0, 0}, {30, 0.5}, {60, -0.3}, {90, 0.6}})}}),
        null_object("Child", {{0, envelope({{0, 1}, {45, 3}, {90, 5}})},
                              {1, envelope({{0, 1}, {45, 1.4}, {90, 1}})},
                              {3, envelope({{0, 0}, {90, 1.2}})}}));
    Scene original;
    LwsDocument doc;
    std::string error;
    ASSERT_TRUE(read_lws_file(path, &original, &doc, &error)) << error;

    std::unique_ptr<ScriptRunner> runner;
    const std::string plain_report = reparent(path, {}, &runner);
    EXPECT_EQ(plain_report.find("keys added"), std::string::npos) << plain_report;
    const std::string plain = save(*runner, folder + "tolerance_plain.lws");
    Scene untouched;
    ASSERT_TRUE(read_lws_file(folder + "tolerance_plain.lws", &untouched, &doc, &error)) << error;
    // `tolerance off` is as if none was ever given, byte for byte.
    EXPECT_EQ(reparent(path, {"tolerance 0.001 0.05", "tolerance off"}, &runner), plain_report);
    EXPECT_EQ(save(*runner, folder + "tolerance_off.lws"), plain);

    const std::string report = reparent(path, {"tolerance 0.001 0.05"}, &runner);
    EXPECT_EQ(report.find("wPos tolerance"), std::string::npos) << report;
    EXPECT_TRUE(runner->faults().empty()) << runner->faults().front();
    save(*runner, folder + "tolerance_held.lws");
    Scene held;
    ASSERT_TRUE(read_lws_file(folder + "tolerance_held.lws", &held, &doc, &error)) << error;
    for (const Scene *scene : {static_cast<const Scene *>(&host.scene()), static_cast<const Scene *>(&held)}) {
        for (int half = 0; half <= 180; ++half) {
            const double t = half / 60.0;
            const Pose was = pose(original, kChild, t), now = pose(*scene, kChild, t);
            EXPECT_LE(distance(now.position, was.position), 0.001) << "frame " << half / 2.0;
            EXPECT_LE(degrees_between(now.axes.right, was.axes.right), 0.05) << "frame " << half / 2.0;
            EXPECT_LE(degrees_between(now.axes.forward, was.axes.forward), 0.05) << "frame " << half / 2.0;
        }
    }
    // The plug-in's own keys keep their times and values; the added ones are
    // few beside a key on each of the 91 frames.
    size_t added = 0;
    for (int c = 0; c < 6; ++c) {
        const Envelope &mine = held.find(kChild)->channel(MotionChannel(c)).envelope;
        for (const auto &key : untouched.find(kChild)->channel(MotionChannel(c)).envelope.keys()) {
            const EnvelopeKey *same = mine.find_key(key->time);
            ASSERT_NE(same, nullptr) << "channel " << c << " key at " << key->time;
            EXPECT_EQ(same->value, key->value) << "channel " << c << " key at " << key->time;
        }
        const size_t plain_keys = untouched.find(kChild)->channel(MotionChannel(c)).envelope.key_count();
        added = std::max(added, mine.key_count() - plain_keys);
    }
    EXPECT_GT(added, 0u);
    EXPECT_LE(added, 91u / 4);
    for (const char *name : {"tolerance_carried.lws", "tolerance_plain.lws", "tolerance_off.lws", "tolerance_held.lws"})
        std::remove((folder + name).c_str());
}

// Holder spins round four times in four frames, and Child's position is
// keyed on every frame with 2D Bezier keys, whose handles are the animator's:
// neither a key nor a tangent can go where the half frames need one. They are
// named in a note, not a warning (nothing more could be done), and a save
// writes the keys.
TEST_F(ToleranceTest, HalfFramesNoKeyCanHoldAreNotedAndSaveWritesTheKeys) {
    const std::string path = folder + "tolerance_spin.lws";
    std::ostringstream handles;
    handles.precision(17);
    handles << "{ Envelope\n  5\n";
    for (int frame = 0; frame <= 4; ++frame)
        handles << "  Key " << 1 + 0.25 * frame << " " << frame / 30.0 << " 5 -0.01 0 0.01 0 0 0\n";
    handles << "  Behaviors 1 1\n}\n";
    std::ofstream(path) << scene_text(4, null_object("Holder", {{3, envelope({{0, 0}, {4, 25.0}})}}),
                                      null_object("Child", {{0, handles.str()}}));
    std::unique_ptr<ScriptRunner> runner;
    const std::string report = reparent(path, {}, &runner, "0.0001 0.01");
    EXPECT_NE(report.find("message info: \"wPos tolerance held at every frame\" \"Child: "), std::string::npos)
        << report;
    EXPECT_NE(report.find("(half frames between frames keyed already)"), std::string::npos) << report;
    EXPECT_TRUE(runner->faults().empty()) << runner->faults().front();
    const size_t keys = host.scene().find(kChild)->channel(kPositionX).envelope.key_count();
    EXPECT_EQ(keys, 5u);
    save(*runner, folder + "tolerance_spin_saved.lws");
    Scene saved;
    LwsDocument doc;
    std::string error;
    ASSERT_TRUE(read_lws_file(folder + "tolerance_spin_saved.lws", &saved, &doc, &error)) << error;
    EXPECT_EQ(saved.find(kChild)->channel(kPositionX).envelope.key_count(), keys);
    std::remove(path.c_str());
    std::remove((folder + "tolerance_spin_saved.lws").c_str());
}

// Holder zigzags a unit each frame; Child has a key between frames, at
// frame 10.4. The whole frame 10 beside it is not keyed: it is held like
// any other, and the closing note names only half frames.
TEST_F(ToleranceTest, WholeFrameBesideAKeyBetweenFramesIsHeld) {
    const std::string path = folder + "tolerance_subframe.lws";
    std::ostringstream zigzag, between;
    zigzag.precision(17);
    zigzag << "{ Envelope\n  21\n";
    for (int frame = 0; frame <= 20; ++frame) zigzag << "  Key " << frame % 2 << " " << frame / 30.0 << " 0 0 0 0 0 0 0\n";
    zigzag << "  Behaviors 1 1\n}\n";
    between.precision(17);
    between << "{ Envelope\n  3\n  Key 0 0 0 0 0 0 0 0 0\n  Key 2 " << 10.4 / 30.0
            << " 0 0 0 0 0 0 0\n  Key 0 " << 20 / 30.0 << " 0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n";
    std::ofstream(path) << scene_text(20, null_object("Holder", {{1, zigzag.str()}}),
                                      null_object("Child", {{0, between.str()}}));
    Scene original;
    LwsDocument doc;
    std::string error;
    ASSERT_TRUE(read_lws_file(path, &original, &doc, &error)) << error;
    std::unique_ptr<ScriptRunner> runner;
    const std::string report = reparent(path, {}, &runner, "0.001 0.05");
    for (int frame = 0; frame <= 20; ++frame) {
        const double t = frame / 30.0;
        EXPECT_LE(distance(pose(host.scene(), kChild, t).position, pose(original, kChild, t).position), 0.001)
            << "frame " << frame << "\n" << report;
    }
    EXPECT_EQ(report.find("wPos tolerance not held"), std::string::npos) << report;
    std::remove(path.c_str());
}

// The lengths of the item's world axes at `time`, as the host places it.
Vec3 world_lengths(const Scene &scene, ItemIdValue id, double time) {
    const HierarchySampler sampler(scene, {id});
    std::vector<WorldPose> poses(sampler.size());
    sampler.evaluate(&time, 1, nullptr, poses.data());
    const WorldPose &pose = poses[static_cast<size_t>(sampler.index_of(id))];
    Vec3 lengths;
    for (int r = 0; r < 3; ++r)
        lengths[r] = std::fabs(pose.scale[r]) * std::hypot(pose.axes[r][0], pose.axes[r][1], pose.axes[r][2]);
    return lengths;
}

// Holder grows threefold, unevenly along its own axes, while it drives off;
// Child, keyed at three frames, goes under it. Its new scale keys give back
// its world size at its keys, and between them the hold keeps it within a
// tenth of a percent at every frame and half frame.
TEST_F(ToleranceTest, WorldScaleIsHeldBetweenKeysUnderAGrowingParent) {
    const std::string path = folder + "tolerance_growing.lws";
    std::ofstream(path) << scene_text(
        60,
        null_object("Holder", {{0, envelope({{0, 0}, {60, 4}})},
                               {6, envelope({{0, 1}, {60, 3}})},
                               {7, envelope({{0, 1}, {60, 2}})},
                               {8, envelope({{0, 1}, {60, 3}})}}),
        null_object("Child", {{0, envelope({{0, 1}, {30, 2}, {60, 1}})}, {7, envelope({{0, 0.5}})}}));
    Scene original;
    LwsDocument doc;
    std::string error;
    ASSERT_TRUE(read_lws_file(path, &original, &doc, &error)) << error;
    std::unique_ptr<ScriptRunner> runner;
    const std::string report = reparent(path, {}, &runner, "0.001 0.05 0.1");
    EXPECT_EQ(report.find("not held"), std::string::npos) << report;
    EXPECT_EQ(report.find("not kept"), std::string::npos) << report;
    EXPECT_EQ(report.find("scales unevenly"), std::string::npos) << report;
    for (int half = 0; half <= 120; ++half) {
        const double t = half / 60.0;
        const Vec3 was = world_lengths(original, kChild, t), now = world_lengths(host.scene(), kChild, t);
        for (int r = 0; r < 3; ++r)
            EXPECT_LE(std::fabs(now[r] / was[r] - 1.0), 0.001) << "axis " << r << " frame " << half / 2.0;
        EXPECT_LE(distance(pose(host.scene(), kChild, t).position, pose(original, kChild, t).position), 0.001)
            << "frame " << half / 2.0;
    }
    std::remove(path.c_str());
}

// Holder is stretched along x and bobs; Child turns and climbs under it. Its
// world axes are no longer at right angles, so no rotation key can hold
// them: the plug-in warns, naming the shear, and adds nothing.
TEST_F(ToleranceTest, ShearIsWarnedAboutAndNothingIsAdded) {
    const std::string path = folder + "tolerance_shear.lws";
    std::ofstream(path) << scene_text(
        200,
        null_object("Holder", {{0, envelope({{0, 0}, {200, 4}})},
                               {1, envelope({{0, 0}, {70, 1}, {140, -0.5}, {200, 0}})},
                               {6, envelope({{0, 2}})}}),
        null_object("Child", {{1, envelope({{0, 0}, {100, 2}, {200, 1}})}, {3, envelope({{0, 0}, {200, 1.5}})}}));
    std::unique_ptr<ScriptRunner> runner;
    reparent(path, {}, &runner);
    const std::string plain = save(*runner, folder + "tolerance_shear_plain.lws");
    const std::string report = reparent(path, {"tolerance 0.001 0.05"}, &runner);
    EXPECT_NE(report.find("message warning: \"wPos tolerance not held\" \"Child: "), std::string::npos) << report;
    EXPECT_NE(report.find("(the parent chains shear it, no keys added)"), std::string::npos) << report;
    EXPECT_TRUE(tolerance_unmet(*runner));
    EXPECT_EQ(save(*runner, folder + "tolerance_shear_held.lws"), plain);
    for (const char *name : {"tolerance_shear.lws", "tolerance_shear_plain.lws", "tolerance_shear_held.lws"})
        std::remove((folder + name).c_str());
}

// Arguments no one can read, and a host too old to pass any, leave the
// command as it is without a tolerance, byte for byte; only the unreadable
// ones are said.
TEST_F(ToleranceTest, UnreadableArgumentsAndOldHostsGiveThePlainResult) {
    const std::string path = folder + "tolerance_words.lws";
    std::ofstream(path) << scene_text(
        90, null_object("Holder", {{0, envelope({{0, 0}, {30, 2}, {60, 3}, {90, 5}})}, {3, envelope({{0, 0}, {90, 0.6}})}}),
        null_object("Child", {{0, envelope({{0, 1}, {45, 3}, {90, 5}})}}));
    std::unique_ptr<ScriptRunner> runner;
    reparent(path, {}, &runner);
    const std::string plain = save(*runner, folder + "tolerance_words_plain.lws");
    for (const std::string &words : {std::string("0.01 abc"), std::string("-1"), std::string("nan"),
                                     std::string("0.01 0.1 3 4"), std::string(10000, '7')}) {
        SCOPED_TRACE(words.substr(0, 20));
        const std::string report = reparent(path, {}, &runner, words);
        EXPECT_NE(report.find("message error: \"wPos tolerance not understood\""), std::string::npos) << report;
        EXPECT_EQ(save(*runner, folder + "tolerance_words_held.lws"), plain);
    }
    const std::string report = reparent(path, {"generic-version 2"}, &runner, "0.001 0.05");
    EXPECT_EQ(report.find("wPos tolerance"), std::string::npos) << report;
    EXPECT_EQ(save(*runner, folder + "tolerance_words_held.lws"), plain);
    EXPECT_TRUE(host.violations.empty()) << host.violations.front();
    host.set_generic_version(kGenericVersionWithArguments);
    for (const char *name : {"tolerance_words.lws", "tolerance_words_plain.lws", "tolerance_words_held.lws"})
        std::remove((folder + name).c_str());
}

// The oldest scene format keeps TCB and linear keys on shared whole frames
// only: the keys held between the item's own are of a shape it keeps, so the
// scene still saves.
TEST_F(ToleranceTest, KeysHeldInTheOldestFormatStillSave) {
    const std::string path = folder + "tolerance_lwsc1.lws";
    std::ofstream(path) << "LWSC\n1\n\nFramesPerSecond 25.000000\n\n"
                           "AddNullObject Holder\nObjectMotion (unnamed)\n  9\n  3\n"
                           "  0.0 0.0 0.0 0.0 0.0 0.0 1.0 1.0 1.0\n  0 0 0.0 0.0 0.0\n"
                           "  2.0 0.0 0.0 80.0 0.0 0.0 1.0 1.0 1.0\n  25 0 0.0 0.0 0.0\n"
                           "  3.0 1.0 0.0 -30.0 0.0 0.0 1.0 1.0 1.0\n  50 0 0.0 0.0 0.0\nEndBehavior 1\n\n"
                           "AddNullObject Child\nObjectMotion (unnamed)\n  9\n  2\n"
                           "  1.0 0.0 0.0 0.0 0.0 0.0 1.0 1.0 1.0\n  0 0 0.0 0.0 0.0\n"
                           "  1.0 2.0 0.0 0.0 0.0 0.0 1.0 1.0 1.0\n  50 0 0.0 0.0 0.0\nEndBehavior 1\n"
                           "ParentObject 1\n\n";
    auto &out = *outputs.emplace_back(std::make_unique<std::ostringstream>());
    ScriptRunner runner(host, *plugin, out);
    for (const std::string &statement : {"load " + path, std::string("select Child"),
                                        std::string("run KR_unParent_wPos 0.01 0.5"),
                                        "save --force " + folder + "tolerance_lwsc1_saved.lws"}) {
        std::string error;
        EXPECT_TRUE(runner.run_statement(statement, &error)) << statement << ": " << error << "\n" << out.str();
    }
    EXPECT_GT(host.scene().find(kHolder + 1)->channel(kPositionX).envelope.key_count(), 2u) << out.str();
    for (const char *name : {"tolerance_lwsc1.lws", "tolerance_lwsc1_saved.lws"}) std::remove((folder + name).c_str());
}

// The keys held between keys are the same to the bit from the Linux build and
// the Windows one: their frames, values, shapes and tangents, fingerprinted.
TEST_F(ToleranceTest, HeldKeysAreTheSameOnEveryPlatform) {
    auto &out = *outputs.emplace_back(std::make_unique<std::ostringstream>());
    ScriptRunner runner(host, *plugin, out);
    for (const std::string &statement : {std::string("load ") + KR_EXAMPLES_DIR + "/carried_cup.lws",
                                         std::string("select Cart"), std::string("run KR_memItem"),
                                         std::string("select Cup"), std::string("run KR_setParent_wPos 0.001 0.05")}) {
        std::string error;
        ASSERT_TRUE(runner.run_statement(statement, &error)) << statement << ": " << error;
    }
    uint64_t fingerprint = 0xcbf29ce484222325u;
    auto mix = [&](double number) {
        uint64_t bits;
        std::memcpy(&bits, &number, sizeof bits);
        for (int i = 0; i < 8; ++i) fingerprint = (fingerprint ^ ((bits >> (8 * i)) & 0xFF)) * 0x100000001b3u;
    };
    size_t keys = 0;
    for (int c = 0; c < 6; ++c) {
        const Envelope &envelope = host.scene().find(kChild)->channel(MotionChannel(c)).envelope;
        for (const auto &key : envelope.keys()) {
            const KeyDetails details = envelope.details(key.get());
            for (double number : {key->time, key->value, static_cast<double>(details.shape()), details.param(0),
                                  details.param(1)})
                mix(number);
            ++keys;
        }
    }
    EXPECT_EQ(keys, 84u) << out.str();
    EXPECT_EQ(fingerprint, 0xbd006a698a560877u) << std::hex << fingerprint;
}

}  // namespace
}  // namespace headless
