// The command-line tool's statements on scene files: loading, saving and the
// options of save, as a script runs them; and the tool itself as a batch job
// runs it: its exit code, its messages and an interrupted save.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#else
#include <windows.h>
#endif

#include "lws_fixture.h"
#include "host/core/world_transform.h"
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
    std::remove(copy.c_str());  // left by a run that was stopped, it would be refused
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

// A scene with one null and `keys` position keys, big enough that saving it
// takes a while.
std::string big_scene(int keys) {
    std::string text = "LWSC\n3\n\nFramesPerSecond 30\n\nAddNullObject Big\nObjectMotion\nNumChannels 1\n"
                       "Channel 0\n{ Envelope\n  " + std::to_string(keys) + "\n";
    char key[64];
    for (int i = 0; i < keys; ++i) {
        std::snprintf(key, sizeof key, "  Key %d.25 %.9g 0 0 0 0 0 0 0\n", i % 1000, i / 30.0);
        text += key;
    }
    return text + "  Behaviors 1 1\n}\n";
}

#ifndef _WIN32

// ---- the tool as a separate process ----

struct ToolRun {
    int status;  // the exit code, or 128 plus the signal that ended it
    std::string out, err;
};

// Starts lwheadless with `args`, its output going to files; a file-size limit
// (bytes) when not zero.
pid_t start_tool(const std::vector<std::string> &args, const std::string &out, const std::string &err,
                 rlim_t file_size_limit = 0) {
    const pid_t child = fork();
    if (child != 0) return child;
    const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out_fd < 0 || err_fd < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) _exit(126);
    if (file_size_limit) {
        const rlimit limit{file_size_limit, file_size_limit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    std::vector<char *> argv{const_cast<char *>(KR_LWHEADLESS_PATH)};
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

int wait_status(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ToolRun run_tool(const std::vector<std::string> &args, rlim_t file_size_limit = 0) {
    const std::string out = ::testing::TempDir() + "tool_run.out", err = ::testing::TempDir() + "tool_run.err";
    const int status = wait_status(start_tool(args, out, err, file_size_limit));
    ToolRun run{status, read_all(out), read_all(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}

std::vector<std::string> with_statements(std::initializer_list<std::string> statements) {
    std::vector<std::string> args{plugin_path()};
    for (const std::string &statement : statements) {
        args.push_back("-e");
        args.push_back(statement);
    }
    return args;
}

// A pipeline trusts the exit code: whatever the plug-in or the host refused is
// a failure, said on standard error, while the run goes on as in Layout.
TEST(ToolExitCode, IsOneWhenThePluginWarnsTheHostRefusesOrAnItemWouldParentItself) {
    struct Case {
        std::initializer_list<std::string> statements;
        std::string fault;
    };
    const Case failing[] = {
        {{"object A", "select A", "run KR_setParent", "scene"},
         "lwheadless: -e run KR_setParent: KR_setParent warned: \"require memorized Item\"\n"},
        {{"object A", "select A", "run KR_memItem", "run KR_setParent", "scene"},
         "lwheadless: -e run KR_setParent: KR_setParent: the host did not apply \"ParentItem 10000000\": "
         "A: an item cannot be its own parent\n"},
        // The re-parent that keeps world motion passes over it without a word.
        {{"object A", "object B", "select A", "run KR_memItem", "select B A", "run KR_setParent_wPos", "scene"},
         "lwheadless: -e run KR_setParent_wPos: A [10000000]: an item cannot be its own parent; "
         "KR_setParent_wPos left it as it was\n"},
        {{"object A", "select A", "withhold Info Messages 2", "run KR_memItem", "scene"},
         "lwheadless: -e run KR_memItem: KR_memItem ended with code 2 (a host service it needs is missing)\n"},
    };
    for (const Case &c : failing) {
        const ToolRun run = run_tool(with_statements(c.statements));
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_EQ(run.err, c.fault);
        EXPECT_NE(run.out.find("\nscene: "), std::string::npos) << "the run stopped at the fault:\n" << run.out;
    }

    // Info messages and questions answered as the script says are no faults.
    const ToolRun fine = run_tool(with_statements({"object A", "object B", "select A", "run KR_memItem",
                                                   "parent-in-place on", "time 1", "answer yes", "select B",
                                                   "run KR_setParent"}));
    EXPECT_EQ(fine.status, 0) << fine.err;
    EXPECT_EQ(fine.err, "");
    EXPECT_NE(fine.out.find("-> answered 1\n  command \"ParentItem 10000000\"\n"), std::string::npos) << fine.out;

    // In a script the fault names its file and line.
    const std::string script = ::testing::TempDir() + "tool_fault.lwh";
    write_all(script, "object A\nselect A\n\nrun KR_setParent\n");
    const ToolRun scripted = run_tool({plugin_path(), script});
    EXPECT_EQ(scripted.status, 1);
    EXPECT_EQ(scripted.err, "lwheadless: " + script + ":4: KR_setParent warned: \"require memorized Item\"\n");
    std::remove(script.c_str());
}

// A scene or script given where the plug-in belongs, or a script that cannot
// be read, is named with what is wrong instead of the system loader's words.
TEST(ToolMessages, SayWhatIsWrongWithTheFilesGiven) {
    const std::string scene = ::testing::TempDir() + "tool_first.lws";
    write_all(scene, kTwoNulls);
    const ToolRun swapped = run_tool({scene, plugin_path()});
    EXPECT_EQ(swapped.status, 2);
    EXPECT_EQ(swapped.err, "lwheadless: " + scene + " is a scene file, not a plug-in module\n"
                           "lwheadless: the plug-in module (the .p file) comes first, then the scripts\n"
                           "usage: lwheadless [options] PLUGIN [SCRIPT...]\n");
    const ToolRun missing = run_tool({plugin_path(), scene + ".lwh"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "lwheadless: cannot read script " + scene + ".lwh: No such file or directory\n");
    std::remove(scene.c_str());
}

// Re-parenting many items takes a while; a terminal shows which item of how
// many is being worked on, a log file stays clean.
TEST(ToolProgress, ShowsTheItemBeingReparentedOnATerminalOnly) {
    const std::string scene = ::testing::TempDir() + "tool_progress.lws";
    std::string text = "LWSC\n3\n\nFramesPerSecond 30\n\n";
    for (const char *name : {"A", "B", "C"})
        text += std::string("AddNullObject ") + name +
                "\nObjectMotion\nNumChannels 1\nChannel 0\n{ Envelope\n  2\n  Key 0 0 0 0 0 0 0 0 0\n"
                "  Key 1 1 0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n\n";
    text += "AddNullObject P\n";
    write_all(scene, text);
    const std::vector<std::string> args =
        with_statements({"load " + scene, "select P", "run KR_memItem", "select A B C", "run KR_setParent_wPos"});

    int terminal = -1, other_end = -1;
    ASSERT_EQ(openpty(&terminal, &other_end, nullptr, nullptr, nullptr), 0);
    const std::string out = ::testing::TempDir() + "tool_progress.out";
    const int status = wait_status(start_tool(args, out, ttyname(other_end)));
    close(other_end);
    fcntl(terminal, F_SETFL, O_NONBLOCK);
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) shown.append(buffer, static_cast<size_t>(n));
    close(terminal);
    EXPECT_EQ(status, 0) << shown;
    EXPECT_NE(shown.find("KR_setParent_wPos: item 1 of 3\rKR_setParent_wPos: item 2 of 3\rKR_setParent_wPos: item 3 of 3\r"),
              std::string::npos)
        << shown;

    const ToolRun logged = run_tool(args);
    EXPECT_EQ(logged.status, 0);
    EXPECT_EQ(logged.err, "");
    std::remove(out.c_str());
    std::remove(scene.c_str());
}

std::vector<std::string> temporary_files_of(const std::string &folder, const std::string &target_name) {
    std::vector<std::string> found;
    DIR *dir = opendir(folder.c_str());
    while (dirent *entry = dir ? readdir(dir) : nullptr)
        if (std::string(entry->d_name).rfind("." + target_name + ".", 0) == 0) found.push_back(entry->d_name);
    if (dir) closedir(dir);
    return found;
}

// Ctrl+C, kill or a file-size limit while the scene is written: the old file
// stays whole and no temporary file stays beside it.
TEST(ToolSave, InterruptedLeavesTheTargetWholeAndNoTemporaryFile) {
    // A folder of its own: another run of this test (another build) may be saving beside it.
    std::string pattern = ::testing::TempDir() + "tool_interrupted_XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    const std::string folder = pattern + "/";
    const std::string scene = folder + "big.lws", target = folder + "target.lws";
    write_all(scene, big_scene(300000));
    write_all(target, "older");
    const std::vector<std::string> save =
        with_statements({"load " + scene, "save --force " + target});

    const ToolRun limited = run_tool(save, 1 << 16);
    EXPECT_EQ(limited.status, 1) << limited.err;
    EXPECT_NE(limited.err.find("writing failed (File too large); nothing was replaced"), std::string::npos)
        << limited.err;
    EXPECT_EQ(read_all(target), "older");
    EXPECT_EQ(temporary_files_of(folder, "target.lws"), std::vector<std::string>());

    // SIGTERM as soon as the temporary file appears; a save that wins the race
    // is tried again.
    bool interrupted = false;
    for (int attempt = 0; attempt < 3 && !interrupted; ++attempt) {
        write_all(target, "older");
        const int watch = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, folder.c_str(), IN_CREATE), 0);
        const pid_t child = start_tool(save, folder + "out", folder + "err");
        bool signalled = false;
        alignas(inotify_event) char events[4096];
        pollfd wait_for{watch, POLLIN, 0};
        while (!signalled && poll(&wait_for, 1, 30000) > 0) {
            const ssize_t size = read(watch, events, sizeof events);
            for (ssize_t at = 0; at < size && !signalled;) {
                const auto *event = reinterpret_cast<const inotify_event *>(events + at);
                if (event->len && std::string(event->name).rfind(".target.lws.", 0) == 0)
                    signalled = kill(child, SIGTERM) == 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        close(watch);
        const int status = wait_status(child);
        ASSERT_TRUE(signalled) << "no temporary file appeared; the tool said: " << read_all(folder + "err");
        interrupted = status == 128 + SIGTERM;
        EXPECT_EQ(temporary_files_of(folder, "target.lws"), std::vector<std::string>());
        if (interrupted) {
            EXPECT_EQ(read_all(target), "older");
        } else {
            ASSERT_EQ(status, 0) << read_all(folder + "err");
        }
    }
    EXPECT_TRUE(interrupted) << "every save finished before the signal";
    for (const char *name : {"big.lws", "target.lws", "out", "err"}) std::remove((folder + name).c_str());
    rmdir(folder.c_str());
}

#else

std::vector<std::string> temporary_files_of(const std::string &folder, const std::string &target_name) {
    std::vector<std::string> found;
    WIN32_FIND_DATAA entry;
    const HANDLE search = FindFirstFileA((folder + "." + target_name + ".*").c_str(), &entry);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &entry) != 0)
        found.push_back(entry.cFileName);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return found;
}

// The tool ended from outside while it writes the scene (Ctrl+C, a closed
// console, Task Manager): the old file stays whole and no temporary file
// stays beside it.
TEST(ToolSave, EndedWhileSavingLeavesTheTargetWholeAndNoTemporaryFile) {
    const std::string folder =
        ::testing::TempDir() + "tool_ended_" + std::to_string(GetCurrentProcessId()) + "\\";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    const std::string scene = folder + "big.lws", target = folder + "target.lws";
    write_all(scene, big_scene(300000));
    std::string command = "\"" KR_LWHEADLESS_PATH "\" \"" + plugin_path() + "\" -e \"load " + scene +
                          "\" -e \"save --force " + target + "\"";

    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE quiet = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(quiet, INVALID_HANDLE_VALUE);
    bool ended = false;
    for (int attempt = 0; attempt < 3 && !ended; ++attempt) {
        write_all(target, "older");
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = quiet;
        PROCESS_INFORMATION child{};
        ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child));
        // Ends it as soon as the temporary file appears; a save that wins the
        // race is tried again.
        bool stopped = false;
        for (int waited = 0; !stopped && waited < 60000; ++waited) {
            if (!temporary_files_of(folder, "target.lws").empty()) stopped = TerminateProcess(child.hProcess, 130) != 0;
            else if (WaitForSingleObject(child.hProcess, 1) == WAIT_OBJECT_0) break;
        }
        WaitForSingleObject(child.hProcess, INFINITE);
        DWORD status = 0;
        GetExitCodeProcess(child.hProcess, &status);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
        ended = stopped && status == 130;
        EXPECT_EQ(temporary_files_of(folder, "target.lws"), std::vector<std::string>());
        if (ended) EXPECT_EQ(read_all(target), "older");
        else ASSERT_EQ(status, 0u);
    }
    CloseHandle(quiet);
    EXPECT_TRUE(ended) << "every save finished before the tool was ended";
    for (const char *name : {"big.lws", "target.lws"}) std::remove((folder + name).c_str());
    RemoveDirectoryA(folder.c_str());
}

#endif

}  // namespace
}  // namespace headless
