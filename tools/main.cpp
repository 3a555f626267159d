// lwheadless: runs a Layout plug-in's commands without Layout.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "host/core/host.h"
#include "host/core/plugin_library.h"
#include "script_runner.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // a statement failed, a file could not be read, or a fault
constexpr int kExitUsage = 2;
constexpr int kExitBadPlugin = 3;

const char kUsageLine[] = "usage: lwheadless [options] PLUGIN [SCRIPT...]\n";

void print_help(std::ostream &out) {
    out << kUsageLine
        << "\n"
           "Loads a Layout plug-in module (the .p file) into a headless stand-in for\n"
           "Layout, then runs script statements on an in-memory scene and prints what\n"
           "the host received: messages, questions and command texts.\n"
           "\n"
           "options:\n"
           "  -e STATEMENT   run one statement (may be given several times)\n"
           "  --list         list the plug-in's servers\n"
           "  --help         show this text\n"
           "\n"
           "statements (one per line in a script; # starts a comment):\n"
           "  object NAME | light NAME | camera NAME   add an item\n"
           "  bone OBJECT NAME                          add a bone to an object\n"
           "  parent ITEM PARENT|none                   set an item's parent\n"
           "  color ITEM VALUE                          the item's colour: 0 to 14, or a value with bit 0x1000000\n"
           "  select ITEM...                            select items (by name or 0x id)\n"
           "  time SECONDS                              set the current time\n"
           "  build NUMBER                              the host build the plug-in sees\n"
           "  parent-in-place on|off                    the host's Parent in Place option\n"
           "  answer yes|no                             answer the next yes/no question\n"
           "  withhold SERVICE                          make a host service look absent\n"
           "                                            (LWLMonFuncs: a host without a progress monitor)\n"
           "  abort-after STEPS | off                   press Abort in the next progress monitor that opens\n"
           "                                            with an Abort button: its first STEPS step calls go\n"
           "                                            through (message-only steps count), the next one and\n"
           "                                            every later one answer abort; abort-after 0 aborts\n"
           "                                            at the first step. Once only: later monitors run\n"
           "                                            on; off takes back a press not yet used\n"
           "  run SERVER [ARGUMENTS]                    run a server, e.g. run KR_memItem, with the\n"
           "                                            arguments Layout's command line would pass; after\n"
           "                                            KR_setParent_wPos or KR_unParent_wPos it reports\n"
           "                                            how far the selected items' world motion moved\n"
           "  tolerance DISTANCE [DEGREES [PERCENT]] | off\n"
           "                                            pass them (or off) to each later KR_setParent_wPos\n"
           "                                            or KR_unParent_wPos run given no arguments: the\n"
           "                                            plug-in holds the items' world motion within them\n"
           "                                            at every frame and half frame (PERCENT: world\n"
           "                                            scale); the report judges the frames and half\n"
           "                                            frames by 1.5 times them, also for a run's own\n"
           "                                            arguments\n"
           "  generic-version NUMBER                    the generic record's version the host passes (6;\n"
           "                                            older hosts pass no command arguments)\n"
           "  report-json FILE                          also write each later KR_setParent_wPos or\n"
           "                                            KR_unParent_wPos report to FILE, one JSON object a line\n"
           "  load FILE.lws                             read a LightWave scene file (LWSC 1 or later);\n"
           "                                            it replaces the scene in memory\n"
           "  save [--force] FILE.lws                   write the loaded scene with the changes made;\n"
           "                                            an existing file is replaced only with --force\n"
           "                                            (before or after the name; quote a name\n"
           "                                            that starts with -)\n"
           "  panel ACTION                              what the user does in the next panel, in order:\n"
           "      click NODE                              pick a tree node by its item name\n"
           "      ctrl-click | shift-click | alt-click NODE  the same with a modifier held\n"
           "                                              (qualifier words 9, 18 and 4; ctrl-shift-click\n"
           "                                              and other mixes OR them)\n"
           "      key KEY                                 press a key: one character, enter, space, or a code\n"
           "      toggle LABEL                            flip an on/off button or a check box\n"
           "      set LABEL NUMBER                        type a number into a field: set Distance 0.001\n"
           "      button LABEL                            push a button, e.g. button Expand\n"
           "      ok | cancel                             close the panel\n"
           "      svg FILE                                save a picture of the panel as it stands\n"
           "      show                                    print the panel as it stands\n"
           "    a panel whose actions run out is cancelled; the actions are used by the\n"
           "    panels of the next run statements, e.g. run KR_Tandrel or run KR_wPosTolerance\n"
           "  servers | scene                           print the servers or the scene\n"
           "\n"
           "Items are chosen by name (as Layout shows it, e.g. \"Null (1)\" for the second\n"
           "\"Null\") or by id (0x10000001); a name with blanks goes in double quotes, as in\n"
           "select \"Wheel (3)\" RearAxle. Relative file names in a script are taken from\n"
           "the script's folder, in -e statements from the current folder.\n"
           "\n"
           "On a terminal, standard error shows how far loading a big scene and\n"
           "re-parenting many items have come, and the progress monitor a command\n"
           "opens (\"KR_setParent_wPos: 12/60 Cup\"), wiped when it is done.\n"
           "\n"
           "exit codes:\n"
           "  0  success\n"
           "  1  a statement failed (the run stops there), a script could not be read,\n"
           "     or the run met a fault: the plug-in showed an error or a warning or\n"
           "     ended with a failure code, the host did not apply a command text the\n"
           "     plug-in sent, an item was to become its own parent, or the world motion\n"
           "     report warned (world scale changed, shear, nothing to un-parent, an\n"
           "     item Layout moves by more than its keys, which this host cannot check,\n"
           "     or world motion beyond the tolerance). A tolerance not held is also the\n"
           "     plug-in's warning. Statements go on after a\n"
           "     fault, as they would in Layout. Each failure and fault is printed on\n"
           "     standard error, with the script line; info messages and questions\n"
           "     answered as scripted are no faults.\n"
           "  2  bad usage, such as a first argument that is no plug-in module\n"
           "  3  the plug-in could not be loaded\n";
}

// A script's whole text, or why it cannot be read.
bool read_script(const std::string &path, std::string *text, std::string *error) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *error = "cannot read script " + path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[1 << 14];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text->append(buffer, n);
    const int why = errno;
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) *error = "cannot read script " + path + ": " + std::strerror(why);
    return !failed;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string plugin_path;
    std::vector<std::pair<bool, std::string>> steps;  // (is script file, text)
    bool list = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--help" || arg == "-h") {
            print_help(std::cout);
            return kExitOk;
        } else if (arg == "--list") {
            list = true;
        } else if (arg == "-e") {
            if (i + 1 == args.size()) {
                std::cerr << "lwheadless: -e needs a statement\n";
                return kExitUsage;
            }
            steps.emplace_back(false, args[++i]);
        } else if (!arg.empty() && arg[0] == '-') {
            std::cerr << "lwheadless: unknown option " << arg << " (see --help)\n";
            return kExitUsage;
        } else if (plugin_path.empty()) {
            plugin_path = arg;
        } else {
            steps.emplace_back(true, arg);
        }
    }
    if (plugin_path.empty()) {
        print_help(std::cerr);
        return kExitUsage;
    }

    headless::Host host;
    std::string error;
    bool not_a_module = false;
    std::unique_ptr<headless::PluginLibrary> plugin = headless::PluginLibrary::open(plugin_path, &error, &not_a_module);
    if (!plugin) {
        std::cerr << "lwheadless: " << error << "\n";
        if (!not_a_module) return kExitBadPlugin;
        std::cerr << "lwheadless: the plug-in module (the .p file) comes first, then the scripts\n" << kUsageLine;
        return kExitUsage;
    }
    headless::ScriptRunner runner(host, *plugin, std::cout);
    runner.set_fault_stream(&std::cerr);
    if (list) runner.print_servers();
    for (const auto &step : steps) {
        if (step.first) {
            std::string text;
            if (!read_script(step.second, &text, &error)) {
                std::cerr << "lwheadless: " << error << "\n";
                return kExitFailed;
            }
            std::istringstream in(text);
            if (!runner.run_script(in, step.second, &error)) {
                std::cerr << "lwheadless: " << error << "\n";
                return kExitFailed;
            }
        } else if (!runner.run_statement(step.second, &error, "-e " + step.second)) {
            std::cerr << "lwheadless: -e " << step.second << ": " << error << "\n";
            return kExitFailed;
        }
    }
    for (const headless::Violation &v : host.violations)
        std::cerr << "lwheadless: host contract violated: " << v.text << "\n";
    // A fault (a tolerance not held among them) still lets the script save what was reached.
    return host.violations.empty() && runner.faults().empty() ? kExitOk : kExitFailed;
}
