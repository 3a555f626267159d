#include "host.h"

#include <algorithm>
#include <cstring>

#include "command_interpreter.h"
#include "monitor_service.h"
#include "host/panel_toolkit/panel_toolkit.h"
#include "services.h"

namespace headless {
namespace {

unsigned interface_item_flags(HostId) { return 0; }
void interface_schema_position(HostId, double *x, double *y) {
    if (x) *x = 0.0;
    if (y) *y = 0.0;
}
int interface_item_visibility(HostId) { return 1; }
int interface_item_color(HostId handle) {
    Host *host = Host::current();
    const Item *item = host ? host->scene().find(from_handle(handle)) : nullptr;
    return item ? item->color : 0;
}

HostId scene_render_camera(double) {
    Host *host = Host::current();
    return host ? to_handle(host->scene().first(host_abi::kKindIndexCamera, 0)) : nullptr;
}

int generic_save_scene(const char *) { return 0; }
int generic_load_scene(const char *, const char *) { return 0; }
int generic_lookup(void *, const char *) { return 0; }
int generic_execute(void *, int, int, const void *, void *) { return 0; }
int generic_evaluate(void *data, const char *text) {
    Host *host = static_cast<Host *>(data);
    if (host != Host::current()) return 0;
    return host->evaluate_command(text);
}

const char *generic_command_arguments(void *data) {
    Host *host = static_cast<Host *>(data);
    if (host != Host::current()) return "";
    // An older host's record ends before this member: reading it there would
    // read past the record.
    if (host->generic_version() < kGenericVersionWithArguments) {
        host->violation(Breach::ArgumentsOnOldRecord, "command arguments read from a generic record of version " +
                        std::to_string(host->generic_version()));
        return "";
    }
    return host->command_arguments().c_str();
}
int generic_parsed_arguments(void *, void **argv) {
    if (argv) *argv = nullptr;
    return 0;
}

void *global_lookup_function(const char *service_name, int use_mode) {
    Host *host = Host::current();
    if (!host) return nullptr;
    void *record = host->lookup(service_name, use_mode);
    return host->service_filter && service_name ? host->service_filter(service_name, record) : record;
}

std::string text_or_null(const char *text) { return text ? std::string(text) : std::string(); }

}  // namespace

Host::Host()
    : product_info_(host_numbering::product_info_with_build(1u | (11u << 20), kDefaultBuild)),
      panels_(std::make_unique<PanelToolkit>(static_cast<PanelOwner &>(*this))),
      monitors_(std::make_unique<Monitors>(*this)) {
    if (current_) violation(Breach::SecondHost, "a second host was created while another was current");
    current_ = this;
    PanelToolkit::set_current(panels_.get());
    generic_ = LayoutGeneric{generic_save_scene, generic_load_scene, this, generic_lookup, generic_execute,
                             generic_evaluate, generic_command_arguments,
                             generic_parsed_arguments};
    interface_info_.item_flags = interface_item_flags;
    interface_info_.schema_position = interface_schema_position;
    interface_info_.item_visibility = interface_item_visibility;
    interface_info_.item_color = interface_item_color;
    scene_info_.render_camera = scene_render_camera;
    publish();
}

Host::~Host() {
    if (current_ == this) {
        current_ = nullptr;
        PanelToolkit::set_current(nullptr);
    }
}

GlobalLookupFn Host::global_lookup() { return global_lookup_function; }

void Host::withhold(const std::string &service_name) { withheld_.insert(service_name); }
void Host::restore(const std::string &service_name) { withheld_.erase(service_name); }

void Host::set_build(uint32_t build) { product_info_ = host_numbering::product_info_with_build(product_info_, build); }

void *Host::lookup(const char *service_name, int) {
    if (!service_name) return nullptr;
    const std::string name(service_name);
    if (withheld_.count(name)) return nullptr;
    publish();
    if (name == host_abi::kServiceItemInfo) return const_cast<ItemInfo *>(&item_info_service());
    if (name == host_abi::kServiceInterfaceInfo) return &interface_info_;
    if (name == host_abi::kServiceMessages) return const_cast<MessageFuncs *>(&message_service());
    if (name == host_abi::kServiceChannelInfo) return const_cast<ChannelInfo *>(&channel_info_service());
    if (name == host_abi::kServiceEnvelopes) return const_cast<EnvelopeFuncs *>(&envelope_service());
    if (name == host_abi::kServiceSceneInfo) return &scene_info_;
    if (name == host_abi::kServicePanels) return &panels_->services();
    if (name == host_abi::kServiceHeadlessDesktop) return panels_->desktop_record();
    if (name == host_abi::kServiceMonitor) return const_cast<MonitorFuncs *>(&monitors_->services());
    // The value itself travels in the pointer.
    if (name == host_abi::kServiceProductInfo) return reinterpret_cast<void *>(static_cast<uintptr_t>(product_info_));
    return nullptr;
}

void Host::record_message(const char *kind, const char *title, const char *text, const char *text2) {
    MessageRecord record;
    record.kind = kind;
    record.title = text_or_null(title);
    record.text = text_or_null(text);
    record.has_text2 = text2 != nullptr;
    record.text2 = text_or_null(text2);
    messages.push_back(std::move(record));
}

int Host::answer_question(const char *kind, const char *title, const char *text, const char *text2) {
    record_message(kind, title, text, text2);
    int answer = default_yes_no;
    if (!yes_no_answers.empty()) {
        answer = yes_no_answers.front();
        yes_no_answers.pop_front();
    }
    messages.back().answer = answer;
    return answer;
}

void Host::violation(Breach breach, const std::string &what) { violations.push_back(Violation{breach, what}); }

int Host::evaluate_command(const char *text) {
    CommandRecord record;
    record.text = text_or_null(text);
    if (!text) {
        record.error = "no command text";
    } else if (!in_activation()) {
        violation(Breach::CommandOutsideActivation, "command sent outside an activation: " + record.text);
        record.error = "not inside an activation";
    } else {
        record.error = applier_ ? applier_(*this, record.text) : apply_command_text(scene_, record.text);
    }
    record.ok = record.error.empty();
    commands.push_back(std::move(record));
    if (command_observer) command_observer(commands.back());
    publish();
    return record.ok ? 1 : 0;
}

void Host::publish() {
    std::vector<HostId> list;
    list.reserve(scene_.selection.size() + 1);
    for (ItemIdValue id : scene_.selection) list.push_back(to_handle(id));
    list.push_back(nullptr);
    if (selection_lists_.empty() || selection_lists_.back() != list) selection_lists_.push_back(std::move(list));
    if (!in_activation())
        while (selection_lists_.size() > 1) selection_lists_.pop_front();

    interface_info_.current_time = scene_.time;
    interface_info_.selected_items = selection_lists_.back().data();
    interface_info_.general_flags = scene_.general_flags;
    interface_info_.preview_start = scene_.frame_start;
    interface_info_.preview_end = scene_.frame_end;
    interface_info_.preview_step = scene_.frame_step;

    scene_name_ = scene_.name;
    scene_filename_ = scene_.filename;
    scene_info_.name = scene_name_.c_str();
    scene_info_.filename = scene_filename_.c_str();
    scene_info_.frame_start = scene_.frame_start;
    scene_info_.frame_end = scene_.frame_end;
    scene_info_.frame_step = scene_.frame_step;
    scene_info_.frames_per_second = scene_.frames_per_second;
    scene_info_.frame_width = 640;
    scene_info_.frame_height = 480;
    scene_info_.pixel_aspect = 1.0;
}

int Host::activate(const ServerRecord &server, const std::string &arguments) {
    publish();
    std::string outer = std::move(arguments_);
    arguments_ = arguments;
    ++activation_depth_;
    const int serial = ++activation_serial_;
    const int result = server.activate(generic_version_, global_lookup(), &generic_, nullptr);
    --activation_depth_;
    arguments_ = std::move(outer);
    panels_->end_activation(serial);
    monitors_->end_activation(serial);
    publish();
    return result;
}

}  // namespace headless
