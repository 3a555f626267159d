#include "progress.h"

bool progress_open(CommandProgress *progress, const MonitorFuncs *funcs, const char *title, unsigned total) {
    progress->id = nullptr;
    progress->aborted = false;
    progress->funcs = funcs;
    // A record missing a call is no monitor to rely on: every path out needs done and destroy.
    if (!funcs || !funcs->create || !funcs->setup || !funcs->init || !funcs->step || !funcs->done || !funcs->destroy)
        return false;
    const MonitorId id = funcs->create();
    if (!id) return false;
    funcs->setup(id, title, 0, nullptr);
    funcs->init(id, total, nullptr);
    progress->id = id;
    return true;
}

bool progress_step(CommandProgress *progress, unsigned increment, const char *message) {
    if (!progress || !progress->id) return false;
    if (progress->funcs->step(progress->id, increment, message) != 0) progress->aborted = true;
    return progress->aborted;
}

bool progress_aborted(const CommandProgress *progress) { return progress && progress->aborted; }

void progress_close(CommandProgress *progress) {
    if (!progress || !progress->id) return;
    progress->funcs->done(progress->id);
    progress->funcs->destroy(progress->id);
    progress->id = nullptr;
}
