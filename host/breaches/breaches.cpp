#include "breaches.h"

#include <ostream>

namespace headless {

const char *breach_id(Breach breach) {
    switch (breach) {
    case Breach::CommandOutsideActivation: return "command-outside-activation";
    case Breach::ArgumentsOnOldRecord: return "arguments-on-old-record";
    case Breach::SecondHost: return "second-host";
    case Breach::SecondHostileHost: return "second-hostile-host";
    case Breach::PanelOutsideActivation: return "panel-outside-activation";
    case Breach::PanelNotDestroyed: return "panel-not-destroyed";
    case Breach::PanelDestroyedWhileOpen: return "panel-destroyed-while-open";
    case Breach::PanelOpenedTwice: return "panel-opened-twice";
    case Breach::PanelClosedWhileNotOpen: return "panel-closed-while-not-open";
    case Breach::DestroyedPanelUsed: return "destroyed-panel-used";
    case Breach::UnknownHandle: return "unknown-handle";
    case Breach::DescriptorKind: return "descriptor-kind";
    case Breach::DrawMode: return "draw-mode";
    case Breach::ValueKind: return "value-kind";
    case Breach::MonitorNotInitialised: return "monitor-not-initialised";
    case Breach::MonitorNotDestroyed: return "monitor-not-destroyed";
    case Breach::DestroyedMonitorUsed: return "destroyed-monitor-used";
    case Breach::UnknownMonitor: return "unknown-monitor";
    }
    return "unknown-breach";
}

std::ostream &operator<<(std::ostream &out, const Violation &violation) {
    return out << breach_id(violation.breach) << ": " << violation.text;
}

}  // namespace headless
