// Abort in the progress window of a keyed re-parent, through the loaded plug-in and the tool's statements.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "host/core/monitor_service.h"
#include "host/hostile/hostile_host.h"
#include "host/core/world_transform.h"
#include "plugin_harness.h"
#include "tools/script_runner.h"

namespace headless {
namespace {

// A null keyed at frames 0, 600 and 1200 (x and heading as given); A, B and C go under a travelling,
// turning Q: over 1200 frames with a tolerance, well above the window's threshold.
std::string null(const char *name, const char *x600, const char *x1200, const char *h600, const char *h1200) {
    const char *values[4][2] = {{x600, x1200}, {"0", "0"}, {"0", "0"}, {h600, h1200}};
    std::string text = std::string("AddNullObject ") + name + "\nObjectMotion\nNumChannels 4\n";
    for (int c = 0; c < 4; ++c)
        text += "Channel " + std::to_string(c) + "\n{ Envelope\n  3\n  Key 0 0 0 0 0 0 0 0 0\n  Key " + values[c][0] +
                " 20 0 0 0 0 0 0 0\n  Key " + values[c][1] + " 40 0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n";
    return text + "\n";
}
const std::string kScene = "LWSC\n3\n\nFirstFrame 0\nLastFrame 1199\nFramesPerSecond 30\n\n" +
                           null("Q", "9", "2", "1.5", "3.1") + null("A", "4", "1", "0", "0") +
                           null("B", "4", "1", "0", "0") + null("C", "4", "1", "0", "0");

struct Outcome {
    std::vector<std::string> warnings, faults;
    std::string saved;
    std::vector<std::pair<uint64_t, std::string>> steps;  // each step call and the message then shown
    std::vector<double> a_at_its_keys;                    // A's world x, y, z at frames 0, 600 and 1200
};

Outcome reparent(std::vector<std::string> statements, const HostileOptions &hostility = HostileOptions()) {
    const std::string scene = ::testing::TempDir() + "progress_abort.lws";
    std::ofstream(scene, std::ios::binary) << kScene;
    std::string error;
    auto plugin = PluginLibrary::open(plugin_path(), &error);
    Host host;
    HostileHost hostile(host, hostility);
    std::ostringstream out, saved;
    ScriptRunner runner(host, *plugin, out);
    Outcome run;
    host.monitors().observer = [&run](const Monitor &m) { run.steps.emplace_back(m.step_calls, m.message); };
    statements.insert(statements.begin(), {"load " + scene, "select Q", "run KR_memItem", "select A B C", "tolerance 0.0005"});
    statements.insert(statements.end(), {"run KR_setParent_wPos", "save --force " + scene, "load " + scene});
    for (const std::string &statement : statements) EXPECT_TRUE(runner.run_statement(statement, &error)) << error;
    run.faults = runner.faults();
    for (const MessageRecord &m : host.messages)
        if (m.kind == "warning" || m.kind == "error") run.warnings.push_back(m.text + ": " + m.text2);
    saved << std::ifstream(scene, std::ios::binary).rdbuf();
    run.saved = saved.str();
    HierarchySampler sampler(host.scene(), {0x10000001u});
    std::vector<WorldPose> pose(sampler.size());
    for (double time : {0.0, 20.0, 40.0}) {
        sampler.evaluate(&time, 1, nullptr, pose.data());
        for (int c = 0; c < 3; ++c) run.a_at_its_keys.push_back(pose.back().position[c]);
    }
    for (const Violation &v : host.violations) ADD_FAILURE() << v;  // a window left open, a step after destroy...
    return run;
}

std::string item(const std::string &scene, const std::string &name) {
    const size_t at = scene.find("AddNullObject " + name + "\n");
    return scene.substr(at, scene.find("\n\n", at) - at);
}
size_t keys_of_a(const Outcome &run) {
    const std::string a = item(run.saved, "A");
    size_t count = 0;
    for (size_t at = a.find("Key "); at != std::string::npos; at = a.find("Key ", at + 1)) ++count;
    return count;
}
// abort-after the step calls before the one showing `message`, which answers abort.
std::string abort_at(const Outcome &run, const std::string &message) {
    for (const auto &step : run.steps)
        if (step.second == message) return "abort-after " + std::to_string(step.first - 1);
    return "abort-after off";
}
// Without a monitor, as before there was a window; with one, run to its end.
const Outcome &before() { static const Outcome run = reparent({"withhold LWLMonFuncs"}); return run; }
const Outcome &whole() { static const Outcome run = reparent({}); return run; }
const char kStoppedAfterA[] = "wPos stopped: KR_setParent_wPos stopped after 1 of 3 items";

TEST(ProgressAbort, AbortBetweenItemsKeepsTheFirstWholeAndTouchesNoLaterItem) {
    const Outcome run = reparent({abort_at(whole(), "B")});
    EXPECT_EQ(item(run.saved, "A"), item(whole().saved, "A"));
    for (const char *name : {"B", "C"}) EXPECT_EQ(item(run.saved, name), item(kScene, name));
    EXPECT_EQ(run.warnings, std::vector<std::string>{kStoppedAfterA});
    EXPECT_EQ(run.faults.size(), 1u);  // the tool exits 1
}

TEST(ProgressAbort, AbortInAHoldKeepsTheKeysExactAndTheGapsHeldAndNamesTheItem) {
    const Outcome keys_only = reparent({abort_at(whole(), "A: holding, gap 2 of 4")}),
                  one_gap = reparent({abort_at(whole(), "A: holding, gap 3 of 4")});
    for (const Outcome *run : {&keys_only, &one_gap}) {
        for (size_t i = 0; i < 9; ++i) EXPECT_NEAR(run->a_at_its_keys[i], before().a_at_its_keys[i], 1e-9);
        for (const char *name : {"B", "C"}) EXPECT_EQ(item(run->saved, name), item(kScene, name));
        EXPECT_EQ(run->warnings, (std::vector<std::string>{
                                     "wPos tolerance not held: A: stopped by Abort, held only in part", kStoppedAfterA}));
    }
    EXPECT_LT(keys_of_a(keys_only), keys_of_a(one_gap));
    EXPECT_LT(keys_of_a(one_gap), keys_of_a(whole()));
}

TEST(ProgressAbort, NoMonitorOrNoneMadeRunsAsWithOneAndEveryWayOutClosesIt) {
    HostileOptions refused, aborting, unreadable;
    refused.monitor_refused = aborting.monitor_aborts_at_once = unreadable.keys_out_of_order = true;
    EXPECT_TRUE(before().steps.empty());
    for (const Outcome &run : {whole(), reparent({}, refused)})
        EXPECT_TRUE(run.saved == before().saved && run.warnings == before().warnings);
    const Outcome at_once = reparent({}, aborting), failed = reparent({}, unreadable);
    EXPECT_EQ(at_once.warnings, std::vector<std::string>{"wPos stopped: KR_setParent_wPos stopped after 0 of 3 items"});
    for (const char *name : {"A", "B", "C"}) EXPECT_EQ(item(at_once.saved, name), item(kScene, name));
    EXPECT_TRUE(!failed.steps.empty() && failed.warnings ==
                                           std::vector<std::string>{"err: wPos not finished: an item's keys could not be read "
                                                                    "as frames, or memory ran out; items done stay done, the "
                                                                    "rest are as they were"});
}

}  // namespace
}  // namespace headless
