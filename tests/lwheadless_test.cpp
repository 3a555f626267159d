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

std::string read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string &path) { return std::ifstream(path).good(); }

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

TEST_F(ToolTest, SaveTakesForceBeforeOrAfterTheNameAndRefusesUnknownOptions) {
    const std::string scene = folder + "tool_save_options.lws";
    const std::string copy = folder + "tool saved copy.lws";
    write_all(scene, kTwoNulls);
    ASSERT_EQ(run_all({"load " + scene, "save " + copy}), "");
    EXPECT_EQ(read_all(copy), kTwoNulls);
    write_all(copy, "older");
    EXPECT_NE(run_all({"save " + copy}).find("exists"), std::string::npos);
    ASSERT_EQ(run_all({"save " + copy + " --force"}), "");
    EXPECT_EQ(read_all(copy), kTwoNulls);
    EXPECT_FALSE(exists(copy + " --force"));
    write_all(copy, "older");
    ASSERT_EQ(run_all({"save --force \"" + copy + "\""}), "");
    EXPECT_EQ(read_all(copy), kTwoNulls);

    write_all(copy, "older");
    for (const std::string &statement : std::vector<std::string>{"save --frce " + copy, "save " + copy + " -f", "save --force"}) {
        const std::string error = run_all({statement});
        EXPECT_NE(error.find("usage: save [--force] FILE.lws"), std::string::npos) << statement << ": " << error;
    }
    EXPECT_NE(run_all({"save " + copy + " --frce"}).find("unknown option '--frce'"), std::string::npos);
    EXPECT_EQ(read_all(copy), "older");
    EXPECT_FALSE(exists(copy + " --frce"));
    std::remove(copy.c_str());
    std::remove(scene.c_str());
}

}  // namespace
}  // namespace headless
