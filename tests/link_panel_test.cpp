// The link panel through the loaded plug-in: what it shows, what it stores.
#include "panel_fixture.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace headless {
namespace {

using A = PanelAction;

class LinkPanelRun : public PanelTest {};

TEST_F(LinkPanelRun, FirstRunShowsEveryLinkOffAndTheControlsInPlace) {
    HeadlessPanel *seen = nullptr;
    PanelSnapshot shown = run_panel({A::look([&](HeadlessPanel &panel) { seen = &panel; }), A::cancel()});
    for (const auto &value : shown.values) EXPECT_EQ(value.second, 0) << value.first;
    EXPECT_EQ(shown.values.size(), 8u);

    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->title, "Tandrel");
    EXPECT_TRUE(seen->destroyed);
    EXPECT_EQ(seen->width, 418);
    EXPECT_EQ(seen->height, 352);
    struct Expected {
        const char *kind;
        const char *label;
        int x, y, width;
    };
    const Expected expected[] = {
        {"TreeControl", "Item", 2, -2, 340},          {"BoolButtonControl", "Parent", 362, 0, 54},
        {"BoolButtonControl", "Target", 362, 20, 54}, {"BoolButtonControl", "Goal", 362, 40, 54},
        {"BoolButtonControl", "Pole", 362, 60, 54},   {"BoolButtonControl", "Position", 362, 80, 54},
        {"BoolButtonControl", "Rotation", 362, 100, 54}, {"BoolButtonControl", "Scale", 362, 120, 54},
        {"BoolButtonControl", "null ID", 362, 271, 54}, {"ButtonControl", "Expand", 362, 170, 54},
        {"ButtonControl", "Descend", 362, 190, 54},   {"ButtonControl", "Collaspe", 362, 210, 54},
        {"ButtonControl", "\x03(i:MIMG_UPARROW) Reset", 362, 145, 54}, {"BorderControl", "", 362, 141, 54},
        {"BorderControl", "", 362, 166, 54},          {"BorderControl", "", 362, 267, 54},
    };
    ASSERT_EQ(seen->controls.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const HeadlessControl &control = *seen->controls[i];
        SCOPED_TRACE(expected[i].label);
        EXPECT_EQ(control.kind, expected[i].kind);
        EXPECT_EQ(control.label, expected[i].label);
        EXPECT_EQ(control.x, expected[i].x);
        EXPECT_EQ(control.y, expected[i].y);
        EXPECT_EQ(control.width, expected[i].width);
        EXPECT_EQ(control.desc_kind, i == 0 ? 21 : 19);
    }
    EXPECT_EQ(seen->controls[0]->height, 292);
    EXPECT_TRUE(host.commands.empty());
}

TEST_F(LinkPanelRun, ConfirmedLinksAreStoredAndShownNextTime) {
    run_panel({A::toggle("Parent"), A::toggle("Goal"), A::press('q'), A::click("Lid"), A::ok()});
    EXPECT_EQ(shown_choice(), 0x5u);
    EXPECT_EQ(shown_memorized(), "Lid");
}

TEST_F(LinkPanelRun, NullIdStoresItsBitAndKeepsTheMemorizedItem) {
    run_panel({A::press('q'), A::click("Lid"), A::ok()});
    run_panel({A::toggle("null ID"), A::toggle("Target"), A::click("Crate"), A::ok()});
    EXPECT_EQ(shown_choice(), 0x802u);
    EXPECT_EQ(shown_memorized(), "Lid");
}

TEST_F(LinkPanelRun, CancelChangesNothing) {
    run_panel({A::toggle("Target"), A::press('q'), A::click("Lid"), A::ok()});
    run_panel({A::toggle("Parent"), A::toggle("Target"), A::click("Crate"), A::cancel()});
    EXPECT_EQ(shown_choice(), 0x2u);
    EXPECT_EQ(shown_memorized(), "Lid");
}

TEST_F(LinkPanelRun, PoleToScaleAreGhostedBelow1447ButKeptFrom1292) {
    run_panel({A::toggle("Pole"), A::toggle("Scale"), A::toggle("Parent"), A::ok()});
    ASSERT_EQ(shown_choice(), 0x49u);

    host.set_build(1300);
    PanelSnapshot shown = run_panel({A::toggle("Position"), A::ok()});
    for (const char *label : {"Pole", "Position", "Rotation", "Scale"}) EXPECT_TRUE(shown.ghosted[label]) << label;
    EXPECT_EQ(shown.values["Pole"], 1);
    EXPECT_EQ(shown.values["Scale"], 1);
    host.set_build(2700);
    EXPECT_EQ(shown_choice(), 0x49u);

    host.set_build(1200);
    shown = run_panel({A::ok()});
    EXPECT_TRUE(shown.ghosted["Pole"]);
    EXPECT_EQ(shown.values["Pole"], 0);
    EXPECT_EQ(shown.values["Parent"], 1);
    host.set_build(2700);
    EXPECT_EQ(shown_choice(), 0x1u);
}

TEST_F(LinkPanelRun, CurrentBuildsOpenOnTheMemorizedItemWithItsAncestorsOpen) {
    select({hand});
    ASSERT_EQ(run("KR_memItem"), 0);
    select({crate});
    host.set_build(kBuildInitialTreeChoice);
    PanelSnapshot shown = run_panel({A::cancel()});
    EXPECT_EQ(shown.selected, "Hand");
    EXPECT_TRUE(shown.open("Base"));
    EXPECT_TRUE(shown.open("Arm"));
    EXPECT_FALSE(shown.open("Hand"));
    EXPECT_FALSE(shown.visible("Finger"));
    EXPECT_FALSE(shown.open("Crate"));
    EXPECT_FALSE(shown.ghosted["Descend"]);
    EXPECT_FALSE(shown.ghosted["Collaspe"]);
}

TEST_F(LinkPanelRun, WithoutAMemorizedItemTheFirstRootIsChosen) {
    EXPECT_EQ(run_panel({A::cancel()}).selected, "Base");
    // A memorized item that left the scene is not in the tree either.
    select({lid});
    ASSERT_EQ(run("KR_memItem"), 0);
    ASSERT_TRUE(host.scene().remove_item(lid));
    select({crate});
    EXPECT_EQ(run_panel({A::cancel()}).selected, "Base");
}

TEST_F(LinkPanelRun, WithoutARootObjectTheFirstRootLightOrCameraIsChosen) {
    ASSERT_EQ(host.scene().set_parent(base, lamp), "");
    ASSERT_EQ(host.scene().set_parent(crate, lamp), "");
    EXPECT_EQ(run_panel({A::cancel()}).selected, "Lamp");
    ASSERT_EQ(host.scene().set_parent(lamp, camera), "");
    EXPECT_EQ(run_panel({A::cancel()}).selected, "Camera");
}

TEST_F(LinkPanelRun, OldBuildsTakeNothingUntilTheTreeIsClicked) {
    run_panel({A::toggle("Goal"), A::press('q'), A::click("Lid"), A::ok()});
    host.set_build(kBuildInitialTreeChoice - 1);
    PanelSnapshot shown = run_panel({A::toggle("Parent"), A::ok()});
    EXPECT_EQ(shown.selected, "");
    EXPECT_TRUE(shown.ghosted["Descend"]);
    EXPECT_TRUE(shown.ghosted["Collaspe"]);
    host.set_build(2700);
    EXPECT_EQ(shown_choice(), 0x4u);
    EXPECT_EQ(shown_memorized(), "Lid");
}

TEST_F(LinkPanelRun, OldBuildsTakeTheClickedNode) {
    for (uint32_t build : {700u, 1100u}) {
        SCOPED_TRACE(build);
        host.set_build(build);
        run_panel({A::click("Crate"), A::look([&](HeadlessPanel &panel) {
                       EXPECT_FALSE(panel.find("Descend")->ghosted);
                       EXPECT_FALSE(panel.find("Collaspe")->ghosted);
                   }),
                   A::toggle("Target"), A::ok()});
        host.set_build(2700);
        EXPECT_EQ(shown_choice(), 0x2u);
        EXPECT_EQ(shown_memorized(), "Crate");
        // Start the next build from nothing ticked.
        run_panel({A::button("Reset"), A::ok()});
    }
}

TEST_F(LinkPanelRun, EnterAndDCloseThePanelAsOk) {
    run_panel({A::toggle("Parent"), A::press(13)});
    EXPECT_EQ(shown_choice(), 0x1u);
    run_panel({A::toggle("Target"), A::press('d')});
    EXPECT_EQ(shown_choice(), 0x3u);
}

TEST_F(LinkPanelRun, NothingSelectedOrNoPanelServicesShowsNoPanel) {
    select({});
    act(A::ok());
    EXPECT_EQ(run("KR_Tandrel"), 0);
    EXPECT_TRUE(host.panels().panels().empty());
    select({crate});
    host.withhold(host_abi::kServicePanels);
    EXPECT_EQ(run("KR_Tandrel"), 0);
    EXPECT_TRUE(host.panels().panels().empty());
    EXPECT_TRUE(host.messages.empty());
    host.panels().script.clear();
}

TEST_F(LinkPanelRun, WithoutCommandEvaluationNothingIsShownOrStored) {
    run_panel({A::toggle("Goal"), A::press('q'), A::click("Lid"), A::ok()});
    const size_t panels_before = host.panels().panels().size();
    host.messages.clear();
    host.commands.clear();

    LayoutGeneric without_evaluate = host.generic();
    without_evaluate.evaluate = nullptr;
    const ServerInfo *server = plugin->find("KR_Tandrel");
    ASSERT_TRUE(server);
    for (LayoutGeneric *local : {&without_evaluate, static_cast<LayoutGeneric *>(nullptr)}) {
        SCOPED_TRACE(local ? "no evaluate" : "no record");
        act({A::button("Reset"), A::toggle("Target"), A::click("Base"), A::ok()});
        host.publish();
        EXPECT_EQ(server->record->activate(6, Host::global_lookup(), local, nullptr), 2);
        EXPECT_EQ(host.panels().script.size(), 4u);
        host.panels().script.clear();
    }
    EXPECT_EQ(host.panels().panels().size(), panels_before);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(host.commands.empty());
    EXPECT_EQ(shown_choice(), 0x4u);
    EXPECT_EQ(shown_memorized(), "Lid");
}

TEST_F(LinkPanelRun, AHostShortOfPanelsOrControlsChangesNothing) {
    run_panel({A::toggle("Goal"), A::ok()});
    const uint32_t choice = shown_choice();
    host.commands.clear();
    host.messages.clear();

    host.panels().refuse_panels = true;
    act(A::ok());
    EXPECT_EQ(run("KR_Tandrel"), 0);
    host.panels().script.clear();
    host.panels().refuse_panels = false;
    const size_t panels_before = host.panels().panels().size();

    // Refusing each control in turn: whatever was made is destroyed, no links are sent.
    for (int refused = 0; refused < 16; ++refused) {
        SCOPED_TRACE(refused);
        host.panels().refuse_controls_from = refused;
        act({A::toggle("Parent"), A::ok()});
        EXPECT_EQ(run("KR_Tandrel"), 0);
        host.panels().script.clear();
    }
    host.panels().refuse_controls_from = -1;
    for (size_t i = panels_before; i < host.panels().panels().size(); ++i) {
        EXPECT_TRUE(host.panels().panels()[i]->destroyed);
        EXPECT_FALSE(host.panels().panels()[i]->is_open);
    }
    EXPECT_EQ(host.panels().panels().size(), panels_before + 16);
    EXPECT_TRUE(host.commands.empty());
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(shown_choice(), choice);
}

TEST_F(LinkPanelRun, ParentInPlaceQuestionOnlyForParentAwayFromFrameZero) {
    host.scene().general_flags |= host_abi::kGeneralFlagParentInPlace;
    host.scene().time = 1.0;
    host.yes_no_answers.push_back(0);
    run_panel({A::toggle("Parent"), A::press('q'), A::click("Lid"), A::ok()});
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].kind, "yes/no");
    EXPECT_EQ(host.messages[0].title, "Parent");
    // Declining still keeps the choice.
    EXPECT_EQ(shown_choice(), 0x1u);

    host.messages.clear();
    host.scene().time = 0.0;
    run_panel({A::ok()});
    EXPECT_TRUE(host.messages.empty());
    host.scene().time = 1.0;
    run_panel({A::toggle("Parent"), A::toggle("Target"), A::ok()});
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(LinkPanelRun, PanelSitsNearTheDesktopCentre) {
    host.desktop_width = 1921;
    host.desktop_height = 1081;
    HeadlessPanel *seen = nullptr;
    run_panel({A::look([&](HeadlessPanel &panel) { seen = &panel; }), A::cancel()});
    ASSERT_TRUE(seen);
#ifdef _WIN32
    // The Windows build asks the desktop window itself.
    RECT client{};
    ASSERT_TRUE(GetClientRect(GetDesktopWindow(), &client));
    EXPECT_EQ(seen->x, (client.right - 320) >> 1);
    EXPECT_EQ(seen->y, (client.bottom - 250) >> 1);
#else
    EXPECT_EQ(seen->x, 800);
    EXPECT_EQ(seen->y, 415);
    host.desktop_width = 200;
    host.desktop_height = 100;
    run_panel({A::look([&](HeadlessPanel &panel) { seen = &panel; }), A::cancel()});
    EXPECT_EQ(seen->x, -60);
    EXPECT_EQ(seen->y, -75);
    host.withhold(host_abi::kServiceHeadlessDesktop);
    run_panel({A::look([&](HeadlessPanel &panel) { seen = &panel; }), A::cancel()});
    EXPECT_EQ(seen->x, 800);
    EXPECT_EQ(seen->y, 415);
#endif
}

TEST_F(LinkPanelRun, EveryPanelIsDestroyedAndHandlersSeeNoDestroyedPanel) {
    run_panel({A::press('q'), A::press('w'), A::press('e'), A::press('r'), A::ok()});
    run_panel({A::cancel()});
    for (const auto &panel : host.panels().panels()) EXPECT_TRUE(panel->destroyed);
    EXPECT_TRUE(host.violations.empty());
}

}  // namespace
}  // namespace headless

namespace headless {
namespace {

size_t count_of(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

TEST_F(LinkPanelRun, PictureShowsGhostingTheOpenTreeAndTheChoice) {
    host.scene().find(lid)->color = 4;
    host.set_build(1300);
    std::string picture;
    run_panel({A::press('q'), A::click("Lid"), A::look([&](HeadlessPanel &panel) { picture = panel_svg(panel); }),
               A::cancel()});
    EXPECT_EQ(count_of(picture, "opacity=\"0.35\""), 4u);
    EXPECT_EQ(count_of(picture, "fill=\"#3070d0\""), 1u);
    EXPECT_NE(picture.find(">Finger<title>"), std::string::npos);
    EXPECT_NE(picture.find(">160,156</text>"), std::string::npos);
    EXPECT_NE(picture.find("Collaspe"), std::string::npos);
    EXPECT_NE(picture.find("&#8593; Reset"), std::string::npos);
    EXPECT_EQ(picture.find('\x03'), std::string::npos);
}

TEST_F(LinkPanelRun, PictureStaysWellFormedWhateverTheNamesEncoding) {
    host.scene().find(lid)->name = "\x98\x72 & lid";  // code page 932, not UTF-8
    host.scene().find(crate)->name = "Kiste \xC3\xBC \xE8\x85\x95";  // UTF-8 ü and a CJK character
    std::string picture;
    run_panel({A::press('q'), A::look([&](HeadlessPanel &panel) { picture = panel_svg(panel); }), A::cancel()});
    EXPECT_NE(picture.find("\xEF\xBF\xBDr &amp; lid"), std::string::npos);
    EXPECT_NE(picture.find("Kiste \xC3\xBC \xE8\x85\x95"), std::string::npos);
    EXPECT_EQ(picture.find('\x98'), std::string::npos);
}

}  // namespace
}  // namespace headless
