#include "tolerance_panel.h"

#include "plugin/support/host_context.h"
#include "link_panel.h"

namespace {

constexpr int kOpenFlags = 3;  // blocking, with Cancel
constexpr int kPanelWidth = 240;
constexpr int kPanelHeight = 154;
constexpr int kFieldLeft = 80;  // room for the labels, which the host draws left of each field

// What the panel offers while the session holds no tolerance: a hundredth of
// a unit keeps a hand on a prop to the eye at any usual scene scale.
constexpr double kDefaultDistance = 0.01;

void set_control(PanelControl *control, int tag, PanelValue value) {
    if (control) control->set(control, tag, &value);
}

PanelValue float_panel_value(double value) {
    PanelValue record{};
    record.flt.kind = host_abi::kValueFloat;
    record.flt.value = value;
    return record;
}

double field_value(PanelControl *field) {
    PanelValue record = float_panel_value(0.0);
    if (field) field->get(field, host_abi::kControlValue, &record);
    return record.flt.value;
}

PanelControl *add_field(PanelFuncs *services, PanelId panel, const char *type_name, int kind, const char *label,
                        int top) {
    ControlDesc desc{};
    desc.number.kind = kind;
    PanelControl *control = services->add_control(panel, type_name, &desc, label);
    set_control(control, host_abi::kControlX, int_panel_value(kFieldLeft));
    set_control(control, host_abi::kControlY, int_panel_value(top));
    return control;
}

void on_tolerance_panel_open(PanelId panel, void *services_record) {
    const PanelFuncs *services = static_cast<const PanelFuncs *>(services_record);
    if (!services || !services->user_data) return;
    int left = static_cast<TolerancePanel *>(services->user_data)->pos_x;
    services->set(panel, host_abi::kPanelX, &left);
}

}  // namespace

int32_t run_tolerance_panel(PanelFuncs *services, GlobalLookupFn global, const MotionTolerance &shown,
                            MotionTolerance *entered) {
    PanelId panel = services->create("wPosTolerance", nullptr);
    if (!panel) return 0;

    TolerancePanel tolerance_panel{};
    services->global_lookup = global;
    services->user_data = &tolerance_panel;
    panel_position(global, &tolerance_panel.pos_x, &tolerance_panel.pos_y);

    int32_t result = 0;
    tolerance_panel.distance = add_field(services, panel, "FloatControl", host_abi::kValueDistance, "Distance", 2);
    tolerance_panel.degrees = add_field(services, panel, "FloatControl", host_abi::kValueFloat, "Degrees", 26);
    tolerance_panel.scale = add_field(services, panel, "FloatControl", host_abi::kValueFloat, "Scale %", 50);
    tolerance_panel.on = add_field(services, panel, "BoolControl", host_abi::kValueBoolean, "Tolerance", 74);
    if (tolerance_panel.distance && tolerance_panel.degrees && tolerance_panel.scale && tolerance_panel.on) {
        set_control(tolerance_panel.distance, host_abi::kControlValue, float_panel_value(shown.distance));
        set_control(tolerance_panel.degrees, host_abi::kControlValue, float_panel_value(shown.degrees));
        set_control(tolerance_panel.scale, host_abi::kControlValue, float_panel_value(shown.scale_percent));
        set_button_value(tolerance_panel.on, shown.on ? 1 : 0);

        int width = kPanelWidth, height = kPanelHeight, top = tolerance_panel.pos_y;
        services->set(panel, host_abi::kPanelUserData, services);
        services->set(panel, host_abi::kPanelUserOpen, reinterpret_cast<void *>(on_tolerance_panel_open));
        services->set(panel, host_abi::kPanelW, &width);
        services->set(panel, host_abi::kPanelH, &height);
        services->set(panel, host_abi::kPanelY, &top);

        result = services->open(panel, kOpenFlags);
        if (result) {
            entered->on = button_value(tolerance_panel.on) != 0;
            entered->distance = field_value(tolerance_panel.distance);
            entered->degrees = field_value(tolerance_panel.degrees);
            entered->scale_percent = field_value(tolerance_panel.scale);
        }
    }
    services->destroy(panel);
    // The services record outlives this run; leave no pointer to it behind.
    services->user_data = nullptr;
    return result;
}

int tolerance_panel_activate(int32_t, GlobalLookupFn global, void *, void *) {
    HostContext context{};
    if (open_host_context(global, &context) != host_abi::kResultOk) return host_abi::kResultBadGlobal;
    // The panel is all this command does: without it the service it needs is missing.
    PanelFuncs *services = static_cast<PanelFuncs *>(global(host_abi::kServicePanels, host_abi::kLookupTransient));
    if (!services) return host_abi::kResultBadGlobal;

    const MotionTolerance shown =
        session_tolerance.on ? session_tolerance
                             : MotionTolerance{false, kDefaultDistance, kDefaultToleranceDegrees,
                                               kDefaultScaleTolerancePercent};
    MotionTolerance entered = shown;
    if (!run_tolerance_panel(services, global, shown, &entered)) return host_abi::kResultOk;
    if (!entered.on) {
        session_tolerance = MotionTolerance{false, 0.0, 0.0};
    } else if (usable_tolerance_value(entered.distance) && usable_tolerance_value(entered.degrees) &&
               usable_tolerance_value(entered.scale_percent)) {
        session_tolerance = entered;
    } else {
        context.messages->error("require Distance, Degrees and Scale % above 0", "wPos tolerance not changed");
    }
    return host_abi::kResultOk;
}
