// "LWPanelServices" over the headless panel toolkit of the current host.
#include "panel_toolkit.h"

namespace headless {
namespace {

PanelToolkit *toolkit() { return PanelToolkit::current(); }

PanelId service_create(const char *title, void *) {
    PanelToolkit *t = toolkit();
    return t ? t->create(title) : nullptr;
}
void service_destroy(PanelId panel) {
    if (PanelToolkit *t = toolkit()) t->destroy(panel);
}
int service_open(PanelId panel, int flags) {
    PanelToolkit *t = toolkit();
    return t ? t->open(panel, flags) : 0;
}
// Events are delivered only inside the modal open.
int service_handle(PanelId, int) { return 0; }
void service_draw(PanelId, int) {}
void service_close(PanelId panel) {
    if (PanelToolkit *t = toolkit()) t->close(panel);
}
void service_get(PanelId panel, int tag, void *value) {
    if (PanelToolkit *t = toolkit()) t->get(panel, tag, value);
}
void service_set(PanelId panel, int tag, void *value) {
    if (PanelToolkit *t = toolkit()) t->set(panel, tag, value);
}
PanelControl *service_add_control(PanelId panel, const char *type_name, ControlDesc *desc, const char *label) {
    PanelToolkit *t = toolkit();
    return t ? t->add_control(panel, type_name, desc, label) : nullptr;
}
PanelControl *service_next_control(PanelId panel, PanelControl *control) {
    PanelToolkit *t = toolkit();
    return t ? t->next_control(panel, control) : nullptr;
}

}  // namespace

PanelToolkit::PanelToolkit(PanelOwner &owner) : owner_(owner) {
    services_ = PanelFuncs{service_create, service_destroy, service_open, service_handle, service_draw, service_close,
                           service_get, service_set, service_add_control, service_next_control,
                           nullptr, nullptr, nullptr};
}

}  // namespace headless
