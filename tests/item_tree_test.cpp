// The item tree model behind the panel's tree control, built over the
// headless host's item services.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/core/host.h"
#include "host/core/services.h"
#include "plugin/panel/item_tree.h"
#include "plugin/panel/link_panel.h"

namespace headless {
namespace {

class ItemTreeModel : public ::testing::Test {
protected:
    void TearDown() override { free_item_tree(&tree); }

    HostContext context() {
        host.publish();
        HostContext c{};
        c.item_info = &items;
        c.interface_info = &host.interface_info();
        c.messages = &message_service();
        c.build = host.build();
        return c;
    }

    void build() {
        const HostContext c = context();
        tree.build = c.build;
        ASSERT_TRUE(build_item_tree(&c, &tree));
    }

    std::string label(int index) const { return tree.nodes[index].label ? tree.nodes[index].label : "(null)"; }

    Host host;
    ItemInfo items = item_info_service();
    ItemTree tree{};
};

TEST_F(ItemTreeModel, LabelsCarryIconAndColourCodes) {
    Scene &scene = host.scene();
    const ItemIdValue cube = scene.add_object("Cube");
    scene.find(cube)->color = 2;
    scene.find(scene.add_object("Grey"))->color = 15;
    scene.find(scene.add_object("Custom"))->color = 0x1000005;
    scene.find(scene.add_object("Negative"))->color = -1;
    scene.add_bone(cube, "Root");
    scene.add_light("Sun");
    scene.add_camera("Eye");
    build();

    ASSERT_EQ(tree.item_count, 7);
    ASSERT_EQ(tree.root_count, 6);
    EXPECT_EQ(label(0), "\x03(i:160,154) Cube");
    EXPECT_EQ(label(1), "\x03(i:160,16777216) Grey");
    EXPECT_EQ(label(2), "\x03(i:160,16777221) Custom");
    EXPECT_EQ(label(3), "\x03(i:160,4294967295) Negative");
    EXPECT_EQ(label(4), "\x03(i:162,152) Sun");
    EXPECT_EQ(label(5), "\x03(i:163,152) Eye");
    EXPECT_EQ(label(6), "\x03(i:161,152) Root");
    EXPECT_EQ(tree.nodes[6].parent, &tree.nodes[0]);
}

TEST_F(ItemTreeModel, RootsThenChildRunsWithParents) {
    Scene &scene = host.scene();
    const ItemIdValue base = scene.add_object("Base");
    const ItemIdValue crate = scene.add_object("Crate");
    const ItemIdValue arm = scene.add_object("Arm");
    const ItemIdValue hand = scene.add_object("Hand");
    ASSERT_EQ(scene.set_parent(arm, base), "");
    ASSERT_EQ(scene.set_parent(hand, arm), "");
    const ItemIdValue lamp = scene.add_light("Lamp");
    const ItemIdValue cam = scene.add_camera("Camera");
    build();

    ASSERT_EQ(tree.item_count, 6);
    ASSERT_EQ(tree.root_count, 4);
    const ItemIdValue order[] = {base, crate, lamp, cam, arm, hand};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(tree.nodes[i].item, order[i]) << i;
    EXPECT_EQ(tree.nodes[0].child_count, 1);
    EXPECT_EQ(tree.nodes[0].children, &tree.nodes[4]);
    EXPECT_EQ(tree.nodes[4].parent, &tree.nodes[0]);
    EXPECT_EQ(tree.nodes[4].children, &tree.nodes[5]);
    EXPECT_EQ(tree.nodes[5].parent, &tree.nodes[4]);
    EXPECT_EQ(tree.nodes[1].child_count, 0);
    EXPECT_EQ(tree.nodes[1].children, nullptr);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(tree.nodes[i].parent, nullptr);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(tree.nodes[i].state, 0);

    const ItemNode spare{};
    EXPECT_EQ(std::memcmp(&tree.nodes[6], &spare, sizeof spare), 0);
}

TEST_F(ItemTreeModel, EachNodesChildRunFollowsItsElderSiblingsSubtrees) {
    Scene &scene = host.scene();
    const ItemIdValue base = scene.add_object("Base");
    const ItemIdValue a = scene.add_object("A");
    const ItemIdValue b = scene.add_object("B");
    const ItemIdValue a1 = scene.add_object("A1");
    const ItemIdValue a2 = scene.add_object("A2");
    const ItemIdValue a1x = scene.add_object("A1x");
    const ItemIdValue b1 = scene.add_object("B1");
    for (auto [child, parent] : {std::pair{a, base}, {b, base}, {a1, a}, {a2, a}, {a1x, a1}, {b1, b}})
        ASSERT_EQ(scene.set_parent(child, parent), "");
    build();

    const ItemIdValue order[] = {base, a, b, a1, a2, a1x, b1};
    ASSERT_EQ(tree.item_count, 7);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(tree.nodes[i].item, order[i]) << i;
    EXPECT_EQ(tree.nodes[3].children, &tree.nodes[5]);
    EXPECT_EQ(tree.nodes[2].children, &tree.nodes[6]);

    // Opening B's subtree opens B and B1 only.
    open_subtree(&tree.nodes[2]);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(tree.nodes[i].state, i == 2 || i == 6 ? 1 : 0) << i;
}

TEST_F(ItemTreeModel, AHierarchyDeeperThanTheStackAllowsForRecursionIsBuiltAndOpened) {
    constexpr int kDepth = 100000;
    Scene &scene = host.scene();
    // Lights: there are not ids enough for this many objects.
    std::vector<ItemIdValue> levels;
    for (int i = 0; i < kDepth; ++i) levels.push_back(scene.add_light("Level" + std::to_string(i)));
    // Linked from the bottom up, so the host's cycle check has no chain to walk.
    for (int i = kDepth - 1; i > 0; --i) ASSERT_EQ(scene.set_parent(levels[i], levels[i - 1]), "");
    const ItemIdValue deepest = levels.back();
    build();

    ASSERT_EQ(tree.root_count, 1);
    open_subtree(&tree.nodes[0]);
    const ItemNode *node = &tree.nodes[0];
    int depth = 1;
    while (node->child_count == 1 && node->state == 1) node = node->children, ++depth;
    EXPECT_EQ(depth, kDepth);
    EXPECT_EQ(node->item, deepest);
    EXPECT_EQ(node->state, 1);
}

TEST_F(ItemTreeModel, CallbacksAnswerThroughThePanelRecord) {
    host.scene().add_object("Base");
    host.scene().add_object("Crate");
    host.scene().add_object("Arm");
    ASSERT_EQ(host.scene().set_parent(0x10000002, 0x10000000), "");
    build();
    LinkPanel panel{};
    panel.model = &tree;

    EXPECT_EQ(tree_count(nullptr, nullptr), 0);
    EXPECT_EQ(tree_child(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(tree_count(&panel, nullptr), 2);
    EXPECT_EQ(tree_child(&panel, nullptr, 1), &tree.nodes[1]);
    EXPECT_EQ(tree_child(&panel, nullptr, 2), nullptr);
    EXPECT_EQ(tree_child(&panel, nullptr, -1), nullptr);
    EXPECT_EQ(tree_count(&panel, &tree.nodes[0]), 1);
    EXPECT_EQ(tree_child(&panel, &tree.nodes[0], 0), &tree.nodes[2]);
    EXPECT_EQ(tree_child(&panel, &tree.nodes[0], 1), nullptr);
    EXPECT_EQ(tree_child(&panel, &tree.nodes[0], -1), nullptr);

    int flags = 7;
    EXPECT_EQ(tree_info(&panel, nullptr, &flags), nullptr);
    EXPECT_EQ(flags, 7);
    flags = 0;
    EXPECT_EQ(tree_info(&panel, &tree.nodes[1], &flags), tree.nodes[1].label);
    EXPECT_EQ(flags, 0);
    flags = 5;
    tree_info(&panel, &tree.nodes[1], &flags);
    flags = 0;
    tree_info(&panel, &tree.nodes[1], &flags);
    EXPECT_EQ(flags, 5);
}

// A host whose child lists hold items that its item lists did not count.
HostId g_phantom_parent = nullptr;
HostId phantom_first_child(HostId parent) {
    return parent == g_phantom_parent ? reinterpret_cast<HostId>(uintptr_t{0x10000100}) : nullptr;
}
HostId phantom_next_child(HostId parent, HostId previous) {
    const uintptr_t next = reinterpret_cast<uintptr_t>(previous) + 1;
    return parent == g_phantom_parent && next < 0x10000200 ? reinterpret_cast<HostId>(next) : nullptr;
}

TEST_F(ItemTreeModel, ChildListLongerThanCountedStopsAtTheEndOfTheArray) {
    const ItemIdValue base = host.scene().add_object("Base");
    host.scene().add_object("Crate");
    host.scene().add_light("Lamp");
    g_phantom_parent = to_handle(base);
    items.first_child = phantom_first_child;
    items.next_child = phantom_next_child;
    build();

    ASSERT_EQ(tree.item_count, 3);
    EXPECT_EQ(tree.root_count, 3);
    // No room is left behind the roots: the phantom children are dropped.
    EXPECT_EQ(tree.nodes[0].child_count, 0);
    const ItemNode spare{};
    EXPECT_EQ(std::memcmp(&tree.nodes[3], &spare, sizeof spare), 0);
}

TEST_F(ItemTreeModel, PhantomChildrenFillOnlyTheCountedSlots) {
    const ItemIdValue base = host.scene().add_object("Base");
    const ItemIdValue arm = host.scene().add_object("Arm");
    host.scene().add_object("Leg");
    ASSERT_EQ(host.scene().set_parent(arm, base), "");
    ASSERT_EQ(host.scene().set_parent(0x10000002, base), "");
    g_phantom_parent = to_handle(base);
    items.first_child = phantom_first_child;
    items.next_child = phantom_next_child;
    build();

    ASSERT_EQ(tree.item_count, 3);
    ASSERT_EQ(tree.root_count, 1);
    EXPECT_EQ(tree.nodes[0].child_count, 2);
    EXPECT_EQ(tree.nodes[1].item, 0x10000100u);
    EXPECT_EQ(tree.nodes[2].item, 0x10000101u);
    EXPECT_EQ(tree.nodes[3].item, 0u);
    EXPECT_EQ(tree.nodes[3].label, nullptr);
}

// Names that grow between the sizing pass and the labels.
int g_name_calls = 0;
const char *growing_name(HostId) {
    return ++g_name_calls > 3 ? "a name much longer than the one the sizing pass measured" : "Box";
}

TEST_F(ItemTreeModel, LabelsStayInsideTheirBufferWhenNamesGrow) {
    host.scene().add_object("Box");
    host.scene().add_object("Box");
    host.scene().add_object("Box");
    g_name_calls = 0;
    items.name = growing_name;
    build();

    ASSERT_EQ(tree.root_count, 3);
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(tree.nodes[i].label, nullptr);
        // Inside the buffer, or an empty label once the buffer is full.
        const char *label = tree.nodes[i].label;
        if (label < tree.labels || label >= tree.labels + tree.label_size) {
            EXPECT_STREQ(label, "") << i;
            continue;
        }
        EXPECT_LT(label + std::strlen(label), tree.labels + tree.label_size) << i;
    }
    EXPECT_EQ(std::string(tree.nodes[0].label).substr(0, 14), "\x03(i:160,152) a");
}

TEST_F(ItemTreeModel, LongNamesAndWideColourCodesAreWrittenWhole) {
    const std::string long_name(5000, 'x');
    for (int i = 0; i < 4; ++i) host.scene().find(host.scene().add_object(long_name + char('a' + i)))->color = -1;
    build();
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(label(i), "\x03(i:160,4294967295) " + long_name + char('a' + i));
    EXPECT_EQ(tree.label_end, tree.labels + tree.label_size);
}

TEST_F(ItemTreeModel, EmptySceneGivesOneSpareNode) {
    build();
    EXPECT_EQ(tree.item_count, 0);
    EXPECT_EQ(tree.root_count, 0);
    ASSERT_NE(tree.nodes, nullptr);
    EXPECT_EQ(tree.nodes[0].item, 0u);
}

}  // namespace
}  // namespace headless
