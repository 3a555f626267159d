#include "link_panel.h"

#include "plugin/links/link_command.h"
#include "plugin/support/host_context.h"
#include "plugin/support/link_flags.h"
#include "plugin/support/module_state.h"
#include "desktop.h"

namespace {

constexpr int kOpenFlags = 3;  // blocking, with Cancel
constexpr int kPanelWidth = 418;
constexpr int kPanelHeight = 352;
constexpr int kColumnLeft = 362;

struct ButtonPlacement {
    const char *kind;
    const char *label;
    int top;
};

// Top to bottom the column reads: links, separator, Reset, separator, tree
// actions, separator, "null ID".
constexpr ButtonPlacement kLinkButtons[8] = {
    {"BoolButtonControl", "Parent", 0},    {"BoolButtonControl", "Target", 20},
    {"BoolButtonControl", "Goal", 40},     {"BoolButtonControl", "Pole", 60},
    {"BoolButtonControl", "Position", 80}, {"BoolButtonControl", "Rotation", 100},
    {"BoolButtonControl", "Scale", 120},   {"BoolButtonControl", "null ID", 271},
};
constexpr ButtonPlacement kExpand = {"ButtonControl", "Expand", 170};
constexpr ButtonPlacement kDescend = {"ButtonControl", "Descend", 190};
constexpr ButtonPlacement kCollapse = {"ButtonControl", "Collaspe", 210};
constexpr ButtonPlacement kReset = {"ButtonControl", "\x03(i:MIMG_UPARROW) Reset", 145};
constexpr ButtonPlacement kSeparators[3] = {
    {"BorderControl", "", 141}, {"BorderControl", "", 166}, {"BorderControl", "", 267}};

void set_control(PanelControl *control, int tag, PanelValue value) {
    if (control) control->set(control, tag, &value);
}

void place(PanelControl *control, int left, int top) {
    set_control(control, host_abi::kControlX, int_panel_value(left));
    set_control(control, host_abi::kControlY, int_panel_value(top));
}

PanelControl *add_button(const PanelFuncs *services, PanelId panel, const ButtonPlacement &button) {
    ControlDesc desc{};
    desc.area.kind = host_abi::kValueArea;
    desc.area.width = 54;
    desc.area.height = 0;
    PanelControl *control = services->add_control(panel, button.kind, &desc, button.label);
    place(control, kColumnLeft, button.top);
    return control;
}

// Adds and places every control; false when the host refused one.
bool add_controls(const PanelFuncs *services, PanelId panel, LinkPanel *link_panel) {
    ControlDesc tree_desc{};
    tree_desc.tree.kind = host_abi::kValueTree;
    tree_desc.tree.width = 340;
    tree_desc.tree.height = 292;
    tree_desc.tree.count = tree_count;
    tree_desc.tree.child = tree_child;
    tree_desc.tree.info = tree_info;
    link_panel->tree = services->add_control(panel, "TreeControl", &tree_desc, "Item");
    // The tree asks for its nodes as soon as it is placed.
    set_control(link_panel->tree, host_abi::kControlUserData, pointer_panel_value(host_abi::kValueInteger, link_panel));
    place(link_panel->tree, 2, -2);

    for (int i = 0; i < 8; ++i) link_panel->link_buttons[i] = add_button(services, panel, kLinkButtons[i]);
    link_panel->expand_button = add_button(services, panel, kExpand);
    link_panel->descend_button = add_button(services, panel, kDescend);
    link_panel->collapse_button = add_button(services, panel, kCollapse);
    link_panel->reset_button = add_button(services, panel, kReset);
    bool all_added = true;
    for (const ButtonPlacement &separator : kSeparators) all_added &= add_button(services, panel, separator) != nullptr;

    all_added &= link_panel->tree && link_panel->expand_button && link_panel->descend_button &&
                 link_panel->collapse_button && link_panel->reset_button;
    for (PanelControl *button : link_panel->link_buttons) all_added &= button != nullptr;
    return all_added;
}

void set_initial_values(LinkPanel *link_panel, uint32_t build) {
    const uint32_t choice = panel_link_choice;
    set_button_value(link_panel->link_buttons[kNullItemButton], (choice >> 11) & 1);
    const int shown = build >= kBuildCurrentEmission ? 7 : 3;
    for (int bit = 0; bit < shown; ++bit) set_button_value(link_panel->link_buttons[bit], (choice >> bit) & 1);
}

// The memorized item's node with its ancestors opened, else the first node.
void set_initial_tree_selection(LinkPanel *link_panel) {
    ItemTree *model = link_panel->model;
    ItemNode *selection = model->nodes;
    if (memorized_item) {
        for (int32_t i = 0; i < model->item_count; ++i) {
            if (model->nodes[i].item != memorized_item) continue;
            selection = model->nodes + i;
            for (ItemNode *up = selection->parent; up; up = up->parent) up->state = 1;
            break;
        }
    }
    set_control(link_panel->tree, host_abi::kControlValue, pointer_panel_value(host_abi::kValuePointer, selection));
}

void set_handler(PanelControl *control, ControlEventFn handler, LinkPanel *link_panel) {
    set_control(control, host_abi::kControlUserData, pointer_panel_value(host_abi::kValueInteger, link_panel));
    set_control(control, host_abi::kControlUserEvent,
                pointer_panel_value(host_abi::kValueInteger, reinterpret_cast<void *>(handler)));
}

// Reads the user's choice after OK. False when there is nothing to take.
bool take_choice(LinkPanel *link_panel, uint32_t build) {
    ItemTree *model = link_panel->model;
    const int null_item = button_value(link_panel->link_buttons[kNullItemButton]);
    if (null_item) {
        model->chosen_item = 0;
    } else {
        if (!link_panel->tree_selected) return false;
        const ItemNode *node = tree_selection(link_panel);
        // A tree that reports no selection leaves nothing to take.
        if (!node) return false;
        model->chosen_item = node->item;
        memorized_item = node->item;
    }
    uint32_t choice = static_cast<uint32_t>(null_item) << 11;
    const int stored = build >= kBuildCurrentEmission ? 7 : 3;
    for (int bit = 0; bit < stored; ++bit)
        choice |= static_cast<uint32_t>(button_value(link_panel->link_buttons[bit])) << bit;
    panel_link_choice = choice;
    return true;
}

// The same Parent in Place rule as the link commands: true when the user
// declined the parent change.

}  // namespace

PanelValue int_panel_value(int value) {
    PanelValue record{};
    record.intv.kind = host_abi::kValueInteger;
    record.intv.value = value;
    return record;
}

PanelValue pointer_panel_value(int kind, void *pointer) {
    PanelValue record{};
    record.ptr.kind = kind;
    record.ptr.ptr = pointer;
    return record;
}

int button_value(PanelControl *button) {
    if (!button) return 0;
    PanelValue record = int_panel_value(0);
    button->get(button, host_abi::kControlValue, &record);
    return record.intv.value & 1;
}

void set_button_value(PanelControl *button, int value) { set_control(button, host_abi::kControlValue, int_panel_value(value)); }

void draw_control(PanelControl *control, int mode) {
    if (control) control->draw(control, mode);
}

// Below build 1165 the host reads the tree with kind 1, a text value whose
// length field lies past the first 16 bytes: the record is a full one.
ItemNode *tree_selection(const LinkPanel *panel) {
    if (!panel->tree) return nullptr;
    const int kind = panel->model->build < kBuildPointerValue ? host_abi::kValueString : host_abi::kValuePointer;
    PanelValue record = pointer_panel_value(kind, nullptr);
    panel->tree->get(panel->tree, host_abi::kControlValue, &record);
    return static_cast<ItemNode *>(record.ptr.ptr);
}

void panel_position(GlobalLookupFn global, int32_t *pos_x, int32_t *pos_y) {
    int width = 0, height = 0;
    desktop_client_size(global, &width, &height);
    *pos_x = static_cast<int32_t>(width - 320) >> 1;
    *pos_y = static_cast<int32_t>(height - 250) >> 1;
}

void on_panel_open(PanelId panel, void *services_record) {
    const PanelFuncs *services = static_cast<const PanelFuncs *>(services_record);
    if (!services || !services->user_data) return;
    LinkPanel *link_panel = static_cast<LinkPanel *>(services->user_data);
    int left = link_panel->pos_x;
    services->set(panel, host_abi::kPanelX, &left);
}

int32_t run_link_panel(GlobalLookupFn global, ItemTree *model) {
    PanelFuncs *services = static_cast<PanelFuncs *>(global(host_abi::kServicePanels, host_abi::kLookupTransient));
    if (!services) return 0;
    PanelId panel = services->create("Tandrel", nullptr);
    if (!panel) return 0;

    LinkPanel link_panel{};
    services->global_lookup = global;
    services->user_data = &link_panel;
    link_panel.model = model;
    const uint32_t build = model->build;
    link_panel.tree_selected = build >= kBuildInitialTreeChoice ? 1 : 0;
    panel_position(global, &link_panel.pos_x, &link_panel.pos_y);

    int32_t result = 0;
    if (add_controls(services, panel, &link_panel)) {
        if (build < kBuildAllLinks)
            for (int bit = 3; bit < 7; ++bit) draw_control(link_panel.link_buttons[bit], host_abi::kDrawGhost);
        if (!link_panel.tree_selected) {
            draw_control(link_panel.descend_button, host_abi::kDrawGhost);
            draw_control(link_panel.collapse_button, host_abi::kDrawGhost);
        }
        set_initial_values(&link_panel, build);
        if (build >= kBuildInitialTreeChoice) set_initial_tree_selection(&link_panel);

        set_handler(link_panel.expand_button, expand_all, &link_panel);
        set_handler(link_panel.descend_button, descend_selection, &link_panel);
        set_handler(link_panel.collapse_button, collapse_to_selection, &link_panel);
        set_handler(link_panel.reset_button, reset_links, &link_panel);
        set_control(link_panel.tree, host_abi::kControlUserEvent,
                    pointer_panel_value(host_abi::kValueInteger, reinterpret_cast<void *>(on_tree_event)));

        int width = kPanelWidth, height = kPanelHeight, top = link_panel.pos_y;
        services->set(panel, host_abi::kPanelUserData, services);
        services->set(panel, host_abi::kPanelUserKeys, reinterpret_cast<void *>(on_panel_key));
        services->set(panel, host_abi::kPanelUserOpen, reinterpret_cast<void *>(on_panel_open));
        services->set(panel, host_abi::kPanelW, &width);
        services->set(panel, host_abi::kPanelH, &height);
        services->set(panel, host_abi::kPanelY, &top);

        const int opened = services->open(panel, kOpenFlags);
        if (opened && take_choice(&link_panel, build)) result = opened;
    }
    services->destroy(panel);
    // The services record outlives this run; leave no pointer to it behind.
    services->user_data = nullptr;
    return result;
}

int tandrel_activate(int32_t, GlobalLookupFn global, void *local, void *) {
    HostContext context{};
    if (open_host_context(global, &context) != host_abi::kResultOk) return host_abi::kResultBadGlobal;
    if (!selected_items(&context)[0]) return host_abi::kResultOk;
    // As for the link commands: without command evaluation the confirmed
    // links could never be sent, so the panel is not offered and no choice
    // or memorized item is taken.
    const LayoutGeneric *generic = static_cast<const LayoutGeneric *>(local);
    if (!generic || !generic->evaluate) return host_abi::kResultBadGlobal;
    context.generic_local = generic;

    ItemTree model{};
    model.build = context.build;
    if (!build_item_tree(&context, &model)) {
        context.messages->error("err", "the item tree could not be made: out of memory");
    } else if (run_link_panel(global, &model)) {
        apply_links(&context, model.chosen_item, panel_link_choice);
    }
    free_item_tree(&model);
    return host_abi::kResultOk;
}
