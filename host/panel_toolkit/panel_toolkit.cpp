#include "panel_toolkit.h"

#include <cstdio>
#include <cstring>


namespace headless {
namespace {

std::string text_or_empty(const char *text) { return text ? std::string(text) : std::string(); }

std::string quoted(const std::string &text) { return "\"" + text + "\""; }

// Splits a label "\x03(i:ICON,COLOUR) name" into its image reference and text.
void parse_label(const std::string &label, int *icon, int *colour, std::string *name) {
    *icon = *colour = -1;
    *name = label;
    if (label.size() < 4 || label[0] != '\x03' || label.compare(1, 3, "(i:") != 0) return;
    const size_t close = label.find(')');
    if (close == std::string::npos) return;
    unsigned a = 0, b = 0;
    if (std::sscanf(label.c_str() + 4, "%u,%u", &a, &b) == 2) {
        *icon = static_cast<int>(a);
        *colour = static_cast<int>(b);
    }
    size_t text = close + 1;
    if (text < label.size() && label[text] == ' ') ++text;
    *name = label.substr(text);
}

const char *value_kind_name(int kind) {
    switch (kind) {
    case host_abi::kValueString: return "1 (text)";
    case host_abi::kValueInteger: return "2 (integer)";
    case host_abi::kValueFloat: return "3 (float)";
    case host_abi::kValuePointer: return "23 (pointer)";
    default: return "other";
    }
}

bool is_pointer_kind(int kind) { return kind == host_abi::kValueInteger || kind == host_abi::kValuePointer; }

constexpr size_t kMaxTreeRows = 100000;
constexpr int kMaxTreeDepth = 1000;

void add_rows(const HeadlessControl &tree, void *node, int depth, std::vector<TreeRow> *rows) {
    if (depth > kMaxTreeDepth) return;
    const int count = tree.tree_count(tree.user_data, node);
    for (int i = 0; i < count && rows->size() < kMaxTreeRows; ++i) {
        void *child = tree.tree_child(tree.user_data, node, i);
        if (!child) continue;
        int flags = 0;
        const char *label = tree.tree_info(tree.user_data, child, &flags);
        TreeRow row;
        row.node = child;
        row.depth = depth;
        row.label = text_or_empty(label);
        parse_label(row.label, &row.icon, &row.colour, &row.name);
        row.has_children = tree.tree_count(tree.user_data, child) > 0;
        row.open = (flags & host_abi::kNodeFlagExpanded) != 0;
        row.selected = child == tree.tree_selection;
        rows->push_back(row);
        if (row.open) add_rows(tree, child, depth + 1, rows);
    }
}

}  // namespace

std::string HeadlessControl::plain_label() const {
    int icon = 0, colour = 0;
    std::string name;
    parse_label(label, &icon, &colour, &name);
    return name;
}

HeadlessControl *HeadlessPanel::tree() const { return find("", "TreeControl"); }

HeadlessControl *HeadlessPanel::find(const std::string &label, const std::string &kind) const {
    for (const auto &control : controls) {
        if (!kind.empty() && control->kind != kind) continue;
        if (kind == "TreeControl" || control->plain_label() == label) return control.get();
    }
    return nullptr;
}

std::vector<TreeRow> HeadlessPanel::visible_rows() const {
    std::vector<TreeRow> rows;
    const HeadlessControl *control = tree();
    if (control && control->tree_count && control->tree_child && control->tree_info)
        add_rows(*control, nullptr, 0, &rows);
    return rows;
}

PanelAction PanelAction::click(const std::string &node, int qualifiers) {
    PanelAction action;
    action.kind = Kind::ClickNode;
    action.target = node;
    action.qualifiers = qualifiers;
    return action;
}

PanelAction PanelAction::press(unsigned short key) {
    PanelAction action;
    action.kind = Kind::Key;
    action.key = key;
    return action;
}

PanelAction PanelAction::button(const std::string &label) {
    PanelAction action;
    action.kind = Kind::Button;
    action.target = label;
    return action;
}

PanelAction PanelAction::toggle(const std::string &label) {
    PanelAction action;
    action.kind = Kind::Toggle;
    action.target = label;
    return action;
}

PanelAction PanelAction::set_number(const std::string &label, double number) {
    PanelAction action;
    action.kind = Kind::SetNumber;
    action.target = label;
    action.number = number;
    return action;
}

PanelAction PanelAction::ok() { return PanelAction(); }

PanelAction PanelAction::cancel() {
    PanelAction action;
    action.kind = Kind::Cancel;
    return action;
}

PanelAction PanelAction::svg(const std::string &file) {
    PanelAction action;
    action.kind = Kind::Svg;
    action.target = file;
    return action;
}

PanelAction PanelAction::look(std::function<void(HeadlessPanel &)> inspect) {
    PanelAction action;
    action.kind = Kind::Inspect;
    action.inspect = std::move(inspect);
    return action;
}

void *PanelToolkit::desktop_record() {
    owner_.desktop_size(&desktop_.width, &desktop_.height);
    return &desktop_;
}

void PanelToolkit::end_activation(int activation) {
    for (const auto &panel : panels_) {
        if (panel->activation != activation || panel->destroyed) continue;
        owner_.violation(Breach::PanelNotDestroyed, "panel " + quoted(panel->title) + " was created and not destroyed by the end of the activation");
        panel->destroyed = true;
    }
}

HeadlessPanel *PanelToolkit::live_panel(PanelId handle, const char *operation) {
    for (const auto &panel : panels_) {
        if (panel.get() != handle) continue;
        if (panel->destroyed) {
            owner_.violation(Breach::DestroyedPanelUsed, std::string("panel ") + operation + " on the destroyed panel " + quoted(panel->title));
            return nullptr;
        }
        return panel.get();
    }
    owner_.violation(Breach::UnknownHandle, std::string("panel ") + operation + " on an unknown panel handle");
    return nullptr;
}

HeadlessControl *PanelToolkit::live_control(PanelControl *record, const char *operation) {
    for (const auto &panel : panels_) {
        for (const auto &control : panel->controls) {
            if (&control->record != record) continue;
            if (panel->destroyed) {
                owner_.violation(Breach::DestroyedPanelUsed, std::string("control ") + operation + " on " + quoted(control->label) +
                                " of the destroyed panel " + quoted(panel->title));
                return nullptr;
            }
            return control.get();
        }
    }
    owner_.violation(Breach::UnknownHandle, std::string("control ") + operation + " on an unknown control");
    return nullptr;
}

PanelId PanelToolkit::create(const char *title) {
    if (!owner_.in_activation()) owner_.violation(Breach::PanelOutsideActivation, "panel created outside an activation");
    if (refuse_panels) {
        log.push_back("panel " + quoted(text_or_empty(title)) + " refused");
        return nullptr;
    }
    auto panel = std::make_unique<HeadlessPanel>();
    panel->title = text_or_empty(title);
    panel->activation = owner_.activation_serial();
    log.push_back("panel " + quoted(panel->title) + " created");
    panels_.push_back(std::move(panel));
    return panels_.back().get();
}

void PanelToolkit::destroy(PanelId handle) {
    HeadlessPanel *panel = live_panel(handle, "destroy");
    if (!panel) return;
    if (panel->is_open) owner_.violation(Breach::PanelDestroyedWhileOpen, "panel " + quoted(panel->title) + " destroyed while open");
    panel->destroyed = true;
    log.push_back("panel " + quoted(panel->title) + " destroyed");
}

int PanelToolkit::open(PanelId handle, int flags) {
    HeadlessPanel *panel = live_panel(handle, "open");
    if (!panel) return 0;
    if (panel->is_open) {
        owner_.violation(Breach::PanelOpenedTwice, "panel " + quoted(panel->title) + " opened twice");
        return 0;
    }
    panel->is_open = true;
    panel->close_requested = false;
    log.push_back("panel " + quoted(panel->title) + " opened (flags " + std::to_string(flags) + ")");
    if (panel->open_hook) panel->open_hook(panel, panel->user_data);

    int result = 0;
    bool ended = false;
    while (!ended && !panel->close_requested && !panel->destroyed) {
        if (script.empty()) {
            log.push_back("no more panel actions: Cancel");
            break;
        }
        const PanelAction action = script.front();
        script.pop_front();
        if (action.kind == PanelAction::Kind::Ok || action.kind == PanelAction::Kind::Cancel) {
            result = action.kind == PanelAction::Kind::Ok ? 1 : 0;
            log.push_back(result ? "OK" : "Cancel");
            ended = true;
        } else {
            perform(*panel, action);
        }
    }
    // The key callback closing the panel confirms it.
    if (panel->close_requested) result = 1;
    panel->is_open = false;
    if (panel->close_hook && !panel->destroyed) panel->close_hook(panel, panel->user_data);
    log.push_back("panel " + quoted(panel->title) + " closed -> " + std::to_string(result));
    return result;
}

void PanelToolkit::close(PanelId handle) {
    HeadlessPanel *panel = live_panel(handle, "close");
    if (!panel) return;
    if (!panel->is_open) {
        owner_.violation(Breach::PanelClosedWhileNotOpen, "panel " + quoted(panel->title) + " closed while not open");
        return;
    }
    panel->close_requested = true;
    log.push_back("the plug-in closed the panel");
}

void PanelToolkit::get(PanelId handle, int tag, void *value) {
    HeadlessPanel *panel = live_panel(handle, "get");
    if (!panel || !value) return;
    int *number = static_cast<int *>(value);
    switch (tag) {
    case host_abi::kPanelX: *number = panel->x; break;
    case host_abi::kPanelY: *number = panel->y; break;
    case host_abi::kPanelW: *number = panel->width; break;
    case host_abi::kPanelH: *number = panel->height; break;
    case host_abi::kPanelQualifiers: *number = panel->qualifiers; break;
    default: break;
    }
}

void PanelToolkit::set(PanelId handle, int tag, void *value) {
    HeadlessPanel *panel = live_panel(handle, "set");
    if (!panel) return;
    const int *number = static_cast<const int *>(value);
    switch (tag) {
    case host_abi::kPanelX: if (number) panel->x = *number; break;
    case host_abi::kPanelY: if (number) panel->y = *number; break;
    case host_abi::kPanelW: if (number) panel->width = *number; break;
    case host_abi::kPanelH: if (number) panel->height = *number; break;
    case host_abi::kPanelUserOpen: panel->open_hook = reinterpret_cast<PanelHookFn>(value); break;
    case 10: panel->close_hook = reinterpret_cast<PanelHookFn>(value); break;
    case host_abi::kPanelUserData: panel->user_data = value; break;
    case host_abi::kPanelUserKeys: panel->key_hook = reinterpret_cast<PanelKeyFn>(value); break;
    default: break;
    }
}

PanelControl *PanelToolkit::add_control(PanelId handle, const char *type_name, ControlDesc *desc, const char *label) {
    HeadlessPanel *panel = live_panel(handle, "add control");
    if (!panel) return nullptr;
    const std::string kind = text_or_empty(type_name);
    if (kind != "TreeControl" && kind != "BoolButtonControl" && kind != "ButtonControl" && kind != "BorderControl" &&
        kind != "FloatControl" && kind != "BoolControl") {
        log.push_back("unknown control kind " + quoted(kind));
        return nullptr;
    }
    if (refuse_controls_from >= 0 && panel->controls.size() >= static_cast<size_t>(refuse_controls_from)) {
        log.push_back("control " + quoted(text_or_empty(label)) + " refused");
        return nullptr;
    }
    auto control = std::make_unique<HeadlessControl>();
    control->panel = panel;
    control->kind = kind;
    control->label = text_or_empty(label);
    if (desc) {
        // The tree's descriptor is the largest member; others are read as an area.
        ControlDesc copy{};
        std::memcpy(&copy, desc, kind == "TreeControl" ? sizeof copy : sizeof copy.area);
        control->desc_kind = copy.kind;
        control->width = copy.area.width;
        control->height = copy.area.height;
        if (kind == "TreeControl") {
            if (copy.kind != host_abi::kValueTree) owner_.violation(Breach::DescriptorKind, "tree control added with descriptor kind " +
                                                                   std::to_string(copy.kind));
            control->tree_count = copy.tree.count;
            control->tree_child = copy.tree.child;
            control->tree_info = copy.tree.info;
        }
    }
    // Fields and check boxes are told apart by the descriptor's kind alone.
    if (kind == "FloatControl" && control->desc_kind != host_abi::kValueFloat &&
        control->desc_kind != host_abi::kValueDistance)
        owner_.violation(Breach::DescriptorKind, "float control " + quoted(control->label) + " added with descriptor kind " +
                        std::to_string(control->desc_kind));
    if (kind == "BoolControl" && control->desc_kind != host_abi::kValueBoolean)
        owner_.violation(Breach::DescriptorKind, "check box " + quoted(control->label) + " added with descriptor kind " +
                        std::to_string(control->desc_kind));
    if (control->height <= 0) control->height = kind == "BorderControl" ? 2 : 18;
    if (control->width <= 0 && kind == "FloatControl") control->width = 80;
    if (control->width <= 0 && kind == "BoolControl") control->width = 14;
    control->record.draw = [](PanelControl *c, int mode) {
        if (PanelToolkit *toolkit = current()) toolkit->control_draw(c, mode);
    };
    control->record.get = [](PanelControl *c, int tag, PanelValue *value) {
        if (PanelToolkit *toolkit = current()) toolkit->control_get(c, tag, value);
    };
    control->record.set = [](PanelControl *c, int tag, PanelValue *value) {
        if (PanelToolkit *toolkit = current()) toolkit->control_set(c, tag, value);
    };
    control->record.private_data = control.get();
    panel->controls.push_back(std::move(control));
    return &panel->controls.back()->record;
}

PanelControl *PanelToolkit::next_control(PanelId handle, PanelControl *record) {
    HeadlessPanel *panel = live_panel(handle, "next control");
    if (!panel || panel->controls.empty()) return nullptr;
    if (!record) return &panel->controls.front()->record;
    for (size_t i = 0; i + 1 < panel->controls.size(); ++i)
        if (&panel->controls[i]->record == record) return &panel->controls[i + 1]->record;
    return nullptr;
}

void PanelToolkit::control_draw(PanelControl *record, int mode) {
    HeadlessControl *control = live_control(record, "draw");
    if (!control) return;
    switch (mode) {
    case 0: break;
    case host_abi::kDrawRender: control->ghosted = false; break;
    case host_abi::kDrawGhost: control->ghosted = true; break;
    case host_abi::kDrawRefresh: ++control->redraws; break;
    default: owner_.violation(Breach::DrawMode, "control " + quoted(control->label) + " drawn in unknown mode " + std::to_string(mode));
    }
}

// Every value record is read and written whole, as the real toolkit does: a
// record shorter than 40 bytes shows up under the address sanitizer.
void PanelToolkit::control_get(PanelControl *record, int tag, PanelValue *value) {
    HeadlessControl *control = live_control(record, "get");
    if (!control || !value) return;
    PanelValue copy;
    std::memcpy(&copy, value, sizeof copy);
    const int kind = copy.intv.kind;
    auto mismatch = [&](const char *what) {
        owner_.violation(Breach::ValueKind, "control " + quoted(control->label) + ": " + what + " read with value kind " +
                        std::to_string(kind));
    };
    switch (tag) {
    case host_abi::kControlX:
    case host_abi::kControlY:
    case 2:
    case 3:
        if (kind != host_abi::kValueInteger) return mismatch("position or size");
        copy.intv.value = tag == 0 ? control->x : tag == 1 ? control->y : tag == 2 ? control->width : control->height;
        break;
    case host_abi::kControlValue:
        if (control->is_tree()) {
            // Kind 1 is how old builds read it; the node arrives in the pointer member either way.
            if (kind != host_abi::kValuePointer && kind != host_abi::kValueString) return mismatch("tree value");
            copy.ptr.ptr = control->tree_selection;
        } else if (control->is_float()) {
            // Distance fields too hand their number over as a float value.
            if (kind != host_abi::kValueFloat) return mismatch("float value");
            copy.flt.value = control->float_value;
        } else {
            if (kind != host_abi::kValueInteger) return mismatch("value");
            copy.intv.value = control->int_value;
        }
        break;
    case host_abi::kControlUserEvent:
        if (!is_pointer_kind(kind)) return mismatch("event callback");
        copy.ptr.ptr = reinterpret_cast<void *>(control->event);
        break;
    case host_abi::kControlUserData:
        if (!is_pointer_kind(kind)) return mismatch("user data");
        copy.ptr.ptr = control->user_data;
        break;
    case host_abi::kControlPanel:
    case host_abi::kControlPanelFuncs:
        if (!is_pointer_kind(kind) && kind != host_abi::kValueString) return mismatch("owner");
        copy.ptr.ptr = tag == host_abi::kControlPanel ? static_cast<void *>(control->panel) : &services_;
        break;
    default: return;
    }
    std::memcpy(value, &copy, sizeof copy);
}

void PanelToolkit::control_set(PanelControl *record, int tag, PanelValue *value) {
    HeadlessControl *control = live_control(record, "set");
    if (!control || !value) return;
    PanelValue copy;
    std::memcpy(&copy, value, sizeof copy);
    const int kind = copy.intv.kind;
    auto mismatch = [&](const char *what) {
        owner_.violation(Breach::ValueKind, "control " + quoted(control->label) + ": " + what + " set with value kind " +
                        std::string(value_kind_name(kind)) + " (" + std::to_string(kind) + ")");
    };
    switch (tag) {
    case host_abi::kControlX:
    case host_abi::kControlY:
        if (kind != host_abi::kValueInteger) return mismatch("position");
        (tag == host_abi::kControlX ? control->x : control->y) = copy.intv.value;
        break;
    case host_abi::kControlValue:
        if (control->is_tree()) {
            if (kind != host_abi::kValuePointer) return mismatch("tree value");
            control->tree_selection = copy.ptr.ptr;
        } else if (control->is_float()) {
            if (kind != host_abi::kValueFloat) return mismatch("float value");
            control->float_value = copy.flt.value;
        } else {
            if (kind != host_abi::kValueInteger) return mismatch("value");
            control->int_value = copy.intv.value;
        }
        break;
    case host_abi::kControlUserEvent:
        if (!is_pointer_kind(kind)) return mismatch("event callback");
        control->event = reinterpret_cast<ControlEventFn>(copy.ptr.ptr);
        break;
    case host_abi::kControlUserData:
        if (!is_pointer_kind(kind)) return mismatch("user data");
        control->user_data = copy.ptr.ptr;
        break;
    default: break;
    }
}

void PanelToolkit::click_node(HeadlessPanel &panel, const PanelAction &action) {
    HeadlessControl *tree = panel.tree();
    if (!tree) {
        script_errors.push_back("no tree to click in");
        log.push_back(script_errors.back());
        return;
    }
    for (const TreeRow &row : panel.visible_rows()) {
        if (row.name != action.target && row.label != action.target) continue;
        tree->tree_selection = row.node;
        panel.qualifiers = action.qualifiers;
        log.push_back("click " + quoted(row.name) + " (qualifiers " + std::to_string(action.qualifiers) + ")");
        if (tree->event) tree->event(&tree->record, tree->user_data);
        panel.qualifiers = 0;
        return;
    }
    script_errors.push_back("no visible tree node " + quoted(action.target));
    log.push_back(script_errors.back());
}

void PanelToolkit::perform(HeadlessPanel &panel, const PanelAction &action) {
    switch (action.kind) {
    case PanelAction::Kind::ClickNode: click_node(panel, action); break;
    case PanelAction::Kind::Key: {
        const int used = panel.key_hook ? panel.key_hook(&panel, panel.user_data, action.key) : 0;
        log.push_back("key " + std::to_string(action.key) + (used ? " used" : " not used"));
        break;
    }
    case PanelAction::Kind::Button:
    case PanelAction::Kind::Toggle: {
        const bool toggle = action.kind == PanelAction::Kind::Toggle;
        HeadlessControl *control = panel.find(action.target, toggle ? "BoolButtonControl" : "ButtonControl");
        if (!control && toggle) control = panel.find(action.target, "BoolControl");
        if (!control) {
            script_errors.push_back(std::string("no ") + (toggle ? "on/off button " : "button ") + quoted(action.target));
            log.push_back(script_errors.back());
        } else if (control->ghosted) {
            log.push_back(quoted(action.target) + " is ghosted: nothing happens");
        } else {
            if (toggle) control->int_value = control->int_value ? 0 : 1;
            log.push_back((toggle ? "toggle " : "button ") + quoted(action.target));
            if (control->event) control->event(&control->record, control->user_data);
        }
        break;
    }
    case PanelAction::Kind::SetNumber: {
        HeadlessControl *control = panel.find(action.target, "FloatControl");
        if (!control) {
            script_errors.push_back("no number field " + quoted(action.target));
            log.push_back(script_errors.back());
        } else if (control->ghosted) {
            log.push_back(quoted(action.target) + " is ghosted: nothing happens");
        } else {
            control->float_value = action.number;
            log.push_back("set " + quoted(action.target) + " to " + number_text(action.number));
            if (control->event) control->event(&control->record, control->user_data);
        }
        break;
    }
    case PanelAction::Kind::Svg: {
        FILE *file = std::fopen(action.target.c_str(), "wb");
        if (!file) {
            log.push_back("cannot write " + action.target);
            break;
        }
        const std::string picture = panel_svg(panel);
        std::fwrite(picture.data(), 1, picture.size(), file);
        std::fclose(file);
        log.push_back("picture saved to " + action.target);
        break;
    }
    case PanelAction::Kind::Inspect:
        if (action.inspect) action.inspect(panel);
        break;
    case PanelAction::Kind::Ok:
    case PanelAction::Kind::Cancel: break;
    }
}

}  // namespace headless
