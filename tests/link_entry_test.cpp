// The link command entry and emission linked directly, for what the loaded
// binary does not show: the memorized slot, the id writer, the restore walk.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/core/host.h"
#include "plugin/links/link_command.h"
#include "plugin/links/link_emission.h"
#include "plugin/support/item_id.h"
#include "plugin/support/link_flags.h"
#include "plugin/support/module_state.h"

namespace {

TEST(WriteItemIdHex, EightUpperCaseDigitsWithLeadingZeros) {
    const struct {
        uint32_t value;
        const char *text;
    } cases[] = {{0x10000002u, "10000002"}, {0x4001000Au, "4001000A"}, {0u, "00000000"}, {0xFFFFFFFFu, "FFFFFFFF"}};
    for (const auto &c : cases) {
        char out[12];
        std::memset(out, 'x', sizeof out);
        write_item_id_hex(c.value, out);
        EXPECT_STREQ(out, c.text);
        EXPECT_EQ(out[9], 'x') << "wrote past the NUL";
    }
}

class LinkEntry : public ::testing::Test {
protected:
    void SetUp() override {
        memorized_item = 0;
        hips = host.scene().add_object("Hips");
        arm = host.scene().add_object("Arm");
        host.scene().selection = {arm};
        host.publish();
    }
    void TearDown() override { memorized_item = 0; }

    headless::Host host;
    headless::ItemIdValue hips = 0, arm = 0;
};

TEST_F(LinkEntry, AMemorizedItemNoLongerInTheSceneIsForgotten) {
    memorized_item = hips;
    ASSERT_TRUE(host.scene().remove_item(hips));
    host.publish();
    EXPECT_EQ(run_link_command(headless::Host::global_lookup(), &host.generic(), LINK_TARGET), 0);
    EXPECT_EQ(memorized_item, 0u);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "require memorized Item");
}

TEST_F(LinkEntry, AMemorizedItemStillThereIsKept) {
    memorized_item = hips;
    EXPECT_EQ(run_link_command(headless::Host::global_lookup(), &host.generic(), LINK_CLEAR | LINK_TARGET), 0);
    EXPECT_EQ(run_link_command(headless::Host::global_lookup(), &host.generic(), LINK_TARGET), 0);
    EXPECT_EQ(memorized_item, hips);
}

// The upper 32 bits of the memorized value take part in the comparison.
TEST_F(LinkEntry, TheWholeSixtyFourBitIdMustMatch) {
    memorized_item = (uint64_t{1} << 32) | hips;
    EXPECT_EQ(run_link_command(headless::Host::global_lookup(), &host.generic(), LINK_TARGET), 0);
    EXPECT_EQ(memorized_item, 0u);
}

TEST_F(LinkEntry, AHostWithoutCommandEvaluationCountsAsAMissingService) {
    memorized_item = hips;
    LayoutGeneric without_evaluate = host.generic();
    without_evaluate.evaluate = nullptr;
    EXPECT_EQ(run_link_command(headless::Host::global_lookup(), &without_evaluate, LINK_TARGET), 2);
    EXPECT_EQ(run_link_command(headless::Host::global_lookup(), nullptr, LINK_TARGET), 2);
    EXPECT_TRUE(host.messages.empty());
}

std::vector<std::string> g_sent;
int record_text(void *, const char *text) {
    g_sent.push_back(text);
    return 1;
}

TEST(RestoreSelection, AddsBackAllButTheLastWalkedEntrySecondLastFirst) {
    const HostId list[] = {reinterpret_cast<HostId>(0x10000000u), reinterpret_cast<HostId>(0x4001000Au),
                           reinterpret_cast<HostId>(0x2000000Bu), nullptr};
    const struct {
        int32_t count;
        std::vector<std::string> texts;
    } cases[] = {
        {-1, {}},
        {0, {}},
        {1, {}},
        {2, {"AddToSelection 10000000"}},
        {3, {"AddToSelection 4001000A", "AddToSelection 10000000"}},
    };
    for (const auto &c : cases) {
        g_sent.clear();
        restore_selection(nullptr, record_text, list, c.count, 3, nullptr);
        EXPECT_EQ(g_sent, c.texts) << c.count;
    }
}

}  // namespace
