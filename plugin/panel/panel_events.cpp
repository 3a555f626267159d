// What the link panel does while it is open: the tree actions, the Reset
// button, the modifier clicks on the tree and the single-key shortcuts.
#include "link_panel.h"

#include "interface/panel_input.h"

namespace {

LinkPanel *link_panel_of(void *data) { return static_cast<LinkPanel *>(data); }

void redraw_tree(const LinkPanel *panel) { draw_control(panel->tree, host_abi::kDrawRefresh); }

void set_all_states(ItemTree *model, int32_t state) {
    for (int32_t i = 0; i < model->item_count; ++i) model->nodes[i].state = state;
}

void open_ancestors(ItemNode *node) {
    for (ItemNode *up = node->parent; up; up = up->parent) up->state = 1;
}

void toggle_button(PanelControl *button) {
    if (!button) return;
    PanelValue record = int_panel_value(0);
    button->get(button, host_abi::kControlValue, &record);
    record.intv.value ^= 1;
    button->set(button, host_abi::kControlValue, &record);
}

// The owning panel services and panel of a control, read through the control.
const PanelFuncs *services_of(PanelControl *control, uint32_t build, PanelId *panel) {
    const int kind = build < kBuildPanfunAsText ? host_abi::kValueInteger : host_abi::kValueString;
    PanelValue services = pointer_panel_value(kind, nullptr);
    control->get(control, host_abi::kControlPanelFuncs, &services);
    PanelValue owner = pointer_panel_value(kind, nullptr);
    control->get(control, host_abi::kControlPanel, &owner);
    *panel = owner.ptr.ptr;
    return static_cast<const PanelFuncs *>(services.ptr.ptr);
}

// Return and Enter as 13, digits as characters, whichever way they arrive.
unsigned plain_key(unsigned key) {
    using namespace host_abi;
    if (key == kKeyReturn || key == kKeyKeypadEnter) return kKeyReturnCharacter;
    if (key >= kKeyDigitZero && key <= kKeyDigitZero + 9) return '0' + (key - kKeyDigitZero);
    if (key >= kKeyKeypadZero && key <= kKeyKeypadZero + 9) return '0' + (key - kKeyKeypadZero);
    return key;
}

}  // namespace

void expand_all(PanelControl *, void *data) {
    LinkPanel *panel = link_panel_of(data);
    if (!panel) return;
    set_all_states(panel->model, 1);
    redraw_tree(panel);
}

void collapse_to_selection(PanelControl *, void *data) {
    LinkPanel *panel = link_panel_of(data);
    if (!panel || !panel->tree_selected) return;
    set_all_states(panel->model, 0);
    if (ItemNode *node = tree_selection(panel)) open_ancestors(node);
    redraw_tree(panel);
}

void open_subtree(ItemNode *node) {
    for (ItemNode *walked = node; walked; walked = next_in_subtree(node, walked)) walked->state = 1;
}

void descend_selection(PanelControl *, void *data) {
    LinkPanel *panel = link_panel_of(data);
    if (!panel || !panel->tree_selected) return;
    if (ItemNode *node = tree_selection(panel)) {
        open_ancestors(node);
        open_subtree(node);
    }
    redraw_tree(panel);
}

void reset_links(PanelControl *, void *data) {
    LinkPanel *panel = link_panel_of(data);
    if (!panel) return;
    const int cleared = panel->model->build < kBuildCurrentEmission ? 3 : 7;
    for (int i = 0; i < cleared; ++i) set_button_value(panel->link_buttons[i], 0);
}

void on_tree_event(PanelControl *tree, void *data) {
    LinkPanel *panel = link_panel_of(data);
    if (!panel) return;
    if (!panel->tree_selected) {
        panel->tree_selected = 1;
        draw_control(panel->descend_button, host_abi::kDrawRender);
        draw_control(panel->collapse_button, host_abi::kDrawRender);
    }
    if (!tree) return;

    PanelId owner = nullptr;
    const PanelFuncs *services = services_of(tree, panel->model->build, &owner);
    if (!services || !owner) return;
    int qualifiers = 0;
    services->get(owner, host_abi::kPanelQualifiers, &qualifiers);
    switch (qualifiers) {
    case host_abi::kQualifierCtrl: descend_selection(nullptr, panel); break;
    case host_abi::kQualifierShift: expand_all(nullptr, panel); break;
    case host_abi::kQualifierAlt: collapse_to_selection(nullptr, panel); break;
    default: break;
    }
}

int on_panel_key(PanelId host_panel, void *services_record, unsigned short key) {
    const PanelFuncs *services = static_cast<const PanelFuncs *>(services_record);
    LinkPanel *panel = services ? link_panel_of(services->user_data) : nullptr;
    if (!panel) return 0;
    const bool all_links = panel->model->build >= kBuildAllLinks;
    const unsigned plain = plain_key(key & 0xFFFFu);
    switch (plain) {
    case host_abi::kKeyReturnCharacter:
    case 'd': services->close(host_panel); return 1;
    case ' ': toggle_button(panel->link_buttons[kNullItemButton]); return 1;
    case '1':
    case '2':
    case '3': toggle_button(panel->link_buttons[plain - '1']); return 1;
    case '4':
    case '5':
    case '6':
    case '7':
        // Swallowed on builds that cannot set these links.
        if (all_links) toggle_button(panel->link_buttons[plain - '1']);
        return 1;
    case 'e': collapse_to_selection(nullptr, panel); return 1;
    case 'q': expand_all(nullptr, panel); return 1;
    case 'r': reset_links(nullptr, panel); return 1;
    case 'w': descend_selection(nullptr, panel); return 1;
    default: return 0;
    }
}
