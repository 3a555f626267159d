// Opening the host context: service lookups, the build number and the
// confirmation texts in the encoding of the build.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/core/host.h"
#include "plugin/support/host_context.h"

namespace {

std::vector<std::string> g_lookups;

void *recording_lookup(const char *name, int mode) {
    g_lookups.push_back(std::string(name) + "/" + std::to_string(mode));
    return headless::Host::current()->lookup(name, mode);
}

TEST(HostContext, LooksUpTheServicesInTheHostsOrderWithModeZero) {
    headless::Host host;
    g_lookups.clear();
    HostContext context{};
    EXPECT_EQ(open_host_context(recording_lookup, &context), 0);
    EXPECT_EQ(g_lookups, (std::vector<std::string>{"Animation Envelopes/0", "Channel Info 2/0",
                                                   "LW Interface Info 3/0", "LW Item Info 3/0",
                                                   "Info Messages 2/0", "Product Info/0"}));
    EXPECT_NE(context.messages, nullptr);
    EXPECT_EQ(context.generic_local, nullptr);
    EXPECT_EQ(context.scene_info, nullptr);
}

TEST(HostContext, MissingServiceStopsBeforeProductInfo) {
    headless::Host host;
    host.withhold(host_abi::kServiceItemInfo);
    g_lookups.clear();
    HostContext context{};
    EXPECT_EQ(open_host_context(recording_lookup, &context), 2);
    EXPECT_EQ(g_lookups.size(), 5u);
    EXPECT_EQ(context.confirm_line1, nullptr);
}

TEST(HostContext, BuildIsBitsFourToFifteenWhateverTheOtherBits) {
    EXPECT_EQ(build_from_product_info(0x00006040u), 1540u);
    EXPECT_EQ(build_from_product_info(0xFFFF604Fu), 1540u);
    EXPECT_EQ(build_from_product_info(0x0000000Fu), 0u);
    EXPECT_EQ(build_from_product_info(0x0000FFF0u), 4095u);
}

TEST(HostContext, Build1539ReadsShiftJisAnd1540ReadsUtf8) {
    headless::Host host;
    HostContext context{};
    host.set_build(kBuildUtf8Texts - 1);
    ASSERT_EQ(open_host_context(headless::Host::global_lookup(), &context), 0);
    EXPECT_EQ(context.build, kBuildUtf8Texts - 1);
    const unsigned char sjis1[] = "Parent in Place\x82\xAA ON \x82\xC5\x81"
                                  "AFrame 0 \x88\xC8\x8A"
                                  "O\x82\xC5\x82\xB7";
    const unsigned char sjis2[] = {0x91, 0xB1, 0x8D, 0x73, 0x82, 0xB5, 0x82, 0xDC, 0x82, 0xB7, 0x82, 0xA9, 0x3F, 0};
    EXPECT_EQ(std::strlen(context.confirm_line1), 41u);
    EXPECT_EQ(std::memcmp(context.confirm_line1, sjis1, 42), 0);
    EXPECT_EQ(std::strlen(context.confirm_line2), 13u);
    EXPECT_EQ(std::memcmp(context.confirm_line2, sjis2, 14), 0);

    host.set_build(kBuildUtf8Texts);
    ASSERT_EQ(open_host_context(headless::Host::global_lookup(), &context), 0);
    EXPECT_EQ(context.build, kBuildUtf8Texts);
    EXPECT_EQ(std::string(context.confirm_line1), u8"Parent in Placeが ON で、Frame 0 以外です");
    EXPECT_EQ(std::strlen(context.confirm_line1), 48u);
    EXPECT_EQ(std::string(context.confirm_line2), u8"続行しますか");
    EXPECT_EQ(std::strlen(context.confirm_line2), 18u);
}

TEST(HostContext, AHostWithoutASelectionListHasNothingSelected) {
    InterfaceInfo info{};
    HostContext context{};
    context.interface_info = &info;
    EXPECT_EQ(selected_items(&context)[0], nullptr);
}

}  // namespace
