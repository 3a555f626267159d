// The descriptor and server table as the host reads them from the binary.
#include <cstring>

#include "interface/server_names.h"
#include "plugin_harness.h"

namespace headless {
namespace {

using ModuleBinary = PluginTest;

TEST_F(ModuleBinary, DescriptorCarriesTheHostsWords) {
    const ModuleDescriptor &d = plugin->descriptor();
    EXPECT_EQ(d.sync_word, 0x04121994u);
    EXPECT_EQ(d.descriptor_version, 3u);
    EXPECT_EQ(d.machine_word, 0x300u);
}

TEST_F(ModuleBinary, StartupReturnsFourAndShutdownAcceptsIt) {
    const ModuleDescriptor &d = plugin->descriptor();
    void *value = d.startup();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(value), 4u);
    d.shutdown(value);
}

TEST_F(ModuleBinary, TableListsTwentyOneLayoutGenericServersInOrderThenAnAllNullRecord) {
    ASSERT_EQ(plugin->servers().size(), 21u);
    EXPECT_EQ(plugin->servers().back().name, "KR_wPosTolerance");
    for (size_t i = 0; i < 21; ++i) {
        const ServerInfo &s = plugin->servers()[i];
        SCOPED_TRACE(kServerNames[i].name);
        EXPECT_EQ(s.class_name, "LayoutGeneric");
        EXPECT_EQ(s.name, kServerNames[i].name);
        EXPECT_EQ(s.user_name, kServerNames[i].user_name ? kServerNames[i].user_name : "");
        EXPECT_EQ(s.command_group, "KRtools");
    }
    const ServerRecord &end = plugin->descriptor().servers[21];
    EXPECT_EQ(end.class_name, nullptr);
    EXPECT_EQ(end.server_name, nullptr);
    EXPECT_EQ(end.activate, nullptr);
    EXPECT_EQ(end.tags, nullptr);
}

TEST_F(ModuleBinary, TagListsHoldUserNameThenGroupThenEnd) {
    const ServerRecord *records = plugin->descriptor().servers;
    // The panel server is listed by its server name only.
    EXPECT_EQ(std::strcmp(records[0].tags[0].text, "KRtools"), 0);
    EXPECT_EQ(records[0].tags[0].tag, 0x20000u);
    EXPECT_EQ(records[0].tags[1].text, nullptr);
    EXPECT_EQ(records[0].tags[1].tag, 0u);
    for (int i = 1; i < 21; ++i) {
        const ServerTag *tags = records[i].tags;
        SCOPED_TRACE(records[i].server_name);
        EXPECT_EQ(tags[0].tag, 0u);
        EXPECT_STREQ(tags[0].text, kServerNames[i].user_name);
        EXPECT_EQ(tags[1].tag, 0x20000u);
        EXPECT_STREQ(tags[1].text, "KRtools");
        EXPECT_EQ(tags[2].text, nullptr);
        EXPECT_EQ(tags[2].tag, 0u);
    }
}

}  // namespace
}  // namespace headless
