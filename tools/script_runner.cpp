#include "script_runner.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <iterator>
#include <new>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "host/core/monitor_service.h"
#include "host/scene_file/file_paths.h"
#include "host/scene_file/lws_reader.h"
#include "host/scene_file/lws_writer.h"
#include "host/panel_toolkit/panel_toolkit.h"
#include "interface/server_names.h"
#include "host/motion/world_motion_report.h"

namespace headless {
namespace {

bool parse_double(const std::string &text, double *out) {
    if (text.empty()) return false;
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0') return false;
    *out = value;
    return true;
}

bool parse_unsigned(const std::string &text, unsigned long *out) {
    if (text.empty() || text[0] == '-') return false;
    char *end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0') return false;
    *out = value;
    return true;
}

// The rest of the line after the first `skip` words, for names with blanks.
struct Word {
    std::string text;
    size_t begin;  // where it starts in the line, its quote included
    size_t end;    // after it, its closing quote included
    bool quoted;
};

// Words are separated by blanks; a word in double quotes may hold blanks
// (item names such as "Wheel (3)"). An unclosed quote runs to the line's end.
std::vector<Word> scan_words(const std::string &line) {
    std::vector<Word> words;
    size_t pos = 0;
    while ((pos = line.find_first_not_of(" \t\r", pos)) != std::string::npos) {
        Word word{"", pos, pos, line[pos] == '"'};
        if (word.quoted) {
            const size_t close = line.find('"', pos + 1);
            const size_t end = close == std::string::npos ? line.size() : close;
            word.text = line.substr(pos + 1, end - pos - 1);
            pos = close == std::string::npos ? line.size() : close + 1;
        } else {
            const size_t end = std::min(line.find_first_of(" \t\r", pos), line.size());
            word.text = line.substr(pos, end - pos);
            pos = end;
        }
        word.end = pos;
        words.push_back(std::move(word));
    }
    return words;
}

// The rest of the line after the first `skip` words, for names with blanks;
// a rest that is one quoted word loses its quotes.
std::string rest_after(const std::string &line, size_t skip) {
    const std::vector<Word> words = scan_words(line);
    if (words.size() <= skip) return "";
    if (words.size() == skip + 1) return words[skip].text;
    const size_t end = line.find_last_not_of(" \t\r");
    return line.substr(words[skip].begin, end - words[skip].begin + 1);
}

// Whether the statement has `count` words, its verb included; says the usage when not.
bool need(const std::vector<std::string> &words, size_t count, const char *usage, std::string *error) {
    if (words.size() >= count) return true;
    *error = std::string("usage: ") + usage;
    return false;
}

// "enter", "space", one character, or a key code (decimal or 0x hex).
bool parse_key(const std::string &text, unsigned short *key) {
    if (text == "enter") {
        *key = host_abi::kKeyReturnCharacter;
    } else if (text == "space") {
        *key = ' ';
    } else if (text.size() == 1) {
        *key = static_cast<unsigned char>(text[0]);
    } else {
        unsigned long value = 0;
        if (!parse_unsigned(text, &value) || value > 0xFFFF) return false;
        *key = static_cast<unsigned short>(value);
    }
    return true;
}

// "click", "ctrl-click", "ctrl-shift-click"...: the qualifier word of the click.
bool parse_click(const std::string &verb, int *qualifiers) {
    *qualifiers = 0;
    std::string rest = verb;
    while (rest != "click") {
        const size_t dash = rest.find('-');
        if (dash == std::string::npos) return false;
        const std::string modifier = rest.substr(0, dash);
        if (modifier == "ctrl")
            *qualifiers |= host_abi::kQualifierCtrl;
        else if (modifier == "shift")
            *qualifiers |= host_abi::kQualifierShift;
        else if (modifier == "alt")
            *qualifiers |= host_abi::kQualifierAlt;
        else
            return false;
        rest = rest.substr(dash + 1);
    }
    return true;
}

// "KR_setParent_wPos: 12/60 Cup" while a progress monitor is open, written
// over in place on one terminal line and wiped when the monitor is done.
struct MonitorLine {
    size_t width = 0;  // of the text standing on the line now

    void operator()(const Monitor &monitor) {
        std::string text;
        if (monitor.state == Monitor::State::Running) {
            if (!monitor.title.empty()) text = monitor.title + ": ";
            text += std::to_string(monitor.steps);
            if (monitor.total > 0) text += "/" + std::to_string(monitor.total);
            if (!monitor.message.empty()) text += " " + monitor.message;
            for (char &c : text)
                if (static_cast<unsigned char>(c) < 0x20) c = ' ';  // a line break would leave the line
            // Kept within one line of an 80-column terminal, or the carriage return
            // would go back to a wrapped part only; a cut never splits a UTF-8 character.
            constexpr size_t kColumns = 79;
            if (text.size() > kColumns) {
                size_t cut = kColumns;
                while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
                text.resize(cut);
            }
        }
        if (text.empty() && width == 0) return;
        // Blanks cover what a longer text before left; the cursor waits at the line's start.
        const size_t shown = text.size();
        if (shown < width) text.append(width - shown, ' ');
        std::fprintf(stderr, "%s\r", text.c_str());
        std::fflush(stderr);
        width = shown;
    }
};

// Progress goes to standard error only when someone watches it there; a log
// file would fill with carriage returns.
bool stderr_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

// "KR_unParent_wPos: item 12 of 60" on a terminal while a re-parent works
// through many items. The plug-in cannot print; the host sees the
// "SelectItem" text it sends before it works on each item. A command that
// opened the progress monitor has its line shown instead: the two would
// write over each other.
class ItemProgress {
public:
    ItemProgress(Host &host, const std::string &what, const std::vector<ItemIdValue> &items) : host_(host) {
        if (items.size() < 2 || !stderr_is_terminal()) return;
        for (size_t i = 0; i < items.size(); ++i) place_.emplace(items[i], i + 1);
        host.command_observer = [this, what, total = items.size(),
                                 first_monitor = host.monitors().all().size()](const CommandRecord &command) {
            const auto &monitors = host_.monitors().all();
            for (size_t m = first_monitor; m < monitors.size(); ++m)
                if (monitors[m].state != Monitor::State::Created) return;
            static const char kVerb[] = "SelectItem ";
            if (command.text.compare(0, sizeof kVerb - 1, kVerb) != 0) return;
            const auto found = place_.find(
                static_cast<ItemIdValue>(std::strtoul(command.text.c_str() + sizeof kVerb - 1, nullptr, 16)));
            if (found == place_.end()) return;
            std::fprintf(stderr, "%s: item %zu of %zu\r", what.c_str(), found->second, total);
            shown_ = true;
        };
    }
    ~ItemProgress() {
        host_.command_observer = nullptr;
        if (shown_) std::fprintf(stderr, "\n");
    }
    ItemProgress(const ItemProgress &) = delete;
    ItemProgress &operator=(const ItemProgress &) = delete;

private:
    Host &host_;
    std::unordered_map<ItemIdValue, size_t> place_;
    bool shown_ = false;
};

}  // namespace

std::vector<std::string> split_words(const std::string &line) {
    std::vector<std::string> words;
    for (Word &word : scan_words(line)) words.push_back(std::move(word.text));
    return words;
}

ScriptRunner::ScriptRunner(Host &host, PluginLibrary &plugin, std::ostream &out)
    : host_(host), plugin_(plugin), out_(out) {
    if (stderr_is_terminal()) host_.monitors().observer = MonitorLine();
}

std::string ScriptRunner::item_label(ItemIdValue id) const {
    const Item *item = host_.scene().find(id);
    if (!item) return id ? "<" + item_id_text(id) + ">" : "(none)";
    return item->name + " [" + item_id_text(id) + "]";
}

bool ScriptRunner::resolve_item(const std::string &name_or_id, ItemIdValue *id, std::string *error) const {
    if (const Item *item = host_.scene().find_by_name(name_or_id)) {
        *id = item->id;
        return true;
    }
    unsigned long value = 0;
    if (name_or_id.size() > 2 && name_or_id.compare(0, 2, "0x") == 0 && parse_unsigned(name_or_id, &value) &&
        host_.scene().find(static_cast<ItemIdValue>(value))) {
        *id = static_cast<ItemIdValue>(value);
        return true;
    }
    *error = "no item named '" + name_or_id + "'";
    return false;
}

void ScriptRunner::print_servers() const {
    out_ << "plug-in " << plugin_.path() << ": " << plugin_.servers().size() << " servers\n";
    for (const ServerInfo &server : plugin_.servers()) {
        out_ << "  " << server.class_name << "  " << server.name;
        out_ << "  user name: " << (server.user_name.empty() ? "(none)" : "\"" + server.user_name + "\"");
        out_ << "  group: " << (server.command_group.empty() ? "(none)" : "\"" + server.command_group + "\"") << "\n";
    }
}

void ScriptRunner::print_scene() const {
    const Scene &scene = host_.scene();
    out_ << "scene: time " << scene.time << " s, " << scene.frames_per_second << " fps, parent in place "
         << ((scene.general_flags & host_abi::kGeneralFlagParentInPlace) ? "on" : "off") << "\n";
    for (ItemIdValue id : scene.all_items()) {
        const Item &item = *scene.find(id);
        out_ << "  " << item_kind_name(item.kind) << " " << item_label(id);
        if (item.parent) out_ << "  parent " << item_label(item.parent);
        const std::pair<const char *, ItemIdValue> links[] = {
            {"target", item.target},         {"goal", item.goal},
            {"pole", item.pole},             {"position item", item.position_item},
            {"rotation item", item.rotation_item}, {"scale item", item.scale_item},
        };
        for (const auto &link : links)
            if (link.second) out_ << "  " << link.first << " " << item_label(link.second);
        if (item.controllers != std::array<int, 3>{0, 0, 0})
            out_ << "  controllers H " << item.controllers[0] << " P " << item.controllers[1] << " B "
                 << item.controllers[2];
        if (item.flags & host_abi::kItemFlagFullTimeIk) out_ << "  full-time IK";
        out_ << "\n";
    }
    out_ << "  selection:";
    for (ItemIdValue id : scene.selection) out_ << " " << item_label(id);
    out_ << (scene.selection.empty() ? " (nothing)\n" : "\n");
}

void ScriptRunner::report_since(size_t first_message, size_t first_command) const {
    for (size_t i = first_message; i < host_.messages.size(); ++i) {
        const MessageRecord &m = host_.messages[i];
        out_ << "  message " << m.kind << ": ";
        if (!m.title.empty()) out_ << "[" << m.title << "] ";
        out_ << "\"" << m.text << "\"";
        if (m.has_text2) out_ << " \"" << m.text2 << "\"";
        if (m.kind.find('/') != std::string::npos) out_ << " -> answered " << m.answer;
        out_ << "\n";
    }
    for (size_t i = first_command; i < host_.commands.size(); ++i) {
        const CommandRecord &c = host_.commands[i];
        out_ << "  command \"" << c.text << "\"";
        if (!c.ok) out_ << " (not applied: " << c.error << ")";
        out_ << "\n";
    }
}

void ScriptRunner::note_fault(const std::string &what) {
    faults_.push_back(where_.empty() ? what : where_ + ": " + what);
    if (fault_stream_) *fault_stream_ << "lwheadless: " << faults_.back() << "\n" << std::flush;
}

void ScriptRunner::note_run_faults(const ServerInfo &server, int result, size_t first_message,
                                   size_t first_command, const std::vector<ItemIdValue> &selected) {
    bool complained = false;
    for (size_t i = first_message; i < host_.messages.size(); ++i) {
        const MessageRecord &m = host_.messages[i];
        if (m.kind != "error" && m.kind != "warning") continue;
        complained = true;
        note_fault(server.name + (m.kind == "error" ? " showed an error: \"" : " warned: \"") + m.text + "\"" +
                   (m.has_text2 ? " \"" + m.text2 + "\"" : ""));
    }
    for (size_t i = first_command; i < host_.commands.size(); ++i) {
        const CommandRecord &c = host_.commands[i];
        if (!c.ok) note_fault(server.name + ": the host did not apply \"" + c.text + "\": " + c.error);
    }
    if (result != host_abi::kResultOk)
        note_fault(server.name + " ended with code " + std::to_string(result) +
                   (result == host_abi::kResultBadGlobal ? " (a host service it needs is missing)" : ""));
    if (result != host_abi::kResultOk || complained) return;
    // The plug-in memorizes the first selected item and, in a re-parent that
    // keeps world motion, passes over an item given itself as parent without
    // a word; the tool says it.
    if (server.name == kServerNames[kServerMemItem].name && !selected.empty()) memorized_ = selected[0];
    if (server.name == kServerNames[kServerSetParentWPos].name && memorized_ &&
        std::find(selected.begin(), selected.end(), memorized_) != selected.end())
        note_fault(item_label(memorized_) + ": an item cannot be its own parent; " + server.name +
                   " left it as it was");
}

bool ScriptRunner::run_statement(const std::string &line, std::string *error, const std::string &where) {
    where_ = where;
    // Whatever a statement meets, the tool reports it and goes no further.
    try {
        return execute(line, error);
    } catch (const std::bad_alloc &) {
        *error = "out of memory";
    } catch (const std::exception &e) {
        *error = std::string("failed: ") + e.what();
    }
    return false;
}

bool ScriptRunner::execute(const std::string &line, std::string *error) {
    const std::vector<std::string> words = split_words(line);
    if (words.empty() || words[0][0] == '#') return true;
    using Handler = bool (ScriptRunner::*)(const Words &, const std::string &, std::string *);
    static const struct {
        const char *verb;
        Handler handler;
    } kVerbs[] = {
        {"object", &ScriptRunner::add_item},
        {"light", &ScriptRunner::add_item},
        {"camera", &ScriptRunner::add_item},
        {"bone", &ScriptRunner::add_bone},
        {"parent", &ScriptRunner::set_parent},
        {"select", &ScriptRunner::select_items},
        {"time", &ScriptRunner::set_time},
        {"build", &ScriptRunner::set_build},
        {"color", &ScriptRunner::set_color},
        {"parent-in-place", &ScriptRunner::set_parent_in_place},
        {"answer", &ScriptRunner::queue_answer},
        {"abort-after", &ScriptRunner::press_abort_after},
        {"withhold", &ScriptRunner::withhold_service},
        {"run", &ScriptRunner::run_server},
        {"tolerance", &ScriptRunner::set_tolerance},
        {"report-json", &ScriptRunner::open_report_json},
        {"generic-version", &ScriptRunner::set_generic_version},
        {"panel", &ScriptRunner::queue_panel_action},
        {"load", &ScriptRunner::load_scene},
        {"save", &ScriptRunner::save_scene},
        {"servers", &ScriptRunner::show_servers},
        {"scene", &ScriptRunner::show_scene},
    };
    const std::string &verb = words[0];
    const auto found = std::find_if(std::begin(kVerbs), std::end(kVerbs),
                                    [&](const auto &entry) { return verb == entry.verb; });
    if (found == std::end(kVerbs)) {
        *error = "unknown statement '" + verb + "'";
        return false;
    }
    if (!(this->*found->handler)(words, line, error)) return false;
    // Only a statement that ran changes what the plug-in reads.
    host_.publish();
    return true;
}

bool ScriptRunner::add_item(const Words &words, const std::string &line, std::string *error) {
    if (!need(words, 2, "object|light|camera NAME", error)) return false;
    const std::string &verb = words[0];
    const std::string name = rest_after(line, 1);
    Scene &scene = host_.scene();
    const ItemIdValue id = verb == "object" ? scene.add_object(name)
                           : verb == "light" ? scene.add_light(name)
                                             : scene.add_camera(name);
    if (!id) {
        *error = "too many items of this kind";
        return false;
    }
    return true;
}

bool ScriptRunner::add_bone(const Words &words, const std::string &line, std::string *error) {
    if (!need(words, 3, "bone OBJECT NAME", error)) return false;
    ItemIdValue object = 0;
    if (!resolve_item(words[1], &object, error)) return false;
    if (kind_of(object) != ItemKind::Object) {
        *error = "'" + words[1] + "' is not an object";
        return false;
    }
    if (!host_.scene().add_bone(object, rest_after(line, 2))) {
        *error = "too many bones in '" + words[1] + "'";
        return false;
    }
    return true;
}

bool ScriptRunner::set_parent(const Words &words, const std::string &, std::string *error) {
    if (!need(words, 3, "parent ITEM PARENT|none", error)) return false;
    ItemIdValue item = 0, parent = 0;
    if (!resolve_item(words[1], &item, error)) return false;
    if (words[2] != "none" && !resolve_item(words[2], &parent, error)) return false;
    const std::string refused = host_.scene().set_parent(item, parent);
    if (!refused.empty()) {
        *error = refused;
        return false;
    }
    return true;
}

bool ScriptRunner::select_items(const Words &words, const std::string &, std::string *error) {
    std::vector<ItemIdValue> chosen;
    for (size_t i = 1; i < words.size(); ++i) {
        ItemIdValue id = 0;
        if (!resolve_item(words[i], &id, error)) return false;
        chosen.push_back(id);
    }
    host_.scene().selection = chosen;
    return true;
}

bool ScriptRunner::set_time(const Words &words, const std::string &, std::string *error) {
    if (!need(words, 2, "time SECONDS", error) || !parse_double(words[1], &host_.scene().time)) {
        *error = "usage: time SECONDS";
        return false;
    }
    return true;
}

bool ScriptRunner::set_build(const Words &words, const std::string &, std::string *error) {
    unsigned long build = 0;
    if (!need(words, 2, "build NUMBER", error) || !parse_unsigned(words[1], &build) || build > 0xFFF) {
        *error = "usage: build NUMBER (0 to 4095)";
        return false;
    }
    host_.set_build(static_cast<uint32_t>(build));
    return true;
}

bool ScriptRunner::set_color(const Words &words, const std::string &, std::string *error) {
    unsigned long value = 0;
    ItemIdValue item = 0;
    if (words.size() != 3 || !parse_unsigned(words[2], &value) || value > 0xFFFFFFFFul) {
        *error = "usage: color ITEM VALUE";
        return false;
    }
    if (!resolve_item(words[1], &item, error)) return false;
    host_.scene().find(item)->color = static_cast<int>(static_cast<uint32_t>(value));
    return true;
}

bool ScriptRunner::set_parent_in_place(const Words &words, const std::string &, std::string *error) {
    if (words.size() != 2 || (words[1] != "on" && words[1] != "off")) {
        *error = "usage: parent-in-place on|off";
        return false;
    }
    Scene &scene = host_.scene();
    if (words[1] == "on")
        scene.general_flags |= host_abi::kGeneralFlagParentInPlace;
    else
        scene.general_flags &= ~host_abi::kGeneralFlagParentInPlace;
    return true;
}

bool ScriptRunner::queue_answer(const Words &words, const std::string &, std::string *error) {
    if (words.size() != 2 || (words[1] != "yes" && words[1] != "no")) {
        *error = "usage: answer yes|no";
        return false;
    }
    host_.yes_no_answers.push_back(words[1] == "yes" ? 1 : 0);
    return true;
}

bool ScriptRunner::press_abort_after(const Words &words, const std::string &, std::string *error) {
    if (words.size() == 2 && words[1] == "off") {
        host_.monitors().cancel_abort();
        return true;
    }
    // Decimal only: a count read as octal for a leading 0 would surprise.
    const bool digits = words.size() == 2 && words[1].size() <= 19 &&
                        words[1].find_first_not_of("0123456789") == std::string::npos && !words[1].empty();
    if (!digits) {
        *error = "usage: abort-after STEPS | abort-after off";
        return false;
    }
    host_.monitors().abort_after(std::strtoull(words[1].c_str(), nullptr, 10));
    return true;
}

bool ScriptRunner::withhold_service(const Words &words, const std::string &line, std::string *error) {
    if (!need(words, 2, "withhold SERVICE NAME", error)) return false;
    host_.withhold(rest_after(line, 1));
    return true;
}

bool ScriptRunner::run_server(const Words &words, const std::string &line, std::string *error) {
    if (!need(words, 2, "run SERVER [ARGUMENTS]", error)) return false;
    const ServerInfo *server = plugin_.find(words[1]);
    if (!server) {
        *error = "the plug-in has no server '" + words[1] + "'";
        return false;
    }
    Scene &scene = host_.scene();
    const size_t first_message = host_.messages.size();
    const size_t first_command = host_.commands.size();
    PanelToolkit &panels = host_.panels();
    const size_t first_log = panels.log.size();
    const size_t first_script_error = panels.script_errors.size();
    // The re-parents that keep world motion also say how well they kept it.
    const bool unparenting = server->name == kServerNames[kServerUnParentWPos].name;
    const bool keeps_world_motion = unparenting || server->name == kServerNames[kServerSetParentWPos].name;
    // What follows the server's name goes to it as Layout passes a command
    // line's arguments; the keyed re-parents otherwise get the `tolerance`.
    std::string arguments = words.size() > 2 ? rest_after(line, 2) : std::string();
    if (arguments.empty() && keeps_world_motion) arguments = tolerance_arguments_;
    // The report judges the tolerance asked for, even where the host passes
    // the plug-in no arguments: the user asked for it.
    WorldMotionBefore before;
    if (keeps_world_motion) before = record_world_motion(scene, unparenting, read_judged_tolerance(arguments));
    const std::vector<ItemIdValue> selected = scene.selection;
    int result = 0;
    {
        ItemProgress progress(host_, server->name, keeps_world_motion ? selected : std::vector<ItemIdValue>());
        result = host_.activate(*server->record, arguments);
    }
    out_ << "run " << server->name << (words.size() > 2 ? " " + arguments : std::string()) << " -> " << result << "\n";
    for (size_t i = first_log; i < panels.log.size(); ++i) out_ << "  panel: " << panels.log[i] << "\n";
    report_since(first_message, first_command);
    note_run_faults(*server, result, first_message, first_command, selected);
    int motion_warnings = 0;
    if (keeps_world_motion) {
        const WorldMotionMeasure measure = measure_world_motion(scene, before);
        print_world_motion(out_, measure);
        motion_warnings = measure.warnings();
        std::string why;
        if (report_json_.is_open() &&
            !report_json_.append(world_motion_json(RunFacts{server->name, arguments, scene_file_, result}, measure),
                                 &why))
            note_fault("report-json: " + why);
    }
    if (motion_warnings > 0)
        note_fault(server->name + ": the world motion report gave " + std::to_string(motion_warnings) +
                   " warning(s)");
    if (panels.script_errors.size() > first_script_error) {
        *error = "panel: " + panels.script_errors[first_script_error];
        return false;
    }
    return true;
}

bool ScriptRunner::set_tolerance(const Words &words, const std::string &, std::string *error) {
    static const char kUsage[] = "usage: tolerance DISTANCE [DEGREES [PERCENT]] | tolerance off";
    if (words.size() == 2 && words[1] == "off") {
        tolerance_arguments_ = "off";
        return true;
    }
    if (words.size() < 2 || words.size() > 4) {
        *error = kUsage;
        return false;
    }
    std::string arguments;
    for (size_t i = 1; i < words.size(); ++i) {
        char *end = nullptr;
        const double value = std::strtod(words[i].c_str(), &end);
        if (words[i].empty() || *end != '\0' || !std::isfinite(value) || !(value > 0.0)) {
            *error = "tolerance: '" + words[i] + "' is not a positive number; " + kUsage;
            return false;
        }
        arguments += (i > 1 ? " " : "") + words[i];
    }
    tolerance_arguments_ = arguments;
    return true;
}

bool ScriptRunner::open_report_json(const Words &words, const std::string &line, std::string *error) {
    if (words.size() < 2) {
        *error = "usage: report-json FILE";
        return false;
    }
    return report_json_.open(resolve_path(rest_after(line, 1)), error);
}

bool ScriptRunner::set_generic_version(const Words &words, const std::string &, std::string *error) {
    unsigned long version = 0;
    if (!need(words, 2, "generic-version NUMBER", error) || !parse_unsigned(words[1], &version) || version < 1 ||
        version > 7) {
        *error = "usage: generic-version NUMBER (1 to 7; 6 and later pass command arguments)";
        return false;
    }
    host_.set_generic_version(static_cast<int>(version));
    return true;
}

bool ScriptRunner::show_servers(const Words &, const std::string &, std::string *) {
    print_servers();
    return true;
}

bool ScriptRunner::show_scene(const Words &, const std::string &, std::string *) {
    print_scene();
    return true;
}

std::string ScriptRunner::resolve_path(const std::string &path) const {
    const bool absolute = (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
                          (path.size() > 1 && path[1] == ':');
    return absolute || base_directory_.empty() ? path : base_directory_ + path;
}

bool ScriptRunner::load_scene(const Words &words, const std::string &line, std::string *error) {
    if (words.size() < 2) {
        *error = "usage: load FILE.lws";
        return false;
    }
    const std::string path = resolve_path(rest_after(line, 1));
    auto document = std::make_unique<LwsDocument>();
    Scene scene;
    bool progressed = false;
    auto progress = [&](size_t done, size_t total) {
        std::fprintf(stderr, "loading %s: %3d%%\r", path.c_str(), static_cast<int>(100.0 * done / total));
        progressed = true;
    };
    const bool loaded =
        read_lws_file(path, &scene, document.get(), error, stderr_is_terminal() ? LwsProgress(progress) : nullptr);
    if (progressed) std::fprintf(stderr, "\n");
    if (!loaded) return false;
    host_.scene() = std::move(scene);
    for (const std::string &warning : document->warnings) out_ << "  warning: " << warning << "\n";
    out_ << "loaded " << path << ": LWSC " << document->version << ", " << document->items.size() << " items\n";
    document_ = std::move(document);
    scene_file_ = path;
    return true;
}

bool ScriptRunner::save_scene(const Words &, const std::string &line, std::string *error) {
    static const char kUsage[] = "usage: save [--force] FILE.lws (or save FILE.lws --force)";
    // Options go before or after the file name, which may hold blanks; a name
    // that starts with '-' is written in double quotes.
    const std::vector<Word> words = scan_words(line);
    bool force = false;
    auto option = [&](const Word &word) {
        if (word.quoted || word.text.compare(0, 1, "-") != 0) return false;
        if (word.text == "--force") {
            force = true;
        } else if (error->empty()) {
            *error = "save: unknown option '" + word.text + "'; " + kUsage;
        }
        return true;
    };
    error->clear();
    size_t first = 1, last = words.size();
    while (first < last && option(words[first])) ++first;
    while (last > first && option(words[last - 1])) --last;
    if (!error->empty()) return false;
    if (first == last) {
        *error = kUsage;
        return false;
    }
    if (!document_) {
        *error = "no scene file loaded: save writes back a scene read with 'load'";
        return false;
    }
    const std::string name =
        last - first == 1 ? words[first].text : line.substr(words[first].begin, words[last - 1].end - words[first].begin);
    const std::string path = resolve_path(name);
    if (!write_lws_file(*document_, host_.scene(), path, force, error)) return false;
    out_ << "saved " << path << "\n";
    return true;
}

bool ScriptRunner::queue_panel_action(const Words &words, const std::string &line, std::string *error) {
    static const char kUsage[] =
        "usage: panel click|ctrl-click|shift-click|alt-click NODE | key KEY | toggle LABEL | button LABEL | "
        "set LABEL NUMBER | ok | cancel | svg FILE | show";
    if (words.size() < 2) {
        *error = kUsage;
        return false;
    }
    const std::string &what = words[1];
    const std::string argument = rest_after(line, 2);
    std::deque<PanelAction> &script = host_.panels().script;
    int qualifiers = 0;
    unsigned short key = 0;
    if (what == "ok" || what == "cancel" || what == "show") {
        if (words.size() != 2) {
            *error = kUsage;
            return false;
        }
        if (what == "ok") script.push_back(PanelAction::ok());
        if (what == "cancel") script.push_back(PanelAction::cancel());
        if (what == "show") {
            // Goes to the panel's log, so it prints in order with the run.
            PanelToolkit *panels = &host_.panels();
            script.push_back(PanelAction::look([panels](HeadlessPanel &panel) {
                std::istringstream lines(panel_text(panel));
                for (std::string row; std::getline(lines, row);) panels->log.push_back(row);
            }));
        }
        return true;
    }
    if (argument.empty()) {
        *error = kUsage;
        return false;
    }
    if (parse_click(what, &qualifiers)) {
        script.push_back(PanelAction::click(argument, qualifiers));
    } else if (what == "key") {
        if (!parse_key(argument, &key)) {
            *error = "usage: panel key CHARACTER|enter|space|CODE";
            return false;
        }
        script.push_back(PanelAction::press(key));
    } else if (what == "toggle") {
        script.push_back(PanelAction::toggle(argument));
    } else if (what == "button") {
        script.push_back(PanelAction::button(argument));
    } else if (what == "set") {
        // The label may hold blanks; the number is the last word.
        double number = 0;
        if (words.size() < 4 || !parse_double(words.back(), &number)) {
            *error = "usage: panel set LABEL NUMBER";
            return false;
        }
        std::string label = words[2];
        for (size_t i = 3; i + 1 < words.size(); ++i) label += " " + words[i];
        script.push_back(PanelAction::set_number(label, number));
    } else if (what == "svg") {
        script.push_back(PanelAction::svg(argument));
    } else {
        *error = kUsage;
        return false;
    }
    return true;
}

bool ScriptRunner::run_script(std::istream &in, const std::string &source_name, std::string *error) {
    const std::string saved_base = base_directory_;
    base_directory_ = folder_of(source_name);
    struct Restore {
        std::string &target, value;
        ~Restore() { target = value; }
    } restore{base_directory_, saved_base};
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::string why;
        if (!run_statement(line, &why, source_name + ":" + std::to_string(number))) {
            *error = source_name + ":" + std::to_string(number) + ": " + why;
            return false;
        }
    }
    return true;
}

}  // namespace headless
