// The "Tandrel" link panel: a tree of the scene's items to pick the link item
// from, and switches for the links to set on the selected items.
#pragma once

#include <cstdint>

#include "interface/host_api.h"
#include "interface/host_builds.h"
#include "item_tree.h"

// One per panel run; every control handler gets it back as its user data.
struct LinkPanel {
    PanelControl *tree;
    // "Parent", "Target", "Goal", "Pole", "Position", "Rotation", "Scale",
    // "null ID": entry n is bit n of panel_link_choice, entry 7 bit 11.
    PanelControl *link_buttons[8];
    PanelControl *expand_button;
    PanelControl *descend_button;
    PanelControl *collapse_button;
    PanelControl *reset_button;
    ItemTree *model;
    uint32_t tree_selected;  // 1 once the tree holds a selection the panel may read
    int32_t pos_x;
    int32_t pos_y;
};

constexpr int kNullItemButton = 7;


int tandrel_activate(int32_t version, GlobalLookupFn global, void *local, void *server_data);

// Runs the modal panel over `model`. Non-zero when the user confirmed and a
// choice was taken; panel_link_choice, memorized_item and model->chosen_item
// then hold it.
int32_t run_link_panel(GlobalLookupFn global, ItemTree *model);

// Left and top edge that place the panel near the desktop's centre.
void panel_position(GlobalLookupFn global, int32_t *pos_x, int32_t *pos_y);

void on_panel_open(PanelId panel, void *services);

// Handlers of the panel's buttons, tree and keys.
void expand_all(PanelControl *control, void *link_panel);
void descend_selection(PanelControl *control, void *link_panel);
void collapse_to_selection(PanelControl *control, void *link_panel);
void reset_links(PanelControl *control, void *link_panel);
void on_tree_event(PanelControl *tree, void *link_panel);
void open_subtree(ItemNode *node);
int on_panel_key(PanelId panel, void *services, unsigned short key);

// Full value records for the host: it reads and writes all 40 bytes.
PanelValue int_panel_value(int value);
PanelValue pointer_panel_value(int kind, void *pointer);
// The on/off state of a button, 0 or 1; 0 for a missing control.
int button_value(PanelControl *button);
void set_button_value(PanelControl *button, int value);
void draw_control(PanelControl *control, int mode);
// The tree's selected node, read with the kind the host build expects.
ItemNode *tree_selection(const LinkPanel *panel);
