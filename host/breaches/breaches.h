// The host contract breaches the headless host records: what a plug-in did
// that Layout does not allow. Tests and fuzz targets match the breach; the
// text beside it names the command, panel or control.
#pragma once

#include <iosfwd>
#include <string>

namespace headless {

enum class Breach {
    CommandOutsideActivation,  // a command text sent while no server runs
    ArgumentsOnOldRecord,      // command arguments read from a generic record before version 6
    SecondHost,                // a host created while another is current
    SecondHostileHost,         // a hostile host attached while another is
    PanelOutsideActivation,    // a panel created while no server runs
    PanelNotDestroyed,         // a panel still there when its activation ended
    PanelDestroyedWhileOpen,
    PanelOpenedTwice,
    PanelClosedWhileNotOpen,
    DestroyedPanelUsed,        // a panel, or a control of one, used after it was destroyed
    UnknownHandle,             // a panel or control handle the host never gave
    DescriptorKind,            // a control added with a descriptor of the wrong kind
    DrawMode,                  // a control drawn in a mode the host does not know
    ValueKind,                 // a control's value read or set as the wrong kind
    MonitorNotInitialised,     // a progress monitor stepped or done before init
    MonitorNotDestroyed,       // a progress monitor still there when its activation ended
    DestroyedMonitorUsed,      // a progress monitor used after it was destroyed
    UnknownMonitor,            // a progress monitor id the host never gave
};

// A short fixed name for each, such as "panel-not-destroyed".
const char *breach_id(Breach breach);

struct Violation {
    Breach breach;
    std::string text;
};

// "panel-not-destroyed: panel "Left" was created and not destroyed ...".
std::ostream &operator<<(std::ostream &out, const Violation &violation);

}  // namespace headless
