// The command-line tool's statements on scene files: loading, saving and the
// options of save, as a script runs them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "host/lws_reader.h"
#include "plugin_harness.h"
#include "tools/script_runner.h"

namespace headless {
namespace {

void write_all(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

class ToolTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        if (plugin) runner = std::make_unique<ScriptRunner>(host, *plugin, out);
    }
    // Runs statements in order; the first that fails ends the run with its error.
    std::string run_all(std::initializer_list<std::string> statements) {
        for (const std::string &statement : statements) {
            std::string error;
            if (!runner->run_statement(statement, &error)) return error.empty() ? "(failed without a reason)" : error;
        }
        return "";
    }

    std::ostringstream out;
    std::unique_ptr<ScriptRunner> runner;
    const std::string folder = ::testing::TempDir();
};

const char *const kTwoNulls =
    "LWSC\n3\n\nFramesPerSecond 30\n\nAddNullObject Holder\n\nAddNullObject Child\n";

TEST_F(ToolTest, LoadingWhatIsNotARegularFileFailsClearlyAndKeepsTheScene) {
    const std::string scene = folder + "tool_two_nulls.lws";
    write_all(scene, kTwoNulls);
    ASSERT_EQ(run_all({"load " + scene}), "");
    const std::string folder_name = folder.substr(0, folder.find_last_not_of("/\\") + 1);
    const std::string error = run_all({"load " + folder_name});
    EXPECT_NE(error.find(folder_name + ": is a folder, not a scene file"), std::string::npos) << error;
#ifndef _WIN32
    EXPECT_NE(run_all({"load /dev/null"}).find("/dev/null: is not a regular file"), std::string::npos);
#endif
    EXPECT_NE(run_all({"load " + folder + "tool_no_such.lws"}).find("cannot open"), std::string::npos);
    EXPECT_NE(host.scene().find_by_name("Child"), nullptr);  // the scene loaded before is still there
    std::remove(scene.c_str());
}

}  // namespace
}  // namespace headless
