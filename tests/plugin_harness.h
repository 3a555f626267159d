// A headless host with the built plug-in loaded, for scenario tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "host/core/host.h"
#include "host/core/plugin_library.h"

namespace headless {

inline std::string plugin_path() {
    const char *override_path = std::getenv("KR_PLUGIN");
    return override_path && *override_path ? override_path : KR_PLUGIN_PATH;
}

inline std::string fixture_path(const std::string &name) { return std::string(KR_FIXTURE_DIR) + "/" + name + ".p"; }

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        plugin = PluginLibrary::open(plugin_path(), &error);
        ASSERT_TRUE(plugin) << error;
    }

    void TearDown() override { EXPECT_TRUE(host.violations.empty()) << host.violations.front(); }

    // Runs a server as the host does when the user picks the command.
    // `arguments`: what follows the command's name on Layout's command line.
    int run(const std::string &server_name, const std::string &arguments = std::string()) {
        const ServerInfo *server = plugin->find(server_name);
        EXPECT_TRUE(server) << "no server " << server_name;
        return server ? host.activate(*server->record, arguments) : -1;
    }

    void select(std::initializer_list<ItemIdValue> items) {
        host.scene().selection.assign(items.begin(), items.end());
    }

    Host host;
    std::unique_ptr<PluginLibrary> plugin;
};

}  // namespace headless
