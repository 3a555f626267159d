// "LWLMonFuncs": the progress monitors a plug-in opens, kept with what each
// one was told, the Abort button a script presses, and the checks of their
// order of use. The headless host draws nothing itself: an observer (the
// tool's terminal line) is told of each change.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>

#include "interface/host_api.h"

namespace headless {

class Host;

struct Monitor {
    enum class State { Created, Running, Done, Destroyed };
    State state = State::Created;
    std::string title;         // from setup; empty until then
    unsigned flags = 0;        // host_abi::kMonitor*
    std::string history_file;  // kept, never written: the headless host keeps no history
    unsigned total = 0;        // from init
    uint64_t steps = 0;        // the increments so far
    uint64_t step_calls = 0;   // every step since init, increment 0 included
    std::string message;       // the last one given; a step without one keeps it
    bool abort_pressed = false;
    // The step call after which Abort is pressed, when a script pressed it here.
    bool abort_armed = false;
    uint64_t abort_after = 0;
    int activation = 0;  // the activation that created it; 0 outside one
};

class Monitors {
public:
    explicit Monitors(Host &host);
    Monitors(const Monitors &) = delete;
    Monitors &operator=(const Monitors &) = delete;

    const MonitorFuncs &services() const { return services_; }

    // The user presses Abort in the next monitor that opens (init) with an
    // Abort button: its first `steps` step calls go through, the one after
    // them and every later one answer abort. Once only; a later call replaces
    // a press not yet used, and cancel_abort takes it back.
    void abort_after(uint64_t steps);
    void cancel_abort() { abort_pending_ = false; }
    bool abort_pending() const { return abort_pending_; }

    // Every monitor made so far, destroyed ones included, oldest first.
    const std::deque<Monitor> &all() const { return monitors_; }

    // Told after each init, step, done and destroy.
    std::function<void(const Monitor &)> observer;

    // Monitors the activation left undestroyed are breaches; the host closes them.
    void end_activation(int activation);

    // ---- the record's calls ----
    MonitorId create();
    void setup(MonitorId id, const char *title, unsigned flags, const char *history_file);
    void set_window_position(MonitorId id);
    void init(MonitorId id, unsigned total, const char *message);
    int step(MonitorId id, unsigned increment, const char *message);
    void done(MonitorId id);
    void destroy(MonitorId id);

private:
    // The live monitor `id` names; a breach and null for any other id.
    Monitor *live(MonitorId id, const char *operation);
    void tell(const Monitor &monitor) const;

    Host &host_;
    MonitorFuncs services_{};
    // Never erased, so an id stays unique and a destroyed one is still named.
    std::deque<Monitor> monitors_;
    std::unordered_map<MonitorId, size_t> index_;
    bool abort_pending_ = false;
    uint64_t abort_steps_ = 0;
};

}  // namespace headless
