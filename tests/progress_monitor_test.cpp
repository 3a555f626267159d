// The progress monitor ("LWLMonFuncs") as a plug-in meets it: through the
// global lookup of an activation, and through a loaded binary that works
// under a monitor, run by the tool's statements.
#include <functional>
#include <sstream>

#ifndef _WIN32
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>
#endif

#include "host/core/monitor_service.h"
#include "host/hostile/hostile_host.h"
#include "plugin_harness.h"
#include "tools/script_runner.h"

namespace headless {
namespace {

std::function<void(const MonitorFuncs &)> g_body;

int run_body(int32_t, GlobalLookupFn global, void *, void *) {
    g_body(*static_cast<const MonitorFuncs *>(global(host_abi::kServiceMonitor, 0)));
    return 0;
}

MonitorId opened(const MonitorFuncs &m, const char *title, unsigned flags, unsigned total) {
    const MonitorId id = m.create();
    m.setup(id, title, flags, nullptr);
    m.init(id, total, "starting");
    return id;
}
void finish(const MonitorFuncs &m, MonitorId id) {
    m.done(id);
    m.destroy(id);
}

using Texts = std::vector<std::string>;

class MonitorContract : public ::testing::Test {
protected:
    void activation(std::function<void(const MonitorFuncs &)> body) {
        g_body = std::move(body);
        host.activate(ServerRecord{"LayoutGeneric", "test", run_body, nullptr});
    }
    Texts texts(Breach breach) const {
        Texts found;
        for (const Violation &v : host.violations)
            if (v.breach == breach) found.push_back(v.text);
        return found;
    }
    Host host;
};

TEST_F(MonitorContract, AbortGoesToTheNextMonitorWithAButtonCountsEveryStepAndStaysPressed) {
    host.monitors().abort_after(1);
    activation([](const MonitorFuncs &m) {
        const MonitorId quiet = opened(m, "No button", host_abi::kMonitorNoAbort, 2);
        EXPECT_EQ(m.step(quiet, 1, "a") + m.step(quiet, 1, "b"), 0);
        const MonitorId cup = opened(m, "Cup", 0, 60);
        EXPECT_EQ(m.step(cup, 0, "Cup"), 0);  // a message-only step is a chance to abort too
        EXPECT_NE(m.step(cup, 12, nullptr), 0);
        EXPECT_NE(m.step(cup, 1, nullptr), 0);
        const MonitorId next = opened(m, "Next", 0, 1);
        EXPECT_EQ(m.step(next, 1, nullptr), 0);
        for (MonitorId id : {quiet, cup, next}) finish(m, id);
    });
    const Monitor &cup = host.monitors().all()[1];
    EXPECT_TRUE(cup.title == "Cup" && cup.total == 60 && cup.steps == 13 && cup.message == "Cup");
    EXPECT_TRUE(cup.abort_pressed && cup.state == Monitor::State::Destroyed);
    EXPECT_TRUE(host.violations.empty()) << host.violations.front();
}

TEST_F(MonitorContract, MisuseIsABreachNamingTheMonitorAndABadIdIsNeverFollowed) {
    MonitorId left = nullptr;
    activation([&left](const MonitorFuncs &m) {
        const MonitorId cup = m.create();
        m.setup(cup, "Cup", 0, nullptr);
        EXPECT_EQ(m.step(cup, 1, nullptr), 0);
        m.done(cup);
        m.init(cup, 3, nullptr);
        finish(m, cup);
        EXPECT_EQ(m.step(cup, 1, nullptr), 0);
        EXPECT_EQ(m.step(reinterpret_cast<MonitorId>(uintptr_t{0x10}), 1, nullptr), 0);
        m.init(nullptr, 1, nullptr);
        left = opened(m, "Left", 0, 5);
    });
    activation([left](const MonitorFuncs &m) { m.destroy(left); });
    EXPECT_EQ(texts(Breach::MonitorNotInitialised),
              (Texts{"step on monitor \"Cup\" before init", "done on monitor \"Cup\" before init"}));
    EXPECT_EQ(texts(Breach::DestroyedMonitorUsed), (Texts{"monitor step on the destroyed monitor \"Cup\"",
                                                          "monitor destroy on the destroyed monitor \"Left\""}));
    EXPECT_EQ(texts(Breach::UnknownMonitor), (Texts{"monitor step on an unknown monitor id",
                                                    "monitor init on an unknown monitor id (null)"}));
    EXPECT_EQ(texts(Breach::MonitorNotDestroyed),
              Texts{"monitor \"Left\" was created and not destroyed by the end of the activation"});
    EXPECT_EQ(host.violations.size(), 7u);
}

TEST_F(MonitorContract, HostileMonitorIsRefusedOrPressesAbortAtOnce) {
    HostileOptions refused, aborting;
    refused.monitor_refused = aborting.monitor_aborts_at_once = true;
    {
        HostileHost hostile(host, refused);
        activation([](const MonitorFuncs &m) { EXPECT_EQ(m.create(), nullptr); });
    }
    HostileHost hostile(host, aborting);
    activation([](const MonitorFuncs &m) {
        const MonitorId id = opened(m, "Cup", 0, 2);
        EXPECT_NE(m.step(id, 0, nullptr), 0);
        finish(m, id);
    });
    EXPECT_EQ(host.monitors().all().back().step_calls, 1u);
    EXPECT_TRUE(host.violations.empty()) << host.violations.front();
}

// The statement through a loaded binary that stops when told to abort.
TEST(MonitorScript, AbortAfterStopsTheCommandAtTheRightStepOnceOnlyAndWithholdingRemovesTheMonitor) {
    Host host;
    std::string error;
    const auto plugin = PluginLibrary::open(fixture_path("fixture_monitor"), &error);
    ASSERT_TRUE(plugin) << error;
    std::ostringstream out;
    ScriptRunner runner(host, *plugin, out);
    for (const char *statement :
         {"abort-after 0", "run Fixture_Monitor", "abort-after 3", "run Fixture_Monitor 4", "run Fixture_Monitor 4",
          "abort-after 1", "abort-after off", "run Fixture_Monitor 2", "abort-after 3", "withhold LWLMonFuncs",
          "run Fixture_Monitor 2"})
        ASSERT_TRUE(runner.run_statement(statement, &error)) << statement << ": " << error;
    Texts said;
    for (const MessageRecord &m : host.messages) said.push_back(m.text + ", " + m.text2);
    EXPECT_EQ(said, (Texts{"worked on 0 of 5 items, aborted", "worked on 2 of 4 items, aborted",
                           "worked on 4 of 4 items, finished", "worked on 2 of 2 items, finished",
                           "worked on 2 of 2 items, finished without a monitor"}));
    for (const char *bad : {"abort-after", "abort-after -1", "abort-after 010x", "abort-after 1 2"})
        EXPECT_FALSE(runner.run_statement(bad, &error)) << bad;
    EXPECT_TRUE(host.violations.empty()) << host.violations.front();
}

#ifndef _WIN32
// What a run shows on standard error when it is `target`.
std::string standard_error_of_run(int target, int read_end) {
    const int saved = dup(STDERR_FILENO);
    dup2(target, STDERR_FILENO);
    {
        Host host;
        std::string error;
        const auto plugin = PluginLibrary::open(fixture_path("fixture_monitor"), &error);
        std::ostringstream out;
        ScriptRunner runner(host, *plugin, out);
        EXPECT_TRUE(runner.run_statement("run Fixture_Monitor 2", &error)) << error;
    }
    dup2(saved, STDERR_FILENO);
    close(saved);
    fcntl(read_end, F_SETFL, O_NONBLOCK);
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = read(read_end, buffer, sizeof buffer)) > 0;) shown.append(buffer, static_cast<size_t>(n));
    return shown;
}

TEST(MonitorTerminal, ShowsTheMonitorInPlaceAndWipesItButALogGetsNothing) {
    int terminal = -1, other_end = -1;
    ASSERT_EQ(openpty(&terminal, &other_end, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(standard_error_of_run(other_end, terminal),
              "Fixture_Monitor: 0/2 starting\rFixture_Monitor: 0/2 Item 1  \rFixture_Monitor: 1/2 Item 1\r"
              "Fixture_Monitor: 1/2 Item 2\rFixture_Monitor: 2/2 Item 2\r" + std::string(27, ' ') + "\r");
    close(terminal);
    close(other_end);
    int log[2];
    ASSERT_EQ(pipe(log), 0);
    EXPECT_EQ(standard_error_of_run(log[1], log[0]), "");
    close(log[0]);
    close(log[1]);
}
#endif

}  // namespace
}  // namespace headless
