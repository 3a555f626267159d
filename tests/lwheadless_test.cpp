// The command-line tool's statements on scene files: loading, saving and the
// options of save, as a script runs them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "lws_fixture.h"
#include "host/world_transform.h"
#include "plugin_harness.h"
#include "tools/script_runner.h"

namespace headless {
namespace {

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

// Holder moves and turns; Child has a motion whose channels have no keys;
// Loose has no motion at all.
const char *const kInPlace =
    "LWSC\n3\n\nFramesPerSecond 30\n\nAddNullObject Holder\nObjectMotion\nNumChannels 4\n"
    "Channel 0\n{ Envelope\n  2\n  Key 1 0 0 0 0 0 0 0 0\n  Key 3 1 3 0 0 0 0 0 0\n  Behaviors 1 1\n}\n"
    "Channel 1\n{ Envelope\n  1\n  Key 2 0 0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n"
    "Channel 2\n{ Envelope\n  1\n  Key -1 0 0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n"
    "Channel 3\n{ Envelope\n  2\n  Key 0 0 0 0 0 0 0 0 0\n  Key 1.2 1 0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n\n"
    "AddNullObject Child\nShowObject 6 3\nObjectMotion\nNumChannels 9\n"
    "Channel 0\n{ Envelope\n  0\n  Behaviors 1 1\n}\nChannel 1\n{ Envelope\n  0\n  Behaviors 1 1\n}\n"
    "Channel 2\n{ Envelope\n  0\n  Behaviors 1 1\n}\nChannel 3\n{ Envelope\n  0\n  Behaviors 1 1\n}\n"
    "Channel 4\n{ Envelope\n  0\n  Behaviors 1 1\n}\nChannel 5\n{ Envelope\n  0\n  Behaviors 1 1\n}\n"
    "Channel 6\n{ Envelope\n  0\n  Behaviors 1 1\n}\nChannel 7\n{ Envelope\n  0\n  Behaviors 1 1\n}\n"
    "Channel 8\n{ Envelope\n  0\n  Behaviors 1 1\n}\n\nPivotPosition 0 0 0\n"
    "AddNullObject Loose\nShowObject 6 3\nPivotPosition 0 0.5 0";

TEST_F(ToolTest, PositionsKeptByParentInPlaceOnChannelsWithoutKeysSurviveSaving) {
    const std::string scene = folder + "tool_in_place.lws", saved = folder + "tool_in_place_saved.lws";
    write_all(scene, kInPlace);
    std::remove(saved.c_str());
    ASSERT_EQ(run_all({"load " + scene, "select Holder", "run KR_memItem", "select Child Loose",
                       "parent-in-place on", "time 0.5"}),
              "");
    const ItemIdValue holder = 0x10000000u, child = 0x10000001u, loose = 0x10000002u;
    const Vec3 before[] = {world_position(host.scene(), child, 0.5), world_position(host.scene(), loose, 0.5)};
    ASSERT_EQ(run_all({"run KR_setParent"}), "");
    ASSERT_EQ(host.scene().find(child)->parent, holder) << out.str();
    ASSERT_EQ(host.scene().find(loose)->parent, holder);
    ASSERT_EQ(run_all({"save " + saved}), "");

    Scene reloaded;
    LwsDocument doc;
    std::string error;
    ASSERT_TRUE(read_lws_file(saved, &reloaded, &doc, &error)) << error;
    for (int n = 0; n < 2; ++n) {
        const ItemIdValue id = n == 0 ? child : loose;
        EXPECT_EQ(reloaded.find(id)->parent, holder);
        const Vec3 now = world_position(reloaded, id, 0.5);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(now[i], before[n][i], 1e-6) << reloaded.find(id)->name << " axis " << i;
    }
    const std::string text = read_all(saved);
    EXPECT_NE(text.find("AddNullObject Loose\nShowObject 6 3\nObjectMotion\nNumChannels 9\nChannel 0\n{ Envelope\n  1\n"
                        "  Key "),
              std::string::npos)
        << text;
    // A round trip of what was written changes nothing more.
    std::string again;
    ASSERT_TRUE(render_lws(doc, reloaded, &again, &error)) << error;
    EXPECT_EQ(again, text);
    std::remove(saved.c_str());
    std::remove(scene.c_str());
}

}  // namespace
}  // namespace headless
