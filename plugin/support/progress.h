// The host's progress window with its Abort button, for a command long
// enough to be watched. Optional: a host without one, or one that cannot make
// one, leaves the command to run as without it, every call here free.
#pragma once

#include "interface/host_api.h"

struct CommandProgress {
    const MonitorFuncs *funcs;
    MonitorId id;  // null while no window is open
    bool aborted;  // the user pressed Abort; it stays pressed
};

// Opens the window titled `title` over `total` steps. False, with nothing
// open, when `funcs` is null or lacks a call, or no monitor could be made.
bool progress_open(CommandProgress *progress, const MonitorFuncs *funcs, const char *title, unsigned total);

// Advances by `increment` (0: the message only) and shows `message` (null
// keeps the last one). True once the user has pressed Abort, and from then
// on; false without a window. `progress` may be null.
bool progress_step(CommandProgress *progress, unsigned increment, const char *message);

// Whether Abort was pressed at an earlier step; asks the host nothing.
bool progress_aborted(const CommandProgress *progress);

// Ends the window (done, then destroy); nothing when none is open.
void progress_close(CommandProgress *progress);
