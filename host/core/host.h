// The headless host: stands in for Layout. It owns a scene, answers the
// global lookup with service records over that scene, records every message
// and command text a plug-in sends, and runs plug-in activations.
//
// The service records are plain C function tables with no context argument,
// as in the real host, so one Host is current at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "interface/host_api.h"
#include "interface/host_numbering.h"
#include "host/breaches/breaches.h"
#include "host/panel_toolkit/panel_owner.h"
#include "scene.h"

namespace headless {

class PluginLibrary;
class PanelToolkit;
class Monitors;
struct ServerInfo;

struct MessageRecord {
    std::string kind;  // "info", "error", "warning", "yes/no", "ok/cancel"
    std::string title;
    std::string text;
    std::string text2;
    bool has_text2 = false;
    int answer = 0;  // for questions: what the host answered
};

struct CommandRecord {
    std::string text;
    bool ok = false;
    std::string error;  // why the host did not apply it
};

// Applies one command text to the scene; returns an empty string when applied,
// else why not. Installed by the command interpreter.
using CommandApplier = std::function<std::string(class Host &, const std::string &)>;

constexpr uint32_t kDefaultBuild = 2700;

// The toolkit sees the host only as the owner of its panels.
class Host final : private PanelOwner {
public:
    Host();
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // The host whose services the plug-in currently sees.
    static Host *current() { return current_; }

    Scene &scene() { return scene_; }
    const Scene &scene() const { return scene_; }

    // ---- what the plug-in sees ----
    static GlobalLookupFn global_lookup();
    void *lookup(const char *service_name, int use_mode);
    // Makes the named service look absent.
    void withhold(const std::string &service_name);
    void restore(const std::string &service_name);
    // Sees every record the plug-in looks up and may hand out another in its
    // place (see hostile_host.h); the value of "Product Info" too.
    std::function<void *(const std::string &service_name, void *record)> service_filter;

    // "Product Info": the whole value, or just the build in bits 4 to 15.
    void set_product_info(uint32_t value) { product_info_ = value; }
    void set_build(uint32_t build);
    uint32_t product_info() const { return product_info_; }
    uint32_t build() const { return host_numbering::build_of_product_info(product_info_); }

    // Panels the plug-in builds, and the script of what the user does in them.
    PanelToolkit &panels() { return *panels_; }
    // The progress monitors the plug-in opens ("LWLMonFuncs"), and the Abort
    // button a script presses in them.
    Monitors &monitors() { return *monitors_; }

    // Size of the desktop's client area, for panels placed relative to it
    // (the "Headless Desktop" service).
    int desktop_width = 1920;
    int desktop_height = 1080;

    // ---- messages ----
    std::vector<MessageRecord> messages;
    // Answers to yes/no questions, used in order; when empty the default.
    std::deque<int> yes_no_answers;
    int default_yes_no = 1;
    void record_message(const char *kind, const char *title, const char *text, const char *text2);
    int answer_question(const char *kind, const char *title, const char *text, const char *text2);

    // ---- command texts ----
    std::vector<CommandRecord> commands;
    // Told of each command text once it is recorded, e.g. to show progress.
    std::function<void(const CommandRecord &)> command_observer;
    // Null: the texts go to apply_command_text on the scene, as Layout applies them.
    void set_command_applier(CommandApplier applier) { applier_ = std::move(applier); }
    int evaluate_command(const char *text);

    // ---- contract checks ----
    // Misuse seen so far: commands outside an activation, more than one host,
    // and whatever later services add. Tests expect this to stay empty.
    std::vector<Violation> violations;
    void violation(Breach breach, const std::string &what) override;

    // ---- activations ----
    // Runs one server's activation as the host would when the user runs it,
    // with `arguments` as the text typed after the command's name.
    int activate(const ServerRecord &server, const std::string &arguments = std::string());
    // The generic record's version the activations pass: 6 (with command
    // arguments) unless an older host is played.
    void set_generic_version(int version) { generic_version_ = version; }
    int generic_version() const { return generic_version_; }
    const std::string &command_arguments() const { return arguments_; }
    bool in_activation() const override { return activation_depth_ > 0; }
    // Counts activations; the one running now, or the last one.
    int activation_serial() const override { return activation_serial_; }

    // Publishes scene changes (selection, time, options) in the data records
    // the plug-in reads. Earlier selection lists stay readable until the
    // activation ends, as the plug-in may still be walking one.
    void publish();

    // Records the plug-in reads directly.
    const InterfaceInfo &interface_info() const { return interface_info_; }
    const SceneInfo &scene_info() const { return scene_info_; }
    const LayoutGeneric &generic() const { return generic_; }

private:
    void desktop_size(int *width, int *height) const override {
        *width = desktop_width;
        *height = desktop_height;
    }

    static inline Host *current_ = nullptr;  // one at a time; see the constructor
    Scene scene_;
    std::set<std::string> withheld_;
    uint32_t product_info_;
    CommandApplier applier_;
    int activation_depth_ = 0;
    int activation_serial_ = 0;
    std::unique_ptr<PanelToolkit> panels_;
    std::unique_ptr<Monitors> monitors_;

    InterfaceInfo interface_info_{};
    SceneInfo scene_info_{};
    LayoutGeneric generic_{};
    int generic_version_ = kGenericVersionWithArguments;
    std::string arguments_;
    std::deque<std::vector<HostId>> selection_lists_;
    std::string scene_name_;
    std::string scene_filename_;
};

// Item handles carry the item id value, as the real host's do.
inline HostId to_handle(ItemIdValue id) { return reinterpret_cast<HostId>(static_cast<uintptr_t>(id)); }
inline ItemIdValue from_handle(HostId handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    // Ids live in 32 bits; a wider value names no item.
    return value > 0xFFFFFFFFu ? 0 : static_cast<ItemIdValue>(value);
}

}  // namespace headless
