#include "portable_trig.h"

#include <cmath>

namespace {

constexpr double kPi = 0x1.921fb54442d18p+1;
constexpr double kPiLow = 0x1.1a62633145c07p-53;
constexpr double kHalfPi = 0x1.921fb54442d18p+0;
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
// pi/2 in pieces of 33 bits, so n times a piece is exact for |n| < 2^20.
constexpr double kHalfPi1 = 0x1.921fb544p+0;
constexpr double kHalfPi2 = 0x1.0b4611a6p-34;
constexpr double kHalfPi2Tail = 2.02226624879595063154e-21;
// Beyond this the quadrant count no longer fits the exact pieces; such angles
// are first brought into one turn (exactly, by fmod) to stay deterministic.
constexpr double kLargeAngle = 0x1p19;

// Minimax polynomials for sin and cos on [-pi/4, pi/4].
constexpr double kS1 = -1.66666666666666324348e-01;
constexpr double kS2 = 8.33333333332248946124e-03;
constexpr double kS3 = -1.98412698298579493134e-04;
constexpr double kS4 = 2.75573137070700676789e-06;
constexpr double kS5 = -2.50507602534068634195e-08;
constexpr double kS6 = 1.58969099521155010221e-10;
constexpr double kC1 = 4.16666666666666019037e-02;
constexpr double kC2 = -1.38888888888741095749e-03;
constexpr double kC3 = 2.48015872894767294178e-05;
constexpr double kC4 = -2.75573143513906633035e-07;
constexpr double kC5 = 2.08757232129817482790e-09;
constexpr double kC6 = -1.13596475577881948265e-11;

// sin(x + tail) for |x| <= pi/4, tail the rounding left from the reduction.
double kernel_sin(double x, double tail) {
    const double z = x * x;
    const double v = z * x;
    const double r = kS2 + z * (kS3 + z * (kS4 + z * (kS5 + z * kS6)));
    return x - ((z * (0.5 * tail - v * r) - tail) - v * kS1);
}

double kernel_cos(double x, double tail) {
    const double z = x * x;
    const double w = z * z;
    const double r = z * (kC1 + z * (kC2 + z * kC3)) + w * w * (kC4 + z * (kC5 + z * kC6));
    const double half_z = 0.5 * z;
    const double one_minus = 1.0 - half_z;
    return one_minus + (((1.0 - one_minus) - half_z) + (z * r - x * tail));
}

struct Reduced {
    int quadrant;  // 0 to 3
    double head;
    double tail;
};

// x = quadrant × pi/2 + head + tail, |head| about pi/4 at most.
Reduced reduce(double x) {
    if (std::fabs(x) > kLargeAngle) x = std::fmod(x, 2.0 * kPi);
    const double n = std::nearbyint(x * kTwoOverPi);
    // The first piece comes off exactly; the second and its tail carry the
    // rounding of the difference along.
    const double t = x - n * kHalfPi1;
    double w = n * kHalfPi2;
    const double r = t - w;
    w = n * kHalfPi2Tail - ((t - r) - w);
    Reduced reduced;
    reduced.head = r - w;
    reduced.tail = (r - reduced.head) - w;
    reduced.quadrant = static_cast<int>(static_cast<long long>(n) & 3);
    return reduced;
}

// Coefficients and table for atan: atan of 0.5, 1, 1.5 and infinity, high and low parts.
constexpr double kAtanHigh[4] = {0x1.dac670561bb4fp-2, 0x1.921fb54442d18p-1, 0x1.f730bd281f69bp-1,
                                 0x1.921fb54442d18p+0};
constexpr double kAtanLow[4] = {0x1.a2b7f222f65e2p-56, 0x1.1a62633145c07p-55, 0x1.007887af0cbbdp-56,
                                0x1.1a62633145c07p-54};
constexpr double kAT[11] = {
    3.33333333333329318027e-01,  -1.99999999998764832476e-01, 1.42857142725034663711e-01,
    -1.11111104054623557880e-01, 9.09088713343650656196e-02,  -7.69187620504482999495e-02,
    6.66107313738753120669e-02,  -5.83357013379057348645e-02, 4.97687799461593236017e-02,
    -3.65315727442169155270e-02, 1.62858201153657823623e-02,
};

// atan of a non-negative finite or infinite x.
double atan_non_negative(double x) {
    if (x >= 0x1p66) return kAtanHigh[3] + kAtanLow[3];
    int id;
    if (x < 0.4375) {
        if (x < 0x1p-27) return x;
        id = -1;
    } else if (x < 0.6875) {
        id = 0;
        x = (2.0 * x - 1.0) / (2.0 + x);
    } else if (x < 1.1875) {
        id = 1;
        x = (x - 1.0) / (x + 1.0);
    } else if (x < 2.4375) {
        id = 2;
        x = (x - 1.5) / (1.0 + 1.5 * x);
    } else {
        id = 3;
        x = -1.0 / x;
    }
    const double z = x * x;
    const double w = z * z;
    const double s1 = z * (kAT[0] + w * (kAT[2] + w * (kAT[4] + w * (kAT[6] + w * (kAT[8] + w * kAT[10])))));
    const double s2 = w * (kAT[1] + w * (kAT[3] + w * (kAT[5] + w * (kAT[7] + w * kAT[9]))));
    if (id < 0) return x - x * (s1 + s2);
    return kAtanHigh[id] - ((x * (s1 + s2) - kAtanLow[id]) - x);
}

}  // namespace

double portable_sin(double x) {
    if (!std::isfinite(x)) return x - x;
    const Reduced r = reduce(x);
    switch (r.quadrant) {
    case 0: return kernel_sin(r.head, r.tail);
    case 1: return kernel_cos(r.head, r.tail);
    case 2: return -kernel_sin(r.head, r.tail);
    default: return -kernel_cos(r.head, r.tail);
    }
}

double portable_cos(double x) {
    if (!std::isfinite(x)) return x - x;
    const Reduced r = reduce(x);
    switch (r.quadrant) {
    case 0: return kernel_cos(r.head, r.tail);
    case 1: return -kernel_sin(r.head, r.tail);
    case 2: return -kernel_cos(r.head, r.tail);
    default: return kernel_sin(r.head, r.tail);
    }
}

double portable_atan2(double y, double x) {
    if (std::isnan(x) || std::isnan(y)) return x + y;
    const bool y_negative = std::signbit(y);
    const bool x_negative = std::signbit(x);
    if (y == 0.0) return x_negative ? (y_negative ? -kPi : kPi) : y;
    if (x == 0.0) return y_negative ? -kHalfPi : kHalfPi;
    if (std::isinf(x)) {
        if (std::isinf(y)) {
            const double quarter = x_negative ? 3.0 * kHalfPi / 2.0 : kHalfPi / 2.0;
            return y_negative ? -quarter : quarter;
        }
        const double flat = x_negative ? kPi : 0.0;
        return y_negative ? -flat : flat;
    }
    const double ay = std::fabs(y);
    const double ax = std::fabs(x);
    double z;
    if (std::isinf(y) || ay > ax * 0x1p60) {
        z = kHalfPi + 0.5 * kPiLow;
    } else if (x_negative && ay < ax * 0x1p-60) {
        z = 0.0;
    } else {
        z = atan_non_negative(ay / ax);
    }
    if (!x_negative) return y_negative ? -z : z;
    const double angle = kPi - (z - kPiLow);
    return y_negative ? -angle : angle;
}

double portable_asin(double x) {
    if (!(std::fabs(x) <= 1.0)) return (x - x) / (x - x);
    return portable_atan2(x, std::sqrt((1.0 - x) * (1.0 + x)));
}
