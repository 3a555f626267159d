// The eighteen link commands through the loaded plug-in: the texts they send,
// their refusals and question, and what the host's scene looks like after.
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "interface/server_names.h"
#include "interface/host_builds.h"
#include "plugin_harness.h"

namespace headless {
namespace {

std::string short_id(ItemIdValue id) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%x", id);
    return buffer;
}

// Replaces every "{m}" with `id`.
std::vector<std::string> expand(const std::vector<std::string> &pattern, const std::string &id) {
    std::vector<std::string> out;
    for (std::string text : pattern) {
        for (size_t at = text.find("{m}"); at != std::string::npos; at = text.find("{m}"))
            text.replace(at, 3, id);
        out.push_back(text);
    }
    return out;
}


class LinkCommand : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        Scene &scene = host.scene();
        // Ten objects first, so the ids below carry hex letters.
        for (int i = 0; i < 10; ++i) scene.add_object("Filler" + std::to_string(i));
        base = scene.add_object("Base");      // 1000000a
        arm = scene.add_object("Arm");        // 1000000b
        arm_bone = scene.add_bone(arm, "ArmBone");
        arm_bone2 = scene.add_bone(arm, "ArmBone2");
        leg = scene.add_object("Leg");        // 1000000c
        leg_bone = scene.add_bone(leg, "LegBone");
        lamp = scene.add_light("Lamp");
        cam = scene.add_camera("Cam");
    }

    void memorize(ItemIdValue id) {
        select({id});
        ASSERT_EQ(run("KR_memItem"), 0);
        forget_records();
    }

    void forget_records() {
        host.messages.clear();
        host.commands.clear();
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const CommandRecord &c : host.commands) out.push_back(c.text);
        return out;
    }

    // Every text the plug-in sent was one the host could apply.
    void expect_all_applied() const {
        for (const CommandRecord &c : host.commands) EXPECT_TRUE(c.ok) << c.text << ": " << c.error;
    }

    void expect_single_warning(const std::string &text) const {
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(host.messages[0].kind, "warning");
        EXPECT_EQ(host.messages[0].text, text);
        EXPECT_FALSE(host.messages[0].has_text2);
    }

    std::set<ItemIdValue> selection_set() const {
        return std::set<ItemIdValue>(host.scene().selection.begin(), host.scene().selection.end());
    }

    Item &item(ItemIdValue id) { return *host.scene().find(id); }

    ItemIdValue base = 0, arm = 0, arm_bone = 0, arm_bone2 = 0, leg = 0, leg_bone = 0, lamp = 0, cam = 0;
};

// ------------------------------------------------ builds 1292 and later ---

struct CurrentCase {
    const char *server;
    std::vector<std::string> texts;  // "{m}" is the memorized item, or 0 when clearing
    std::vector<ItemIdValue Item::*> links;
    std::array<int, 3> controllers_after;
};

std::ostream &operator<<(std::ostream &out, const CurrentCase &c) { return out << c.server; }

class CurrentBuild : public LinkCommand, public ::testing::WithParamInterface<CurrentCase> {};

// Three items selected; every command goes out once for the whole selection.
TEST_P(CurrentBuild, SendsOneTextPerLinkAndTheSceneFollows) {
    const CurrentCase &c = GetParam();
    const bool clearing = std::string(c.server).compare(0, 5, "KR_un") == 0;
    memorize(base);
    for (uint32_t build : {kBuildAllLinks, 2700u}) {
        SCOPED_TRACE(build);
        host.set_build(build);
        // Clearing starts from items that are fully linked.
        for (ItemIdValue id : {arm, leg, lamp}) {
            Item &it = item(id);
            ASSERT_EQ(host.scene().set_parent(id, clearing ? base : 0), "");
            it.target = it.goal = it.pole = it.position_item = it.rotation_item = it.scale_item = clearing ? base : 0;
            it.controllers = clearing ? std::array<int, 3>{1, 1, 5} : std::array<int, 3>{0, 0, 0};
        }
        select({arm, leg, lamp});
        forget_records();

        EXPECT_EQ(run(c.server), 0);
        EXPECT_EQ(texts(), expand(c.texts, clearing ? "0" : short_id(base)));
        EXPECT_TRUE(host.messages.empty());
        expect_all_applied();
        for (ItemIdValue id : {arm, leg, lamp}) {
            for (ItemIdValue Item::*link : c.links) EXPECT_EQ(item(id).*link, clearing ? 0u : base) << item(id).name;
            EXPECT_EQ(item(id).controllers, c.controllers_after) << item(id).name;
        }
        EXPECT_EQ(host.scene().selection, (std::vector<ItemIdValue>{arm, leg, lamp}));
    }
}

const std::array<int, 3> kNoControllers = {0, 0, 0};
const std::array<int, 3> kAllControllers = {1, 1, 5};

INSTANTIATE_TEST_SUITE_P(
    EachCommand, CurrentBuild,
    ::testing::Values(
        CurrentCase{"KR_setParent", {"ParentItem {m}"}, {&Item::parent}, kNoControllers},
        CurrentCase{"KR_setTarget", {"TargetItem {m}", "HController 1", "PController 1"}, {&Item::target}, {1, 1, 0}},
        CurrentCase{"KR_setGoal", {"GoalItem {m}"}, {&Item::goal}, kNoControllers},
        CurrentCase{"KR_setPole", {"PoleItem {m}", "BController 5"}, {&Item::pole}, {0, 0, 5}},
        CurrentCase{"KR_setPosItem", {"PositionItem {m}"}, {&Item::position_item}, kNoControllers},
        CurrentCase{"KR_setRotItem", {"RotationItem {m}"}, {&Item::rotation_item}, kNoControllers},
        CurrentCase{"KR_setSclItem", {"ScaleItem {m}"}, {&Item::scale_item}, kNoControllers},
        CurrentCase{"KR_setFollowItem",
                    {"PositionItem {m}", "RotationItem {m}", "ScaleItem {m}"},
                    {&Item::position_item, &Item::rotation_item, &Item::scale_item},
                    kNoControllers},
        CurrentCase{"KR_unParent", {"ParentItem 0"}, {&Item::parent}, kAllControllers},
        CurrentCase{"KR_unTarget", {"TargetItem 0", "HController 0", "PController 0"}, {&Item::target}, {0, 0, 5}},
        CurrentCase{"KR_unGoal", {"GoalItem 0"}, {&Item::goal}, kAllControllers},
        CurrentCase{"KR_unPole", {"PoleItem 0", "BController 0"}, {&Item::pole}, {1, 1, 0}},
        CurrentCase{"KR_unPosItem", {"PositionItem 0"}, {&Item::position_item}, kAllControllers},
        CurrentCase{"KR_unRotItem", {"RotationItem 0"}, {&Item::rotation_item}, kAllControllers},
        CurrentCase{"KR_unSclItem", {"ScaleItem 0"}, {&Item::scale_item}, kAllControllers},
        CurrentCase{"KR_unFollowItem",
                    {"PositionItem 0", "RotationItem 0", "ScaleItem 0"},
                    {&Item::position_item, &Item::rotation_item, &Item::scale_item},
                    kAllControllers}));

TEST_F(LinkCommand, FollowSendsWhatPositionRotationAndScaleSendOneAfterAnother) {
    memorize(lamp);
    for (const auto &pair : {std::make_pair("KR_setFollowItem", std::vector<const char *>{"KR_setPosItem", "KR_setRotItem",
                                                                                          "KR_setSclItem"}),
                             std::make_pair("KR_unFollowItem", std::vector<const char *>{"KR_unPosItem", "KR_unRotItem",
                                                                                         "KR_unSclItem"})}) {
        select({arm, leg});
        forget_records();
        for (const char *single : pair.second) run(single);
        const std::vector<std::string> singles = texts();
        forget_records();
        run(pair.first);
        EXPECT_EQ(texts(), singles) << pair.first;
        EXPECT_EQ(texts().size(), 3u);
    }
}

TEST_F(LinkCommand, UnparentWithABoneFirstGivesAllSelectedItemsTheBonesObject) {
    for (uint32_t build : {kBuildCurrentEmission - 1, 2700u}) {
        SCOPED_TRACE(build);
        host.set_build(build);
        ASSERT_EQ(host.scene().set_parent(arm_bone2, arm_bone), "");
        select({arm_bone2, arm_bone});
        forget_records();
        EXPECT_EQ(run("KR_unParent"), 0);
        const std::string parent_text = "ParentItem " + short_id(arm);
        if (build >= kBuildCurrentEmission) {
            EXPECT_EQ(texts(), (std::vector<std::string>{parent_text}));
        } else {
            EXPECT_EQ(texts(), (std::vector<std::string>{"SelectItem " + item_id_text(arm_bone2), parent_text,
                                                         "SelectItem " + item_id_text(arm_bone), parent_text,
                                                         "AddToSelection " + item_id_text(arm_bone2)}));
        }
        expect_all_applied();
        EXPECT_EQ(item(arm_bone2).parent, arm);
        EXPECT_EQ(item(arm_bone).parent, arm);
    }
}

// --------------------------------------------------------- older builds ---

TEST_F(LinkCommand, OldBuildParentWalksTheItemsAndRestoresTheSelection) {
    memorize(base);
    host.set_build(kBuildCurrentEmission - 1);
    select({arm, leg, lamp});
    EXPECT_EQ(run("KR_setParent"), 0);
    const std::string parent_text = "ParentItem " + short_id(base);
    EXPECT_EQ(texts(), (std::vector<std::string>{"SelectItem 1000000B", parent_text, "SelectItem 1000000C", parent_text,
                                                 "SelectItem 20000000", parent_text, "AddToSelection 1000000C",
                                                 "AddToSelection 1000000B"}));
    expect_all_applied();
    for (ItemIdValue id : {arm, leg, lamp}) EXPECT_EQ(item(id).parent, base);
    EXPECT_EQ(selection_set(), (std::set<ItemIdValue>{arm, leg, lamp}));
}

TEST_F(LinkCommand, OldBuildWithOneItemSendsNoSelectionTexts) {
    memorize(base);
    host.set_build(1000);
    select({arm});
    run("KR_setTarget");
    run("KR_setParent");
    run("KR_setGoal");
    EXPECT_EQ(texts(), (std::vector<std::string>{"TargetItem 1000000a", "HController 1", "PController 1",
                                                 "ParentItem 1000000a", "GoalItem 1000000a", "FullTimeIK"}));
    expect_all_applied();
    EXPECT_EQ(item(arm).target, base);
    EXPECT_EQ(item(arm).parent, base);
    EXPECT_EQ(item(arm).goal, base);
    EXPECT_TRUE(item(arm).flags & host_abi::kItemFlagFullTimeIk);
}

TEST_F(LinkCommand, TargetIsWalkedItemByItemUpToBuild598) {
    memorize(cam);
    select({arm, leg});
    host.set_build(kBuildWholeSelectionTarget - 1);
    run("KR_setTarget");
    EXPECT_EQ(texts(), (std::vector<std::string>{"SelectItem 1000000B", "TargetItem 30000000", "HController 1",
                                                 "PController 1", "SelectItem 1000000C", "TargetItem 30000000",
                                                 "HController 1", "PController 1", "AddToSelection 1000000B"}));
    expect_all_applied();
    EXPECT_EQ(item(arm).target, cam);
    EXPECT_EQ(item(leg).target, cam);
    EXPECT_EQ(selection_set(), (std::set<ItemIdValue>{arm, leg}));

    forget_records();
    host.set_build(kBuildWholeSelectionTarget);
    run("KR_unTarget");
    EXPECT_EQ(texts(), (std::vector<std::string>{"TargetItem 0", "HController 0", "PController 0"}));
    EXPECT_EQ(item(arm).target, 0u);
    EXPECT_EQ(item(leg).target, 0u);
}

TEST_F(LinkCommand, FullTimeIkOnlyOnOldBuildsForSelectedItemsWhoseFullTimeIkIsOff) {
    memorize(base);
    item(leg).flags |= host_abi::kItemFlagFullTimeIk;
    select({arm, leg, lamp});
    host.set_build(kBuildCurrentEmission - 1);
    run("KR_setGoal");
    const std::string goal = "GoalItem " + short_id(base);
    EXPECT_EQ(texts(), (std::vector<std::string>{"SelectItem 1000000B", goal, "FullTimeIK", "SelectItem 1000000C", goal,
                                                 "SelectItem 20000000", goal, "FullTimeIK", "AddToSelection 1000000C",
                                                 "AddToSelection 1000000B"}));
    expect_all_applied();
    for (ItemIdValue id : {arm, leg, lamp}) {
        EXPECT_EQ(item(id).goal, base);
        EXPECT_TRUE(item(id).flags & host_abi::kItemFlagFullTimeIk) << item(id).name;
    }

    // Clearing never turns full-time IK on.
    item(arm).flags = 0;
    select({arm, leg});
    forget_records();
    run("KR_unGoal");
    EXPECT_EQ(texts(), (std::vector<std::string>{"SelectItem 1000000B", "GoalItem 0", "SelectItem 1000000C",
                                                 "GoalItem 0", "AddToSelection 1000000B"}));
    EXPECT_EQ(item(arm).goal, 0u);

    // Current builds never send it.
    host.set_build(kBuildCurrentEmission);
    select({arm});
    forget_records();
    run("KR_setGoal");
    EXPECT_EQ(texts(), (std::vector<std::string>{goal}));
    EXPECT_FALSE(item(arm).flags & host_abi::kItemFlagFullTimeIk);
}

// ------------------------------------------------------------- refusals ---

TEST_F(LinkCommand, NothingSelectedEndsEveryLinkCommandSilently) {
    host.set_build(500);  // before the build check and the memorized item
    select({});
    for (int i = kFirstLinkServer; i < kLinkServerEnd; ++i) EXPECT_EQ(run(kServerNames[i].name), 0) << kServerNames[i].name;
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(host.commands.empty());
}

TEST_F(LinkCommand, PoleAndChannelLinksNeedBuild1447) {
    memorize(base);
    for (const char *server : {"KR_setPole", "KR_setPosItem", "KR_setRotItem", "KR_setSclItem", "KR_setFollowItem",
                               "KR_unPole", "KR_unPosItem", "KR_unRotItem", "KR_unSclItem", "KR_unFollowItem"}) {
        SCOPED_TRACE(server);
        select({arm});
        host.set_build(kBuildAllLinks - 1);
        forget_records();
        EXPECT_EQ(run(server), 0);
        expect_single_warning("require 9.5 or later");
        EXPECT_TRUE(host.commands.empty());

        host.set_build(kBuildAllLinks);
        forget_records();
        EXPECT_EQ(run(server), 0);
        EXPECT_TRUE(host.messages.empty());
        EXPECT_FALSE(host.commands.empty());
    }
}

TEST_F(LinkCommand, TargetParentGoalAndWorldPositionRunOnAnyBuild) {
    memorize(base);
    host.set_build(1);
    for (const char *server : {"KR_setTarget", "KR_setParent", "KR_setGoal", "KR_unTarget", "KR_unParent", "KR_unGoal",
                               "KR_setParent_wPos", "KR_unParent_wPos"}) {
        select({arm});
        forget_records();
        EXPECT_EQ(run(server), 0) << server;
        EXPECT_TRUE(host.messages.empty()) << server;
    }
}

TEST_F(LinkCommand, SetCommandsNeedAMemorizedItem) {
    select({arm});
    EXPECT_EQ(run("KR_setParent"), 0);
    expect_single_warning("require memorized Item");
    EXPECT_TRUE(host.commands.empty());
}

TEST_F(LinkCommand, ADeletedMemorizedItemIsReportedEveryTime) {
    memorize(lamp);
    ASSERT_TRUE(host.scene().remove_item(lamp));
    select({arm});
    for (int attempt = 0; attempt < 2; ++attempt) {
        forget_records();
        EXPECT_EQ(run("KR_setTarget"), 0);
        expect_single_warning("require memorized Item");
        EXPECT_TRUE(host.commands.empty());
    }
    // The clear commands still work without it.
    item(arm).target = base;
    forget_records();
    EXPECT_EQ(run("KR_unTarget"), 0);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(item(arm).target, 0u);
}

TEST_F(LinkCommand, AMemorizedBoneIsFoundAmongItsOwnObjectsBones) {
    // Its own object, not the selected item's, holds it.
    memorize(leg_bone);
    select({arm_bone});
    EXPECT_EQ(run("KR_setTarget"), 0);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(item(arm_bone).target, leg_bone);

    memorize(arm_bone2);
    select({arm_bone});
    EXPECT_EQ(run("KR_setTarget"), 0);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(texts()[0], "TargetItem " + short_id(arm_bone2));
    EXPECT_EQ(item(arm_bone).target, arm_bone2);

    // Gone from its object, it is not found, although the object still has bones.
    ASSERT_TRUE(host.scene().remove_item(arm_bone2));
    forget_records();
    EXPECT_EQ(run("KR_setTarget"), 0);
    expect_single_warning("require memorized Item");
    EXPECT_TRUE(host.commands.empty());
}

TEST_F(LinkCommand, AMemorizedBoneGoesWithItsObject) {
    memorize(leg_bone);
    ASSERT_TRUE(host.scene().remove_item(leg));
    select({arm});
    EXPECT_EQ(run("KR_setGoal"), 0);
    expect_single_warning("require memorized Item");
}

TEST_F(LinkCommand, WithoutSceneInfoOnlyTheWorldPositionCommandsFail) {
    memorize(base);
    host.withhold(host_abi::kServiceSceneInfo);
    select({arm});
    EXPECT_EQ(run("KR_setParent_wPos"), 2);
    EXPECT_EQ(run("KR_unParent_wPos"), 2);
    EXPECT_TRUE(host.commands.empty());
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(run("KR_setParent"), 0);
    EXPECT_EQ(item(arm).parent, base);
}

TEST_F(LinkCommand, ClearCommandsLeaveTheMemorizedItem) {
    memorize(lamp);
    select({arm, leg});
    for (const char *server : {"KR_unTarget", "KR_unParent", "KR_unGoal", "KR_unPole", "KR_unFollowItem"})
        EXPECT_EQ(run(server), 0) << server;
    forget_records();
    EXPECT_EQ(run("KR_setTarget"), 0);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(texts()[0], "TargetItem 20000000");
}

// ------------------------------------------------- Parent in Place question ---

struct QuestionCase {
    const char *server;
    bool parent_in_place;
    double time;
    bool asks;
};

std::ostream &operator<<(std::ostream &out, const QuestionCase &c) {
    return out << c.server << (c.parent_in_place ? " on " : " off ") << c.time;
}

class ParentInPlace : public LinkCommand, public ::testing::WithParamInterface<QuestionCase> {};

TEST_P(ParentInPlace, AsksOnlyForAPlainParentChangeAwayFromTimeZero) {
    const QuestionCase &c = GetParam();
    memorize(base);
    host.scene().time = c.time;
    if (c.parent_in_place) host.scene().general_flags |= host_abi::kGeneralFlagParentInPlace;
    for (int answer : {1, 0}) {
        SCOPED_TRACE(answer);
        select({arm});
        host.yes_no_answers.assign(1, answer);
        forget_records();
        EXPECT_EQ(run(c.server), 0);
        if (!c.asks) {
            EXPECT_TRUE(host.messages.empty());
            // The world-position commands send their own texts, if any.
            if (!std::strstr(c.server, "wPos")) {
                EXPECT_FALSE(host.commands.empty());
            }
            continue;
        }
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(host.messages[0].kind, "yes/no");
        EXPECT_EQ(host.messages[0].title, "Parent");
        EXPECT_EQ(host.messages[0].text, "Parent in Place\xE3\x81\x8C ON \xE3\x81\xA7\xE3\x80\x81"
                                         "Frame 0 \xE4\xBB\xA5\xE5\xA4\x96\xE3\x81\xA7\xE3\x81\x99");
        EXPECT_EQ(host.messages[0].text2, "\xE7\xB6\x9A\xE8\xA1\x8C\xE3\x81\x97\xE3\x81\xBE\xE3\x81\x99\xE3\x81\x8B");
        EXPECT_EQ(host.commands.empty(), answer == 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParentInPlace,
    ::testing::Values(QuestionCase{"KR_setParent", true, 1.0, true}, QuestionCase{"KR_unParent", true, 1.0, true},
                      QuestionCase{"KR_setParent", true, -0.5, true}, QuestionCase{"KR_setParent", true, NAN, true},
                      QuestionCase{"KR_setParent", true, 0.0, false}, QuestionCase{"KR_unParent", true, 0.0, false},
                      QuestionCase{"KR_setParent", false, 1.0, false},
                      QuestionCase{"KR_setParent_wPos", true, 1.0, false},
                      QuestionCase{"KR_unParent_wPos", true, 1.0, false},
                      QuestionCase{"KR_setTarget", true, 1.0, false}));

TEST_F(LinkCommand, OlderBuildsAskInShiftJis) {
    memorize(base);
    host.set_build(kBuildUtf8Texts - 1);
    host.scene().time = 2.0;
    host.scene().general_flags |= host_abi::kGeneralFlagParentInPlace;
    select({arm});
    host.yes_no_answers.assign(1, 0);
    EXPECT_EQ(run("KR_setParent"), 0);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text2, "\x91\xB1\x8D\x73\x82\xB5\x82\xDC\x82\xB7\x82\xA9?");
    EXPECT_TRUE(host.commands.empty());
    EXPECT_EQ(item(arm).parent, 0u);
}

// -------------------------------------------------------- world position ---

TEST_F(LinkCommand, WorldPositionParentRestoresASelectionOfSeveralItems) {
    memorize(base);
    for (uint32_t build : {kBuildCurrentEmission - 1, 2700u}) {
        SCOPED_TRACE(build);
        host.set_build(build);
        select({arm, leg, lamp});
        forget_records();
        EXPECT_EQ(run("KR_setParent_wPos"), 0);
        ASSERT_GE(host.commands.size(), 2u);
        const size_t n = host.commands.size();
        EXPECT_EQ(host.commands[n - 2].text, "AddToSelection 1000000C");
        EXPECT_EQ(host.commands[n - 1].text, "AddToSelection 1000000B");

        select({arm});
        forget_records();
        EXPECT_EQ(run("KR_unParent_wPos"), 0);
        for (const CommandRecord &c : host.commands) EXPECT_NE(c.text.rfind("AddToSelection", 0), 0u) << c.text;
    }
}

}  // namespace
}  // namespace headless
