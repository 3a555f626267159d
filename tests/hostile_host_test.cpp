// The loaded plug-in against a hostile host: every server, on current and
// old host builds, while the host's records answer with values no sound
// Layout gives. Whatever it is told, each command must end cleanly, send only
// well-formed texts, keep the host's rules and leave the scene consistent.
// The sanitizer and valgrind runs of this test check that nothing is written
// past a buffer and that everything taken is freed.
#include <cmath>
#include <functional>
#include <limits>
#include <set>

#include "host/hostile/hostile_host.h"
#include "host/panel_toolkit/panel_toolkit.h"
#include "host/hostile/scene_consistency.h"
#include "interface/host_builds.h"
#include "plugin_harness.h"

namespace headless {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct HostileCase {
    const char *name;
    std::function<void(HostileOptions &)> options;
    std::function<void(Host &)> host_setup;
};
void PrintTo(const HostileCase &value, std::ostream *out) { *out << value.name; }

struct RigIds {
    ItemIdValue base, rig, target, hip, knee, light, camera;
};

RigIds build_rig(Scene &scene) {
    RigIds ids{};
    ids.base = scene.add_object("Base");
    ids.rig = scene.add_object("Rig");
    ids.target = scene.add_object("Target");
    ids.hip = scene.add_bone(ids.rig, "Hip");
    ids.knee = scene.add_bone(ids.rig, "Knee");
    scene.set_parent(ids.knee, ids.hip);
    ids.light = scene.add_light("Key");
    ids.camera = scene.add_camera("Camera");
    // Keys for the commands that rewrite them.
    for (ItemIdValue id : {ids.base, ids.hip, ids.knee}) {
        Item &item = *scene.find(id);
        for (double time : {0.0, 0.5, 1.0}) {
            item.channel(kPositionX).envelope.create_key(time, time * 2.0);
            item.channel(kHeading).envelope.create_key(time, time);
        }
    }
    scene.time = 1.0;
    scene.general_flags |= host_abi::kGeneralFlagParentInPlace;
    return ids;
}

const std::set<std::string> kKnownTexts = {"memorize done", "require 9.5 or later", "require memorized Item", "err",
                                           "wPos tolerance not held", "wPos tolerance held at every frame"};

bool well_formed(const std::string &text) {
    if (text.empty() || text.size() > 40) return false;
    for (char c : text)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == ' ')) return false;
    return true;
}

class HostileHostTest : public PluginTest, public ::testing::WithParamInterface<HostileCase> {
protected:
    // Runs `server` on a fresh rig: memorize Target, select Base and the
    // bones, then the command; all under the hostile host.
    void run_on_fresh_rig(const std::string &server, uint32_t build) {
        host.scene() = Scene();
        ids = build_rig(host.scene());
        // The link item moves and turns, so a re-parent under it that holds
        // the motion between keys has keys to add.
        Item &target = *host.scene().find(ids.target);
        for (double time : {0.0, 1.0}) {
            target.channel(kPositionY).envelope.create_key(time, 3.0 * time);
            target.channel(kHeading).envelope.create_key(time, 2.5 * time);
        }
        host.set_build(build);
        host.messages.clear();
        host.commands.clear();
        if (GetParam().host_setup) GetParam().host_setup(host);
        HostileOptions options;
        GetParam().options(options);
        HostileHost hostile(host, options);

        select({ids.target});
        EXPECT_EQ(run("KR_memItem"), 0);
        select({ids.base, ids.hip, ids.knee});
        // In the panel the user walks the whole tree, picks Target with
        // Parent and Target ticked, and confirms.
        using A = PanelAction;
        host.panels().script = {A::press('q'),       A::button("Expand"),   A::button("Descend"),
                                A::toggle("Parent"), A::toggle("Target"),   A::click("Target"),
                                A::press('e'),       A::button("Collaspe"), A::press(' '),
                                A::ok()};
        // With a tolerance, so the re-parents also hold the motion between keys.
        const int result = run(server, "0.001 0.05");
        host.panels().script.clear();
        EXPECT_TRUE(result == 0 || result == 2) << result;
        check_clean();
    }

    void check_clean() {
        const std::string fault = scene_consistency_fault(host.scene());
        EXPECT_TRUE(fault.empty()) << fault;
        EXPECT_TRUE(host.violations.empty()) << host.violations.front();
        host.violations.clear();
        for (const MessageRecord &message : host.messages) {
            if (message.kind == "yes/no") {
                EXPECT_EQ(message.title, "Parent");
                continue;
            }
            EXPECT_TRUE(kKnownTexts.count(message.text)) << message.kind << ": " << message.text.substr(0, 80);
        }
        for (const CommandRecord &command : host.commands)
            EXPECT_TRUE(well_formed(command.text)) << command.text.substr(0, 80);
        // The rig's keys are finite: whatever the host said, none may become
        // a value or a time that is not a number.
        for (ItemIdValue id : host.scene().all_items()) {
            const Item &item = *host.scene().find(id);
            for (const auto &channel : item.motion->channels)
                for (const auto &key : channel->envelope.keys())
                    EXPECT_TRUE(std::isfinite(key->value) && std::isfinite(key->time))
                        << item.name << " " << channel->name << " key at " << key->time << " = " << key->value;
        }
    }

    RigIds ids{};
};

TEST_P(HostileHostTest, EveryServerEndsCleanlyOnEveryBuild) {
    ASSERT_NE(plugin, nullptr);
    for (uint32_t build : {2700u, kBuildAllLinks - 1, 1000u, kBuildWholeSelectionTarget - 1}) {
        for (const ServerInfo &server : plugin->servers()) {
            SCOPED_TRACE(server.name + " on build " + std::to_string(build));
            run_on_fresh_rig(server.name, build);
        }
    }
}

const HostileCase kCases[] = {
    {"NaNParameters", [](HostileOptions &o) { o.distort_params = true, o.param_value = kNaN; }, nullptr},
    {"InfiniteParameters", [](HostileOptions &o) { o.distort_params = true, o.param_value = -kInfinity; }, nullptr},
    {"NaNTime", [](HostileOptions &o) { o.distort_time = true, o.time = kNaN; }, nullptr},
    {"InfiniteTime", [](HostileOptions &o) { o.distort_time = true, o.time = kInfinity; }, nullptr},
    {"HugeTime", [](HostileOptions &o) { o.distort_time = true, o.time = 1e308; }, nullptr},
    {"NegativeTime", [](HostileOptions &o) { o.distort_time = true, o.time = -3.5e9; }, nullptr},
    {"NaNFramesPerSecond", [](HostileOptions &o) { o.distort_frames_per_second = true, o.frames_per_second = kNaN; },
     nullptr},
    {"ZeroFramesPerSecond", [](HostileOptions &o) { o.distort_frames_per_second = true, o.frames_per_second = 0; },
     nullptr},
    {"NegativeFramesPerSecond",
     [](HostileOptions &o) { o.distort_frames_per_second = true, o.frames_per_second = -30; }, nullptr},
    {"HugeFramesPerSecond",
     [](HostileOptions &o) { o.distort_frames_per_second = true, o.frames_per_second = 1e300; }, nullptr},
    {"HugeKeyTimes", [](HostileOptions &o) { o.distort_key_times = true, o.key_time = 1e300; }, nullptr},
    {"NaNKeyTimes", [](HostileOptions &o) { o.distort_key_times = true, o.key_time = kNaN; }, nullptr},
    {"NaNParametersBetweenFrames", [](HostileOptions &o) { o.nan_params_between_frames = true; }, nullptr},
    {"KeyCreationRefused", [](HostileOptions &o) { o.refuse_key_creation = true; }, nullptr},
    {"NoChannelGroups", [](HostileOptions &o) { o.no_channel_groups = true; }, nullptr},
    {"EmptyChannelGroups", [](HostileOptions &o) { o.empty_channel_groups = true; }, nullptr},
    {"ShortChannelGroups", [](HostileOptions &o) { o.channels_per_group = 4; }, nullptr},
    {"NoEnvelopes", [](HostileOptions &o) { o.no_envelopes = true; }, nullptr},
    {"KeysOutOfTimeOrder", [](HostileOptions &o) { o.keys_out_of_order = true; }, nullptr},
    {"KeyListsThatStartOver", [](HostileOptions &o) { o.keys_start_over = true; }, nullptr},
    {"KeyCountTooHigh", [](HostileOptions &o) { o.distort_key_count = true, o.key_count = 1 << 30; }, nullptr},
    {"KeyCountNegative", [](HostileOptions &o) { o.distort_key_count = true, o.key_count = -7; }, nullptr},
    {"ChildListsLongerThanItemLists", [](HostileOptions &o) { o.extra_children = 64; }, nullptr},
    {"EndlessChildLists", [](HostileOptions &o) { o.endless_children = true; }, nullptr},
    {"UnknownKindsInItemLists", [](HostileOptions &o) { o.unknown_kinds_in_lists = true; }, nullptr},
    {"ItemListsThatStartOver", [](HostileOptions &o) { o.item_lists_start_over = true; }, nullptr},
    {"UnknownKindsSelected", [](HostileOptions &o) { o.unknown_kinds_selected = true; }, nullptr},
    {"SelectionChangesWhileCommandsRun", [](HostileOptions &o) { o.selection_changes = true; }, nullptr},
    {"NamesOf64KiB", [](HostileOptions &o) { o.name_length = 64 * 1024; }, nullptr},
    {"NullNames", [](HostileOptions &o) { o.null_names = true; }, nullptr},
    {"EveryBitSetInColoursAndFlags", [](HostileOptions &o) { o.colour_all_bits = o.flags_all_bits = true; }, nullptr},
    {"PanelsRefused", [](HostileOptions &) {}, [](Host &h) { h.panels().refuse_panels = true; }},
    {"ControlsRefused", [](HostileOptions &) {}, [](Host &h) { h.panels().refuse_controls_from = 5; }},
    {"MonitorRefused", [](HostileOptions &o) { o.monitor_refused = true; }, nullptr},
    {"AbortAtTheFirstStep", [](HostileOptions &o) { o.monitor_aborts_at_once = true; }, nullptr},
    {"YesNoAnswersSeven", [](HostileOptions &) {}, [](Host &h) { h.default_yes_no = 7; }},
    {"YesNoAnswersMinusOne", [](HostileOptions &) {}, [](Host &h) { h.default_yes_no = -1; }},
    {"EverythingAtOnce",
     [](HostileOptions &o) {
         o.distort_params = o.distort_time = o.distort_frames_per_second = o.distort_key_times = true;
         o.param_value = o.time = o.key_time = kNaN;
         o.frames_per_second = -kInfinity;
         o.keys_out_of_order = o.unknown_kinds_in_lists = o.unknown_kinds_selected = o.selection_changes = true;
         o.extra_children = 9;
         o.channels_per_group = 5;
         o.name_length = 64 * 1024;
         o.colour_all_bits = o.flags_all_bits = true;
     },
     [](Host &h) { h.default_yes_no = -1; }},
};

INSTANTIATE_TEST_SUITE_P(Hostile, HostileHostTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HostileCase> &info) { return info.param.name; });

// ---- what the plug-in makes of particular lies ----

class HostileAnswers : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        ids = build_rig(host.scene());
    }
    RigIds ids{};
};

TEST_F(HostileAnswers, AMemorizedIdOfNoKnownKindIsNotALinkItem) {
    HostileOptions options;
    options.unknown_kinds_selected = true;
    options.unknown_kinds_in_lists = true;  // the host would even list it
    HostileHost hostile(host, options);
    for (const char *server : {"KR_setTarget", "KR_setParent", "KR_setGoal"}) {
        SCOPED_TRACE(server);
        select({});  // the selection is then the strangers alone
        ASSERT_EQ(run("KR_memItem"), 0);
        select({ids.base});
        host.messages.clear();
        host.commands.clear();
        EXPECT_EQ(run(server), 0);
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(host.messages[0].text, "require memorized Item");
        EXPECT_TRUE(host.commands.empty());
    }
}

TEST_F(HostileAnswers, OnlyAPlainYesConfirmsAParentChangeInPlace) {
    for (int answer : {7, -1, 2, 1}) {
        SCOPED_TRACE(answer);
        host.default_yes_no = answer;
        host.messages.clear();
        host.commands.clear();
        select({ids.target});
        ASSERT_EQ(run("KR_memItem"), 0);
        select({ids.base});
        EXPECT_EQ(run("KR_setParent"), 0);
        ASSERT_FALSE(host.messages.empty());
        EXPECT_EQ(host.messages.back().kind, "yes/no");
        EXPECT_EQ(host.commands.empty(), answer != 1);
        EXPECT_EQ(host.scene().find(ids.base)->parent, answer == 1 ? ids.target : 0u);
    }
}

TEST_F(HostileAnswers, OnlyAPlainYesConfirmsAParentChangeFromThePanel) {
    for (int answer : {7, -1, 1}) {
        SCOPED_TRACE(answer);
        host.default_yes_no = answer;
        host.commands.clear();
        host.scene().set_parent(ids.base, 0);
        select({ids.base});
        host.panels().script = {PanelAction::toggle("Parent"), PanelAction::click("Target"), PanelAction::ok()};
        EXPECT_EQ(run("KR_Tandrel"), 0);
        EXPECT_TRUE(host.panels().script_errors.empty());
        ASSERT_FALSE(host.messages.empty());
        EXPECT_EQ(host.messages.back().kind, "yes/no");
        EXPECT_EQ(host.scene().find(ids.base)->parent, answer == 1 ? ids.target : 0u);
        // Untick Parent again for the next round: the choice outlives the panel.
        host.panels().script = {PanelAction::toggle("Parent"), PanelAction::cancel()};
        EXPECT_EQ(run("KR_Tandrel"), 0);
    }
}

TEST_F(HostileAnswers, OldBuildsWalkTheSelectionAsItWasWhenTheCommandStarted) {
    HostileOptions options;
    options.selection_changes = true;
    HostileHost hostile(host, options);
    host.set_build(kBuildWholeSelectionTarget - 1);
    select({ids.target});
    ASSERT_EQ(run("KR_memItem"), 0);
    select({ids.base, ids.light, ids.camera});
    ASSERT_EQ(run("KR_setTarget"), 0);
    std::vector<std::string> selections;
    for (const CommandRecord &command : host.commands)
        if (command.text.rfind("SelectItem ", 0) == 0 || command.text.rfind("AddToSelection ", 0) == 0)
            selections.push_back(command.text);
    const std::vector<std::string> expected = {"SelectItem 10000000", "SelectItem 20000000", "SelectItem 30000000",
                                               "AddToSelection 20000000", "AddToSelection 10000000"};
    EXPECT_EQ(selections, expected);
    for (ItemIdValue id : {ids.base, ids.light, ids.camera}) EXPECT_EQ(host.scene().find(id)->target, ids.target);
}

TEST_F(HostileAnswers, AKeyedReparentFollowsTheSelectionItStartedWith) {
    HostileOptions options;
    options.selection_changes = true;
    HostileHost hostile(host, options);
    // Unkeyed items are left where they are: key the light and the camera.
    for (ItemIdValue id : {ids.light, ids.camera}) host.scene().find(id)->channel(kPositionY).envelope.create_key(0, 1);
    select({ids.target});
    ASSERT_EQ(run("KR_memItem"), 0);
    select({ids.base, ids.light, ids.camera});
    ASSERT_EQ(run("KR_setParent_wPos"), 0);
    for (ItemIdValue id : {ids.base, ids.light, ids.camera}) EXPECT_EQ(host.scene().find(id)->parent, ids.target);
    // Base's keys were rewritten under Target, which stands still at the
    // origin: its motion, and so its keys, are unchanged.
    const Envelope &x = host.scene().find(ids.base)->channel(kPositionX).envelope;
    ASSERT_EQ(x.key_count(), 3u);
    EXPECT_DOUBLE_EQ(x.keys()[2]->value, 2.0);
}

TEST_F(HostileAnswers, ItemListsThatStartOverEndWhereTheyBegan) {
    HostileOptions options;
    options.item_lists_start_over = true;
    HostileHost hostile(host, options);
    // The memorized item is gone: the walk looking for it must end.
    select({ids.light});
    ASSERT_EQ(run("KR_memItem"), 0);
    ASSERT_TRUE(host.scene().remove_item(ids.light));
    select({ids.base});
    host.messages.clear();
    EXPECT_EQ(run("KR_setTarget"), 0);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "require memorized Item");

    // The panel's tree holds every item once.
    std::vector<std::string> roots;
    host.panels().script = {PanelAction::look([&](HeadlessPanel &panel) {
                                for (const TreeRow &row : panel.visible_rows())
                                    if (row.depth == 0) roots.push_back(row.name);
                            }),
                            PanelAction::cancel()};
    EXPECT_EQ(run("KR_Tandrel"), 0);
    EXPECT_EQ(roots, (std::vector<std::string>{"Base", "Rig", "Target", "Camera"}));
}

// A key list that comes back round to its first key would keep the keyed
// re-parent walking for ever: it ends as running out of memory does, with
// nothing written for the item.
TEST_F(HostileAnswers, AKeyListThatStartsOverEndsTheKeyedReparent) {
    HostileOptions options;
    options.keys_start_over = true;
    HostileHost hostile(host, options);
    const Envelope &heading = host.scene().find(ids.base)->channel(kHeading).envelope;
    select({ids.target});
    ASSERT_EQ(run("KR_memItem"), 0);
    select({ids.base});
    host.default_yes_no = 1;
    host.messages.clear();
    host.commands.clear();
    EXPECT_EQ(run("KR_setParent_wPos"), 0);
    ASSERT_FALSE(host.messages.empty());
    EXPECT_EQ(host.messages.back().text, "err");
    EXPECT_EQ(host.scene().find(ids.base)->parent, 0u);
    EXPECT_EQ(heading.key_count(), 3u);
    EXPECT_DOUBLE_EQ(heading.keys()[2]->value, 1.0);
    EXPECT_EQ(host.scene().find(ids.base)->channel(kPositionY).envelope.key_count(), 0u);
}

TEST_F(HostileAnswers, ANameOf64KiBReachesTheMessageWhole) {
    HostileOptions options;
    options.name_length = 64 * 1024;
    HostileHost hostile(host, options);
    select({ids.target});
    ASSERT_EQ(run("KR_memItem"), 0);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text2.size(), 64u * 1024u);
    EXPECT_EQ(host.messages[0].text2.compare(0, 6, "Target"), 0);
}

}  // namespace
}  // namespace headless
