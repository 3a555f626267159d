// The headless host's reading of the command texts: what it applies to the
// selected items, and what it refuses without touching the scene.
#include <gtest/gtest.h>

#include "host/core/command_interpreter.h"
#include "host/core/host.h"

namespace headless {
namespace {

class CommandInterpreter : public ::testing::Test {
protected:
    void SetUp() override {
        base = host.scene().add_object("Base");
        arm = host.scene().add_object("Arm");
        bone = host.scene().add_bone(arm, "Bone");
        lamp = host.scene().add_light("Lamp");
        host.scene().selection = {arm, lamp};
    }

    std::string apply(const std::string &text) { return apply_command_text(host.scene(), text); }

    Item &item(ItemIdValue id) { return *host.scene().find(id); }

    Host host;
    ItemIdValue base = 0, arm = 0, bone = 0, lamp = 0;
};

TEST_F(CommandInterpreter, LinksAreSetOnEverySelectedItemAndClearedWithZero) {
    const struct {
        const char *command;
        ItemIdValue Item::*link;
    } links[] = {{"TargetItem", &Item::target},           {"GoalItem", &Item::goal},
                 {"PoleItem", &Item::pole},               {"PositionItem", &Item::position_item},
                 {"RotationItem", &Item::rotation_item},  {"ScaleItem", &Item::scale_item},
                 {"ParentItem", &Item::parent}};
    for (const auto &link : links) {
        SCOPED_TRACE(link.command);
        EXPECT_EQ(apply(std::string(link.command) + " 10000000"), "");
        EXPECT_EQ(item(arm).*link.link, base);
        EXPECT_EQ(item(lamp).*link.link, base);
        EXPECT_EQ(item(base).*link.link, 0u);
        EXPECT_EQ(apply(std::string(link.command) + " 0"), "");
        EXPECT_EQ(item(arm).*link.link, 0u);
        EXPECT_EQ(item(lamp).*link.link, 0u);
    }
}

TEST_F(CommandInterpreter, HexIdsInEitherCaseAndEitherLength) {
    host.scene().selection = {base};
    EXPECT_EQ(apply("TargetItem 40000001"), "");
    EXPECT_EQ(item(base).target, bone);
    EXPECT_EQ(apply("SelectItem 1000000a"), "no item 1000000A in the scene");
    EXPECT_EQ(apply("SelectItem 10000001"), "");
    EXPECT_EQ(apply("AddToSelection 2000000"), "no item 02000000 in the scene");
    EXPECT_EQ(apply("AddToSelection 20000000"), "");
    EXPECT_EQ(apply("AddToSelection 10000000"), "");
    EXPECT_EQ(apply("AddToSelection 10000000"), "");  // already selected: no duplicate
    EXPECT_EQ(host.scene().selection, (std::vector<ItemIdValue>{arm, lamp, base}));
}

TEST_F(CommandInterpreter, ControllersFullTimeIkAndParentInPlace) {
    EXPECT_EQ(apply("HController 1"), "");
    EXPECT_EQ(apply("PController 2"), "");
    EXPECT_EQ(apply("BController 5"), "");
    EXPECT_EQ(item(arm).controllers, (std::array<int, 3>{1, 2, 5}));
    EXPECT_EQ(item(lamp).controllers, (std::array<int, 3>{1, 2, 5}));

    item(lamp).flags = host_abi::kItemFlagFullTimeIk | 1u;
    EXPECT_EQ(apply("FullTimeIK"), "");
    EXPECT_EQ(item(arm).flags, host_abi::kItemFlagFullTimeIk);
    EXPECT_EQ(item(lamp).flags, 1u);

    EXPECT_EQ(apply("ParentInPlace"), "");
    EXPECT_EQ(host.scene().general_flags, host_abi::kGeneralFlagParentInPlace);
    EXPECT_EQ(apply("ParentInPlace"), "");
    EXPECT_EQ(host.scene().general_flags, 0u);
}

TEST_F(CommandInterpreter, RefusedParentsFailButTheOtherItemsAreReparented) {
    host.scene().selection = {bone, lamp};
    const std::string why = apply("ParentItem 10000000");
    EXPECT_NE(why.find("Bone"), std::string::npos) << why;
    EXPECT_EQ(item(bone).parent, arm);
    EXPECT_EQ(item(lamp).parent, base);

    host.scene().selection = {base};
    EXPECT_EQ(apply("ParentItem 20000000"), "Base: the new parent lies below the item in the hierarchy");
    EXPECT_EQ(item(base).parent, 0u);
    EXPECT_EQ(item(lamp).parent, base);
}

TEST_F(CommandInterpreter, MalformedTextsAreRefusedAndChangeNothing) {
    const struct {
        const char *text;
        const char *reason;
    } cases[] = {
        {"", "empty command text"},
        {"   ", "empty command text"},
        {"Target 10000000", "unknown command 'Target'"},
        {"targetitem 10000000", "unknown command 'targetitem'"},
        {"TargetItem", "TargetItem needs an argument"},
        {"TargetItem 10000000 20000000", "TargetItem: unexpected '20000000'"},
        {"TargetItem 0x10000000", "TargetItem: '0x10000000' is not a hexadecimal item id"},
        {"TargetItem 1000000000", "TargetItem: '1000000000' is not a hexadecimal item id"},
        {"TargetItem -1", "TargetItem: '-1' is not a hexadecimal item id"},
        {"TargetItem 10000g00", "TargetItem: '10000g00' is not a hexadecimal item id"},
        {"TargetItem 10000007", "no item 10000007 in the scene"},
        {"ParentItem 30000000", "no item 30000000 in the scene"},
        {"HController one", "HController: 'one' is not a controller mode"},
        {"BController -5", "BController: '-5' is not a controller mode"},
        {"PController 100", "PController: '100' is not a controller mode"},
        {"FullTimeIK 1", "FullTimeIK: unexpected '1'"},
        {"SelectItem", "SelectItem needs an argument"},
        {"SelectItem 0", "no item 00000000 in the scene"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(apply(c.text), c.reason) << '"' << c.text << '"';
        EXPECT_EQ(item(arm).target, 0u);
        EXPECT_EQ(item(arm).parent, 0u);
        EXPECT_EQ(item(arm).controllers, (std::array<int, 3>{0, 0, 0}));
        EXPECT_EQ(item(arm).flags, 0u);
        EXPECT_EQ(host.scene().selection, (std::vector<ItemIdValue>{arm, lamp}));
    }
}

TEST_F(CommandInterpreter, CommandsOnTheSelectionNeedOne) {
    host.scene().selection.clear();
    for (const char *text : {"TargetItem 10000000", "ParentItem 0", "HController 1", "FullTimeIK"})
        EXPECT_EQ(apply(text), "no item is selected") << text;
}

int send_two_texts(int32_t, GlobalLookupFn, void *local, void *) {
    const LayoutGeneric *generic = static_cast<const LayoutGeneric *>(local);
    generic->evaluate(generic->data, "FullTimeIK");
    generic->evaluate(generic->data, "FullTimeIK now");
    return 0;
}

// A new host applies the texts of an activation without further set-up, and
// records the ones it refused with the reason.
TEST(HostCommands, ANewHostAppliesTextsAndRecordsRefusals) {
    Host host;
    const ItemIdValue a = host.scene().add_object("A");
    host.scene().selection = {a};
    const ServerRecord server = {"LayoutGeneric", "sender", send_two_texts, nullptr};
    EXPECT_EQ(host.activate(server), 0);
    ASSERT_EQ(host.commands.size(), 2u);
    EXPECT_TRUE(host.commands[0].ok);
    EXPECT_FALSE(host.commands[1].ok);
    EXPECT_EQ(host.commands[1].error, "FullTimeIK: unexpected 'now'");
    EXPECT_EQ(host.scene().find(a)->flags, host_abi::kItemFlagFullTimeIk);
    EXPECT_TRUE(host.violations.empty());
}

}  // namespace
}  // namespace headless
