// Sine, cosine, arc sine and arc tangent in plain double arithmetic, so that the
// Linux build and the Windows DLL turn the same angles into the same bits: the
// platform runtimes differ in the last bits, and the Windows one by far more
// near multiples of pi/2. Within one unit in the last place for every finite
// argument; sin and cos reduce even the largest angles exactly.
#pragma once

#include <cmath>

double portable_sin(double x);
double portable_cos(double x);
// Both at once, each with the bits portable_sin and portable_cos give it.
void portable_sin_cos(double x, double *sine, double *cosine);
// For |x| <= 1; NaN otherwise.
double portable_asin(double x);
double portable_atan2(double y, double x);

// std::nearbyint in the default rounding mode (half way to even, -0.4 to
// -0.0), without the library call: below 2^52 adding 2^52 leaves no fraction,
// and the sum rounds the way nearbyint does. Larger numbers are whole
// already; infinities and NaN come back as they are.
inline double nearest_whole(double x) {
    const double size = std::fabs(x);
    if (!(size < 0x1p52)) return x;
    return std::copysign((size + 0x1p52) - 0x1p52, x);
}
