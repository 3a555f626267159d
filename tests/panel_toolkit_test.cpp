// The headless panel toolkit's own contract checks and its scripted user.
#include <gtest/gtest.h>

#include <functional>

#include "host/core/host.h"
#include "host/panel_toolkit/panel_toolkit.h"

namespace headless {
namespace {

std::function<void(PanelFuncs *)> g_body;

int run_body(int32_t, GlobalLookupFn global, void *, void *) {
    g_body(static_cast<PanelFuncs *>(global(host_abi::kServicePanels, 0)));
    return 0;
}

class PanelToolkitContract : public ::testing::Test {
protected:
    // Runs `body` as a plug-in activation with the panel services.
    void activation(std::function<void(PanelFuncs *)> body) {
        g_body = std::move(body);
        const ServerRecord server = {"LayoutGeneric", "test", run_body, nullptr};
        host.activate(server);
    }
    size_t breaches(Breach breach) const {
        size_t count = 0;
        for (const Violation &v : host.violations) count += v.breach == breach;
        return count;
    }
    static PanelControl *add_bool(PanelFuncs *panels, PanelId panel, const char *label) {
        ControlDesc desc{};
        desc.area = {19, 54, 0};
        return panels->add_control(panel, "BoolButtonControl", &desc, label);
    }
    Host host;
};

TEST_F(PanelToolkitContract, PanelLeftUndestroyedIsAViolation) {
    activation([](PanelFuncs *panels) { panels->create("Left", nullptr); });
    EXPECT_EQ(breaches(Breach::PanelNotDestroyed), 1u);
    ASSERT_EQ(host.panels().panels().size(), 1u);
    EXPECT_TRUE(host.panels().last_panel()->destroyed);
}

TEST_F(PanelToolkitContract, CallsOnADestroyedPanelAreViolations) {
    activation([](PanelFuncs *panels) {
        PanelId panel = panels->create("Gone", nullptr);
        PanelControl *button = add_bool(panels, panel, "On");
        panels->destroy(panel);
        int x = 0;
        panels->set(panel, 0, &x);
        PanelValue value{};
        value.intv.kind = 2;
        button->get(button, 4, &value);
    });
    EXPECT_EQ(breaches(Breach::DestroyedPanelUsed), 2u);
}

TEST_F(PanelToolkitContract, ValueKindsMustMatchTheControl) {
    activation([](PanelFuncs *panels) {
        PanelId panel = panels->create("Kinds", nullptr);
        PanelControl *button = add_bool(panels, panel, "On");
        PanelValue value{};
        value.ptr.kind = 23;
        button->set(button, 4, &value);
        ControlDesc desc{};
        desc.tree.kind = 21;
        PanelControl *tree = panels->add_control(panel, "TreeControl", &desc, "Tree");
        value.intv.kind = 2;
        tree->get(tree, 4, &value);
        // A distance field hands its number over as a float, never as an integer.
        desc.number = {4, 0};
        PanelControl *field = panels->add_control(panel, "FloatControl", &desc, "Distance");
        field->get(field, 4, &value);
        desc.area = {19, 54, 0};
        panels->add_control(panel, "BoolControl", &desc, "Check");
        panels->destroy(panel);
    });
    EXPECT_EQ(breaches(Breach::ValueKind), 3u);
    EXPECT_EQ(breaches(Breach::DescriptorKind), 1u);
}

TEST_F(PanelToolkitContract, ScriptedUserTogglesAndConfirms) {
    host.panels().script = {PanelAction::toggle("On"), PanelAction::toggle("Off"), PanelAction::ok()};
    int opened = -1, value = -1;
    activation([&](PanelFuncs *panels) {
        PanelId panel = panels->create("Script", nullptr);
        PanelControl *button = add_bool(panels, panel, "On");
        opened = panels->open(panel, 3);
        PanelValue record{};
        record.intv.kind = 2;
        button->get(button, 4, &record);
        value = record.intv.value;
        panels->destroy(panel);
    });
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(host.panels().script_errors.size(), 1u);
    EXPECT_EQ(host.panels().script_errors[0], "no on/off button \"Off\"");
    EXPECT_TRUE(host.violations.empty());
}

TEST_F(PanelToolkitContract, AScriptThatRunsOutCancels) {
    int opened = -1;
    activation([&](PanelFuncs *panels) {
        PanelId panel = panels->create("Empty", nullptr);
        opened = panels->open(panel, 3);
        panels->destroy(panel);
    });
    EXPECT_EQ(opened, 0);
}

}  // namespace
}  // namespace headless
