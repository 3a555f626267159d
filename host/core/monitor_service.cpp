#include "monitor_service.h"

#include "host.h"

namespace headless {
namespace {

Monitors *monitors() {
    Host *host = Host::current();
    return host ? &host->monitors() : nullptr;
}

MonitorId service_create() {
    Monitors *m = monitors();
    return m ? m->create() : nullptr;
}
void service_setup(MonitorId id, const char *title, unsigned flags, const char *history_file) {
    if (Monitors *m = monitors()) m->setup(id, title, flags, history_file);
}
void service_set_window_position(MonitorId id, int, int, int, int) {
    if (Monitors *m = monitors()) m->set_window_position(id);
}
void service_init(MonitorId id, unsigned total, const char *message) {
    if (Monitors *m = monitors()) m->init(id, total, message);
}
int service_step(MonitorId id, unsigned increment, const char *message) {
    Monitors *m = monitors();
    return m ? m->step(id, increment, message) : 0;
}
void service_done(MonitorId id) {
    if (Monitors *m = monitors()) m->done(id);
}
void service_destroy(MonitorId id) {
    if (Monitors *m = monitors()) m->destroy(id);
}

std::string named(const Monitor &monitor) {
    return monitor.title.empty() ? std::string("an untitled monitor") : "monitor \"" + monitor.title + "\"";
}

}  // namespace

Monitors::Monitors(Host &host) : host_(host) {
    services_ = MonitorFuncs{service_create, service_setup, service_set_window_position, service_init,
                             service_step,   service_done,  service_destroy};
}

void Monitors::abort_after(uint64_t steps) {
    abort_pending_ = true;
    abort_steps_ = steps;
}

Monitor *Monitors::live(MonitorId id, const char *operation) {
    // The id is only ever looked up: what the plug-in passes may point anywhere.
    const auto found = index_.find(id);
    if (found == index_.end()) {
        host_.violation(Breach::UnknownMonitor, std::string("monitor ") + operation + " on an unknown monitor id" +
                                                    (id ? "" : " (null)"));
        return nullptr;
    }
    Monitor &monitor = monitors_[found->second];
    if (monitor.state == Monitor::State::Destroyed) {
        host_.violation(Breach::DestroyedMonitorUsed,
                        std::string("monitor ") + operation + " on the destroyed " + named(monitor));
        return nullptr;
    }
    return &monitor;
}

void Monitors::tell(const Monitor &monitor) const {
    if (observer) observer(monitor);
}

MonitorId Monitors::create() {
    monitors_.emplace_back();
    monitors_.back().activation = host_.in_activation() ? host_.activation_serial() : 0;
    // A deque keeps its elements in place as it grows: the address is a unique id.
    const MonitorId id = &monitors_.back();
    index_.emplace(id, monitors_.size() - 1);
    return id;
}

void Monitors::setup(MonitorId id, const char *title, unsigned flags, const char *history_file) {
    Monitor *monitor = live(id, "setup");
    if (!monitor) return;
    monitor->title = title ? title : "";
    monitor->flags = flags;
    monitor->history_file = history_file ? history_file : "";
}

void Monitors::set_window_position(MonitorId id) {
    // Nothing is drawn, so only the id is checked.
    live(id, "setwinpos");
}

void Monitors::init(MonitorId id, unsigned total, const char *message) {
    Monitor *monitor = live(id, "init");
    if (!monitor) return;
    monitor->state = Monitor::State::Running;
    monitor->total = total;
    monitor->steps = 0;
    monitor->message = message ? message : "";
    // The press goes to a window that has the button, once it is open.
    if (abort_pending_ && !monitor->abort_armed && !(monitor->flags & host_abi::kMonitorNoAbort)) {
        monitor->abort_armed = true;
        monitor->abort_after = abort_steps_;
        abort_pending_ = false;
    }
    tell(*monitor);
}

int Monitors::step(MonitorId id, unsigned increment, const char *message) {
    Monitor *monitor = live(id, "step");
    if (!monitor) return 0;
    if (monitor->state == Monitor::State::Created) {
        host_.violation(Breach::MonitorNotInitialised, "step on " + named(*monitor) + " before init");
        return 0;
    }
    monitor->steps += increment;
    if (message) monitor->message = message;
    // Every call is a chance to press the button, a message-only one too.
    ++monitor->step_calls;
    if (monitor->abort_armed && monitor->step_calls > monitor->abort_after) monitor->abort_pressed = true;
    tell(*monitor);
    return monitor->abort_pressed ? 1 : 0;
}

void Monitors::done(MonitorId id) {
    Monitor *monitor = live(id, "done");
    if (!monitor) return;
    if (monitor->state == Monitor::State::Created) {
        host_.violation(Breach::MonitorNotInitialised, "done on " + named(*monitor) + " before init");
        return;
    }
    // A review window would wait for the user here; the headless user closes it at once.
    monitor->state = Monitor::State::Done;
    tell(*monitor);
}

void Monitors::destroy(MonitorId id) {
    Monitor *monitor = live(id, "destroy");
    if (!monitor) return;
    monitor->state = Monitor::State::Destroyed;
    tell(*monitor);
}

void Monitors::end_activation(int activation) {
    for (Monitor &monitor : monitors_) {
        if (monitor.activation != activation || monitor.state == Monitor::State::Destroyed) continue;
        host_.violation(Breach::MonitorNotDestroyed,
                        named(monitor) + " was created and not destroyed by the end of the activation");
        monitor.state = Monitor::State::Destroyed;
        tell(monitor);
    }
}

}  // namespace headless
