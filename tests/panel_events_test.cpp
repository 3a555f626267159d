// The link panel's buttons, tree clicks and keys while it is open.
#include "panel_fixture.h"

namespace headless {
namespace {

using A = PanelAction;

class PanelEvents : public PanelTest {
protected:
    // Runs the panel with `actions`, then looks at it before closing.
    PanelSnapshot after(std::initializer_list<PanelAction> actions, bool confirm = false) {
        PanelSnapshot last;
        for (const PanelAction &a : actions) act(a);
        look(&last);
        act(confirm ? A::ok() : A::cancel());
        EXPECT_EQ(run("KR_Tandrel"), 0);
        EXPECT_TRUE(host.panels().script.empty());
        return last;
    }
    static std::vector<std::string> open_nodes(const PanelSnapshot &shot) {
        std::vector<std::string> names;
        for (const TreeRow &row : shot.rows)
            if (row.open) names.push_back(row.name);
        return names;
    }
    using Names = std::vector<std::string>;
};

TEST_F(PanelEvents, ExpandOpensEveryNode) {
    const PanelSnapshot shot = after({A::button("Expand")});
    EXPECT_EQ(open_nodes(shot), (Names{"Base", "Arm", "Hand", "Finger", "Crate", "Lid", "Lamp", "Camera"}));
    EXPECT_EQ(shot.selected, "Base");
}

TEST_F(PanelEvents, CollapseKeepsOnlyThePathToTheSelection) {
    const PanelSnapshot shot = after({A::press('q'), A::click("Hand"), A::button("Collaspe")});
    EXPECT_EQ(open_nodes(shot), (Names{"Base", "Arm"}));
    EXPECT_TRUE(shot.visible("Hand"));
    EXPECT_FALSE(shot.visible("Finger"));
    EXPECT_FALSE(shot.visible("Lid"));
    EXPECT_EQ(shot.selected, "Hand");
}

TEST_F(PanelEvents, DescendFromARootOpensOnlyItsSubtree) {
    const PanelSnapshot shot = after({A::click("Base"), A::button("Descend")});
    EXPECT_EQ(open_nodes(shot), (Names{"Base", "Arm", "Hand", "Finger"}));
    EXPECT_FALSE(shot.visible("Lid"));
}

TEST_F(PanelEvents, DescendOpensTheAncestorsToo) {
    select({hand});
    ASSERT_EQ(run("KR_memItem"), 0);
    // Collapse everything, then descend from the memorized Hand.
    const PanelSnapshot shot = after({A::press('e'), A::press('w')});
    EXPECT_EQ(open_nodes(shot), (Names{"Base", "Arm", "Hand", "Finger"}));
}

TEST_F(PanelEvents, TreeActionsWaitForASelectionOnOldBuilds) {
    host.set_build(kBuildInitialTreeChoice - 1);
    // Ghosted buttons cannot be pressed; the keys reach the handlers, which do nothing.
    PanelSnapshot shot = after({A::press('q'), A::press('e'), A::press('w'), A::button("Collaspe")});
    EXPECT_EQ(open_nodes(shot).size(), 8u);
    EXPECT_TRUE(log_has("\"Collaspe\" is ghosted: nothing happens"));

    shot = after({A::press('q'), A::click("Hand"), A::press('e')});
    EXPECT_EQ(open_nodes(shot), (Names{"Base", "Arm"}));
    EXPECT_FALSE(shot.ghosted["Collaspe"]);
}

TEST_F(PanelEvents, ModifierClicksRunTheTreeActions) {
    // Ctrl: descend.
    PanelSnapshot shot = after({A::click("Crate", host_abi::kQualifierCtrl)});
    EXPECT_EQ(open_nodes(shot), (Names{"Crate", "Lid"}));
    // Shift: expand.
    shot = after({A::click("Crate", host_abi::kQualifierShift)});
    EXPECT_EQ(open_nodes(shot).size(), 8u);
    // Alt: collapse to the clicked node.
    shot = after({A::press('q'), A::click("Finger", host_abi::kQualifierAlt)});
    EXPECT_EQ(open_nodes(shot), (Names{"Base", "Arm", "Hand"}));
    // Ctrl and Shift together (27) is none of the three.
    shot = after({A::click("Crate", host_abi::kQualifierCtrl | host_abi::kQualifierShift)});
    EXPECT_EQ(open_nodes(shot), (Names{}));
    EXPECT_EQ(shot.selected, "Crate");
}

TEST_F(PanelEvents, ModifierClicksWorkOnBuildsThatReadTheServicesAsIntegers) {
    host.set_build(kBuildPanfunAsText - 1);
    const PanelSnapshot shot = after({A::click("Base", host_abi::kQualifierCtrl)});
    EXPECT_EQ(open_nodes(shot), (Names{"Base", "Arm", "Hand", "Finger"}));
}

TEST_F(PanelEvents, ResetClearsThreeLinksBefore1292AndSevenFrom) {
    auto tick_everything = A::look([](HeadlessPanel &panel) {
        for (const auto &control : panel.controls)
            if (control->kind == "BoolButtonControl") control->int_value = 1;
    });
    host.set_build(kBuildCurrentEmission - 1);
    PanelSnapshot shot = after({tick_everything, A::button("Reset")});
    for (const char *label : {"Parent", "Target", "Goal"}) EXPECT_EQ(shot.values[label], 0) << label;
    for (const char *label : {"Pole", "Position", "Rotation", "Scale", "null ID"}) EXPECT_EQ(shot.values[label], 1) << label;

    host.set_build(kBuildCurrentEmission);
    shot = after({tick_everything, A::press('r')});
    for (const char *label : {"Parent", "Target", "Goal", "Pole", "Position", "Rotation", "Scale"})
        EXPECT_EQ(shot.values[label], 0) << label;
    EXPECT_EQ(shot.values["null ID"], 1);
}

TEST_F(PanelEvents, DigitKeysToggleTheLinks) {
    PanelSnapshot shot = after({A::press('1'), A::press('2'), A::press('2'), A::press('3'), A::press('4'),
                                A::press('5'), A::press('6'), A::press('7'), A::press('7'), A::press(' ')});
    EXPECT_EQ(shot.values["Parent"], 1);
    EXPECT_EQ(shot.values["Target"], 0);
    EXPECT_EQ(shot.values["Goal"], 1);
    EXPECT_EQ(shot.values["Pole"], 1);
    EXPECT_EQ(shot.values["Position"], 1);
    EXPECT_EQ(shot.values["Rotation"], 1);
    EXPECT_EQ(shot.values["Scale"], 0);
    EXPECT_EQ(shot.values["null ID"], 1);
    for (int key = '1'; key <= '7'; ++key) EXPECT_TRUE(log_has("key " + std::to_string(key) + " used"));
}

TEST_F(PanelEvents, KeysFourToSevenAreSwallowedBelow1447) {
    host.set_build(kBuildAllLinks - 1);
    PanelSnapshot shot = after({A::press('4'), A::press('5'), A::press('6'), A::press('7')});
    for (const char *label : {"Pole", "Position", "Rotation", "Scale"}) EXPECT_EQ(shot.values[label], 0) << label;
    for (int key = '4'; key <= '7'; ++key) EXPECT_TRUE(log_has("key " + std::to_string(key) + " used"));
}

// The host's own codes: top-row 1, 3 and 7, then Return to confirm; in the
// next panel, which keeps those, keypad 2 and 3, then keypad Enter.
TEST_F(PanelEvents, TheHostsCodesForTheDigitsAndReturnWorkToo) {
    run_panel({A::press(0x1031), A::press(0x1033), A::press(0x1037), A::press(0x1022)});
    EXPECT_TRUE(log_has("key 4130 used"));
    EXPECT_EQ(shown_choice(), 0x45u);
    run_panel({A::press(0x1042), A::press(0x1043), A::press(0x1057)});
    EXPECT_TRUE(log_has("key 4183 used"));
    EXPECT_EQ(shown_choice(), 0x43u);
}

TEST_F(PanelEvents, UnknownKeysAreLeftToTheHost) {
    const PanelSnapshot shot = after({A::press('z'), A::press('Q'), A::press(0x1038)});
    EXPECT_TRUE(log_has("key 122 not used"));
    EXPECT_TRUE(log_has("key 81 not used"));
    EXPECT_TRUE(log_has("key 4152 not used"));
    for (const auto &value : shot.values) EXPECT_EQ(value.second, 0) << value.first;
}

}  // namespace
}  // namespace headless
