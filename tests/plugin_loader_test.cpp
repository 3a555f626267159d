// The host's loader: what it accepts, and the errors for what it refuses.
#include "interface/host_builds.h"
#include "plugin_harness.h"

namespace headless {
namespace {

std::string load_error(const std::string &path) {
    std::string error;
    auto library = PluginLibrary::open(path, &error);
    EXPECT_FALSE(library) << path << " was accepted";
    return error;
}

TEST(PluginLoader, GoodFixtureListsItsServerWithUserNameAndGroup) {
    std::string error;
    auto library = PluginLibrary::open(fixture_path("fixture_good"), &error);
    ASSERT_TRUE(library) << error;
    ASSERT_EQ(library->servers().size(), 1u);
    const ServerInfo &server = library->servers()[0];
    EXPECT_EQ(server.name, "Fixture_Command");
    // A language-specific user name still counts as the user name.
    EXPECT_EQ(server.user_name, "Fixture Command");
    EXPECT_EQ(server.command_group, "Fixtures");
    EXPECT_EQ(library->find("Fixture_Command"), &server);
    EXPECT_EQ(library->find("fixture_command"), nullptr);
}

TEST(PluginLoader, RefusesWhatIsNotAPluginWithAClearError) {
    EXPECT_NE(load_error(fixture_path("fixture_no_descriptor")).find("exports no _mod_descrip"), std::string::npos);
    EXPECT_NE(load_error(fixture_path("fixture_bad_sync")).find("wrong sync word 0x12345678"), std::string::npos);
    EXPECT_NE(load_error(fixture_path("fixture_bad_machine")).find("machine 0x00000500"), std::string::npos);
    EXPECT_NE(load_error(fixture_path("fixture_failed_startup")).find("startup failed"), std::string::npos);
    EXPECT_NE(load_error(fixture_path("fixture_nameless_server")).find("server record 0"), std::string::npos);
    EXPECT_NE(load_error(fixture_path("does_not_exist")).find("cannot load"), std::string::npos);
}

TEST(PluginLoader, ServiceLookupAnswersOnlyExactNamesAndWithheldOnesAreAbsent) {
    Host host;
    GlobalLookupFn global = Host::global_lookup();
    for (const char *name : {host_abi::kServiceItemInfo, host_abi::kServiceInterfaceInfo, host_abi::kServiceMessages, host_abi::kServiceChannelInfo,
                             host_abi::kServiceEnvelopes, host_abi::kServiceSceneInfo})
        EXPECT_NE(global(name, 0), nullptr) << name;
    EXPECT_EQ(global("LW Item Info", 0), nullptr);
    EXPECT_EQ(global("lw item info 3", 0), nullptr);
    EXPECT_EQ(global(nullptr, 0), nullptr);
    host.withhold(host_abi::kServiceMessages);
    EXPECT_EQ(global(host_abi::kServiceMessages, 0), nullptr);
    host.restore(host_abi::kServiceMessages);
    EXPECT_NE(global(host_abi::kServiceMessages, 0), nullptr);
}

TEST(PluginLoader, ProductInfoTravelsInThePointerWithTheBuildInBitsFourToFifteen) {
    Host host;
    host.set_product_info(0xFFF0000Fu);
    host.set_build(kBuildUtf8Texts);
    const auto value = reinterpret_cast<uintptr_t>(Host::global_lookup()(host_abi::kServiceProductInfo, 0));
    EXPECT_EQ(value, 0xFFF0604Fu);
    EXPECT_EQ(host.build(), kBuildUtf8Texts);
}

TEST(PluginLoader, CommandOutsideAnActivationIsAViolation) {
    Host host;
    host.generic().evaluate(host.generic().data, "SelectItem 10000000");
    ASSERT_EQ(host.commands.size(), 1u);
    EXPECT_FALSE(host.commands[0].ok);
    ASSERT_EQ(host.violations.size(), 1u);
    EXPECT_EQ(host.violations[0].breach, Breach::CommandOutsideActivation);
}

}  // namespace
}  // namespace headless
