// Runs a plug-in's commands on a headless scene from script statements, and
// reports what the host received.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "host/core/host.h"
#include "host/scene_file/lws_document.h"
#include "host/core/plugin_library.h"
#include "host/motion/json_lines_file.h"

namespace headless {

class ScriptRunner {
public:
    ScriptRunner(Host &host, PluginLibrary &plugin, std::ostream &out);

    // Runs one statement; returns false and sets `error` when it is malformed
    // or names something that does not exist. `where` names the statement in
    // the faults it meets (e.g. "shot.lwh:12").
    bool run_statement(const std::string &line, std::string *error, const std::string &where = std::string());

    // Runs every statement of a script; stops at the first error, naming the
    // source and line.
    bool run_script(std::istream &in, const std::string &source_name, std::string *error);

    // What a batch run must not take for success although the statement ran:
    // the plug-in showed an error or a warning, ended with a failure code, the
    // host refused a command text it sent, or an item was to become its own
    // parent. Info messages and questions answered as scripted are not faults.
    // The run goes on, as it would in Layout; each fault is told to the fault
    // stream (when set) as it happens, named by where it happened.
    const std::vector<std::string> &faults() const { return faults_; }
    void set_fault_stream(std::ostream *errors) { fault_stream_ = errors; }

    void print_servers() const;
    void print_scene() const;

private:
    bool execute(const std::string &line, std::string *error);
    bool resolve_item(const std::string &name_or_id, ItemIdValue *id, std::string *error) const;
    void report_since(size_t first_message, size_t first_command) const;
    void note_run_faults(const ServerInfo &server, int result, size_t first_message, size_t first_command,
                         const std::vector<ItemIdValue> &selected);
    void note_fault(const std::string &what);
    void show_progress_of(const ServerInfo &server, const std::vector<ItemIdValue> &selected);
    std::string item_label(ItemIdValue id) const;

    // One handler per statement verb, found by `execute` in its table. Each
    // gets the statement's words and its line (for names with blanks), and
    // returns false with `error` set.
    using Words = std::vector<std::string>;
    bool add_item(const Words &words, const std::string &line, std::string *error);
    bool add_bone(const Words &words, const std::string &line, std::string *error);
    bool set_parent(const Words &words, const std::string &line, std::string *error);
    bool select_items(const Words &words, const std::string &line, std::string *error);
    bool set_time(const Words &words, const std::string &line, std::string *error);
    bool set_build(const Words &words, const std::string &line, std::string *error);
    bool set_color(const Words &words, const std::string &line, std::string *error);
    bool set_parent_in_place(const Words &words, const std::string &line, std::string *error);
    bool queue_answer(const Words &words, const std::string &line, std::string *error);
    bool press_abort_after(const Words &words, const std::string &line, std::string *error);
    bool withhold_service(const Words &words, const std::string &line, std::string *error);
    bool run_server(const Words &words, const std::string &line, std::string *error);
    bool set_tolerance(const Words &words, const std::string &line, std::string *error);
    bool open_report_json(const Words &words, const std::string &line, std::string *error);
    bool set_generic_version(const Words &words, const std::string &line, std::string *error);
    bool queue_panel_action(const Words &words, const std::string &line, std::string *error);
    bool load_scene(const Words &words, const std::string &line, std::string *error);
    bool save_scene(const Words &words, const std::string &line, std::string *error);
    bool show_servers(const Words &words, const std::string &line, std::string *error);
    bool show_scene(const Words &words, const std::string &line, std::string *error);
    std::string resolve_path(const std::string &path) const;

    Host &host_;
    PluginLibrary &plugin_;
    std::ostream &out_;
    // The loaded scene file, for `save`; relative paths in a script are taken
    // from the script's folder.
    std::unique_ptr<LwsDocument> document_;
    std::string base_directory_;
    // Set by `tolerance`: the arguments later keyed re-parents get when the
    // run gives none ("" for none).
    std::string tolerance_arguments_;
    // Set by `report-json`: every later keyed re-parent's report, one JSON
    // line each, and the scene file loaded last, which the lines name.
    JsonLinesFile report_json_;
    std::string scene_file_;

    std::vector<std::string> faults_;
    std::ostream *fault_stream_ = nullptr;
    std::string where_;  // the statement running now, for its faults
    // The item the plug-in memorized last (its first selected item when
    // KR_memItem ran), to tell a re-parent onto itself.
    ItemIdValue memorized_ = 0;
};

std::vector<std::string> split_words(const std::string &line);

}  // namespace headless
