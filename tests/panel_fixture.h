// Scenario tests of the link panel: the plug-in loaded into the headless host,
// whose panel toolkit plays the user from a script of actions.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "host/panel_toolkit/panel_toolkit.h"
#include "interface/host_builds.h"
#include "plugin_harness.h"

namespace headless {

// The panel as the user saw it at one moment.
struct PanelSnapshot {
    std::map<std::string, int> values;   // on/off buttons by label
    std::map<std::string, bool> ghosted; // every button by label
    std::vector<TreeRow> rows;           // visible tree rows
    std::string selected;                // name of the selected node, "" when none

    bool visible(const std::string &name) const {
        for (const TreeRow &row : rows)
            if (row.name == name) return true;
        return false;
    }
    bool open(const std::string &name) const {
        for (const TreeRow &row : rows)
            if (row.name == name) return row.open;
        return false;
    }
};

class PanelTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        Scene &scene = host.scene();
        base = scene.add_object("Base");
        crate = scene.add_object("Crate");
        arm = scene.add_object("Arm");
        hand = scene.add_object("Hand");
        finger = scene.add_object("Finger");
        ASSERT_EQ(scene.set_parent(arm, base), "");
        ASSERT_EQ(scene.set_parent(hand, arm), "");
        ASSERT_EQ(scene.set_parent(finger, hand), "");
        lid = scene.add_object("Lid");
        ASSERT_EQ(scene.set_parent(lid, crate), "");
        lamp = scene.add_light("Lamp");
        camera = scene.add_camera("Camera");
        select({crate});
    }

    void TearDown() override {
        EXPECT_TRUE(host.panels().script_errors.empty()) << host.panels().script_errors.front();
        PluginTest::TearDown();
    }

    void act(const PanelAction &action) { host.panels().script.push_back(action); }
    void act(std::initializer_list<PanelAction> actions) {
        for (const PanelAction &a : actions) act(a);
    }
    // Queues a look at the panel; the snapshot is filled when the panel gets there.
    void look(PanelSnapshot *into) {
        act(PanelAction::look([into](HeadlessPanel &panel) {
            into->rows = panel.visible_rows();
            into->selected.clear();
            for (const TreeRow &row : into->rows)
                if (row.selected) into->selected = row.name;
            for (const auto &control : panel.controls) {
                if (control->kind == "BoolButtonControl") into->values[control->plain_label()] = control->int_value;
                if (control->kind != "TreeControl" && control->kind != "BorderControl")
                    into->ghosted[control->plain_label()] = control->ghosted;
            }
        }));
    }
    // Runs the panel once with `actions` and returns what it showed at the start.
    PanelSnapshot run_panel(std::initializer_list<PanelAction> actions) {
        PanelSnapshot first;
        look(&first);
        act(actions);
        EXPECT_EQ(run("KR_Tandrel"), 0);
        EXPECT_TRUE(host.panels().script.empty()) << "actions left over";
        host.panels().script.clear();
        return first;
    }
    // The links the next panel shows as ticked, in bit order, 'null ID' as bit 11.
    uint32_t shown_choice() {
        PanelSnapshot shown = run_panel({PanelAction::cancel()});
        static const char *kLabels[] = {"Parent", "Target", "Goal", "Pole", "Position", "Rotation", "Scale"};
        uint32_t word = static_cast<uint32_t>(shown.values["null ID"]) << 11;
        for (int bit = 0; bit < 7; ++bit) word |= static_cast<uint32_t>(shown.values[kLabels[bit]]) << bit;
        return word;
    }
    // The node a panel on a current build opens with: the memorized item's.
    std::string shown_memorized() {
        const uint32_t build = host.build();
        host.set_build(2700);
        PanelSnapshot shown = run_panel({PanelAction::cancel()});
        host.set_build(build);
        return shown.selected;
    }
    bool log_has(const std::string &line) {
        for (const std::string &l : host.panels().log)
            if (l == line) return true;
        return false;
    }

    ItemIdValue base = 0, crate = 0, arm = 0, hand = 0, finger = 0, lid = 0, lamp = 0, camera = 0;
};

}  // namespace headless
