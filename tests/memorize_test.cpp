// Memorizing the link item, and what every activation does without services.
#include "plugin_harness.h"

namespace headless {
namespace {

class Memorize : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        hips = host.scene().add_object("Hips");
        spine = host.scene().add_bone(hips, "Spine");
        lamp = host.scene().add_light("Key Light");
    }
    ItemIdValue hips = 0, spine = 0, lamp = 0;
};

TEST_F(Memorize, OneSelectedItemIsConfirmedWithItsName) {
    select({spine});
    EXPECT_EQ(run("KR_memItem"), 0);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].kind, "info");
    EXPECT_EQ(host.messages[0].text, "memorize done");
    EXPECT_TRUE(host.messages[0].has_text2);
    EXPECT_EQ(host.messages[0].text2, "Spine");
    EXPECT_TRUE(host.commands.empty());
}

TEST_F(Memorize, SeveralSelectedItemsMemorizeOnlyTheFirst) {
    select({lamp, hips, spine});
    EXPECT_EQ(run("KR_memItem"), 0);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text2, "Key Light");
}

TEST_F(Memorize, NothingSelectedEndsQuietly) {
    EXPECT_EQ(run("KR_memItem"), 0);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(host.commands.empty());
}

TEST_F(Memorize, ItemWithoutANameStillConfirms) {
    select({host.scene().add_object("")});
    EXPECT_EQ(run("KR_memItem"), 0);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text2, "");
}

class MissingService : public Memorize, public ::testing::WithParamInterface<const char *> {};

// Every activation needs all five, even those that use fewer of them.
TEST_P(MissingService, EveryServerReturnsTwoAndShowsNothing) {
    host.withhold(GetParam());
    select({hips});
    for (const ServerInfo &server : plugin->servers()) {
        SCOPED_TRACE(server.name);
        EXPECT_EQ(host.activate(*server.record), 2);
    }
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(host.commands.empty());
}

INSTANTIATE_TEST_SUITE_P(EachOfTheFive, MissingService,
                         ::testing::Values(host_abi::kServiceEnvelopes, host_abi::kServiceChannelInfo, host_abi::kServiceInterfaceInfo,
                                           host_abi::kServiceItemInfo, host_abi::kServiceMessages));

TEST_F(Memorize, MissingProductInfoIsNotAMissingService) {
    host.withhold(host_abi::kServiceProductInfo);
    select({hips});
    EXPECT_EQ(run("KR_memItem"), 0);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text2, "Hips");
}

}  // namespace
}  // namespace headless
