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

// The rule is asked for every key of a take, so it makes no library call:
// the plug-in's build and the host's give the same bits, and quickly.

// The whole number nearest to `x`, halves to even, as the default rounding
// mode gives it.
inline double nearest_whole_frame(double x) {
    const double size = std::fabs(x);
    if (!(size < 0x1p52)) return x;
    return std::copysign((size + 0x1p52) - 0x1p52, x);
}

// How far `frames` (a time times the frame rate) may lie from a whole frame
// and still be that frame.
inline double frame_hair(double frames) {
    const double hair = std::fabs(frames) * 0x1p-23;
    return hair > 1e-3 ? hair : 1e-3;
}

// Whether `frames` lies within a hair of the whole frame `whole`.
inline bool on_frame(double frames, double whole) { return std::fabs(frames - whole) <= frame_hair(frames); }

// The whole frame that `frames` belongs to. Not finite in, not finite out.
inline double frame_of(double frames) {
    const double whole = nearest_whole_frame(frames);
    return on_frame(frames, whole) ? whole : std::trunc(frames);
}
