// The headless scene: the host's id numbering, item lists and hierarchy.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <vector>

#include "host/core/both_cores.h"
#include "host/core/host.h"
#include "host/core/services.h"

namespace headless {
namespace {

TEST(Scene, IdsFollowTheHostsNumberingAndBonesNameTheirObject) {
    Scene scene;
    const ItemIdValue a = scene.add_object("A");
    const ItemIdValue b = scene.add_object("B");
    EXPECT_EQ(a, 0x10000000u);
    EXPECT_EQ(b, 0x10000001u);
    EXPECT_EQ(scene.add_light("L"), 0x20000000u);
    EXPECT_EQ(scene.add_camera("C"), 0x30000000u);
    const ItemIdValue b0 = scene.add_bone(b, "b0");
    const ItemIdValue b1 = scene.add_bone(b, "b1");
    EXPECT_EQ(b0, 0x40000001u);
    EXPECT_EQ(b1, 0x40010001u);
    EXPECT_EQ(bone_owner(b1), b);
    EXPECT_EQ(scene.add_bone(0x20000000u, "not on a light"), 0u);
}

TEST(Scene, ItemListsWalkEachKindInOrderAndBonesPerObject) {
    Scene scene;
    const ItemIdValue a = scene.add_object("A");
    const ItemIdValue b = scene.add_object("B");
    const ItemIdValue l = scene.add_light("L");
    const ItemIdValue a0 = scene.add_bone(a, "a0");
    const ItemIdValue b0 = scene.add_bone(b, "b0");
    EXPECT_EQ(scene.first(0, 0), a);
    EXPECT_EQ(scene.next(a), b);
    EXPECT_EQ(scene.next(b), 0u);
    EXPECT_EQ(scene.first(1, 0), l);
    EXPECT_EQ(scene.first(2, 0), 0u);
    EXPECT_EQ(scene.first(3, b), b0);
    EXPECT_EQ(scene.next(b0), 0u);
    EXPECT_EQ(scene.first(3, a), a0);
    EXPECT_EQ(scene.first(7, 0), 0u);
    EXPECT_EQ(scene.all_items(), (std::vector<ItemIdValue>{a, a0, b, b0, l}));
}

TEST(Scene, ParentingKeepsChildOrderAndRefusesCycles) {
    Scene scene;
    const ItemIdValue root = scene.add_object("Root");
    const ItemIdValue x = scene.add_object("X");
    const ItemIdValue y = scene.add_object("Y");
    const ItemIdValue bone = scene.add_bone(root, "bone");
    EXPECT_EQ(scene.set_parent(x, root), "");
    EXPECT_EQ(scene.set_parent(y, root), "");
    EXPECT_EQ(scene.first_child(root), bone);
    EXPECT_EQ(scene.next_child(root, bone), x);
    EXPECT_EQ(scene.next_child(root, x), y);
    EXPECT_EQ(scene.next_child(root, y), 0u);
    EXPECT_NE(scene.set_parent(root, y), "");  // below the item
    EXPECT_NE(scene.set_parent(x, x), "");
    EXPECT_NE(scene.set_parent(x, 0x10000099u), "");
    EXPECT_NE(scene.set_parent(bone, x), "");  // outside its object
    EXPECT_EQ(scene.set_parent(y, 0), "");
    EXPECT_EQ(scene.find(y)->parent, 0u);
    EXPECT_EQ(scene.next_child(root, x), 0u);
    // A bone without a parent bone hangs under its object.
    EXPECT_EQ(scene.set_parent(bone, 0), "");
    EXPECT_EQ(scene.find(bone)->parent, root);
}

TEST(Scene, RemovingAnItemReleasesChildrenLinksAndSelection) {
    Scene scene;
    const ItemIdValue a = scene.add_object("A");
    const ItemIdValue b = scene.add_object("B");
    const ItemIdValue bone = scene.add_bone(a, "bone");
    scene.set_parent(b, bone);
    scene.find(b)->target = a;
    scene.selection = {a, b};
    EXPECT_TRUE(scene.remove_item(a));
    EXPECT_EQ(scene.find(a), nullptr);
    EXPECT_EQ(scene.find(bone), nullptr);
    EXPECT_EQ(scene.find(b)->parent, 0u);
    EXPECT_EQ(scene.find(b)->target, 0u);
    EXPECT_EQ(scene.selection, std::vector<ItemIdValue>{b});
    EXPECT_EQ(scene.first(0, 0), b);
    EXPECT_FALSE(scene.remove_item(a));
}

TEST(ItemInfoService, AnswersUnknownAndHostileIdsWithNothing) {
    Host host;
    const ItemInfo &info = item_info_service();
    const ItemIdValue a = host.scene().add_object("A");
    EXPECT_STREQ(info.name(to_handle(a)), "A");
    EXPECT_EQ(info.name(to_handle(0x10000005u)), nullptr);
    EXPECT_EQ(info.parent(reinterpret_cast<HostId>(~uintptr_t{0})), nullptr);
    EXPECT_EQ(info.type(to_handle(a)), 0);
    double out[3] = {7, 7, 7};
    info.param(to_handle(0x30000009u), host_abi::kParamPosition, 0.0, out);
    EXPECT_EQ(out[0], 0.0);
    info.param(to_handle(a), host_abi::kParamScaling, 0.0, out);
    EXPECT_EQ(out[1], 1.0);
}

TEST(InterfaceInfo, OldSelectionListsStayReadableDuringAnActivation) {
    Host host;
    const ItemIdValue a = host.scene().add_object("A");
    const ItemIdValue b = host.scene().add_object("B");
    host.scene().selection = {a, b};
    ServerRecord record{"LayoutGeneric", "probe", nullptr, nullptr};
    static const HostId *seen_before = nullptr;
    static HostId seen_after[3] = {};
    record.activate = [](int32_t, GlobalLookupFn global, void *, void *) -> int {
        const auto *ui = static_cast<const InterfaceInfo *>(global("LW Interface Info 3", 0));
        seen_before = ui->selected_items;
        Host::current()->scene().selection = {};
        Host::current()->publish();
        for (int i = 0; i < 3; ++i) seen_after[i] = seen_before[i];
        return ui->selected_items[0] == nullptr ? 0 : 1;
    };
    EXPECT_EQ(host.activate(record), 0);
    EXPECT_EQ(seen_after[0], to_handle(a));
    EXPECT_EQ(seen_after[1], to_handle(b));
    EXPECT_EQ(seen_after[2], nullptr);
}

TEST(BothCores, EveryPartRunsOnceAndAFailureReachesTheCaller) {
    std::vector<std::atomic<int>> runs(100);
    run_in_parts(runs.size(), [&](size_t part) { ++runs[part]; });
    for (const auto &count : runs) EXPECT_EQ(count.load(), 1);
    const auto seventh_fails = [](size_t part) {
        if (part == 7) throw std::bad_alloc();
    };
    EXPECT_THROW(run_in_parts(100, seventh_fails), std::bad_alloc);
}

}  // namespace
}  // namespace headless
