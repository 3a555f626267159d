// The links the panel's confirmation sends to the host, on current and older
// builds, applied to the selected items.
#include "panel_fixture.h"

namespace headless {
namespace {

using A = PanelAction;

class PanelEmission : public PanelTest {
protected:
    std::vector<std::string> sent() const {
        std::vector<std::string> texts;
        for (const CommandRecord &c : host.commands) texts.push_back(c.text);
        return texts;
    }
    using Texts = std::vector<std::string>;
};

TEST_F(PanelEmission, CurrentBuildSendsOneCommandPerTickedLink) {
    select({arm, camera});
    run_panel({A::toggle("Target"), A::toggle("Pole"), A::press('q'), A::click("Lid"), A::ok()});
    EXPECT_EQ(sent(), (Texts{"TargetItem 10000005", "HController 1", "PController 1", "PoleItem 10000005",
                             "BController 5"}));
}

TEST_F(PanelEmission, NullIdSendsTheLinksWithNoItem) {
    select({arm});
    run_panel({A::toggle("Target"), A::toggle("null ID"), A::ok()});
    EXPECT_EQ(sent(), (Texts{"TargetItem 0", "HController 0", "PController 0"}));
}

TEST_F(PanelEmission, ParentIsAppliedToTheSelectedItems) {
    select({lamp, camera});
    run_panel({A::toggle("Parent"), A::click("Crate"), A::ok()});
    EXPECT_EQ(sent(), (Texts{"ParentItem 10000001"}));
    EXPECT_EQ(host.scene().find(lamp)->parent, crate);
    EXPECT_EQ(host.scene().find(camera)->parent, crate);
}

TEST_F(PanelEmission, OlderBuildsParentItemByItemAndRestoreTheSelection) {
    host.set_build(1100);
    select({lamp, camera});
    run_panel({A::click("Crate"), A::toggle("Parent"), A::ok()});
    EXPECT_EQ(sent(), (Texts{"SelectItem 20000000", "ParentItem 10000001", "SelectItem 30000000",
                             "ParentItem 10000001", "AddToSelection 20000000"}));
}

TEST_F(PanelEmission, DecliningParentInPlaceSendsNothing) {
    host.scene().general_flags |= host_abi::kGeneralFlagParentInPlace;
    host.scene().time = 2.0;
    host.yes_no_answers.push_back(0);
    select({lamp});
    run_panel({A::toggle("Parent"), A::click("Crate"), A::ok()});
    EXPECT_TRUE(host.commands.empty());
}

}  // namespace
}  // namespace headless
