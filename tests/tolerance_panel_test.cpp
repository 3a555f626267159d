// The tolerance panel through the loaded plug-in: what it shows, and what OK
// and Cancel leave for the next world-position re-parents.
#include <limits>
#include <string>

#include "host/panel_toolkit/panel_toolkit.h"
#include "plugin_harness.h"

namespace headless {
namespace {

using A = PanelAction;

class TolerancePanelRun : public PluginTest {
protected:
    void TearDown() override {
        EXPECT_TRUE(host.panels().script_errors.empty()) << host.panels().script_errors.front();
        PluginTest::TearDown();
    }

    // Runs the panel with `actions`; returns what it showed on opening as
    // "DISTANCE DEGREES on|off".
    std::string run_panel(std::initializer_list<PanelAction> actions) {
        std::string shown;
        host.panels().script.push_back(A::look([&shown](HeadlessPanel &panel) {
            seen = &panel;
            const HeadlessControl *distance = panel.find("Distance", "FloatControl");
            const HeadlessControl *degrees = panel.find("Degrees", "FloatControl");
            const HeadlessControl *on = panel.find("Tolerance", "BoolControl");
            if (distance && degrees && on)
                shown = number_text(distance->float_value) + " " + number_text(degrees->float_value) +
                        (on->int_value ? " on" : " off");
        }));
        for (const PanelAction &action : actions) host.panels().script.push_back(action);
        EXPECT_EQ(run("KR_wPosTolerance"), 0);
        EXPECT_TRUE(host.panels().script.empty()) << "actions left over";
        host.panels().script.clear();
        return shown;
    }
    std::string in_force() { return run_panel({A::cancel()}); }

    static inline HeadlessPanel *seen = nullptr;
};

TEST_F(TolerancePanelRun, OpensOffWithDefaultsThenShowsWhatOkStoredAndCancelKeeps) {
    EXPECT_EQ(run_panel({A::set_number("Distance", 0.25), A::set_number("Degrees", 2), A::set_number("Scale %", 0.5),
                         A::toggle("Tolerance"), A::ok()}),
              "0.01 0.01 off");
    EXPECT_EQ(seen->find("Scale %", "FloatControl")->float_value, 0.5);
    EXPECT_EQ(seen->title, "wPosTolerance");
    EXPECT_TRUE(seen->destroyed);
    // The distance is a distance field, shown in the scene's units.
    EXPECT_EQ(seen->find("Distance", "FloatControl")->desc_kind, 4);
    EXPECT_EQ(seen->find("Degrees", "FloatControl")->desc_kind, 3);
    EXPECT_EQ(in_force(), "0.25 2 on");
    EXPECT_EQ(seen->find("Scale %", "FloatControl")->float_value, 0.5);

    run_panel({A::set_number("Distance", 5), A::set_number("Degrees", 9), A::toggle("Tolerance"), A::cancel()});
    EXPECT_EQ(in_force(), "0.25 2 on");
    // Off forgets the numbers: the next panel offers the defaults again.
    run_panel({A::toggle("Tolerance"), A::ok()});
    EXPECT_EQ(in_force(), "0.01 0.01 off");
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(host.commands.empty());
}

TEST_F(TolerancePanelRun, ValuesThatAreNotPositiveNumbersKeepTheSettingAndSayWhy) {
    // Switched on from off with no distance: it stays off.
    run_panel({A::set_number("Distance", 0), A::toggle("Tolerance"), A::ok()});
    EXPECT_EQ(in_force(), "0.01 0.01 off");

    run_panel({A::set_number("Distance", 0.5), A::set_number("Degrees", 1), A::toggle("Tolerance"), A::ok()});
    const std::pair<const char *, double> kBad[] = {{"Distance", -0.5},
                                                    {"Degrees", 0},
                                                    {"Degrees", std::numeric_limits<double>::quiet_NaN()},
                                                    {"Distance", std::numeric_limits<double>::infinity()},
                                                    {"Scale %", 0}};
    for (const auto &bad : kBad) {
        run_panel({A::set_number(bad.first, bad.second), A::ok()});
        EXPECT_EQ(in_force(), "0.5 1 on") << bad.first << " " << bad.second;
    }
    ASSERT_EQ(host.messages.size(), 6u);
    for (const MessageRecord &message : host.messages)
        EXPECT_EQ(message.kind + ": " + message.text + " / " + message.text2,
                  "error: require Distance, Degrees and Scale % above 0 / wPos tolerance not changed");

    // Switched off, the numbers are not looked at.
    host.messages.clear();
    run_panel({A::set_number("Distance", -1), A::toggle("Tolerance"), A::ok()});
    EXPECT_EQ(in_force(), "0.01 0.01 off");
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(TolerancePanelRun, WithoutPanelsOrControlsNothingChanges) {
    run_panel({A::set_number("Distance", 0.5), A::set_number("Degrees", 1), A::toggle("Tolerance"), A::ok()});
    const size_t panels_before = host.panels().panels().size();
    host.withhold(host_abi::kServicePanels);
    host.panels().script = {A::toggle("Tolerance"), A::ok()};
    EXPECT_EQ(run("KR_wPosTolerance"), 2);
    EXPECT_EQ(host.panels().panels().size(), panels_before);
    host.restore(host_abi::kServicePanels);

    host.panels().refuse_panels = true;
    EXPECT_EQ(run("KR_wPosTolerance"), 0);
    host.panels().refuse_panels = false;
    // Whatever was made is destroyed (the host checks it) and nothing is stored.
    for (int refused = 0; refused < 4; ++refused) {
        host.panels().refuse_controls_from = refused;
        EXPECT_EQ(run("KR_wPosTolerance"), 0);
    }
    host.panels().refuse_controls_from = -1;
    host.panels().script.clear();
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(in_force(), "0.5 1 on");
}

}  // namespace
}  // namespace headless
