// Runs a plug-in's commands on a headless scene from script statements, and
// reports what the host received.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "../host/host.h"
#include "../host/lws_document.h"
#include "../host/plugin_library.h"
#include "motion_tolerance.h"

namespace headless {

class ScriptRunner {
public:
    ScriptRunner(Host &host, PluginLibrary &plugin, std::ostream &out);

    // Runs one statement; returns false and sets `error` when it is malformed
    // or names something that does not exist.
    bool run_statement(const std::string &line, std::string *error);

    // Runs every statement of a script; stops at the first error, naming the
    // source and line.
    bool run_script(std::istream &in, const std::string &source_name, std::string *error);

    // True once a re-parent under `tolerance` left some item outside it.
    bool tolerance_unmet() const { return tolerance_unmet_; }

    void print_servers() const;
    void print_scene() const;

private:
    bool execute(const std::string &line, std::string *error);
    bool queue_panel_action(const std::vector<std::string> &words, const std::string &line, std::string *error);
    bool resolve_item(const std::string &name_or_id, ItemIdValue *id, std::string *error) const;
    void report_since(size_t first_message, size_t first_command) const;
    std::string item_label(ItemIdValue id) const;

    bool load_scene(const std::vector<std::string> &words, const std::string &line, std::string *error);
    bool save_scene(const std::string &line, std::string *error);
    std::string resolve_path(const std::string &path) const;

    Host &host_;
    PluginLibrary &plugin_;
    std::ostream &out_;
    // The loaded scene file, for `save`; relative paths in a script are taken
    // from the script's folder.
    std::unique_ptr<LwsDocument> document_;
    std::string base_directory_;
    // Set by `tolerance`: keys added after the keyed re-parents.
    ToleranceSettings tolerance_;
    bool tolerance_unmet_ = false;
};

std::vector<std::string> split_words(const std::string &line);

struct HeadlessPanel;
// The panel as text: its buttons and the visible rows of its tree.
void print_panel(std::ostream &out, const HeadlessPanel &panel);

}  // namespace headless
