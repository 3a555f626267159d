// Sine, cosine, arc sine and arc tangent in plain double arithmetic, so that the
// Linux build and the Windows DLL turn the same angles into the same bits: the
// platform runtimes differ in the last bits, and the Windows one by far more
// near multiples of pi/2. Within one unit in the last place for every finite
// argument; sin and cos reduce even the largest angles exactly.
#pragma once

double portable_sin(double x);
double portable_cos(double x);
// For |x| <= 1; NaN otherwise.
double portable_asin(double x);
double portable_atan2(double y, double x);
