// Which frame a key time belongs to: one rule for the module and the host, so
// that both count the same keys on the same frames.
//
// Scene files keep times to about eight digits, so frame 31 at 30 fps reads
// back as 30.999999 and would otherwise share frame 30 with the key before
// it: a time within a hair of a whole frame is that frame. The hair is the
// error of a time kept in single precision, at least a thousandth of a frame.
// Any other time truncates toward zero, negative times too.
#pragma once

#include <cmath>

// How far `frames` (a time times the frame rate) may lie from a whole frame
// and still be that frame.
inline double frame_hair(double frames) { return std::fmax(1e-3, std::fabs(frames) * 0x1p-23); }

// Whether `frames` lies within a hair of the whole frame `whole`.
inline bool on_frame(double frames, double whole) { return std::fabs(frames - whole) <= frame_hair(frames); }

// The whole frame that `frames` belongs to. Not finite in, not finite out.
inline double frame_of(double frames) {
    const double whole = std::nearbyint(frames);
    return on_frame(frames, whole) ? whole : std::trunc(frames);
}
