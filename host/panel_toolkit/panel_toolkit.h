// A headless stand-in for the host's panel toolkit: panels and controls held
// in memory, driven by a script of user actions instead of a person. The
// plug-in reaches it through "LWPanelServices" (panel_service.cpp).
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "interface/host_api.h"
#include "interface/panel_input.h"
#include "panel_owner.h"

namespace headless {

struct HeadlessPanel;

struct HeadlessControl {
    PanelControl record{};  // what the plug-in holds; its private data leads back here
    HeadlessPanel *panel = nullptr;
    std::string kind;   // "TreeControl", "BoolButtonControl", "FloatControl", ...
    std::string label;
    int desc_kind = 0;
    int x = 0, y = 0, width = 0, height = 0;
    bool ghosted = false;
    int redraws = 0;
    int int_value = 0;       // on/off buttons and check boxes
    double float_value = 0;  // float and distance fields
    void *tree_selection = nullptr;
    void *user_data = nullptr;
    ControlEventFn event = nullptr;
    TreeCountFn tree_count = nullptr;
    TreeChildFn tree_child = nullptr;
    TreeInfoFn tree_info = nullptr;

    bool is_tree() const { return kind == "TreeControl"; }
    bool is_float() const { return kind == "FloatControl"; }
    // The label as a person reads it: without a leading 0x03 "(i:...) " image reference.
    std::string plain_label() const;
};

// A tree row as the control shows it: only children of open nodes appear.
struct TreeRow {
    void *node = nullptr;
    int depth = 0;
    std::string label;  // as the plug-in gave it
    int icon = -1, colour = -1;  // from a "(i:ICON,COLOUR)" reference, -1 when absent
    std::string name;   // the label's text after the image reference
    bool has_children = false;
    bool open = false;
    bool selected = false;
};

struct HeadlessPanel {
    std::string title;
    bool destroyed = false;
    bool is_open = false;
    bool close_requested = false;
    int activation = 0;  // the activation that created it
    int x = 0, y = 0, width = 0, height = 0;
    int qualifiers = 0;
    void *user_data = nullptr;
    PanelHookFn open_hook = nullptr;
    PanelHookFn close_hook = nullptr;
    PanelKeyFn key_hook = nullptr;
    std::vector<std::unique_ptr<HeadlessControl>> controls;

    HeadlessControl *tree() const;
    // The control whose plain label is `label` (the first of that kind, when a kind is given).
    HeadlessControl *find(const std::string &label, const std::string &kind = "") const;
    // Walks the tree through the plug-in's callbacks, as the real control does.
    std::vector<TreeRow> visible_rows() const;
};

// One step of the person in front of the panel.
struct PanelAction {
    enum class Kind { ClickNode, Key, Button, Toggle, SetNumber, Ok, Cancel, Svg, Inspect };
    Kind kind = Kind::Ok;
    std::string target;  // node name, control label, key, or file
    int qualifiers = 0;  // for ClickNode
    unsigned short key = 0;
    double number = 0;   // for SetNumber
    std::function<void(HeadlessPanel &)> inspect;

    static PanelAction click(const std::string &node, int qualifiers = 0);
    static PanelAction press(unsigned short key);
    static PanelAction button(const std::string &label);
    // Flips an on/off button or a check box.
    static PanelAction toggle(const std::string &label);
    // Types a number into a float or distance field.
    static PanelAction set_number(const std::string &label, double number);
    static PanelAction ok();
    static PanelAction cancel();
    static PanelAction svg(const std::string &file);
    static PanelAction look(std::function<void(HeadlessPanel &)> inspect);
};

class PanelToolkit {
public:
    explicit PanelToolkit(PanelOwner &owner);

    // The toolkit of the host whose services the plug-in sees now: a
    // control's own functions reach it. That host sets it; null while none is.
    static PanelToolkit *current() { return current_; }
    static void set_current(PanelToolkit *toolkit) { current_ = toolkit; }

    // What the person does in the next modal panels, in order. A panel whose
    // script runs out is closed as with Cancel.
    std::deque<PanelAction> script;
    // What happened, one line per event, for people reading a run.
    std::vector<std::string> log;
    // Actions the panel could not carry out: a node not visible, a control
    // that does not exist.
    std::vector<std::string> script_errors;
    // A host short of resources: panel creation fails, or the control with
    // this index (0 the first) and every later one is refused; -1 refuses none.
    bool refuse_panels = false;
    int refuse_controls_from = -1;
    // Every panel ever created; destroyed ones stay for inspection and to
    // catch late calls.
    const std::vector<std::unique_ptr<HeadlessPanel>> &panels() const { return panels_; }
    HeadlessPanel *last_panel() const { return panels_.empty() ? nullptr : panels_.back().get(); }

    PanelFuncs &services() { return services_; }
    // The host_abi::kServiceHeadlessDesktop record, from the host's desktop size.
    void *desktop_record();

    // Checks made when an activation ends: panels left undestroyed.
    void end_activation(int activation);

    // ---- the services, called through the C table ----
    PanelId create(const char *title);
    void destroy(PanelId panel);
    int open(PanelId panel, int flags);
    void close(PanelId panel);
    void get(PanelId panel, int tag, void *value);
    void set(PanelId panel, int tag, void *value);
    PanelControl *add_control(PanelId panel, const char *type_name, ControlDesc *desc, const char *label);
    PanelControl *next_control(PanelId panel, PanelControl *control);
    void control_draw(PanelControl *control, int mode);
    void control_get(PanelControl *control, int tag, PanelValue *value);
    void control_set(PanelControl *control, int tag, PanelValue *value);

private:
    HeadlessPanel *live_panel(PanelId panel, const char *operation);
    HeadlessControl *live_control(PanelControl *control, const char *operation);
    void perform(HeadlessPanel &panel, const PanelAction &action);
    void click_node(HeadlessPanel &panel, const PanelAction &action);

    static inline PanelToolkit *current_ = nullptr;
    PanelOwner &owner_;
    PanelFuncs services_{};
    std::vector<std::unique_ptr<HeadlessPanel>> panels_;
    host_abi::HeadlessDesktop desktop_{};
};

// The panel as it stands, as an SVG picture. Reads the tree through the
// plug-in's callbacks, so it can only be drawn while the panel is open.
std::string panel_svg(const HeadlessPanel &panel);

// The panel as text, one line a control and a visible tree row: on/off
// states, numbers in fields, the chosen node.
std::string panel_text(const HeadlessPanel &panel);

// The shortest decimal that reads back as exactly `value`.
std::string number_text(double value);

}  // namespace headless
